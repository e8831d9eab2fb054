// Widget tests of NumericEdit. Every field but one uses explicit number conventions, so the
// results do not depend on the machine's locale.
#include <QApplication>
#include <QClipboard>
#include <QLocale>
#include <QPalette>
#include <QTest>
#include <QVBoxLayout>

#include "plugins/tageditor/numeric_edit.h"

using talvek::NumericEdit;
using talvek::NumericLocale;

namespace {

NumericLocale English() {
  return {u'.', QStringLiteral(","), 3, 2, true, 1, QStringLiteral("-")};
}
NumericLocale German() {
  return {u',', QStringLiteral("."), 3, 2, true, 1, QStringLiteral("-")};
}

// Selects the cells from `anchor` to `caret` (anchor <= caret) with the keyboard: Home, Right up
// to the anchor, Shift+Right up to the caret.
void SelectCells(NumericEdit& edit, int anchor, int caret) {
  QTest::keyClick(&edit, Qt::Key_Home);
  for (int i = 0; i < anchor; ++i) {
    QTest::keyClick(&edit, Qt::Key_Right);
  }
  for (int i = anchor; i < caret; ++i) {
    QTest::keyClick(&edit, Qt::Key_Right, Qt::ShiftModifier);
  }
}

QColor TextColour(const NumericEdit& edit) {
  return edit.palette().color(QPalette::Active, QPalette::Text);
}

// A field with the given layout holding `value`.
void Init(NumericEdit& edit, int digits, int decimals, const QString& value) {
  edit.SetIntegerDigits(digits);
  edit.SetDecimals(decimals);
  QVERIFY(edit.setValueText(value));
}

// The centre of the caret drawn at display position `pos` (a cell boundary).
QPoint PointAt(NumericEdit& edit, int pos) {
  edit.QLineEdit::setCursorPosition(pos);
  return edit.inputMethodQuery(Qt::ImCursorRectangle).toRect().center();
}

// Two fields in a shown, active window, for focus tests.
struct TwoFields {
  QWidget window;
  NumericEdit* first = new NumericEdit(English(), &window);
  NumericEdit* second = new NumericEdit(English(), &window);
  TwoFields() {
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(first);
    layout->addWidget(second);
    window.show();
    window.activateWindow();
  }
};

}  // namespace

class TestNumericEdit : public QObject {
  Q_OBJECT

 private slots:
  void parsing_data();
  void parsing();
  void hugeTextDoesNotBreakTheField();
  void typingKeepsIntegerLimit();
  void germanLocale();
  void negativeColour();
  void grouping();
  void negativeFormats_data();
  void negativeFormats();
  void caretNeverRestsOnDecoration();
  void layoutChangesRefitValue();
  void editingKeys();
  void insertAndOverwrite();
  void pointAndSignKeys();
  void clipboard();
  void clipboardShortcuts();
  void mouseSelection();
  void focusDropsFullSelection();
  void autoAdvance();
  void readOnlyIgnoresEditing();
  void plainSetTextIsParsed();
  void systemLocale();
};

void TestNumericEdit::parsing_data() {
  QTest::addColumn<QString>("text");
  QTest::addColumn<int>("digits");
  QTest::addColumn<int>("decimals");
  QTest::addColumn<bool>("ok");
  QTest::addColumn<QString>("value");
  QTest::addColumn<QString>("shown");
  // Every row starts from the value 7; a failed parse must leave it.
  QTest::newRow("leading zeros") << "000123" << -1 << 0 << true << "123"
                                 << "123";
  QTest::newRow("fraction filled") << "1.5" << -1 << 5 << true << "1.50000"
                                   << "1.50000";
  QTest::newRow("fraction cut") << "1.23456789" << -1 << 2 << true << "1.23"
                                << "1.23";
  QTest::newRow("integer cut") << "12345678901" << 10 << 0 << true << "1234567890"
                               << "1,234,567,890";
  QTest::newRow("point dropped") << "1234.9" << -1 << 0 << true << "1234"
                                 << "1,234";
  QTest::newRow("bare fraction") << ".5" << -1 << 2 << true << "0.50"
                                 << "0.50";
  QTest::newRow("empty") << "" << -1 << 2 << true << "0.00"
                         << "0.00";
  QTest::newRow("blanks, sign") << " -42 " << -1 << 0 << true << "-42"
                                << "-42";
  QTest::newRow("letters") << "12a" << -1 << 0 << false << "7"
                           << "7";
  QTest::newRow("two points") << "1.2.3" << -1 << 2 << false << "7.00"
                              << "7.00";
  QTest::newRow("two signs") << "--1" << -1 << 0 << false << "7"
                             << "7";
  QTest::newRow("plus sign") << "+1" << -1 << 0 << false << "7"
                             << "7";
  QTest::newRow("group separator") << "1,234" << -1 << 0 << false << "7"
                                   << "7";
  QTest::newRow("exponent") << "1e5" << -1 << 0 << false << "7"
                            << "7";
}

