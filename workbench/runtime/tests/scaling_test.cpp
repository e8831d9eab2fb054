// Scaling of raw values into engineering values and back, for every raw type, and the saturation
// of results that fall outside the target type's range.
#include "workbench/runtime/scaling.h"

#include <gtest/gtest.h>

#include <cfloat>
#include <cmath>
#include <limits>

namespace {

using talvek::FloatToRaw;
using talvek::IntegerToRaw;
using talvek::ScaleToEngineering;

int32_t W(uint32_t bits) {
  return static_cast<int32_t>(bits);
}
int32_t F(float f) {
  return FloatToWord(f);
}

TagRecord IntegerTag(int32_t rawType, int32_t rawMin, int32_t rawMax, int32_t engMin,
                     int32_t engMax) {
  TagRecord t{};
  t.varType = kVarInteger;
  t.rawType = rawType;
  t.rawMin = rawMin;
  t.rawMax = rawMax;
  t.engMin = engMin;
  t.engMax = engMax;
  return t;
}

TagRecord FloatTag(int32_t rawType, int32_t rawMin, int32_t rawMax, float engMin, float engMax) {
  TagRecord t = IntegerTag(rawType, rawMin, rawMax, F(engMin), F(engMax));
  t.varType = kVarFloat;
  return t;
}

float ScaleFloat(const TagRecord& t, int32_t raw) {
  return WordToFloat(ScaleToEngineering(t, raw));
}

// One raw type with limits, a raw word whose bits above the type's width are set, and the value
// that word stands for on an engineering range 0..1000; then the raw word written for 250.
struct RawCase {
  const char* name;
  int32_t rawType;
  int32_t rawMin;
  int32_t rawMax;
  int32_t rawWord;      // read direction
  int32_t engineering;  // expected integer value for rawWord
  int32_t rawFor250;    // expected raw word for the engineering value 250
};

const RawCase kRawCases[] = {
    // Byte 0..200: only the low byte 0x64 = 100 counts.
    {"byte", kRawByte, 0, 200, W(0xFFFFFF64u), 500, 50},
    // Int16 -100..100: low half 0xFFCE = -50; -50 is written sign-extended.
    {"int16", kRawInt16, -100, 100, W(0x1234FFCEu), 250, -50},
    // Uint16 0..50000: low half 0x61A8 = 25000.
    {"uint16", kRawUInt16, 0, 50000, W(0xFFFF61A8u), 500, 12500},
    // BCD16 is scaled as a plain uint16 (0x9999 = 39321): 4660/39321 -> 118.5 -> 118.
    {"bcd16", kRawBcd16, 0, 0x9999, W(0xABCD1234u), 118, 9830},
    {"int32", kRawInt32, -1000, 1000, -500, 250, -500},
    // BCD32 limits and values are uint32: 0x80000000 is 2^31, not negative.
    {"bcd32", kRawBcd32, 0, W(0x99999999u), W(0x80000000u), 833, 644245094},
    {"float", kRawFloat, F(0.0f), F(10.0f), F(2.5f), 250, F(2.5f)},
};

TEST(ScalingTest, ReadsEveryRawTypeInItsWidthAndScalesIntoIntegerRange) {
  for (const RawCase& c : kRawCases) {
    SCOPED_TRACE(c.name);
    const TagRecord t = IntegerTag(c.rawType, c.rawMin, c.rawMax, 0, 1000);
    EXPECT_EQ(ScaleToEngineering(t, c.rawWord), c.engineering);
  }
}

TEST(ScalingTest, ReadsEveryRawTypeIntoFloatRange) {
  for (const RawCase& c : kRawCases) {
    SCOPED_TRACE(c.name);
    const TagRecord t = FloatTag(c.rawType, c.rawMin, c.rawMax, 0.0f, 1000.0f);
    // The float result is not truncated; the integer case is its truncation.
    const float v = ScaleFloat(t, c.rawWord);
    EXPECT_EQ(std::trunc(v), static_cast<float>(c.engineering));
  }
  EXPECT_FLOAT_EQ(ScaleFloat(FloatTag(kRawBcd16, 0, 0x9999, 0.0f, 1000.0f), 0x1234),
                  4660.0f / 39321.0f * 1000.0f);
}

TEST(ScalingTest, WritesEveryRawTypeFromIntegerAndFloatValues) {
  for (const RawCase& c : kRawCases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(IntegerToRaw(IntegerTag(c.rawType, c.rawMin, c.rawMax, 0, 1000), 250), c.rawFor250);
    EXPECT_EQ(FloatToRaw(FloatTag(c.rawType, c.rawMin, c.rawMax, 0.0f, 1000.0f), 250.0f),
              c.rawFor250);
  }
}

TEST(ScalingTest, BitTypeIsOneForAnyNonZeroWordAndWritesPassUnchanged) {
  const TagRecord i = IntegerTag(kRawBit, 0, 0, 0, 1000);
  EXPECT_EQ(ScaleToEngineering(i, 0), 0);
  EXPECT_EQ(ScaleToEngineering(i, 7), 1);
  EXPECT_EQ(ScaleToEngineering(i, W(0x80000000u)), 1);
  const TagRecord f = FloatTag(kRawBit, 0, 0, 0.0f, 1000.0f);
  EXPECT_EQ(ScaleFloat(f, 0), 0.0f);
  EXPECT_EQ(ScaleFloat(f, -3), 1.0f);

  EXPECT_EQ(IntegerToRaw(i, 777), 777);
  EXPECT_EQ(FloatToRaw(f, 2.5f), F(2.5f));
  // A string raw type is not scaled either.
  const TagRecord s = IntegerTag(kRawString, 0, 10, 0, 1000);
  EXPECT_EQ(IntegerToRaw(s, -5), -5);
  EXPECT_EQ(FloatToRaw(FloatTag(kRawString, 0, 10, 0.0f, 1.0f), -0.5f), F(-0.5f));
}

TEST(ScalingTest, MatchesTheWorkedExamples) {
  // Integer tag, uint16 raw 0..65535, engineering 0..100: 50.0007... truncates to 50, and 50
  // writes 32767.5 truncated.
  const TagRecord i = IntegerTag(kRawUInt16, 0, 65535, 0, 100);
  EXPECT_EQ(ScaleToEngineering(i, 32768), 50);
  EXPECT_EQ(IntegerToRaw(i, 50), 32767);
  // Float tag, float raw 0..10, engineering 0..100.
  const TagRecord f = FloatTag(kRawFloat, F(0.0f), F(10.0f), 0.0f, 100.0f);
  EXPECT_EQ(ScaleFloat(f, F(2.5f)), 25.0f);
  EXPECT_EQ(FloatToRaw(f, 25.0f), F(2.5f));
}

TEST(ScalingTest, IntegerResultsTruncateTowardZero) {
  // -100 + 200 × 1/1000 = -99.8: toward zero gives -99 (floor would give -100).
  const TagRecord t = IntegerTag(kRawInt32, 0, 1000, -100, 100);
  EXPECT_EQ(ScaleToEngineering(t, 1), -99);
  // Writing: rawMin + f × span = -2.5 truncates to -2 on an int16 raw type.
  EXPECT_EQ(IntegerToRaw(IntegerTag(kRawInt16, -10, 10, 0, 8), 3), -2);
}

TEST(ScalingTest, EmptyRangesDoNotDivideByZero) {
  // rawMax == rawMin on reading: the engineering minimum.
  EXPECT_EQ(ScaleToEngineering(IntegerTag(kRawUInt16, 7, 7, -5, 100), 1234), -5);
  EXPECT_EQ(ScaleFloat(FloatTag(kRawFloat, F(3.0f), F(3.0f), 1.5f, 9.0f), F(4.0f)), 1.5f);
  // +0.0 and -0.0 are an empty float range too.
  EXPECT_EQ(ScaleFloat(FloatTag(kRawFloat, F(0.0f), F(-0.0f), 2.0f, 9.0f), F(1.0f)), 2.0f);
  // engMax == engMin on writing: f = 0, so rawMin is sent.
  EXPECT_EQ(IntegerToRaw(IntegerTag(kRawUInt16, 100, 200, 50, 50), 70), 100);
  EXPECT_EQ(FloatToRaw(FloatTag(kRawFloat, F(1.0f), F(2.0f), 5.0f, 5.0f), 9.0f), F(1.0f));
}

TEST(ScalingTest, IntegerReadsSaturateToInt32AndNanGivesEngMin) {
  const TagRecord t = IntegerTag(kRawInt32, 0, 1, 0, INT32_MAX);
  EXPECT_EQ(ScaleToEngineering(t, 3), INT32_MAX);
  EXPECT_EQ(ScaleToEngineering(t, -3), INT32_MIN);
  // Float raw values: infinities saturate, NaN has no integer value.
  const TagRecord f = IntegerTag(kRawFloat, F(0.0f), F(1.0f), -7, 100);
  EXPECT_EQ(ScaleToEngineering(f, F(std::numeric_limits<float>::infinity())), INT32_MAX);
  EXPECT_EQ(ScaleToEngineering(f, F(-std::numeric_limits<float>::infinity())), INT32_MIN);
  EXPECT_EQ(ScaleToEngineering(f, F(std::numeric_limits<float>::quiet_NaN())), -7);
  // NaN limits as well.
  const TagRecord nanLimit =
      IntegerTag(kRawFloat, F(0.0f), F(std::numeric_limits<float>::quiet_NaN()), 3, 100);
  EXPECT_EQ(ScaleToEngineering(nanLimit, F(1.0f)), 3);
}

TEST(ScalingTest, FloatReadsSaturateToFltMaxAndKeepNan) {
  const TagRecord t = FloatTag(kRawInt32, 0, 1, 0.0f, FLT_MAX);
  EXPECT_EQ(ScaleFloat(t, 4), FLT_MAX);
  EXPECT_EQ(ScaleFloat(t, -4), -FLT_MAX);
  const TagRecord f = FloatTag(kRawFloat, F(0.0f), F(1.0f), 0.0f, 1.0f);
  EXPECT_EQ(ScaleFloat(f, F(std::numeric_limits<float>::infinity())), FLT_MAX);
  EXPECT_TRUE(std::isnan(ScaleFloat(f, F(std::numeric_limits<float>::quiet_NaN()))));
}

TEST(ScalingTest, WritesBeyondTheRawRangeSaturateInsteadOfWrapping) {
  // Engineering 0..1000 is mapped onto a raw span; the value 2000 lands at twice the span above
  // rawMin and -1000 one span below it.
  struct Case {
    const char* name;
    int32_t rawType;
    int32_t rawMin, rawMax;
    int32_t high, low;  // expected raw words for 2000 and -1000
    int32_t top;        // the raw type's largest value
  };
  const Case cases[] = {
      // 400 would wrap to 144 in 8 bits.
      {"byte", kRawByte, 0, 200, 255, 0, 255},
      {"int16", kRawInt16, -30000, 30000, 32767, -32768, 32767},
      {"uint16", kRawUInt16, 0, 60000, 65535, 0, 65535},
      {"bcd16", kRawBcd16, 0, 0x9999, 65535, 0, 65535},
      {"int32", kRawInt32, 0, 2000000000, INT32_MAX, -2000000000, INT32_MAX},
      {"int32 low", kRawInt32, -2000000000, 0, 2000000000, INT32_MIN, INT32_MAX},
      {"bcd32", kRawBcd32, 0, W(0x99999999u), W(0xFFFFFFFFu), 0, W(0xFFFFFFFFu)},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const TagRecord i = IntegerTag(c.rawType, c.rawMin, c.rawMax, 0, 1000);
    EXPECT_EQ(IntegerToRaw(i, 2000), c.high);
    EXPECT_EQ(IntegerToRaw(i, -1000), c.low);
    const TagRecord f = FloatTag(c.rawType, c.rawMin, c.rawMax, 0.0f, 1000.0f);
    EXPECT_EQ(FloatToRaw(f, 2000.0f), c.high);
    EXPECT_EQ(FloatToRaw(f, -1000.0f), c.low);
    // An infinite entry (a typed 1e40) saturates the same way.
    EXPECT_EQ(FloatToRaw(f, std::numeric_limits<float>::infinity()), c.top);
  }
  // A float raw type saturates at ±FLT_MAX.
  const TagRecord f = FloatTag(kRawFloat, F(0.0f), F(FLT_MAX), 0.0f, 1.0f);
  EXPECT_EQ(FloatToRaw(f, 10.0f), F(FLT_MAX));
  EXPECT_EQ(FloatToRaw(f, -10.0f), F(-FLT_MAX));
  EXPECT_EQ(IntegerToRaw(IntegerTag(kRawFloat, F(0.0f), F(FLT_MAX), 0, 1), 10), F(FLT_MAX));
}

TEST(ScalingTest, NanWriteHasNoIntegerRawValue) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  EXPECT_EQ(FloatToRaw(FloatTag(kRawUInt16, 0, 100, 0.0f, 1.0f), nan), std::nullopt);
  EXPECT_EQ(FloatToRaw(FloatTag(kRawInt32, 0, 100, 0.0f, nan), 0.5f), std::nullopt);
  // A float raw type carries the NaN itself.
  const auto raw = FloatToRaw(FloatTag(kRawFloat, F(0.0f), F(1.0f), 0.0f, 1.0f), nan);
  ASSERT_TRUE(raw.has_value());
  EXPECT_TRUE(std::isnan(WordToFloat(*raw)));
}

}  // namespace
