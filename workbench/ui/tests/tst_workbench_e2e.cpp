// End to end through the real workbench window and the real plug-ins: a project created with the
// new-project wizard (libAlmery.so), an S7-200 device installed with the device wizard
// (libOndrel.so) and the PPI driver (libOstrel.so) registered by the real regsvr, the project
// closed and opened again with the device intact to the byte, and, when the tag editor is built, an
// external tag made with libTesvic.so that polls its value from the PLC simulator.
//
// The functions run in order on one window and one project; each needs the ones before it.
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include <QComboBox>
#include <QDialog>
#include <QLabel>
#include <QtTest>

#include "platform/com.h"
#include "platform/gbk.h"
#include "platform/registry.h"
#include "workbench/project/app_profile.h"
#include "workbench/project/talvek_doc.h"
#include "workbench/runtime/tag_fields.h"
#include "workbench/ui/main_frame.h"
#include "workbench/ui/proj_list_view.h"
#include "workbench/ui/tests/workbench_e2e_support.h"

#ifdef TALVEK_HAVE_PPI_SIM
#include "tools/ppisim/ppi_simulator.h"
#endif

using namespace talvek;
using namespace workbench_e2e;

namespace {

constexpr char kProjectName[] = "泵站二期";
constexpr char kDeviceName[] = "一号站PLC";

}  // namespace

class TestWorkbenchE2e : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase();
  void cleanupTestCase();

  void newProjectThroughWizard();
  void installDeviceThroughWizard();
  void closeAndReopenKeepsDevice();
  void newTagPollsSimulator();

 private:
  CProjListView* List() { return bench_.List(); }

  Workbench bench_;
  std::string projectFolder_;  // UTF-8
  std::string projectFile_;
  std::vector<std::uint8_t> deviceBytes_;
};

void TestWorkbenchE2e::initTestCase() {
  // The PPI driver registered as an installation registers it.
  bench_.Prepare("libOstrel.so");
  if (QTest::currentTestFailed())
    return;
  bench_.Open();
}

void TestWorkbenchE2e::cleanupTestCase() {
  bench_.Close();
}

void TestWorkbenchE2e::newProjectThroughWizard() {
  QString summaryFolder, summaryName, finishText;
  const QString location = QString::fromStdString(bench_.Location());
  const ModalRun run =
      NewProjectThroughWizard(bench_.Frame(), kProjectName, location, [&](QDialog& wizard) {
        auto* folder = wizard.findChild<QLabel*>("folderLabel");
        auto* name = wizard.findChild<QLabel*>("nameLabel");
        QVERIFY(folder != nullptr && name != nullptr);
        summaryFolder = folder->text();
        summaryName = name->text();
        finishText = Button(wizard, "nextButton")->text();
      });
  QVERIFY(run.acted);
  QVERIFY(!run.timedOut);
  QVERIFY(summaryFolder.contains(location));
  QVERIFY(summaryName.contains(kProjectName));
  QCOMPARE(finishText, QString("完成"));

  // The folder and its files, all empty; the workbench writes Comm.dat itself.
  projectFolder_ = bench_.Location() + "/" + kProjectName;
  projectFile_ = projectFolder_ + "/" + kProjectName + ".zrprj";
  namespace fs = std::filesystem;
  QVERIFY(fs::is_directory(fs::u8path(projectFolder_)));
  for (const std::string file : {"Device.dat", "Tag.dat", "PicManage.dat"}) {
    QVERIFY2(fs::is_regular_file(fs::u8path(projectFolder_ + "/" + file)), file.c_str());
  }
  QVERIFY(fs::is_regular_file(fs::u8path(projectFile_)));
  QCOMPARE(fs::file_size(fs::u8path(projectFolder_ + "/Device.dat")), std::uintmax_t{0});

  // The workbench took the new folder as its project, in GBK as the records keep texts.
  QCOMPARE(std::string(Project().folder), Gbk(projectFolder_.c_str()));
  QVERIFY(Project().IsOpen());
  QCOMPARE(Project().devices.GetSize(), std::size_t{0});
  QCOMPARE(PortNodes(bench_.Frame()), (QStringList{"Com1", "Com2"}));
  const std::optional<std::string> current =
      platform::Registry::Instance().GetString(kSettingsKey, kCurrentProjectValue);
  QVERIFY(current.has_value());
  QCOMPARE(*current, Gbk(projectFolder_.c_str()));
  QCOMPARE(bench_.Frame().RecentFiles().Entry(0), projectFile_);
  QVERIFY2(bench_.Sink().Messages().empty(), bench_.Sink().LastText().c_str());
}

