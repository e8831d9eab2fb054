#include "drivers/ppi/ppi_frame.h"

#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <initializer_list>
#include <string>
#include <vector>

#include "drivers/ppi/ppi_address.h"
#include "platform/atoms.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ppi::Interface;

constexpr FILETIME kNow{0x11223344u, 0x01D9AABBu};

// A RequestGroup that owns its items, shaped the way the host builds one.
struct Group {
  RequestGroup g{};

  Group(int areaIndex, int station, int start, int end, uint16_t dataType, int writeFlag = 0) {
    g.areaIndex = static_cast<uint16_t>(areaIndex);
    g.station = static_cast<int16_t>(station);
    g.startAddress = start;
    g.endAddress = end;
    g.dataType = static_cast<int16_t>(dataType);
    g.writeFlag = static_cast<uint16_t>(writeFlag);
  }
  ~Group() { ClearGroupItems(g.items); }
  Group(const Group&) = delete;
  Group& operator=(const Group&) = delete;

  // bitOrLength goes to offset 12 (second interface) and, for bits, to offset 6 as well.
  GroupItem& Add(int byteAddress, uint16_t type, int bitOrLength = 0, int32_t value = 0) {
    auto* item = new GroupItem{};
    item->byteAddress = static_cast<uint16_t>(byteAddress);
    item->dataType = type;
    item->bitOrLength = bitOrLength;
    item->bitNumber = static_cast<uint8_t>(bitOrLength);
    item->value = value;
    AppendGroupItem(g.items, item);
    return *item;
  }
  GroupItem& Item(int i) {
    GroupItemNode* n = g.items.head;
    while (i-- > 0)
      n = n->next;
    return *n->item;
  }
};

Bytes Build(const Group& group, Interface via) {
  std::array<uint8_t, ppi::kFrameBufferSize> buf{};
  buf.fill(0xCC);  // the builder must zero what it does not set
  const std::size_t len = ppi::BuildJob(group.g, via, buf);
  return Bytes(buf.begin(), buf.begin() + static_cast<std::ptrdiff_t>(len));
}

// A read reply as a station sends it: header, item return code, data at byte 25, FCS, end.
Bytes ReadReply(std::initializer_list<uint8_t> data, uint8_t returnCode = 0xFF) {
  Bytes r = {0x68, 0,    0, 0x68, 0x00, 0x02, 0x08, 0x32, 0x03,       0,    0, 0, 0,
             0x00, 0x02, 0, 0,    0,    0,    0x04, 0x01, returnCode, 0x04, 0, 0};
  for (uint8_t b : data)
    r.push_back(b);
  r[1] = r[2] = static_cast<uint8_t>(r.size() - 4);
  r[16] = static_cast<uint8_t>(4 + data.size());
  uint8_t sum = 0;
  for (std::size_t i = 4; i < r.size(); ++i)
    sum = static_cast<uint8_t>(sum + r[i]);
  r.push_back(sum);
  r.push_back(0x16);
  return r;
}

// ---------------------------------------------------------------------------------------------
// Short frames

TEST(PpiShortFrames, StatusAndDataRequestsKnownAnswers) {
  std::array<uint8_t, 6> out{};
  ASSERT_EQ(ppi::BuildStatusRequest(2, out), 6u);
  EXPECT_EQ(Bytes(out.begin(), out.end()), (Bytes{0x10, 0x02, 0x00, 0x49, 0x4B, 0x16}));
  // Only the station's low byte is on the wire.
  ASSERT_EQ(ppi::BuildStatusRequest(0x102, out), 6u);
  EXPECT_EQ(out[1], 0x02);

  const Bytes job = {0x68, 0x1B, 0x1B, 0x68, 0x02, 0x00, 0x6C};
  ASSERT_EQ(ppi::BuildDataRequest(job, out), 6u);
  EXPECT_EQ(Bytes(out.begin(), out.end()), (Bytes{0x10, 0x02, 0x00, 0x5C, 0x5E, 0x16}));

  std::array<uint8_t, 5> small{};
  EXPECT_EQ(ppi::BuildStatusRequest(2, small), 0u);
  EXPECT_EQ(ppi::BuildDataRequest(job, small), 0u);
  EXPECT_EQ(ppi::BuildDataRequest(Bytes{0x68, 0x1B, 0x1B, 0x68}, out), 0u);
}

TEST(PpiShortFrames, StatusAnswerRecognition) {
  EXPECT_TRUE(ppi::IsStatusAnswer(Bytes{0x10, 0x00, 0x02, 0x20, 0x22, 0x16}, 2));
  EXPECT_TRUE(ppi::IsStatusAnswer(Bytes{0x10, 0x00, 0x02, 0x20, 0x22, 0x16, 0xE5}, 2));
  EXPECT_FALSE(ppi::IsStatusAnswer(Bytes{0x10, 0x00, 0x02, 0x20, 0x23, 0x16}, 2));  // FCS
  EXPECT_FALSE(ppi::IsStatusAnswer(Bytes{0x10, 0x00, 0x03, 0x20, 0x23, 0x16}, 2));  // station
  EXPECT_FALSE(ppi::IsStatusAnswer(Bytes{0x10, 0x00, 0x02, 0x20, 0x22}, 2));        // short
}

// ---------------------------------------------------------------------------------------------
// Read jobs

TEST(PpiReadJob, V100Int16Station2KnownAnswer) {
  const Bytes expected = {0x68, 0x1B, 0x1B, 0x68, 0x02, 0x00, 0x6C, 0x32, 0x01, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x04, 0x01, 0x12, 0x0A, 0x10,
                          0x02, 0x00, 0x02, 0x00, 0x01, 0x84, 0x00, 0x03, 0x20, 0x8C, 0x16};
  for (Interface via : {Interface::kSecond, Interface::kFirst}) {
    Group group(ppi::kAreaV, 2, 100, 100, ppi::kTypeInt16);
    group.Add(100, ppi::kTypeInt16);
    EXPECT_EQ(Build(group, via), expected);
  }
}

