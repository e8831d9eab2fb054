// End to end through the real workbench window and the real plug-ins: a project created with the
// new-project wizard (libAlmery.so), an S7-200 device installed with the device wizard
// (libOndrel.so) and the PPI driver (libOstrel.so) registered by the real regsvr, the project
// closed and opened again with the device intact to the byte, and, when the tag editor is built, an
// external tag made with libTesvic.so that polls its value from the PLC simulator.
//
// The functions run in order on one window and one project; each needs the ones before it.
#include <cstring>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include "common/testing/test_support.h"
#include "drivers/ppi/tests/driver_host.h"
#include "platform/com.h"
#include "platform/gbk.h"
#include "platform/registry.h"
#include "workbench/project/app_profile.h"
#include "workbench/project/talvek_doc.h"
#include "workbench/runtime/driver_host.h"
#include "workbench/runtime/tag_fields.h"
#include "workbench/ui/main_frame.h"
#include "workbench/ui/message_box_sink.h"
#include "workbench/ui/proj_list_view.h"
#include "workbench/ui/tests/workbench_e2e_support.h"

#ifdef TALVEK_HAVE_PPI_SIM
#include "tools/ppisim/ppi_simulator.h"
#endif

using namespace talvek;
using namespace workbench_e2e;
using testing_support::ScopedEnv;
using testing_support::TempDir;

namespace {

constexpr char kProjectName[] = "泵站二期";
constexpr char kDeviceName[] = "一号站PLC";

std::string Gbk(const char* utf8) {
  return platform::Utf8ToGbk(utf8);
}

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
  CProjListView* List() { return qobject_cast<CProjListView*>(frame_->Panes().list); }
  bool Reopen();

  std::unique_ptr<TempDir> config_, runtime_, home_, location_;
  std::unique_ptr<ScopedEnv> configEnv_, runtimeEnv_, homeEnv_, xdgEnv_;
  std::unique_ptr<RecordingMessageSink> sink_;
  DriverHost* host_ = nullptr;
  std::unique_ptr<CMainFrame> frame_;
  std::string projectFolder_;  // UTF-8
  std::string projectFile_;
  std::vector<std::uint8_t> deviceBytes_;
};

void TestWorkbenchE2e::initTestCase() {
  config_ = std::make_unique<TempDir>();
  runtime_ = std::make_unique<TempDir>();
  home_ = std::make_unique<TempDir>();
  location_ = std::make_unique<TempDir>();
  configEnv_ = std::make_unique<ScopedEnv>("TALVEK_CONFIG_DIR", config_->str());
  runtimeEnv_ = std::make_unique<ScopedEnv>("TALVEK_RUNTIME_DIR", runtime_->str());
  homeEnv_ = std::make_unique<ScopedEnv>("HOME", home_->str());
  xdgEnv_ = std::make_unique<ScopedEnv>("XDG_CONFIG_HOME", (*home_ / ".config").string());

  // The PPI driver registered as an installation registers it, by the real regsvr into this
  // test's store, before any thread of the workbench runs.
  const ppi_test::RunResult reg =
      ppi_test::RunProgram({ppi_test::Regsvr(), ppi_test::OstrelPath()});
  QVERIFY2(reg.exitCode == 0, reg.output.c_str());
  platform::Registry::Instance().Reload();

  sink_ = std::make_unique<RecordingMessageSink>();
  Project().ClearTables();
  Project().folder[0] = '\0';
  auto host = std::make_unique<DriverHost>();
  host_ = host.get();
  host_->SetCyclePeriod(50);
  FrameOptions options;
  options.host = std::move(host);
  options.openEndpoint = false;
  frame_ = std::make_unique<CMainFrame>(std::move(options));
  frame_->show();
  QVERIFY(QTest::qWaitForWindowExposed(frame_.get()));
  QVERIFY(List() != nullptr);
}

void TestWorkbenchE2e::cleanupTestCase() {
  if (frame_ != nullptr) {
    frame_->ExecuteCommand(kCmdStopCommunication);
    frame_->close();
    frame_.reset();
  }
  Project().ClearTables();
  Project().folder[0] = '\0';
  sink_.reset();
  xdgEnv_.reset();
  homeEnv_.reset();
  runtimeEnv_.reset();
  configEnv_.reset();
  platform::Registry::Instance().Reload();
}

bool TestWorkbenchE2e::Reopen() {
  if (!frame_->ExecuteCommand(kCmdFileClose))
    return false;
  return frame_->OpenDocumentFile(QString::fromStdString(projectFile_));
}

