// NumericEdit: the tag editor's entry field for numbers (minimum, maximum, deadband, initial value,
// raw range).
//
// The number is kept as a list of value cells (digits, empty placeholders and one decimal point),
// separate from what the field shows. The user can only type digits, the decimal point key and a
// sign; the field shows the number with the locale's decimal separator, digit grouping and
// negative format, between an optional prefix and suffix, and paints negative numbers red.
//
// Toward the dialog the field holds a plain decimal number ("-" + digits + "." + digits, always a
// "." whatever the locale). QLineEdit::text() is not virtual, so it cannot be redirected: it keeps
// returning the formatted display. The dialog reads and writes the value with valueText() and
// setValueText():
//
//   NumericEdit edit;
//   edit.SetIntegerDigits(10);
//   edit.SetDecimals(5);
//   edit.setValueText("-1.5");      // shows "-1.50000" (with the locale's separator)
//   double v = edit.valueText().toDouble();
//
// A plain QLineEdit::setText() (or clear(), undo() and the like, called through a QLineEdit
// pointer) is caught and parsed like setValueText(); a text that does not parse is undone.
#pragma once

#include <QColor>
#include <QLineEdit>
#include <QString>
#include <vector>

namespace talvek {

// The number conventions the field follows. System() reads them from the user's locale.
struct NumericLocale {
  QChar decimalPoint = u'.';
  QString groupSeparator = QStringLiteral(",");
  int groupSize = 3;  // digits per group; 0 = no grouping
  int fractionDigits = 2;
  bool leadingZero = true;     // "0.5" rather than ".5"
  int negativeFormatCode = 1;  // 0 "(1.1)", 1 "-1.1", 2 "- 1.1", 3 "1.1-", 4 "1.1 -"
  QString negativeSign = QStringLiteral("-");

  // The conventions of QLocale(); values Linux locales do not carry keep the defaults above.
  static NumericLocale System();
};

// One character of the value list or the display list.
struct NumericElement {
  enum Kind : int {
    kPoint = 0,   // decimal point
    kGroup = 1,   // group separator (display only)
    kEmpty = 2,   // empty digit cell, shown as "0"
    kDigit = 3,   // digit "0".."9"
    kPrefix = 4,  // prefix character (display only)
    kSuffix = 5,  // suffix character (display only)
    kBlank = 6,   // padding blank (display only)
    kSign = 7,    // sign or bracket (display only)
  };
  Kind kind;
  QChar ch;  // the character shown

  // True for the kinds that are value cells (point, empty cell, digit).
  bool IsValueCell() const { return kind == kPoint || kind == kEmpty || kind == kDigit; }
};

class NumericEdit : public QLineEdit {
  Q_OBJECT

 public:
  enum LeadingZeroMode { kNoLeadingZero = 20, kLeadingZero = 21 };
  enum PaddingMode { kTrimLeading = 33, kFillToDigits = 34 };
  // Brackets of negative formats 0-3; any other value brackets the number with "-" on both sides.
  enum BracketStyle { kParentheses = 10, kBraces = 11, kSquareBrackets = 12 };

  // A field following the user's locale (NumericLocale::System()), showing an empty value.
  explicit NumericEdit(QWidget* parent = nullptr);
  // A field following `locale` instead of the user's locale.
  explicit NumericEdit(const NumericLocale& locale, QWidget* parent = nullptr);

  // Limits the integer part to `n` digits (0 or less = unlimited) and re-fits the current value,
  // keeping its leading digits and its sign.
  void SetIntegerDigits(int n);
  int IntegerDigits() const { return integerDigits_; }
  // Sets the number of fraction digits (0 = no decimal point) and re-fits the current value.
  void SetDecimals(int n);
  int Decimals() const { return decimals_; }

  // The value as a plain decimal: "-" when shown negative, the digits, "." and the fraction
  // digits; empty cells read as "0" and a value below 1 starts with "0".
  QString valueText() const;
  // Parses a plain decimal ("." or the locale separator; a leading "-" makes it negative).
  // Digits beyond the integer or fraction limits are dropped. Returns false, keeping the old
  // value, when the text is anything else.
  bool setValueText(const QString& text);

  // Display decorations; each keeps the value and the caret cell.
  void SetPrefix(const QString& prefix);
  void SetSuffix(const QString& suffix);
  void SetPaddingBlanks(int count);  // blanks between prefix or suffix and the number
  void SetBracketStyle(int style);
  void SetNegativeFormat(int format);  // 0..7; other values are ignored
  // Layout mode (kTrimLeading or kFillToDigits); re-fits the current value like SetDecimals().
  void SetPaddingMode(int mode);
  // When on, moving right past the last cell (Right, End, decimal point key) moves the focus on.
  void SetAutoAdvance(bool on) { autoAdvance_ = on; }
  // True: typed digits are inserted; false: they overwrite. The Insert key toggles it.
  void SetInsertMode(bool on) { insertMode_ = on; }
  bool IsInsertMode() const { return insertMode_; }

