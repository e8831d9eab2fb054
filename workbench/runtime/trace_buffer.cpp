#include "workbench/runtime/trace_buffer.h"

#include <utility>

namespace talvek {

void TraceBuffer::SetEnabled(bool on) {
  enabled_.store(on, std::memory_order_relaxed);
  if (!on) {
    std::lock_guard lock(mutex_);
    queue_.clear();
  }
}

void TraceBuffer::Push(TraceEntry&& entry) {
  std::lock_guard lock(mutex_);
  if (queue_.size() >= capacity_) {
    queue_.pop_front();
    dropped_.fetch_add(1, std::memory_order_relaxed);
  }
  queue_.push_back(std::move(entry));
}

std::vector<TraceEntry> TraceBuffer::Take() {
  std::deque<TraceEntry> taken;
  {
    std::lock_guard lock(mutex_);
    taken.swap(queue_);
  }
  return {std::make_move_iterator(taken.begin()), std::make_move_iterator(taken.end())};
}

}  // namespace talvek
