// The device wizard driven step by step with the real PPI driver registered by the real regsvr,
// and no Modbus driver: titles, controls, the record written step by step, the checks against
// the project's other devices, and the mended text rules.
#include <dlfcn.h>
#include <unistd.h>

#include <QCheckBox>
#include <QLabel>
#include <QTest>

#include <cstdio>
#include <cstring>
#include <string>
#include <thread>

#include "common/driver_contract.h"
#include "platform/com.h"
#include "platform/gbk.h"
#include "plugins/devicewizard/device_catalogue.h"
#include "plugins/devicewizard/device_wizard.h"
#include "plugins/devicewizard/tests/wizard_test_support.h"

using namespace ondrel_test;
using ondrel::RunDeviceWizard;

namespace {

// A driver class no module serves; devices of it stand for "another driver".
constexpr CLSID kOtherDriver = {0x0BADF00D, 0x1234, 0x5678, {9, 8, 7, 6, 5, 4, 3, 2}};

// Everything written to standard output (file descriptor 1) while it lives.
class StdoutCapture {
 public:
  StdoutCapture() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    file_ = std::tmpfile();
    dup2(fileno(file_), STDOUT_FILENO);
  }
  ~StdoutCapture() { Take(); }
  std::string Take() {
    if (file_ == nullptr) {
      return {};
    }
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
    std::rewind(file_);
    std::string text;
    char buf[256];
    for (size_t n; (n = std::fread(buf, 1, sizeof buf, file_)) > 0;) {
      text.append(buf, n);
    }
    std::fclose(file_);
    file_ = nullptr;
    return text;
  }

 private:
  int saved_ = -1;
  FILE* file_ = nullptr;
};

QByteArray Bytes(const void* data, size_t size) {
  return QByteArray(static_cast<const char*>(data), static_cast<qsizetype>(size));
}

}  // namespace

class TestDeviceWizard : public QObject {
  Q_OBJECT

  RegistryScope registry_;
  CLSID ppi_{};

  // A PPI device as the wizard stores it, at station `address` on `port`.
  DeviceRecord PpiDevice(const char* utf8Name, int port, const char* address) {
    DeviceRecord d = StoredDevice(ppi_, "S7-200(PPI)", utf8Name, port, address);
    const ondrel::Catalogue catalogue = ondrel::BuildCatalogue();
    std::memcpy(&d.descriptor, &catalogue.entries[3], sizeof d.descriptor);
    d.station.stationNumber = std::atoi(address);
    return d;
  }

 private slots:
  void initTestCase() {
    QVERIFY(registry_.Register("libOstrel.so"));
    ppi_ = ClassOf(ondrel::kPpiProgId);
    QVERIFY(!(ppi_ == CLSID{}));
    QVERIFY(ClassOf(ondrel::kModbusProgId) == CLSID{});
  }

  // A new record (zero head) matches no model: nothing is selected, Next is disabled and does
  // nothing; cancelling leaves the record as it was.
  void newRecordStartsWithoutModel() {
    DeviceRecord device = NewDevice();
    const DeviceRecord before = device;
    talvek::DeviceArray devices;
    const WizardRun run = RunWizard([&] { return RunDeviceWizard(&device, &devices); },
                                    [&](QDialog& dlg) {
                                      QCOMPARE(dlg.windowTitle(), ondrel::kStepTitles[0]);
                                      QCOMPARE(CurrentTemplate(dlg), 137);
                                      QCOMPARE(SelectedModel(dlg), -1);
                                      QVERIFY(!NextEnabled(dlg));
                                      QVERIFY(!Next(dlg));
                                      QCOMPARE(CurrentTemplate(dlg), 137);
                                      auto* heading = dlg.findChild<QLabel*>("heading");
                                      QVERIFY(heading != nullptr);
                                      QVERIFY(heading->font().bold());
                                      QVERIFY(Cancel(dlg));
                                    });
    QVERIFY(run.reachedWizard);
    QVERIFY(!run.leftOpen);
    QCOMPARE(run.result, 0);
    QVERIFY(run.messages.isEmpty());
    QCOMPARE(Bytes(&device, sizeof device), Bytes(&before, sizeof before));
  }

