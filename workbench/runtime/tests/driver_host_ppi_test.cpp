// End to end: the real PPI driver (registered by regsvr, created through COM) on two PLC
// simulators mapped to Com1 and Com2, polled by the host's threads into the tag table.
#include <array>
#include <chrono>
#include <string>

#include "common/testing/ser2net.h"
#include "drivers/ppi/ppi_address.h"
#include "platform/atoms.h"
#include "tools/ppisim/ppi_simulator.h"
#include "workbench/runtime/tests/driver_test_env.h"

namespace {

using driver_test::HostFixture;
using driver_test::kMissingClsid;
using driver_test::kPortsKey;
using driver_test::kPpiClsid;
using driver_test::MakeDevice;
using driver_test::MakeTag;
using driver_test::WaitFor;
using talvek::DriverHost;
using talvek::LoadQuality;
using talvek::LoadRawWord;
using talvek::LoadUpdateTime;
using talvek::LoadValueWord;
using talvek::Tags;

// Tag indexes of the fixture's table.
enum : uint16_t {
  kABit,    // V100.3 bit
  kAByte,   // V101 byte
  kAI16,    // V102 int16
  kAU16,    // V104 uint16
  kAI32,    // V106 int32
  kAFloat,  // V110 float
  kAStr,    // V120.8 string
  kAFar,    // V400 int16: beyond the 200-byte span of the first group
  kAIn,     // I0.3 bit
  kAFlag,   // M10 byte
  kAX3,     // X3: no area
  kADelay0,
  kADelay1,
  kA3I16,   // station 3: V100 int16
  kBI16,    // Com2: V200 int16
  kBFloat,  // V204 float
  kBStr,    // V300.5 string
  kBOut,    // Q0.1 bit
  kBByte,   // V208 byte
  kBDelay0,
  kBDelay1,
  kCI16,  // Com4, station text "2a": never opens
  kGone,  // a device whose class cannot be created
  kTagCount,
};

// Tags read from a PLC (not the DELAY registers, not X3, not the drivers that never run).
constexpr std::array<uint16_t, 11> kCom1Polled = {kABit, kAByte, kAI16, kAU16,  kAI32, kAFloat,
                                                  kAStr, kAFar,  kAIn,  kAFlag, kA3I16};
constexpr std::array<uint16_t, 5> kCom2Polled = {kBI16, kBFloat, kBStr, kBOut, kBByte};

uint64_t Ticks(const FILETIME& t) {
  return (uint64_t{t.dwHighDateTime} << 32) | t.dwLowDateTime;
}

std::string AtomText(int32_t word) {
  char text[256] = {};
  platform::GlobalGetAtomNameA(static_cast<ATOM>(word & 0xFFFF), text, sizeof text);
  return text;
}

class PpiHostTest : public HostFixture {
 protected:
  void SetUp() override {
    HostFixture::SetUp();
    if (HasFatalFailure())
      return;
    ASSERT_TRUE(sim1_.Start()) << sim1_.LastError();
    ASSERT_TRUE(sim2_.Start()) << sim2_.LastError();
    platform::Registry& reg = platform::Registry::Instance();
    ASSERT_TRUE(reg.SetString(kPortsKey, "Com1", sim1_.SlavePath()));
    ASSERT_TRUE(reg.SetString(kPortsKey, "Com2", sim2_.SlavePath()));
    for (CommSettings& port : talvek::Project().ports)
      port.timeoutMs = 150;  // a silent PLC fails an exchange quickly

    AddDevice(MakeDevice("A", 1, "2", kPpiClsid));
    AddDevice(MakeDevice("Gone", 3, "2", kMissingClsid));
    AddDevice(MakeDevice("A3", 1, "3", kPpiClsid));
    AddDevice(MakeDevice("B", 2, "2", kPpiClsid));
    AddDevice(MakeDevice("C", 4, "2a", kPpiClsid));

    TagList().resize(kTagCount);
    auto tag = [&](uint16_t i, const char* device, const char* reg, int rawType) {
      TagList()[i] = MakeTag(reg, device, reg, rawType);
      std::snprintf(TagList()[i].name, sizeof TagList()[i].name, "%s_%s", device, reg);
      TagList()[i].quality = 4;  // as loaded: not what any read stores
    };
    tag(kABit, "A", "V100.3", kRawBit);
    tag(kAByte, "A", "V101", kRawByte);
    tag(kAI16, "A", "V102", kRawInt16);
    tag(kAU16, "A", "V104", kRawUInt16);
    tag(kAI32, "A", "V106", kRawInt32);
    tag(kAFloat, "A", "V110", kRawFloat);
    tag(kAStr, "A", "V120.8", kRawString);
    tag(kAFar, "A", "V400", kRawInt16);
    tag(kAIn, "A", "I0.3", kRawBit);
    tag(kAFlag, "A", "M10", kRawByte);
    tag(kAX3, "A", "X3", kRawInt16);
    tag(kADelay0, "A", "DELAY0", kRawUInt16);
    tag(kADelay1, "A", "DELAY1", kRawUInt16);
    tag(kA3I16, "A3", "V100", kRawInt16);
    tag(kBI16, "B", "V200", kRawInt16);
    tag(kBFloat, "B", "V204", kRawFloat);
    tag(kBStr, "B", "V300.5", kRawString);
    tag(kBOut, "B", "Q0.1", kRawBit);
    tag(kBByte, "B", "V208", kRawByte);
    tag(kBDelay0, "B", "DELAY0", kRawUInt16);
    tag(kBDelay1, "B", "DELAY1", kRawUInt16);
    tag(kCI16, "C", "V10", kRawInt16);
    tag(kGone, "Gone", "V10", kRawInt16);

    Set(sim1_, "V100.3", ppisim::ValueType::kBit, "1", 2);
    Set(sim1_, "V101", ppisim::ValueType::kByte, "171", 2);
    Set(sim1_, "V102", ppisim::ValueType::kInt, "-1234", 2);
    Set(sim1_, "V104", ppisim::ValueType::kWord, "54321", 2);
    Set(sim1_, "V106", ppisim::ValueType::kDword, "-123456789", 2);
    Set(sim1_, "V110", ppisim::ValueType::kFloat, "2.5", 2);
    Set(sim1_, "V120", ppisim::ValueType::kString, "hello", 2);
    Set(sim1_, "V400", ppisim::ValueType::kInt, "4000", 2);
    Set(sim1_, "I0.3", ppisim::ValueType::kBit, "1", 2);
    Set(sim1_, "M10", ppisim::ValueType::kByte, "77", 2);
    Set(sim1_, "V100", ppisim::ValueType::kInt, "333", 3);
    Set(sim2_, "V200", ppisim::ValueType::kInt, "200", 2);
    Set(sim2_, "V204", ppisim::ValueType::kFloat, "-7.25", 2);
    Set(sim2_, "V300", ppisim::ValueType::kString, "abc", 2);
    Set(sim2_, "Q0.1", ppisim::ValueType::kBit, "1", 2);
    Set(sim2_, "V208", ppisim::ValueType::kByte, "9", 2);
  }

