#include "drivers/modbus/modbus_link.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <pty.h>
#include <sys/socket.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstring>
#include <filesystem>
#include <future>
#include <string>
#include <thread>
#include <vector>

#include "common/testing/test_support.h"
#include "platform/serial_port.h"

namespace {

using modbus::Framing;
using modbus::LinkStatus;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using namespace std::chrono_literals;

// Read holding register 0, one register, and an answer holding `value`.
const Bytes kReadPdu = {0x03, 0x00, 0x00, 0x00, 0x01};
Bytes AnswerPdu(uint16_t value) {
  return {0x03, 0x02, static_cast<uint8_t>(value >> 8), static_cast<uint8_t>(value)};
}

Bytes Frame(Framing framing, uint8_t unit, const Bytes& pdu, uint16_t transaction = 0) {
  std::array<uint8_t, modbus::kMaxFrame> out{};
  const size_t n = modbus::Wrap(framing, unit, transaction, pdu, out);
  return Bytes(out.begin(), out.begin() + static_cast<std::ptrdiff_t>(n));
}

int64_t MsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int64_t ThreadCpuMs() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// Reads exactly `n` bytes from `fd`, waiting in poll until `deadline`; fewer on time-out.
Bytes ReadBytes(int fd, size_t n, Clock::time_point deadline) {
  Bytes got;
  while (got.size() < n) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now());
    pollfd p = {fd, POLLIN, 0};
    if (left.count() <= 0 || ::poll(&p, 1, static_cast<int>(left.count())) <= 0)
      break;
    uint8_t buf[512];
    const ssize_t r = ::read(fd, buf, std::min(sizeof buf, n - got.size()));
    if (r <= 0)
      break;
    got.insert(got.end(), buf, buf + r);
  }
  return got;
}

void WriteBytes(int fd, const Bytes& bytes) {
  ASSERT_EQ(::write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
}

// A pseudo-terminal: the link opens the slave by its path, the test plays the device on the
// master. The slave stays held open so the master never sees a hang-up between opens.
class Pty {
 public:
  Pty() {
    int master = -1, slave = -1;
    char name[128] = {};
    if (openpty(&master, &slave, name, nullptr, nullptr) != 0)
      return;
    termios t{};
    tcgetattr(master, &t);
    cfmakeraw(&t);
    tcsetattr(master, TCSANOW, &t);
    master_ = master;
    slave_ = slave;
    path_ = name;
  }
  ~Pty() {
    if (master_ >= 0)
      ::close(master_);
    if (slave_ >= 0)
      ::close(slave_);
  }
  int master() const { return master_; }
  const std::string& path() const { return path_; }

 private:
  int master_ = -1, slave_ = -1;
  std::string path_;
};

CommSettings SettingsFor(const std::string& port, int32_t baud = 9600, uint16_t timeoutMs = 300) {
  CommSettings s{};
  std::strncpy(s.portName, port.c_str(), sizeof s.portName - 1);
  s.baudRate = baud;
  s.dataBits = 8;
  s.stopBits = 1;
  s.parity = 0;
  s.timeoutMs = timeoutMs;
  return s;
}

class ModbusLinkSerialTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_FALSE(pty_.path().empty());
    ASSERT_LT(pty_.path().size(), sizeof(CommSettings::portName));
    ASSERT_TRUE(line_.Configure(SettingsFor(pty_.path())));
    line_.SetMonitor([this](bool sent, std::span<const uint8_t> f) {
      (sent ? sent_ : received_).emplace_back(f.begin(), f.end());
    });
  }
  // The request the peer sees for kReadPdu to `unit`.
  Bytes ReadRequest(Framing framing, uint8_t unit = 1) {
    const Bytes frame = Frame(framing, unit, kReadPdu);
    return ReadBytes(pty_.master(), frame.size(), Clock::now() + 2s);
  }

  Pty pty_;
  modbus::SerialLink line_;
  std::vector<Bytes> sent_, received_;
  Bytes answer_;
};

