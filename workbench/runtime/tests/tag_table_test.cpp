// The runtime tag table: lookups, driver results, the four writers and the mutex they hold.
#include "workbench/runtime/tag_table.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdio>
#include <cstring>
#include <limits>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "platform/atoms.h"
#include "workbench/project/project_state.h"

namespace {

using talvek::QualityText;
using talvek::RuntimeTagTable;
using talvek::TagWriteSink;

int32_t W(uint32_t bits) {
  return static_cast<int32_t>(bits);
}
int32_t F(float f) {
  return FloatToWord(f);
}

TagRecord MakeTag(const char* name, int32_t varType, int32_t rawType) {
  TagRecord t{};
  std::snprintf(t.name, sizeof t.name, "%s", name);
  t.varType = varType;
  t.rawType = rawType;
  return t;
}

GroupItem Result(uint16_t tagIndex, int32_t value, uint16_t quality = 192,
                 FILETIME time = FILETIME{0x89ABCDEFu, 0x01D9F00Du}) {
  GroupItem item{};
  item.tagIndex = tagIndex;
  item.value = value;
  item.quality = quality;
  item.updateTime = time;
  return item;
}

// Records every write; when asked, checks from another thread that the tag-table mutex is held
// at the moment of the call (a recursive mutex would let this thread in again).
class RecordingSink : public TagWriteSink {
 public:
  int WriteTag(uint16_t tagIndex, int32_t value) override {
    writes.emplace_back(tagIndex, value);
    if (probe != nullptr) {
      bool gotIt = false;
      std::thread other([&] {
        gotIt = probe->Lock(0);
        if (gotIt)
          probe->Unlock();
      });
      other.join();
      if (gotIt)
        ++unlockedCalls;
    }
    return 1;
  }

  std::vector<std::pair<uint16_t, int32_t>> writes;
  platform::Mutex* probe = nullptr;
  int unlockedCalls = 0;
};

class TagTableTest : public ::testing::Test {
 protected:
  TagTableTest() { table.SetWriteSink(&sink); }

  // Adds a tag and returns its index.
  uint16_t Add(const TagRecord& t) {
    tags.push_back(t);
    return static_cast<uint16_t>(tags.size() - 1);
  }
  uint16_t AddInteger(const char* name, int32_t rawType, int32_t rawMin, int32_t rawMax,
                      int32_t engMin, int32_t engMax) {
    TagRecord t = MakeTag(name, kVarInteger, rawType);
    t.rawMin = rawMin;
    t.rawMax = rawMax;
    t.engMin = engMin;
    t.engMax = engMax;
    return Add(t);
  }
  uint16_t AddFloat(const char* name, int32_t rawType, int32_t rawMin, int32_t rawMax, float engMin,
                    float engMax) {
    const uint16_t i = AddInteger(name, rawType, rawMin, rawMax, F(engMin), F(engMax));
    tags[i].varType = kVarFloat;
    return i;
  }
  std::vector<std::pair<uint16_t, int32_t>> Writes(uint16_t index, int32_t value) {
    return {{index, value}};
  }