  void TearDown() override {
    HostFixture::TearDown();  // the host goes before the lines
    sim1_.Stop();
    sim2_.Stop();
  }

  static void Set(ppisim::PpiSimulator& sim, const char* where, ppisim::ValueType type,
                  const char* text, int station) {
    ppisim::Location location;
    ASSERT_TRUE(ppisim::ParseLocation(where, &location)) << where;
    std::string error;
    ASSERT_TRUE(sim.SetValue(location, type, text, &error, station)) << where << ": " << error;
  }

  static std::string Get(ppisim::PpiSimulator& sim, const char* where, ppisim::ValueType type) {
    ppisim::Location location;
    EXPECT_TRUE(ppisim::ParseLocation(where, &location)) << where;
    std::string text, error;
    EXPECT_TRUE(sim.GetValue(location, type, 0, &text, &error, 2)) << error;
    return text;
  }

  // The driver registers pace the line at 10 ms instead of 50: queued now, written by the first
  // cycle without a byte on the line.
  static void FastLines() {
    for (uint16_t i : {kADelay0, kADelay1, kBDelay0, kBDelay1})
      Tags().WriteInteger(i, 10);
  }

  // Device "E" at station 2 on Com5, mapped to `where`, with the tag E_V10 (stored with
  // `quality` and `value`); V10 of `sim` holds 55. Returns the tag's index.
  uint16_t AddPlcOnCom5(ppisim::PpiSimulator& sim, const std::string& where, uint16_t quality = 0,
                        int16_t value = 0) {
    EXPECT_TRUE(platform::Registry::Instance().SetString(kPortsKey, "Com5", where));
    talvek::Project().ports.push_back(talvek::DefaultPortEntry(5));
    talvek::Project().ports.back().timeoutMs = 150;
    AddDevice(MakeDevice("E", 5, "2", kPpiClsid));
    TagRecord e = MakeTag("V10", "E", "V10", kRawInt16);
    std::snprintf(e.name, sizeof e.name, "%s", "E_V10");
    e.quality = quality;
    e.value = e.rawValue = value;
    AddTag(e);
    Set(sim, "V10", ppisim::ValueType::kInt, "55", 2);
    return static_cast<uint16_t>(TagList().size() - 1);
  }

