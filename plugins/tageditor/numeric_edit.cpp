#include "plugins/tageditor/numeric_edit.h"

#include <QApplication>
#include <QClipboard>
#include <QContextMenuEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QLocale>
#include <QMenu>
#include <QMimeData>
#include <QMouseEvent>
#include <QPalette>
#include <algorithm>
#include <limits>

namespace talvek {

namespace {

// "Unlimited" integer digits and any digit setting are capped here, so that an absurdly long
// text cannot build a display QLineEdit would cut or take ages to lay out. A double has at most
// 309 integer digits.
constexpr int kMaxDigits = 400;
constexpr int kMaxPaddingBlanks = 16;

bool IsAsciiDigit(QChar ch) {
  return ch >= u'0' && ch <= u'9';
}

// Restores `flag` on scope exit; marks the field's own writes so the change handlers skip them.
class UpdateGuard {
 public:
  explicit UpdateGuard(bool& flag) : flag_(flag), old_(flag) { flag_ = true; }
  ~UpdateGuard() { flag_ = old_; }
  UpdateGuard(const UpdateGuard&) = delete;
  UpdateGuard& operator=(const UpdateGuard&) = delete;

 private:
  bool& flag_;
  bool old_;
};

}  // namespace

NumericLocale NumericLocale::System() {
  const QLocale locale;
  NumericLocale result;
  const QString point = locale.decimalPoint();
  if (!point.isEmpty()) {
    result.decimalPoint = point.front();
  }
  result.groupSeparator = locale.groupSeparator();
  // Qt has no grouping size; every locale Qt knows groups the first group by three. The C locale
  // carries OmitGroupSeparator, matching its empty POSIX grouping.
  const bool noGrouping = result.groupSeparator.isEmpty() ||
                          locale.numberOptions().testFlag(QLocale::OmitGroupSeparator);
  result.groupSize = noGrouping ? 0 : 3;
  const QString sign = locale.negativeSign();
  if (!sign.isEmpty()) {
    result.negativeSign = sign;
  }
  // Fraction digits, leading zero and negative format have no Linux locale fields; the defaults
  // stay (2, on, "-1.1").
  return result;
}

NumericEdit::NumericEdit(QWidget* parent) : NumericEdit(NumericLocale::System(), parent) {}

NumericEdit::NumericEdit(const NumericLocale& locale, QWidget* parent) : QLineEdit(parent) {
  // Keys arrive as key events only; an input method would bypass keyPressEvent().
  setAttribute(Qt::WA_InputMethodEnabled, false);
  setAcceptDrops(false);
  // The display is built here; QLineEdit must never cut it.
  setMaxLength(std::numeric_limits<int>::max());
  normalColour_ = palette().color(QPalette::Active, QPalette::Text);
  ApplyLocale(locale);
  connect(this, &QLineEdit::textChanged, this, &NumericEdit::OnTextChanged);
  connect(this, &QLineEdit::cursorPositionChanged, this, &NumericEdit::SnapSelection);
  connect(this, &QLineEdit::selectionChanged, this, &NumericEdit::SnapSelection);
  value_ = DefaultLayout();
  Redisplay();
  SetCaretCell(0);
}

void NumericEdit::ApplyLocale(const NumericLocale& locale) {
  // A separator that is a digit, "#" or a sign would make value texts ambiguous.
  const QChar point = locale.decimalPoint;
  const bool usable = !point.isNull() && !point.isSpace() && !IsAsciiDigit(point) &&
                      point != u'#' && point != u'-' && point != u'+';
  decimalSeparator_ = usable ? point : QChar(u'.');
  groupSeparator_ = locale.groupSeparator;
  groupSize_ = groupSeparator_.isEmpty() ? 0 : std::max(0, locale.groupSize);
  decimals_ = std::clamp(locale.fractionDigits, 0, kMaxDigits);
  leadingZeroMode_ = locale.leadingZero ? kLeadingZero : kNoLeadingZero;
  switch (locale.negativeFormatCode) {
    case 0:
      negativeFormat_ = 0;
      break;
    case 1:
    case 2:
      negativeFormat_ = 4;
      break;
    case 3:
    case 4:
      negativeFormat_ = 6;
      break;
    default:
      break;  // keeps 5
  }
  if (!locale.negativeSign.isEmpty()) {
    negativeSign_ = locale.negativeSign;
  }
}

std::vector<NumericElement> NumericEdit::DefaultLayout() const {
  std::vector<NumericElement> cells{{NumericElement::kEmpty, u'#'}};
  if (decimals_ > 0) {
    cells.push_back({NumericElement::kPoint, decimalSeparator_});
    cells.insert(cells.end(), decimals_, {NumericElement::kEmpty, u'#'});
  }
  return cells;
}

bool NumericEdit::IsPointChar(QChar ch) const {
  // "." is what valueText() writes, so it is always read as the point.
  return ch == decimalSeparator_ || ch == u'.';
}

void NumericEdit::SetIntegerDigits(int n) {
  integerDigits_ = n <= 0 ? n : std::min(n, kMaxDigits);
  Relayout();
}

void NumericEdit::SetDecimals(int n) {
  decimals_ = std::clamp(n, 0, kMaxDigits);
  Relayout();
}

void NumericEdit::SetPaddingMode(int mode) {
  paddingMode_ = mode;
  Relayout();
}

void NumericEdit::Relayout() {
  const QString text = CellText(0, CellCount(), u'#');
  value_ = DefaultLayout();
  if (!Parse(text, false)) {
    Redisplay();
    SetCaretCell(0);
  }
}

QString NumericEdit::valueText() const {
  QString cells;
  cells.reserve(CellCount() + 2);
  for (const NumericElement& cell : value_) {
    switch (cell.kind) {
      case NumericElement::kPoint:
        cells += u'.';
        break;
      case NumericElement::kDigit:
        cells += cell.ch;
        break;
      default:
        cells += u'0';
        break;
    }
  }
  if (cells.startsWith(u'.')) {
    cells.prepend(u'0');
  }
  return IsNegative() ? QLatin1Char('-') + cells : cells;
}

bool NumericEdit::setValueText(const QString& text) {
  return Parse(text.trimmed(), true);
}

bool NumericEdit::Parse(const QString& text, bool signFromText, qsizetype marker, int* markerCell) {
  bool negative = negative_;
  qsizetype i = 0;
  if (signFromText) {
    negative = text.startsWith(u'-');
    i = negative ? 1 : 0;
  }
  int points = 0;
  for (qsizetype k = i; k < text.size(); ++k) {
    const QChar ch = text[k];
    if (IsPointChar(ch)) {
      ++points;
    } else if (!IsAsciiDigit(ch) && ch != u'#') {
      return false;
    }
  }
  if (points > 1) {
    return false;
  }

  // Leading zeros and placeholders carry no value; the padding below re-creates the cells the
  // layout wants. Skipping placeholders too keeps a filled-up integer part from counting against
  // the digit limit when the value is re-fitted.
  while (i < text.size() && (text[i] == u'0' || text[i] == u'#')) {
    ++i;
  }
  const int intLimit = integerDigits_ > 0 ? integerDigits_ : kMaxDigits;
  std::vector<NumericElement> intCells;
  std::vector<NumericElement> fracCells;
  bool inFraction = false;
  int markInt = (marker >= 0 && marker <= i) ? 0 : -1;
  int markFrac = -1;
  auto mark = [&] {
    if (markInt < 0 && markFrac < 0) {
      if (inFraction) {
        markFrac = static_cast<int>(fracCells.size());
      } else {
        markInt = static_cast<int>(intCells.size());
      }
    }
  };
  for (qsizetype k = i; k < text.size(); ++k) {
    if (k == marker) {
      mark();
    }
    const QChar ch = text[k];
    if (IsPointChar(ch)) {
      inFraction = true;
      continue;
    }
    const NumericElement cell = ch == u'#' ? NumericElement{NumericElement::kEmpty, u'#'}
                                           : NumericElement{NumericElement::kDigit, ch};
    if (!inFraction) {
      if (static_cast<int>(intCells.size()) < intLimit) {
        intCells.push_back(cell);
      }
    } else if (static_cast<int>(fracCells.size()) < decimals_) {
      fracCells.push_back(cell);
    }
  }
  if (marker >= text.size()) {
    mark();
  }

  const NumericElement empty{NumericElement::kEmpty, u'#'};
  if (paddingMode_ == kFillToDigits && integerDigits_ > 0) {
    const int missing = integerDigits_ - static_cast<int>(intCells.size());
    if (missing > 0) {
      intCells.insert(intCells.begin(), missing, empty);
      if (markInt >= 0) {
        markInt += missing;
      }
    }
  } else if (leadingZeroMode_ == kLeadingZero && intCells.empty()) {
    intCells.push_back(empty);
  }
  if (paddingMode_ == kTrimLeading) {
    const bool pointFollows = decimals_ > 0;
    std::size_t removed = 0;
    while (
        removed < intCells.size() && intCells[removed].kind == NumericElement::kEmpty &&
        (intCells.size() - removed > 1 || (leadingZeroMode_ == kNoLeadingZero && pointFollows))) {
      ++removed;
    }
    intCells.erase(intCells.begin(), intCells.begin() + static_cast<qsizetype>(removed));
    if (markInt >= 0) {
      markInt = std::max(0, markInt - static_cast<int>(removed));
    }
  }
  std::vector<NumericElement> cells = std::move(intCells);
  const int intCount = static_cast<int>(cells.size());
  if (decimals_ > 0) {
    cells.push_back({NumericElement::kPoint, decimalSeparator_});
    fracCells.resize(decimals_, empty);
    cells.insert(cells.end(), fracCells.begin(), fracCells.end());
  }
  if (cells.empty()) {
    cells = DefaultLayout();
  }
  if (cells.front().kind == NumericElement::kDigit && cells.front().ch == u'0') {
    cells.front() = empty;
  }

  value_ = std::move(cells);
  negative_ = negative;
  Redisplay();
  SetCaretCell(0);
  if (markerCell) {
    int cell = 0;
    if (markInt >= 0) {
      cell = std::min(markInt, intCount);
    } else if (markFrac >= 0) {
      cell = decimals_ > 0 ? intCount + 1 + std::min(markFrac, decimals_) : intCount;
    }
    *markerCell = std::clamp(cell, 0, CellCount());
  }
  return true;
}

QString NumericEdit::CellText(int from, int to, QChar emptyAs) const {
  QString text;
  for (int i = std::max(0, from); i < std::min(to, CellCount()); ++i) {
    const NumericElement& cell = value_[i];
    text += cell.kind == NumericElement::kEmpty ? emptyAs : cell.ch;
  }
  return text;
}

bool NumericEdit::IsNegative() const {
  if (!negative_) {
    return false;
  }
  return std::any_of(value_.begin(), value_.end(), [](const NumericElement& cell) {
    return cell.kind == NumericElement::kDigit && cell.ch != u'0';
  });
}

void NumericEdit::RebuildDisplay() {
  std::vector<NumericElement> number;
  const int intCount = PointIndex();
  for (int i = 0; i < CellCount(); ++i) {
    const NumericElement& cell = value_[i];
    if (i < intCount && i > 0 && groupSize_ > 0 && (intCount - i) % groupSize_ == 0) {
      for (QChar ch : groupSeparator_) {
        number.push_back({NumericElement::kGroup, ch});
      }
    }
    switch (cell.kind) {
      case NumericElement::kPoint:
        number.push_back({NumericElement::kPoint, decimalSeparator_});
        break;
      case NumericElement::kEmpty:
        number.push_back({NumericElement::kEmpty, u'0'});
        break;
      default:
        number.push_back(cell);
        break;
    }
  }

  std::vector<NumericElement> prefix;
  std::vector<NumericElement> suffix;
  if (!prefix_.isEmpty()) {
    for (QChar ch : prefix_) {
      prefix.push_back({NumericElement::kPrefix, ch});
    }
    prefix.insert(prefix.end(), paddingBlanks_, {NumericElement::kBlank, u' '});
  }
  if (!suffix_.isEmpty()) {
    suffix.insert(suffix.end(), paddingBlanks_, {NumericElement::kBlank, u' '});
    for (QChar ch : suffix_) {
      suffix.push_back({NumericElement::kSuffix, ch});
    }
  }

  std::vector<NumericElement> open;
  std::vector<NumericElement> close;
  if (IsNegative()) {
    if (negativeFormat_ <= 3) {
      QChar left = u'-';
      QChar right = u'-';
      switch (bracketStyle_) {
        case kParentheses:
          left = u'(';
          right = u')';
          break;
        case kBraces:
          left = u'{';
          right = u'}';
          break;
        case kSquareBrackets:
          left = u'[';
          right = u']';
          break;
        default:
          break;
      }
      open.push_back({NumericElement::kSign, left});
      close.push_back({NumericElement::kSign, right});
    } else {
      for (QChar ch : negativeSign_) {
        open.push_back({NumericElement::kSign, ch});
      }
    }
  }

  // Parts in display order; an empty `open` (not negative) leaves prefix, number, suffix.
  std::vector<const std::vector<NumericElement>*> order;
  switch (open.empty() ? -1 : negativeFormat_) {
    case 0:
      order = {&prefix, &open, &number, &close, &suffix};
      break;
    case 1:
      order = {&open, &prefix, &number, &close, &suffix};
      break;
    case 2:
      order = {&open, &prefix, &number, &suffix, &close};
      break;
    case 3:
      order = {&prefix, &open, &number, &suffix, &close};
      break;
    case 5:
      order = {&open, &prefix, &number, &suffix};
      break;
    case 6:
      order = {&prefix, &number, &open, &suffix};
      break;
    case 7:
      order = {&prefix, &number, &suffix, &open};
      break;
    default:  // format 4, or not negative
      order = {&prefix, &open, &number, &suffix};
      break;
  }
  display_.clear();
  for (const auto* part : order) {
    display_.insert(display_.end(), part->begin(), part->end());
  }
}

void NumericEdit::Redisplay() {
  RebuildDisplay();
  WriteDisplay();
  ApplyColour();
}

void NumericEdit::WriteDisplay() {
  QString text;
  text.reserve(static_cast<qsizetype>(display_.size()));
  for (const NumericElement& element : display_) {
    text += element.ch;
  }
  UpdateGuard guard(updating_);
  QLineEdit::setText(text);
}

void NumericEdit::ApplyColour() {
  const QColor colour = IsNegative() ? negativeColour_ : normalColour_;
  QPalette pal = palette();
  if (pal.color(QPalette::Active, QPalette::Text) == colour &&
      pal.color(QPalette::Inactive, QPalette::Text) == colour) {
    return;
  }
  // A disabled field keeps the greyed text of its palette.
  pal.setColor(QPalette::Active, QPalette::Text, colour);
  pal.setColor(QPalette::Inactive, QPalette::Text, colour);
  setPalette(pal);
}

int NumericEdit::PointIndex() const {
  for (int i = 0; i < CellCount(); ++i) {
    if (value_[i].kind == NumericElement::kPoint) {
      return i;
    }
  }
  return CellCount();
}

int NumericEdit::DisplayToValue(int displayPos) const {
  const int end = std::clamp(displayPos, 0, static_cast<int>(display_.size()));
  int count = 0;
  for (int i = 0; i < end; ++i) {
    count += display_[i].IsValueCell() ? 1 : 0;
  }
  return count;
}

int NumericEdit::ValueToDisplay(int valuePos) const {
  int seen = 0;
  int last = 0;
  for (int i = 0; i < static_cast<int>(display_.size()); ++i) {
    if (!display_[i].IsValueCell()) {
      continue;
    }
    if (valuePos <= 0) {
      return i;  // on the first cell, after any prefix or sign
    }
    last = i + 1;
    if (++seen == valuePos) {
      return last;
    }
  }
  return last;
}

int NumericEdit::CaretCell() const {
  return DisplayToValue(cursorPosition());
}

int NumericEdit::AnchorCell() const {
  if (!hasSelectedText()) {
    return CaretCell();
  }
  const int anchor = cursorPosition() == selectionStart() ? selectionEnd() : selectionStart();
  return DisplayToValue(anchor);
}

std::pair<int, int> NumericEdit::SelectedCells() const {
  if (!hasSelectedText()) {
    const int caret = CaretCell();
    return {caret, caret};
  }
  return {DisplayToValue(selectionStart()), DisplayToValue(selectionEnd())};
}

void NumericEdit::SetCaretCell(int cell) {
  UpdateGuard guard(updating_);
  QLineEdit::setCursorPosition(ValueToDisplay(std::clamp(cell, 0, CellCount())));
}

void NumericEdit::SetCellSelection(int anchor, int caret) {
  anchor = std::clamp(anchor, 0, CellCount());
  caret = std::clamp(caret, 0, CellCount());
  if (anchor == caret) {
    SetCaretCell(caret);
    return;
  }
  const int from = ValueToDisplay(anchor);
  UpdateGuard guard(updating_);
  QLineEdit::setSelection(from, ValueToDisplay(caret) - from);
}

void NumericEdit::SnapSelection() {
  if (updating_) {
    return;
  }
  // Selections set through QLineEdit (setSelection(), selectAll(), setCursorPosition()) are
  // moved onto cell boundaries as well.
  const int caret = cursorPosition();
  const int anchor =
      hasSelectedText() ? (caret == selectionStart() ? selectionEnd() : selectionStart()) : caret;
  const int caretCell = DisplayToValue(caret);
  const int anchorCell = DisplayToValue(anchor);
  if (ValueToDisplay(caretCell) != caret || ValueToDisplay(anchorCell) != anchor) {
    SetCellSelection(anchorCell, caretCell);
  }
}

void NumericEdit::OnTextChanged(const QString& text) {
  if (updating_) {
    return;
  }
  // Someone wrote the text through QLineEdit (setText(), clear(), insert(), undo()): treat it
  // as a value, and put the display back when it is not one.
  if (!Parse(text.trimmed(), true)) {
    WriteDisplay();
    SetCaretCell(0);
  }
}

int NumericEdit::DeleteRange(int from, int to) {
  QString text;
  qsizetype marker = -1;
  for (int i = 0; i < CellCount(); ++i) {
    if (i == from) {
      marker = text.size();
    }
    const NumericElement& cell = value_[i];
    if (i < from || i >= to || cell.kind == NumericElement::kPoint) {
      text += cell.kind == NumericElement::kEmpty ? QChar(u'#') : cell.ch;
    }
  }
  if (marker < 0) {
    marker = text.size();
  }
  int caret = from;
  if (!Parse(text, false, marker, &caret)) {
    caret = from;
  }
  return caret;
}

void NumericEdit::TypeDigit(QChar digit) {
  const auto [first, end] = SelectedCells();
  if (first != end) {
    // The digit replaces the selection in one step, so a full integer part does not drop the
    // digit's neighbour first.
    QString text = CellText(0, first, u'#');
    text += digit;
    const qsizetype marker = text.size();
    for (int i = first; i < end; ++i) {
      if (value_[i].kind == NumericElement::kPoint) {
        text += value_[i].ch;
      }
    }
    text += CellText(end, CellCount(), u'#');
    int caret = first + 1;
    Parse(text, false, marker, &caret);
    SetCaretCell(caret);
    return;
  }

  int caret = first;
  if (!insertMode_ && caret < CellCount() && value_[caret].kind == NumericElement::kPoint) {
    ++caret;  // overwriting steps over the point onto the first fraction cell
  }
  const bool onCell = caret < CellCount();
  if (onCell && (value_[caret].kind == NumericElement::kEmpty ||
                 (!insertMode_ && value_[caret].kind == NumericElement::kDigit))) {
    value_[caret] = {NumericElement::kDigit, digit};
    Redisplay();
    SetCaretCell(caret + 1);
    return;
  }
  // Insert before the caret cell and re-fit; what no longer fits is dropped.
  QString text = CellText(0, caret, u'#');
  text += digit;
  const qsizetype marker = text.size();
  text += CellText(caret, CellCount(), u'#');
  int newCaret = caret + 1;
  Parse(text, false, marker, &newCaret);
  SetCaretCell(newCaret);
}

void NumericEdit::SetSign(bool negative) {
  const int anchor = AnchorCell();
  const int caret = CaretCell();
  negative_ = negative;
  Redisplay();
  SetCellSelection(anchor, caret);
}

void NumericEdit::TypeChar(QChar ch, bool keypadPoint) {
  if (IsAsciiDigit(ch)) {
    TypeDigit(ch);
  } else if (ch == decimalSeparator_ || keypadPoint) {
    const int point = PointIndex();
    if (point < CellCount()) {
      MoveCaret(point + 1, false, true);
    }
  } else if (ch == u'-') {
    SetSign(!negative_);
  } else if (ch == u'+') {
    SetSign(false);
  }
}

void NumericEdit::MoveCaret(int target, bool extend, bool mayAdvance) {
  target = std::clamp(target, 0, CellCount());
  if (extend) {
    SetCellSelection(AnchorCell(), target);
    return;
  }
  if (mayAdvance && autoAdvance_ && target >= CellCount()) {
    focusNextChild();
    return;
  }
  SetCaretCell(target);
}

void NumericEdit::keyPressEvent(QKeyEvent* event) {
  if (isReadOnly()) {
    QLineEdit::keyPressEvent(event);  // a read-only field behaves as a plain edit
    return;
  }
  const Qt::KeyboardModifiers mods = event->modifiers() & ~Qt::KeypadModifier;
  const int key = event->key();
  const bool shift = mods == Qt::ShiftModifier;
  const bool plain = mods == Qt::NoModifier;
  const bool ctrl = mods == Qt::ControlModifier;

  if (event->matches(QKeySequence::Copy) || (ctrl && (key == Qt::Key_C || key == Qt::Key_Insert))) {
    copy();
  } else if (event->matches(QKeySequence::Cut) || (ctrl && key == Qt::Key_X) ||
             (shift && key == Qt::Key_Delete)) {
    cut();
  } else if (event->matches(QKeySequence::Paste) || (ctrl && key == Qt::Key_V) ||
             (shift && key == Qt::Key_Insert)) {
    paste();
  } else if (event->matches(QKeySequence::SelectAll) || (ctrl && key == Qt::Key_A)) {
    SetCellSelection(0, CellCount());
  } else if ((plain || shift) && (key == Qt::Key_Left || key == Qt::Key_Up)) {
    MoveCaret(CaretCell() - 1, shift, false);
  } else if ((plain || shift) && (key == Qt::Key_Right || key == Qt::Key_Down)) {
    MoveCaret(CaretCell() + 1, shift, true);
  } else if ((plain || shift) && key == Qt::Key_Home) {
    MoveCaret(0, shift, false);
  } else if ((plain || shift) && key == Qt::Key_End) {
    MoveCaret(CellCount(), shift, true);
  } else if (plain && key == Qt::Key_Insert) {
    insertMode_ = !insertMode_;
  } else if (plain && key == Qt::Key_Delete) {
    const auto [first, end] = SelectedCells();
    if (first != end) {
      SetCaretCell(DeleteRange(first, end));
    } else if (first < CellCount() && value_[first].kind == NumericElement::kPoint) {
      SetCaretCell(first + 1);  // the point stays; step over it so the key is not dead
    } else if (first < CellCount()) {
      SetCaretCell(DeleteRange(first, first + 1));
    }
  } else if (plain && key == Qt::Key_Backspace) {
    const auto [first, end] = SelectedCells();
    if (first != end) {
      SetCaretCell(DeleteRange(first, end));
    } else if (first > 0) {
      SetCaretCell(DeleteRange(first - 1, first));
    }
  } else if (!(mods & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier)) &&
             event->text().size() == 1 && event->text().front().isPrint()) {
    const bool keypadPoint = (event->modifiers() & Qt::KeypadModifier) &&
                             (key == Qt::Key_Period || key == Qt::Key_Comma);
    TypeChar(event->text().front(), keypadPoint);  // anything but digits, point and sign: ignored
  } else {
    // Return, Escape, function keys and the rest go to the dialog, never to the plain edit.
    event->ignore();
    return;
  }
  event->accept();
}

