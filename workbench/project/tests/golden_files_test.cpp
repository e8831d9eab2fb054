// The golden data files in tests/data/: a small project as the workbench writes it.
//
// GoldenProject() below is the project the files hold. The files were written from it once and
// checked in; they are not rewritten by the normal test run, so a change of the byte format shows
// up here. To regenerate them after a deliberate change of the project below, run
//   project_tests --gtest_also_run_disabled_tests --gtest_filter='*RegenerateGoldenFiles'
// and review the difference.
#include <cstring>
#include <filesystem>
#include <string>

#include <gtest/gtest.h>

#include "common/testing/test_support.h"
#include "workbench/project/data_files.h"
#include "workbench/project/new_records.h"
#include "workbench/project/tests/project_test_util.h"

namespace talvek {
namespace {

namespace fs = std::filesystem;
using project_testing::Gbk;
using project_testing::RecordingSink;
using project_testing::SameBytes;
using project_testing::SetFolder;
using project_testing::Utf8;
using testing_support::ReadFileBytes;
using testing_support::TempDir;

fs::path GoldenFolder() {
  return testing_support::SourceDir() / "workbench/project/tests/data";
}

constexpr GUID kPpiClsid = {
    0x3F2A8C41, 0x1B7D, 0x4E09, {0x9A, 0x51, 0x0C, 0x6E, 0x2D, 0x77, 0x18, 0xB3}};
constexpr GUID kModbusClsid = {
    0x8D04E6B2, 0x52C1, 0x47F3, {0xB0, 0x8E, 0x61, 0x2A, 0x9C, 0x03, 0xD4, 0x5F}};

DeviceRecord Device(const char* manufacturer, const char* model, const char* commKind,
                    const GUID& clsid, uint16_t linkKind, const char* name, int32_t station,
                    const char* address, int32_t port) {
  DeviceRecord d = NewDeviceRecord();
  platform::CopyToArray(d.descriptor.manufacturer, Gbk(manufacturer));
  platform::CopyToArray(d.descriptor.model, model);
  platform::CopyToArray(d.descriptor.commKind, Gbk(commKind));
  d.descriptor.driverClsid = clsid;
  d.descriptor.linkKind = linkKind;
  platform::CopyToArray(d.logicalName, Gbk(name));
  d.station.stationNumber = station;
  platform::CopyToArray(d.station.addressText, address);
  d.portNumber = port;
  return d;
}

TagRecord Tag(const char* name, const char* description, const DeviceRecord* device,
              const char* registerText, int32_t varType, int32_t rawType) {
  TagRecord t = DefaultTagRecord();
  platform::CopyToArray(t.name, Gbk(name));
  platform::CopyToArray(t.description, Gbk(description));
  t.varType = varType;
  t.rawType = rawType;
  if (device != nullptr) {
    std::memcpy(t.driverModel, device->descriptor.model, sizeof t.driverModel);
    std::memcpy(t.deviceName, device->logicalName, sizeof t.deviceName);
    platform::CopyToArray(t.registerText, registerText);
  } else {
    t.flags &= ~kTagExternal;
    std::memset(t.deviceName, 0, sizeof t.deviceName);
    std::memset(t.registerText, 0, sizeof t.registerText);
  }
  return t;
}

ScreenRecord Screen(const char* name, const char* fileName) {
  ScreenRecord s = {};
  platform::CopyToArray(s.screenName, Gbk(name));
  platform::CopyToArray(s.fileName, Gbk(fileName));
  return s;
}

// A boiler-house project: a PPI PLC on Com1, a Modbus RTU pump station on Com3, a Modbus TCP
// cabinet on "port" 5, five tags with runtime values from a communication run, two screens.
// Some pads and bytes after a text's NUL are not zero, as memory left them in files of the field.
ProjectState GoldenProject() {
  ProjectState p;
  DeviceRecord plc =
      Device("西门子", "S7-200(PPI)", "PPI", kPpiClsid, kLinkSerial, "锅炉房PLC", 2, "2", 1);
  DeviceRecord pumps =
      Device("莫迪康系列", "ZireviVER", "串口", kModbusClsid, kLinkSerial, "水泵站一号", 1, "1", 3);
  pumps.retryIntervalSec = 20;
  pumps.dynamicOptimization = 0;
  pumps.recoveryLimitHours = 12;
  DeviceRecord cabinet = Device("莫迪康系列", "ModbusTCP", "TCP/IP", kModbusClsid, kLinkTcpIp,
                                "配电柜", 1, "192.168.1.10:502", 5);
  std::memcpy(cabinet.logicalName + 10, "old", 3);  // after the NUL of "配电柜"
  cabinet.descriptor.pad210 = 0xCDCD;
  p.devices.Add(plc);
  p.devices.Add(pumps);
  p.devices.Add(cabinet);

  TagRecord temperature = Tag("锅炉温度", "一号锅炉出口温度", &plc, "VW100", kVarFloat, kRawInt16);
  temperature.value = FloatToWord(85.5f);
  temperature.engMax = FloatToWord(150.0f);
  temperature.deadband = FloatToWord(0.5f);
  temperature.quality = 192;
  temperature.updateTime = {0x5E4A1C00u, 0x01DA3F7Bu};
  temperature.registerIndex = 3;
  temperature.rawMax = 32000;
  temperature.rawValue = 18240;
  temperature.pad102 = 0xCCCC;
  temperature.pad246 = 0xCCCC;
  temperature.pad252 = 0x0BADF00D;
  temperature.pad272 = 0x0BADF00D;

  TagRecord running = Tag("水泵运行", "二号水泵运行状态", &pumps, "0X1", kVarDiscrete, kRawBit);
  running.value = 1;
  running.engMax = 1;
  running.rawMax = 1;
  running.rawValue = 1;
  running.quality = 192;
  running.updateTime = {0x5E4A1C00u, 0x01DA3F7Bu};
  running.scanPeriodMs = 500;

  TagRecord flow =
      Tag("累计流量", "总管累计流量（立方米）", &pumps, "4X40010", kVarInteger, kRawInt32);
  flow.value = 123456;
  flow.rawValue = 123456;
  flow.quality = 0;  // the last read failed

  TagRecord recipe = Tag("配方名称", "当前配方", &cabinet, "4X40100", kVarString, kRawString);
  recipe.value = 0xC001;  // a global atom of the run that wrote the file
  recipe.rawValue = 0xC001;
  recipe.quality = 192;
  recipe.updateTime = {0x5E4A1C00u, 0x01DA3F7Bu};

  TagRecord counter =
      Tag("班次计数", "内部变量：本班启动次数", nullptr, "", kVarInteger, kRawInt32);
  counter.flags |= 0x00010000;  // a bit the workbench does not know keeps its place
  counter.value = 7;
  counter.initialValue = 0;
  std::memset(counter.driverModel, 0, sizeof counter.driverModel);

  p.tags = {temperature, running, flow, recipe, counter};

  CommSettings com3 = DefaultPortEntry(3);
  com3.baudRate = 19200;
  com3.dataBits = 7;
  com3.stopBits = 2;
  com3.parity = 2;
  com3.timeoutMs = 500;
  p.ports = {DefaultPortEntry(1), DefaultPortEntry(2), com3, DefaultPortEntry(5)};

  p.screens = {Screen("主画面", "主画面.pic"), Screen("锅炉监控", "锅炉监控.pic")};
  return p;
}

struct GoldenFile {
  std::string_view name;
  bool (*load)(ProjectState&);
};
constexpr GoldenFile kGoldenFiles[] = {{kDeviceFileName, &LoadDevices},
                                       {kTagFileName, &LoadTags},
                                       {kPortFileName, &LoadPorts},
                                       {kScreenFileName, &LoadScreens}};

bool SaveAll(ProjectState& p) {
  MarkPortsInUse(p);  // the devices use ports 1, 3 and 5: synchronisation keeps the table
  return SaveDevices(p) && SaveTags(p) && SavePorts(p) && SaveScreens(p);
}

TEST(GoldenFilesTest, LoadGivesTheProjectTheFilesWereWrittenFrom) {
  RecordingSink sink;
  ProjectState loaded;
  SetFolder(loaded, GoldenFolder());
  for (const GoldenFile& file : kGoldenFiles)
    EXPECT_TRUE(file.load(loaded)) << file.name;
  EXPECT_TRUE(sink.texts.empty());

  const ProjectState golden = GoldenProject();
  ASSERT_EQ(loaded.devices.GetSize(), 3u);
  ASSERT_EQ(loaded.tags.size(), 5u);
  ASSERT_EQ(loaded.ports.size(), 4u);
  ASSERT_EQ(loaded.screens.size(), 2u);
  for (std::size_t i = 0; i < 3; ++i)
    EXPECT_TRUE(SameBytes(loaded.devices[i], golden.devices[i]));
  for (std::size_t i = 0; i < 5; ++i)
    EXPECT_TRUE(SameBytes(loaded.tags[i], golden.tags[i]));
  for (std::size_t i = 0; i < 4; ++i)
    EXPECT_TRUE(SameBytes(loaded.ports[i], golden.ports[i]));
  for (std::size_t i = 0; i < 2; ++i)
    EXPECT_TRUE(SameBytes(loaded.screens[i], golden.screens[i]));

  // A few fields by name, so that a mistake in the records' layout cannot hide behind itself.
  const DeviceRecord& pumps = loaded.devices[1];
  EXPECT_EQ(Utf8(pumps.descriptor.manufacturer), "莫迪康系列");
  EXPECT_EQ(Utf8(pumps.descriptor.commKind), "串口");
  EXPECT_EQ(Utf8(pumps.logicalName), "水泵站一号");
  EXPECT_EQ(pumps.portNumber, 3);
  EXPECT_EQ(pumps.recoveryLimitHours, 12);
  EXPECT_EQ(loaded.devices[2].descriptor.linkKind, kLinkTcpIp);
  EXPECT_EQ(platform::ArrayText(loaded.devices[2].station.addressText), "192.168.1.10:502");

  const TagRecord& temperature = loaded.tags[0];
  EXPECT_EQ(Utf8(temperature.name), "锅炉温度");
  EXPECT_EQ(Utf8(temperature.description), "一号锅炉出口温度");
  EXPECT_EQ(Utf8(temperature.deviceName), "锅炉房PLC");
  EXPECT_EQ(platform::ArrayText(temperature.driverModel), "S7-200(PPI)");
  EXPECT_EQ(WordToFloat(temperature.value), 85.5f);
  EXPECT_EQ(temperature.quality, 192);
  EXPECT_EQ(temperature.updateTime.dwHighDateTime, 0x01DA3F7Bu);
  EXPECT_EQ(RawWordToDouble(temperature.rawValue, temperature.rawType), 18240.0);
  EXPECT_EQ(loaded.tags[4].flags, 0x00010000u);

  EXPECT_EQ(platform::ArrayText(loaded.ports[2].portName), "Com3");
  EXPECT_EQ(loaded.ports[2].baudRate, 19200);
  EXPECT_EQ(loaded.ports[2].parity, 2);
  EXPECT_EQ(Utf8(loaded.screens[1].fileName), "锅炉监控.pic");
}

TEST(GoldenFilesTest, FieldsSitAtTheirByteOffsetsInTheFiles) {
  auto device = ReadFileBytes(GoldenFolder() / "Device.dat");
  auto tag = ReadFileBytes(GoldenFolder() / "Tag.dat");
  auto comm = ReadFileBytes(GoldenFolder() / "Comm.dat");
  ASSERT_TRUE(device && tag && comm);
  auto u32 = [](const std::vector<uint8_t>& b, std::size_t at) {
    return b[at] | b[at + 1] << 8 | b[at + 2] << 16 | static_cast<uint32_t>(b[at + 3]) << 24;
  };
  EXPECT_EQ(u32(*device, 360 + 344), 3u);  // second device's port
  EXPECT_EQ(std::string(device->begin() + 64, device->begin() + 75), "S7-200(PPI)");
  EXPECT_EQ(u32(*tag, 100) & 0xFFFF, 192u);  // quality
  EXPECT_EQ(u32(*tag, 276 + 248), 500u);     // second tag's scan period
  EXPECT_EQ(std::string(tag->begin() + 212, tag->begin() + 217), "VW100");
  EXPECT_EQ(u32(*comm, 2 * 56 + 36), 19200u);  // Com3's baud rate
  EXPECT_EQ(std::string(comm->begin() + 56 + 4, comm->begin() + 56 + 8), "Com2");
}

TEST(GoldenFilesTest, SavingTheLoadedProjectReproducesEveryFileByteForByte) {
  RecordingSink sink;
  ProjectState project;
  SetFolder(project, GoldenFolder());
  for (const GoldenFile& file : kGoldenFiles)
    ASSERT_TRUE(file.load(project)) << file.name;

  TempDir out;
  SetFolder(project, out.path());
  ASSERT_TRUE(SaveAll(project));
  for (const GoldenFile& file : kGoldenFiles) {
    auto saved = ReadFileBytes(out / file.name);
    auto golden = ReadFileBytes(GoldenFolder() / file.name);
    ASSERT_TRUE(saved && golden) << file.name;
    EXPECT_EQ(*saved, *golden) << file.name;
  }
}

TEST(GoldenFilesTest, DISABLED_RegenerateGoldenFiles) {
  ProjectState project = GoldenProject();
  SetFolder(project, GoldenFolder());
  ASSERT_TRUE(SaveAll(project));
}

}  // namespace
}  // namespace talvek
