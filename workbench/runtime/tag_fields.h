// Word-wise atomic access to the runtime fields of a TagRecord.
//
// The live list reads `value`, `rawValue`, `quality` and `updateTime` without the tag-table mutex
// while polling threads store them, and the polling threads' mode-1 raw copies and quality-0
// stores are made without the mutex as well. Every such access goes through these helpers: each
// field (each half of `updateTime`) is one aligned relaxed atomic load or store, so a reader sees
// every word whole. Fields of one tag may still come from different cycles, and the two halves
// of `updateTime` are separate words: a reader racing a store may pair the low half of one time
// stamp with the high half of another. Configuration fields are not covered: they change only
// while communication is stopped.
//
//   const int32_t v = LoadValueWord(tag);     // in the list view, no lock
//   StoreQuality(tag, 0);                     // in a polling thread after a failed read
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>

#include "common/records.h"

namespace talvek {

// The runtime fields must be naturally aligned inside the record and the record itself at least
// 4-aligned, or a word-wise atomic access would not be one aligned access.
static_assert(alignof(TagRecord) >= 4);
static_assert(offsetof(TagRecord, value) % std::atomic_ref<int32_t>::required_alignment == 0);
static_assert(offsetof(TagRecord, rawValue) % std::atomic_ref<int32_t>::required_alignment == 0);
static_assert(offsetof(TagRecord, quality) % std::atomic_ref<uint16_t>::required_alignment == 0);
static_assert(offsetof(TagRecord, updateTime) % std::atomic_ref<uint32_t>::required_alignment == 0);
static_assert(offsetof(TagRecord, updateTime.dwHighDateTime) ==
              offsetof(TagRecord, updateTime) + 4);
static_assert(std::atomic_ref<int32_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint16_t>::is_always_lock_free);
static_assert(std::atomic_ref<uint32_t>::is_always_lock_free);

namespace tag_fields_detail {
// C++20's atomic_ref has no const form; a relaxed load of a lock-free word does not write.
template <typename T>
T Load(const T& field) {
  return std::atomic_ref<T>(const_cast<T&>(field)).load(std::memory_order_relaxed);
}
template <typename T>
void Store(T& field, T v) {
  std::atomic_ref<T>(field).store(v, std::memory_order_relaxed);
}
}  // namespace tag_fields_detail

// The engineering value word (int32, float bits or atom in the low 16 bits, by varType).
inline int32_t LoadValueWord(const TagRecord& t) {
  return tag_fields_detail::Load(t.value);
}
// The raw value word, in the width of the tag's rawType.
inline int32_t LoadRawWord(const TagRecord& t) {
  return tag_fields_detail::Load(t.rawValue);
}
// The quality code (192 good, 0 bad).
inline uint16_t LoadQuality(const TagRecord& t) {
  return tag_fields_detail::Load(t.quality);
}
// The time stamp of the last update, read as two words (see the header comment on tearing).
inline FILETIME LoadUpdateTime(const TagRecord& t) {
  return FILETIME{tag_fields_detail::Load(t.updateTime.dwLowDateTime),
                  tag_fields_detail::Load(t.updateTime.dwHighDateTime)};
}

// Stores the engineering value word.
inline void StoreValueWord(TagRecord& t, int32_t v) {
  tag_fields_detail::Store(t.value, v);
}
// Stores the whole raw value word.
inline void StoreRawWord(TagRecord& t, int32_t v) {
  tag_fields_detail::Store(t.rawValue, v);
}
// Stores the quality code.
inline void StoreQuality(TagRecord& t, uint16_t q) {
  tag_fields_detail::Store(t.quality, q);
}
// Stores the time stamp, low word first.
inline void StoreUpdateTime(TagRecord& t, FILETIME time) {
  tag_fields_detail::Store(t.updateTime.dwLowDateTime, time.dwLowDateTime);
  tag_fields_detail::Store(t.updateTime.dwHighDateTime, time.dwHighDateTime);
}

}  // namespace talvek