void TestNumericEdit::parsing() {
  QFETCH(QString, text);
  QFETCH(int, digits);
  QFETCH(int, decimals);
  QFETCH(bool, ok);
  QFETCH(QString, value);
  QFETCH(QString, shown);
  NumericEdit edit(English());
  Init(edit, digits, decimals, QStringLiteral("7"));
  QCOMPARE(edit.setValueText(text), ok);
  QCOMPARE(edit.valueText(), value);
  QCOMPARE(edit.text(), shown);
  QCOMPARE(edit.CaretCell(), 0);
}

void TestNumericEdit::hugeTextDoesNotBreakTheField() {
  NumericEdit edit(English());
  Init(edit, -1, 0, QStringLiteral("5"));
  QVERIFY(edit.setValueText(QString(100000, u'9')));
  QVERIFY(edit.valueText().size() < 1000);
  QVERIFY(edit.valueText().startsWith(QStringLiteral("999")));
  // The display is what the cells say; QLineEdit cut nothing.
  QCOMPARE(edit.text().size(), static_cast<qsizetype>(edit.DisplayList().size()));

  QApplication::clipboard()->setText(QString(50000, u'x'));
  SelectCells(edit, 0, edit.CellCount());
  edit.paste();
  QVERIFY(edit.valueText().startsWith(QStringLiteral("999")));
}

void TestNumericEdit::typingKeepsIntegerLimit() {
  NumericEdit edit(English());
  Init(edit, 10, 0, QString());
  QTest::keyClicks(&edit, QStringLiteral("12345678901"));
  QCOMPARE(edit.valueText(), QStringLiteral("1234567890"));
  QCOMPARE(edit.CaretCell(), 10);

  // Typing into an empty field with decimals: digits, the point key, more digits.
  NumericEdit money(English());
  Init(money, 7, 2, QString());
  QTest::keyClicks(&money, QStringLiteral("12x.5"));
  QCOMPARE(money.valueText(), QStringLiteral("12.50"));
  QCOMPARE(money.text(), QStringLiteral("12.50"));
  QCOMPARE(money.CaretCell(), 4);
}

void TestNumericEdit::germanLocale() {
  NumericEdit edit(German());
  QCOMPARE(edit.Decimals(), 2);
  Init(edit, -1, 5, QStringLiteral("1.5"));
  QCOMPARE(edit.valueText(), QStringLiteral("1.50000"));
  QCOMPARE(edit.text(), QStringLiteral("1,50000"));
  // The locale's own separator is read too; the dialog always gets ".".
  QVERIFY(edit.setValueText(QStringLiteral("-1234567,25")));
  QCOMPARE(edit.text(), QStringLiteral("-1.234.567,25000"));
  QCOMPARE(edit.valueText(), QStringLiteral("-1234567.25000"));
  // "," is the point key here; "." (the group separator) is not.
  SelectCells(edit, 0, 0);
  QTest::keyClick(&edit, '.');
  QCOMPARE(edit.CaretCell(), 0);
  QTest::keyClick(&edit, ',');
  QCOMPARE(edit.CaretCell(), 8);
}

void TestNumericEdit::negativeColour() {
  NumericEdit edit(English());
  Init(edit, -1, 2, QStringLiteral("-0"));
  QVERIFY(!edit.IsNegative());
  QCOMPARE(edit.text(), QStringLiteral("0.00"));
  QCOMPARE(edit.valueText(), QStringLiteral("0.00"));
  QCOMPARE(TextColour(edit), edit.NormalColour());

  QVERIFY(edit.setValueText(QStringLiteral("-0.01")));
  QVERIFY(edit.IsNegative());
  QCOMPARE(edit.text(), QStringLiteral("-0.01"));
  QCOMPARE(TextColour(edit), QColor(255, 0, 0));
  QCOMPARE(edit.palette().color(QPalette::Inactive, QPalette::Text), QColor(255, 0, 0));

  QTest::keyClick(&edit, '+');
  QCOMPARE(edit.valueText(), QStringLiteral("0.01"));
  QCOMPARE(TextColour(edit), edit.NormalColour());
  QVERIFY(edit.NormalColour() != QColor(255, 0, 0));
}