  // True when every tag of `indexes` has quality `q`.
  template <std::size_t N>
  static bool AllQuality(const std::array<uint16_t, N>& indexes, uint16_t q) {
    for (uint16_t i : indexes) {
      if (LoadQuality(TagAt(i)) != q)
        return false;
    }
    return true;
  }

  // True when every polled tag shows its PLC value with good quality.
  static bool AllValuesArrived() {
    if (!AllQuality(kCom1Polled, 192) || !AllQuality(kCom2Polled, 192))
      return false;
    return LoadValueWord(TagAt(kABit)) == 1 && LoadValueWord(TagAt(kAByte)) == 171 &&
           LoadValueWord(TagAt(kAI16)) == -1234 && LoadValueWord(TagAt(kAU16)) == 54321 &&
           LoadValueWord(TagAt(kAI32)) == -123456789 &&
           LoadValueWord(TagAt(kAFloat)) == FloatToWord(2.5f) &&
           AtomText(LoadValueWord(TagAt(kAStr))) == "hello" &&
           LoadValueWord(TagAt(kAFar)) == 4000 && LoadValueWord(TagAt(kAIn)) == 1 &&
           LoadValueWord(TagAt(kAFlag)) == 77 && LoadValueWord(TagAt(kA3I16)) == 333 &&
           LoadValueWord(TagAt(kBI16)) == 200 &&
           LoadValueWord(TagAt(kBFloat)) == FloatToWord(-7.25f) &&
           AtomText(LoadValueWord(TagAt(kBStr))) == "abc" && LoadValueWord(TagAt(kBOut)) == 1 &&
           LoadValueWord(TagAt(kBByte)) == 9;
  }

  // Every tag's name, quality and value words, for a failure message.
  static std::string Describe() {
    std::string out;
    for (const TagRecord& t : TagList()) {
      char line[128];
      std::snprintf(line, sizeof line, "\n  %-12s q=%3u value=%d raw=0x%08X", t.name,
                    LoadQuality(t), LoadValueWord(t), static_cast<unsigned>(LoadRawWord(t)));
      out += line;
    }
    return out;
  }

