// The device wizard with a Modbus driver: the test driver registered by the real regsvr and under
// the Modbus ProgID, beside the real PPI driver. Ports shared by one driver class, the duplicate
// check on normalised addresses, addresses refused on demand, one driver object at a time.
#include <QTest>

#include <cstring>
#include <string>

#include "platform/gbk.h"
#include "plugins/devicewizard/device_catalogue.h"
#include "plugins/devicewizard/device_wizard.h"
#include "plugins/devicewizard/tests/wizard_test_support.h"

using namespace ondrel_test;
using ondrel::RunDeviceWizard;

class TestDeviceWizardModbus : public QObject {
  Q_OBJECT

  RegistryScope registry_;
  WizardTestDriverControl* driver_ = nullptr;

  DeviceRecord ModbusDevice(const char* utf8Name, int port, const char* address) {
    DeviceRecord d = StoredDevice(CLSID_WizardTestDriver, "ZireviVER", utf8Name, port, address);
    d.station.stationNumber = std::atoi(address);
    return d;
  }

 private slots:
  void initTestCase() {
    QVERIFY(registry_.Register("libOstrel.so"));
    QVERIFY(registry_.Register("libWizardTestDriver.so"));
    QVERIFY(ClassOf(kWizardTestDriverProgId) == CLSID_WizardTestDriver);
    QVERIFY(registry_.RegisterTestDriverAsModbus());
    QVERIFY(ClassOf(ondrel::kModbusProgId) == CLSID_WizardTestDriver);
    driver_ = TestDriver();
    QVERIFY(driver_ != nullptr);
  }

  void init() { ResetTestDriver(); }

  // Two Modbus devices share COM1, with different addresses.
  void modbusDevicesSharePort() {
    talvek::DeviceArray devices;
    devices.Add(ModbusDevice("m1", 1, "1"));
    DeviceRecord device = NewDevice();
    const WizardRun run = RunWizard([&] { return RunDeviceWizard(&device, &devices); },
                                    [&](QDialog& dlg) {
                                      Entries entries;
                                      entries.model = 0;
                                      entries.port = QStringLiteral("COM1");
                                      entries.address = QStringLiteral("2");
                                      QVERIFY(WalkToSummary(dlg, entries));
                                      QCOMPARE(Text(dlg, ondrel::kSummaryModelName),
                                               QStringLiteral("新设备为 莫迪康系列 生产的 "
                                                              "ZireviVER "));
                                      QCOMPARE(Text(dlg, ondrel::kSummaryCommKindName),
                                               QStringLiteral("通讯方式: 串口 "));
                                      QVERIFY(Next(dlg));
                                    });
    QVERIFY2(run.messages.isEmpty(), qPrintable(run.messages.join('|')));
    QCOMPARE(run.result, 1);
    QVERIFY(device.descriptor.driverClsid == CLSID_WizardTestDriver);
    QCOMPARE(device.portNumber, 1);
  }

  // A Modbus and an S7-200 device never share a port, whichever came first.
  void modbusAndPpiDoNotSharePort() {
    const CLSID ppi = ClassOf(ondrel::kPpiProgId);
    talvek::DeviceArray devices;
    devices.Add(StoredDevice(ppi, "S7-200(PPI)", "plc", 1, "2"));
    devices.Add(ModbusDevice("meter", 2, "2"));
    DeviceRecord device = NewDevice();
    const WizardRun run =
        RunWizard([&] { return RunDeviceWizard(&device, &devices); },
                  [&](QDialog& dlg) {
                    SelectModel(dlg, 1);  // ModbusTCP: the port step is shown for it too
                    QVERIFY(Next(dlg));
                    SetText(dlg, ondrel::kLogicalNameEditName, QStringLiteral("tcp"));
                    QVERIFY(Next(dlg));
                    // ... and speaks of a network device, not a serial one.
                    QCOMPARE(dlg.windowTitle(), ondrel::kNetworkPortStepTitle);
                    QCOMPARE(Text(dlg, ondrel::kPortPromptName), ondrel::kNetworkPortPrompt);
                    SetText(dlg, ondrel::kPortComboName, QStringLiteral("COM1"));
                    QVERIFY(Next(dlg));
                    QCOMPARE(CurrentTemplate(dlg), 140);
                    // Back to the model step: the S7-200 model may not join the Modbus device's
                    // port.
                    QVERIFY(Back(dlg));
                    QVERIFY(Back(dlg));
                    SelectModel(dlg, 3);
                    QVERIFY(Next(dlg));
                    QVERIFY(Next(dlg));
                    QCOMPARE(dlg.windowTitle(), ondrel::kStepTitles[2]);
                    QCOMPARE(Text(dlg, ondrel::kPortPromptName), ondrel::kSerialPortPrompt);
                    SetText(dlg, ondrel::kPortComboName, QStringLiteral("COM2"));
                    QVERIFY(Next(dlg));
                    QCOMPARE(CurrentTemplate(dlg), 140);
                    SetText(dlg, ondrel::kPortComboName, QStringLiteral("COM1"));
                    QVERIFY(Next(dlg));
                    QCOMPARE(CurrentTemplate(dlg), 141);
                    QVERIFY(Cancel(dlg));
                  });
    QCOMPARE(run.messages, (QStringList{ondrel::kMsgPortTaken, ondrel::kMsgPortTaken}));
  }

