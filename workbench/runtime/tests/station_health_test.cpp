#include "workbench/runtime/station_health.h"

#include <gtest/gtest.h>

namespace {

using talvek::kDemoteAfterFailedCycles;
using talvek::StationHealth;
using Change = StationHealth::Change;
using std::chrono::milliseconds;

constexpr milliseconds kRetry{1000};

TEST(StationHealthTest, DemotedAfterFailedCyclesInARowAskedOncePerRetryAndPromotedByAnAnswer) {
  StationHealth health({.demote = true});
  StationHealth::Clock::time_point t{};
  // An answer between failures starts the count again.
  EXPECT_EQ(health.Record(false, t), Change::kNone);
  EXPECT_EQ(health.Record(true, t), Change::kNone);
  for (int i = 1; i < kDemoteAfterFailedCycles; ++i)
    EXPECT_EQ(health.Record(false, t), Change::kNone) << i;
  EXPECT_TRUE(health.ShouldPoll(t, kRetry));
  EXPECT_EQ(health.Record(false, t), Change::kDemoted);
  EXPECT_TRUE(health.Demoted());

  EXPECT_FALSE(health.ShouldPoll(t + milliseconds(999), kRetry));
  EXPECT_TRUE(health.ShouldPoll(t + kRetry, kRetry));
  t += kRetry;
  EXPECT_EQ(health.Record(false, t), Change::kNone);  // still demoted: no second report
  EXPECT_FALSE(health.ShouldPoll(t + milliseconds(10), kRetry));
  EXPECT_EQ(health.Record(true, t + kRetry), Change::kPromoted);
  EXPECT_FALSE(health.Demoted());
  EXPECT_TRUE(health.ShouldPoll(t + kRetry, kRetry));
}

TEST(StationHealthTest, GivenUpAfterItsLongestRecoveryTimeUntilReset) {
  StationHealth health({.demote = true, .giveUpAfter = milliseconds(5000)});
  StationHealth::Clock::time_point t{};
  const auto start = t;
  for (int i = 0; i < kDemoteAfterFailedCycles; ++i)
    health.Record(false, t += milliseconds(100));
  ASSERT_TRUE(health.Demoted());
  // Counted from the first failed cycle, not from the demotion.
  EXPECT_EQ(health.Record(false, start + milliseconds(5099)), Change::kNone);
  EXPECT_EQ(health.Record(false, start + milliseconds(5100)), Change::kGivenUp);
  EXPECT_FALSE(health.ShouldPoll(start + std::chrono::hours(1), kRetry));
  health.Reset();
  EXPECT_TRUE(health.ShouldPoll(start, kRetry));
  EXPECT_FALSE(health.Demoted());
  EXPECT_FALSE(health.GivenUp());
}

TEST(StationHealthTest, WithoutDemotionAFailingStationStaysInEveryCycle) {
  StationHealth health({.demote = false, .giveUpAfter = milliseconds(1)});
  StationHealth::Clock::time_point t{};
  for (int i = 0; i < 10; ++i)
    EXPECT_EQ(health.Record(false, t += std::chrono::hours(1)), Change::kNone);
  EXPECT_TRUE(health.ShouldPoll(t, kRetry));
  EXPECT_FALSE(health.Demoted());
}

}  // namespace
