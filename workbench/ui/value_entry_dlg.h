// The value-entry dialog: asks for one new value of a tag while communication runs, and hands it
// to the runtime tag table's writers.
//
//   CValueEntryDlg dlg(kVarInteger, this);
//   if (dlg.exec() == QDialog::Accepted) Tags().WriteIntegerByName(name, dlg.IntegerValue());
//
// or, for a tag of the table, simply WriteValueOfTag(tag, this).
#pragma once

#include <cstdint>
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

// The value conversions of the dialog, on the text as typed. None of them fails: text that is
// not a number gives 0. Leading blanks are skipped, then an optional sign and the leading digits
// are read; whatever follows is ignored.
//
// ParseInt32Prefix saturates at the int32 limits; ParseInt16Prefix keeps the low 16 bits of that
// 32-bit value ("70000" → 4464), the way a plain int-to-short assignment does.
int32_t ParseInt32Prefix(std::string_view text);
int16_t ParseInt16Prefix(std::string_view text);
// Reads a decimal floating-point prefix (digits, point, exponent; no hex, "inf" or "nan"),
// independent of the C locale. A magnitude beyond the float range saturates to ±FLT_MAX, so a
// typed 1e40 becomes a finite value every raw type can be scaled from.
float ParseFloatPrefix(std::string_view text);

class CValueEntryDlg : public QDialog {
  Q_OBJECT

 public:
  // `varType` is the tag's VarType (0..3); any other type gets an empty caption and no result.
  explicit CValueEntryDlg(int varType, QWidget* parent = nullptr);

  // The caption (prompt) for a variable type; empty for a type outside 0..3.
  static QString CaptionFor(int varType);

  int VarType() const { return varType_; }
  QLineEdit* ValueEdit() const { return edit_; }

  // Results, valid after the dialog was accepted, each for its own variable type.
  int16_t DiscreteValue() const { return discrete_; }
  int32_t IntegerValue() const { return integer_; }
  float FloatValue() const { return float_; }
  // The typed text in GBK, as the string writer takes it.
  const std::string& GbkText() const { return gbkText_; }

  // Converts the text for the dialog's type and closes with OK. A string that could never be
  // written (empty, no GBK form, a NUL character, longer than kMaxStringValueBytes in GBK) is
  // refused with a message naming the reason, and the dialog stays open for a correction.
  void accept() override;

 private:
  int varType_;
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
// the type has no dialog, the user cancelled or the tag is no longer found. Nothing is shown to
// the user about the write itself.
int WriteValueOfTag(const TagRecord& tag, QWidget* parent);

}  // namespace talvek