TEST(PpiReadJob, ByteCountsAndAreas) {
  struct Case {
    int area, start, end;
    uint16_t type;
    int count;
    uint8_t areaCode, db;
  };
  const Case cases[] = {
      {ppi::kAreaV, 100, 103, ppi::kTypeInt16, 4, 0x84, 1},  // V100..V103 merged
      {ppi::kAreaI, 0, 9, ppi::kTypeByte, 10, 0x81, 0},      // I0..I9
      {ppi::kAreaQ, 5, 5, ppi::kTypeBit, 1, 0x82, 0},
      {ppi::kAreaM, 7, 7, ppi::kTypeByte, 1, 0x83, 0},
      {ppi::kAreaV, 8, 8, ppi::kTypeBit, 1, 0x84, 1},
      {ppi::kAreaV, 8, 8, ppi::kTypeByte, 1, 0x84, 1},
      {ppi::kAreaV, 8, 8, ppi::kTypeUint16, 2, 0x84, 1},
      {ppi::kAreaV, 8, 8, ppi::kTypeInt32, 4, 0x84, 1},
      {ppi::kAreaV, 8, 8, ppi::kTypeFloat, 4, 0x84, 1},
      {ppi::kAreaV, 0, 199, ppi::kTypeByte, 200, 0x84, 1},
      // A word or double word alone counts its width in every memory.
      {ppi::kAreaIW, 2, 2, ppi::kTypeInt16, 2, 0x81, 0},
      {ppi::kAreaMD, 4, 4, ppi::kTypeFloat, 4, 0x83, 0},
      {ppi::kAreaSMB, 28, 28, ppi::kTypeByte, 1, 0x05, 0},
      {ppi::kAreaSM, 0, 0, ppi::kTypeBit, 1, 0x05, 0},
      {ppi::kAreaSW, 4, 4, ppi::kTypeUint16, 2, 0x04, 0},
      {ppi::kAreaAIW, 6, 6, ppi::kTypeInt16, 2, 0x06, 0},
      {ppi::kAreaAQW, 0, 3, ppi::kTypeInt16, 4, 0x07, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "area " << c.area << " " << c.start << ".." << c.end);
    Group group(c.area, 2, c.start, c.end, c.type);
    group.Add(c.start, c.type);
    const Bytes job = Build(group, Interface::kSecond);
    ASSERT_EQ(job.size(), 33u);
    EXPECT_EQ(job[23], 0x00);
    EXPECT_EQ(job[24], c.count);
    EXPECT_EQ(job[26], c.db);
    EXPECT_EQ(job[27], c.areaCode);
    const uint32_t bitAddress = uint32_t(job[28]) << 16 | job[29] << 8 | job[30];
    EXPECT_EQ(bitAddress, uint32_t(c.start) * 8);
  }
}

TEST(PpiReadJob, SecondInterfaceStringCountsTheFirstItemsLength) {
  Group group(ppi::kAreaV, 2, 200, 200, ppi::kTypeString);
  group.Add(200, ppi::kTypeString, 20);
  const Bytes job = Build(group, Interface::kSecond);
  ASSERT_EQ(job.size(), 33u);
  EXPECT_EQ(job[24], 20);

  group.Item(0).bitOrLength = 0;
  EXPECT_TRUE(Build(group, Interface::kSecond).empty());
  group.Item(0).bitOrLength = 128;
  EXPECT_TRUE(Build(group, Interface::kSecond).empty());
}

TEST(PpiReadJob, FirstInterfaceCountsToTheFurthestItemEnd) {
  // The group's end covers only the int32's first byte; the count still reaches its last byte.
  Group group(ppi::kAreaV, 2, 100, 104, ppi::kTypeByte);
  group.Add(100, ppi::kTypeByte);
  group.Add(104, ppi::kTypeInt32);
  Bytes job = Build(group, Interface::kFirst);
  ASSERT_EQ(job.size(), 33u);
  EXPECT_EQ(job[24], 8);
  // The second interface counts the span.
  EXPECT_EQ(Build(group, Interface::kSecond)[24], 5);

  Group single(ppi::kAreaV, 2, 9, 9, ppi::kTypeBit);
  single.Add(9, ppi::kTypeBit, 4);
  EXPECT_EQ(Build(single, Interface::kFirst)[24], 1);
}

TEST(PpiReadJob, FirstInterfaceBitAddressesAreSixteenBits) {
  Group low(ppi::kAreaV, 2, 8000, 8000, ppi::kTypeByte);
  low.Add(8000, ppi::kTypeByte);
  const Bytes job = Build(low, Interface::kFirst);
  ASSERT_EQ(job.size(), 33u);
  EXPECT_EQ(job[28], 0x00);
  EXPECT_EQ(job[29], 0xFA);  // 64000
  EXPECT_EQ(job[30], 0x00);

  // V8192 and above cannot be expressed in 16 bits: refused rather than wrapped to V0.
  Group high(ppi::kAreaV, 2, 8192, 8192, ppi::kTypeByte);
  high.Add(8192, ppi::kTypeByte);
  EXPECT_TRUE(Build(high, Interface::kFirst).empty());
  const Bytes ex = Build(high, Interface::kSecond);
  ASSERT_EQ(ex.size(), 33u);
  EXPECT_EQ(ex[28], 0x01);
  EXPECT_EQ(ex[29], 0x00);
  EXPECT_EQ(ex[30], 0x00);
}

TEST(PpiReadJob, Refusals) {
  {
    Group bcd(ppi::kAreaV, 2, 10, 10, ppi::kTypeBcd16);  // no byte count for this type
    bcd.Add(10, ppi::kTypeBcd16);
    EXPECT_TRUE(Build(bcd, Interface::kSecond).empty());
    EXPECT_TRUE(Build(bcd, Interface::kFirst).empty());
  }
  for (int area : {ppi::kAreaDelay, ppi::kAreaCount, 0xFFFF}) {
    Group group(area, 2, 0, 0, ppi::kTypeUint16);
    group.Add(0, ppi::kTypeUint16);
    EXPECT_TRUE(Build(group, Interface::kSecond).empty()) << area;
  }
  {
    Group string(ppi::kAreaV, 2, 200, 200, ppi::kTypeString);
    string.Add(200, ppi::kTypeString, 5);
    EXPECT_TRUE(Build(string, Interface::kFirst).empty());
  }
  {
    Group backwards(ppi::kAreaI, 2, 10, 9, ppi::kTypeByte);
    backwards.Add(10, ppi::kTypeByte);
    EXPECT_TRUE(Build(backwards, Interface::kSecond).empty());
  }
  {
    Group flag(ppi::kAreaV, 2, 10, 10, ppi::kTypeByte, 2);  // neither read nor write
    flag.Add(10, ppi::kTypeByte);
    EXPECT_TRUE(Build(flag, Interface::kSecond).empty());
  }
  {
    Group group(ppi::kAreaV, 2, 100, 100, ppi::kTypeInt16);
    group.Add(100, ppi::kTypeInt16);
    std::array<uint8_t, 32> small{};
    EXPECT_EQ(ppi::BuildJob(group.g, Interface::kSecond, small), 0u);
  }
}