  ppisim::PpiSimulator sim1_{ppisim::Options{.stations = {2, 3}}};
  ppisim::PpiSimulator sim2_;
};

TEST_F(PpiHostTest, EveryRawTypeReachesItsTagWithGoodQualityAndAFreshTime) {
  DriverHost& host = MakeHost(5);
  host.CreateDrivers("");
  // Com1 (A, A3), Com2 (B), Com4 (C); the device of the missing class is skipped.
  ASSERT_EQ(host.DriverCount(), 3u);
  EXPECT_EQ(host.Driver(0).Devices().size(), 2u);
  EXPECT_EQ(host.Driver(0).Mode(), 2);
  EXPECT_EQ(host.Driver(0).AreaCount(), ppi::kAreaCount);
  FastLines();
  FILETIME before{};
  platform::CoFileTimeNow(&before);
  host.StartAll();
  EXPECT_TRUE(host.Driver(0).HasThread());
  EXPECT_TRUE(host.Driver(1).HasThread());
  EXPECT_TRUE(host.Driver(2).HasThread());  // not open (station "2a"): retried
  EXPECT_EQ(host.Driver(2).IsOpen(), 0);
  ASSERT_TRUE(WaitFor(AllValuesArrived)) << Describe();
  for (uint16_t i : kCom1Polled)
    EXPECT_GE(Ticks(LoadUpdateTime(TagAt(i))), Ticks(before)) << TagAt(i).name;
  for (uint16_t i : kCom2Polled)
    EXPECT_GE(Ticks(LoadUpdateTime(TagAt(i))), Ticks(before)) << TagAt(i).name;
  // The DELAY registers took the write of the first cycle and read it back.
  ASSERT_TRUE(WaitFor([] { return LoadValueWord(TagAt(kADelay1)) == 10; }));
  host.StopAll();
  EXPECT_FALSE(host.IsPolling());
  // Never polled: no area, no driver.
  for (uint16_t i : {kAX3, kGone}) {
    EXPECT_EQ(LoadQuality(TagAt(i)), 4) << TagAt(i).name;
    EXPECT_EQ(Ticks(LoadUpdateTime(TagAt(i))), 0u) << TagAt(i).name;
  }
  // Polled on a connection that could not be made: not connected, never read.
  EXPECT_EQ(LoadQuality(TagAt(kCI16)), talvek::kQualityNotConnected);
  EXPECT_EQ(Ticks(LoadUpdateTime(TagAt(kCI16))), 0u);
}

TEST_F(PpiHostTest, RequestsFollowTheDriversMergeRule) {
  DriverHost& host = MakeHost();
  host.CreateDrivers("");
  talvek::CDriver& com1 = host.Driver(0);
  talvek::CDriver& com2 = host.Driver(1);
  // Com1: V100..113 (six types), the string alone, V400 beyond 200 bytes, I, M, two DELAY
  // groups, station 3's V100.
  ASSERT_EQ(com1.ReadGroupCount(), 8u);
  EXPECT_EQ(com1.ReadGroup(0).items.count, 6);
  EXPECT_EQ(com1.ReadGroup(0).startAddress, 100);
  EXPECT_EQ(com1.ReadGroup(0).endAddress, 113);
  EXPECT_EQ(com1.ReadGroup(1).startAddress, 120);
  EXPECT_EQ(com1.ReadGroup(2).startAddress, 400);
  EXPECT_EQ(com1.ReadGroup(3).areaIndex, ppi::kAreaI);
  EXPECT_EQ(com1.ReadGroup(4).areaIndex, ppi::kAreaM);
  EXPECT_EQ(com1.ReadGroup(5).areaIndex, ppi::kAreaDelay);
  EXPECT_EQ(com1.ReadGroup(6).areaIndex, ppi::kAreaDelay);
  EXPECT_EQ(com1.ReadGroup(7).station, 3);
  // Com2: V200..208 (int16, float, byte), the string, Q, two DELAY groups.
  ASSERT_EQ(com2.ReadGroupCount(), 5u);
  EXPECT_EQ(com2.ReadGroup(0).items.count, 3);
  EXPECT_EQ(com2.ReadGroup(0).endAddress, 208);

  // One cycle each, by hand: exactly one read job per group that goes on the line.
  ASSERT_EQ(com1.Open(), 1);
  ASSERT_EQ(com2.Open(), 1);
  sim1_.ResetCounters();
  sim2_.ResetCounters();
  ASSERT_EQ(com1.RunCycle(), 1);
  ASSERT_EQ(com2.RunCycle(), 1);
  const ppisim::Counters c1 = sim1_.GetCounters();
  const ppisim::Counters c2 = sim2_.GetCounters();
  EXPECT_EQ(c1.reads, 6u);
  EXPECT_EQ(c1.readsByArea[0], 4u);  // V
  EXPECT_EQ(c1.readsByArea[1], 1u);  // I
  EXPECT_EQ(c1.readsByArea[3], 1u);  // M
  EXPECT_EQ(c1.writes, 0u);
  EXPECT_EQ(c2.reads, 3u);
  EXPECT_EQ(c2.readsByArea[0], 2u);
  EXPECT_EQ(c2.readsByArea[2], 1u);  // Q
  EXPECT_TRUE(AllValuesArrived()) << Describe();
}

TEST_F(PpiHostTest, AWriteLandsAtTheStartOfTheNextCycleBeforeTheReads) {
  DriverHost& host = MakeHost();
  host.CreateDrivers("");
  talvek::CDriver& com1 = host.Driver(0);
  ASSERT_EQ(com1.Open(), 1);
  ASSERT_EQ(Tags().WriteInteger(kAI16, 555), 1);
  ASSERT_EQ(Tags().WriteDiscrete(kAIn, 0), 1);  // inputs are read-only: the PLC refuses it
  EXPECT_EQ(com1.PendingWriteCount(), 2u);
  EXPECT_EQ(Get(sim1_, "V102", ppisim::ValueType::kInt), "-1234");
  sim1_.ResetCounters();
  ASSERT_EQ(com1.RunCycle(), 1);
  // Written first, then read back in the same cycle.
  EXPECT_EQ(Get(sim1_, "V102", ppisim::ValueType::kInt), "555");
  EXPECT_EQ(LoadValueWord(TagAt(kAI16)), 555);
  EXPECT_EQ(sim1_.GetCounters().writes, 1u);
  EXPECT_EQ(com1.PendingWriteCount(), 0u);
  // Not tried again.
  ASSERT_EQ(com1.RunCycle(), 1);
  EXPECT_EQ(sim1_.GetCounters().writes, 1u);

  // While polling: a string and a float land in the PLC and come back into their tags.
  FastLines();
  host.SetCyclePeriod(5);
  host.StartAll();
  ASSERT_EQ(Tags().WriteString(kBStr, "xyz"), 1);
  ASSERT_EQ(Tags().WriteFloat(kBFloat, 1.75f), 1);
  ASSERT_TRUE(WaitFor([&] {
    return AtomText(LoadValueWord(TagAt(kBStr))) == "xyz" &&
           LoadValueWord(TagAt(kBFloat)) == FloatToWord(1.75f);
  }));
  EXPECT_EQ(Get(sim2_, "V300", ppisim::ValueType::kString), "xyz");
  EXPECT_EQ(Get(sim2_, "V204", ppisim::ValueType::kFloat), "1.75");

  // A write does not wait for the next cycle: with a 5 s period it still lands at once (one
  // exchange of this line takes about 25 ms).
  host.SetCyclePeriod(5000);
  ASSERT_TRUE(WaitFor([&] { return sim2_.GetCounters().reads > 0; }));
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // into the idle wait
  const uint64_t writesBefore = sim2_.GetCounters().writes;
  const auto start = std::chrono::steady_clock::now();
  ASSERT_EQ(Tags().WriteInteger(kBI16, 321), 1);
  ASSERT_TRUE(WaitFor([&] { return sim2_.GetCounters().writes > writesBefore; }, 4000));
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(1000));
  EXPECT_EQ(Get(sim2_, "V200", ppisim::ValueType::kInt), "321");
  host.StopAll();
}

