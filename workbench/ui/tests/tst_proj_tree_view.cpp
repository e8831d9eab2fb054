// Tests of the project tree: its nodes and their order, "Comm.dat" after each port rebuild, the
// hints that build, rebuild or clear it, the hints its selection sends, the context menu, and
// editing a port's settings (refused while communication runs).
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <utility>
#include <vector>

#include <QAction>
#include <QApplication>
#include <QComboBox>
#include <QContextMenuEvent>
#include <QMenu>
#include <QPushButton>
#include <QTreeWidget>
#include <QtTest>

#include "common/testing/test_support.h"
#include "platform/gbk.h"
#include "workbench/project/data_files.h"
#include "workbench/project/new_records.h"
#include "workbench/project/talvek_doc.h"
#include "workbench/ui/message_box_sink.h"
#include "workbench/ui/proj_tree_view.h"
#include "workbench/ui/serial_settings_dlg.h"
#include "workbench/ui/tests/widget_test_support.h"

using namespace talvek;

namespace {

class NoWindow final : public DocumentWindow {
 public:
  void SetTitle(std::string_view) override {}
  void UpdateAllViews(std::uint32_t) override {}
  void SetToolbarLook(ToolbarLook) override {}
  void AddToRecentFileList(std::string_view) override {}
  void StopCommunication() override {}
  bool IsCommunicationRunning() const override { return false; }
};

// A main frame that records the hints the tree sends.
class FakeFrame final : public ViewContext {
 public:
  explicit FakeFrame(ProjectState& state)
      : doc_(std::make_unique<ui_testing::NullHost>(), window_, state) {}
  CTalvekDoc& Document() override { return doc_; }
  void UpdateAllViews(ProjectView* sender, std::uint32_t hint) override {
    senders.push_back(sender);
    hints.push_back(hint);
  }
  bool IsCommunicationRunning() const override { return running; }
  void SetToolbarLook(ToolbarLook) override {}
  QWidget* MainWindow() override { return nullptr; }

  std::vector<ProjectView*> senders;
  std::vector<std::uint32_t> hints;
  bool running = false;

 private:
  NoWindow window_;
  CTalvekDoc doc_;
};

// A project in a temporary folder with devices on the given ports, its port table loaded as an
// open would load it, and a shown tree with a recording settings editor.
struct Bench {
  explicit Bench(std::initializer_list<int> devicePorts) {
    QVERIFY(platform::CopyToArray(state.folder, dir.str()));
    for (int port : devicePorts)
      AddDevice(port);
    QVERIFY(!LoadPorts(state));  // no Comm.dat yet: Com1, Com2, and the file created
    view.resize(240, 400);
    view.show();
    view.SetSettingsEditor([this](CommSettings& settings, QWidget*) {
      edited.push_back(settings);
      if (!editAction)
        return false;
      return editAction(settings);
    });
    view.SetMenuRunner([this](QMenu& menu, const QPoint&) {
      menuHintCount = frame.hints.size();
      QStringList items;  // the menu and its actions go when the handler returns
      for (const QAction* action : menu.actions())
        items << action->text() + "/" + action->data().toString();
      menus.push_back(items);
      return menuChoice ? menu.actions().value(0) : nullptr;
    });
  }

  void AddDevice(int port) {
    DeviceRecord device = NewDeviceRecord();
    device.portNumber = port;
    state.devices.Add(device);
  }
  QStringList Ports() const {
    QStringList names;
    for (int i = 0; view.DevicesRoot() && i < view.DevicesRoot()->childCount(); ++i)
      names << view.DevicesRoot()->child(i)->text(0);
    return names;
  }
  QStringList CommDatNames() const {
    QStringList names;
    const auto bytes = testing_support::ReadFileBytes(dir / "Comm.dat");
    for (std::size_t at = 0; bytes && at + sizeof(CommSettings) <= bytes->size();
         at += sizeof(CommSettings)) {
      CommSettings entry;
      std::memcpy(&entry, bytes->data() + at, sizeof entry);
      names << QString::fromLatin1(platform::ArrayText(entry.portName));
    }
    return names;
  }
  QTreeWidgetItem* Node(const QString& text) const {
    return view.Tree()->findItems(text, Qt::MatchExactly | Qt::MatchRecursive).value(0);
  }
  QPoint Where(const QString& text) const {
    return view.Tree()->visualItemRect(Node(text)).center();
  }
  void RightClick(QPoint pos) {
    QContextMenuEvent event(QContextMenuEvent::Mouse, pos,
                            view.Tree()->viewport()->mapToGlobal(pos));
    QApplication::sendEvent(view.Tree()->viewport(), &event);
  }
  void DoubleClick(const QString& text) {
    // The item view acts on a double-click only after a press on the same node.
    QTest::mouseClick(view.Tree()->viewport(), Qt::LeftButton, {}, Where(text));
    QTest::mouseDClick(view.Tree()->viewport(), Qt::LeftButton, {}, Where(text));
  }

