// The PPI frame codec: the job frames the driver sends for a RequestGroup, the short SD1 frames,
// the checks on a reply and the decoding of a reply into the group's items.
//
// Pure: bytes in, bytes out. No port, no clock (the caller passes the time stamp), no driver
// state (the caller passes its PollDelay registers). The only outside service is the global atom
// table, through which string values travel.
//
//   uint8_t frame[ppi::kFrameBufferSize];
//   std::size_t len = ppi::BuildJob(*group, ppi::Interface::kSecond, frame);
//   if (len == 0) return 0;                       // refused: nothing is sent
//   ... exchange: the reply overwrites `frame`, `received` bytes ...
//   return ppi::HandleReply({frame, received}, *group, ppi::Interface::kSecond, CoFileTimeNow());
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/driver_contract.h"
#include "common/group_item.h"
#include "platform/win_types.h"

namespace ppi {

// Size of the driver's frame buffer: the largest request and the most of a reply that is kept.
inline constexpr std::size_t kFrameBufferSize = 1024;

// Frame delimiters and function codes.
inline constexpr uint8_t kSd1 = 0x10;                // short frame start
inline constexpr uint8_t kSd2 = 0x68;                // variable-length frame start
inline constexpr uint8_t kEnd = 0x16;                // frame end
inline constexpr uint8_t kShortAck = 0xE5;           // single-byte acknowledgement
inline constexpr uint8_t kFcStatus = 0x49;           // FDL status request
inline constexpr uint8_t kFcRequestData = 0x5C;      // request for the reply data
inline constexpr uint8_t kFcJob = 0x6C;              // job (read, and writes other than bits)
inline constexpr uint8_t kFcBitJob = 0x7C;           // job carrying a bit write
inline constexpr uint8_t kReturnOk = 0xFF;           // item return code for success
inline constexpr std::size_t kReplyReturnCode = 21;  // reply offset of the item's return code
inline constexpr std::size_t kReplyData = 25;        // reply offset of the first data byte

// Which driver interface executes the group: the first (IProtocolDriver::ExecuteGroup: values at
// GroupItem offset 12, 16-bit bit addresses, no strings, a bit of Q written by a user-data job)
// or the second (IProtocolDriver2::ExecuteGroupEx: values at offset 8 with quality and time
// stamp).
enum class Interface { kFirst, kSecond };

// Quality word of an item after a successful read (or DELAY write) through the second interface.
inline constexpr uint16_t kQualityGood = 192;

// Frame check sequence: the low byte of the sum of `bytes`.
uint8_t Fcs(std::span<const uint8_t> bytes);

// SD1 status request 10 DA 00 49 FCS 16 for `station` (its low byte). Returns 6, or 0 when `out`
// holds fewer than 6 bytes.
std::size_t BuildStatusRequest(int32_t station, std::span<uint8_t> out);

// SD1 request for the reply data 10 DA 00 5C FCS 16, DA = byte 4 of the acknowledged `job`.
// Returns 6, or 0 when `job` is shorter than 5 bytes or `out` shorter than 6.
std::size_t BuildDataRequest(std::span<const uint8_t> job, std::span<uint8_t> out);

// True when `received` holds at least 6 bytes and the first six are 10 x DA y FCS 16 with DA =
// the low byte of `station` and a valid FCS: the station's answer to the status request.
bool IsStatusAnswer(std::span<const uint8_t> received, int32_t station);

// Builds the 33-byte read job for `group` into `out`. Returns the length, or 0 when the group
// cannot be read (DELAY or an index outside the area table, no valid byte count, a string through
// the first interface, a bit address the first interface cannot express, `out` too small).
std::size_t BuildReadJob(const RequestGroup& group, Interface via, std::span<uint8_t> out);

// Builds the write job for the group's first item into `out`. Returns the length, or 0 when the
// write is refused (read-only memory, see WritesReadOnlyMemory; DELAY or an index outside the
// area table, unknown type, a string through the first
// interface, string length outside 1..127, an unknown string atom, a bit address the first
// interface cannot express, `out` too small).
std::size_t BuildWriteJob(const RequestGroup& group, Interface via, std::span<uint8_t> out);

// BuildReadJob for writeFlag 0, BuildWriteJob for writeFlag 1; 0 for any other writeFlag and for
// DELAY groups, which never go on the wire (see ApplyDelayGroup). Every builder that succeeds
// leaves `out` zero beyond the frame, as a fresh zero-filled buffer would be.
std::size_t BuildJob(const RequestGroup& group, Interface via, std::span<uint8_t> out);

// Offset of the PDU reference (2 bytes, big-endian) in SD2 jobs and replies alike.
inline constexpr std::size_t kPduReference = 11;

// Puts `reference` into the job's PDU reference and renews its FCS; `job` is the whole frame as
// built (at least 15 bytes, else nothing changes). The reply carries the reference back, so a
// reply to another job, or another master's, can be told from this job's.
void StampPduReference(std::span<uint8_t> job, uint16_t reference);

// True when `reply` answers `job`: it comes from the station the job went to (reply SA = job DA),
// is addressed to the master that sent the job (reply DA = job SA) and carries the job's PDU
// reference. Both must hold at least 13 bytes, the reply from an SD2 start delimiter on. On a
// multi-drop line with several masters anything else is another conversation's frame.
bool ReplyAnswersJob(std::span<const uint8_t> reply, std::span<const uint8_t> job);

// True when `reply` holds at least 6 bytes and the FCS at len − 2 equals the low byte of the sum
// of bytes 4..len − 3.
bool CheckFcs(std::span<const uint8_t> reply);

// CheckFcs, and the item's return code at byte 21 is 0xFF and lies before the FCS: the check for
// the reply to every read and write job. A reply without the code (fewer than 24 bytes) fails,
// so a job the PLC refused is never taken for done.
bool CheckReply(std::span<const uint8_t> reply);

// True when the group is a write (writeFlag 1) whose bytes lie in memory that the PLC does not
// let a master change (ppi_address.h's IsReadOnly): BuildJob refuses it.
bool WritesReadOnlyMemory(const RequestGroup& group);

// True when BuildJob sends the group as the 52-byte user-data job (a bit write to Q through the
// first interface). Its reply has another layout: only its FCS is checked.
bool IsUserDataJob(const RequestGroup& group, Interface via);

// `reply` without one leading 0xE5: a station that repeats its acknowledgement puts it in front
// of the reply frame. Anything else is returned as it is.
std::span<const uint8_t> WithoutStrayAck(std::span<const uint8_t> reply);

// Stores the data of a checked read reply into the group's items, in list order: the item at
// byte address a finds its data at reply[25 + a − startAddress]. Second interface: value at
// offset 8, then quality 192 and `now`; first interface: value at offset 12. Byte and int16
// values replace only the low 8 or 16 bits; strings become a global atom in the low 16 bits.
// Returns 1 when every item was stored; 0 at the first item whose type is unknown (its value
// becomes 0), whose data lie beyond the reply's data, or that is a string through the first
// interface. Items before it keep their new values, items after it are untouched.
BOOL DecodeReadReply(std::span<const uint8_t> reply, RequestGroup& group, Interface via,
                     const FILETIME& now);

// The whole reply step of ExecuteGroup/ExecuteGroupEx: WithoutStrayAck, then CheckReply (CheckFcs
// for the user-data job), then for a write 1 without touching the items, for a read
// DecodeReadReply. 0 leaves every item as it was when a check fails.
BOOL HandleReply(std::span<const uint8_t> reply, RequestGroup& group, Interface via,
                 const FILETIME& now);

// True when the group addresses the DELAY area (area index 4) and is served by ApplyDelayGroup.
bool IsDelayGroup(const RequestGroup& group);

// Executes a DELAY group without traffic. Read (writeFlag 0): every item receives pollDelay0 for
// byte address 0 and pollDelay1 for any other address. Write (writeFlag 1): the first item's
// value (offset 8) goes into pollDelay0 (address 0) or pollDelay1, then both are clamped to
// 10..30000. Through the second interface each item touched also gets quality 192 and `now`.
// Returns 1; any other writeFlag returns 1 and does nothing; a write without items returns 0.
BOOL ApplyDelayGroup(RequestGroup& group, Interface via, const FILETIME& now, int32_t& pollDelay0,
                     int32_t& pollDelay1);

// Limits of the PollDelay registers (ms).
inline constexpr int32_t kPollDelayMin = 10;
inline constexpr int32_t kPollDelayMax = 30000;

// Where the reply frame lies in what the reply phase received. Bytes before it (line noise, a
// stray byte, a repeated acknowledgement) are not part of it. A candidate is an SD2 start
// delimiter whose length bytes agree (68 LE LE 68, as far as they have arrived); the first
// candidate counts, unless a later one already holds a whole frame with a right end delimiter
// and FCS (the first was noise that looked like a header).
struct ReplyFrame {
  bool found = false;      // a candidate start was seen
  std::size_t offset = 0;  // its first byte
  std::size_t length = 0;  // LE + 6 once LE has arrived, else 0
  bool sound = false;      // the whole frame is there with its end delimiter and FCS right
};
ReplyFrame LocateReplyFrame(std::span<const uint8_t> received);

// The number of bytes, counted from the start of `received`, that hold the whole reply: the
// located frame's offset + LE + 6 (so a repeated acknowledgement or noise in front is waited
// for too). 0 while too few bytes have arrived to know it.
std::size_t ExpectedReplyLength(std::span<const uint8_t> received);

// True once `received` holds at least ExpectedReplyLength bytes (false while that is unknown):
// the transport ends the reply phase on a quiet line only then.
bool ReplyLooksComplete(std::span<const uint8_t> received);

// What the reply phase keeps of the bytes received: the located reply frame (LocateReplyFrame)
// moved to the front of `buffer`, whose first `received` bytes hold what arrived, and cut after
// its announced length; without a frame start, what arrived as it is. `answers` is true only when
// the kept bytes are an SD2 frame that answers `job`, the job as sent (ReplyAnswersJob): bytes
// without a frame start, a frame cut before its PDU reference and a frame of another conversation
// are never the job's reply, whatever their FCS.
struct TakenReply {
  std::size_t length = 0;  // bytes kept at the front of `buffer`
  bool answers = false;
};
TakenReply TakeReplyFrame(std::span<uint8_t> buffer, std::size_t received,
                          std::span<const uint8_t> job);

// True when what arrived in answer to a request for data says "not ready": no frame start at
// all, and the last byte is the short acknowledgement E5 (the station has no reply yet, at the
// end of its scan). The master polls again.
bool ReplyIsNotReady(std::span<const uint8_t> received);

}  // namespace ppi
