#include "workbench/ui/main_frame.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <new>
#include <optional>
#include <string>
#include <utility>

#include <QAction>
#include <QApplication>
#include <QByteArray>
#include <QCloseEvent>
#include <QDateTime>
#include <QDesktopServices>
#include <QDir>
#include <QFileDialog>
#include <QFileInfo>
#include <QIcon>
#include <QLabel>
#include <QMenu>
#include <QMenuBar>
#include <QPainter>
#include <QPolygon>
#include <QSocketNotifier>
#include <QStatusBar>
#include <QTimer>
#include <QToolBar>
#include <QTreeWidget>

#include <chrono>
#include <thread>

#include "platform/gbk.h"
#include "platform/registry.h"
#include "workbench/project/app_profile.h"
#include "workbench/project/data_files.h"
#include "workbench/project/message_sink.h"
#include "workbench/project/talvek_doc.h"
#include "workbench/runtime/driver_host.h"
#include "workbench/ui/about_dlg.h"
#include "workbench/ui/comm_monitor.h"
#include "workbench/ui/device_stats.h"
#include "workbench/ui/main_splitter.h"
#include "workbench/ui/proj_list_view.h"
#include "workbench/ui/trend_pane.h"

namespace talvek {
namespace {

constexpr int kImageWidth = 16;
constexpr int kImageHeight = 15;

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// A GBK text from a record or a driver, for the status bar.
QString FromGbk(std::string_view gbk) {
  std::string utf8;
  if (!platform::GbkToUtf8(gbk, utf8))
    return QString::fromLatin1(gbk.data(), static_cast<qsizetype>(gbk.size()));
  return QString::fromStdString(utf8);
}

// The runtime timer's period: events show within it, and a stop completes within it of the last
// thread's end.
constexpr int kRuntimeTickMs = 50;
// How long the stop command waits for idle threads to end before it lets the timer finish.
constexpr auto kStopGrace = std::chrono::milliseconds(40);
// How long the status bar shows a write's outcome.
constexpr int kWriteDoneShownMs = 3000;
constexpr int kWriteFailedShownMs = 15000;

// The open dialog's filter: project files whatever the letter case of their extension.
constexpr const char* kProjectFileFilter = "工程文件 (*.[Zz][Rr][Pp][Rr][Jj])";

// The folder of the project last opened or created, where the open dialog starts.
QString LastProjectFolder() {
  const std::optional<std::string> folder =
      platform::Registry::Instance().GetString(kSettingsKey, kCurrentProjectValue);
  std::string utf8;
  if (!folder || !platform::GbkToUtf8(*folder, utf8))
    return {};
  return QString::fromStdString(utf8);
}

QString AskProjectFileWithDialog(QWidget* parent) {
  QFileDialog dialog(parent, QStringLiteral("打开工程"), LastProjectFolder(),
                     QString::fromUtf8(kProjectFileFilter));
  dialog.setFileMode(QFileDialog::ExistingFile);
  dialog.setAcceptMode(QFileDialog::AcceptOpen);
  dialog.setOption(QFileDialog::HideNameFilterDetails);
  if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty())
    return {};
  return dialog.selectedFiles().constFirst();
}

}  // namespace

QImage ToolbarImage(int index) {
  if (index < kImageStartAvailable || index > kImageStopUnavailable)
    return {};
  QImage image(kImageWidth, kImageHeight, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, false);
  const bool available = index == kImageStartAvailable || index == kImageStopAvailable;
  const bool start = index == kImageStartAvailable || index == kImageStartUnavailable;
  const QColor fill = !available ? QColor(160, 160, 160)
                      : start    ? QColor(0, 168, 0)
                                 : QColor(208, 0, 0);
  const QColor edge = !available ? QColor(120, 120, 120)
                      : start    ? QColor(0, 96, 0)
                                 : QColor(128, 0, 0);
  p.setPen(edge);
  p.setBrush(fill);
  if (start) {
    // A triangle pointing right, "play".
    const QPolygon triangle({QPoint(4, 2), QPoint(12, 7), QPoint(4, 12)});
    p.drawPolygon(triangle);
  } else {
    p.drawRect(3, 3, 9, 8);
  }
  return image;
}

