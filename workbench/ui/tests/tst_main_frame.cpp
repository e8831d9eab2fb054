// Tests of the main frame: the toolbar's images through every situation that switches them, start
// and stop of communication (nothing without devices, nothing twice, the views released before
// the tables are reloaded, a stop that always works), the program end while polling, the screen
// editor's message through the window endpoint, the keys and commands that create and open
// projects, the recent-project menu, help and About, the splitter's dead zone, the communication
// monitor (its ring, filters, pause, copy and save; the trace on only while it is seen), the
// device statistics pane and the status bar's communication pane, and, end to end,
// the start command polling the demo project on the PLC simulator through the real PPI driver.
#include <sys/stat.h>

#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include <QAbstractItemModelTester>
#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QComboBox>
#include <QDateTime>
#include <QElapsedTimer>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QMouseEvent>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>
#include <QtTest>

#include "common/driver_trace.h"
#include "common/testing/test_support.h"
#include "platform/atoms.h"
#include "platform/com.h"
#include "platform/gbk.h"
#include "platform/module.h"
#include "platform/registry.h"
#include "platform/window_messages.h"
#include "workbench/project/app_profile.h"
#include "workbench/project/data_files.h"
#include "workbench/project/new_records.h"
#include "workbench/project/talvek_doc.h"
#include "workbench/runtime/driver_host.h"
#include "workbench/runtime/tag_fields.h"
#include "workbench/ui/about_dlg.h"
#include "workbench/ui/comm_monitor.h"
#include "workbench/ui/device_stats.h"
#include "workbench/ui/main_frame.h"
#include "workbench/ui/main_splitter.h"
#include "workbench/ui/message_box_sink.h"
#include "workbench/ui/proj_list_view.h"
#include "workbench/ui/proj_tree_view.h"
#include "workbench/ui/tests/widget_test_support.h"
#include "workbench/ui/trend_pane.h"

#ifdef TALVEK_HAVE_PPI_DEMO
#include "tools/demo/demo_project.h"
#include "tools/ppisim/ppi_simulator.h"
#endif

using namespace talvek;
using testing_support::ScopedEnv;
using testing_support::TempDir;

namespace {

using Log = std::vector<std::string>;

std::string Hex(std::uint32_t hint) {
  char text[32];
  std::snprintf(text, sizeof text, "%X", hint);
  return text;
}

// A driver host that only writes down what it is asked.
class RecordingHost final : public DriverHostInterface {
 public:
  explicit RecordingHost(Log& log) : log_(log) {}
  int CreateDrivers(const char* path) override {
    log_.push_back(std::string("CreateDrivers ") + path);
    return 1;
  }
  void DestroyDrivers() override { log_.push_back("DestroyDrivers"); }
  void StartAll() override {
    log_.push_back("StartAll");
    polling_ = true;
  }
  void StopAll() override {
    log_.push_back("StopAll");
    polling_ = false;
  }
  bool IsPolling() const override { return polling_; }
  // A thread that still ends an exchange while `busy`.
  bool CollectStopped() override { return !busy; }
  std::vector<RuntimeEvent> TakeEvents() override { return std::exchange(events, {}); }
  std::vector<DeviceStatistics> Statistics() const override { return statistics; }
  void ResetStatistics() override { ++resets; }
  void SetTraceEnabled(bool on) override { traceOn = on; }
  std::vector<TraceEntry> TakeTrace() override { return std::exchange(trace, {}); }

  bool busy = false;
  std::vector<RuntimeEvent> events;
  std::vector<DeviceStatistics> statistics;
  int resets = 0;
  bool traceOn = false;
  std::vector<TraceEntry> trace;

 private:
  Log& log_;
  bool polling_ = false;
};

// A pane that writes down every hint with the size of the tag table at that moment, so a test
// can tell whether the views were released before the tables were emptied.
class RecordingPane final : public QWidget, public ProjectView {
 public:
  RecordingPane(const char* name, Log& log, const ProjectState& state, QWidget* parent)
      : QWidget(parent), name_(name), log_(log), state_(state) {
    setFocusPolicy(Qt::StrongFocus);
  }
  void OnUpdate(std::uint32_t hint) override {
    log_.push_back(name_ + " " + Hex(hint) + " tags=" + std::to_string(state_.tags.size()));
    hints.push_back(hint);
  }
  std::vector<std::uint32_t> hints;

 private:
  std::string name_;
  Log& log_;
  const ProjectState& state_;
};

// A project folder on disk with `devices` devices on Com1 and `tags` tags.
struct DiskProject {
  DiskProject(int devices, int tags) {
    ProjectState s;
    QVERIFY(platform::CopyToArray(s.folder, platform::Utf8ToGbk(dir.str())));
    for (int i = 0; i < devices; ++i) {
      DeviceRecord d = NewDeviceRecord();
      std::snprintf(d.logicalName, sizeof d.logicalName, "D%d", i);
      s.devices.Add(d);
    }
    for (int i = 0; i < tags; ++i) {
      TagRecord t = DefaultTagRecord();
      std::snprintf(t.name, sizeof t.name, "Var%05d", i + 1);
      s.tags.push_back(t);
    }
    s.ports = {DefaultPortEntry(1), DefaultPortEntry(2)};
    QVERIFY(SaveDevices(s));
    QVERIFY(SaveTags(s));
    QVERIFY(SavePorts(s));
    file = (dir / "测试工程.ZRPrj").string();
    QVERIFY(testing_support::WriteFileBytes(file, {}));
  }
  TempDir dir;
  std::string file;
};

// A trace entry of `device` (UTF-8) on serial port `port`, at second `second` of the day.
TraceEntry Frame(int kind, int port, const char* device, std::vector<uint8_t> bytes,
                 const char* textUtf8 = "", int event = kTraceNoEvent, int code = 0) {
  TraceEntry e;
  e.timeUs = 1700000000LL * 1000000 + 123000;
  e.portNumber = port;
  e.deviceName = platform::Utf8ToGbk(device);
  e.kind = kind;
  e.event = event;
  e.code = code;
  e.bytes = std::move(bytes);
  e.text = platform::Utf8ToGbk(textUtf8);
  return e;
}

QString Cell(const QAbstractItemModel& m, int row, int column, int role = Qt::DisplayRole) {
  return m.data(m.index(row, column), role).toString();
}

bool SameImage(const QImage& a, const QImage& b) {
  return a.convertToFormat(QImage::Format_ARGB32) == b.convertToFormat(QImage::Format_ARGB32);
}

QImage ActionImage(const QAction* action) {
  return action->icon().pixmap(QSize(16, 15)).toImage();
}

using ui_testing::ModalDriver;

}  // namespace

class TestMainFrame : public QObject {
  Q_OBJECT

 private slots:
  void init();
  void cleanup();

  void toolbarImagesAreDrawn();
  void toolbarTable_data();
  void toolbarTable();
  void startWithoutDevicesChangesNothing();
  void startReloadsAfterReleasingViewsAndStartTwiceDoesNothing();
  void stopWhileStoppedDoesNothing();
  void stopWorksWhenReloadLeftNoDevices();
  void closeWhileRunningStopsPollingFirst();
  void stopNeverWaitsForAThreadInAnExchange();
  void runtimeEventsReachTheStatusBar();
  void screensChangedMessageReloadsScreenList();
  void sharedMessageFolderIsRefusedAndShown();
  void newProjectCommandAndKeysWithoutWizard();
  void openCommandAndRecentMenu();
  void menusStatusBarHelpAndAbout();
  void splitterBarCannotBeGrabbedInDeadZone();
  void monitorRingKeepsItsBoundThroughFiltersAndPause();
  void monitorPaneTracesOnlyWhileShownAndKeepsItsPlace();
  void statisticsPaneAndCommunicationPane();
  void treePortNodesShowTheirDevicesStates();
  void trendPaneFollowsTheProjectAndItsTags();
  void realPanesKeepBarGrabbableAndStartEditor();
  void startPollsDemoProjectOnSimulator();

 private:
  // A frame over the test's project state with recording host and panes.
  std::unique_ptr<CMainFrame> MakeFrame(bool endpoint = false);
  RecordingPane* Tree(CMainFrame& f) { return static_cast<RecordingPane*>(f.Panes().tree); }
  RecordingPane* List(CMainFrame& f) { return static_cast<RecordingPane*>(f.Panes().list); }

  std::unique_ptr<TempDir> config_, runtime_;
  std::unique_ptr<ScopedEnv> configEnv_, runtimeEnv_;
  std::unique_ptr<RecordingMessageSink> sink_;
  std::unique_ptr<ProjectState> state_;
  RecordingHost* host_ = nullptr;  // the last frame's
  Log log_;
  std::vector<QUrl> openedUrls_;
  QString fileToOpen_;
};

