#include "drivers/modbus/modbus_framing.h"

#include <algorithm>

#include "platform/hex.h"

namespace modbus {
namespace {

using platform::HexValue;
using platform::kHexDigits;

constexpr uint8_t kColon = ':';
constexpr uint8_t kCr = '\r';
constexpr uint8_t kLf = '\n';
constexpr uint8_t kExceptionBit = 0x80;

// RTU: unit, PDU, CRC (2 bytes).
constexpr size_t kRtuOverhead = 3;
// An exception answer: unit, function | 0x80, exception code, CRC.
constexpr size_t kRtuExceptionLength = 5;
// A read answer without its data: unit, function, byte count, CRC.
constexpr size_t kRtuReadOverhead = 5;
// A write answer: unit, function, address, quantity or value, CRC.
constexpr size_t kRtuWriteLength = 8;
// A mask write answer (function 22): unit, function, address, AND mask, OR mask, CRC.
constexpr size_t kRtuMaskWriteLength = 10;
// ASCII: ":" and CR LF around the hex digits of unit, PDU and LRC.
constexpr size_t kAsciiOverhead = 3;
// The MBAP length field counts the unit and the PDU.
constexpr size_t kMbapLengthOffset = 4;
constexpr size_t kMbapUnitOffset = 6;

static_assert(kMaxFrame == 513);
static_assert(kMbapLength + kMaxPdu <= kMaxFrame && kRtuOverhead + kMaxPdu <= kMaxFrame);
// A read answer with the largest byte count ScanRtu accepts is exactly the longest RTU frame.
static_assert(kRtuReadOverhead + (kMaxPdu - 2) == kRtuOverhead + kMaxPdu);

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);
  p[1] = static_cast<uint8_t>(v);
}

void PutHex(uint8_t* p, uint8_t byte) {
  p[0] = static_cast<uint8_t>(kHexDigits[byte >> 4]);
  p[1] = static_cast<uint8_t>(kHexDigits[byte & 0x0F]);
}

FrameState Complete(size_t frameStart, size_t frameLength, size_t held, size_t* start,
                    size_t* length) {
  if (held < frameStart + frameLength)
    return FrameState::kNeedMore;
  if (start != nullptr)
    *start = frameStart;
  if (length != nullptr)
    *length = frameLength;
  return FrameState::kComplete;
}

FrameState ScanRtu(std::span<const uint8_t> bytes, size_t* start, size_t* length) {
  if (bytes.size() < 2)
    return FrameState::kNeedMore;
  const uint8_t function = bytes[1];
  if ((function & kExceptionBit) != 0)
    return Complete(0, kRtuExceptionLength, bytes.size(), start, length);
  switch (function) {
    case 1:
    case 2:
    case 3:
    case 4: {
      if (bytes.size() < 3)
        return FrameState::kNeedMore;
      // Function code and byte count are part of the PDU: a larger count cannot fit a frame.
      const size_t byteCount = bytes[2];
      if (byteCount > kMaxPdu - 2)
        return FrameState::kBad;
      return Complete(0, kRtuReadOverhead + byteCount, bytes.size(), start, length);
    }
    case 5:
    case 6:
    case 15:
    case 16:
      return Complete(0, kRtuWriteLength, bytes.size(), start, length);
    case 22:
      return Complete(0, kRtuMaskWriteLength, bytes.size(), start, length);
    default:
      return FrameState::kBad;  // no length can be known, so no frame boundary either
  }
}