TEST_F(PpiHostTest, ASilentPlcMarksItsGroupsBadAndTheyRecover) {
  DriverHost& host = MakeHost(5);
  host.CreateDrivers("");
  FastLines();
  host.StartAll();
  ASSERT_TRUE(WaitFor(AllValuesArrived)) << Describe();
  sim1_.SetFault({.kind = ppisim::FaultKind::kSilence, .count = ppisim::kAlways});
  ASSERT_TRUE(WaitFor([] { return AllQuality(kCom1Polled, 0); }));
  // A write during the fault is reported as failed, with the driver's text.
  host.TakeEvents();
  Tags().WriteInteger(kAI16, 9);
  std::vector<talvek::RuntimeEvent> writes;
  ASSERT_TRUE(WaitFor([&] {
    for (auto& e : host.TakeEvents()) {
      if (!e.tagName.empty())
        writes.push_back(std::move(e));
    }
    return !writes.empty();
  }));
  EXPECT_EQ(writes[0].kind, talvek::RuntimeEvent::Kind::kWriteFailed);
  EXPECT_EQ(writes[0].tagName, "A_V102");
  EXPECT_FALSE(writes[0].text.empty());
  // The other line, and the registers that never touch a line, stay good.
  EXPECT_TRUE(AllQuality(kCom2Polled, 192));
  EXPECT_EQ(LoadQuality(TagAt(kADelay0)), 192);
  // The last values stay.
  EXPECT_EQ(LoadValueWord(TagAt(kAI32)), -123456789);
  sim1_.ClearFault();
  ASSERT_TRUE(WaitFor([] { return AllQuality(kCom1Polled, 192); }));
  host.StopAll();
}