void NumericEdit::mousePressEvent(QMouseEvent* event) {
  if (isReadOnly()) {
    QLineEdit::mousePressEvent(event);
    return;
  }
  if (event->button() != Qt::LeftButton) {
    event->ignore();
    return;
  }
  dragAnchor_ = DisplayToValue(cursorPositionAt(event->position().toPoint()));
  SetCaretCell(dragAnchor_);
  event->accept();
}

void NumericEdit::mouseMoveEvent(QMouseEvent* event) {
  if (isReadOnly()) {
    QLineEdit::mouseMoveEvent(event);
    return;
  }
  if (dragAnchor_ >= 0 && (event->buttons() & Qt::LeftButton)) {
    SetCellSelection(dragAnchor_, DisplayToValue(cursorPositionAt(event->position().toPoint())));
  }
  event->accept();
}

void NumericEdit::mouseReleaseEvent(QMouseEvent* event) {
  if (isReadOnly()) {
    QLineEdit::mouseReleaseEvent(event);
    return;
  }
  // No X11 selection copy or middle-button paste: both would bypass the value cells.
  if (event->button() == Qt::LeftButton) {
    dragAnchor_ = -1;
  }
  event->accept();
}

void NumericEdit::mouseDoubleClickEvent(QMouseEvent* event) {
  if (isReadOnly()) {
    QLineEdit::mouseDoubleClickEvent(event);
    return;
  }
  if (event->button() == Qt::LeftButton) {
    dragAnchor_ = -1;  // a drag after the double click must not shrink the selection
    SetCellSelection(0, CellCount());
  }
  event->accept();
}