  testing_support::TempDir dir;
  RecordingMessageSink messages;
  ProjectState state;
  FakeFrame frame{state};
  CProjTreeView view{frame};
  std::vector<CommSettings> edited;
  std::function<bool(CommSettings&)> editAction;
  std::vector<QStringList> menus;
  std::size_t menuHintCount = 0;
  bool menuChoice = true;
};

using Hints = std::vector<std::uint32_t>;

}  // namespace

class TestProjTreeView : public QObject {
  Q_OBJECT

 private slots:
  void portNodesAndCommDat_data() {
    QTest::addColumn<std::vector<int>>("devicePorts");
    QTest::addColumn<QStringList>("nodes");
    QTest::addColumn<QStringList>("commDat");
    QTest::newRow("3 1 7 200") << std::vector<int>{3, 1, 7, 200}
                               << QStringList{"Com1", "Com2", "Com3", "Com7"}
                               << QStringList{"Com1", "Com2", "Com3", "Com7"};
    // Nodes follow the device table; port entries are added in rising port order.
    QTest::newRow("7 3 7") << std::vector<int>{7, 3, 7}
                           << QStringList{"Com1", "Com2", "Com7", "Com3"}
                           << QStringList{"Com1", "Com2", "Com3", "Com7"};
    QTest::newRow("out of range") << std::vector<int>{0, -1, 129, 2, 128}
                                  << QStringList{"Com1", "Com2", "Com128"}
                                  << QStringList{"Com1", "Com2", "Com128"};
  }
  void portNodesAndCommDat() {
    QFETCH(std::vector<int>, devicePorts);
    QFETCH(QStringList, nodes);
    QFETCH(QStringList, commDat);
    Bench b{};
    for (int port : devicePorts)
      b.AddDevice(port);
    QVERIFY(b.view.Tree()->topLevelItemCount() == 0);  // empty until a project is opened
    b.view.OnUpdate(kHintProjectOpened);

    QTreeWidget* tree = b.view.Tree();
    QCOMPARE(tree->topLevelItemCount(), 2);
    QCOMPARE(tree->topLevelItem(0)->text(0), QStringLiteral("设备"));
    QCOMPARE(tree->topLevelItem(1)->text(0), QStringLiteral("变量数据库"));
    QCOMPARE(tree->topLevelItem(1)->childCount(), 1);
    QCOMPARE(b.view.TagNode(), tree->topLevelItem(1)->child(0));
    QCOMPARE(b.view.TagNode()->text(0), QStringLiteral("变量维护"));
    QVERIFY(tree->topLevelItem(0)->isExpanded() && tree->topLevelItem(1)->isExpanded());
    QVERIFY(!b.Node("Com1")->icon(0).isNull() && !b.view.TagNode()->icon(0).isNull());
    QCOMPARE(b.Ports(), nodes);
    QCOMPARE(b.CommDatNames(), commDat);
    QVERIFY(tree->selectedItems().isEmpty());
    QVERIFY(b.frame.hints.empty());
  }

  // Device hints rebuild the port list and rewrite Comm.dat; close clears; others do nothing.
  void hintsRebuildClearOrIgnore() {
    Bench b{3, 7};
    b.view.OnUpdate(kHintProjectOpened);
    b.view.OnUpdate(kHintProjectOpened);  // a second build does not double the branches
    QCOMPARE(b.view.Tree()->topLevelItemCount(), 2);

    b.state.devices.RemoveAt(1);  // port 7 goes, port 5 comes
    b.AddDevice(5);
    for (std::uint32_t ignored : {0x20000u, 0x40000u, 0x80000u, 0x100000u, 0x10010000u})
      b.view.OnUpdate(ignored);
    QCOMPARE(b.Ports(), (QStringList{"Com1", "Com2", "Com3", "Com7"}));
    QCOMPARE(b.CommDatNames(), (QStringList{"Com1", "Com2", "Com3", "Com7"}));
    b.view.OnUpdate(kHintDevicesBase + 3);
    QCOMPARE(b.Ports(), (QStringList{"Com1", "Com2", "Com3", "Com5"}));
    QCOMPARE(b.CommDatNames(), (QStringList{"Com1", "Com2", "Com3", "Com5"}));

    b.view.OnUpdate(kHintProjectClosed);
    QCOMPARE(b.view.Tree()->topLevelItemCount(), 0);
    QVERIFY(b.view.DevicesRoot() == nullptr && b.view.TagNode() == nullptr);
    QVERIFY(QFile::remove(QString::fromStdString((b.dir / "Comm.dat").string())));
    b.view.OnUpdate(kHintDevicesBase);  // no tree, no project: nothing built, nothing written
    QCOMPARE(b.view.Tree()->topLevelItemCount(), 0);
    QVERIFY(!QFile::exists(QString::fromStdString((b.dir / "Comm.dat").string())));
    QVERIFY(b.frame.hints.empty());
  }

