// Every data type of the PPI driver end to end: the module registered by the real regsvr program,
// created through CoCreateInstance and driven only through its interface pointers, against the
// PLC simulator. Each test runs through both ExecuteGroupEx and ExecuteGroup; groups are built
// the way the host builds them, from the driver's own ConvertUserConfigToVar and CanMergeItem.
#include <gtest/gtest.h>

#include <bit>
#include <cstring>
#include <ostream>
#include <string>
#include <vector>

#include "common/driver_contract.h"
#include "common/testing/test_support.h"
#include "drivers/ppi/s7proto.h"
#include "drivers/ppi/tests/driver_host.h"
#include "platform/atoms.h"
#include "platform/com.h"
#include "platform/gbk.h"
#include "platform/registry.h"
#include "tools/ppisim/ppi_simulator.h"

namespace {

using Bytes = std::vector<uint8_t>;
using platform::Registry;
using ppi_test::OstrelPath;
using ppi_test::Regsvr;
using ppi_test::RunProgram;
using ppi_test::RunResult;
using ppisim::Area;
using ppisim::FaultKind;
using testing_support::ScopedEnv;
using testing_support::TempDir;

constexpr uint16_t kBit = 1;
constexpr uint16_t kByte = 2;
constexpr uint16_t kInt16 = 4;
constexpr uint16_t kUint16 = 8;
constexpr uint16_t kInt32 = 32;
constexpr uint16_t kFloat = 128;
constexpr uint16_t kString = 256;
constexpr int16_t kStation = 2;
constexpr uint16_t kGood = 192;

// The interface a call goes through: IProtocolDriver::ExecuteGroup or
// IProtocolDriver2::ExecuteGroupEx.
enum class Via { kFirst, kSecond };

// Names the interface in failure messages.
void PrintTo(Via via, std::ostream* os) {
  *os << (via == Via::kFirst ? "ExecuteGroup" : "ExecuteGroupEx");
}

std::string ViaName(const ::testing::TestParamInfo<Via>& info) {
  return info.param == Via::kFirst ? "ExecuteGroup" : "ExecuteGroupEx";
}

// The value field of an item as the interface sees it: offset 12 for the first, 8 for the second.
int32_t& Value(GroupItem& item, Via via) {
  return via == Via::kSecond ? item.value : item.bitOrLength;
}

// A request built the way the host builds one: every tag converted by the driver's
// ConvertUserConfigToVar, the group opened from the first tag, further tags offered to the
// driver's CanMergeItem.
class HostGroup {
 public:
  HostGroup(IProtocolDriver* driver, const char* address, uint16_t type, uint16_t writeFlag = 0,
            int32_t value = 0)
      : driver_(driver) {
    const DriverItem di = Convert(address, type, writeFlag);
    g_.station = di.station;
    g_.area = di.area;
    g_.areaIndex = di.areaIndex;
    g_.dataType = di.dataType;
    g_.bitOrLength = di.bitOrLength;
    g_.startAddress = g_.endAddress = di.byteAddress;
    g_.writeFlag = writeFlag;
    Append(di, value);
  }
  ~HostGroup() { ClearGroupItems(g_.items); }
  HostGroup(const HostGroup&) = delete;
  HostGroup& operator=(const HostGroup&) = delete;

  // Offers a further read tag to the group; appends it when the driver accepts it.
  BOOL Merge(const char* address, uint16_t type) {
    DriverItem di = Convert(address, type, 0);
    const BOOL merged = driver_->CanMergeItem(&di, 0, &g_);
    if (merged)
      Append(di, 0);
    return merged;
  }

  GroupItem& item(size_t i = 0) { return *items_.at(i); }
  RequestGroup* get() { return &g_; }

 private:
  DriverItem Convert(const char* address, uint16_t type, uint16_t writeFlag) {
    TagAddressInput in{};
    std::strncpy(in.address, address, sizeof in.address - 1);
    in.dataType = static_cast<int16_t>(type);
    in.extra = static_cast<int16_t>(writeFlag);
    DriverItem di{};
    di.station = kStation;
    EXPECT_EQ(driver_->ConvertUserConfigToVar(&in, &di), 0) << address;
    return di;
  }
  void Append(const DriverItem& di, int32_t value) {
    auto* item = new GroupItem{};
    item->byteAddress = static_cast<uint16_t>(di.byteAddress);
    item->dataType = static_cast<uint16_t>(di.dataType);
    item->value = value;
    item->bitOrLength = di.bitOrLength;  // the host copies the bit number or string length here
    item->bitNumber = static_cast<uint8_t>(di.bitOrLength);  // where the first interface looks
    items_.push_back(item);
    AppendGroupItem(g_.items, item);
  }