// ---------------------------------------------------------------------------------------------
// Write jobs through the second interface

TEST(PpiWriteJobEx, BitInVHasPadByte) {
  Group group(ppi::kAreaV, 2, 10, 10, ppi::kTypeBit, 1);
  group.Add(10, ppi::kTypeBit, 3, 1);
  const Bytes expected = {0x68, 0x21, 0x21, 0x68, 0x02, 0x00, 0x7C, 0x32, 0x01, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x0E, 0x00, 0x06, 0x05, 0x01, 0x12,
                          0x0A, 0x10, 0x01, 0x00, 0x01, 0x00, 0x01, 0x84, 0x00, 0x00,
                          0x53, 0x00, 0x03, 0x00, 0x01, 0x01, 0x00, 0xD6, 0x16};
  EXPECT_EQ(Build(group, Interface::kSecond), expected);

  // Q is laid out like V.
  Group q(ppi::kAreaQ, 2, 10, 10, ppi::kTypeBit, 1);
  q.Add(10, ppi::kTypeBit, 3, 0);
  const Bytes job = Build(q, Interface::kSecond);
  ASSERT_EQ(job.size(), 39u);
  EXPECT_EQ(job[27], 0x82);
  EXPECT_EQ(job[35], 0x00);
}

TEST(PpiWriteJobEx, BitInMHasNoPadByte) {
  Group group(ppi::kAreaM, 2, 3, 3, ppi::kTypeBit, 1);
  group.Add(3, ppi::kTypeBit, 7, 1);
  const Bytes expected = {0x68, 0x20, 0x20, 0x68, 0x02, 0x00, 0x7C, 0x32, 0x01, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x0E, 0x00, 0x05, 0x05, 0x01, 0x12,
                          0x0A, 0x10, 0x01, 0x00, 0x01, 0x00, 0x00, 0x83, 0x00, 0x00,
                          0x1F, 0x00, 0x03, 0x00, 0x01, 0x01, 0x9F, 0x16};
  EXPECT_EQ(Build(group, Interface::kSecond), expected);
}

TEST(PpiWriteJobEx, ValueLayoutsByType) {
  struct Case {
    uint16_t type;
    int32_t value;
    Bytes data;  // bytes 35.. before the FCS
    uint8_t le, dataLength, count, bits;
  };
  const Case cases[] = {
      {ppi::kTypeByte, 0x1A5, {0xA5}, 0x20, 5, 1, 8},  // low 8 bits only
      {ppi::kTypeInt16, 0x12345678, {0x56, 0x78}, 0x21, 6, 2, 16},
      {ppi::kTypeUint16, 0xFFFE, {0xFF, 0xFE}, 0x21, 6, 2, 16},
      {ppi::kTypeInt32, 0x12345678, {0x12, 0x34, 0x56, 0x78}, 0x23, 8, 4, 32},
      {ppi::kTypeFloat, 0x3FC00000, {0x3F, 0xC0, 0x00, 0x00}, 0x23, 8, 4, 32},  // 1.5f
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.type);
    Group group(ppi::kAreaV, 2, 300, 300, c.type, 1);
    group.Add(300, c.type, 0, c.value);
    const Bytes job = Build(group, Interface::kSecond);
    ASSERT_EQ(job.size(), c.le + 6u);
    EXPECT_EQ(job[1], c.le);
    EXPECT_EQ(job[2], c.le);
    EXPECT_EQ(job[6], 0x6C);
    EXPECT_EQ(job[16], c.dataLength);
    EXPECT_EQ(job[17], 0x05);
    EXPECT_EQ(job[22], 0x02);
    EXPECT_EQ(job[24], c.count);
    EXPECT_EQ((Bytes{job[28], job[29], job[30]}), (Bytes{0x00, 0x09, 0x60}));  // 300 × 8
    EXPECT_EQ(job[31], 0x00);
    EXPECT_EQ(job[32], 0x04);
    EXPECT_EQ(job[34], c.bits);
    EXPECT_EQ(Bytes(job.begin() + 35, job.end() - 2), c.data);
    uint8_t sum = 0;
    for (std::size_t i = 4; i < job.size() - 2; ++i)
      sum = static_cast<uint8_t>(sum + job[i]);
    EXPECT_EQ(job[job.size() - 2], sum);
    EXPECT_EQ(job.back(), 0x16);
  }
}

TEST(PpiWriteJobEx, StringOfFiveCharactersKnownAnswer) {
  Group group(ppi::kAreaV, 2, 200, 200, ppi::kTypeString, 1);
  group.g.bitOrLength = 5;
  group.Add(200, ppi::kTypeString, 5, platform::GlobalAddAtomA("hello"));
  const Bytes expected = {0x68, 0x25, 0x25, 0x68, 0x02, 0x00, 0x6C, 0x32, 0x01, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x0E, 0x00, 0x0A, 0x05, 0x01, 0x12, 0x0A, 0x10,
                          0x02, 0x00, 0x06, 0x00, 0x01, 0x84, 0x00, 0x06, 0x40, 0x00, 0x04,
                          0x00, 0x30, 0x68, 0x65, 0x6C, 0x6C, 0x6F, 0x00, 0x06, 0x16};
  EXPECT_EQ(Build(group, Interface::kSecond), expected);
}

