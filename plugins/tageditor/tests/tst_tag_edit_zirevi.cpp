// The dialog "变量维护" with the real Modbus driver (libZireviVer.so) registered by the real
// regsvr, for a ModbusTCP device: the driver's four areas as the register list, the data types each
// area allows (the dialog lists the editor's nine types and OK lets the driver decide by the area's
// type mask), tags accepted and stored, and a refused register shown with the driver's own text.
// Beside it the S7 Ethernet driver (libKestavo.so): its areas, data block tags among them.
#include <bit>
#include <cstring>
#include <string>

#include <QComboBox>
#include <QTest>

#include "common/driver_contract.h"
#include "common/tag_values.h"
#include "common/testing/run_program.h"
#include "platform/com.h"
#include "platform/gbk.h"
#include "platform/registry.h"
#include "plugins/tageditor/tests/tag_editor_test_env.h"

using namespace tageditor_test;

namespace {

// {6A0C2B7E-3F51-4D8A-9C1E-5B2D7E4F8A10}: the class libZireviVer.so registers.
constexpr CLSID kModbusClsid = {
    0x6A0C2B7E, 0x3F51, 0x4D8A, {0x9C, 0x1E, 0x5B, 0x2D, 0x7E, 0x4F, 0x8A, 0x10}};

constexpr char kDevice[] = "流量计";
constexpr char kModel[] = "ModbusTCP";

QString Utf8(const char* text) {
  return QString::fromUtf8(text);
}

// The registry store with the Modbus driver registered, and COM, for the life of the object.
class ModbusDriverEnvironment {
 public:
  ModbusDriverEnvironment() : env_("TALVEK_CONFIG_DIR", config_.str()) {}
  ~ModbusDriverEnvironment() {
    if (comInitialised_)
      platform::CoUninitialize();
    platform::Registry::Instance().Reload();
  }
  ModbusDriverEnvironment(const ModbusDriverEnvironment&) = delete;
  ModbusDriverEnvironment& operator=(const ModbusDriverEnvironment&) = delete;

  // Empty on success, else what went wrong.
  QString SetUp() {
    for (const char* module : {"libZireviVer.so", "libKestavo.so"}) {
      const testing_support::RunResult reg = testing_support::RegisterBuiltModule(module);
      if (reg.exitCode != 0)
        return QStringLiteral("regsvr failed: %1").arg(QString::fromStdString(reg.output));
    }
    platform::Registry::Instance().Reload();
    comInitialised_ = SUCCEEDED(platform::CoInitialize(nullptr));
    return {};
  }

 private:
  testing_support::TempDir config_;
  testing_support::ScopedEnv env_;
  bool comInitialised_ = false;
};

// A driver object of its own, asked directly: what the dialog's answers are compared with.
class DirectDriver {
 public:
  DirectDriver() {
    if (FAILED(platform::CoCreateInstance(kModbusClsid, nullptr, CLSCTX_INPROC_SERVER,
                                          IID_IProtocolDriver, reinterpret_cast<void**>(&driver_))))
      driver_ = nullptr;
  }
  ~DirectDriver() {
    if (driver_ != nullptr)
      driver_->Release();
  }
  DirectDriver(const DirectDriver&) = delete;
  DirectDriver& operator=(const DirectDriver&) = delete;

  IProtocolDriver* operator->() const { return driver_; }
  explicit operator bool() const { return driver_ != nullptr; }

  // The driver's error text after refusing `address` as `rawType`, as UTF-8; empty when it
  // accepts.
  QString RefusalText(const char* address, int rawType) {
    TagAddressInput in{};
    std::strncpy(in.model, kModel, sizeof in.model - 1);
    std::strncpy(in.address, address, sizeof in.address - 1);
    in.dataType = static_cast<int16_t>(1 << rawType);
    DriverItem item{};
    if ((driver_->ConvertUserConfigToVar(&in, &item) & 0xFFFFu) == 0)
      return {};
    const char* text = driver_->GetLastErrorText();
    return text != nullptr ? QString::fromStdString(platform::GbkToUtf8(text)) : QString();
  }

 private:
  IProtocolDriver* driver_ = nullptr;
};

// An external tag on the Modbus device, with engineering and raw ranges stored in the forms its
// variable and raw types read them.
TagRecord ModbusTag(const char* registerText, int rawType) {
  TagRecord t = ExternalTag("Var1", kDevice, registerText, rawType);
  t.varType = rawType == kRawBit ? kVarDiscrete : rawType == kRawString ? kVarString : kVarInteger;
  if (rawType == kRawFloat) {
    t.varType = kVarFloat;
    t.engMin = std::bit_cast<int32_t>(0.0f);
    t.engMax = std::bit_cast<int32_t>(1000.0f);
    t.deadband = std::bit_cast<int32_t>(0.0f);
    t.initialValue = std::bit_cast<int32_t>(0.0f);
    t.rawMin = std::bit_cast<int32_t>(0.0f);
    t.rawMax = std::bit_cast<int32_t>(100.0f);
  }
  return t;
}

// {32FC4E8C-3085-499E-9D33-9573101B1A13}: the class libKestavo.so registers.
constexpr CLSID kS7TcpClsid = {
    0x32FC4E8C, 0x3085, 0x499E, {0x9D, 0x33, 0x95, 0x73, 0x10, 0x1B, 0x1A, 0x13}};

DeviceRecord S7TcpDevice() {
  DeviceRecord d = MakeDevice("配水站", "S7-300/400(TCP)", kS7TcpClsid);
  d.descriptor.linkKind = kLinkTcpIp;
  platform::CopyToArray(d.station.addressText, "127.0.0.1:102,0,2");
  d.station.stationNumber = 2;
  return d;
}

DeviceRecord ModbusTcpDevice() {
  DeviceRecord d = MakeDevice(kDevice, kModel, kModbusClsid);
  d.descriptor.linkKind = kLinkTcpIp;
  platform::CopyToArray(d.station.addressText, "127.0.0.1:502#1");
  d.station.stationNumber = 1;
  return d;
}

}  // namespace

