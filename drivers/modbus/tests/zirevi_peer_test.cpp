// The Modbus driver against an independent server, in all three framings: TCP on 127.0.0.1, RTU
// and ASCII on one end of a pseudo-terminal pair. Every value is set or checked on the server's
// side through its own command channel, never through our codec.
#include <gtest/gtest.h>

#include <bit>
#include <chrono>
#include <cstring>
#include <map>
#include <memory>
#include <string>
#include <thread>

#include "common/driver_trace.h"
#include "common/testing/modbus_peer.h"
#include "common/testing/ser2net.h"
#include "drivers/modbus/tests/driver_fixture.h"
#include "platform/atoms.h"
#include "platform/gbk.h"
#include "platform/registry.h"
#include "platform/serial_port.h"

namespace modbus_test {
namespace {

using testing_support::BitTable;
using testing_support::ModbusPeer;
using testing_support::PtyPair;
using testing_support::RegisterTable;
using testing_support::SerialFraming;
using Clock = std::chrono::steady_clock;

constexpr int kBaud = 38400;
constexpr int kTimeoutMs = 500;
constexpr int kPeerSize = 10000;

// One running server per framing, shared by the tests of that framing (starting the server is
// the slow part), with the pseudo-terminal pair it serves on.
struct Served {
  std::unique_ptr<PtyPair> line;
  std::unique_ptr<ModbusPeer> peer;
  std::string driverPort = "Com1";  // TCP devices never touch the serial port
  std::string station;
};

const char* ModelOf(const std::string& framing) {
  return framing == "tcp" ? kTcp : framing == "rtu" ? kRtu : kAscii;
}

class ZireviPeerTest : public DriverFixture, public ::testing::WithParamInterface<std::string> {
 protected:
  static std::map<std::string, Served>& Servers() {
    static std::map<std::string, Served> servers;
    return servers;
  }
  static void TearDownTestSuite() { Servers().clear(); }

  void SetUp() override {
    DriverFixture::SetUp();
    std::string why;
    ASSERT_TRUE(ModbusPeer::CanRun(&why)) << why;
    Served& served = Servers()[GetParam()];
    if (!served.peer || !served.peer->Running()) {
      served.peer = std::make_unique<ModbusPeer>();
      if (GetParam() == "tcp") {
        ASSERT_TRUE(served.peer->StartTcp({1, 2}, kPeerSize)) << served.peer->Error();
        served.station = "127.0.0.1:" + std::to_string(served.peer->Port()) + "#1";
      } else {
        served.line = std::make_unique<PtyPair>();
        ASSERT_TRUE(served.line->Start());
        ASSERT_TRUE(served.peer->StartSerial(
            GetParam() == "rtu" ? SerialFraming::kRtu : SerialFraming::kAscii,
            served.line->PeerEnd(), kBaud, {1, 2}, kPeerSize))
            << served.peer->Error();
        served.driverPort = served.line->DriverEnd();
        served.station = "1";
      }
    }
    served_ = &served;
    driver_ = Create();
    second_ = Second(driver_);
    settings_ = Port(served.driverPort, kBaud, kTimeoutMs);
    ASSERT_EQ(driver_->OpenPort(1, &settings_), 1);
  }

  ModbusPeer& peer() { return *served_->peer; }
  MiniHost Host(const std::string& station = "") {
    return MiniHost(driver_, ModelOf(GetParam()),
                    station.empty() ? served_->station.c_str() : station.c_str());
  }
  // The station text of unit `unit` on the same server.
  std::string Unit(int unit) {
    if (GetParam() != "tcp")
      return std::to_string(unit);
    return "127.0.0.1:" + std::to_string(peer().Port()) + "#" + std::to_string(unit);
  }

