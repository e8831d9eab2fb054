// The PLC's side of the PPI protocol, without any I/O: cutting the received byte stream into
// frames, decoding the jobs a master sends, executing them against a memory image and building
// the answers.
//
// Frames handled:
//   SD1  10 DA SA FC FCS 16                 status request (FC 49), request for data (FC 5C/7C)
//   SD2  68 LE LE 68 DA SA FC PDU.. FCS 16  jobs: read (04) / write (05) variable, one item;
//                                           the 52-byte user-data bit write
//   SC   E5                                 short acknowledgement of a job
// FCS is the low byte of the sum of every byte from DA up to the FCS.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tools/ppisim/sim_memory.h"

namespace ppisim {

inline constexpr uint8_t kSd1 = 0x10;
inline constexpr uint8_t kSd2 = 0x68;
inline constexpr uint8_t kEndDelimiter = 0x16;
inline constexpr uint8_t kShortAck = 0xE5;
inline constexpr uint8_t kStatusFc = 0x49;
// The FC of every frame this PLC sends: a response with data.
inline constexpr uint8_t kResponseFc = 0x08;
// The FC of the answer to a status request: a passive station (slave), the way an S7-200 answers
// on a PPI line. (0x20 would say "master, ready to enter the token ring".)
inline constexpr uint8_t kStationStatus = 0x00;

// Pass as the count of a fault (Fault, TcpFault) to keep it until it is cleared.
inline constexpr int kAlways = -1;

// Item return codes.
inline constexpr uint8_t kRcSuccess = 0xFF;
inline constexpr uint8_t kRcAccessDenied = 0x03;  // a write to SMB0..SMB29 or to AI
inline constexpr uint8_t kRcAddressOutOfRange = 0x05;
inline constexpr uint8_t kRcTypeNotSupported = 0x06;
inline constexpr uint8_t kRcTypeInconsistent = 0x07;
inline constexpr uint8_t kRcObjectDoesNotExist = 0x0A;

// Largest read this PLC answers, so that the reply PDU stays within 240 bytes.
inline constexpr size_t kMaxReadBytes = 222;

// Low byte of the sum of `bytes`.
uint8_t Fcs(std::span<const uint8_t> bytes);

// One unit cut from the received stream: a frame whose delimiters, length and FCS are right, or
// a run of bytes that belong to no such frame.
struct Chunk {
  enum class Kind { kSd1, kSd2, kGarbage };
  Kind kind = Kind::kGarbage;
  std::vector<uint8_t> bytes;
};

// Cuts frames out of a byte stream that may hold noise, broken frames and frames split across
// reads. A candidate that fails a check loses only its first byte, so a good frame hidden behind
// a false start is still found.
class FrameScanner {
 public:
  // Appends received bytes.
  void Feed(std::span<const uint8_t> bytes);
  // Takes the next frame or garbage run into `chunk`; false when the buffer is empty or holds only
  // the start of a frame. With `lineIdle` (no more bytes are coming) an incomplete frame is
  // taken as garbage, so a false start can never block the frames after it.
  [[nodiscard]] bool Next(bool lineIdle, Chunk* chunk);
  // True when bytes wait for the rest of a frame.
  bool HasPending() const { return !buffer_.empty(); }

 private:
  // Length of a complete valid frame at the front; 0 when invalid, -1 when more bytes are needed.
  int FrameAtFront() const;

  std::vector<uint8_t> buffer_;
};

// A decoded job.
struct Job {
  enum class Type { kRead, kWrite, kUserDataBitWrite };
  Type type = Type::kRead;
  uint8_t station = 0;  // DA of the job
  uint8_t master = 0;   // SA of the job, DA of the reply
  uint16_t pduReference = 0;
  uint8_t areaCode = 0;
  uint16_t db = 0;
  uint32_t bitAddress = 0;    // byte × 8 + bit, 24 bits
  uint8_t transportSize = 0;  // of the item (01 bit, 02 byte, 04 word, ...)
  uint16_t count = 0;         // elements of transportSize
  uint8_t dataTransport = 0;  // write: 03 bit, 04 byte/word/dword (length in bits), 09 octets
  uint16_t dataLength = 0;    // write: the length field of the data part
  std::vector<uint8_t> data;  // write: the data bytes as sent (may include a pad byte)
};

// Decodes an SD2 frame (already checked by FrameScanner) into a job. False, with the reason,
// for anything this PLC does not serve: other PDU types or functions, several items, lengths
// that do not add up, a user-data PDU other than the bit write.
[[nodiscard]] bool DecodeJob(std::span<const uint8_t> frame, Job* job, std::string* why);

// What a job did: the item's return code and, for a read, the data with its transport size and
// length field.
struct ItemResult {
  uint8_t returnCode = kRcSuccess;
  uint8_t dataTransport = 0;
  uint16_t lengthField = 0;
  std::vector<uint8_t> data;
};

// Executes a job: a read copies from memory, a write changes it. Any address or type the PLC
// cannot serve leaves memory untouched and gives a return code other than 0xFF: a write to
// read-only memory (SMB0..SMB29, AI) 0x03, an odd address or byte count in AI or AQ (words only)
// 0x05.
// `maxReadBytes` is the largest read served (the ISO-on-TCP side serves reads as large as its
// negotiated PDU allows).
ItemResult ExecuteJob(const Job& job, Memory& memory, size_t maxReadBytes = kMaxReadBytes);

// The reply frame to a job. For read and write variable it is an SD2 frame with an ack-data PDU
// whose item return code is at byte 21 and whose read data start at byte 25; for the user-data
// job a short user-data response carrying the return code at byte 29.
std::vector<uint8_t> BuildReply(const Job& job, const ItemResult& result);

// The SD1 answer to a status request: 10 master station 00 FCS 16.
std::vector<uint8_t> BuildStatusAnswer(uint8_t master, uint8_t station);

}  // namespace ppisim
