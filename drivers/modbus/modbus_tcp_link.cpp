#include <arpa/inet.h>
#include <fcntl.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>
#include <utility>

#include "drivers/modbus/modbus_link.h"
#include "platform/tcp_connect.h"
#include "platform/unique_fd.h"

namespace modbus {
namespace {

using Clock = std::chrono::steady_clock;

using SocketFd = platform::UniqueFd;
using platform::AddrInfoList;
using platform::PollMs;
using platform::WaitFor;

// A name lookup on a thread of its own. The thread holds its own reference to the state, so
// giving up at the deadline only drops ours: the thread finishes the lookup later and frees what
// it found.
struct LookupState {
  std::mutex mutex;
  std::condition_variable done;
  bool finished = false;
  addrinfo* result = nullptr;

  ~LookupState() {
    if (result != nullptr)
      freeaddrinfo(result);
  }
};

// Looks `name` up while this thread sleeps; null when the name is unknown, the resolver fails or
// the deadline passes first.
AddrInfoList LookUpName(std::string name, std::string service, Clock::time_point deadline) {
  auto state = std::make_shared<LookupState>();
  try {
    std::thread([state, name = std::move(name), service = std::move(service)] {
      addrinfo hints{};
      hints.ai_family = AF_UNSPEC;
      hints.ai_socktype = SOCK_STREAM;
      hints.ai_flags = AI_NUMERICSERV;
      addrinfo* found = nullptr;
      if (getaddrinfo(name.c_str(), service.c_str(), &hints, &found) != 0)
        found = nullptr;
      std::lock_guard lock(state->mutex);
      state->result = found;
      state->finished = true;
      state->done.notify_all();
    }).detach();
  } catch (const std::system_error&) {
    return nullptr;  // no thread to be had: the request fails like an unknown host
  }
  std::unique_lock lock(state->mutex);
  if (!state->done.wait_until(lock, deadline, [&] { return state->finished; }))
    return nullptr;
  return AddrInfoList(std::exchange(state->result, nullptr));
}

// The addresses of `host`:`port`, before `deadline`. A numeric address is parsed on the spot; a
// name is looked up in the background while this thread sleeps, and given up at the deadline.
AddrInfoList Resolve(const std::string& host, uint16_t port, Clock::time_point deadline) {
  // "[::1]" is taken as well as "::1".
  std::string name = host;
  if (name.size() >= 2 && name.front() == '[' && name.back() == ']')
    name = name.substr(1, name.size() - 2);
  if (name.empty())
    return nullptr;
  const std::string service = std::to_string(port);

  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICHOST | AI_NUMERICSERV;
  addrinfo* numeric = nullptr;
  if (getaddrinfo(name.c_str(), service.c_str(), &hints, &numeric) == 0)
    return AddrInfoList(numeric);

  return LookUpName(std::move(name), service, deadline);
}

// True when the peer has closed or reset the connection (seen without reading any data).
bool PeerGone(int fd) {
  uint8_t byte = 0;
  for (;;) {
    const ssize_t n = ::recv(fd, &byte, 1, MSG_PEEK | MSG_DONTWAIT);
    if (n > 0)
      return false;  // bytes wait to be read (late answers, skipped by their transaction id)
    if (n == 0)
      return true;
    if (errno == EINTR)
      continue;
    return errno != EAGAIN && errno != EWOULDBLOCK;
  }
}

LinkStatus StatusOf(FrameCheck check) {
  switch (check) {
    case FrameCheck::kOk:
      return LinkStatus::kOk;
    case FrameCheck::kWrongUnit:
      return LinkStatus::kWrongUnit;
    case FrameCheck::kBadChecksum:
    case FrameCheck::kWrongTransaction:  // skipped before Unwrap is asked
    case FrameCheck::kMalformed:
      break;
  }
  return LinkStatus::kBadFrame;
}

uint16_t TransactionIdOf(std::span<const uint8_t> frame) {
  return static_cast<uint16_t>(frame[0] << 8 | frame[1]);
}

}  // namespace

struct TcpLinks::State {
  struct Connection {
    SocketFd fd;
    uint16_t nextTransaction = 1;
    // Bytes received and not yet taken: a frame's rest may follow in a later recv.
    std::array<uint8_t, 2 * kMaxFrame> received{};
    size_t held = 0;
  };
  std::map<std::string, Connection> connections;
  FrameMonitor monitor;

