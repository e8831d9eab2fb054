#include "drivers/modbus/modbus_pdu.h"

#include <algorithm>

namespace modbus {
namespace {

// Request layouts: function code, address and quantity (or value) as big-endian words; the
// multiple writes follow with a byte count and the data.
constexpr size_t kShortRequestLength = 5;  // reads and single writes
constexpr size_t kMultipleHeaderLength = 6;
constexpr size_t kWriteAnswerLength = 5;  // echo: function, address, quantity or value
constexpr size_t kMaskWriteLength = 7;    // function, address, AND mask, OR mask; echoed whole
constexpr uint8_t kExceptionBit = 0x80;
constexpr uint16_t kCoilOn = 0xFF00;
constexpr uint16_t kCoilOff = 0x0000;

// The largest multiple write must fit a PDU: header + the largest data of either kind.
static_assert(kMultipleHeaderLength + (kMaxWriteBits + 7) / 8 <= kMaxPdu);
static_assert(kMultipleHeaderLength + 2 * kMaxWriteRegisters <= kMaxPdu);
// A read answer's byte count is one byte, and the answer must fit a PDU too.
static_assert((kMaxReadBits + 7) / 8 <= 255 && 2 * kMaxReadRegisters <= 255);
static_assert(2 + 2 * kMaxReadRegisters <= kMaxPdu && 2 + (kMaxReadBits + 7) / 8 <= kMaxPdu);

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

void Put16(uint8_t* p, uint16_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);  // big-endian: high byte first
  p[1] = static_cast<uint8_t>(v);
}

size_t CoilBytes(size_t count) {
  return (count + 7) / 8;
}

bool IsRead(uint8_t function) {
  return function >= 1 && function <= 4;
}

int MaxReadCount(uint8_t function) {
  return function <= static_cast<uint8_t>(Function::kReadDiscreteInputs) ? kMaxReadBits
                                                                         : kMaxReadRegisters;
}

// True when `count` items from `address` are within 1..max and end at 65535 at the latest.
bool SpanFits(uint16_t address, size_t count, size_t max) {
  return count >= 1 && count <= max && size_t{address} + count <= 0x10000;
}

// The function code, address and quantity (or value) of a request.
size_t PutHeader(std::span<uint8_t, kMaxPdu> out, uint8_t function, uint16_t address,
                 uint16_t word) {
  out[0] = function;
  Put16(&out[1], address);
  Put16(&out[3], word);
  return kShortRequestLength;
}

// What a request asks for, as far as its answer is concerned.
struct RequestShape {
  uint8_t function = 0;
  size_t readBytes = 0;  // data bytes of a read answer; 0 for writes
};

// Parses a request PDU exactly as the builders make it; `function` stays 0 for anything else, so
// an answer is never checked against a request that makes no sense.
RequestShape ShapeOf(std::span<const uint8_t> request) {
  if (request.size() < kShortRequestLength)
    return {};
  const uint8_t function = request[0];
  const uint16_t address = Get16(&request[1]);
  const uint16_t word = Get16(&request[3]);
  if (IsRead(function)) {
    if (request.size() != kShortRequestLength ||
        !SpanFits(address, word, static_cast<size_t>(MaxReadCount(function))))
      return {};
    const bool bits = function <= static_cast<uint8_t>(Function::kReadDiscreteInputs);
    return {function, bits ? CoilBytes(word) : 2 * size_t{word}};
  }
  switch (static_cast<Function>(function)) {
    case Function::kWriteSingleCoil:
      if (request.size() != kShortRequestLength || (word != kCoilOn && word != kCoilOff))
        return {};
      return {function, 0};
    case Function::kWriteSingleRegister:
      if (request.size() != kShortRequestLength)
        return {};
      return {function, 0};
    case Function::kMaskWriteRegister:
      if (request.size() != kMaskWriteLength)
        return {};
      return {function, 0};
    case Function::kWriteMultipleCoils:
    case Function::kWriteMultipleRegisters: {
      const bool bits = function == static_cast<uint8_t>(Function::kWriteMultipleCoils);
      if (request.size() < kMultipleHeaderLength ||
          !SpanFits(address, word, bits ? kMaxWriteBits : kMaxWriteRegisters))
        return {};
      const size_t dataBytes = bits ? CoilBytes(word) : 2 * size_t{word};
      if (request[5] != dataBytes || request.size() != kMultipleHeaderLength + dataBytes)
        return {};
      return {function, 0};
    }
    default:
      return {};
  }
}

}  // namespace

size_t BuildReadRequest(Function function, uint16_t address, uint16_t count,
                        std::span<uint8_t, kMaxPdu> out) {
  const auto code = static_cast<uint8_t>(function);
  if (!IsRead(code) || !SpanFits(address, count, static_cast<size_t>(MaxReadCount(code))))
    return 0;
  return PutHeader(out, code, address, count);
}

