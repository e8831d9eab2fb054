// The tag file and batch creation, checked with the real PPI and Modbus drivers (registered by
// regsvr into a private registry store).
#include <algorithm>
#include <cstring>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/testing/run_program.h"
#include "common/testing/test_support.h"
#include "platform/com.h"
#include "platform/registry.h"
#include "tools/demo/demo_project.h"
#include "workbench/project/csv_text.h"
#include "workbench/project/data_files.h"
#include "workbench/project/tag_batch.h"
#include "workbench/project/tag_csv.h"
#include "workbench/project/tests/project_test_util.h"

namespace {

using namespace talvek;
using project_testing::Gbk;
using project_testing::SetFolder;
using project_testing::Utf8;

// {9714C2FC-184A-49C7-927B-135D9D005B8A}: the PPI driver's class.
constexpr CLSID kPpiClsid = {
    0x9714C2FC, 0x184A, 0x49C7, {0x92, 0x7B, 0x13, 0x5D, 0x9D, 0x00, 0x5B, 0x8A}};

class TagCsvTest : public ::testing::Test {
 protected:
  void SetUp() override {
    for (const char* module : {"libOstrel.so", "libZireviVer.so"})
      ASSERT_EQ(testing_support::RegisterBuiltModule(module).exitCode, 0) << module;
    platform::Registry::Instance().Reload();
    com_ = SUCCEEDED(platform::CoInitialize(nullptr));
    devices_.push_back(demo::DemoDevice(kPpiClsid));
    devices_.push_back(demo::ModbusDemoDevice(demo::kModbusDriverClsid, 15020));
    for (const demo::DemoTag& t : demo::DemoTags())
      tags_.push_back(demo::DemoTagRecord(t));
    for (const demo::ModbusDemoTag& t : demo::ModbusDemoTags())
      tags_.push_back(demo::ModbusDemoTagRecord(t));
  }
  void TearDown() override {
    if (com_)
      platform::CoUninitialize();
    platform::Registry::Instance().Reload();
  }

  TagImport Read(const std::string& bytes) {
    DriverRegisterCheck drivers;
    return ReadTagCsv(bytes, devices_, tags_, drivers);
  }
  static std::string Header() { return FormatTagCsv({}).substr(kUtf8Bom.size()); }

