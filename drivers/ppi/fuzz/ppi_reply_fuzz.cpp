// Fuzz target of the PPI driver's reply side: the bytes a station (or line noise) sends back are
// located (LocateReplyFrame), measured while they arrive (ExpectedReplyLength,
// ReplyLooksComplete, ReplyIsNotReady), taken as the job's reply or not (TakeReplyFrame, the step
// the transport runs on them) and checked and decoded into a request group (HandleReply), or taken
// for a status answer (IsStatusAnswer). The group's job frame is built and stamped with its PDU
// reference too (BuildJob, StampPduReference).
//
// Input: an 8-byte group header, 3 bytes per item, then the bytes received.
//   byte 0: bit 0 first interface, bit 1 write, bit 2 a writeFlag of 2, bit 6 a negative start
//           address
//   byte 1: bits 0..2 the number of items less one
//   byte 2: end address less start address
//   bytes 3, 4: start address (big-endian)
//   byte 5: the area index (bits 0..4: 0..31, the table has 27 entries)
//   bytes 6, 7: the job's PDU reference (big-endian)
//   per item: address less start (signed), type (bits 0..3: 1 << n, 15 = two types at once) and
//             bit number (bits 4..7, the first interface's), bitOrLength (bit or string length)
//
// Properties:
//  - a built job is an SD2 frame of LE + 6 bytes with a right FCS and end delimiter, and the rest
//    of the buffer is zero; no job is built for DELAY, an index outside the table, or a write to
//    I, AIW or SMB0..SMB29; stamped with a reference, it carries it at bytes 11..12 with its FCS
//    renewed and every other byte as it was;
//  - a located frame starts at a start delimiter inside the bytes, with the length bytes that have
//    arrived agreeing; it is the first such start unless a later one is a whole sound frame, and
//    it is sound only when the whole frame is inside the bytes; nothing is located when no start
//    has agreeing length bytes; "not ready" means no start and a last byte E5;
//  - ExpectedReplyLength of the growing bytes is the located frame's end; once known it changes
//    only to the end of a sound frame; ReplyLooksComplete is true exactly when that many bytes are
//    held;
//  - the reply kept is the located frame as far as it arrived (only bytes before its start
//    delimiter are dropped), or all bytes when there is no start;
//  - a reply the transport and HandleReply both accept is an SD2 frame from the job's station to
//    the job's master with the job's PDU reference: a reply from another source, to another
//    master or for another reference is never accepted;
//  - an accepted status answer is 10 x DA y FCS 16 with the station's DA and a right FCS;
//  - HandleReply accepts a reply only when its FCS is right and (but for the user-data job) its
//    return code 0xFF lies before the FCS; a refused check leaves every item as it was, and so
//    does an accepted write;
//  - an accepted read stores into every item exactly the bytes at 25 + its offset, all inside the
//    reply's data; through the second interface with quality 192 and the given time; a string
//    becomes an atom of its text.
#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <span>
#include <string>
#include <vector>

#include "common/driver_contract.h"
#include "common/group_item.h"
#include "common/testing/fuzz_check.h"
#include "drivers/ppi/ppi_address.h"
#include "drivers/ppi/ppi_frame.h"
#include "platform/atoms.h"
#include "platform/gbk.h"