TEST(PpiWriteJobEx, StringTakesOnlyTheAtomsOwnText) {
  Group group(ppi::kAreaV, 2, 200, 200, ppi::kTypeString, 1);
  group.g.bitOrLength = 5;
  GroupItem& item = group.Add(200, ppi::kTypeString, 5, platform::GlobalAddAtomA("hi"));
  Bytes job = Build(group, Interface::kSecond);
  ASSERT_EQ(job.size(), 43u);
  EXPECT_EQ(Bytes(job.begin() + 35, job.begin() + 41), (Bytes{'h', 'i', 0, 0, 0, 0}));

  item.value = platform::GlobalAddAtomA("hello world");  // longer than the tag: cut to 5
  job = Build(group, Interface::kSecond);
  ASSERT_EQ(job.size(), 43u);
  EXPECT_EQ(Bytes(job.begin() + 35, job.begin() + 41), (Bytes{'h', 'e', 'l', 'l', 'o', 0}));

  item.value = 0;  // no atom: the empty text
  job = Build(group, Interface::kSecond);
  ASSERT_EQ(job.size(), 43u);
  EXPECT_EQ(Bytes(job.begin() + 35, job.begin() + 41), Bytes(6, 0));

  item.value = 0xBFFF;  // not an atom handle at all
  EXPECT_TRUE(Build(group, Interface::kSecond).empty());

  item.value = platform::GlobalAddAtomA("x");
  group.g.bitOrLength = 0;
  EXPECT_TRUE(Build(group, Interface::kSecond).empty());
  group.g.bitOrLength = 128;
  EXPECT_TRUE(Build(group, Interface::kSecond).empty());
  group.g.bitOrLength = 127;
  EXPECT_EQ(Build(group, Interface::kSecond).size(), 127u + 38u);
}

TEST(PpiWriteJob, RefusalsOnBothInterfaces) {
  for (Interface via : {Interface::kSecond, Interface::kFirst}) {
    SCOPED_TRACE(via == Interface::kFirst ? "first" : "second");
    for (uint16_t type : {ppi::kTypeBit, ppi::kTypeByte}) {
      Group input(ppi::kAreaI, 2, 0, 0, type, 1);  // inputs cannot be written
      input.Add(0, type, 1, 1);
      EXPECT_TRUE(Build(input, via).empty());
    }
    for (int area : {ppi::kAreaDelay, ppi::kAreaCount}) {
      Group group(area, 2, 0, 0, ppi::kTypeUint16, 1);
      group.Add(0, ppi::kTypeUint16, 0, 100);
      EXPECT_TRUE(Build(group, via).empty());
    }
    for (uint16_t type : {ppi::kTypeBcd16, ppi::kTypeBcd32, uint16_t{0}, uint16_t{3}}) {
      Group group(ppi::kAreaV, 2, 0, 0, type, 1);
      group.Add(0, type, 0, 1);
      EXPECT_TRUE(Build(group, via).empty()) << type;
    }
    Group badBit(ppi::kAreaV, 2, 0, 0, ppi::kTypeBit, 1);
    badBit.g.bitOrLength = 8;
    badBit.Add(0, ppi::kTypeBit, 8, 1);
    EXPECT_TRUE(Build(badBit, via).empty());

    Group empty(ppi::kAreaV, 2, 0, 0, ppi::kTypeByte, 1);
    EXPECT_TRUE(Build(empty, via).empty());
  }
  Group string(ppi::kAreaV, 2, 200, 200, ppi::kTypeString, 1);
  string.g.bitOrLength = 5;
  string.Add(200, ppi::kTypeString, 5, platform::GlobalAddAtomA("hello"));
  EXPECT_TRUE(Build(string, Interface::kFirst).empty());
}

// ---------------------------------------------------------------------------------------------
// Write jobs through the first interface

TEST(PpiWriteJobFirst, BitWritesToVAndMTakeTheGroupsBitAndNoPad) {
  for (int area : {ppi::kAreaV, ppi::kAreaM}) {
    Group group(area, 2, 10, 10, ppi::kTypeBit, 1);
    group.g.bitOrLength = 3;
    group.Add(10, ppi::kTypeBit, 6, 1);  // the item's own bit number is not used here
    const Bytes job = Build(group, Interface::kFirst);
    ASSERT_EQ(job.size(), 38u) << area;
    EXPECT_EQ(job[1], 0x20);
    EXPECT_EQ(job[6], 0x7C);
    EXPECT_EQ(job[16], 5);
    EXPECT_EQ(job[22], 0x01);
    EXPECT_EQ((Bytes{job[28], job[29], job[30]}), (Bytes{0x00, 0x00, 0x53}));
    EXPECT_EQ(job[35], 0x01);
    EXPECT_EQ(job[37], 0x16);
  }
}

TEST(PpiWriteJobFirst, BitWriteToQIsTheUserDataJob) {
  Group group(ppi::kAreaQ, 2, 1, 1, ppi::kTypeBit, 1);
  group.g.bitOrLength = 2;
  group.Add(1, ppi::kTypeBit, 2, 1);
  const Bytes expected = {0x68, 0x2E, 0x2E, 0x68, 0x02, 0x00, 0x7C, 0x32, 0x07, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x0C, 0x00, 0x15, 0x00, 0x01, 0x12, 0x08, 0x12,
                          0x48, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x09, 0x00, 0x0C,
                          0x00, 0x01, 0x10, 0x01, 0x00, 0x01, 0x00, 0x00, 0x82, 0x00, 0x00,
                          0x0A, 0x00, 0x03, 0x00, 0x01, 0x01, 0x13, 0x16};
  EXPECT_EQ(Build(group, Interface::kFirst), expected);

  // Q8192 and above would wrap in the 16-bit bit address.
  Group high(ppi::kAreaQ, 2, 8192, 8192, ppi::kTypeBit, 1);
  high.Add(8192, ppi::kTypeBit, 0, 1);
  EXPECT_TRUE(Build(high, Interface::kFirst).empty());
}