void TestWorkbenchE2e::installDeviceThroughWizard() {
  if (projectFolder_.empty())
    QSKIP("no project was created");
  QVERIFY(SelectNode(bench_.Frame(), "Com1"));
  QCOMPARE(DeviceRows(*List()), 0);

  QStringList summary;
  QString finishText;
  const ModalRun run = InstallDeviceThroughWizard(
      *List(), {"S7-200(PPI)", kDeviceName, "COM1", "2"}, &summary, &finishText);
  QVERIFY(run.acted);
  QVERIFY(!run.timedOut);
  QCOMPARE(finishText, QString("完成"));
  QCOMPARE(summary, (QStringList{"新设备为 西门子 生产的 S7-200(PPI) ",
                                 QString("设备逻辑名: %1 ").arg(kDeviceName), "设备地址: 2 ",
                                 "通讯方式: PPI "}));

  // In the table, with the driver class the registration gave the ProgID.
  QCOMPARE(Project().devices.GetSize(), std::size_t{1});
  const DeviceRecord& device = Project().devices[0];
  QCOMPARE(platform::ArrayText(device.descriptor.model), std::string_view("S7-200(PPI)"));
  QCOMPARE(std::string(platform::ArrayText(device.logicalName)), Gbk(kDeviceName));
  QCOMPARE(device.portNumber, 1);
  QCOMPARE(platform::ArrayText(device.station.addressText), std::string_view("2"));
  QCOMPARE(device.station.stationNumber, 2);
  CLSID clsid{};
  QVERIFY(ClassOfProgId("Ostrel.S7Proto", &clsid));
  QVERIFY(device.descriptor.driverClsid == clsid);

  // Saved at once, as one 360-byte record, and listed under Com1.
  deviceBytes_ = RecordBytes(device);
  const auto onDisk = DataFileBytes(projectFolder_, "Device.dat");
  QVERIFY(onDisk.has_value());
  QCOMPARE(onDisk->size(), std::size_t{360});
  QVERIFY(*onDisk == deviceBytes_);
  QCOMPARE(DeviceRows(*List()), 1);
  QVERIFY(RowShows(*List(), 0, kDeviceName));
  QVERIFY2(bench_.Sink().Messages().empty(), bench_.Sink().LastText().c_str());
}

void TestWorkbenchE2e::closeAndReopenKeepsDevice() {
  if (deviceBytes_.empty())
    QSKIP("no device was installed");
  QVERIFY(bench_.Frame().ExecuteCommand(kCmdFileClose));
  QVERIFY(!Project().IsOpen());
  QCOMPARE(Project().devices.GetSize(), std::size_t{0});
  QVERIFY(PortNodes(bench_.Frame()).isEmpty());
  QCOMPARE(DeviceRows(*List()), 0);

  QVERIFY(bench_.Frame().OpenDocumentFile(QString::fromStdString(projectFile_)));
  QCOMPARE(std::string(Project().folder), Gbk(projectFolder_.c_str()));
  QCOMPARE(Project().devices.GetSize(), std::size_t{1});
  QVERIFY(RecordBytes(Project().devices[0]) == deviceBytes_);
  const auto onDisk = DataFileBytes(projectFolder_, "Device.dat");
  QVERIFY(onDisk.has_value() && *onDisk == deviceBytes_);
  QCOMPARE(PortNodes(bench_.Frame()), (QStringList{"Com1", "Com2"}));
  QVERIFY(SelectNode(bench_.Frame(), "Com1"));
  QCOMPARE(DeviceRows(*List()), 1);
  QVERIFY(RowShows(*List(), 0, kDeviceName));
  QVERIFY2(bench_.Sink().Messages().empty(), bench_.Sink().LastText().c_str());
}

