#include "workbench/project/new_records.h"

#include <cstring>
#include <string>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "platform/gbk.h"
#include "workbench/project/tests/project_test_util.h"

namespace talvek {
namespace {

using project_testing::Filled;
using project_testing::Gbk;
using project_testing::SameBytes;

TEST(NewRecordsTest, NewDeviceIsZeroedApartFromItsDefaults) {
  DeviceRecord expected;
  std::memset(&expected, 0, sizeof expected);
  std::memcpy(expected.logicalName, Gbk("新建设备").data(), 8);
  expected.portNumber = 1;
  expected.retryIntervalSec = 10;
  expected.dynamicOptimization = 1;
  expected.recoveryLimitHours = 5;
  EXPECT_TRUE(SameBytes(NewDeviceRecord(), expected));
}

// The sources are UTF-8; the records must hold the GBK bytes.
TEST(NewRecordsTest, DefaultTextsAreGbk) {
  const TagRecord tag = DefaultTagRecord();
  EXPECT_EQ(platform::ArrayText(tag.description), Gbk("一二三四五六七八九十一二三四五六七八九"));
  EXPECT_EQ(platform::ArrayText(tag.name), "Var00001");
  EXPECT_EQ(platform::ArrayText(NewDeviceRecord().logicalName), Gbk("新建设备"));
}

// The new-tag command applies the defaults to a scratch record that still holds an older tag.
TEST(NewRecordsTest, FirstTagDefaultsKeepTheScratchRecordsOtherBytes) {
  TagRecord tag = Filled<TagRecord>(0xAB);
  ApplyFirstTagDefaults(tag);
  EXPECT_EQ(static_cast<uint32_t>(tag.rawMax), 0xABAB0000u | 51711u);
  EXPECT_EQ(static_cast<uint32_t>(tag.rawMin), 0xABAB0000u);
  EXPECT_EQ(tag.flags, 0xABABABABu | kTagExternal);
  EXPECT_EQ(tag.reserved92, 0);
  EXPECT_EQ(tag.deadband, 0);
  EXPECT_EQ(static_cast<uint8_t>(tag.driverModel[0]), 0xAB);
  EXPECT_EQ(tag.quality, 0xABAB);
  EXPECT_EQ(tag.name[sizeof tag.name - 1], '\0') << "texts are set with their whole array";
}

}  // namespace
TEST(NewRecordsTest, ACopiedTagGetsTheNextFreeNameOfItsStem) {
  std::vector<TagRecord> tags(4);
  const char* names[] = {"Var00001", "Var00002", "T9", "\xCE\xC2\xB6\xC8"};  // 温度 (GBK)
  for (std::size_t i = 0; i < tags.size(); ++i)
    platform::CopyToArray(tags[i].name, names[i]);
  const std::pair<std::string, std::string> cases[] = {
      {"Var00001", "Var00003"},  // 00002 is taken
      {"T9", "T10"},             // the width grows when it must
      {"\xCE\xC2\xB6\xC8",
       "\xCE\xC2\xB6\xC8"
       "1"},                                         // no number: 1 is appended
      {"Pump07", "Pump08"},                          // a name no tag has yet still steps
      {std::string(31, 'x'), std::string(31, 'x')},  // no room for a number: kept
  };
  for (const auto& [from, expected] : cases)
    EXPECT_EQ(talvek::NextFreeTagName(from, tags), expected) << from;
}

}  // namespace talvek