void TestMainFrame::init() {
  config_ = std::make_unique<TempDir>();
  runtime_ = std::make_unique<TempDir>();
  configEnv_ = std::make_unique<ScopedEnv>("TALVEK_CONFIG_DIR", config_->str());
  runtimeEnv_ = std::make_unique<ScopedEnv>("TALVEK_RUNTIME_DIR", runtime_->str());
  platform::Registry::Instance().Reload();
  sink_ = std::make_unique<RecordingMessageSink>();
  state_ = std::make_unique<ProjectState>();
  log_.clear();
  openedUrls_.clear();
  fileToOpen_.clear();
}

void TestMainFrame::cleanup() {
  state_.reset();
  sink_.reset();
  runtimeEnv_.reset();
  configEnv_.reset();
  runtime_.reset();
  config_.reset();
  platform::Registry::Instance().Reload();
}

std::unique_ptr<CMainFrame> TestMainFrame::MakeFrame(bool endpoint) {
  FrameOptions options;
  auto host = std::make_unique<RecordingHost>(log_);
  host_ = host.get();
  options.host = std::move(host);
  options.state = state_.get();
  options.panes = [this](ViewContext&, QWidget* parent) {
    FramePanes panes;
    auto* tree = new RecordingPane("tree", log_, *state_, parent);
    auto* list = new RecordingPane("list", log_, *state_, parent);
    panes.tree = tree;
    panes.treeView = tree;
    panes.list = list;
    panes.listView = list;
    panes.startLiveTimer = [this] { log_.push_back("timer start"); };
    panes.stopLiveTimer = [this] { log_.push_back("timer stop"); };
    panes.setListStyle = [this](int style) { log_.push_back("style " + std::to_string(style)); };
    return panes;
  };
  options.askProjectFile = [this](QWidget*) { return fileToOpen_; };
  options.openUrl = [this](const QUrl& url) {
    openedUrls_.push_back(url);
    return false;
  };
  options.openEndpoint = endpoint;
  return std::make_unique<CMainFrame>(std::move(options));
}

void TestMainFrame::toolbarImagesAreDrawn() {
  // Green start, red stop, both grey when unavailable; 16 x 15 each and all different.
  const QColor centre[] = {ToolbarImage(0).pixelColor(6, 7), ToolbarImage(1).pixelColor(7, 7),
                           ToolbarImage(2).pixelColor(6, 7), ToolbarImage(3).pixelColor(7, 7)};
  for (int i = 0; i < 4; ++i) {
    QCOMPARE(ToolbarImage(i).size(), QSize(16, 15));
    for (int j = i + 1; j < 4; ++j)
      QVERIFY2(!SameImage(ToolbarImage(i), ToolbarImage(j)),
               qPrintable(QString("%1 %2").arg(i).arg(j)));
  }
  QVERIFY(centre[0].green() > 100 && centre[0].red() < 60);
  QVERIFY(centre[1].red() > 150 && centre[1].green() < 60);
  for (int i : {2, 3}) {
    QCOMPARE(centre[i].red(), centre[i].green());
    QCOMPARE(centre[i].green(), centre[i].blue());
  }
  QVERIFY(ToolbarImage(4).isNull());
  QVERIFY(ToolbarImage(-1).isNull());
}

void TestMainFrame::toolbarTable_data() {
  QTest::addColumn<QString>("situation");
  QTest::addColumn<int>("start");
  QTest::addColumn<int>("stop");
  QTest::newRow("main window created, no project") << "created" << 2 << 3;
  QTest::newRow("a project was opened") << "opened" << 0 << 3;
  QTest::newRow("a project was created") << "created-project" << 0 << 3;
  QTest::newRow("communication started") << "started" << 2 << 1;
  QTest::newRow("communication stopped") << "stopped" << 0 << 3;
  QTest::newRow("project closed") << "closed" << 2 << 3;
  QTest::newRow("main window destroyed while running") << "destroyed" << 0 << 1;
}

void TestMainFrame::toolbarTable() {
  QFETCH(QString, situation);
  QFETCH(int, start);
  QFETCH(int, stop);
  DiskProject project(1, 3);
  auto frame = MakeFrame();
  if (situation != "created" && situation != "created-project")
    QVERIFY(frame->OpenDocumentFile(QString::fromStdString(project.file)));
  if (situation == "created-project")
    frame->UpdateAllViews(kHintProjectCreated);
  if (situation == "started" || situation == "stopped" || situation == "destroyed")
    QVERIFY(frame->ExecuteCommand(kCmdStartCommunication));
  if (situation == "stopped")
    QVERIFY(frame->ExecuteCommand(kCmdStopCommunication));
  if (situation == "closed")
    QVERIFY(frame->ExecuteCommand(kCmdFileClose));
  if (situation == "destroyed")
    QVERIFY(frame->close());

  QCOMPARE(frame->StartImage(), start);
  QCOMPARE(frame->StopImage(), stop);
  // The buttons show exactly those images and stay enabled: the image says what they do. Only
  // "开始通讯" waits for a project with a device.
  QVERIFY(SameImage(ActionImage(frame->StartAction()), ToolbarImage(start)));
  QVERIFY(SameImage(ActionImage(frame->StopAction()), ToolbarImage(stop)));
  if (situation != "destroyed")
    QCOMPARE(frame->StartAction()->isEnabled(), state_->devices.GetSize() > 0);
  QVERIFY(frame->StopAction()->isEnabled());
  QVERIFY(sink_->Messages().empty());
}

void TestMainFrame::startWithoutDevicesChangesNothing() {
  auto frame = MakeFrame();
  // No project at all.
  QVERIFY(frame->ExecuteCommand(kCmdStartCommunication));
  QVERIFY(log_.empty());
  QCOMPARE(frame->StartImage(), kImageStartUnavailable);

  QVERIFY(!frame->StartAction()->isEnabled());

  // A project with tags but no devices: the button waits for one, and the command does nothing.
  DiskProject project(0, 4);
  QVERIFY(frame->OpenDocumentFile(QString::fromStdString(project.file)));
  QVERIFY(!frame->StartAction()->isEnabled());
  QVERIFY(frame->StartAction()->toolTip().contains(QStringLiteral("没有设备")));
  log_.clear();
  std::snprintf(state_->tags[0].name, sizeof state_->tags[0].name, "%s", "changed");
  QVERIFY(frame->ExecuteCommand(kCmdStartCommunication));
  QVERIFY2(log_.empty(), log_.empty() ? "" : log_.front().c_str());
  QVERIFY(!frame->IsCommunicationRunning());
  QCOMPARE(frame->StartImage(), kImageStartAvailable);
  QCOMPARE(frame->StopImage(), kImageStopUnavailable);
  QCOMPARE(QByteArray(state_->tags[0].name), QByteArray("changed"));  // not reloaded
}

void TestMainFrame::startReloadsAfterReleasingViewsAndStartTwiceDoesNothing() {
  DiskProject project(2, 5);
  auto frame = MakeFrame();
  QVERIFY(frame->OpenDocumentFile(QString::fromStdString(project.file)));
  // In memory only: the start reloads the records as stored.
  std::snprintf(state_->tags[1].name, sizeof state_->tags[1].name, "%s", "unsaved");
  state_->screens.resize(3);
  log_.clear();

  QVERIFY(frame->ExecuteCommand(kCmdStartCommunication));
  const std::string deviceFile = project.dir.str() + "/Device.dat";
  const Log expected = {
      // The views let go of their rows while the old tables still exist...
      "tree 10000000 tags=5", "list 10000000 tags=5",
      // ...the document empties them and destroys the drivers, the files are read again...
      "DestroyDrivers", "CreateDrivers " + deviceFile,
      // ...the views see the reloaded project, polling starts, and the list goes live.
      "tree 0 tags=5", "list 0 tags=5", "StartAll", "timer start", "tree 80000 tags=5",
      "list 80000 tags=5"};
  QCOMPARE(log_, expected);
  QVERIFY(frame->IsCommunicationRunning());
  QCOMPARE(QByteArray(state_->tags[1].name), QByteArray("Var00002"));
  QCOMPARE(state_->screens.size(), std::size_t{0});  // until the editor posts 1126
  QCOMPARE(state_->devices.GetSize(), std::size_t{2});

  log_.clear();
  QVERIFY(frame->ExecuteCommand(kCmdStartCommunication));
  QVERIFY(log_.empty());
  QCOMPARE(frame->StartImage(), kImageStartUnavailable);
  QCOMPARE(frame->StopImage(), kImageStopAvailable);

  QVERIFY(frame->ExecuteCommand(kCmdStopCommunication));
  const Log stopped = {"StopAll", "timer stop", "tree 20000 tags=5", "list 20000 tags=5"};
  QCOMPARE(log_, stopped);
  QVERIFY(!frame->IsCommunicationRunning());
}

