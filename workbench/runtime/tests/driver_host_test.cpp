// The driver host and CDriver against the mode-1 test driver (created through COM, answers set
// by the test): driver creation per port, the records handed to the driver, grouping, writes,
// mode-1 result copies, the thread life cycle and the mended faults.
#include <cstdlib>
#include <string>

#include "workbench/runtime/tests/driver_test_env.h"

namespace {

using driver_test::HostFixture;
using driver_test::kMissingClsid;
using driver_test::MakeDevice;
using driver_test::MakeTag;
using driver_test::WaitFor;
using talvek::CDriver;
using talvek::DriverHost;
using talvek::LoadQuality;
using talvek::LoadRawWord;
using talvek::LoadValueWord;
using talvek::Tags;

std::vector<const GroupItem*> Items(const RequestGroup& g) {
  std::vector<const GroupItem*> out;
  for (const GroupItemNode* n = g.items.head; n != nullptr; n = n->next)
    out.push_back(n->item);
  return out;
}

std::string Events(Mode1DriverControl& c) {
  std::lock_guard lock(c.mutex);
  return c.events;
}

std::string Writes(Mode1DriverControl& c) {
  std::lock_guard lock(c.mutex);
  return c.lastWrites;
}

class DriverHostTest : public HostFixture {};

TEST_F(DriverHostTest, HandsTheDriverItemAndTheAddressInputAsTabled) {
  AddDevice(MakeDevice("D1", 1, "7", kMode1DriverClsid));
  TagRecord t = MakeTag("Bit", "D1", "V12.3", kRawBit);
  t.registerIndex = 5;  // a stale index: the driver's own answer decides the group's area
  std::snprintf(t.driverModel, sizeof t.driverModel, "%s", "ModelA");
  AddTag(t);
  DriverHost& host = MakeHost();
  ASSERT_EQ(host.CreateDrivers("ignored\\Device.dat"), 1);

  std::lock_guard lock(mode1_->mutex);
  const DriverItem& in = mode1_->lastItemIn;
  EXPECT_EQ(in.tagIndex, 0);
  EXPECT_EQ(in.varType, kVarDiscrete);
  EXPECT_STREQ(in.name, "Bit");
  EXPECT_EQ(in.reserved36, 0);
  EXPECT_EQ(in.station, 7);
  EXPECT_EQ(mode1_->lastStationCopy.stationNumber, 7);
  EXPECT_STREQ(mode1_->lastStationCopy.addressText, "7");
  EXPECT_EQ(mode1_->lastRegisterText, "V12.3");
  EXPECT_EQ(in.areaIndex, 5);
  EXPECT_EQ(in.dataType, 0);
  EXPECT_EQ(in.bitOrLength, 0);
  EXPECT_EQ(in.wordOrder, 0);
  EXPECT_EQ(in.byteAddress, 12);
  EXPECT_EQ(in.dataType2, 1);
  EXPECT_EQ(in.extra, 0);
  EXPECT_EQ(in.reserved64, 1000);
  EXPECT_EQ(in.reserved68, 875);
  EXPECT_EQ(in.reserved72, 0);
  EXPECT_EQ(in.reserved76, 0xFFFF);
  EXPECT_EQ(in.reserved80, 0);
  EXPECT_EQ(in.reserved84, 1);
  EXPECT_EQ(in.reserved86, 0);
  EXPECT_EQ(in.reserved88, 0);
  EXPECT_STREQ(mode1_->lastInput.model, "ModelA");
  EXPECT_STREQ(mode1_->lastInput.address, "V12.3");
  EXPECT_EQ(mode1_->lastInput.dataType, 1);
  EXPECT_EQ(mode1_->lastInput.extra, 0);

  ASSERT_EQ(host.DriverCount(), 1u);
  const CDriver& d = host.Driver(0);
  ASSERT_EQ(d.ReadGroupCount(), 1u);
  const RequestGroup& g = d.ReadGroup(0);
  EXPECT_EQ(g.reserved0, 0);
  EXPECT_EQ(g.station, 7);
  ASSERT_NE(g.stationBuffer, nullptr);
  EXPECT_EQ(g.stationBuffer->stationNumber, 7);
  EXPECT_STREQ(g.stationBuffer->addressText, "7");
  EXPECT_STREQ(g.modelText, "ModelA");
  ASSERT_NE(g.area, nullptr);
  EXPECT_STREQ(g.area->name, "V");
  EXPECT_EQ(g.areaIndex, 0);
  EXPECT_EQ(g.dataType, 1);
  EXPECT_EQ(g.bitOrLength, 3);
  EXPECT_EQ(g.startAddress, 12);
  EXPECT_EQ(g.endAddress, 12);
  EXPECT_EQ(g.writeFlag, 0);
  const auto items = Items(g);
  ASSERT_EQ(items.size(), 1u);
  EXPECT_EQ(items[0]->tagIndex, 0);
  EXPECT_EQ(items[0]->byteAddress, 12);
  EXPECT_EQ(items[0]->dataType, 1);
  EXPECT_EQ(items[0]->value, 0);
  EXPECT_EQ(items[0]->bitOrLength, 3);
  EXPECT_EQ(items[0]->bitNumber, 3);  // the first interface's view of a bit tag
}

TEST_F(DriverHostTest, FirstMatchingAreaAndTheAddressNumber) {
  mode1_->merge = kMergeNever;  // one group per tag, so each item can be looked at
  AddDevice(MakeDevice("D1", 1, "2", kMode1DriverClsid));
  const char* texts[] = {"V100", "VB10", "V  -12", "V+7x", "V", "M5", "X3", " V5", "VBAD1", "V8"};
  for (const char* text : texts)
    AddTag(MakeTag(text, "D1", text, kRawByte));
  DriverHost& host = MakeHost();
  host.CreateDrivers("");
  const CDriver& d = host.Driver(0);
  // "X3" and " V5" start with no area name; "VBAD1" is refused by the driver.
  ASSERT_EQ(d.ReadGroupCount(), 7u);
  const uint16_t expected[] = {100, 0, static_cast<uint16_t>(-12), 7, 0, 5, 8};
  const uint16_t tagIndexes[] = {0, 1, 2, 3, 4, 5, 9};
  for (std::size_t i = 0; i < 7; ++i) {
    SCOPED_TRACE(i);
    const auto items = Items(d.ReadGroup(i));
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0]->tagIndex, tagIndexes[i]);
    EXPECT_EQ(items[0]->byteAddress, expected[i]);
  }
  // "VB10" takes the first area whose name starts it: V, not VB.
  EXPECT_STREQ(d.ReadGroup(1).area->name, "V");
  EXPECT_STREQ(d.ReadGroup(5).area->name, "M");
}