TEST(ModbusLinkTiming, SilentIntervalIsThreeAndAHalfCharactersUpTo19200Baud) {
  EXPECT_EQ(modbus::RtuSilentInterval(9600, 11).count(), 4011);  // 4010.4 us rounded up
  EXPECT_EQ(modbus::RtuSilentInterval(19200, 11).count(), 2006);
  EXPECT_EQ(modbus::RtuSilentInterval(300, 10).count(), 116667);
  EXPECT_EQ(modbus::RtuSilentInterval(38400, 11).count(), 1750);
  EXPECT_EQ(modbus::RtuSilentInterval(115200, 10).count(), 1750);
  EXPECT_EQ(modbus::RtuSilentInterval(0, 10).count(), 1750) << "no division by zero";
}

TEST_F(ModbusLinkSerialTest, RtuAnswerInPiecesIsCollectedAndMonitored) {
  ASSERT_TRUE(line_.Configure(SettingsFor(pty_.path(), 9600, 2000)));
  EXPECT_FALSE(line_.IsOpen()) << "nothing opens before the first request";
  const Bytes answer = Frame(Framing::kRtu, 1, AnswerPdu(0x1234));
  std::jthread peer([&] {
    EXPECT_EQ(ReadRequest(Framing::kRtu), Frame(Framing::kRtu, 1, kReadPdu));
    for (size_t i = 0; i < answer.size(); i += 2)
      WriteBytes(pty_.master(),
                 Bytes(answer.begin() + i, answer.begin() + std::min(i + 2, answer.size())));
  });
  const auto start = Clock::now();
  ASSERT_EQ(line_.Transact(Framing::kRtu, 1, kReadPdu, answer_), LinkStatus::kOk);
  EXPECT_LT(MsSince(start), 1000) << "ends when the frame is whole, not at the time-out";
  EXPECT_EQ(answer_, AnswerPdu(0x1234));
  EXPECT_TRUE(line_.IsOpen());
  peer.join();
  EXPECT_EQ(sent_, std::vector<Bytes>{Frame(Framing::kRtu, 1, kReadPdu)});
  EXPECT_EQ(received_, std::vector<Bytes>{answer});
}

TEST_F(ModbusLinkSerialTest, AsciiSkipsNoiseBeforeTheColon) {
  const Bytes answer = Frame(Framing::kAscii, 7, AnswerPdu(0xBEEF));
  std::jthread peer([&] {
    EXPECT_EQ(ReadRequest(Framing::kAscii, 7), Frame(Framing::kAscii, 7, kReadPdu));
    WriteBytes(pty_.master(), Bytes{0x00, 'x', 0xFF});
    WriteBytes(pty_.master(), Bytes(answer.begin(), answer.begin() + 5));
    WriteBytes(pty_.master(), Bytes(answer.begin() + 5, answer.end()));
  });
  ASSERT_EQ(line_.Transact(Framing::kAscii, 7, kReadPdu, answer_), LinkStatus::kOk);
  EXPECT_EQ(answer_, AnswerPdu(0xBEEF));
  peer.join();
  EXPECT_EQ(line_.Transact(Framing::kTcp, 7, kReadPdu, answer_), LinkStatus::kNotSupported);
}

TEST_F(ModbusLinkSerialTest, BadChecksumAndWrongUnitFailOneRequestOnly) {
  Bytes corrupt = Frame(Framing::kRtu, 1, AnswerPdu(1));
  corrupt.back() ^= 0x55;
  std::jthread peer([&] {
    ReadRequest(Framing::kRtu);
    WriteBytes(pty_.master(), corrupt);
    ReadRequest(Framing::kRtu);
    WriteBytes(pty_.master(), Frame(Framing::kRtu, 2, AnswerPdu(2)));
    ReadRequest(Framing::kRtu);
    WriteBytes(pty_.master(), Frame(Framing::kRtu, 1, AnswerPdu(3)));
  });
  EXPECT_EQ(line_.Transact(Framing::kRtu, 1, kReadPdu, answer_), LinkStatus::kBadFrame);
  EXPECT_TRUE(answer_.empty());
  EXPECT_EQ(line_.Transact(Framing::kRtu, 1, kReadPdu, answer_), LinkStatus::kWrongUnit);
  EXPECT_EQ(line_.Transact(Framing::kRtu, 1, kReadPdu, answer_), LinkStatus::kOk);
  EXPECT_EQ(answer_, AnswerPdu(3));
  peer.join();
  EXPECT_EQ(received_.front(), corrupt) << "the monitor sees bad frames too";
}