TEST(PpiWriteJobFirst, OtherTypesKeepTheTableLayoutWithSixteenBitAddresses) {
  Group group(ppi::kAreaV, 2, 300, 300, ppi::kTypeInt32, 1);
  group.Add(300, ppi::kTypeInt32, 0, 0x01020304);
  const Bytes job = Build(group, Interface::kFirst);
  ASSERT_EQ(job.size(), 41u);
  EXPECT_EQ(job[28], 0x00);
  EXPECT_EQ(Bytes(job.begin() + 35, job.begin() + 39), (Bytes{1, 2, 3, 4}));

  Group high(ppi::kAreaV, 2, 9000, 9000, ppi::kTypeInt32, 1);
  high.Add(9000, ppi::kTypeInt32, 0, 1);
  EXPECT_TRUE(Build(high, Interface::kFirst).empty());
  EXPECT_EQ(Build(high, Interface::kSecond).size(), 41u);
}

// ---------------------------------------------------------------------------------------------
// Replies

TEST(PpiReply, StationsReadReplyDecodesTheValue) {
  // V100 = 12 34 from station 2, as a station sends it.
  const Bytes reply = {0x68, 0x17, 0x17, 0x68, 0x00, 0x02, 0x08, 0x32, 0x03, 0x00,
                       0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x06, 0x00, 0x00, 0x04,
                       0x01, 0xFF, 0x04, 0x00, 0x10, 0x12, 0x34, 0xA5, 0x16};
  Group group(ppi::kAreaV, 2, 100, 100, ppi::kTypeInt16);
  GroupItem& item = group.Add(100, ppi::kTypeInt16);
  ASSERT_EQ(ppi::HandleReply(reply, group.g, Interface::kSecond, kNow), 1);
  EXPECT_EQ(item.value, 0x1234);
  EXPECT_EQ(item.quality, 192);
  EXPECT_EQ(item.updateTime.dwLowDateTime, kNow.dwLowDateTime);
  EXPECT_EQ(item.updateTime.dwHighDateTime, kNow.dwHighDateTime);
}

TEST(PpiReply, FailedChecksLeaveEveryItemUntouched) {
  const Bytes good = ReadReply({0x12, 0x34, 0x56, 0x78});
  Bytes badFcs = good;
  badFcs[badFcs.size() - 2] ^= 1;
  const Bytes itemError = ReadReply({0x12, 0x34, 0x56, 0x78}, 0x0A);
  struct Case {
    const char* name;
    const Bytes& reply;
    Interface via;
  };
  const Case cases[] = {{"bad FCS, second", badFcs, Interface::kSecond},
                        {"bad FCS, first", badFcs, Interface::kFirst},
                        {"return code, second", itemError, Interface::kSecond},
                        {"return code, first", itemError, Interface::kFirst}};
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    Group group(ppi::kAreaV, 2, 100, 103, ppi::kTypeInt16);
    GroupItem& a = group.Add(100, ppi::kTypeInt16, 0, 7);
    GroupItem& b = group.Add(102, ppi::kTypeInt16, 0, 8);
    a.bitOrLength = b.bitOrLength = 9;  // the first interface's value field
    EXPECT_EQ(ppi::HandleReply(c.reply, group.g, c.via, kNow), 0);
    EXPECT_EQ(a.value, 7);
    EXPECT_EQ(b.value, 8);
    EXPECT_EQ(a.bitOrLength, 9);
    EXPECT_EQ(b.bitOrLength, 9);
    EXPECT_EQ(a.quality, 0);
  }
}

TEST(PpiReply, FirstInterfaceChecksTheReturnCodeToo) {
  // A refused read whose reply still carries data bytes: they are not taken as the value.
  const Bytes reply = ReadReply({0x12, 0x34}, 0x0A);
  Group group(ppi::kAreaV, 2, 100, 100, ppi::kTypeInt16);
  GroupItem& item = group.Add(100, ppi::kTypeInt16, 0x5555);
  EXPECT_EQ(ppi::HandleReply(reply, group.g, Interface::kFirst, kNow), 0);
  EXPECT_EQ(item.bitOrLength, 0x5555);
  EXPECT_EQ(item.value, 0);
  EXPECT_EQ(item.quality, 0);  // the first interface has no quality
}

TEST(PpiReply, WriteReplyCompletesWithoutTouchingItems) {
  const Bytes reply = {0x68, 0x12, 0x12, 0x68, 0x00, 0x02, 0x08, 0x32, 0x03, 0x00, 0x00, 0x00,
                       0x00, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00, 0x05, 0x01, 0xFF, 0x47, 0x16};
  for (Interface via : {Interface::kSecond, Interface::kFirst}) {
    Group group(ppi::kAreaV, 2, 100, 100, ppi::kTypeInt16, 1);
    GroupItem& item = group.Add(100, ppi::kTypeInt16, 0, 55);
    EXPECT_EQ(ppi::HandleReply(reply, group.g, via, kNow), 1);
    EXPECT_EQ(item.value, 55);
    EXPECT_EQ(item.bitOrLength, 0);
    EXPECT_EQ(item.quality, 0);
  }
  Bytes refused = reply;
  refused[21] = 0x05;
  refused[22] = static_cast<uint8_t>(refused[22] - 0xFF + 0x05);
  Group group(ppi::kAreaV, 2, 100, 100, ppi::kTypeInt16, 1);
  group.Add(100, ppi::kTypeInt16, 0, 55);
  EXPECT_EQ(ppi::HandleReply(refused, group.g, Interface::kSecond, kNow), 0);
  EXPECT_EQ(ppi::HandleReply(refused, group.g, Interface::kFirst, kNow), 0);
}