  std::vector<TagRecord> tags;
  platform::Mutex mutex;
  RuntimeTagTable table{tags, mutex};
  RecordingSink sink;
};

// --- Lookups ---

TEST_F(TagTableTest, LookupsFindTheFirstByteExactMatch) {
  Add(MakeTag("Var00001", kVarInteger, kRawInt32));
  Add(MakeTag("Var00002", kVarFloat, kRawFloat));
  Add(MakeTag("Var00002", kVarDiscrete, kRawBit));           // a duplicate: the first one wins
  Add(MakeTag("\xCE\xC2\xB6\xC8", kVarString, kRawString));  // "温度" in GBK

  uint16_t index = 99;
  int32_t varType = -1;
  ASSERT_TRUE(table.FindTagIndex("Var00002", index));
  EXPECT_EQ(index, 1);
  ASSERT_TRUE(table.FindTagType("Var00002", varType));
  EXPECT_EQ(varType, kVarFloat);
  ASSERT_TRUE(table.FindTagIndex("\xCE\xC2\xB6\xC8", index));
  EXPECT_EQ(index, 3);

  // No case folding, no prefix or extension matches.
  EXPECT_FALSE(table.FindTagIndex("var00001", index));
  EXPECT_FALSE(table.FindTagIndex("Var0000", index));
  EXPECT_FALSE(table.FindTagIndex("Var000011", index));
  EXPECT_FALSE(table.FindTagType("", varType));
  // An embedded NUL would otherwise match the text before it.
  EXPECT_FALSE(table.FindTagIndex(std::string_view("Var00001\0x", 10), index));
  EXPECT_EQ(index, 3);  // untouched by the failed lookups
}

TEST_F(TagTableTest, LookupsHandleNamesThatFillTheWholeArray) {
  TagRecord t = MakeTag("", kVarInteger, kRawInt32);
  std::memset(t.name, 'A', sizeof t.name);  // 32 bytes, no terminator
  Add(MakeTag("B", kVarInteger, kRawInt32));
  Add(t);
  uint16_t index = 0;
  ASSERT_TRUE(table.FindTagIndex(std::string(32, 'A'), index));
  EXPECT_EQ(index, 1);
  EXPECT_FALSE(table.FindTagIndex(std::string(33, 'A'), index));
  EXPECT_FALSE(table.FindTagIndex(std::string(31, 'A'), index));
}

TEST_F(TagTableTest, TagsBeyondTheSixteenBitIndexRangeAreNotFound) {
  tags.resize(talvek::kMaxAddressableTags + 1);
  std::snprintf(tags[talvek::kMaxAddressableTags - 1].name, 32, "Last");
  std::snprintf(tags[talvek::kMaxAddressableTags].name, 32, "Unreachable");
  uint16_t index = 0;
  ASSERT_TRUE(table.FindTagIndex("Last", index));
  EXPECT_EQ(index, 65535);
  // Index 65536 would be reported as 0 and another tag written.
  EXPECT_FALSE(table.FindTagIndex("Unreachable", index));
  EXPECT_EQ(table.WriteDiscreteByName("Unreachable", 1), 0);
  EXPECT_TRUE(sink.writes.empty());
}

// --- ApplyResult ---

TEST_F(TagTableTest, ApplyResultScalesIntegerAndFloatTags) {
  const uint16_t i = AddInteger("I", kRawUInt16, 0, 65535, 0, 100);
  const uint16_t f = AddFloat("F", kRawFloat, F(0.0f), F(10.0f), 0.0f, 100.0f);

  const GroupItem ri = Result(i, 32768, 192, FILETIME{1, 2});
  EXPECT_EQ(table.ApplyResult(&ri), 1);
  EXPECT_EQ(tags[i].value, 50);
  EXPECT_EQ(tags[i].rawValue, 32768);
  EXPECT_EQ(tags[i].quality, 192);
  EXPECT_EQ(tags[i].updateTime.dwLowDateTime, 1u);
  EXPECT_EQ(tags[i].updateTime.dwHighDateTime, 2u);

  const GroupItem rf = Result(f, F(2.5f), 24, FILETIME{3, 4});
  EXPECT_EQ(table.ApplyResult(&rf), 1);
  EXPECT_EQ(WordToFloat(tags[f].value), 25.0f);
  EXPECT_EQ(tags[f].rawValue, F(2.5f));
  EXPECT_EQ(tags[f].quality, 24);
  EXPECT_EQ(tags[f].updateTime.dwHighDateTime, 4u);
}

TEST_F(TagTableTest, ApplyResultStoresTheRawValueInTheWidthOfItsType) {
  struct Case {
    int32_t rawType;
    uint32_t expected;  // previous raw word 0x12345678, item value 0xFFFFFF64
  };
  const Case cases[] = {
      {kRawByte, 0x12345664u},  {kRawInt16, 0x1234FF64u}, {kRawUInt16, 0x1234FF64u},
      {kRawBcd16, 0x1234FF64u}, {kRawInt32, 0xFFFFFF64u}, {kRawBcd32, 0xFFFFFF64u},
      {kRawFloat, 0xFFFFFF64u}, {kRawBit, 0xFFFFFF64u},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.rawType);
    tags.clear();
    const uint16_t i = AddInteger("T", c.rawType, 0, 10, 0, 10);
    tags[i].rawValue = W(0x12345678u);
    const GroupItem r = Result(i, W(0xFFFFFF64u));
    EXPECT_EQ(table.ApplyResult(&r), 1);
    EXPECT_EQ(static_cast<uint32_t>(tags[i].rawValue), c.expected);
  }
}

