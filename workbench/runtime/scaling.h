// Conversions between a tag's raw (device) value and its engineering value.
//
// Reading: a raw word delivered by a driver becomes the engineering value word of an integer or
// float tag by linear scaling from [rawMin, rawMax] to [engMin, engMax]. Writing: a value the user
// typed becomes the raw word to send, by the inverse scaling. Both work in long double and never
// convert an out-of-range or NaN floating value to an integer: results are saturated (see each
// function), because a wrapped value would show, or send to a live plant, something wildly
// different from what was meant. Pure functions: no locks, no state; the caller guards the tag.
//
//   TagRecord t = ...;                       // varType 1, rawType 3, raw 0..65535, eng 0..100
//   int32_t v = ScaleToEngineering(t, 32768);   // 50
//   int32_t raw = IntegerToRaw(t, 50);          // 32767
#pragma once

#include <cstdint>
#include <optional>

#include "common/records.h"

namespace talvek {

// The engineering value word of `t` (an integer or float tag) for the raw word `rawWord`, read in
// the width of t.rawType. Bit type: 1/0 (1.0f/0.0f) for a non-zero/zero raw word. Integer tags
// (any varType other than 2): int32 limits, truncated toward zero, saturated to the int32 range,
// engMin for a NaN result. Float tags (varType 2): float limits, saturated to ±FLT_MAX, NaN kept.
// rawMax == rawMin gives engMin. String raw type: t.value unchanged (nothing to scale).
int32_t ScaleToEngineering(const TagRecord& t, int32_t rawWord);

// The raw word to send for the integer engineering value `v` of `t`, with f taken from t's int32
// engineering limits (f = 0 when engMax == engMin). Integer raw types: truncated toward zero and
// saturated to the raw type's range; byte and the unsigned types are zero-extended, int16 is
// sign-extended. Float raw type: the float's bits, saturated to ±FLT_MAX. Bit and string: `v`.
int32_t IntegerToRaw(const TagRecord& t, int32_t v);

// As IntegerToRaw for the float engineering value `x`, with f from t's float engineering limits.
// Bit and string raw types: the bits of `x`. nullopt when the result is NaN for an integer raw
// type: such a value has no raw equivalent and must not be sent.
std::optional<int32_t> FloatToRaw(const TagRecord& t, float x);

}  // namespace talvek
