#include "drivers/ppi/ppi_frame.h"

#include <algorithm>
#include <cstring>

#include "drivers/ppi/ppi_address.h"
#include "drivers/s7common/s7_pdu.h"
#include "drivers/s7common/s7_values.h"
#include "platform/atoms.h"

namespace ppi {
namespace {

// Offsets inside an SD2 job frame.
constexpr std::size_t kPosDa = 4;
constexpr std::size_t kPosFirstFcsByte = 4;  // the FCS sums from DA on
constexpr std::size_t kReadJobLength = 33;
constexpr std::size_t kWriteDataStart = 35;
constexpr std::size_t kUserDataJobLength = 52;

// The first interface carries bit addresses in 16 bits (byte 28 stays 0).
constexpr uint32_t kFirstInterfaceMaxBitAddress = 0xFFFF;

struct AreaCode {
  uint8_t code;
  uint16_t db;
};

// The wire area of a group's area entry; null for DELAY and for indexes outside the table, which
// never go on the wire.
const AreaInfo* WireArea(const RequestGroup& group) {
  const AreaInfo* info = AreaInfoOf(group.areaIndex);
  return info != nullptr && info->memory != Memory::kDelay ? info : nullptr;
}

void Put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v >> 8);  // big-endian: high byte first
  p[1] = static_cast<uint8_t>(v);
}

GroupItem* FirstItem(const RequestGroup& group) {
  return group.items.head != nullptr ? group.items.head->item : nullptr;
}

// The bit address of a job, or -1 when the interface cannot express it. The first interface
// would otherwise drop the high bits and address another byte of the PLC.
int64_t BitAddress(const RequestGroup& group, Interface via, uint32_t bit) {
  if (group.startAddress < 0)
    return -1;
  const int64_t address = int64_t{group.startAddress} * 8 + bit;
  const int64_t limit = via == Interface::kFirst ? kFirstInterfaceMaxBitAddress : 0xFFFFFF;
  return address > limit ? -1 : address;
}

// Bytes 0..30 shared by read and write jobs (LE, FC, data length and count still to be set by
// the caller through the arguments).
void PutJobHeader(uint8_t* f, uint8_t le, uint8_t da, uint8_t fc, uint8_t function,
                  uint16_t dataLength, uint8_t transportSize, uint16_t count, AreaCode area,
                  uint32_t bitAddress) {
  f[0] = kSd2;
  f[1] = le;
  f[2] = le;
  f[3] = kSd2;
  f[4] = da;
  f[5] = 0;  // SA: the driver is always station 0
  f[6] = fc;
  // The S7 PDU from byte 7 on; the PDU reference (bytes 11..12) is stamped when the job is sent.
  s7::PutJobHeader(f + 7, 0, 0x000E, dataLength);
  f[17] = function;
  f[18] = 0x01;  // one item
  s7::PutItemSpec(f + 19, transportSize, count, area.db, area.code, bitAddress);
}

// FCS over DA..the byte before it, then the end delimiter; returns the frame length.
std::size_t Seal(uint8_t* f, std::size_t fcsPos) {
  f[fcsPos] = Fcs({f + kPosFirstFcsByte, fcsPos - kPosFirstFcsByte});
  f[fcsPos + 1] = kEnd;
  return fcsPos + 2;
}

// Byte count of a read job, 0 when there is none.
int ReadCount(const RequestGroup& group, Interface via) {
  if (via == Interface::kFirst) {
    if (static_cast<uint16_t>(group.dataType) == kTypeString)
      return 0;
    // The largest end of an item, so every item's bytes are requested.
    int64_t maxEnd = 0;
    bool any = false;
    for (const GroupItemNode* n = group.items.head; n != nullptr; n = n->next) {
      if (n->item == nullptr)
        return 0;
      const int width = ValueWidth(n->item->dataType);
      if (width == 0)
        return 0;  // strings and unknown types are not readable here
      maxEnd = std::max<int64_t>(maxEnd, int64_t{n->item->byteAddress} + width);
      any = true;
    }
    if (!any)
      return 0;
    const int64_t count = maxEnd - group.startAddress;
    return count >= 1 && count <= 255 ? static_cast<int>(count) : 0;
  }
  if (group.startAddress == group.endAddress) {
    // A group of one item (a word in IW0 as much as in V0): the count is the value's width.
    const uint16_t type = static_cast<uint16_t>(group.dataType);
    if (type == kTypeString) {
      const GroupItem* item = FirstItem(group);
      if (item == nullptr)
        return 0;
      const int n = static_cast<uint8_t>(item->bitOrLength);  // the length byte at offset 12
      return n >= 1 && n <= kMaxStringLength ? n : 0;
    }
    return ValueWidth(type);
  }
  // The count field is one byte wide in practice; merged spans stay within 200 bytes.
  const int64_t span = int64_t{group.endAddress} - group.startAddress + 1;
  return span >= 1 && span <= 255 ? static_cast<int>(span) : 0;
}

