// The wizard's text rules and uniqueness checks, without widgets.
#include <QTest>

#include <climits>
#include <cstring>
#include <iterator>
#include <string>

#include "common/testing/test_support.h"
#include "platform/gbk.h"
#include "platform/registry.h"
#include "plugins/devicewizard/device_catalogue.h"
#include "plugins/devicewizard/device_checks.h"
#include "plugins/devicewizard/device_wizard.h"

using namespace ondrel;

namespace {

constexpr CLSID kDriverA = {0x11111111, 0x1111, 0x1111, {1, 1, 1, 1, 1, 1, 1, 1}};
constexpr CLSID kDriverB = {0x22222222, 0x2222, 0x2222, {2, 2, 2, 2, 2, 2, 2, 2}};

DeviceRecord Device(const CLSID& clsid, const char* gbkName, int port, const char* address) {
  DeviceRecord d;
  std::memset(&d, 0, sizeof d);
  d.descriptor.driverClsid = clsid;
  platform::CopyToArray(d.logicalName, gbkName);
  d.portNumber = port;
  platform::CopyToArray(d.station.addressText, address);
  return d;
}

}  // namespace

class TestDeviceChecks : public QObject {
  Q_OBJECT

  testing_support::TempDir config_;
  testing_support::ScopedEnv env_{"TALVEK_CONFIG_DIR", config_.str()};

 private slots:
  // An empty registry store: no driver class is registered.
  void initTestCase() { platform::Registry::Instance().Reload(); }