void TestWorkbenchE2e::newProjectThroughWizard() {
  QString summaryFolder, summaryName, finishText;
  const ModalRun run =
      DriveModal([&] { QVERIFY(frame_->ExecuteCommand(kCmdNewProject)); },
                 [&](QDialog& wizard) {
                   SetEditText(wizard, "nameEdit", kProjectName);
                   SetEditText(wizard, "folderCombo", QString::fromStdString(location_->str()));
                   QVERIFY(PressNext(wizard));
                   auto* folder = wizard.findChild<QLabel*>("folderLabel");
                   auto* name = wizard.findChild<QLabel*>("nameLabel");
                   QVERIFY(folder != nullptr && name != nullptr);
                   summaryFolder = folder->text();
                   summaryName = name->text();
                   finishText = Button(wizard, "nextButton")->text();
                   QVERIFY(PressNext(wizard));
                 });
  QVERIFY(run.acted);
  QVERIFY(!run.timedOut);
  QVERIFY(summaryFolder.contains(QString::fromStdString(location_->str())));
  QVERIFY(summaryName.contains(kProjectName));
  QCOMPARE(finishText, QString("完成"));

  // The folder and its files, all empty; the workbench writes Comm.dat itself.
  projectFolder_ = location_->str() + "/" + kProjectName;
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
  QCOMPARE(PortNodes(*frame_), (QStringList{"Com1", "Com2"}));
  const std::optional<std::string> current =
      platform::Registry::Instance().GetString(kSettingsKey, kCurrentProjectValue);
  QVERIFY(current.has_value());
  QCOMPARE(*current, Gbk(projectFolder_.c_str()));
  QCOMPARE(frame_->RecentFiles().Entry(0), projectFile_);
  QVERIFY2(sink_->Messages().empty(), sink_->LastText().c_str());
}

void TestWorkbenchE2e::installDeviceThroughWizard() {
  if (projectFolder_.empty())
    QSKIP("no project was created");
  QVERIFY(SelectNode(*frame_, "Com1"));
  QCOMPARE(DeviceRows(*List()), 0);

  QStringList summary;
  const ModalRun run =
      DriveModal([&] { List()->OnCommand(kCmdNewDevice); },
                 [&](QDialog& wizard) {
                   QVERIFY(Choose(wizard, "modelList", "S7-200(PPI)"));
                   QVERIFY(PressNext(wizard));  // the driver object is created here
                   QCOMPARE(wizard.windowTitle(), QString("设备配置向导——逻辑名称"));
                   SetEditText(wizard, "logicalNameEdit", kDeviceName);
                   QVERIFY(PressNext(wizard));
                   QCOMPARE(wizard.windowTitle(), QString("设备配置向导——选择串口号"));
                   SetEditText(wizard, "portCombo", "COM1");
                   QVERIFY(PressNext(wizard));
                   QCOMPARE(wizard.windowTitle(), QString("设备配置向导——设备地址设置指南"));
                   SetEditText(wizard, "addressEdit", "2");
                   QVERIFY(PressNext(wizard));  // checked by the PPI driver itself
                   QCOMPARE(wizard.windowTitle(), QString("通信参数"));
                   QVERIFY(PressNext(wizard));  // recovery defaults
                   QCOMPARE(wizard.windowTitle(), QString("设备安装向导——信息总结"));
                   for (const char* line :
                        {"summaryModel", "summaryName", "summaryAddress", "summaryCommKind"})
                     summary << wizard.findChild<QLabel*>(line)->text();
                   QCOMPARE(Button(wizard, "nextButton")->text(), QString("完成"));
                   QVERIFY(PressNext(wizard));
                 });
  QVERIFY(run.acted);
  QVERIFY(!run.timedOut);
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
  QVERIFY(SUCCEEDED(CoInitialize(nullptr)));
  CLSID clsid{};
  QVERIFY(SUCCEEDED(CLSIDFromProgID("Ostrel.S7Proto", &clsid)));
  CoUninitialize();
  QVERIFY(device.descriptor.driverClsid == clsid);

  // Saved at once, as one 360-byte record, and listed under Com1.
  deviceBytes_ = RecordBytes(device);
  const auto onDisk =
      testing_support::ReadFileBytes(std::filesystem::u8path(projectFolder_ + "/Device.dat"));
  QVERIFY(onDisk.has_value());
  QCOMPARE(onDisk->size(), std::size_t{360});
  QVERIFY(*onDisk == deviceBytes_);
  QCOMPARE(DeviceRows(*List()), 1);
  QVERIFY(RowShows(*List(), 0, kDeviceName));
  QVERIFY2(sink_->Messages().empty(), sink_->LastText().c_str());
}

