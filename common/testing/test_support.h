// Helpers for tests: a temporary folder that removes itself, a scoped environment variable,
// whole-file reads and writes, a way to run a case without root's rights, and a write(2) stand-in
// for the file writers' fault seams.
#pragma once

#include <sys/types.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace testing_support {

// A fresh folder under the system's temporary folder, removed with its contents on destruction.
class TempDir {
 public:
  TempDir();
  ~TempDir();
  TempDir(const TempDir&) = delete;
  TempDir& operator=(const TempDir&) = delete;

  const std::filesystem::path& path() const { return path_; }
  std::string str() const { return path_.string(); }
  std::filesystem::path operator/(std::string_view name) const { return path_ / name; }

 private:
  std::filesystem::path path_;
};

// Sets an environment variable for the life of the object and restores the previous state.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const std::string& value);
  ~ScopedEnv();
  ScopedEnv(const ScopedEnv&) = delete;
  ScopedEnv& operator=(const ScopedEnv&) = delete;

 private:
  std::string name_;
  std::optional<std::string> old_;
};

// The whole content of a file; nullopt when it cannot be read.
std::optional<std::vector<uint8_t>> ReadFileBytes(const std::filesystem::path& path);
// The names of the entries of `folder`, sorted (to check which files a write left behind).
std::vector<std::string> FilesIn(const std::filesystem::path& folder);
// Replaces a file's content; false on failure.
bool WriteFileBytes(const std::filesystem::path& path, const std::vector<uint8_t>& bytes);

// Runs `body` without root's power to ignore file permissions, so that a refused read or write
// is tested the same way whoever runs the test. For a user other than root `body` runs in place.
// For root, `tree` (the test's own folder) is handed to an unprivileged user (65534) and `body`
// runs in a forked child that has become that user; the tree is given back afterwards. Returns
// what `body` returned; false when the child could not become that user or reach `tree`, or did
// not end normally. The child writes to the same output, so its failed expectations are shown.
bool RunWithoutRootRights(const std::filesystem::path& tree, const std::function<bool()>& body);

// Folder of the repository's sources and of the build's programs and modules (from the
// environment CTest sets; falls back to the compile-time source folder).
std::filesystem::path SourceDir();
std::filesystem::path BinDir();

// A write(2) stand-in for the file writers' seams: delivers at most `Chunk` bytes per call and
// fails every other call with EINTR, as a slow or signalled write may.
template <std::size_t Chunk>
ssize_t ShortAndInterruptedWrite(int fd, const void* data, std::size_t size) {
  static thread_local int calls = 0;
  if (calls++ % 2 == 1) {
    errno = EINTR;
    return -1;
  }
  return ::write(fd, data, std::min<std::size_t>(size, Chunk));
}

// A record filled with one byte, so that tests see which bytes a function sets.
template <typename Record>
Record Filled(unsigned char byte) {
  Record r;
  std::memset(&r, byte, sizeof r);
  return r;
}

// True when two records hold the same bytes.
template <typename Record>
bool SameBytes(const Record& a, const Record& b) {
  return std::memcmp(&a, &b, sizeof(Record)) == 0;
}

}  // namespace testing_support