TEST_F(ModbusLinkSerialTest, SilentPeerTimesOutAndItsLateAnswerIsNotTakenLater) {
  const auto start = Clock::now();
  const int64_t cpuBefore = ThreadCpuMs();
  EXPECT_EQ(line_.Transact(Framing::kRtu, 1, kReadPdu, answer_), LinkStatus::kTimeout);
  const int64_t elapsed = MsSince(start);
  EXPECT_GE(elapsed, 300);
  EXPECT_LT(elapsed, 300 + 500);
  EXPECT_LT(ThreadCpuMs() - cpuBefore, 50) << "waiting sleeps";

  // The late answer reaches the line after the time-out; the next request must not take it.
  ReadRequest(Framing::kRtu);
  WriteBytes(pty_.master(), Frame(Framing::kRtu, 1, AnswerPdu(0xDEAD)));
  COMSTAT stat{};
  const auto queuedBy = Clock::now() + 2s;
  while (platform::ClearCommError(line_.Handle(), nullptr, &stat) && stat.cbInQue == 0 &&
         Clock::now() < queuedBy) {
    pollfd none{};
    ::poll(&none, 0, 1);  // the pty hands bytes to the slave side asynchronously
  }
  std::jthread peer([&] {
    ReadRequest(Framing::kRtu);
    WriteBytes(pty_.master(), Frame(Framing::kRtu, 1, AnswerPdu(0xF00D)));
  });
  ASSERT_EQ(line_.Transact(Framing::kRtu, 1, kReadPdu, answer_), LinkStatus::kOk);
  EXPECT_EQ(answer_, AnswerPdu(0xF00D));
}

// After a fault the next request waits until the line has been quiet for the guard (3.5
// characters and 5 ms), counted from the last byte the device sent; a clean answer needs only the
// silent interval.
TEST_F(ModbusLinkSerialTest, AfterAFaultTheNextRequestWaitsForTheGuard) {
  const auto guard = modbus::RtuSilentInterval(9600, 10) + 5ms;
  Bytes corrupt = Frame(Framing::kRtu, 1, AnswerPdu(1));
  corrupt.back() ^= 0x55;
  Bytes twice = Frame(Framing::kAscii, 1, AnswerPdu(1));
  twice.insert(twice.end(), twice.begin(), twice.end());
  struct Case {
    const char* name;
    Framing framing;
    Bytes answer;
    LinkStatus first;
    bool refused;  // the caller refuses the answer it got
    bool stray;    // a byte arrives while no request is pending
  } cases[] = {
      {"stray byte while idle, RTU", Framing::kRtu, Frame(Framing::kRtu, 1, AnswerPdu(1)),
       LinkStatus::kOk, false, true},
      {"stray byte while idle, ASCII", Framing::kAscii, Frame(Framing::kAscii, 1, AnswerPdu(1)),
       LinkStatus::kOk, false, true},
      {"bad CRC", Framing::kRtu, corrupt, LinkStatus::kBadFrame, false, false},
      {"answer sent twice", Framing::kAscii, twice, LinkStatus::kOk, false, false},
      {"answer refused", Framing::kRtu, Frame(Framing::kRtu, 1, AnswerPdu(1)), LinkStatus::kOk,
       true, false},
  };
  for (const Case& c : cases) {
    Clock::time_point lastByte;
    std::jthread device([&] {
      ReadRequest(c.framing);
      WriteBytes(pty_.master(), c.answer);
      lastByte = Clock::now();
    });
    EXPECT_EQ(line_.Transact(c.framing, 1, kReadPdu, answer_), c.first) << c.name;
    device.join();
    if (c.refused)
      line_.AnswerRefused();
    if (c.stray) {
      WriteBytes(pty_.master(), Bytes{0x01});
      lastByte = Clock::now();
      COMSTAT stat{};
      const auto queuedBy = Clock::now() + 2s;
      while (platform::ClearCommError(line_.Handle(), nullptr, &stat) && stat.cbInQue == 0 &&
             Clock::now() < queuedBy) {
        pollfd none{};
        ::poll(&none, 0, 1);
      }
    }
    Clock::time_point requested;
    std::jthread next([&] {
      const Bytes head = ReadBytes(pty_.master(), 1, Clock::now() + 5s);
      requested = Clock::now();
      const Bytes frame = Frame(c.framing, 1, kReadPdu);
      ReadBytes(pty_.master(), frame.size() - head.size(), Clock::now() + 2s);
      WriteBytes(pty_.master(), Frame(c.framing, 1, AnswerPdu(2)));
    });
    ASSERT_EQ(line_.Transact(c.framing, 1, kReadPdu, answer_), LinkStatus::kOk) << c.name;
    EXPECT_EQ(answer_, AnswerPdu(2)) << c.name;
    next.join();
    EXPECT_GE(requested - lastByte, guard) << c.name;
  }
}

