#include "platform/clock.h"

#include <gtest/gtest.h>
#include <pthread.h>
#include <signal.h>
#include <time.h>

#include <atomic>
#include <chrono>
#include <optional>
#include <string>
#include <thread>

#include "common/testing/test_support.h"

namespace {

using platform::FileTimeFromTicks;
using platform::FileTimeTicks;

// Sets TZ for the life of the object and makes the C library re-read it both ways.
class ScopedTimeZone {
 public:
  explicit ScopedTimeZone(const std::string& tz) : env_(std::in_place, "TZ", tz) { tzset(); }
  ~ScopedTimeZone() {
    env_.reset();
    tzset();
  }

 private:
  std::optional<testing_support::ScopedEnv> env_;
};

SYSTEMTIME Utc(uint64_t ticks) {
  FILETIME ft = FileTimeFromTicks(ticks);
  SYSTEMTIME st{};
  EXPECT_TRUE(platform::FileTimeToSystemTime(&ft, &st)) << ticks;
  return st;
}

SYSTEMTIME Local(uint64_t ticks) {
  FILETIME ft = FileTimeFromTicks(ticks);
  SYSTEMTIME st{};
  EXPECT_TRUE(platform::FileTimeToLocalSystemTime(&ft, &st)) << ticks;
  return st;
}

std::string Format(const SYSTEMTIME& st) {
  char buf[64];
  snprintf(buf, sizeof buf, "%04u-%02u-%02u %02u:%02u:%02u.%03u dow%u", st.wYear, st.wMonth,
           st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds, st.wDayOfWeek);
  return buf;
}

TEST(ClockTest, UtcCalendarOfKnownFileTimes) {
  EXPECT_EQ(Format(Utc(0)), "1601-01-01 00:00:00.000 dow1");
  EXPECT_EQ(Format(Utc(125911584000000000ull)), "2000-01-01 00:00:00.000 dow6");
  EXPECT_EQ(Format(Utc(125963012967890000ull)), "2000-02-29 12:34:56.789 dow2");
  EXPECT_EQ(Format(Utc(94405823999990000ull)), "1900-02-28 23:59:59.999 dow3");
  EXPECT_EQ(Format(Utc(94405823999990000ull + 10000)), "1900-03-01 00:00:00.000 dow4");
  EXPECT_EQ(Format(Utc(116444736000000000ull)), "1970-01-01 00:00:00.000 dow4");
  // Sub-millisecond ticks are dropped, not rounded up.
  EXPECT_EQ(Utc(125911584000000000ull + 9999).wMilliseconds, 0);
}

TEST(ClockTest, UtcRangeEndsIn30827) {
  const uint64_t year30828 = 0x7FFF35F4F06C8000ull;
  EXPECT_EQ(Format(Utc(year30828 - 10000)), "30827-12-31 23:59:59.999 dow5");
  SYSTEMTIME st;
  FILETIME ft = FileTimeFromTicks(year30828);
  EXPECT_FALSE(platform::FileTimeToSystemTime(&ft, &st));
  ft = FileTimeFromTicks(0x8000000000000000ull);
  EXPECT_FALSE(platform::FileTimeToSystemTime(&ft, &st));
  EXPECT_FALSE(platform::FileTimeToLocalSystemTime(&ft, &st));
  EXPECT_FALSE(platform::FileTimeToSystemTime(nullptr, &st));
  EXPECT_FALSE(platform::FileTimeToSystemTime(&ft, nullptr));
}

TEST(ClockTest, LocalCalendarFollowsTheTimeZone) {
  const uint64_t y2k = 125911584000000000ull;
  {
    ScopedTimeZone tz("UTC");
    EXPECT_EQ(Format(Local(y2k + 4560000)), "2000-01-01 00:00:00.456 dow6");
    EXPECT_EQ(Format(Local(125963012967890000ull)), "2000-02-29 12:34:56.789 dow2");
  }
  {
    ScopedTimeZone tz("CST-8");  // eight hours east of UTC
    EXPECT_EQ(Format(Local(y2k)), "2000-01-01 08:00:00.000 dow6");
    // 1999-12-31 20:00:00.123 UTC crosses midnight and the year; milliseconds stay.
    EXPECT_EQ(Format(Local(125911440001230000ull)), "2000-01-01 04:00:00.123 dow6");
    // Before 1970 (negative Unix time).
    EXPECT_EQ(Format(Local(116444700000000000ull)), "1970-01-01 07:00:00.000 dow4");
  }
  {
    ScopedTimeZone tz("EST5");
    EXPECT_EQ(Format(Local(y2k + 7770000)), "1999-12-31 19:00:00.777 dow5");
    // 1601-01-01 00:00 UTC is still in 1600 there: outside the representable range.
    FILETIME ft = FileTimeFromTicks(0);
    SYSTEMTIME st;
    EXPECT_FALSE(platform::FileTimeToLocalSystemTime(&ft, &st));
  }
}

TEST(ClockTest, SystemTimeMatchesTheRealTimeClock) {
  time_t before = time(nullptr);
  FILETIME now;
  platform::GetSystemTimeAsFileTime(&now);
  time_t after = time(nullptr);
  int64_t seconds = static_cast<int64_t>(FileTimeTicks(now) / 10000000) - 11644473600;
  EXPECT_GE(seconds, before - 1);
  EXPECT_LE(seconds, after + 1);
  platform::GetSystemTimeAsFileTime(nullptr);  // tolerated
}

TEST(ClockTest, TickCountIsMonotonicAndSleepWaitsLongEnough) {
  DWORD last = platform::GetTickCount();
  for (int i = 0; i < 10000; ++i) {
    DWORD now = platform::GetTickCount();
    ASSERT_LT(static_cast<DWORD>(now - last), 0x80000000u) << "tick count went back";
    last = now;
  }

  auto start = std::chrono::steady_clock::now();
  DWORD t0 = platform::GetTickCount();
  platform::Sleep(30);
  DWORD elapsedTicks = platform::GetTickCount() - t0;
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_GE(elapsed, std::chrono::milliseconds(30));
  EXPECT_GE(elapsedTicks, 30u);
  platform::Sleep(0);  // only yields
}

void IgnoreSignal(int) {}

TEST(ClockTest, SleepResumesAfterSignals) {
  struct sigaction action {};
  action.sa_handler = IgnoreSignal;  // no SA_RESTART: nanosleep returns EINTR
  struct sigaction old {};
  ASSERT_EQ(sigaction(SIGUSR1, &action, &old), 0);

  std::atomic<bool> done{false};
  pthread_t sleeper = pthread_self();
  std::thread interrupter([&] {
    while (!done.load()) {
      pthread_kill(sleeper, SIGUSR1);
      std::this_thread::sleep_for(std::chrono::milliseconds(5));  // pacing only
    }
  });
  auto start = std::chrono::steady_clock::now();
  platform::Sleep(100);
  auto elapsed = std::chrono::steady_clock::now() - start;
  done = true;
  interrupter.join();
  sigaction(SIGUSR1, &old, nullptr);
  EXPECT_GE(elapsed, std::chrono::milliseconds(100));
}

}  // namespace
