// The trend's samples and scales, without a window: up to kTrendMaxTags tags, each with a ring of
// (time, value, drawable) samples sized for the longest window, taken from the tags' live fields
// on the live list's refresh tick, and the range each curve is drawn in (automatic from the
// values shown, or set by the user).
//
//   TrendStore store;
//   store.Add(Project().tags, 3);                     // the tag at index 3
//   store.Sample(Project().tags, NowMs());            // on every refresh tick
//   const TrendRange r = store.RangeOf(0, NowMs() - 5 * 60000);
//   const double y = ScaledPercent(store.Series(0).ring[0].value, r);
//
// Everything runs on the user-interface thread; the live fields are read through tag_fields.h
// while polling threads store them, as the live list reads them.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/records.h"

namespace talvek {

// How many tags one trend shows at most.
inline constexpr std::size_t kTrendMaxTags = 8;
// The windows the user can choose, in minutes; the last is the longest.
inline constexpr int kTrendWindowMinutes[] = {1, 5, 10, 30, 60};
inline constexpr std::int64_t kTrendLongestWindowMs = 60LL * 60 * 1000;
// Samples kept per tag: the longest window at the list's once-a-second tick, with a minute of
// slack for ticks that come a little early.
inline constexpr std::size_t kTrendRingCapacity = 3600 + 60;

// One sample. `drawable` is false for a bad-quality read (anything but 192) and for a value that
// is not a finite number: such a sample is a gap in the curve, never a point.
struct TrendSample {
  std::int64_t timeMs = 0;  // milliseconds since the Unix epoch
  double value = 0;
  bool drawable = false;
  // The tag had not been read yet (just started, or its device not reached yet): a gap, but not
  // a bad read.
  bool unread = false;
};

// A ring of samples in time order with a fixed capacity: the oldest goes when a new one comes to
// a full ring. The storage is taken once, at the first sample.
class TrendRing {
 public:
  explicit TrendRing(std::size_t capacity = kTrendRingCapacity) : capacity_(capacity) {}

  void Push(const TrendSample& sample);
  // Drops the samples older than `timeMs`.
  void TrimBefore(std::int64_t timeMs);
  void Clear();

  std::size_t Size() const { return count_; }
  std::size_t Capacity() const { return capacity_; }
  // Sample `i`, 0 the oldest.
  const TrendSample& operator[](std::size_t i) const {
    return buffer_[(head_ + i) % buffer_.size()];
  }
  // The position of the first sample at or after `timeMs` (Size() when there is none).
  std::size_t FirstAtOrAfter(std::int64_t timeMs) const;
  // Bytes of sample storage held.
  std::size_t MemoryBytes() const { return buffer_.capacity() * sizeof(TrendSample); }

 private:
  std::size_t capacity_;
  std::vector<TrendSample> buffer_;
  std::size_t head_ = 0;  // position of the oldest sample
  std::size_t count_ = 0;
};

// Two samples further apart than this (ticks missed, communication stopped meanwhile) are not
// joined by a line: nothing is known in between.
inline constexpr std::int64_t kTrendMaxStepMs = 3000;

// A run of drawable samples of a ring: positions first .. first + count - 1.
struct TrendRun {
  std::size_t first = 0;
  std::size_t count = 0;
};

// The runs of drawable samples from `fromMs` on, oldest first. A sample that is not drawable ends
// a run, and so does a step of more than kTrendMaxStepMs between two samples.
std::vector<TrendRun> DrawableRuns(const TrendRing& ring, std::int64_t fromMs);

// A range a curve is drawn in: `low` at the bottom of the plot, `high` at the top.
struct TrendRange {
  double low = 0;
  double high = 1;
};

// The automatic range of the drawable samples of `ring` from `fromMs` on: their minimum and
// maximum, widened to multiples of a round step (1, 2 or 5 times a power of ten, about a fifth of
// the span), so the legend reads "0 … 120" rather than "3.17 … 118.4". A flat curve gets round
// bounds a step or two either side of its value; a ring without a drawable sample there 0 … 1.
TrendRange AutoRange(const TrendRing& ring, std::int64_t fromMs);
// Where `value` lies in `range`, in percent of it (0 at `low`, 100 at `high`; outside the range
// below 0 or above 100).
double ScaledPercent(double value, TrendRange range);
// Reads a range the user typed. False, with `error` (Chinese, UTF-8) set, when a bound is not a
// finite number or the lower bound is not below the upper one.
[[nodiscard]] bool ParseTrendRange(std::string_view low, std::string_view high, TrendRange& range,
                                   std::string& error);
// A bound as the legend shows it: up to six significant digits, no trailing zeros.
std::string RangeBoundText(double value);

// One tag's curve.
struct TrendSeries {
  std::size_t tagIndex = 0;
  std::string name;  // GBK, as in the tag's record
  std::int32_t varType = 0;
  TrendRing ring;
  bool manual = false;  // drawn in `manualRange` rather than the automatic range
  TrendRange manualRange;
};

class TrendStore {
 public:
  enum class AddResult {
    kAdded,
    kAlreadyShown,  // the tag has a curve already
    kFull,          // kTrendMaxTags curves already
    kNotNumeric,    // a string tag (or an unknown type) has no value to draw
    kNoTag,         // no tag at that index
  };

  // Adds a curve for the tag at `index` of `tags`.
  AddResult Add(std::span<const TagRecord> tags, std::size_t index);
  // Removes curve `position` (0 the first added); false when there is none.
  bool Remove(std::size_t position);
  void Clear() { series_.clear(); }

  std::size_t Size() const { return series_.size(); }
  bool Empty() const { return series_.empty(); }
  const TrendSeries& Series(std::size_t position) const { return series_[position]; }

  // One refresh tick at `nowMs`: a sample of every curve's tag, from its live value and quality;
  // samples older than the longest window go. A tag no longer in the table gives a gap.
  void Sample(std::span<const TagRecord> tags, std::int64_t nowMs);
  // True when every curve's tag is still at its index with its name and type: the table has not
  // changed under the trend.
  bool Matches(std::span<const TagRecord> tags) const;

  // The range curve `position` is drawn in for a window starting at `fromMs`.
  TrendRange RangeOf(std::size_t position, std::int64_t fromMs) const;
  // Draws curve `position` in `range` from now on (false for a bad position or a range whose
  // lower bound is not below its upper one), or in its automatic range again.
  bool SetManualRange(std::size_t position, TrendRange range);
  void SetAutoRange(std::size_t position);

  // Bytes of sample storage held by all curves.
  std::size_t MemoryBytes() const;

 private:
  std::vector<TrendSeries> series_;
};

}  // namespace talvek