  void selectionSendsHints() {
    Bench b{7};
    b.view.OnUpdate(kHintProjectOpened);
    QTest::mouseClick(b.view.Tree()->viewport(), Qt::LeftButton, {}, b.Where("Com7"));
    b.view.Tree()->setCurrentItem(b.Node("设备"));
    b.view.Tree()->setCurrentItem(b.view.TagNode());
    b.view.Tree()->setCurrentItem(b.Node("变量数据库"));  // no hint
    b.frame.running = true;
    b.view.Tree()->setCurrentItem(b.view.TagNode());
    QCOMPARE(b.frame.hints, (Hints{0x10007, 0x10000, 0x20000, 0x80000}));
    for (ProjectView* sender : b.frame.senders)
      QCOMPARE(sender, static_cast<ProjectView*>(&b.view));
  }

  // A selected port node survives a rebuild; when its port goes, nothing stays selected, and a
  // rebuild never sends a hint of its own.
  void rebuildKeepsOrDropsSelectedPort() {
    Bench b{3};
    b.view.OnUpdate(kHintProjectOpened);
    b.view.Tree()->setCurrentItem(b.Node("Com3"));
    b.frame.hints.clear();
    b.view.OnUpdate(kHintDevicesBase + 3);
    QCOMPARE(b.view.Tree()->selectedItems().value(0), b.Node("Com3"));
    b.state.devices.RemoveAll();
    b.view.OnUpdate(kHintDevicesBase + 3);
    QVERIFY(b.Node("Com3") == nullptr);
    QVERIFY(b.view.Tree()->selectedItems().isEmpty());
    QVERIFY(b.frame.hints.empty());
  }

  void contextMenu() {
    Bench b{};
    b.view.OnUpdate(kHintProjectOpened);
    b.RightClick(QPoint(200, 390));  // below every node: nothing
    b.RightClick(b.Where("变量维护"));
    QVERIFY(b.menus.empty());
    QCOMPARE(b.frame.hints, (Hints{0x20000}));

    b.RightClick(b.Where("Com2"));
    QCOMPARE(b.frame.hints, (Hints{0x20000, 0x10002}));
    QCOMPARE(b.menuHintCount, std::size_t{2});  // the list switched before the menu showed
    QCOMPARE(b.menus.size(), std::size_t{1});
    QCOMPARE(b.menus[0], QStringList{QStringLiteral("属性/10016")});
    QCOMPARE(b.edited.size(), std::size_t{1});  // "属性" opened Com2's settings
    QCOMPARE(QString::fromLatin1(b.edited[0].portName), QStringLiteral("Com2"));

    b.frame.running = true;  // refused while communication runs
    b.RightClick(b.Where("Com1"));
    b.view.OnPortProperties();
    QCOMPARE(b.menus.size(), std::size_t{2});
    QCOMPARE(b.edited.size(), std::size_t{1});
  }