  Served* served_ = nullptr;
  IProtocolDriver* driver_ = nullptr;
  IProtocolDriver2* second_ = nullptr;
  CommSettings settings_{};
};

uint32_t FloatBits(float f) {
  return std::bit_cast<uint32_t>(f);
}

TEST_P(ZireviPeerTest, ReadsEveryDataTypeInOneMergedRequest) {
  ASSERT_TRUE(peer().SetRegisters(1, RegisterTable::kHolding, 100,
                                  {0xFFFE, 65000, 0x1234, 0x12AB,   // 4X101..4X104
                                   0x0001, 0xE240, 0xE240, 0x0001,  // int32 H, int32 L
                                   0x1234, 0x5678,                  // BCD32
                                   0x3FC0, 0x0000, 0x0000, 0x3FC0,  // 1.5f H, 1.5f L
                                   0x4865, 0x6C6C, 0x6F00}));       // "Hello"
  ASSERT_TRUE(peer().SetRegisters(1, RegisterTable::kInput, 9, {0x8000}));
  ASSERT_TRUE(peer().SetBits(1, BitTable::kCoils, 0, {1, 0, 1}));
  ASSERT_TRUE(peer().SetBits(1, BitTable::kDiscreteInputs, 1999, {1}));

  MiniHost host = Host();
  const std::pair<const char*, uint16_t> tags[] = {
      {"4X101", kInt16},  {"4X102", kUint16}, {"4X103", kBcd16},   {"4X104", kByte},
      {"4X105", kInt32},  {"4X107L", kInt32}, {"4X109", kBcd32},   {"4X111", kFloat},
      {"4X113L", kFloat}, {"3X10", kInt16},   {"0X1", kBit},       {"0X2", kBit},
      {"0X3", kBit},      {"1X2000", kBit},   {"4X115.5", kString}};
  for (const auto& [address, type] : tags)
    ASSERT_TRUE(host.AddRead(address, type)) << address;
  // 4X101..4X114 share a request when their word orders allow it; the string reads on its own.
  for (auto& group : host.groups())
    ASSERT_EQ(second_->ExecuteGroupEx(group->get()), 1) << (*group)->areaIndex;

  for (auto& group : host.groups()) {
    for (GroupItem* item : group->items())
      EXPECT_EQ(item->quality, 192);
  }
  // Find each tag's value by walking the groups in the order the tags were added.
  auto value = [&](const char* address) -> int32_t {
    size_t index = 0;
    for (; index < std::size(tags) && std::strcmp(tags[index].first, address) != 0; ++index) {
    }
    for (auto& group : host.groups()) {
      for (GroupItem* item : group->items()) {
        if (item->byteAddress == HostNumber(address) && item->dataType == tags[index].second &&
            (*group)->areaIndex == (address[0] == '4'   ? 3
                                    : address[0] == '3' ? 2
                                    : address[0] == '1' ? 1
                                                        : 0))
          return item->value;
      }
    }
    ADD_FAILURE() << "no item for " << address;
    return 0;
  };
  EXPECT_EQ(value("4X101"), -2);
  EXPECT_EQ(value("4X102"), 65000);
  EXPECT_EQ(value("4X103"), 1234);
  EXPECT_EQ(value("4X104"), 0xAB);
  EXPECT_EQ(value("4X105"), 123456);
  EXPECT_EQ(value("4X107L"), 123456);
  EXPECT_EQ(value("4X109"), 12345678);
  EXPECT_EQ(static_cast<uint32_t>(value("4X111")), FloatBits(1.5f));
  EXPECT_EQ(static_cast<uint32_t>(value("4X113L")), FloatBits(1.5f));
  EXPECT_EQ(value("3X10"), -32768);
  EXPECT_EQ(value("0X1"), 1);
  EXPECT_EQ(value("0X2"), 0);
  EXPECT_EQ(value("0X3"), 1);
  EXPECT_EQ(value("1X2000"), 1);
  const ATOM atom = static_cast<ATOM>(value("4X115.5") & 0xFFFF);
  char text[64] = {};
  ASSERT_GT(platform::GlobalGetAtomNameA(atom, text, sizeof text), 0u);
  EXPECT_STREQ(text, "Hello");
  platform::GlobalDeleteAtom(atom);
}

TEST_P(ZireviPeerTest, WritesEveryDataTypeAsTheServerSeesIt) {
  MiniHost host = Host();
  const ATOM atom = platform::GlobalAddAtomA("ABC");
  struct Write {
    const char* address;
    uint16_t type;
    int32_t value;
  } writes[] = {{"4X201", kInt16, -3},
                {"4X202", kUint16, 60000},
                {"4X203", kBcd16, 9876},
                {"4X204", kByte, 0x7F},
                {"4X205", kInt32, -2},
                {"4X207L", kInt32, 0x00010002},
                {"4X209", kBcd32, 87654321},
                {"4X211", kFloat, static_cast<int32_t>(FloatBits(-2.25f))},
                {"4X213L", kFloat, static_cast<int32_t>(FloatBits(-2.25f))},
                {"4X215.4", kString, atom},
                {"0X11", kBit, 1},
                {"0X12", kBit, 0}};
  ASSERT_TRUE(peer().SetBits(1, BitTable::kCoils, 10, {0, 1}));
  for (const Write& w : writes) {
    Group* group = host.AddWrite(w.address, w.type, w.value);
    ASSERT_NE(group, nullptr) << w.address;
    EXPECT_EQ(second_->ExecuteGroupEx(group->get()), 1) << w.address;
  }
  platform::GlobalDeleteAtom(atom);
  const auto words = peer().GetRegisters(1, RegisterTable::kHolding, 200, 16);
  ASSERT_TRUE(words) << peer().Error();
  const std::vector<uint16_t> expected = {0xFFFD, 60000,  0x9876, 0x007F, 0xFFFF, 0xFFFE,
                                          0x0002, 0x0001, 0x8765, 0x4321, 0xC010, 0x0000,
                                          0x0000, 0xC010, 0x4142, 0x4300};
  EXPECT_EQ(*words, expected);
  const auto bits = peer().GetBits(1, BitTable::kCoils, 10, 2);
  ASSERT_TRUE(bits);
  EXPECT_EQ(*bits, (std::vector<uint8_t>{1, 0}));
}

TEST_P(ZireviPeerTest, ReadsTheLargestRequestOf125Registers) {
  std::vector<uint16_t> values(125);
  for (int i = 0; i < 125; ++i)
    values[i] = static_cast<uint16_t>(1000 + i);
  ASSERT_TRUE(peer().SetRegisters(1, RegisterTable::kHolding, 500, values));
  MiniHost host = Host();
  for (int n : {501, 560, 625, 626}) {
    const std::string address = "4X" + std::to_string(n);
    ASSERT_TRUE(host.AddRead(address.c_str(), kUint16));
  }
  ASSERT_EQ(host.groups().size(), 2u) << "register 626 would make 126";
  ASSERT_EQ(second_->ExecuteGroupEx(host.groups()[0]->get()), 1);
  Group& first = *host.groups()[0];
  EXPECT_EQ(first.item(0).value, 1000);
  EXPECT_EQ(first.item(1).value, 1059);
  EXPECT_EQ(first.item(2).value, 1124);
}

TEST_P(ZireviPeerTest, AnExceptionFailsTheCallAndSetsNoValue) {
  MiniHost host = Host();
  const std::string past = "4X" + std::to_string(kPeerSize + 1);
  ASSERT_TRUE(host.AddRead(past.c_str(), kInt16));
  GroupItem& item = host.groups()[0]->item(0);
  item.value = 4711;
  item.quality = 7;
  EXPECT_EQ(second_->ExecuteGroupEx(host.groups()[0]->get()), 0);
  EXPECT_EQ(item.value, 4711);
  EXPECT_EQ(item.quality, 7);
  ASSERT_TRUE(host.AddRead("4X1", kInt16));
  EXPECT_EQ(second_->ExecuteGroupEx(host.groups()[1]->get()), 1) << "the next request is clean";
}

TEST_P(ZireviPeerTest, AUnitNobodyServesFailsWithinTheTimeOutAndTheNextCallSucceeds) {
  MiniHost silent = Host(Unit(9));
  MiniHost served = Host(Unit(2));
  ASSERT_TRUE(silent.AddRead("4X1", kInt16));
  ASSERT_TRUE(served.AddRead("4X1", kInt16));
  ASSERT_TRUE(peer().SetRegisters(2, RegisterTable::kHolding, 0, {222}));
  const auto started = Clock::now();
  EXPECT_EQ(second_->ExecuteGroupEx(silent.groups()[0]->get()), 0);
  EXPECT_LT(Clock::now() - started, std::chrono::milliseconds(kTimeoutMs + 700));
  ASSERT_EQ(second_->ExecuteGroupEx(served.groups()[0]->get()), 1);
  EXPECT_EQ(served.groups()[0]->item(0).value, 222);
}

// Keeps what the driver traces, as the host's sink would (texts back in UTF-8).
class RecordingSink final : public ITraceSink {
 public:
  struct Entry {
    int32_t kind, event, station, code;
    size_t length;
    std::string text;
  };
  void Trace(const TraceRecord* r) override {
    entries.push_back({r->kind, r->event, r->station, r->code, static_cast<size_t>(r->length),
                       r->text != nullptr ? platform::GbkToUtf8(r->text) : std::string()});
  }
  std::vector<Entry> entries;
};

TEST_P(ZireviPeerTest, EveryFrameAndFailureReachesTheTraceSinkWithItsReading) {
  IDriverTrace* trace = nullptr;
  ASSERT_EQ(driver_->QueryInterface(IID_IDriverTrace, reinterpret_cast<void**>(&trace)), S_OK);
  RecordingSink sink;
  ASSERT_EQ(trace->SetTraceSink(&sink), 1);
  MiniHost served = Host(Unit(2));
  MiniHost silent = Host(Unit(9));
  const std::string past = "4X" + std::to_string(kPeerSize + 1);
  ASSERT_TRUE(served.AddRead("4X1", kInt32));
  ASSERT_TRUE(served.AddRead(past.c_str(), kInt16));
  ASSERT_TRUE(silent.AddRead("4X1", kInt16));

  ASSERT_EQ(second_->ExecuteGroupEx(served.groups()[0]->get()), 1);
  ASSERT_EQ(sink.entries.size(), 2u);
  EXPECT_EQ(sink.entries[0].kind, kTraceSent);
  EXPECT_EQ(sink.entries[0].station, 2);
  EXPECT_EQ(sink.entries[0].text, "读保持寄存器 4X1..4X2");
  EXPECT_EQ(sink.entries[1].kind, kTraceReceived);
  EXPECT_EQ(sink.entries[1].text, "应答 读保持寄存器 4 字节");

  sink.entries.clear();
  EXPECT_EQ(second_->ExecuteGroupEx(served.groups()[1]->get()), 0);
  ASSERT_EQ(sink.entries.size(), 3u);
  EXPECT_EQ(sink.entries[1].text, "异常 02 非法数据地址");
  EXPECT_EQ(sink.entries[2].event, kTraceRefused);
  EXPECT_EQ(sink.entries[2].code, 2);

  sink.entries.clear();
  EXPECT_EQ(second_->ExecuteGroupEx(silent.groups()[0]->get()), 0);
  ASSERT_FALSE(sink.entries.empty());
  EXPECT_EQ(sink.entries.front().kind, kTraceSent);
  EXPECT_EQ(sink.entries.back().kind, kTraceEvent);
  EXPECT_EQ(sink.entries.back().event, kTraceTimeout);
  EXPECT_EQ(sink.entries.back().station, 9);

  // Detached: nothing more.
  ASSERT_EQ(trace->SetTraceSink(nullptr), 1);
  sink.entries.clear();
  ASSERT_EQ(second_->ExecuteGroupEx(served.groups()[0]->get()), 1);
  EXPECT_TRUE(sink.entries.empty());
  trace->Release();
}

TEST_P(ZireviPeerTest, TheFirstInterfaceReadsAndWritesToo) {
  MiniHost host = Host();
  ASSERT_TRUE(peer().SetRegisters(1, RegisterTable::kHolding, 300, {0x8001}));
  ASSERT_TRUE(host.AddRead("4X301", kInt16));
  ASSERT_EQ(driver_->ExecuteGroup(host.groups()[0]->get()), 1);
  EXPECT_EQ(host.groups()[0]->item(0).bitOrLength, -32767) << "the value read sits at offset 12";
  Group* write = host.AddWrite("4X302", kUint16, 0);
  write->item(0).bitOrLength = 4321;
  ASSERT_EQ(driver_->ExecuteGroup(write->get()), 1);
  const auto words = peer().GetRegisters(1, RegisterTable::kHolding, 301, 1);
  ASSERT_TRUE(words);
  EXPECT_EQ((*words)[0], 4321);
}

// A device that answers late, answers twice or sends bytes nobody asked for, and a unit that stays
// silent behind a gateway: the next request (same function, same count) still gets its own answer,
// and a TCP connection outlives a silent unit.
TEST_P(ZireviPeerTest, ALateRepeatedOrStrayAnswerIsNeverTakenForTheNextOne) {
  const bool tcp = GetParam() == "tcp";
  struct Case {
    const char* name;
    std::string fault;  // a peer command before the first read
    int firstUnit;
    BOOL firstResult;
    bool stray;  // an answer-shaped frame arrives after the first read, while nothing is pending
  } cases[] = {
      {"late answer", "delay " + std::to_string(kTimeoutMs + 30), 1, 0, false},
      {"answer sent twice", "dup", 1, 1, false},
      {"stray answer while idle", "", 1, 1, true},
      {"silent unit", "silent 2 1", 2, 0, false},
  };
  ASSERT_TRUE(peer().SetRegisters(1, RegisterTable::kHolding, 100, {101}));
  ASSERT_TRUE(peer().SetRegisters(2, RegisterTable::kHolding, 100, {201}));
  ASSERT_TRUE(peer().SetRegisters(1, RegisterTable::kHolding, 1100, {1101}));
  for (const Case& c : cases) {
    if (c.stray && tcp)
      continue;  // a byte stream has no idle line
    MiniHost first = Host(Unit(c.firstUnit));
    MiniHost next = Host(Unit(1));
    ASSERT_TRUE(first.AddRead("4X101", kUint16));
    ASSERT_TRUE(next.AddRead("4X1101", kUint16));
    ASSERT_EQ(second_->ExecuteGroupEx(next.groups()[0]->get()), 1) << c.name;
    const auto connections = peer().Command("connections");
    ASSERT_TRUE(connections) << peer().Error();
    if (!c.fault.empty())
      ASSERT_TRUE(peer().Command(c.fault)) << peer().Error();
    EXPECT_EQ(second_->ExecuteGroupEx(first.groups()[0]->get()), c.firstResult) << c.name;
    if (c.stray) {
      ASSERT_TRUE(peer().Command(GetParam() == "rtu" ? "stray 010302dead2059"
                                                     : "stray 3a3031303330324445414436460d0a"));
      HANDLE line = INVALID_HANDLE_VALUE;
      ASSERT_EQ(second_->GetPortHandle(&line), 1);
      COMSTAT stat{};
      const auto queuedBy = Clock::now() + std::chrono::seconds(2);
      while (platform::ClearCommError(line, nullptr, &stat) && stat.cbInQue == 0 &&
             Clock::now() < queuedBy)
        std::this_thread::yield();
    }
    ASSERT_EQ(second_->ExecuteGroupEx(next.groups()[0]->get()), 1) << c.name;
    EXPECT_EQ(next.groups()[0]->item(0).value, 1101) << c.name;
    EXPECT_EQ(next.groups()[0]->item(0).quality, 192) << c.name;
    EXPECT_EQ(peer().Command("connections"), connections) << c.name << ": the connection is kept";
    ASSERT_TRUE(peer().Command("clear"));
  }
}

// Tags on 4X1..4X3, 4X100 and 4X120 share one request. Where the device has no register inside
// that span it answers exception 2: the request is split and the parts read on their own (and
// remembered, so the next cycle goes straight to them); a tag is bad only when its own register
// is refused. Values land exactly as from one unsplit read.
TEST_P(ZireviPeerTest, AMergedReadRefusedWithException2IsSplit) {
  ASSERT_TRUE(peer().SetRegisters(1, RegisterTable::kHolding, 0, {11, 0x0001, 0xE240}));
  ASSERT_TRUE(peer().SetRegisters(1, RegisterTable::kHolding, 99, {100}));
  ASSERT_TRUE(peer().SetRegisters(1, RegisterTable::kHolding, 119, {0x1234}));
  struct Case {
    const char* name;
    const char* hole;  // protocol addresses of holding registers the device does not have
    int requests;      // function 3 requests of the first cycle
    int nextRequests;  // and of the next one
    uint16_t bad;      // the tag whose register is refused, 0 for none
  } cases[] = {
      {"no hole", "", 1, 1, 0},
      {"hole between the tags", "hole 1 h 49 11", 3, 2, 0},
      {"hole on a tag's own register", "hole 1 h 99 1", 5, 3, 100},
  };
  const std::pair<uint16_t, int32_t> expected[] = {{1, 11}, {2, 123456}, {100, 100}, {120, 0x34}};
  for (const Case& c : cases) {
    ASSERT_EQ(driver_->ClosePort(), 1);  // forgets the splits of the case before
    ASSERT_EQ(driver_->OpenPort(1, &settings_), 1);
    ASSERT_TRUE(peer().Command("clear"));
    if (*c.hole != '\0')
      ASSERT_TRUE(peer().Command(c.hole));
    MiniHost host = Host();
    ASSERT_TRUE(host.AddRead("4X1", kUint16));
    ASSERT_TRUE(host.AddRead("4X2", kInt32));
    ASSERT_TRUE(host.AddRead("4X100", kUint16));
    ASSERT_TRUE(host.AddRead("4X120", kByte));
    ASSERT_EQ(host.groups().size(), 1u);
    Group& group = *host.groups()[0];
    for (int cycle : {1, 2}) {
      const long before = std::stol(peer().Command("seen 3").value_or("-1"));
      for (GroupItem* item : group.items())
        item->quality = 7;
      ASSERT_EQ(second_->ExecuteGroupEx(group.get()), 1) << c.name;
      const long after = std::stol(peer().Command("seen 3").value_or("-1"));
      EXPECT_EQ(after - before, cycle == 1 ? c.requests : c.nextRequests) << c.name << cycle;
      for (size_t i = 0; i < std::size(expected); ++i) {
        GroupItem& item = group.item(i);
        ASSERT_EQ(item.byteAddress, expected[i].first);
        EXPECT_EQ(item.quality, item.byteAddress == c.bad ? 0 : 192) << c.name << item.byteAddress;
        if (item.byteAddress != c.bad) {
          EXPECT_EQ(item.value, expected[i].second) << c.name << item.byteAddress;
        }
      }
    }
  }
  ASSERT_TRUE(peer().Command("clear"));
}

// A byte tag is the register's low byte: writing it keeps the high byte, with function 22, or
// by reading the register and writing it back where the device refuses function 22.
TEST_P(ZireviPeerTest, WritingAByteKeepsTheRegistersOtherByte) {
  struct Case {
    const char* name;
    const char* fault;
    int maskWrites;    // function 22 requests of the two writes
    int singleWrites;  // function 6 requests
  } cases[] = {
      {"function 22", "clear", 2, 0},
      {"function 22 refused", "refuse 22", 1, 2},
  };
  for (const Case& c : cases) {
    ASSERT_TRUE(peer().Command(c.fault)) << c.name;
    ASSERT_TRUE(peer().SetRegisters(1, RegisterTable::kHolding, 400, {0xAB55}));
    const long masks = std::stol(peer().Command("seen 22").value_or("-1"));
    const long singles = std::stol(peer().Command("seen 6").value_or("-1"));
    MiniHost host = Host();
    for (int32_t value : {0x12, 0x1FE}) {
      Group* write = host.AddWrite("4X401", kByte, value);
      ASSERT_NE(write, nullptr);
      ASSERT_EQ(second_->ExecuteGroupEx(write->get()), 1) << c.name;
      const auto words = peer().GetRegisters(1, RegisterTable::kHolding, 400, 1);
      ASSERT_TRUE(words);
      EXPECT_EQ((*words)[0], 0xAB00 | (value & 0xFF)) << c.name;
    }
    EXPECT_EQ(std::stol(peer().Command("seen 22").value_or("-1")) - masks, c.maskWrites) << c.name;
    EXPECT_EQ(std::stol(peer().Command("seen 6").value_or("-1")) - singles, c.singleWrites)
        << c.name;
    ASSERT_TRUE(host.AddRead("4X401", kByte));
    ASSERT_EQ(second_->ExecuteGroupEx(host.groups().back()->get()), 1);
    EXPECT_EQ(host.groups().back()->item(0).value, 0xFE) << c.name << ": read as written";
  }
  ASSERT_TRUE(peer().Command("clear"));
}

// RTU through a serial device server speaking RFC 2217 (the line settings go to the server, the
// frames through it), with 0xFF, telnet's escape byte, in the request and in the answer.
using ZireviDeviceServerTest = DriverFixture;

TEST_F(ZireviDeviceServerTest, ReadsAndWritesRtuThroughASerialDeviceServer) {
  std::string why;
  ASSERT_TRUE(ModbusPeer::CanRun(&why)) << why;
  PtyPair line;
  ASSERT_TRUE(line.Start()) << line.Error();
  ModbusPeer peer;
  ASSERT_TRUE(peer.StartSerial(SerialFraming::kRtu, line.PeerEnd(), kBaud, {1}, 300))
      << peer.Error();
  testing_support::Ser2net server;
  ASSERT_TRUE(server.Start(line.DriverEnd(), testing_support::Ser2net::Mode::kRfc2217, kBaud))
      << server.Error();
  ASSERT_TRUE(
      platform::Registry::Instance().SetString(platform::kSerialPortsKey, "Com9", server.Url()));
  ASSERT_TRUE(peer.SetRegisters(1, RegisterTable::kHolding, 255, {0x00FF, 0xFFFF, 0x1234}));

  IProtocolDriver* driver = Create();
  IProtocolDriver2* second = Second(driver);
  CommSettings settings = Port("Com9", kBaud, kTimeoutMs);
  ASSERT_EQ(driver->OpenPort(1, &settings), 1);
  MiniHost host(driver, kRtu, "1");
  for (const char* address : {"4X256", "4X257", "4X258"})
    ASSERT_TRUE(host.AddRead(address, kUint16)) << address;
  ASSERT_EQ(host.groups().size(), 1u);
  ASSERT_EQ(second->ExecuteGroupEx(host.groups()[0]->get()), 1);
  EXPECT_EQ(host.groups()[0]->item(0).value, 0x00FF);
  EXPECT_EQ(host.groups()[0]->item(1).value, 0xFFFF);
  EXPECT_EQ(host.groups()[0]->item(2).value, 0x1234);

  Group* write = host.AddWrite("4X256", kUint16, 0xFF00);  // register 255 = 0x00FF: FF twice
  ASSERT_NE(write, nullptr);
  ASSERT_EQ(second->ExecuteGroupEx(write->get()), 1);
  EXPECT_EQ(peer.GetRegisters(1, RegisterTable::kHolding, 255, 1),
            std::optional<std::vector<uint16_t>>(std::vector<uint16_t>{0xFF00}));
}

INSTANTIATE_TEST_SUITE_P(Framings, ZireviPeerTest, ::testing::Values("tcp", "rtu", "ascii"),
                         [](const auto& info) { return info.param; });

}  // namespace
}  // namespace modbus_test
