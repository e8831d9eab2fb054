#include "platform/sync.h"

#include <chrono>
#include <thread>

namespace platform {

Event::Event(bool manualReset, bool initiallySignaled)
    : manualReset_(manualReset), signaled_(initiallySignaled) {}

void Event::Set() {
  // Notified under the lock: a waiter that wakes may destroy the event at once (an event on the
  // stack signalled by a worker), so the notifying thread must be done with it by then.
  std::lock_guard lock(mutex_);
  signaled_ = true;
  // A manual-reset event releases every waiter; an auto-reset one only the waiter that takes it.
  if (manualReset_) {
    cv_.notify_all();
  } else {
    cv_.notify_one();
  }
}

void Event::Reset() {
  std::lock_guard lock(mutex_);
  signaled_ = false;
}

WaitResult Event::Wait(DWORD milliseconds) {
  std::unique_lock lock(mutex_);
  auto isSignaled = [this] { return signaled_; };
  if (milliseconds == kInfinite) {
    cv_.wait(lock, isSignaled);
  } else if (!cv_.wait_for(lock, std::chrono::milliseconds(milliseconds), isSignaled)) {
    return WaitResult::kTimeout;
  }
  if (!manualReset_)
    signaled_ = false;
  return WaitResult::kSignaled;
}

bool Mutex::Lock(DWORD milliseconds) {
  if (milliseconds == kInfinite) {
    mutex_.lock();
    return true;
  }
#if defined(__SANITIZE_THREAD__)
  // ThreadSanitizer does not see locks taken by pthread_mutex_clocklock (what try_lock_for uses)
  // and then reports every matching unlock as an error. Poll try_lock, which it does see.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(milliseconds);
  while (!mutex_.try_lock()) {
    if (std::chrono::steady_clock::now() >= deadline)
      return false;
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  return true;
#else
  return mutex_.try_lock_for(std::chrono::milliseconds(milliseconds));
#endif
}

void Mutex::Unlock() {
  mutex_.unlock();
}

}  // namespace platform
