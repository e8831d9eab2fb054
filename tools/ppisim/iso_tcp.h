// The PLC's side of S7 over ISO-on-TCP (RFC 1006), without any I/O: cutting TPKT packets from a
// byte stream, the COTP connection request and its confirm or refusal, the data TPDU around each
// S7 PDU, and the S7 jobs a client sends over it (setup communication, read and write variable
// with one or more items) with their ack-data replies.
//
//   TPKT   03 00 LEN(2, whole packet)
//   COTP   CR  LI E0 DST-REF(2) SRC-REF(2) CLASS  params (C0 size, C1 calling TSAP, C2 called TSAP)
//          CC  LI D0 DST-REF(2) SRC-REF(2) CLASS  params
//          DR  LI 80 DST-REF(2) SRC-REF(2) REASON
//          DT  02 F0 80 (last data unit) then the S7 PDU
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "tools/ppisim/sim_protocol.h"

namespace ppisim {

inline constexpr uint8_t kTpktVersion = 0x03;
inline constexpr uint8_t kCotpCr = 0xE0;
inline constexpr uint8_t kCotpCc = 0xD0;
inline constexpr uint8_t kCotpDr = 0x80;
inline constexpr uint8_t kCotpDt = 0xF0;
// Largest TPKT this PLC accepts; anything longer is a broken stream.
inline constexpr size_t kMaxTpkt = 4096;

// Cuts TPKT packets out of a byte stream.
class TpktScanner {
 public:
  void Feed(std::span<const uint8_t> bytes);
  // The next whole packet (header included) into `packet`; false while none is complete. Sets
  // `broken` when the stream cannot be a TPKT stream (wrong version, length below 7 or above
  // kMaxTpkt): the connection must be dropped.
  bool Next(std::vector<uint8_t>* packet, bool* broken);

 private:
  std::vector<uint8_t> buffer_;
};

// A COTP connection request.
struct ConnectRequest {
  uint16_t sourceReference = 0;
  uint16_t callingTsap = 0;  // the client's
  uint16_t calledTsap = 0;   // ours: connection type in the high byte, rack × 32 + slot in the low
  uint8_t tpduSizeCode = 0;  // 0 when the request names none
};

// Decodes the COTP part of a TPKT packet (after the 4-byte header) as a connection request;
// false with a reason for anything else.
[[nodiscard]] bool DecodeConnectRequest(std::span<const uint8_t> cotp, ConnectRequest* request,
                                        std::string* why);
// The whole TPKT packet confirming `request`, with `ownReference` as our reference.
std::vector<uint8_t> BuildConnectConfirm(const ConnectRequest& request, uint16_t ownReference);
// The whole TPKT packet refusing `request` (disconnect request, reason 0x81: address unknown).
std::vector<uint8_t> BuildConnectRefusal(const ConnectRequest& request);
// An S7 PDU in a data TPDU, as a whole TPKT packet.
std::vector<uint8_t> WrapPdu(std::span<const uint8_t> pdu);
// The S7 PDU of a data TPDU (the COTP part after the TPKT header); false when it is not one.
[[nodiscard]] bool UnwrapPdu(std::span<const uint8_t> cotp, std::span<const uint8_t>* pdu);

// A decoded S7 job of the TCP side.
struct TcpJob {
  enum class Kind { kSetup, kRead, kWrite };
  Kind kind = Kind::kRead;
  uint16_t reference = 0;
  uint16_t pduSize = 0;    // setup: the size the client offers
  std::vector<Job> items;  // read and write: one Job per item (station and master unused)
};

// Decodes an S7 PDU; false with a reason for other message types or functions, and lengths that
// do not add up.
[[nodiscard]] bool DecodeTcpJob(std::span<const uint8_t> pdu, TcpJob* job, std::string* why);

// The ack-data reply to a setup job agreeing `pduSize`.
std::vector<uint8_t> BuildSetupReply(uint16_t reference, uint16_t pduSize);
// The ack-data reply to a read or write job, one result per item in job order.
std::vector<uint8_t> BuildTcpReply(const TcpJob& job, std::span<const ItemResult> results);

}  // namespace ppisim
