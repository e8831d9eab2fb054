#include "workbench/ui/trend_store.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <limits>

#include "platform/gbk.h"
#include "workbench/runtime/tag_fields.h"

namespace talvek {
namespace {

// The quality of a good read.
constexpr std::uint16_t kGoodQuality = 192;
constexpr std::uint16_t kWaitingForData = 0x20;

bool IsNumeric(std::int32_t varType) {
  return varType == kVarDiscrete || varType == kVarInteger || varType == kVarFloat;
}

// 1, 2 or 5 times a power of ten, the nearest at or above `step`.
double RoundStep(double step) {
  const double power = std::pow(10.0, std::floor(std::log10(step)));
  for (double factor : {1.0, 2.0, 5.0}) {
    if (factor * power >= step * (1 - 1e-9))
      return factor * power;
  }
  return 10 * power;
}

// A bound the user typed, with a decimal point whatever the locale ("12.5", "-3e2"), blanks
// around allowed.
bool ParseBound(std::string_view text, double& value) {
  const auto first = text.find_first_not_of(" \t");
  if (first == std::string_view::npos)
    return false;
  text.remove_prefix(first);
  text.remove_suffix(text.size() - 1 - text.find_last_not_of(" \t"));
  const char* end = text.data() + text.size();
  const auto [ptr, ec] = std::from_chars(text.data(), end, value);
  return ec == std::errc() && ptr == end && std::isfinite(value);
}

}  // namespace

void TrendRing::Push(const TrendSample& sample) {
  if (capacity_ == 0)
    return;
  if (buffer_.empty())
    buffer_.resize(capacity_);
  if (count_ < capacity_) {
    buffer_[(head_ + count_) % capacity_] = sample;
    ++count_;
    return;
  }
  buffer_[head_] = sample;
  head_ = (head_ + 1) % capacity_;
}

void TrendRing::TrimBefore(std::int64_t timeMs) {
  const std::size_t drop = FirstAtOrAfter(timeMs);
  if (drop == 0)
    return;
  head_ = (head_ + drop) % capacity_;
  count_ -= drop;
}

void TrendRing::Clear() {
  head_ = 0;
  count_ = 0;
}

std::size_t TrendRing::FirstAtOrAfter(std::int64_t timeMs) const {
  // Samples are in time order: a binary search over the ring's positions.
  std::size_t low = 0;
  std::size_t high = count_;
  while (low < high) {
    const std::size_t mid = low + (high - low) / 2;
    if ((*this)[mid].timeMs < timeMs)
      low = mid + 1;
    else
      high = mid;
  }
  return low;
}

std::vector<TrendRun> DrawableRuns(const TrendRing& ring, std::int64_t fromMs) {
  std::vector<TrendRun> runs;
  for (std::size_t i = ring.FirstAtOrAfter(fromMs); i < ring.Size(); ++i) {
    const TrendSample& s = ring[i];
    if (!s.drawable)
      continue;
    TrendRun* last = runs.empty() ? nullptr : &runs.back();
    if (last != nullptr && last->first + last->count == i &&
        s.timeMs - ring[i - 1].timeMs <= kTrendMaxStepMs)
      ++last->count;
    else
      runs.push_back({i, 1});
  }
  return runs;
}

TrendRange AutoRange(const TrendRing& ring, std::int64_t fromMs) {
  double low = std::numeric_limits<double>::infinity();
  double high = -std::numeric_limits<double>::infinity();
  for (std::size_t i = ring.FirstAtOrAfter(fromMs); i < ring.Size(); ++i) {
    const TrendSample& s = ring[i];
    if (!s.drawable)
      continue;
    low = std::min(low, s.value);
    high = std::max(high, s.value);
  }
  if (low > high)
    return {0, 1};
  if (low == high) {
    // A flat curve sits inside a band of round bounds a step or two wide either side.
    const double step = low == 0 ? 1 : RoundStep(std::fabs(low) / 10);
    return {std::floor(low / step) * step - step, std::ceil(high / step) * step + step};
  }
  const double step = RoundStep((high - low) / 5);
  TrendRange range{std::floor(low / step) * step, std::ceil(high / step) * step};
  // A curve whose extreme sits exactly on a step touches the plot's edge: one step more of room.
  if (range.low == low)
    range.low -= step;
  if (range.high == high)
    range.high += step;
  return range;
}

double ScaledPercent(double value, TrendRange range) {
  const double span = range.high - range.low;
  if (!(span > 0))
    return 50;
  return (value - range.low) / span * 100;
}

bool ParseTrendRange(std::string_view low, std::string_view high, TrendRange& range,
                     std::string& error) {
  double lowValue = 0;
  double highValue = 0;
  if (!ParseBound(low, lowValue)) {
    error = "下限不是有效的数值：" + std::string(low);
    return false;
  }
  if (!ParseBound(high, highValue)) {
    error = "上限不是有效的数值：" + std::string(high);
    return false;
  }
  if (!(lowValue < highValue) || !std::isfinite(highValue - lowValue)) {
    error = "下限必须小于上限。";
    return false;
  }
  range = {lowValue, highValue};
  error.clear();
  return true;
}

std::string RangeBoundText(double value) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6g", value == 0 ? 0.0 : value);  // no "-0"
  return text;
}

