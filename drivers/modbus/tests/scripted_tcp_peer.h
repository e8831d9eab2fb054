// A Modbus TCP server for tests that need answers no real server gives: it holds 200 holding
// registers (register n holds n * 3 at start) and answers reads and writes of them, or, when told
// so, answers from another unit, with an exception, or not at all. It runs on its own thread on
// 127.0.0.1 at a port of the system's choosing, one connection at a time.
#pragma once

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <mutex>
#include <thread>
#include <vector>

namespace modbus_test {

class ScriptedTcpPeer {
 public:
  enum class Mode { kNormal, kWrongUnit, kException, kSilent, kWrongTransaction };

  // Listens on `port`, or on one the system chooses for 0.
  explicit ScriptedTcpPeer(uint16_t port = 0) {
    for (int i = 0; i < 200; ++i)
      registers_[i] = static_cast<uint16_t>(i * 3);
    listen_ = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listen_, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    bind(listen_, reinterpret_cast<sockaddr*>(&addr), sizeof addr);
    listen(listen_, 4);
    socklen_t len = sizeof addr;
    getsockname(listen_, reinterpret_cast<sockaddr*>(&addr), &len);
    port_ = ntohs(addr.sin_port);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) == 0) {
      wakeRead_ = fds[0];
      wakeWrite_ = fds[1];
    }
    thread_ = std::thread([this] { Run(); });
  }

  ~ScriptedTcpPeer() {
    stop_ = true;
    if (wakeWrite_ >= 0)
      (void)!write(wakeWrite_, "x", 1);
    thread_.join();
    for (int fd : {listen_, wakeRead_, wakeWrite_})
      if (fd >= 0)
        close(fd);
  }

  uint16_t port() const { return port_; }
  // How the next requests are answered, until changed.
  void SetMode(Mode mode) { mode_ = mode; }
  uint16_t Register(int protocolAddress) {
    std::lock_guard lock(mutex_);
    return registers_.at(protocolAddress);
  }
  void SetRegister(int protocolAddress, uint16_t value) {
    std::lock_guard lock(mutex_);
    registers_.at(protocolAddress) = value;
  }
  int Requests() const { return requests_; }
  int Connections() const { return connections_; }

 private:
  // Waits until `fd` is readable or the peer stops; false when it stops.
  bool WaitReadable(int fd) {
    pollfd p[2] = {{fd, POLLIN, 0}, {wakeRead_, POLLIN, 0}};
    while (!stop_) {
      if (poll(p, 2, -1) < 0)
        return false;
      if (p[1].revents != 0)
        return false;
      if (p[0].revents != 0)
        return true;
    }
    return false;
  }

  bool ReadAll(int fd, uint8_t* buf, size_t n) {
    size_t got = 0;
    while (got < n) {
      if (!WaitReadable(fd))
        return false;
      const ssize_t r = read(fd, buf + got, n - got);
      if (r <= 0)
        return false;
      got += static_cast<size_t>(r);
    }
    return true;
  }

  void Run() {
    while (!stop_) {
      if (!WaitReadable(listen_))
        return;
      const int conn = accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
      if (conn < 0)
        continue;
      ++connections_;
      Serve(conn);
      close(conn);
    }
  }

  void Serve(int conn) {
    uint8_t head[7];
    while (ReadAll(conn, head, 7)) {
      const size_t length = (head[4] << 8) | head[5];
      if (length < 2 || length > 254)
        return;
      std::vector<uint8_t> pdu(length - 1);
      if (!ReadAll(conn, pdu.data(), pdu.size()))
        return;
      ++requests_;
      const Mode mode = mode_;
      if (mode == Mode::kSilent)
        continue;
      std::vector<uint8_t> answer = Answer(pdu, mode);
      std::vector<uint8_t> frame = {
          head[0],
          head[1],
          0,
          0,
          static_cast<uint8_t>((answer.size() + 1) >> 8),
          static_cast<uint8_t>(answer.size() + 1),
          static_cast<uint8_t>(mode == Mode::kWrongUnit ? head[6] + 1 : head[6])};
      if (mode == Mode::kWrongTransaction)
        frame[1] = static_cast<uint8_t>(frame[1] + 1);
      frame.insert(frame.end(), answer.begin(), answer.end());
      if (send(conn, frame.data(), frame.size(), MSG_NOSIGNAL) < 0)
        return;
    }
  }

  std::vector<uint8_t> Answer(const std::vector<uint8_t>& pdu, Mode mode) {
    const uint8_t fc = pdu[0];
    if (mode == Mode::kException || pdu.size() < 5)
      return {static_cast<uint8_t>(fc | 0x80), 2};
    const int address = (pdu[1] << 8) | pdu[2];
    const int count = (pdu[3] << 8) | pdu[4];
    std::lock_guard lock(mutex_);
    if (fc == 3 && address + count <= 200) {
      std::vector<uint8_t> out = {3, static_cast<uint8_t>(count * 2)};
      for (int i = 0; i < count; ++i) {
        out.push_back(static_cast<uint8_t>(registers_[address + i] >> 8));
        out.push_back(static_cast<uint8_t>(registers_[address + i]));
      }
      return out;
    }
    if (fc == 6 && address < 200) {
      registers_[address] = static_cast<uint16_t>(count);
      return {pdu.begin(), pdu.begin() + 5};
    }
    if (fc == 16 && address + count <= 200 && pdu.size() >= 6 + 2u * count) {
      for (int i = 0; i < count; ++i)
        registers_[address + i] = static_cast<uint16_t>((pdu[6 + 2 * i] << 8) | pdu[7 + 2 * i]);
      return {pdu.begin(), pdu.begin() + 5};
    }
    return {static_cast<uint8_t>(fc | 0x80), 2};
  }

  int listen_ = -1;
  int wakeRead_ = -1;
  int wakeWrite_ = -1;
  uint16_t port_ = 0;
  std::atomic<bool> stop_{false};
  std::atomic<Mode> mode_{Mode::kNormal};
  std::atomic<int> requests_{0};
  std::atomic<int> connections_{0};
  std::mutex mutex_;
  std::vector<uint16_t> registers_ = std::vector<uint16_t>(200);
  std::thread thread_;
};

}  // namespace modbus_test