// The 52-byte user-data job with which the first interface writes one bit of area Q.
std::size_t BuildQBitUserData(const RequestGroup& group, const GroupItem& item, uint32_t bitAddress,
                              std::span<uint8_t> out) {
  if (out.size() < kUserDataJobLength)
    return 0;
  static constexpr uint8_t kHead[] = {
      0x68, 0x2E, 0x2E, 0x68, 0x00, 0x00, 0x7C, 0x32, 0x07, 0x00, 0x00, 0x00, 0x00,  // 0..12
      0x00, 0x0C, 0x00, 0x15,                                                        // 13..16
      0x00, 0x01, 0x12, 0x08, 0x12, 0x48, 0x0E, 0x00, 0x00, 0x00, 0x00, 0x00,        // 17..28
      0xFF, 0x09, 0x00, 0x0C,                                                        // 29..32
      0x00, 0x01, 0x10, 0x01, 0x00, 0x01,                                            // 33..38
      0x00, 0x00, 0x82, 0x00,                                                        // 39..42
  };
  static_assert(sizeof kHead == 43);
  uint8_t* f = out.data();
  std::memcpy(f, kHead, sizeof kHead);
  f[kPosDa] = static_cast<uint8_t>(group.station);
  Put16(f + 43, bitAddress);
  f[45] = 0x00;
  f[46] = 0x03;
  Put16(f + 47, 0x0001);
  f[49] = static_cast<uint8_t>(item.value);
  return Seal(f, 50);
}

}  // namespace

uint8_t Fcs(std::span<const uint8_t> bytes) {
  uint32_t sum = 0;
  for (uint8_t b : bytes)
    sum += b;
  return static_cast<uint8_t>(sum);  // low byte of the sum
}

std::size_t BuildStatusRequest(int32_t station, std::span<uint8_t> out) {
  if (out.size() < 6)
    return 0;
  out[0] = kSd1;
  out[1] = static_cast<uint8_t>(station);
  out[2] = 0;
  out[3] = kFcStatus;
  out[4] = Fcs(out.subspan(1, 3));
  out[5] = kEnd;
  return 6;
}

std::size_t BuildDataRequest(std::span<const uint8_t> job, std::span<uint8_t> out) {
  if (job.size() <= kPosDa || out.size() < 6)
    return 0;
  out[0] = kSd1;
  out[1] = job[kPosDa];
  out[2] = 0;
  out[3] = kFcRequestData;
  out[4] = Fcs(out.subspan(1, 3));
  out[5] = kEnd;
  return 6;
}

bool IsStatusAnswer(std::span<const uint8_t> received, int32_t station) {
  if (received.size() < 6)
    return false;
  return received[0] == kSd1 && received[2] == static_cast<uint8_t>(station) &&
         received[4] == Fcs(received.subspan(1, 3)) && received[5] == kEnd;
}

std::size_t BuildReadJob(const RequestGroup& group, Interface via, std::span<uint8_t> out) {
  const AreaInfo* wire = WireArea(group);
  if (wire == nullptr || out.size() < kReadJobLength)
    return 0;
  const int count = ReadCount(group, via);
  if (count == 0)
    return 0;
  const int64_t bitAddress = BitAddress(group, via, 0);
  if (bitAddress < 0)
    return 0;
  std::fill(out.begin(), out.end(), 0);
  uint8_t* f = out.data();
  PutJobHeader(f, 0x1B, static_cast<uint8_t>(group.station), kFcJob, 0x04, 0, 0x02,
               static_cast<uint16_t>(count), AreaCode{wire->code, wire->db},
               static_cast<uint32_t>(bitAddress));
  return Seal(f, 31);
}