TEST_F(DriverHostTest, AnAreaMarkedSoTakesTheAddressFromTheDriver) {
  // In "DB5.12" the number after the name is the block; the driver's conversion says byte 12,
  // for the group a tag opens as for a tag merged into it.
  AddDevice(MakeDevice("D1", 1, "2", kMode1DriverClsid));
  AddTag(MakeTag("A", "D1", "DB5.12", kRawByte));
  AddTag(MakeTag("B", "D1", "DB5.20", kRawByte));
  AddTag(MakeTag("C", "D1", "V7", kRawByte));
  DriverHost& host = MakeHost();
  host.CreateDrivers("");
  const CDriver& d = host.Driver(0);
  ASSERT_EQ(d.ReadGroupCount(), 2u);
  const auto items = Items(d.ReadGroup(0));
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0]->byteAddress, 12);
  EXPECT_EQ(items[1]->byteAddress, 20);
  EXPECT_EQ(d.ReadGroup(0).startAddress, 12);
  EXPECT_EQ(Items(d.ReadGroup(1))[0]->byteAddress, 7);
}

TEST_F(DriverHostTest, AreaTablesThatCannotBeUsed) {
  AddDevice(MakeDevice("D1", 1, "2", kMode1DriverClsid));
  AddTag(MakeTag("A", "D1", "V100", kRawInt16));
  {
    // An unnamed area would start every text; it names nothing.
    mode1_->table = kTableEmptyName;
    DriverHost& host = MakeHost();
    host.CreateDrivers("");
    ASSERT_EQ(host.Driver(0).ReadGroupCount(), 1u);
    EXPECT_STREQ(host.Driver(0).ReadGroup(0).area->name, "V");
    EXPECT_EQ(Items(host.Driver(0).ReadGroup(0))[0]->byteAddress, 100);
  }
  for (int table : {kTableNull, kTableFails}) {
    SCOPED_TRACE(table);
    mode1_->table = table;
    mode1_->convertCalls = 0;
    DriverHost& host = MakeHost();
    host.CreateDrivers("");
    ASSERT_EQ(host.DriverCount(), 1u);
    EXPECT_EQ(host.Driver(0).AreaCount(), 0);
    EXPECT_EQ(host.Driver(0).ReadGroupCount(), 0u);
    EXPECT_EQ(Tags().WriteInteger(0, 5), 1);
    EXPECT_EQ(host.Driver(0).PendingWriteCount(), 0u);
    EXPECT_EQ(mode1_->convertCalls.load(), 0);
  }
}

