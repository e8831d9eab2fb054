// The value rules of a tag's entries, without widgets, shared by the tag editor and the tag
// import: the entry layouts per type, the ranges each stored type can hold, the width-exact
// writes of the raw range, the rule that finds a register's position in a driver's address list,
// and the checks of the entries that the editor's OK and every imported row run.
//
//   if (!Fits(v, RawRange(kRawInt16))) { /* refuse: -32768..32767 */ }
//   StoreRaw(work.rawMax, kRawInt16, v);  // writes the low 2 bytes only
//
//   const TagEntriesCheck check = CheckTagEntries(entries, devices);
//   if (!check.ok) { /* show check.message, focus the control check.field */ }
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include <QString>

#include "common/records.h"
#include "common/type_names.h"  // the type names the combos list

namespace talvek::tagcheck {

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

// The controls of the dialog's page that OK reads.
enum class TagField {
  kName,
  kDescription,
  kVarType,
  kMin,
  kMax,
  kDeadband,
  kInitial,
  kScanPeriod,
  kDevice,
  kRegister,
  kDataType,
  kRawMin,
  kRawMax,
};

// The name (UTF-8) the page gives a control, which the messages quote ("最小值"); empty for the
// combos of variable type, device and data type, whose messages name no field.
const char* TagFieldName(TagField field);

// What the page's controls hold when OK is pressed, read as they stand.
struct TagEntries {
  QString name;
  QString description;
  int varType = -1;                     // index of the chosen variable type, -1 for none
  QString min, max, deadband, initial;  // texts of the numeric entries
  QString scanPeriod;
  bool external = false;
  int device = -1;  // index of the chosen device in the device table, -1 for none
  QString registerText;
  int rawType = -1;  // the chosen data type, -1 for none
  QString rawMin, rawMax;
};

// The entries in the forms the record stores.
struct CheckedTag {
  std::string name;          // GBK, trailing blanks removed
  std::string description;   // GBK
  std::string registerText;  // GBK; external tags only
  int varType = -1;
  int rawType = -1;  // -1 for an internal tag
  int device = -1;   // index in the device table; -1 for an internal tag
  bool external = false;
  int scanPeriodMs = 0;
  double min = 0, max = 0, deadband = 0, initial = 0, rawMin = 0, rawMax = 0;
};

// The outcome of OK's checks: the checked values, or the first refusal with its message (UTF-8
// text for a box) and the control that gets the focus.
struct TagEntriesCheck {
  bool ok = false;
  CheckedTag tag;
  TagField field = TagField::kName;
  QString message;
};

// OK's checks of the entries, in the order the page runs them: name and description (GBK, byte
// limits), the six numbers, the maximum within float range, the scan period, the variable type
// and its engineering range; for an external tag the device (an index into `devices`, whose
// name must fit the record), the register (GBK, byte limit), the data type, the raw range of
// types 1..7 and the non-zero spans. The driver's check and the name's uniqueness are the
// dialog's.
TagEntriesCheck CheckTagEntries(const TagEntries& entries, std::span<const DeviceRecord> devices);

}  // namespace talvek::tagcheck
