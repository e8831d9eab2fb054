#include "workbench/ui/value_entry_dlg.h"

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

// "0 ~ 65535": the range as the dialog shows it inside and names in its refusals.
QString RangeQText(const ValueLimits& limits, int varType) {
  return QString::fromUtf8(RangeText(limits, varType));
}

QString LimitText(double value, int varType) {
  if (varType == kVarFloat)
    return QString::fromUtf8(FloatLimitText(value));
  return QString::number(static_cast<qlonglong>(value));
}

QLabel* ValueLabel(const QString& text, const char* objectName, QWidget* parent) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(objectName));
  label->setTextInteractionFlags(Qt::TextSelectableByMouse);
  label->setTextFormat(Qt::PlainText);
  return label;
}

}  // namespace

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
  const QString range = limits_.bounded ? RangeQText(limits_, varType_)
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
          .arg(LimitText(limits.low, kVarFloat), LimitText(limits.high, kVarFloat));
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
  std::string refusal;
  const std::optional<EnteredValue> value =
      CheckEnteredValue(tag_, edit_->text().toStdString(), &refusal);
  if (!value && !refusal.empty())
    return Refuse(QString::fromUtf8(refusal));
  if (value)
    entered_ = *value;
  QDialog::accept();
}

int WriteEnteredValue(std::string_view gbkName, const CValueEntryDlg& dlg) {
  return WriteEnteredValue(Tags(), gbkName, dlg.Entered());
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