TEST_F(DriverHostTest, OneDriverPerPortWithItsDevicesAndPortSettings) {
  AddDevice(MakeDevice("P1a", 1, "2", kMode1DriverClsid));
  AddDevice(MakeDevice("P2", 2, "2", kMode1DriverClsid));
  AddDevice(MakeDevice("P1b", 1, "3", kMode1DriverClsid));
  AddDevice(MakeDevice("P1c", 1, "4", kMode1DriverClsid));
  AddDevice(MakeDevice("P5", 5, "2", kMode1DriverClsid));
  talvek::Project().ports[0].baudRate = 19200;
  DriverHost& host = MakeHost();
  host.CreateDrivers("");
  ASSERT_EQ(host.DriverCount(), 3u);
  const auto& first = host.Driver(0).Devices();
  ASSERT_EQ(first.size(), 3u);
  EXPECT_STREQ(first[0].logicalName, "P1a");
  EXPECT_STREQ(first[1].logicalName, "P1b");
  EXPECT_STREQ(first[2].logicalName, "P1c");
  ASSERT_EQ(host.Driver(1).Devices().size(), 1u);
  EXPECT_STREQ(host.Driver(1).Devices()[0].logicalName, "P2");
  EXPECT_EQ(host.Driver(0).Mode(), 1);
  // One temporary object per driver, released at once.
  EXPECT_EQ(mode1_->created.load(), 6);
  EXPECT_EQ(mode1_->objects.load(), objectsBefore_ + 3);

  EXPECT_STREQ(host.Driver(0).PortSettings().portName, "Com1");
  EXPECT_EQ(host.Driver(0).PortSettings().baudRate, 19200);
  EXPECT_EQ(host.Driver(1).PortSettings().baudRate, 9600);
  // No "Com5" entry: the settings a new entry would get.
  EXPECT_STREQ(host.Driver(2).PortSettings().portName, "Com5");
  EXPECT_EQ(host.Driver(2).PortSettings().baudRate, 9600);
  EXPECT_EQ(host.Driver(2).PortSettings().timeoutMs, 1000);

  // A second build replaces the drivers instead of adding the devices to the old ones again.
  host.CreateDrivers("");
  ASSERT_EQ(host.DriverCount(), 3u);
  EXPECT_EQ(host.Driver(0).Devices().size(), 3u);
  EXPECT_EQ(mode1_->objects.load(), objectsBefore_ + 3);
}

TEST_F(DriverHostTest, AnUncreatableClassLeavesTheOthersWorking) {
  AddDevice(MakeDevice("Gone", 1, "2", kMissingClsid));
  AddDevice(MakeDevice("Here", 1, "2", kMode1DriverClsid));
  AddDevice(MakeDevice("Gone2", 3, "2", kMissingClsid));
  AddTag(MakeTag("G", "Gone", "V10", kRawInt16));
  AddTag(MakeTag("H", "Here", "V10", kRawInt16));
  TagList()[0].rawValue = 17;
  DriverHost& host = MakeHost();
  host.CreateDrivers("");
  // The first working device of port 1 creates its driver.
  ASSERT_EQ(host.DriverCount(), 1u);
  EXPECT_STREQ(host.Driver(0).Device().logicalName, "Here");
  mode1_->readBase = 100;
  ASSERT_EQ(host.Driver(0).Open(), 1);
  ASSERT_EQ(host.Driver(0).RunCycle(), 1);
  EXPECT_EQ(LoadRawWord(TagAt(1)), 110);
  EXPECT_EQ(LoadRawWord(TagAt(0)), 17);
  // A write to a tag no driver serves goes nowhere.
  EXPECT_EQ(host.WriteTag(0, 5), 0);
}

TEST_F(DriverHostTest, ModeOneCopiesRawValuesByType) {
  AddDevice(MakeDevice("D1", 1, "2", kMode1DriverClsid));
  AddTag(MakeTag("Long", "D1", "V10", kRawInt32));
  AddTag(MakeTag("Word", "D1", "V20", kRawInt16));
  AddTag(MakeTag("Bit", "D1", "V30.1", kRawBit));
  AddTag(MakeTag("Text", "D1", "V40.5", kRawString));
  AddTag(MakeTag("Byte", "D1", "V50", kRawByte));
  const FILETIME old{1234, 5678};
  for (TagRecord& t : TagList()) {
    t.value = 5;
    t.quality = 192;
    t.updateTime = old;
  }
  TagList()[0].rawValue = 77;
  TagList()[1].rawValue = 0x12340000;
  TagList()[3].rawValue = 0x55550000;
  TagList()[4].rawValue = 9;
  DriverHost& host = MakeHost();
  host.CreateDrivers("");
  CDriver& d = host.Driver(0);
  ASSERT_EQ(d.Mode(), 1);
  ASSERT_EQ(d.ReadGroupCount(), 1u);  // one V group
  ASSERT_EQ(d.Open(), 1);

  mode1_->readBase = 0x10000;
  ASSERT_EQ(d.RunCycle(), 1);
  EXPECT_EQ(LoadRawWord(TagAt(0)), 77);          // 32-bit integers never change
  EXPECT_EQ(LoadRawWord(TagAt(1)), 0x12340014);  // low 16 bits
  EXPECT_EQ(LoadRawWord(TagAt(2)), 0x1001E);     // the whole word
  EXPECT_EQ(LoadRawWord(TagAt(3)), 0x55550028);  // low 16 bits, not 0
  EXPECT_EQ(LoadRawWord(TagAt(4)), 9);           // bytes are not copied
  for (const TagRecord& t : TagList()) {
    EXPECT_EQ(LoadValueWord(t), 5) << t.name;
    EXPECT_EQ(LoadQuality(t), 192) << t.name;
    EXPECT_EQ(t.updateTime.dwLowDateTime, 1234u) << t.name;
  }

  // A string whose low 16 bits come back 0 keeps its atom.
  mode1_->readBase = 0x30000 - 40;
  ASSERT_EQ(d.RunCycle(), 1);
  EXPECT_EQ(LoadRawWord(TagAt(3)), 0x55550028);
  EXPECT_EQ(LoadRawWord(TagAt(1)), static_cast<int32_t>(0x1234FFEC));

  // A failed read marks every tag of the group bad.
  mode1_->executeResult = 0;
  ASSERT_EQ(d.RunCycle(), 1);
  for (const TagRecord& t : TagList())
    EXPECT_EQ(LoadQuality(t), 0) << t.name;
}

