// The device wizard with the real Modbus driver (libZireviVer.so) registered by the real regsvr:
// its three models install, the driver's own address rules decide step 3 (serial stations, TCP
// "host[:port]#unit" stored in the normalised form), normalised TCP addresses are unique on a
// port, and RTU and ASCII devices never share a serial port.
#include <QLabel>
#include <QPushButton>
#include <QTest>

#include <cstdio>
#include <cstring>
#include <string>

#include "common/testing/modbus_peer.h"
#include "platform/gbk.h"
#include "plugins/devicewizard/connection_test.h"
#include "plugins/devicewizard/device_catalogue.h"
#include "plugins/devicewizard/device_wizard.h"
#include "plugins/devicewizard/tests/wizard_test_support.h"

using namespace ondrel_test;
using ondrel::RunDeviceWizard;

namespace {

// {6A0C2B7E-3F51-4D8A-9C1E-5B2D7E4F8A10}: the class the Modbus module registers.
constexpr CLSID kModbusDriver = {
    0x6A0C2B7E, 0x3F51, 0x4D8A, {0x9C, 0x1E, 0x5B, 0x2D, 0x7E, 0x4F, 0x8A, 0x10}};

// Model list entries.
constexpr int kRtu = 0;
constexpr int kTcp = 1;
constexpr int kAscii = 2;

// A Modbus device as the wizard stores it: the catalogue entry's descriptor (with the registered
// class), `port`, and the driver's normalised address text.
DeviceRecord ModbusDevice(int entry, const char* name, int port, const char* address, int station) {
  const ondrel::Catalogue catalogue = ondrel::BuildCatalogue();
  DeviceRecord d = NewDevice();
  std::memcpy(&d.descriptor, &catalogue.entries[entry], sizeof d.descriptor);
  platform::CopyToArray(d.logicalName, Gbk(name));
  d.portNumber = port;
  platform::CopyToArray(d.station.addressText, address);
  d.station.stationNumber = station;
  return d;
}

// Leaves steps 0 to 2 with the given model, name and port; true when step 3 is on show.
bool WalkToAddress(QDialog& dlg, int model, const QString& name, const QString& port) {
  SelectModel(dlg, model);
  if (!Next(dlg)) {
    return false;
  }
  SetText(dlg, ondrel::kLogicalNameEditName, name);
  if (!Next(dlg)) {
    return false;
  }
  SetText(dlg, ondrel::kPortComboName, port);
  return Next(dlg) && CurrentTemplate(dlg) == 141;
}

}  // namespace

class TestDeviceWizardZirevi : public QObject {
  Q_OBJECT

  RegistryScope registry_;

 private slots:
  void initTestCase() {
    QVERIFY(registry_.Register("libOstrel.so"));
    QVERIFY(registry_.Register("libZireviVer.so"));
    QVERIFY(ClassOf(ondrel::kModbusProgId) == kModbusDriver);
  }

  // Each Modbus model creates the real driver on leaving step 0 (no "驱动加载失败"), and its
  // address is stored as the driver normalised it, with the station number it parsed.
  void installsEachModel_data() {
    QTest::addColumn<int>("model");
    QTest::addColumn<QString>("typed");
    QTest::addColumn<QByteArray>("stored");
    QTest::addColumn<int>("station");
    QTest::addColumn<QString>("summaryModel");
    QTest::addColumn<QString>("summaryCommKind");
    QTest::newRow("RTU") << kRtu << "3" << QByteArray("3") << 3
                         << "新设备为 莫迪康系列 生产的 ZireviVER "
                         << "通讯方式: 串口 ";
    QTest::newRow("TCP") << kTcp << "192.168.1.20#4" << QByteArray("192.168.1.20:502#4") << 4
                         << "新设备为 莫迪康系列 生产的 ModbusTCP "
                         << "通讯方式: TCP/IP ";
    QTest::newRow("ASCII") << kAscii << "3" << QByteArray("3") << 3
                           << "新设备为 莫迪康系列 生产的 ModbusASCII "
                           << "通讯方式: Ascii ";
  }

