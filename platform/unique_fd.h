// A move-only owner of a POSIX file descriptor (file, socket, pipe, terminal), closed on
// destruction.
//
//   platform::UniqueFd fd(::open(path, O_RDWR | O_CLOEXEC));
//   if (!fd) return false;
//   write(fd.get(), ...);
//   if (!fd.Close()) return false;   // a late write error can surface only at close
#pragma once

#include <unistd.h>

#include <utility>

namespace platform {

// Owns one descriptor (-1 = none); closes it when destroyed or reset.
class UniqueFd {
 public:
  UniqueFd() = default;
  explicit UniqueFd(int fd) : fd_(fd) {}
  ~UniqueFd() { reset(); }
  UniqueFd(UniqueFd&& other) noexcept : fd_(other.release()) {}
  UniqueFd& operator=(UniqueFd&& other) noexcept {
    if (this != &other)
      reset(other.release());
    return *this;
  }
  UniqueFd(const UniqueFd&) = delete;
  UniqueFd& operator=(const UniqueFd&) = delete;

  // The descriptor, still owned.
  int get() const { return fd_; }
  // True when a descriptor is held.
  explicit operator bool() const { return fd_ >= 0; }
  // Gives up ownership without closing.
  [[nodiscard]] int release() { return std::exchange(fd_, -1); }
  // Closes the held descriptor and takes `fd` instead.
  void reset(int fd = -1) {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = fd;
  }
  // Closes now and reports the result: on some file systems a late write error shows up only
  // here. True when nothing was held.
  [[nodiscard]] bool Close() {
    const int fd = release();
    return fd < 0 || ::close(fd) == 0;
  }

 private:
  int fd_ = -1;
};

}  // namespace platform