void TestMainFrame::stopWhileStoppedDoesNothing() {
  DiskProject project(1, 2);
  auto frame = MakeFrame();
  QVERIFY(frame->ExecuteCommand(kCmdStopCommunication));
  QVERIFY(frame->OpenDocumentFile(QString::fromStdString(project.file)));
  log_.clear();
  QVERIFY(frame->ExecuteCommand(kCmdStopCommunication));
  QVERIFY(log_.empty());
  QCOMPARE(frame->StartImage(), kImageStartAvailable);
  QCOMPARE(frame->StopImage(), kImageStopUnavailable);
}

void TestMainFrame::stopWorksWhenReloadLeftNoDevices() {
  // Device.dat emptied on disk after the open: the start reloads no devices, and the stop must
  // still end the running state, or editing would stay refused for good.
  DiskProject project(1, 2);
  auto frame = MakeFrame();
  QVERIFY(frame->OpenDocumentFile(QString::fromStdString(project.file)));
  QVERIFY(testing_support::WriteFileBytes(project.dir / "Device.dat", {}));
  QVERIFY(frame->ExecuteCommand(kCmdStartCommunication));
  QVERIFY(frame->IsCommunicationRunning());
  QCOMPARE(state_->devices.GetSize(), std::size_t{0});
  log_.clear();
  QVERIFY(frame->ExecuteCommand(kCmdStopCommunication));
  QVERIFY(!frame->IsCommunicationRunning());
  QCOMPARE(log_.front(), std::string("StopAll"));
  QCOMPARE(frame->StartImage(), kImageStartAvailable);
}

void TestMainFrame::closeWhileRunningStopsPollingFirst() {
  DiskProject project(1, 3);
  auto frame = MakeFrame();
  QVERIFY(frame->OpenDocumentFile(QString::fromStdString(project.file)));
  QVERIFY(frame->ExecuteCommand(kCmdStartCommunication));
  // A value that polling stored: program end saves it with the tags.
  StoreQuality(state_->tags[2], 192);
  log_.clear();

  QVERIFY(frame->close());
  const Log expected = {"StopAll", "timer stop", "tree 10000000 tags=3", "list 10000000 tags=3",
                        "DestroyDrivers"};
  QCOMPARE(log_, expected);
  QVERIFY(!frame->IsCommunicationRunning());
  QCOMPARE(frame->StartImage(), kImageStartAvailable);
  QCOMPARE(frame->StopImage(), kImageStopAvailable);  // left as it was
  QCOMPARE(state_->tags.size(), std::size_t{0});
  const auto saved = testing_support::ReadFileBytes(project.dir / "Tag.dat");
  QVERIFY(saved && saved->size() == 3 * sizeof(TagRecord));
  TagRecord third;
  std::memcpy(&third, saved->data() + 2 * sizeof(TagRecord), sizeof third);
  QCOMPARE(third.quality, uint16_t{192});
  // A second close does nothing more.
  log_.clear();
  QVERIFY(frame->close());
  QVERIFY(log_.empty());
}

void TestMainFrame::stopNeverWaitsForAThreadInAnExchange() {
  DiskProject project(1, 2);
  auto frame = MakeFrame();
  QVERIFY(frame->OpenDocumentFile(QString::fromStdString(project.file)));
  QVERIFY(frame->ExecuteCommand(kCmdStartCommunication));
  host_->busy = true;
  log_.clear();
  QElapsedTimer timer;
  timer.start();
  QVERIFY(frame->ExecuteCommand(kCmdStopCommunication));
  QVERIFY2(timer.elapsed() < 100, "the stop command waited for a line");
  // Stopping: both buttons grey, the list still live, the message pane says why.
  QVERIFY(frame->IsStopping());
  QVERIFY(frame->IsCommunicationRunning());
  QCOMPARE(frame->StartImage(), kImageStartUnavailable);
  QCOMPARE(frame->StopImage(), kImageStopUnavailable);
  QVERIFY(frame->MessagePaneText().contains(QStringLiteral("正在停止")));
  QVERIFY(frame->ExecuteCommand(kCmdStopCommunication));
  QVERIFY(frame->ExecuteCommand(kCmdStartCommunication));  // refused while threads end
  QCOMPARE(log_, (Log{"StopAll"}));

  // The thread ends: the stop completes by itself.
  host_->busy = false;
  QTRY_VERIFY_WITH_TIMEOUT(!frame->IsStopping(), 2000);
  QVERIFY(!frame->IsCommunicationRunning());
  QCOMPARE(frame->StartImage(), kImageStartAvailable);
  QCOMPARE(frame->StopImage(), kImageStopUnavailable);
  QCOMPARE(frame->MessagePaneText(), QStringLiteral("就绪"));
  const Log stopped = {"StopAll", "timer stop", "tree 20000 tags=2", "list 20000 tags=2"};
  QCOMPARE(log_, stopped);

  // Closing the project while a thread still ends: the frame is stopped at once, and a start
  // waits for the host.
  QVERIFY(frame->ExecuteCommand(kCmdStartCommunication));
  host_->busy = true;
  QVERIFY(frame->ExecuteCommand(kCmdFileClose));
  QVERIFY(!frame->IsCommunicationRunning());
  QVERIFY(!frame->IsStopping());
  host_->busy = false;
}

void TestMainFrame::runtimeEventsReachTheStatusBar() {
  DiskProject project(1, 2);
  auto frame = MakeFrame();
  QVERIFY(frame->OpenDocumentFile(QString::fromStdString(project.file)));
  QVERIFY(frame->ExecuteCommand(kCmdStartCommunication));
  auto event = [](RuntimeEvent::Kind kind, int port, const char* tagUtf8, const char* textUtf8,
                  bool interactive = false) {
    RuntimeEvent e;
    e.kind = kind;
    e.portNumber = port;
    e.interactive = interactive;
    e.deviceName = "D0";
    e.tagName = platform::Utf8ToGbk(tagUtf8);
    e.text = platform::Utf8ToGbk(textUtf8);
    return e;
  };
  using Kind = RuntimeEvent::Kind;
  host_->events = {event(Kind::kPortDown, 3, "", "没有那个文件或目录"),
                   event(Kind::kWriteFailed, 1, "温度", "无应答", true),
                   event(Kind::kWriteFailed, 1, "压力", "无应答")};
  frame->DrainRuntimeEvents();
  QVERIFY(frame->MessagePaneText().contains(QStringLiteral("Com3")));
  QVERIFY(frame->MessagePaneText().contains(QStringLiteral("没有那个文件或目录")));
  QVERIFY(frame->statusBar()->currentMessage().contains(QStringLiteral("压力")));
  // Only the write the user typed gets a message box, with the tag and the driver's text.
  QCOMPARE(sink_->Messages().size(), std::size_t{1});
  QVERIFY(sink_->LastText().find("温度") != std::string::npos);
  QVERIFY(sink_->LastText().find("无应答") != std::string::npos);

  host_->events = {event(Kind::kPortUp, 3, "", ""), event(Kind::kWriteDone, 1, "温度", "")};
  frame->DrainRuntimeEvents();
  QCOMPARE(frame->MessagePaneText(), QStringLiteral("就绪"));
  QVERIFY(frame->statusBar()->currentMessage().contains(QStringLiteral("温度")));
  QCOMPARE(sink_->Messages().size(), std::size_t{1});

  // A device set aside stays in the pane (with the driver's text) until it answers again.
  host_->events = {event(Kind::kDeviceDemoted, 1, "", "无应答")};
  frame->DrainRuntimeEvents();
  QVERIFY(frame->MessagePaneText().contains(QStringLiteral("设备 D0 没有应答")));
  QVERIFY(frame->MessagePaneText().contains(QStringLiteral("无应答")));
  host_->events = {event(Kind::kDeviceGivenUp, 1, "", "")};
  frame->DrainRuntimeEvents();
  QVERIFY(frame->MessagePaneText().contains(QStringLiteral("已停止重试")));
  host_->events = {event(Kind::kDevicePromoted, 1, "", "")};
  frame->DrainRuntimeEvents();
  QCOMPARE(frame->MessagePaneText(), QStringLiteral("就绪"));
  QVERIFY(frame->statusBar()->currentMessage().contains(QStringLiteral("D0 已恢复通讯")));

  // An interactive write no driver took is a failure too.
  host_->events = {event(Kind::kWriteNotQueued, 0, "流量", "", true)};
  QTRY_COMPARE_WITH_TIMEOUT(sink_->Messages().size(), std::size_t{2}, 2000);  // by the timer
  QVERIFY(sink_->LastText().find("流量") != std::string::npos);
  QVERIFY(frame->ExecuteCommand(kCmdStopCommunication));
}