TEST(PpiReply, UserDataReplyIsCheckedByItsFcsOnly) {
  // The reply to the first interface's bit write to Q: byte 21 is a parameter byte, not a
  // return code.
  const Bytes reply = {0x68, 0x1D, 0x1D, 0x68, 0x00, 0x02, 0x08, 0x32, 0x07, 0x00, 0x00, 0x00,
                       0x00, 0x00, 0x0C, 0x00, 0x04, 0x00, 0x01, 0x12, 0x08, 0x12, 0x88, 0x0E,
                       0x00, 0x00, 0x00, 0x00, 0x00, 0xFF, 0x09, 0x00, 0x00, 0x1E, 0x16};
  Group q(ppi::kAreaQ, 2, 3, 3, ppi::kTypeBit, 1);
  GroupItem& item = q.Add(3, ppi::kTypeBit, 4, 1);
  ASSERT_TRUE(ppi::IsUserDataJob(q.g, Interface::kFirst));
  EXPECT_EQ(ppi::HandleReply(reply, q.g, Interface::kFirst, kNow), 1);
  EXPECT_EQ(item.value, 1);
  Bytes badFcs = reply;
  badFcs[badFcs.size() - 2] ^= 1;
  EXPECT_EQ(ppi::HandleReply(badFcs, q.g, Interface::kFirst, kNow), 0);

  // Every other job's reply needs its return code, the same bit through the second interface
  // and a bit of M through the first included.
  EXPECT_FALSE(ppi::IsUserDataJob(q.g, Interface::kSecond));
  EXPECT_EQ(ppi::HandleReply(reply, q.g, Interface::kSecond, kNow), 0);
  Group m(ppi::kAreaM, 2, 3, 3, ppi::kTypeBit, 1);
  m.Add(3, ppi::kTypeBit, 4, 1);
  EXPECT_FALSE(ppi::IsUserDataJob(m.g, Interface::kFirst));
  EXPECT_EQ(ppi::HandleReply(reply, m.g, Interface::kFirst, kNow), 0);
  Group qByte(ppi::kAreaQ, 2, 3, 3, ppi::kTypeByte, 1);
  qByte.Add(3, ppi::kTypeByte, 0, 1);
  EXPECT_FALSE(ppi::IsUserDataJob(qByte.g, Interface::kFirst));
  Group qRead(ppi::kAreaQ, 2, 3, 3, ppi::kTypeBit);
  qRead.Add(3, ppi::kTypeBit, 4);
  EXPECT_FALSE(ppi::IsUserDataJob(qRead.g, Interface::kFirst));
}

TEST(PpiReply, OneStrayAcknowledgementBeforeTheReplyIsDropped) {
  Bytes reply = ReadReply({0x12, 0x34});
  reply.insert(reply.begin(), 0xE5);
  for (Interface via : {Interface::kSecond, Interface::kFirst}) {
    Group group(ppi::kAreaV, 2, 100, 100, ppi::kTypeInt16);
    GroupItem& item = group.Add(100, ppi::kTypeInt16);
    ASSERT_EQ(ppi::HandleReply(reply, group.g, via, kNow), 1);
    EXPECT_EQ(via == Interface::kSecond ? item.value : item.bitOrLength, 0x1234);
  }
  // Only one: a second stray byte is garbage, and the frame is refused.
  Bytes twice = reply;
  twice.insert(twice.begin(), 0xE5);
  Group group(ppi::kAreaV, 2, 100, 100, ppi::kTypeInt16);
  GroupItem& item = group.Add(100, ppi::kTypeInt16, 0, 7);
  EXPECT_EQ(ppi::HandleReply(twice, group.g, Interface::kSecond, kNow), 0);
  EXPECT_EQ(item.value, 7);
  EXPECT_TRUE(ppi::WithoutStrayAck(Bytes{0xE5}).empty());
  EXPECT_TRUE(ppi::WithoutStrayAck(Bytes{}).empty());
}

TEST(PpiReply, DecodesEveryTypeThroughTheSecondInterface) {
  // V100.. = A5 80 01 FF FE 3F C0 00 00 'a' 'b' 'c' 00
  const Bytes reply =
      ReadReply({0xA5, 0x80, 0x01, 0xFF, 0xFE, 0x3F, 0xC0, 0x00, 0x00, 'a', 'b', 'c', 0x00});
  Group group(ppi::kAreaV, 2, 100, 112, ppi::kTypeBit);
  GroupItem& bit0 = group.Add(100, ppi::kTypeBit, 0, 0x7777);
  GroupItem& bit1 = group.Add(100, ppi::kTypeBit, 1, 0x7777);
  GroupItem& byte = group.Add(100, ppi::kTypeByte, 0, 0x11223344);
  GroupItem& i16 = group.Add(101, ppi::kTypeInt16, 0, 0x11223344);
  GroupItem& u16 = group.Add(103, ppi::kTypeUint16, 0, 0x11223344);
  GroupItem& i32 = group.Add(101, ppi::kTypeInt32, 0, 0x11223344);
  GroupItem& f32 = group.Add(105, ppi::kTypeFloat);
  GroupItem& str = group.Add(109, ppi::kTypeString, 4, static_cast<int32_t>(0xABCD0000u));
  ASSERT_EQ(ppi::HandleReply(reply, group.g, Interface::kSecond, kNow), 1);

  EXPECT_EQ(bit0.value, 1);
  EXPECT_EQ(bit1.value, 0);
  EXPECT_EQ(byte.value, 0x112233A5);  // only the low 8 bits are replaced
  EXPECT_EQ(i16.value, 0x11228001);   // only the low 16 bits
  EXPECT_EQ(u16.value, 0x0000FFFE);   // zero-extended
  EXPECT_EQ(i32.value, static_cast<int32_t>(0x8001FFFEu));
  float f = 0;
  std::memcpy(&f, &f32.value, sizeof f);
  EXPECT_EQ(f, 1.5f);
  EXPECT_EQ(static_cast<uint32_t>(str.value) >> 16, 0xABCDu);
  char name[64] = {};
  platform::GlobalGetAtomNameA(static_cast<ATOM>(str.value & 0xFFFF), name, sizeof name);
  EXPECT_STREQ(name, "abc");
  for (int i = 0; i < 8; ++i) {
    EXPECT_EQ(group.Item(i).quality, 192) << i;
    EXPECT_EQ(group.Item(i).updateTime.dwLowDateTime, kNow.dwLowDateTime) << i;
  }
}

