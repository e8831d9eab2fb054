// End to end with the Modbus driver through the real workbench window and the real plug-ins: a
// project created with the new-project wizard (libAlmery.so), a ModbusTCP device installed with
// the device wizard (libOndrel.so) and the real driver libZireviVer.so registered by the real
// regsvr, an external tag made with the tag editor (libTesvic.so), then communication started
// against an independent Modbus TCP server on 127.0.0.1: the tag reads the server's register, and
// a value typed into the workbench's value-entry dialog reaches the server.
//
// The functions run in order on one window and one project; each needs the ones before it.
#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QComboBox>
#include <QDialog>
#include <QtTest>

#include "common/testing/modbus_peer.h"
#include "platform/com.h"
#include "platform/gbk.h"
#include "workbench/project/talvek_doc.h"
#include "workbench/runtime/tag_fields.h"
#include "workbench/ui/main_frame.h"
#include "workbench/ui/proj_list_view.h"
#include "workbench/ui/tests/workbench_e2e_support.h"
#include "workbench/ui/value_entry_dlg.h"

using namespace talvek;
using namespace workbench_e2e;
using testing_support::ModbusPeer;
using testing_support::RegisterTable;

namespace {

constexpr char kProjectName[] = "水厂三期";
constexpr char kDeviceName[] = "出水流量计";
constexpr char kTagName[] = "出水流量";
// The server's unit; the wizard gets it in the address, so a wrong unit would go unanswered.
constexpr int kUnit = 3;
// Holding register 4X10 is the server's protocol address 9.
constexpr int kRegister = 9;

}  // namespace

class TestWorkbenchModbusE2e : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void cleanupTestCase();

  void newProjectThroughWizard();
  void installTcpDeviceThroughWizard();
  void newTagThroughEditor();
  void tagReadsAndWritesTheServer();

 private:
  CProjListView* List() { return bench_.List(); }
  // The server's holding register 4X10, or -1 when it cannot be read.
  int ServerRegister() {
    const std::optional<std::vector<uint16_t>> words =
        peer_->GetRegisters(kUnit, RegisterTable::kHolding, kRegister, 1);
    return words && words->size() == 1 ? (*words)[0] : -1;
  }

  Workbench bench_;
  std::unique_ptr<ModbusPeer> peer_;
  std::string projectFolder_;  // UTF-8
  std::string projectFile_;
  std::string station_;  // the normalised station text the device is stored with
  std::vector<std::uint8_t> deviceBytes_;
  bool tagMade_ = false;
};

void TestWorkbenchModbusE2e::initTestCase() {
  // The Modbus driver registered as an installation registers it.
  bench_.Prepare("libZireviVer.so");
  if (QTest::currentTestFailed())
    return;

  // The independent server: unit kUnit on a port of 127.0.0.1 it picks.
  std::string why;
  QVERIFY2(ModbusPeer::CanRun(&why), why.c_str());
  peer_ = std::make_unique<ModbusPeer>();
  QVERIFY2(peer_->StartTcp({kUnit}, 100), peer_->Error().c_str());

  bench_.Open();
}

void TestWorkbenchModbusE2e::cleanupTestCase() {
  bench_.Close();
  if (peer_ != nullptr)
    QVERIFY(peer_->Stop());
}

void TestWorkbenchModbusE2e::newProjectThroughWizard() {
  const ModalRun run = NewProjectThroughWizard(bench_.Frame(), kProjectName,
                                               QString::fromStdString(bench_.Location()));
  QVERIFY(run.acted);
  QVERIFY(!run.timedOut);
  projectFolder_ = bench_.Location() + "/" + kProjectName;
  projectFile_ = projectFolder_ + "/" + kProjectName + ".zrprj";
  QVERIFY(std::filesystem::is_regular_file(std::filesystem::u8path(projectFile_)));
  QVERIFY(Project().IsOpen());
  QCOMPARE(PortNodes(bench_.Frame()), (QStringList{"Com1", "Com2"}));
  QVERIFY2(bench_.Sink().Messages().empty(), bench_.Sink().LastText().c_str());
}

void TestWorkbenchModbusE2e::installTcpDeviceThroughWizard() {
  if (projectFolder_.empty())
    QSKIP("no project was created");
  QVERIFY(SelectNode(bench_.Frame(), "Com1"));
  QCOMPARE(DeviceRows(*List()), 0);

  // Typed with blanks around its parts: the device stores the driver's normalised text.
  const QString typed = QStringLiteral("127.0.0.1 : %1 # %2").arg(peer_->Port()).arg(kUnit);
  station_ = "127.0.0.1:" + std::to_string(peer_->Port()) + "#" + std::to_string(kUnit);
  QStringList summary;
  const ModalRun run =
      InstallDeviceThroughWizard(*List(), {"ModbusTcp", kDeviceName, "COM1", typed}, &summary);
  QVERIFY(run.acted);
  QVERIFY(!run.timedOut);
  QCOMPARE(summary, (QStringList{"新设备为 莫迪康系列 生产的 ModbusTCP ",
                                 QString("设备逻辑名: %1 ").arg(kDeviceName),
                                 QString("设备地址: %1 ").arg(QString::fromStdString(station_)),
                                 "通讯方式: TCP/IP "}));

  QCOMPARE(Project().devices.GetSize(), std::size_t{1});
  const DeviceRecord& device = Project().devices[0];
  QCOMPARE(platform::ArrayText(device.descriptor.model), std::string_view("ModbusTCP"));
  QCOMPARE(device.descriptor.linkKind, kLinkTcpIp);
  QCOMPARE(std::string(platform::ArrayText(device.logicalName)), Gbk(kDeviceName));
  QCOMPARE(device.portNumber, 1);
  QCOMPARE(std::string(platform::ArrayText(device.station.addressText)), station_);
  QCOMPARE(device.station.stationNumber, kUnit);
  CLSID clsid{};
  QVERIFY(ClassOfProgId("ZireviVer.ZireviVerPro", &clsid));
  QVERIFY(device.descriptor.driverClsid == clsid);

  deviceBytes_ = RecordBytes(device);
  const auto onDisk = DataFileBytes(projectFolder_, "Device.dat");
  QVERIFY(onDisk.has_value() && *onDisk == deviceBytes_);
  QCOMPARE(DeviceRows(*List()), 1);
  QVERIFY(RowShows(*List(), 0, kDeviceName));
  QVERIFY2(bench_.Sink().Messages().empty(), bench_.Sink().LastText().c_str());
}