  // The six steps with the S7-200 model: titles, the summary, "完成", Finish, the trace line, and
  // the record compared field by field with what each step writes.
  void installWithPpiDriver() {
    DeviceRecord device = NewDevice();
    // Left-overs that the station block copy must clear.
    device.station.stationNumber = 99;
    platform::CopyToArray(device.station.addressText, "12345678");
    device.dynamicOptimization = 0;
    talvek::DeviceArray devices;
    devices.Add(PpiDevice("泵站2", 2, "6"));

    StdoutCapture capture;
    const WizardRun run = RunWizard(
        [&] { return RunDeviceWizard(&device, &devices); },
        [&](QDialog& dlg) {
          QVERIFY(WalkToSummary(dlg, Entries{}));
          QCOMPARE(CurrentTemplate(dlg), 143);
          QCOMPARE(NextText(dlg), QStringLiteral("完成"));
          QCOMPARE(Text(dlg, ondrel::kSummaryModelName),
                   QStringLiteral("新设备为 西门子 生产的 S7-200(PPI) "));
          QCOMPARE(Text(dlg, ondrel::kSummaryNameName), QStringLiteral("设备逻辑名: 泵站1 "));
          QCOMPARE(Text(dlg, ondrel::kSummaryAddressName), QStringLiteral("设备地址: 5 "));
          QCOMPARE(Text(dlg, ondrel::kSummaryCommKindName), QStringLiteral("通讯方式: PPI "));
          QVERIFY(Next(dlg));  // "完成"
        });
    const std::string out = capture.Take();
    QVERIFY(!run.leftOpen);
    QVERIFY2(run.messages.isEmpty(), qPrintable(run.messages.join('|')));
    QCOMPARE(run.result, 1);
    QCOMPARE(QByteArray::fromStdString(out), QByteArray("地址格式正确\r\n"));

    DeviceRecord expected;
    std::memset(&expected, 0, sizeof expected);
    std::memcpy(expected.descriptor.manufacturer, Gbk("西门子").data(), 6);
    std::memcpy(expected.descriptor.model, "S7-200(PPI)", 11);
    std::memcpy(expected.descriptor.commKind, "PPI", 3);
    expected.descriptor.driverClsid = ppi_;
    expected.descriptor.linkKind = 1;
    const std::string name = Gbk("泵站1");
    std::memcpy(expected.logicalName, name.data(), name.size());
    expected.station.stationNumber = 5;
    expected.station.addressText[0] = '5';
    expected.portNumber = 2;
    expected.retryIntervalSec = 12;
    expected.dynamicOptimization = 0;  // the hidden check box keeps the record's value
    expected.recoveryLimitHours = 6;

    QCOMPARE(Bytes(&device, 212), Bytes(&expected, 212));                      // head, 0-211
    QCOMPARE(Bytes(device.logicalName, 64), Bytes(expected.logicalName, 64));  // 212
    QCOMPARE(Bytes(&device.station, 68), Bytes(&expected.station, 68));        // 276-343
    QCOMPARE(device.portNumber, 2);                                            // 344
    QCOMPARE(device.retryIntervalSec, 12);                                     // 348
    QCOMPARE(device.dynamicOptimization, 0);                                   // 352
    QCOMPARE(device.recoveryLimitHours, 6);                                    // 356
    QCOMPARE(Bytes(&device, sizeof device), Bytes(&expected, sizeof expected));
  }

  // No Modbus driver is registered: leaving step 0 with a Modbus model fails and stays; the
  // record already carries the chosen head; another model then goes on.
  void modbusWithoutDriver() {
    DeviceRecord device = NewDevice();
    const WizardRun run = RunWizard([&] { return RunDeviceWizard(&device, nullptr); },
                                    [&](QDialog& dlg) {
                                      SelectModel(dlg, 1);
                                      QVERIFY(NextEnabled(dlg));
                                      QVERIFY(Next(dlg));
                                      QCOMPARE(CurrentTemplate(dlg), 137);
                                      QCOMPARE(dlg.windowTitle(), ondrel::kStepTitles[0]);
                                      QCOMPARE(platform::ArrayText(device.descriptor.model),
                                               std::string_view("ModbusTCP"));
                                      QCOMPARE(device.descriptor.linkKind, uint16_t{2});
                                      SelectModel(dlg, 3);
                                      QVERIFY(Next(dlg));
                                      QCOMPARE(CurrentTemplate(dlg), 139);
                                      QVERIFY(Cancel(dlg));
                                    });
    QCOMPARE(run.messages, QStringList{QStringLiteral("驱动加载失败")});
    QCOMPARE(run.result, 0);
  }