QImage MonitorImage() {
  // A small screen with a green trace on it: the monitor button.
  QImage image(kImageWidth, kImageHeight, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(QColor(64, 64, 64));
  p.setBrush(QColor(24, 40, 48));
  p.drawRect(1, 1, 13, 10);
  p.setPen(QColor(0, 220, 96));
  const QPoint trace[] = {QPoint(3, 8), QPoint(5, 8), QPoint(6, 4),
                          QPoint(8, 9), QPoint(9, 6), QPoint(12, 6)};
  p.drawPolyline(trace, static_cast<int>(std::size(trace)));
  p.setPen(QColor(64, 64, 64));
  p.drawLine(5, 13, 10, 13);
  return image;
}

CMainFrame::CMainFrame(FrameOptions options, QWidget* parent)
    : QMainWindow(parent),
      state_(options.state != nullptr ? *options.state : Project()),
      askProjectFile_(options.askProjectFile ? std::move(options.askProjectFile)
                                             : AskProjectFileWithDialog),
      openUrl_(options.openUrl ? std::move(options.openUrl)
                               : [](const QUrl& url) { return QDesktopServices::openUrl(url); }) {
  setObjectName(QStringLiteral("mainFrame"));
  setWindowIcon(QIcon(AboutPicture()));
  std::unique_ptr<DriverHostInterface> host =
      options.host ? std::move(options.host) : std::make_unique<DriverHost>();
  doc_ = std::make_unique<CTalvekDoc>(std::move(host), *this, state_);
  recent_.Load();

  // Client area first, then the status bar, then the toolbar.
  CreatePanes(options.panes ? options.panes : PaneFactory(CreateProjectPanes));
  CreateActions();
  CreateStatusBar();
  CreateToolBar();
  CreateDockPanes();
  CreateMenus();
  RebuildRecentMenu();

  runtimeTimer_ = new QTimer(this);
  runtimeTimer_->setObjectName(QStringLiteral("runtimeTimer"));
  runtimeTimer_->setInterval(kRuntimeTickMs);
  connect(runtimeTimer_, &QTimer::timeout, this, &CMainFrame::OnRuntimeTick);
  statsTimer_ = new QTimer(this);
  statsTimer_->setObjectName(QStringLiteral("statisticsTimer"));
  statsTimer_->setInterval(kStatisticsRefreshMs);
  connect(statsTimer_, &QTimer::timeout, this, &CMainFrame::RefreshStatistics);

  SetButtonImages(kImageStartUnavailable, kImageStopUnavailable);
  SetTitle(kNoProjectTitle);
  if (options.openEndpoint)
    OpenMessageEndpoint();
  resize(1120, 700);
  RestoreLayout();
}

CMainFrame::~CMainFrame() {
  // The monitor goes with the child widgets, after the document and its host: it lets go first.
  // The bars and panes may still report being hidden while the window base tears down, when
  // this frame's members are gone: nothing of theirs reaches the frame any more.
  monitorPane_->DetachHost();
  for (QObject* child : {static_cast<QObject*>(monitorPane_), static_cast<QObject*>(statsPane_),
                         static_cast<QObject*>(trendPane_), static_cast<QObject*>(toolBar_)})
    child->disconnect(this);
  endpointNotifier_.reset();
  endpoint_.Close();
  // The document's destructor stops polling and destroys the drivers itself; the panes (child
  // widgets) outlive it and are never told anything again.
}

void CMainFrame::CreatePanes(const PaneFactory& factory) {
  splitter_ = new CMainSplitter(this);
  panes_ = factory(*this, splitter_);
  if (!panes_.startLiveTimer)
    panes_.startLiveTimer = [] {};
  if (!panes_.stopLiveTimer)
    panes_.stopLiveTimer = [] {};
  if (!panes_.setListStyle)
    panes_.setListStyle = [](int) {};
  if (panes_.tree != nullptr)
    splitter_->addWidget(panes_.tree);
  if (panes_.list != nullptr)
    splitter_->addWidget(panes_.list);
  // The tree is never collapsed or squeezed into the bar's dead zone: a bar there could not be
  // grabbed again.
  splitter_->setChildrenCollapsible(false);
  if (panes_.tree != nullptr)
    panes_.tree->setMinimumWidth(std::max(panes_.tree->minimumWidth(), 2 * kSplitterDeadZone));
  splitter_->setStretchFactor(0, 0);
  splitter_->setStretchFactor(1, 1);
  splitter_->setSizes({220, 780});
  setCentralWidget(splitter_);
}

QAction* CMainFrame::AddCommand(int id, const QString& caption, const QString& prompt) {
  auto* action = new QAction(caption, this);
  action->setObjectName(QStringLiteral("command%1").arg(id));
  action->setData(id);
  action->setStatusTip(prompt);
  connect(action, &QAction::triggered, this, [this, id] { ExecuteCommand(id); });
  commands_[id] = action;
  return action;
}

void CMainFrame::CreateActions() {
  startAction_ =
      AddCommand(kCmdStartCommunication, QStringLiteral("开始通讯"), QStringLiteral("开始通讯"));
  stopAction_ =
      AddCommand(kCmdStopCommunication, QStringLiteral("停止通讯"), QStringLiteral("停止通讯"));
  // Ctrl+N creates a project: the plain new-document step would empty the tables behind the
  // views' backs.
  AddCommand(kCmdNewProject, QStringLiteral("新建工程"), QStringLiteral("新建一个工程"))
      ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_N));
  AddCommand(kCmdFileOpen, QStringLiteral("打开工程"), QStringLiteral("打开一个已有的工程"))
      ->setShortcut(QKeySequence(Qt::CTRL | Qt::Key_O));
  AddCommand(kCmdFileClose, QStringLiteral("关闭工程"), QStringLiteral("关闭当前工程"));
  AddCommand(kCmdFileImportTags, QStringLiteral("导入变量..."),
             QStringLiteral("从 CSV 文件导入变量（先检查每一行）"));
  AddCommand(kCmdFileExportTags, QStringLiteral("导出变量..."),
             QStringLiteral("把全部变量导出为 CSV 文件"));
  AddCommand(kCmdAppExit, QStringLiteral("退出(&X)"), QStringLiteral("退出应用程序；提示保存文档"));
  QAction* toolbar =
      AddCommand(kCmdViewToolbar, QStringLiteral("工具栏(&T)"), QStringLiteral("显示或隐藏工具栏"));
  toolbar->setCheckable(true);
  toolbar->setChecked(true);
  QAction* statusBar = AddCommand(kCmdViewStatusBar, QStringLiteral("状态栏(&S)"),
                                  QStringLiteral("显示或隐藏状态栏"));
  statusBar->setCheckable(true);
  statusBar->setChecked(true);
  QAction* monitor = AddCommand(kCmdViewCommMonitor, QStringLiteral("通讯监视(&M)"),
                                QStringLiteral("显示或隐藏通讯监视：收发的每一帧报文和通讯事件"));
  monitor->setCheckable(true);
  monitor->setIconText(QStringLiteral("通讯监视"));
  monitor->setIcon(QIcon(QPixmap::fromImage(MonitorImage())));
  QAction* stats = AddCommand(kCmdViewDeviceStats, QStringLiteral("设备统计(&D)"),
                              QStringLiteral("显示或隐藏每台设备的通讯统计"));
  stats->setCheckable(true);
  AddCommand(kCmdResetStatistics, QStringLiteral("重置统计"),
             QStringLiteral("把每台设备的通讯计数清零"));
  QAction* trend = AddCommand(kCmdViewTrend, QStringLiteral("趋势(&R)"),
                              QStringLiteral("显示或隐藏趋势：所选变量最近几分钟的数值曲线"));
  trend->setCheckable(true);
  trend->setIconText(QStringLiteral("趋势"));
  trend->setIcon(QIcon(QPixmap::fromImage(TrendImage())));
  AddCommand(kCmdViewSmallIcons, QStringLiteral("小图标"), QStringLiteral("用小图标显示列表"));
  AddCommand(kCmdViewLargeIcons, QStringLiteral("大图标"), QStringLiteral("用大图标显示列表"));
  AddCommand(kCmdViewDetails, QStringLiteral("详细资料"), QStringLiteral("显示列表的详细资料"));
  AddCommand(kCmdAppAbout, QStringLiteral("关于 Talvek(&A)..."),
             QStringLiteral("显示程序信息、版本号和版权"));
  AddCommand(kCmdHelp, QStringLiteral("帮助"), QStringLiteral("打开帮助"));

  // The pane keys act anywhere in the window; they have no menu item.
  QAction* next =
      AddCommand(kCmdNextPane, QStringLiteral("下一窗格"), QStringLiteral("切换到下一个窗格"));
  next->setShortcut(QKeySequence(Qt::Key_F6));
  addAction(next);
  QAction* previous =
      AddCommand(kCmdPrevPane, QStringLiteral("上一窗格"), QStringLiteral("切换回上一个窗格"));
  previous->setShortcut(QKeySequence(Qt::SHIFT | Qt::Key_F6));
  addAction(previous);
}

