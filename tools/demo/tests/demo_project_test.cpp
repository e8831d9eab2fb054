// The demo project as written to disk and read back: the PLC alone, or the PLC with the Modbus
// TCP device and its tags.
#include <cstring>
#include <filesystem>
#include <iterator>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/testing/test_support.h"
#include "platform/gbk.h"
#include "tools/demo/demo_project.h"
#include "workbench/project/data_files.h"
#include "workbench/project/project_state.h"

namespace {

using platform::ArrayText;

// {11111111-2222-4333-8444-555555555555}: any PPI class will do; the files only carry it.
constexpr CLSID kPlcClsid = {
    0x11111111, 0x2222, 0x4333, {0x84, 0x44, 0x55, 0x55, 0x55, 0x55, 0x55, 0x55}};

// The tables of the project written into `folder`, loaded as the workbench loads them.
talvek::ProjectState Load(const testing_support::TempDir& folder) {
  talvek::ProjectState state;
  std::strncpy(state.folder, folder.str().c_str(), sizeof state.folder - 1);
  EXPECT_TRUE(talvek::LoadDevices(state));
  EXPECT_TRUE(talvek::LoadTags(state));
  EXPECT_TRUE(talvek::LoadPorts(state));
  return state;
}

std::string Gbk(const char* utf8) {
  return platform::Utf8ToGbk(utf8);
}

TEST(DemoProject, WithoutModbusHoldsThePlcAlone) {
  // What the workbench's end-to-end test, which polls every tag from the PLC simulator, relies on.
  testing_support::TempDir folder;
  std::string error;
  ASSERT_TRUE(demo::WriteDemoProject(folder.str(), kPlcClsid, &error)) << error;
  const talvek::ProjectState state = Load(folder);
  ASSERT_EQ(state.devices.GetSize(), 1u);
  EXPECT_EQ(ArrayText(state.devices[0].descriptor.model), "S7-200(PPI)");
  EXPECT_EQ(state.tags.size(), demo::DemoTags().size());
}

TEST(DemoProject, ModbusDeviceFollowsThePlcOnItsOwnPort) {
  testing_support::TempDir folder;
  std::string error;
  ASSERT_TRUE(demo::WriteDemoProject(folder.str(), kPlcClsid, &error,
                                     demo::ModbusDemo{demo::kModbusDriverClsid, 15020}))
      << error;
  const talvek::ProjectState state = Load(folder);
  ASSERT_EQ(state.devices.GetSize(), 2u);
  const DeviceRecord& plc = state.devices[0];
  EXPECT_EQ(plc.portNumber, 1);
  EXPECT_TRUE(plc.descriptor.driverClsid == kPlcClsid);

  const DeviceRecord& mb = state.devices[1];
  // "莫迪康系列" in GBK.
  EXPECT_EQ(ArrayText(mb.descriptor.manufacturer),
            std::string("\xC4\xAA\xB5\xCF\xBF\xB5\xCF\xB5\xC1\xD0"));
  EXPECT_EQ(ArrayText(mb.descriptor.model), "ModbusTCP");
  EXPECT_EQ(ArrayText(mb.descriptor.commKind), "TCP/IP");
  EXPECT_EQ(mb.descriptor.linkKind, kLinkTcpIp);
  EXPECT_TRUE(mb.descriptor.driverClsid == demo::kModbusDriverClsid);
  EXPECT_EQ(ArrayText(mb.logicalName), Gbk("水质监测仪"));
  EXPECT_EQ(ArrayText(mb.station.addressText), "127.0.0.1:15020#1");
  EXPECT_EQ(mb.station.stationNumber, 1);
  // Com2, so it never shares the PLC's driver object on Com1; both ports are in the table.
  EXPECT_EQ(mb.portNumber, 2);
  ASSERT_GE(state.ports.size(), 2u);
  EXPECT_EQ(ArrayText(state.ports[1].portName), "Com2");
}

TEST(DemoProject, ModbusTagsNameTheirDeviceAreaAndWordOrder) {
  testing_support::TempDir folder;
  std::string error;
  ASSERT_TRUE(demo::WriteDemoProject(folder.str(), kPlcClsid, &error, demo::ModbusDemo{{}, 1502}))
      << error;
  const talvek::ProjectState state = Load(folder);
  EXPECT_EQ(ArrayText(state.devices[1].station.addressText), "127.0.0.1:1502#1");
  const size_t plcTags = demo::DemoTags().size();
  ASSERT_EQ(state.tags.size(), plcTags + demo::ModbusDemoTags().size());
  // The PLC's tags come first and still name the PLC.
  EXPECT_EQ(ArrayText(state.tags[plcTags - 1].driverModel), "S7-200(PPI)");

  struct Expected {
    const char* registerText;
    int32_t rawType;
    int32_t registerIndex;  // 0X 0, 1X 1, 3X 2, 4X 3
  };
  const Expected expected[] = {
      {"4X1", kRawInt16, 3},  {"4X2", kRawInt16, 3}, {"4X3", kRawUInt16, 3},
      {"4X4", kRawUInt16, 3}, {"4X5", kRawFloat, 3}, {"4X7L", kRawFloat, 3},
      {"3X1", kRawUInt16, 2}, {"0X1", kRawBit, 0},   {"1X1", kRawBit, 1},
  };
  ASSERT_EQ(demo::ModbusDemoTags().size(), std::size(expected));
  for (size_t i = 0; i < std::size(expected); ++i) {
    const TagRecord& t = state.tags[plcTags + i];
    SCOPED_TRACE(expected[i].registerText);
    EXPECT_EQ(ArrayText(t.registerText), expected[i].registerText);
    EXPECT_EQ(t.rawType, expected[i].rawType);
    EXPECT_EQ(t.registerIndex, expected[i].registerIndex);
    EXPECT_EQ(ArrayText(t.driverModel), "ModbusTCP");
    EXPECT_EQ(ArrayText(t.deviceName), Gbk("水质监测仪"));
    EXPECT_EQ(ArrayText(t.name), Gbk(demo::ModbusDemoTags()[i].name));
    EXPECT_EQ(t.flags & kTagExternal, kTagExternal);
    EXPECT_EQ(t.varType, t.rawType == kRawBit     ? kVarDiscrete
                         : t.rawType == kRawFloat ? kVarFloat
                                                  : kVarInteger);
  }
  // The signed sine keeps its negative raw and engineering limits.
  EXPECT_EQ(state.tags[plcTags + 1].rawMin, -1000);
  EXPECT_EQ(state.tags[plcTags + 1].engMin, -1000);
  // Float limits are stored as float bits.
  EXPECT_EQ(WordToFloat(state.tags[plcTags + 4].engMax), 100.0f);
}

TEST(DemoProject, TagNamesAreUniqueAndFitTheirFields) {
  // Truncated GBK texts or a name used twice would make tags unreachable by name.
  std::vector<std::string> names;
  auto check = [&](const char* name, const char* description) {
    const std::string gbkName = Gbk(name);
    EXPECT_LT(gbkName.size(), sizeof(TagRecord{}.name)) << name;
    EXPECT_LT(Gbk(description).size(), sizeof(TagRecord{}.description)) << description;
    for (const std::string& other : names)
      EXPECT_NE(other, gbkName) << name;
    names.push_back(gbkName);
  };
  for (const demo::DemoTag& tag : demo::DemoTags())
    check(tag.name, tag.description);
  for (const demo::ModbusDemoTag& tag : demo::ModbusDemoTags())
    check(tag.name, tag.description);
}

TEST(DemoProject, ModbusPortOutsideRangeWritesNothing) {
  testing_support::TempDir folder;
  const std::string inner = (folder / "demo").string();
  for (int port : {0, 65536, -1}) {
    std::string error;
    EXPECT_FALSE(demo::WriteDemoProject(inner, kPlcClsid, &error, demo::ModbusDemo{{}, port}));
    EXPECT_NE(error.find("port"), std::string::npos) << error;
  }
  EXPECT_FALSE(std::filesystem::exists(inner));
}

}  // namespace