TEST_F(ModbusLinkSerialTest, BackToBackRtuRequestsKeepTheSilentInterval) {
  ASSERT_TRUE(line_.Configure(SettingsFor(pty_.path(), 300, 2000)));
  const auto interval = modbus::RtuSilentInterval(300, 10);
  Clock::time_point answered, nextRequest;
  std::jthread peer([&] {
    ReadRequest(Framing::kRtu);
    WriteBytes(pty_.master(), Frame(Framing::kRtu, 1, AnswerPdu(1)));
    answered = Clock::now();
    const Bytes first = ReadBytes(pty_.master(), 1, Clock::now() + 5s);
    nextRequest = Clock::now();
    EXPECT_EQ(first.size(), 1u);
    ReadBytes(pty_.master(), 7, Clock::now() + 2s);
    WriteBytes(pty_.master(), Frame(Framing::kRtu, 1, AnswerPdu(2)));
  });
  ASSERT_EQ(line_.Transact(Framing::kRtu, 1, kReadPdu, answer_), LinkStatus::kOk);
  ASSERT_EQ(line_.Transact(Framing::kRtu, 1, kReadPdu, answer_), LinkStatus::kOk);
  peer.join();
  EXPECT_GE(nextRequest - answered, interval);
}

TEST_F(ModbusLinkSerialTest, MissingPortIsNoLineUntilItAppears) {
  testing_support::TempDir dir;
  const std::string link = (dir / "line").string();
  ASSERT_TRUE(line_.Configure(SettingsFor(link)));
  EXPECT_EQ(line_.Transact(Framing::kRtu, 1, kReadPdu, answer_), LinkStatus::kNoLine);
  EXPECT_FALSE(line_.IsOpen());
  EXPECT_EQ(line_.Handle(), INVALID_HANDLE_VALUE);

  std::filesystem::create_symlink(pty_.path(), link);
  std::jthread peer([&] {
    ReadRequest(Framing::kRtu);
    WriteBytes(pty_.master(), Frame(Framing::kRtu, 1, AnswerPdu(9)));
  });
  EXPECT_EQ(line_.Transact(Framing::kRtu, 1, kReadPdu, answer_), LinkStatus::kOk);
  peer.join();

  // Other line settings close the line; a refused baud rate changes nothing.
  EXPECT_FALSE(line_.Configure(SettingsFor("Com250", 299)));
  EXPECT_FALSE(line_.Configure(SettingsFor("Com250", 115201)));
  EXPECT_TRUE(line_.IsOpen());
  EXPECT_TRUE(line_.Configure(SettingsFor("Com250", 19200)));
  EXPECT_FALSE(line_.IsOpen());
  EXPECT_EQ(line_.Transact(Framing::kRtu, 1, kReadPdu, answer_), LinkStatus::kNoLine);
}

