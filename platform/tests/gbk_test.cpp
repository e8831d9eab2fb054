#include "platform/gbk.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

using platform::ArrayText;
using platform::CopyToArray;
using platform::GbkPrefixLength;
using platform::GbkToUtf8;
using platform::Utf8ToGbk;

// Known GBK encodings (code page 936), written out so that the converter is checked against
// fixed bytes rather than against itself.
const std::string kNewDeviceGbk = "\xD0\xC2\xBD\xA8\xC9\xE8\xB1\xB8";  // 新建设备
const std::string kDigitsUtf8 = "一二三四五六七八九十一二三四五六七八九";
const std::string kDigitsGbk =
    "\xD2\xBB\xB6\xFE\xC8\xFD\xCB\xC4\xCE\xE5\xC1\xF9\xC6\xDF\xB0\xCB\xBE\xC5\xCA\xAE"
    "\xD2\xBB\xB6\xFE\xC8\xFD\xCB\xC4\xCE\xE5\xC1\xF9\xC6\xDF\xB0\xCB\xBE\xC5";

TEST(GbkTest, ChineseRoundTripsThroughKnownBytes) {
  std::string gbk;
  ASSERT_TRUE(Utf8ToGbk("新建设备", gbk));
  EXPECT_EQ(gbk, kNewDeviceGbk);
  std::string utf8;
  ASSERT_TRUE(GbkToUtf8(gbk, utf8));
  EXPECT_EQ(utf8, "新建设备");

  ASSERT_TRUE(Utf8ToGbk(kDigitsUtf8, gbk));
  EXPECT_EQ(gbk.size(), 38u);
  EXPECT_EQ(gbk, kDigitsGbk);
  EXPECT_EQ(GbkToUtf8(kDigitsGbk), kDigitsUtf8);

  // Mixed ASCII and Chinese, and the empty text.
  EXPECT_EQ(GbkToUtf8(Utf8ToGbk("V100 好 ok")), "V100 好 ok");
  ASSERT_TRUE(Utf8ToGbk("", gbk));
  EXPECT_TRUE(gbk.empty());
  ASSERT_TRUE(GbkToUtf8("", utf8));
  EXPECT_TRUE(utf8.empty());
}

TEST(GbkTest, RefusesCharactersWithoutGbkFormAndInvalidUtf8) {
  std::string out;
  EXPECT_FALSE(Utf8ToGbk("新建\xF0\x9F\x98\x80", out));  // emoji after valid text
  EXPECT_EQ(Utf8ToGbk("\xF0\x9F\x98\x80"), "");          // convenience form: empty, no '?'
  EXPECT_FALSE(Utf8ToGbk("\x80", out));                  // stray continuation byte
  EXPECT_FALSE(Utf8ToGbk("\xC0\x80", out));              // overlong NUL
  EXPECT_FALSE(Utf8ToGbk("\xED\xA0\x80", out));          // UTF-16 surrogate
  EXPECT_FALSE(Utf8ToGbk("ab\xE6\x96", out));            // cut inside a character
}

TEST(GbkTest, RefusesInvalidGbk) {
  std::string out;
  EXPECT_FALSE(GbkToUtf8("\xD0\x30", out));      // trail byte out of range
  EXPECT_FALSE(GbkToUtf8("abc\xD0", out));       // lead byte without trail at the end
  EXPECT_FALSE(GbkToUtf8("\xFF", out));          // never a GBK byte
  EXPECT_EQ(GbkToUtf8("\xD0\xC2\xD0\x30"), "");  // valid start does not leak into the result
}

TEST(GbkTest, FailedConversionDoesNotSpoilTheNextOne) {
  std::string out;
  EXPECT_FALSE(GbkToUtf8("abc\xD0", out));  // leaves an incomplete character pending
  ASSERT_TRUE(GbkToUtf8(kNewDeviceGbk, out));
  EXPECT_EQ(out, "新建设备");
  EXPECT_FALSE(Utf8ToGbk("\xE6\x96", out));
  ASSERT_TRUE(Utf8ToGbk("新建设备", out));
  EXPECT_EQ(out, kNewDeviceGbk);
}

TEST(GbkTest, LongTextsGrowTheOutput) {
  std::string utf8;
  for (int i = 0; i < 2000; ++i)
    utf8 += "设备";
  std::string gbk;
  ASSERT_TRUE(Utf8ToGbk(utf8, gbk));
  EXPECT_EQ(gbk.size(), 8000u);
  EXPECT_EQ(GbkToUtf8(gbk), utf8);
}