TEST_F(TagTableTest, ApplyResultTakesDiscreteValuesUnscaled) {
  const uint16_t d = Add(MakeTag("D", kVarDiscrete, kRawBit));
  tags[d].engMax = 1000;  // never consulted
  const GroupItem r = Result(d, 5);
  EXPECT_EQ(table.ApplyResult(&r), 1);
  EXPECT_EQ(tags[d].value, 5);
  EXPECT_EQ(tags[d].rawValue, 5);
}

TEST_F(TagTableTest, ApplyResultOnABitFloatTagGivesOneOrZero) {
  const uint16_t f = AddFloat("F", kRawBit, 0, 0, 0.0f, 500.0f);
  GroupItem r = Result(f, 42);
  table.ApplyResult(&r);
  EXPECT_EQ(WordToFloat(tags[f].value), 1.0f);
  r.value = 0;
  table.ApplyResult(&r);
  EXPECT_EQ(WordToFloat(tags[f].value), 0.0f);
}

TEST_F(TagTableTest, ApplyResultReplacesOnlyTheAtomOfAStringTag) {
  const uint16_t s = Add(MakeTag("S", kVarString, kRawString));
  tags[s].value = W(0xABCD0001u);
  tags[s].rawValue = W(0x55550002u);
  const GroupItem r = Result(s, W(0x7777C123u), 192);
  EXPECT_EQ(table.ApplyResult(&r), 1);
  EXPECT_EQ(static_cast<uint32_t>(tags[s].value), 0xABCDC123u);
  EXPECT_EQ(static_cast<uint32_t>(tags[s].rawValue), 0x5555C123u);
  EXPECT_EQ(tags[s].quality, 192);
}

TEST_F(TagTableTest, ApplyResultOnAStringRawTypeStoresOnlyTimeAndQuality) {
  const uint16_t i = AddInteger("I", kRawString, 0, 10, 0, 100);
  tags[i].value = 11;
  tags[i].rawValue = 22;
  const GroupItem r = Result(i, 5, 192, FILETIME{7, 8});
  EXPECT_EQ(table.ApplyResult(&r), 0);
  EXPECT_EQ(tags[i].value, 11);
  EXPECT_EQ(tags[i].rawValue, 22);
  EXPECT_EQ(tags[i].quality, 192);
  EXPECT_EQ(tags[i].updateTime.dwLowDateTime, 7u);
}

TEST_F(TagTableTest, ApplyResultIgnoresUnknownTypesAndBadIndexes) {
  TagRecord odd = MakeTag("X", 7, kRawInt32);
  odd.value = 11;
  odd.quality = 8;
  Add(odd);
  const std::vector<TagRecord> before = tags;

  const GroupItem unknownType = Result(0, 99);
  EXPECT_EQ(table.ApplyResult(&unknownType), 0);
  const GroupItem outside = Result(1, 99);
  EXPECT_EQ(table.ApplyResult(&outside), 0);
  EXPECT_EQ(table.ApplyResult(nullptr), 0);
  EXPECT_EQ(std::memcmp(before.data(), tags.data(), sizeof(TagRecord)), 0);

  tags.clear();
  const GroupItem onEmpty = Result(0, 1);
  EXPECT_EQ(table.ApplyResult(&onEmpty), 0);
}

// --- Writers ---

TEST_F(TagTableTest, WritersConvertEngineeringValuesToRawValues) {
  const uint16_t i = AddInteger("I", kRawUInt16, 0, 65535, 0, 100);
  const uint16_t f = AddFloat("F", kRawFloat, F(0.0f), F(10.0f), 0.0f, 100.0f);
  const uint16_t d = Add(MakeTag("D", kVarDiscrete, kRawBit));

  EXPECT_EQ(table.WriteInteger(i, 50), 1);
  EXPECT_EQ(sink.writes, Writes(i, 32767));
  sink.writes.clear();
  EXPECT_EQ(table.WriteFloat(f, 25.0f), 1);
  EXPECT_EQ(sink.writes, Writes(f, F(2.5f)));
  sink.writes.clear();
  // Discrete values are not limited to 0/1 and are sign-extended.
  EXPECT_EQ(table.WriteDiscrete(d, -2), 1);
  EXPECT_EQ(sink.writes, Writes(d, -2));
}

