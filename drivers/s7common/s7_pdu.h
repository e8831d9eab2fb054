// The S7 PDU: the job header, the item address of a read or write item, the
// setup-communication job, and the checks and item walk of an ack-data reply. Shared by the PPI
// driver (which wraps the PDU in an SD2 frame) and the ISO-on-TCP driver (TPKT and COTP).
//
// Pure: bytes in, bytes out; every builder returns the length written, 0 when `out` is too small.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace s7 {

inline constexpr uint8_t kProtocolId = 0x32;
// Message types (ROSCTR).
inline constexpr uint8_t kJob = 0x01;
inline constexpr uint8_t kAck = 0x02;
inline constexpr uint8_t kAckData = 0x03;
// Functions.
inline constexpr uint8_t kFnRead = 0x04;
inline constexpr uint8_t kFnWrite = 0x05;
inline constexpr uint8_t kFnSetup = 0xF0;
// Item return code for success.
inline constexpr uint8_t kReturnOk = 0xFF;
// Transport size of a request item: one bit, or bytes.
inline constexpr uint8_t kTransportBit = 0x01;
inline constexpr uint8_t kTransportByte = 0x02;
// Transport size of a data item: bit; byte/word/dword with the length in bits; octets.
inline constexpr uint8_t kDataBit = 0x03;
inline constexpr uint8_t kDataBytes = 0x04;
inline constexpr uint8_t kDataOctets = 0x09;

inline constexpr std::size_t kJobHeaderSize = 10;
inline constexpr std::size_t kAckHeaderSize = 12;  // with error class and code
inline constexpr std::size_t kItemSpecSize = 12;
// Offset of the PDU reference in job and ack headers alike.
inline constexpr std::size_t kReferenceOffset = 4;

// The 10-byte job header: 32 01 0000 REF PARLEN DATLEN.
void PutJobHeader(uint8_t* p, uint16_t reference, uint16_t parameterLength, uint16_t dataLength);

// The 12-byte item address 12 0A 10 TS COUNT DB AREA ADDR(3 bytes, bits).
void PutItemSpec(uint8_t* p, uint8_t transportSize, uint16_t count, uint16_t db, uint8_t area,
                 uint32_t bitAddress);

// One item of a read or write job.
struct ItemSpec {
  uint8_t area = 0;
  uint16_t db = 0;
  uint32_t bitAddress = 0;  // byte × 8 + bit
  uint8_t transportSize = kTransportByte;
  uint16_t count = 0;  // bytes (or 1 for a bit)
};

// The setup-communication job offering `pduSize` bytes, one job at a time in each direction.
std::size_t BuildSetupJob(uint16_t reference, uint16_t pduSize, std::span<uint8_t> out);

// A read job for `items` (1..255 of them).
std::size_t BuildReadJob(uint16_t reference, std::span<const ItemSpec> items,
                         std::span<uint8_t> out);

// A write job for one item and its data (`dataTransport` kDataBit with one byte, or kDataBytes).
std::size_t BuildWriteJob(uint16_t reference, const ItemSpec& item, uint8_t dataTransport,
                          std::span<const uint8_t> data, std::span<uint8_t> out);

// Bytes of a read job for `items` items, and of its reply when every item is answered with the
// data lengths `lengths` (a data item of odd length is padded unless it is the last).
inline constexpr std::size_t ReadJobSize(std::size_t items) {
  return kJobHeaderSize + 2 + kItemSpecSize * items;
}
std::size_t ReadReplySize(std::span<const uint16_t> lengths);

// An ack-data reply cut into its parts.
struct AckData {
  uint16_t reference = 0;
  uint8_t errorClass = 0;
  uint8_t errorCode = 0;
  uint8_t function = 0;   // first parameter byte
  uint8_t itemCount = 0;  // second parameter byte
  std::span<const uint8_t> parameter;
  std::span<const uint8_t> data;
};

// Cuts `pdu` into an AckData. False when it is not an S7 ack or ack-data message, or its
// parameter and data lengths do not add up to the bytes there are.
bool ParseAck(std::span<const uint8_t> pdu, AckData* out);

// The PDU size agreed by a setup-communication reply; 0 when the reply is not one.
uint16_t SetupPduSize(const AckData& ack);

// One data item of a read reply.
struct DataItem {
  uint8_t returnCode = 0;
  uint8_t transport = 0;
  std::span<const uint8_t> bytes;  // empty unless returnCode is kReturnOk
};

// Walks the data part of a read reply into `out` (its size is the number of items expected).
// False when an item is cut off or the lengths do not add up.
bool ParseReadItems(std::span<const uint8_t> data, std::span<DataItem> out);

}  // namespace s7
