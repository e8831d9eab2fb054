// One ISO-on-TCP connection to a PLC: the TCP connection, the COTP connection on it (RFC 1006,
// ISO 8073 class 0), the setup-communication job that agrees the PDU size, and the exchange of one
// S7 job and its reply in data TPDUs.
//
// Blocking calls with a deadline each; the socket is non-blocking underneath, so no call waits
// longer than it was given. Not thread-safe: the owner serialises calls.
//
//   s7tcp::Link link;
//   int32_t error = 0;
//   if (!link.Open(station, tsaps, 1000, &error)) ...       // kErrConnect, kErrTsapRefused, ...
//   std::vector<uint8_t> reply;
//   if (link.Exchange(job, reply, 1000, &error)) ...        // reply = the S7 PDU
#pragma once

#include <cstdint>
#include <functional>
#include <span>
#include <vector>

#include "drivers/s7tcp/s7tcp_address.h"
#include "platform/unique_fd.h"

namespace s7tcp {

// The PDU size the driver offers in setup communication; the PLC may agree to less (>= 240).
inline constexpr uint16_t kOfferedPduSize = 960;
inline constexpr uint16_t kMinPduSize = 240;

class Link {
 public:
  // Called with every packet sent (true) or received (false), whole TPKT packets.
  using Monitor = std::function<void(bool sent, std::span<const uint8_t> packet)>;

  // Connects to the station (numeric address or host name), sends the COTP connection request
  // with `tsaps`, waits for the confirm, then agrees the PDU size, each step within `timeoutMs`.
  // False with *error = kErrConnect (no TCP connection), kErrTsapRefused (a disconnect request
  // answered the connection request), kErrTimeout, kErrConnectionLost, kErrBadReply or kErrSetup;
  // the connection is then closed.
  bool Open(const Station& station, const Tsaps& tsaps, int timeoutMs, int32_t* error);
  void Close();
  bool IsOpen() const { return static_cast<bool>(fd_); }
  // The PDU size agreed; 0 while closed.
  uint16_t PduSize() const { return pduSize_; }

  // Sends the S7 PDU `job` and receives the S7 PDU of the next data TPDU into `reply`, within
  // `timeoutMs`. False with *error = kErrTimeout, kErrConnectionLost or kErrBadReply (not a data
  // TPDU, or a TPKT stream out of step); the connection is then closed, since a late or broken
  // reply would otherwise be taken for the next job's.
  bool Exchange(std::span<const uint8_t> job, std::vector<uint8_t>& reply, int timeoutMs,
                int32_t* error);

  void SetMonitor(Monitor monitor) { monitor_ = std::move(monitor); }

 private:
  bool SendPacket(std::span<const uint8_t> packet, int timeoutMs, int32_t* error);
  bool ReceivePacket(std::vector<uint8_t>& packet, int timeoutMs, int32_t* error);

  platform::UniqueFd fd_;
  uint16_t pduSize_ = 0;
  uint16_t setupReference_ = 0;
  Monitor monitor_;
};

}  // namespace s7tcp
