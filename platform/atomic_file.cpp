#include "platform/atomic_file.h"

#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>

#include "platform/unique_fd.h"

namespace platform {
namespace {

ssize_t SystemWrite(int fd, const void* data, std::size_t size) {
  return ::write(fd, data, size);
}

// Removes the temporary file unless the write that made it went through; keeps errno, which
// tells the caller why the write failed.
class TempFileGuard {
 public:
  explicit TempFileGuard(std::string path) : path_(std::move(path)) {}
  ~TempFileGuard() {
    if (!path_.empty()) {
      const int saved = errno;
      static_cast<void>(::unlink(path_.c_str()));
      errno = saved;
    }
  }
  TempFileGuard(const TempFileGuard&) = delete;
  TempFileGuard& operator=(const TempFileGuard&) = delete;
  void Keep() { path_.clear(); }

 private:
  std::string path_;
};

// 0, or the errno of the failing write (ENOSPC when a write makes no progress: looping on it
// would hang the caller for ever).
int WriteAll(int fd, std::span<const std::byte> bytes, WriteFunction write) {
  while (!bytes.empty()) {
    const ssize_t n = write(fd, bytes.data(), bytes.size());
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return errno;
    }
    if (n == 0)
      return ENOSPC;
    bytes = bytes.subspan(static_cast<std::size_t>(n));
  }
  return 0;
}

std::string FolderOf(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  if (slash == std::string::npos)
    return ".";
  if (slash == 0)
    return "/";
  return path.substr(0, slash);
}

// Best effort: a rename is durable only once its folder is flushed, but a folder that cannot be
// flushed must not turn a written file into a failed write.
void SyncFolder(const std::string& folder) {
  const int saved = errno;
  UniqueFd dir(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
  if (dir)
    static_cast<void>(::fsync(dir.get()));
  errno = saved;
}

// Sets errno to `error` and returns it, so that both ways of reading the failure agree.
int Fail(int error) {
  errno = error;
  return error;
}

}  // namespace

int WriteFileAtomically(const std::string& path, std::span<const std::byte> bytes,
                        const AtomicWriteOptions& options) {
  if (path.empty())
    return Fail(ENOENT);
  std::string temp = path + ".tmp-XXXXXX";
  UniqueFd fd(::mkostemp(temp.data(), O_CLOEXEC));
  if (!fd)
    return Fail(errno);
  TempFileGuard guard(temp);
  // Best effort, see AtomicWriteOptions::mode.
  static_cast<void>(::fchmod(fd.get(), options.mode));
  if (const int error = WriteAll(fd.get(), bytes, options.write ? options.write : &SystemWrite))
    return Fail(error);
  if (options.syncToDisk && ::fsync(fd.get()) != 0)
    return Fail(errno);
  if (options.written != nullptr && ::fstat(fd.get(), options.written) != 0)
    return Fail(errno);
  if (!fd.Close())
    return Fail(errno);
  if (::rename(temp.c_str(), path.c_str()) != 0)
    return Fail(errno);
  guard.Keep();
  if (options.syncToDisk)
    SyncFolder(FolderOf(path));
  return 0;
}

int WriteFileAtomically(const std::string& path, std::string_view text,
                        const AtomicWriteOptions& options) {
  return WriteFileAtomically(path, std::as_bytes(std::span(text.data(), text.size())), options);
}

int RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? 0 : errno;
}

}  // namespace platform