void TestWorkbenchE2e::closeAndReopenKeepsDevice() {
  if (deviceBytes_.empty())
    QSKIP("no device was installed");
  QVERIFY(frame_->ExecuteCommand(kCmdFileClose));
  QVERIFY(!Project().IsOpen());
  QCOMPARE(Project().devices.GetSize(), std::size_t{0});
  QVERIFY(PortNodes(*frame_).isEmpty());
  QCOMPARE(DeviceRows(*List()), 0);

  QVERIFY(frame_->OpenDocumentFile(QString::fromStdString(projectFile_)));
  QCOMPARE(std::string(Project().folder), Gbk(projectFolder_.c_str()));
  QCOMPARE(Project().devices.GetSize(), std::size_t{1});
  QVERIFY(RecordBytes(Project().devices[0]) == deviceBytes_);
  const auto onDisk =
      testing_support::ReadFileBytes(std::filesystem::u8path(projectFolder_ + "/Device.dat"));
  QVERIFY(onDisk.has_value() && *onDisk == deviceBytes_);
  QCOMPARE(PortNodes(*frame_), (QStringList{"Com1", "Com2"}));
  QVERIFY(SelectNode(*frame_, "Com1"));
  QCOMPARE(DeviceRows(*List()), 1);
  QVERIFY(RowShows(*List(), 0, kDeviceName));
  QVERIFY2(sink_->Messages().empty(), sink_->LastText().c_str());
}

void TestWorkbenchE2e::newTagPollsSimulator() {
#if !defined(TALVEK_HAVE_TAG_EDITOR) || !defined(TALVEK_HAVE_PPI_SIM)
  QSKIP("built without the tag editor or the PLC simulator");
#else
  if (deviceBytes_.empty())
    QSKIP("no device was installed");
  QVERIFY(SelectNode(*frame_, "变量维护"));

  // A new external integer tag on the device: register V100, data type 整数, engineering range
  // equal to the raw range so the value reads as the PLC holds it.
  QString caption;
  const ModalRun run =
      DriveModal([&] { List()->OnCommand(kCmdNewTag); },
                 [&](QDialog& editor) {
                   caption = editor.windowTitle();
                   SetEditText(editor, "nameEdit", "出水压力");
                   QVERIFY(Choose(editor, "varTypeCombo", "整数"));
                   QVERIFY(Choose(editor, "deviceCombo", kDeviceName));  // creates the PPI driver
                   auto* registers = editor.findChild<QComboBox*>("registerCombo");
                   QVERIFY(registers != nullptr && registers->count() > 0);
                   SetEditText(editor, "registerCombo", "V100");
                   QVERIFY(Choose(editor, "dataTypeCombo", "整数"));
                   SetEditText(editor, "minEdit", "0");
                   SetEditText(editor, "maxEdit", "32767");
                   SetEditText(editor, "rawMinEdit", "0");
                   SetEditText(editor, "rawMaxEdit", "32767");
                   Button(editor, "okButton")->click();
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
  const auto* p = reinterpret_cast<const std::uint8_t*>(&tag);
  const std::vector<std::uint8_t> tagBytes(p, p + sizeof tag);
  const auto tagFile =
      testing_support::ReadFileBytes(std::filesystem::u8path(projectFolder_ + "/Tag.dat"));
  QVERIFY(tagFile.has_value());
  QCOMPARE(tagFile->size(), sizeof(TagRecord));
  QVERIFY(*tagFile == tagBytes);
  QVERIFY2(sink_->Messages().empty(), sink_->LastText().c_str());

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
  QVERIFY(Reopen());
  QCOMPARE(Project().tags.size(), std::size_t{1});
  QCOMPARE(Project().devices.GetSize(), std::size_t{1});
  QVERIFY(RecordBytes(Project().devices[0]) == deviceBytes_);
  QVERIFY(frame_->ExecuteCommand(kCmdStartCommunication));
  QVERIFY(frame_->IsCommunicationRunning());
  QVERIFY(host_->IsPolling());
  QTRY_VERIFY_WITH_TIMEOUT(
      LoadQuality(Project().tags[0]) == 192 && LoadValueWord(Project().tags[0]) == 1234, 10000);
  // The list's live values show it too.
  QVERIFY(List()->IsLiveTimerActive());
  QTRY_VERIFY_WITH_TIMEOUT(RowShows(*List(), 0, "1234"), 5000);

  QVERIFY(frame_->ExecuteCommand(kCmdStopCommunication));
  QVERIFY(!frame_->IsCommunicationRunning());
  QVERIFY(!host_->IsPolling());
  QVERIFY(!List()->IsLiveTimerActive());
  sim.Stop();
  QVERIFY2(sink_->Messages().empty(), sink_->LastText().c_str());
#endif
}

QTEST_MAIN(TestWorkbenchE2e)
#include "tst_workbench_e2e.moc"
