// End to end: the real Modbus driver module (registered by regsvr, created through COM by the
// host) polled by the host's threads into the tag table, against independent servers: TCP on
// 127.0.0.1, RTU and ASCII on pseudo-terminal pairs whose driver ends the port numbers map to
// through the registry store's Ports key. Every value is set and checked on the server's side
// through its own command channel.
#include <dlfcn.h>

#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "common/testing/modbus_peer.h"
#include "drivers/modbus/tests/scripted_tcp_peer.h"
#include "platform/atoms.h"
#include "platform/gbk.h"
#include "workbench/runtime/tests/driver_test_env.h"

namespace {

using driver_test::HostFixture;
using driver_test::kPortsKey;
using driver_test::MakeDevice;
using driver_test::MakeTag;
using driver_test::WaitFor;
using talvek::DriverHost;
using talvek::LoadQuality;
using talvek::LoadRawWord;
using talvek::LoadValueWord;
using talvek::Tags;
using testing_support::BitTable;
using testing_support::ModbusPeer;
using testing_support::PtyPair;
using testing_support::RegisterTable;
using testing_support::SerialFraming;

// {6A0C2B7E-3F51-4D8A-9C1E-5B2D7E4F8A10}: the Modbus driver's class.
constexpr CLSID kModbusClsid = {
    0x6A0C2B7E, 0x3F51, 0x4D8A, {0x9C, 0x1E, 0x5B, 0x2D, 0x7E, 0x4F, 0x8A, 0x10}};
constexpr const char* kModule = "libZireviVer.so";

constexpr const char* kRtu = "ZireviVER";
constexpr const char* kAscii = "ModbusASCII";
constexpr const char* kTcp = "ModbusTCP";

// A failed exchange costs one time-out; short, so a stopped server shows within a few cycles.
constexpr int kTimeoutMs = 200;
constexpr int kBaud = 38400;
constexpr int kPeerSize = 1000;

std::string AtomText(int32_t word) {
  char text[256] = {};
  platform::GlobalGetAtomNameA(static_cast<ATOM>(word & 0xFFFF), text, sizeof text);
  return text;
}

uint16_t Hi(float f) {
  return static_cast<uint16_t>(static_cast<uint32_t>(FloatToWord(f)) >> 16);
}
uint16_t Lo(float f) {
  return static_cast<uint16_t>(FloatToWord(f));
}

std::string TcpStation(int port, int unit) {
  return "127.0.0.1:" + std::to_string(port) + "#" + std::to_string(unit);
}

// A Modbus device: its model, link kind and station as the device wizard stores them (the
// station number is the unit).
DeviceRecord ModbusDevice(const char* name, int port, const char* model, const std::string& station,
                          int unit) {
  DeviceRecord d = MakeDevice(name, port, station.c_str(), kModbusClsid,
                              std::strcmp(model, kTcp) == 0 ? kLinkTcpIp : kLinkSerial);
  std::snprintf(d.descriptor.model, sizeof d.descriptor.model, "%s", model);
  d.station.stationNumber = unit;
  return d;
}

class ModbusHostTest : public HostFixture {
 protected:
  ModbusHostTest() : HostFixture({kModule}) {}