void TestMainFrame::screensChangedMessageReloadsScreenList() {
  DiskProject project(1, 1);
  auto frame = MakeFrame(true);
  QVERIFY(frame->HasMessageEndpoint());
  HWND window = platform::FindWindowA(kMainWindowClass, nullptr);
  QVERIFY(window != nullptr);

  // No project: there is no screen list to show.
  QVERIFY(platform::PostMessageA(window, kScreensChangedMessage, 7, 9));
  QTest::qWait(100);
  QVERIFY(List(*frame)->hints.empty());

  QVERIFY(frame->OpenDocumentFile(QString::fromStdString(project.file)));
  List(*frame)->hints.clear();
  ProjectState screens;
  std::memcpy(screens.folder, state_->folder, sizeof screens.folder);
  screens.screens.resize(2);
  std::snprintf(screens.screens[1].screenName, 64, "%s", "S2");
  QVERIFY(SaveScreens(screens));
  QVERIFY(platform::PostMessageA(window, kScreensChangedMessage, 0, 0));
  QTRY_COMPARE(List(*frame)->hints, std::vector<std::uint32_t>{kHintScreens});
  QCOMPARE(state_->screens.size(), std::size_t{2});
  QCOMPARE(QByteArray(state_->screens[1].screenName), QByteArray("S2"));

  // A file of the wrong length: refused, the table emptied, the list still told.
  QVERIFY(
      testing_support::WriteFileBytes(project.dir / "PicManage.dat", std::vector<uint8_t>(129, 0)));
  QVERIFY(platform::PostMessageA(window, kScreensChangedMessage, 0, 0));
  QTRY_COMPARE(List(*frame)->hints.size(), std::size_t{2});
  QCOMPARE(sink_->LastText(),
           RefusedFileMessage((project.dir / "PicManage.dat").string(), std::nullopt));
  QCOMPARE(state_->screens.size(), std::size_t{0});

  // No file: the table stays as it was.
  state_->screens.resize(1);
  std::filesystem::remove(project.dir / "PicManage.dat");
  QVERIFY(platform::PostMessageA(window, kScreensChangedMessage, 0, 0));
  QTRY_COMPARE(List(*frame)->hints.size(), std::size_t{3});
  QCOMPARE(state_->screens.size(), std::size_t{1});

  // A file too large for memory: the out-of-memory message, as on the open path, and the program
  // goes on with the list as it was.
  QVERIFY(SaveScreens(screens));
  data_files_testing::SetLoadLimit(sizeof(ScreenRecord));
  QVERIFY(platform::PostMessageA(window, kScreensChangedMessage, 0, 0));
  QTRY_VERIFY(QString::fromStdString(sink_->LastText()).contains(QStringLiteral("内存不足")));
  data_files_testing::SetLoadLimit(SIZE_MAX);
  QCOMPARE(state_->screens.size(), std::size_t{1});
  QCOMPARE(List(*frame)->hints.size(), std::size_t{3});

  // Closing the window gives the class up.
  QVERIFY(frame->close());
  QVERIFY(platform::FindWindowA(kMainWindowClass, nullptr) == nullptr);
}

void TestMainFrame::sharedMessageFolderIsRefusedAndShown() {
  // A message folder that others may write to: the window opens without its endpoint and says why.
  const std::string shared = runtime_->str() + "/shared";
  QVERIFY(std::filesystem::create_directory(shared));
  std::filesystem::permissions(shared, std::filesystem::perms::all);
  ScopedEnv env("TALVEK_RUNTIME_DIR", shared);
  auto frame = MakeFrame(true);
  QVERIFY(!frame->HasMessageEndpoint());
  QVERIFY(frame->MessagePaneText().startsWith(QStringLiteral("窗口消息不可用")));
  QVERIFY(frame->MessagePaneText().contains(QString::fromStdString(shared)));
  QVERIFY(!std::filesystem::exists(shared + "/vorudozezezurov.sock"));
}

void TestMainFrame::newProjectCommandAndKeysWithoutWizard() {
  auto frame = MakeFrame();
  // Beside the test program there may be a real wizard one day; a missing one is what is tested.
  const bool wizardBesideUs =
      std::filesystem::exists(platform::ModuleFileFor(kNewProjectPluginFile));
  const std::string missing = config_->str() + "/Almery.dll";
  if (wizardBesideUs)
    frame->Document().SetNewProjectPluginFile(missing);
  const std::string expected =
      wizardBesideUs ? PluginLoadFailureText(missing) : std::string("加载  Almery.dll 失败");

  QVERIFY(frame->ExecuteCommand(kCmdNewProject));
  QCOMPARE(sink_->Messages().size(), std::size_t{1});
  QCOMPARE(sink_->LastText(), expected);
  QCOMPARE(sink_->Messages().back().buttons, MessageButtons::kOk);

  // Ctrl+N is the new-project command, never the plain new-document step.
  frame->show();
  QVERIFY(QTest::qWaitForWindowExposed(frame.get()));
  QTest::keyClick(frame.get(), Qt::Key_N, Qt::ControlModifier);
  QCOMPARE(sink_->Messages().size(), std::size_t{2});
  QVERIFY(frame->ExecuteCommand(kCmdFileNew));
  QCOMPARE(sink_->Messages().size(), std::size_t{3});
  QVERIFY(log_.empty() || log_.back().find("DestroyDrivers") == std::string::npos);

  // Ctrl+S is bound to nothing, and the save command has no handler.
  for (QAction* action : frame->findChildren<QAction*>()) {
    QVERIFY2(!action->shortcuts().contains(QKeySequence(Qt::CTRL | Qt::Key_S)),
             qPrintable(action->text()));
  }
  QVERIFY(!frame->ExecuteCommand(kCmdFileSave));
  QVERIFY(!frame->ExecuteCommand(57607));  // print: no handler
}

void TestMainFrame::openCommandAndRecentMenu() {
  std::vector<std::unique_ptr<DiskProject>> projects;
  for (int i = 0; i < 5; ++i)
    projects.push_back(std::make_unique<DiskProject>(1, 1));
  auto frame = MakeFrame();
  frame->show();
  QVERIFY(QTest::qWaitForWindowExposed(frame.get()));
  QAction* placeholder = frame->findChild<QAction*>("recentPlaceholder");
  QVERIFY(placeholder != nullptr);
  QVERIFY(placeholder->isVisible());
  QVERIFY(!placeholder->isEnabled());
  QCOMPARE(placeholder->text(), QString("最近工程"));

  // Ctrl+O asks for a file and opens it; cancelling changes nothing.
  fileToOpen_.clear();
  QTest::keyClick(frame.get(), Qt::Key_O, Qt::ControlModifier);
  QVERIFY(!state_->IsOpen());
  for (const auto& project : projects) {
    fileToOpen_ = QString::fromStdString(project->file);
    QTest::keyClick(frame.get(), Qt::Key_O, Qt::ControlModifier);
  }
  QVERIFY(frame->windowTitle().startsWith("测试工程.ZRPrj"));
  QCOMPARE(frame->windowTitle(), QString("测试工程.ZRPrj - Q9"));
  // Four entries, newest first: the first project was pushed out by the fifth.
  QVERIFY(!placeholder->isVisible());
  QCOMPARE(frame->RecentFiles().Count(), std::size_t{4});
  for (int i = 0; i < 4; ++i) {
    QAction* entry = frame->CommandAction(kCmdRecentFirst + i);
    QVERIFY(entry != nullptr);
    QCOMPARE(frame->RecentFiles().Entry(i), projects[4 - i]->file);
    QVERIFY(entry->text().startsWith(QString("&%1 /...").arg(i + 1)));
    QVERIFY(entry->text().endsWith("测试工程.ZRPrj"));
  }
  QVERIFY(frame->CommandAction(kCmdRecentFirst + 4) == nullptr);

  // Choosing an entry opens it; one that no longer opens leaves the list.
  QVERIFY(frame->ExecuteCommand(kCmdRecentFirst + 2));
  QCOMPARE(frame->Document().GetPathName(), projects[2]->file);
  QCOMPARE(frame->RecentFiles().Entry(0), projects[2]->file);
  std::filesystem::remove(projects[3]->file);
  const std::size_t gone = 2;  // the order is now 2, 4, 3, 1
  QCOMPARE(frame->RecentFiles().Entry(gone), projects[3]->file);
  QVERIFY(frame->ExecuteCommand(kCmdRecentFirst + gone));
  QCOMPARE(frame->RecentFiles().Count(), std::size_t{3});
  QVERIFY(frame->CommandAction(kCmdRecentFirst + 3) == nullptr);
  QVERIFY(sink_->LastText().find("无法打开工程文件") != std::string::npos);
  QCOMPARE(frame->Document().GetPathName(), projects[2]->file);  // still open
}

