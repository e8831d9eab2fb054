// The dialogs of tags in bulk: the list of the rows an import refused, the question about rows
// that name existing tags, and batch creation with its live preview. The logic they show is
// workbench/project/tag_csv.h and tag_batch.h; the commands that run them are the project list's
// (proj_list_tag_bulk.cpp).
#pragma once

#include <cstddef>
#include <functional>
#include <optional>
#include <span>
#include <vector>

#include <QDialog>

#include "common/records.h"
#include "workbench/project/tag_batch.h"
#include "workbench/project/tag_csv.h"

class QLabel;
class QLineEdit;
class QListWidget;
class QPushButton;
class QSpinBox;
class QTableWidget;

namespace talvek {

// "导入变量": says that nothing was imported and lists every refused row ("第 12 行：...").
class TagImportErrorsDlg : public QDialog {
  Q_OBJECT

 public:
  TagImportErrorsDlg(const QString& file, const std::vector<TagRowError>& errors,
                     QWidget* parent = nullptr);
  QListWidget* List() const { return list_; }  // "errorList"

 private:
  QListWidget* list_ = nullptr;
};

// Asks what to do with `count` rows that name existing tags: update them, add only the new tags,
// or cancel (nullopt).
std::optional<ExistingTags> AskExistingTags(QWidget* parent, std::size_t count);
// Replaces the question's box for tests (null: the box).
void SetExistingTagsQuestionHook(std::function<std::optional<ExistingTags>(std::size_t)> hook);

// "批量创建": count, name stem, first number, first register and register step, and a preview of
// every tag the batch creates with its check; "确定" is enabled only when every row is sound.
class TagBatchDlg : public QDialog {
  Q_OBJECT

 public:
  // The batch is planned from `source` against `devices` and `tags`, which must outlive it.
  TagBatchDlg(const TagRecord& source, std::span<const DeviceRecord> devices,
              const std::vector<TagRecord>& tags, QWidget* parent = nullptr);

  // The rows as last planned.
  const std::vector<TagBatchRow>& Rows() const { return rows_; }

  QSpinBox* CountBox() const { return count_; }               // "countBox"
  QLineEdit* StemEdit() const { return stem_; }               // "stemEdit"
  QSpinBox* FirstNumberBox() const { return first_; }         // "firstNumberBox"
  QLineEdit* FirstRegisterEdit() const { return register_; }  // "firstRegisterEdit"
  QSpinBox* StepBox() const { return step_; }                 // "stepBox"
  QTableWidget* Preview() const { return preview_; }          // "preview"
  QPushButton* OkButton() const { return ok_; }               // "okButton"

 private:
  void Replan();

  const TagRecord source_;
  std::span<const DeviceRecord> devices_;
  const std::vector<TagRecord>& tags_;
  DriverRegisterCheck drivers_;
  std::vector<TagBatchRow> rows_;

  QSpinBox* count_ = nullptr;
  QLineEdit* stem_ = nullptr;
  QSpinBox* first_ = nullptr;
  QLineEdit* register_ = nullptr;
  QSpinBox* step_ = nullptr;
  QTableWidget* preview_ = nullptr;
  QLabel* summary_ = nullptr;
  QPushButton* ok_ = nullptr;
};

}  // namespace talvek
