#include "tools/ppisim/iso_tcp_server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <charconv>
#include <cstdio>
#include <cstring>

#include "tools/ppisim/iso_tcp.h"

namespace ppisim {
namespace {

std::string Errno(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

std::string_view NextWord(std::string_view* rest) {
  std::string_view s = *rest;
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
    s.remove_prefix(1);
  const size_t end = std::min(s.find_first_of(" \t"), s.size());
  const std::string_view word = s.substr(0, end);
  s.remove_prefix(end);
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
    s.remove_prefix(1);
  *rest = s;
  return word;
}

bool ParseNumber(std::string_view word, int64_t low, int64_t high, int64_t* value) {
  int base = 10;
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
    word.remove_prefix(2);
    base = 16;
  }
  int64_t v = 0;
  auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), v, base);
  if (word.empty() || ec != std::errc() || end != word.data() + word.size() || v < low || v > high)
    return false;
  *value = v;
  return true;
}

}  // namespace

const char* TcpFaultKindName(TcpFaultKind kind) {
  switch (kind) {
    case TcpFaultKind::kNone:
      return "none";
    case TcpFaultKind::kSilence:
      return "silence";
    case TcpFaultKind::kDelay:
      return "delay";
    case TcpFaultKind::kDrop:
      return "drop";
    case TcpFaultKind::kCut:
      return "cut";
    case TcpFaultKind::kItemError:
      return "itemerror";
    case TcpFaultKind::kWrongReference:
      return "wrongref";
  }
  return "?";
}

bool ParseTcpFault(std::string_view text, TcpFault* fault, std::string* error) {
  std::string_view rest = text;
  const std::string_view kindWord = NextWord(&rest);
  if (kindWord == "off" || kindWord == "none") {
    *fault = TcpFault();
    return rest.empty() || (*error = "'off' takes no arguments", false);
  }
  TcpFault parsed;
  static constexpr TcpFaultKind kKinds[] = {
      TcpFaultKind::kSilence, TcpFaultKind::kDelay,     TcpFaultKind::kDrop,
      TcpFaultKind::kCut,     TcpFaultKind::kItemError, TcpFaultKind::kWrongReference};
  for (TcpFaultKind kind : kKinds) {
    if (kindWord == TcpFaultKindName(kind))
      parsed.kind = kind;
  }
  if (parsed.kind == TcpFaultKind::kNone) {
    *error = "unknown TCP fault '" + std::string(kindWord) +
             "' (silence delay drop cut itemerror wrongref off)";
    return false;
  }
  int64_t number = 0;
  if (!rest.empty()) {
    const std::string_view countWord = NextWord(&rest);
    if (countWord == "always") {
      parsed.count = kAlways;
    } else if (ParseNumber(countWord, 1, 1000000000, &number)) {
      parsed.count = static_cast<int>(number);
    } else {
      *error = "count must be a positive number or 'always'";
      return false;
    }
  }
  if (!rest.empty()) {
    const std::string_view arg = NextWord(&rest);
    switch (parsed.kind) {
      case TcpFaultKind::kDelay:
        if (!ParseNumber(arg, 0, 600000, &number))
          return (*error = "delay is 0..600000 ms", false);
        parsed.delayMs = static_cast<int>(number);
        break;
      case TcpFaultKind::kCut:
        if (!ParseNumber(arg, 0, 100000, &number))
          return (*error = "cut takes a byte count", false);
        parsed.cutAfter = static_cast<size_t>(number);
        break;
      case TcpFaultKind::kItemError:
        if (!ParseNumber(arg, 0, 255, &number) || number == kRcSuccess)
          return (*error = "item error return code is 0..254", false);
        parsed.returnCode = static_cast<uint8_t>(number);
        break;
      default:
        *error = std::string(TcpFaultKindName(parsed.kind)) + " takes no argument";
        return false;
    }
  }
  if (!rest.empty()) {
    *error = "too many arguments";
    return false;
  }
  *fault = parsed;
  return true;
}

IsoTcpServer::IsoTcpServer(TcpOptions options, Executor execute, Logger log)
    : options_(std::move(options)), execute_(std::move(execute)), log_(std::move(log)) {}

IsoTcpServer::~IsoTcpServer() {
  Stop();
}