std::size_t BuildWriteJob(const RequestGroup& group, Interface via, std::span<uint8_t> out) {
  const AreaInfo* area_info = WireArea(group);
  const GroupItem* item = FirstItem(group);
  if (area_info == nullptr || item == nullptr)
    return 0;
  const uint16_t type = item->dataType;
  if (WritesReadOnlyMemory(group))
    return 0;  // memory the PLC keeps for itself is never sent a write
  const AreaCode area{area_info->code, area_info->db};
  const auto da = static_cast<uint8_t>(group.station);
  const auto value = static_cast<uint32_t>(item->value);

  if (type == kTypeBit) {
    // The second interface keeps the bit number in the item, the first in the group.
    const uint32_t bit = via == Interface::kSecond ? static_cast<uint8_t>(item->bitOrLength)
                                                   : static_cast<uint16_t>(group.bitOrLength);
    if (bit > 7)
      return 0;
    const int64_t bitAddress = BitAddress(group, via, bit);
    if (bitAddress < 0)
      return 0;
    if (IsUserDataJob(group, via)) {
      std::fill(out.begin(), out.end(), 0);
      return BuildQBitUserData(group, *item, static_cast<uint32_t>(bitAddress), out);
    }
    // V and Q through the second interface carry a pad byte after the value; M never does.
    const bool pad = via == Interface::kSecond &&
                     (area_info->memory == Memory::kV || area_info->memory == Memory::kQ);
    const std::size_t length = pad ? 39 : 38;
    if (out.size() < length)
      return 0;
    std::fill(out.begin(), out.end(), 0);
    uint8_t* f = out.data();
    PutJobHeader(f, static_cast<uint8_t>(length - 6), da, kFcBitJob, 0x05, pad ? 6 : 5, 0x01, 1,
                 area, static_cast<uint32_t>(bitAddress));
    f[32] = 0x03;  // data transport size: bit
    Put16(f + 33, 1);
    f[35] = static_cast<uint8_t>(value);
    return Seal(f, pad ? 37 : 36);
  }

  int n = 0;  // data bytes
  if (type == kTypeString) {
    if (via == Interface::kFirst)
      return 0;
    n = group.bitOrLength;
    if (n < 1 || n > kMaxStringLength)
      return 0;
  } else {
    n = ValueWidth(type);
    if (n == 0)
      return 0;
  }
  // A string carries its n characters and a terminating 0x00.
  const int wire = type == kTypeString ? n + 1 : n;
  const std::size_t fcsPos = kWriteDataStart + static_cast<std::size_t>(wire);
  if (out.size() < fcsPos + 2)
    return 0;
  const int64_t bitAddress = BitAddress(group, via, 0);
  if (bitAddress < 0)
    return 0;
  std::fill(out.begin(), out.end(), 0);
  uint8_t* f = out.data();
  uint8_t* data = f + kWriteDataStart;
  if (type == kTypeString) {
    if (!s7::StringFromAtom(static_cast<ATOM>(value & 0xFFFF), n, data))
      return 0;
  } else {
    s7::PutBigEndian(value, n, data);
  }
  PutJobHeader(f, static_cast<uint8_t>(fcsPos + 2 - 6), da, kFcJob, 0x05,
               static_cast<uint16_t>(wire + 4), 0x02, static_cast<uint16_t>(wire), area,
               static_cast<uint32_t>(bitAddress));
  f[32] = 0x04;  // data transport size: byte/word/dword, length in bits
  Put16(f + 33, static_cast<uint32_t>(wire) * 8);
  return Seal(f, fcsPos);
}

std::size_t BuildJob(const RequestGroup& group, Interface via, std::span<uint8_t> out) {
  if (IsDelayGroup(group))
    return 0;
  if (group.writeFlag == 0)
    return BuildReadJob(group, via, out);
  if (group.writeFlag == 1)
    return BuildWriteJob(group, via, out);
  return 0;
}

