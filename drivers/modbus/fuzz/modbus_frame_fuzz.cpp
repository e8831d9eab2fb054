// Fuzz target of the Modbus driver's receiving side: the bytes a device (or line noise) answers
// with go through the framings' Scan and Unwrap (RTU, ASCII, TCP), and the PDU through the answer
// check against a request (CheckReply).
//
// Input: a 9-byte header, then the bytes.
//   byte 0: bits 0..1 the framing (RTU, ASCII, TCP; 3: the bytes are a PDU that is wrapped first,
//           in the framing of bits 2..3), bit 4: the request's single coil is on
//   byte 1: the unit; bytes 2, 3: the TCP transaction id
//   byte 4: the request's function (bits 0..2: 1, 2, 3, 4, 5, 6, 15, 16); bytes 5, 6 its address;
//   bytes 7, 8 its count (or register value)
//
// Properties:
//  - Scan over the growing bytes says "need more" until it settles on one answer: a frame inside
//    the bytes (at 0 for RTU and TCP, at a ':' and ending in CR LF for ASCII) that never changes
//    as more bytes arrive, or "bad" for good;
//  - an accepted frame's checksum (CRC, LRC), unit, protocol id, length and transaction id are
//    right, and its PDU (1..253 bytes) is the frame's own bytes (RTU, TCP) or their hex (ASCII);
//  - a wrapped PDU scans as one whole frame (RTU: when the PDU is shaped as an answer) and
//    unwraps to the same PDU;
//  - CheckReply accepts an answer only of the expected length and function, with a read's data
//    being the answer's own bytes after the byte count and a write's echo equal to the request;
//    an exception answer is the function code with bit 7 and one code byte.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "common/testing/fuzz_check.h"
#include "drivers/modbus/modbus_framing.h"
#include "drivers/modbus/modbus_pdu.h"
#include "platform/hex.h"