  void portNumber_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<int>("port");
    QTest::newRow("listed") << "COM1" << 1;
    QTest::newRow("last listed") << "COM128" << 128;
    QTest::newRow("lower case, blanks") << " com12 " << 12;
    QTest::newRow("leading zeros") << "COM007" << 7;
    QTest::newRow("beyond the list") << "COM129" << 0;
    QTest::newRow("far beyond") << "COM99999999999" << 0;
    QTest::newRow("zero") << "COM0" << 0;
    QTest::newRow("digits then letters") << "COM12abc" << 0;
    QTest::newRow("a letter") << "COMX" << 0;
    QTest::newRow("no number") << "COM" << 0;
    QTest::newRow("a bare digit") << "1" << 0;
    QTest::newRow("a bare number") << "1234" << 0;
    QTest::newRow("empty") << "" << 0;
    QTest::newRow("negative") << "COM-3" << 0;
    QTest::newRow("another prefix") << "tty7" << 0;
    QTest::newRow("Chinese prefix of three") << "串口号5" << 0;
    QTest::newRow("blank inside") << "COM 5" << 0;
  }
  void portNumber() {
    QFETCH(QString, text);
    QFETCH(int, port);
    QCOMPARE(ParsePortNumber(text), port);
  }

  void addressForm_data() {
    QTest::addColumn<QByteArray>("model");
    QTest::addColumn<QByteArray>("text");
    QTest::addColumn<int>("form");
    const int ok = int(AddressForm::kOk);
    const int ppi = int(AddressForm::kPpiStation);
    const int tcp = int(AddressForm::kTcpHost);
    QTest::newRow("ppi 2") << QByteArray("S7-200(PPI)") << QByteArray(" 2 ") << ok;
    QTest::newRow("ppi 0") << QByteArray("S7-200(PPI)") << QByteArray("0") << ok;
    QTest::newRow("ppi 126, zeros") << QByteArray("s7-200(ppi)") << QByteArray("000126") << ok;
    QTest::newRow("ppi 127") << QByteArray("S7-200(PPI)") << QByteArray("127") << ppi;
    QTest::newRow("ppi 200") << QByteArray("S7-200(PPI)") << QByteArray("200") << ppi;
    QTest::newRow("ppi huge") << QByteArray("S7-200(PPI)") << QByteArray("99999999999") << ppi;
    QTest::newRow("ppi sign") << QByteArray("S7-200(PPI)") << QByteArray("-1") << ppi;
    QTest::newRow("ppi empty") << QByteArray("S7-200(PPI)") << QByteArray("") << ppi;
    QTest::newRow("tcp full") << QByteArray("ModbusTCP") << QByteArray("192.168.1.20:502#1") << ok;
    QTest::newRow("tcp host only") << QByteArray("ModbusTCP") << QByteArray("plc-3") << ok;
    QTest::newRow("tcp ipv6") << QByteArray("ModbusTCP") << QByteArray("[::1]:1502#3") << ok;
    QTest::newRow("tcp bare number") << QByteArray("ModbusTCP") << QByteArray("5") << tcp;
    QTest::newRow("tcp number#unit") << QByteArray("ModbusTCP") << QByteArray("5#1") << tcp;
    QTest::newRow("tcp no host") << QByteArray("ModbusTCP") << QByteArray(":502#1") << tcp;
    QTest::newRow("tcp empty brackets") << QByteArray("ModbusTCP") << QByteArray("[]:502") << tcp;
    QTest::newRow("tcp empty") << QByteArray("ModbusTCP") << QByteArray(" ") << tcp;
    QTest::newRow("rtu number") << QByteArray("ZireviVER") << QByteArray("5") << ok;
  }
  // The wizard checks the form the model needs; the driver parses without knowing the model.
  void addressForm() {
    QFETCH(QByteArray, model);
    QFETCH(QByteArray, text);
    QFETCH(int, form);
    QCOMPARE(int(CheckAddressForm(model.toStdString(), text.toStdString())), form);
  }

  // A name fills at most 63 bytes of GBK, so the 64-byte array keeps its NUL; a Chinese character
  // is two bytes and is never cut: a longer name is refused whole.
  void logicalNameLimits() {
    std::string gbk;
    QCOMPARE(EncodeLogicalName(QString(63, u'a'), gbk), TextStatus::kOk);
    QCOMPARE(gbk.size(), size_t{63});
    QCOMPARE(EncodeLogicalName(QString(64, u'a'), gbk), TextStatus::kTooLong);

    const QString han31 = QString(31, QChar(0x6CF5));  // 31 x "泵" = 62 bytes
    QCOMPARE(EncodeLogicalName(han31 + u'x', gbk), TextStatus::kOk);
    QCOMPARE(gbk.size(), size_t{63});
    QCOMPARE(EncodeLogicalName(han31 + QChar(0x6CF5), gbk), TextStatus::kTooLong);  // 64 bytes

    // Trailing blanks do not count, leading ones do.
    QCOMPARE(EncodeLogicalName(QString(63, u'a') + QStringLiteral("  \t"), gbk), TextStatus::kOk);
    QCOMPARE(gbk, std::string(63, 'a'));
    QCOMPARE(EncodeLogicalName(QStringLiteral("  泵 "), gbk), TextStatus::kOk);
    QCOMPARE(gbk, "  " + platform::Utf8ToGbk("泵"));
    QCOMPARE(EncodeLogicalName(QString(), gbk), TextStatus::kOk);
    QVERIFY(gbk.empty());
  }

  void textsWithoutGbkForm() {
    std::string gbk;
    QCOMPARE(EncodeLogicalName(QStringLiteral("泵站😀"), gbk), TextStatus::kNotGbk);
    QCOMPARE(EncodeLogicalName(QStringLiteral("a") + QChar(u'\0') + QStringLiteral("b"), gbk),
             TextStatus::kNotGbk);
    QVERIFY(!EncodeGbk(QStringLiteral("2😀"), gbk));
    QVERIFY(EncodeGbk(QStringLiteral("站 02"), gbk));
    QCOMPARE(gbk, platform::Utf8ToGbk("站 02"));
  }

  // A damaged record still shows its readable part.
  void decodeDamagedGbk() {
    QCOMPARE(DecodeGbk(platform::Utf8ToGbk("西门子")), QStringLiteral("西门子"));
    QCOMPARE(DecodeGbk(std::string("ab\xFF") + platform::Utf8ToGbk("泵")),
             QStringLiteral("ab\uFFFD泵"));
    QCOMPARE(DecodeGbk(std::string("x\xB1")), QStringLiteral("x\uFFFD"));  // a cut character
  }

  // Every check skips the element at the edited record's address, and only that element.
  void checksSkipOnlyTheEditedRecord() {
    talvek::DeviceArray devices;
    devices.Add(Device(kDriverA, "pump", 1, "2"));
    devices.Add(Device(kDriverA, "valve", 1, "3"));
    const DeviceRecord* self = &devices[0];
    QVERIFY(!LogicalNameTaken(&devices, self, "pump"));
    QVERIFY(LogicalNameTaken(&devices, self, "valve"));
    QVERIFY(!AddressTaken(&devices, self, 1, "2", "2"));
    QVERIFY(AddressTaken(&devices, self, 1, "3", "3"));
    QVERIFY(PortTakenByOtherDriver(&devices, self, 1, kDriverB));  // valve: class A on port 1

    // A separate record with the same contents as an element is not that element.
    const DeviceRecord copy = devices[0];
    QVERIFY(LogicalNameTaken(&devices, &copy, "pump"));

    QVERIFY(!LogicalNameTaken(nullptr, &copy, "pump"));
    QVERIFY(!AddressTaken(nullptr, &copy, 1, "2", "2"));
    QVERIFY(!PortTakenByOtherDriver(nullptr, &copy, 1, kDriverB));
  }

  void namesCompareByteForByte() {
    talvek::DeviceArray devices;
    devices.Add(Device(kDriverA, "Pump", 1, "2"));
    DeviceRecord fresh = Device(kDriverA, "", 1, "");
    QVERIFY(LogicalNameTaken(&devices, &fresh, "Pump"));
    QVERIFY(!LogicalNameTaken(&devices, &fresh, "pump"));
    QVERIFY(!LogicalNameTaken(&devices, &fresh, "Pump "));
    QVERIFY(!LogicalNameTaken(&devices, &fresh, "Pum"));
  }

  void portsShareOnlyWithinOneDriverClass() {
    talvek::DeviceArray devices;
    devices.Add(Device(kDriverA, "a", 1, "2"));
    DeviceRecord fresh = Device(kDriverB, "", 1, "");
    QVERIFY(PortTakenByOtherDriver(&devices, &fresh, 1, kDriverB));
    QVERIFY(!PortTakenByOtherDriver(&devices, &fresh, 1, kDriverA));
    QVERIFY(!PortTakenByOtherDriver(&devices, &fresh, 2, kDriverB));
  }

  void serialFramingOfModels_data() {
    QTest::addColumn<QString>("model");
    QTest::addColumn<int>("framing");
    const int none = static_cast<int>(SerialFraming::kNone);
    const int rtu = static_cast<int>(SerialFraming::kRtu);
    const int ascii = static_cast<int>(SerialFraming::kAscii);
    QTest::newRow("RTU") << "ZireviVER" << rtu;
    QTest::newRow("RTU, other case") << "zireviver" << rtu;
    QTest::newRow("ASCII") << "ModbusASCII" << ascii;
    QTest::newRow("ASCII, list text's case") << "ModbusAscii" << ascii;
    QTest::newRow("surrounding blanks") << " ModbusASCII\t" << ascii;
    QTest::newRow("TCP") << "ModbusTCP" << none;
    QTest::newRow("PPI") << "S7-200(PPI)" << none;
    QTest::newRow("a prefix") << "ZireviVE" << none;
    QTest::newRow("longer") << "ModbusASCII2" << none;
    QTest::newRow("empty") << "" << none;
  }

  void serialFramingOfModels() {
    QFETCH(QString, model);
    QFETCH(int, framing);
    const std::string text = model.toStdString();
    QCOMPARE(static_cast<int>(SerialFramingOfModel(text)), framing);
  }

  // One serial line carries RTU or ASCII frames, never both: a device of one serial framing is
  // refused on a port where a device of the same driver class uses the other, and the answer
  // names the framing that is already there. TCP devices, other ports, other driver classes and
  // the edited record itself never count.
  void serialFramingsDoNotMixOnOnePort() {
    const auto modbus = [](const char* model, int port) {
      DeviceRecord d = Device(kDriverA, "", port, "1");
      platform::CopyToArray(d.descriptor.model, model);
      return d;
    };
    talvek::DeviceArray devices;
    devices.Add(modbus("ZireviVER", 1));
    devices.Add(modbus("ModbusASCII", 2));
    devices.Add(modbus("ModbusTCP", 3));
    DeviceRecord other = modbus("S7-200(PPI)", 4);
    other.descriptor.driverClsid = kDriverB;
    devices.Add(other);
    devices.Add(modbus("modbusascii", 5));

    const DeviceRecord rtu = modbus("ZireviVER", 0);
    const DeviceRecord ascii = modbus("ModbusAscii", 0);
    const DeviceRecord tcp = modbus("ModbusTCP", 0);
    QCOMPARE(SerialFramingConflict(&devices, &ascii, 1, ascii.descriptor), SerialFraming::kRtu);
    QCOMPARE(SerialFramingConflict(&devices, &rtu, 2, rtu.descriptor), SerialFraming::kAscii);
    QCOMPARE(SerialFramingConflict(&devices, &rtu, 5, rtu.descriptor), SerialFraming::kAscii);
    // The same framing shares the port.
    QCOMPARE(SerialFramingConflict(&devices, &rtu, 1, rtu.descriptor), SerialFraming::kNone);
    QCOMPARE(SerialFramingConflict(&devices, &ascii, 2, ascii.descriptor), SerialFraming::kNone);
    // TCP devices put nothing on the line, whichever comes first.
    QCOMPARE(SerialFramingConflict(&devices, &tcp, 1, tcp.descriptor), SerialFraming::kNone);
    QCOMPARE(SerialFramingConflict(&devices, &rtu, 3, rtu.descriptor), SerialFraming::kNone);
    QCOMPARE(SerialFramingConflict(&devices, &ascii, 3, ascii.descriptor), SerialFraming::kNone);
    // Another port, or a model of another driver class.
    QCOMPARE(SerialFramingConflict(&devices, &ascii, 6, ascii.descriptor), SerialFraming::kNone);
    QCOMPARE(SerialFramingConflict(&devices, &rtu, 4, rtu.descriptor), SerialFraming::kNone);
    DeviceRecord foreignAscii = ascii;
    foreignAscii.descriptor.driverClsid = kDriverB;
    QCOMPARE(SerialFramingConflict(&devices, &foreignAscii, 1, foreignAscii.descriptor),
             SerialFraming::kNone);

    // Re-configuring the RTU device on port 1 as ASCII: it does not stand in its own way.
    QCOMPARE(SerialFramingConflict(&devices, &devices[0], 1, ascii.descriptor),
             SerialFraming::kNone);
    QCOMPARE(SerialFramingConflict(nullptr, &ascii, 1, ascii.descriptor), SerialFraming::kNone);
  }

  // Stored addresses are the driver's normalised texts: " 02" normalised to "2" meets a stored "2"
  // on the same port; a typed text equal to a stored one is caught as well.
  void addressesCompareNormalisedTexts() {
    talvek::DeviceArray devices;
    devices.Add(Device(kDriverA, "a", 1, "2"));
    DeviceRecord fresh = Device(kDriverA, "", 1, "");
    QVERIFY(AddressTaken(&devices, &fresh, 1, "2", " 02"));
    QVERIFY(AddressTaken(&devices, &fresh, 1, "02", "2"));
    QVERIFY(!AddressTaken(&devices, &fresh, 1, "3", "3"));
    QVERIFY(!AddressTaken(&devices, &fresh, 2, "2", "2"));  // another port
  }

  // A stored text that fills its array without a NUL is read within the array.
  void unterminatedArraysStayInside() {
    talvek::DeviceArray devices;
    DeviceRecord full = Device(kDriverA, "", 1, "");
    std::memset(full.logicalName, 'n', sizeof full.logicalName);
    std::memset(full.station.addressText, '7', sizeof full.station.addressText);
    devices.Add(full);
    DeviceRecord fresh = Device(kDriverA, "", 1, "");
    QVERIFY(LogicalNameTaken(&devices, &fresh, std::string(64, 'n')));
    QVERIFY(!LogicalNameTaken(&devices, &fresh, std::string(63, 'n')));
    QVERIFY(AddressTaken(&devices, &fresh, 1, std::string(64, '7'), ""));

    const SummaryLines lines = FormatSummary(full);
    QCOMPARE(lines.address, platform::Utf8ToGbk("设备地址: ") + std::string(64, '7') + " ");
  }

  void summaryLines() {
    DeviceRecord d = Device(kDriverA, "", 1, "5");
    platform::CopyToArray(d.descriptor.manufacturer, platform::Utf8ToGbk("西门子"));
    platform::CopyToArray(d.descriptor.model, "S7-200(PPI)");
    platform::CopyToArray(d.descriptor.commKind, "PPI");
    platform::CopyToArray(d.logicalName, platform::Utf8ToGbk("泵站1"));
    const SummaryLines lines = FormatSummary(d);
    QCOMPARE(lines.model, platform::Utf8ToGbk("新设备为 西门子 生产的 S7-200(PPI) "));
    QCOMPARE(lines.name, platform::Utf8ToGbk("设备逻辑名: 泵站1 "));
    QCOMPARE(lines.address, platform::Utf8ToGbk("设备地址: 5 "));
    QCOMPARE(lines.commKind, platform::Utf8ToGbk("通讯方式: PPI "));
  }

  // Without registered drivers the entries keep their texts and a zero driver class.
  void catalogueWithoutDrivers() {
    const Catalogue catalogue = BuildCatalogue();
    const char* const lists[] = {"ZireviVER",        "ModbusTcp",   "ModbusAscii",
                                 "S7-200(PPI)",      "S7-200(TCP)", "S7-300/400(TCP)",
                                 "S7-1200/1500(TCP)"};
    const char* const models[] = {"ZireviVER",        "ModbusTCP",   "ModbusASCII",
                                  "S7-200(PPI)",      "S7-200(TCP)", "S7-300/400(TCP)",
                                  "S7-1200/1500(TCP)"};
    const char* const kinds[] = {"串口", "TCP/IP", "Ascii", "PPI", "TCP/IP", "TCP/IP", "TCP/IP"};
    const uint16_t links[] = {1, 2, 1, 1, 2, 2, 2};
    static_assert(std::size(links) == kCatalogueSize);
    for (int i = 0; i < kCatalogueSize; ++i) {
      const DriverDescriptor& e = catalogue.entries[i];
      QCOMPARE(catalogue.listTexts[i], QString::fromUtf8(lists[i]));
      QCOMPARE(platform::ArrayText(e.model), std::string_view(models[i]));
      QCOMPARE(platform::ArrayText(e.commKind), platform::Utf8ToGbk(kinds[i]));
      QCOMPARE(e.linkKind, links[i]);
      QVERIFY(e.driverClsid == CLSID{});
      QCOMPARE(e.pad210, uint16_t{0});
    }
    QCOMPARE(platform::ArrayText(catalogue.entries[0].manufacturer),
             platform::Utf8ToGbk("莫迪康系列"));
    QCOMPARE(platform::ArrayText(catalogue.entries[3].manufacturer), platform::Utf8ToGbk("西门子"));
    QCOMPARE(platform::ArrayText(catalogue.entries[6].manufacturer), platform::Utf8ToGbk("西门子"));

    // A match needs both the driver class and the model, byte for byte.
    DeviceRecord d = Device(CLSID{}, "", 1, "");
    QCOMPARE(FindCatalogueEntry(catalogue, d), -1);
    platform::CopyToArray(d.descriptor.model, "ModbusTCP");
    QCOMPARE(FindCatalogueEntry(catalogue, d), 1);
    platform::CopyToArray(d.descriptor.model, "ModbusTcp");
    QCOMPARE(FindCatalogueEntry(catalogue, d), -1);
    platform::CopyToArray(d.descriptor.model, "ModbusTCP");
    d.descriptor.driverClsid = kDriverA;
    QCOMPARE(FindCatalogueEntry(catalogue, d), -1);
  }
};

QTEST_MAIN(TestDeviceChecks)
#include "tst_device_checks.moc"