void TestWorkbenchE2e::newTagPollsSimulator() {
#if !defined(TALVEK_HAVE_TAG_EDITOR) || !defined(TALVEK_HAVE_PPI_SIM)
  QSKIP("built without the tag editor or the PLC simulator");
#else
  if (deviceBytes_.empty())
    QSKIP("no device was installed");
  QVERIFY(SelectNode(bench_.Frame(), "变量维护"));

  // A new external integer tag on the device: register V100, data type 整数, engineering range
  // equal to the raw range so the value reads as the PLC holds it.
  QString caption;
  const ModalRun run = NewTagThroughEditor(*List(), [&](QDialog& editor) {
    caption = editor.windowTitle();
    QVERIFY(BeginIntegerTag(editor, "出水压力", kDeviceName));  // the PPI driver
    auto* registers = editor.findChild<QComboBox*>("registerCombo");
    QVERIFY(registers != nullptr && registers->count() > 0);
    QVERIFY(FinishIntegerTag(editor, "V100"));
  });
  QVERIFY(run.acted);
  QVERIFY(!run.timedOut);
  QCOMPARE(caption, QString("变量维护"));
  QCOMPARE(Project().tags.size(), std::size_t{1});
  const TagRecord& tag = Project().tags[0];
  QCOMPARE(std::string(platform::ArrayText(tag.name)), Gbk("出水压力"));
  QCOMPARE(std::string(platform::ArrayText(tag.deviceName)), Gbk(kDeviceName));
  QCOMPARE(platform::ArrayText(tag.registerText), std::string_view("V100"));
  QCOMPARE(tag.rawType, kRawInt16);
  QCOMPARE(tag.varType, kVarInteger);
  QVERIFY((tag.flags & kTagExternal) != 0);
  const auto tagFile = DataFileBytes(projectFolder_, "Tag.dat");
  QVERIFY(tagFile.has_value());
  QCOMPARE(tagFile->size(), sizeof(TagRecord));
  QVERIFY(*tagFile == RecordBytes(tag));
  QVERIFY2(bench_.Sink().Messages().empty(), bench_.Sink().LastText().c_str());

  // The PLC: V100 holds 1234, and Com1 is its pseudo-terminal.
  ppisim::PpiSimulator sim;
  QVERIFY2(sim.Start(), sim.LastError().c_str());
  ppisim::Location location;
  QVERIFY(ppisim::ParseLocation("V100", &location));
  ppisim::ValueType type;
  QVERIFY(ppisim::ParseValueType("i", &type));
  std::string error;
  QVERIFY2(sim.SetValue(location, type, "1234", &error), error.c_str());
  QVERIFY(platform::Registry::Instance().SetString("HKEY_CURRENT_USER\\Software\\VO DAROR\\Ports",
                                                   "Com1", sim.SlavePath()));

  // Opened again: the tag comes from Tag.dat, and the start polls it through the real driver.
  QVERIFY(bench_.Reopen(projectFile_));
  QCOMPARE(Project().tags.size(), std::size_t{1});
  QCOMPARE(Project().devices.GetSize(), std::size_t{1});
  QVERIFY(RecordBytes(Project().devices[0]) == deviceBytes_);
  bench_.StartCommunication();
  if (QTest::currentTestFailed())
    return;
  bench_.WaitForFirstTag(1234);  // and the list's live values show it

  bench_.StopCommunication();
  QVERIFY(!List()->IsLiveTimerActive());
  sim.Stop();
  QVERIFY2(bench_.Sink().Messages().empty(), bench_.Sink().LastText().c_str());
#endif
}

QTEST_MAIN(TestWorkbenchE2e)
#include "tst_workbench_e2e.moc"