TEST_F(TagTableTest, WritersDropValuesOfTheWrongTypeAndStillAnswerOne) {
  const uint16_t i = AddInteger("I", kRawUInt16, 0, 65535, 0, 100);
  const uint16_t f = AddFloat("F", kRawFloat, F(0.0f), F(10.0f), 0.0f, 100.0f);
  const uint16_t d = Add(MakeTag("D", kVarDiscrete, kRawBit));
  EXPECT_EQ(table.WriteDiscrete(i, 1), 1);
  EXPECT_EQ(table.WriteInteger(f, 1), 1);
  EXPECT_EQ(table.WriteFloat(i, 1.0f), 1);
  EXPECT_EQ(table.WriteFloat(d, 1.0f), 1);
  EXPECT_EQ(table.WriteString(i, "abc"), 1);
  EXPECT_TRUE(sink.writes.empty());
}

TEST_F(TagTableTest, WriteFloatSendsNothingForANanWithoutRawValue) {
  const uint16_t f = AddFloat("F", kRawUInt16, 0, 1000, 0.0f, 1.0f);
  EXPECT_EQ(table.WriteFloat(f, std::numeric_limits<float>::quiet_NaN()), 1);
  EXPECT_TRUE(sink.writes.empty());
  // Beyond the engineering range: the raw limit, not a wrapped value.
  EXPECT_EQ(table.WriteFloat(f, 1e30f), 1);
  EXPECT_EQ(sink.writes, Writes(f, 65535));
}

TEST_F(TagTableTest, WritersIgnoreIndexesOutsideTheTable) {
  Add(MakeTag("D", kVarDiscrete, kRawBit));
  EXPECT_EQ(table.WriteDiscrete(1, 1), 0);
  EXPECT_EQ(table.WriteInteger(1, 1), 0);
  EXPECT_EQ(table.WriteFloat(65535, 1.0f), 0);
  EXPECT_EQ(table.WriteString(2, "x"), 0);
  EXPECT_TRUE(sink.writes.empty());
}

TEST_F(TagTableTest, WriteStringReusesAnExistingAtomAndAddsNewOnes) {
  const uint16_t s = Add(MakeTag("S", kVarString, kRawString));
  const char* known = "\xD2\xD1\xD3\xD0\xCE\xC4\xB1\xBE-tag-table";  // "已有文本" in GBK
  const ATOM existing = platform::GlobalAddAtomA(known);
  ASSERT_NE(existing, 0);
  EXPECT_EQ(table.WriteString(s, known), 1);
  EXPECT_EQ(sink.writes, Writes(s, existing));

  sink.writes.clear();
  const char* fresh = "tag-table-fresh-text";
  ASSERT_EQ(platform::GlobalFindAtomA(fresh), 0);
  EXPECT_EQ(table.WriteString(s, fresh), 1);
  const ATOM added = platform::GlobalFindAtomA(fresh);
  ASSERT_NE(added, 0);
  EXPECT_EQ(sink.writes, Writes(s, added));
}

TEST_F(TagTableTest, WriteStringSendsNothingWithoutAnAtom) {
  const uint16_t s = Add(MakeTag("S", kVarString, kRawString));
  EXPECT_EQ(table.WriteString(s, ""), 1);
  EXPECT_EQ(table.WriteString(s, std::string(256, 'x')), 1);
  EXPECT_EQ(table.WriteString(s, std::string_view("ab\0cd", 5)), 1);
  EXPECT_TRUE(sink.writes.empty());
  // 255 bytes is still a valid atom name.
  EXPECT_EQ(table.WriteString(s, std::string(255, 'y')), 1);
  EXPECT_EQ(sink.writes.size(), 1u);
}