void TestNumericEdit::grouping() {
  NumericEdit edit(English());
  Init(edit, -1, 0, QStringLiteral("1234567"));
  QCOMPARE(edit.text(), QStringLiteral("1,234,567"));
  QCOMPARE(edit.valueText(), QStringLiteral("1234567"));
  QVERIFY(edit.setValueText(QStringLiteral("123")));
  QCOMPARE(edit.text(), QStringLiteral("123"));

  edit.SetDecimals(2);
  QVERIFY(edit.setValueText(QStringLiteral("1234.5")));
  QCOMPARE(edit.text(), QStringLiteral("1,234.50"));

  NumericLocale flat = English();
  flat.groupSeparator.clear();
  NumericEdit plain(flat);
  Init(plain, -1, 0, QStringLiteral("1234567"));
  QCOMPARE(plain.text(), QStringLiteral("1234567"));
}

void TestNumericEdit::negativeFormats_data() {
  QTest::addColumn<int>("format");
  QTest::addColumn<int>("brackets");
  QTest::addColumn<QString>("shown");
  QTest::newRow("0") << 0 << 10 << "$ (5) kg";
  QTest::newRow("1") << 1 << 10 << "($ 5) kg";
  QTest::newRow("2") << 2 << 10 << "($ 5 kg)";
  QTest::newRow("3") << 3 << 10 << "$ (5 kg)";
  QTest::newRow("4") << 4 << 10 << "$ -5 kg";
  QTest::newRow("5") << 5 << 10 << "-$ 5 kg";
  QTest::newRow("6") << 6 << 10 << "$ 5- kg";
  QTest::newRow("7") << 7 << 10 << "$ 5 kg-";
  QTest::newRow("braces") << 0 << 11 << "$ {5} kg";
  QTest::newRow("square") << 0 << 12 << "$ [5] kg";
  QTest::newRow("dashes") << 0 << 99 << "$ -5- kg";
  QTest::newRow("format 4 ignores brackets") << 4 << 11 << "$ -5 kg";
}

void TestNumericEdit::negativeFormats() {
  QFETCH(int, format);
  QFETCH(int, brackets);
  QFETCH(QString, shown);
  NumericEdit edit(English());
  Init(edit, -1, 0, QStringLiteral("-5"));
  edit.SetPrefix(QStringLiteral("$"));
  edit.SetSuffix(QStringLiteral("kg"));
  edit.SetNegativeFormat(format);
  edit.SetBracketStyle(brackets);
  QCOMPARE(edit.text(), shown);
  QCOMPARE(edit.valueText(), QStringLiteral("-5"));
  // The caret rests only right before or after the digit.
  const int digit = static_cast<int>(shown.indexOf(u'5'));
  QTest::keyClick(&edit, Qt::Key_Home);
  QCOMPARE(edit.cursorPosition(), digit);
  QTest::keyClick(&edit, Qt::Key_End);
  QCOMPARE(edit.cursorPosition(), digit + 1);

  QTest::keyClick(&edit, '-');
  QCOMPARE(edit.text(), QStringLiteral("$ 5 kg"));
  QCOMPARE(edit.CaretCell(), 1);
}

void TestNumericEdit::caretNeverRestsOnDecoration() {
  NumericEdit edit(English());
  Init(edit, -1, 0, QStringLiteral("12345"));
  edit.SetPrefix(QStringLiteral("No."));
  edit.SetPaddingBlanks(2);
  QCOMPARE(edit.text(), QStringLiteral("No.  12,345"));
  // Selections set through QLineEdit are moved onto cell boundaries.
  edit.QLineEdit::setSelection(0, static_cast<int>(edit.text().size()));
  QCOMPARE(edit.selectionStart(), 5);
  QCOMPARE(edit.selectedText(), QStringLiteral("12,345"));
  edit.QLineEdit::setCursorPosition(1);
  QCOMPARE(edit.cursorPosition(), 5);
  // Crossing the group separator takes one step per cell.
  QTest::keyClick(&edit, Qt::Key_Right);
  QTest::keyClick(&edit, Qt::Key_Right);
  QCOMPARE(edit.cursorPosition(), 7);
  QTest::keyClick(&edit, Qt::Key_Right);
  QCOMPARE(edit.cursorPosition(), 9);
  QCOMPARE(edit.DisplayToValue(8), 2);
}