TEST(PpiReply, DecodesThroughTheFirstInterfaceIntoOffset12) {
  const Bytes reply = ReadReply({0x04, 0x80, 0x01, 0xFF, 0xFE});
  Group group(ppi::kAreaV, 2, 100, 104, ppi::kTypeBit);
  GroupItem& bit = group.Add(100, ppi::kTypeBit);
  bit.bitNumber = 2;  // the first interface's bit number lives at offset 6
  bit.bitOrLength = 0;
  // Offset 12 is the first interface's value field: these are the values before the read.
  GroupItem& byte = group.Add(100, ppi::kTypeByte, 0x55667788);
  GroupItem& i16 = group.Add(101, ppi::kTypeInt16, 0x55667788);
  GroupItem& u16 = group.Add(103, ppi::kTypeUint16, 0x55667788);
  ASSERT_EQ(ppi::HandleReply(reply, group.g, Interface::kFirst, kNow), 1);
  EXPECT_EQ(bit.bitOrLength, 1);
  EXPECT_EQ(byte.bitOrLength, 0x55667704);
  EXPECT_EQ(i16.bitOrLength, 0x55668001);
  EXPECT_EQ(u16.bitOrLength, 0xFFFE);
  for (int i = 0; i < 4; ++i) {
    EXPECT_EQ(group.Item(i).value, 0) << i;
    EXPECT_EQ(group.Item(i).quality, 0) << i;
  }
}

TEST(PpiReply, AFailingItemStopsTheWalkAndEarlierItemsKeepTheirValues) {
  const Bytes reply = ReadReply({0x01, 0x02, 0x03, 0x04});
  {
    Group group(ppi::kAreaV, 2, 100, 103, ppi::kTypeByte);
    GroupItem& first = group.Add(100, ppi::kTypeByte);
    GroupItem& unknown = group.Add(101, ppi::kTypeBcd16, 0, 99);
    GroupItem& after = group.Add(102, ppi::kTypeByte, 0, 42);
    EXPECT_EQ(ppi::HandleReply(reply, group.g, Interface::kSecond, kNow), 0);
    EXPECT_EQ(first.value, 1);
    EXPECT_EQ(first.quality, 192);
    EXPECT_EQ(unknown.value, 0);  // unknown type: 0 and the walk ends
    EXPECT_EQ(unknown.quality, 0);
    EXPECT_EQ(after.value, 42);
    EXPECT_EQ(after.quality, 0);
  }
  {
    Group group(ppi::kAreaV, 2, 100, 103, ppi::kTypeByte);
    GroupItem& first = group.Add(100, ppi::kTypeByte);
    GroupItem& string = group.Add(101, ppi::kTypeString, 3, 77);
    string.bitOrLength = 77;
    EXPECT_EQ(ppi::HandleReply(reply, group.g, Interface::kFirst, kNow), 0);
    EXPECT_EQ(first.bitOrLength, 1);
    EXPECT_EQ(string.bitOrLength, 0);  // strings are not read through the first interface
  }
}

TEST(PpiReply, TruncatedRepliesFailInsteadOfReadingPastTheData) {
  // Two data bytes arrived for a group that expects four.
  const Bytes shortData = ReadReply({0x01, 0x02});
  for (Interface via : {Interface::kSecond, Interface::kFirst}) {
    Group group(ppi::kAreaV, 2, 100, 103, ppi::kTypeInt16);
    GroupItem& first = group.Add(100, ppi::kTypeInt16, 0, 5);
    GroupItem& second = group.Add(102, ppi::kTypeInt16, 0, 6);
    second.bitOrLength = 6;
    EXPECT_EQ(ppi::HandleReply(shortData, group.g, via, kNow), 0);
    EXPECT_EQ(via == Interface::kSecond ? first.value : first.bitOrLength, 0x0102);
    EXPECT_EQ(second.value, 6);
    EXPECT_EQ(second.bitOrLength, 6);
  }
  // A string whose bytes run into the FCS.
  {
    Group group(ppi::kAreaV, 2, 100, 100, ppi::kTypeString);
    GroupItem& string = group.Add(100, ppi::kTypeString, 3, 0);
    EXPECT_EQ(ppi::HandleReply(shortData, group.g, Interface::kSecond, kNow), 0);
    EXPECT_EQ(string.value, 0);
  }
  // Too short for the FCS position, or for the return code in front of the FCS; the error reply
  // of a station carries no data at all.
  const Bytes header = {0x68, 0x00, 0x00, 0x68, 0x00};
  const Bytes endsAtReturnCode = {0x68, 0x12, 0x12, 0x68, 0x00, 0x02, 0x08, 0x32,
                                  0x03, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00,
                                  0x00, 0x00, 0x00, 0x05, 0x01, 0x47, 0x16};  // FCS at byte 21
  const Bytes errorReply = {0x68, 0x15, 0x15, 0x68, 0x00, 0x02, 0x08, 0x32, 0x03,
                            0x00, 0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x04, 0x00,
                            0x00, 0x04, 0x01, 0x05, 0x00, 0x00, 0x00, 0x4F, 0x16};
  EXPECT_FALSE(ppi::CheckFcs({}));
  EXPECT_FALSE(ppi::CheckFcs(header));
  EXPECT_FALSE(ppi::CheckReply(Bytes{0xE5}));
  EXPECT_TRUE(ppi::CheckFcs(endsAtReturnCode));
  EXPECT_FALSE(ppi::CheckReply(endsAtReturnCode));
  ASSERT_TRUE(ppi::CheckFcs(errorReply));
  EXPECT_FALSE(ppi::CheckReply(errorReply));
  Group group(ppi::kAreaV, 2, 100, 100, ppi::kTypeByte);
  GroupItem& item = group.Add(100, ppi::kTypeByte, 0, 0);
  item.bitOrLength = 0x33;
  EXPECT_EQ(ppi::HandleReply(errorReply, group.g, Interface::kFirst, kNow), 0);
  EXPECT_EQ(item.bitOrLength, 0x33);
}

// ---------------------------------------------------------------------------------------------
// DELAY groups

