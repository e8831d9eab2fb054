// The ISO-on-TCP driver met as the host meets it (registered by regsvr, created through COM,
// groups built through its own ConvertUserConfigToVar and CanMergeItem) against the simulator's
// TCP side, plus the address rules that need no peer.
#include <dlfcn.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/driver_contract.h"
#include "common/testing/run_program.h"
#include "common/testing/test_support.h"
#include "drivers/s7tcp/s7tcp_address.h"
#include "drivers/s7tcp/s7tcp_driver.h"
#include "platform/atoms.h"
#include "platform/com.h"
#include "platform/gbk.h"
#include "platform/registry.h"
#include "tools/ppisim/ppi_simulator.h"

namespace {

using s7::kTypeBit;
using s7::kTypeByte;
using s7::kTypeFloat;
using s7::kTypeInt16;
using s7::kTypeInt32;
using s7::kTypeString;
using s7::kTypeUint16;

TagAddressInput Input(const char* model, const char* address, uint16_t type, int16_t extra = 0) {
  TagAddressInput in{};
  std::strncpy(in.model, model, sizeof in.model - 1);
  std::strncpy(in.address, address, sizeof in.address - 1);
  in.dataType = static_cast<int16_t>(type);
  in.extra = extra;
  return in;
}

// One request group as the host builds it: the driver's conversion gives the area, the byte
// address and (for data blocks) the block number.
class Group {
 public:
  Group(const char* model, const StationInfo& station) : model_(model), station_(station) {
    group_.stationBuffer = &station_;
    group_.modelText = model_.c_str();
    group_.station = static_cast<int16_t>(station.stationNumber);
  }
  ~Group() { ClearGroupItems(group_.items); }
  RequestGroup* get() { return &group_; }
  GroupItem& item(size_t i) { return *items_.at(i); }
  size_t size() const { return items_.size(); }

  void Append(const DriverItem& conversion, int32_t value) {
    auto* item = new GroupItem{};
    item->byteAddress = static_cast<uint16_t>(conversion.byteAddress);
    item->dataType = conversion.dataType2;
    item->value = value;
    item->bitOrLength = conversion.bitOrLength;
    item->bitNumber = static_cast<uint8_t>(conversion.bitOrLength);
    AppendGroupItem(group_.items, item);
    items_.push_back(item);
  }

 private:
  std::string model_;
  StationInfo station_;
  RequestGroup group_{};
  std::vector<GroupItem*> items_;
};

std::string Utf8(const char* gbk) {
  return gbk != nullptr ? platform::GbkToUtf8(gbk) : std::string("(null)");
}

class S7TcpTest : public ::testing::Test {
 protected:
  S7TcpTest() : env_("TALVEK_CONFIG_DIR", dir_.str()) {}

  void SetUp() override {
    const testing_support::RunResult reg = testing_support::RegisterBuiltModule("libKestavo.so");
    ASSERT_EQ(reg.exitCode, 0) << reg.output;
    platform::Registry::Instance().Reload();
    ASSERT_EQ(platform::CoInitialize(nullptr), S_OK);
    ASSERT_EQ(platform::CoCreateInstance(CLSID_S7Tcp, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IProtocolDriver, reinterpret_cast<void**>(&driver_)),
              S_OK);
    ASSERT_EQ(driver_->QueryInterface(IID_IProtocolDriver2, reinterpret_cast<void**>(&second_)),
              S_OK);
    second_->Release();  // the object outlives this reference

    ppisim::Options options;
    options.dataBlocks = {{5, 64}, {7, 2048}};
    options.tcp.port = 0;
    options.tcp.rackSlots = {0x01, 0x02};
    sim_ = std::make_unique<ppisim::PpiSimulator>(options);
    ASSERT_TRUE(sim_->Start()) << sim_->LastError();
    address_ = "127.0.0.1:" + std::to_string(sim_->TcpPort()) + ",0,2";
    Open(500);
  }

  void TearDown() override {
    groups_.clear();
    if (driver_ != nullptr) {
      EXPECT_EQ(driver_->Release(), 0u);
    }
    sim_.reset();
    platform::CoUninitialize();
    platform::Registry::Instance().Reload();
  }