TEST_F(PpiHostTest, APlcSilentFromTheStartLeavesTheStoredValuesAndTheirTimesAlone) {
  const FILETIME stored{0x1234, 0x01D00000};
  for (uint16_t i : kCom1Polled) {
    TagList()[i].value = 1234;
    TagList()[i].rawValue = 1234;
    TagList()[i].quality = 192;
    TagList()[i].updateTime = stored;
  }
  sim1_.SetFault({.kind = ppisim::FaultKind::kSilence, .count = ppisim::kAlways});
  DriverHost& host = MakeHost(300);
  host.CreateDrivers("");
  host.StartAll();
  // Stored qualities are history: nothing is good before it has been read.
  EXPECT_TRUE(AllQuality(kCom1Polled, talvek::kQualityWaitingForData)) << Describe();
  EXPECT_EQ(LoadQuality(TagAt(kAX3)), 4);  // not polled: as loaded
  ASSERT_TRUE(WaitFor([] { return AllQuality(kCom1Polled, 0); })) << Describe();
  for (uint16_t i : kCom1Polled) {
    EXPECT_EQ(LoadValueWord(TagAt(i)), 1234) << TagAt(i).name;
    EXPECT_EQ(LoadRawWord(TagAt(i)), 1234) << TagAt(i).name;
    EXPECT_EQ(Ticks(LoadUpdateTime(TagAt(i))), Ticks(stored)) << TagAt(i).name;
  }
  ASSERT_TRUE(WaitFor([] { return AllQuality(kCom2Polled, 192); })) << Describe();
  host.StopAll();
}

TEST_F(PpiHostTest, APortThatAppearsLaterIsPolledAndOneThatHangsUpIsOpenedAgain) {
  // Com5 names a link that does not exist yet, as an unplugged adapter's device path.
  ppisim::PpiSimulator sim3;
  ASSERT_TRUE(sim3.Start()) << sim3.LastError();
  const std::string link = config_.str() + "/Com5";
  const uint16_t tag = AddPlcOnCom5(sim3, link, 192, 1234);

  DriverHost& host = MakeHost(5);
  host.SetRetryInterval(100);
  host.CreateDrivers("");
  host.StartAll();
  // Not connected at once, the stored value kept, and the reason reported.
  EXPECT_EQ(LoadQuality(TagAt(tag)), talvek::kQualityNotConnected);
  EXPECT_EQ(LoadValueWord(TagAt(tag)), 1234);
  bool down = false;
  for (const auto& ev : host.TakeEvents())
    down |= ev.kind == talvek::RuntimeEvent::Kind::kPortDown && ev.portNumber == 5;
  EXPECT_TRUE(down);

  // The port appears: polled without a restart.
  std::filesystem::create_symlink(sim3.SlavePath(), link);
  ASSERT_TRUE(WaitFor([&] { return LoadQuality(TagAt(tag)) == 192; })) << Describe();
  EXPECT_EQ(LoadValueWord(TagAt(tag)), 55);

  // The simulator goes away and comes back on a new terminal behind the same link.
  sim3.Stop();
  ASSERT_TRUE(WaitFor([&] {
    const uint16_t q = LoadQuality(TagAt(tag));
    return q == 0 || q == talvek::kQualityNotConnected;
  })) << Describe();
  EXPECT_EQ(LoadValueWord(TagAt(tag)), 55);
  ASSERT_TRUE(sim3.Start()) << sim3.LastError();
  Set(sim3, "V10", ppisim::ValueType::kInt, "66", 2);
  std::filesystem::remove(link);
  std::filesystem::create_symlink(sim3.SlavePath(), link);
  ASSERT_TRUE(WaitFor([&] { return LoadValueWord(TagAt(tag)) == 66; })) << Describe();
  EXPECT_EQ(LoadQuality(TagAt(tag)), 192);
  host.StopAll();
  sim3.Stop();
}