  testing_support::TempDir config_;
  testing_support::ScopedEnv env_{"TALVEK_CONFIG_DIR", config_.str()};
  bool com_ = false;
  std::vector<DeviceRecord> devices_;
  std::vector<TagRecord> tags_;
};

std::vector<std::string> Texts(const TagImport& import) {
  std::vector<std::string> texts;
  for (const TagRowError& e : import.errors)
    texts.push_back(TagRowErrorText(e));
  return texts;
}

// Export, then import over the same project with the update answer: Tag.dat is the same file.
// The records carry runtime bytes and upper raw bytes the file does not hold; they must survive.
TEST_F(TagCsvTest, ExportThenImportKeepsTagDatByteForByte) {
  tags_[0].quality = 192;
  tags_[0].value = 0x12345678;
  tags_[1].rawMax |= 0x7F000000;  // a byte tag's upper bytes are not its range
  testing_support::TempDir folder;
  ProjectState state;
  SetFolder(state, folder.path());
  state.tags = tags_;
  ASSERT_TRUE(SaveTags(state));
  const auto before = testing_support::ReadFileBytes(folder / "Tag.dat");

  const std::string csv = FormatTagCsv(state.tags);
  ASSERT_TRUE(csv.starts_with(kUtf8Bom));
  const TagImport import = Read(csv);
  ASSERT_EQ(Texts(import), std::vector<std::string>{});
  EXPECT_EQ(import.ExistingCount(), state.tags.size());
  const TagMergeCount count = MergeImportedTags(state.tags, import, ExistingTags::kUpdate);
  EXPECT_EQ(count.updated, state.tags.size());
  EXPECT_EQ(count.added, 0u);
  ASSERT_TRUE(SaveTags(state));
  EXPECT_EQ(testing_support::ReadFileBytes(folder / "Tag.dat"), before);
}

// Bad rows: every one reported with its line and reason, in file order; nothing imported.
TEST_F(TagCsvTest, BadRowsAreAllReportedAndNothingIsImported) {
  std::string csv = Header();
  csv += "新1,,整数,外部,泵站PLC,VW100,整数,1000,0,100,0,0,0,32767\r\n";     // line 2: sound
  csv += "新2,,整数,外部,泵站PLC,VW99999,整数,1000,0,100,0,0,0,32767\r\n";   // 3: range
  csv += "新3,,整数,外部,没有的设备,VW100,整数,1000,0,100,0,0,0,32767\r\n";  // 4: device
  csv += "新4,,整型,内部\r\n";                                               // 5: type
  csv += "新5,,整数,外部,水质监测仪,4X0,整数,1000,0,100,0,0,0,32767\r\n";    // 6: Modbus
  csv += "新1,,离散,内部\r\n";                                               // 7: twice
  csv += "新6,,整数,内部,,,,,abc,100,0,0\r\n";                               // 8: number
  csv += "新7,,离散,外部,泵站PLC,VW100,整数,1000\r\n";                       // 9: types
  const TagImport import = Read(csv);
  const std::vector<std::string> texts = Texts(import);
  ASSERT_EQ(texts.size(), 7u) << ::testing::PrintToString(texts);
  const int lines[] = {3, 4, 5, 6, 7, 8, 9};
  for (std::size_t i = 0; i < texts.size(); ++i)
    EXPECT_EQ(import.errors[i].line, lines[i]) << texts[i];
  EXPECT_TRUE(texts[0].starts_with("第 3 行：寄存器“VW99999”无效：")) << texts[0];
  EXPECT_NE(texts[1].find("没有的设备"), std::string::npos);
  EXPECT_NE(texts[2].find("整型"), std::string::npos);
  EXPECT_TRUE(texts[3].starts_with("第 6 行：寄存器“4X0”无效：")) << texts[3];
  EXPECT_NE(texts[4].find("第 2 行重复"), std::string::npos);
  EXPECT_NE(texts[5].find("最小值"), std::string::npos);
  EXPECT_NE(texts[6].find("不一致"), std::string::npos);
}

// The same rows in UTF-8 (with and without the mark) and in GBK give the same tags; quoted
// commas, quotes and line breaks arrive as typed; the line numbers count the file's lines.
TEST_F(TagCsvTest, EncodingsAndQuotingReadTheSameTags) {
  std::string csv = Header();
  csv +=
      "\"温度,1\",\"他说\"\"开\"\"\",浮点,外部,泵站PLC,VD200,浮点数(32位精度),500,0,1.5,0,0,0,"
      "100\r\n";
  csv += "\"多行\",\"第一行\n第二行\",离散,内部\r\n";
  csv += "坏,,离散,外部,泵站PLC,VW100,位\r\n";
  std::string gbk;
  ASSERT_TRUE(platform::Utf8ToGbk(csv, gbk));
  for (const std::string& bytes : {csv, std::string(kUtf8Bom) + csv, gbk}) {
    const TagImport import = Read(bytes);
    ASSERT_EQ(import.tags.size(), 2u);
    const TagRecord& t = import.tags[0].record;
    EXPECT_EQ(Utf8(t.name), "温度,1");
    EXPECT_EQ(Utf8(t.description), "他说\"开\"");
    EXPECT_EQ(WordToFloat(t.engMax), 1.5f);
    EXPECT_EQ(WordToFloat(t.rawMax), 100.0f);
    EXPECT_EQ(t.flags & kTagExternal, kTagExternal);
    EXPECT_EQ(Utf8(t.driverModel), "S7-200(PPI)");
    EXPECT_EQ(Utf8(import.tags[1].record.description), "第一行\n第二行");
    ASSERT_EQ(import.errors.size(), 1u);
    EXPECT_EQ(import.errors[0].line, 5);  // the quoted break counts
  }
  // Writing quotes what needs it and reads back to the same cells.
  std::string line;
  AppendCsvRow(line, {"a,b", "say \"x\"", " pad", "plain"});
  EXPECT_EQ(line, "\"a,b\",\"say \"\"x\"\"\",\" pad\",plain\r\n");
  CsvTable table;
  ASSERT_FALSE(ReadCsv("a,\"open\r\nb\r\n", table));
  EXPECT_EQ(table.errorLine, 1);
  EXPECT_FALSE(ReadCsv("\xff\xfe\xff", table));  // neither UTF-8 nor GBK
}

// Rows naming existing tags update them or leave them, as answered; new rows append.
TEST_F(TagCsvTest, ExistingTagsAreUpdatedOrKept) {
  const std::string first = Utf8(tags_[0].name);
  std::string csv = Header() + first + ",改过,整数,内部,,,,,0,10,0,0\r\n新的,,离散,内部\r\n";
  const TagImport import = Read(csv);
  ASSERT_TRUE(import.errors.empty());
  EXPECT_EQ(import.ExistingCount(), 1u);
  std::vector<TagRecord> kept = tags_;
  const TagMergeCount keep = MergeImportedTags(kept, import, ExistingTags::kKeep);
  EXPECT_EQ(keep.added, 1u);
  EXPECT_EQ(keep.updated, 0u);
  EXPECT_EQ(std::memcmp(&kept[0], &tags_[0], sizeof(TagRecord)), 0);
  const TagMergeCount update = MergeImportedTags(tags_, import, ExistingTags::kUpdate);
  EXPECT_EQ(update.updated, 1u);
  EXPECT_EQ(Utf8(tags_[0].description), "改过");
  EXPECT_EQ(tags_[0].flags & kTagExternal, 0u);
  EXPECT_EQ(Utf8(tags_.back().name), "新的");
}

// Batches: names and registers stepped by the type's width in the area's units (PPI bytes,
// Modbus registers), each checked by the driver; a clash or a refused register refuses the row.
TEST_F(TagCsvTest, BatchStepsNamesAndRegisters) {
  EXPECT_EQ(DefaultRegisterStep("VW100", kRawInt16), 2);
  EXPECT_EQ(DefaultRegisterStep("VD100", kRawFloat), 4);
  EXPECT_EQ(DefaultRegisterStep("4X5", kRawFloat), 2);
  EXPECT_EQ(DefaultRegisterStep("4X1", kRawInt16), 1);
  EXPECT_EQ(DefaultRegisterStep("Q0.7", kRawBit), 1);
  std::string out;
  ASSERT_TRUE(StepRegister("Q0.7", kRawBit, 1, out));
  EXPECT_EQ(out, "Q1.0");
  ASSERT_TRUE(StepRegister("4X7L", kRawFloat, 2, out));
  EXPECT_EQ(out, "4X9L");
  EXPECT_FALSE(StepRegister("VW", kRawInt16, 2, out));

  TagRecord ppi = tags_[0];
  platform::CopyToArray(ppi.registerText, "VW100");
  ppi.rawType = kRawInt16;
  ppi.varType = kVarInteger;
  DriverRegisterCheck drivers;
  TagBatchSpec wanted{16, "温度", 1, DefaultRegisterStep("VW100", kRawInt16)};
  std::vector<TagBatchRow> rows = PlanTagBatch(ppi, wanted, devices_, tags_, drivers);
  ASSERT_EQ(rows.size(), 16u);
  ASSERT_TRUE(BatchIsSound(rows)) << rows[0].error;
  EXPECT_EQ(rows[15].name, "温度16");
  EXPECT_EQ(Utf8(rows[15].record.registerText), "VW130");

  // Modbus floats on 4X, two registers apart; the last one leaves the area.
  auto modbus = std::find_if(tags_.begin(), tags_.end(), [](const TagRecord& t) {
    return platform::ArrayText(t.registerText) == "4X5";
  });
  ASSERT_NE(modbus, tags_.end());
  wanted = {3, "流量", 9, 32765};
  rows = PlanTagBatch(*modbus, wanted, devices_, tags_, drivers);
  ASSERT_EQ(rows.size(), 3u);
  EXPECT_EQ(rows[1].registerText, "4X32770");
  EXPECT_TRUE(rows[0].error.empty()) << rows[0].error;
  EXPECT_FALSE(rows[2].error.empty());  // 4X65535 + a second register is past the area
  EXPECT_FALSE(BatchIsSound(rows));

  // A name that exists already.
  wanted = {2, Utf8(tags_[0].name), 0, 2};
  wanted.stem.pop_back();
  rows = PlanTagBatch(ppi, wanted, devices_, tags_, drivers);
  EXPECT_FALSE(BatchIsSound(rows));
}

}  // namespace