namespace {

using ppi::Interface;

constexpr std::size_t kHeader = 8;
constexpr std::size_t kItemBytes = 3;
constexpr FILETIME kNow{0x89ABCDEF, 0x01D9A5B4};
constexpr int32_t kValueMark = 0x5A5AA5A5;  // what an item holds before the reply
constexpr std::size_t kFullyCheckedLength = 128;

uint16_t TypeOf(uint8_t selector) {
  const unsigned shift = selector & 0x0F;
  return shift == 15 ? static_cast<uint16_t>(ppi::kTypeBit | ppi::kTypeByte)
                     : static_cast<uint16_t>(1u << shift);
}

uint8_t Sum(std::span<const uint8_t> bytes) {
  unsigned sum = 0;
  for (uint8_t b : bytes)
    sum += b;
  return static_cast<uint8_t>(sum);
}

// The checks HandleReply is to make, written out on their own.
bool ReplyPassesChecks(std::span<const uint8_t> reply, bool userData) {
  const std::size_t len = reply.size();
  if (len < 6 || reply[len - 2] != Sum(reply.subspan(4, len - 6)))
    return false;
  return userData || (ppi::kReplyReturnCode < len - 2 && reply[ppi::kReplyReturnCode] == 0xFF);
}

// Builds the group's job; returns it stamped with `reference` (empty when none is built).
std::vector<uint8_t> CheckJob(const RequestGroup& group, Interface via, uint16_t reference) {
  std::array<uint8_t, ppi::kFrameBufferSize> frame;
  frame.fill(0xCC);
  const std::size_t n = ppi::BuildJob(group, via, frame);
  FUZZ_CHECK(n <= frame.size());
  if (group.areaIndex >= ppi::kAreaDelay || group.writeFlag > 1)
    FUZZ_CHECK(n == 0);
  if (n == 0)
    return {};
  const ppi::AreaInfo* info = ppi::AreaInfoOf(group.areaIndex);
  FUZZ_CHECK(info != nullptr && info->memory != ppi::Memory::kDelay);
  if (group.writeFlag == 1) {
    // The PLC lets no master change its inputs or its status bytes.
    FUZZ_CHECK(info->memory != ppi::Memory::kI && info->memory != ppi::Memory::kAI);
    FUZZ_CHECK(info->memory != ppi::Memory::kSM || group.startAddress >= ppi::kFirstWritableSm);
  }
  FUZZ_CHECK(n >= 15 && frame[0] == ppi::kSd2 && frame[3] == ppi::kSd2);
  FUZZ_CHECK(frame[1] == n - 6 && frame[2] == n - 6);
  FUZZ_CHECK(frame[4] == static_cast<uint8_t>(group.station));
  FUZZ_CHECK(frame[n - 1] == ppi::kEnd && ppi::CheckFcs({frame.data(), n}));
  FUZZ_CHECK(std::all_of(frame.begin() + static_cast<std::ptrdiff_t>(n), frame.end(),
                         [](uint8_t b) { return b == 0; }));

  std::vector<uint8_t> job(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(n));
  ppi::StampPduReference(job, reference);
  FUZZ_CHECK(job[ppi::kPduReference] == reference >> 8 &&
             job[ppi::kPduReference + 1] == (reference & 0xFF));
  FUZZ_CHECK(ppi::CheckFcs(job) && job[n - 1] == ppi::kEnd);
  for (std::size_t i = 0; i < n - 2; ++i) {
    if (i != ppi::kPduReference && i != ppi::kPduReference + 1)
      FUZZ_CHECK(job[i] == frame[i]);
  }
  return job;
}

// A start delimiter at `i` whose length bytes, as far as they have arrived, agree: 68 LE LE 68
// with LE at least 3 (DA, SA and FC).
bool AgreeingStart(std::span<const uint8_t> bytes, std::size_t i) {
  const std::size_t n = bytes.size();
  return bytes[i] == ppi::kSd2 && (i + 1 >= n || bytes[i + 1] >= 3) &&
         (i + 2 >= n || bytes[i + 2] == bytes[i + 1]) && (i + 3 >= n || bytes[i + 3] == ppi::kSd2);
}

// An agreeing start at `i` with the whole frame inside the bytes, its end delimiter and FCS right.
bool SoundFrameAt(std::span<const uint8_t> bytes, std::size_t i) {
  if (!AgreeingStart(bytes, i) || i + 1 >= bytes.size())
    return false;
  const std::size_t length = std::size_t{bytes[i + 1]} + 6;
  if (i + length > bytes.size())
    return false;
  const std::span<const uint8_t> frame = bytes.subspan(i, length);
  return frame.back() == ppi::kEnd && frame[length - 2] == Sum(frame.subspan(4, length - 6));
}

void CheckLocated(std::span<const uint8_t> bytes) {
  const std::size_t n = bytes.size();
  const ppi::ReplyFrame located = ppi::LocateReplyFrame(bytes);
  std::size_t firstStart = n;
  std::size_t firstSound = n;
  for (std::size_t i = 0; i < n; ++i) {
    if (firstStart == n && AgreeingStart(bytes, i))
      firstStart = i;
    if (firstSound == n && SoundFrameAt(bytes, i))
      firstSound = i;
  }
  FUZZ_CHECK(located.found == (firstStart < n));
  FUZZ_CHECK(ppi::ReplyIsNotReady(bytes) ==
             (!located.found && n > 0 && bytes[n - 1] == ppi::kShortAck));
  if (!located.found)
    return;
  FUZZ_CHECK(located.offset < n && bytes[located.offset] == ppi::kSd2);
  FUZZ_CHECK(located.offset == (firstSound < n ? firstSound : firstStart));
  FUZZ_CHECK(located.sound == (firstSound < n));
  if (located.offset + 1 < n)
    FUZZ_CHECK(located.length == std::size_t{bytes[located.offset + 1]} + 6);
  else
    FUZZ_CHECK(located.length == 0);
  if (located.sound)
    FUZZ_CHECK(located.offset + located.length <= n);
}

void CheckLength(std::span<const uint8_t> reply) {
  std::size_t settled = 0;
  for (std::size_t i = 0; i <= reply.size(); ++i) {
    const std::span<const uint8_t> held = reply.first(i);
    // The oracle is cubic in the length: every prefix of a short reply, of a long one the whole.
    if (i <= kFullyCheckedLength || i == reply.size())
      CheckLocated(held);
    const ppi::ReplyFrame located = ppi::LocateReplyFrame(held);
    const std::size_t expected = ppi::ExpectedReplyLength(held);
    FUZZ_CHECK(expected == (located.length != 0 ? located.offset + located.length : 0));
    // Once the located start's header is whole, the length changes only when a whole sound frame
    // is located elsewhere. (A start whose later length bytes disagree is dropped before that.)
    if (settled != 0 && expected != settled)
      FUZZ_CHECK(located.sound);
    if (expected != 0 && located.offset + 4 <= held.size())
      settled = expected;
    FUZZ_CHECK(ppi::ReplyLooksComplete(held) == (expected != 0 && held.size() >= expected));
    if (expected != 0)
      FUZZ_CHECK(expected >= located.offset + 9);  // at least a frame of DA, SA and FC
  }
}

// The transport's step on what the reply phase received (the reply it keeps goes to `kept`), then,
// when that takes it for the job's answer, the codec's. 1 when both accept.
BOOL TakeAndHandle(std::span<const uint8_t> received, const std::vector<uint8_t>& job,
                   RequestGroup& group, Interface via, std::vector<uint8_t>& kept) {
  kept.assign(received.begin(), received.end());
  const ppi::TakenReply taken = ppi::TakeReplyFrame(kept, received.size(), job);
  FUZZ_CHECK(taken.length <= received.size());
  kept.resize(taken.length);
  // Only bytes before the located start delimiter are dropped, and what follows the frame.
  const ppi::ReplyFrame located = ppi::LocateReplyFrame(received);
  const std::size_t offset = located.found ? located.offset : 0;
  FUZZ_CHECK(offset + taken.length <= received.size());
  FUZZ_CHECK(
      std::equal(kept.begin(), kept.end(), received.begin() + static_cast<std::ptrdiff_t>(offset)));
  if (located.found) {
    FUZZ_CHECK(kept.front() == ppi::kSd2);
    FUZZ_CHECK(taken.length == (located.length != 0
                                    ? std::min(located.length, received.size() - offset)
                                    : received.size() - offset));
  } else {
    FUZZ_CHECK(taken.length == received.size());
  }
  if (!taken.answers)
    return 0;
  return ppi::HandleReply(kept, group, via, kNow);
}

void CheckStatusAnswer(std::span<const uint8_t> reply, int32_t station) {
  if (!ppi::IsStatusAnswer(reply, station))
    return;
  FUZZ_CHECK(reply.size() >= 6 && reply[0] == ppi::kSd1 && reply[5] == ppi::kEnd);
  FUZZ_CHECK(reply[2] == static_cast<uint8_t>(station));
  FUZZ_CHECK(reply[4] == Sum(reply.subspan(1, 3)));
}

// What a successful read must have stored into `item` (before: `old`).
void CheckDecodedItem(const GroupItem& item, const GroupItem& old, const RequestGroup& group,
                      std::span<const uint8_t> reply, Interface via) {
  FUZZ_CHECK(item.tagIndex == old.tagIndex && item.byteAddress == old.byteAddress &&
             item.dataType == old.dataType && item.bitNumber == old.bitNumber);
  const int32_t target = via == Interface::kSecond ? item.value : item.bitOrLength;
  const int32_t before = via == Interface::kSecond ? old.value : old.bitOrLength;
  const auto oldBits = static_cast<uint32_t>(before);
  int size = ppi::ValueWidth(item.dataType);
  if (item.dataType == ppi::kTypeString) {
    FUZZ_CHECK(via == Interface::kSecond);
    size = static_cast<uint8_t>(old.bitOrLength);
  }
  FUZZ_CHECK(size >= 1);
  const int64_t offset = int64_t{item.byteAddress} - group.startAddress;
  FUZZ_CHECK(offset >= 0);
  const std::size_t pos = ppi::kReplyData + static_cast<std::size_t>(offset);
  FUZZ_CHECK(pos + static_cast<std::size_t>(size) + 2 <= reply.size());
  const uint8_t* d = reply.data() + pos;
  const uint32_t be16 = uint32_t{d[0]} << 8 | (size >= 2 ? d[1] : 0);
  switch (item.dataType) {
    case ppi::kTypeBit: {
      const unsigned bit =
          via == Interface::kSecond ? static_cast<uint8_t>(old.bitOrLength) : old.bitNumber;
      FUZZ_CHECK(bit <= 7 && target == ((d[0] >> bit) & 1));
      break;
    }
    case ppi::kTypeByte:
      FUZZ_CHECK(static_cast<uint32_t>(target) == ((oldBits & ~0xFFu) | d[0]));
      break;
    case ppi::kTypeInt16:
      FUZZ_CHECK(static_cast<uint32_t>(target) == ((oldBits & ~0xFFFFu) | be16));
      break;
    case ppi::kTypeUint16:
      FUZZ_CHECK(static_cast<uint32_t>(target) == be16);
      break;
    case ppi::kTypeInt32:
    case ppi::kTypeFloat:
      FUZZ_CHECK(static_cast<uint32_t>(target) ==
                 (be16 << 16 | uint32_t{d[2]} << 8 | uint32_t{d[3]}));
      break;
    case ppi::kTypeString: {
      const std::string text(reinterpret_cast<const char*>(d),
                             strnlen(reinterpret_cast<const char*>(d), size));
      FUZZ_CHECK((static_cast<uint32_t>(target) & ~0xFFFFu) == (oldBits & ~0xFFFFu));
      const auto atom = static_cast<ATOM>(target & 0xFFFF);
      char name[256] = {};
      const UINT got = atom != 0 ? platform::GlobalGetAtomNameA(atom, name, sizeof name) : 0;
      // The atom table hands out whole GBK characters only: a lead byte at the very end of the
      // text is not part of the name it gives back.
      FUZZ_CHECK(std::string(name, got) == text.substr(0, platform::GbkPrefixLength(text, 255)));
      break;
    }
    default:
      FUZZ_CHECK(false);  // an unknown type never decodes
  }
  if (via == Interface::kSecond) {
    FUZZ_CHECK(item.quality == ppi::kQualityGood);
    FUZZ_CHECK(item.updateTime.dwLowDateTime == kNow.dwLowDateTime &&
               item.updateTime.dwHighDateTime == kNow.dwHighDateTime);
  } else {
    FUZZ_CHECK(item.value == old.value && item.quality == old.quality);
  }
}

bool SameItem(const GroupItem& a, const GroupItem& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < kHeader)
    return 0;
  const uint8_t flags = data[0];
  const std::size_t itemCount = (data[1] & 0x07) + 1u;
  if (size < kHeader + itemCount * kItemBytes)
    return 0;
  const Interface via = (flags & 0x01) != 0 ? Interface::kFirst : Interface::kSecond;