void NumericEdit::focusInEvent(QFocusEvent* event) {
  QLineEdit::focusInEvent(event);
  if (isReadOnly() || !hasSelectedText()) {
    return;
  }
  // Keyboard focus selects everything; the field starts with the caret on the first cell
  // instead, whatever the display holds besides the cells.
  const auto [first, end] = SelectedCells();
  if (first == 0 && end == CellCount()) {
    SetCaretCell(0);
  }
}

void NumericEdit::contextMenuEvent(QContextMenuEvent* event) {
  if (isReadOnly()) {
    QLineEdit::contextMenuEvent(event);
    return;
  }
  // QLineEdit's own menu would edit the display text; this one works on the cells.
  const bool selected = hasSelectedText();
  const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
  QMenu menu(this);
  menu.addAction(QStringLiteral("剪切(&T)"), this, &NumericEdit::cut)->setEnabled(selected);
  menu.addAction(QStringLiteral("复制(&C)"), this, &NumericEdit::copy)->setEnabled(selected);
  menu.addAction(QStringLiteral("粘贴(&P)"), this, &NumericEdit::paste)
      ->setEnabled(mime && mime->hasText());
  menu.addAction(QStringLiteral("删除(&D)"), this, &NumericEdit::DeleteSelection)
      ->setEnabled(selected);
  menu.addSeparator();
  menu.addAction(QStringLiteral("全选(&A)"), this, [this] { SetCellSelection(0, CellCount()); });
  menu.exec(event->globalPos());
  event->accept();
}