void TestMainFrame::menusStatusBarHelpAndAbout() {
  auto frame = MakeFrame();
  const QList<QAction*> menus = frame->menuBar()->actions();
  QCOMPARE(menus.size(), 3);
  QCOMPARE(menus[0]->text(), QString("工程(&F)"));
  QCOMPARE(menus[1]->text(), QString("查看(&V)"));
  QCOMPARE(menus[2]->text(), QString("帮助(&H)"));
  // Each popup's items, by command identifier (0 = separator, -1 = the recent placeholder).
  const std::vector<std::vector<int>> ids = {
      {kCmdNewProject, kCmdFileOpen, kCmdFileClose, 0, kCmdFileImportTags, kCmdFileExportTags, 0,
       -1, 0, kCmdAppExit},
      {kCmdViewToolbar, kCmdViewStatusBar, kCmdViewCommMonitor, kCmdViewDeviceStats,
       kCmdResetStatistics, kCmdViewTrend, 0, kCmdViewSmallIcons, kCmdViewLargeIcons,
       kCmdViewDetails},
      {kCmdAppAbout, kCmdHelp}};
  for (int m = 0; m < 3; ++m) {
    const QList<QAction*> items = menus[m]->menu()->actions();
    QCOMPARE(static_cast<std::size_t>(items.size()), ids[m].size());
    for (int i = 0; i < items.size(); ++i) {
      const int id = items[i]->isSeparator()      ? 0
                     : items[i]->data().isValid() ? items[i]->data().toInt()
                                                  : -1;
      QCOMPARE(id, ids[m][i]);
    }
  }
  QCOMPARE(frame->CommandAction(kCmdAppAbout)->text(), QString("关于 Talvek(&A)..."));
  QCOMPARE(frame->StartAction()->statusTip(), QString("开始通讯"));
  QCOMPARE(frame->StopAction()->statusTip(), QString("停止通讯"));
  const QList<QAction*> buttons = frame->ToolBar()->actions();
  QCOMPARE(buttons.size(), 5);
  QCOMPARE(buttons[0], frame->StartAction());
  QCOMPARE(buttons[1], frame->StopAction());
  QVERIFY(buttons[2]->isSeparator());
  QCOMPARE(buttons[3], frame->CommandAction(kCmdViewCommMonitor));
  QCOMPARE(buttons[4], frame->CommandAction(kCmdViewTrend));
  QCOMPARE(frame->ToolBar()->property("controlId").toInt(), kToolbarId);
  QCOMPARE(frame->windowTitle(), QString("工程浏览器---------空项目 - Q9"));

  // The close command and the tag file's commands are available only with a project open.
  menus[0]->menu()->aboutToShow();
  QVERIFY(!frame->CommandAction(kCmdFileClose)->isEnabled());
  QVERIFY(!frame->CommandAction(kCmdFileImportTags)->isEnabled());
  QVERIFY(!frame->CommandAction(kCmdFileExportTags)->isEnabled());

  // Status bar: the message pane, the communication pane, then the three indicators.
  QStringList panes;
  for (const char* name :
       {"messagePane", "commPane", "capsLockPane", "numLockPane", "scrollLockPane"})
    panes << frame->statusBar()->findChild<QLabel*>(name)->text();
  QCOMPARE(panes, (QStringList{"就绪", "通讯停止", "大写", "数字", "滚动"}));

  // The view commands show and hide the bars, and the list styles reach the list.
  QVERIFY(frame->ExecuteCommand(kCmdViewToolbar));
  QVERIFY(frame->ToolBar()->isHidden());
  QVERIFY(!frame->CommandAction(kCmdViewToolbar)->isChecked());
  QVERIFY(frame->ExecuteCommand(kCmdViewToolbar));
  QVERIFY(!frame->ToolBar()->isHidden());
  QVERIFY(frame->ExecuteCommand(kCmdViewStatusBar));
  QVERIFY(frame->statusBar()->isHidden());
  QVERIFY(frame->ExecuteCommand(kCmdViewSmallIcons));
  QVERIFY(frame->ExecuteCommand(kCmdViewLargeIcons));
  QVERIFY(frame->ExecuteCommand(kCmdViewDetails));
  QCOMPARE(log_, (Log{"style 2", "style 0", "style 1"}));

  // F6 moves the focus between the panes.
  frame->show();
  QVERIFY(QTest::qWaitForWindowActive(frame.get()));
  Tree(*frame)->setFocus();
  QVERIFY(frame->ExecuteCommand(kCmdNextPane));
  QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(List(*frame)));
  QVERIFY(frame->ExecuteCommand(kCmdPrevPane));
  QCOMPARE(QApplication::focusWidget(), static_cast<QWidget*>(Tree(*frame)));

  // Help opens the help file of the current folder and says nothing when that fails.
  QVERIFY(frame->ExecuteCommand(kCmdHelp));
  QCOMPARE(openedUrls_.size(), std::size_t{1});
  QCOMPARE(openedUrls_[0],
           QUrl::fromLocalFile(QDir::current().absoluteFilePath("Morvanta 帮助.chm")));
  QVERIFY(sink_->Messages().empty());

  // About: modal, titled "关于 Talvek", product and version, OK "确定".
  QString title, text, ok;
  ModalDriver<CAboutDlg> driver([&](CAboutDlg* about) {
    title = about->windowTitle();
    text = about->findChild<QLabel*>("aboutText")->text();
    auto* button = about->findChild<QPushButton*>("okButton");
    ok = button->text();
    button->click();
  });
  QVERIFY(frame->ExecuteCommand(kCmdAppAbout));
  QVERIFY(driver.acted());
  QCOMPARE(title, QString("关于 Talvek"));
  QVERIFY(text.contains("Talvek") && text.contains("1.0"));
  QCOMPARE(ok, QString("确定"));
}

void TestMainFrame::splitterBarCannotBeGrabbedInDeadZone() {
  QWidget window;
  window.resize(400, 200);
  auto* splitter = new CMainSplitter(&window);
  splitter->setGeometry(0, 0, 400, 200);
  auto* left = new QWidget;
  auto* right = new QWidget;
  left->setMinimumWidth(0);
  right->setMinimumWidth(0);
  splitter->addWidget(left);
  splitter->addWidget(right);
  window.show();
  QVERIFY(QTest::qWaitForWindowExposed(&window));
  QSplitterHandle* handle = splitter->handle(1);

  // Drags the bar by `dx` from the point `x` of the handle; the left pane's width afterwards.
  const auto drag = [&](int x, int dx) {
    const QPoint from(x, handle->height() / 2);
    const QPoint to = from + QPoint(dx, 0);
    QMouseEvent press(QEvent::MouseButtonPress, from, handle->mapToGlobal(from), Qt::LeftButton,
                      Qt::LeftButton, Qt::NoModifier);
    QApplication::sendEvent(handle, &press);
    QMouseEvent move(QEvent::MouseMove, to, handle->mapToGlobal(to), Qt::NoButton, Qt::LeftButton,
                     Qt::NoModifier);
    QApplication::sendEvent(handle, &move);
    QMouseEvent release(QEvent::MouseButtonRelease, to, handle->mapToGlobal(to), Qt::LeftButton,
                        Qt::NoButton, Qt::NoModifier);
    QApplication::sendEvent(handle, &release);
    return splitter->sizes().at(0);
  };

  splitter->setSizes({20, 380});
  QCOMPARE(splitter->sizes().at(0), 20);
  QVERIFY(handle->geometry().right() <= kSplitterDeadZone);
  QCOMPARE(drag(1, 100), 20);  // within the leftmost 30 pixels: nothing to grab
  QCOMPARE(handle->cursor().shape(), Qt::ArrowCursor);

  splitter->setSizes({100, 300});
  QVERIFY(handle->geometry().left() > kSplitterDeadZone);
  QCOMPARE(handle->cursor().shape(), Qt::SplitHCursor);
  // Outside the dead zone the bar follows the mouse (give or take the pixel it was taken at).
  QVERIFY(qAbs(drag(1, 50) - 150) <= 1);
  QVERIFY(qAbs(drag(1, -100) - 50) <= 2);

  QVERIFY(!SplitterBarGrabbableAt(30));
  QVERIFY(SplitterBarGrabbableAt(31));
}