bool IsoTcpServer::Start(std::string* error) {
  if (thread_.joinable())
    return (*error = "TCP side already running", false);
  if (options_.port < 0 || options_.port > 65535)
    return (*error = "TCP port must be 0..65535", false);
  if (options_.pduSize < 240 || options_.pduSize > 960)
    return (*error = "PDU size must be 240..960", false);
  platform::UniqueFd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0));
  if (!fd)
    return (*error = Errno("socket"), false);
  const int on = 1;
  ::setsockopt(fd.get(), SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(static_cast<uint16_t>(options_.port));
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd.get(), reinterpret_cast<sockaddr*>(&address), sizeof address) != 0)
    return (*error = Errno("bind"), false);
  if (::listen(fd.get(), 16) != 0)
    return (*error = Errno("listen"), false);
  socklen_t size = sizeof address;
  if (::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&address), &size) != 0)
    return (*error = Errno("getsockname"), false);
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
    return (*error = Errno("pipe2"), false);
  wakeRead_.reset(pipeFds[0]);
  wakeWrite_.reset(pipeFds[1]);
  listen_ = std::move(fd);
  port_ = ntohs(address.sin_port);
  stop_ = false;
  char note[96];
  std::snprintf(note, sizeof note, "ISO-on-TCP on 127.0.0.1:%u, PDU up to %u bytes",
                unsigned{port_}, unsigned{options_.pduSize});
  log_("TCP", {}, note);
  thread_ = std::thread(&IsoTcpServer::Serve, this);
  return true;
}

void IsoTcpServer::Stop() {
  if (!thread_.joinable())
    return;
  stop_ = true;
  const char wake = 'x';
  if (::write(wakeWrite_.get(), &wake, 1) < 0) {
    // A full pipe wakes the thread just as well.
  }
  thread_.join();
  connections_.clear();
  listen_.reset();
  wakeRead_.reset();
  wakeWrite_.reset();
  port_ = 0;
}

void IsoTcpServer::SetFault(const TcpFault& fault) {
  std::lock_guard lock(mu_);
  fault_ = fault.count == 0 ? TcpFault() : fault;
}

TcpFault IsoTcpServer::CurrentFault() const {
  std::lock_guard lock(mu_);
  return fault_;
}

TcpCounters IsoTcpServer::GetCounters() const {
  std::lock_guard lock(mu_);
  return counters_;
}

TcpFault IsoTcpServer::TakeFault() {
  std::lock_guard lock(mu_);
  TcpFault taken = fault_;
  if (fault_.kind == TcpFaultKind::kNone)
    return taken;
  if (fault_.count != kAlways && --fault_.count <= 0)
    fault_ = TcpFault();
  ++counters_.faults;
  return taken;
}

bool IsoTcpServer::Sleep(int ms) {
  pollfd p{wakeRead_.get(), POLLIN, 0};
  return ::poll(&p, 1, ms) == 0 && !stop_;
}

