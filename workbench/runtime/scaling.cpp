#include "workbench/runtime/scaling.h"

#include <cfloat>
#include <cmath>
#include <cstdint>
#include <limits>

namespace talvek {
namespace {

// Extended precision: every int32/uint32 limit and every float is exact, and the products of
// the scaling formula keep about 64 bits.
using Real = long double;

// A float tag's limits are float words; every other tag's are int32.
Real EngLimit(int32_t word, bool floatLimits) {
  return floatLimits ? static_cast<Real>(WordToFloat(word)) : static_cast<Real>(word);
}

// Truncates toward zero into [lo, hi]. The range check comes before the conversion, so no
// out-of-range value is ever converted (that would be undefined behaviour). NaN gives nullopt.
std::optional<int64_t> TruncateInto(Real r, int64_t lo, int64_t hi) {
  if (std::isnan(r))
    return std::nullopt;
  r = std::trunc(r);
  if (r <= static_cast<Real>(lo))
    return lo;
  if (r >= static_cast<Real>(hi))
    return hi;
  return static_cast<int64_t>(r);
}

// Rounds into a float, saturating at ±FLT_MAX (infinities included); NaN stays NaN.
float SaturateToFloat(Real r) {
  if (std::isnan(r))
    return std::numeric_limits<float>::quiet_NaN();
  if (r > static_cast<Real>(FLT_MAX))
    return FLT_MAX;
  if (r < static_cast<Real>(-FLT_MAX))
    return -FLT_MAX;
  return static_cast<float>(r);
}

// The raw word for a scaled raw result, saturated to the range of `rawType` rather than wrapped
// through its low bits: an engineering value beyond its range must send the nearest raw limit,
// not an unrelated value. Unknown types are handled as int32, as RawWordToDouble reads them.
std::optional<int32_t> RawResultToWord(Real r, int32_t rawType) {
  std::optional<int64_t> v;
  switch (rawType) {
    case kRawFloat:
      return FloatToWord(SaturateToFloat(r));
    case kRawByte:
      v = TruncateInto(r, 0, UINT8_MAX);
      break;
    case kRawInt16:
      v = TruncateInto(r, INT16_MIN, INT16_MAX);
      break;
    case kRawUInt16:
    case kRawBcd16:
      v = TruncateInto(r, 0, UINT16_MAX);
      break;
    case kRawBcd32:
      v = TruncateInto(r, 0, UINT32_MAX);
      break;
    default:
      v = TruncateInto(r, INT32_MIN, INT32_MAX);
      break;
  }
  if (!v)
    return std::nullopt;
  // BCD32 values above INT32_MAX keep their 32 bits (modular conversion, defined since C++20).
  return static_cast<int32_t>(static_cast<uint32_t>(*v));
}

// raw = rawMin + f × (rawMax − rawMin), with f = (e − engMin) / (engMax − engMin); f = 0 when the
// engineering range is empty, so such a tag writes rawMin instead of dividing by zero. The raw
// limits are read in the width of the raw type, as the reading direction reads them (BCD32 as
// uint32), so both directions agree on the same tag.
std::optional<int32_t> EngineeringToRawWord(const TagRecord& t, Real e, Real engMin, Real engMax) {
  const Real f = (engMax == engMin) ? 0.0L : (e - engMin) / (engMax - engMin);
  const Real rawMin = RawWordToDouble(t.rawMin, t.rawType);
  const Real rawMax = RawWordToDouble(t.rawMax, t.rawType);
  return RawResultToWord(rawMin + f * (rawMax - rawMin), t.rawType);
}

}  // namespace

int32_t ScaleToEngineering(const TagRecord& t, int32_t rawWord) {
  const bool floatTag = t.varType == kVarFloat;
  if (t.rawType == kRawString)
    return t.value;
  if (t.rawType == kRawBit) {
    const bool on = rawWord != 0;
    return floatTag ? FloatToWord(on ? 1.0f : 0.0f) : (on ? 1 : 0);
  }

  const Real raw = RawWordToDouble(rawWord, t.rawType);
  const Real rawMin = RawWordToDouble(t.rawMin, t.rawType);
  const Real rawMax = RawWordToDouble(t.rawMax, t.rawType);
  const Real engMin = EngLimit(t.engMin, floatTag);
  const Real engMax = EngLimit(t.engMax, floatTag);
  // An empty raw range would divide by zero; such a tag shows its engineering minimum.
  const Real r =
      (rawMax == rawMin) ? engMin : engMin + (engMax - engMin) * (raw - rawMin) / (rawMax - rawMin);

  if (floatTag)
    return FloatToWord(SaturateToFloat(r));
  // A NaN (only possible with a NaN float raw value or limit) has no integer value: show engMin.
  return static_cast<int32_t>(TruncateInto(r, INT32_MIN, INT32_MAX).value_or(t.engMin));
}

int32_t IntegerToRaw(const TagRecord& t, int32_t v) {
  if (t.rawType == kRawBit || t.rawType == kRawString)
    return v;
  // Integer limits and raw limits of an integer raw type are finite, so only a float raw type
  // can yield NaN (from NaN raw limits), and that keeps its NaN bits; the fallback is unreachable.
  return EngineeringToRawWord(t, v, t.engMin, t.engMax).value_or(t.rawMin);
}

std::optional<int32_t> FloatToRaw(const TagRecord& t, float x) {
  if (t.rawType == kRawBit || t.rawType == kRawString)
    return FloatToWord(x);
  return EngineeringToRawWord(t, x, WordToFloat(t.engMin), WordToFloat(t.engMax));
}

}  // namespace talvek