void TestMainFrame::monitorRingKeepsItsBoundThroughFiltersAndPause() {
  CommMonitorModel model(5);
  QAbstractItemModelTester tester(&model, QAbstractItemModelTester::FailureReportingMode::QtTest);
  QSignalSpy sources(&model, &CommMonitorModel::sourcesChanged);
  // Entry i: Com1 for even i (device A), Com2 for odd i (device B); its length tells it apart.
  auto entry = [](int i) {
    return Frame(kTraceSent, 1 + i % 2, i % 2 ? "乙" : "甲", std::vector<uint8_t>(i + 1, 0xA5),
                 "读");
  };
  std::vector<TraceEntry> batch;
  for (int i = 0; i < 3; ++i)
    batch.push_back(entry(i));
  model.Append(batch);
  QCOMPARE(model.rowCount(), 3);
  QCOMPARE(model.Ports(), (QStringList{"Com1", "Com2"}));
  QCOMPARE(model.Devices(), (QStringList{"甲", "乙"}));
  QCOMPARE(sources.count(), 1);

  // The port filter shows the rows of Com2 only, and keeps doing so as the ring overflows: the
  // shown rows that leave the ring leave the view.
  model.SetPortFilter("Com2");
  QCOMPARE(model.rowCount(), 1);
  batch.clear();
  for (int i = 3; i < 7; ++i)
    batch.push_back(entry(i));
  model.Append(batch);  // the ring now holds entries 2..6
  QCOMPARE(model.StoredRows(), std::size_t{5});
  QCOMPARE(model.rowCount(), 2);  // 3 and 5; 1 went
  QCOMPARE(Cell(model, 0, CommMonitorModel::kColLength), QString("4"));
  QCOMPARE(Cell(model, 1, CommMonitorModel::kColLength), QString("6"));
  model.SetPortFilter({});
  model.SetDeviceFilter("甲");
  QCOMPARE(model.rowCount(), 3);  // 2, 4, 6
  QCOMPARE(Cell(model, 0, CommMonitorModel::kColLength), QString("3"));
  model.SetDeviceFilter({});

  // A batch larger than the ring leaves only its newest entries.
  batch.clear();
  for (int i = 0; i < 12; ++i)
    batch.push_back(entry(i));
  model.Append(batch);
  QCOMPARE(model.rowCount(), 5);
  QCOMPARE(Cell(model, 0, CommMonitorModel::kColLength), QString("8"));
  QCOMPARE(Cell(model, 4, CommMonitorModel::kColLength), QString("12"));

  // Paused, entries are dropped and counted, never shown later.
  model.SetPaused(true);
  model.Append(batch);
  QCOMPARE(model.DroppedWhilePaused(), std::uint64_t{12});
  QCOMPARE(Cell(model, 4, CommMonitorModel::kColLength), QString("12"));
  model.SetPaused(false);
  model.Clear();
  QCOMPARE(model.rowCount(), 0);
  QCOMPARE(model.DroppedWhilePaused(), std::uint64_t{0});

  // Events: the driver's text, else a Chinese default; failures stand out from frames.
  model.Append(std::vector<TraceEntry>{
      Frame(kTraceSent, 3, "泵站PLC", {0x10, 0x02, 0x5C}, "读 V100 2 字节"),
      Frame(kTraceEvent, 3, "泵站PLC", {}, "", kTraceTimeout),
      Frame(kTraceEvent, 3, "泵站PLC", {}, "", kTraceRefused, 0x0B),
      Frame(kTraceEvent, 3, "泵站PLC", {}, "非法数据地址", kTraceRefused, 2)});
  QCOMPARE(Cell(model, 1, CommMonitorModel::kColText), QString("超时"));
  QCOMPARE(Cell(model, 2, CommMonitorModel::kColText), QString("异常 0B"));
  QCOMPARE(Cell(model, 3, CommMonitorModel::kColText), QString("非法数据地址"));
  QCOMPARE(Cell(model, 1, CommMonitorModel::kColDirection), QString("事件"));
  QCOMPARE(Cell(model, 1, CommMonitorModel::kColLength), QString());
  QVERIFY(model.data(model.index(1, 0), Qt::BackgroundRole).isValid());
  QVERIFY(!model.data(model.index(0, 0), Qt::BackgroundRole).isValid());

  // Copy: the selected rows in view order, tab-separated, in local time.
  const QString time =
      QDateTime::fromMSecsSinceEpoch(1700000000123LL).toString(QStringLiteral("HH:mm:ss.zzz"));
  QCOMPARE(model.RowsText({1, 0}), time + "\tCom3\t泵站PLC\t发送\t3\t10 02 5C\t读 V100 2 字节\n" +
                                       time + "\tCom3\t泵站PLC\t事件\t\t\t超时\n");
  // A TCP device is its own port.
  TraceEntry tcp = Frame(kTraceReceived, 2, "水质监测仪", {0x00, 0x01});
  tcp.tcp = true;
  model.Append(std::span(&tcp, 1));
  QCOMPARE(Cell(model, 4, CommMonitorModel::kColPort), QString("水质监测仪"));
  QCOMPARE(Cell(model, 4, CommMonitorModel::kColDirection), QString("接收"));
}

void TestMainFrame::monitorPaneTracesOnlyWhileShownAndKeepsItsPlace() {
  {
    auto frame = MakeFrame();
    frame->show();
    QVERIFY(QTest::qWaitForWindowExposed(frame.get()));
    CommMonitorPane* pane = frame->CommMonitor();
    QVERIFY(pane->isHidden());
    QVERIFY(!host_->traceOn);

    // Shown from the toolbar's button: trace on, the timer takes it into the rows and the filters
    // learn the ports and devices.
    frame->CommandAction(kCmdViewCommMonitor)->trigger();
    QVERIFY(pane->isVisible());
    QVERIFY(frame->CommandAction(kCmdViewCommMonitor)->isChecked());
    QVERIFY(host_->traceOn);
    host_->trace = {Frame(kTraceSent, 1, "D0", {1, 3}), Frame(kTraceReceived, 1, "D0", {1, 3, 0}),
                    Frame(kTraceEvent, 2, "D1", {}, "", kTraceLinkError)};
    QTRY_COMPARE_WITH_TIMEOUT(pane->Model().rowCount(), 3, 2000);
    QCOMPARE(pane->PortFilter()->count(), 3);  // all, Com1, Com2
    QCOMPARE(pane->DeviceFilter()->itemText(2), QString("D1"));
    pane->PortFilter()->setCurrentIndex(2);
    QCOMPARE(pane->Model().rowCount(), 1);
    QCOMPARE(Cell(pane->Model(), 0, CommMonitorModel::kColText), QString("线路故障"));
    pane->PortFilter()->setCurrentIndex(0);

    // Ctrl+C copies the selected rows.
    pane->View()->selectRow(1);
    pane->View()->setFocus();
    QTest::keyClick(pane->View(), Qt::Key_C, Qt::ControlModifier);
    QVERIFY(QApplication::clipboard()->text().contains("\t接收\t3\t01 03 00\t"));

    // Paused: what comes is dropped, and the pane says so.
    pane->PauseAction()->trigger();
    host_->trace = {Frame(kTraceSent, 1, "D0", {9})};
    pane->Drain();
    QCOMPARE(pane->Model().rowCount(), 3);
    QVERIFY(pane->StatusText().contains("已暂停"));
    QVERIFY(pane->StatusText().contains(" 1 条不保留"));
    pane->PauseAction()->trigger();

    // Saved: the header and the rows, UTF-8.
    TempDir dir;
    const QString path = QString::fromStdString((dir / "记录.txt").string());
    QString error;
    QVERIFY(pane->SaveTo(path, &error));
    const auto bytes = testing_support::ReadFileBytes(dir / "记录.txt");
    QVERIFY(bytes.has_value());
    const QString saved = QString::fromUtf8(reinterpret_cast<const char*>(bytes->data()),
                                            static_cast<qsizetype>(bytes->size()));
    QCOMPARE(saved,
             "时间\t端口\t设备\t方向\t长度\t报文\t说明\n" + pane->Model().RowsText({0, 1, 2}));
    QVERIFY(!pane->SaveTo(QString::fromStdString((dir / "无此目录" / "x.txt").string()), &error));
    QVERIFY(!error.isEmpty());

    // Hidden from the menu: trace off, and what was queued meanwhile is thrown away.
    host_->trace = {Frame(kTraceSent, 1, "D0", {7})};
    QVERIFY(frame->ExecuteCommand(kCmdViewCommMonitor));
    QVERIFY(pane->isHidden());
    QVERIFY(!host_->traceOn);
    QVERIFY(host_->trace.empty());
    QVERIFY(!frame->CommandAction(kCmdViewCommMonitor)->isChecked());
    QVERIFY(frame->ExecuteCommand(kCmdViewCommMonitor));
    QVERIFY(frame->ExecuteCommand(kCmdViewDeviceStats));
    frame->removeDockWidget(frame->DeviceStats());
    frame->addDockWidget(Qt::RightDockWidgetArea, frame->DeviceStats());
    frame->DeviceStats()->show();
    frame->resize(700, 500);
    QVERIFY(frame->close());
  }
  // The next window has the size it was closed with and shows the panes where they were.
  const auto saved = platform::Registry::Instance().GetString(kSettingsKey, kWindowLayoutValue);
  QVERIFY(saved.has_value() && !saved->empty());
  auto frame = MakeFrame();
  frame->show();
  QVERIFY(QTest::qWaitForWindowExposed(frame.get()));
  QCOMPARE(frame->size(), QSize(700, 500));
  QVERIFY(frame->CommMonitor()->isVisible());
  QCOMPARE(frame->dockWidgetArea(frame->DeviceStats()), Qt::RightDockWidgetArea);
  QVERIFY(frame->CommandAction(kCmdViewDeviceStats)->isChecked());
  QVERIFY(host_->traceOn);
}

