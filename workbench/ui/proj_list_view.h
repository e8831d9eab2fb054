// CProjListView: the project list, the right pane of the main window.
//
// Lists the devices of the open project (all, or those on one serial port), its tags, its
// screens, or, while communication runs, the live values of all tags, refreshed by a 1000 ms
// timer. From it the user creates, edits and deletes devices (device wizard plug-in), tags (tag
// editor plug-in) and screens (outside screen editor), and writes a tag's value. The content is
// switched by view-update hints from the tree and the main frame.
//
//   CProjListView list(mainFrame, splitter);   // mainFrame implements ViewContext
//   list.OnUpdate(kHintProjectOpened);         // images
//   list.OnUpdate(kHintTags);                  // the tag list
//   list.StartLiveTimer();                     // communication started
//
// A filter box above the rows (Ctrl+F, Esc empties it) shows only the rows whose texts contain
// what is typed; Ctrl+C copies the selected rows as text. Column widths are the user's: each
// mode's are kept in the settings when they are dragged.
//
// Three view styles share one model and one selection: details (a table with a header), large
// icons and small icons (a list view). Rows hold indexes into the project's tables, checked on
// every access, and every edit empties the rows before it changes a table, so the view never
// reads a record that was moved, freed or cut off.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include <QTimer>
#include <QWidget>

#include "common/records.h"
#include "workbench/ui/proj_list_editor_link.h"
#include "workbench/ui/proj_list_model.h"
#include "workbench/ui/view_context.h"

class QAction;
class QLabel;
class QLineEdit;
class QListView;
class QMenu;
class QModelIndex;
class QPoint;
class QStackedWidget;
class QTableView;

namespace talvek {

struct DeleteOutcome;

// Commands the view handles (window command identifiers).
inline constexpr int kCmdNewDevice = 10000;     // "新建 逻辑设备"
inline constexpr int kCmdEditDevice = 10001;    // "编辑 逻辑设备"
inline constexpr int kCmdDeleteDevice = 10002;  // "删除 逻辑设备"
inline constexpr int kCmdNewTag = 10010;        // "新建 变量"
inline constexpr int kCmdEditTag = 10011;       // "编辑 变量"
inline constexpr int kCmdDeleteTags = 10012;    // "删除 变量"
inline constexpr int kCmdNewScreen = 10013;     // "增加 画面"
inline constexpr int kCmdEditScreen = 10014;    // "编辑 画面"
inline constexpr int kCmdDeleteScreen = 10015;  // "删除 画面"
inline constexpr int kCmdWriteValue = 10017;    // double-click in the live values
inline constexpr int kCmdToggleHex = 10018;     // "显示 十六进制"
inline constexpr int kCmdExportTags = 10020;    // "导出变量..."
inline constexpr int kCmdImportTags = 10021;    // "导入变量..."
inline constexpr int kCmdBatchTags = 10022;     // "批量创建..."
inline constexpr int kCmdCopyRows = 57634;      // "复制" (Ctrl+C): the selected rows as text
inline constexpr int kCmdAddToTrend = 10019;    // "加入趋势": the selected live tags

// View style indexes.
inline constexpr int kStyleLargeIcons = 0;
inline constexpr int kStyleDetails = 1;
inline constexpr int kStyleSmallIcons = 2;

// Period of the live refresh timer.
inline constexpr int kLiveRefreshMs = 1000;

// Questions and messages (UTF-8).
inline constexpr char kAskDeleteDevice[] = "你确定要删除此驱动设备吗";
inline constexpr char kAskDeleteTags[] = "你确定要删除该变量吗";
inline constexpr char kAskDeleteScreen[] = "你确定要删除该画面吗";

class CProjListView : public QWidget, public ProjectView {
  Q_OBJECT

 public:
  // Shows `menu` at `globalPos` and returns the chosen action (null when dismissed).
  using MenuRunner = std::function<QAction*(QMenu& menu, const QPoint& globalPos)>;

  // Starts empty (no columns) in the details style. `context` must outlive the view.
  explicit CProjListView(ViewContext& context, QWidget* parent = nullptr);
  ~CProjListView() override;

  // 0x10000 + port: devices of that port (0: all); 0x2xxxx: tags; 0x40000: screens; 0x80000:
  // live values; 0x100000: the toolbar's stopped look, rows unchanged; 0x10000000: no rows, no
  // columns, no images; anything else (0): creates the images.
  void OnUpdate(std::uint32_t hint) override;

  // The 1000 ms refresh of the live values, started and stopped by the main frame.
  void StartLiveTimer();
  void StopLiveTimer();
  bool IsLiveTimerActive() const { return liveTimer_.isActive(); }
  // One refresh tick: the live cells are asked for again and the list repaints at once; then the
  // tick listener runs.
  void RefreshLiveValues();
  void SetLiveTickListener(std::function<void()> listener) {
    liveTickListener_ = std::move(listener);
  }

  // The view styles (commands 32783, 32784, 32785).
  void OnViewSmallIcons();
  void OnViewLargeIcons();
  void OnViewDetails();
  // 0 large icons, 1 details, 2 small icons.
  int ViewStyle() const { return viewStyle_; }

  // Carries out one of the kCmd* commands; unknown identifiers do nothing. Device and tag edits
  // do nothing while communication runs: polling holds tag indexes and device records.
  void OnCommand(int id);

  // A header click: the same column again flips the direction, another column is sorted
  // ascending (see ProjListModel::SortRows); the header shows the sort indicator.
  void SortByColumn(int column);
  int SortColumn() const { return model_->SortColumn(); }  // -1: not sorted
  bool SortDescending() const { return model_->SortDescending(); }

