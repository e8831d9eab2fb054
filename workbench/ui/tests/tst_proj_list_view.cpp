// Tests of the project list view: hints, context menu, double-click rules, the edits through the
// plug-ins (stand-ins built beside the test) and the screen editor, deletions and their files,
// sorting, view styles, the live refresh and the write command, tables that change under it, the
// filter box, copying rows and the column widths kept in the settings.
#include <cerrno>
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <vector>

#include <QApplication>
#include <QClipboard>
#include <QFile>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSpinBox>
#include <QTableView>
#include <QTableWidget>
#include <QTimer>
#include <QtTest>

#include "common/plugin_entry.h"
#include "common/testing/test_support.h"
#include "platform/atoms.h"
#include "platform/gbk.h"
#include "platform/module.h"
#include "platform/registry.h"
#include "platform/window_messages.h"
#include "workbench/project/app_profile.h"
#include "workbench/project/data_files.h"
#include "workbench/project/project_state.h"
#include "workbench/project/talvek_doc.h"
#include "workbench/runtime/tag_table.h"
#include "workbench/ui/message_box_sink.h"
#include "workbench/ui/proj_list_view.h"
#include "workbench/ui/tag_bulk_dlg.h"
#include "workbench/ui/tests/widget_test_support.h"
#include "workbench/ui/value_entry_dlg.h"

using namespace talvek;
namespace fs = std::filesystem;

namespace {

std::string Gbk(const char* utf8) {
  return platform::Utf8ToGbk(utf8);
}

template <std::size_t N>
QString Text(const char (&gbk)[N]) {
  return GbkCellText(platform::ArrayText(gbk));
}

using ui_testing::ListFrame;

// One test's world: an open project in a fresh folder, a frame, the list, a recording sink.
struct Fixture {
  Fixture() {
    Project().ClearTables();
    platform::CopyToArray(Project().folder, Gbk(dir.str().c_str()));
    frame.views.push_back(&view);
    view.resize(900, 300);
    view.SetProgramLauncher([this](const std::string& program, const std::string& parameters) {
      launches.push_back({program, parameters});
    });
    view.SetMenuRunner([](QMenu&, const QPoint&) { return nullptr; });
    view.OnUpdate(kHintProjectOpened);
  }
  ~Fixture() {
    Project().ClearTables();
    Project().folder[0] = '\0';
  }

  std::vector<int> Commands(QMenu& menu, bool enabledOnly = false) {
    std::vector<int> ids;
    for (QAction* action : menu.actions()) {
      if (!action->isSeparator() && (!enabledOnly || action->isEnabled()))
        ids.push_back(action->data().toInt());
    }
    return ids;
  }
  static QAction* Action(QMenu& menu, int command) {
    for (QAction* action : menu.actions()) {
      if (!action->isSeparator() && action->data().toInt() == command)
        return action;
    }
    return nullptr;
  }
  int CheckedCommand(QMenu& menu) {
    for (QAction* action : menu.actions()) {
      if (action->isChecked())
        return action->data().toInt();
    }
    return 0;
  }
  std::uintmax_t FileSize(const char* name) {
    std::error_code error;
    const std::uintmax_t size = fs::file_size(dir / name, error);
    return error ? 0 : size;
  }

  testing_support::TempDir dir;
  RecordingMessageSink sink;
  ListFrame frame;
  CProjListView view{frame};
  std::vector<std::pair<std::string, std::string>> launches;
};

TagRecord MakeTag(const char* utf8Name, int32_t varType = kVarInteger) {
  TagRecord tag{};
  platform::CopyToArray(tag.name, Gbk(utf8Name));
  tag.varType = varType;
  tag.rawType = kRawInt32;
  tag.flags = kTagExternal;
  return tag;
}

DeviceRecord MakeDevice(const char* utf8Name, int port) {
  DeviceRecord device{};
  platform::CopyToArray(device.logicalName, Gbk(utf8Name));
  device.portNumber = port;
  return device;
}

ScreenRecord MakeScreen(const char* utf8Name, const char* utf8File) {
  ScreenRecord screen{};
  platform::CopyToArray(screen.screenName, Gbk(utf8Name));
  platform::CopyToArray(screen.fileName, Gbk(utf8File));
  return screen;
}

// The control functions of a stand-in plug-in module.
struct FakePlugin {
  explicit FakePlugin(const char* file) : module(platform::LoadLibraryA(file)) {
    configure = reinterpret_cast<void (*)(int, const char*)>(
        platform::GetProcAddress(module.get(), "FakePluginConfigure"));
    calls = reinterpret_cast<int (*)()>(platform::GetProcAddress(module.get(), "FakePluginCalls"));
    lastRecord = reinterpret_cast<const void* (*)()>(
        platform::GetProcAddress(module.get(), "FakePluginLastRecord"));
  }
  bool ok() const { return configure && calls && lastRecord; }
  platform::ModuleHandle module;
  void (*configure)(int, const char*) = nullptr;
  int (*calls)() = nullptr;
  const void* (*lastRecord)() = nullptr;
};

// Answers the value-entry dialog with `text` (or cancels it when empty) whenever one is open.
class ValueDialogAnswerer {
 public:
  explicit ValueDialogAnswerer(QString text) : text_(std::move(text)) {
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      if (auto* dlg = qobject_cast<CValueEntryDlg*>(QApplication::activeModalWidget())) {
        ++shown;
        if (text_.isEmpty()) {
          dlg->reject();
        } else {
          dlg->ValueEdit()->setText(text_);
          dlg->accept();
        }
      }
    });
    timer_.start(10);
  }
  int shown = 0;

 private:
  QString text_;
  QTimer timer_;
};

class RecordingWriteSink final : public TagWriteSink {
 public:
  int WriteTag(uint16_t tagIndex, int32_t value) override {
    writes.push_back({tagIndex, value});
    return 1;
  }
  std::vector<std::pair<uint16_t, int32_t>> writes;
};

}  // namespace