TEST_F(TagTableTest, WritersByNameWriteTheFirstMatchOrNothing) {
  Add(MakeTag("A", kVarDiscrete, kRawBit));
  const uint16_t first = AddInteger("Level", kRawInt32, 0, 100, 0, 100);
  AddInteger("Level", kRawInt32, 0, 200, 0, 100);
  const uint16_t f = AddFloat("Temp", kRawFloat, F(0.0f), F(1.0f), 0.0f, 10.0f);
  const uint16_t s = Add(MakeTag("Text", kVarString, kRawString));

  EXPECT_EQ(table.WriteIntegerByName("Level", 40), 1);
  EXPECT_EQ(table.WriteDiscreteByName("A", 1), 1);
  EXPECT_EQ(table.WriteFloatByName("Temp", 5.0f), 1);
  EXPECT_EQ(table.WriteStringByName("Text", "tag-table-by-name"), 1);
  const std::vector<std::pair<uint16_t, int32_t>> expected = {
      {first, 40}, {0, 1}, {f, F(0.5f)}, {s, platform::GlobalFindAtomA("tag-table-by-name")}};
  EXPECT_EQ(sink.writes, expected);

  sink.writes.clear();
  EXPECT_EQ(table.WriteIntegerByName("level", 40), 0);
  EXPECT_EQ(table.WriteDiscreteByName("Missing", 1), 0);
  EXPECT_EQ(table.WriteFloatByName("", 1.0f), 0);
  EXPECT_EQ(table.WriteStringByName("Tex", "x"), 0);
  EXPECT_TRUE(sink.writes.empty());
}

TEST_F(TagTableTest, WritesWithoutASinkAreDropped) {
  const uint16_t i = AddInteger("I", kRawInt32, 0, 100, 0, 100);
  table.SetWriteSink(nullptr);
  EXPECT_EQ(table.WriteInteger(i, 5), 1);
  EXPECT_TRUE(sink.writes.empty());
}

TEST_F(TagTableTest, WriteTagIsCalledWithTheMutexHeld) {
  const uint16_t i = AddInteger("I", kRawInt32, 0, 100, 0, 100);
  const uint16_t d = Add(MakeTag("D", kVarDiscrete, kRawBit));
  const uint16_t f = AddFloat("F", kRawFloat, F(0.0f), F(1.0f), 0.0f, 1.0f);
  const uint16_t s = Add(MakeTag("S", kVarString, kRawString));
  sink.probe = &mutex;
  table.WriteInteger(i, 1);
  table.WriteDiscrete(d, 1);
  table.WriteFloat(f, 0.5f);
  table.WriteString(s, "tag-table-locked");
  table.WriteIntegerByName("I", 2);
  ASSERT_EQ(sink.writes.size(), 5u);
  EXPECT_EQ(sink.unlockedCalls, 0);

  // The probe itself works: the mutex is free again once a writer has returned. Not under
  // ThreadSanitizer: g++ 12's runtime does not see a lock taken with a time-out
  // (pthread_mutex_clocklock), so the probe's successful Lock(0) and Unlock would be reported
  // as an unlock of an unlocked mutex.
#if !defined(__SANITIZE_THREAD__)
  bool gotIt = false;
  std::thread other([&] {
    gotIt = mutex.Lock(0);
    if (gotIt)
      mutex.Unlock();
  });
  other.join();
  EXPECT_TRUE(gotIt);
#endif
}

// --- Process-wide table and quality texts ---

TEST(ProcessTagTableTest, TagsWorksOnTheOpenProjectsTable) {
  std::vector<TagRecord>& projectTags = talvek::Project().tags;
  const std::size_t before = projectTags.size();
  projectTags.push_back(MakeTag("ProcessWideTag", kVarInteger, kRawInt32));
  uint16_t index = 0;
  EXPECT_TRUE(talvek::Tags().FindTagIndex("ProcessWideTag", index));
  EXPECT_EQ(index, before);
  EXPECT_EQ(&talvek::TagTableMutex(), &talvek::TagTableMutex());
  projectTags.resize(before);
}

TEST(QualityTextTest, EveryCodeHasItsText) {
  const std::pair<uint16_t, const char*> expected[] = {
      {0, "坏"},    {4, "配置错误"},  {8, "未连接"}, {12, "设备错误"}, {16, "传感器错误"},
      {20, "坏"},   {24, "串口错误"}, {28, "坏"},    {64, "坏"},       {68, "坏"},
      {80, "坏"},   {84, "坏"},       {88, "坏"},    {192, "好"},      {216, "坏"},
      {32, "未读"},  // waiting for the first read since communication started
  };
  for (const auto& [code, text] : expected) {
    EXPECT_STREQ(QualityText(code), text) << code;
  }
  for (const uint16_t code : {1, 2, 33, 96, 193, 200, 0xFFFF}) {
    ASSERT_NE(QualityText(code), nullptr);
    EXPECT_STREQ(QualityText(code), "") << code;
  }
}

}  // namespace