  // Re-configuring a device inside the table: its model is preselected, and its own name, port
  // and address never count against it; walking through unchanged leaves the record unchanged.
  void reconfigureNeverDuplicatesItself() {
    talvek::DeviceArray devices;
    devices.Add(PpiDevice("泵站1", 2, "5"));
    devices.Add(PpiDevice("泵站2", 2, "6"));
    devices[0].retryIntervalSec = 7;
    const DeviceRecord before = devices[0];
    const WizardRun run =
        RunWizard([&] { return RunDeviceWizard(&devices[0], &devices); },
                  [&](QDialog& dlg) {
                    QCOMPARE(SelectedModel(dlg), 3);
                    QVERIFY(NextEnabled(dlg));
                    for (int step = 1; step <= 5; ++step) {
                      QVERIFY(Next(dlg));
                      QCOMPARE(dlg.windowTitle(), ondrel::kStepTitles[step]);
                      if (step == 1) {
                        QCOMPARE(Text(dlg, ondrel::kLogicalNameEditName), QStringLiteral("泵站1"));
                      } else if (step == 2) {
                        QCOMPARE(Text(dlg, ondrel::kPortComboName), QStringLiteral("COM2"));
                      } else if (step == 3) {
                        QCOMPARE(Text(dlg, ondrel::kAddressEditName), QStringLiteral("5"));
                      } else if (step == 4) {
                        QCOMPARE(Text(dlg, ondrel::kRetryEditName), QStringLiteral("7"));
                        QCOMPARE(Text(dlg, ondrel::kRecoveryEditName), QStringLiteral("5"));
                      }
                    }
                    QVERIFY(Next(dlg));
                  });
    QVERIFY2(run.messages.isEmpty(), qPrintable(run.messages.join('|')));
    QCOMPARE(run.result, 1);
    QCOMPARE(Bytes(&devices[0], sizeof before), Bytes(&before, sizeof before));
  }

  // Names: another device's name is refused, byte for byte (case counts); an empty name is
  // accepted; at most 63 bytes of GBK, never cut; a text with no GBK form is refused.
  void logicalNameChecks() {
    talvek::DeviceArray devices;
    devices.Add(PpiDevice("Pump", 1, "1"));
    DeviceRecord device = NewDevice();
    const WizardRun run =
        RunWizard([&] { return RunDeviceWizard(&device, &devices); },
                  [&](QDialog& dlg) {
                    SelectModel(dlg, 3);
                    QVERIFY(Next(dlg));
                    QCOMPARE(Text(dlg, ondrel::kLogicalNameEditName), QStringLiteral("新建设备"));
                    const auto refused = [&](const QString& name) {
                      SetText(dlg, ondrel::kLogicalNameEditName, name);
                      Next(dlg);
                      return CurrentTemplate(dlg) == 139 &&
                             platform::ArrayText(device.logicalName) == Gbk("新建设备");
                    };
                    QVERIFY(refused(QStringLiteral("Pump")));
                    QVERIFY(refused(QStringLiteral("Pump   ")));   // trailing blanks go
                    QVERIFY(refused(QString(32, QChar(0x6CF5))));  // 64 bytes
                    QVERIFY(refused(QString(64, u'a')));           // 64 bytes
                    QVERIFY(refused(QStringLiteral("泵站😀")));     // no GBK form
                    QVERIFY(refused(QStringLiteral("a한b")));      // Hangul: none in GBK

                    // The longest name that fits, with a trailing blank: 31 characters of two bytes
                    // + 1.
                    const QString longest = QString(31, QChar(0x6CF5)) + u'x';
                    SetText(dlg, ondrel::kLogicalNameEditName, longest + u' ');
                    QVERIFY(Next(dlg));
                    QCOMPARE(CurrentTemplate(dlg), 140);
                    const std::string gbk = Gbk(longest.toUtf8().constData());
                    QCOMPARE(gbk.size(), size_t{63});
                    QCOMPARE(Bytes(device.logicalName, 64), QByteArray::fromStdString(gbk + '\0'));

                    // Back, then other names: a different case and the empty name are accepted.
                    QVERIFY(Back(dlg));
                    SetText(dlg, ondrel::kLogicalNameEditName, QStringLiteral("pump"));
                    QVERIFY(Next(dlg));
                    QCOMPARE(platform::ArrayText(device.logicalName), std::string_view("pump"));
                    QVERIFY(Back(dlg));
                    SetText(dlg, ondrel::kLogicalNameEditName, QString());
                    QVERIFY(Next(dlg));
                    QCOMPARE(CurrentTemplate(dlg), 140);
                    QCOMPARE(Bytes(device.logicalName, 64), QByteArray(64, '\0'));
                    QVERIFY(Cancel(dlg));
                  });
    const QStringList expected = {ondrel::kMsgNameTaken,   ondrel::kMsgNameTaken,
                                  ondrel::kMsgNameTooLong, ondrel::kMsgNameTooLong,
                                  ondrel::kMsgNameNotGbk,  ondrel::kMsgNameNotGbk};
    QCOMPARE(run.messages, expected);
    QCOMPARE(run.result, 0);
  }