  void Open(int timeoutMs) {
    CommSettings port{};
    port.timeoutMs = static_cast<uint16_t>(timeoutMs);
    ASSERT_EQ(driver_->OpenPort(1, &port), 1);
  }

  // A new group for one tag of the PLC at `address` (the fixture's own by default).
  Group* NewGroup(const char* tag, uint16_t type, int writeFlag, int32_t value = 0,
                  const char* model = s7tcp::kModel300, const std::string& address = {}) {
    StationInfo station{};
    const std::string text = address.empty() ? address_ : address;
    EXPECT_EQ(driver_->ParseStationAddress(text.c_str(), &station), 1) << text;
    const TagAddressInput in = Input(model, tag, type, static_cast<int16_t>(writeFlag));
    DriverItem item{};
    item.station = static_cast<int16_t>(station.stationNumber);
    item.stationCopy = &station;
    if (driver_->ConvertUserConfigToVar(&in, &item) != 0) {
      ADD_FAILURE() << tag << ": " << Utf8(driver_->GetLastErrorText());
      return nullptr;
    }
    auto g = std::make_unique<Group>(model, station);
    RequestGroup& r = *g->get();
    r.area = item.area;
    r.areaIndex = item.areaIndex;
    r.dataType = item.dataType;
    r.bitOrLength = item.bitOrLength;
    r.wordOrder = item.wordOrder;
    r.startAddress = r.endAddress = static_cast<uint16_t>(item.byteAddress);
    r.writeFlag = static_cast<uint16_t>(writeFlag);
    g->Append(item, value);
    groups_.push_back(std::move(g));
    return groups_.back().get();
  }

  // Offers a read tag to `group`; true when the driver merged it.
  bool Merge(Group* group, const char* tag, uint16_t type) {
    StationInfo station = *group->get()->stationBuffer;
    const TagAddressInput in = Input(group->get()->modelText, tag, type);
    DriverItem item{};
    item.station = group->get()->station;
    item.stationCopy = &station;
    if (driver_->ConvertUserConfigToVar(&in, &item) != 0 ||
        driver_->CanMergeItem(&item, 0, group->get()) != 1)
      return false;
    group->Append(item, 0);
    return true;
  }

  BOOL Run(Group* group) { return second_->ExecuteGroupEx(group->get()); }
  std::string LastText() { return Utf8(driver_->GetLastErrorText()); }

  std::string SimValue(const char* location, ppisim::ValueType type, size_t length = 0) {
    ppisim::Location where;
    EXPECT_TRUE(ppisim::ParseLocation(location, &where)) << location;
    std::string text, error;
    EXPECT_TRUE(sim_->GetValue(where, type, length, &text, &error)) << error;
    return text;
  }
  void SetSim(const char* location, ppisim::ValueType type, const char* value) {
    ppisim::Location where;
    ASSERT_TRUE(ppisim::ParseLocation(location, &where)) << location;
    std::string error;
    ASSERT_TRUE(sim_->SetValue(where, type, value, &error)) << error;
  }

