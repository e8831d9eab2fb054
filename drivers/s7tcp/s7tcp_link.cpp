#include "drivers/s7tcp/s7tcp_link.h"

#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include "drivers/s7common/s7_pdu.h"
#include "platform/tcp_connect.h"

namespace s7tcp {
namespace {

using Clock = std::chrono::steady_clock;
using platform::PollMs;
using platform::WaitFor;

constexpr uint8_t kTpktVersion = 0x03;
constexpr uint8_t kCotpConnectRequest = 0xE0;
constexpr uint8_t kCotpConnectConfirm = 0xD0;
constexpr uint8_t kCotpDisconnectRequest = 0x80;
constexpr uint8_t kCotpData = 0xF0;
constexpr std::size_t kMaxPacket = 4096;

Clock::time_point DeadlineIn(int timeoutMs) {
  return Clock::now() + std::chrono::milliseconds(std::max(timeoutMs, 1));
}

void Put16(std::vector<uint8_t>& out, uint32_t value) {
  out.push_back(static_cast<uint8_t>(value >> 8));
  out.push_back(static_cast<uint8_t>(value));
}

std::vector<uint8_t> Tpkt(std::span<const uint8_t> body) {
  std::vector<uint8_t> packet = {kTpktVersion, 0};
  Put16(packet, static_cast<uint32_t>(body.size() + 4));
  packet.insert(packet.end(), body.begin(), body.end());
  return packet;
}

}  // namespace

void Link::Close() {
  fd_.reset();
  pduSize_ = 0;
}

bool Link::SendPacket(std::span<const uint8_t> packet, int timeoutMs, int32_t* error) {
  const auto deadline = DeadlineIn(timeoutMs);
  if (monitor_)
    monitor_(true, packet);
  std::size_t sent = 0;
  while (sent < packet.size()) {
    const ssize_t n = ::send(fd_.get(), packet.data() + sent, packet.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (WaitFor(fd_.get(), POLLOUT, deadline))
        continue;
      *error = kErrTimeout;
    } else {
      *error = kErrConnectionLost;
    }
    Close();
    return false;
  }
  return true;
}

bool Link::ReceivePacket(std::vector<uint8_t>& packet, int timeoutMs, int32_t* error) {
  const auto deadline = DeadlineIn(timeoutMs);
  packet.clear();
  std::size_t want = 4;  // the TPKT header first, then the rest it announces
  uint8_t buffer[kMaxPacket];
  while (packet.size() < want) {
    const ssize_t n = ::recv(fd_.get(), buffer, want - packet.size(), 0);
    if (n > 0) {
      packet.insert(packet.end(), buffer, buffer + n);
      if (packet.size() == 4 && want == 4) {
        want = std::size_t{packet[2]} << 8 | packet[3];
        if (packet[0] != kTpktVersion || want < 7 || want > kMaxPacket) {
          if (monitor_)
            monitor_(false, packet);
          *error = kErrBadReply;
          Close();
          return false;
        }
      }
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) {
      if (WaitFor(fd_.get(), POLLIN, deadline))
        continue;
      *error = kErrTimeout;
    } else {
      *error = kErrConnectionLost;  // closed (0) or reset by the PLC
    }
    if (monitor_ && !packet.empty())
      monitor_(false, packet);
    Close();
    return false;
  }
  if (monitor_)
    monitor_(false, packet);
  return true;
}

bool Link::Open(const Station& station, const Tsaps& tsaps, int timeoutMs, int32_t* error) {
  Close();
  const auto deadline = DeadlineIn(timeoutMs);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  addrinfo* found = nullptr;
  const std::string service = std::to_string(station.port);
  if (getaddrinfo(station.host.c_str(), service.c_str(), &hints, &found) != 0) {
    *error = kErrConnect;
    return false;
  }
  platform::AddrInfoList addresses(found);
  fd_ = platform::ConnectTcp(addresses.get(), deadline);
  if (!fd_) {
    *error = kErrConnect;
    return false;
  }

  // COTP connection request: class 0, TPDU size 1024, our TSAP and the CPU's.
  std::vector<uint8_t> cr = {
      0, kCotpConnectRequest, 0x00, 0x00, 0x00, 0x01, 0x00, 0xC0, 0x01, 0x0A, 0xC1, 0x02};
  Put16(cr, tsaps.local);
  cr.insert(cr.end(), {0xC2, 0x02});
  Put16(cr, tsaps.remote);
  cr[0] = static_cast<uint8_t>(cr.size() - 1);
  std::vector<uint8_t> packet;
  if (!SendPacket(Tpkt(cr), PollMs(deadline), error) ||
      !ReceivePacket(packet, PollMs(deadline), error)) {
    // A PLC that does not know the TSAP may simply close the connection.
    if (*error == kErrConnectionLost)
      *error = kErrTsapRefused;
    return false;
  }
  if (packet.size() >= 6 && packet[5] == kCotpDisconnectRequest) {
    *error = kErrTsapRefused;
    Close();
    return false;
  }
  if (packet.size() < 6 || packet[5] != kCotpConnectConfirm) {
    *error = kErrBadReply;
    Close();
    return false;
  }

  uint8_t job[32];
  ++setupReference_;
  const std::size_t length = s7::BuildSetupJob(setupReference_, kOfferedPduSize, job);
  std::vector<uint8_t> reply;
  pduSize_ = kMinPduSize;  // what the setup job itself may use
  if (!Exchange({job, length}, reply, PollMs(deadline), error))
    return false;
  s7::AckData ack;
  const uint16_t agreed =
      s7::ParseAck(reply, &ack) && ack.reference == setupReference_ ? s7::SetupPduSize(ack) : 0;
  if (agreed < kMinPduSize) {
    *error = kErrSetup;
    Close();
    return false;
  }
  pduSize_ = std::min(agreed, kOfferedPduSize);
  return true;
}

bool Link::Exchange(std::span<const uint8_t> job, std::vector<uint8_t>& reply, int timeoutMs,
                    int32_t* error) {
  if (!fd_) {
    *error = kErrConnectionLost;
    return false;
  }
  const auto deadline = DeadlineIn(timeoutMs);
  std::vector<uint8_t> body = {0x02, kCotpData, 0x80};  // the last (only) data unit
  body.insert(body.end(), job.begin(), job.end());
  if (!SendPacket(Tpkt(body), PollMs(deadline), error))
    return false;
  std::vector<uint8_t> packet;
  if (!ReceivePacket(packet, PollMs(deadline), error))
    return false;
  // 03 00 LEN LEN 02 F0 80: one data TPDU carrying the whole reply.
  if (packet.size() < 7 || packet[4] != 0x02 || packet[5] != kCotpData || (packet[6] & 0x80) == 0) {
    *error = packet.size() >= 6 && packet[5] == kCotpDisconnectRequest ? kErrConnectionLost
                                                                       : kErrBadReply;
    Close();
    return false;
  }
  reply.assign(packet.begin() + 7, packet.end());
  return true;
}

}  // namespace s7tcp
