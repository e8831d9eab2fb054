// The three framings of a Modbus PDU: RTU (unit, PDU, CRC-16 low byte first), ASCII (":" then the
// unit, PDU and LRC as upper-case hex digits, then CR LF) and TCP (the 7-byte MBAP header:
// transaction id, protocol id 0, length, unit; then the PDU).
//
// Wrapping builds a whole request frame. On the receiving side, FrameState tells a transport when
// the bytes it holds make a whole answer (so it can stop waiting at once), and Unwrap checks the
// answer and gives its PDU. Pure functions: no I/O, no state; nothing reads outside its spans.
//
//   std::array<uint8_t, modbus::kMaxFrame> frame{};
//   const size_t n = modbus::Wrap(modbus::Framing::kRtu, 17, 0, pdu, frame);
//   // ... send frame[0..n), receive `got` until FrameState says kComplete ...
//   std::array<uint8_t, modbus::kMaxPdu> scratch{};
//   std::span<const uint8_t> answerPdu;
//   if (modbus::Unwrap(modbus::Framing::kRtu, got, 17, 0, scratch, &answerPdu) ==
//       modbus::FrameCheck::kOk) { ... }
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "drivers/modbus/modbus_pdu.h"

namespace modbus {

enum class Framing { kRtu, kAscii, kTcp };

// Longest frame of any framing: ASCII ":" + 2 hex digits for each of unit, 253 PDU bytes and LRC,
// + CR LF.
inline constexpr size_t kMaxFrame = 1 + 2 * (1 + kMaxPdu + 1) + 2;
// MBAP header length.
inline constexpr size_t kMbapLength = 7;

// Modbus CRC-16 (initial 0xFFFF, reflected polynomial 0xA001) of `bytes`; sent low byte first.
uint16_t Crc16(std::span<const uint8_t> bytes);
// Modbus LRC: the two's complement of the 8-bit sum of `bytes`.
uint8_t Lrc(std::span<const uint8_t> bytes);

// Writes the frame of `pdu` for `unit` into `out` and returns its length; 0 when the PDU is empty
// or longer than kMaxPdu, or `out` is too small. `transactionId` is used by TCP only.
size_t Wrap(Framing framing, uint8_t unit, uint16_t transactionId, std::span<const uint8_t> pdu,
            std::span<uint8_t> out);

enum class FrameState {
  kNeedMore,  // what is held could still become a whole answer
  kComplete,  // *start and *length delimit a whole answer frame inside the bytes
  kBad,       // the bytes can never become a valid answer (e.g. an impossible length)
};

// Looks at the bytes received so far for an answer.
//  - RTU: the frame starts at byte 0; its length follows from the function code (an exception
//    answer is 5 bytes, reads 5 + the byte count at offset 2, writes 8, function 22 10).
//  - ASCII: bytes before the first ":" are skipped; the frame ends at the first CR LF after it.
//  - TCP: the frame starts at byte 0 and is 6 + the MBAP length field long (a length field of 0
//    or above kMaxPdu + 1 is kBad).
FrameState Scan(Framing framing, std::span<const uint8_t> bytes, size_t* start, size_t* length);

enum class FrameCheck {
  kOk,
  kBadChecksum,       // RTU CRC or ASCII LRC does not match
  kWrongUnit,         // the answer comes from another unit
  kWrongTransaction,  // TCP: another transaction id (a late answer to an earlier request)
  kMalformed,         // too short, not hex, wrong protocol id or length, no ":" or CR LF
};

// Checks one whole frame (as delimited by Scan) and points *pdu at its PDU: inside `frame` for RTU
// and TCP, inside `scratch` (the decoded hex) for ASCII. `transactionId` is checked for TCP only.
FrameCheck Unwrap(Framing framing, std::span<const uint8_t> frame, uint8_t unit,
                  uint16_t transactionId, std::span<uint8_t, kMaxPdu + 2> scratch,
                  std::span<const uint8_t>* pdu);

}  // namespace modbus