void IsoTcpServer::Serve() {
  while (!stop_) {
    std::vector<pollfd> fds;
    fds.push_back({wakeRead_.get(), POLLIN, 0});
    fds.push_back({listen_.get(), POLLIN, 0});
    for (const Connection& c : connections_)
      fds.push_back({c.fd.get(), POLLIN, 0});
    if (::poll(fds.data(), fds.size(), -1) < 0) {
      if (errno == EINTR)
        continue;
      log_("TCP", {}, Errno("poll"));
      return;
    }
    if (stop_)
      return;
    if (fds[1].revents & POLLIN) {
      platform::UniqueFd client(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      if (client) {
        const int on = 1;
        ::setsockopt(client.get(), IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
        Connection c;
        c.fd = std::move(client);
        connections_.push_back(std::move(c));
        std::lock_guard lock(mu_);
        ++counters_.connections;
      }
    }
    // Connections accepted in this round have no entry in `fds` yet.
    for (size_t k = 0; k + 2 < fds.size() && k < connections_.size(); ++k) {
      if (fds[k + 2].revents == 0)
        continue;
      Connection& c = connections_[k];
      uint8_t buffer[4096];
      const ssize_t n = ::recv(c.fd.get(), buffer, sizeof buffer, 0);
      if (n <= 0) {
        if (n < 0 && (errno == EINTR || errno == EAGAIN))
          continue;
        log_("TCP", {}, "client closed the connection");
        c.closing = true;
        continue;
      }
      c.scanner.Feed(std::span<const uint8_t>(buffer, static_cast<size_t>(n)));
      HandleInput(c);
      if (stop_)
        return;
    }
    std::erase_if(connections_, [](const Connection& c) { return c.closing; });
  }
}

void IsoTcpServer::HandleInput(Connection& c) {
  std::vector<uint8_t> packet;
  bool broken = false;
  while (!c.closing && c.scanner.Next(&packet, &broken)) {
    log_("TCP-RX", packet, {});
    HandlePacket(c, std::span<const uint8_t>(packet).subspan(4));
  }
  if (broken) {
    log_("TCP", {}, "not a TPKT stream; connection closed");
    c.closing = true;
  }
}

void IsoTcpServer::HandlePacket(Connection& c, std::span<const uint8_t> cotp) {
  if (!c.open) {
    ConnectRequest request;
    std::string why;
    if (!DecodeConnectRequest(cotp, &request, &why)) {
      log_("TCP", {}, why + "; connection closed");
      c.closing = true;
      return;
    }
    const uint8_t type = static_cast<uint8_t>(request.calledTsap >> 8);
    const uint8_t rackSlot = static_cast<uint8_t>(request.calledTsap);
    const bool known = type >= 1 && type <= 3 &&
                       std::find(options_.rackSlots.begin(), options_.rackSlots.end(), rackSlot) !=
                           options_.rackSlots.end();
    char note[80];
    std::snprintf(note, sizeof note, "connection request for TSAP %04X: %s", request.calledTsap,
                  known ? "confirmed" : "refused");
    log_("TCP", {}, note);
    if (!known) {
      {
        // Counted before the client can see the refusal, so a client that reads the counters
        // next finds it there.
        std::lock_guard lock(mu_);
        ++counters_.refused;
      }
      Send(c, BuildConnectRefusal(request));
      c.closing = true;
      return;
    }
    c.open = true;
    Send(c, BuildConnectConfirm(request, 0x0001));
    return;
  }
  std::span<const uint8_t> pdu;
  if (!UnwrapPdu(cotp, &pdu)) {
    log_("TCP", {}, "not a data TPDU; ignored");
    return;
  }
  HandleJob(c, pdu);
}

void IsoTcpServer::HandleJob(Connection& c, std::span<const uint8_t> pdu) {
  TcpJob job;
  std::string why;
  if (!DecodeTcpJob(pdu, &job, &why)) {
    log_("TCP", {}, "ignored: " + why);
    return;
  }
  if (job.kind != TcpJob::Kind::kSetup && c.pduSize == 0) {
    log_("TCP", {}, "job before setup communication; ignored");
    return;
  }
  const TcpFault fault = TakeFault();
  if (fault.kind != TcpFaultKind::kNone)
    log_("TCP", {}, std::string("fault ") + TcpFaultKindName(fault.kind) + " applied to this job");
  if (fault.kind == TcpFaultKind::kSilence)
    return;
  if (fault.kind == TcpFaultKind::kDrop) {
    c.closing = true;
    return;
  }

  std::vector<uint8_t> reply;
  if (job.kind == TcpJob::Kind::kSetup) {
    c.pduSize = std::max<uint16_t>(std::min(job.pduSize, options_.pduSize), 240);
    reply = BuildSetupReply(job.reference, c.pduSize);
    std::lock_guard lock(mu_);
    ++counters_.setups;
  } else {
    std::vector<ItemResult> results;
    // A read item may use what is left of the reply PDU after the header and the other items.
    size_t room = c.pduSize > 14 ? c.pduSize - 14 : 0;
    for (const Job& item : job.items) {
      ItemResult result;
      if (fault.kind == TcpFaultKind::kItemError) {
        result.returnCode = fault.returnCode;
      } else {
        result = execute_(item, room > 4 ? room - 4 : 0);
      }
      const size_t used = 4 + result.data.size() + (result.data.size() % 2);
      room = room > used ? room - used : 0;
      results.push_back(std::move(result));
    }
    reply = BuildTcpReply(job, results);
    std::lock_guard lock(mu_);
    ++counters_.jobs;
    counters_.items += job.items.size();
  }
  if (fault.kind == TcpFaultKind::kWrongReference) {
    const uint16_t reference = static_cast<uint16_t>(job.reference + 1);
    reply[4] = static_cast<uint8_t>(reference >> 8);
    reply[5] = static_cast<uint8_t>(reference);
  }
  if (fault.kind == TcpFaultKind::kDelay && !Sleep(fault.delayMs))
    return;
  std::vector<uint8_t> packet = WrapPdu(reply);
  if (fault.kind == TcpFaultKind::kCut) {
    packet.resize(std::min(packet.size(), fault.cutAfter));
    c.closing = true;
  }
  Send(c, packet);
}

void IsoTcpServer::Send(Connection& c, std::span<const uint8_t> bytes) {
  log_("TCP-TX", bytes, {});
  size_t sent = 0;
  while (sent < bytes.size()) {
    const ssize_t n = ::send(c.fd.get(), bytes.data() + sent, bytes.size() - sent, MSG_NOSIGNAL);
    if (n < 0 && errno == EINTR)
      continue;
    if (n <= 0) {
      c.closing = true;
      return;
    }
    sent += static_cast<size_t>(n);
  }
}

}  // namespace ppisim
