// Time: a millisecond tick count, sleeping, FILETIME and its local calendar fields.
#pragma once

#include <cstdint>

#include "platform/win_types.h"

namespace platform {

// Milliseconds since an arbitrary start, on the monotonic clock; wraps after 49.7 days.
DWORD GetTickCount();

// Sleeps for at least `milliseconds`.
void Sleep(DWORD milliseconds);

// The current time as a FILETIME (UTC).
void GetSystemTimeAsFileTime(FILETIME* now);

// UTC calendar fields of a FILETIME. FALSE when it lies outside the years 1601..30827.
BOOL FileTimeToSystemTime(const FILETIME* time, SYSTEMTIME* out);

// Local-time calendar fields (the process's time zone, daylight saving included) of a FILETIME.
BOOL FileTimeToLocalSystemTime(const FILETIME* time, SYSTEMTIME* out);

// FILETIME <-> 100 ns ticks since 1601 as one 64-bit number.
inline uint64_t FileTimeTicks(const FILETIME& t) {
  return (static_cast<uint64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime;
}
inline FILETIME FileTimeFromTicks(uint64_t ticks) {
  return FILETIME{static_cast<DWORD>(ticks), static_cast<DWORD>(ticks >> 32)};
}

}  // namespace platform