TEST(GbkTest, ConcurrentConversionsStayCorrect) {
  std::vector<std::thread> threads;
  std::array<int, 6> failures{};
  for (std::size_t t = 0; t < failures.size(); ++t) {
    threads.emplace_back([t, &failures] {
      for (int i = 0; i < 2000; ++i) {
        std::string utf8 = std::to_string(t * 100000 + i) + kDigitsUtf8;
        if (GbkToUtf8(Utf8ToGbk(utf8)) != utf8)
          ++failures[t];
      }
    });
  }
  for (auto& th : threads)
    th.join();
  for (int f : failures)
    EXPECT_EQ(f, 0);
}

TEST(GbkTest, PrefixNeverEndsInsideACharacter) {
  // "ab" then 19 double-byte characters: 40 bytes, lead bytes at offsets 2, 4, ..., 38.
  const std::string text = "ab" + kDigitsGbk;
  ASSERT_EQ(text.size(), 40u);
  EXPECT_EQ(GbkPrefixLength(text, 31), 30u);  // the 31st byte (offset 30) is a lead byte
  EXPECT_EQ(GbkPrefixLength(text, 32), 32u);
  EXPECT_EQ(GbkPrefixLength(text, 1000), 40u);
  EXPECT_EQ(GbkPrefixLength(text, 0), 0u);

  for (std::size_t max = 0; max <= text.size(); ++max) {
    std::size_t n = GbkPrefixLength(text, max);
    EXPECT_LE(n, max);
    EXPECT_GE(n + 1, max) << "cut more than one byte short at " << max;
    EXPECT_EQ(GbkToUtf8(text.substr(0, n)).size(), n <= 2 ? n : 2 + (n - 2) / 2 * 3)
        << "prefix of " << n << " bytes is not whole characters";
  }
}

TEST(GbkTest, PrefixTreatsSingleBytesAndDanglingLeadBytes) {
  EXPECT_EQ(GbkPrefixLength("\x80\xFF\x41", 2), 2u);  // 0x80 and 0xFF stand alone
  EXPECT_EQ(GbkPrefixLength("\x81\xFF", 1), 0u);      // 0x81 is a lead byte
  EXPECT_EQ(GbkPrefixLength("\x81\xFF", 2), 2u);
  EXPECT_EQ(GbkPrefixLength("ab\xD0", 10), 2u);  // a lead byte without trail is not kept
}

TEST(GbkTest, CopyToArrayZeroFillsAndCutsAtCharacters) {
  char name[32];
  std::memset(name, 0xAA, sizeof name);
  EXPECT_TRUE(CopyToArray(name, kNewDeviceGbk));
  EXPECT_EQ(ArrayText(name), kNewDeviceGbk);
  for (std::size_t i = kNewDeviceGbk.size(); i < sizeof name; ++i)
    EXPECT_EQ(name[i], 0) << i;

  std::memset(name, 0xAA, sizeof name);
  EXPECT_FALSE(CopyToArray(name, "ab" + kDigitsGbk));
  EXPECT_EQ(ArrayText(name), ("ab" + kDigitsGbk).substr(0, 30));
  EXPECT_EQ(name[30], 0);
  EXPECT_EQ(name[31], 0);

  // Exactly size - 1 bytes fit; size bytes do not.
  char small[5];
  EXPECT_TRUE(CopyToArray(small, "abcd"));
  EXPECT_EQ(ArrayText(small), "abcd");
  EXPECT_FALSE(CopyToArray(small, "abcde"));
  EXPECT_EQ(ArrayText(small), "abcd");
}

TEST(GbkTest, CopyToArrayEdgeCases) {
  char guard = 0x55;
  EXPECT_FALSE(CopyToArray(std::span<char>(&guard, 0), "x"));
  EXPECT_EQ(guard, 0x55);  // an empty span is left untouched

  char one[1] = {'z'};
  EXPECT_TRUE(CopyToArray(one, ""));
  EXPECT_EQ(one[0], 0);

  // Copying an array's own text back into it (overlapping source and destination).
  char buf[16];
  CopyToArray(buf, "0123456789");
  EXPECT_TRUE(CopyToArray(buf, ArrayText(buf).substr(3)));
  EXPECT_EQ(ArrayText(buf), "3456789");
  EXPECT_FALSE(CopyToArray(std::span<char>(buf, 4), ArrayText(buf)));
  EXPECT_EQ(ArrayText(std::span<const char>(buf, 4)), "345");
}

TEST(GbkTest, ArrayTextStopsAtNulOrArrayEnd) {
  struct {
    char name[4];
    char after[4];
  } rec;
  std::memcpy(rec.name, "abcd", 4);  // no NUL inside the array
  std::memcpy(rec.after, "xyz", 4);
  EXPECT_EQ(ArrayText(rec.name), "abcd");

  rec.name[2] = 0;
  EXPECT_EQ(ArrayText(rec.name), "ab");
  EXPECT_EQ(ArrayText(std::span<const char>()), "");
}

}  // namespace
