// Typed access to the record words whose meaning depends on a type code.
#include <gtest/gtest.h>

#include <cstring>
#include <limits>

#include "common/group_item.h"
#include "common/records.h"

namespace {

TEST(RawWordTest, ReadsEachRawTypeInItsOwnWidth) {
  // 0xFFFF8080: low byte 0x80, low half 0x8080.
  const int32_t word = static_cast<int32_t>(0xFFFF8080u);
  EXPECT_EQ(RawWordToDouble(word, kRawByte), 128.0);
  EXPECT_EQ(RawWordToDouble(word, kRawInt16), -32640.0);
  EXPECT_EQ(RawWordToDouble(word, kRawUInt16), 32896.0);
  EXPECT_EQ(RawWordToDouble(word, kRawBcd16), 32896.0);  // BCD is not decoded here
  EXPECT_EQ(RawWordToDouble(word, kRawInt32), -32640.0);
  EXPECT_EQ(RawWordToDouble(word, kRawBcd32), 4294934656.0);
  EXPECT_EQ(RawWordToDouble(word, kRawBit), -32640.0);
  EXPECT_EQ(RawWordToDouble(FloatToWord(2.5f), kRawFloat), 2.5);
}

TEST(RawWordTest, DataTypeFlagIsOneBitPerRawType) {
  EXPECT_EQ(DataTypeFlagOf(kRawBit), 1);
  EXPECT_EQ(DataTypeFlagOf(kRawInt16), 4);
  EXPECT_EQ(DataTypeFlagOf(kRawFloat), 128);
  EXPECT_EQ(DataTypeFlagOf(kRawString), 256);
  EXPECT_EQ(DataTypeFlagOf(9), 0);
  EXPECT_EQ(DataTypeFlagOf(-1), 0);
}

TEST(RecordLayoutTest, TagWordsLandAtTheirFileOffsets) {
  TagRecord tag{};
  tag.rawMax = 51711;
  tag.updateTime = FILETIME{0x11223344u, 0x55667788u};
  unsigned char bytes[sizeof tag];
  std::memcpy(bytes, &tag, sizeof tag);
  EXPECT_EQ(bytes[260], 0xFF);  // 51711 = 0xC9FF, low byte first
  EXPECT_EQ(bytes[261], 0xC9);
  EXPECT_EQ(bytes[104], 0x44);  // FILETIME: low 32 bits first
  EXPECT_EQ(bytes[111], 0x55);
}

}  // namespace
