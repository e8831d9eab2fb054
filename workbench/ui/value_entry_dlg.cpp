#include "workbench/ui/value_entry_dlg.h"

#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>

#include <locale.h>

#include <QDialogButtonBox>
#include <QFormLayout>
#include <QLabel>
#include <QLineEdit>
#include <QVBoxLayout>

#include "platform/gbk.h"
#include "workbench/project/message_sink.h"
#include "workbench/runtime/tag_fields.h"
#include "workbench/runtime/tag_table.h"
#include "workbench/ui/dialog_buttons.h"
#include "workbench/ui/proj_list_model.h"

namespace talvek {
namespace {

// The blanks the C conversions skip ("C" locale isspace), independent of the process locale.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string_view SkipBlanks(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i]))
    ++i;
  return text.substr(i);
}

// The "C" locale, so that strtod reads '.' as the decimal point whatever locale Qt installed.
locale_t CLocale() {
  static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return loc;
}

// The text with the blanks around it removed.
std::string_view TrimBlanks(std::string_view text) {
  text = SkipBlanks(text);
  while (!text.empty() && IsBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

// Past this magnitude a typed whole number is kept as it is: it is outside every int32 range
// already, and 2^53 is still exact in a double.
constexpr int64_t kWholeNumberCap = int64_t{1} << 53;

// "%.7g" of a float limit: the digits a float holds, without a trail of noise.
QString FloatText(double value) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%.7g", value);
  return QString::fromLatin1(buffer);
}

QString LimitText(double value, int varType) {
  if (varType == kVarFloat)
    return FloatText(value);
  return QString::number(static_cast<qlonglong>(value));
}

// "0 ~ 65535": the range as the dialog shows it inside and names in its refusals.
QString RangeText(const ValueLimits& limits, int varType) {
  if (varType == kVarDiscrete)
    return QStringLiteral("0 或 1");
  return LimitText(limits.low, varType) + QStringLiteral(" ~ ") + LimitText(limits.high, varType);
}

QLabel* ValueLabel(const QString& text, const char* objectName, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(objectName));
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  label->setTextFormat(Qt::PlainText);
  return label;
}

}  // namespace

ValueLimits LimitsOf(const TagRecord& tag) {
  ValueLimits limits;
  switch (tag.varType) {
    case kVarDiscrete:
      return {true, 0, 1};
    case kVarInteger:
      limits = {true, static_cast<double>(tag.engMin), static_cast<double>(tag.engMax)};
      break;
    case kVarFloat: {
      const float a = WordToFloat(tag.engMin);
      const float b = WordToFloat(tag.engMax);
      // A limit that is no number bounds nothing: the float range stands in for it.
      limits = {true, std::isnan(a) ? -FLT_MAX : a, std::isnan(b) ? FLT_MAX : b};
      break;
    }
    default:
      return {};
  }
  if (limits.low > limits.high)
    std::swap(limits.low, limits.high);
  return limits;
}

std::optional<int64_t> ParseWholeNumber(std::string_view text) {
  text = TrimBlanks(text);
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    negative = text[i++] == '-';
  if (i == text.size())
    return std::nullopt;
  int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    if (!IsDigit(text[i]))
      return std::nullopt;
    magnitude = std::min(magnitude * 10 + (text[i] - '0'), kWholeNumberCap);
  }
  return negative ? -magnitude : magnitude;
}

std::optional<double> ParseDecimalNumber(std::string_view text) {
  text = TrimBlanks(text);
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    ++i;
  std::size_t mantissaDigits = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i)
    ++mantissaDigits;
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && IsDigit(text[i]); ++i)
      ++mantissaDigits;
  }
  if (mantissaDigits == 0)
    return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
      ++i;
    std::size_t exponentDigits = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i)
      ++exponentDigits;
    if (exponentDigits == 0)
      return std::nullopt;
  }
  if (i != text.size())
    return std::nullopt;
  // The text is exactly one decimal number now; strtod_l gives ±HUGE_VAL beyond the double
  // range and a tiny value or 0 below it.
  const std::string number(text);
  return strtod_l(number.c_str(), nullptr, CLocale());
}

CValueEntryDlg::CValueEntryDlg(const TagRecord& tag, QWidget* parent)
    : QDialog(parent), tag_(tag), varType_(tag.varType), limits_(LimitsOf(tag)) {
  setWindowTitle(CaptionFor(tag_));

  // The prompt, the tag and its range inside the dialog as well: a window manager may cut a
  // long title, and the user must see what is written where.
  auto* prompt = ValueLabel(windowTitle(), "promptLabel", this);
  prompt->setWordWrap(true);

  edit_ = new QLineEdit(this);
  edit_->setObjectName(QStringLiteral("valueEdit"));
  // QLineEdit scrolls its text horizontally by itself; one limit serves every type.
  edit_->setMaxLength(kMaxValueTextChars);

  auto* form = new QFormLayout;
  form->addRow(QStringLiteral("变量名称:"),
               ValueLabel(GbkCellText(platform::ArrayText(tag_.name)), "nameLabel", this));
  const std::string current = FormatLiveValue(varType_, LoadValueWord(tag_), false);
  form->addRow(
      QStringLiteral("当前值:"),
      ValueLabel(QString::fromUtf8(current) + QStringLiteral("  (") +
                     QString::fromUtf8(QualityText(LoadQuality(tag_))) + QStringLiteral(")"),
                 "currentLabel", this));
  const QString range = limits_.bounded ? RangeText(limits_, varType_)
                                        : QStringLiteral("1 到 %1 个字符 (GBK 编码不超过 %2 字节)")
                                              .arg(kMaxValueTextChars)
                                              .arg(kMaxStringValueBytes);
  form->addRow(QStringLiteral("范围:"), ValueLabel(range, "rangeLabel", this));
  form->addRow(QStringLiteral("新值:"), edit_);

  QDialogButtonBox* buttons = AddDialogButtons(*this, DialogButtons::kOkCancel);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(prompt);
  layout->addSpacing(4);
  layout->addLayout(form);
  layout->addSpacing(8);
  layout->addWidget(buttons);
  setMinimumWidth(380);
  edit_->setFocus();
}