  void Report(bool sent, std::span<const uint8_t> frame) const {
    if (monitor && !frame.empty())
      monitor(sent, frame);
  }
};

TcpLinks::TcpLinks() : state_(std::make_unique<State>()) {}

TcpLinks::~TcpLinks() = default;

void TcpLinks::CloseAll() {
  state_->connections.clear();
}

size_t TcpLinks::ConnectionCount() const {
  return state_->connections.size();
}

void TcpLinks::SetMonitor(FrameMonitor monitor) {
  state_->monitor = std::move(monitor);
}

LinkStatus TcpLinks::Transact(const TcpEndpoint& at, uint8_t unit, std::span<const uint8_t> pdu,
                              std::vector<uint8_t>& answer, int timeoutMs) {
  answer.clear();
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(timeoutMs > 0 ? timeoutMs : kDefaultTimeoutMs);
  if (pdu.empty() || pdu.size() > kMaxPdu)
    return LinkStatus::kSendFailed;  // no frame for it; the connection is not at fault

  State& s = *state_;
  const std::string key = at.host + ":" + std::to_string(at.port);
  auto it = s.connections.find(key);
  // A connection the device has closed since the last request (devices drop idle ones) is
  // replaced before anything is sent on it.
  if (it != s.connections.end() && PeerGone(it->second.fd.get())) {
    s.connections.erase(it);
    it = s.connections.end();
  }
  if (it == s.connections.end()) {
    AddrInfoList addresses = Resolve(at.host, at.port, deadline);
    if (!addresses)
      return LinkStatus::kNoLine;
    SocketFd fd = platform::ConnectTcp(addresses.get(), deadline);
    if (!fd)
      return LinkStatus::kNoLine;
    it = s.connections.emplace(key, State::Connection{}).first;
    it->second.fd = std::move(fd);
  }
  State::Connection& c = it->second;
  auto drop = [&](LinkStatus status) {
    s.connections.erase(it);  // the next request connects again
    return status;
  };

  const uint16_t transaction = c.nextTransaction++;
  std::array<uint8_t, kMaxFrame> request{};
  const size_t requestLength = Wrap(Framing::kTcp, unit, transaction, pdu, request);
  if (requestLength == 0)
    return LinkStatus::kSendFailed;

  size_t sent = 0;
  while (sent < requestLength) {
    const ssize_t n = ::send(c.fd.get(), request.data() + sent, requestLength - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<size_t>(n);
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK) &&
        WaitFor(c.fd.get(), POLLOUT, deadline)) {
      continue;
    }
    break;
  }
  s.Report(true, std::span<const uint8_t>(request.data(), sent));
  if (sent < requestLength)
    return drop(LinkStatus::kSendFailed);

  for (;;) {
    size_t start = 0, length = 0;
    const std::span<const uint8_t> held(c.received.data(), c.held);
    const FrameState state = Scan(Framing::kTcp, held, &start, &length);
    if (state == FrameState::kComplete) {
      const std::span<const uint8_t> frame = held.subspan(start, length);
      s.Report(false, frame);
      if (TransactionIdOf(frame) != transaction) {
        // A late answer to an earlier request: skip it and wait on for ours.
        std::memmove(c.received.data(), c.received.data() + start + length,
                     c.held - start - length);
        c.held -= start + length;
        continue;
      }
      std::array<uint8_t, kMaxPdu + 2> scratch{};
      std::span<const uint8_t> answerPdu;
      const FrameCheck check = Unwrap(Framing::kTcp, frame, unit, transaction, scratch, &answerPdu);
      if (check != FrameCheck::kOk && check != FrameCheck::kWrongUnit)
        return drop(StatusOf(check));
      if (check == FrameCheck::kOk)
        answer.assign(answerPdu.begin(), answerPdu.end());
      // A whole frame keeps the stream's boundaries: the connection stays, whoever answered.
      std::memmove(c.received.data(), c.received.data() + start + length, c.held - start - length);
      c.held -= start + length;
      return StatusOf(check);
    }
    if (state == FrameState::kBad || c.held == c.received.size()) {
      s.Report(false, held);
      return drop(LinkStatus::kBadFrame);  // the stream has lost its frame boundaries
    }
    if (!WaitFor(c.fd.get(), POLLIN, deadline)) {
      s.Report(false, held);
      // A gateway serves many units over one connection: one silent unit must not cut the
      // others off. The connection stays, and the late answer, should it come, is skipped by its
      // transaction id. Only a frame cut off midway leaves the stream without boundaries.
      if (c.held != 0)
        return drop(LinkStatus::kTimeout);
      return LinkStatus::kTimeout;
    }
    const ssize_t n =
        ::recv(c.fd.get(), c.received.data() + c.held, c.received.size() - c.held, MSG_DONTWAIT);
    if (n > 0) {
      c.held += static_cast<size_t>(n);
    } else if (n == 0 || (errno != EINTR && errno != EAGAIN && errno != EWOULDBLOCK)) {
      s.Report(false, held);
      return drop(LinkStatus::kNoLine);  // closed or reset by the device
    }
  }
}

}  // namespace modbus