FrameState ScanAscii(std::span<const uint8_t> bytes, size_t* start, size_t* length) {
  size_t colon = 0;
  while (colon < bytes.size() && bytes[colon] != kColon)
    ++colon;
  if (colon == bytes.size())
    return FrameState::kNeedMore;  // only noise so far
  // A CR LF is looked for only as far as the longest frame reaches: one further on cannot end a
  // frame, so the answer is the same whether the bytes came at once or a few at a time.
  for (size_t i = colon + 1; i + 1 < bytes.size() && i + 2 - colon <= kMaxFrame; ++i) {
    if (bytes[i] == kCr && bytes[i + 1] == kLf)
      return Complete(colon, i + 2 - colon, bytes.size(), start, length);
  }
  // Without CR LF yet: a frame that is to end in one at the earliest after the last byte held
  // would be longer than any frame can be.
  if (bytes.size() - colon >= kMaxFrame)
    return FrameState::kBad;
  return FrameState::kNeedMore;
}

FrameState ScanTcp(std::span<const uint8_t> bytes, size_t* start, size_t* length) {
  if (bytes.size() < kMbapLength - 1)
    return FrameState::kNeedMore;
  const size_t mbapLength = Get16(&bytes[kMbapLengthOffset]);
  if (mbapLength == 0 || mbapLength > kMaxPdu + 1)
    return FrameState::kBad;
  return Complete(0, kMbapUnitOffset + mbapLength, bytes.size(), start, length);
}

void SetPdu(std::span<const uint8_t>* pdu, std::span<const uint8_t> value) {
  if (pdu != nullptr)
    *pdu = value;
}

FrameCheck UnwrapRtu(std::span<const uint8_t> frame, uint8_t unit, std::span<const uint8_t>* pdu) {
  if (frame.size() < kRtuOverhead + 1 || frame.size() > kRtuOverhead + kMaxPdu)
    return FrameCheck::kMalformed;
  const size_t crcAt = frame.size() - 2;
  const uint16_t sent = static_cast<uint16_t>(frame[crcAt] | frame[crcAt + 1] << 8);
  if (Crc16(frame.first(crcAt)) != sent)
    return FrameCheck::kBadChecksum;
  if (frame[0] != unit)
    return FrameCheck::kWrongUnit;
  SetPdu(pdu, frame.subspan(1, crcAt - 1));
  return FrameCheck::kOk;
}

FrameCheck UnwrapAscii(std::span<const uint8_t> frame, uint8_t unit,
                       std::span<uint8_t, kMaxPdu + 2> scratch, std::span<const uint8_t>* pdu) {
  // At least unit, function code and LRC; at most unit, the largest PDU and LRC.
  if (frame.size() < kAsciiOverhead + 2 * 3 || frame.size() > kMaxFrame)
    return FrameCheck::kMalformed;
  if (frame[0] != kColon || frame[frame.size() - 2] != kCr || frame.back() != kLf)
    return FrameCheck::kMalformed;
  const size_t digits = frame.size() - kAsciiOverhead;
  if (digits % 2 != 0)
    return FrameCheck::kMalformed;
  const size_t count = digits / 2;
  for (size_t i = 0; i < count; ++i) {
    const int high = HexValue(frame[1 + 2 * i]);
    const int low = HexValue(frame[2 + 2 * i]);
    if (high < 0 || low < 0)
      return FrameCheck::kMalformed;
    scratch[i] = static_cast<uint8_t>(high << 4 | low);
  }
  if (Lrc(scratch.first(count - 1)) != scratch[count - 1])
    return FrameCheck::kBadChecksum;
  if (scratch[0] != unit)
    return FrameCheck::kWrongUnit;
  SetPdu(pdu, std::span<const uint8_t>(scratch).subspan(1, count - 2));
  return FrameCheck::kOk;
}

FrameCheck UnwrapTcp(std::span<const uint8_t> frame, uint8_t unit, uint16_t transactionId,
                     std::span<const uint8_t>* pdu) {
  if (frame.size() < kMbapLength + 1 || frame.size() > kMbapLength + kMaxPdu)
    return FrameCheck::kMalformed;
  if (Get16(&frame[2]) != 0 || Get16(&frame[kMbapLengthOffset]) != frame.size() - kMbapUnitOffset)
    return FrameCheck::kMalformed;
  if (Get16(&frame[0]) != transactionId)
    return FrameCheck::kWrongTransaction;
  if (frame[kMbapUnitOffset] != unit)
    return FrameCheck::kWrongUnit;
  SetPdu(pdu, frame.subspan(kMbapLength));
  return FrameCheck::kOk;
}

}  // namespace