  RequestGroup group{};
  group.station = 2;
  group.areaIndex = static_cast<uint16_t>(data[5] & 0x1F);
  if (group.areaIndex < ppi::kAreaCount)
    group.area = &ppi::AreaTable()[group.areaIndex];
  group.writeFlag = (flags & 0x04) != 0 ? 2 : (flags & 0x02) != 0 ? 1 : 0;
  const int32_t start = data[3] << 8 | data[4];
  group.startAddress = (flags & 0x40) != 0 ? -start : start;
  group.endAddress = group.startAddress + data[2];

  std::vector<GroupItem*> items;
  for (std::size_t i = 0; i < itemCount; ++i) {
    const uint8_t* p = data + kHeader + i * kItemBytes;
    auto* item = new GroupItem{};
    item->tagIndex = static_cast<uint16_t>(i);
    item->byteAddress = static_cast<uint16_t>(group.startAddress + static_cast<int8_t>(p[0]));
    item->dataType = TypeOf(p[1]);
    item->bitNumber = static_cast<uint8_t>(p[1] >> 4);
    item->value = item->dataType == ppi::kTypeString ? 0x5A5A0000 : kValueMark;
    item->bitOrLength = p[2];
    AppendGroupItem(group.items, item);
    items.push_back(item);
  }
  group.dataType = static_cast<int16_t>(items.front()->dataType);
  group.bitOrLength = static_cast<int16_t>(items.front()->bitOrLength);