void StampPduReference(std::span<uint8_t> job, uint16_t reference) {
  if (job.size() < kPduReference + 4)
    return;
  Put16(job.data() + kPduReference, reference);
  job[job.size() - 2] = Fcs(job.subspan(kPosFirstFcsByte, job.size() - 2 - kPosFirstFcsByte));
}

bool ReplyAnswersJob(std::span<const uint8_t> reply, std::span<const uint8_t> job) {
  constexpr std::size_t kSa = kPosDa + 1;
  if (reply.size() < kPduReference + 2 || job.size() < kPduReference + 2 || reply[0] != kSd2)
    return false;
  return reply[kPosDa] == job[kSa] && reply[kSa] == job[kPosDa] &&
         reply[kPduReference] == job[kPduReference] &&
         reply[kPduReference + 1] == job[kPduReference + 1];
}

bool CheckFcs(std::span<const uint8_t> reply) {
  const std::size_t len = reply.size();
  if (len < 6)
    return false;  // SD2 header and the FCS position need this much
  return reply[len - 2] == Fcs(reply.subspan(kPosFirstFcsByte, len - 2 - kPosFirstFcsByte));
}

bool CheckReply(std::span<const uint8_t> reply) {
  if (!CheckFcs(reply))
    return false;
  // The return code must be a byte the FCS covered, not the FCS or beyond the reply.
  return kReplyReturnCode < reply.size() - 2 && reply[kReplyReturnCode] == kReturnOk;
}

bool WritesReadOnlyMemory(const RequestGroup& group) {
  const GroupItem* item = FirstItem(group);
  if (group.writeFlag != 1 || item == nullptr)
    return false;
  const int width = item->dataType == kTypeString ? group.bitOrLength + 1
                                                  : std::max(ValueWidth(item->dataType), 1);
  return IsReadOnly(group.areaIndex, group.startAddress, group.startAddress + width - 1);
}

bool IsUserDataJob(const RequestGroup& group, Interface via) {
  const GroupItem* item = FirstItem(group);
  const AreaInfo* wire = WireArea(group);
  return via == Interface::kFirst && group.writeFlag == 1 && wire != nullptr &&
         wire->memory == Memory::kQ && item != nullptr && item->dataType == kTypeBit;
}

std::span<const uint8_t> WithoutStrayAck(std::span<const uint8_t> reply) {
  return !reply.empty() && reply[0] == kShortAck ? reply.subspan(1) : reply;
}

BOOL DecodeReadReply(std::span<const uint8_t> reply, RequestGroup& group, Interface via,
                     const FILETIME& now) {
  // Data end where the FCS begins; nothing at or after it is item data.
  const std::size_t dataEnd = reply.size() >= 2 ? reply.size() - 2 : 0;
  for (GroupItemNode* node = group.items.head; node != nullptr; node = node->next) {
    GroupItem* item = node->item;
    if (item == nullptr)
      return 0;
    const uint16_t type = item->dataType;
    int32_t& target = via == Interface::kSecond ? item->value : item->bitOrLength;

    int size = ValueWidth(type);
    if (type == kTypeString) {
      if (via == Interface::kFirst) {
        target = 0;
        return 0;
      }
      size = static_cast<uint8_t>(item->bitOrLength);
      if (size < 1 || size > kMaxStringLength)
        return 0;
    } else if (size == 0) {
      target = 0;  // unknown type: value 0, the walk stops
      return 0;
    }

    const int64_t offset = int64_t{item->byteAddress} - group.startAddress;
    if (offset < 0)
      return 0;
    const std::size_t pos = kReplyData + static_cast<std::size_t>(offset);
    if (pos + static_cast<std::size_t>(size) > dataEnd)
      return 0;  // not in the bytes received
    const uint8_t* d = reply.data() + pos;

    const unsigned bit =
        via == Interface::kSecond ? static_cast<uint8_t>(item->bitOrLength) : item->bitNumber;
    if (!s7::DecodeValue(type, bit, d, size, target))
      return 0;
    if (via == Interface::kSecond) {
      item->quality = kQualityGood;
      item->updateTime = now;
    }
  }
  return 1;
}