  // OK copies the edited settings into the port table and saves "Comm.dat" at once, so that
  // starting communication and reopening the project (both read the file) keep them; Cancel and
  // non-port nodes change nothing; the table is looked up again after the dialog.
  void doubleClickEditsPortSettings() {
    Bench b{3};
    b.view.OnUpdate(kHintProjectOpened);
    b.editAction = [](CommSettings& s) {
      s.baudRate = 19200;
      s.dataBits = 7;
      s.parity = 1;
      s.stopBits = 2;
      s.timeoutMs = 2000;
      return true;
    };
    b.DoubleClick("Com3");
    QCOMPARE(b.edited.size(), std::size_t{1});
    QCOMPARE(b.state.ports[2].baudRate, 19200);
    ProjectState reread;  // what the start command and the next open load
    std::memcpy(reread.folder, b.state.folder, sizeof reread.folder);
    QVERIFY(LoadPorts(reread));
    QCOMPARE(reread.ports.size(), std::size_t{3});
    QVERIFY(std::memcmp(&reread.ports[2], &b.state.ports[2], sizeof(CommSettings)) == 0);
    QVERIFY(b.messages.Messages().empty());

    // A save that fails says so; the setting stays in the table for the next save.
    data_files_testing::SetWriteFunction([](int, const void*, std::size_t) -> ssize_t {
      errno = ENOSPC;
      return -1;
    });
    b.editAction = [](CommSettings& s) {
      s.baudRate = 38400;
      return true;
    };
    b.DoubleClick("Com3");
    data_files_testing::SetWriteFunction(nullptr);
    QCOMPARE(b.messages.Messages().size(), std::size_t{1});
    QVERIFY(QString::fromStdString(b.messages.LastText()).contains("Comm.dat"));
    QCOMPARE(b.state.ports[2].baudRate, 38400);
    QVERIFY(LoadPorts(reread));
    QCOMPARE(reread.ports[2].baudRate, 19200);

    // Closing and reopening the project (which saves nothing) keeps what OK saved; so does a start,
    // which reloads the files the same way.
    const std::filesystem::path projectFile = b.dir / "p.ZRPrj";
    QVERIFY(testing_support::WriteFileBytes(projectFile, {}));
    QVERIFY(SaveDevices(b.state));
    b.frame.Document().CloseProject();
    QVERIFY(b.state.ports.empty());
    QVERIFY(b.frame.Document().OnOpenDocument(projectFile.string()));
    QCOMPARE(b.state.ports.size(), std::size_t{3});
    QCOMPARE(b.state.ports[2].baudRate, 19200);
    QCOMPARE(b.state.ports[2].timeoutMs, uint16_t{2000});

    b.DoubleClick("变量维护");
    b.view.Tree()->setCurrentItem(b.Node("设备"));
    b.view.OnPortProperties();
    b.state.ports.erase(b.state.ports.begin());  // Com1 without settings
    b.DoubleClick("Com1");
    QCOMPARE(b.edited.size(), std::size_t{2});

    b.editAction = [&b](CommSettings& s) {
      s.baudRate = 4800;
      b.state.ports.insert(b.state.ports.begin(), 20, DefaultPortEntry(9));  // table moved
      return true;
    };
    b.DoubleClick("Com2");
    QCOMPARE(FindPort(b.state, "Com2")->baudRate, 4800);
    b.editAction = [&b](CommSettings& s) {
      s.baudRate = 300;
      b.state.ports.clear();  // the port went away meanwhile: nothing to write into
      return true;
    };
    b.DoubleClick("Com3");
    QVERIFY(b.state.ports.empty());
    b.editAction = [](CommSettings& s) {
      s.baudRate = 1200;
      return false;
    };
    b.state.ports.push_back(DefaultPortEntry(3));
    b.DoubleClick("Com3");
    QCOMPARE(b.state.ports[0].baudRate, 9600);

    b.frame.running = true;
    const std::size_t opened = b.edited.size();
    b.DoubleClick("Com3");
    QCOMPARE(b.edited.size(), opened);
  }

  // A new project has no port entries: Com1 and Com2 get theirs, so their nodes can be edited and
  // Comm.dat keeps them.
  void newProjectGetsDefaultPortEntries() {
    Bench b{4};
    b.state.ports.clear();
    b.view.OnUpdate(kHintProjectOpened);
    QCOMPARE(b.CommDatNames(), (QStringList{"Com1", "Com2", "Com4"}));
    const CommSettings com1 = DefaultPortEntry(1);
    QVERIFY(std::memcmp(&b.state.ports[0], &com1, sizeof com1) == 0);
  }

  // The real dialog, driven through its controls; a guard closes any dialog left open.
  void realSerialDialog() {
    Bench b{};
    b.view.SetSettingsEditor(nullptr);
    b.view.OnUpdate(kHintProjectOpened);
    ui_testing::ModalDriver<CSerialSettingsDlg> driver([](CSerialSettingsDlg* dlg) {
      dlg->findChild<QComboBox*>("baudCombo")->setCurrentText("57600");
      dlg->findChild<QPushButton*>("okButton")->click();
    });
    b.DoubleClick("Com2");
    QVERIFY(driver.acted());
    QCOMPARE(FindPort(b.state, "Com2")->baudRate, 57600);
    QCOMPARE(FindPort(b.state, "Com1")->baudRate, 9600);
  }

 private:
  static const CommSettings* FindPort(const ProjectState& state, std::string_view name) {
    for (const CommSettings& port : state.ports)
      if (platform::ArrayText(port.portName) == name)
        return &port;
    return nullptr;
  }
};

QTEST_MAIN(TestProjTreeView)
#include "tst_proj_tree_view.moc"