class TestTagEditZirevi : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    const QString error = env_.SetUp();
    QVERIFY2(error.isEmpty(), qPrintable(error));
    DirectDriver driver;
    QVERIFY(driver);
  }

  // The register list is the driver's area table, exactly and in its order; the stored register
  // text stays whole in the field and selects its area.
  void registerListIsTheDriversAreas() {
    MessageRecorder messages;
    Editor e;
    e.devices.Add(ModbusTcpDevice());
    e.tag = ModbusTag("4X100", kRawInt16);
    e.Open();
    QVERIFY2(messages.Texts().isEmpty(), qPrintable(messages.Texts().join('|')));
    QComboBox* registers = e.Page().RegisterCombo();
    QStringList items;
    for (int i = 0; i < registers->count(); ++i)
      items << registers->itemText(i);
    QCOMPARE(items, (QStringList{"0X", "1X", "3X", "4X"}));
    QCOMPARE(registers->currentIndex(), 3);
    QCOMPARE(registers->currentText(), QStringLiteral("4X100"));
  }

  // What each area allows is its type mask in the driver's table: bits only in 0X and 1X, every
  // type but the bit in 3X and 4X. Choosing an area refills the dialog's data types (the editor's
  // own nine, none chosen); OK then lets the driver decide, so a type the area's mask lacks is
  // refused with the driver's text and the record stays as it was.
  void dataTypesPerArea() {
    DirectDriver driver;
    const AddressArea* table = nullptr;
    int32_t count = 0;
    QCOMPARE(driver->GetRegisters(kModel, &table, &count), 1);
    QCOMPARE(count, 4);
    const int32_t bitOnly = 1 << kRawBit;
    const int32_t registerTypes = ((1 << kRawTypeCount) - 1) & ~bitOnly;
    const int32_t masks[] = {bitOnly, bitOnly, registerTypes, registerTypes};
    for (int area = 0; area < 4; ++area)
      QCOMPARE(table[area].typeMask, masks[area]);

    for (int area = 0; area < 4; ++area) {
      const std::string name(table[area].name);
      for (int rawType = 0; rawType < kRawTypeCount; ++rawType) {
        const std::string address = name + "10" + (rawType == kRawString ? ".8" : "");
        const bool allowed = (table[area].typeMask & (1 << rawType)) != 0;
        MessageRecorder messages;
        Editor e;
        e.devices.Add(ModbusTcpDevice());
        e.tag = ModbusTag(address.c_str(), rawType);
        e.Open();
        const TagRecord before = e.tag;
        const QByteArray row =
            QByteArray::fromStdString(address) + " type " + QByteArray::number(rawType);
        QVERIFY2(e.Page().OnOK() == allowed, row.constData());
        if (allowed) {
          QVERIFY2(messages.Texts().isEmpty(), qPrintable(messages.Last()));
          QCOMPARE(e.tag.rawType, rawType);
          QCOMPARE(int(e.tag.registerIndex), area);
        } else {
          QCOMPARE(messages.Texts(), QStringList{driver.RefusalText(address.c_str(), rawType)});
          QVERIFY2(messages.Last().startsWith(Utf8("数据类型与寄存器区不符")),
                   qPrintable(messages.Last()));
          QVERIFY(RecordDifference(e.tag, before).isEmpty());
        }
      }
    }

    // The user's way: choosing 0X refills the data types with nothing chosen, and OK asks for
    // one; the bit type is then accepted, a register type refused by the driver.
    MessageRecorder messages;
    Editor e;
    e.devices.Add(ModbusTcpDevice());
    e.tag = ModbusTag("4X10", kRawInt16);
    e.tag.varType = kVarDiscrete;
    e.Open();
    Choose(e.Page().RegisterCombo(), 0);
    e.Page().RegisterCombo()->setEditText(QStringLiteral("0X7"));
    QComboBox* types = e.Page().DataTypeCombo();
    QCOMPARE(types->count(), kRawTypeCount);
    QCOMPARE(types->currentIndex(), -1);
    QVERIFY(!e.Page().OnOK());
    QCOMPARE(messages.Last(), Utf8("请选择数据类型。"));
    Choose(types, kRawInt16);
    QVERIFY(!e.Page().OnOK());
    QCOMPARE(messages.Last(), driver.RefusalText("0X7", kRawInt16));
    Choose(types, kRawBit);
    QVERIFY2(e.Page().OnOK(), qPrintable(messages.Last()));
    QCOMPARE(Text(e.tag.registerText), QStringLiteral("0X7"));
    QCOMPARE(e.tag.rawType, int(kRawBit));
    QCOMPARE(int(e.tag.registerIndex), 0);
  }

  // Accepted tags are stored as typed, with the device's model and name; "4X0" is refused with
  // the driver's own text (GetLastErrorText) and changes nothing.
  void registersAcceptedAndRefused() {
    DirectDriver driver;
    {
      MessageRecorder messages;
      Editor e;
      e.devices.Add(ModbusTcpDevice());
      e.tag = ModbusTag("4X10", kRawInt16);
      e.Open();
      QVERIFY2(e.Page().OnOK(), qPrintable(messages.Last()));
      QVERIFY(messages.Texts().isEmpty());
      QCOMPARE(Text(e.tag.registerText), QStringLiteral("4X10"));
      QCOMPARE(e.tag.rawType, int(kRawInt16));
      QCOMPARE(e.tag.varType, int(kVarInteger));
      QCOMPARE(int(e.tag.registerIndex), 3);
      QCOMPARE(Text(e.tag.driverModel), Utf8(kModel));
      QCOMPARE(Text(e.tag.deviceName), Utf8(kDevice));
      QVERIFY((e.tag.flags & kTagExternal) != 0);
    }
    {
      MessageRecorder messages;
      Editor e;
      e.devices.Add(ModbusTcpDevice());
      e.tag = ModbusTag("4X0", kRawInt16);
      e.Open();
      const TagRecord before = e.tag;
      QVERIFY(!e.Page().OnOK());
      const QString expected = driver.RefusalText("4X0", kRawInt16);
      QVERIFY(expected.startsWith(Utf8("寄存器地址编号不正确")));
      QCOMPARE(messages.Texts(), QStringList{expected});
      QVERIFY(RecordDifference(e.tag, before).isEmpty());
    }
    {
      // A float over two registers, low word first.
      MessageRecorder messages;
      Editor e;
      e.devices.Add(ModbusTcpDevice());
      e.tag = ModbusTag("4X5L", kRawFloat);
      e.Open();
      QVERIFY2(e.Page().OnOK(), qPrintable(messages.Last()));
      QCOMPARE(Text(e.tag.registerText), QStringLiteral("4X5L"));
      QCOMPARE(e.tag.rawType, int(kRawFloat));
      QCOMPARE(e.tag.varType, int(kVarFloat));
      QCOMPARE(e.tag.rawMax, std::bit_cast<int32_t>(100.0f));
    }
    {
      // The word-order suffix is only for 32-bit types: the driver says so.
      MessageRecorder messages;
      Editor e;
      e.devices.Add(ModbusTcpDevice());
      e.tag = ModbusTag("4X5L", kRawInt16);
      e.Open();
      QVERIFY(!e.Page().OnOK());
      QCOMPARE(messages.Texts(), QStringList{driver.RefusalText("4X5L", kRawInt16)});
      QVERIFY(messages.Last().startsWith(Utf8("地址后缀不正确")));
    }
  }

  // The S7 Ethernet driver's table: the PPI areas and DB last. A data block tag selects DB, is
  // stored whole, and a wrong block part is refused with the driver's text.
  void s7EthernetAreasAndDataBlockTags() {
    {
      MessageRecorder messages;
      Editor e;
      e.devices.Add(S7TcpDevice());
      e.tag = ExternalTag("Var1", "配水站", "DB5.DBW10", kRawInt16);
      e.tag.varType = kVarInteger;
      e.Open();
      QComboBox* registers = e.Page().RegisterCombo();
      QCOMPARE(registers->count(), 27);
      QCOMPARE(registers->itemText(0), QStringLiteral("VB"));
      QCOMPARE(registers->itemText(26), QStringLiteral("DB"));
      QCOMPARE(registers->currentIndex(), 26);
      QCOMPARE(registers->currentText(), QStringLiteral("DB5.DBW10"));
      QVERIFY2(e.Page().OnOK(), qPrintable(messages.Last()));
      QCOMPARE(Text(e.tag.registerText), QStringLiteral("DB5.DBW10"));
      QCOMPARE(int(e.tag.registerIndex), 26);
    }
    {
      MessageRecorder messages;
      Editor e;
      e.devices.Add(S7TcpDevice());
      e.tag = ExternalTag("Var1", "配水站", "DB5.W10", kRawInt16);
      e.tag.varType = kVarInteger;
      e.Open();
      QVERIFY(!e.Page().OnOK());
      QCOMPARE(messages.Texts().size(), 1);
      QVERIFY2(messages.Last().startsWith(Utf8("地址格式不正确")), qPrintable(messages.Last()));
    }
  }

 private:
  ModbusDriverEnvironment env_;
};

QTEST_MAIN(TestTagEditZirevi)
#include "tst_tag_edit_zirevi.moc"