// A PLC behind a serial device server (RFC 2217): polled through it, and polled again without a
// restart once the server has gone away and come back.
TEST_F(PpiHostTest, APlcBehindADeviceServerThatDropsIsPolledAgainWhenItIsBack) {
  ppisim::PpiSimulator sim3;
  ASSERT_TRUE(sim3.Start()) << sim3.LastError();
  testing_support::Ser2net server;
  ASSERT_TRUE(server.Start(sim3.SlavePath(), testing_support::Ser2net::Mode::kRfc2217))
      << server.Error();
  const uint16_t tag = AddPlcOnCom5(sim3, server.Url());

  DriverHost& host = MakeHost(5);
  host.SetRetryInterval(100);
  host.CreateDrivers("");
  host.StartAll();
  ASSERT_TRUE(WaitFor([&] { return LoadQuality(TagAt(tag)) == 192; })) << Describe();
  EXPECT_EQ(LoadValueWord(TagAt(tag)), 55);

  server.Stop();
  ASSERT_TRUE(WaitFor([&] {
    const uint16_t q = LoadQuality(TagAt(tag));
    return q == 0 || q == talvek::kQualityNotConnected;
  })) << Describe();
  Set(sim3, "V10", ppisim::ValueType::kInt, "66", 2);
  ASSERT_TRUE(server.Start(sim3.SlavePath(), testing_support::Ser2net::Mode::kRfc2217))
      << server.Error();
  ASSERT_TRUE(WaitFor([&] { return LoadValueWord(TagAt(tag)) == 66; })) << Describe();
  EXPECT_EQ(LoadQuality(TagAt(tag)), 192);
  host.StopAll();
}

TEST_F(PpiHostTest, StopAllReturnsWithinOneCycle) {
  constexpr uint32_t kPeriodMs = 1500;
  DriverHost& host = MakeHost(kPeriodMs);
  host.CreateDrivers("");
  FastLines();
  // Stopped in the idle wait before the first cycle.
  host.StartAll();
  auto start = std::chrono::steady_clock::now();
  host.StopAll();
  auto elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::milliseconds(kPeriodMs));
  EXPECT_EQ(sim1_.GetCounters().reads, 0u);

  // Stopped after a cycle has run: waits at most for the cycle under way.
  host.StartAll();
  ASSERT_TRUE(WaitFor([&] { return sim1_.GetCounters().reads >= 1; }, 2 * kPeriodMs + 2000));
  start = std::chrono::steady_clock::now();
  host.StopAll();
  elapsed = std::chrono::steady_clock::now() - start;
  EXPECT_LT(elapsed, std::chrono::milliseconds(kPeriodMs));
  EXPECT_FALSE(host.IsPolling());
  const uint64_t reads = sim1_.GetCounters().reads;
  EXPECT_LE(reads, 6u);  // one cycle
}

TEST_F(PpiHostTest, AWriteToADriverThatCannotConnectIsReportedAndNeverSent) {
  DriverHost& host = MakeHost(5);
  host.CreateDrivers("");
  talvek::CDriver& com4 = host.Driver(2);
  FastLines();
  host.StartAll();
  ASSERT_EQ(com4.IsOpen(), 0);  // station text "2a"
  Tags().WriteInteger(kCI16, 99);
  std::vector<talvek::RuntimeEvent> seen;
  ASSERT_TRUE(WaitFor([&] {
    for (auto& e : host.TakeEvents()) {
      if (e.tagName == "C_V10")
        seen.push_back(std::move(e));
    }
    return !seen.empty();
  }));
  EXPECT_EQ(seen[0].kind, talvek::RuntimeEvent::Kind::kWriteFailed);
  EXPECT_EQ(seen[0].portNumber, 4);
  ASSERT_TRUE(WaitFor(AllValuesArrived)) << Describe();
  EXPECT_EQ(sim1_.GetCounters().writes + sim2_.GetCounters().writes, 0u);
  host.StopAll();
  host.DestroyDrivers();
  EXPECT_EQ(host.DriverCount(), 0u);
}

}  // namespace
