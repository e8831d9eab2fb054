// Test fixtures for meeting an independent Modbus server: a pseudo-terminal pair made by socat,
// and the peer server tools/modbuspeer/modbus_peer.py, run as a child process and driven
// through its standard input.
//
//   testing_support::PtyPair pty;
//   ASSERT_TRUE(pty.Start()) << pty.Error();
//   testing_support::ModbusPeer peer;
//   ASSERT_TRUE(peer.StartSerial(testing_support::SerialFraming::kRtu, pty.PeerEnd(), 9600, {1}))
//       << peer.Error();
//   ASSERT_TRUE(peer.SetRegisters(1, testing_support::RegisterTable::kHolding, 0, {7, 8}));
//   ... the code under test opens pty.DriverEnd() at 9600 8N1 and reads unit 1 ...
//
// Every wait has a deadline and waits on a descriptor; nothing sleeps. The children never
// outlive the fixtures: socat is ended on destruction, and the peer ends by itself as soon as
// its standard input closes, which also happens when the test process dies.
#pragma once

#include <errno.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <initializer_list>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/testing/test_support.h"
#include "platform/unique_fd.h"

extern char** environ;

namespace testing_support {

namespace modbus_peer_detail {

inline int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

using Fd = platform::UniqueFd;

// What a child's standard stream is connected to: a descriptor of ours, /dev/null, or ours.
constexpr int kDevNull = -1;
constexpr int kInherit = -2;

// Starts a program with posix_spawn; -1 when it could not be started. `search` looks the
// program up in PATH. The descriptors given are duplicated onto the child's 0, 1 and 2; all
// other descriptors of ours are close-on-exec and stay behind.
inline pid_t Spawn(const std::vector<std::string>& args, bool search, int in, int out, int err) {
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  const int targets[3] = {STDIN_FILENO, STDOUT_FILENO, STDERR_FILENO};
  const int sources[3] = {in, out, err};
  for (int i = 0; i < 3; ++i) {
    if (sources[i] == kDevNull)
      posix_spawn_file_actions_addopen(&actions, targets[i], "/dev/null",
                                       i == 0 ? O_RDONLY : O_WRONLY, 0);
    else if (sources[i] != kInherit)
      posix_spawn_file_actions_adddup2(&actions, sources[i], targets[i]);
  }
  std::vector<char*> argv;
  for (const std::string& a : args)
    argv.push_back(const_cast<char*>(a.c_str()));
  argv.push_back(nullptr);
  pid_t pid = -1;
  const int rc = search ? posix_spawnp(&pid, argv[0], &actions, nullptr, argv.data(), environ)
                        : posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ);
  posix_spawn_file_actions_destroy(&actions);
  return rc == 0 ? pid : -1;
}

// Waits until the child ends or the deadline passes; reaps it and stores its wait status when
// it ended. Waits on a process descriptor; where none can be had it only checks once.
inline bool WaitForExit(pid_t pid, int64_t deadlineMs, int* status = nullptr) {
  int local = 0;
  int* st = status ? status : &local;
  // Called through syscall(): this C library's header declares pidfd_open without C linkage.
  Fd pidfd(static_cast<int>(syscall(SYS_pidfd_open, pid, 0)));
  if (!pidfd)
    return waitpid(pid, st, WNOHANG) == pid;
  for (;;) {
    pollfd p{pidfd.get(), POLLIN, 0};
    const int rc = poll(&p, 1, static_cast<int>(std::max<int64_t>(0, deadlineMs - NowMs())));
    if (rc > 0)
      break;
    if (rc == 0)
      return false;
    if (errno != EINTR)
      break;
  }
  while (waitpid(pid, st, 0) < 0) {
    if (errno != EINTR)
      return false;
  }
  return true;
}

// Ends a child for good: `signal` first (0 = none), then SIGKILL once the grace time is over.
// Returns the wait status.
inline int EndChild(pid_t pid, int signal, int graceMs) {
  if (signal != 0)
    kill(pid, signal);
  int status = 0;
  if (!WaitForExit(pid, NowMs() + graceMs, &status)) {
    kill(pid, SIGKILL);
    while (waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
  }
  return status;
}

// A TCP port of 127.0.0.1 that nobody uses at the moment; 0 when none could be had.
inline int FreeLoopbackPort() {
  Fd fd(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in at{};
  at.sin_family = AF_INET;
  at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t length = sizeof at;
  if (!fd || ::bind(fd.get(), reinterpret_cast<sockaddr*>(&at), sizeof at) != 0 ||
      ::getsockname(fd.get(), reinterpret_cast<sockaddr*>(&at), &length) != 0)
    return 0;
  return ntohs(at.sin_port);
}

// True when /proc/net/tcp shows a socket listening on 127.0.0.1:`port` (seen without connecting,
// which some servers would take as a client).
inline bool ListeningOnLoopback(int port) {
  char wanted[32];
  std::snprintf(wanted, sizeof wanted, "0100007F:%04X", port);
  std::ifstream table("/proc/net/tcp");
  std::string line;
  while (std::getline(table, line)) {
    char local[64] = {}, remote[64] = {};
    unsigned state = 0;
    if (std::sscanf(line.c_str(), "%*d: %63s %63s %x", local, remote, &state) == 3 &&
        std::string(local) == wanted && state == 0x0A)
      return true;
  }
  return false;
}

// A child's output, handed out line by line with a deadline for each line.
class LineReader {
 public:
  LineReader() = default;
  explicit LineReader(Fd fd) : fd_(std::move(fd)) {}

  // The next line without its line end; nullopt at the deadline or when the output has ended
  // (Ended() tells which).
  std::optional<std::string> ReadLine(int64_t deadlineMs) {
    for (;;) {
      const size_t nl = buffer_.find('\n');
      if (nl != std::string::npos) {
        std::string line = buffer_.substr(0, nl);
        buffer_.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r')
          line.pop_back();
        return line;
      }
      if (ended_ || !fd_)
        return std::nullopt;
      pollfd p{fd_.get(), POLLIN, 0};
      const int rc = poll(&p, 1, static_cast<int>(std::max<int64_t>(0, deadlineMs - NowMs())));
      if (rc == 0)
        return std::nullopt;
      if (rc < 0) {
        if (errno == EINTR)
          continue;
        ended_ = true;
        continue;
      }
      char chunk[512];
      const ssize_t n = read(fd_.get(), chunk, sizeof chunk);
      if (n > 0)
        buffer_.append(chunk, static_cast<size_t>(n));
      else if (n == 0 || errno != EINTR)
        ended_ = true;
    }
  }

  bool Ended() const { return ended_; }
  // What was read but not yet handed out as a line.
  const std::string& Pending() const { return buffer_; }
  void Close() { fd_.reset(); }

 private:
  Fd fd_;
  std::string buffer_;
  bool ended_ = false;
};

}  // namespace modbus_peer_detail

// Two pseudo-terminals joined back to back by socat: what is written to one end is read at
// the other. The code under test opens DriverEnd(); the peer serves PeerEnd().
class PtyPair {
 public:
  static constexpr int kStartDeadlineMs = 10000;

  PtyPair() = default;
  ~PtyPair() { Stop(); }
  PtyPair(const PtyPair&) = delete;
  PtyPair& operator=(const PtyPair&) = delete;

  // Starts socat and waits until both terminals exist and data flows; false with Error() set
  // when socat is missing, fails or is not ready within the deadline.
  bool Start() {
    namespace d = modbus_peer_detail;
    Stop();
    error_.clear();
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
      return Fail("pipe2 failed");
    d::Fd readEnd(fds[0]);
    d::Fd writeEnd(fds[1]);
    pid_ = d::Spawn({"socat", "-d", "-d", "pty,raw,echo=0", "pty,raw,echo=0"}, true, d::kDevNull,
                    d::kDevNull, writeEnd.get());
    writeEnd.reset();
    if (pid_ < 0)
      return Fail("socat could not be started (is it installed? scripts/setup.sh installs it)");
    log_ = d::LineReader(std::move(readEnd));
    std::vector<std::string> ends;
    std::string seen;
    const int64_t deadline = d::NowMs() + kStartDeadlineMs;
    for (;;) {
      std::optional<std::string> line = log_.ReadLine(deadline);
      if (!line) {
        std::string why =
            log_.Ended() ? "socat ended before it was ready" : "socat was not ready within 10 s";
        Stop();
        return Fail(why + ": " + seen);
      }
      seen += *line + "\n";
      constexpr std::string_view kPty = "PTY is ";
      if (const size_t at = line->find(kPty); at != std::string::npos) {
        ends.push_back(line->substr(at + kPty.size()));
      } else if (line->find("starting data transfer loop") != std::string::npos) {
        break;
      }
    }
    if (ends.size() != 2) {
      Stop();
      return Fail("socat did not name two terminals: " + seen);
    }
    driverEnd_ = ends[0];
    peerEnd_ = ends[1];
    return true;
  }

  // Ends socat (SIGTERM, SIGKILL after 5 s); the terminals disappear with it.
  void Stop() {
    if (pid_ > 0)
      modbus_peer_detail::EndChild(pid_, SIGTERM, 5000);
    pid_ = -1;
    log_ = modbus_peer_detail::LineReader();
    driverEnd_.clear();
    peerEnd_.clear();
  }

  const std::string& DriverEnd() const { return driverEnd_; }
  const std::string& PeerEnd() const { return peerEnd_; }
  const std::string& Error() const { return error_; }
  pid_t Pid() const { return pid_; }

 private:
  bool Fail(std::string why) {
    error_ = std::move(why);
    return false;
  }

  pid_t pid_ = -1;
  modbus_peer_detail::LineReader
      log_;  // socat's log, kept open so socat never writes to a closed pipe
  std::string driverEnd_;
  std::string peerEnd_;
  std::string error_;
};

enum class SerialFraming { kRtu, kAscii };
enum class RegisterTable : char { kHolding = 'h', kInput = 'i' };
enum class BitTable : char { kCoils = 'c', kDiscreteInputs = 'd' };

// The Modbus peer server as a child process. It serves units with tables of `size` entries;
// the test reads and writes those tables directly through Set*/Get*, each answered before the
// call returns.
class ModbusPeer {
 public:
  static constexpr int kDefaultSize = 10000;
  static constexpr int kReadyDeadlineMs = 20000;
  static constexpr int kCommandDeadlineMs = 5000;
  static constexpr int kStopDeadlineMs = 5000;

  ModbusPeer() = default;
  ~ModbusPeer() { Stop(); }
  ModbusPeer(const ModbusPeer&) = delete;
  ModbusPeer& operator=(const ModbusPeer&) = delete;

  static std::string Python() { return "/usr/bin/python3"; }
  static std::filesystem::path Script() {
    return SourceDir() / "tools" / "modbuspeer" / "modbus_peer.py";
  }

  // Whether the peer can run here: the script, python3 with the Modbus and serial libraries,
  // and socat. Tests do not skip on false: the setup script installs all of it, so a missing
  // piece is a failure to report, with `why` saying which.
  static bool CanRun(std::string* why = nullptr) {
    namespace d = modbus_peer_detail;
    auto fail = [&](std::string text) {
      if (why)
        *why = std::move(text) + " (scripts/setup.sh installs it)";
      return false;
    };
    if (!std::filesystem::exists(Script()))
      return fail("the peer script " + Script().string() + " is missing");
    auto runs = [](const std::vector<std::string>& args, bool search) {
      const pid_t pid = d::Spawn(args, search, d::kDevNull, d::kDevNull, d::kDevNull);
      if (pid < 0)
        return false;
      const int status = d::EndChild(pid, 0, 20000);
      return WIFEXITED(status) && WEXITSTATUS(status) == 0;
    };
    if (!runs({Python(), "-c", "import pymodbus, serial, serial_asyncio"}, false))
      return fail(Python() + " with pymodbus, serial and serial_asyncio is not available");
    if (!runs({"socat", "-V"}, true))
      return fail("socat is not available");
    return true;
  }

  // Serves Modbus TCP on 127.0.0.1 at a port the peer picks; Port() tells which.
  bool StartTcp(const std::vector<int>& units = {1}, int size = kDefaultSize, bool moving = false) {
    std::vector<std::string> args = {"--tcp", "0"};
    AddCommon(args, units, size, moving);
    if (!Launch(args))
      return false;
    char* end = nullptr;
    const long port = std::strtol(where_.c_str(), &end, 10);
    if (end == where_.c_str() || *end != '\0' || port <= 0 || port > 65535) {
      Stop();
      return Fail("the peer reported no port: " + where_);
    }
    port_ = static_cast<int>(port);
    return true;
  }

  // Serves Modbus RTU or ASCII on a serial device (8 data bits, no parity, 1 stop bit).
  bool StartSerial(SerialFraming framing, const std::string& device, int baud = 9600,
                   const std::vector<int>& units = {1}, int size = kDefaultSize) {
    std::vector<std::string> args = {framing == SerialFraming::kRtu ? "--rtu" : "--ascii", device,
                                     "--baud", std::to_string(baud)};
    AddCommon(args, units, size, false);
    return Launch(args);
  }

  // Closes the peer's standard input and waits for it to end (SIGKILL after 5 s). True when it
  // ended by itself with exit code 0, or was not running.
  bool Stop() {
    if (pid_ <= 0)
      return true;
    input_.reset();
    const int status = modbus_peer_detail::EndChild(pid_, 0, kStopDeadlineMs);
    pid_ = -1;
    output_ = modbus_peer_detail::LineReader();
    port_ = 0;
    return WIFEXITED(status) && WEXITSTATUS(status) == 0;
  }

  bool Running() const { return pid_ > 0 && !broken_; }
  int Port() const { return port_; }
  pid_t Pid() const { return pid_; }
  // Why the last start or command failed.
  const std::string& Error() const { return error_; }

  // Writes registers (values above 32767 may be given as negative 16-bit numbers).
  bool SetRegisters(int unit, RegisterTable table, int address, std::span<const uint16_t> values) {
    std::string line = Head("set", unit, static_cast<char>(table), address);
    for (uint16_t v : values)
      line += " " + std::to_string(v);
    return Command(line).has_value();
  }
  bool SetRegisters(int unit, RegisterTable table, int address,
                    std::initializer_list<uint16_t> values) {
    return SetRegisters(unit, table, address, std::span(values.begin(), values.size()));
  }

  // Writes bits; each value is 0 or 1.
  bool SetBits(int unit, BitTable table, int address, std::span<const uint8_t> values) {
    std::string line = Head("set", unit, static_cast<char>(table), address);
    for (uint8_t v : values)
      line += " " + std::to_string(v);
    return Command(line).has_value();
  }
  bool SetBits(int unit, BitTable table, int address, std::initializer_list<uint8_t> values) {
    return SetBits(unit, table, address, std::span(values.begin(), values.size()));
  }

  std::optional<std::vector<uint16_t>> GetRegisters(int unit, RegisterTable table, int address,
                                                    int count) {
    std::optional<std::vector<long>> values = Get(unit, static_cast<char>(table), address, count);
    if (!values)
      return std::nullopt;
    return std::vector<uint16_t>(values->begin(), values->end());
  }

  std::optional<std::vector<uint8_t>> GetBits(int unit, BitTable table, int address, int count) {
    std::optional<std::vector<long>> values = Get(unit, static_cast<char>(table), address, count);
    if (!values)
      return std::nullopt;
    return std::vector<uint8_t>(values->begin(), values->end());
  }

  // Sends one command line and returns what follows "OK" in its answer; nullopt with Error()
  // set on an "ERR" answer, no answer within the deadline, or a peer that is not running.
  std::optional<std::string> Command(const std::string& line) {
    if (!Running()) {
      Fail("the peer is not running");
      return std::nullopt;
    }
    const std::string text = line + "\n";
    size_t sent = 0;
    while (sent < text.size()) {
      const ssize_t n = send(input_.get(), text.data() + sent, text.size() - sent, MSG_NOSIGNAL);
      if (n < 0 && errno == EINTR)
        continue;
      if (n <= 0) {
        broken_ = true;
        Fail("the peer no longer reads commands");
        return std::nullopt;
      }
      sent += static_cast<size_t>(n);
    }
    std::optional<std::string> answer =
        output_.ReadLine(modbus_peer_detail::NowMs() + kCommandDeadlineMs);
    if (!answer) {
      // A late answer would be taken for the next command's: no more commands after this.
      broken_ = true;
      Fail(output_.Ended() ? "the peer ended while answering \"" + line + "\""
                           : "no answer to \"" + line + "\" within 5 s");
      return std::nullopt;
    }
    if (answer->rfind("OK", 0) == 0 && (answer->size() == 2 || (*answer)[2] == ' '))
      return answer->size() > 3 ? answer->substr(3) : std::string();
    Fail("\"" + line + "\" answered " + *answer);
    return std::nullopt;
  }

 private:
  static void AddCommon(std::vector<std::string>& args, const std::vector<int>& units, int size,
                        bool moving) {
    std::string list;
    for (int u : units)
      list += (list.empty() ? "" : ",") + std::to_string(u);
    args.insert(args.end(), {"--units", list, "--size", std::to_string(size)});
    if (moving)
      args.push_back("--moving");
  }

  static std::string Head(const char* verb, int unit, char table, int address) {
    return std::string(verb) + " " + std::to_string(unit) + " " + table + " " +
           std::to_string(address);
  }

  std::optional<std::vector<long>> Get(int unit, char table, int address, int count) {
    std::optional<std::string> rest =
        Command(Head("get", unit, table, address) + " " + std::to_string(count));
    if (!rest)
      return std::nullopt;
    std::vector<long> values;
    const char* p = rest->c_str();
    for (;;) {
      char* end = nullptr;
      const long v = std::strtol(p, &end, 10);
      if (end == p)
        break;
      values.push_back(v);
      p = end;
    }
    if (values.size() != static_cast<size_t>(count)) {
      Fail("get answered " + std::to_string(values.size()) + " values for " +
           std::to_string(count));
      return std::nullopt;
    }
    return values;
  }

  bool Launch(const std::vector<std::string>& extra) {
    namespace d = modbus_peer_detail;
    Stop();
    error_.clear();
    broken_ = false;
    where_.clear();
    if (!std::filesystem::exists(Script()))
      return Fail("the peer script " + Script().string() + " is missing");
    // Standard input is a socket so that a command to a peer that has died fails with EPIPE
    // instead of raising SIGPIPE in the test.
    int sv[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, sv) != 0)
      return Fail("socketpair failed");
    d::Fd ours(sv[0]);
    d::Fd theirs(sv[1]);
    int fds[2];
    if (pipe2(fds, O_CLOEXEC) != 0)
      return Fail("pipe2 failed");
    d::Fd readEnd(fds[0]);
    d::Fd writeEnd(fds[1]);
    std::vector<std::string> args = {Python(), Script().string()};
    args.insert(args.end(), extra.begin(), extra.end());
    pid_ = d::Spawn(args, false, theirs.get(), writeEnd.get(), d::kInherit);
    theirs.reset();
    writeEnd.reset();
    if (pid_ < 0)
      return Fail(Python() + " could not be started");
    input_ = std::move(ours);
    output_ = d::LineReader(std::move(readEnd));
    const int64_t deadline = d::NowMs() + kReadyDeadlineMs;
    for (;;) {
      std::optional<std::string> line = output_.ReadLine(deadline);
      if (!line) {
        std::string why = output_.Ended() ? "the peer ended before it was ready (see its stderr)"
                                          : "the peer was not ready within 20 s";
        // It reads its standard input only once ready: ask it to end by signal instead.
        kill(pid_, SIGTERM);
        Stop();
        return Fail(why);
      }
      constexpr std::string_view kReady = "READY ";
      if (line->rfind(kReady, 0) == 0) {
        where_ = line->substr(kReady.size());
        return true;
      }
    }
  }

  bool Fail(std::string why) {
    error_ = std::move(why);
    return false;
  }

  pid_t pid_ = -1;
  modbus_peer_detail::Fd input_;
  modbus_peer_detail::LineReader output_;
  std::string where_;
  std::string error_;
  int port_ = 0;
  bool broken_ = false;
};

}  // namespace testing_support
