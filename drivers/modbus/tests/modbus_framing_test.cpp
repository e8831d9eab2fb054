#include "drivers/modbus/modbus_framing.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using namespace std::string_view_literals;
using modbus::FrameCheck;
using modbus::FrameState;
using modbus::Framing;

Bytes Hex(std::string_view text) {
  Bytes out;
  for (size_t i = 0; i + 1 < text.size(); ++i) {
    if (text[i] == ' ')
      continue;
    out.push_back(
        static_cast<uint8_t>(std::strtoul(std::string(text.substr(i, 2)).c_str(), nullptr, 16)));
    ++i;
  }
  return out;
}

Bytes Text(std::string_view text) {
  return Bytes(text.begin(), text.end());
}

constexpr uint8_t kUnit = 0x11;
constexpr uint16_t kTransaction = 0x1234;

// One PDU and its three frames for unit 0x11 (TCP: transaction 0x1234). The RTU frames were
// checked byte for byte against an independent server's CRC, the LRCs by an independent sum.
struct Known {
  const char* pdu;
  const char* rtu;
  const char* ascii;
  const char* tcp;
};

constexpr Known kRequests[] = {
    {"16 00 04 00 F2 00 25", "11 16 00 04 00 F2 00 25 66 E2", ":1116000400F20025BE\r\n",
     "12 34 00 00 00 08 11 16 00 04 00 F2 00 25"},
    {"01 00 13 00 25", "11 01 00 13 00 25 0E 84", ":110100130025B6\r\n",
     "12 34 00 00 00 06 11 01 00 13 00 25"},
    {"02 00 C4 00 16", "11 02 00 C4 00 16 BA A9", ":110200C4001613\r\n",
     "12 34 00 00 00 06 11 02 00 C4 00 16"},
    {"03 00 6B 00 03", "11 03 00 6B 00 03 76 87", ":1103006B00037E\r\n",
     "12 34 00 00 00 06 11 03 00 6B 00 03"},
    {"04 00 08 00 01", "11 04 00 08 00 01 B2 98", ":110400080001E2\r\n",
     "12 34 00 00 00 06 11 04 00 08 00 01"},
    {"05 00 AC FF 00", "11 05 00 AC FF 00 4E 8B", ":110500ACFF003F\r\n",
     "12 34 00 00 00 06 11 05 00 AC FF 00"},
    {"06 00 01 00 03", "11 06 00 01 00 03 9A 9B", ":110600010003E5\r\n",
     "12 34 00 00 00 06 11 06 00 01 00 03"},
    {"0F 00 13 00 0A 02 CD 01", "11 0F 00 13 00 0A 02 CD 01 BF 0B", ":110F0013000A02CD01F3\r\n",
     "12 34 00 00 00 09 11 0F 00 13 00 0A 02 CD 01"},
    {"10 00 01 00 02 04 00 0A 01 02", "11 10 00 01 00 02 04 00 0A 01 02 C6 F0",
     ":11100001000204000A0102CB\r\n", "12 34 00 00 00 0B 11 10 00 01 00 02 04 00 0A 01 02"},
};

