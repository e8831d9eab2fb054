#include "platform/clock.h"

#include <errno.h>
#include <sched.h>
#include <time.h>

namespace {

constexpr uint64_t kTicksPerSecond = 10'000'000;  // FILETIME ticks are 100 ns
constexpr uint64_t kTicksPerDay = kTicksPerSecond * 86'400;
// 1601-01-01 to 1970-01-01: 369 years with 89 leap days.
constexpr uint64_t kUnixEpochTicks = 116'444'736'000'000'000;
constexpr int64_t kUnixEpochSeconds = static_cast<int64_t>(kUnixEpochTicks / kTicksPerSecond);
constexpr int64_t kDaysFrom1601To1970 = 134'774;
// FILETIMEs with the top bit set are refused, as on Windows; the last valid year is 30827.
constexpr uint64_t kMaxTicks = 0x7FFF'FFFF'FFFF'FFFFull;
constexpr int kMinYear = 1601;
constexpr int kMaxYear = 30827;

struct CivilDate {
  int64_t year;
  unsigned month;  // 1..12
  unsigned day;    // 1..31
};

// Proleptic Gregorian date of a day count since 1970-01-01 (H. Hinnant's civil_from_days).
CivilDate CivilFromDays(int64_t z) {
  z += 719'468;  // shift the epoch to 0000-03-01 so that leap days fall at a year's end
  const int64_t era = (z >= 0 ? z : z - 146'096) / 146'097;
  const uint64_t doe = static_cast<uint64_t>(z - era * 146'097);                 // [0, 146096]
  const uint64_t yoe = (doe - doe / 1460 + doe / 36'524 - doe / 146'096) / 365;  // [0, 399]
  const uint64_t doy = doe - (365 * yoe + yoe / 4 - yoe / 100);                  // [0, 365]
  const uint64_t mp = (5 * doy + 2) / 153;                                       // [0, 11]
  const unsigned day = static_cast<unsigned>(doy - (153 * mp + 2) / 5 + 1);
  const unsigned month = static_cast<unsigned>(mp < 10 ? mp + 3 : mp - 9);
  const int64_t year = static_cast<int64_t>(yoe) + era * 400 + (month <= 2 ? 1 : 0);
  return {year, month, day};
}

}  // namespace

namespace platform {

DWORD GetTickCount() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  uint64_t ms =
      static_cast<uint64_t>(ts.tv_sec) * 1000 + static_cast<uint64_t>(ts.tv_nsec) / 1'000'000;
  return static_cast<DWORD>(ms);  // wraps like the Windows counter
}

void Sleep(DWORD milliseconds) {
  if (milliseconds == 0) {
    sched_yield();  // Windows: give up the rest of the time slice
    return;
  }
  timespec request{static_cast<time_t>(milliseconds / 1000),
                   static_cast<long>(milliseconds % 1000) * 1'000'000};
  timespec remaining;
  // A signal handler interrupts nanosleep; keep sleeping for what is left.
  while (nanosleep(&request, &remaining) == -1 && errno == EINTR)
    request = remaining;
}

void GetSystemTimeAsFileTime(FILETIME* now) {
  if (!now)
    return;
  timespec ts;
  clock_gettime(CLOCK_REALTIME, &ts);
  // A clock set before 1970 gives a negative tv_sec; the sum stays positive back to 1601.
  int64_t ticks = static_cast<int64_t>(ts.tv_sec) * static_cast<int64_t>(kTicksPerSecond) +
                  ts.tv_nsec / 100 + static_cast<int64_t>(kUnixEpochTicks);
  *now = platform::FileTimeFromTicks(ticks < 0 ? 0 : static_cast<uint64_t>(ticks));
}

BOOL FileTimeToSystemTime(const FILETIME* time, SYSTEMTIME* out) {
  if (!time || !out)
    return FALSE;
  const uint64_t ticks = platform::FileTimeTicks(*time);
  if (ticks > kMaxTicks)
    return FALSE;

  const uint64_t days = ticks / kTicksPerDay;
  const uint64_t inDay = ticks % kTicksPerDay;
  const CivilDate date = CivilFromDays(static_cast<int64_t>(days) - kDaysFrom1601To1970);
  if (date.year < kMinYear || date.year > kMaxYear)
    return FALSE;

  out->wYear = static_cast<WORD>(date.year);
  out->wMonth = static_cast<WORD>(date.month);
  out->wDay = static_cast<WORD>(date.day);
  out->wDayOfWeek = static_cast<WORD>((days + 1) % 7);  // 1601-01-01 was a Monday
  out->wHour = static_cast<WORD>(inDay / (kTicksPerSecond * 3600));
  out->wMinute = static_cast<WORD>(inDay / (kTicksPerSecond * 60) % 60);
  out->wSecond = static_cast<WORD>(inDay / kTicksPerSecond % 60);
  out->wMilliseconds = static_cast<WORD>(inDay / 10'000 % 1000);
  return TRUE;
}

BOOL FileTimeToLocalSystemTime(const FILETIME* time, SYSTEMTIME* out) {
  if (!time || !out)
    return FALSE;
  const uint64_t ticks = platform::FileTimeTicks(*time);
  if (ticks > kMaxTicks)
    return FALSE;

  const time_t seconds =
      static_cast<time_t>(static_cast<int64_t>(ticks / kTicksPerSecond) - kUnixEpochSeconds);
  tm local;
  if (!localtime_r(&seconds, &local))
    return FALSE;
  const int64_t year = static_cast<int64_t>(local.tm_year) + 1900;
  if (year < kMinYear || year > kMaxYear)
    return FALSE;

  out->wYear = static_cast<WORD>(year);
  out->wMonth = static_cast<WORD>(local.tm_mon + 1);
  out->wDay = static_cast<WORD>(local.tm_mday);
  out->wDayOfWeek = static_cast<WORD>(local.tm_wday);
  out->wHour = static_cast<WORD>(local.tm_hour);
  out->wMinute = static_cast<WORD>(local.tm_min);
  out->wSecond = static_cast<WORD>(local.tm_sec);
  // Zone offsets are whole seconds, so the fraction carries over unchanged.
  out->wMilliseconds = static_cast<WORD>(ticks / 10'000 % 1000);
  return TRUE;
}

}  // namespace platform
