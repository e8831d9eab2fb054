// The value-entry dialog: asks for one new value of a tag while communication runs, and hands it
// to the runtime tag table's writers.
//
//   CValueEntryDlg dlg(tag, this);
//   if (dlg.exec() == QDialog::Accepted) WriteEnteredValue(name, dlg);
//
// or, for a tag of the table, simply WriteValueOfTag(tag, this).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include <QDialog>

#include "common/records.h"

class QLineEdit;

namespace talvek {

// Longest text, in characters, that the dialog takes for a string tag.
inline constexpr int kMaxValueTextChars = 128;
// Longest GBK text a string value can carry: it travels as a global atom, whose name is 1 to 255
// bytes. 128 double-byte characters would be 256 bytes.
inline constexpr std::size_t kMaxStringValueBytes = 255;

// The allowed values of a tag as the dialog enforces them: a discrete tag takes 0 or 1, an
// integer tag any whole number of its engineering range, a float tag any number of its
// engineering range (limits in either order). A value of that range scales into the tag's raw
// range, so nothing the writers send is ever clamped or cut. String tags have no range.
struct ValueLimits {
  bool bounded = false;  // false: string (or unknown) type, no numeric range
  double low = 0;
  double high = 0;
};
ValueLimits LimitsOf(const TagRecord& tag);

// The strict text conversions of the dialog. Blanks around the number are allowed; anything else
// that is not part of the number makes the whole text not a number (nullopt): "l00", "12abc",
// "1,5" and "" are refused rather than read as some prefix.
//
// A whole number: optional sign and decimal digits. Magnitudes beyond 2^53 are kept as 2^53, which
// is outside every int32 range, so they fail the range check instead of wrapping.
std::optional<int64_t> ParseWholeNumber(std::string_view text);
// A decimal number: optional sign, digits with an optional point (at least one digit), an optional
// exponent with at least one digit; no hexadecimal, "inf" or "nan". Independent of the C locale.
// Beyond the double range it gives ±HUGE_VAL, which no range holds.
std::optional<double> ParseDecimalNumber(std::string_view text);

class CValueEntryDlg : public QDialog {
  Q_OBJECT

 public:
  // A dialog for `tag` (a copy is kept: the record may live in a table that changes meanwhile).
  // Shows the tag's name, its current value and quality, and the range the new value must lie
  // in. A varType outside 0..3 gets no caption and no result.
  explicit CValueEntryDlg(const TagRecord& tag, QWidget* parent = nullptr);

  // Whether a tag of `varType` can be written from the dialog (types 0..3).
  static bool HasDialog(int varType);
  // The caption (prompt) for `tag`: its type's prompt, with the tag's own range for integer and
  // float tags. Empty for a type outside 0..3.
  static QString CaptionFor(const TagRecord& tag);

  int VarType() const { return varType_; }
  QLineEdit* ValueEdit() const { return edit_; }

  // Results, valid after the dialog was accepted, each for its own variable type.
  int16_t DiscreteValue() const { return discrete_; }
  int32_t IntegerValue() const { return integer_; }
  float FloatValue() const { return float_; }
  // The typed text in GBK, as the string writer takes it.
  const std::string& GbkText() const { return gbkText_; }

  // Converts the text for the dialog's type and closes with OK. Text that is not a number of the
  // tag's type, a number outside the tag's range, or a string that could never be written (empty,
  // no GBK form, a NUL character, longer than kMaxStringValueBytes in GBK) is refused with a
  // message naming the reason, and the dialog stays open for a correction.
  void accept() override;

 private:
  // Shows `text` (UTF-8) as a refusal and puts the focus back into the edit.
  void Refuse(const QString& text);

  TagRecord tag_;
  int varType_;
  ValueLimits limits_;
  QLineEdit* edit_ = nullptr;
  int16_t discrete_ = 0;
  int32_t integer_ = 0;
  float float_ = 0.0f;
  std::string gbkText_;
};

// Hands an accepted dialog's result to the runtime tag table's writer for the dialog's type,
// addressed by `gbkName`. Returns the writer's result (1 handed over, 0 tag not found); 0 for a
// type without a writer.
int WriteEnteredValue(std::string_view gbkName, const CValueEntryDlg& dlg);

// Opens the value-entry dialog for `tag`'s varType, modal over `parent`, and on OK writes the
// value to the tag of that name through Tags(). Returns 1 when a value was handed over; 0 when
// the type has no dialog, the user cancelled or the tag is no longer found. The dialog itself
// refuses values the tag cannot take, so what is handed over is always what the user typed.
int WriteValueOfTag(const TagRecord& tag, QWidget* parent);

}  // namespace talvek