void TestMainFrame::statisticsPaneAndCommunicationPane() {
  DiskProject project(2, 2);
  auto frame = MakeFrame();
  frame->show();
  QVERIFY(QTest::qWaitForWindowExposed(frame.get()));
  QVERIFY(frame->OpenDocumentFile(QString::fromStdString(project.file)));
  QVERIFY(frame->ExecuteCommand(kCmdViewDeviceStats));
  QVERIFY(frame->ExecuteCommand(kCmdStartCommunication));
  // Before any poll the host knows no device: the project's count stands in.
  QCOMPARE(frame->CommPaneText(), QString("正在通讯：2 台设备，0 台故障"));

  DeviceStatistics good;
  good.deviceName = "D0";
  good.portNumber = 1;
  good.state = DeviceState::kGood;
  good.requests = 40;
  good.answers = 38;
  good.timeouts = 1;
  good.badFrames = 1;
  good.lastResponseMs = 12.5;
  good.meanResponseMs = 10;
  good.maxResponseMs = 31.5;
  good.cycleMs = 500;
  DeviceStatistics demoted;
  demoted.deviceName = platform::Utf8ToGbk("水质监测仪");
  demoted.portNumber = 2;
  demoted.tcp = true;
  demoted.state = DeviceState::kDemoted;
  demoted.requests = 9;
  demoted.timeouts = 9;
  demoted.consecutiveFailures = 9;
  demoted.lastError = platform::Utf8ToGbk("连接被拒绝");
  demoted.lastErrorTimeUs = 1700000000LL * 1000000;
  DeviceStatistics down = demoted;
  down.deviceName = "D9";
  down.state = DeviceState::kPortDown;
  host_->statistics = {good, demoted, down};
  frame->RefreshStatistics();
  QCOMPARE(frame->CommPaneText(), QString("正在通讯：3 台设备，2 台故障"));
  QCOMPARE(frame->statusBar()->findChild<QLabel*>("commPane")->text(), frame->CommPaneText());

  const DeviceStatsModel& m = frame->DeviceStats()->Model();
  QCOMPARE(m.rowCount(), 3);
  QStringList row0, row1;
  for (int c = 0; c < DeviceStatsModel::kColumnCount; ++c) {
    row0 << Cell(m, 0, c);
    row1 << Cell(m, 1, c);
  }
  QCOMPARE(row0, (QStringList{"D0", "Com1", "正常", "40", "38", "1", "1", "0", "0", "0", "", "",
                              "12.5 / 10.0 / 31.5", "500.0"}));
  QCOMPARE(row1[0], QString("水质监测仪"));
  QCOMPARE(row1[2], QString("已降级"));
  QCOMPARE(row1[9], QString("9"));
  QCOMPARE(row1[10], QString("连接被拒绝"));
  QCOMPARE(row1[11], QDateTime::fromSecsSinceEpoch(1700000000).toString("yyyy-MM-dd HH:mm:ss"));
  QCOMPARE(row1[12], QString());  // no answer, no response time
  QCOMPARE(Cell(m, 2, DeviceStatsModel::kColState), QString("端口未打开"));

  // The reset command reaches the host, and the timer shows the counters it gives then.
  host_->statistics[0].requests = 0;
  frame->CommandAction(kCmdResetStatistics)->trigger();
  QCOMPARE(host_->resets, 1);
  QCOMPARE(Cell(m, 0, DeviceStatsModel::kColRequests), QString("0"));
  host_->statistics.pop_back();
  QTRY_COMPARE_WITH_TIMEOUT(m.rowCount(), 2, 3000);
  QCOMPARE(frame->CommPaneText(), QString("正在通讯：2 台设备，1 台故障"));

  // The last write's outcome stays in the pane, after the stop too.
  RuntimeEvent write;
  write.kind = RuntimeEvent::Kind::kWriteFailed;
  write.tagName = platform::Utf8ToGbk("温度");
  write.text = platform::Utf8ToGbk("无应答");
  host_->events = {write};
  frame->DrainRuntimeEvents();
  QVERIFY(frame->CommPaneText().contains("；最后写入 "));
  QVERIFY(frame->CommPaneText().endsWith("：变量 温度 写入失败：无应答"));
  write.kind = RuntimeEvent::Kind::kWriteDone;
  host_->events = {write};
  frame->DrainRuntimeEvents();
  QVERIFY(frame->CommPaneText().endsWith("：变量 温度 已写入"));
  QVERIFY(frame->ExecuteCommand(kCmdStopCommunication));
  QVERIFY(frame->CommPaneText().startsWith("通讯停止；最后写入 "));
  // Stopped, the pane keeps the last run's counters.
  QCOMPARE(m.rowCount(), 2);
}

void TestMainFrame::treePortNodesShowTheirDevicesStates() {
  DiskProject project(2, 1);
  FrameOptions options;
  auto host = std::make_unique<RecordingHost>(log_);
  RecordingHost* h = host.get();
  options.host = std::move(host);
  options.state = state_.get();
  CMainFrame frame(std::move(options));
  QVERIFY(frame.OpenDocumentFile(QString::fromStdString(project.file)));
  // An opened project shows its tags, and the tree says so.
  auto* tree = qobject_cast<CProjTreeView*>(frame.Panes().tree);
  auto* list = qobject_cast<CProjListView*>(frame.Panes().list);
  QVERIFY(tree != nullptr && list != nullptr);
  QCOMPARE(list->Model()->Mode(), ListMode::kTags);
  QCOMPARE(tree->Tree()->currentItem(), tree->TagNode());
  // The user looks at a port's devices, then starts: the list goes live on the tag node.
  tree->Tree()->setCurrentItem(tree->DevicesRoot()->child(0));
  QCOMPARE(list->Model()->Mode(), ListMode::kDevices);
  QVERIFY(frame.ExecuteCommand(kCmdStartCommunication));
  QCOMPARE(list->Model()->Mode(), ListMode::kLiveValues);
  QCOMPARE(tree->Tree()->currentItem(), tree->TagNode());
  DeviceStatistics a, b;
  a.deviceName = "D0";
  a.portNumber = 1;
  a.state = DeviceState::kGood;
  b = a;
  b.deviceName = "D1";
  b.state = DeviceState::kDemoted;
  h->statistics = {a, b};
  frame.RefreshStatistics();
  QTreeWidgetItem* com1 = tree->DevicesRoot()->child(0);
  QTreeWidgetItem* com2 = tree->DevicesRoot()->child(1);
  QCOMPARE(com1->text(0), QString("Com1"));
  QCOMPARE(com1->toolTip(0), QString("D0：正常\nD1：已降级"));
  QCOMPARE(com1->foreground(0).color(), QColor(176, 0, 0));
  QCOMPARE(com2->toolTip(0), QString());
  h->statistics[1].state = DeviceState::kGood;
  frame.RefreshStatistics();
  QCOMPARE(com1->foreground(0).style(), Qt::NoBrush);
  // Stopped, the nodes are plain again.
  h->statistics[1].state = DeviceState::kPortDown;
  QVERIFY(frame.ExecuteCommand(kCmdStopCommunication));
  QCOMPARE(com1->toolTip(0), QString());
  QCOMPARE(com1->foreground(0).style(), Qt::NoBrush);
  QCOMPARE(list->Model()->Mode(), ListMode::kTags);
  QCOMPARE(tree->Tree()->currentItem(), tree->TagNode());
}