  void installsEachModel() {
    QFETCH(int, model);
    QFETCH(QString, typed);
    QFETCH(QByteArray, stored);
    QFETCH(int, station);
    QFETCH(QString, summaryModel);
    QFETCH(QString, summaryCommKind);
    DeviceRecord device = NewDevice();
    QString summaryAddress;
    QString modelLine;
    QString commKindLine;
    const WizardRun run = RunWizard([&] { return RunDeviceWizard(&device, nullptr); },
                                    [&](QDialog& dlg) {
                                      Entries entries;
                                      entries.model = model;
                                      entries.name = QStringLiteral("仪表");
                                      entries.port = QStringLiteral("COM3");
                                      entries.address = typed;
                                      QVERIFY(WalkToSummary(dlg, entries));
                                      modelLine = Text(dlg, ondrel::kSummaryModelName);
                                      commKindLine = Text(dlg, ondrel::kSummaryCommKindName);
                                      summaryAddress = Text(dlg, ondrel::kSummaryAddressName);
                                      QVERIFY(Next(dlg));
                                    });
    QVERIFY2(run.messages.isEmpty(), qPrintable(run.messages.join('|')));
    QVERIFY(!run.timedOut);
    QCOMPARE(run.result, 1);
    QCOMPARE(modelLine, summaryModel);
    QCOMPARE(commKindLine, summaryCommKind);
    QCOMPARE(summaryAddress, QStringLiteral("设备地址: %1 ").arg(QString::fromLatin1(stored)));

    QVERIFY(device.descriptor.driverClsid == kModbusDriver);
    QCOMPARE(device.descriptor.linkKind, model == kTcp ? uint16_t{kLinkTcpIp} : uint16_t{1});
    QCOMPARE(device.portNumber, 3);
    QCOMPARE(device.station.stationNumber, station);
    // The whole 64-byte text: the normalised form, then zeros.
    QByteArray expected = stored;
    expected.resize(sizeof device.station.addressText, '\0');
    QCOMPARE(QByteArray(device.station.addressText, sizeof device.station.addressText), expected);
  }

  // Texts the driver refuses keep the wizard on step 3 with "地址格式错误", for every model: a
  // station outside 1..247, a TCP port beyond 65535, and no text at all. A TCP device's address
  // without a host (the driver would take "5" as a serial station) is refused by the wizard
  // itself, naming the form.
  void refusesBadAddresses() {
    for (const int model : {kRtu, kTcp, kAscii}) {
      DeviceRecord device = NewDevice();
      const bool tcp = model == kTcp;
      const WizardRun run = RunWizard(
          [&] { return RunDeviceWizard(&device, nullptr); },
          [&](QDialog& dlg) {
            QVERIFY(WalkToAddress(dlg, model, QStringLiteral("m"), QStringLiteral("COM1")));
            for (const char* bad : {"0", "300", "host:99999#1", "", "192.168.1.20#256"}) {
              SetText(dlg, ondrel::kAddressEditName, QString::fromLatin1(bad));
              QVERIFY(Next(dlg));
              QVERIFY2(CurrentTemplate(dlg) == 141, bad);
            }
            if (tcp) {
              for (const char* noHost : {"5", ":502#1", "#3"}) {
                SetText(dlg, ondrel::kAddressEditName, QString::fromLatin1(noHost));
                QVERIFY(Next(dlg));
                QVERIFY2(CurrentTemplate(dlg) == 141, noHost);
              }
            }
            QVERIFY(Cancel(dlg));
          });
      const QString& host = ondrel::kMsgTcpHost;
      const QString& bad = ondrel::kMsgAddressBad;
      const QStringList expected =
          tcp ? QStringList{host, host, bad, host, bad, host, host, host} : QStringList(5, bad);
      QCOMPARE(run.messages, expected);
      QCOMPARE(run.result, 0);
      // Nothing of a refused text reached the record.
      QCOMPARE(device.station.addressText[0], '\0');
      QCOMPARE(device.station.stationNumber, 0);
    }
  }