void CMainFrame::CreateMenus() {
  fileMenu_ = menuBar()->addMenu(QStringLiteral("工程(&F)"));
  fileMenu_->setObjectName(QStringLiteral("fileMenu"));
  fileMenu_->addAction(commands_.at(kCmdNewProject));
  fileMenu_->addAction(commands_.at(kCmdFileOpen));
  fileMenu_->addAction(commands_.at(kCmdFileClose));
  fileMenu_->addSeparator();
  fileMenu_->addAction(commands_.at(kCmdFileImportTags));
  fileMenu_->addAction(commands_.at(kCmdFileExportTags));
  fileMenu_->addSeparator();
  recentPlaceholder_ = new QAction(QStringLiteral("最近工程"), this);
  recentPlaceholder_->setObjectName(QStringLiteral("recentPlaceholder"));
  recentPlaceholder_->setEnabled(false);
  fileMenu_->addAction(recentPlaceholder_);
  recentSeparator_ = fileMenu_->addSeparator();
  fileMenu_->addAction(commands_.at(kCmdAppExit));
  connect(fileMenu_, &QMenu::aboutToShow, this, &CMainFrame::UpdateCommandStates);

  QMenu* view = menuBar()->addMenu(QStringLiteral("查看(&V)"));
  view->setObjectName(QStringLiteral("viewMenu"));
  view->addAction(commands_.at(kCmdViewToolbar));
  view->addAction(commands_.at(kCmdViewStatusBar));
  view->addAction(commands_.at(kCmdViewCommMonitor));
  view->addAction(commands_.at(kCmdViewDeviceStats));
  view->addAction(commands_.at(kCmdResetStatistics));
  view->addAction(commands_.at(kCmdViewTrend));
  view->addSeparator();
  view->addAction(commands_.at(kCmdViewSmallIcons));
  view->addAction(commands_.at(kCmdViewLargeIcons));
  view->addAction(commands_.at(kCmdViewDetails));
  connect(view, &QMenu::aboutToShow, this, &CMainFrame::UpdateCommandStates);

  QMenu* help = menuBar()->addMenu(QStringLiteral("帮助(&H)"));
  help->setObjectName(QStringLiteral("helpMenu"));
  help->addAction(commands_.at(kCmdAppAbout));
  help->addAction(commands_.at(kCmdHelp));
}

void CMainFrame::CreateToolBar() {
  toolBar_ = new QToolBar(QStringLiteral("工具栏"), this);
  toolBar_->setObjectName(QStringLiteral("toolBar"));
  toolBar_->setProperty("controlId", kToolbarId);
  toolBar_->setIconSize(QSize(kImageWidth, kImageHeight));
  toolBar_->setAllowedAreas(Qt::AllToolBarAreas);
  toolBar_->setMovable(true);
  toolBar_->addAction(startAction_);
  toolBar_->addAction(stopAction_);
  toolBar_->addSeparator();
  toolBar_->addAction(commands_.at(kCmdViewCommMonitor));
  toolBar_->addAction(commands_.at(kCmdViewTrend));
  addToolBar(Qt::TopToolBarArea, toolBar_);
  // The menu item shows and hides this bar, and follows it when the user closes it otherwise.
  connect(toolBar_, &QToolBar::visibilityChanged, this,
          [this](bool) { commands_.at(kCmdViewToolbar)->setChecked(!toolBar_->isHidden()); });
}

void CMainFrame::CreateStatusBar() {
  QStatusBar* bar = statusBar();
  bar->setObjectName(QStringLiteral("statusBar"));
  idleLabel_ = new QLabel(QStringLiteral("就绪"), bar);
  idleLabel_->setObjectName(QStringLiteral("messagePane"));
  bar->addWidget(idleLabel_, 1);
  commLabel_ = new QLabel(QString::fromUtf8(kCommStoppedText), bar);
  commLabel_->setObjectName(QStringLiteral("commPane"));
  commLabel_->setFrameShape(QFrame::Panel);
  commLabel_->setFrameShadow(QFrame::Sunken);
  bar->addPermanentWidget(commLabel_);
  // Qt cannot read the lock keys' states, so the indicators are shown greyed, as when a lock is
  // off, rather than claiming a state.
  const std::pair<const char*, const char*> indicators[] = {{"capsLockPane", kCapsLockText},
                                                            {"numLockPane", kNumLockText},
                                                            {"scrollLockPane", kScrollLockText}};
  for (const auto& [name, text] : indicators) {
    auto* pane = new QLabel(QString::fromUtf8(text), bar);
    pane->setObjectName(QString::fromLatin1(name));
    pane->setAlignment(Qt::AlignCenter);
    pane->setFrameShape(QFrame::Panel);
    pane->setFrameShadow(QFrame::Sunken);
    pane->setMinimumWidth(pane->fontMetrics().horizontalAdvance(pane->text()) + 12);
    pane->setEnabled(false);
    bar->addPermanentWidget(pane);
  }
}

