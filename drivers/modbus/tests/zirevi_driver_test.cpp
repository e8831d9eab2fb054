// The Modbus driver module as the host meets it: registered by the real regsvr program, created
// through COM, used only through its interfaces and exports. The peers here are scripted, for the
// answers a real server never gives; the tests against an independent server are in
// zirevi_peer_test.cpp.
#include <pty.h>
#include <termios.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include "drivers/modbus/modbus_framing.h"
#include "drivers/modbus/tests/driver_fixture.h"
#include "drivers/modbus/tests/scripted_tcp_peer.h"
#include "platform/gbk.h"
#include "platform/registry.h"

namespace modbus_test {
namespace {

using Clock = std::chrono::steady_clock;

std::string Utf8(const char* gbk) {
  std::string out;
  EXPECT_TRUE(gbk != nullptr && platform::GbkToUtf8(gbk, out));
  return out;
}

std::string TcpText(uint16_t port, int unit = 1) {
  return "127.0.0.1:" + std::to_string(port) + "#" + std::to_string(unit);
}

class ZireviDriverTest : public DriverFixture {};

TEST_F(ZireviDriverTest, RegistersItsProgIdAndAnswersBothInterfacesAsOneObject) {
  CLSID clsid{};
  ASSERT_EQ(platform::CLSIDFromProgID("ZireviVer.ZireviVerPro", &clsid), S_OK);
  EXPECT_TRUE(clsid == CLSID_ZireviVer);

  IProtocolDriver* driver = Create();
  ASSERT_NE(driver, nullptr);
  IUnknown* unknown = nullptr;
  ASSERT_EQ(driver->QueryInterface(IID_IUnknown, reinterpret_cast<void**>(&unknown)), S_OK);
  EXPECT_EQ(unknown, static_cast<IUnknown*>(driver));
  IProtocolDriver2* second = nullptr;
  ASSERT_EQ(driver->QueryInterface(IID_IProtocolDriver2, reinterpret_cast<void**>(&second)), S_OK);
  // One reference count behind every interface.
  EXPECT_EQ(second->AddRef(), 4u);
  EXPECT_EQ(second->Release(), 3u);
  unknown->Release();
  second->Release();
  void* other = reinterpret_cast<void*>(1);
  EXPECT_EQ(driver->QueryInterface(IID_IClassFactory, &other), E_NOINTERFACE);
  EXPECT_EQ(other, nullptr);
  EXPECT_EQ(canUnloadNow_(), S_FALSE) << "a live object must keep the module loaded";
}

TEST_F(ZireviDriverTest, ListsTheFourAreasWithTheirTypes) {
  IProtocolDriver* driver = Create();
  const AddressArea* table = nullptr;
  int32_t count = 0;
  ASSERT_EQ(driver->GetRegisters("ModbusTCP", &table, &count), 1);
  ASSERT_EQ(count, 4);
  const char* names[] = {"0X", "1X", "3X", "4X"};
  const int32_t masks[] = {0x1, 0x1, 0x1FE, 0x1FE};
  for (int i = 0; i < 4; ++i) {
    EXPECT_STREQ(table[i].name, names[i]);
    EXPECT_EQ(table[i].minAddress, 1);
    EXPECT_EQ(table[i].maxAddress, 65535);
    EXPECT_EQ(table[i].typeMask, masks[i]);
  }
  const AddressArea* again = nullptr;
  ASSERT_EQ(Create()->GetRegisters(nullptr, &again, &count), 1);
  EXPECT_EQ(again, table) << "the table is the module's own, the same for every object";
  EXPECT_EQ(driver->GetRegisters("x", nullptr, &count), 0);
}

TEST_F(ZireviDriverTest, ConversionAnswersZeroForAcceptedAndExplainsRefusalsInChinese) {
  IProtocolDriver* driver = Create();
  EXPECT_EQ(driver->GetLastErrorText(), nullptr) << "no error was ever set";
  DriverItem item{};
  TagAddressInput in = Input(kTcp, "4X100L", kFloat, 1);
  ASSERT_EQ(driver->ConvertUserConfigToVar(&in, &item), 0);
  EXPECT_EQ(item.areaIndex, 3);
  EXPECT_EQ(item.dataType, kFloat);
  EXPECT_EQ(item.byteAddress, 100);
  EXPECT_EQ(item.wordOrder, modbus::kLowWordFirst);
  EXPECT_EQ(item.extra, 1);

  in = Input(kTcp, "3X7", kInt16, 1);  // a write to an input register
  EXPECT_EQ(driver->ConvertUserConfigToVar(&in, &item), 1);
  const std::string readOnly = Utf8(driver->GetLastErrorText());
  EXPECT_NE(readOnly.find("只读"), std::string::npos) << readOnly;

  in = Input(kTcp, "0X5", kInt16);
  EXPECT_EQ(driver->ConvertUserConfigToVar(&in, &item), 1);
  EXPECT_NE(Utf8(driver->GetLastErrorText()), readOnly);

  StationInfo station{};
  EXPECT_EQ(driver->ParseStationAddress("10.0.0.1:70000#1", &station), 0);
  EXPECT_FALSE(Utf8(driver->GetLastErrorText()).empty());
}

TEST_F(ZireviDriverTest, NormalisesStationAddressesAndGivesTheUnitAsStationNumber) {
  IProtocolDriver* driver = Create();
  StationInfo station{};
  ASSERT_EQ(driver->ParseStationAddress(" 192.168.1.20 # 7 ", &station), 1);
  EXPECT_EQ(station.stationNumber, 7);
  EXPECT_STREQ(station.addressText, "192.168.1.20:502#7");
  ASSERT_EQ(driver->ParseStationAddress("012", &station), 1);
  EXPECT_EQ(station.stationNumber, 12);
  EXPECT_STREQ(station.addressText, "12");
  EXPECT_EQ(driver->ParseStationAddress("248", &station), 0);
  EXPECT_EQ(driver->ParseStationAddress("0", &station), 0);
}

TEST_F(ZireviDriverTest, RefusesRtuAndAsciiDevicesOnOneLine) {
  IProtocolDriver* driver = Create();
  DriverItem item{};
  TagAddressInput rtu = Input(kRtu, "4X1", kInt16);
  TagAddressInput ascii = Input(kAscii, "4X2", kInt16);
  TagAddressInput tcp = Input(kTcp, "4X3", kInt16);
  ASSERT_EQ(driver->ConvertUserConfigToVar(&rtu, &item), 0);
  EXPECT_EQ(driver->ConvertUserConfigToVar(&ascii, &item), 1);
  EXPECT_NE(Utf8(driver->GetLastErrorText()).find("ASCII"), std::string::npos);
  EXPECT_EQ(driver->ConvertUserConfigToVar(&rtu, &item), 0) << "the first framing keeps the line";
  EXPECT_EQ(driver->ConvertUserConfigToVar(&tcp, &item), 0) << "TCP devices may share the object";

  // A fresh object lets the ASCII device have the line.
  IProtocolDriver* other = Create();
  EXPECT_EQ(other->ConvertUserConfigToVar(&ascii, &item), 0);
}

TEST_F(ZireviDriverTest, OpenPortChecksTheBaudRateAndTakesNoSerialPortBeforeItsFirstRequest) {
  IProtocolDriver* driver = Create();
  IProtocolDriver2* second = Second(driver);
  EXPECT_EQ(driver->OpenPort(1, nullptr), 0);
  CommSettings settings = Port("Com200", 299);
  EXPECT_EQ(driver->OpenPort(1, &settings), 0);
  settings.baudRate = 115201;
  EXPECT_EQ(driver->OpenPort(1, &settings), 0);
  settings.baudRate = 115200;
  EXPECT_EQ(driver->OpenPort(1, &settings), 1);
  HANDLE handle = nullptr;
  ASSERT_EQ(second->GetPortHandle(&handle), 1);
  EXPECT_EQ(handle, INVALID_HANDLE_VALUE);

  // The line that does not exist fails the request and nothing else.
  MiniHost host(driver, kRtu, "1");
  ASSERT_TRUE(host.AddRead("4X1", kInt16));
  EXPECT_EQ(second->ExecuteGroupEx(host.groups()[0]->get()), 0);
  EXPECT_EQ(driver->ClosePort(), 1);
}

TEST_F(ZireviDriverTest, MergesReadsUpTo125RegistersAndNeverMergesWrites) {
  IProtocolDriver* driver = Create();
  MiniHost host(driver, kTcp, "127.0.0.1#1");
  ASSERT_TRUE(host.AddRead("4X1", kInt16));
  ASSERT_TRUE(host.AddRead("4X124", kInt32));  // registers 124 and 125: still one request
  ASSERT_TRUE(host.AddRead("4X126", kInt16));  // 126 registers would be too many
  ASSERT_TRUE(host.AddRead("0X1", kBit));
  ASSERT_TRUE(host.AddRead("0X2000", kBit));
  ASSERT_TRUE(host.AddRead("0X2001", kBit));
  ASSERT_EQ(host.groups().size(), 4u);
  EXPECT_EQ(host.groups()[0]->items().size(), 2u);
  EXPECT_EQ(host.groups()[2]->items().size(), 2u);
  host.AddWrite("4X2", kInt16, 5);
  host.AddWrite("4X3", kInt16, 6);
  EXPECT_EQ(host.groups().size(), 6u);
  DriverItem item{};
  EXPECT_EQ(driver->CanMergeItem(&item, 1, host.groups()[0]->get()), 0);
}

// --- against a scripted TCP server ---

class ZireviScriptedTcpTest : public DriverFixture {
 protected:
  void SetUp() override {
    DriverFixture::SetUp();
    driver_ = Create();
    second_ = Second(driver_);
    settings_ = Port("Com1", 9600, 300);
    ASSERT_EQ(driver_->OpenPort(1, &settings_), 1);
  }
  IProtocolDriver* driver_ = nullptr;
  IProtocolDriver2* second_ = nullptr;
  CommSettings settings_{};
  ScriptedTcpPeer peer_;
};

TEST_F(ZireviScriptedTcpTest, AFailedAnswerFailsTheCallSetsNoValueAndTheNextCallSucceeds) {
  MiniHost host(driver_, kTcp, TcpText(peer_.port()).c_str());
  ASSERT_TRUE(host.AddRead("4X11", kUint16));
  ASSERT_TRUE(host.AddRead("4X12", kInt16));
  Group& group = *host.groups()[0];
  ASSERT_EQ(group.items().size(), 2u);

  ASSERT_EQ(second_->ExecuteGroupEx(group.get()), 1);
  EXPECT_EQ(group.item(0).value, 30);
  EXPECT_EQ(group.item(1).value, 33);
  EXPECT_EQ(group.item(0).quality, 192);

  for (ScriptedTcpPeer::Mode mode :
       {ScriptedTcpPeer::Mode::kException, ScriptedTcpPeer::Mode::kWrongUnit,
        ScriptedTcpPeer::Mode::kSilent, ScriptedTcpPeer::Mode::kWrongTransaction}) {
    SCOPED_TRACE(static_cast<int>(mode));
    peer_.SetRegister(10, 1000 + static_cast<int>(mode));
    peer_.SetMode(mode);
    group.item(0).value = -1;
    const auto started = Clock::now();
    EXPECT_EQ(second_->ExecuteGroupEx(group.get()), 0);
    EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(300 + 700))
        << "never longer than the port's time-out";
    EXPECT_EQ(group.item(0).value, -1) << "a failed read sets no value";
    peer_.SetMode(ScriptedTcpPeer::Mode::kNormal);
    ASSERT_EQ(second_->ExecuteGroupEx(group.get()), 1);
    EXPECT_EQ(group.item(0).value, 1000 + static_cast<int>(mode));
  }
}

TEST_F(ZireviScriptedTcpTest, WritesSixteenBitValuesWithFunction6AndThirtyTwoBitWithFunction16) {
  MiniHost host(driver_, kTcp, TcpText(peer_.port()).c_str());
  Group* single = host.AddWrite("4X21", kInt16, -2);
  Group* wide = host.AddWrite("4X31L", kInt32, 0x12345678);
  ASSERT_NE(single, nullptr);
  ASSERT_NE(wide, nullptr);
  ASSERT_EQ(second_->ExecuteGroupEx(single->get()), 1);
  EXPECT_EQ(peer_.Register(20), 0xFFFE);
  // Through the first interface the value to write sits at offset 12.
  wide->item(0).bitOrLength = 0x12345678;
  ASSERT_EQ(driver_->ExecuteGroup(wide->get()), 1);
  EXPECT_EQ(peer_.Register(30), 0x5678) << "low word first";
  EXPECT_EQ(peer_.Register(31), 0x1234);

  peer_.SetMode(ScriptedTcpPeer::Mode::kException);
  EXPECT_EQ(second_->ExecuteGroupEx(single->get()), 0) << "a refused write is not success";
}

TEST_F(ZireviScriptedTcpTest, TwoDevicesAtTwoPortsOnOneObjectEachReadTheirOwnServer) {
  ScriptedTcpPeer other;
  other.SetRegister(0, 4242);
  peer_.SetRegister(0, 1717);
  MiniHost a(driver_, kTcp, TcpText(peer_.port()).c_str());
  MiniHost b(driver_, kTcp, TcpText(other.port()).c_str());
  ASSERT_TRUE(a.AddRead("4X1", kUint16));
  ASSERT_TRUE(b.AddRead("4X1", kUint16));
  for (int round = 0; round < 3; ++round) {
    ASSERT_EQ(second_->ExecuteGroupEx(a.groups()[0]->get()), 1);
    ASSERT_EQ(second_->ExecuteGroupEx(b.groups()[0]->get()), 1);
    EXPECT_EQ(a.groups()[0]->item(0).value, 1717);
    EXPECT_EQ(b.groups()[0]->item(0).value, 4242);
  }
  EXPECT_EQ(peer_.Connections(), 1) << "one connection per host, kept between requests";
  EXPECT_EQ(other.Connections(), 1);
}

// The UI thread converts tags while the polling thread polls: both set LastError and claim the
// serial line's framing. Run under the thread sanitizer to see a race; here the framing must end
// up claimed by exactly one serial model.
TEST_F(ZireviScriptedTcpTest, TheUiThreadConvertsTagsWhileThePollingThreadPolls) {
  MiniHost tcp(driver_, kTcp, TcpText(peer_.port()).c_str());
  ASSERT_TRUE(tcp.AddRead("4X11", kUint16));
  Group unknownModel("NoSuchModel", ParsedStation(driver_, "1"));  // each poll sets LastError
  unknownModel.Append(1, kInt16, 0, 0);
  Group rtu(kRtu, ParsedStation(driver_, "1"));  // claims the line for RTU; Com1 is not there
  rtu.Append(1, kInt16, 0, 0);
  std::atomic<bool> polled{false};
  std::jthread polling([&] {
    for (int i = 0; i < 50; ++i) {
      EXPECT_EQ(second_->ExecuteGroupEx(tcp.groups()[0]->get()), 1);
      EXPECT_EQ(second_->ExecuteGroupEx(unknownModel.get()), 0);
      EXPECT_EQ(second_->ExecuteGroupEx(rtu.get()), 0);
    }
    polled = true;
  });
  const TagAddressInput badAddress = Input(kRtu, "4X0", kInt16);
  const TagAddressInput ascii = Input(kAscii, "4X1", kInt16);
  const TagAddressInput rtuTag = Input(kRtu, "4X1", kInt16);
  StationInfo station{};
  while (!polled) {
    DriverItem item{};
    EXPECT_EQ(driver_->ConvertUserConfigToVar(&badAddress, &item), 1);
    driver_->ConvertUserConfigToVar(&ascii, &item);
    EXPECT_EQ(driver_->ParseStationAddress("0", &station), 0);
    EXPECT_NE(driver_->GetLastErrorText(), nullptr);
  }
  DriverItem item{};
  EXPECT_EQ(driver_->ConvertUserConfigToVar(&ascii, &item) +
                driver_->ConvertUserConfigToVar(&rtuTag, &item),
            1)
      << "one serial framing holds the line";
}

TEST_F(ZireviScriptedTcpTest, AServerThatGoesAwayIsReconnectedAtTheNextRequest) {
  auto peer = std::make_unique<ScriptedTcpPeer>();
  const uint16_t port = peer->port();
  MiniHost host(driver_, kTcp, TcpText(port).c_str());
  ASSERT_TRUE(host.AddRead("4X2", kUint16));
  RequestGroup* group = host.groups()[0]->get();
  ASSERT_EQ(second_->ExecuteGroupEx(group), 1);
  peer.reset();  // the server closes
  const auto started = Clock::now();
  EXPECT_EQ(second_->ExecuteGroupEx(group), 0);
  EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(1000));
  EXPECT_EQ(second_->ExecuteGroupEx(group), 0) << "nobody listens: refused at once";
  ScriptedTcpPeer back(port);
  back.SetRegister(1, 77);
  ASSERT_EQ(second_->ExecuteGroupEx(group), 1);
  EXPECT_EQ(host.groups()[0]->item(0).value, 77);
}