  IProtocolDriver* driver_;
  RequestGroup g_{};
  std::vector<GroupItem*> items_;  // owned by g_.items
};

// A driver created as the host creates it, its port open on the simulator (station 2).
class S7ProtoTypesTest : public ::testing::TestWithParam<Via> {
 protected:
  S7ProtoTypesTest()
      : configEnv_("TALVEK_CONFIG_DIR", config_.str()),
        runtimeEnv_("TALVEK_RUNTIME_DIR", runtime_.str()) {}

  void SetUp() override {
    const RunResult reg = RunProgram({Regsvr(), OstrelPath()});
    ASSERT_EQ(reg.exitCode, 0) << reg.output;
    Registry::Instance().Reload();
    ASSERT_EQ(platform::CoInitialize(nullptr), S_OK);
    ASSERT_EQ(platform::CoCreateInstance(CLSID_S7Proto, nullptr, CLSCTX_INPROC_SERVER,
                                         IID_IProtocolDriver, reinterpret_cast<void**>(&first_)),
              S_OK);
    ASSERT_EQ(first_->QueryInterface(IID_IProtocolDriver2, reinterpret_cast<void**>(&second_)),
              S_OK);
    ASSERT_TRUE(sim_.Start()) << sim_.LastError();
    StationInfo station{};
    ASSERT_EQ(first_->ParseStationAddress("2", &station), 1);
    OpenOn(sim_);
  }

  void TearDown() override {
    if (second_)
      second_->Release();
    if (first_) {
      EXPECT_EQ(first_->Release(), 0u);
    }
    platform::CoUninitialize();
    sim_.Stop();
    Registry::Instance().Reload();
  }

  // Opens the driver's port on a simulator's line; a short time-out keeps failing calls quick.
  void OpenOn(ppisim::PpiSimulator& sim) {
    const std::string path = sim.SlavePath();
    ASSERT_LT(path.size(), sizeof settings_.portName);
    settings_ = {};
    std::strcpy(settings_.portName, path.c_str());
    settings_.reserved0 = 1;
    settings_.baudRate = 9600;
    settings_.dataBits = 8;
    settings_.stopBits = 1;
    settings_.parity = 2;
    settings_.timeoutMs = 300;
    ASSERT_EQ(first_->OpenPort(1, &settings_), 1);
  }

  BOOL Execute(HostGroup& group) {
    return GetParam() == Via::kFirst ? first_->ExecuteGroup(group.get())
                                     : second_->ExecuteGroupEx(group.get());
  }

  // Reads one tag in its own group; the value field starts as `preset`.
  int32_t ReadOne(const char* address, uint16_t type, int32_t preset = 0) {
    HostGroup group(first_, address, type);
    Value(group.item(), GetParam()) = preset;
    EXPECT_EQ(Execute(group), 1) << address;
    if (GetParam() == Via::kSecond) {
      EXPECT_EQ(group.item().quality, kGood) << address;
      EXPECT_NE(group.item().updateTime.dwHighDateTime, 0u) << address;
    }
    return Value(group.item(), GetParam());
  }

  // Writes one tag in its own group and checks that the item is left as it was.
  BOOL WriteOne(const char* address, uint16_t type, int32_t value) {
    HostGroup group(first_, address, type, 1, value);
    const BOOL ok = Execute(group);
    EXPECT_EQ(group.item().value, value);
    EXPECT_EQ(group.item().quality, 0);
    return ok;
  }

  void Put(Area area, uint32_t address, const Bytes& bytes) {
    ASSERT_TRUE(sim_.SetBytes(area, address, bytes));
  }
  Bytes Get(Area area, uint32_t address, size_t n) {
    Bytes out(n);
    EXPECT_TRUE(sim_.GetBytes(area, address, out));
    return out;
  }