void CMainFrame::CreateDockPanes() {
  monitorPane_ = new CommMonitorPane(doc_->DriverHost(), this);
  statsPane_ = new DeviceStatsPane(commands_.at(kCmdResetStatistics), this);
  addDockWidget(Qt::BottomDockWidgetArea, monitorPane_);
  addDockWidget(Qt::BottomDockWidgetArea, statsPane_);
  monitorPane_->hide();
  statsPane_->hide();
  // The menu items follow the panes when the user closes them with their own buttons.
  connect(monitorPane_, &QDockWidget::visibilityChanged, this, [this](bool) {
    commands_.at(kCmdViewCommMonitor)->setChecked(!monitorPane_->isHidden());
  });
  connect(statsPane_, &QDockWidget::visibilityChanged, this, [this](bool visible) {
    commands_.at(kCmdViewDeviceStats)->setChecked(!statsPane_->isHidden());
    if (visible && running_)
      RefreshStatistics();
  });
  trendPane_ = new TrendPane(this);
  addDockWidget(Qt::BottomDockWidgetArea, trendPane_);
  trendPane_->hide();
  connect(trendPane_, &QDockWidget::visibilityChanged, this,
          [this](bool) { commands_.at(kCmdViewTrend)->setChecked(!trendPane_->isHidden()); });
  // The trend samples on the live list's own tick, so the curves and the list show the same reads.
  if (panes_.setLiveTickListener) {
    panes_.setLiveTickListener(
        [this] { trendPane_->Sample(state_.tags, QDateTime::currentMSecsSinceEpoch()); });
  }
}

void CMainFrame::RestoreLayout() {
  // The window opens where and as large as it was closed; a value that is not a placement, or
  // one off every screen now attached, is ignored or moved onto a screen by restoreGeometry.
  if (const std::optional<std::string> placement =
          platform::Registry::Instance().GetString(kSettingsKey, kWindowPlacementValue)) {
    static_cast<void>(restoreGeometry(QByteArray::fromBase64(
        QByteArray(placement->data(), static_cast<qsizetype>(placement->size())))));
  }
  const std::optional<std::string> saved =
      platform::Registry::Instance().GetString(kSettingsKey, kWindowLayoutValue);
  if (!saved)
    return;
  // A value that is not a layout of this window is ignored by restoreState.
  static_cast<void>(restoreState(
      QByteArray::fromBase64(QByteArray(saved->data(), static_cast<qsizetype>(saved->size())))));
  UpdateCommandStates();
}

void CMainFrame::SaveLayout() {
  const QByteArray placement = saveGeometry().toBase64();
  static_cast<void>(platform::Registry::Instance().SetString(
      kSettingsKey, kWindowPlacementValue,
      std::string_view(placement.constData(), static_cast<std::size_t>(placement.size()))));
  const QByteArray state = saveState().toBase64();
  // A layout that cannot be written costs the next start its panes' places; nothing to tell.
  static_cast<void>(platform::Registry::Instance().SetString(
      kSettingsKey, kWindowLayoutValue,
      std::string_view(state.constData(), static_cast<std::size_t>(state.size()))));
}

void CMainFrame::OpenMessageEndpoint() {
  // The message is handled after the endpoint's dispatch has returned, so a message box shown
  // while loading the screens cannot re-enter the dispatch.
  auto handler = [this](UINT message, WPARAM, LPARAM) -> LRESULT {
    if (message != kScreensChangedMessage)
      return 0;
    QMetaObject::invokeMethod(
        this, [this] { OnScreensChanged(); }, Qt::QueuedConnection);
    return 1;
  };
  auto raise = [this] {
    QMetaObject::invokeMethod(
        this,
        [this] {
          if (isMinimized())
            showNormal();
          this->raise();
          activateWindow();
        },
        Qt::QueuedConnection);
  };
  if (!endpoint_.Open(kMainWindowClass, handler, platform::MessageEndpoint::Delivery::kPolled,
                      raise)) {
    // Another workbench owns the class: this one runs on, but the screen editor talks to the other.
    // A message folder that is not private to this user is refused by the platform; the program
    // runs on without messages and the message pane says why.
    std::fprintf(stderr, "talvek: window endpoint %s not available: %s\n", kMainWindowClass,
                 endpoint_.LastError().c_str());
    if (!platform::MessageRuntimeDirProblem().empty()) {
      endpointTrouble_ =
          QStringLiteral(
              "窗口消息不可用：文件夹 %1 不是本用户专用的（须为本用户所有、权限 0700、"
              "不是链接），画面编辑器无法与本程序通讯")
              .arg(QString::fromStdString(platform::MessageRuntimeDir()));
      ShowPaneText();
    }
    return;
  }
  endpointNotifier_ = std::make_unique<QSocketNotifier>(endpoint_.fd(), QSocketNotifier::Read);
  connect(endpointNotifier_.get(), &QSocketNotifier::activated, this,
          [this] { endpoint_.DispatchPending(); });
}

bool CMainFrame::HasMessageEndpoint() const {
  return endpoint_.IsOpen();
}

QAction* CMainFrame::CommandAction(int id) const {
  const auto it = commands_.find(id);
  return it == commands_.end() ? nullptr : it->second;
}