  testing_support::TempDir dir_;
  testing_support::ScopedEnv env_;
  IProtocolDriver* driver_ = nullptr;
  IProtocolDriver2* second_ = nullptr;
  std::unique_ptr<ppisim::PpiSimulator> sim_;
  std::string address_;
  std::vector<std::unique_ptr<Group>> groups_;
};

TEST(S7TcpAddress, StationTextsAndTheTsapsOfEachFamily) {
  s7tcp::Station s;
  ASSERT_EQ(s7tcp::ParseStation("192.168.0.10,0,1", &s), 0);
  EXPECT_EQ(s.host, "192.168.0.10");
  EXPECT_EQ(s.port, 102);
  ASSERT_EQ(s7tcp::ParseStation(" 10.0.0.2:1102 , 1 , 3 ", &s), 0);
  EXPECT_EQ(s.port, 1102);
  EXPECT_EQ(s.rack * 32 + s.slot, 35);
  ASSERT_EQ(s7tcp::ParseStation("[fe80::1]:103,0,2", &s), 0);
  EXPECT_EQ(s.host, "fe80::1");
  EXPECT_EQ(s.port, 103);
  ASSERT_EQ(s7tcp::ParseStation("::1,0,1", &s), 0);
  EXPECT_EQ(s.host, "::1");
  for (const char* bad : {"192.168.0.10", "192.168.0.10,0", ",0,1", "h:0,0,1", "h:65536,0,1",
                          "h,8,1", "h,0,32", "h,0,-1", "h,0,1x", "h o,0,1", "[::1,0,1", "h:,0,1"})
    EXPECT_NE(s7tcp::ParseStation(bad, &s), 0) << bad;

  s7tcp::Tsaps t;
  ASSERT_EQ(s7tcp::ParseStation("h,0,1", &s), 0);
  ASSERT_TRUE(s7tcp::TsapsFor(s7tcp::Family::k200, s, &t));
  EXPECT_EQ(t.local, 0x0101);
  EXPECT_EQ(t.remote, 0x0101);
  ASSERT_TRUE(s7tcp::TsapsFor(s7tcp::Family::k1200, s, &t));
  EXPECT_EQ(t.remote, 0x0301);
  ASSERT_EQ(s7tcp::ParseStation("h,1,3", &s), 0);
  ASSERT_TRUE(s7tcp::TsapsFor(s7tcp::Family::k300, s, &t));
  EXPECT_EQ(t.local, 0x0100);
  EXPECT_EQ(t.remote, 0x0123);
  EXPECT_FALSE(s7tcp::TsapsFor(s7tcp::Family::k200, s, &t));
  EXPECT_FALSE(s7tcp::TsapsFor(s7tcp::Family::k1200, s, &t));
}

TEST(S7TcpAddress, DataBlockNotationAndTheMergeRule) {
  struct Case {
    const char* text;
    uint16_t type;
    int32_t error;  // 0: accepted
    int byteAddress, bit, db;
  };
  const Case cases[] = {
      {"DB5.DBW10", kTypeInt16, 0, 10, -1, 5},
      {"DB5.DBX2.3", kTypeBit, 0, 2, 3, 5},
      {"DB65535.DBD4", kTypeFloat, 0, 4, -1, 65535},
      {"DB5.DBB1", kTypeByte, 0, 1, -1, 5},
      {"DB9.DBX8.12", kTypeString, 0, 8, 12, 9},
      {"V100", kTypeUint16, 0, 100, -1, 0},
      {"DB0.DBW0", kTypeInt16, s7tcp::kErrDbNumber, 0, 0, 0},
      {"DB5DBW0", kTypeInt16, s7tcp::kErrDbNumber, 0, 0, 0},
      {"DB5.DBW0", kTypeInt32, s7::kErrWidthMismatch, 0, 0, 0},
      {"DB5.DBX0.8", kTypeBit, s7::kErrBitOrLength, 0, 0, 0},
      {"DB5.DBW65535", kTypeInt16, s7::kErrAddressOutOfRange, 0, 0, 0},
      {"DB5.W0", kTypeInt16, s7::kErrAddressForm, 0, 0, 0},
      {"DB5.DBW0x", kTypeInt16, s7::kErrAddressForm, 0, 0, 0},
  };
  for (const Case& c : cases) {
    const TagAddressInput in = Input(s7tcp::kModel300, c.text, c.type);
    DriverItem out{};
    int32_t error = s7tcp::kErrNoError;
    const uint16_t r = s7tcp::ConvertUserConfigToVar(&in, &out, error);
    if (c.error != 0) {
      EXPECT_EQ(r, 1) << c.text;
      EXPECT_EQ(error, c.error) << c.text;
      continue;
    }
    ASSERT_EQ(r, 0) << c.text << " " << error;
    EXPECT_EQ(static_cast<uint16_t>(out.byteAddress), c.byteAddress) << c.text;
    if (c.bit >= 0) {
      EXPECT_EQ(out.bitOrLength, c.bit) << c.text;
    }
    EXPECT_EQ(s7tcp::WireDb(out.areaIndex, out.wordOrder), c.db == 0 ? 1 : c.db) << c.text;
  }

  // Items of another block, of a station at another address, or beyond the widest span stay out.
  auto convert = [](const char* text, uint16_t type) {
    const TagAddressInput in = Input(s7tcp::kModel300, text, type);
    DriverItem item{};
    int32_t error = 0;
    EXPECT_EQ(s7tcp::ConvertUserConfigToVar(&in, &item, error), 0) << text;
    return item;
  };
  StationInfo here{}, there{};
  std::strcpy(here.addressText, "10.0.0.1,0,2");
  std::strcpy(there.addressText, "10.0.0.2,0,2");
  const DriverItem first = convert("DB5.DBW0", kTypeInt16);
  RequestGroup group{};
  group.stationBuffer = &here;
  group.areaIndex = first.areaIndex;
  group.area = first.area;
  group.wordOrder = first.wordOrder;
  group.dataType = first.dataType;
  DriverItem item = convert("DB5.DBW100", kTypeInt16);
  item.stationCopy = &here;
  EXPECT_EQ(s7tcp::CanMergeItem(&item, 0, &group), 1);
  EXPECT_EQ(group.endAddress, 101);
  item = convert("DB6.DBW2", kTypeInt16);
  item.stationCopy = &here;
  EXPECT_EQ(s7tcp::CanMergeItem(&item, 0, &group), 0);
  item = convert("DB5.DBW2", kTypeInt16);
  item.stationCopy = &there;
  EXPECT_EQ(s7tcp::CanMergeItem(&item, 0, &group), 0);
  item = convert("DB5.DBB4096", kTypeByte);
  item.stationCopy = &here;
  EXPECT_EQ(s7tcp::CanMergeItem(&item, 0, &group), 0);
  item = convert("V2", kTypeInt16);  // V memory is DB 1, not DB 5
  EXPECT_EQ(s7tcp::CanMergeItem(&item, 0, &group), 0);
}

TEST_F(S7TcpTest, EveryAreaAndTypeIsWrittenAndReadBack) {
  const ATOM text = platform::GlobalAddAtomA("abc");
  struct Case {
    const char* tag;
    uint16_t type;
    int32_t value;
  };
  const Case cases[] = {
      {"VB7", kTypeByte, 0xA5},
      {"VW100", kTypeInt16, 0x1234},
      {"VD200", kTypeInt32, 0x12345678},
      {"V300", kTypeFloat, 0x40490FDB},
      {"V10.3", kTypeBit, 1},
      {"V400.5", kTypeString, text},
      {"QB1", kTypeByte, 0x3C},
      {"Q0.6", kTypeBit, 1},
      {"MW20", kTypeUint16, 0xBEEF},
      {"M3.7", kTypeBit, 1},
      {"SMB40", kTypeByte, 9},
      {"SD4", kTypeInt32, -5},
      {"S1.1", kTypeBit, 1},
      {"AQW2", kTypeInt16, 1000},
      {"DB5.DBB1", kTypeByte, 0x11},
      {"DB5.DBW10", kTypeUint16, 0xCAFE},
      {"DB5.DBD4", kTypeFloat, 0x3F800000},
      {"DB5.DBX2.3", kTypeBit, 1},
      {"DB7.DBX20.6", kTypeString, text},
  };
  for (const Case& c : cases) {
    Group* write = NewGroup(c.tag, c.type, 1, c.value);
    ASSERT_NE(write, nullptr);
    ASSERT_EQ(Run(write), 1) << c.tag << ": " << LastText();
    Group* read = NewGroup(c.tag, c.type, 0);
    ASSERT_EQ(Run(read), 1) << c.tag << ": " << LastText();
    EXPECT_EQ(read->item(0).quality, 192) << c.tag;
    if (c.type == kTypeString) {
      char name[16] = {};
      platform::GlobalGetAtomNameA(static_cast<ATOM>(read->item(0).value), name, sizeof name);
      EXPECT_STREQ(name, "abc") << c.tag;
    } else {
      EXPECT_EQ(read->item(0).value, c.value) << c.tag;
    }
  }
  // The PLC's own memory agrees: words big-endian, the bit in its byte, the DB apart from V.
  EXPECT_EQ(SimValue("DB5.DBW10", ppisim::ValueType::kWord), "51966");
  EXPECT_EQ(SimValue("DB5.DBB2", ppisim::ValueType::kByte), "8");
  EXPECT_EQ(SimValue("V10", ppisim::ValueType::kWord), "2048");
  EXPECT_EQ(SimValue("DB7.DBB20", ppisim::ValueType::kString, 6), "abc");

  // Inputs are read, never written: the PLC is not even asked.
  SetSim("I4", ppisim::ValueType::kWord, "4660");
  SetSim("AIW6", ppisim::ValueType::kInt, "-2");
  Group* inputs = NewGroup("IW4", kTypeInt16, 0);
  ASSERT_EQ(Run(inputs), 1) << LastText();
  EXPECT_EQ(inputs->item(0).value & 0xFFFF, 0x1234);
  Group* analog = NewGroup("AIW6", kTypeInt16, 0);
  ASSERT_EQ(Run(analog), 1) << LastText();
  EXPECT_EQ(analog->item(0).value & 0xFFFF, 0xFFFE);
  const uint64_t jobs = sim_->GetTcpCounters().jobs;
  EXPECT_EQ(Run(NewGroup("I0.1", kTypeBit, 1, 1)), 0);
  EXPECT_EQ(Run(NewGroup("SMB0", kTypeByte, 1, 1)), 0);
  EXPECT_NE(LastText().find("只读"), std::string::npos) << LastText();
  EXPECT_EQ(sim_->GetTcpCounters().jobs, jobs);
}

TEST_F(S7TcpTest, ReadsAreSplitToThePduAndScatteredItemsShareAJob) {
  // 600 bytes of double words in a row: more than one reply of the 240-byte PDU carries.
  std::vector<uint8_t> bytes(600);
  for (size_t i = 0; i < bytes.size(); ++i)
    bytes[i] = static_cast<uint8_t>(i * 7 + 1);
  for (size_t i = 0; i < bytes.size(); ++i) {
    char location[32], value[8];
    std::snprintf(location, sizeof location, "DB7.DBB%zu", 1000 + i);
    std::snprintf(value, sizeof value, "%u", bytes[i]);
    SetSim(location, ppisim::ValueType::kByte, value);
  }
  Group* run = NewGroup("DB7.DBD1000", kTypeInt32, 0);
  for (int a = 1004; a < 1600; a += 4) {
    char tag[24];
    std::snprintf(tag, sizeof tag, "DB7.DBD%d", a);
    ASSERT_TRUE(Merge(run, tag, kTypeInt32)) << tag;
  }
  ASSERT_EQ(Run(run), 1) << LastText();
  for (size_t k = 0; k < run->size(); ++k) {
    const uint8_t* b = &bytes[4 * k];
    const auto expected = static_cast<int32_t>(uint32_t{b[0]} << 24 | uint32_t{b[1]} << 16 |
                                               uint32_t{b[2]} << 8 | b[3]);
    ASSERT_EQ(run->item(k).value, expected) << k;
  }
  // 222 data bytes fit one reply item of a 240-byte PDU: three jobs of one item each.
  ppisim::TcpCounters c = sim_->GetTcpCounters();
  EXPECT_EQ(c.jobs, 3u);
  EXPECT_EQ(c.items, 3u);

  // Far-apart words: one job with an item each, no bytes in between.
  Group* scattered = NewGroup("DB7.DBW0", kTypeInt16, 0);
  for (const char* tag : {"DB7.DBW100", "DB7.DBW300", "DB7.DBB501", "DB7.DBW900"})
    ASSERT_TRUE(Merge(scattered, tag, tag[6] == 'B' ? kTypeByte : kTypeInt16)) << tag;
  SetSim("DB7.DBB501", ppisim::ValueType::kByte, "77");
  SetSim("DB7.DBW900", ppisim::ValueType::kWord, "4242");
  ASSERT_EQ(Run(scattered), 1) << LastText();
  EXPECT_EQ(scattered->item(3).value & 0xFF, 77);  // behind an odd-length item's fill byte
  EXPECT_EQ(scattered->item(4).value & 0xFFFF, 4242);
  c = sim_->GetTcpCounters();
  EXPECT_EQ(c.jobs, 4u);
  EXPECT_EQ(c.items, 8u);

  // A PLC that agrees to 480 bytes: the same 600 bytes in two jobs of 462 and 138 bytes.
  ppisim::Options larger;
  larger.dataBlocks = {{7, 2048}};
  larger.tcp.port = 0;
  larger.tcp.pduSize = 480;
  auto big = std::make_unique<ppisim::PpiSimulator>(larger);
  ASSERT_TRUE(big->Start()) << big->LastError();
  ppisim::Location where;
  std::string error;
  ASSERT_TRUE(ppisim::ParseLocation("DB7.DBD1596", &where));
  ASSERT_TRUE(big->SetValue(where, ppisim::ValueType::kDword, "-7", &error)) << error;
  address_ = "127.0.0.1:" + std::to_string(big->TcpPort()) + ",0,2";
  Group* wide = NewGroup("DB7.DBD1000", kTypeInt32, 0);
  for (int a = 1004; a < 1600; a += 4) {
    char tag[24];
    std::snprintf(tag, sizeof tag, "DB7.DBD%d", a);
    ASSERT_TRUE(Merge(wide, tag, kTypeInt32)) << tag;
  }
  ASSERT_EQ(Run(wide), 1) << LastText();
  EXPECT_EQ(wide->item(wide->size() - 1).value, -7);
  EXPECT_EQ(big->GetTcpCounters().jobs, 2u);
}

TEST_F(S7TcpTest, ADroppedConnectionIsMadeAgainAndBacksOffWhileItFails) {
  SetSim("V0", ppisim::ValueType::kWord, "321");
  Group* read = NewGroup("VW0", kTypeUint16, 0);
  ASSERT_EQ(Run(read), 1) << LastText();
  // The PLC drops the connection in the middle of its reply: the read goes again on a new one.
  sim_->SetTcpFault({.kind = ppisim::TcpFaultKind::kCut, .cutAfter = 12});
  read->item(0).value = 0;
  ASSERT_EQ(Run(read), 1) << LastText();
  EXPECT_EQ(read->item(0).value, 321);
  EXPECT_EQ(sim_->GetTcpCounters().connections, 2u);

  // While every connection drops, the read fails with its reason, and attempts pause.
  sim_->SetTcpFault({.kind = ppisim::TcpFaultKind::kDrop, .count = ppisim::kAlways});
  EXPECT_EQ(Run(read), 0);
  EXPECT_NE(LastText().find("中断"), std::string::npos) << LastText();
  const uint64_t connections = sim_->GetTcpCounters().connections;
  EXPECT_EQ(Run(read), 0);
  EXPECT_EQ(sim_->GetTcpCounters().connections, connections);
  sim_->SetTcpFault({});
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(3);
  while (Run(read) != 1 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  EXPECT_EQ(read->item(0).value, 321);
}

// Keeps the kind and event of every trace record.
struct RecordingSink : ITraceSink {
  void Trace(const TraceRecord* r) override { records.emplace_back(r->kind, r->event); }
  std::vector<std::pair<int32_t, int32_t>> records;
};

TEST_F(S7TcpTest, FaultyRepliesAreRefusedWithTheirOwnText) {
  SetSim("M0", ppisim::ValueType::kWord, "7");
  Group* read = NewGroup("MW0", kTypeUint16, 0);
  IDriverTrace* trace = nullptr;
  ASSERT_EQ(driver_->QueryInterface(IID_IDriverTrace, reinterpret_cast<void**>(&trace)), S_OK);
  RecordingSink sink;
  trace->SetTraceSink(&sink);
  ASSERT_EQ(Run(read), 1) << LastText();
  // Connection request, setup and the read: three packets each way.
  EXPECT_EQ(std::count(sink.records.begin(), sink.records.end(),
                       std::make_pair(int32_t{kTraceSent}, int32_t{kTraceNoEvent})),
            3);
  EXPECT_EQ(std::count(sink.records.begin(), sink.records.end(),
                       std::make_pair(int32_t{kTraceReceived}, int32_t{kTraceNoEvent})),
            3);

  sim_->SetTcpFault({.kind = ppisim::TcpFaultKind::kWrongReference});
  read->item(0).value = 99;
  EXPECT_EQ(Run(read), 0);
  EXPECT_EQ(read->item(0).value, 99);  // nothing of another job's reply is taken
  EXPECT_NE(LastText().find("参考号"), std::string::npos) << LastText();
  EXPECT_EQ(sink.records.back(), std::make_pair(int32_t{kTraceEvent}, int32_t{kTraceBadFormat}));
  trace->SetTraceSink(nullptr);
  trace->Release();
  const size_t traced = sink.records.size();
  ASSERT_EQ(Run(read), 1) << LastText();
  EXPECT_EQ(sink.records.size(), traced);

  sim_->SetTcpFault({.kind = ppisim::TcpFaultKind::kItemError, .returnCode = 0x05});
  EXPECT_EQ(Run(read), 0);
  EXPECT_NE(LastText().find("超出"), std::string::npos) << LastText();
  EXPECT_EQ(Run(NewGroup("DB99.DBW0", kTypeInt16, 0)), 0);
  EXPECT_NE(LastText().find("不存在"), std::string::npos) << LastText();

  Open(80);
  sim_->SetTcpFault({.kind = ppisim::TcpFaultKind::kSilence});
  EXPECT_EQ(Run(read), 0);
  EXPECT_NE(LastText().find("超时"), std::string::npos) << LastText();
  ASSERT_EQ(Run(read), 1) << LastText();
  EXPECT_EQ(read->item(0).value, 7);
}

TEST_F(S7TcpTest, ARefusedTsapIsReportedAndNotAskedAgainAtOnce) {
  const std::string slot5 = "127.0.0.1:" + std::to_string(sim_->TcpPort()) + ",0,5";
  Group* read = NewGroup("VB0", kTypeByte, 0, 0, s7tcp::kModel300, slot5);
  EXPECT_EQ(Run(read), 0);
  EXPECT_NE(LastText().find("TSAP"), std::string::npos) << LastText();
  EXPECT_EQ(Run(read), 0);
  EXPECT_NE(LastText().find("TSAP"), std::string::npos) << LastText();
  EXPECT_EQ(sim_->GetTcpCounters().refused, 1u);

  // Rack and slot outside the family's rules never reach the wire; nor does an unknown model.
  const std::string slot2 = "127.0.0.1:" + std::to_string(sim_->TcpPort()) + ",0,2";
  EXPECT_EQ(Run(NewGroup("VB0", kTypeByte, 0, 0, s7tcp::kModel1200, slot2)), 0);
  EXPECT_NE(LastText().find("槽号"), std::string::npos) << LastText();
  EXPECT_EQ(driver_->InitLink("S7-400", 0, nullptr), 0);
  EXPECT_EQ(sim_->GetTcpCounters().connections, 1u);

  // The wizard's connection test: a PLC that answers, then one whose TSAP is refused.
  StationInfo probe{};
  ASSERT_EQ(driver_->ParseStationAddress(slot2.c_str(), &probe), 1);
  EXPECT_EQ(driver_->ProbeStation(0, probe.stationNumber, 0), 0);  // no model yet
  ASSERT_EQ(driver_->InitLink(s7tcp::kModel300, probe.stationNumber, nullptr), 1);
  EXPECT_EQ(driver_->ProbeStation(0, probe.stationNumber, 0), 1) << LastText();
  ASSERT_EQ(driver_->ParseStationAddress(slot5.c_str(), &probe), 1);
  EXPECT_EQ(driver_->ProbeStation(0, probe.stationNumber, 0), 0);
  EXPECT_NE(LastText().find("TSAP"), std::string::npos) << LastText();
  EXPECT_EQ(sim_->GetTcpCounters().refused, 2u);
  StationInfo station{};
  EXPECT_EQ(driver_->ParseStationAddress("192.168.0.10", &station), 0);
  EXPECT_NE(LastText().find("机架"), std::string::npos) << LastText();
}

}  // namespace