void TestNumericEdit::layoutChangesRefitValue() {
  NumericEdit edit(English());
  Init(edit, -1, 3, QStringLiteral("-12.345"));
  edit.SetDecimals(1);
  QCOMPARE(edit.valueText(), QStringLiteral("-12.3"));
  edit.SetDecimals(3);
  QCOMPARE(edit.valueText(), QStringLiteral("-12.300"));
  edit.SetIntegerDigits(1);
  QCOMPARE(edit.valueText(), QStringLiteral("-1.300"));

  // Filled-up integer part: placeholders do not count against a smaller limit.
  NumericEdit padded(English());
  padded.SetPaddingMode(NumericEdit::kFillToDigits);
  Init(padded, 5, 0, QStringLiteral("12"));
  QCOMPARE(padded.text(), QStringLiteral("00,012"));
  padded.SetIntegerDigits(3);
  QCOMPARE(padded.text(), QStringLiteral("012"));
  QCOMPARE(padded.valueText(), QStringLiteral("012"));

  NumericLocale noLeadingZero = English();
  noLeadingZero.leadingZero = false;
  NumericEdit bare(noLeadingZero);
  Init(bare, -1, 2, QStringLiteral("0.5"));
  QCOMPARE(bare.text(), QStringLiteral(".50"));
  QCOMPARE(bare.valueText(), QStringLiteral("0.50"));
}

void TestNumericEdit::editingKeys() {
  NumericEdit edit(English());
  Init(edit, -1, 2, QStringLiteral("12345.67"));
  QTest::keyClick(&edit, Qt::Key_End);
  QTest::keyClick(&edit, Qt::Key_Backspace);
  QCOMPARE(edit.valueText(), QStringLiteral("12345.60"));
  QCOMPARE(edit.CaretCell(), 7);
  // Backspace after the point only steps over it.
  QTest::keyClick(&edit, Qt::Key_Left);
  QTest::keyClick(&edit, Qt::Key_Backspace);
  QCOMPARE(edit.valueText(), QStringLiteral("12345.60"));
  QCOMPARE(edit.CaretCell(), 5);
  QTest::keyClick(&edit, Qt::Key_Backspace);
  QCOMPARE(edit.valueText(), QStringLiteral("1234.60"));
  QCOMPARE(edit.CaretCell(), 4);

  QTest::keyClick(&edit, Qt::Key_Home);
  QTest::keyClick(&edit, Qt::Key_Delete);
  QCOMPARE(edit.valueText(), QStringLiteral("234.60"));
  QCOMPARE(edit.CaretCell(), 0);

  // Shift extends and shrinks the selection one cell at a time.
  QTest::keyClick(&edit, Qt::Key_Right, Qt::ShiftModifier);
  QTest::keyClick(&edit, Qt::Key_Right, Qt::ShiftModifier);
  QTest::keyClick(&edit, Qt::Key_Down, Qt::ShiftModifier);
  QTest::keyClick(&edit, Qt::Key_Left, Qt::ShiftModifier);
  QCOMPARE(edit.selectedText(), QStringLiteral("23"));
  QTest::keyClick(&edit, Qt::Key_End, Qt::ShiftModifier);
  QCOMPARE(edit.selectedText(), QStringLiteral("234.60"));
  QTest::keyClick(&edit, Qt::Key_Home, Qt::ShiftModifier);
  QVERIFY(!edit.hasSelectedText());
  QTest::keyClick(&edit, Qt::Key_End);
  QTest::keyClick(&edit, Qt::Key_Home, Qt::ShiftModifier);
  QTest::keyClick(&edit, Qt::Key_Right, Qt::ShiftModifier);
  QCOMPARE(edit.selectedText(), QStringLiteral("34.60"));
  QCOMPARE(edit.CaretCell(), 1);

  // A digit replaces the selection; the point inside it stays.
  SelectCells(edit, 1, 5);
  QTest::keyClick(&edit, '9');
  QCOMPARE(edit.valueText(), QStringLiteral("29.00"));
  QCOMPARE(edit.CaretCell(), 2);
  SelectCells(edit, 0, 1);
  QTest::keyClick(&edit, Qt::Key_Delete);
  QCOMPARE(edit.valueText(), QStringLiteral("9.00"));
  SelectCells(edit, 0, 1);
  QTest::keyClick(&edit, Qt::Key_Backspace);
  QCOMPARE(edit.valueText(), QStringLiteral("0.00"));
  QCOMPARE(edit.text(), QStringLiteral("0.00"));

  // A full integer part takes a digit typed over a selection without losing its last digit.
  NumericEdit full(English());
  Init(full, 3, 0, QStringLiteral("123"));
  SelectCells(full, 0, 1);
  QTest::keyClick(&full, '9');
  QCOMPARE(full.valueText(), QStringLiteral("923"));
}