void CMainFrame::UpdateCommandStates() {
  commands_.at(kCmdFileClose)->setEnabled(doc_->OnUpdateFileClose());
  // Tags change only while communication is stopped (the polling threads hold tag indexes).
  commands_.at(kCmdFileImportTags)->setEnabled(doc_->State().IsOpen() && !running_);
  commands_.at(kCmdFileExportTags)->setEnabled(doc_->State().IsOpen());
  commands_.at(kCmdViewToolbar)->setChecked(!toolBar_->isHidden());
  commands_.at(kCmdViewStatusBar)->setChecked(!statusBar()->isHidden());
  commands_.at(kCmdViewCommMonitor)->setChecked(!monitorPane_->isHidden());
  commands_.at(kCmdViewDeviceStats)->setChecked(!statsPane_->isHidden());
  commands_.at(kCmdViewTrend)->setChecked(!trendPane_->isHidden());
}

void CMainFrame::ShowDiagnosticPanes() {
  monitorPane_->show();
  statsPane_->show();
  UpdateCommandStates();
}

bool CMainFrame::ExecuteCommand(int id) {
  if (id >= kCmdRecentFirst && id < kCmdRecentFirst + static_cast<int>(recent_.Size())) {
    OnOpenRecentFile(static_cast<std::size_t>(id - kCmdRecentFirst));
    return true;
  }
  switch (id) {
    case kCmdStartCommunication:
      OnStartCommunication();
      return true;
    case kCmdStopCommunication:
      OnStopCommunication();
      return true;
    case kCmdNewProject:
    case kCmdFileNew:
      doc_->OnNewProject();
      return true;
    case kCmdFileOpen:
      OnFileOpen();
      return true;
    case kCmdFileClose:
      if (doc_->OnUpdateFileClose())
        doc_->OnFileClose();
      return true;
    case kCmdAppExit:
      close();
      return true;
    case kCmdViewToolbar:
      toolBar_->setVisible(toolBar_->isHidden());
      UpdateCommandStates();
      return true;
    case kCmdViewStatusBar:
      statusBar()->setVisible(statusBar()->isHidden());
      UpdateCommandStates();
      return true;
    case kCmdViewCommMonitor:
      monitorPane_->setVisible(monitorPane_->isHidden());
      UpdateCommandStates();
      return true;
    case kCmdViewDeviceStats:
      statsPane_->setVisible(statsPane_->isHidden());
      UpdateCommandStates();
      return true;
    case kCmdViewTrend:
      trendPane_->setVisible(trendPane_->isHidden());
      UpdateCommandStates();
      return true;
    case kCmdResetStatistics:
      doc_->DriverHost().ResetStatistics();
      if (running_)
        RefreshStatistics();
      return true;
    case kCmdViewSmallIcons:
      panes_.setListStyle(kListStyleSmallIcons);
      return true;
    case kCmdViewLargeIcons:
      panes_.setListStyle(kListStyleLargeIcons);
      return true;
    case kCmdViewDetails:
      panes_.setListStyle(kListStyleDetails);
      return true;
    case kCmdAppAbout:
      OnAppAbout();
      return true;
    case kCmdHelp:
      OnHelp();
      return true;
    case kCmdNextPane:
    case kCmdPrevPane:
      FocusOtherPane();
      return true;
    case kCmdFileImportTags:
    case kCmdFileExportTags:
      if (panes_.listCommand)
        panes_.listCommand(id == kCmdFileImportTags ? kCmdImportTags : kCmdExportTags);
      return true;
    default:
      return false;
  }
}

bool CMainFrame::OpenDocumentFile(const QString& path) {
  if (path.isEmpty())
    return false;
  const std::string absolute = QDir::cleanPath(QFileInfo(path).absoluteFilePath()).toStdString();
  if (!doc_->OnOpenDocument(absolute))
    return false;
  AddToRecentFileList(absolute);
  return true;
}

void CMainFrame::OnFileOpen() {
  const QString path = askProjectFile_(this);
  if (!path.isEmpty())
    OpenDocumentFile(path);
}

void CMainFrame::OnOpenRecentFile(std::size_t index) {
  if (index >= recent_.Count())
    return;
  const QString path = QString::fromStdString(recent_.Entry(index));
  // A project that no longer opens leaves the list, as the user has just been told why.
  if (!OpenDocumentFile(path)) {
    const std::size_t now = [&] {
      for (std::size_t i = 0; i < recent_.Count(); ++i) {
        if (QString::fromStdString(recent_.Entry(i)) == path)
          return i;
      }
      return recent_.Count();
    }();
    recent_.Remove(now);
    RebuildRecentMenu();
  }
}

void CMainFrame::RebuildRecentMenu() {
  for (std::size_t i = 0; i < recent_.Size(); ++i) {
    const int id = kCmdRecentFirst + static_cast<int>(i);
    if (auto it = commands_.find(id); it != commands_.end()) {
      fileMenu_->removeAction(it->second);
      delete it->second;
      commands_.erase(it);
    }
  }
  recentPlaceholder_->setVisible(recent_.IsEmpty());
  for (std::size_t i = 0; i < recent_.Count(); ++i) {
    const int id = kCmdRecentFirst + static_cast<int>(i);
    QAction* action = AddCommand(id, recent_.MenuLabel(i), QStringLiteral("打开此工程"));
    fileMenu_->insertAction(recentSeparator_, action);
  }
}

void CMainFrame::OnHelp() {
  // Relative to the current folder; a missing file or viewer is not reported.
  const QString file = QDir::current().absoluteFilePath(QString::fromUtf8(kHelpFileName));
  static_cast<void>(openUrl_(QUrl::fromLocalFile(file)));
}

void CMainFrame::OnAppAbout() {
  CAboutDlg about(this);
  about.exec();
}

void CMainFrame::FocusOtherPane() {
  if (panes_.tree == nullptr || panes_.list == nullptr)
    return;
  QWidget* focus = QApplication::focusWidget();
  const bool inTree =
      focus != nullptr && (focus == panes_.tree || panes_.tree->isAncestorOf(focus));
  QWidget* target = inTree ? panes_.list : panes_.tree;
  // A pane that is a plain container hands the focus to its first focusable child.
  QWidget* proxy = target->focusProxy();
  if (target->focusPolicy() == Qt::NoFocus && proxy == nullptr) {
    for (QWidget* child : target->findChildren<QWidget*>()) {
      if (child->focusPolicy() != Qt::NoFocus) {
        target = child;
        break;
      }
    }
  }
  target->setFocus(Qt::OtherFocusReason);
}

