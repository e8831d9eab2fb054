// The checks a value typed for a tag must pass before it is written: the value-entry dialog and
// the command-line tool refuse the same texts with the same reasons.
//
//   std::string refusal;
//   const auto value = CheckEnteredValue(tag, "12.5", &refusal);
//   if (!value) { show(refusal); return; }
//   WriteEnteredValue(Tags(), name, *value);
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "common/records.h"
#include "workbench/runtime/tag_table.h"

namespace talvek {

// Longest text, in characters, that the dialog takes for a string tag.
inline constexpr int kMaxValueTextChars = 128;
// Longest GBK text a string value can carry: it travels as a global atom, whose name is 1 to 255
// bytes. 128 double-byte characters would be 256 bytes.
inline constexpr std::size_t kMaxStringValueBytes = 255;

// The allowed values of a tag: a discrete tag takes 0 or 1, an integer tag any whole number of its
// engineering range, a float tag any number of its engineering range (limits in either order). A
// value of that range scales into the tag's raw range, so nothing the writers send is ever
// clamped or cut. String tags have no range.
struct ValueLimits {
  bool bounded = false;  // false: string (or unknown) type, no numeric range
  double low = 0;
  double high = 0;
};
ValueLimits LimitsOf(const TagRecord& tag);
// "0 或 1", "0 ~ 65535", "-1.5 ~ 100": the range (UTF-8) as the refusals name it.
std::string RangeText(const ValueLimits& limits, int32_t varType);
// "%.7g" of a float limit: the digits a float holds, without a trail of noise.
std::string FloatLimitText(double value);

// The strict text conversions. Blanks around the number are allowed; anything else that is not
// part of the number makes the whole text not a number (nullopt): "l00", "12abc", "1,5" and ""
// are refused rather than read as some prefix.
//
// A whole number: optional sign and decimal digits. Magnitudes beyond 2^53 are kept as 2^53, which
// is outside every int32 range, so they fail the range check instead of wrapping.
std::optional<int64_t> ParseWholeNumber(std::string_view text);
// A decimal number: optional sign, digits with an optional point (at least one digit), an optional
// exponent with at least one digit; no hexadecimal, "inf" or "nan". Independent of the C locale.
// Beyond the double range it gives ±HUGE_VAL, which no range holds.
std::optional<double> ParseDecimalNumber(std::string_view text);

// A value accepted for a tag, in the form its type's writer takes.
struct EnteredValue {
  int32_t varType = kVarDiscrete;
  int16_t discrete = 0;
  int32_t integer = 0;
  float real = 0.0f;
  std::string gbkText;  // string tags
};

// Converts the typed UTF-8 `text` for `tag`'s varType. Text that is not a number of the tag's
// type, a number outside the tag's range, or a string that could never be written (empty, no GBK
// form, a NUL character, longer than kMaxStringValueBytes in GBK) is refused: nullopt, and
// *refusal (UTF-8) names the reason. A varType outside 0..3 gives nullopt with an empty refusal.
std::optional<EnteredValue> CheckEnteredValue(const TagRecord& tag, std::string_view text,
                                              std::string* refusal);

// Hands an accepted value to `table`'s writer for its type, addressed by `gbkName`. The writer's
// result (1 handed over, 0 tag not found); 0 for a type without a writer.
int WriteEnteredValue(RuntimeTagTable& table, std::string_view gbkName, const EnteredValue& value);

}  // namespace talvek