  TempDir config_, runtime_;  // a private registry store; no monitor window of a real session
  ScopedEnv configEnv_, runtimeEnv_;
  ppisim::PpiSimulator sim_;
  IProtocolDriver* first_ = nullptr;
  IProtocolDriver2* second_ = nullptr;
  CommSettings settings_{};
};

INSTANTIATE_TEST_SUITE_P(BothInterfaces, S7ProtoTypesTest,
                         ::testing::Values(Via::kFirst, Via::kSecond), ViaName);

// In the order of ppisim's per-area counters.
constexpr Area kAreas[] = {Area::kV, Area::kI, Area::kQ, Area::kM, Area::kSM, Area::kS};
const char* const kLetters[] = {"V", "I", "Q", "M", "SM", "S"};

TEST_P(S7ProtoTypesTest, BitsAndBytesReadInEveryArea) {
  for (std::size_t a = 0; a < std::size(kAreas); ++a) {
    SCOPED_TRACE(kLetters[a]);
    const std::string letter = kLetters[a];
    // Bits 0 and 7 set in byte 0 and clear in byte 1: a wrong bit number cannot pass both.
    Put(kAreas[a], 0, {0x81, 0x7E});
    EXPECT_EQ(ReadOne((letter + "0.0").c_str(), kBit, 5), 1);
    EXPECT_EQ(ReadOne((letter + "0.7").c_str(), kBit, 5), 1);
    EXPECT_EQ(ReadOne((letter + "1.0").c_str(), kBit, 5), 0);
    EXPECT_EQ(ReadOne((letter + "1.7").c_str(), kBit, 5), 0);
    // A byte replaces only the low 8 bits of the value.
    EXPECT_EQ(ReadOne((letter + "1").c_str(), kByte, 0x11223300), 0x1122337E);
  }
}

TEST_P(S7ProtoTypesTest, WordsDoublewordsAndFloatsReadFromV) {
  const uint32_t minus12_5 = std::bit_cast<uint32_t>(-12.5f);
  Put(Area::kV, 20, {0xFB, 0x2E});              // -1234
  Put(Area::kV, 30, {0x9C, 0x40});              // 40000
  Put(Area::kV, 40, {0xF8, 0xA4, 0x32, 0xEB});  // -123456789
  Put(Area::kV, 50,
      {static_cast<uint8_t>(minus12_5 >> 24), static_cast<uint8_t>(minus12_5 >> 16),
       static_cast<uint8_t>(minus12_5 >> 8), static_cast<uint8_t>(minus12_5)});

  // int16 replaces the low 16 bits; the host reads them as a signed 16-bit number.
  const int32_t i16 = ReadOne("V20", kInt16, 0x7FFF0000);
  EXPECT_EQ(static_cast<uint32_t>(i16) >> 16, 0x7FFFu);
  EXPECT_EQ(static_cast<int16_t>(i16 & 0xFFFF), -1234);
  // uint16 is zero-extended over the whole value.
  EXPECT_EQ(ReadOne("V30", kUint16, 0x7FFF0000), 40000);
  EXPECT_EQ(ReadOne("V40", kInt32, 7), -123456789);
  EXPECT_EQ(std::bit_cast<float>(ReadOne("V50", kFloat, 7)), -12.5f);
}

TEST_P(S7ProtoTypesTest, StringsTravelAsGlobalAtomsThroughTheSecondInterfaceOnly) {
  const char text[] = "hello PLC";
  Put(Area::kV, 200, Bytes(text, text + sizeof text));  // with its NUL, as the PLC keeps it
  HostGroup read(first_, "V200.20", kString);
  EXPECT_EQ(read.get()->bitOrLength, 20);
  if (GetParam() == Via::kFirst) {
    // Strings are refused before anything goes on the line.
    const uint64_t frames = sim_.GetCounters().frames;
    EXPECT_EQ(Execute(read), 0);
    HostGroup write(first_, "V200.20", kString, 1, platform::GlobalAddAtomA("abc"));
    EXPECT_EQ(Execute(write), 0);
    platform::GlobalDeleteAtom(static_cast<ATOM>(write.item().value));
    EXPECT_EQ(sim_.GetCounters().frames, frames);
    return;
  }

  read.item().value = static_cast<int32_t>(0x55550000u);
  ASSERT_EQ(Execute(read), 1);
  EXPECT_EQ(static_cast<uint32_t>(read.item().value) >> 16, 0x5555u) << "only the low 16 bits";
  const auto atom = static_cast<ATOM>(read.item().value & 0xFFFF);
  char name[256] = {};
  ASSERT_NE(platform::GlobalGetAtomNameA(atom, name, sizeof name), 0u);
  EXPECT_STREQ(name, text);
  EXPECT_EQ(read.item().quality, kGood);
  platform::GlobalDeleteAtom(atom);

  // A write sends the atom's text and fills the rest of the 20 bytes and the terminator with 0.
  Put(Area::kV, 200, Bytes(22, 0xEE));
  const ATOM abc = platform::GlobalAddAtomA("abc");
  ASSERT_EQ(WriteOne("V200.20", kString, abc), 1);
  Bytes expected = {'a', 'b', 'c'};
  expected.resize(21, 0x00);
  expected.push_back(0xEE);  // the byte after the terminator is not touched
  EXPECT_EQ(Get(Area::kV, 200, 22), expected);
  EXPECT_EQ(platform::GlobalFindAtomA("abc"), abc)
      << "the driver does not delete the caller's atom";
  platform::GlobalDeleteAtom(abc);
}

TEST_P(S7ProtoTypesTest, BitsWriteToVQAndM) {
  const bool first = GetParam() == Via::kFirst;
  for (int a : {0, 2, 3}) {
    SCOPED_TRACE(kLetters[a]);
    const std::string letter = kLetters[a];
    Put(kAreas[a], 5, {0xF0});
    sim_.ResetCounters();
    ASSERT_EQ(WriteOne((letter + "5.0").c_str(), kBit, 1), 1);
    ASSERT_EQ(WriteOne((letter + "5.7").c_str(), kBit, 0), 1);
    EXPECT_EQ(Get(kAreas[a], 5, 1), Bytes{0x71}) << "the other bits are kept";
    const ppisim::Counters c = sim_.GetCounters();
    EXPECT_EQ(c.writesByArea[a], 2u);
    // The first interface writes a bit of Q with its user-data job.
    EXPECT_EQ(c.userDataWrites, first && a == 2 ? 2u : 0u);
  }
}

TEST_P(S7ProtoTypesTest, BytesWordsAndFloatsWrite) {
  for (int a : {0, 2, 3}) {
    SCOPED_TRACE(kLetters[a]);
    // Only the low 8 bits of the value go out.
    ASSERT_EQ(WriteOne((std::string(kLetters[a]) + "7").c_str(), kByte, 0x1A5), 1);
    EXPECT_EQ(Get(kAreas[a], 7, 1), Bytes{0xA5});
  }
  ASSERT_EQ(WriteOne("V20", kInt16, -1234), 1);
  ASSERT_EQ(WriteOne("V30", kUint16, 40000), 1);
  ASSERT_EQ(WriteOne("V40", kInt32, -123456789), 1);
  ASSERT_EQ(WriteOne("V50", kFloat, std::bit_cast<int32_t>(-12.5f)), 1);
  EXPECT_EQ(Get(Area::kV, 20, 2), (Bytes{0xFB, 0x2E}));
  EXPECT_EQ(Get(Area::kV, 30, 2), (Bytes{0x9C, 0x40}));
  EXPECT_EQ(Get(Area::kV, 40, 4), (Bytes{0xF8, 0xA4, 0x32, 0xEB}));
  EXPECT_EQ(Get(Area::kV, 50, 4), (Bytes{0xC1, 0x48, 0x00, 0x00}));

  // The inputs are read-only: refused before anything is sent.
  const uint64_t frames = sim_.GetCounters().frames;
  EXPECT_EQ(WriteOne("I7", kByte, 1), 0);
  EXPECT_EQ(WriteOne("I7.1", kBit, 1), 0);
  EXPECT_EQ(sim_.GetCounters().frames, frames);
}

// Special memory, sequence relays and the analog words: read and written with their S7 names,
// and the memory the PLC keeps for itself (SMB0..SMB29, AIW) refused before anything is sent.
TEST_P(S7ProtoTypesTest, SpecialMemoryRelaysAndAnalogWords) {
  Put(Area::kSM, 28, {0x5A});
  Put(Area::kAI, 4, {0x12, 0x34});
  Put(Area::kAQ, 6, {0xFF, 0x38});  // -200
  EXPECT_EQ(ReadOne("SMB28", kByte), 0x5A);
  EXPECT_EQ(ReadOne("SM0.0", kBit, 5), 1) << "always on while the PLC runs";
  EXPECT_EQ(ReadOne("AIW4", kUint16), 0x1234);
  EXPECT_EQ(ReadOne("AQW6", kInt16, 0) & 0xFFFF, 0xFF38);

  sim_.ResetCounters();
  ASSERT_EQ(WriteOne("AQW2", kInt16, 0x0102), 1);
  ASSERT_EQ(WriteOne("SB5", kByte, 0x77), 1);
  ASSERT_EQ(WriteOne("S6.2", kBit, 1), 1);
  ASSERT_EQ(WriteOne("SMB30", kByte, 9), 1);
  EXPECT_EQ(Get(Area::kAQ, 2, 2), (Bytes{0x01, 0x02}));
  EXPECT_EQ(Get(Area::kS, 5, 2), (Bytes{0x77, 0x04}));
  EXPECT_EQ(Get(Area::kSM, 30, 1), Bytes{9});
  EXPECT_EQ(sim_.GetCounters().writes, 4u);

  const uint64_t frames = sim_.GetCounters().frames;
  const std::pair<const char*, uint16_t> readOnly[] = {
      {"SMB28", kByte}, {"SMB0", kByte},    {"SM29.7", kBit},
      {"AIW0", kInt16}, {"SMW28", kUint16},  // its first byte is read-only
  };
  for (const auto& [address, type] : readOnly)
    EXPECT_EQ(WriteOne(address, type, 1), 0) << address;
  EXPECT_EQ(sim_.GetCounters().frames, frames) << "nothing went on the wire";
  const char* text = first_->GetLastErrorText();
  ASSERT_NE(text, nullptr);
  EXPECT_NE(platform::GbkToUtf8(text).find("只读"), std::string::npos);
  EXPECT_EQ(Get(Area::kSM, 28, 1), Bytes{0x5A});
}

TEST_P(S7ProtoTypesTest, MergedTagsAreReadInOneExchange) {
  Put(Area::kV, 8, {0x04, 0x00, 0xC3, 0x00, 0x80, 0x01});
  HostGroup group(first_, "V10", kByte);
  ASSERT_EQ(group.Merge("VW12", kInt16), 1);
  ASSERT_EQ(group.Merge("V8.2", kBit), 1);
  EXPECT_EQ(group.get()->startAddress, 8);
  EXPECT_EQ(group.get()->endAddress, 13);
  // A string never joins a group.
  EXPECT_EQ(group.Merge("V14.4", kString), 0);

  sim_.ResetCounters();
  ASSERT_EQ(Execute(group), 1);
  const ppisim::Counters c = sim_.GetCounters();
  EXPECT_EQ(c.jobs, 1u);
  EXPECT_EQ(c.reads, 1u);
  EXPECT_EQ(c.dataRequests, 1u);
  EXPECT_EQ(Value(group.item(0), GetParam()) & 0xFF, 0xC3);
  EXPECT_EQ(Value(group.item(1), GetParam()) & 0xFFFF, 0x8001);
  EXPECT_EQ(Value(group.item(2), GetParam()), 1);
}

// One fault of the simulator, what a call through either interface makes of it.
struct FaultCase {
  const char* name;
  ppisim::Fault fault;
  bool succeeds;
};

TEST_P(S7ProtoTypesTest, InjectedFaultsFailOneCallAndLeaveTheItems) {
  const FaultCase cases[] = {
      {"silence", {.kind = FaultKind::kSilence}, false},
      {"wrong acknowledgement", {.kind = FaultKind::kWrongAck}, false},
      {"bad FCS", {.kind = FaultKind::kBadFcs}, false},
      {"item return code", {.kind = FaultKind::kItemError, .returnCode = 0x05}, false},
      {"truncated reply", {.kind = FaultKind::kTruncatedReply, .drop = 2}, false},
      // Skipped to the reply's start delimiter; a station not ready yet is polled again.
      {"noise before the reply", {.kind = FaultKind::kNoise}, true},
      {"not ready (E5) to the first poll", {.kind = FaultKind::kBusy}, true},
      // Sound frames that answer another question: another station's, another master's, or the
      // answer to another job. On a multi-drop line they are someone else's data.
      {"reply from another station", {.kind = FaultKind::kWrongSource}, false},
      {"reply to another master", {.kind = FaultKind::kOtherMaster}, false},
      {"reply with another PDU reference", {.kind = FaultKind::kWrongReference}, false},
      // A pause inside the reply longer than a check interval: the reply is still taken whole.
      {"split reply", {.kind = FaultKind::kSplitReply, .splitAfter = 5, .pauseMs = 60}, true},
  };
  Put(Area::kV, 100, {0x12, 0x34});
  for (const FaultCase& c : cases) {
    SCOPED_TRACE(c.name);
    HostGroup group(first_, "V100", kUint16);
    int32_t& value = Value(group.item(), GetParam());
    value = 7;
    sim_.SetFault(c.fault);
    EXPECT_EQ(Execute(group), c.succeeds ? 1 : 0);
    EXPECT_EQ(value, c.succeeds ? 0x1234 : 7);
    EXPECT_EQ(group.item().quality, c.succeeds && GetParam() == Via::kSecond ? kGood : 0);
    EXPECT_EQ(sim_.CurrentFault().kind, FaultKind::kNone) << "used up by the one exchange";

    // The next call is clean.
    value = 7;
    EXPECT_EQ(Execute(group), 1);
    EXPECT_EQ(value, 0x1234);
  }
  // A write answered by a frame that is not its answer is a failed write.
  for (FaultKind kind :
       {FaultKind::kWrongSource, FaultKind::kOtherMaster, FaultKind::kWrongReference}) {
    sim_.SetFault({.kind = kind});
    EXPECT_EQ(WriteOne("V100", kInt16, 0x5678), 0) << ppisim::FaultKindName(kind);
  }
}

// A refusal by the PLC (item return code other than FF) fails reads and writes through both
// interfaces; neither reports it as success or takes the bytes after the return code as the
// value.
TEST_P(S7ProtoTypesTest, ARefusedItemFailsTheCall) {
  Put(Area::kV, 100, {0x12, 0x34});
  for (uint8_t code : {0x05, 0x0A}) {
    SCOPED_TRACE(code);
    sim_.SetFault({.kind = FaultKind::kItemError, .returnCode = code});
    HostGroup read(first_, "V100", kInt16);
    Value(read.item(), GetParam()) = 7;
    EXPECT_EQ(Execute(read), 0);
    EXPECT_EQ(Value(read.item(), GetParam()), 7);

    sim_.SetFault({.kind = FaultKind::kItemError, .returnCode = code});
    EXPECT_EQ(WriteOne("V100", kInt16, 0x5678), 0);
    EXPECT_EQ(Get(Area::kV, 100, 2), (Bytes{0x12, 0x34}));
  }
  // The next write is clean again.
  EXPECT_EQ(WriteOne("V100", kInt16, 0x5678), 1);
  EXPECT_EQ(Get(Area::kV, 100, 2), (Bytes{0x56, 0x78}));
}

// The first interface writes a bit of Q with a user-data job whose reply carries no return code
// at byte 21: it is checked by its FCS alone. The second interface sends a standard write job.
TEST_P(S7ProtoTypesTest, QBitWritesAreCheckedByTheirFcs) {
  Put(Area::kQ, 3, {0x00});
  sim_.SetFault({.kind = FaultKind::kBadFcs});
  EXPECT_EQ(WriteOne("Q3.4", kBit, 1), 0);
  sim_.ResetCounters();
  EXPECT_EQ(WriteOne("Q3.4", kBit, 1), 1);
  EXPECT_EQ(Get(Area::kQ, 3, 1), Bytes{0x10});
  EXPECT_EQ(sim_.GetCounters().userDataWrites, GetParam() == Via::kFirst ? 1u : 0u);
}

// A repeated acknowledgement in front of the reply (E5 68 …) is dropped and the reply decoded,
// also when its bytes arrive one by one at line speed.
TEST_P(S7ProtoTypesTest, AStrayAcknowledgementBeforeTheReplyIsDropped) {
  Put(Area::kV, 100, {0x12, 0x34});
  HostGroup group(first_, "V100", kUint16);
  sim_.SetFault({.kind = FaultKind::kNoise, .bytes = {0xE5}});
  ASSERT_EQ(Execute(group), 1);
  EXPECT_EQ(Value(group.item(), GetParam()), 0x1234);

  // Two stray bytes are skipped as well: the reply starts at its start delimiter.
  Value(group.item(), GetParam()) = 7;
  sim_.SetFault({.kind = FaultKind::kNoise, .bytes = {0xE5, 0xE5}});
  EXPECT_EQ(Execute(group), 1);
  EXPECT_EQ(Value(group.item(), GetParam()), 0x1234);

  ppisim::Options paced;
  paced.baud = 19200;
  ppisim::PpiSimulator line(paced);
  ASSERT_TRUE(line.Start()) << line.LastError();
  ASSERT_TRUE(line.SetBytes(Area::kV, 100, Bytes{0xAB, 0xCD}));
  OpenOn(line);
  line.SetFault({.kind = FaultKind::kNoise, .bytes = {0xE5}});
  ASSERT_EQ(Execute(group), 1);
  EXPECT_EQ(Value(group.item(), GetParam()), 0xABCD);
  first_->ClosePort();
}

}  // namespace
