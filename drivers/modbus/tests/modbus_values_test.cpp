#include "drivers/modbus/modbus_values.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <string>
#include <vector>

#include "drivers/modbus/modbus_address.h"
#include "platform/atoms.h"

namespace {

using namespace modbus;
using Words = std::vector<uint16_t>;

// Registers as they come off the wire: big-endian.
std::vector<uint8_t> Wire(const Words& registers) {
  std::vector<uint8_t> bytes;
  for (uint16_t r : registers) {
    bytes.push_back(static_cast<uint8_t>(r >> 8));
    bytes.push_back(static_cast<uint8_t>(r));
  }
  return bytes;
}

Words Encoded(uint16_t type, int32_t value, bool low = false, int length = 0) {
  std::array<uint16_t, 64> out{};
  const size_t n = EncodeRegisters(type, low, length, value, out);
  return {out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n)};
}

TEST(ModbusValuesNumbers, EveryTypeBothWays) {
  struct Case {
    uint16_t type;
    bool low;
    Words wire;
    int32_t value;
  };
  const int32_t minusOneAndAHalf = std::bit_cast<int32_t>(-1.5f);  // 0xBFC00000
  const Case cases[] = {
      {kTypeByte, false, {0x00AB}, 0xAB},
      {kTypeInt16, false, {0xFFFE}, -2},
      {kTypeInt16, false, {0x7FFF}, 32767},
      {kTypeUint16, false, {0xFFFE}, 65534},
      {kTypeBcd16, false, {0x9876}, 9876},
      {kTypeBcd16, false, {0x0000}, 0},
      {kTypeInt32, false, {0x1234, 0x5678}, 0x12345678},
      {kTypeInt32, true, {0x5678, 0x1234}, 0x12345678},
      {kTypeInt32, false, {0xFFFF, 0xFFFE}, -2},
      {kTypeBcd32, false, {0x9999, 0x9999}, 99999999},
      {kTypeBcd32, true, {0x5678, 0x1234}, 12345678},
      {kTypeFloat, false, {0xBFC0, 0x0000}, minusOneAndAHalf},
      {kTypeFloat, true, {0x0000, 0xBFC0}, minusOneAndAHalf},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.type << (c.low ? " low first " : " ") << c.value);
    int32_t v = 0x5A5A5A5A;
    EXPECT_TRUE(DecodeRegisters(c.type, c.low, 0, Wire(c.wire), &v));
    EXPECT_EQ(v, c.value);
    EXPECT_EQ(Encoded(c.type, c.value, c.low), c.wire);
  }
  // A byte is the register's low half only.
  int32_t v = 0;
  ASSERT_TRUE(DecodeRegisters(kTypeByte, false, 0, Wire({0x12AB}), &v));
  EXPECT_EQ(v, 0xAB);
  EXPECT_EQ(Encoded(kTypeByte, 0x1AB), Words{0xAB});
}

TEST(ModbusValuesNumbers, RefusedValues) {
  for (int32_t bad : {10000, -1})
    EXPECT_EQ(Encoded(kTypeBcd16, bad), Words{}) << bad;
  for (int32_t bad : {100000000, -5})
    EXPECT_EQ(Encoded(kTypeBcd32, bad), Words{}) << bad;
  EXPECT_EQ(Encoded(kTypeBit, 1), Words{});
  EXPECT_EQ(Encoded(512, 1), Words{});
  std::array<uint16_t, 1> one{};
  EXPECT_EQ(EncodeRegisters(kTypeInt32, false, 0, 1, one), 0u);

  int32_t v = 7;
  EXPECT_FALSE(DecodeRegisters(kTypeBcd16, false, 0, Wire({0x12A4}), &v));
  EXPECT_FALSE(DecodeRegisters(kTypeBcd32, true, 0, Wire({0x1234, 0x56F8}), &v));
  EXPECT_FALSE(DecodeRegisters(kTypeFloat, false, 0, Wire({0x1234}), &v));
  EXPECT_FALSE(DecodeRegisters(kTypeInt16, false, 0, std::vector<uint8_t>{0x12}, &v));
  EXPECT_FALSE(DecodeRegisters(kTypeBit, false, 0, Wire({1}), &v));
  EXPECT_FALSE(DecodeRegisters(kTypeInt16 | kTypeUint16, false, 0, Wire({1}), &v));
  EXPECT_EQ(v, 7);
}