// --- against a scripted RTU device on a pseudo-terminal ---

class ZireviScriptedRtuTest : public DriverFixture {
 protected:
  void SetUp() override {
    DriverFixture::SetUp();
    char name[128] = {};
    ASSERT_EQ(openpty(&master_, &slave_, name, nullptr, nullptr), 0);
    termios raw{};
    tcgetattr(master_, &raw);
    cfmakeraw(&raw);
    tcsetattr(master_, TCSANOW, &raw);
    path_ = name;
    driver_ = Create();
    second_ = Second(driver_);
    settings_ = Port(path_, 19200, 300);
    ASSERT_EQ(driver_->OpenPort(1, &settings_), 1);
  }
  void TearDown() override {
    close(master_);
    close(slave_);
    DriverFixture::TearDown();
  }

  // Reads one request frame of `n` bytes from the line (waits at most two seconds).
  std::vector<uint8_t> ReadRequest(size_t n) {
    std::vector<uint8_t> got;
    const auto deadline = Clock::now() + std::chrono::seconds(2);
    while (got.size() < n && Clock::now() < deadline) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 100) <= 0)
        continue;
      uint8_t buf[64];
      const ssize_t r = read(master_, buf, std::min(sizeof buf, n - got.size()));
      if (r > 0)
        got.insert(got.end(), buf, buf + r);
    }
    return got;
  }

  // Answers one read of one register with `value`, from `unit`, its CRC spoiled when asked.
  void Answer(uint8_t unit, uint16_t value, bool spoilCrc) {
    const std::vector<uint8_t> request = ReadRequest(8);
    ASSERT_EQ(request.size(), 8u);
    const uint8_t pdu[] = {3, 2, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
    uint8_t frame[16];
    size_t n = modbus::Wrap(modbus::Framing::kRtu, unit, 0, pdu, frame);
    if (spoilCrc)
      frame[n - 1] ^= 0x5A;
    ASSERT_EQ(write(master_, frame, n), static_cast<ssize_t>(n));
  }

  int master_ = -1;
  int slave_ = -1;
  std::string path_;
  IProtocolDriver* driver_ = nullptr;
  IProtocolDriver2* second_ = nullptr;
  CommSettings settings_{};
};