  const std::span<const uint8_t> reply(data + kHeader + itemCount * kItemBytes,
                                       size - kHeader - itemCount * kItemBytes);

  const auto reference = static_cast<uint16_t>(data[6] << 8 | data[7]);
  const std::vector<uint8_t> job = CheckJob(group, via, reference);
  CheckLength(reply);
  CheckStatusAnswer(reply, group.station);

  std::vector<GroupItem> before;
  for (const GroupItem* item : items)
    before.push_back(*item);
  const bool userData = ppi::IsUserDataJob(group, via);

  if (!job.empty()) {
    // The way of the received bytes through the transport and the codec: only this job's answer.
    std::vector<uint8_t> kept;
    const BOOL taken = TakeAndHandle(reply, job, group, via, kept);
    FUZZ_CHECK(taken == 0 || taken == 1);
    if (taken == 1) {
      FUZZ_CHECK(kept.size() > ppi::kPduReference + 1 && kept[0] == ppi::kSd2);
      FUZZ_CHECK(kept[4] == job[5] && kept[5] == job[4]);  // to our master, from the station
      FUZZ_CHECK(kept[5] == static_cast<uint8_t>(group.station));
      FUZZ_CHECK(kept[ppi::kPduReference] == job[ppi::kPduReference] &&
                 kept[ppi::kPduReference + 1] == job[ppi::kPduReference + 1]);
      FUZZ_CHECK(ReplyPassesChecks(kept, userData));
      if (group.writeFlag == 0) {
        for (std::size_t i = 0; i < items.size(); ++i)
          CheckDecodedItem(*items[i], before[i], group, kept, via);
      }
    }
    // The items as they were, for the codec's own checks below.
    for (std::size_t i = 0; i < items.size(); ++i) {
      if (items[i]->dataType == ppi::kTypeString && items[i]->value != before[i].value &&
          (items[i]->value & 0xFFFF) != 0)
        platform::GlobalDeleteAtom(static_cast<ATOM>(items[i]->value & 0xFFFF));
      *items[i] = before[i];
    }
  }

  // The codec alone, on the bytes as received.
  const BOOL handled = ppi::HandleReply(reply, group, via, kNow);
  FUZZ_CHECK(handled == 0 || handled == 1);
  const std::span<const uint8_t> frame = ppi::WithoutStrayAck(reply);
  const bool passes = ReplyPassesChecks(frame, userData);
  if (handled == 1)
    FUZZ_CHECK(passes);
  if (!passes || group.writeFlag != 0) {
    for (std::size_t i = 0; i < items.size(); ++i)
      FUZZ_CHECK(SameItem(*items[i], before[i]));
  }
  if (handled == 1 && group.writeFlag == 0) {
    for (std::size_t i = 0; i < items.size(); ++i)
      CheckDecodedItem(*items[i], before[i], group, frame, via);
  }

  // Strings decoded into atoms (also by a walk that stopped later on) give them back.
  for (const GroupItem* item : items) {
    if (item->dataType == ppi::kTypeString && (item->value & 0xFFFF) != 0)
      platform::GlobalDeleteAtom(static_cast<ATOM>(item->value & 0xFFFF));
  }
  ClearGroupItems(group.items);
  return 0;
}