void CMainFrame::SetButtonImages(int start, int stop) {
  startImage_ = start;
  stopImage_ = stop;
  startAction_->setIcon(QIcon(QPixmap::fromImage(ToolbarImage(start))));
  stopAction_->setIcon(QIcon(QPixmap::fromImage(ToolbarImage(stop))));
  UpdateStartCommand();
}

void CMainFrame::UpdateStartCommand() {
  // A project without devices would start no line: the command waits for the first device, and
  // its tip says why it cannot be pressed. Otherwise it stays enabled; its image says what it does.
  const bool noDevice = state_.devices.GetSize() == 0;
  startAction_->setEnabled(!noDevice);
  startAction_->setToolTip(noDevice ? QStringLiteral("开始通讯（工程中还没有设备，请先新建设备）")
                                    : QStringLiteral("开始通讯"));
}

void CMainFrame::SetToolbarLook(ToolbarLook look) {
  SetButtonImages(StartImageOf(look), StopImageOf(look));
}

void CMainFrame::SetTitle(std::string_view title) {
  setWindowTitle(FromUtf8(title) + QStringLiteral(" - ") + QString::fromUtf8(kAppTitle));
}

void CMainFrame::UpdateAllViews(std::uint32_t hint) {
  // The document closed the project (closed, another opened or created): its curves go. The
  // frame's own close hint at a start is followed by the same table, reloaded.
  if (hint == kHintProjectClosed && trendPane_ != nullptr)
    trendPane_->Clear();
  UpdateAllViews(nullptr, hint);
  // A project the document opened or created shows its tags at once rather than an empty list
  // until a node is clicked; the tree selects its tag node on this hint, so the two agree.
  if (hint == kHintProjectOpened && !running_)
    UpdateAllViews(nullptr, kHintTags);
}

void CMainFrame::UpdateAllViews(ProjectView* sender, std::uint32_t hint) {
  // Tags deleted, added or reloaded: the curves stay only while their tags are where they were.
  if (trendPane_ != nullptr)
    trendPane_->CheckTags(state_.tags);
  for (ProjectView* view : {panes_.treeView, panes_.listView}) {
    if (view != nullptr && view != sender)
      view->OnUpdate(hint);
  }
  // A created project can be started at once; the list sets the same look on this hint.
  if (hint == kHintProjectCreated)
    SetToolbarLook(ToolbarLook::kStopped);
  UpdateStartCommand();  // a device may have come or gone
}

void CMainFrame::AddToTrend(std::span<const std::size_t> tagIndexes) {
  if (trendPane_->isHidden()) {
    trendPane_->show();
    // A chart needs more room than a docked list gets by default; the dock takes its size once
    // the layout has placed it.
    QTimer::singleShot(0, this, [this] {
      if (dockWidgetArea(trendPane_) == Qt::BottomDockWidgetArea && !trendPane_->isFloating())
        resizeDocks({trendPane_}, {height() * 2 / 5}, Qt::Vertical);
    });
  }
  UpdateCommandStates();
  static_cast<void>(trendPane_->AddTags(state_.tags, tagIndexes));
}

QStringList CMainFrame::AddToTrendByName(const QStringList& names) {
  std::vector<std::size_t> indexes;
  QStringList unknown;
  for (const QString& name : names) {
    std::string gbk;
    const auto found =
        platform::Utf8ToGbk(name.toStdString(), gbk)
            ? std::find_if(state_.tags.begin(), state_.tags.end(),
                           [&](const TagRecord& t) { return platform::ArrayText(t.name) == gbk; })
            : state_.tags.end();
    if (found == state_.tags.end())
      unknown << name;
    else
      indexes.push_back(static_cast<std::size_t>(found - state_.tags.begin()));
  }
  AddToTrend(indexes);
  return unknown;
}

void CMainFrame::AddToRecentFileList(std::string_view path) {
  // A profile that cannot be written costs the list's persistence only; nothing to tell.
  static_cast<void>(recent_.Add(path));
  RebuildRecentMenu();
}

void CMainFrame::StopCommunication() {
  // The document closes the project or opens another: the frame is stopped from now on, while
  // the host lets its threads end in the background (they no longer touch the tables).
  if (!running_)
    return;
  doc_->DriverHost().RequestStopAll();
  FinishStop();
  runtimeTimer_->start();  // collects the ending threads
}

void CMainFrame::OnStartCommunication() {
  if (running_ || state_.devices.GetSize() == 0)
    return;
  // Threads of the last run may still end an exchange on the same ports.
  if (!doc_->DriverHost().CollectStopped()) {
    statusBar()->showMessage(QStringLiteral("通讯正在停止，请稍后再开始通讯。"), kWriteDoneShownMs);
    return;
  }
  // The views let go of their rows before the tables they point into are emptied; a message box
  // shown while a data file loads would otherwise repaint them from freed records.
  UpdateAllViews(nullptr, kHintProjectClosed);
  doc_->DeleteContents();
  try {
    static_cast<void>(LoadDevices(state_));
    static_cast<void>(LoadPorts(state_));
    static_cast<void>(LoadTags(state_));
  } catch (const std::bad_alloc&) {
    state_.ClearTables();
    UpdateAllViews(nullptr, kHintProjectOpened);
    ShowMessage("内存不足，无法载入工程数据，通讯没有启动。", {}, MessageButtons::kOk,
                MessageIcon::kError);
    return;
  }
  const std::optional<std::string> deviceFile = DataFilePath(state_, kDeviceFileName);
  doc_->DriverHost().CreateDrivers(deviceFile ? deviceFile->c_str() : "");
  // The panes show the reloaded project before it goes live.
  UpdateAllViews(nullptr, kHintProjectOpened);
  SetToolbarLook(ToolbarLook::kRunning);
  portTrouble_.clear();
  deviceTrouble_.clear();
  lastWrite_.clear();
  doc_->DriverHost().StartAll();
  panes_.startLiveTimer();
  running_ = true;
  UpdateAllViews(nullptr, kHintLiveValues);
  runtimeTimer_->start();
  DrainRuntimeEvents();  // a port that did not open shows at once
  ShowPaneText();
  RefreshStatistics();
  statsTimer_->start();
}