TEST_F(ZireviScriptedRtuTest, ACorruptedCrcOrAnotherUnitFailsTheCallAndTheNextSucceeds) {
  MiniHost host(driver_, kRtu, "5");
  ASSERT_TRUE(host.AddRead("4X1", kInt16));
  Group& group = *host.groups()[0];

  std::thread device([&] { Answer(5, 0x1234, true); });
  EXPECT_EQ(second_->ExecuteGroupEx(group.get()), 0);
  device.join();
  device = std::thread([&] { Answer(6, 0x2345, false); });
  EXPECT_EQ(second_->ExecuteGroupEx(group.get()), 0);
  device.join();
  device = std::thread([&] { Answer(5, 0xFFFF, false); });
  ASSERT_EQ(second_->ExecuteGroupEx(group.get()), 1);
  device.join();
  EXPECT_EQ(group.item(0).value, -1);
  EXPECT_EQ(group.item(0).quality, 192);

  // The line is the driver's now: its handle is handed out and can be shared.
  HANDLE handle = INVALID_HANDLE_VALUE;
  ASSERT_EQ(second_->GetPortHandle(&handle), 1);
  EXPECT_NE(handle, INVALID_HANDLE_VALUE);
}

TEST_F(ZireviScriptedRtuTest, ASilentDeviceFailsWithinTheTimeOut) {
  MiniHost host(driver_, kRtu, "5");
  ASSERT_TRUE(host.AddRead("4X1", kInt16));
  const auto started = Clock::now();
  EXPECT_EQ(second_->ExecuteGroupEx(host.groups()[0]->get()), 0);
  const auto took = Clock::now() - started;
  EXPECT_GE(took, std::chrono::milliseconds(250));
  EXPECT_LT(took, std::chrono::milliseconds(300 + 700));
  EXPECT_EQ(ReadRequest(8).size(), 8u) << "the request did go out";
}

}  // namespace
}  // namespace modbus_test
