// Replacing a file so that a crash or a full disk never leaves it half written, and removing one.
//
//   platform::AtomicWriteOptions options;
//   options.mode = 0600;
//   if (const int error = platform::WriteFileAtomically(path, bytes, options)) {
//     report(std::strerror(error));   // the old file, if any, is untouched
//   }
#pragma once

#include <sys/stat.h>
#include <sys/types.h>

#include <cstddef>
#include <span>
#include <string>
#include <string_view>

namespace platform {

// Signature of write(2).
using WriteFunction = ssize_t (*)(int fd, const void* data, std::size_t size);

// How WriteFileAtomically writes.
struct AtomicWriteOptions {
  // Permission bits of the written file. Set best effort: file systems without Unix modes (FAT
  // on a USB stick) refuse it, and the write must still go through.
  mode_t mode = 0600;
  // Flush the file before the rename and the folder after it; off only for benchmarks.
  bool syncToDisk = true;
  // When not null, receives the written file's status (taken before the rename).
  struct stat* written = nullptr;
  // Called instead of write(2) for every chunk when not null, so that tests can inject short
  // writes, interruptions, a full disk and writes that make no progress into one caller's files.
  WriteFunction write = nullptr;
};

// Replaces the file at `path` with `bytes`: a temporary file "<path>.tmp-XXXXXX" in the same
// folder gets every byte (interrupted and short writes resumed, a write that makes no progress
// is a failure), is flushed, closed and renamed over `path`; then the folder is flushed (best
// effort: the file is in place either way). The folder must exist. Returns 0, or the errno of
// the failing call (ENOSPC for a write that makes no progress), also left in errno; on failure
// the temporary file is removed and `path` is as it was. A symbolic link at `path` is replaced,
// not followed.
[[nodiscard]] int WriteFileAtomically(const std::string& path, std::span<const std::byte> bytes,
                                      const AtomicWriteOptions& options = {});
[[nodiscard]] int WriteFileAtomically(const std::string& path, std::string_view text,
                                      const AtomicWriteOptions& options = {});

// Removes the file (or link) at `path`. Returns 0, or the errno of unlink(2), also left in errno.
[[nodiscard]] int RemoveFile(const std::string& path);

}  // namespace platform
