#include "platform/sync.h"

#include <chrono>

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
  return mutex_.try_lock_for(std::chrono::milliseconds(milliseconds));
}

void Mutex::Unlock() {
  mutex_.unlock();
}

}  // namespace platform