TEST_F(DriverHostTest, EachItemIsConvertedOncePerModelAndJoinsTheFirstAcceptingGroup) {
  AddDevice(MakeDevice("D1", 1, "2", kMode1DriverClsid));
  constexpr int kCount = 50;
  for (int i = 0; i < kCount; ++i) {
    char reg[16];
    std::snprintf(reg, sizeof reg, "V%d", i * 2);
    AddTag(MakeTag(reg, "D1", reg, kRawInt16));
  }
  mode1_->merge = kMergeNever;
  DriverHost& host = MakeHost();
  host.CreateDrivers("");
  EXPECT_EQ(host.Driver(0).ReadGroupCount(), static_cast<std::size_t>(kCount));
  // Every tag is offered to every earlier group, but converted only once.
  EXPECT_EQ(mode1_->mergeCalls.load(), kCount * (kCount - 1) / 2);
  EXPECT_EQ(mode1_->convertCalls.load(), kCount);

  // Two model texts: each tag is converted once for each text it meets.
  for (int i = 0; i < kCount; ++i)
    std::snprintf(TagList()[i].driverModel, sizeof TagList()[i].driverModel, "%s",
                  i % 2 ? "ModelB" : "ModelA");
  mode1_->convertCalls = 0;
  host.CreateDrivers("");
  EXPECT_EQ(mode1_->convertCalls.load(), 1 + 2 * (kCount - 1));

  // Merging: V and M tags of one station interleaved, and a second station.
  talvek::Project().devices.Add(MakeDevice("D2", 1, "3", kMode1DriverClsid));
  TagList().clear();
  AddTag(MakeTag("a", "D1", "V1", kRawInt16));
  AddTag(MakeTag("b", "D1", "M1", kRawByte));
  AddTag(MakeTag("c", "D2", "V1", kRawInt16));
  AddTag(MakeTag("d", "D1", "V9", kRawInt16));
  AddTag(MakeTag("e", "D1", "M0", kRawByte));
  AddTag(MakeTag("f", "D2", "V5", kRawInt16));
  mode1_->merge = kMergeSameArea;
  host.CreateDrivers("");
  const CDriver& d = host.Driver(0);
  ASSERT_EQ(d.ReadGroupCount(), 3u);
  auto tagsOf = [&](std::size_t g) {
    std::vector<int> out;
    for (const GroupItem* item : Items(d.ReadGroup(g)))
      out.push_back(item->tagIndex);
    return out;
  };
  // Devices in order, tags in index order within each.
  EXPECT_EQ(tagsOf(0), (std::vector<int>{0, 3}));
  EXPECT_EQ(tagsOf(1), (std::vector<int>{1, 4}));
  EXPECT_EQ(tagsOf(2), (std::vector<int>{2, 5}));
  EXPECT_EQ(d.ReadGroup(0).startAddress, 1);
  EXPECT_EQ(d.ReadGroup(0).endAddress, 9);
  EXPECT_EQ(d.ReadGroup(1).startAddress, 0);
  EXPECT_EQ(d.ReadGroup(2).station, 3);
}