TEST(ModbusValuesBits, PackedLsbFirst) {
  const std::vector<uint8_t> packed{0b0000'0101, 0b1000'0000};
  std::string seen;
  for (size_t i = 0; i < 16; ++i) {
    int32_t v = -1;
    ASSERT_TRUE(DecodeBit(packed, i, &v));
    seen += static_cast<char>('0' + v);
  }
  EXPECT_EQ(seen, "1010000000000001");
  int32_t v = -1;
  EXPECT_FALSE(DecodeBit(packed, 16, &v));
  EXPECT_FALSE(DecodeBit({}, 0, &v));
}

// Releases, at the end of a test, every atom it decoded or added.
struct Atoms {
  std::vector<ATOM> held;
  ~Atoms() {
    for (ATOM a : held)
      platform::GlobalDeleteAtom(a);
  }
  ATOM Add(const char* text) { return held.emplace_back(platform::GlobalAddAtomA(text)); }
  std::string Decode(const Words& registers, int length) {
    int32_t v = -1;
    EXPECT_TRUE(DecodeRegisters(kTypeString, false, length, Wire(registers), &v));
    EXPECT_EQ(v & ~0xFFFF, 0);  // the atom alone, in the low 16 bits
    if (v == 0)
      return "";
    held.push_back(static_cast<ATOM>(v));
    char name[256] = {};
    platform::GlobalGetAtomNameA(static_cast<ATOM>(v), name, sizeof name);
    return name;
  }
};

TEST(ModbusValuesStrings, ThroughAtoms) {
  Atoms atoms;
  EXPECT_EQ(atoms.Decode({0x4142, 0x4344, 0x4500}, 5), "ABCDE");
  EXPECT_EQ(atoms.Decode({0x4142, 0x4344, 0x4546}, 5), "ABCDE");  // the sixth byte is not its own
  EXPECT_EQ(atoms.Decode({0x4142, 0x0044}, 4), "AB");
  EXPECT_EQ(atoms.Decode({0x0041}, 2), "");
  int32_t v = 0;
  EXPECT_FALSE(DecodeRegisters(kTypeString, false, 5, Wire({0x4142, 0x4344}), &v));

  const ATOM hello = atoms.Add("Hello");
  EXPECT_EQ(Encoded(kTypeString, hello, false, 5), (Words{0x4865, 0x6C6C, 0x6F00}));
  EXPECT_EQ(Encoded(kTypeString, hello, false, 3), (Words{0x4865, 0x6C00}));
  EXPECT_EQ(Encoded(kTypeString, hello | 0x7FFF0000, false, 8),
            (Words{0x4865, 0x6C6C, 0x6F00, 0x0000}));
  EXPECT_EQ(Encoded(kTypeString, 0, false, 4), (Words{0, 0}));
  EXPECT_EQ(Encoded(kTypeString, hello, false, 128), Words{});
  // A double-byte character that does not fit whole is left out, not cut in half.
  const ATOM wide = atoms.Add("A\xD6\xD0");
  EXPECT_EQ(Encoded(kTypeString, wide, false, 2), (Words{0x4100}));
  EXPECT_EQ(Encoded(kTypeString, wide, false, 3), (Words{0x41D6, 0xD000}));
  // An atom that is not in the table: nothing is sent.
  const ATOM gone = platform::GlobalAddAtomA("gone");
  platform::GlobalDeleteAtom(gone);
  EXPECT_EQ(Encoded(kTypeString, gone, false, 4), Words{});
}

TEST(ModbusValuesStrings, FullAtomTableIsAFailedRead) {
  Atoms atoms;
  for (int i = 0; i < 20000; ++i) {
    const std::string name = "modbus-values-fill-" + std::to_string(i);
    if (atoms.Add(name.c_str()) == 0)
      break;
  }
  ASSERT_EQ(atoms.held.back(), 0) << "the atom table never filled";
  atoms.held.pop_back();
  int32_t v = 7;
  EXPECT_FALSE(DecodeRegisters(kTypeString, false, 2, Wire({0x5A5A}), &v));
  EXPECT_EQ(v, 7);
}

}  // namespace