// The answers to the requests above, and an exception answer.
constexpr Known kAnswers[] = {
    {"16 00 04 00 F2 00 25", "11 16 00 04 00 F2 00 25 66 E2", ":1116000400F20025BE\r\n",
     "12 34 00 00 00 08 11 16 00 04 00 F2 00 25"},
    {"01 05 CD 6B B2 0E 1B", "11 01 05 CD 6B B2 0E 1B 45 E6", ":110105CD6BB20E1BD6\r\n",
     "12 34 00 00 00 08 11 01 05 CD 6B B2 0E 1B"},
    {"02 03 AC DB 35", "11 02 03 AC DB 35 20 18", ":110203ACDB352E\r\n",
     "12 34 00 00 00 06 11 02 03 AC DB 35"},
    {"03 06 AE 41 56 52 43 40", "11 03 06 AE 41 56 52 43 40 49 AD", ":110306AE4156524340CC\r\n",
     "12 34 00 00 00 09 11 03 06 AE 41 56 52 43 40"},
    {"04 02 00 0A", "11 04 02 00 0A F8 F4", ":110402000ADF\r\n",
     "12 34 00 00 00 05 11 04 02 00 0A"},
    {"05 00 AC FF 00", "11 05 00 AC FF 00 4E 8B", ":110500ACFF003F\r\n",
     "12 34 00 00 00 06 11 05 00 AC FF 00"},
    {"06 00 01 00 03", "11 06 00 01 00 03 9A 9B", ":110600010003E5\r\n",
     "12 34 00 00 00 06 11 06 00 01 00 03"},
    {"0F 00 13 00 0A", "11 0F 00 13 00 0A 26 99", ":110F0013000AC3\r\n",
     "12 34 00 00 00 06 11 0F 00 13 00 0A"},
    {"10 00 01 00 02", "11 10 00 01 00 02 12 98", ":111000010002DC\r\n",
     "12 34 00 00 00 06 11 10 00 01 00 02"},
    {"83 02", "11 83 02 C1 34", ":1183026A\r\n", "12 34 00 00 00 03 11 83 02"},
};

Bytes FrameOf(const Known& k, Framing f) {
  switch (f) {
    case Framing::kRtu:
      return Hex(k.rtu);
    case Framing::kAscii:
      return Text(k.ascii);
    case Framing::kTcp:
      return Hex(k.tcp);
  }
  return {};
}

constexpr Framing kFramings[] = {Framing::kRtu, Framing::kAscii, Framing::kTcp};

Bytes WrapOf(Framing f, const Bytes& pdu, size_t room = modbus::kMaxFrame) {
  Bytes out(room, 0xCC);
  out.resize(modbus::Wrap(f, kUnit, kTransaction, pdu, out));
  return out;
}

struct Unwrapped {
  FrameCheck check;
  Bytes pdu;
};

Unwrapped UnwrapOf(Framing f, const Bytes& frame, uint8_t unit = kUnit,
                   uint16_t transaction = kTransaction) {
  std::array<uint8_t, modbus::kMaxPdu + 2> scratch{};
  std::span<const uint8_t> pdu;
  const FrameCheck check = modbus::Unwrap(f, frame, unit, transaction, scratch, &pdu);
  return {check, Bytes(pdu.begin(), pdu.end())};
}

FrameState ScanOf(Framing f, std::span<const uint8_t> bytes, size_t* start = nullptr,
                  size_t* length = nullptr) {
  return modbus::Scan(f, bytes, start, length);
}

TEST(ModbusFramingChecksums, KnownValues) {
  EXPECT_EQ(modbus::Crc16(Text("123456789")), 0x4B37);
  EXPECT_EQ(modbus::Crc16({}), 0xFFFF);
  EXPECT_EQ(modbus::Crc16(Hex("01 03 00 00 00 0A")), 0xCDC5);  // sent as C5 CD
  EXPECT_EQ(modbus::Lrc(Hex("11 03 00 6B 00 03")), 0x7E);
  EXPECT_EQ(modbus::Lrc({}), 0);
}

TEST(ModbusFramingWrap, KnownRequestFramesEveryFunction) {
  EXPECT_EQ(WrapOf(Framing::kRtu, Hex("03 00 00 00 0A")).size(), 8u);
  for (const Known& k : kRequests) {
    for (Framing f : kFramings)
      EXPECT_EQ(WrapOf(f, Hex(k.pdu)), FrameOf(k, f)) << k.pdu << " framing " << int(f);
  }
}

