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
#include "workbench/runtime/entered_value.h"

class QLineEdit;

namespace talvek {

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
  int16_t DiscreteValue() const { return entered_.discrete; }
  int32_t IntegerValue() const { return entered_.integer; }
  float FloatValue() const { return entered_.real; }
  // The typed text in GBK, as the string writer takes it.
  const std::string& GbkText() const { return entered_.gbkText; }
  // All of the result, as WriteEnteredValue takes it.
  const EnteredValue& Entered() const { return entered_; }

  // Converts the text for the dialog's type (CheckEnteredValue) and closes with OK. A text it
  // refuses is refused with a message naming the reason, and the dialog stays open for a
  // correction.
  void accept() override;

 private:
  // Shows `text` (UTF-8) as a refusal and puts the focus back into the edit.
  void Refuse(const QString& text);

  TagRecord tag_;
  int varType_;
  ValueLimits limits_;
  QLineEdit* edit_ = nullptr;
  EnteredValue entered_;
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
