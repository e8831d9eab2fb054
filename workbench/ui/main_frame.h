// CMainFrame: the workbench's single main window. It owns the project document, the splitter with
// the project tree and the project list, the toolbar with the start and stop buttons, the status
// bar and the menus; it starts and stops communication, and it owns the window endpoint through
// which the screen editor tells the workbench that the screen list changed.
//
//   CMainFrame frame;                           // no project: start 2, stop 3
//   frame.OpenDocumentFile("/home/u/泵站/泵站.ZRPrj");
//   frame.ExecuteCommand(kCmdStartCommunication);   // polling runs, the list shows live values
//   frame.close();                              // stops polling, saves, empties the tables
//
// Every command of the menus, the toolbar and the accelerators goes through ExecuteCommand, so
// tests can send a command identifier and look at what happened.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string_view>
#include <vector>

#include <QImage>
#include <QMainWindow>
#include <QString>
#include <QUrl>

#include "platform/window_messages.h"
#include "workbench/project/document_window.h"
#include "workbench/project/driver_host_interface.h"
#include "workbench/project/project_state.h"
#include "workbench/ui/frame_panes.h"
#include "workbench/ui/recent_files.h"
#include "workbench/ui/view_context.h"

class QAction;
class QLabel;
class QMenu;
class QSocketNotifier;
class QTimer;
class QToolBar;

namespace talvek {

class CMainSplitter;
class CommMonitorPane;
class DeviceStatsPane;
class TrendPane;

// Command identifiers of the menus, the toolbar and the accelerators.
inline constexpr int kCmdStartCommunication = 32791;  // "开始通讯"
inline constexpr int kCmdStopCommunication = 32795;   // "停止通讯"
inline constexpr int kCmdNewProject = 32796;          // "新建工程"
inline constexpr int kCmdFileNew = 57600;             // Ctrl+N: the new-project command here
inline constexpr int kCmdFileOpen = 57601;            // "打开工程", Ctrl+O
inline constexpr int kCmdFileClose = 57602;           // "关闭工程"
inline constexpr int kCmdFileSave = 57603;            // no handler: the data files save themselves
inline constexpr int kCmdRecentFirst = 57616;         // recent project 1; +i for entry i
inline constexpr int kCmdAppAbout = 57664;            // "关于 Talvek(&A)..."
inline constexpr int kCmdAppExit = 57665;             // "退出(&X)"
inline constexpr int kCmdHelp = 57670;                // "帮助"
inline constexpr int kCmdNextPane = 57680;            // F6
inline constexpr int kCmdPrevPane = 57681;            // Shift+F6
inline constexpr int kCmdViewToolbar = 59392;         // "工具栏(&T)"
inline constexpr int kCmdViewStatusBar = 59393;       // "状态栏(&S)"
inline constexpr int kCmdViewCommMonitor = 32810;     // "通讯监视(&M)": shows or hides the pane
inline constexpr int kCmdViewDeviceStats = 32811;     // "设备统计(&D)": shows or hides the pane
inline constexpr int kCmdResetStatistics = 32812;     // "重置统计": the host's counters to zero
inline constexpr int kCmdFileExportTags = 32813;  // "导出变量...": the project list's export
inline constexpr int kCmdFileImportTags = 32814;  // "导入变量...": the project list's import
inline constexpr int kCmdViewTrend = 32815;       // "趋势(&R)": shows or hides the trend pane

// The workbench's main window class: other programs find the workbench by it.
inline constexpr char kMainWindowClass[] = "VORUDOZEZEZUROV";
// From the screen editor: the screen list changed; both parameters are ignored.
inline constexpr UINT kScreensChangedMessage = 0x466;

// The toolbar's child identifier.
inline constexpr int kToolbarId = 61446;

// The help file, opened relative to the current folder.
inline constexpr const char* kHelpFileName = "Morvanta 帮助.chm";

// The program's name as the window title shows it after the document's title.
inline constexpr const char* kAppTitle = "Q9";

// Texts of the status bar's indicator panes, after the message pane.
inline constexpr const char* kCapsLockText = "大写";
inline constexpr const char* kNumLockText = "数字";
inline constexpr const char* kScrollLockText = "滚动";
// The communication pane's text while nothing polls.
inline constexpr const char* kCommStoppedText = "通讯停止";

// Value of the "Settings" section holding the window's layout (toolbar and panes: where they are
// docked and whether they are shown), as QMainWindow::saveState in base 64.
inline constexpr std::string_view kWindowLayoutValue = "WindowLayout";
// The window's size, place and maximised state at its last close (QWidget::saveGeometry, base64).
inline constexpr std::string_view kWindowPlacementValue = "WindowPlacement";

// Image `index` (kImageStartAvailable .. kImageStopUnavailable) of the toolbar's strip: 16 x 15
// pixels, a green triangle (start) or a red square (stop), grey when the command does nothing.
// Any other index gives a null image.
QImage ToolbarImage(int index);
// The communication monitor button's 16 x 15 image: a small screen with a trace.
QImage MonitorImage();

// What the frame works with; every member has a default for the real program.
struct FrameOptions {
  // The driver host the document owns. Default: DriverHost over the process-wide project.
  std::unique_ptr<DriverHostInterface> host;
  // The project the document works on. Default: Project().
  ProjectState* state = nullptr;
  // Creates the two panes. Default: CreateProjectPanes.
  PaneFactory panes;
  // Asks for a project file to open; an empty answer means cancelled. Default: a file dialog
  // for *.ZRPrj files in any letter case.
  std::function<QString(QWidget* parent)> askProjectFile;
  // Opens the help file. Default: QDesktopServices::openUrl.
  std::function<bool(const QUrl& url)> openUrl;
  // Whether the frame owns the main window endpoint (other programs find the workbench by it).
  bool openEndpoint = true;
};

class CMainFrame final : public QMainWindow, public DocumentWindow, public ViewContext {
  Q_OBJECT

