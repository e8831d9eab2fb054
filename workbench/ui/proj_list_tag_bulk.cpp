// The project list's commands for tags in bulk: export and import of the tag file, and batch
// creation from the selected tag. Members of CProjListView, kept apart from its other commands.
#include <span>
#include <string>
#include <vector>

#include <QAction>
#include <QFile>
#include <QFileDialog>
#include <QMenu>

#include "platform/gbk.h"
#include "workbench/project/data_files.h"
#include "workbench/project/message_sink.h"
#include "workbench/project/project_state.h"
#include "workbench/project/tag_batch.h"
#include "workbench/project/tag_csv.h"
#include "workbench/project/talvek_doc.h"
#include "workbench/ui/proj_list_view.h"
#include "workbench/ui/tag_bulk_dlg.h"

namespace talvek {

namespace {

constexpr char kFileFilter[] = "变量表 (*.csv);;所有文件 (*)";

void Tell(const std::string& text, MessageIcon icon) {
  ShowMessage(text, {}, MessageButtons::kOk, icon);
}

// The project folder (UTF-8) as the file dialogs' starting place.
QString FolderOf(const ProjectState& state) {
  std::string folder;
  if (!platform::GbkToUtf8(platform::ArrayText(state.folder), folder))
    return {};
  return QString::fromStdString(folder);
}

}  // namespace

void CProjListView::AddTagBulkCommands(QMenu& menu) {
  menu.addSeparator();
  auto add = [&menu](const char* caption, int id) {
    QAction* action = menu.addAction(QString::fromUtf8(caption));
    action->setData(id);
    return action;
  };
  add("批量创建...", kCmdBatchTags)->setEnabled(model_->TagAt(rememberedRow_) != nullptr);
  add("导入变量...", kCmdImportTags);
  add("导出变量...", kCmdExportTags);
}

void CProjListView::ExportTags() {
  ProjectState& state = State();
  if (!state.IsOpen())
    return;
  const QString path = QFileDialog::getSaveFileName(
      context_.MainWindow(), QStringLiteral("导出变量"),
      FolderOf(state) + QStringLiteral("/变量.csv"), QString::fromUtf8(kFileFilter));
  if (path.isEmpty())
    return;
  const std::string bytes = FormatTagCsv(state.tags);
  if (!WriteFileAtomically(path.toStdString(), std::as_bytes(std::span(bytes)))) {
    Tell("无法写入文件“" + path.toStdString() + "”，变量没有导出。", MessageIcon::kWarning);
    return;
  }
  Tell("已导出 " + std::to_string(state.tags.size()) + " 个变量到“" + path.toStdString() + "”。",
       MessageIcon::kInformation);
}

void CProjListView::ImportTags() {
  if (!State().IsOpen())
    return;
  const QString path =
      QFileDialog::getOpenFileName(context_.MainWindow(), QStringLiteral("导入变量"),
                                   FolderOf(State()), QString::fromUtf8(kFileFilter));
  if (!path.isEmpty())
    ImportTagsFrom(path);
}

void CProjListView::ImportTagsFrom(const QString& path) {
  ProjectState& state = State();
  if (Running() || !state.IsOpen())
    return;
  QFile file(path);
  if (!file.open(QIODevice::ReadOnly) || file.size() > static_cast<qint64>(kMaxTagFileBytes)) {
    Tell("无法读取文件“" + path.toStdString() + "”" +
             (file.isOpen() ? "：文件太大，不是变量表。" : "：" + file.errorString().toStdString()),
         MessageIcon::kWarning);
    return;
  }
  const QByteArray bytes = file.readAll();
  // The tag list behind the dialogs shows what the import changes.
  if (model_->Mode() != ListMode::kTags)
    SendHint(kHintTags);
  DriverRegisterCheck drivers;
  const TagImport import =
      ReadTagCsv(std::string_view(bytes.constData(), static_cast<std::size_t>(bytes.size())),
                 DevicesOf(state.devices), state.tags, drivers);
  if (!import.errors.empty()) {
    TagImportErrorsDlg(path, import.errors, context_.MainWindow()).exec();
    return;
  }
  ExistingTags existing = ExistingTags::kUpdate;
  if (const std::size_t same = import.ExistingCount(); same > 0) {
    const std::optional<ExistingTags> answer = AskExistingTags(context_.MainWindow(), same);
    if (!answer)
      return;
    existing = *answer;
  }
  // The question ran an event loop: communication cannot have started (the box is modal), and
  // the merge matches the rows to the table as it is now.
  ReleaseRows();
  const TagMergeCount count = MergeImportedTags(state.tags, import, existing);
  if (!SaveTags(state)) {
    context_.Document().SetModifiedFlag();
    ReportSaveFailure("Tag.dat");
  }
  SendHint(kHintTags);
  Tell("已导入变量：新增 " + std::to_string(count.added) + " 个，更新 " +
           std::to_string(count.updated) + " 个。",
       MessageIcon::kInformation);
}

void CProjListView::BatchCreateTags() {
  const TagRecord* selected = model_->TagAt(SelectedRow());
  if (selected == nullptr)
    return;
  ProjectState& state = State();
  TagBatchDlg dialog(*selected, DevicesOf(state.devices), state.tags, context_.MainWindow());
  if (dialog.exec() != QDialog::Accepted || !BatchIsSound(dialog.Rows()))
    return;
  ReleaseRows();
  for (const TagBatchRow& row : dialog.Rows())
    state.tags.push_back(row.record);
  if (!SaveTags(state)) {
    context_.Document().SetModifiedFlag();
    ReportSaveFailure("Tag.dat");
  }
  SendHint(kHintTags);
}

}  // namespace talvek
