#include "common/testing/test_support.h"

#include <grp.h>
#include <stdio.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <fstream>
#include <iterator>
#include <stdexcept>

namespace testing_support {

TempDir::TempDir() {
  std::string pattern = (std::filesystem::temp_directory_path() / "talvek-test-XXXXXX").string();
  if (mkdtemp(pattern.data()) == nullptr)
    throw std::runtime_error("mkdtemp failed");
  path_ = pattern;
}

TempDir::~TempDir() {
  std::error_code ec;
  std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                               std::filesystem::perm_options::add, ec);
  std::filesystem::remove_all(path_, ec);
}

ScopedEnv::ScopedEnv(const char* name, const std::string& value) : name_(name) {
  if (const char* old = getenv(name))
    old_ = old;
  setenv(name, value.c_str(), 1);
}

ScopedEnv::~ScopedEnv() {
  if (old_) {
    setenv(name_.c_str(), old_->c_str(), 1);
  } else {
    unsetenv(name_.c_str());
  }
}

std::vector<std::string> FilesIn(const std::filesystem::path& folder) {
  std::vector<std::string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder))
    names.push_back(entry.path().filename());
  std::sort(names.begin(), names.end());
  return names;
}

std::optional<std::vector<uint8_t>> ReadFileBytes(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in)
    return std::nullopt;
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

bool WriteFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes) {
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  if (!out)
    return false;
  out.write(reinterpret_cast<const char*>(bytes.data()),
            static_cast<std::streamsize>(bytes.size()));
  return static_cast<bool>(out);
}

namespace {

constexpr uid_t kUnprivilegedId = 65534;  // "nobody" on Linux distributions

// Gives `tree` and everything in it to `uid`:`gid`, links themselves rather than their targets.
bool ChownTree(const std::filesystem::path& tree, uid_t uid, gid_t gid) {
  if (::lchown(tree.c_str(), uid, gid) != 0)
    return false;
  std::error_code ec;
  for (std::filesystem::recursive_directory_iterator it(tree, ec), end; !ec && it != end;
       it.increment(ec)) {
    if (::lchown(it->path().c_str(), uid, gid) != 0)
      return false;
  }
  return !ec;
}

}  // namespace

bool RunWithoutRootRights(const std::filesystem::path& tree, const std::function<bool()>& body) {
  if (::geteuid() != 0)
    return body();
  struct stat st;
  if (::lstat(tree.c_str(), &st) != 0)
    return false;
  bool ok = false;
  if (ChownTree(tree, kUnprivilegedId, kUnprivilegedId)) {
    fflush(nullptr);
    const pid_t child = ::fork();
    if (child == 0) {
      int code = 3;
      if (::setgroups(0, nullptr) != 0 || ::setgid(kUnprivilegedId) != 0 ||
          ::setuid(kUnprivilegedId) != 0 || ::setuid(0) == 0) {
        fprintf(stderr, "cannot become user %u\n", static_cast<unsigned>(kUnprivilegedId));
      } else if (::access(tree.c_str(), X_OK) != 0) {
        fprintf(stderr, "user %u cannot reach %s\n", static_cast<unsigned>(kUnprivilegedId),
                tree.c_str());
      } else {
        code = body() ? 0 : 1;
      }
      fflush(nullptr);
      ::_exit(code);  // no exit handlers: they belong to the parent
    }
    int status = 0;
    while (child > 0 && ::waitpid(child, &status, 0) < 0 && errno == EINTR) {
    }
    ok = child > 0 && WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }
  ChownTree(tree, st.st_uid, st.st_gid);
  return ok;
}

std::filesystem::path SourceDir() {
  if (const char* dir = getenv("TALVEK_SOURCE_DIR"))
    return dir;
  return TALVEK_SOURCE_DIR_FALLBACK;
}

std::filesystem::path BinDir() {
  if (const char* dir = getenv("TALVEK_BIN_DIR"))
    return dir;
  char buf[4096];
  ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0)
    return ".";
  buf[n] = 0;
  return std::filesystem::path(buf).parent_path();
}

}  // namespace testing_support