uint16_t Crc16(std::span<const uint8_t> bytes) {
  uint16_t crc = 0xFFFF;
  for (uint8_t b : bytes) {
    crc ^= b;
    for (int bit = 0; bit < 8; ++bit)
      crc = (crc & 1) != 0 ? static_cast<uint16_t>(crc >> 1 ^ 0xA001) : crc >> 1;
  }
  return crc;
}

uint8_t Lrc(std::span<const uint8_t> bytes) {
  uint8_t sum = 0;
  for (uint8_t b : bytes)
    sum = static_cast<uint8_t>(sum + b);
  return static_cast<uint8_t>(-sum);
}

size_t Wrap(Framing framing, uint8_t unit, uint16_t transactionId, std::span<const uint8_t> pdu,
            std::span<uint8_t> out) {
  if (pdu.empty() || pdu.size() > kMaxPdu)
    return 0;
  switch (framing) {
    case Framing::kRtu: {
      const size_t n = kRtuOverhead + pdu.size();
      if (out.size() < n)
        return 0;
      out[0] = unit;
      std::copy(pdu.begin(), pdu.end(), out.begin() + 1);
      const uint16_t crc = Crc16(out.first(1 + pdu.size()));
      out[n - 2] = static_cast<uint8_t>(crc);  // low byte first
      out[n - 1] = static_cast<uint8_t>(crc >> 8);
      return n;
    }
    case Framing::kAscii: {
      const size_t n = kAsciiOverhead + 2 * (pdu.size() + 2);
      if (out.size() < n)
        return 0;
      out[0] = kColon;
      PutHex(&out[1], unit);
      uint8_t sum = unit;
      for (size_t i = 0; i < pdu.size(); ++i) {
        PutHex(&out[3 + 2 * i], pdu[i]);
        sum = static_cast<uint8_t>(sum + pdu[i]);
      }
      PutHex(&out[n - 4], static_cast<uint8_t>(-sum));  // the LRC of unit and PDU
      out[n - 2] = kCr;
      out[n - 1] = kLf;
      return n;
    }
    case Framing::kTcp: {
      const size_t n = kMbapLength + pdu.size();
      if (out.size() < n)
        return 0;
      Put16(&out[0], transactionId);
      Put16(&out[2], 0);  // protocol id
      Put16(&out[kMbapLengthOffset], static_cast<uint16_t>(1 + pdu.size()));
      out[kMbapUnitOffset] = unit;
      std::copy(pdu.begin(), pdu.end(), out.begin() + kMbapLength);
      return n;
    }
  }
  return 0;
}

FrameState Scan(Framing framing, std::span<const uint8_t> bytes, size_t* start, size_t* length) {
  switch (framing) {
    case Framing::kRtu:
      return ScanRtu(bytes, start, length);
    case Framing::kAscii:
      return ScanAscii(bytes, start, length);
    case Framing::kTcp:
      return ScanTcp(bytes, start, length);
  }
  return FrameState::kBad;
}

FrameCheck Unwrap(Framing framing, std::span<const uint8_t> frame, uint8_t unit,
                  uint16_t transactionId, std::span<uint8_t, kMaxPdu + 2> scratch,
                  std::span<const uint8_t>* pdu) {
  switch (framing) {
    case Framing::kRtu:
      return UnwrapRtu(frame, unit, pdu);
    case Framing::kAscii:
      return UnwrapAscii(frame, unit, scratch, pdu);
    case Framing::kTcp:
      return UnwrapTcp(frame, unit, transactionId, pdu);
  }
  return FrameCheck::kMalformed;
}

}  // namespace modbus