  // "测试连接" opens the port with the settings the workbench handed and asks the station once: a
  // served unit answers, an unserved one fails with the time-out, and nothing is tried while
  // communication runs or without settings.
  void testsTheConnection() {
    std::string why;
    QVERIFY2(testing_support::ModbusPeer::CanRun(&why), why.c_str());
    testing_support::ModbusPeer peer;
    QVERIFY2(peer.StartTcp({1}), peer.Error().c_str());
    CommSettings com1{};
    std::snprintf(com1.portName, sizeof com1.portName, "Com1");
    com1.baudRate = 9600;
    com1.dataBits = 8;
    com1.timeoutMs = 300;
    const QString served = QStringLiteral("127.0.0.1:%1#1").arg(peer.Port());
    const QString unserved = QStringLiteral("127.0.0.1:%1#9").arg(peer.Port());
    auto result = [](QDialog& dlg) {
      return dlg.findChild<QLabel*>(QString::fromLatin1(ondrel::kTestResultLabelName))->text();
    };
    auto test = [](QDialog& dlg) {
      QTest::mouseClick(
          dlg.findChild<QPushButton*>(QString::fromLatin1(ondrel::kTestConnectionButtonName)),
          Qt::LeftButton);
    };
    for (const int running : {0, 1}) {
      ondrel::SetPortSettings(&com1, 1, running);
      DeviceRecord device = NewDevice();
      const WizardRun run = RunWizard(
          [&] { return RunDeviceWizard(&device, nullptr); },
          [&](QDialog& dlg) {
            QVERIFY(WalkToAddress(dlg, kTcp, QStringLiteral("t"), QStringLiteral("COM1")));
            SetText(dlg, ondrel::kAddressEditName, served);
            test(dlg);
            if (running != 0) {
              QVERIFY(result(dlg).isEmpty());
            } else {
              QTRY_VERIFY_WITH_TIMEOUT(result(dlg).startsWith(QStringLiteral("连接成功")), 5000);
              SetText(dlg, ondrel::kAddressEditName, unserved);
              test(dlg);
              QTRY_VERIFY_WITH_TIMEOUT(result(dlg).startsWith(QStringLiteral("连接失败")), 5000);
            }
            QVERIFY(Cancel(dlg));
          });
      QCOMPARE(run.messages,
               running != 0 ? QStringList{ondrel::kMsgTestWhileRunning} : QStringList{});
    }
    // A wizard the workbench told nothing about the ports.
    ondrel::SetPortSettings(nullptr, 0, 0);
    DeviceRecord device = NewDevice();
    const WizardRun run =
        RunWizard([&] { return RunDeviceWizard(&device, nullptr); },
                  [&](QDialog& dlg) {
                    QVERIFY(WalkToAddress(dlg, kTcp, QStringLiteral("t"), QStringLiteral("COM1")));
                    SetText(dlg, ondrel::kAddressEditName, served);
                    test(dlg);
                    QVERIFY(Cancel(dlg));
                  });
    QCOMPARE(run.messages, QStringList{ondrel::kMsgTestNoSettings});
  }

  // A TCP address is compared in its normalised form: "192.168.1.20#4" and " 192.168.1.20 : 502
  // # 4" are the stored "192.168.1.20:502#4" on the same port. Another unit, or the same address
  // on another port, is accepted.
  void duplicateTcpAddressOnOnePort() {
    talvek::DeviceArray devices;
    devices.Add(ModbusDevice(kTcp, "tcp1", 1, "192.168.1.20:502#4", 4));
    for (const bool samePort : {true, false}) {
      DeviceRecord device = NewDevice();
      const WizardRun run = RunWizard(
          [&] { return RunDeviceWizard(&device, &devices); },
          [&](QDialog& dlg) {
            QVERIFY(WalkToAddress(dlg, kTcp, QStringLiteral("tcp2"),
                                  samePort ? QStringLiteral("COM1") : QStringLiteral("COM2")));
            if (samePort) {
              for (const char* same :
                   {"192.168.1.20#4", " 192.168.1.20 : 502 # 4", "192.168.1.20:502#4"}) {
                SetText(dlg, ondrel::kAddressEditName, QString::fromLatin1(same));
                QVERIFY(Next(dlg));
                QVERIFY2(CurrentTemplate(dlg) == 141, same);
              }
              SetText(dlg, ondrel::kAddressEditName, QStringLiteral("192.168.1.20#5"));
            } else {
              SetText(dlg, ondrel::kAddressEditName, QStringLiteral("192.168.1.20#4"));
            }
            QVERIFY(Next(dlg));
            QCOMPARE(CurrentTemplate(dlg), 142);
            QVERIFY(Cancel(dlg));
          });
      QCOMPARE(run.messages, samePort ? QStringList(3, ondrel::kMsgAddressTaken) : QStringList());
      QCOMPARE(platform::ArrayText(device.station.addressText),
               std::string_view(samePort ? "192.168.1.20:502#5" : "192.168.1.20:502#4"));
    }
  }