void NumericEdit::copy() const {
  if (isReadOnly()) {
    QLineEdit::copy();
    return;
  }
  const auto [first, end] = SelectedCells();
  if (first != end) {
    QGuiApplication::clipboard()->setText(CellText(first, end, u'0'));
  }
}

void NumericEdit::cut() {
  if (isReadOnly()) {
    return;
  }
  const auto [first, end] = SelectedCells();
  if (first != end) {
    copy();
    SetCaretCell(DeleteRange(first, end));
  }
}

void NumericEdit::paste() {
  if (isReadOnly()) {
    return;
  }
  const QMimeData* mime = QGuiApplication::clipboard()->mimeData();
  if (!mime || !mime->hasText()) {
    return;
  }
  const auto [first, end] = SelectedCells();
  const QString before = CellText(0, first, u'#');
  const QString after = CellText(end, CellCount(), u'#');
  QString text;
  if (negative_ && !(before.isEmpty() && after.isEmpty())) {
    text += u'-';
  }
  text += before;
  text += mime->text().trimmed();
  text += after;
  // A text that is not a number leaves the value as it was; the caret moves either way.
  Parse(text, true);
  SetCaretCell(first);
}

void NumericEdit::DeleteSelection() {
  if (isReadOnly()) {
    return;
  }
  const auto [first, end] = SelectedCells();
  if (first != end) {
    SetCaretCell(DeleteRange(first, end));
  }
}

void NumericEdit::SetPrefix(const QString& prefix) {
  const int caret = CaretCell();
  prefix_ = prefix;
  Redisplay();
  SetCaretCell(caret);
}

void NumericEdit::SetSuffix(const QString& suffix) {
  const int caret = CaretCell();
  suffix_ = suffix;
  Redisplay();
  SetCaretCell(caret);
}

void NumericEdit::SetPaddingBlanks(int count) {
  const int caret = CaretCell();
  paddingBlanks_ = std::clamp(count, 0, kMaxPaddingBlanks);
  Redisplay();
  SetCaretCell(caret);
}

void NumericEdit::SetBracketStyle(int style) {
  const int caret = CaretCell();
  bracketStyle_ = style;
  Redisplay();
  SetCaretCell(caret);
}

void NumericEdit::SetNegativeFormat(int format) {
  if (format < 0 || format > 7) {
    return;
  }
  const int caret = CaretCell();
  negativeFormat_ = format;
  Redisplay();
  SetCaretCell(caret);
}

}  // namespace talvek