  // Ports: a device of another driver class on the port refuses it; devices of the same class
  // share it; a text that is not "COM" and a number 1..128 is refused.
  void portChecks() {
    talvek::DeviceArray devices;
    DeviceRecord other = StoredDevice(kOtherDriver, "Other", "other", 1, "1");
    devices.Add(other);
    devices.Add(PpiDevice("ppi", 3, "1"));
    DeviceRecord device = NewDevice();
    const WizardRun run = RunWizard(
        [&] { return RunDeviceWizard(&device, &devices); },
        [&](QDialog& dlg) {
          SelectModel(dlg, 3);
          QVERIFY(Next(dlg));
          QVERIFY(Next(dlg));
          QCOMPARE(Text(dlg, ondrel::kPortComboName), QStringLiteral("COM1"));  // the record's
          QVERIFY(Next(dlg));  // COM1 belongs to another driver
          QCOMPARE(CurrentTemplate(dlg), 140);
          QCOMPARE(device.portNumber, 1);
          SetText(dlg, ondrel::kPortComboName, QStringLiteral("COM3"));  // a PPI device's port
          QVERIFY(Next(dlg));
          QCOMPARE(CurrentTemplate(dlg), 141);
          QCOMPARE(device.portNumber, 3);
          QVERIFY(Back(dlg));
          // Texts that name no port COM1..COM128 are refused, the port kept.
          for (const char* text : {"COMX", "1", "COM200", "COM0", "COM3abc"}) {
            SetText(dlg, ondrel::kPortComboName, QString::fromLatin1(text));
            QVERIFY(Next(dlg));
            QVERIFY2(CurrentTemplate(dlg) == 140, text);
            QCOMPARE(device.portNumber, 3);
          }
          SetText(dlg, ondrel::kPortComboName, QStringLiteral(" com3 "));
          QVERIFY(Next(dlg));
          QCOMPARE(CurrentTemplate(dlg), 141);
          QVERIFY(Cancel(dlg));
        });
    QCOMPARE(run.messages,
             QStringList{ondrel::kMsgPortTaken} + QStringList(5, ondrel::kMsgPortText));
  }

  // Addresses: the driver's refusal, a text with no GBK form and an address already used on the
  // same port keep the wizard on step 3 with the station untouched; the same address on another
  // port is accepted.
  void addressChecks() {
    talvek::DeviceArray devices;
    devices.Add(PpiDevice("a", 1, "5"));
    DeviceRecord device = NewDevice();
    device.station.stationNumber = 42;
    platform::CopyToArray(device.station.addressText, "42");
    const QByteArray stationBefore = Bytes(&device.station, sizeof device.station);
    StdoutCapture capture;
    const WizardRun run = RunWizard(
        [&] { return RunDeviceWizard(&device, &devices); },
        [&](QDialog& dlg) {
          SelectModel(dlg, 3);
          QVERIFY(Next(dlg));
          QVERIFY(Next(dlg));
          QVERIFY(Next(dlg));  // port 1
          QCOMPARE(Text(dlg, ondrel::kAddressEditName), QStringLiteral("42"));
          for (const QString& text :
               {QStringLiteral("a5"), QStringLiteral("5😀"), QStringLiteral("200"),
                QStringLiteral("127"), QStringLiteral("5")}) {
            SetText(dlg, ondrel::kAddressEditName, text);
            QVERIFY(Next(dlg));
            QCOMPARE(CurrentTemplate(dlg), 141);
            QCOMPARE(Bytes(&device.station, sizeof device.station), stationBefore);
          }
          // Station 5 on port 2 is another station.
          QVERIFY(Back(dlg));
          SetText(dlg, ondrel::kPortComboName, QStringLiteral("COM2"));
          QVERIFY(Next(dlg));
          QCOMPARE(Text(dlg, ondrel::kAddressEditName), QStringLiteral("42"));  // reloaded
          SetText(dlg, ondrel::kAddressEditName, QStringLiteral("5"));
          QVERIFY(Next(dlg));
          QCOMPARE(CurrentTemplate(dlg), 142);
          QCOMPARE(device.station.stationNumber, 5);
          QCOMPARE(Bytes(device.station.addressText, 3), QByteArray("5\0\0", 3));
          QVERIFY(Cancel(dlg));
        });
    // A PPI station is a number 0..126: "a5", "200" and "127" are refused by the wizard before
    // the driver is asked.
    const QStringList expected = {ondrel::kMsgPpiStation, ondrel::kMsgAddressNotGbk,
                                  ondrel::kMsgPpiStation, ondrel::kMsgPpiStation,
                                  ondrel::kMsgAddressTaken};
    QCOMPARE(run.messages, expected);
    QCOMPARE(ondrel::kMsgAddressBad, QStringLiteral("地址格式错误\r\n"));
    // One trace line for each address the driver accepted ("5" twice), none for the others.
    QCOMPARE(QByteArray::fromStdString(capture.Take()),
             QByteArray("地址格式正确\r\n地址格式正确\r\n"));
  }