namespace {

using modbus::FrameCheck;
using modbus::FrameState;
using modbus::Framing;
using platform::HexValue;
using Bytes = std::span<const uint8_t>;

constexpr std::size_t kHeader = 9;
constexpr uint8_t kFunctions[] = {1, 2, 3, 4, 5, 6, 15, 16};

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

bool Inside(Bytes part, Bytes whole) {
  return part.data() >= whole.data() && part.data() + part.size() <= whole.data() + whole.size();
}

// The request of the header, as the driver's builders make it; empty when they refuse.
std::vector<uint8_t> BuildRequest(const uint8_t* h, bool coilOn) {
  std::array<uint8_t, modbus::kMaxPdu> out{};
  const uint8_t function = kFunctions[h[0] & 0x07];
  const uint16_t address = Get16(h + 1);
  const uint16_t count = Get16(h + 3);
  std::size_t n = 0;
  switch (function) {
    case 1:
    case 2:
    case 3:
    case 4:
      n = modbus::BuildReadRequest(static_cast<modbus::Function>(function), address, count, out);
      break;
    case 5:
      n = modbus::BuildWriteSingleCoil(address, coilOn, out);
      break;
    case 6:
      n = modbus::BuildWriteSingleRegister(address, count, out);
      break;
    case 15: {
      const std::vector<uint8_t> bits(count % 2048, 1);
      n = modbus::BuildWriteMultipleCoils(address, bits, out);
      break;
    }
    case 16: {
      const std::vector<uint16_t> values(count % 128, 0x1234);
      n = modbus::BuildWriteMultipleRegisters(address, values, out);
      break;
    }
  }
  FUZZ_CHECK(n <= out.size());
  return std::vector<uint8_t>(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
}

void CheckAnswer(Bytes request, Bytes answer) {
  const modbus::Reply reply = modbus::CheckReply(request, answer);
  const std::size_t expected = modbus::ExpectedAnswerLength(request);
  if (request.empty())
    FUZZ_CHECK(expected == 0 && reply.status == modbus::ReplyStatus::kMalformed);
  if (reply.status != modbus::ReplyStatus::kOk)
    FUZZ_CHECK(reply.data.empty());
  switch (reply.status) {
    case modbus::ReplyStatus::kOk: {
      FUZZ_CHECK(expected != 0 && answer.size() == expected && answer[0] == request[0]);
      const bool read = request[0] >= 1 && request[0] <= 4;
      if (read) {
        FUZZ_CHECK(answer[1] == expected - 2);
        FUZZ_CHECK(reply.data.data() == answer.data() + 2 && reply.data.size() == expected - 2);
      } else {
        FUZZ_CHECK(expected == 5 && reply.data.empty());
        FUZZ_CHECK(std::equal(answer.begin() + 1, answer.end(), request.begin() + 1));
      }
      break;
    }
    case modbus::ReplyStatus::kException:
      FUZZ_CHECK(answer.size() == 2 && answer[0] == (request[0] | 0x80));
      FUZZ_CHECK(reply.exceptionCode == answer[1]);
      break;
    case modbus::ReplyStatus::kWrongFunction:
      FUZZ_CHECK(!answer.empty() && answer[0] != request[0] && answer[0] != (request[0] | 0x80));
      break;
    case modbus::ReplyStatus::kShort:
      FUZZ_CHECK(expected != 0 && answer.size() < std::max<std::size_t>(expected, 2));
      break;
    case modbus::ReplyStatus::kMalformed:
      break;
  }
}

// Unwraps `frame` and checks an accepted one on its own terms; the PDU, or nothing.
std::optional<Bytes> CheckUnwrap(Framing framing, Bytes frame, uint8_t unit, uint16_t tid,
                                 std::span<uint8_t, modbus::kMaxPdu + 2> scratch) {
  Bytes pdu;
  const FrameCheck check = modbus::Unwrap(framing, frame, unit, tid, scratch, &pdu);
  if (check != FrameCheck::kOk)
    return std::nullopt;
  FUZZ_CHECK(!pdu.empty() && pdu.size() <= modbus::kMaxPdu);
  const std::size_t n = frame.size();
  switch (framing) {
    case Framing::kRtu:
      FUZZ_CHECK(n >= 4 && frame[0] == unit);
      FUZZ_CHECK(modbus::Crc16(frame.first(n - 2)) == (frame[n - 2] | frame[n - 1] << 8));
      FUZZ_CHECK(pdu.data() == frame.data() + 1 && pdu.size() == n - 3);
      break;
    case Framing::kAscii: {
      FUZZ_CHECK(n >= 9 && frame[0] == ':' && frame[n - 2] == '\r' && frame[n - 1] == '\n');
      FUZZ_CHECK(n % 2 == 1);
      std::vector<uint8_t> decoded;
      for (std::size_t i = 1; i + 1 < n - 2; i += 2) {
        const int high = HexValue(frame[i]);
        const int low = HexValue(frame[i + 1]);
        FUZZ_CHECK(high >= 0 && low >= 0);
        decoded.push_back(static_cast<uint8_t>(high << 4 | low));
      }
      FUZZ_CHECK(decoded.size() == pdu.size() + 2 && decoded.front() == unit);
      FUZZ_CHECK(modbus::Lrc(Bytes(decoded).first(decoded.size() - 1)) == decoded.back());
      FUZZ_CHECK(std::equal(pdu.begin(), pdu.end(), decoded.begin() + 1));
      FUZZ_CHECK(Inside(pdu, scratch));
      break;
    }
    case Framing::kTcp:
      FUZZ_CHECK(n >= 8 && Get16(&frame[0]) == tid && Get16(&frame[2]) == 0);
      FUZZ_CHECK(Get16(&frame[4]) == n - 6 && frame[6] == unit);
      FUZZ_CHECK(pdu.data() == frame.data() + 7 && pdu.size() == n - 7);
      break;
  }
  return pdu;
}

// Scan over every prefix of `bytes`; the frame it settles on, if any.
std::optional<Bytes> CheckScan(Framing framing, Bytes bytes) {
  FrameState settled = FrameState::kNeedMore;
  std::size_t settledStart = 0;
  std::size_t settledLength = 0;
  for (std::size_t held = 0; held <= bytes.size(); ++held) {
    std::size_t start = 0xDEAD;
    std::size_t length = 0xBEEF;
    const FrameState state = modbus::Scan(framing, bytes.first(held), &start, &length);
    if (settled != FrameState::kNeedMore) {
      FUZZ_CHECK(state == settled);
      if (state == FrameState::kComplete)
        FUZZ_CHECK(start == settledStart && length == settledLength);
      continue;
    }
    settled = state;
    if (state != FrameState::kComplete)
      continue;
    FUZZ_CHECK(length >= 1 && start + length <= held);
    if (framing == Framing::kAscii) {
      FUZZ_CHECK(bytes[start] == ':' && length >= 3);
      FUZZ_CHECK(bytes[start + length - 2] == '\r' && bytes[start + length - 1] == '\n');
      FUZZ_CHECK(length <= modbus::kMaxFrame);
    } else {
      FUZZ_CHECK(start == 0);
    }
    settledStart = start;
    settledLength = length;
  }
  if (settled != FrameState::kComplete)
    return std::nullopt;
  return bytes.subspan(settledStart, settledLength);
}

// Whether RTU's Scan can know the length of this answer PDU from its first bytes.
bool RtuAnswerShaped(Bytes pdu) {
  const uint8_t function = pdu[0];
  if ((function & 0x80) != 0)
    return pdu.size() == 2;
  if (function >= 1 && function <= 4)
    return pdu.size() >= 2 && pdu[1] == pdu.size() - 2;
  if (function == 5 || function == 6 || function == 15 || function == 16)
    return pdu.size() == 5;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < kHeader)
    return 0;
  const uint8_t mode = data[0];
  const uint8_t unit = data[1];
  const uint16_t tid = Get16(data + 2);
  const std::vector<uint8_t> request = BuildRequest(data + 4, (mode & 0x10) != 0);
  const Bytes bytes(data + kHeader, size - kHeader);
  std::array<uint8_t, modbus::kMaxPdu + 2> scratch{};

  if ((mode & 0x03) != 3) {
    const auto framing = static_cast<Framing>(mode & 0x03);
    CheckAnswer(request, bytes);  // the bytes as a PDU that has passed its framing
    CheckUnwrap(framing, bytes, unit, tid, scratch);
    if (const std::optional<Bytes> frame = CheckScan(framing, bytes)) {
      if (const std::optional<Bytes> pdu = CheckUnwrap(framing, *frame, unit, tid, scratch))
        CheckAnswer(request, *pdu);
    }
    return 0;
  }

  // The bytes are an answer PDU: wrapped, scanned and unwrapped they must come back unchanged.
  const auto framing = static_cast<Framing>(((mode >> 2) & 0x03) % 3);
  std::array<uint8_t, modbus::kMaxFrame> frame{};
  const std::size_t n = modbus::Wrap(framing, unit, tid, bytes, frame);
  FUZZ_CHECK(n == 0 || !bytes.empty());
  FUZZ_CHECK((n == 0) == (bytes.empty() || bytes.size() > modbus::kMaxPdu));
  if (n == 0)
    return 0;
  const Bytes wrapped(frame.data(), n);
  const std::optional<Bytes> scanned = CheckScan(framing, wrapped);
  if (framing != Framing::kRtu || RtuAnswerShaped(bytes)) {
    FUZZ_CHECK(scanned.has_value() && scanned->data() == wrapped.data() && scanned->size() == n);
  }
  const std::optional<Bytes> pdu = CheckUnwrap(framing, wrapped, unit, tid, scratch);
  FUZZ_CHECK(pdu.has_value() && std::equal(pdu->begin(), pdu->end(), bytes.begin(), bytes.end()));
  CheckAnswer(request, *pdu);
  return 0;
}