TEST_F(DriverHostTest, AWriteHasAGroupOfItsOwnAndRunsOnceBeforeTheReads) {
  AddDevice(MakeDevice("D1", 1, "2", kMode1DriverClsid));
  AddTag(MakeTag("Word", "D1", "V20", kRawInt16));
  AddTag(MakeTag("Bit", "D1", "V30.6", kRawBit));
  AddTag(MakeTag("NoArea", "D1", "X3", kRawInt16));
  AddTag(MakeTag("Refused", "D1", "VBAD", kRawInt16));
  AddTag(MakeTag("Elsewhere", "Nobody", "V1", kRawInt16));
  // A careless driver that would merge anything, writes included.
  mode1_->merge = kMergeAlways;
  DriverHost& host = MakeHost();
  host.CreateDrivers("");
  CDriver& d = host.Driver(0);
  ASSERT_EQ(d.ReadGroupCount(), 1u);
  ASSERT_EQ(Items(d.ReadGroup(0)).size(), 2u);

  EXPECT_EQ(Tags().WriteInteger(0, 1234), 1);
  EXPECT_EQ(Tags().WriteDiscrete(1, 1), 1);
  EXPECT_EQ(mode1_->mergeWriteOffers.load(), 0);
  EXPECT_EQ(Items(d.ReadGroup(0)).size(), 2u);
  EXPECT_EQ(d.PendingWriteCount(), 2u);
  {
    std::lock_guard lock(mode1_->mutex);
    EXPECT_EQ(mode1_->lastInput.extra, 1);  // the write flag travels in the input's extra word
    EXPECT_EQ(mode1_->lastItemIn.extra, 1);
  }
  // Not polled, not written; no device at all.
  EXPECT_EQ(Tags().WriteInteger(2, 1), 1);
  EXPECT_EQ(Tags().WriteInteger(3, 1), 1);
  EXPECT_EQ(host.WriteTag(4, 1), 0);
  EXPECT_EQ(host.WriteTag(99, 1), 0);
  EXPECT_EQ(d.PendingWriteCount(), 2u);

  ASSERT_EQ(d.Open(), 1);
  mode1_->executeResult = 0;  // a failed write is not tried again
  ASSERT_EQ(d.RunCycle(), 1);
  EXPECT_EQ(Events(*mode1_), "WWR");
  EXPECT_EQ(Writes(*mode1_), "0=1234;1=1;");
  EXPECT_EQ(d.PendingWriteCount(), 0u);
  mode1_->executeResult = 1;
  ASSERT_EQ(d.RunCycle(), 1);
  EXPECT_EQ(Events(*mode1_), "WWRR");
}

TEST_F(DriverHostTest, APortThatDoesNotOpenIsNotConnectedReportsItsWritesAndIsRetried) {
  AddDevice(MakeDevice("Bad", 1, "2", kMode1DriverClsid));
  AddDevice(MakeDevice("Good", 2, "2", kMode1DriverClsid));
  AddTag(MakeTag("B", "Bad", "V10", kRawInt16));
  AddTag(MakeTag("G", "Good", "V10", kRawInt16));
  TagList()[0].rawValue = 1234;
  TagList()[0].quality = 192;
  DriverHost& host = MakeHost(1);
  host.SetRetryInterval(30);
  host.CreateDrivers("");
  ASSERT_EQ(host.DriverCount(), 2u);
  // Good is open already; Bad's port does not open.
  ASSERT_EQ(host.Driver(1).Open(), 1);
  mode1_->openResult = 0;
  host.StartAll();
  EXPECT_EQ(host.Driver(0).IsOpen(), 0);
  EXPECT_TRUE(host.Driver(0).HasThread());  // it retries
  EXPECT_EQ(LoadQuality(TagAt(0)), talvek::kQualityNotConnected);
  EXPECT_EQ(LoadRawWord(TagAt(0)), 1234);
  auto events = host.TakeEvents();
  ASSERT_EQ(events.size(), 1u);
  EXPECT_EQ(events[0].kind, talvek::RuntimeEvent::Kind::kPortDown);
  EXPECT_EQ(events[0].portNumber, 1);
  EXPECT_EQ(events[0].deviceName, "Bad");
  EXPECT_EQ(host.Statistics().at(0).state, talvek::DeviceState::kPortDown);

  // A write to the tag of the port that is down fails at once, with a word.
  EXPECT_EQ(Tags().WriteInteger(0, 42), 1);
  std::vector<talvek::RuntimeEvent> seen;
  ASSERT_TRUE(WaitFor([&] {
    for (auto& e : host.TakeEvents())
      seen.push_back(std::move(e));
    return !seen.empty();
  }));
  EXPECT_EQ(seen[0].kind, talvek::RuntimeEvent::Kind::kWriteFailed);
  EXPECT_EQ(seen[0].tagName, "B");
  EXPECT_EQ(mode1_->writeCalls.load(), 0);
  EXPECT_EQ(host.Driver(0).PendingWriteCount(), 0u);

  // The port appears: the thread opens it on its own and polls.
  const int opens = mode1_->openCalls.load();
  ASSERT_TRUE(WaitFor([&] { return mode1_->openCalls.load() >= opens + 2; }));
  mode1_->readBase = 5;
  mode1_->openResult = 1;
  ASSERT_TRUE(WaitFor([&] { return LoadQuality(TagAt(0)) == talvek::kQualityGood; }));
  EXPECT_EQ(LoadRawWord(TagAt(0)), 15);
  EXPECT_EQ(host.Driver(0).IsOpen(), 1);
  ASSERT_TRUE(WaitFor([&] {
    for (auto& e : host.TakeEvents())
      seen.push_back(std::move(e));
    return seen.back().kind == talvek::RuntimeEvent::Kind::kPortUp;
  }));

  // Every read fails (the line hung up): the port is closed and opened again on the interval.
  const int closes = mode1_->closeCalls.load();
  mode1_->executeResult = 0;
  ASSERT_TRUE(WaitFor([&] { return mode1_->closeCalls.load() >= closes + 2; }));
  EXPECT_EQ(LoadQuality(TagAt(0)), 0);
  EXPECT_EQ(LoadRawWord(TagAt(0)), 15);
  host.StopAll();
}

