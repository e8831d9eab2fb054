#include "platform/serial_net.h"

#include <errno.h>
#include <linux/sockios.h>
#include <netdb.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>

#include <algorithm>
#include <chrono>
#include <cstdio>

namespace platform {
namespace {

using Clock = std::chrono::steady_clock;

// Bytes taken from the socket ahead of the reader at most; beyond this they wait in the kernel,
// as they would in a terminal's buffer.
constexpr size_t kMaxInbox = 64 * 1024;
// How long a telnet command may wait for room in a full socket before the connection counts as
// failed.
constexpr int kControlSendTimeoutMs = 1000;

bool StartsWithNoCase(std::string_view text, std::string_view prefix) {
  if (text.size() < prefix.size())
    return false;
  for (size_t i = 0; i < prefix.size(); ++i) {
    char c = text[i];
    if (c >= 'A' && c <= 'Z')
      c = static_cast<char>(c - 'A' + 'a');
    if (c != prefix[i])
      return false;
  }
  return true;
}

int MillisecondsUntil(Clock::time_point deadline) {
  const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now()).count();
  return left <= 0 ? 0 : static_cast<int>(std::min<int64_t>(left, 1 << 30));
}

// Waits for `events` on `fd` until `deadline`; true when they came.
bool WaitUntil(int fd, short events, Clock::time_point deadline) {
  for (;;) {
    pollfd p{fd, events, 0};
    const int r = ::poll(&p, 1, MillisecondsUntil(deadline));
    if (r < 0 && errno == EINTR)
      continue;
    if (r == 0)
      errno = ETIMEDOUT;
    return r > 0 && (p.revents & events) != 0;
  }
}

// Sends what the socket takes now: the count, 0 when it is full, -1 when the connection failed.
ssize_t SendNow(int fd, std::span<const uint8_t> bytes) {
  for (;;) {
    const ssize_t n = ::send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    if (n >= 0)
      return n;
    if (errno != EINTR)
      return errno == EAGAIN || errno == EWOULDBLOCK ? 0 : -1;
  }
}

// Connects a non-blocking socket to one resolved address before `deadline`.
UniqueFd ConnectOne(const addrinfo& ai, Clock::time_point deadline) {
  UniqueFd fd(
      ::socket(ai.ai_family, ai.ai_socktype | SOCK_NONBLOCK | SOCK_CLOEXEC, ai.ai_protocol));
  if (!fd)
    return fd;
  if (::connect(fd.get(), ai.ai_addr, ai.ai_addrlen) != 0) {
    if (errno != EINPROGRESS || !WaitUntil(fd.get(), POLLOUT, deadline))
      return UniqueFd();
    int error = 0;
    socklen_t length = sizeof error;
    if (::getsockopt(fd.get(), SOL_SOCKET, SO_ERROR, &error, &length) != 0 || error != 0) {
      errno = error != 0 ? error : errno;
      return UniqueFd();
    }
  }
  // Frames are small and wait for their answer: send each at once.
  const int one = 1;
  ::setsockopt(fd.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  return fd;
}

}  // namespace

NetAddressError ParseNetAddress(std::string_view text, NetAddress* out) {
  NetAddress at;
  if (StartsWithNoCase(text, "tcp://")) {
    at.kind = NetKind::kRaw;
    text.remove_prefix(6);
  } else if (StartsWithNoCase(text, "rfc2217://")) {
    at.kind = NetKind::kRfc2217;
    text.remove_prefix(10);
  } else {
    return NetAddressError::kNotNet;
  }
  std::string_view host, port;
  if (!text.empty() && text.front() == '[') {
    const size_t close = text.find(']');
    if (close == std::string_view::npos)
      return NetAddressError::kBadHost;
    host = text.substr(1, close - 1);
    const std::string_view rest = text.substr(close + 1);
    if (rest.empty() || rest.front() != ':')
      return host.empty() ? NetAddressError::kNoHost : NetAddressError::kNoPort;
    port = rest.substr(1);
  } else {
    const size_t colon = text.rfind(':');
    if (colon == std::string_view::npos)
      return text.empty() ? NetAddressError::kNoHost : NetAddressError::kNoPort;
    host = text.substr(0, colon);
    port = text.substr(colon + 1);
    if (host.find(':') != std::string_view::npos)
      return NetAddressError::kBadHost;  // an IPv6 address needs its brackets
  }
  if (host.empty())
    return NetAddressError::kNoHost;
  for (char c : host) {
    const auto u = static_cast<unsigned char>(c);
    if (u <= 0x20 || u == 0x7F || c == '/' || c == '\\' || c == '[' || c == ']' || c == '@' ||
        c == '?' || c == '#')
      return NetAddressError::kBadHost;
  }
  if (port.empty())
    return NetAddressError::kNoPort;
  if (port.size() > 5)
    return NetAddressError::kBadPort;
  unsigned value = 0;
  for (char c : port) {
    if (c < '0' || c > '9')
      return NetAddressError::kBadPort;
    value = value * 10 + static_cast<unsigned>(c - '0');
  }
  if (value == 0 || value > 65535)
    return NetAddressError::kBadPort;
  at.host = std::string(host);
  at.port = static_cast<uint16_t>(value);
  *out = std::move(at);
  return NetAddressError::kOk;
}

namespace telnet {

void AppendEscaped(std::span<const uint8_t> data, std::vector<uint8_t>& out) {
  out.reserve(out.size() + data.size());
  for (uint8_t b : data) {
    out.push_back(b);
    if (b == kIac)
      out.push_back(kIac);
  }
}

std::vector<uint8_t> ComPortCommand(uint8_t command, std::span<const uint8_t> value) {
  std::vector<uint8_t> out = {kIac, kSb, kComPort, command};
  AppendEscaped(value, out);
  out.push_back(kIac);
  out.push_back(kSe);
  return out;
}

std::vector<uint8_t> LineSettingsCommands(const DCB& dcb) {
  const uint8_t baud[4] = {
      static_cast<uint8_t>(dcb.BaudRate >> 24), static_cast<uint8_t>(dcb.BaudRate >> 16),
      static_cast<uint8_t>(dcb.BaudRate >> 8), static_cast<uint8_t>(dcb.BaudRate)};
  // DCB parity codes 0..4 (none, odd, even, mark, space) are the option's 1..5.
  const uint8_t parity = static_cast<uint8_t>(dcb.Parity + 1);
  const uint8_t stop = dcb.StopBits == TWOSTOPBITS ? 2 : dcb.StopBits == ONE5STOPBITS ? 3 : 1;
  std::vector<uint8_t> out = ComPortCommand(kSetBaudRate, baud);
  for (const auto& [command, value] :
       {std::pair{kSetDataSize, dcb.ByteSize}, std::pair{kSetParity, parity},
        std::pair{kSetStopSize, stop}}) {
    const std::vector<uint8_t> one = ComPortCommand(command, std::span(&value, 1));
    out.insert(out.end(), one.begin(), one.end());
  }
  return out;
}

void Decoder::Feed(std::span<const uint8_t> in, std::vector<uint8_t>& data,
                   std::vector<Event>& events) {
  for (uint8_t b : in) {
    switch (state_) {
      case State::kData:
        if (b == kIac)
          state_ = State::kIac;
        else
          data.push_back(b);
        break;
      case State::kIac:
        if (b == kIac) {
          data.push_back(kIac);
          state_ = State::kData;
        } else if (b >= kWill && b <= kDont) {
          command_ = b;
          state_ = State::kOption;
        } else if (b == kSb) {
          sub_ = Event{kSb, 0, {}};
          command_ = kSb;
          state_ = State::kOption;
        } else {
          state_ = State::kData;  // NOP, GA, DM, BRK, ...: nothing to keep
        }
        break;
      case State::kOption:
        if (command_ == kSb) {
          sub_.option = b;
          state_ = State::kSub;
        } else {
          events.push_back(Event{command_, b, {}});
          state_ = State::kData;
        }
        break;
      case State::kSub:
        if (b == kIac)
          state_ = State::kSubIac;
        else if (sub_.sub.size() < kMaxSub)
          sub_.sub.push_back(b);
        break;
      case State::kSubIac:
        if (b == kIac) {
          if (sub_.sub.size() < kMaxSub)
            sub_.sub.push_back(kIac);
          state_ = State::kSub;
        } else {
          // IAC SE ends it; any other command after IAC inside a subnegotiation ends it too.
          if (b == kSe)
            events.push_back(std::move(sub_));
          sub_ = Event{};
          state_ = State::kData;
        }
        break;
    }
  }
}

namespace {

bool WeOffer(uint8_t option) {
  return option == kBinary || option == kSuppressGoAhead || option == kComPort;
}
bool WeAccept(uint8_t option) {
  return option == kBinary || option == kSuppressGoAhead;
}

}  // namespace

std::vector<uint8_t> Negotiator::Start() {
  std::vector<uint8_t> out;
  for (uint8_t option : {kBinary, kSuppressGoAhead, kComPort}) {
    out.insert(out.end(), {kIac, kWill, option});
    ours_[option] = askedOurs_[option] = true;
  }
  for (uint8_t option : {kBinary, kSuppressGoAhead}) {
    out.insert(out.end(), {kIac, kDo, option});
    theirs_[option] = askedTheirs_[option] = true;
  }
  return out;
}

void Negotiator::Answer(const Event& event, std::vector<uint8_t>& reply) {
  const uint8_t option = event.option;
  switch (event.command) {
    case kDo:
      if (!WeOffer(option)) {
        reply.insert(reply.end(), {kIac, kWont, option});
      } else if (!ours_[option]) {
        ours_[option] = true;
        reply.insert(reply.end(), {kIac, kWill, option});
      }
      askedOurs_[option] = false;
      if (option == kComPort)
        comPort_ = Answered::kYes;
      break;
    case kDont:
      if (ours_[option]) {
        ours_[option] = false;
        // A refusal of our offer needs no answer; a change of mind about an agreed option does.
        if (!askedOurs_[option])
          reply.insert(reply.end(), {kIac, kWont, option});
      }
      askedOurs_[option] = false;
      if (option == kComPort)
        comPort_ = Answered::kNo;
      break;
    case kWill:
      if (!WeAccept(option)) {
        reply.insert(reply.end(), {kIac, kDont, option});
      } else if (!theirs_[option]) {
        theirs_[option] = true;
        reply.insert(reply.end(), {kIac, kDo, option});
      }
      askedTheirs_[option] = false;
      break;
    case kWont:
      if (theirs_[option]) {
        theirs_[option] = false;
        if (!askedTheirs_[option])
          reply.insert(reply.end(), {kIac, kDont, option});
      }
      askedTheirs_[option] = false;
      break;
    default:
      break;  // the server's answers to COM-PORT commands carry nothing the port needs
  }
}

}  // namespace telnet

std::unique_ptr<NetLine> NetLine::Connect(const NetAddress& address, int timeoutMs) {
  const Clock::time_point deadline = Clock::now() + std::chrono::milliseconds(timeoutMs);
  addrinfo hints{};
  hints.ai_family = AF_UNSPEC;
  hints.ai_socktype = SOCK_STREAM;
  char service[8];
  std::snprintf(service, sizeof service, "%u", unsigned{address.port});
  addrinfo* found = nullptr;
  if (::getaddrinfo(address.host.c_str(), service, &hints, &found) != 0 || found == nullptr) {
    errno = EHOSTUNREACH;
    return nullptr;
  }
  std::unique_ptr<addrinfo, decltype(&::freeaddrinfo)> list(found, &::freeaddrinfo);
  UniqueFd fd;
  for (const addrinfo* ai = list.get(); ai != nullptr && !fd; ai = ai->ai_next)
    fd = ConnectOne(*ai, deadline);
  if (!fd)
    return nullptr;

  std::unique_ptr<NetLine> line(new NetLine(std::move(fd), address.kind));
  if (address.kind == NetKind::kRaw)
    return line;
  if (!line->SendControl(line->negotiator_.Start()))
    return nullptr;
  // Setting the line means nothing until the server has taken the option.
  while (!line->negotiator_.ComPortAgreed()) {
    if (line->negotiator_.ComPortRefused()) {
      errno = EPROTONOSUPPORT;
      return nullptr;
    }
    if (!WaitUntil(line->Fd(), POLLIN, deadline))
      return nullptr;
    if (!line->Pump()) {
      errno = ECONNRESET;
      return nullptr;
    }
  }
  return line;
}

bool NetLine::Pump() {
  uint8_t buffer[4096];
  std::vector<uint8_t> data;
  std::vector<telnet::Event> events;
  while (!ended_ && inbox_.size() < kMaxInbox) {
    const ssize_t n = ::recv(fd_.get(), buffer, sizeof buffer, MSG_DONTWAIT);
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
      return true;
    if (n <= 0) {
      ended_ = true;  // closed by the server, or failed
      break;
    }
    const std::span<const uint8_t> got(buffer, static_cast<size_t>(n));
    if (kind_ == NetKind::kRaw) {
      inbox_.insert(inbox_.end(), got.begin(), got.end());
      continue;
    }
    data.clear();
    events.clear();
    decoder_.Feed(got, data, events);
    inbox_.insert(inbox_.end(), data.begin(), data.end());
    std::vector<uint8_t> reply;
    for (const telnet::Event& event : events)
      negotiator_.Answer(event, reply);
    if (!reply.empty() && !SendControl(reply))
      ended_ = true;
  }
  return !ended_;
}

size_t NetLine::Take(uint8_t* out, size_t size) {
  const size_t n = std::min(size, inbox_.size());
  std::copy_n(inbox_.begin(), n, out);
  inbox_.erase(inbox_.begin(), inbox_.begin() + static_cast<std::ptrdiff_t>(n));
  return n;
}

bool NetLine::Purge(bool receive, bool transmit) {
  bool ok = true;
  if (receive) {
    ok = Pump();  // what has arrived so far goes too
    inbox_.clear();
  }
  if (kind_ == NetKind::kRfc2217 && (receive || transmit)) {
    const uint8_t which = receive && transmit ? telnet::kPurgeBoth
                          : receive           ? telnet::kPurgeReceive
                                              : telnet::kPurgeTransmit;
    ok = SendControl(telnet::ComPortCommand(telnet::kPurgeData, std::span(&which, 1))) && ok;
  }
  return ok;
}

bool NetLine::FlushPending() {
  if (pendingOut_.empty())
    return true;
  const ssize_t n = SendNow(fd_.get(), pendingOut_);
  if (n > 0)
    pendingOut_.erase(pendingOut_.begin(), pendingOut_.begin() + n);
  return n >= 0;
}

bool NetLine::SendControl(std::span<const uint8_t> bytes) {
  // The tail of a cut escape belongs in front of anything sent after it.
  if (ended_)
    return false;
  std::vector<uint8_t> out = std::move(pendingOut_);
  pendingOut_.clear();
  out.insert(out.end(), bytes.begin(), bytes.end());
  const Clock::time_point deadline =
      Clock::now() + std::chrono::milliseconds(kControlSendTimeoutMs);
  size_t done = 0;
  while (done < out.size()) {
    const ssize_t n = SendNow(fd_.get(), std::span(out).subspan(done));
    if (n < 0 || (n == 0 && !WaitUntil(fd_.get(), POLLOUT, deadline)))
      return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

bool NetLine::Send(std::span<const uint8_t> data, size_t* accepted) {
  *accepted = 0;
  // A connection the server has closed takes nothing more, though the socket may still accept
  // a send or two before it learns.
  if (ended_ || !FlushPending())
    return false;
  if (!pendingOut_.empty() || data.empty())
    return true;  // the socket is still full
  std::vector<uint8_t> escaped;
  std::span<const uint8_t> wire = data;
  if (kind_ == NetKind::kRfc2217) {
    telnet::AppendEscaped(data, escaped);
    wire = escaped;
  }
  const ssize_t n = SendNow(fd_.get(), wire);
  if (n < 0)
    return false;
  if (kind_ == NetKind::kRaw) {
    *accepted = static_cast<size_t>(n);
    return true;
  }
  // Which data bytes went out: a doubled 0xFF of which only the first half left is counted
  // (the second half is sent before anything else).
  size_t left = static_cast<size_t>(n), i = 0;
  while (i < data.size() && left > 0) {
    const size_t cost = data[i] == telnet::kIac ? 2 : 1;
    if (left < cost) {
      pendingOut_.push_back(telnet::kIac);
      left = 0;
    } else {
      left -= cost;
    }
    ++i;
  }
  *accepted = i;
  return true;
}

size_t NetLine::OutQueued() const {
  int n = 0;
  if (::ioctl(fd_.get(), SIOCOUTQ, &n) != 0 || n < 0)
    n = 0;
  return static_cast<size_t>(n) + pendingOut_.size();
}

bool NetLine::SetLine(const DCB& dcb) {
  line_ = dcb;
  if (kind_ == NetKind::kRaw)
    return true;
  return SendControl(telnet::LineSettingsCommands(dcb));
}

}  // namespace platform