 public:
  explicit CMainFrame(FrameOptions options = {}, QWidget* parent = nullptr);
  ~CMainFrame() override;
  CMainFrame(const CMainFrame&) = delete;
  CMainFrame& operator=(const CMainFrame&) = delete;

  // Carries out command `id` as if it came from its menu item, button or key. False for an id
  // that has no handler here (the print and edit commands, Ctrl+S's save).
  bool ExecuteCommand(int id);

  // The framework's open: makes `path` absolute, opens it through the document and, when that
  // succeeds, puts it at the head of the recent-project list. False when the open was refused
  // (the document has told the user why).
  bool OpenDocumentFile(const QString& path);

  // Start communication: reload the data files, create the drivers, start polling and the list's
  // refresh timer. Does nothing while running or when the project has no devices.
  void OnStartCommunication();
  // Stop communication: asks every polling thread to stop and never waits for a line. Threads
  // that end within a few milliseconds (idle ones) finish the stop at once; otherwise the status
  // bar says communication is stopping and the buttons, the refresh timer and the list follow
  // when the last thread has ended. Does nothing when not running or already stopping.
  void OnStopCommunication();
  // True from a stop command until the last polling thread has ended.
  bool IsStopping() const { return stopping_; }
  // The message pane's standing text (UTF-8 in a QString): ready, stopping, the ports that are
  // down, or why window messages are unavailable.
  QString MessagePaneText() const;
  // Takes the driver host's events: write outcomes and port states go to the status bar, the
  // failure of a write typed by the user into a message box. Runs on the runtime timer.
  void DrainRuntimeEvents();
  // The communication pane of the status bar: "通讯停止" or "正在通讯：N 台设备，M 台故障",
  // then the last write's outcome.
  QString CommPaneText() const;
  // Takes the host's Statistics(): the communication pane's counts and, when it is shown, the
  // statistics pane. Runs once a second while communication runs.
  void RefreshStatistics();
  // The screen editor's message: re-read PicManage.dat and show the screens (nothing without a
  // project).
  void OnScreensChanged();

  // The images the start and stop buttons show now (indexes of ToolbarImage).
  int StartImage() const { return startImage_; }
  int StopImage() const { return stopImage_; }
  // Shows image `start` on the start button and `stop` on the stop button.
  void SetButtonImages(int start, int stop);
  // Enables "开始通讯" exactly when the project has a device.
  void UpdateStartCommand();

  // The action of menu, toolbar or recent-list command `id`; null when there is none.
  QAction* CommandAction(int id) const;
  // The start and stop button actions of the toolbar.
  QAction* StartAction() const { return startAction_; }
  QAction* StopAction() const { return stopAction_; }
  QToolBar* ToolBar() const { return toolBar_; }
  CMainSplitter* Splitter() const { return splitter_; }
  CommMonitorPane* CommMonitor() const { return monitorPane_; }
  // Shows the communication monitor and the device statistics (the command line's --monitor).
  void ShowDiagnosticPanes();
  DeviceStatsPane* DeviceStats() const { return statsPane_; }
  TrendPane* Trend() const { return trendPane_; }
  // Draws the tags named in `names` (UTF-8) in the trend and shows it (the command line's
  // --trend); returns the names no tag has.
  QStringList AddToTrendByName(const QStringList& names);
  const FramePanes& Panes() const { return panes_; }
  CRecentFileList& RecentFiles() { return recent_; }
  // True while the frame owns the main window endpoint.
  bool HasMessageEndpoint() const;