  // Copies the selected rows (header line, all columns, tab-separated) to the clipboard as text;
  // false, leaving the clipboard alone, when no selected row holds a record.
  bool CopySelectedRows();
  // The filter box; its text is the model's filter.
  QLineEdit* FilterEdit() const { return filterEdit_; }

  // A double-click on `row` (a row, not empty space): opens the editor or writes a value, by
  // mode and communication state.
  void OnRowDoubleClicked(int row);
  // Keys of both list views: Enter acts as a double click on the first selected row (edit a
  // device or tag, write a live value), Delete deletes the selection (with its question).
  bool eventFilter(QObject* watched, QEvent* event) override;

  // The context menu as a right-click at this moment would show it (style items, and the mode's
  // commands when allowed); remembers the first selected row. Actions carry their command
  // identifier as data.
  std::unique_ptr<QMenu> BuildContextMenu();
  // Builds the context menu, runs it at `globalPos` and carries out the chosen command.
  void ShowContextMenu(const QPoint& globalPos);

  // Selected rows in row order, and the first of them (-1 when none).
  std::vector<int> SelectedRows() const;
  int SelectedRow() const;
  // Selects exactly `rows` (the first gets the focus), for the main frame and tests.
  void SelectRows(const std::vector<int>& rows);
  // Imports the tag file at `path` (proj_list_tag_bulk.cpp): every row checked first; any refusal
  // lists every refused row and imports nothing; rows naming existing tags ask whether to update
  // them. Nothing while communication runs or without a project.
  void ImportTagsFrom(const QString& path);

  // The row the screen commands act on: last right-clicked, or double-clicked in screens mode.
  int RememberedRow() const { return rememberedRow_; }

  ProjListModel* Model() const { return model_; }
  QTableView* DetailsView() const { return table_; }
  QListView* IconView() const { return icons_; }

  // Test seams. Replaces the context menu's modal loop (null: QMenu::exec).
  void SetMenuRunner(MenuRunner runner);
  // Replaces how the screen editor program is started (null: a detached process).
  void SetProgramLauncher(ProgramLauncher launcher);
  // Replaces the plug-ins' file names (defaults "Ondrel.dll", "Tesvic.dll").
  void SetPluginFiles(std::string deviceWizardFile, std::string tagEditorFile);
  // The record a new tag starts from and which keeps its content from one new tag to the next;
  // by default the view's own. The main frame may hand the application's; it must outlive the view.
  void SetScratchTagRecord(TagRecord* scratch);
  TagRecord& ScratchTagRecord() { return *scratchTag_; }

 protected:
  void contextMenuEvent(QContextMenuEvent* event) override;
  void showEvent(QShowEvent* event) override;
  void resizeEvent(QResizeEvent* event) override;

 private:
  ProjectState& State();
  bool Running() const { return context_.IsCommunicationRunning(); }
  void SetMode(std::uint32_t hint);
  void ApplyViewStyle(int style);
  void ApplyColumnWidths();
  // Writes the current mode's column widths to the settings.
  void SaveColumnWidths();
  void ShowSortIndicator();
  // The filter box's text changed: filter the rows, tell the count.
  void OnFilterChanged(const QString& text);
  void SendHint(std::uint32_t hint);
  // Empties the rows before a table changes, so that nothing reads it while it does.
  void ReleaseRows();
  // Tells the user which data file could not be written (the file on disk is the old one).
  void ReportSaveFailure(std::string_view fileName);
  // The same for the file a deletion could not write, if any.
  void ReportUnsaved(const DeleteOutcome& outcome);

  void NewDevice();
  void EditDevice();
  void DeleteDevice();
  void NewTag();
  void EditTag();
  void DeleteTags();
  void NewScreen();
  void EditScreen();
  void DeleteScreen();
  void WriteValue();
  void ToggleHex();
  // Tags in bulk (proj_list_tag_bulk.cpp).
  void ExportTags();
  void ImportTags();
  void BatchCreateTags();
  // The tag file's and the batch's commands of the context menu in tags mode.
  void AddTagBulkCommands(QMenu& menu);
  void AddToTrend();

  ViewContext& context_;
  ProjListModel* model_ = nullptr;
  QStackedWidget* stack_ = nullptr;
  QTableView* table_ = nullptr;
  QListView* icons_ = nullptr;
  QLineEdit* filterEdit_ = nullptr;
  QLabel* filterCount_ = nullptr;  // "shown / all" while a filter is set
  QTimer liveTimer_;
  std::function<void()> liveTickListener_;

  std::uint32_t modeHint_ = 0;
  int viewStyle_ = kStyleDetails;
  bool headerPressed_ = false;  // a mouse button is down on the header: resizes are the user's
  bool widthsDragged_ = false;  // ... and the user changed a width meanwhile
  // The columns were sized from the list's width before it was shown (a project opened at
  // start-up): they are sized again once the list has its real width.
  bool widthsBeforeShown_ = false;
  int rememberedRow_ = -1;
  std::uint64_t updatesSeen_ = 0;  // OnUpdate calls, to see whether a hint sent came back

  MenuRunner menuRunner_;
  ScreenEditorLink editorLink_;
  std::string deviceWizardFile_;
  std::string tagEditorFile_;
  TagRecord ownScratchTag_{};
  TagRecord* scratchTag_ = &ownScratchTag_;
};

}  // namespace talvek