  void SetUp() override {
    HostFixture::SetUp();
    if (HasFatalFailure())
      return;
    static std::string whyNot;
    static const bool canRun = ModbusPeer::CanRun(&whyNot);
    ASSERT_TRUE(canRun) << whyNot;
    // The module COM loads: its unload check tells whether every driver object went.
    modbus_ = dlopen(driver_test::ModulePath(kModule).c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(modbus_, nullptr) << dlerror();
    canUnloadNow_ = reinterpret_cast<DllCanUnloadNowFn>(dlsym(modbus_, "DllCanUnloadNow"));
    ASSERT_NE(canUnloadNow_, nullptr);
    talvek::Project().ports.clear();
  }

  void TearDown() override {
    host_.reset();
    if (canUnloadNow_ != nullptr) {
      EXPECT_EQ(canUnloadNow_(), S_OK) << "a Modbus driver object was not released";
    }
    HostFixture::TearDown();
    if (modbus_ != nullptr)
      dlclose(modbus_);
  }

  // Port `n`'s settings; a serial port maps to `device` (a pseudo-terminal's driver end).
  static void Port(int n, const std::string& device = "") {
    CommSettings s = talvek::DefaultPortEntry(n);
    s.baudRate = kBaud;
    s.timeoutMs = kTimeoutMs;
    talvek::Project().ports.push_back(s);
    if (!device.empty()) {
      ASSERT_TRUE(
          platform::Registry::Instance().SetString(kPortsKey, "Com" + std::to_string(n), device));
    }
  }

  // A tag of a Modbus device; returns its index.
  static uint16_t Tag(const char* device, const char* model, const char* reg, int rawType) {
    TagRecord t = MakeTag(reg, device, reg, rawType);
    std::snprintf(t.name, sizeof t.name, "%s_%s", device, reg);
    std::snprintf(t.driverModel, sizeof t.driverModel, "%s", model);
    t.quality = 4;  // as loaded: not what any read stores
    AddTag(t);
    return static_cast<uint16_t>(TagList().size() - 1);
  }

  // True when every tag of `indexes` has quality `q`.
  static bool AllQuality(const std::vector<uint16_t>& indexes, uint16_t q) {
    for (uint16_t i : indexes) {
      if (LoadQuality(TagAt(i)) != q)
        return false;
    }
    return true;
  }

  // Every tag's name, quality and value, for a failure message.
  static std::string Describe() {
    std::string out;
    for (const TagRecord& t : TagList()) {
      char line[128];
      std::snprintf(line, sizeof line, "\n  %-16s q=%3u value=%d", t.name, LoadQuality(t),
                    LoadValueWord(t));
      out += line;
    }
    return out;
  }

  // A serial server of `framing` on a new pseudo-terminal pair.
  static void StartSerial(PtyPair& line, ModbusPeer& peer, SerialFraming framing,
                          const std::vector<int>& units) {
    ASSERT_TRUE(line.Start()) << line.Error();
    ASSERT_TRUE(peer.StartSerial(framing, line.PeerEnd(), kBaud, units, kPeerSize)) << peer.Error();
  }

  // Waits until the server's registers at `address` read `expected`.
  static bool PeerHolds(ModbusPeer& peer, int unit, int address,
                        const std::vector<uint16_t>& expected) {
    return WaitFor([&] {
      const auto words = peer.GetRegisters(unit, RegisterTable::kHolding, address,
                                           static_cast<int>(expected.size()));
      return words && *words == expected;
    });
  }

  void* modbus_ = nullptr;
  DllCanUnloadNowFn canUnloadNow_ = nullptr;
};

TEST_F(ModbusHostTest, ATcpDeviceReadsEveryKindOfTagAndTakesWritesThroughTheHost) {
  ModbusPeer peer;
  ASSERT_TRUE(peer.StartTcp({1}, kPeerSize)) << peer.Error();
  // 4X1 int16, 4X2 uint16, 4X5..6 float low word first, 4X7..8 int32, 4X20..22 "hello",
  // 3X4 int16, coil 0X3, discrete input 1X2.
  ASSERT_TRUE(peer.SetRegisters(1, RegisterTable::kHolding, 0, {0xFB2E, 54321, 0x12A4}));
  ASSERT_TRUE(
      peer.SetRegisters(1, RegisterTable::kHolding, 4, {Lo(2.5f), Hi(2.5f), 0xF8A4, 0x32EB}));
  ASSERT_TRUE(peer.SetRegisters(1, RegisterTable::kHolding, 19, {0x6865, 0x6C6C, 0x6F00}));
  ASSERT_TRUE(peer.SetRegisters(1, RegisterTable::kInput, 3, {777}));
  ASSERT_TRUE(peer.SetBits(1, BitTable::kCoils, 2, {1}));
  ASSERT_TRUE(peer.SetBits(1, BitTable::kDiscreteInputs, 1, {1}));

  Port(2);
  AddDevice(ModbusDevice("T", 2, kTcp, TcpStation(peer.Port(), 1), 1));
  const uint16_t i16 = Tag("T", kTcp, "4X1", kRawInt16);
  const uint16_t u16 = Tag("T", kTcp, "4X2", kRawUInt16);
  const uint16_t real = Tag("T", kTcp, "4X5L", kRawFloat);
  const uint16_t i32 = Tag("T", kTcp, "4X7", kRawInt32);
  const uint16_t text = Tag("T", kTcp, "4X20.5", kRawString);
  const uint16_t input = Tag("T", kTcp, "3X4", kRawInt16);
  const uint16_t coil = Tag("T", kTcp, "0X3", kRawBit);
  const uint16_t discrete = Tag("T", kTcp, "1X2", kRawBit);
  const uint16_t unknown = Tag("T", kTcp, "5X1", kRawInt16);  // no such area: never polled
  // 0x12A4 is no BCD: the driver marks this item bad inside a group that succeeds.
  const uint16_t bcd = Tag("T", kTcp, "4X3", kRawBcd16);
  TagList()[bcd].value = 77;
  TagList()[bcd].rawValue = 0x77;
  const std::vector<uint16_t> polled = {i16, u16, real, i32, text, input, coil, discrete};

  DriverHost& host = MakeHost(5);
  host.CreateDrivers("");
  ASSERT_EQ(host.DriverCount(), 1u);
  EXPECT_EQ(host.Driver(0).Mode(), 2);
  host.StartAll();
  ASSERT_EQ(host.Driver(0).IsOpen(), 1);
  ASSERT_TRUE(WaitFor([&] {
    return AllQuality(polled, 192) && LoadValueWord(TagAt(i16)) == -1234 &&
           LoadValueWord(TagAt(u16)) == 54321 && LoadValueWord(TagAt(real)) == FloatToWord(2.5f) &&
           LoadValueWord(TagAt(i32)) == -123456789 &&
           AtomText(LoadValueWord(TagAt(text))) == "hello" && LoadValueWord(TagAt(input)) == 777 &&
           LoadValueWord(TagAt(coil)) == 1 && LoadValueWord(TagAt(discrete)) == 1;
  })) << Describe();
  EXPECT_EQ(LoadQuality(TagAt(unknown)), 4);
  EXPECT_EQ(LoadQuality(TagAt(bcd)), 0);
  EXPECT_EQ(LoadValueWord(TagAt(bcd)), 77);
  EXPECT_EQ(LoadRawWord(TagAt(bcd)), 0x77);

  // Writes go through the table's writers to the host, and from the next cycle onto the wire.
  ASSERT_EQ(Tags().WriteInteger(i16, -5), 1);
  ASSERT_EQ(Tags().WriteInteger(u16, 60000), 1);
  ASSERT_EQ(Tags().WriteFloat(real, -7.25f), 1);
  ASSERT_EQ(Tags().WriteInteger(i32, 0x12345678), 1);
  ASSERT_EQ(Tags().WriteString(text, "xyz"), 1);
  ASSERT_EQ(Tags().WriteDiscrete(coil, 0), 1);
  EXPECT_TRUE(PeerHolds(peer, 1, 0, {0xFFFB, 60000})) << peer.Error();
  EXPECT_TRUE(PeerHolds(peer, 1, 4, {Lo(-7.25f), Hi(-7.25f), 0x1234, 0x5678})) << peer.Error();
  EXPECT_TRUE(PeerHolds(peer, 1, 19, {0x7879, 0x7A00})) << peer.Error();
  ASSERT_TRUE(WaitFor([&] {
    const auto bits = peer.GetBits(1, BitTable::kCoils, 2, 1);
    return bits && bits->at(0) == 0;
  })) << peer.Error();
  // ... and come back into the tags by the reads that follow.
  ASSERT_TRUE(WaitFor([&] {
    return LoadValueWord(TagAt(i16)) == -5 && LoadValueWord(TagAt(u16)) == 60000 &&
           LoadValueWord(TagAt(real)) == FloatToWord(-7.25f) &&
           LoadValueWord(TagAt(i32)) == 0x12345678 &&
           AtomText(LoadValueWord(TagAt(text))) == "xyz" && LoadValueWord(TagAt(coil)) == 0;
  })) << Describe();
  EXPECT_TRUE(AllQuality(polled, 192)) << Describe();
  host.StopAll();
  EXPECT_FALSE(host.IsPolling());
}

TEST_F(ModbusHostTest, RtuAndAsciiDevicesOnPortsOfTheirOwnArePolledAndWritten) {
  PtyPair rtuLine, asciiLine;
  ModbusPeer rtuPeer, asciiPeer;
  ASSERT_NO_FATAL_FAILURE(StartSerial(rtuLine, rtuPeer, SerialFraming::kRtu, {1}));
  ASSERT_NO_FATAL_FAILURE(StartSerial(asciiLine, asciiPeer, SerialFraming::kAscii, {2}));
  ASSERT_TRUE(rtuPeer.SetRegisters(1, RegisterTable::kHolding, 9, {4321}));
  ASSERT_TRUE(rtuPeer.SetRegisters(1, RegisterTable::kHolding, 29, {Hi(1.5f), Lo(1.5f)}));
  ASSERT_TRUE(rtuPeer.SetRegisters(1, RegisterTable::kInput, 1, {65535}));
  ASSERT_TRUE(rtuPeer.SetBits(1, BitTable::kCoils, 0, {1}));
  ASSERT_TRUE(asciiPeer.SetRegisters(2, RegisterTable::kHolding, 9, {0xFF85}));
  ASSERT_TRUE(asciiPeer.SetRegisters(2, RegisterTable::kHolding, 39, {0x6162, 0x6364}));
  ASSERT_TRUE(asciiPeer.SetBits(2, BitTable::kDiscreteInputs, 4, {1}));

  ASSERT_NO_FATAL_FAILURE(Port(3, rtuLine.DriverEnd()));
  ASSERT_NO_FATAL_FAILURE(Port(4, asciiLine.DriverEnd()));
  AddDevice(ModbusDevice("R", 3, kRtu, "1", 1));
  AddDevice(ModbusDevice("A", 4, kAscii, "2", 2));
  const uint16_t r16 = Tag("R", kRtu, "4X10", kRawInt16);
  const uint16_t rFloat = Tag("R", kRtu, "4X30", kRawFloat);
  const uint16_t rInput = Tag("R", kRtu, "3X2", kRawUInt16);
  const uint16_t rCoil = Tag("R", kRtu, "0X1", kRawBit);
  const uint16_t a16 = Tag("A", kAscii, "4X10", kRawInt16);
  const uint16_t aText = Tag("A", kAscii, "4X40.4", kRawString);
  const uint16_t aInput = Tag("A", kAscii, "1X5", kRawBit);
  const std::vector<uint16_t> polled = {r16, rFloat, rInput, rCoil, a16, aText, aInput};

  DriverHost& host = MakeHost(5);
  host.CreateDrivers("");
  ASSERT_EQ(host.DriverCount(), 2u);
  host.StartAll();
  ASSERT_TRUE(host.Driver(0).HasThread());
  ASSERT_TRUE(host.Driver(1).HasThread());
  ASSERT_TRUE(WaitFor([&] {
    return AllQuality(polled, 192) && LoadValueWord(TagAt(r16)) == 4321 &&
           LoadValueWord(TagAt(rFloat)) == FloatToWord(1.5f) &&
           LoadValueWord(TagAt(rInput)) == 65535 && LoadValueWord(TagAt(rCoil)) == 1 &&
           LoadValueWord(TagAt(a16)) == -123 && AtomText(LoadValueWord(TagAt(aText))) == "abcd" &&
           LoadValueWord(TagAt(aInput)) == 1;
  })) << Describe();

  ASSERT_EQ(Tags().WriteInteger(r16, 17), 1);
  ASSERT_EQ(Tags().WriteFloat(rFloat, 0.25f), 1);
  ASSERT_EQ(Tags().WriteInteger(a16, -2), 1);
  ASSERT_EQ(Tags().WriteString(aText, "wxyz"), 1);
  EXPECT_TRUE(PeerHolds(rtuPeer, 1, 9, {17})) << rtuPeer.Error();
  EXPECT_TRUE(PeerHolds(rtuPeer, 1, 29, {Hi(0.25f), Lo(0.25f)})) << rtuPeer.Error();
  EXPECT_TRUE(PeerHolds(asciiPeer, 2, 9, {0xFFFE})) << asciiPeer.Error();
  EXPECT_TRUE(PeerHolds(asciiPeer, 2, 39, {0x7778, 0x797A})) << asciiPeer.Error();
  ASSERT_TRUE(WaitFor([&] {
    return LoadValueWord(TagAt(r16)) == 17 && LoadValueWord(TagAt(a16)) == -2 &&
           AtomText(LoadValueWord(TagAt(aText))) == "wxyz";
  })) << Describe();
  host.StopAll();
}

TEST_F(ModbusHostTest, AnRtuAndATcpDeviceOnOnePortNumberShareOneDriverAndStayApart) {
  PtyPair line;
  ModbusPeer rtuPeer, tcpPeer;
  ASSERT_NO_FATAL_FAILURE(StartSerial(line, rtuPeer, SerialFraming::kRtu, {1}));
  ASSERT_TRUE(tcpPeer.StartTcp({1}, kPeerSize)) << tcpPeer.Error();
  // The same unit and the same registers on both servers, with different values: a request for
  // one device that went to the other would show.
  ASSERT_TRUE(rtuPeer.SetRegisters(1, RegisterTable::kHolding, 0, {111, 112}));
  ASSERT_TRUE(tcpPeer.SetRegisters(1, RegisterTable::kHolding, 0, {221, 222}));

  ASSERT_NO_FATAL_FAILURE(Port(5, line.DriverEnd()));
  AddDevice(ModbusDevice("R", 5, kRtu, "1", 1));
  AddDevice(ModbusDevice("T", 5, kTcp, TcpStation(tcpPeer.Port(), 1), 1));
  const uint16_t r1 = Tag("R", kRtu, "4X1", kRawInt16);
  const uint16_t t1 = Tag("T", kTcp, "4X1", kRawInt16);
  const uint16_t r2 = Tag("R", kRtu, "4X2", kRawInt16);
  const uint16_t t2 = Tag("T", kTcp, "4X2", kRawInt16);

  DriverHost& host = MakeHost(5);
  host.CreateDrivers("");
  ASSERT_EQ(host.DriverCount(), 1u);
  EXPECT_EQ(host.Driver(0).Devices().size(), 2u);
  // One request per device, however alike their addresses are.
  EXPECT_EQ(host.Driver(0).ReadGroupCount(), 2u);
  host.StartAll();
  ASSERT_TRUE(WaitFor([&] {
    return AllQuality({r1, t1, r2, t2}, 192) && LoadValueWord(TagAt(r1)) == 111 &&
           LoadValueWord(TagAt(r2)) == 112 && LoadValueWord(TagAt(t1)) == 221 &&
           LoadValueWord(TagAt(t2)) == 222;
  })) << Describe();

  ASSERT_EQ(Tags().WriteInteger(r2, 113), 1);
  ASSERT_EQ(Tags().WriteInteger(t2, 223), 1);
  EXPECT_TRUE(PeerHolds(rtuPeer, 1, 0, {111, 113})) << rtuPeer.Error();
  EXPECT_TRUE(PeerHolds(tcpPeer, 1, 0, {221, 223})) << tcpPeer.Error();
  ASSERT_TRUE(WaitFor([&] {
    return LoadValueWord(TagAt(r2)) == 113 && LoadValueWord(TagAt(t2)) == 223;
  })) << Describe();

  // Stopped, both lines are let go: started again, the serial line opens anew and the TCP
  // device is connected again.
  host.StopAll();
  EXPECT_EQ(host.Driver(0).IsOpen(), 0);
  ASSERT_TRUE(rtuPeer.SetRegisters(1, RegisterTable::kHolding, 0, {114}));
  ASSERT_TRUE(tcpPeer.SetRegisters(1, RegisterTable::kHolding, 0, {224}));
  host.StartAll();
  ASSERT_TRUE(WaitFor([&] {
    return AllQuality({r1, t1, r2, t2}, 192) && LoadValueWord(TagAt(r1)) == 114 &&
           LoadValueWord(TagAt(t1)) == 224;
  })) << Describe();
  host.StopAll();
}

TEST_F(ModbusHostTest, ServersThatStopMarkTheirTagsBadAndTheyRecoverWhenTheServersReturn) {
  // TCP: a server that can be started again at the same port, so the device's address holds.
  auto tcp = std::make_unique<modbus_test::ScriptedTcpPeer>();
  const uint16_t tcpPort = tcp->port();
  ASSERT_NE(tcpPort, 0);
  // RTU: the peer ends and a new one serves the same terminal.
  PtyPair line;
  ModbusPeer rtuPeer;
  ASSERT_NO_FATAL_FAILURE(StartSerial(line, rtuPeer, SerialFraming::kRtu, {1}));
  ASSERT_TRUE(rtuPeer.SetRegisters(1, RegisterTable::kHolding, 0, {500}));

  ASSERT_NO_FATAL_FAILURE(Port(2));
  ASSERT_NO_FATAL_FAILURE(Port(3, line.DriverEnd()));
  AddDevice(ModbusDevice("T", 2, kTcp, TcpStation(tcpPort, 1), 1));
  AddDevice(ModbusDevice("R", 3, kRtu, "1", 1));
  const uint16_t t11 = Tag("T", kTcp, "4X11", kRawInt16);  // register 10 holds 30
  const uint16_t t21 = Tag("T", kTcp, "4X21", kRawInt16);  // register 20 holds 60
  const uint16_t r1 = Tag("R", kRtu, "4X1", kRawInt16);
  const std::vector<uint16_t> tcpTags = {t11, t21};
  const std::vector<uint16_t> rtuTags = {r1};

  DriverHost& host = MakeHost(5);
  host.CreateDrivers("");
  ASSERT_EQ(host.DriverCount(), 2u);
  host.StartAll();
  ASSERT_TRUE(WaitFor([&] {
    return AllQuality(tcpTags, 192) && AllQuality(rtuTags, 192) &&
           LoadValueWord(TagAt(t11)) == 30 && LoadValueWord(TagAt(t21)) == 60 &&
           LoadValueWord(TagAt(r1)) == 500;
  })) << Describe();

  host.TakeEvents();
  tcp.reset();
  ASSERT_TRUE(rtuPeer.Stop());
  ASSERT_TRUE(WaitFor([&] { return AllQuality(tcpTags, 0) && AllQuality(rtuTags, 0); }))
      << Describe();
  // The refused connection is reported, once, with the device it concerns.
  std::vector<talvek::RuntimeEvent> events;
  auto reported = [&](talvek::RuntimeEvent::Kind kind, int port) {
    for (auto& e : host.TakeEvents())
      events.push_back(std::move(e));
    int n = 0;
    for (const auto& e : events)
      n += e.kind == kind && e.portNumber == port;
    return n;
  };
  ASSERT_TRUE(WaitFor([&] { return reported(talvek::RuntimeEvent::Kind::kLineFailed, 2) > 0; }));
  EXPECT_EQ(reported(talvek::RuntimeEvent::Kind::kLineFailed, 2), 1);
  // The last values stay.
  EXPECT_EQ(LoadValueWord(TagAt(t11)), 30);
  EXPECT_EQ(LoadValueWord(TagAt(r1)), 500);

  tcp = std::make_unique<modbus_test::ScriptedTcpPeer>(tcpPort);
  ASSERT_EQ(tcp->port(), tcpPort);
  tcp->SetRegister(10, 31);
  ASSERT_TRUE(rtuPeer.StartSerial(SerialFraming::kRtu, line.PeerEnd(), kBaud, {1}, kPeerSize))
      << rtuPeer.Error();
  ASSERT_TRUE(rtuPeer.SetRegisters(1, RegisterTable::kHolding, 0, {501}));
  ASSERT_TRUE(WaitFor([&] {
    return AllQuality(tcpTags, 192) && AllQuality(rtuTags, 192) &&
           LoadValueWord(TagAt(t11)) == 31 && LoadValueWord(TagAt(r1)) == 501;
  })) << Describe();
  EXPECT_GE(tcp->Connections(), 1);
  EXPECT_TRUE(WaitFor([&] { return reported(talvek::RuntimeEvent::Kind::kPortUp, 2) > 0; }));
  host.StopAll();
}

TEST_F(ModbusHostTest, ADeadUnitIsSetAsideWhileItsLineMatesKeepPollingAndReturnsWhenItAnswers) {
  PtyPair line;
  ModbusPeer peer;
  ASSERT_NO_FATAL_FAILURE(StartSerial(line, peer, SerialFraming::kRtu, {1, 2}));
  ASSERT_TRUE(peer.SetRegisters(1, RegisterTable::kHolding, 0, {11}));
  ASSERT_TRUE(peer.SetRegisters(2, RegisterTable::kHolding, 0, {22}));
  ASSERT_NO_FATAL_FAILURE(Port(3, line.DriverEnd()));
  DeviceRecord live = ModbusDevice("Live", 3, kRtu, "1", 1);
  DeviceRecord dead = ModbusDevice("Dead", 3, kRtu, "2", 2);
  for (DeviceRecord* d : {&live, &dead})
    d->dynamicOptimization = 1;
  AddDevice(live);
  AddDevice(dead);
  const uint16_t liveTag = Tag("Live", kRtu, "4X1", kRawInt16);
  const uint16_t deadTag = Tag("Dead", kRtu, "4X1", kRawInt16);

  DriverHost& host = MakeHost(5);
  host.SetRetryInterval(400);
  host.CreateDrivers("");
  host.StartAll();
  ASSERT_TRUE(WaitFor([&] {
    return LoadQuality(TagAt(liveTag)) == 192 && LoadQuality(TagAt(deadTag)) == 192 &&
           LoadValueWord(TagAt(deadTag)) == 22;
  })) << Describe();

  std::vector<talvek::RuntimeEvent> events;
  auto reported = [&](talvek::RuntimeEvent::Kind kind) -> const talvek::RuntimeEvent* {
    for (auto& e : host.TakeEvents())
      events.push_back(std::move(e));
    for (const auto& e : events) {
      if (e.kind == kind)
        return &e;
    }
    return nullptr;
  };
  ASSERT_TRUE(peer.Command("silent 2 1").has_value()) << peer.Error();
  ASSERT_TRUE(WaitFor([&] { return reported(talvek::RuntimeEvent::Kind::kDeviceDemoted); }));
  const talvek::RuntimeEvent* demoted = reported(talvek::RuntimeEvent::Kind::kDeviceDemoted);
  EXPECT_EQ(demoted->deviceName, "Dead");
  EXPECT_EQ(demoted->text, platform::Utf8ToGbk("超时：没有完整的应答"));  // the driver's reason
  EXPECT_EQ(LoadQuality(TagAt(deadTag)), 0);
  EXPECT_EQ(LoadValueWord(TagAt(deadTag)), 22);  // the last value stays
  // The driver traced why: the failures count as time-outs.
  const std::vector<talvek::DeviceStatistics> stats = host.Statistics();
  ASSERT_EQ(stats.size(), 2u);
  EXPECT_EQ(stats[1].deviceName, "Dead");
  EXPECT_GE(stats[1].timeouts, 3u);
  EXPECT_EQ(stats[1].state, talvek::DeviceState::kDemoted);
  EXPECT_EQ(stats[0].state, talvek::DeviceState::kGood);
  // The live unit keeps its cycle: a new value arrives while its neighbour is set aside.
  ASSERT_TRUE(peer.SetRegisters(1, RegisterTable::kHolding, 0, {12}));
  ASSERT_TRUE(WaitFor([&] { return LoadValueWord(TagAt(liveTag)) == 12; })) << Describe();
  EXPECT_EQ(LoadQuality(TagAt(liveTag)), 192);
  EXPECT_EQ(reported(talvek::RuntimeEvent::Kind::kLineFailed), nullptr);

  // Answering again: back at the next retry, with the new value.
  ASSERT_TRUE(peer.SetRegisters(2, RegisterTable::kHolding, 0, {23}));
  ASSERT_TRUE(peer.Command("silent 2 0").has_value()) << peer.Error();
  ASSERT_TRUE(WaitFor([&] { return reported(talvek::RuntimeEvent::Kind::kDevicePromoted); }));
  EXPECT_EQ(reported(talvek::RuntimeEvent::Kind::kDevicePromoted)->deviceName, "Dead");
  ASSERT_TRUE(WaitFor([&] {
    return LoadQuality(TagAt(deadTag)) == 192 && LoadValueWord(TagAt(deadTag)) == 23;
  })) << Describe();
  host.StopAll();
}

}  // namespace