TEST(ModbusFramingWrap, Refusals) {
  const Bytes pdu = Hex("03 00 00 00 01");
  for (Framing f : kFramings) {
    EXPECT_TRUE(WrapOf(f, {}).empty());
    EXPECT_EQ(WrapOf(f, Bytes(modbus::kMaxPdu, 3)).empty(), false);
    EXPECT_TRUE(WrapOf(f, Bytes(modbus::kMaxPdu + 1, 3)).empty());
    const size_t n = WrapOf(f, pdu).size();
    EXPECT_EQ(WrapOf(f, pdu, n).size(), n);  // exactly enough room
    EXPECT_TRUE(WrapOf(f, pdu, n - 1).empty());
  }
  EXPECT_EQ(WrapOf(Framing::kAscii, Bytes(modbus::kMaxPdu, 3)).size(), modbus::kMaxFrame);
}

// Every answer, in every framing, arriving one byte at a time: incomplete until its last byte,
// then checked and unwrapped to its PDU.
TEST(ModbusFramingScan, SplitArrivalsThenUnwrap) {
  for (const Known& k : kAnswers) {
    for (Framing f : kFramings) {
      SCOPED_TRACE(std::string(k.pdu) + " framing " + std::to_string(int(f)));
      Bytes frame = FrameOf(k, f);
      for (size_t n = 0; n < frame.size(); ++n)
        EXPECT_EQ(ScanOf(f, std::span(frame).first(n)), FrameState::kNeedMore) << n;
      frame.push_back(0x00);  // a byte after the frame does not move its end
      size_t start = 99, length = 0;
      ASSERT_EQ(ScanOf(f, frame, &start, &length), FrameState::kComplete);
      EXPECT_EQ(start, 0u);
      EXPECT_EQ(length, frame.size() - 1);
      frame.pop_back();
      const Unwrapped u = UnwrapOf(f, frame);
      EXPECT_EQ(u.check, FrameCheck::kOk);
      EXPECT_EQ(u.pdu, Hex(k.pdu));
    }
  }
}

TEST(ModbusFramingRtu, ChecksAndImpossibleLengths) {
  const Bytes good = Hex("11 03 06 AE 41 56 52 43 40 49 AD");
  for (size_t i = 0; i < good.size(); ++i) {
    Bytes bad = good;
    bad[i] ^= 0x01;
    EXPECT_EQ(UnwrapOf(Framing::kRtu, bad).check, FrameCheck::kBadChecksum) << i;
  }
  EXPECT_EQ(UnwrapOf(Framing::kRtu, good, 0x12).check, FrameCheck::kWrongUnit);
  EXPECT_EQ(UnwrapOf(Framing::kRtu, Hex("11 83 02")).check, FrameCheck::kMalformed);
  EXPECT_EQ(UnwrapOf(Framing::kRtu, Bytes(257, 0)).check, FrameCheck::kMalformed);

  EXPECT_EQ(ScanOf(Framing::kRtu, Hex("11 07")), FrameState::kBad);
  EXPECT_EQ(ScanOf(Framing::kRtu, Hex("11 2B 0E")), FrameState::kBad);
  EXPECT_EQ(ScanOf(Framing::kRtu, Hex("11 03 FB")), FrameState::kNeedMore);  // 251: longest
  EXPECT_EQ(ScanOf(Framing::kRtu, Hex("11 03 FC")), FrameState::kBad);
  EXPECT_EQ(ScanOf(Framing::kRtu, Hex("11 99")), FrameState::kNeedMore);  // any exception: 5
}

