#include "workbench/ui/tag_bulk_dlg.h"

#include <algorithm>
#include <utility>

#include <QDialogButtonBox>
#include <QFileInfo>
#include <QFormLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMessageBox>
#include <QPushButton>
#include <QSpinBox>
#include <QTableWidget>
#include <QVBoxLayout>

#include "common/tag_values.h"
#include "platform/gbk.h"
#include "workbench/ui/dialog_buttons.h"

namespace talvek {

namespace {

QString Utf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

std::function<std::optional<ExistingTags>(std::size_t)>& QuestionHook() {
  static std::function<std::optional<ExistingTags>(std::size_t)> hook;
  return hook;
}

// The name's trailing decimal number and the text before it ("温度3" -> "温度", 3); -1 when the
// name ends in no digit.
std::pair<QString, int> SplitTrailingNumber(const QString& name) {
  qsizetype start = name.size();
  while (start > 0 && name[start - 1].isDigit() && name.size() - start < 9)
    --start;
  if (start == name.size())
    return {name, -1};
  return {name.left(start), name.mid(start).toInt()};
}

}  // namespace

// --- The refused rows -------------------------------------------------------------------------

TagImportErrorsDlg::TagImportErrorsDlg(const QString& file, const std::vector<TagRowError>& errors,
                                       QWidget* parent)
    : QDialog(parent) {
  setWindowTitle(QStringLiteral("导入变量"));
  auto* text = new QLabel(QStringLiteral("文件“%1”中有 %2 处错误，没有导入任何变量。\n"
                                         "请改正以下各行后重新导入：")
                              .arg(QFileInfo(file).fileName())
                              .arg(errors.size()),
                          this);
  text->setWordWrap(true);
  list_ = new QListWidget(this);
  list_->setObjectName(QStringLiteral("errorList"));
  list_->setWordWrap(true);
  list_->setAlternatingRowColors(true);
  for (const TagRowError& error : errors)
    list_->addItem(Utf8(TagRowErrorText(error)));
  auto* layout = new QVBoxLayout(this);
  layout->addWidget(text);
  layout->addWidget(list_, 1);
  layout->addWidget(AddDialogButtons(*this, DialogButtons::kOk));
  resize(720, 360);
}

std::optional<ExistingTags> AskExistingTags(QWidget* parent, std::size_t count) {
  if (QuestionHook())
    return QuestionHook()(count);
  QMessageBox box(QMessageBox::Question, QStringLiteral("导入变量"),
                  QStringLiteral("文件中有 %1 个变量与工程中已有的变量同名。\n"
                                 "要用文件中的内容更新这些变量，还是只添加新变量？")
                      .arg(count),
                  QMessageBox::NoButton, parent);
  QPushButton* update = box.addButton(QStringLiteral("更新已有变量"), QMessageBox::YesRole);
  QPushButton* addOnly = box.addButton(QStringLiteral("只添加新变量"), QMessageBox::NoRole);
  box.addButton(QStringLiteral("取消"), QMessageBox::RejectRole);
  box.setDefaultButton(update);
  box.exec();
  if (box.clickedButton() == update)
    return ExistingTags::kUpdate;
  if (box.clickedButton() == addOnly)
    return ExistingTags::kKeep;
  return std::nullopt;
}

void SetExistingTagsQuestionHook(std::function<std::optional<ExistingTags>(std::size_t)> hook) {
  QuestionHook() = std::move(hook);
}

// --- Batch creation -------------------------------------------------------------------------

TagBatchDlg::TagBatchDlg(const TagRecord& source, std::span<const DeviceRecord> devices,
                         const std::vector<TagRecord>& tags, QWidget* parent)
    : QDialog(parent), source_(source), devices_(devices), tags_(tags) {
  setWindowTitle(QStringLiteral("批量创建变量"));
  const bool external = (source.flags & kTagExternal) != 0;
  const QString name = tagcheck::GbkToQString(platform::ArrayText(source.name));
  const auto [stem, number] = SplitTrailingNumber(name);
  const std::string sourceRegister(platform::ArrayText(source.registerText));
  const int step = DefaultRegisterStep(sourceRegister, source.rawType);

  count_ = new QSpinBox(this);
  count_->setObjectName(QStringLiteral("countBox"));
  count_->setRange(1, kMaxBatchCount);
  count_->setValue(10);
  stem_ = new QLineEdit(stem, this);
  stem_->setObjectName(QStringLiteral("stemEdit"));
  first_ = new QSpinBox(this);
  first_->setObjectName(QStringLiteral("firstNumberBox"));
  first_->setRange(0, 99999999);
  first_->setValue(number >= 0 ? number + 1 : 1);
  register_ = new QLineEdit(this);
  register_->setObjectName(QStringLiteral("firstRegisterEdit"));
  step_ = new QSpinBox(this);
  step_->setObjectName(QStringLiteral("stepBox"));
  step_->setRange(-65535, 65535);
  step_->setValue(step);
  // The series continues after the source: its next register is the first tag's.
  std::string next;
  register_->setText(QString::fromStdString(
      external && StepRegister(sourceRegister, source.rawType, step, next) ? next
                                                                           : sourceRegister));
  register_->setEnabled(external);
  step_->setEnabled(external);

  auto* form = new QFormLayout;
  form->addRow(
      QStringLiteral("源变量："),
      new QLabel(external ? QStringLiteral("%1（%2）").arg(name, Utf8(sourceRegister)) : name,
                 this));
  form->addRow(QStringLiteral("数量："), count_);
  form->addRow(QStringLiteral("名称前缀："), stem_);
  form->addRow(QStringLiteral("起始编号："), first_);
  form->addRow(QStringLiteral("起始寄存器："), register_);
  form->addRow(QStringLiteral("寄存器步长："), step_);

  preview_ = new QTableWidget(this);
  preview_->setObjectName(QStringLiteral("preview"));
  preview_->setColumnCount(3);
  preview_->setHorizontalHeaderLabels(
      {QStringLiteral("变量名称"), QStringLiteral("寄存器"), QStringLiteral("检查结果")});
  preview_->horizontalHeader()->setStretchLastSection(true);
  preview_->verticalHeader()->setDefaultSectionSize(22);
  preview_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  preview_->setSelectionMode(QAbstractItemView::NoSelection);
  summary_ = new QLabel(this);
  summary_->setWordWrap(true);

  QDialogButtonBox* buttons = AddDialogButtons(*this, DialogButtons::kOkCancel);
  ok_ = buttons->findChild<QPushButton*>(QStringLiteral("okButton"));
  auto* layout = new QVBoxLayout(this);
  layout->addLayout(form);
  layout->addWidget(preview_, 1);
  layout->addWidget(summary_);
  layout->addWidget(buttons);
  resize(640, 520);

  connect(count_, &QSpinBox::valueChanged, this, &TagBatchDlg::Replan);
  connect(first_, &QSpinBox::valueChanged, this, &TagBatchDlg::Replan);
  connect(step_, &QSpinBox::valueChanged, this, &TagBatchDlg::Replan);
  connect(stem_, &QLineEdit::textChanged, this, &TagBatchDlg::Replan);
  connect(register_, &QLineEdit::textChanged, this, &TagBatchDlg::Replan);
  Replan();
}

void TagBatchDlg::Replan() {
  TagBatchSpec wanted;
  wanted.count = count_->value();
  wanted.stem = stem_->text().toStdString();
  wanted.firstNumber = first_->value();
  wanted.registerStep = step_->value();
  wanted.firstRegister = register_->text().trimmed().toStdString();
  rows_ = PlanTagBatch(source_, wanted, devices_, tags_, drivers_);

  preview_->setRowCount(static_cast<int>(rows_.size()));
  int refused = 0;
  for (int r = 0; r < static_cast<int>(rows_.size()); ++r) {
    const TagBatchRow& row = rows_[static_cast<std::size_t>(r)];
    const bool sound = row.error.empty();
    refused += sound ? 0 : 1;
    const QString cells[3] = {Utf8(row.name), Utf8(row.registerText),
                              sound ? QStringLiteral("正确") : Utf8(row.error)};
    for (int c = 0; c < 3; ++c) {
      auto* item = new QTableWidgetItem(cells[c]);
      if (!sound)
        item->setForeground(Qt::red);
      item->setToolTip(cells[c]);
      preview_->setItem(r, c, item);
    }
  }
  ok_->setEnabled(BatchIsSound(rows_));
  summary_->setText(
      refused == 0
          ? QStringLiteral("将创建 %1 个变量。").arg(rows_.size())
          : QStringLiteral("%1 个变量有错误（红色），改正之前不会创建任何变量。").arg(refused));
}

}  // namespace talvek