TEST_F(ModbusLinkSerialTest, TimeOutSettingAndAttachedLine) {
  EXPECT_EQ(line_.TimeoutMs(), 300);
  ASSERT_TRUE(line_.Configure(SettingsFor(pty_.path(), 9600, 0)));
  EXPECT_EQ(line_.TimeoutMs(), modbus::kDefaultTimeoutMs);
  ASSERT_TRUE(line_.Configure(SettingsFor(pty_.path(), 9600, 40000)));
  EXPECT_EQ(line_.TimeoutMs(), 40000) << "read as unsigned";

  platform::SerialHandle owner(platform::OpenSerialPort(pty_.path().c_str()));
  ASSERT_TRUE(owner);
  COMMTIMEOUTS before{};
  ASSERT_TRUE(platform::GetCommTimeouts(owner.get(), &before));
  modbus::SerialLink sharer;
  ASSERT_TRUE(sharer.Attach(owner.get()));
  std::jthread peer([&] {
    ReadRequest(Framing::kRtu, 4);
    WriteBytes(pty_.master(), Frame(Framing::kRtu, 4, AnswerPdu(4)));
  });
  ASSERT_EQ(sharer.Transact(Framing::kRtu, 4, kReadPdu, answer_), LinkStatus::kOk);
  peer.join();
  COMMTIMEOUTS after{};
  ASSERT_TRUE(platform::GetCommTimeouts(owner.get(), &after));
  EXPECT_EQ(std::memcmp(&before, &after, sizeof before), 0) << "the owner's time-outs stay";
  sharer.Close();
  DWORD written = 0;
  EXPECT_TRUE(platform::WriteFile(owner.get(), "x", 1, &written, nullptr))
      << "the owner's port stays open";

  const HANDLE stale = sharer.Handle();
  EXPECT_EQ(stale, INVALID_HANDLE_VALUE);
  EXPECT_FALSE(sharer.Attach(stale));
  EXPECT_FALSE(sharer.IsOpen());
}

// --- TCP ---

// A device on 127.0.0.1: a listening socket the test (or a peer thread) accepts on.
class Server {
 public:
  explicit Server(uint16_t port = 0) {
    fd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    const int on = 1;
    ::setsockopt(fd_, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    a.sin_port = htons(port);
    socklen_t size = sizeof a;
    if (::bind(fd_, reinterpret_cast<sockaddr*>(&a), sizeof a) != 0 || ::listen(fd_, 4) != 0 ||
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&a), &size) != 0) {
      ::close(std::exchange(fd_, -1));
      return;
    }
    port_ = ntohs(a.sin_port);
  }
  ~Server() {
    if (fd_ >= 0)
      ::close(fd_);
  }
  uint16_t port() const { return port_; }
  modbus::TcpEndpoint at() const { return {"127.0.0.1", port_}; }
  // One accepted connection, -1 when none comes within 2 s.
  int Accept() {
    pollfd p = {fd_, POLLIN, 0};
    return ::poll(&p, 1, 2000) == 1 ? ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC) : -1;
  }

 private:
  int fd_ = -1;
  uint16_t port_ = 0;
};

// Reads one MBAP request; its transaction id in *transaction.
Bytes ReadMbap(int fd, uint16_t* transaction) {
  Bytes head = ReadBytes(fd, 6, Clock::now() + 2s);
  if (head.size() < 6)
    return head;
  const Bytes rest = ReadBytes(fd, static_cast<size_t>(head[4] << 8 | head[5]), Clock::now() + 2s);
  head.insert(head.end(), rest.begin(), rest.end());
  *transaction = static_cast<uint16_t>(head[0] << 8 | head[1]);
  return head;
}