  // Back shows what was last typed on a step (no reload); Next reloads a step from the record.
  void backShowsTypedNextReloads() {
    DeviceRecord device = NewDevice();
    const WizardRun run =
        RunWizard([&] { return RunDeviceWizard(&device, nullptr); },
                  [&](QDialog& dlg) {
                    SelectModel(dlg, 3);
                    QVERIFY(Next(dlg));
                    SetText(dlg, ondrel::kLogicalNameEditName, QStringLiteral("甲  "));
                    QVERIFY(Next(dlg));
                    QCOMPARE(platform::ArrayText(device.logicalName), Gbk("甲"));
                    SetText(dlg, ondrel::kPortComboName, QStringLiteral("COM7"));
                    QVERIFY(Back(dlg));
                    QCOMPARE(NextText(dlg), QStringLiteral("下一步"));
                    QCOMPARE(dlg.windowTitle(), ondrel::kStepTitles[1]);
                    QCOMPARE(Text(dlg, ondrel::kLogicalNameEditName), QStringLiteral("甲  "));
                    QCOMPARE(device.portNumber, 1);  // Back writes nothing
                    QVERIFY(Next(dlg));
                    QCOMPARE(Text(dlg, ondrel::kPortComboName), QStringLiteral("COM1"));
                    QVERIFY(Cancel(dlg));
                  });
    QVERIFY(run.messages.isEmpty());
    QCOMPARE(run.result, 0);
  }

  // Cancel on step 2: the model's head and the name are already written, the port is not.
  void cancelOnPortStep() {
    DeviceRecord device = NewDevice();
    const DeviceRecord before = device;
    const WizardRun run =
        RunWizard([&] { return RunDeviceWizard(&device, nullptr); },
                  [&](QDialog& dlg) {
                    SelectModel(dlg, 3);
                    QVERIFY(Next(dlg));
                    SetText(dlg, ondrel::kLogicalNameEditName, QStringLiteral("泵站9"));
                    QVERIFY(Next(dlg));
                    SetText(dlg, ondrel::kPortComboName, QStringLiteral("COM4"));
                    QVERIFY(Cancel(dlg));
                  });
    QCOMPARE(run.result, 0);
    QVERIFY(!run.leftOpen);
    const ondrel::Catalogue catalogue = ondrel::BuildCatalogue();
    QCOMPARE(Bytes(&device.descriptor, 212), Bytes(&catalogue.entries[3], 212));
    QCOMPARE(platform::ArrayText(device.logicalName), Gbk("泵站9"));
    QCOMPARE(Bytes(&device.station, 68 + 16), Bytes(&before.station, 68 + 16));  // 276-359
  }