BOOL HandleReply(std::span<const uint8_t> received, RequestGroup& group, Interface via,
                 const FILETIME& now) {
  // Every check and every data offset counts from the frame's own first byte.
  const std::span<const uint8_t> reply = WithoutStrayAck(received);
  if (!(IsUserDataJob(group, via) ? CheckFcs(reply) : CheckReply(reply)))
    return 0;
  if (group.writeFlag != 0)
    return 1;  // a write is complete; its items are not touched
  return DecodeReadReply(reply, group, via, now);
}

bool IsDelayGroup(const RequestGroup& group) {
  return group.areaIndex == kAreaDelay;
}

BOOL ApplyDelayGroup(RequestGroup& group, Interface via, const FILETIME& now, int32_t& pollDelay0,
                     int32_t& pollDelay1) {
  auto stamp = [&](GroupItem& item) {
    if (via == Interface::kSecond) {
      item.quality = kQualityGood;
      item.updateTime = now;
    }
  };
  if (group.writeFlag == 0) {
    for (GroupItemNode* node = group.items.head; node != nullptr; node = node->next) {
      if (node->item == nullptr)
        return 0;
      GroupItem& item = *node->item;
      const int32_t value = item.byteAddress == 0 ? pollDelay0 : pollDelay1;
      (via == Interface::kSecond ? item.value : item.bitOrLength) = value;
      stamp(item);
    }
    return 1;
  }
  if (group.writeFlag != 1)
    return 1;
  GroupItem* item = FirstItem(group);
  if (item == nullptr)
    return 0;
  (item->byteAddress == 0 ? pollDelay0 : pollDelay1) = item->value;
  pollDelay0 = std::clamp(pollDelay0, kPollDelayMin, kPollDelayMax);
  pollDelay1 = std::clamp(pollDelay1, kPollDelayMin, kPollDelayMax);
  stamp(*item);
  return 1;
}

ReplyFrame LocateReplyFrame(std::span<const uint8_t> received) {
  const std::size_t n = received.size();
  ReplyFrame first;
  for (std::size_t i = 0; i < n; ++i) {
    if (received[i] != kSd2)
      continue;
    // 68 LE LE 68: a header whose bytes disagree is noise, not a frame start.
    if (i + 1 < n && received[i + 1] < 3)
      continue;  // DA, SA and FC at least
    if (i + 2 < n && received[i + 2] != received[i + 1])
      continue;
    if (i + 3 < n && received[i + 3] != kSd2)
      continue;
    ReplyFrame here{true, i, i + 1 < n ? std::size_t{received[i + 1]} + 6 : 0, false};
    if (here.length != 0 && i + here.length <= n) {
      const std::span<const uint8_t> frame = received.subspan(i, here.length);
      here.sound = frame.back() == kEnd && CheckFcs(frame);
    }
    if (here.sound)
      return here;
    if (!first.found)
      first = here;
  }
  return first;
}

std::size_t ExpectedReplyLength(std::span<const uint8_t> received) {
  const ReplyFrame frame = LocateReplyFrame(received);
  return frame.length != 0 ? frame.offset + frame.length : 0;
}

bool ReplyLooksComplete(std::span<const uint8_t> received) {
  const std::size_t expected = ExpectedReplyLength(received);
  return expected != 0 && received.size() >= expected;
}

TakenReply TakeReplyFrame(std::span<uint8_t> buffer, std::size_t received,
                          std::span<const uint8_t> job) {
  received = std::min(received, buffer.size());
  const ReplyFrame located = LocateReplyFrame(buffer.first(received));
  TakenReply taken{received, false};
  if (located.found) {
    const std::size_t end =
        located.length != 0 ? std::min(received, located.offset + located.length) : received;
    std::copy(buffer.begin() + static_cast<std::ptrdiff_t>(located.offset),
              buffer.begin() + static_cast<std::ptrdiff_t>(end), buffer.begin());
    taken.length = end - located.offset;
  }
  // Only a frame that shows this job's station, master and reference answers it. Bytes without a
  // frame start or a frame cut before the reference cannot show them; the codec would not catch
  // them all, since for the user-data job it checks no more than the FCS.
  taken.answers = ReplyAnswersJob(buffer.first(taken.length), job);
  return taken;
}

bool ReplyIsNotReady(std::span<const uint8_t> received) {
  return !received.empty() && received.back() == kShortAck && !LocateReplyFrame(received).found;
}

}  // namespace ppi