void TestNumericEdit::insertAndOverwrite() {
  NumericEdit edit(English());
  Init(edit, -1, 2, QStringLiteral("123.45"));
  QVERIFY(edit.IsInsertMode());
  QTest::keyClick(&edit, Qt::Key_Home);
  QTest::keyClick(&edit, '9');
  QCOMPARE(edit.valueText(), QStringLiteral("9123.45"));
  QTest::keyClick(&edit, Qt::Key_Insert);
  QVERIFY(!edit.IsInsertMode());
  QTest::keyClicks(&edit, QStringLiteral("888"));
  QCOMPARE(edit.valueText(), QStringLiteral("9888.45"));
  // Overwriting steps over the point; past the last cell nothing more fits.
  QTest::keyClicks(&edit, QStringLiteral("777"));
  QCOMPARE(edit.valueText(), QStringLiteral("9888.77"));
  QCOMPARE(edit.CaretCell(), edit.CellCount());
  QTest::keyClick(&edit, Qt::Key_Insert);
  QVERIFY(edit.IsInsertMode());
}

void TestNumericEdit::pointAndSignKeys() {
  NumericEdit edit(English());
  Init(edit, -1, 2, QStringLiteral("12"));
  QTest::keyClick(&edit, '.');
  QCOMPARE(edit.CaretCell(), 3);
  QTest::keyClick(&edit, '5');
  QCOMPARE(edit.valueText(), QStringLiteral("12.50"));
  QTest::keyClick(&edit, Qt::Key_Period, Qt::KeypadModifier);
  QCOMPARE(edit.CaretCell(), 3);

  // The sign toggles and keeps the caret's cell; "+" only clears it.
  QTest::keyClick(&edit, '-');
  QCOMPARE(edit.text(), QStringLiteral("-12.50"));
  QCOMPARE(edit.CaretCell(), 3);
  QCOMPARE(edit.cursorPosition(), 4);
  QTest::keyClick(&edit, '-');
  QCOMPARE(edit.valueText(), QStringLiteral("12.50"));
  QTest::keyClick(&edit, '+');
  QCOMPARE(edit.valueText(), QStringLiteral("12.50"));
  QTest::keyClicks(&edit, QStringLiteral("-+ a,"));
  QCOMPARE(edit.valueText(), QStringLiteral("12.50"));

  // A sign typed on zero waits for the first digit.
  NumericEdit zero(English());
  Init(zero, -1, 0, QString());
  QTest::keyClicks(&zero, QStringLiteral("-4"));
  QCOMPARE(zero.valueText(), QStringLiteral("-4"));
  // A leading zero typed in front vanishes and the caret stays before the "4".
  QTest::keyClick(&zero, Qt::Key_Home);
  QTest::keyClick(&zero, '0');
  QCOMPARE(zero.valueText(), QStringLiteral("-4"));
  QCOMPARE(zero.CaretCell(), 0);
}