class TestProjListView : public QObject {
  Q_OBJECT

  // The settings (column widths) go to a folder of the test's own.
  testing_support::TempDir config_;
  std::unique_ptr<testing_support::ScopedEnv> configEnv_;

 private slots:
  void initTestCase() {
    configEnv_ = std::make_unique<testing_support::ScopedEnv>("TALVEK_CONFIG_DIR", config_.str());
    platform::Registry::Instance().Reload();
  }

  void hintsSwitchTheMode() {
    Fixture f;
    ProjListModel& model = *f.view.Model();
    QVERIFY(model.HasImages());
    QCOMPARE(model.columnCount(), 0);  // empty until the first mode hint
    Project().devices.Add(MakeDevice("甲", 1));
    Project().devices.Add(MakeDevice("乙", 2));
    Project().devices.Add(MakeDevice("丙", 2));
    Project().tags = {MakeTag("t1")};
    Project().screens = {MakeScreen("主画面", "a.pic")};
    QHeaderView* header = f.view.DetailsView()->horizontalHeader();

    f.view.OnUpdate(kHintDevicesBase + 2);
    QCOMPARE(model.Mode(), ListMode::kDevices);
    QCOMPARE(model.rowCount(), 3);  // two devices on port 2 and the placeholder
    QCOMPARE(header->sectionSize(0), 300);

    f.view.OnUpdate(kHintTags + 1);  // only the upper 16 bits count
    QCOMPARE(model.Mode(), ListMode::kTags);
    QCOMPARE(model.rowCount(), 2);
    QCOMPARE(header->sectionSize(5), 150);

    f.view.OnUpdate(kHintScreens);
    QCOMPARE(model.Mode(), ListMode::kScreens);
    QCOMPARE(model.CellText(0, 1), QStringLiteral("a.pic"));

    f.view.OnUpdate(kHintLiveValues);
    QCOMPARE(model.Mode(), ListMode::kLiveValues);
    QCOMPARE(model.rowCount(), 1);
    // Fractions of the width (adding up to 20/18 of it), widened where a fixed text would not
    // fit, narrowed where there is room to spare: the whole row shows, no time is ever cut.
    QCOMPARE(header->length(), 900 - 2 * f.view.DetailsView()->frameWidth() -
                                   f.view.style()->pixelMetric(QStyle::PM_ScrollBarExtent));
    const QFontMetrics metrics = f.view.DetailsView()->fontMetrics();
    QVERIFY(header->sectionSize(ProjListModel::kLiveQuality) >
            metrics.horizontalAdvance(QStringLiteral("传感器错误")));
    QVERIFY(header->sectionSize(ProjListModel::kLiveTime) >
            metrics.horizontalAdvance(QStringLiteral("2026/12/08 03:04:14 0123")));

    f.view.OnUpdate(kHintProjectCreated);
    QCOMPARE(f.frame.look, ToolbarLook::kStopped);
    QCOMPARE(model.Mode(), ListMode::kLiveValues);  // rows unchanged
    QCOMPARE(model.rowCount(), 1);

    f.view.OnUpdate(kHintProjectClosed);
    QCOMPARE(model.rowCount(), 0);
    QCOMPARE(model.columnCount(), 0);
    QVERIFY(!model.HasImages());
    f.view.OnUpdate(kHintProjectOpened);
    QVERIFY(model.HasImages());

    // Columns built before the list is shown (a project opened at start-up) are sized again
    // from the width it is shown at, not left at the width it had while hidden.
    const QSize shownSize = f.view.size();
    f.view.resize(shownSize.width() / 3, shownSize.height());
    f.view.OnUpdate(kHintTags);
    QVERIFY(header->sectionSize(5) < 150);
    f.view.resize(shownSize);
    f.view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.view));
    QCOMPARE(header->sectionSize(5), 150);
  }

  void contextMenuFollowsModeAndState() {
    Fixture f;
    Project().tags = {MakeTag("a"), MakeTag("b")};
    f.view.OnUpdate(kHintTags);
    const std::vector<int> styles{kCmdViewSmallIcons, kCmdViewLargeIcons, kCmdViewDetails};

    // Nothing selected: the style items and the tag file's commands (a batch needs a tag).
    auto menu = f.view.BuildContextMenu();
    QCOMPARE(f.Commands(*menu, true),
             (std::vector<int>{kCmdViewSmallIcons, kCmdViewLargeIcons, kCmdViewDetails,
                               kCmdImportTags, kCmdExportTags}));
    QCOMPARE(f.CheckedCommand(*menu), kCmdViewDetails);

    f.view.SelectRows({0});
    menu = f.view.BuildContextMenu();
    QCOMPARE(f.Commands(*menu, true),
             (std::vector<int>{kCmdViewSmallIcons, kCmdViewLargeIcons, kCmdViewDetails, kCmdNewTag,
                               kCmdEditTag, kCmdDeleteTags, kCmdBatchTags, kCmdImportTags,
                               kCmdExportTags, kCmdCopyRows}));
    QCOMPARE(menu->actions().at(3)->isSeparator(), true);

    f.view.SelectRows({2});  // the placeholder: nothing to edit, delete or copy
    menu = f.view.BuildContextMenu();
    QCOMPARE(f.view.RememberedRow(), 2);
    QCOMPARE(f.Commands(*menu).size(), std::size_t{9});
    QCOMPARE(f.Commands(*menu, true),
             (std::vector<int>{kCmdViewSmallIcons, kCmdViewLargeIcons, kCmdViewDetails, kCmdNewTag,
                               kCmdImportTags, kCmdExportTags}));

    f.frame.running = true;  // no editing while communication runs
    menu = f.view.BuildContextMenu();
    QCOMPARE(f.Commands(*menu), styles);

    f.view.OnUpdate(kHintLiveValues);
    menu = f.view.BuildContextMenu();
    QCOMPARE(f.Commands(*menu).back(), kCmdToggleHex);
    QCOMPARE(f.Commands(*menu, true).back(), kCmdToggleHex);  // no tag chosen for the trend
    // "加入趋势" hands the selected tags to the frame, and the refresh tick reaches its listener.
    f.view.SelectRows({0, 1});
    menu = f.view.BuildContextMenu();
    const std::vector<int> live = f.Commands(*menu, true);
    QCOMPARE(std::vector<int>(live.end() - 3, live.end()),
             (std::vector<int>{kCmdAddToTrend, kCmdToggleHex, kCmdCopyRows}));
    f.view.OnCommand(kCmdAddToTrend);
    QCOMPARE(f.frame.trendTags, (std::vector<std::size_t>{0, 1}));
    int ticks = 0;
    f.view.SetLiveTickListener([&ticks] { ++ticks; });
    f.view.RefreshLiveValues();
    f.view.SetLiveTickListener(nullptr);
    QCOMPARE(ticks, 1);
    QVERIFY(!f.Action(*menu, kCmdToggleHex)->isChecked());
    // The chosen item is carried out: the hex flag turns on and the item shows it.
    f.view.SetMenuRunner([&f](QMenu& m, const QPoint&) { return f.Action(m, kCmdToggleHex); });
    f.view.ShowContextMenu(QPoint());
    QVERIFY(f.view.Model()->HexDisplay());
    menu = f.view.BuildContextMenu();
    QVERIFY(f.Action(*menu, kCmdToggleHex)->isChecked());

    f.view.OnViewLargeIcons();
    menu = f.view.BuildContextMenu();
    QCOMPARE(f.CheckedCommand(*menu), kCmdViewLargeIcons);
  }

  void doubleClickRules() {
    Fixture f;
    f.view.SetPluginFiles("NoSuchOndrel.dll", "NoSuchTesvic.dll");
    f.view.OnUpdate(kHintDevicesBase);  // empty project: only "新建设备..."
    QCOMPARE(f.view.Model()->rowCount(), 1);
    f.view.OnRowDoubleClicked(0);  // starts the device wizard
    QCOMPARE(QString::fromStdString(f.sink.LastText()),
             QStringLiteral("加载  NoSuchOndrel.dll 失败"));
    f.sink.Clear();
    f.frame.running = true;
    f.view.OnRowDoubleClicked(0);
    f.view.OnRowDoubleClicked(5);  // empty space
    QVERIFY(f.sink.Messages().empty());

    f.frame.running = false;
    f.view.OnUpdate(kHintTags);
    f.view.OnRowDoubleClicked(0);
    QCOMPARE(QString::fromStdString(f.sink.LastText()),
             QStringLiteral("加载  NoSuchTesvic.dll 失败"));

    // Screens also while communication runs: the placeholder is a new screen, a screen opens.
    f.frame.running = true;
    Project().screens = {MakeScreen("主画面", "主画面.pic")};
    f.view.OnUpdate(kHintScreens);
    f.view.OnRowDoubleClicked(1);
    f.view.OnRowDoubleClicked(0);
    QCOMPARE(f.view.RememberedRow(), 0);
    QCOMPARE(f.launches.size(), std::size_t{2});
    QCOMPARE(f.launches[0].second, std::string("new "));
    QCOMPARE(QString::fromStdString(f.launches[1].second), QStringLiteral("open 主画面.pic"));

    // Live values write only while communication runs.
    Project().tags = {MakeTag("a")};
    f.view.OnUpdate(kHintLiveValues);
    f.frame.running = false;
    ValueDialogAnswerer answerer("");
    f.view.SelectRows({0});
    f.view.OnRowDoubleClicked(0);
    QCOMPARE(answerer.shown, 0);
  }

  void pluginsThatCannotBeUsed() {
    Fixture f;
    Project().devices.Add(MakeDevice("甲", 1));
    f.view.OnUpdate(kHintDevicesBase);
    f.view.SelectRows({0});
    if (!fs::exists(platform::ModuleFileFor(kDeviceWizardPluginFile)) &&
        !fs::exists(platform::ModuleFileFor(kTagEditorPluginFile))) {
      f.view.OnCommand(kCmdEditDevice);
      QCOMPARE(QString::fromStdString(f.sink.LastText()), QStringLiteral("加载  Ondrel.dll 失败"));
      QCOMPARE(f.sink.Messages().back().buttons, MessageButtons::kOk);
      f.view.OnUpdate(kHintTags);
      f.view.OnCommand(kCmdNewTag);
      QCOMPARE(QString::fromStdString(f.sink.LastText()), QStringLiteral("加载  Tesvic.dll 失败"));
      QCOMPARE(Project().devices.GetSize(), std::size_t{1});
      QVERIFY(Project().tags.empty());
      QVERIFY(f.frame.hints.empty());
    }
    // A library without "Show": nothing happens, and nothing is said.
    f.sink.Clear();
    f.view.SetPluginFiles("platform.dll", "platform.dll");
    f.view.OnUpdate(kHintDevicesBase);
    f.view.OnCommand(kCmdNewDevice);
    f.view.OnUpdate(kHintTags);
    f.view.OnCommand(kCmdNewTag);
    QVERIFY(f.sink.Messages().empty());
    QCOMPARE(Project().devices.GetSize(), std::size_t{1});
    QVERIFY(Project().tags.empty());
  }

  void devicesThroughTheWizard() {
    Fixture f;
    FakePlugin wizard("ProjListFakeOndrel.dll");
    QVERIFY(wizard.ok());
    f.view.SetPluginFiles("ProjListFakeOndrel.dll", "ProjListFakeTesvic.dll");
    Project().tags = {MakeTag("t1")};
    platform::CopyToArray(Project().tags[0].deviceName, Gbk("泵站"));
    f.view.OnUpdate(kHintDevicesBase);

    // New device from the placeholder: the defaults, then the tags of that name follow its model.
    wizard.configure(1, Gbk("泵站").c_str());
    f.view.SelectRows({0});
    f.view.OnCommand(kCmdNewDevice);
    QCOMPARE(Project().devices.GetSize(), std::size_t{1});
    const DeviceRecord& added = Project().devices[0];
    QCOMPARE(Text(added.logicalName), QStringLiteral("泵站"));
    QCOMPARE(added.portNumber, 1);
    QCOMPARE(added.retryIntervalSec, 10);
    QCOMPARE(added.dynamicOptimization, 1);
    QCOMPARE(added.recoveryLimitHours, 5);
    QCOMPARE(Text(Project().tags[0].driverModel), QStringLiteral("S7-200(PPI)"));
    QCOMPARE(f.FileSize("Device.dat"), std::uintmax_t{360});
    QCOMPARE(f.FileSize("Tag.dat"), std::uintmax_t{276});
    QCOMPARE(f.frame.hints.back(), kHintDevicesBase);
    QCOMPARE(f.view.Model()->rowCount(), 2);

    // A cancelled edit leaves the record as it was, although the wizard wrote into it.
    f.view.SelectRows({0});
    wizard.configure(0, Gbk("改名").c_str());
    f.view.OnCommand(kCmdEditDevice);
    QCOMPARE(wizard.calls(), 1);
    QCOMPARE(wizard.lastRecord(), static_cast<const void*>(&Project().devices[0]));
    QCOMPARE(Text(Project().devices[0].logicalName), QStringLiteral("泵站"));

    wizard.configure(1, Gbk("改名").c_str());
    f.view.OnCommand(kCmdEditDevice);
    QCOMPARE(Text(Project().devices[0].logicalName), QStringLiteral("改名"));  // saved and reloaded
    QCOMPARE(f.view.Model()->CellText(0, 0), QStringLiteral("改名"));

    // Edits are refused while communication runs.
    f.frame.running = true;
    f.view.SelectRows({0});
    f.view.OnCommand(kCmdEditDevice);
    f.view.OnCommand(kCmdNewDevice);
    QCOMPARE(wizard.calls(), 1);
  }

  void tagsThroughTheEditor() {
    Fixture f;
    FakePlugin editor("ProjListFakeTesvic.dll");
    QVERIFY(editor.ok());
    f.view.SetPluginFiles("ProjListFakeOndrel.dll", "ProjListFakeTesvic.dll");
    f.view.OnUpdate(kHintTags);

    // The first tag starts from the defaults in the scratch record the editor is given.
    editor.configure(1, nullptr);
    f.view.OnCommand(kCmdNewTag);
    QCOMPARE(editor.lastRecord(), static_cast<const void*>(&f.view.ScratchTagRecord()));
    QCOMPARE(Project().tags.size(), std::size_t{1});
    QCOMPARE(Text(Project().tags[0].name), QStringLiteral("Var00001"));
    QCOMPARE(Project().tags[0].description[0], '\0');  // no placeholder to delete first
    QCOMPARE(Project().tags[0].rawType, int32_t{kRawInt32});
    QCOMPARE(f.frame.hints.back(), kHintTags + 1);

    // The next one copies the selected tag, under the next free name.
    Project().tags[0].engMax = 77;
    f.view.SelectRows({0});
    editor.configure(1, nullptr);
    f.view.OnCommand(kCmdNewTag);
    QCOMPARE(Project().tags.size(), std::size_t{2});
    QCOMPARE(Text(Project().tags[1].name), QStringLiteral("Var00002"));
    QCOMPARE(Project().tags[1].engMax, 77);
    QCOMPARE(f.FileSize("Tag.dat"), std::uintmax_t{2 * 276});

    editor.configure(0, "Var00003");  // cancelled: nothing stored or written
    f.view.OnCommand(kCmdNewTag);
    QCOMPARE(Project().tags.size(), std::size_t{2});

    // Editing works on the record in the table itself; the placeholder has nothing to edit.
    f.view.SelectRows({1});
    editor.configure(1, "Renamed");
    QTest::keyClick(f.view.findChild<QTableView*>(), Qt::Key_Return);  // as a double click
    QCOMPARE(editor.lastRecord(), static_cast<const void*>(&Project().tags[1]));
    QCOMPARE(f.view.Model()->CellText(1, 0), QStringLiteral("Renamed"));
    f.view.SelectRows({2});
    f.view.OnCommand(kCmdEditTag);
    QCOMPARE(editor.calls(), 1);
  }

  void deletingTags() {
    Fixture f;
    Project().tags = {MakeTag("A"), MakeTag("B"), MakeTag("C"), MakeTag("D")};
    f.view.OnUpdate(kHintTags);
    f.view.SelectRows({1, 3, 4});  // B, D and the placeholder

    f.sink.QueueAnswer(MessageAnswer::kCancel);
    f.view.OnCommand(kCmdDeleteTags);
    QCOMPARE(QString::fromStdString(f.sink.LastText()), QString::fromUtf8(kAskDeleteTags));
    QCOMPARE(f.sink.Messages().back().buttons, MessageButtons::kOkCancel);
    QCOMPARE(Project().tags.size(), std::size_t{4});
    QVERIFY(f.frame.hints.empty());

    // The Delete key asks the same question; OK: only the real rows' tags go.
    QTest::keyClick(f.view.findChild<QTableView*>(), Qt::Key_Delete);
    QCOMPARE(Project().tags.size(), std::size_t{2});
    QCOMPARE(Text(Project().tags[0].name), QStringLiteral("A"));
    QCOMPARE(Text(Project().tags[1].name), QStringLiteral("C"));
    QCOMPARE(f.FileSize("Tag.dat"), std::uintmax_t{2 * 276});
    QCOMPARE(f.frame.hints.back(), kHintTags);
    QCOMPARE(f.view.Model()->rowCount(), 3);

    // Only the placeholder selected, or communication running: not even a question.
    f.sink.Clear();
    f.view.SelectRows({2});
    f.view.OnCommand(kCmdDeleteTags);
    f.frame.running = true;
    f.view.SelectRows({0});
    f.view.OnCommand(kCmdDeleteTags);
    QVERIFY(f.sink.Messages().empty());
    QCOMPARE(Project().tags.size(), std::size_t{2});
  }

  // The tag file's import (every row checked, the question about existing tags, the refused rows
  // listed and nothing imported) and batch creation from the selected tag with its preview.
  void tagsInBulk() {
    Fixture f;
    Project().tags = {MakeTag("A", kVarDiscrete), MakeTag("温度1")};
    Project().tags[1].flags = 0;  // internal: no driver to ask
    f.view.OnUpdate(kHintTags);
    const QString header = QString::fromStdString(FormatTagCsv({}).substr(3));
    auto write = [&](const char* name, const QString& rows) {
      QFile file(QString::fromStdString((f.dir / name).string()));
      QVERIFY(file.open(QIODevice::WriteOnly));
      file.write((header + rows).toUtf8());
    };
    std::vector<std::size_t> asked;
    SetExistingTagsQuestionHook([&](std::size_t n) {
      asked.push_back(n);
      return std::optional<ExistingTags>(ExistingTags::kKeep);
    });
    write("good.csv", QStringLiteral("A,改,整数,内部,,,,,0,10,0,0\r\n新,,离散,内部\r\n"));
    f.view.ImportTagsFrom(QString::fromStdString((f.dir / "good.csv").string()));
    SetExistingTagsQuestionHook(nullptr);
    QCOMPARE(asked, std::vector<std::size_t>{1});
    QCOMPARE(Project().tags.size(), std::size_t{3});
    QCOMPARE(Project().tags[0].description[0], '\0');  // kept as it was
    QCOMPARE(Text(Project().tags[2].name), QStringLiteral("新"));
    QCOMPARE(f.FileSize("Tag.dat"), std::uintmax_t{3 * 276});
    QCOMPARE(f.frame.hints.back(), kHintTags);

    // Two bad rows: both listed with their lines, nothing imported, nothing written.
    write("bad.csv",
          QStringLiteral("B,,整数,内部,,,,,x,10,0,0\r\nC,,离散,内部\r\nD,,整型,内部\r\n"));
    QStringList listed;
    QTimer::singleShot(0, [&] {
      if (auto* dialog = qobject_cast<TagImportErrorsDlg*>(QApplication::activeModalWidget())) {
        for (int i = 0; i < dialog->List()->count(); ++i)
          listed << dialog->List()->item(i)->text();
        dialog->accept();
      }
    });
    f.view.ImportTagsFrom(QString::fromStdString((f.dir / "bad.csv").string()));
    QCOMPARE(listed.size(), 2);
    QVERIFY(listed[0].startsWith(QStringLiteral("第 2 行：")));
    QVERIFY(listed[1].startsWith(QStringLiteral("第 4 行：")));
    QCOMPARE(Project().tags.size(), std::size_t{3});
    QCOMPARE(f.FileSize("Tag.dat"), std::uintmax_t{3 * 276});

    // A batch of three from "温度1": 温度2..温度4; a clash with "温度1" disables OK.
    f.view.SelectRows({1});
    bool clashRefused = false;
    QStringList names;
    QTimer::singleShot(0, [&] {
      auto* dialog = qobject_cast<TagBatchDlg*>(QApplication::activeModalWidget());
      if (dialog == nullptr)
        return;
      dialog->CountBox()->setValue(3);
      dialog->FirstNumberBox()->setValue(0);
      clashRefused = !dialog->OkButton()->isEnabled();
      dialog->FirstNumberBox()->setValue(2);
      for (int r = 0; r < dialog->Preview()->rowCount(); ++r)
        names << dialog->Preview()->item(r, 0)->text();
      dialog->OkButton()->click();
    });
    f.view.OnCommand(kCmdBatchTags);
    QVERIFY(clashRefused);
    QCOMPARE(names, (QStringList{"温度2", "温度3", "温度4"}));
    QCOMPARE(Project().tags.size(), std::size_t{6});
    QCOMPARE(Text(Project().tags[5].name), QStringLiteral("温度4"));
    QCOMPARE(f.FileSize("Tag.dat"), std::uintmax_t{6 * 276});
  }

  void deletingDevicesAndScreens() {
    Fixture f;
    Project().devices.Add(MakeDevice("甲", 1));
    Project().devices.Add(MakeDevice("乙", 3));
    Project().tags = {MakeTag("t")};
    platform::CopyToArray(Project().tags[0].deviceName, Gbk("乙"));
    f.view.OnUpdate(kHintDevicesBase + 3);
    f.view.SelectRows({0});
    f.view.OnCommand(kCmdDeleteDevice);
    QCOMPARE(QString::fromStdString(f.sink.LastText()), QString::fromUtf8(kAskDeleteDevice));
    QCOMPARE(Project().devices.GetSize(), std::size_t{1});
    QCOMPARE(Text(Project().devices[0].logicalName), QStringLiteral("甲"));
    QCOMPARE(Project().tags.size(), std::size_t{1});  // its tags stay
    QCOMPARE(f.FileSize("Device.dat"), std::uintmax_t{360});
    QCOMPARE(f.frame.hints.back(), kHintDevicesBase + 3);

    // Screens: the file goes with the record; a missing file is reported and the record still
    // goes; a file that cannot be deleted keeps its record.
    Project().screens = {MakeScreen("一", "一.pic"), MakeScreen("二", "gone.pic"),
                         MakeScreen("三", "dir.pic")};
    QVERIFY(testing_support::WriteFileBytes(f.dir / "一.pic", {1, 2, 3}));
    fs::create_directory(f.dir / "dir.pic");
    fs::create_directory(f.dir / "dir.pic" / "inside");
    f.view.OnUpdate(kHintScreens);
    f.sink.Clear();
    for (int i = 0; i < 3; ++i) {
      f.view.SelectRows({0});
      (void)f.view.BuildContextMenu();  // remembers the row the commands act on
      f.view.OnCommand(kCmdDeleteScreen);
    }
    QVERIFY(!fs::exists(f.dir / "一.pic"));
    QCOMPARE(Project().screens.size(), std::size_t{1});
    QCOMPARE(Text(Project().screens[0].screenName), QStringLiteral("三"));
    QCOMPARE(f.FileSize("PicManage.dat"), std::uintmax_t{128});
    QCOMPARE(f.sink.Messages().size(), std::size_t{3 + 2});  // three questions, two failures
    QCOMPARE(QString::fromStdString(f.sink.Messages()[2].text),
             QString::fromUtf8(std::strerror(ENOENT)));

    f.sink.Clear();
    f.view.SelectRows({1});  // the placeholder
    (void)f.view.BuildContextMenu();
    f.view.OnCommand(kCmdDeleteScreen);
    QVERIFY(f.sink.Messages().empty());
  }

  void screenEditorLink() {
    testing_support::TempDir runtime;
    testing_support::ScopedEnv env("TALVEK_RUNTIME_DIR", runtime.str());
    Fixture f;
    Project().screens = {MakeScreen("主画面", "主画面.pic")};
    f.view.OnUpdate(kHintScreens);

    // No editor running: it is started from the program's folder.
    f.view.OnCommand(kCmdNewScreen);
    QCOMPARE(f.launches.size(), std::size_t{1});
    QCOMPARE(f.launches[0].first, ScreenEditorLink::EditorProgramPath());
    QVERIFY(QString::fromStdString(f.launches[0].first).endsWith("/Dodu"));
    QCOMPARE(f.launches[0].second, std::string("new "));

    // A running editor gets the command in an atom instead.
    struct Received {
      UINT message;
      std::string command;
      std::string lParamText;
    };
    std::vector<Received> received;
    platform::MessageEndpoint editor;
    QVERIFY(editor.Open(
        kScreenEditorClass,
        [&](UINT message, WPARAM w, LPARAM l) -> LRESULT {
          char command[256] = {}, second[256] = {};
          platform::GlobalGetAtomNameA(static_cast<ATOM>(w), command, sizeof command);
          if (l != 0)
            platform::GlobalGetAtomNameA(static_cast<ATOM>(l), second, sizeof second);
          received.push_back({message, command, second});
          return 1;
        },
        platform::MessageEndpoint::Delivery::kPolled));
    f.view.OnCommand(kCmdNewScreen);
    f.view.OnRowDoubleClicked(0);
    QTRY_COMPARE_WITH_TIMEOUT((editor.DispatchPending(), received.size()), std::size_t{2}, 2000);
    QCOMPARE(received[0].message, kScreenEditorCommandMessage);
    QCOMPARE(received[0].command, std::string("new"));
    QCOMPARE(received[0].lParamText, std::string("new"));
    QCOMPARE(received[1].command, "open " + Gbk("主画面.pic"));
    QCOMPARE(received[1].lParamText, std::string());
    QCOMPARE(f.launches.size(), std::size_t{1});
  }

  void sortingByHeaderKeepsTheSelection() {
    Fixture f;
    Project().tags = {MakeTag("c"), MakeTag("a"), MakeTag("b")};
    f.view.OnUpdate(kHintTags);
    f.view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.view));
    f.view.SelectRows({0});
    QHeaderView* header = f.view.DetailsView()->horizontalHeader();
    auto click = [header](int section) {
      QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                        QPoint(header->sectionViewportPosition(section) + 5, header->height() / 2));
    };
    auto leading = [&f] {
      QStringList texts;
      for (int row = 0; row < f.view.Model()->rowCount(); ++row)
        texts << f.view.Model()->CellText(row, 0);
      return texts;
    };

    QCOMPARE(f.view.SortColumn(), -1);
    QCOMPARE(header->sortIndicatorSection(), -1);  // no indicator before the first sort
    click(0);                                      // the first click sorts ascending
    QCOMPARE(f.view.SortColumn(), 0);
    QVERIFY(!f.view.SortDescending());
    QCOMPARE(leading(), (QStringList{"a", "b", "c", "新建变量..."}));
    QCOMPARE(header->sortIndicatorSection(), 0);
    QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
    QCOMPARE(f.view.SelectedRows(), std::vector<int>{2});
    click(0);  // the same column again: reversed, the placeholder still last
    QVERIFY(f.view.SortDescending());
    QCOMPARE(header->sortIndicatorOrder(), Qt::DescendingOrder);
    QCOMPARE(leading(), (QStringList{"c", "b", "a", "新建变量..."}));
    QCOMPARE(f.view.SelectedRows(), std::vector<int>{0});
    QCOMPARE(f.view.DetailsView()->currentIndex().row(), 0);
    click(2);  // another column: ascending by its own text (all "整数": the order stays)
    QCOMPARE(f.view.SortColumn(), 2);
    QVERIFY(!f.view.SortDescending());
    QCOMPARE(leading(), (QStringList{"c", "b", "a", "新建变量..."}));
    // Another mode has other columns: no sort, no indicator.
    f.view.OnUpdate(kHintDevicesBase);
    QCOMPARE(header->sortIndicatorSection(), -1);
  }

  void viewStylesShareTheSelection() {
    Fixture f;
    Project().tags = {MakeTag("a", kVarFloat), MakeTag("b", kVarString)};
    f.view.OnUpdate(kHintTags);
    f.view.show();
    f.view.SelectRows({1});
    QListView* icons = f.view.IconView();

    f.view.OnCommand(kCmdViewLargeIcons);
    QCOMPARE(f.view.ViewStyle(), kStyleLargeIcons);
    QCOMPARE(icons->model(), f.view.Model());
    QCOMPARE(icons->viewMode(), QListView::IconMode);
    QCOMPARE(icons->iconSize(), QSize(32, 32));
    QVERIFY(icons->selectionModel()->isRowSelected(1));
    f.view.repaint();

    f.view.OnCommand(kCmdViewSmallIcons);
    QCOMPARE(f.view.ViewStyle(), kStyleSmallIcons);
    QCOMPARE(icons->viewMode(), QListView::ListMode);
    QCOMPARE(icons->iconSize(), QSize(16, 16));
    icons->selectionModel()->select(
        f.view.Model()->index(0, 0),
        QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    QCOMPARE(f.view.SelectedRows(), std::vector<int>{0});

    f.view.OnCommand(kCmdViewDetails);
    QCOMPARE(f.view.ViewStyle(), kStyleDetails);
    QVERIFY(icons->model() != f.view.Model());  // the hidden view does not follow the rows
    QCOMPARE(f.view.SelectedRows(), std::vector<int>{0});
  }

  void liveValuesFollowTheTagTable() {
    Fixture f;
    TagRecord tag = MakeTag("flow");
    tag.rawType = kRawUInt16;
    tag.rawMax = 65535;
    tag.engMax = 100;
    Project().tags = {MakeTag("other"), tag};
    f.frame.running = true;
    f.view.OnUpdate(kHintLiveValues);
    f.view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.view));
    ProjListModel& model = *f.view.Model();
    QCOMPARE(model.CellText(1, ProjListModel::kLiveValue), QStringLiteral("0"));

    GroupItem item{};
    item.tagIndex = 1;
    item.value = 32768;
    item.quality = 192;
    QCOMPARE(Tags().ApplyResult(&item), 1);
    QSignalSpy changed(&model, &QAbstractItemModel::dataChanged);
    f.view.StartLiveTimer();
    QVERIFY(f.view.IsLiveTimerActive());
    QTRY_VERIFY_WITH_TIMEOUT(!changed.isEmpty(), 2000);  // one tick of the 1000 ms timer
    const QModelIndex topLeft = changed.first().at(0).toModelIndex();
    const QModelIndex bottomRight = changed.first().at(1).toModelIndex();
    QCOMPARE(topLeft.row(), 0);
    QCOMPARE(bottomRight.row(), 1);
    QCOMPARE(bottomRight.column(), ProjListModel::kLiveTime);
    QCOMPARE(model.CellText(1, ProjListModel::kLiveValue), QStringLiteral("50"));
    QCOMPARE(model.CellText(1, ProjListModel::kLiveRaw), QStringLiteral("32768"));
    QCOMPARE(model.CellText(1, ProjListModel::kLiveQuality), QStringLiteral("好"));
    f.view.StopLiveTimer();
    QVERIFY(!f.view.IsLiveTimerActive());
  }

  // The details view's cells are painted by the list's own delegate: selected cells in the
  // palette's highlight, texts drawn and cut to their column.
  void cellsArePainted() {
    Fixture f;
    TagRecord tag = MakeTag("t");
    tag.value = 123456789;
    tag.rawType = kRawFloat;  // "浮点数(32位精度)", wider than its column below
    tag.quality = 1;          // no quality text
    Project().tags = {tag, tag};
    f.frame.running = true;
    f.view.OnUpdate(kHintLiveValues);
    f.view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.view));
    QTableView* table = f.view.DetailsView();
    table->horizontalHeader()->resizeSection(ProjListModel::kLiveRawType, 30);
    f.view.SelectRows({1});
    const QImage image = table->viewport()->grab().toImage();
    auto cell = [&](int row, int column) {
      return table->visualRect(f.view.Model()->index(row, column));
    };
    auto colours = [&](const QRect& rect) {
      QSet<QRgb> seen;
      for (int y = rect.top(); y <= rect.bottom(); ++y)
        for (int x = rect.left(); x <= rect.right(); ++x)
          seen.insert(image.pixel(x, y));
      return seen;
    };
    const QRgb highlight = table->palette().color(QPalette::Active, QPalette::Highlight).rgb();
    QVERIFY(colours(cell(1, ProjListModel::kLiveType)).contains(highlight));
    QVERIFY(!colours(cell(0, ProjListModel::kLiveType)).contains(highlight));
    QVERIFY(colours(cell(0, ProjListModel::kLiveValue)).size() > 1);  // some text drawn
    // The cut text does not spill into the empty cell beside it.
    QCOMPARE(colours(cell(0, ProjListModel::kLiveQuality)).size(), 1);
  }

  void writingAValue() {
    Fixture f;
    TagRecord tag = MakeTag("W1");
    tag.rawMax = 1000;
    tag.engMax = 100;
    Project().tags = {tag};
    RecordingWriteSink writes;
    Tags().SetWriteSink(&writes);
    f.frame.running = true;
    f.view.OnUpdate(kHintLiveValues);
    f.view.SelectRows({0});
    ValueDialogAnswerer answerer("50");
    f.view.OnRowDoubleClicked(0);
    Tags().ClearWriteSink(&writes);
    QCOMPARE(answerer.shown, 1);
    QCOMPARE(writes.writes.size(), std::size_t{1});
    QCOMPARE(writes.writes[0].first, uint16_t{0});
    QCOMPARE(writes.writes[0].second, 500);
  }

  // Closing the project, or starting communication, empties the tables before the view hears of
  // it; the view must keep painting, refreshing, sorting and refusing edits without reading them.
  void tablesEmptiedUnderTheView() {
    Fixture f;
    Project().tags = {MakeTag("a"), MakeTag("b"), MakeTag("c")};
    f.frame.running = true;
    f.view.OnUpdate(kHintLiveValues);
    f.view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.view));
    f.view.SelectRows({0, 2});
    Project().ClearTables();
    f.view.RefreshLiveValues();
    f.view.SortByColumn(0);
    QCOMPARE(f.view.Model()->CellText(1, 0), QString());
    f.frame.running = false;
    f.view.OnUpdate(kHintTags);  // the hint rebuilds over the empty table
    QCOMPARE(f.view.Model()->rowCount(), 1);
    f.view.SelectRows({0});
    f.view.OnCommand(kCmdDeleteTags);
    QVERIFY(f.sink.Messages().empty());
    f.view.OnUpdate(kHintProjectClosed);
    f.view.RefreshLiveValues();
    QCOMPARE(f.view.Model()->rowCount(), 0);
  }

  // The filter box: Ctrl+F, typing, Esc; the filter stays through a live refresh and a start and
  // stop of communication, and the commands act on the rows shown.
  void filterBox() {
    Fixture f;
    Project().tags = {MakeTag("Pump1"), MakeTag("Valve"), MakeTag("pump2"), MakeTag("other")};
    f.view.OnUpdate(kHintTags);
    f.view.show();
    QVERIFY(QTest::qWaitForWindowExposed(&f.view));
    QLineEdit* box = f.view.FilterEdit();
    ProjListModel& model = *f.view.Model();
    QTest::keyClick(f.view.DetailsView(), Qt::Key_F, Qt::ControlModifier);
    QVERIFY(box->hasFocus());
    QTest::keyClicks(box, QStringLiteral("PUMP"));
    QCOMPARE(model.rowCount(), 3);  // Pump1, pump2 and the placeholder
    QCOMPARE(f.view.findChild<QLabel*>(QStringLiteral("listFilterCount"))->text(),
             QStringLiteral("2 / 4"));
    f.frame.running = true;
    f.view.OnUpdate(kHintLiveValues);
    f.view.RefreshLiveValues();
    QCOMPARE(model.rowCount(), 2);
    f.frame.running = false;
    f.view.OnUpdate(kHintTags);
    QVERIFY(model.IsPlaceholder(2));

    f.view.SelectRows({1});  // the second row shown is the table's third tag
    f.view.OnCommand(kCmdDeleteTags);
    QCOMPARE(Project().tags.size(), std::size_t{3});
    QCOMPARE(Text(Project().tags[1].name), QStringLiteral("Valve"));
    QCOMPARE(model.rowCount(), 2);
    QTest::keyClick(box, Qt::Key_Escape);
    QCOMPARE(model.rowCount(), 4);
  }

  // Ctrl+C and the menu's "复制": the selected rows with a header line, tab-separated.
  void copyingRows() {
    Fixture f;
    Project().tags = {MakeTag("a"), MakeTag("泵")};
    platform::CopyToArray(Project().tags[1].registerText, "VW\t2");
    f.view.OnUpdate(kHintTags);
    QClipboard* clipboard = QApplication::clipboard();
    clipboard->setText(QStringLiteral("before"));
    f.view.SelectRows({2});  // the placeholder alone: nothing to copy
    QTest::keyClick(f.view.DetailsView(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), QStringLiteral("before"));
    f.view.SelectRows({0, 1, 2});
    QTest::keyClick(f.view.DetailsView(), Qt::Key_C, Qt::ControlModifier);
    QCOMPARE(clipboard->text(), QStringLiteral("变量名\t变量描述\t变量类型\tID\t驱动设备\t地址\n"
                                               "a\t\t整数\t\t\t\n泵\t\t整数\t\t\tVW 2\n"));
    f.frame.running = true;
    f.view.OnUpdate(kHintLiveValues);
    f.view.SelectRows({1});
    f.view.SetMenuRunner([](QMenu& menu, const QPoint&) { return menu.actions().back(); });
    f.view.ShowContextMenu(QPoint());
    QVERIFY(clipboard->text().startsWith(QStringLiteral("变量名\t变量值\t")));
    QVERIFY(clipboard->text().endsWith(QStringLiteral("\n泵\t0\t整数\t0\t长整数\t坏\tVW 2\t\t\n")));
  }

  // Widths the user drags are kept per mode in the settings, for the next start; widths set by
  // the program are not. A time column saved too narrow for a time is widened.
  void columnWidthsAreKept() {
    int dragged = 0;
    Project().tags = {MakeTag("a")};
    for (int start = 0; start < 2; ++start) {
      Fixture f;
      f.view.OnUpdate(kHintTags);
      f.view.show();
      QVERIFY(QTest::qWaitForWindowExposed(&f.view));
      QHeaderView* header = f.view.DetailsView()->horizontalHeader();
      if (start == 0) {  // the user drags the border between the first two columns
        const QPoint border(header->sectionViewportPosition(1) - 1, header->height() / 2);
        for (auto [type, x] : {std::pair{QEvent::MouseButtonPress, 0},
                               {QEvent::MouseMove, 40},
                               {QEvent::MouseButtonRelease, 40}}) {
          QMouseEvent event(type, border + QPoint(x, 0), header->mapToGlobal(border),
                            Qt::LeftButton, Qt::LeftButton, Qt::NoModifier);
          QApplication::sendEvent(header->viewport(), &event);
        }
        dragged = header->sectionSize(0);
        header->resizeSection(2, 33);  // the program's own: not kept
        continue;
      }
      QCOMPARE(header->sectionSize(0), dragged);
      QCOMPARE(header->sectionSize(2), 150);
      QVERIFY(platform::Registry::Instance().SetString(kSettingsKey, "ListColumnsLiveValues",
                                                       "40,40,40,40,40,40,40,40,40"));
      f.view.OnUpdate(kHintLiveValues);
      QCOMPARE(header->sectionSize(0), 40);
      QVERIFY(header->sectionSize(ProjListModel::kLiveTime) >
              f.view.DetailsView()->fontMetrics().horizontalAdvance("2026/12/08 03:04:14 0123"));
    }
    QVERIFY(dragged > 150);
    QVERIFY(platform::Registry::Instance().DeleteKey(kSettingsKey));
  }
};

QTEST_MAIN(TestProjListView)
#include "tst_proj_list_view.moc"