  // One serial line carries one framing. An ASCII device is refused on a port that has an RTU
  // device, and the other way round, with a message naming what is there; the same framing and
  // TCP devices may join, and another port is accepted.
  void rtuAndAsciiDoNotSharePort() {
    talvek::DeviceArray devices;
    devices.Add(ModbusDevice(kRtu, "rtu", 1, "1", 1));
    devices.Add(ModbusDevice(kAscii, "ascii", 2, "1", 1));

    struct Case {
      int model;
      QStringList refusedMessages;  // COM1 then COM2
      const char* acceptedPort;
    };
    const Case cases[] = {
        {kAscii, {ondrel::kMsgPortHasRtu}, "COM2"},
        {kRtu, {ondrel::kMsgPortHasAscii}, "COM1"},
    };
    for (const Case& c : cases) {
      DeviceRecord device = NewDevice();
      const WizardRun run =
          RunWizard([&] { return RunDeviceWizard(&device, &devices); },
                    [&](QDialog& dlg) {
                      SelectModel(dlg, c.model);
                      QVERIFY(Next(dlg));
                      SetText(dlg, ondrel::kLogicalNameEditName, QStringLiteral("new"));
                      QVERIFY(Next(dlg));
                      // The port of the other framing first.
                      SetText(dlg, ondrel::kPortComboName,
                              c.model == kAscii ? QStringLiteral("COM1") : QStringLiteral("COM2"));
                      QVERIFY(Next(dlg));
                      QCOMPARE(CurrentTemplate(dlg), 140);
                      SetText(dlg, ondrel::kPortComboName, QString::fromLatin1(c.acceptedPort));
                      QVERIFY(Next(dlg));
                      QCOMPARE(CurrentTemplate(dlg), 141);
                      QVERIFY(Cancel(dlg));
                    });
      QCOMPARE(run.messages, c.refusedMessages);
      // The refused port was never written; the accepted one was.
      QCOMPARE(device.portNumber, QByteArray(c.acceptedPort).back() - '0');
    }

    // A TCP device joins either port: it puts nothing on the serial line.
    for (const char* port : {"COM1", "COM2"}) {
      DeviceRecord device = NewDevice();
      const WizardRun run = RunWizard(
          [&] { return RunDeviceWizard(&device, &devices); },
          [&](QDialog& dlg) {
            QVERIFY(WalkToAddress(dlg, kTcp, QStringLiteral("tcp"), QString::fromLatin1(port)));
            QVERIFY(Cancel(dlg));
          });
      QVERIFY2(run.messages.isEmpty(), qPrintable(run.messages.join('|')));
    }

    // Re-configuring the RTU device in the table as ASCII on its own port: nothing else is there.
    const WizardRun run = RunWizard([&] { return RunDeviceWizard(&devices[0], &devices); },
                                    [&](QDialog& dlg) {
                                      QCOMPARE(SelectedModel(dlg), kRtu);
                                      SelectModel(dlg, kAscii);
                                      QVERIFY(Next(dlg));
                                      QVERIFY(Next(dlg));  // the name is its own
                                      QVERIFY(Next(dlg));  // COM1
                                      QCOMPARE(CurrentTemplate(dlg), 141);
                                      QVERIFY(Cancel(dlg));
                                    });
    QVERIFY2(run.messages.isEmpty(), qPrintable(run.messages.join('|')));
  }
};

QTEST_MAIN(TestDeviceWizardZirevi)
#include "tst_device_wizard_zirevi.moc"