TEST(PpiDelayGroup, ReadGivesThePollDelayByAddress) {
  int32_t d0 = 50, d1 = 70;
  Group group(ppi::kAreaDelay, 2, 0, 0, ppi::kTypeUint16);
  GroupItem& first = group.Add(0, ppi::kTypeUint16);
  GroupItem& second = group.Add(1, ppi::kTypeUint16);
  ASSERT_TRUE(ppi::IsDelayGroup(group.g));
  std::array<uint8_t, 64> frame{};
  EXPECT_EQ(ppi::BuildJob(group.g, Interface::kSecond, frame), 0u);
  EXPECT_EQ(ppi::ApplyDelayGroup(group.g, Interface::kSecond, kNow, d0, d1), 1);
  EXPECT_EQ(first.value, 50);
  EXPECT_EQ(second.value, 70);
  EXPECT_EQ(second.quality, 192);
  EXPECT_EQ(second.updateTime.dwHighDateTime, kNow.dwHighDateTime);

  d0 = 11;
  EXPECT_EQ(ppi::ApplyDelayGroup(group.g, Interface::kFirst, kNow, d0, d1), 1);
  EXPECT_EQ(first.bitOrLength, 11);
  EXPECT_EQ(first.value, 50);
}

TEST(PpiDelayGroup, WriteStoresAndClampsBoth) {
  int32_t d0 = 5, d1 = 50;  // d0 below the limit before the write
  Group group(ppi::kAreaDelay, 2, 1, 1, ppi::kTypeUint16, 1);
  GroupItem& item = group.Add(1, ppi::kTypeUint16, 0, 40000);
  EXPECT_EQ(ppi::ApplyDelayGroup(group.g, Interface::kSecond, kNow, d0, d1), 1);
  EXPECT_EQ(d1, 30000);
  EXPECT_EQ(d0, 10);
  EXPECT_EQ(item.quality, 192);

  Group zero(ppi::kAreaDelay, 2, 0, 0, ppi::kTypeUint16, 1);
  GroupItem& z = zero.Add(0, ppi::kTypeUint16, 0, 120);
  EXPECT_EQ(ppi::ApplyDelayGroup(zero.g, Interface::kFirst, kNow, d0, d1), 1);
  EXPECT_EQ(d0, 120);
  EXPECT_EQ(d1, 30000);
  EXPECT_EQ(z.quality, 0);

  zero.g.writeFlag = 2;  // neither read nor write: success, nothing happens
  z.value = 999;
  EXPECT_EQ(ppi::ApplyDelayGroup(zero.g, Interface::kSecond, kNow, d0, d1), 1);
  EXPECT_EQ(d0, 120);
  EXPECT_EQ(z.quality, 0);

  Group empty(ppi::kAreaDelay, 2, 0, 0, ppi::kTypeUint16, 1);
  EXPECT_EQ(ppi::ApplyDelayGroup(empty.g, Interface::kSecond, kNow, d0, d1), 0);
}

// ---------------------------------------------------------------------------------------------
// Reply length for the transport

TEST(PpiReplyLength, CompleteOnceLePlusSixBytesArrived) {
  EXPECT_EQ(ppi::ExpectedReplyLength({}), 0u);
  EXPECT_EQ(ppi::ExpectedReplyLength(Bytes{0x68}), 0u);
  EXPECT_EQ(ppi::ExpectedReplyLength(Bytes{0x68, 0x17}), 29u);
  EXPECT_EQ(ppi::ExpectedReplyLength(Bytes{0xE5, 0x68}), 0u);
  // The stray acknowledgement is one byte more to wait for.
  EXPECT_EQ(ppi::ExpectedReplyLength(Bytes{0xE5, 0x68, 0x17}), 30u);

  Bytes reply = ReadReply({0x12, 0x34});
  ASSERT_EQ(reply.size(), 29u);
  EXPECT_TRUE(ppi::ReplyLooksComplete(reply));
  reply.pop_back();
  EXPECT_FALSE(ppi::ReplyLooksComplete(reply));
  EXPECT_FALSE(ppi::ReplyLooksComplete(Bytes{0xE5}));
  reply.push_back(0x16);
  reply.insert(reply.begin(), 0xE5);
  EXPECT_TRUE(ppi::ReplyLooksComplete(reply));
  reply.pop_back();  // the end delimiter is still to come
  EXPECT_FALSE(ppi::ReplyLooksComplete(reply));
}

// The transport's reply step keeps the located frame and takes it only when it answers the job.
TEST(PpiReplyLength, OnlyAFrameThatAnswersTheJobIsTaken) {
  Group v(ppi::kAreaV, 2, 100, 100, ppi::kTypeInt16);
  v.Add(100, ppi::kTypeInt16);
  Bytes job = Build(v, Interface::kSecond);
  ppi::StampPduReference(job, 7);
  Bytes reply = ReadReply({0x12, 0x34});
  ppi::StampPduReference(reply, 7);

  auto take = [&](const Bytes& received, Bytes* kept) {
    Bytes buffer = received;
    const ppi::TakenReply taken = ppi::TakeReplyFrame(buffer, buffer.size(), job);
    *kept = Bytes(buffer.begin(), buffer.begin() + static_cast<std::ptrdiff_t>(taken.length));
    return taken.answers;
  };
  Bytes received = {0x00, 0xFF, 0x55};
  received.insert(received.end(), reply.begin(), reply.end());
  received.push_back(0xE5);  // after the frame: not part of it
  Bytes kept;
  EXPECT_TRUE(take(received, &kept));
  EXPECT_EQ(kept, reply);

  Bytes foreign = reply;
  ppi::StampPduReference(foreign, 8);
  EXPECT_FALSE(take(foreign, &kept));

  // Bytes with a right FCS but no frame start, and an SD2 frame too short to carry a reference
  // (here from station 3): neither shows that it answers the job. The user-data job's reply is
  // checked by its FCS only, so the codec would have taken both.
  Bytes noStart = reply;
  noStart[0] = noStart[3] = 0x00;
  EXPECT_FALSE(take(noStart, &kept));
  EXPECT_EQ(kept, noStart);
  const Bytes shortFrame = {0x68, 0x03, 0x03, 0x68, 0x00, 0x03, 0x08, 0x0B, 0x16};
  EXPECT_FALSE(take(shortFrame, &kept));
  Group q(ppi::kAreaQ, 2, 3, 3, ppi::kTypeBit, 1);
  q.Add(3, ppi::kTypeBit, 4, 1);
  ASSERT_TRUE(ppi::IsUserDataJob(q.g, Interface::kFirst));
  EXPECT_EQ(ppi::HandleReply(shortFrame, q.g, Interface::kFirst, kNow), 1);
}

}  // namespace
