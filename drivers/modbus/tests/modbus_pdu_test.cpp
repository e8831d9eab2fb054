#include "drivers/modbus/modbus_pdu.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdlib>
#include <string>
#include <string_view>
#include <vector>

namespace {

using Bytes = std::vector<uint8_t>;
using modbus::Function;
using modbus::ReplyStatus;

// "11 03 00 6B" -> bytes.
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

// Runs a builder on a buffer full of 0xCC and returns what it wrote; a refusal must leave the
// buffer untouched.
template <typename Build>
Bytes Built(Build build) {
  std::array<uint8_t, modbus::kMaxPdu> out;
  out.fill(0xCC);
  const size_t n = build(std::span<uint8_t, modbus::kMaxPdu>(out));
  if (n == 0) {
    for (uint8_t b : out)
      EXPECT_EQ(b, 0xCC) << "a refused request was written";
  }
  return Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
}

Bytes Read(Function f, uint16_t address, uint16_t count) {
  return Built([&](auto out) { return modbus::BuildReadRequest(f, address, count, out); });
}
Bytes Coils(uint16_t address, const Bytes& bits) {
  return Built([&](auto out) { return modbus::BuildWriteMultipleCoils(address, bits, out); });
}
Bytes Registers(uint16_t address, const std::vector<uint16_t>& values) {
  return Built([&](auto out) { return modbus::BuildWriteMultipleRegisters(address, values, out); });
}

modbus::Reply Check(const Bytes& request, const Bytes& answer) {
  return modbus::CheckReply(request, answer);
}

// Requests of the eight function codes and their answers, unit-less (the PDU part of frames
// cross-checked against an independent server).
TEST(ModbusPduBuild, KnownRequestsForEveryFunction) {
  EXPECT_EQ(Read(Function::kReadCoils, 0x13, 37), Hex("01 00 13 00 25"));
  EXPECT_EQ(Read(Function::kReadDiscreteInputs, 0xC4, 22), Hex("02 00 C4 00 16"));
  EXPECT_EQ(Read(Function::kReadHoldingRegisters, 0x6B, 3), Hex("03 00 6B 00 03"));
  EXPECT_EQ(Read(Function::kReadInputRegisters, 8, 1), Hex("04 00 08 00 01"));
  EXPECT_EQ(Built([](auto o) { return modbus::BuildWriteSingleCoil(0xAC, true, o); }),
            Hex("05 00 AC FF 00"));
  EXPECT_EQ(Built([](auto o) { return modbus::BuildWriteSingleCoil(0xAC, false, o); }),
            Hex("05 00 AC 00 00"));
  EXPECT_EQ(Built([](auto o) { return modbus::BuildWriteSingleRegister(1, 3, o); }),
            Hex("06 00 01 00 03"));
  // Coils 20..29 = 1,0,1,1,0,0,1,1, 1,0: LSB first, unused high bits of the last byte 0.
  EXPECT_EQ(Coils(0x13, {1, 0, 1, 1, 0, 0, 1, 1, 7, 0}), Hex("0F 00 13 00 0A 02 CD 01"));
  EXPECT_EQ(Registers(1, {0x000A, 0x0102}), Hex("10 00 01 00 02 04 00 0A 01 02"));
  EXPECT_EQ(Built([](auto o) { return modbus::BuildMaskWriteRegister(4, 0x00F2, 0x0025, o); }),
            Hex("16 00 04 00 F2 00 25"));
}

TEST(ModbusPduBuild, ProtocolLimitsAndSpans) {
  const Function reads[] = {Function::kReadCoils, Function::kReadDiscreteInputs,
                            Function::kReadHoldingRegisters, Function::kReadInputRegisters};
  for (Function f : reads) {
    const int max =
        f <= Function::kReadDiscreteInputs ? modbus::kMaxReadBits : modbus::kMaxReadRegisters;
    const auto count = static_cast<uint16_t>(max);
    EXPECT_TRUE(Read(f, 0, 0).empty());
    EXPECT_EQ(Read(f, 0, count).size(), 5u);
    EXPECT_TRUE(Read(f, 0, count + 1).empty());
    EXPECT_EQ(Read(f, static_cast<uint16_t>(65536 - max), count).size(), 5u);  // ends at 65535
    EXPECT_TRUE(Read(f, static_cast<uint16_t>(65537 - max), count).empty());
    EXPECT_TRUE(Read(f, 65535, 2).empty());
  }
  EXPECT_TRUE(Read(Function::kWriteSingleRegister, 0, 1).empty());
  EXPECT_TRUE(Read(static_cast<Function>(7), 0, 1).empty());

  EXPECT_TRUE(Coils(0, {}).empty());
  EXPECT_EQ(Coils(0, Bytes(modbus::kMaxWriteBits, 1)).size(), 6u + 246);
  EXPECT_TRUE(Coils(0, Bytes(modbus::kMaxWriteBits + 1, 1)).empty());
  EXPECT_TRUE(Coils(65535, Bytes(2, 1)).empty());
  EXPECT_EQ(Coils(65535, Bytes(1, 1)), Hex("0F FF FF 00 01 01 01"));

  EXPECT_TRUE(Registers(0, {}).empty());
  EXPECT_EQ(Registers(0, std::vector<uint16_t>(modbus::kMaxWriteRegisters)).size(), 6u + 246);
  EXPECT_TRUE(Registers(0, std::vector<uint16_t>(modbus::kMaxWriteRegisters + 1)).empty());
  EXPECT_TRUE(Registers(65534, {1, 2, 3}).empty());
  EXPECT_EQ(Registers(65534, {1, 2}).size(), 10u);
}

TEST(ModbusPduReply, ReadsGiveExactlyTheRequestedData) {
  const Bytes coils = Read(Function::kReadCoils, 0x13, 37);
  EXPECT_EQ(modbus::ExpectedAnswerLength(coils), 7u);
  const Bytes answer = Hex("01 05 CD 6B B2 0E 1B");
  const modbus::Reply r = Check(coils, answer);
  ASSERT_EQ(r.status, ReplyStatus::kOk);
  EXPECT_EQ(r.data.data(), answer.data() + 2);
  EXPECT_EQ(r.data.size(), 5u);

  const Bytes regs = Read(Function::kReadHoldingRegisters, 0x6B, 3);
  EXPECT_EQ(modbus::ExpectedAnswerLength(regs), 8u);
  EXPECT_EQ(Check(regs, Hex("03 06 AE 41 56 52 43 40")).status, ReplyStatus::kOk);
  EXPECT_EQ(Check(Read(Function::kReadDiscreteInputs, 0, 8), Hex("02 01 FF")).data.size(), 1u);
  EXPECT_EQ(Check(Read(Function::kReadInputRegisters, 8, 1), Hex("04 02 00 0A")).status,
            ReplyStatus::kOk);
}

TEST(ModbusPduReply, FaultyReadAnswers) {
  const Bytes regs = Read(Function::kReadHoldingRegisters, 0x6B, 3);
  EXPECT_EQ(Check(regs, {}).status, ReplyStatus::kShort);
  EXPECT_EQ(Check(regs, Hex("03")).status, ReplyStatus::kShort);
  EXPECT_EQ(Check(regs, Hex("03 06 AE 41 56 52 43")).status, ReplyStatus::kShort);
  EXPECT_EQ(Check(regs, Hex("03 06 AE 41 56 52 43 40 00")).status, ReplyStatus::kMalformed);
  EXPECT_EQ(Check(regs, Hex("03 04 AE 41 56 52")).status, ReplyStatus::kMalformed);
  EXPECT_EQ(Check(regs, Hex("03 08 AE 41 56 52 43 40 00 00")).status, ReplyStatus::kMalformed);
  EXPECT_EQ(Check(regs, Hex("04 06 AE 41 56 52 43 40")).status, ReplyStatus::kWrongFunction);
  // Coils: 10 bits take 2 bytes, not 10 or 1.
  const Bytes coils = Read(Function::kReadCoils, 0, 10);
  EXPECT_EQ(Check(coils, Hex("01 01 FF")).status, ReplyStatus::kMalformed);
  EXPECT_EQ(Check(coils, Hex("01 02 FF 03")).status, ReplyStatus::kOk);
  EXPECT_TRUE(Check(coils, Hex("01 02 FF 03 00")).data.empty());

  // Every prefix of a good answer is short: nothing past the answer's end is ever looked at.
  const Bytes good = Hex("03 06 AE 41 56 52 43 40");
  for (size_t n = 0; n < good.size(); ++n)
    EXPECT_EQ(modbus::CheckReply(regs, std::span(good).first(n)).status, ReplyStatus::kShort) << n;
}

TEST(ModbusPduReply, Exceptions) {
  const Bytes regs = Read(Function::kReadHoldingRegisters, 0, 1);
  const modbus::Reply r = Check(regs, Hex("83 02"));
  EXPECT_EQ(r.status, ReplyStatus::kException);
  EXPECT_EQ(r.exceptionCode, modbus::kIllegalDataAddress);
  EXPECT_TRUE(r.data.empty());
  EXPECT_EQ(Check(regs, Hex("83")).status, ReplyStatus::kShort);
  EXPECT_EQ(Check(regs, Hex("83 02 00")).status, ReplyStatus::kMalformed);
  EXPECT_EQ(Check(regs, Hex("84 02")).status, ReplyStatus::kWrongFunction);
  EXPECT_EQ(Check(Coils(0, {1}), Hex("8F 04")).exceptionCode, modbus::kServerDeviceFailure);
}

TEST(ModbusPduReply, WritesMustEchoTheRequest) {
  const Bytes coil = Built([](auto o) { return modbus::BuildWriteSingleCoil(0xAC, true, o); });
  const Bytes reg = Built([](auto o) { return modbus::BuildWriteSingleRegister(1, 3, o); });
  const Bytes coils = Coils(0x13, {1, 0, 1, 1, 0, 0, 1, 1, 1, 0});
  const Bytes regs = Registers(1, {0x000A, 0x0102});
  for (const Bytes* request : {&coil, &reg, &coils, &regs})
    EXPECT_EQ(modbus::ExpectedAnswerLength(*request), 5u);

  EXPECT_EQ(Check(coil, coil).status, ReplyStatus::kOk);
  EXPECT_EQ(Check(coil, Hex("05 00 AC 00 00")).status, ReplyStatus::kMalformed);
  EXPECT_EQ(Check(reg, Hex("06 00 01 00 04")).status, ReplyStatus::kMalformed);
  EXPECT_EQ(Check(reg, Hex("06 00 02 00 03")).status, ReplyStatus::kMalformed);
  EXPECT_EQ(Check(reg, Hex("06 00 01 00")).status, ReplyStatus::kShort);
  EXPECT_EQ(Check(reg, Hex("06 00 01 00 03 00")).status, ReplyStatus::kMalformed);
  EXPECT_EQ(Check(coils, Hex("0F 00 13 00 0A")).status, ReplyStatus::kOk);
  EXPECT_EQ(Check(coils, Hex("0F 00 13 00 09")).status, ReplyStatus::kMalformed);
  EXPECT_EQ(Check(regs, Hex("10 00 01 00 02")).status, ReplyStatus::kOk);
  EXPECT_EQ(Check(regs, Hex("10 00 00 00 02")).status, ReplyStatus::kMalformed);
  EXPECT_TRUE(Check(regs, Hex("10 00 01 00 02")).data.empty());

  const Bytes mask = Hex("16 00 04 00 F2 00 25");
  EXPECT_EQ(modbus::ExpectedAnswerLength(mask), 7u);
  EXPECT_EQ(Check(mask, mask).status, ReplyStatus::kOk);
  EXPECT_EQ(Check(mask, Hex("16 00 04 00 F2 00 24")).status, ReplyStatus::kMalformed);
  EXPECT_EQ(Check(mask, Hex("16 00 04 00 F2")).status, ReplyStatus::kShort);
  EXPECT_EQ(Check(mask, Hex("96 01")).status, ReplyStatus::kException);
}

// An answer is never accepted against a request that no builder makes.
TEST(ModbusPduReply, RequestsNoBuilderMakes) {
  const Bytes bad[] = {
      {},
      Hex("03 00 00 00"),                 // truncated
      Hex("03 00 00 00 01 00"),           // extra byte
      Hex("03 00 00 00 00"),              // count 0
      Hex("03 00 00 00 7E"),              // 126 registers
      Hex("01 FF FF 00 02"),              // past 65535
      Hex("05 00 00 12 34"),              // coil value neither FF00 nor 0000
      Hex("0F 00 00 00 0A 01 FF"),        // byte count does not match 10 coils
      Hex("10 00 00 00 02 04 00 01 00"),  // data shorter than the byte count
      Hex("07 00 00 00 01"),              // unknown function
  };
  for (const Bytes& request : bad) {
    EXPECT_EQ(modbus::ExpectedAnswerLength(request), 0u);
    EXPECT_EQ(Check(request, Hex("03 02 00 01")).status, ReplyStatus::kMalformed);
  }
}

}  // namespace