TEST(ModbusLinkTcp, EachDeviceAnswersOverItsOwnKeptConnection) {
  Server a, b;
  ASSERT_NE(a.port(), 0);
  auto serve = [](Server& server, uint16_t value, int requests) {
    const int fd = server.Accept();
    ASSERT_GE(fd, 0);
    uint16_t previous = 0;
    for (int i = 0; i < requests; ++i) {
      uint16_t t = 0;
      ReadMbap(fd, &t);
      if (i > 0) {
        EXPECT_EQ(t, static_cast<uint16_t>(previous + 1)) << "ids count up per connection";
      }
      previous = t;
      WriteBytes(fd, Frame(Framing::kTcp, 1, AnswerPdu(value), t));
    }
    ::close(fd);
  };
  std::jthread pa([&] { serve(a, 0xA, 2); });
  std::jthread pb([&] { serve(b, 0xB, 2); });
  modbus::TcpLinks net;
  Bytes answer;
  for (int round = 0; round < 2; ++round) {
    ASSERT_EQ(net.Transact(a.at(), 1, kReadPdu, answer, 1000), LinkStatus::kOk);
    EXPECT_EQ(answer, AnswerPdu(0xA));
    ASSERT_EQ(net.Transact(b.at(), 1, kReadPdu, answer, 1000), LinkStatus::kOk);
    EXPECT_EQ(answer, AnswerPdu(0xB));
    EXPECT_EQ(net.ConnectionCount(), 2u);
  }
  pa.join();
  pb.join();
  net.CloseAll();
  EXPECT_EQ(net.ConnectionCount(), 0u);
}

TEST(ModbusLinkTcp, LateAnswersWithOldIdsAreSkipped) {
  Server server;
  std::vector<Bytes> seen;
  modbus::TcpLinks net;
  net.SetMonitor([&](bool sent, std::span<const uint8_t> f) {
    if (!sent)
      seen.emplace_back(f.begin(), f.end());
  });
  std::jthread peer([&] {
    const int fd = server.Accept();
    uint16_t t = 0;
    ReadMbap(fd, &t);
    const Bytes late = Frame(Framing::kTcp, 1, AnswerPdu(0xBAD), static_cast<uint16_t>(t - 1));
    WriteBytes(fd, Bytes(late.begin(), late.begin() + 4));
    WriteBytes(fd, Bytes(late.begin() + 4, late.end()));
    WriteBytes(fd, Frame(Framing::kTcp, 1, AnswerPdu(0x600D), t));
    // Only a stale answer to the next request: the link waits it out, then gives up.
    ReadMbap(fd, &t);
    WriteBytes(fd, Frame(Framing::kTcp, 1, AnswerPdu(0xBAD), static_cast<uint16_t>(t + 7)));
    // The next request comes over the same connection; the answer to the one that timed out
    // comes first, late, and is skipped.
    const uint16_t timedOut = t;
    ReadMbap(fd, &t);
    WriteBytes(fd, Frame(Framing::kTcp, 1, AnswerPdu(0xBAD), timedOut));
    WriteBytes(fd, Frame(Framing::kTcp, 1, AnswerPdu(0x600D), t));
    ReadBytes(fd, 1, Clock::now() + 2s);  // until the link closes the connection
    ::close(fd);
  });
  Bytes answer;
  ASSERT_EQ(net.Transact(server.at(), 1, kReadPdu, answer, 1000), LinkStatus::kOk);
  EXPECT_EQ(answer, AnswerPdu(0x600D));
  EXPECT_EQ(seen.size(), 2u) << "the skipped answer is monitored too";
  const auto start = Clock::now();
  EXPECT_EQ(net.Transact(server.at(), 1, kReadPdu, answer, 200), LinkStatus::kTimeout);
  EXPECT_LT(MsSince(start), 200 + 500);
  EXPECT_EQ(net.ConnectionCount(), 1u) << "a time-out keeps the connection";
  ASSERT_EQ(net.Transact(server.at(), 1, kReadPdu, answer, 1000), LinkStatus::kOk);
  EXPECT_EQ(answer, AnswerPdu(0x600D));
  net.CloseAll();
}