TEST_F(DriverHostTest, OpenHandsOverTheStationTextAndLinksTcpDevices) {
  DeviceRecord serial = MakeDevice("S", 1, "5", kMode1DriverClsid);
  std::memset(serial.station.addressText, '1', sizeof serial.station.addressText);  // no NUL
  AddDevice(serial);
  AddDevice(MakeDevice("T", 2, "6", kMode1DriverClsid, kLinkTcpIp));
  DriverHost& host = MakeHost();
  host.CreateDrivers("");
  ASSERT_EQ(host.Driver(0).Open(), 1);
  {
    std::lock_guard lock(mode1_->mutex);
    EXPECT_EQ(std::string(mode1_->lastParseText), std::string(64, '1'));
  }
  EXPECT_EQ(mode1_->initLinkCalls.load(), 0);
  ASSERT_EQ(host.Driver(1).Open(), 1);
  EXPECT_EQ(mode1_->initLinkCalls.load(), 1);

  mode1_->openResult = 0;
  EXPECT_EQ(host.Driver(1).Close(), 0);
  EXPECT_EQ(host.Driver(1).Open(), 0);
  EXPECT_EQ(host.Driver(1).IsOpen(), 0);
  EXPECT_EQ(mode1_->initLinkCalls.load(), 1);

  // A connection answered with another non-zero value still counts as open: it is polled, and
  // StopAll closes it.
  host.StopAll();
  mode1_->openResult = 2;
  mode1_->closeCalls = 0;
  host.StartAll();
  EXPECT_EQ(host.Driver(0).IsOpen(), 2);
  EXPECT_TRUE(host.Driver(0).HasThread());
  host.StopAll();
  EXPECT_FALSE(host.IsPolling());
  EXPECT_EQ(host.Driver(0).IsOpen(), 0);
  EXPECT_EQ(mode1_->closeCalls.load(), 2);
}

TEST_F(DriverHostTest, ResultsNeverLandOutsideTheTable) {
  AddDevice(MakeDevice("D1", 1, "2", kMode1DriverClsid));
  for (int i = 0; i < 10; ++i) {
    char reg[16];
    std::snprintf(reg, sizeof reg, "V%d", i * 4);
    AddTag(MakeTag(reg, "D1", reg, i % 2 ? kRawBit : kRawInt16));
  }
  DriverHost& host = MakeHost();
  host.CreateDrivers("");
  CDriver& d = host.Driver(0);
  ASSERT_EQ(d.Open(), 1);
  // The table shrinks under built groups (a reload the host was not told about).
  TagList().resize(3);
  TagList().shrink_to_fit();
  mode1_->readBase = 1000;
  ASSERT_EQ(d.RunCycle(), 1);
  EXPECT_EQ(LoadRawWord(TagAt(1)), 1004);
  mode1_->executeResult = 0;
  ASSERT_EQ(d.RunCycle(), 1);
  EXPECT_EQ(LoadQuality(TagAt(2)), 0);
  EXPECT_EQ(host.WriteTag(5, 1), 0);
}

TEST_F(DriverHostTest, OnlyTheFirst65536TagsArePolled) {
  AddDevice(MakeDevice("D1", 1, "2", kMode1DriverClsid));
  TagList().resize(talvek::kMaxAddressableTags + 1, MakeTag("x", "Other", "V1", kRawInt16));
  TagList().back() = MakeTag("last", "D1", "V1", kRawInt16);
  DriverHost& host = MakeHost();
  host.CreateDrivers("");
  // Its index would travel as 0 and its results would land on the first tag.
  EXPECT_EQ(host.Driver(0).ReadGroupCount(), 0u);
}