void TestNumericEdit::clipboard() {
  QClipboard* board = QApplication::clipboard();
  NumericEdit edit(English());
  Init(edit, -1, 0, QStringLiteral("345"));
  SelectCells(edit, 0, edit.CellCount());
  board->setText(QStringLiteral("4x"));
  edit.paste();
  QCOMPARE(edit.valueText(), QStringLiteral("345"));

  board->setText(QStringLiteral("-12"));
  SelectCells(edit, 0, edit.CellCount());
  edit.paste();
  QCOMPARE(edit.valueText(), QStringLiteral("-12"));
  // A negative value keeps its sign when digits go in between.
  SelectCells(edit, 2, 2);
  board->setText(QStringLiteral("3"));
  edit.paste();
  QCOMPARE(edit.valueText(), QStringLiteral("-123"));
  QCOMPARE(edit.CaretCell(), 2);

  NumericEdit fresh(English());
  Init(fresh, -1, 0, QString());
  board->setText(QStringLiteral("-12"));
  fresh.paste();
  QCOMPARE(fresh.valueText(), QStringLiteral("-120"));

  NumericEdit money(English());
  Init(money, -1, 2, QStringLiteral("12345.6"));
  SelectCells(money, 1, 3);
  money.copy();
  QCOMPARE(board->text(), QStringLiteral("23"));
  SelectCells(money, 4, money.CellCount());
  money.copy();
  QCOMPARE(board->text(), QStringLiteral("5.60"));
  SelectCells(money, 1, 3);
  money.cut();
  QCOMPARE(board->text(), QStringLiteral("23"));
  QCOMPARE(money.valueText(), QStringLiteral("145.60"));
  QCOMPARE(money.CaretCell(), 1);
  SelectCells(money, 0, 2);
  money.DeleteSelection();
  QCOMPARE(money.valueText(), QStringLiteral("5.60"));
}

void TestNumericEdit::clipboardShortcuts() {
  QClipboard* board = QApplication::clipboard();
  NumericEdit edit(English());
  Init(edit, -1, 0, QStringLiteral("123"));
  SelectCells(edit, 0, 2);
  QTest::keyClick(&edit, Qt::Key_C, Qt::ControlModifier);
  QCOMPARE(board->text(), QStringLiteral("12"));
  QCOMPARE(edit.valueText(), QStringLiteral("123"));
  QTest::keyClick(&edit, Qt::Key_Delete, Qt::ShiftModifier);
  QCOMPARE(edit.valueText(), QStringLiteral("3"));
  QTest::keyClick(&edit, Qt::Key_End);
  QTest::keyClick(&edit, Qt::Key_Insert, Qt::ShiftModifier);
  QCOMPARE(edit.valueText(), QStringLiteral("312"));
  QVERIFY(edit.IsInsertMode());
  QTest::keyClick(&edit, Qt::Key_A, Qt::ControlModifier);
  QTest::keyClick(&edit, Qt::Key_Insert, Qt::ControlModifier);
  QCOMPARE(board->text(), QStringLiteral("312"));
  QTest::keyClick(&edit, Qt::Key_X, Qt::ControlModifier);
  QCOMPARE(edit.valueText(), QStringLiteral("0"));
  QTest::keyClick(&edit, Qt::Key_V, Qt::ControlModifier);
  QCOMPARE(edit.valueText(), QStringLiteral("3120"));
}

void TestNumericEdit::mouseSelection() {
  NumericEdit edit(English());
  Init(edit, -1, 0, QStringLiteral("12345"));
  edit.SetPrefix(QStringLiteral("$"));
  edit.resize(200, edit.sizeHint().height());
  edit.show();
  QVERIFY(QTest::qWaitForWindowExposed(&edit));
  QCOMPARE(edit.text(), QStringLiteral("$ 12,345"));

  const QPoint start = PointAt(edit, 3);  // after "1"
  const QPoint end = PointAt(edit, 7);    // after "4"
  QTest::mousePress(&edit, Qt::LeftButton, {}, start);
  QTest::mouseMove(&edit, end);
  QCOMPARE(edit.selectedText(), QStringLiteral("2,34"));
  QTest::mouseRelease(&edit, Qt::LeftButton, {}, end);
  QTest::mouseMove(&edit, start);
  QCOMPARE(edit.selectedText(), QStringLiteral("2,34"));

  // A click in the prefix puts the caret on the first cell.
  QTest::mouseClick(&edit, Qt::LeftButton, {}, QPoint(2, edit.height() / 2));
  QCOMPARE(edit.CaretCell(), 0);
  QCOMPARE(edit.cursorPosition(), 2);

  QTest::mouseDClick(&edit, Qt::LeftButton, {}, start);
  QCOMPARE(edit.selectedText(), QStringLiteral("12,345"));
}

