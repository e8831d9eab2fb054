// The Modbus application layer: request PDUs for the nine function codes the driver uses, and
// the checks of an answer PDU against the request it answers.
//
// A PDU is the function code and its data, without unit id, checksum or header; the framings of
// modbus_framing.h wrap it for RTU, ASCII and TCP. Everything here is pure: no I/O, no state.
//
//   std::array<uint8_t, modbus::kMaxPdu> request{};
//   const size_t n = modbus::BuildReadRequest(modbus::Function::kReadHoldingRegisters, 99, 10,
//                                             request);
//   // ... exchange, giving `answer` ...
//   const modbus::Reply reply = modbus::CheckReply({request.data(), n}, answer);
//   if (reply.status == modbus::ReplyStatus::kOk) { /* reply.data: 20 bytes, big-endian words */ }
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace modbus {

enum class Function : uint8_t {
  kReadCoils = 1,
  kReadDiscreteInputs = 2,
  kReadHoldingRegisters = 3,
  kReadInputRegisters = 4,
  kWriteSingleCoil = 5,
  kWriteSingleRegister = 6,
  kWriteMultipleCoils = 15,
  kWriteMultipleRegisters = 16,
  kMaskWriteRegister = 22,
};

// Largest PDU of the protocol (256-byte serial frame less unit id and CRC).
inline constexpr size_t kMaxPdu = 253;
// Protocol limits of one request.
inline constexpr int kMaxReadRegisters = 125;
inline constexpr int kMaxReadBits = 2000;
inline constexpr int kMaxWriteRegisters = 123;
inline constexpr int kMaxWriteBits = 1968;

// Exception codes a server may answer with (the answer's function code has bit 7 set).
inline constexpr uint8_t kIllegalFunction = 1;
inline constexpr uint8_t kIllegalDataAddress = 2;
inline constexpr uint8_t kIllegalDataValue = 3;
inline constexpr uint8_t kServerDeviceFailure = 4;

// Each builder writes one request PDU at the start of `out` and returns its length, or 0 (and
// writes nothing) when an argument is outside the protocol's limits: a count of 0 or above the
// function's maximum, or a span that runs past address 65535. Addresses are protocol addresses
// (0-based).
size_t BuildReadRequest(Function function, uint16_t address, uint16_t count,
                        std::span<uint8_t, kMaxPdu> out);  // functions 1..4 only
size_t BuildWriteSingleCoil(uint16_t address, bool on, std::span<uint8_t, kMaxPdu> out);
size_t BuildWriteSingleRegister(uint16_t address, uint16_t value, std::span<uint8_t, kMaxPdu> out);
// `bits`: one byte per coil, 0 = off, anything else = on.
size_t BuildWriteMultipleCoils(uint16_t address, std::span<const uint8_t> bits,
                               std::span<uint8_t, kMaxPdu> out);
size_t BuildWriteMultipleRegisters(uint16_t address, std::span<const uint16_t> values,
                                   std::span<uint8_t, kMaxPdu> out);
// Function 22: the register becomes (current AND andMask) OR (orMask AND NOT andMask), in the
// device, in one step.
size_t BuildMaskWriteRegister(uint16_t address, uint16_t andMask, uint16_t orMask,
                              std::span<uint8_t, kMaxPdu> out);

enum class ReplyStatus {
  kOk,
  kException,      // the server refused: exceptionCode holds its code
  kWrongFunction,  // the answer's function code is neither the request's nor its exception
  kShort,          // fewer bytes than the function code or the byte count announce
  kMalformed,      // wrong byte count for the request, extra bytes, or a write echo that differs
};

struct Reply {
  ReplyStatus status = ReplyStatus::kMalformed;
  uint8_t exceptionCode = 0;
  // kOk on a read: the data bytes inside `answer` (coils and inputs packed LSB first, 8 a byte;
  // registers as big-endian words), exactly as many as the request asked for. Empty otherwise.
  std::span<const uint8_t> data;
};

// Checks `answer` (a whole PDU) against `request` (a PDU made by a builder above). Never reads
// outside either span.
Reply CheckReply(std::span<const uint8_t> request, std::span<const uint8_t> answer);

// Length of the successful answer PDU to `request` (reads: 2 + data bytes; writes: 5; function
// 22: 7, the echo of the request); 0 for a
// request that no builder above makes.
size_t ExpectedAnswerLength(std::span<const uint8_t> request);

}  // namespace modbus