TEST_F(DriverHostTest, ThreadLifeCycle) {
  AddDevice(MakeDevice("D1", 1, "2", kMode1DriverClsid));
  AddDevice(MakeDevice("D2", 2, "2", kMode1DriverClsid));
  AddTag(MakeTag("a", "D1", "V1", kRawInt16));
  AddTag(MakeTag("b", "D2", "V1", kRawInt16));
  DriverHost& host = MakeHost(1);
  host.CreateDrivers("");
  EXPECT_FALSE(host.IsPolling());

  host.StartAll();
  host.StartAll();
  EXPECT_TRUE(host.IsPolling());
  EXPECT_EQ(host.Driver(0).ThreadStarts(), 1);
  EXPECT_EQ(host.Driver(0).StartThread(), 0);
  EXPECT_EQ(host.Driver(0).RunCycle(), 0);  // the thread owns the cycle
  EXPECT_EQ(mode1_->openCalls.load(), 2);
  ASSERT_TRUE(WaitFor([&] { return mode1_->readCalls.load() >= 4; }));

  // Closing a polling driver stops its thread first.
  EXPECT_EQ(host.Driver(0).Close(), 0);
  EXPECT_FALSE(host.Driver(0).HasThread());
  EXPECT_TRUE(host.IsPolling());

  host.StopAll();
  EXPECT_FALSE(host.IsPolling());
  EXPECT_EQ(host.Driver(1).IsOpen(), 0);
  EXPECT_EQ(mode1_->closeCalls.load(), 2);
  host.StopAll();  // nothing left to stop or close
  EXPECT_EQ(mode1_->closeCalls.load(), 2);

  // Destroying, or rebuilding, while the threads run and the line is slow never waits for the
  // line: the old drivers retire, and go once their threads have ended.
  mode1_->executeDelayMs = 200;
  host.StartAll();
  ASSERT_TRUE(host.IsPolling());
  ASSERT_TRUE(WaitFor([&] { return mode1_->readCalls.load() >= 6; }));
  auto start = std::chrono::steady_clock::now();
  host.CreateDrivers("");
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  ASSERT_TRUE(WaitFor([&] { return host.CollectStopped(); }));
  EXPECT_FALSE(host.IsPolling());
  host.StartAll();
  ASSERT_TRUE(WaitFor([&] { return mode1_->readCalls.load() >= 8; }));
  start = std::chrono::steady_clock::now();
  host.DestroyDrivers();
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(100));
  EXPECT_EQ(host.DriverCount(), 0u);
  ASSERT_TRUE(WaitFor([&] { return host.CollectStopped(); }));
  EXPECT_FALSE(host.IsPolling());
}

TEST_F(DriverHostTest, WritesQueuedWhilePollingAreEachExecutedOnceInOrder) {
  AddDevice(MakeDevice("D1", 1, "2", kMode1DriverClsid));
  AddTag(MakeTag("w", "D1", "V10", kRawInt32));
  AddTag(MakeTag("r", "D1", "V20", kRawInt16));
  DriverHost& host = MakeHost(1);
  host.CreateDrivers("");
  host.StartAll();
  constexpr int kWrites = 300;
  std::string expected;
  for (int i = 1; i <= kWrites; ++i) {
    ASSERT_EQ(Tags().WriteInteger(0, i), 1);
    expected += "0=" + std::to_string(i) + ";";
    if (i % 50 == 0)
      std::this_thread::sleep_for(std::chrono::milliseconds(2));
  }
  ASSERT_TRUE(WaitFor([&] { return mode1_->writeCalls.load() >= kWrites; }));
  host.StopAll();
  EXPECT_EQ(mode1_->writeCalls.load(), kWrites);
  EXPECT_EQ(Writes(*mode1_), expected);
  // Every cycle starts with its writes: no read comes between two writes of one batch and the
  // first event of the run is a read or a write batch, never a half-taken list.
  EXPECT_EQ(host.Driver(0).PendingWriteCount(), 0u);
}

// TALVEK_START_STOP_CYCLES sets the count (1000 for the long sanitizer run); 50 by default.
TEST_F(DriverHostTest, RepeatedStartAndStop) {
  int cycles = 50;
  if (const char* text = std::getenv("TALVEK_START_STOP_CYCLES"))
    cycles = std::max(1, std::atoi(text));
  AddDevice(MakeDevice("D1", 1, "2", kMode1DriverClsid));
  AddDevice(MakeDevice("Bad", 2, "2", kMissingClsid));
  AddDevice(MakeDevice("D3", 3, "2", kMode1DriverClsid));
  for (int i = 0; i < 20; ++i) {
    char reg[16];
    std::snprintf(reg, sizeof reg, "V%d", i * 3);
    AddTag(MakeTag(reg, i % 2 ? "D1" : "D3", reg, i % 3 ? kRawInt16 : kRawBit));
  }
  DriverHost& host = MakeHost(1);
  host.CreateDrivers("");
  for (int i = 0; i < cycles; ++i) {
    host.StartAll();
    Tags().WriteInteger(i % 20, i);
    if (i % 10 == 0) {
      const int reads = mode1_->readCalls.load();
      ASSERT_TRUE(WaitFor([&] { return mode1_->readCalls.load() > reads; }));
    }
    host.StopAll();
    ASSERT_FALSE(host.IsPolling());
    if (i % 25 == 24)
      host.CreateDrivers("");
  }
  EXPECT_EQ(mode1_->objects.load(), objectsBefore_ + 2);
}

