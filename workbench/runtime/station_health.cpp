#include "workbench/runtime/station_health.h"

namespace talvek {

bool StationHealth::ShouldPoll(Clock::time_point now, std::chrono::milliseconds retry) const {
  if (givenUp_)
    return false;
  if (!demoted_)
    return true;
  return now - lastAttempt_ >= retry;
}

StationHealth::Change StationHealth::Record(bool answered, Clock::time_point now) {
  lastAttempt_ = now;
  if (answered) {
    const bool wasDemoted = demoted_;
    failedCycles_ = 0;
    demoted_ = false;
    return wasDemoted ? Change::kPromoted : Change::kNone;
  }
  if (failedCycles_ == 0)
    failingSince_ = now;  // the give-up time runs from the first cycle without an answer
  if (failedCycles_ < kDemoteAfterFailedCycles)
    ++failedCycles_;
  if (!policy_.demote)
    return Change::kNone;
  if (!demoted_) {
    if (failedCycles_ < kDemoteAfterFailedCycles)
      return Change::kNone;
    demoted_ = true;
    return Change::kDemoted;
  }
  if (policy_.giveUpAfter.count() > 0 && now - failingSince_ >= policy_.giveUpAfter) {
    givenUp_ = true;
    return Change::kGivenUp;
  }
  return Change::kNone;
}

void StationHealth::Reset() {
  failedCycles_ = 0;
  demoted_ = false;
  givenUp_ = false;
  lastAttempt_ = {};
  failingSince_ = {};
}

}  // namespace talvek