  // True when the value is shown as negative: the sign is set and some digit is not "0".
  bool IsNegative() const;
  QColor NegativeColour() const { return negativeColour_; }
  QColor NormalColour() const { return normalColour_; }

  // The value cells and what is shown, one element per character.
  const std::vector<NumericElement>& ValueList() const { return value_; }
  const std::vector<NumericElement>& DisplayList() const { return display_; }
  int CellCount() const { return static_cast<int>(value_.size()); }
  // The caret as a value position (count of cells before it).
  int CaretCell() const;
  // Display position <-> value position. A display position maps to the count of value cells
  // before it; a value position maps to the display position just after that many cells (the
  // first cell for 0), so the caret never rests inside the prefix, suffix, separators or signs.
  int DisplayToValue(int displayPos) const;
  int ValueToDisplay(int valuePos) const;

  // Clipboard operations on value cells. They hide QLineEdit's, which work on the display text.
  // Copy: the selected cells as plain text (empty cells as "0").
  void copy() const;
  // Copy, then delete the selected cells.
  void cut();
  // Replaces the selection by the clipboard's plain text; keeps the old value if the result is
  // not a number. The caret goes to the start of the former selection.
  void paste();
  // Deletes the selected cells (the decimal point stays).
  void DeleteSelection();

 protected:
  void keyPressEvent(QKeyEvent* event) override;
  void mousePressEvent(QMouseEvent* event) override;
  void mouseMoveEvent(QMouseEvent* event) override;
  void mouseReleaseEvent(QMouseEvent* event) override;
  void mouseDoubleClickEvent(QMouseEvent* event) override;
  void focusInEvent(QFocusEvent* event) override;
  void contextMenuEvent(QContextMenuEvent* event) override;

 private:
  void ApplyLocale(const NumericLocale& locale);
  std::vector<NumericElement> DefaultLayout() const;
  bool IsPointChar(QChar ch) const;
  // Parses `text` into the value list and redraws; the caret goes to the start. `marker` is an
  // index into `text`; the cell position it ends up at is stored in `*markerCell`.
  bool Parse(const QString& text, bool signFromText, qsizetype marker = -1,
             int* markerCell = nullptr);
  // The cells [from, to) as text, empty cells written as `emptyAs`.
  QString CellText(int from, int to, QChar emptyAs) const;
  // Re-fits the value after a layout setting changed.
  void Relayout();
  // Shows the value: rebuilds the display list, writes it into the field and colours the text
  // (red when negative). Every change of the value, the sign or a decoration ends here.
  void Redisplay();
  void RebuildDisplay();
  void WriteDisplay();
  void ApplyColour();
  // Deletes the cells [from, to) except the decimal point; returns the new caret cell.
  int DeleteRange(int from, int to);
  // The selected cells as [first, end); first == end when nothing is selected.
  std::pair<int, int> SelectedCells() const;
  int AnchorCell() const;
  // Selects the cells between `anchor` and `caret` (value positions, clamped), caret at `caret`.
  void SetCellSelection(int anchor, int caret);
  void SetCaretCell(int cell);
  void MoveCaret(int target, bool extend, bool mayAdvance);
  void TypeDigit(QChar digit);
  void TypeChar(QChar ch, bool keypadPoint);
  void SetSign(bool negative);
  int PointIndex() const;
  void OnTextChanged(const QString& text);
  void SnapSelection();

  std::vector<NumericElement> value_;
  std::vector<NumericElement> display_;
  QString prefix_;
  QString suffix_;
  QString groupSeparator_ = QStringLiteral(",");
  bool negative_ = false;
  bool insertMode_ = true;
  bool autoAdvance_ = false;
  int paddingBlanks_ = 1;
  int integerDigits_ = -1;
  int groupSize_ = 3;
  int decimals_ = 0;
  QColor negativeColour_{255, 0, 0};
  QColor normalColour_;
  QString negativeSign_ = QStringLiteral("-");
  QChar decimalSeparator_ = u'.';
  int leadingZeroMode_ = kLeadingZero;
  int bracketStyle_ = kParentheses;
  int negativeFormat_ = 5;
  int paddingMode_ = kTrimLeading;
  int dragAnchor_ = -1;
  bool updating_ = false;  // set while the field writes its own text or caret
};

}  // namespace talvek