void CMainFrame::OnStopCommunication() {
  // Running is enough: a project whose reloaded Device.dat had no devices must still be
  // stoppable, or editing would stay refused for good.
  if (!running_ || stopping_)
    return;
  SetButtonImages(kImageStartUnavailable, kImageStopUnavailable);
  DriverHostInterface& host = doc_->DriverHost();
  host.RequestStopAll();
  stopping_ = true;
  // Threads in their idle wait end at once; one in an exchange ends after it, and the timer
  // finishes the stop then, so the window never waits for a line.
  const auto deadline = std::chrono::steady_clock::now() + kStopGrace;
  while (!host.CollectStopped() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  if (host.CollectStopped()) {
    FinishStop();
    return;
  }
  ShowPaneText();
  ShowCommPane();
  runtimeTimer_->start();
}

void CMainFrame::FinishStop() {
  stopping_ = false;
  SetButtonImages(kImageStartAvailable, kImageStopUnavailable);
  panes_.stopLiveTimer();
  // The statistics pane keeps the counters of the run that ended.
  if (running_)
    RefreshStatistics();
  statsTimer_->stop();
  ShowStatesInTree({});
  running_ = false;
  DrainRuntimeEvents();
  portTrouble_.clear();
  deviceTrouble_.clear();
  ShowPaneText();
  ShowCommPane();
  UpdateAllViews(nullptr, kHintTags);
}

void CMainFrame::OnRuntimeTick() {
  DrainRuntimeEvents();
  if (running_ && !stopping_)
    return;
  if (!doc_->DriverHost().CollectStopped())
    return;
  runtimeTimer_->stop();
  if (stopping_)
    FinishStop();
}

QString CMainFrame::MessagePaneText() const {
  if (stopping_)
    return QStringLiteral("正在停止通讯，等待正在进行的通讯结束……");
  if (!portTrouble_.empty() || !deviceTrouble_.empty()) {
    QStringList texts;
    for (const auto& [port, text] : portTrouble_)
      texts << text;
    for (const auto& [device, text] : deviceTrouble_)
      texts << text;
    return texts.join(QStringLiteral("；"));
  }
  if (!endpointTrouble_.isEmpty())
    return endpointTrouble_;
  return QStringLiteral("就绪");
}

void CMainFrame::ShowPaneText() {
  const QString text = MessagePaneText();
  idleLabel_->setText(text);
  idleLabel_->setToolTip(text);
}

QString CMainFrame::CommPaneText() const {
  QString text = running_ && !stopping_ ? QStringLiteral("正在通讯：%1 台设备，%2 台故障")
                                              .arg(devicesPolled_)
                                              .arg(devicesFailing_)
                 : stopping_ ? QStringLiteral("正在停止通讯")
                             : QString::fromUtf8(kCommStoppedText);
  if (!lastWrite_.isEmpty())
    text += QStringLiteral("；最后写入 ") + lastWrite_;
  return text;
}

void CMainFrame::ShowCommPane() {
  const QString text = CommPaneText();
  commLabel_->setText(text);
  commLabel_->setToolTip(text);
}

void CMainFrame::RefreshStatistics() {
  std::vector<DeviceStatistics> stats = doc_->DriverHost().Statistics();
  // Before a device's first poll the host knows none: the project's count stands in.
  devicesPolled_ =
      stats.empty() ? static_cast<int>(state_.devices.GetSize()) : static_cast<int>(stats.size());
  devicesFailing_ =
      static_cast<int>(std::count_if(stats.begin(), stats.end(), [](const DeviceStatistics& s) {
        return IsFailingState(s.state);
      }));
  ShowCommPane();
  ShowStatesInTree(stats);
  if (statsPane_->isVisible())
    statsPane_->Model().SetRows(std::move(stats));
}

void CMainFrame::ShowStatesInTree(const std::vector<DeviceStatistics>& stats) {
  // The tree's port nodes ("Com<n>" under its first top-level node) name their devices' states in
  // their tooltips, and turn red while one of them fails. Panes without a tree widget (tests'
  // stand-ins) show nothing.
  auto* tree = panes_.tree != nullptr ? panes_.tree->findChild<QTreeWidget*>() : nullptr;
  if (tree == nullptr || tree->topLevelItemCount() == 0)
    return;
  QTreeWidgetItem* devices = tree->topLevelItem(0);
  for (int i = 0; i < devices->childCount(); ++i) {
    QTreeWidgetItem* node = devices->child(i);
    QStringList lines;
    bool failing = false;
    for (const DeviceStatistics& s : stats) {
      if (node->text(0) != QStringLiteral("Com%1").arg(s.portNumber))
        continue;
      lines << QStringLiteral("%1：%2").arg(FromGbk(s.deviceName), DeviceStateText(s.state));
      failing = failing || IsFailingState(s.state);
    }
    node->setToolTip(0, lines.join(QLatin1Char('\n')));
    node->setForeground(0, failing ? QBrush(QColor(176, 0, 0)) : QBrush());
  }
}

void CMainFrame::DrainRuntimeEvents() {
  if (draining_)
    return;  // a message box of an earlier drain is open; the events wait for the next tick
  std::vector<RuntimeEvent> events = doc_->DriverHost().TakeEvents();
  if (events.empty())
    return;
  QStringList failures;  // of writes the user typed: shown in a message box
  const QString now = QDateTime::currentDateTime().toString(QStringLiteral("HH:mm:ss"));
  for (const RuntimeEvent& e : events) {
    const QString port = e.tcp ? QStringLiteral("设备 %1").arg(FromGbk(e.deviceName))
                               : QStringLiteral("串口 Com%1").arg(e.portNumber);
    const QString reason = e.text.empty() ? QStringLiteral("原因不明") : FromGbk(e.text);
    const QString tag = FromGbk(e.tagName);
    const QString device = FromGbk(e.deviceName);
    switch (e.kind) {
      case RuntimeEvent::Kind::kPortDown:
        portTrouble_[e.portNumber] =
            (e.tcp ? QStringLiteral("%1 无法连接：%2") : QStringLiteral("%1 无法打开：%2"))
                .arg(port, reason) +
            QStringLiteral("（变量未连接，定时重试）");
        break;
      case RuntimeEvent::Kind::kLineFailed: {
        QString text =
            (e.tcp ? QStringLiteral("%1 没有应答") : QStringLiteral("%1 上的设备没有应答"))
                .arg(port);
        if (!e.text.empty())
          text += QStringLiteral("：") + FromGbk(e.text);
        portTrouble_[e.portNumber] = text;
        break;
      }
      case RuntimeEvent::Kind::kPortUp:
        portTrouble_.erase(e.portNumber);
        statusBar()->showMessage(QStringLiteral("%1 已恢复通讯").arg(port), kWriteDoneShownMs);
        break;
      case RuntimeEvent::Kind::kDeviceDemoted: {
        QString text = QStringLiteral("设备 %1 没有应答，暂停轮询，定时重试").arg(device);
        if (!e.text.empty())
          text += QStringLiteral("：") + FromGbk(e.text);
        deviceTrouble_[device] = text;
        break;
      }
      case RuntimeEvent::Kind::kDeviceGivenUp:
        deviceTrouble_[device] =
            QStringLiteral("设备 %1 在最长恢复时间内没有应答，已停止重试（重新启动通讯后再试）")
                .arg(device);
        break;
      case RuntimeEvent::Kind::kDevicePromoted:
        deviceTrouble_.erase(device);
        statusBar()->showMessage(QStringLiteral("设备 %1 已恢复通讯").arg(device),
                                 kWriteDoneShownMs);
        break;
      case RuntimeEvent::Kind::kWriteDone:
        statusBar()->showMessage(QStringLiteral("变量 %1 已写入").arg(tag), kWriteDoneShownMs);
        lastWrite_ = now + QStringLiteral("：变量 %1 已写入").arg(tag);
        break;
      case RuntimeEvent::Kind::kWriteFailed: {
        const QString text = QStringLiteral("变量 %1 写入失败：%2").arg(tag, reason);
        statusBar()->showMessage(text, kWriteFailedShownMs);
        lastWrite_ = now + QStringLiteral("：") + text;
        if (e.interactive)
          failures << text;
        break;
      }
      case RuntimeEvent::Kind::kWriteNotQueued: {
        const QString text = QStringLiteral("变量 %1 没有写入：没有驱动程序能写入此变量（设备 %2）")
                                 .arg(tag, FromGbk(e.deviceName));
        statusBar()->showMessage(text, kWriteFailedShownMs);
        lastWrite_ = now + QStringLiteral("：") + text;
        if (e.interactive)
          failures << text;
        break;
      }
    }
  }
  ShowPaneText();
  ShowCommPane();
  if (!failures.isEmpty()) {
    draining_ = true;
    ShowMessage(failures.join(QStringLiteral("\n")).toStdString(), {}, MessageButtons::kOk,
                MessageIcon::kWarning);
    draining_ = false;
  }
}

void CMainFrame::OnScreensChanged() {
  // Without a project there is no PicManage.dat to read and no screen list to show; after the
  // program end the views show nothing any more.
  if (!state_.IsOpen() || closed_)
    return;
  // Read into a table of its own first: the list may show rows of the current screen table, and a
  // refused file's message box would repaint them while the table is being replaced. The marker
  // record survives only when the file does not open, which leaves the table as it was.
  ProjectState fresh;
  std::memcpy(fresh.folder, state_.folder, sizeof fresh.folder);
  fresh.screens.resize(1);
  bool loaded = false;
  try {
    loaded = LoadScreens(fresh);
  } catch (const std::bad_alloc&) {
    // A file too large for memory, as on the open and start paths: say so and keep the list.
    const std::optional<std::string> path = DataFilePath(state_, kScreenFileName);
    ShowMessage("内存不足，无法载入画面列表：" + path.value_or(std::string(kScreenFileName)), {},
                MessageButtons::kOk, MessageIcon::kError);
    return;
  }
  if (loaded || fresh.screens.empty()) {
    state_.screens = std::move(fresh.screens);
    state_.keptFiles = static_cast<uint8_t>((state_.keptFiles & ~kKeepScreenFile) |
                                            (fresh.keptFiles & kKeepScreenFile));
  }
  UpdateAllViews(nullptr, kHintScreens);
}

void CMainFrame::closeEvent(QCloseEvent* event) {
  if (closed_) {
    event->accept();
    return;
  }
  closed_ = true;
  SaveLayout();
  if (running_) {
    // From RequestStopAll on no thread stores into the tags, so they can be saved at once; the
    // threads end their exchanges while the window goes, and the host waits for them last.
    SetButtonImages(kImageStartAvailable, stopImage_);
    doc_->DriverHost().RequestStopAll();
    panes_.stopLiveTimer();
    running_ = false;
    stopping_ = false;
  }
  runtimeTimer_->stop();
  statsTimer_->stop();
  // The document empties the tables after saving: the views drop their rows first.
  UpdateAllViews(nullptr, kHintProjectClosed);
  doc_->OnCloseDocument();
  endpointNotifier_.reset();
  endpoint_.Close();
  event->accept();
}

}  // namespace talvek