void TestMainFrame::trendPaneFollowsTheProjectAndItsTags() {
  DiskProject project(1, 5);
  auto frame = MakeFrame();
  frame->show();
  QVERIFY(QTest::qWaitForWindowExposed(frame.get()));
  TrendPane* pane = frame->Trend();
  QVERIFY(pane->isHidden());
  QVERIFY(frame->ToolBar()->actions().contains(frame->CommandAction(kCmdViewTrend)));
  QVERIFY(frame->ExecuteCommand(kCmdViewTrend));
  QVERIFY(pane->isVisible());
  QVERIFY(frame->CommandAction(kCmdViewTrend)->isChecked());
  QVERIFY(frame->ExecuteCommand(kCmdViewTrend));
  QVERIFY(pane->isHidden());

  // Tags added from the list (by index) or the command line (by name) show the pane.
  QVERIFY(frame->OpenDocumentFile(QString::fromStdString(project.file)));
  QVERIFY(frame->ExecuteCommand(kCmdStartCommunication));
  frame->AddToTrend(std::vector<std::size_t>{0, 2});
  QVERIFY(pane->isVisible());
  QCOMPARE(frame->AddToTrendByName({"Var00004", "无此变量"}), QStringList{"无此变量"});
  QCOMPARE(pane->Store().Size(), std::size_t{3});
  QCOMPARE(pane->Store().Series(2).tagIndex, std::size_t{3});

  // A restart reloads the same table: the curves stay. A tag deleted before them clears them.
  QVERIFY(frame->ExecuteCommand(kCmdStopCommunication));
  QVERIFY(frame->ExecuteCommand(kCmdStartCommunication));
  QCOMPARE(pane->Store().Size(), std::size_t{3});
  QVERIFY(frame->ExecuteCommand(kCmdStopCommunication));
  state_->tags.erase(state_->tags.begin());
  frame->UpdateAllViews(nullptr, kHintTags);
  QVERIFY(pane->Store().Empty());
  QVERIFY(pane->StatusText().contains("变量表已改变"));

  // Closing the project clears the trend.
  frame->AddToTrend(std::vector<std::size_t>{1});
  QCOMPARE(pane->Store().Size(), std::size_t{1});
  QVERIFY(frame->ExecuteCommand(kCmdFileClose));
  QVERIFY(pane->Store().Empty());
  QCOMPARE(pane->Legend()->rowCount(), 0);
}

void TestMainFrame::realPanesKeepBarGrabbableAndStartEditor() {
  // The real panes inside the frame: the list's screen command reaches the editor link.
  FrameOptions options;
  options.host = std::make_unique<RecordingHost>(log_);
  options.state = state_.get();
  CMainFrame frame(std::move(options));
  auto* list = qobject_cast<CProjListView*>(frame.Panes().list);
  QVERIFY(list != nullptr);
  std::vector<std::pair<std::string, std::string>> started;
  list->SetProgramLauncher([&](const std::string& program, const std::string& parameters) {
    started.emplace_back(program, parameters);
  });
  // The tree pane cannot be pushed into the bar's dead zone, where the bar could not be grabbed.
  frame.show();
  QVERIFY(QTest::qWaitForWindowExposed(&frame));
  frame.Splitter()->setSizes({0, 1000});
  QVERIFY(frame.Splitter()->handle(1)->geometry().left() > kSplitterDeadZone);

  QVERIFY(platform::FindWindowA("ZIZivu", nullptr) == nullptr);
  list->OnCommand(kCmdNewScreen);
  QCOMPARE(started.size(), std::size_t{1});
  QCOMPARE(started[0].first, platform::ProgramDir() + "/Dodu");
  QCOMPARE(started[0].second, std::string("new "));
}

void TestMainFrame::startPollsDemoProjectOnSimulator() {
#ifndef TALVEK_HAVE_PPI_DEMO
  QSKIP("built without the PLC simulator and the demo project");
#else
  // The real PPI driver, registered by its own DllRegisterServer (what regsvr calls) into the
  // test's store; done in-process, so no program is forked beside the polling threads.
  const std::string module =
      std::filesystem::canonical(testing_support::BinDir() / "libOstrel.so").string();
  HMODULE ostrel = platform::LoadLibraryA(module.c_str());
  QVERIFY(ostrel != nullptr);
  auto registerServer =
      reinterpret_cast<DllRegisterServerFn>(platform::GetProcAddress(ostrel, "DllRegisterServer"));
  QVERIFY(registerServer != nullptr);
  QVERIFY(SUCCEEDED(registerServer()));
  platform::Registry::Instance().Reload();
  QVERIFY(SUCCEEDED(platform::CoInitialize(nullptr)));
  CLSID clsid{};
  QVERIFY(SUCCEEDED(platform::CLSIDFromProgID("Ostrel.S7Proto", &clsid)));

  // The demo project, and a simulator that plays the run command's PLC.
  TempDir folder;
  std::string error;
  QVERIFY2(demo::WriteDemoProject(folder.str(), clsid, &error), error.c_str());
  ppisim::PpiSimulator sim;
  QVERIFY2(sim.Start(), sim.LastError().c_str());
  // The same start values and moving values as the run command gives the simulator.
  for (const demo::DemoTag& tag : demo::DemoTags()) {
    ppisim::Location location;
    QVERIFY(ppisim::ParseLocation(tag.location, &location));
    ppisim::ValueType type;
    QVERIFY(ppisim::ParseValueType(std::string(1, tag.simType), &type));
    if (tag.motion == demo::Motion::kFixed) {
      QVERIFY2(sim.SetValue(location, type, platform::Utf8ToGbk(tag.simulation), &error),
               error.c_str());
    } else {
      ppisim::Generator generator;
      const auto kind = tag.motion == demo::Motion::kRamp ? ppisim::Generator::Kind::kRamp
                                                          : ppisim::Generator::Kind::kSine;
      QVERIFY2(ppisim::ParseGenerator(
                   kind, std::string(tag.location) + ":" + tag.simType + ":" + tag.simulation,
                   &generator, &error),
               error.c_str());
      sim.AddGenerator(generator);
    }
  }
  QVERIFY(platform::Registry::Instance().SetString("HKEY_CURRENT_USER\\Software\\VO DAROR\\Ports",
                                                   "Com1", sim.SlavePath()));

  Project().ClearTables();
  {
    auto host = std::make_unique<DriverHost>();
    DriverHost* hostPtr = host.get();
    hostPtr->SetCyclePeriod(50);
    FrameOptions options;
    options.host = std::move(host);
    CMainFrame frame(std::move(options));
    QVERIFY(frame.OpenDocumentFile(
        QString::fromStdString((folder / std::string(demo::kProjectFileName)).string())));
    QCOMPARE(Project().tags.size(), demo::DemoTags().size());

    QVERIFY(frame.ExecuteCommand(kCmdStartCommunication));
    QVERIFY(frame.IsCommunicationRunning());
    QVERIFY(hostPtr->IsPolling());
    auto* list = qobject_cast<CProjListView*>(frame.Panes().list);
    QVERIFY(list != nullptr && list->IsLiveTimerActive());
    QCOMPARE(list->Model()->rowCount(), static_cast<int>(demo::DemoTags().size()));

    // Every tag good, and the fixed ones scaled as the demo says.
    const auto index = [](const char* name) {
      const std::string gbk = platform::Utf8ToGbk(name);
      for (std::size_t i = 0; i < Project().tags.size(); ++i) {
        if (platform::ArrayText(Project().tags[i].name) == gbk)
          return i;
      }
      return Project().tags.size();
    };
    const auto allGood = [] {
      for (const TagRecord& t : Project().tags) {
        if (LoadQuality(t) != 192)
          return false;
      }
      return true;
    };
    QTRY_VERIFY_WITH_TIMEOUT(allGood(), 10000);
    QCOMPARE(WordToFloat(LoadValueWord(Project().tags[index("设定温度")])), 45.0f);
    QCOMPARE(LoadValueWord(Project().tags[index("批次号")]), 2024);
    QCOMPARE(LoadValueWord(Project().tags[index("一号泵运行")]), 1);
    QCOMPARE(LoadValueWord(Project().tags[index("自动模式")]), 1);
    char text[64] = {};
    platform::GlobalGetAtomNameA(
        static_cast<ATOM>(LoadValueWord(Project().tags[index("站点名称")]) & 0xFFFF), text,
        sizeof text);
    QCOMPARE(platform::GbkToUtf8(text), std::string("一号泵站"));
    // A ramp moves: the running-time counter counts up once a second.
    const std::size_t counter = index("运行时间");
    const int32_t first = LoadValueWord(Project().tags[counter]);
    QTRY_VERIFY_WITH_TIMEOUT(LoadValueWord(Project().tags[counter]) > first, 5000);

    // The stop never blocks the window for a line: it returns at once, and completes within one
    // exchange (a 150 ms time-out at most here) and a timer tick.
    QElapsedTimer stopTimer;
    stopTimer.start();
    QVERIFY(frame.ExecuteCommand(kCmdStopCommunication));
    QVERIFY2(stopTimer.elapsed() < 100, "the stop command blocked the window");
    QTRY_VERIFY_WITH_TIMEOUT(!frame.IsStopping(), 2000);
    QVERIFY(!hostPtr->IsPolling());
    QVERIFY(!list->IsLiveTimerActive());
    QVERIFY(frame.close());
  }
  Project().ClearTables();
  Project().folder[0] = '\0';
  sim.Stop();
  platform::CoUninitialize();
  platform::FreeLibrary(ostrel);
  QVERIFY2(sink_->Messages().empty(), sink_->LastText().c_str());
#endif
}

QTEST_MAIN(TestMainFrame)
#include "tst_main_frame.moc"