TEST_F(DriverHostTest, AFailingStationIsCountedDemotedSkippedRetriedOnceAndPromoted) {
  using talvek::DeviceState;
  using talvek::RuntimeEvent;
  DeviceRecord d1 = MakeDevice("D1", 1, "2", kMode1DriverClsid);
  d1.dynamicOptimization = 1;
  AddDevice(d1);
  AddDevice(MakeDevice("D2", 1, "3", kMode1DriverClsid));  // never demoted
  AddTag(MakeTag("A", "D1", "V10", kRawInt16));
  AddTag(MakeTag("B", "D1", "M10", kRawInt16));  // a second group of D1
  AddTag(MakeTag("C", "D2", "V10", kRawInt16));
  DriverHost& host = MakeHost();
  host.CreateDrivers("");
  CDriver& d = host.Driver(0);
  ASSERT_EQ(d.ReadGroupCount(), 3u);
  ASSERT_EQ(d.Open(), 1);
  auto stats = [&](std::size_t i) { return host.Statistics().at(i); };

  for (int i = 0; i < 2; ++i)
    ASSERT_EQ(d.RunCycle(), 1);
  ASSERT_EQ(host.Statistics().size(), 2u);
  EXPECT_EQ(stats(0).deviceName, "D1");
  EXPECT_EQ(stats(0).requests, 4u);
  EXPECT_EQ(stats(0).answers, 4u);
  EXPECT_EQ(stats(0).state, DeviceState::kGood);
  EXPECT_GT(stats(0).cycleMs, 0.0);

  mode1_->executeResult = 0;
  for (int i = 0; i < talvek::kDemoteAfterFailedCycles; ++i)
    ASSERT_EQ(d.RunCycle(), 1);
  EXPECT_EQ(stats(0).state, DeviceState::kDemoted);
  EXPECT_EQ(stats(0).consecutiveFailures, 3u);
  EXPECT_EQ(stats(0).otherFailures, 6u);  // this driver does not trace why
  EXPECT_NE(stats(0).lastErrorTimeUs, 0);
  EXPECT_EQ(stats(1).state, DeviceState::kFailing);

  // Set aside until its retry is due; D2 stays in every cycle.
  ASSERT_EQ(d.RunCycle(), 1);
  EXPECT_EQ(stats(0).requests, 10u);
  EXPECT_EQ(stats(1).requests, 6u);
  // A due retry that fails costs one request, not one per group.
  host.SetRetryInterval(1);
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(d.RunCycle(), 1);
  EXPECT_EQ(stats(0).requests, 11u);
  EXPECT_EQ(stats(0).state, DeviceState::kDemoted);

  mode1_->executeResult = 1;
  std::this_thread::sleep_for(std::chrono::milliseconds(5));
  ASSERT_EQ(d.RunCycle(), 1);
  EXPECT_EQ(stats(0).state, DeviceState::kGood);
  EXPECT_EQ(stats(0).consecutiveFailures, 0u);
  std::string kinds;
  for (const RuntimeEvent& e : host.TakeEvents()) {
    if (e.kind == RuntimeEvent::Kind::kDeviceDemoted)
      kinds += "demoted:" + e.deviceName + " ";
    if (e.kind == RuntimeEvent::Kind::kDevicePromoted)
      kinds += "promoted:" + e.deviceName + " ";
  }
  EXPECT_EQ(kinds, "demoted:D1 promoted:D1 ");

  host.ResetStatistics();
  EXPECT_EQ(stats(0).requests, 0u);
  EXPECT_EQ(stats(0).maxResponseMs, 0.0);
  EXPECT_EQ(stats(0).state, DeviceState::kGood);
}

TEST(TraceBufferTest, KeepsTheNewestUpToItsBoundAndCountsWhatItDropped) {
  talvek::TraceBuffer buffer(3);
  EXPECT_FALSE(buffer.Enabled());
  buffer.SetEnabled(true);
  for (int i = 0; i < 5; ++i) {
    talvek::TraceEntry e;
    e.code = i;
    buffer.Push(std::move(e));
  }
  std::vector<talvek::TraceEntry> taken = buffer.Take();
  ASSERT_EQ(taken.size(), 3u);
  EXPECT_EQ(taken.front().code, 2);
  EXPECT_EQ(taken.back().code, 4);
  EXPECT_EQ(buffer.Dropped(), 2u);
  EXPECT_TRUE(buffer.Take().empty());
  buffer.Push({});
  buffer.SetEnabled(false);  // nothing kept for a monitor that closed
  EXPECT_TRUE(buffer.Take().empty());
}

}  // namespace
