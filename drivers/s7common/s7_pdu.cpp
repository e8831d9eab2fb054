#include "drivers/s7common/s7_pdu.h"

#include <cstring>

namespace s7 {
namespace {

void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);  // big-endian: high byte first
  p[1] = static_cast<uint8_t>(v);
}

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] << 8 | p[1]);
}

// Bytes a data item's length field stands for: bits for the bit-counted sizes.
std::size_t DataLength(uint8_t transport, uint16_t field) {
  switch (transport) {
    case kDataBytes:
    case 0x05:  // integer, length in bits
      return (field + 7u) / 8u;
    default:  // bit (one byte), real, octets: length in bytes
      return field;
  }
}

}  // namespace

void PutJobHeader(uint8_t* p, uint16_t reference, uint16_t parameterLength, uint16_t dataLength) {
  p[0] = kProtocolId;
  p[1] = kJob;
  p[2] = 0;
  p[3] = 0;
  Put16(p + 4, reference);
  Put16(p + 6, parameterLength);
  Put16(p + 8, dataLength);
}

void PutItemSpec(uint8_t* p, uint8_t transportSize, uint16_t count, uint16_t db, uint8_t area,
                 uint32_t bitAddress) {
  p[0] = 0x12;  // item address
  p[1] = 0x0A;  // its length
  p[2] = 0x10;  // S7-ANY addressing
  p[3] = transportSize;
  Put16(p + 4, count);
  Put16(p + 6, db);
  p[8] = area;
  p[9] = static_cast<uint8_t>(bitAddress >> 16);
  Put16(p + 10, bitAddress);
}

std::size_t BuildSetupJob(uint16_t reference, uint16_t pduSize, std::span<uint8_t> out) {
  constexpr std::size_t kLength = kJobHeaderSize + 8;
  if (out.size() < kLength)
    return 0;
  uint8_t* p = out.data();
  PutJobHeader(p, reference, 8, 0);
  p[10] = kFnSetup;
  p[11] = 0;
  Put16(p + 12, 1);  // jobs the caller may have open
  Put16(p + 14, 1);  // jobs the callee may have open
  Put16(p + 16, pduSize);
  return kLength;
}

std::size_t BuildReadJob(uint16_t reference, std::span<const ItemSpec> items,
                         std::span<uint8_t> out) {
  const std::size_t length = ReadJobSize(items.size());
  if (items.empty() || items.size() > 255 || out.size() < length)
    return 0;
  uint8_t* p = out.data();
  PutJobHeader(p, reference, static_cast<uint16_t>(2 + kItemSpecSize * items.size()), 0);
  p[10] = kFnRead;
  p[11] = static_cast<uint8_t>(items.size());
  for (std::size_t i = 0; i < items.size(); ++i) {
    const ItemSpec& s = items[i];
    PutItemSpec(p + 12 + kItemSpecSize * i, s.transportSize, s.count, s.db, s.area, s.bitAddress);
  }
  return length;
}

std::size_t BuildWriteJob(uint16_t reference, const ItemSpec& item, uint8_t dataTransport,
                          std::span<const uint8_t> data, std::span<uint8_t> out) {
  const std::size_t length = kJobHeaderSize + 2 + kItemSpecSize + 4 + data.size();
  if (data.empty() || data.size() > 0xFFF || out.size() < length)
    return 0;
  uint8_t* p = out.data();
  PutJobHeader(p, reference, 2 + kItemSpecSize, static_cast<uint16_t>(4 + data.size()));
  p[10] = kFnWrite;
  p[11] = 1;
  PutItemSpec(p + 12, item.transportSize, item.count, item.db, item.area, item.bitAddress);
  uint8_t* d = p + 12 + kItemSpecSize;
  d[0] = 0;  // reserved: the return code in the reply
  d[1] = dataTransport;
  const std::size_t bits = dataTransport == kDataBit ? 1 : data.size() * 8;
  Put16(d + 2, static_cast<uint32_t>(bits));
  std::memcpy(d + 4, data.data(), data.size());
  return length;
}

std::size_t ReadReplySize(std::span<const uint16_t> lengths) {
  std::size_t size = kAckHeaderSize + 2;
  for (std::size_t i = 0; i < lengths.size(); ++i) {
    size += 4 + lengths[i];
    if (lengths[i] % 2 != 0 && i + 1 < lengths.size())
      ++size;  // the fill byte that keeps the next item on an even offset
  }
  return size;
}

bool ParseAck(std::span<const uint8_t> pdu, AckData* out) {
  if (pdu.size() < kAckHeaderSize || pdu[0] != kProtocolId ||
      (pdu[1] != kAckData && pdu[1] != kAck))
    return false;
  const uint16_t parameterLength = Get16(&pdu[6]);
  const uint16_t dataLength = Get16(&pdu[8]);
  if (kAckHeaderSize + std::size_t{parameterLength} + dataLength != pdu.size())
    return false;
  out->reference = Get16(&pdu[kReferenceOffset]);
  out->errorClass = pdu[10];
  out->errorCode = pdu[11];
  out->parameter = pdu.subspan(kAckHeaderSize, parameterLength);
  out->data = pdu.subspan(kAckHeaderSize + parameterLength, dataLength);
  out->function = parameterLength >= 1 ? out->parameter[0] : 0;
  out->itemCount = parameterLength >= 2 ? out->parameter[1] : 0;
  return true;
}

uint16_t SetupPduSize(const AckData& ack) {
  if (ack.function != kFnSetup || ack.parameter.size() < 8 || ack.errorClass != 0)
    return 0;
  return Get16(&ack.parameter[6]);
}

bool ParseReadItems(std::span<const uint8_t> data, std::span<DataItem> out) {
  std::size_t pos = 0;
  for (std::size_t i = 0; i < out.size(); ++i) {
    // A failed item carries its return code and, from some PLCs, nothing more.
    if (pos >= data.size())
      return false;
    DataItem& item = out[i];
    item.returnCode = data[pos];
    item.bytes = {};
    if (item.returnCode != kReturnOk) {
      item.transport = pos + 1 < data.size() ? data[pos + 1] : 0;
      pos += pos + 4 <= data.size() ? 4 : data.size() - pos;
      continue;
    }
    if (pos + 4 > data.size())
      return false;
    item.transport = data[pos + 1];
    const std::size_t n = DataLength(item.transport, Get16(&data[pos + 2]));
    pos += 4;
    if (pos + n > data.size())
      return false;
    item.bytes = data.subspan(pos, n);
    pos += n;
    if (n % 2 != 0 && i + 1 < out.size())
      ++pos;
  }
  return pos <= data.size();
}

}  // namespace s7