void TestWorkbenchModbusE2e::newTagThroughEditor() {
#ifndef TALVEK_HAVE_TAG_EDITOR
  QSKIP("built without the tag editor");
#else
  if (deviceBytes_.empty())
    QSKIP("no device was installed");
  QVERIFY(SelectNode(bench_.Frame(), "变量维护"));

  // An external integer tag on holding register 4X10, engineering range equal to the raw range
  // so the value reads as the server holds it.
  QStringList registerList;
  const ModalRun run = NewTagThroughEditor(*List(), [&](QDialog& editor) {
    QVERIFY(BeginIntegerTag(editor, kTagName, kDeviceName));  // the Modbus driver
    auto* registers = editor.findChild<QComboBox*>("registerCombo");
    QVERIFY(registers != nullptr);
    for (int i = 0; i < registers->count(); ++i)
      registerList << registers->itemText(i);
    QVERIFY(Choose(editor, "registerCombo", "4X"));
    QVERIFY(FinishIntegerTag(editor, "4X10"));
  });
  QVERIFY(run.acted);
  QVERIFY(!run.timedOut);
  QCOMPARE(registerList, (QStringList{"0X", "1X", "3X", "4X"}));
  QCOMPARE(Project().tags.size(), std::size_t{1});
  const TagRecord& tag = Project().tags[0];
  QCOMPARE(std::string(platform::ArrayText(tag.name)), Gbk(kTagName));
  QCOMPARE(std::string(platform::ArrayText(tag.deviceName)), Gbk(kDeviceName));
  QCOMPARE(platform::ArrayText(tag.driverModel), std::string_view("ModbusTCP"));
  QCOMPARE(platform::ArrayText(tag.registerText), std::string_view("4X10"));
  QCOMPARE(int(tag.registerIndex), 3);
  QCOMPARE(tag.rawType, kRawInt16);
  QCOMPARE(tag.varType, kVarInteger);
  QVERIFY((tag.flags & kTagExternal) != 0);
  const auto tagFile = DataFileBytes(projectFolder_, "Tag.dat");
  QVERIFY(tagFile.has_value() && *tagFile == RecordBytes(tag));
  QVERIFY2(bench_.Sink().Messages().empty(), bench_.Sink().LastText().c_str());
  tagMade_ = true;
#endif
}

void TestWorkbenchModbusE2e::tagReadsAndWritesTheServer() {
  if (!tagMade_)
    QSKIP("no tag was made");
  QVERIFY(peer_->SetRegisters(kUnit, RegisterTable::kHolding, kRegister, {1234}));

  // Opened again, so the device and the tag come from the project's files.
  QVERIFY(bench_.Frame().ExecuteCommand(kCmdFileClose));
  QVERIFY(bench_.Frame().OpenDocumentFile(QString::fromStdString(projectFile_)));
  QCOMPARE(Project().devices.GetSize(), std::size_t{1});
  QVERIFY(RecordBytes(Project().devices[0]) == deviceBytes_);
  QCOMPARE(Project().tags.size(), std::size_t{1});
  QVERIFY(SelectNode(bench_.Frame(), "变量维护"));

  bench_.StartCommunication();
  if (QTest::currentTestFailed())
    return;
  bench_.WaitForFirstTag(1234);

  // The polling goes on: a value the server takes later reaches the tag too (a negative one, to
  // see the 16-bit sign).
  QVERIFY(peer_->SetRegisters(kUnit, RegisterTable::kHolding, kRegister, {0xFF85}));
  QTRY_VERIFY_WITH_TIMEOUT(LoadValueWord(Project().tags[0]) == -123, 10000);
  QCOMPARE(LoadQuality(Project().tags[0]), uint16_t{192});

  // A value typed into the value-entry dialog of the live list goes to the server.
  List()->SelectRows({0});
  bool valueDialog = false;
  const ModalRun run = DriveModal([&] { List()->OnCommand(kCmdWriteValue); },
                                  [&](QDialog& dialog) {
                                    valueDialog = qobject_cast<CValueEntryDlg*>(&dialog) != nullptr;
                                    SetEditText(dialog, "valueEdit", "2468");
                                    Button(dialog, "okButton")->click();
                                  });
  QVERIFY(run.acted);
  QVERIFY(!run.timedOut);
  QVERIFY(valueDialog);
  QTRY_COMPARE_WITH_TIMEOUT(ServerRegister(), 2468, 10000);
  // And the tag reads it back.
  QTRY_VERIFY_WITH_TIMEOUT(LoadValueWord(Project().tags[0]) == 2468, 10000);
  QTRY_VERIFY_WITH_TIMEOUT(RowShows(*List(), 0, "2468"), 5000);

  bench_.StopCommunication();
  QVERIFY2(bench_.Sink().Messages().empty(), bench_.Sink().LastText().c_str());
}

QTEST_MAIN(TestWorkbenchModbusE2e)
#include "tst_workbench_modbus_e2e.moc"
