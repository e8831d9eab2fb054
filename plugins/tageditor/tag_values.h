// The tag editor's value rules, without widgets: the entry layouts per type, the
// ranges each stored type can hold, the width-exact writes of the raw range and the rule that
// finds a register's position in a driver's address list.
//
//   if (!FitsRaw(v, kRawInt16)) { /* refuse: -32768..32767 */ }
//   StoreRaw(work.rawMax, kRawInt16, v);  // writes the low 2 bytes only
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <QString>

#include "common/type_names.h"  // the type names the combos list

namespace talvek::tageditor {

// Integer digits and decimals of a numeric entry.
struct EntryLayout {
  int integerDigits;
  int decimals;
};

// Layout of the engineering entries for variable types 1 and 2; {0, 0} for the others.
EntryLayout EngineeringLayout(int varType);
// Layout of the raw entries for data types 1..7; {0, 0} for the others.
EntryLayout RawLayout(int rawType);
// Text the raw maximum entry gets when data type 1..7 is chosen; null for the others.
const char* RawDefaultMaxText(int rawType);

// The values a stored type can hold. Integer types hold the value truncated toward zero.
struct StoredRange {
  double min;
  double max;
  bool isFloat;
};

// Range of a tag's engineering fields: int32 for "整数", float for "浮点".
StoredRange EngineeringRange(int varType);
// Range of the raw fields for data types 1..7 (uint8, int16, uint16, uint16, int32, uint32, float).
StoredRange RawRange(int rawType);
// True when `v` (truncated for integer types) lies in `range`; false for NaN.
bool Fits(double v, const StoredRange& range);

// The 32-bit word an engineering value of type 1 or 2 is stored as (int32 or float bits).
int32_t EngineeringWord(double v, int varType);
// Writes `v` into a raw word with the width of `rawType`: 1 byte for type 1, 2 bytes for 2..4,
// 4 bytes for 5..7. The other bytes of the word keep their value. `v` must fit RawRange().
void StoreRaw(int32_t& word, int rawType, double v);

// Position of the first name that `registerText` begins with (an empty name matches any text);
// -1 when there is none.
int FindRegisterIndex(std::span<const std::string> names, std::string_view registerText);

// A range limit as the messages write it ("-2147483648", "3.4028235e38").
QString FormatLimit(double v, bool isFloat);

// GBK bytes as text for the screen; bytes that are not valid GBK show as U+FFFD.
QString GbkToQString(std::string_view gbk);
// Strict conversion to GBK; false when a character has no GBK form or is a zero.
[[nodiscard]] bool QStringToGbk(const QString& text, std::string& gbk);

}  // namespace talvek::tageditor