  // Step 4 shows the record's values, refuses values out of range or not numbers with the range
  // message, and accepts the limits; the hidden check box carries the record's flag.
  void recoveryStrategy() {
    DeviceRecord device = NewDevice();
    device.retryIntervalSec = 7;
    device.recoveryLimitHours = 3;
    device.dynamicOptimization = 0;
    const WizardRun run =
        RunWizard([&] { return RunDeviceWizard(&device, nullptr); },
                  [&](QDialog& dlg) {
                    QVERIFY(WalkToSummary(dlg, Entries{.retry = "7", .recovery = "3"}));
                    QVERIFY(Back(dlg));
                    QCOMPARE(CurrentTemplate(dlg), 142);
                    auto* check = dlg.findChild<QCheckBox*>(ondrel::kOptimizeCheckName);
                    QVERIFY(check != nullptr);
                    QVERIFY(!check->isVisible());
                    QVERIFY(!check->isChecked());
                    const auto refused = [&](const char* retry, const char* recovery) {
                      SetText(dlg, ondrel::kRetryEditName, QString::fromUtf8(retry));
                      SetText(dlg, ondrel::kRecoveryEditName, QString::fromUtf8(recovery));
                      Next(dlg);
                      return CurrentTemplate(dlg) == 142 && device.retryIntervalSec == 7 &&
                             device.recoveryLimitHours == 3;
                    };
                    QVERIFY(refused("31", "3"));
                    QVERIFY(refused("-1", "3"));
                    QVERIFY(refused("abc", "3"));
                    QVERIFY(refused("", "3"));
                    QVERIFY(refused("30", "25"));
                    QVERIFY(refused("30", "99999999999"));
                    SetText(dlg, ondrel::kRetryEditName, QStringLiteral("30"));
                    SetText(dlg, ondrel::kRecoveryEditName, QStringLiteral(" 0 "));
                    QVERIFY(Next(dlg));
                    QCOMPARE(CurrentTemplate(dlg), 143);
                    QCOMPARE(device.retryIntervalSec, 30);
                    QCOMPARE(device.recoveryLimitHours, 0);
                    QCOMPARE(device.dynamicOptimization, 0);
                    QVERIFY(Back(dlg));
                    SetText(dlg, ondrel::kRetryEditName, QStringLiteral("0"));
                    SetText(dlg, ondrel::kRecoveryEditName, QStringLiteral("24"));
                    QVERIFY(Next(dlg));
                    QCOMPARE(device.retryIntervalSec, 0);
                    QCOMPARE(device.recoveryLimitHours, 24);
                    QVERIFY(Cancel(dlg));
                  });
    const QString range30 = QStringLiteral("请输入一个介于 0 和 30 之间的整数。");
    const QString range24 = QStringLiteral("请输入一个介于 0 和 24 之间的整数。");
    const QStringList expected = {range30,
                                  range30,
                                  ondrel::kMsgNotInteger,
                                  ondrel::kMsgNotInteger,
                                  range24,
                                  ondrel::kMsgNotInteger};
    QCOMPARE(run.messages, expected);
  }

  // The driver object of a run is released when Show returns, also after Cancel.
  void driverReleasedWhenShowReturns() {
    // The same module COM loads: the loader finds the file already loaded.
    void* module = dlopen((testing_support::BinDir() / "libOstrel.so").string().c_str(), RTLD_NOW);
    QVERIFY(module != nullptr);
    auto canUnload = reinterpret_cast<DllCanUnloadNowFn>(dlsym(module, "DllCanUnloadNow"));
    QVERIFY(canUnload != nullptr);
    QCOMPARE(canUnload(), S_OK);

    DeviceRecord device = NewDevice();
    HRESULT during = S_OK;
    RunWizard([&] { return RunDeviceWizard(&device, nullptr); },
              [&](QDialog& dlg) {
                SelectModel(dlg, 3);
                QVERIFY(Next(dlg));
                QVERIFY(Back(dlg));
                QVERIFY(Next(dlg));  // a second object replaces the first
                during = canUnload();
                QVERIFY(Cancel(dlg));
              });
    QCOMPARE(during, S_FALSE);
    QCOMPARE(canUnload(), S_OK);
    dlclose(module);
  }

  // Show refuses what it cannot work on, without a window: no record, a call from another
  // thread, and a second wizard started while one runs (its pages would share one session).
  void refusedCalls() {
    QCOMPARE(RunDeviceWizard(nullptr, nullptr), 0);

    DeviceRecord device = NewDevice();
    int fromThread = -1;
    std::thread([&] { fromThread = RunDeviceWizard(&device, nullptr); }).join();
    QCOMPARE(fromThread, 0);

    DeviceRecord inner = NewDevice();
    const DeviceRecord innerBefore = inner;
    int nested = -1;
    const WizardRun run = RunWizard([&] { return RunDeviceWizard(&device, nullptr); },
                                    [&](QDialog& dlg) {
                                      nested = RunDeviceWizard(&inner, nullptr);
                                      QCOMPARE(QApplication::activeModalWidget(), &dlg);
                                      QVERIFY(Cancel(dlg));
                                    });
    QCOMPARE(nested, 0);
    QCOMPARE(run.result, 0);
    QCOMPARE(Bytes(&inner, sizeof inner), Bytes(&innerBefore, sizeof innerBefore));
  }
};

QTEST_MAIN(TestDeviceWizard)
#include "tst_device_wizard.moc"