TrendStore::AddResult TrendStore::Add(std::span<const TagRecord> tags, std::size_t index) {
  if (index >= tags.size())
    return AddResult::kNoTag;
  const TagRecord& tag = tags[index];
  for (const TrendSeries& s : series_) {
    if (s.tagIndex == index)
      return AddResult::kAlreadyShown;
  }
  if (!IsNumeric(tag.varType))
    return AddResult::kNotNumeric;
  if (series_.size() >= kTrendMaxTags)
    return AddResult::kFull;
  TrendSeries& s = series_.emplace_back();
  s.tagIndex = index;
  s.name = std::string(platform::ArrayText(tag.name));
  s.varType = tag.varType;
  return AddResult::kAdded;
}

bool TrendStore::Remove(std::size_t position) {
  if (position >= series_.size())
    return false;
  series_.erase(series_.begin() + static_cast<std::ptrdiff_t>(position));
  return true;
}

void TrendStore::Sample(std::span<const TagRecord> tags, std::int64_t nowMs) {
  for (TrendSeries& s : series_) {
    TrendSample sample;
    sample.timeMs = nowMs;
    if (s.tagIndex < tags.size()) {
      const TagRecord& tag = tags[s.tagIndex];
      const std::int32_t word = LoadValueWord(tag);
      sample.value = s.varType == kVarFloat ? static_cast<double>(WordToFloat(word))
                                            : static_cast<double>(word);
      const std::uint16_t quality = LoadQuality(tag);
      sample.drawable = quality == kGoodQuality && std::isfinite(sample.value);
      sample.unread = quality == kWaitingForData;
    }
    s.ring.TrimBefore(nowMs - kTrendLongestWindowMs);
    s.ring.Push(sample);
  }
}

bool TrendStore::Matches(std::span<const TagRecord> tags) const {
  return std::all_of(series_.begin(), series_.end(), [&](const TrendSeries& s) {
    return s.tagIndex < tags.size() && tags[s.tagIndex].varType == s.varType &&
           platform::ArrayText(tags[s.tagIndex].name) == s.name;
  });
}

TrendRange TrendStore::RangeOf(std::size_t position, std::int64_t fromMs) const {
  const TrendSeries& s = series_[position];
  return s.manual ? s.manualRange : AutoRange(s.ring, fromMs);
}

bool TrendStore::SetManualRange(std::size_t position, TrendRange range) {
  if (position >= series_.size() || !(range.low < range.high))
    return false;
  series_[position].manual = true;
  series_[position].manualRange = range;
  return true;
}

void TrendStore::SetAutoRange(std::size_t position) {
  if (position < series_.size())
    series_[position].manual = false;
}

std::size_t TrendStore::MemoryBytes() const {
  std::size_t bytes = series_.capacity() * sizeof(TrendSeries);
  for (const TrendSeries& s : series_)
    bytes += s.ring.MemoryBytes() + s.name.capacity();
  return bytes;
}

}  // namespace talvek