void TestNumericEdit::focusDropsFullSelection() {
  TwoFields fields;
  QVERIFY(QTest::qWaitForWindowActive(&fields.window));
  QVERIFY(fields.second->setValueText(QStringLiteral("1234.5")));
  fields.first->setFocus(Qt::OtherFocusReason);
  QTest::keyClick(fields.first, Qt::Key_Tab);
  QVERIFY(fields.second->hasFocus());
  // The full selection Tab makes is dropped although the display holds a separator.
  QVERIFY(!fields.second->hasSelectedText());
  QCOMPARE(fields.second->CaretCell(), 0);

  // A partial selection survives a focus change.
  SelectCells(*fields.first, 0, 1);
  QTest::keyClick(fields.second, Qt::Key_Tab, Qt::ShiftModifier);
  QVERIFY(fields.first->hasFocus());
  QVERIFY(fields.first->hasSelectedText());
}

void TestNumericEdit::autoAdvance() {
  TwoFields fields;
  QVERIFY(QTest::qWaitForWindowActive(&fields.window));
  NumericEdit* edit = fields.first;
  QVERIFY(edit->setValueText(QStringLiteral("12")));
  edit->setFocus();
  QTest::keyClick(edit, Qt::Key_End);
  QVERIFY(edit->hasFocus());

  edit->SetAutoAdvance(true);
  QTest::keyClick(edit, Qt::Key_End, Qt::ShiftModifier);  // selecting does not leave
  QVERIFY(edit->hasFocus());
  SelectCells(*edit, 3, 3);
  QTest::keyClick(edit, Qt::Key_Right);  // "12.0|0": onto the last cell
  QVERIFY(edit->hasFocus());
  QTest::keyClick(edit, Qt::Key_Right);  // past it
  QVERIFY(fields.second->hasFocus());
  QCOMPARE(edit->CaretCell(), 4);

  // End leaves as well; the focus wraps round to the first field.
  fields.second->SetAutoAdvance(true);
  QTest::keyClick(fields.second, Qt::Key_End);
  QVERIFY(edit->hasFocus());
}

void TestNumericEdit::readOnlyIgnoresEditing() {
  NumericEdit edit(English());
  Init(edit, -1, 0, QStringLiteral("123"));
  edit.setReadOnly(true);
  QTest::keyClick(&edit, Qt::Key_End);
  QTest::keyClicks(&edit, QStringLiteral("9-"));
  QTest::keyClick(&edit, Qt::Key_Backspace);
  QTest::keyClick(&edit, Qt::Key_Delete);
  QApplication::clipboard()->setText(QStringLiteral("5"));
  QTest::keyClick(&edit, Qt::Key_V, Qt::ControlModifier);
  edit.paste();
  QCOMPARE(edit.valueText(), QStringLiteral("123"));
  QCOMPARE(edit.text(), QStringLiteral("123"));
}

void TestNumericEdit::plainSetTextIsParsed() {
  NumericEdit edit(English());
  Init(edit, -1, 2, QStringLiteral("1"));
  QLineEdit& plain = edit;
  plain.setText(QStringLiteral("-42.5"));
  QCOMPARE(edit.valueText(), QStringLiteral("-42.50"));
  QCOMPARE(edit.text(), QStringLiteral("-42.50"));
  QCOMPARE(TextColour(edit), QColor(255, 0, 0));
  plain.setText(QStringLiteral("4x"));
  QCOMPARE(edit.valueText(), QStringLiteral("-42.50"));
  QCOMPARE(edit.text(), QStringLiteral("-42.50"));
  plain.clear();
  QCOMPARE(edit.valueText(), QStringLiteral("0.00"));
  QCOMPARE(TextColour(edit), edit.NormalColour());
}

void TestNumericEdit::systemLocale() {
  // Loose: whatever the machine's locale, the dialog side stays a plain decimal.
  NumericEdit edit;
  QCOMPARE(edit.Decimals(), 2);
  QVERIFY(edit.setValueText(QStringLiteral("-1234.5")));
  QCOMPARE(edit.valueText(), QStringLiteral("-1234.50"));
  QVERIFY(edit.text().contains(QLocale().decimalPoint()));
  QVERIFY(edit.text().endsWith(QStringLiteral("50")));
}

QTEST_MAIN(TestNumericEdit)
#include "tst_numeric_edit.moc"