TEST(ModbusLinkTcp, ServerGoneThenBackAndIdleCloseIsReplaced) {
  auto server = std::make_unique<Server>();
  const uint16_t port = server->port();
  modbus::TcpLinks net;
  Bytes answer;
  std::promise<void> dropped;
  std::jthread peer([&] {
    const int fd = server->Accept();
    uint16_t t = 0;
    ReadMbap(fd, &t);
    WriteBytes(fd, Frame(Framing::kTcp, 3, AnswerPdu(1), t));
    ::close(fd);  // the device drops the connection while idle
    dropped.set_value();
    const int again = server->Accept();
    ReadMbap(again, &t);
    WriteBytes(again, Frame(Framing::kTcp, 3, AnswerPdu(2), t));
    ::close(again);
  });
  ASSERT_EQ(net.Transact(server->at(), 3, kReadPdu, answer, 1000), LinkStatus::kOk);
  dropped.get_future().wait();
  ASSERT_EQ(net.Transact(server->at(), 3, kReadPdu, answer, 1000), LinkStatus::kOk);
  EXPECT_EQ(answer, AnswerPdu(2)) << "the closed connection was replaced before sending";
  peer.join();
  server.reset();
  EXPECT_NE(net.Transact({"127.0.0.1", port}, 3, kReadPdu, answer, 500), LinkStatus::kOk);
  EXPECT_EQ(net.Transact({"127.0.0.1", port}, 3, kReadPdu, answer, 500), LinkStatus::kNoLine);
  EXPECT_EQ(net.ConnectionCount(), 0u);

  Server back(port);
  ASSERT_EQ(back.port(), port);
  std::jthread peer2([&] {
    const int fd = back.Accept();
    uint16_t t = 0;
    ReadMbap(fd, &t);
    WriteBytes(fd, Frame(Framing::kTcp, 9, AnswerPdu(3), t));  // another unit answers
    ::close(fd);
  });
  EXPECT_EQ(net.Transact(back.at(), 3, kReadPdu, answer, 1000), LinkStatus::kWrongUnit);
  EXPECT_EQ(net.ConnectionCount(), 1u) << "a whole frame keeps the stream's boundaries";
}

TEST(ModbusLinkTcp, UnreachableAndUnknownHostsGiveUpWithinTheTimeOut) {
  modbus::TcpLinks net;
  Bytes answer;
  // Where outgoing connections are intercepted, the blackholed address may even connect and
  // answer something else: any failure will do, within the time-out.
  for (const char* host : {"10.255.255.1", "no-such-device.invalid", "", "1.2.3.4.5"}) {
    const auto start = Clock::now();
    EXPECT_NE(net.Transact({host, 502}, 1, kReadPdu, answer, 200), LinkStatus::kOk) << host;
    EXPECT_LT(MsSince(start), 200 + 500) << host;
  }
  EXPECT_EQ(net.ConnectionCount(), 0u);
}

TEST(ModbusLinkTcp, HostNamesAreLookedUp) {
  Server server;
  std::jthread peer([&] {
    const int fd = server.Accept();
    uint16_t t = 0;
    ReadMbap(fd, &t);
    WriteBytes(fd, Frame(Framing::kTcp, 1, AnswerPdu(5), t));
    ReadBytes(fd, 1, Clock::now() + 2s);
    ::close(fd);
  });
  modbus::TcpLinks net;
  Bytes answer;
  ASSERT_EQ(net.Transact({"localhost", server.port()}, 1, kReadPdu, answer, 1000), LinkStatus::kOk);
  EXPECT_EQ(answer, AnswerPdu(5));
  net.CloseAll();
}

}  // namespace