size_t BuildWriteSingleCoil(uint16_t address, bool on, std::span<uint8_t, kMaxPdu> out) {
  return PutHeader(out, static_cast<uint8_t>(Function::kWriteSingleCoil), address,
                   on ? kCoilOn : kCoilOff);
}

size_t BuildWriteSingleRegister(uint16_t address, uint16_t value, std::span<uint8_t, kMaxPdu> out) {
  return PutHeader(out, static_cast<uint8_t>(Function::kWriteSingleRegister), address, value);
}

size_t BuildWriteMultipleCoils(uint16_t address, std::span<const uint8_t> bits,
                               std::span<uint8_t, kMaxPdu> out) {
  if (!SpanFits(address, bits.size(), kMaxWriteBits))
    return 0;
  const size_t dataBytes = CoilBytes(bits.size());
  PutHeader(out, static_cast<uint8_t>(Function::kWriteMultipleCoils), address,
            static_cast<uint16_t>(bits.size()));
  out[5] = static_cast<uint8_t>(dataBytes);
  uint8_t* data = &out[kMultipleHeaderLength];
  std::fill_n(data, dataBytes, uint8_t{0});  // bits past the last coil go out as 0
  for (size_t i = 0; i < bits.size(); ++i) {
    if (bits[i] != 0)
      data[i / 8] = static_cast<uint8_t>(data[i / 8] | 1u << (i % 8));  // LSB is the first coil
  }
  return kMultipleHeaderLength + dataBytes;
}

size_t BuildWriteMultipleRegisters(uint16_t address, std::span<const uint16_t> values,
                                   std::span<uint8_t, kMaxPdu> out) {
  if (!SpanFits(address, values.size(), kMaxWriteRegisters))
    return 0;
  const size_t dataBytes = 2 * values.size();
  PutHeader(out, static_cast<uint8_t>(Function::kWriteMultipleRegisters), address,
            static_cast<uint16_t>(values.size()));
  out[5] = static_cast<uint8_t>(dataBytes);
  for (size_t i = 0; i < values.size(); ++i)
    Put16(&out[kMultipleHeaderLength + 2 * i], values[i]);
  return kMultipleHeaderLength + dataBytes;
}

size_t BuildMaskWriteRegister(uint16_t address, uint16_t andMask, uint16_t orMask,
                              std::span<uint8_t, kMaxPdu> out) {
  PutHeader(out, static_cast<uint8_t>(Function::kMaskWriteRegister), address, andMask);
  Put16(&out[5], orMask);
  return kMaskWriteLength;
}

Reply CheckReply(std::span<const uint8_t> request, std::span<const uint8_t> answer) {
  Reply reply;  // kMalformed, also for a request no builder makes
  const RequestShape shape = ShapeOf(request);
  if (shape.function == 0)
    return reply;
  if (answer.empty()) {
    reply.status = ReplyStatus::kShort;
    return reply;
  }
  if (answer[0] == (shape.function | kExceptionBit)) {
    // Function code and exception code, nothing more.
    if (answer.size() < 2)
      reply.status = ReplyStatus::kShort;
    else if (answer.size() == 2) {
      reply.status = ReplyStatus::kException;
      reply.exceptionCode = answer[1];
    }
    return reply;
  }
  if (answer[0] != shape.function) {
    reply.status = ReplyStatus::kWrongFunction;
    return reply;
  }

  if (IsRead(shape.function)) {
    if (answer.size() < 2) {
      reply.status = ReplyStatus::kShort;
      return reply;
    }
    // A byte count other than the request implies is wrong however many bytes follow it.
    const size_t byteCount = answer[1];
    if (byteCount != shape.readBytes)
      return reply;
    if (answer.size() < 2 + byteCount) {
      reply.status = ReplyStatus::kShort;
      return reply;
    }
    if (answer.size() > 2 + byteCount)
      return reply;
    reply.status = ReplyStatus::kOk;
    reply.data = answer.subspan(2, byteCount);
    return reply;
  }

  // Writes echo the request's address and value (5, 6) or address and quantity (15, 16);
  // function 22 echoes its request whole.
  const size_t echo = shape.function == static_cast<uint8_t>(Function::kMaskWriteRegister)
                          ? kMaskWriteLength
                          : kWriteAnswerLength;
  if (answer.size() < echo) {
    reply.status = ReplyStatus::kShort;
    return reply;
  }
  if (answer.size() > echo ||
      !std::ranges::equal(answer.subspan(1, echo - 1), request.subspan(1, echo - 1)))
    return reply;
  reply.status = ReplyStatus::kOk;
  return reply;
}

size_t ExpectedAnswerLength(std::span<const uint8_t> request) {
  const RequestShape shape = ShapeOf(request);
  if (shape.function == 0)
    return 0;
  if (shape.function == static_cast<uint8_t>(Function::kMaskWriteRegister))
    return kMaskWriteLength;
  return IsRead(shape.function) ? 2 + shape.readBytes : kWriteAnswerLength;
}

}  // namespace modbus
