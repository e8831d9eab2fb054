// TraceBuffer: the drivers' frames and events on their way from the polling threads to the
// communication monitor.
//
// Polling threads Push under a mutex held only for the move into a deque; the user-interface
// thread takes everything at once on its timer. The queue is bounded (kTraceQueueCapacity): when
// nobody takes, the oldest entries go and are counted, so memory stays flat over days of polling.
// While disabled, Push is never reached: the drivers' sinks check Enabled() first, so a frame
// costs one atomic load.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "workbench/project/driver_host_interface.h"

namespace talvek {

inline constexpr std::size_t kTraceQueueCapacity = 20000;

class TraceBuffer {
 public:
  explicit TraceBuffer(std::size_t capacity = kTraceQueueCapacity) : capacity_(capacity) {}

  void SetEnabled(bool on);
  bool Enabled() const { return enabled_.load(std::memory_order_relaxed); }
  // Queues `entry` (any thread), dropping the oldest when full.
  void Push(TraceEntry&& entry);
  // Everything queued, oldest first; the queue is empty afterwards.
  std::vector<TraceEntry> Take();
  // Entries dropped because the queue was full, since the buffer was made.
  uint64_t Dropped() const { return dropped_.load(std::memory_order_relaxed); }

 private:
  const std::size_t capacity_;
  std::atomic<bool> enabled_{false};
  std::atomic<uint64_t> dropped_{0};
  std::mutex mutex_;
  std::deque<TraceEntry> queue_;  // guarded by mutex_
};

}  // namespace talvek
