// Synchronisation objects with the semantics of their Windows namesakes.
//
//  - Event: manual- or auto-reset, waited on with a time-out.
//  - Mutex and CriticalSection: recursive ownership (the owning thread may lock again and must
//    unlock as often); Mutex also waits with a time-out.
// Use the guards (MutexLock, CriticalSectionLock) rather than pairing calls by hand.
#pragma once

#include <condition_variable>
#include <mutex>

#include "platform/win_types.h"

namespace platform {

inline constexpr DWORD kInfinite = 0xFFFFFFFFu;

enum class WaitResult { kSignaled, kTimeout };

class Event {
 public:
  explicit Event(bool manualReset, bool initiallySignaled = false);
  Event(const Event&) = delete;
  Event& operator=(const Event&) = delete;

  void Set();
  void Reset();
  // Waits until the event is signalled or `milliseconds` pass (kInfinite = no limit). An
  // auto-reset event is reset by the wait that sees it signalled.
  WaitResult Wait(DWORD milliseconds);

 private:
  std::mutex mutex_;
  std::condition_variable cv_;
  const bool manualReset_;
  bool signaled_;
};

class Mutex {
 public:
  Mutex() = default;
  Mutex(const Mutex&) = delete;
  Mutex& operator=(const Mutex&) = delete;

  // Takes ownership, waiting at most `milliseconds`; true when owned.
  bool Lock(DWORD milliseconds = kInfinite);
  void Unlock();

 private:
  std::recursive_timed_mutex mutex_;
};

class CriticalSection {
 public:
  CriticalSection() = default;
  CriticalSection(const CriticalSection&) = delete;
  CriticalSection& operator=(const CriticalSection&) = delete;

  void Enter() { mutex_.lock(); }
  bool TryEnter() { return mutex_.try_lock(); }
  void Leave() { mutex_.unlock(); }

 private:
  std::recursive_mutex mutex_;
};

class MutexLock {
 public:
  explicit MutexLock(Mutex& m) : m_(m) { m_.Lock(); }
  ~MutexLock() { m_.Unlock(); }
  MutexLock(const MutexLock&) = delete;
  MutexLock& operator=(const MutexLock&) = delete;

 private:
  Mutex& m_;
};

class CriticalSectionLock {
 public:
  explicit CriticalSectionLock(CriticalSection& cs) : cs_(cs) { cs_.Enter(); }
  ~CriticalSectionLock() { cs_.Leave(); }
  CriticalSectionLock(const CriticalSectionLock&) = delete;
  CriticalSectionLock& operator=(const CriticalSectionLock&) = delete;

 private:
  CriticalSection& cs_;
};

}  // namespace platform