bool CValueEntryDlg::HasDialog(int varType) {
  return varType >= kVarDiscrete && varType <= kVarString;
}

QString CValueEntryDlg::CaptionFor(const TagRecord& tag) {
  const ValueLimits limits = LimitsOf(tag);
  switch (tag.varType) {
    case kVarDiscrete:
      return QStringLiteral("请设置布尔值(0,1)");
    case kVarInteger:
      return QStringLiteral("请设置整数值,范围(%1,%2)")
          .arg(LimitText(limits.low, kVarInteger), LimitText(limits.high, kVarInteger));
    case kVarFloat:
      return QStringLiteral("请设置浮点数,范围(%1,%2，有效位7位)")
          .arg(FloatText(limits.low), FloatText(limits.high));
    case kVarString:
      return QStringLiteral("请设置字符串,范围(128个字符)");
    default:
      return {};
  }
}

void CValueEntryDlg::Refuse(const QString& text) {
  ShowMessage(text.toStdString(), {}, MessageButtons::kOk, MessageIcon::kWarning);
  edit_->selectAll();
  edit_->setFocus();
}

void CValueEntryDlg::accept() {
  const QString text = edit_->text();
  // Any character outside ASCII makes the text not a number, so UTF-8 is as good as any form.
  const std::string utf8 = text.toStdString();
  const QString name = GbkCellText(platform::ArrayText(tag_.name));
  // A number is taken only when the whole text is one, and only inside the tag's range: a typo
  // or an out-of-range value must never reach the plant as 0 or as a clamped limit.
  std::optional<double> number;
  switch (varType_) {
    case kVarDiscrete:
    case kVarInteger:
      if (const auto whole = ParseWholeNumber(utf8))
        number = static_cast<double>(*whole);
      else
        return Refuse(
            varType_ == kVarDiscrete
                ? QStringLiteral("“%1”不是有效的布尔值,请输入 0 或 1。").arg(text)
                : QStringLiteral("“%1”不是整数,请输入一个整数(例如 100 或 -25)。").arg(text));
      break;
    case kVarFloat:
      number = ParseDecimalNumber(utf8);
      if (!number)
        return Refuse(
            QStringLiteral("“%1”不是数值,请输入一个数(例如 12.5、-3 或 1.5e3)。").arg(text));
      break;
    case kVarString: {
      // The writer cannot send these texts and would drop them without a word; say why here,
      // while the user can still correct the text.
      const char* refusal = nullptr;
      std::string gbk;
      if (text.isEmpty()) {
        refusal = "字符串不能为空。";
      } else if (text.contains(QChar(u'\0'))) {
        refusal = "字符串中不能含有空字符(NUL)。";
      } else if (!platform::Utf8ToGbk(utf8, gbk)) {
        refusal = "字符串中含有不能用GBK编码表示的字符,请修改后再确定。";
      } else if (gbk.size() > kMaxStringValueBytes) {
        refusal = "字符串太长:用GBK编码后不能超过255个字节(一个汉字占2个字节)。";
      }
      if (refusal != nullptr)
        return Refuse(QString::fromUtf8(refusal));
      gbkText_ = std::move(gbk);
      break;
    }
    default:
      break;
  }
  if (number) {
    // A float tag compares the float the writer will send: its limits are floats, and "0.1"
    // must meet a limit stored as 0.1f. Beyond the float range there is no such float.
    if (varType_ == kVarFloat && std::fabs(*number) <= FLT_MAX)
      number = static_cast<float>(*number);
    // NaN never gets here (the parser does not read it); ±HUGE_VAL fails the comparison.
    if (!(*number >= limits_.low && *number <= limits_.high))
      return Refuse(QStringLiteral("%1 超出变量“%2”的范围,允许的值为 %3。")
                        .arg(text.trimmed(), name, RangeText(limits_, varType_)));
    switch (varType_) {
      case kVarDiscrete:
        discrete_ = static_cast<int16_t>(*number);
        break;
      case kVarInteger:
        integer_ = static_cast<int32_t>(*number);
        break;
      default:
        float_ = static_cast<float>(*number);  // already a float value
        break;
    }
  }
  QDialog::accept();
}

int WriteEnteredValue(std::string_view gbkName, const CValueEntryDlg& dlg) {
  RuntimeTagTable& tags = Tags();
  switch (dlg.VarType()) {
    case kVarDiscrete:
      return tags.WriteDiscreteByName(gbkName, dlg.DiscreteValue());
    case kVarInteger:
      return tags.WriteIntegerByName(gbkName, dlg.IntegerValue());
    case kVarFloat:
      return tags.WriteFloatByName(gbkName, dlg.FloatValue());
    case kVarString:
      return tags.WriteStringByName(gbkName, dlg.GbkText());
    default:
      return 0;
  }
}

int WriteValueOfTag(const TagRecord& tag, QWidget* parent) {
  if (!CValueEntryDlg::HasDialog(tag.varType))
    return 0;  // no dialog for this type
  // Copy the name first: the tag record may live in a table that changes while the dialog runs.
  const std::string name(platform::ArrayText(tag.name));
  CValueEntryDlg dlg(tag, parent);
  if (dlg.exec() != QDialog::Accepted)
    return 0;
  return WriteEnteredValue(name, dlg);
}

}  // namespace talvek