  // DocumentWindow.
  void SetTitle(std::string_view title) override;
  void UpdateAllViews(std::uint32_t hint) override;
  void SetToolbarLook(ToolbarLook look) override;
  void AddToRecentFileList(std::string_view path) override;
  void StopCommunication() override;
  bool IsCommunicationRunning() const override { return running_; }

  // ViewContext.
  CTalvekDoc& Document() override { return *doc_; }
  void UpdateAllViews(ProjectView* sender, std::uint32_t hint) override;
  QWidget* MainWindow() override { return this; }
  void AddToTrend(std::span<const std::size_t> tagIndexes) override;

 protected:
  // Program end: stops communication when it runs, lets the views drop their rows, then the
  // document saves and empties the tables.
  void closeEvent(QCloseEvent* event) override;

 private:
  void CreateActions();
  void CreateMenus();
  void CreateToolBar();
  void CreateStatusBar();
  void CreatePanes(const PaneFactory& factory);
  void CreateDockPanes();
  void RestoreLayout();
  void SaveLayout();
  void ShowCommPane();
  void ShowStatesInTree(const std::vector<DeviceStatistics>& stats);
  void OpenMessageEndpoint();
  QAction* AddCommand(int id, const QString& caption, const QString& prompt);
  void RebuildRecentMenu();
  void OnFileOpen();
  void OnOpenRecentFile(std::size_t index);
  void OnHelp();
  void OnAppAbout();
  void FocusOtherPane();
  void UpdateCommandStates();
  // The runtime timer's tick: events, then the end of a stop under way.
  void OnRuntimeTick();
  // The stop is complete: stopped look, no refresh timer, the tags in the list.
  void FinishStop();
  void ShowPaneText();

  ProjectState& state_;
  std::unique_ptr<CTalvekDoc> doc_;
  CRecentFileList recent_;
  std::function<QString(QWidget*)> askProjectFile_;
  std::function<bool(const QUrl&)> openUrl_;

  CMainSplitter* splitter_ = nullptr;
  FramePanes panes_;
  QToolBar* toolBar_ = nullptr;
  QAction* startAction_ = nullptr;
  QAction* stopAction_ = nullptr;
  QMenu* fileMenu_ = nullptr;
  QAction* recentPlaceholder_ = nullptr;  // "最近工程", shown while the list is empty
  QAction* recentSeparator_ = nullptr;    // the separator after the recent entries
  std::map<int, QAction*> commands_;
  QLabel* idleLabel_ = nullptr;
  QLabel* commLabel_ = nullptr;  // the communication pane of the status bar
  CommMonitorPane* monitorPane_ = nullptr;
  DeviceStatsPane* statsPane_ = nullptr;
  TrendPane* trendPane_ = nullptr;

  int startImage_ = kImageStartUnavailable;
  int stopImage_ = kImageStopUnavailable;
  bool running_ = false;
  bool stopping_ = false;
  bool closed_ = false;
  bool draining_ = false;  // a message box of DrainRuntimeEvents is open
  // Runs while communication runs and while threads still end: takes the host's events and
  // finishes a stop.
  QTimer* runtimeTimer_ = nullptr;
  // Runs while communication runs: RefreshStatistics.
  QTimer* statsTimer_ = nullptr;
  int devicesPolled_ = 0;   // from the last Statistics()
  int devicesFailing_ = 0;  // of them in a failing state
  QString lastWrite_;       // the last write's outcome with its time; empty before the first
  // Port number -> why it is down (shown in the message pane until it comes back).
  std::map<int, QString> portTrouble_;
  // Devices set aside because they do not answer (demoted or given up), by logical name.
  std::map<QString, QString> deviceTrouble_;
  // Why the main window endpoint could not be made in the message folder (shown in the message
  // pane when no port is down); empty when it was, or when another workbench owns the class.
  QString endpointTrouble_;

  // Declared in this order so the notifier goes before the endpoint whose descriptor it watches.
  platform::MessageEndpoint endpoint_;
  std::unique_ptr<QSocketNotifier> endpointNotifier_;
};

}  // namespace talvek
