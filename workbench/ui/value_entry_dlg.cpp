#include "workbench/ui/value_entry_dlg.h"

#include <cfloat>
#include <cstdlib>

#include <locale.h>

#include <QDialogButtonBox>
#include <QLineEdit>
#include <QPushButton>
#include <QVBoxLayout>

#include "platform/gbk.h"
#include "workbench/project/message_sink.h"
#include "workbench/runtime/tag_table.h"
#include "workbench/ui/message_box_sink.h"

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

}  // namespace

int32_t ParseInt32Prefix(std::string_view text) {
  text = SkipBlanks(text);
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    negative = text[i++] == '-';
  // Accumulate the magnitude in 64 bits and stop growing once it is past the int32 range.
  int64_t magnitude = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i) {
    if (magnitude <= int64_t{INT32_MAX} + 1)
      magnitude = magnitude * 10 + (text[i] - '0');
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX)
    return INT32_MAX;
  if (value < INT32_MIN)
    return INT32_MIN;
  return static_cast<int32_t>(value);
}

int16_t ParseInt16Prefix(std::string_view text) {
  // Low 16 bits, two's complement (well defined since C++20).
  return static_cast<int16_t>(ParseInt32Prefix(text));
}

float ParseFloatPrefix(std::string_view text) {
  text = SkipBlanks(text);
  // Copy the longest decimal number at the front: [sign] digits [. digits] [e [sign] digits].
  std::string number;
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    number += text[i++];
  std::size_t mantissaDigits = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i, ++mantissaDigits)
    number += text[i];
  if (i < text.size() && text[i] == '.') {
    number += text[i++];
    for (; i < text.size() && IsDigit(text[i]); ++i, ++mantissaDigits)
      number += text[i];
  }
  if (mantissaDigits == 0)
    return 0.0f;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    std::size_t j = i + 1;
    if (j < text.size() && (text[j] == '+' || text[j] == '-'))
      ++j;
    if (j < text.size() && IsDigit(text[j])) {  // an exponent without digits is not read
      number.append(text.substr(i, j - i));
      for (; j < text.size() && IsDigit(text[j]); ++j)
        number += text[j];
    }
  }
  // strtod_l gives ±HUGE_VAL beyond the double range and a (possibly denormal) tiny value or 0
  // below it; both are defined.
  const double d = strtod_l(number.c_str(), nullptr, CLocale());
  // Converting a double beyond the float range to float is undefined; saturate instead.
  if (d > FLT_MAX)
    return FLT_MAX;
  if (d < -FLT_MAX)
    return -FLT_MAX;
  return static_cast<float>(d);
}

CValueEntryDlg::CValueEntryDlg(int varType, QWidget* parent) : QDialog(parent), varType_(varType) {
  setWindowTitle(CaptionFor(varType));

  edit_ = new QLineEdit(this);
  edit_->setObjectName(QStringLiteral("valueEdit"));
  // QLineEdit scrolls its text horizontally by itself; one limit serves every type.
  edit_->setMaxLength(kMaxValueTextChars);

  auto* buttons = new QDialogButtonBox(this);
  QPushButton* ok =
      buttons->addButton(QString::fromUtf8(kOkButtonText), QDialogButtonBox::AcceptRole);
  ok->setObjectName(QStringLiteral("okButton"));
  ok->setDefault(true);
  QPushButton* cancel =
      buttons->addButton(QString::fromUtf8(kCancelButtonText), QDialogButtonBox::RejectRole);
  cancel->setObjectName(QStringLiteral("cancelButton"));
  connect(buttons, &QDialogButtonBox::accepted, this, &CValueEntryDlg::accept);
  connect(buttons, &QDialogButtonBox::rejected, this, &CValueEntryDlg::reject);

  auto* layout = new QVBoxLayout(this);
  layout->addWidget(edit_);
  layout->addWidget(buttons);
  // Wide enough for the longest caption to stay readable in the title bar.
  setMinimumWidth(360);
  edit_->setFocus();
}

QString CValueEntryDlg::CaptionFor(int varType) {
  switch (varType) {
    case kVarDiscrete:
      return QStringLiteral("请设置布尔值(0,1)");
    case kVarInteger:
      // The range shown is advice only; the value itself is read as 32 bits.
      return QStringLiteral("请设置整数值,范围(-32768,32767)");
    case kVarFloat:
      return QStringLiteral("请设置浮点数,范围(10e-38,10e38，有效位7位)");
    case kVarString:
      return QStringLiteral("请设置字符串,范围(128个字符)");
    default:
      return {};
  }
}

void CValueEntryDlg::accept() {
  const QString text = edit_->text();
  // Non-ASCII characters simply end a number, so UTF-8 is as good as any byte form here.
  const std::string utf8 = text.toStdString();
  switch (varType_) {
    case kVarDiscrete:
      discrete_ = ParseInt16Prefix(utf8);
      break;
    case kVarInteger:
      integer_ = ParseInt32Prefix(utf8);
      break;
    case kVarFloat:
      float_ = ParseFloatPrefix(utf8);
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
      if (refusal != nullptr) {
        ShowMessage(refusal, {}, MessageButtons::kOk, MessageIcon::kWarning);
        edit_->setFocus();
        return;
      }
      gbkText_ = std::move(gbk);
      break;
    }
    default:
      break;
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
  if (CValueEntryDlg::CaptionFor(tag.varType).isEmpty())
    return 0;  // no dialog for this type
  // Copy the name first: the tag record may live in a table that changes while the dialog runs.
  const std::string name(platform::ArrayText(tag.name));
  CValueEntryDlg dlg(tag.varType, parent);
  if (dlg.exec() != QDialog::Accepted)
    return 0;
  return WriteEnteredValue(name, dlg);
}

}  // namespace talvek