  // Stored addresses are the driver's normalised texts: " 02" is station "2" and meets the stored
  // "2" on the same port. The accepted text is stored as the driver returned it.
  void duplicateCheckComparesNormalisedText() {
    talvek::DeviceArray devices;
    devices.Add(ModbusDevice("m1", 1, "2"));
    DeviceRecord device = NewDevice();
    const WizardRun run =
        RunWizard([&] { return RunDeviceWizard(&device, &devices); },
                  [&](QDialog& dlg) {
                    SelectModel(dlg, 0);  // RTU, like the stored device: one framing per line
                    QVERIFY(Next(dlg));
                    SetText(dlg, ondrel::kLogicalNameEditName, QStringLiteral("m2"));
                    QVERIFY(Next(dlg));
                    QVERIFY(Next(dlg));  // COM1, the record's
                    for (const QString& same :
                         {QStringLiteral(" 02"), QStringLiteral("2 "), QStringLiteral("002")}) {
                      SetText(dlg, ondrel::kAddressEditName, same);
                      QVERIFY(Next(dlg));
                      QCOMPARE(CurrentTemplate(dlg), 141);
                    }
                    SetText(dlg, ondrel::kAddressEditName, QStringLiteral(" 0012"));
                    QVERIFY(Next(dlg));
                    QCOMPARE(CurrentTemplate(dlg), 142);
                    QCOMPARE(device.station.stationNumber, 12);
                    QCOMPARE(QByteArray(device.station.addressText, 4), QByteArray("12\0\0", 4));
                    QVERIFY(Cancel(dlg));
                  });
    const QStringList expected(3, ondrel::kMsgAddressTaken);
    QCOMPARE(run.messages, expected);
    QCOMPARE(driver_->parseCalls, 4);
  }

  // The driver refuses on demand; the typed text reaches it as GBK.
  void driverRefusesAddress() {
    driver_->refuseAddresses = 1;
    DeviceRecord device = NewDevice();
    const WizardRun run =
        RunWizard([&] { return RunDeviceWizard(&device, nullptr); },
                  [&](QDialog& dlg) {
                    SelectModel(dlg, 0);
                    QVERIFY(Next(dlg));
                    QVERIFY(Next(dlg));
                    QVERIFY(Next(dlg));
                    SetText(dlg, ondrel::kAddressEditName, QStringLiteral("站 7"));
                    QVERIFY(Next(dlg));
                    QCOMPARE(CurrentTemplate(dlg), 141);
                    driver_->refuseAddresses = 0;
                    SetText(dlg, ondrel::kAddressEditName, QStringLiteral("7"));
                    QVERIFY(Next(dlg));
                    QCOMPARE(CurrentTemplate(dlg), 142);
                    QVERIFY(Cancel(dlg));
                  });
    QCOMPARE(run.messages, QStringList{ondrel::kMsgAddressBad});
    QCOMPARE(driver_->parseCalls, 2);
    QCOMPARE(device.station.stationNumber, 7);
  }

  // One driver object at a time: going back to step 0 and on again replaces it; the last one is
  // released when Show returns, after Finish as after Cancel.
  void oneDriverObjectAtATime() {
    for (const bool finish : {true, false}) {
      ResetTestDriver();
      DeviceRecord device = NewDevice();
      int liveOnSummary = -1;
      const WizardRun run =
          RunWizard([&] { return RunDeviceWizard(&device, nullptr); },
                    [&](QDialog& dlg) {
                      SelectModel(dlg, 0);
                      QVERIFY(Next(dlg));
                      QCOMPARE(driver_->liveObjects, 1);
                      QVERIFY(Back(dlg));
                      SelectModel(dlg, 2);
                      QVERIFY(Next(dlg));
                      QCOMPARE(driver_->createdObjects, 2);
                      QCOMPARE(driver_->liveObjects, 1);
                      QVERIFY(Back(dlg));
                      SelectModel(dlg, 3);  // the PPI driver replaces the test driver's object
                      QVERIFY(Next(dlg));
                      QCOMPARE(driver_->liveObjects, 0);
                      QVERIFY(Back(dlg));
                      // A serial model: the test driver takes only station numbers, which a
                      // TCP device's address may not be.
                      SelectModel(dlg, 0);
                      Entries entries;
                      entries.model = 0;
                      QVERIFY(WalkToSummary(dlg, entries));
                      liveOnSummary = driver_->liveObjects;
                      if (finish) {
                        QVERIFY(Next(dlg));
                      } else {
                        QVERIFY(Cancel(dlg));
                      }
                    });
      QCOMPARE(run.result, finish ? 1 : 0);
      QCOMPARE(liveOnSummary, 1);
      QCOMPARE(driver_->createdObjects, 3);
      QCOMPARE(driver_->liveObjects, 0);
    }
  }
};

QTEST_MAIN(TestDeviceWizardModbus)
#include "tst_device_wizard_modbus.moc"
