// StationHealth: whether a station on a shared line is polled in a cycle, and when it is set
// aside.
//
// A station that does not answer costs a full time-out per request, and every other station on
// its line waits for it. So a station whose every read failed kDemoteAfterFailedCycles cycles in
// a row is demoted: from then on it is asked only once per retry interval, while the other
// stations keep their own cycle. The first answer promotes it back at once. A demoted station that
// has not answered for its give-up time is given up: it is not asked again until
// communication restarts. Without demotion (the device's "dynamic optimisation" is off) a failing
// station stays in every cycle and is never given up.
//
//   StationHealth health({.demote = true, .giveUpAfter = 5h});
//   if (health.ShouldPoll(now, retry)) {
//     bool answered = ...;                    // any read of the station succeeded
//     switch (health.Record(answered, now)) { case StationHealth::Change::kDemoted: ... }
//   }
//
// Pure bookkeeping: no clock of its own, no locks; its owner calls it from one thread.
#pragma once

#include <chrono>

namespace talvek {

// Cycles in a row in which every read of a station failed before the station is demoted.
inline constexpr int kDemoteAfterFailedCycles = 3;

class StationHealth {
 public:
  using Clock = std::chrono::steady_clock;

  struct Policy {
    bool demote = false;                      // demote a failing station (else: never set aside)
    std::chrono::milliseconds giveUpAfter{};  // this long without an answer (counted from the
                                              // first failed cycle): given up; 0 = never
  };

  enum class Change {
    kNone,
    kDemoted,   // the station failed kDemoteAfterFailedCycles cycles: asked once per retry
    kPromoted,  // a demoted station answered: back in every cycle
    kGivenUp,   // a demoted station did not answer within the give-up time: asked no more
  };

  StationHealth() = default;
  explicit StationHealth(Policy policy) : policy_(policy) {}

  // True when the station is to be asked in the cycle starting at `now`: always while it is
  // healthy or merely failing, once per `retry` since its last attempt while demoted, never once
  // given up.
  bool ShouldPoll(Clock::time_point now, std::chrono::milliseconds retry) const;
  // Records a cycle in which the station was asked: `answered` when at least one of its reads
  // succeeded. Returns the change of state it caused.
  Change Record(bool answered, Clock::time_point now);
  // Back to healthy (communication restarted).
  void Reset();

  bool Demoted() const { return demoted_; }
  bool GivenUp() const { return givenUp_; }
  int FailedCycles() const { return failedCycles_; }

 private:
  Policy policy_{};
  int failedCycles_ = 0;
  bool demoted_ = false;
  bool givenUp_ = false;
  Clock::time_point lastAttempt_{};
  Clock::time_point failingSince_{};  // the first cycle of the current run of failures
};

}  // namespace talvek