TEST(ModbusFramingAscii, NoiseCaseHexAndChecksum) {
  size_t start = 0, length = 0;
  const Bytes noisy = Text("\x00\xFFzz\r\n:1183026A\r\n:11"sv);
  ASSERT_EQ(ScanOf(Framing::kAscii, noisy, &start, &length), FrameState::kComplete);
  EXPECT_EQ(start, 6u);
  EXPECT_EQ(length, 11u);
  EXPECT_EQ(UnwrapOf(Framing::kAscii, Bytes(noisy.begin() + 6, noisy.begin() + 17)).pdu,
            Hex("83 02"));
  EXPECT_EQ(ScanOf(Framing::kAscii, Text("noise\r\n")), FrameState::kNeedMore);

  EXPECT_EQ(UnwrapOf(Framing::kAscii, Text(":110402000adf\r\n")).pdu, Hex("04 02 00 0A"));
  EXPECT_EQ(UnwrapOf(Framing::kAscii, Text(":110402000ADE\r\n")).check, FrameCheck::kBadChecksum);
  EXPECT_EQ(UnwrapOf(Framing::kAscii, Text(":120402000ADE\r\n")).check, FrameCheck::kWrongUnit);
  EXPECT_EQ(UnwrapOf(Framing::kAscii, Text(":110402000ADF\r\n"), 0x12).check,
            FrameCheck::kWrongUnit);
  const char* malformed[] = {
      ":1104G2000ADF\r\n",   // not hex
      ":110402000ADF0\r\n",  // odd number of digits
      ":11EF\r\n",           // no PDU
      "110402000ADF\r\n",    // no colon
      ":110402000ADF\n\n",   // no CR LF
  };
  for (const char* m : malformed)
    EXPECT_EQ(UnwrapOf(Framing::kAscii, Text(m)).check, FrameCheck::kMalformed) << m;

  // Without CR LF, a frame longer than any can be is given up.
  Bytes endless = Text(":");
  endless.resize(modbus::kMaxFrame - 2, '0');
  endless.push_back('\r');
  EXPECT_EQ(ScanOf(Framing::kAscii, endless), FrameState::kNeedMore);  // LF would still fit
  endless.push_back('0');
  EXPECT_EQ(ScanOf(Framing::kAscii, endless), FrameState::kBad);
  // The same bytes arriving at once with a CR LF further on: still no frame, not a "complete"
  // one longer than any frame can be.
  endless.push_back('\r');
  endless.push_back('\n');
  EXPECT_EQ(ScanOf(Framing::kAscii, endless), FrameState::kBad);
}

TEST(ModbusFramingTcp, HeaderChecks) {
  const Bytes good = Hex("12 34 00 00 00 05 11 04 02 00 0A");
  EXPECT_EQ(UnwrapOf(Framing::kTcp, good, kUnit, 0x1233).check, FrameCheck::kWrongTransaction);
  EXPECT_EQ(UnwrapOf(Framing::kTcp, good, 0x12).check, FrameCheck::kWrongUnit);
  EXPECT_EQ(UnwrapOf(Framing::kTcp, Hex("12 34 00 01 00 05 11 04 02 00 0A")).check,
            FrameCheck::kMalformed);  // protocol id
  EXPECT_EQ(UnwrapOf(Framing::kTcp, Hex("12 34 00 00 00 06 11 04 02 00 0A")).check,
            FrameCheck::kMalformed);  // length
  EXPECT_EQ(UnwrapOf(Framing::kTcp, Hex("12 34 00 00 00 01 11")).check, FrameCheck::kMalformed);

  EXPECT_EQ(ScanOf(Framing::kTcp, Hex("12 34 00 00 00 00")), FrameState::kBad);
  EXPECT_EQ(ScanOf(Framing::kTcp, Hex("12 34 00 00 00 FF")), FrameState::kBad);
  EXPECT_EQ(ScanOf(Framing::kTcp, Hex("12 34 00 00 00 FE")), FrameState::kNeedMore);
  // A late answer followed by the current one: the first frame ends where its length says.
  Bytes two = Hex("12 33 00 00 00 03 11 83 02");
  const Bytes current = good;
  two.insert(two.end(), current.begin(), current.end());
  size_t start = 0, length = 0;
  ASSERT_EQ(ScanOf(Framing::kTcp, two, &start, &length), FrameState::kComplete);
  EXPECT_EQ(length, 9u);
  EXPECT_EQ(UnwrapOf(Framing::kTcp, Bytes(two.begin(), two.begin() + 9)).check,
            FrameCheck::kWrongTransaction);
  EXPECT_EQ(ScanOf(Framing::kTcp, std::span(two).subspan(9), &start, &length),
            FrameState::kComplete);
  EXPECT_EQ(length, current.size());
}

}  // namespace
