// The Modbus peer and its C++ fixture, proven without the project's driver: requests are built
// by hand here (MBAP header, CRC-16, LRC) and every answer byte is checked.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/testing/modbus_peer.h"

namespace {

using Bytes = std::vector<uint8_t>;
using testing_support::BitTable;
using testing_support::ModbusPeer;
using testing_support::PtyPair;
using testing_support::RegisterTable;
using testing_support::SerialFraming;
using testing_support::modbus_peer_detail::Fd;
using testing_support::modbus_peer_detail::NowMs;

// How long a silent peer is listened to before its silence counts. Each silence check is
// followed by a request that must be answered first, so a late answer would still be caught.
constexpr int kQuietMs = 300;
constexpr int kAnswerMs = 5000;

// Reads until `count` bytes came or the deadline passed.
Bytes ReadBytes(int fd, size_t count, int64_t deadlineMs) {
  Bytes out;
  while (out.size() < count) {
    pollfd p{fd, POLLIN, 0};
    const int rc = poll(&p, 1, static_cast<int>(std::max<int64_t>(0, deadlineMs - NowMs())));
    if (rc <= 0)
      break;
    uint8_t buf[512];
    const ssize_t n = read(fd, buf, std::min(sizeof buf, count - out.size()));
    if (n <= 0)
      break;
    out.insert(out.end(), buf, buf + n);
  }
  return out;
}

bool WriteAll(int fd, const Bytes& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = write(fd, bytes.data() + done, bytes.size() - done);
    if (n <= 0)
      return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

// CRC-16 of Modbus RTU: initial value 0xFFFF, reflected polynomial 0xA001, low byte sent first.
Bytes WithCrc(Bytes frame) {
  uint16_t crc = 0xFFFF;
  for (uint8_t b : frame) {
    crc ^= b;
    for (int i = 0; i < 8; ++i)
      crc = (crc & 1) ? uint16_t((crc >> 1) ^ 0xA001) : uint16_t(crc >> 1);
  }
  frame.push_back(uint8_t(crc & 0xFF));
  frame.push_back(uint8_t(crc >> 8));
  return frame;
}

// ":" + upper-case hex of the bytes + hex LRC (two's complement of their sum) + CR LF.
std::string AsciiFrame(const Bytes& body) {
  std::string text = ":";
  uint8_t sum = 0;
  char hex[3];
  for (uint8_t b : body) {
    std::snprintf(hex, sizeof hex, "%02X", b);
    text += hex;
    sum = uint8_t(sum + b);
  }
  std::snprintf(hex, sizeof hex, "%02X", uint8_t(-sum));
  return text + hex + "\r\n";
}

Bytes ToBytes(const std::string& s) {
  return Bytes(s.begin(), s.end());
}

// Read request PDU: function, start address, quantity.
Bytes ReadPdu(uint8_t function, uint16_t address, uint16_t count) {
  return {function, uint8_t(address >> 8), uint8_t(address), uint8_t(count >> 8), uint8_t(count)};
}

// A client connection to the peer's TCP port.
class TcpClient {
 public:
  explicit TcpClient(int port) : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    connected_ = fd_ && connect(fd_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) == 0;
    int one = 1;
    setsockopt(fd_.get(), IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
  }
  bool connected() const { return connected_; }

  // Sends one request with an MBAP header and reads an answer of `answerSize` bytes.
  Bytes Ask(uint16_t transaction, uint8_t unit, const Bytes& pdu, size_t answerSize,
            int waitMs = kAnswerMs) {
    Bytes adu = {uint8_t(transaction >> 8),      uint8_t(transaction),    0,   0,
                 uint8_t((pdu.size() + 1) >> 8), uint8_t(pdu.size() + 1), unit};
    adu.insert(adu.end(), pdu.begin(), pdu.end());
    if (!WriteAll(fd_.get(), adu))
      return {};
    return ReadBytes(fd_.get(), answerSize, NowMs() + waitMs);
  }

 private:
  Fd fd_;
  bool connected_ = false;
};

// The driver's end of a pseudo-terminal pair, opened raw at the given speed.
class SerialEnd {
 public:
  SerialEnd(const std::string& path, speed_t speed)
      : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC)) {
    termios tio{};
    if (!fd_ || tcgetattr(fd_.get(), &tio) != 0)
      return;
    cfmakeraw(&tio);
    cfsetispeed(&tio, speed);
    cfsetospeed(&tio, speed);
    ok_ = tcsetattr(fd_.get(), TCSANOW, &tio) == 0;
  }
  bool ok() const { return ok_; }

  Bytes Ask(const Bytes& request, size_t answerSize, int waitMs = kAnswerMs) {
    if (!WriteAll(fd_.get(), request))
      return {};
    return ReadBytes(fd_.get(), answerSize, NowMs() + waitMs);
  }

 private:
  Fd fd_;
  bool ok_ = false;
};

TEST(ModbusPeerFixture, PeerCanRunHere) {
  // Not a skip condition: the setup script installs everything, so this must hold in CI.
  std::string why;
  EXPECT_TRUE(ModbusPeer::CanRun(&why)) << why;
}

TEST(ModbusPeerFixture, TestHelpersMatchPublishedFrames) {
  // Known frames: read 10 holding registers of unit 1 from address 0.
  EXPECT_EQ(WithCrc({0x01, 0x03, 0x00, 0x00, 0x00, 0x0A}),
            (Bytes{0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD}));
  EXPECT_EQ(AsciiFrame({0x01, 0x03, 0x00, 0x00, 0x00, 0x01}), ":010300000001FB\r\n");
}

TEST(ModbusPeerFixture, TablesAreSetAndReadBackThroughCommands) {
  ModbusPeer peer;
  ASSERT_TRUE(peer.StartTcp({1, 2}, 100)) << peer.Error();
  EXPECT_GT(peer.Port(), 0);

  ASSERT_TRUE(peer.SetRegisters(2, RegisterTable::kInput, 98, {0xFFFF, 7}));
  EXPECT_EQ(peer.GetRegisters(2, RegisterTable::kInput, 97, 3),
            (std::vector<uint16_t>{0, 0xFFFF, 7}));
  ASSERT_TRUE(peer.SetBits(1, BitTable::kDiscreteInputs, 0, {1, 0, 1}));
  EXPECT_EQ(peer.GetBits(1, BitTable::kDiscreteInputs, 0, 4), (std::vector<uint8_t>{1, 0, 1, 0}));
  // The units keep their own tables.
  EXPECT_EQ(peer.GetBits(2, BitTable::kDiscreteInputs, 0, 1), (std::vector<uint8_t>{0}));

  // Refusals come back as errors and leave the peer usable.
  EXPECT_FALSE(peer.GetRegisters(1, RegisterTable::kHolding, 99, 2));
  EXPECT_NE(peer.Error().find("ERR"), std::string::npos) << peer.Error();
  EXPECT_FALSE(peer.SetRegisters(3, RegisterTable::kHolding, 0, {1}));
  EXPECT_FALSE(peer.SetBits(1, BitTable::kCoils, 0, {2}));
  EXPECT_FALSE(peer.Command("frobnicate"));
  EXPECT_TRUE(peer.Running());
  EXPECT_EQ(peer.GetRegisters(2, RegisterTable::kInput, 99, 1), (std::vector<uint16_t>{7}));

  // Closing its standard input ends it cleanly; later commands fail without hanging.
  EXPECT_TRUE(peer.Stop());
  EXPECT_FALSE(peer.Running());
  EXPECT_FALSE(peer.GetRegisters(1, RegisterTable::kHolding, 0, 1));
}

TEST(ModbusPeerFixture, StartFailuresAreReportedNotHung) {
  ModbusPeer peer;
  EXPECT_FALSE(peer.StartSerial(SerialFraming::kRtu, "/nonexistent/tty"));
  EXPECT_FALSE(peer.Error().empty());
  EXPECT_FALSE(peer.Running());
}

TEST(ModbusPeerTcp, ReadHoldingRegistersAnswersExactBytes) {
  ModbusPeer peer;
  ASSERT_TRUE(peer.StartTcp({1})) << peer.Error();
  ASSERT_TRUE(peer.SetRegisters(1, RegisterTable::kHolding, 100, {0x1234, 0xBEEF, 0x0001}));
  ASSERT_TRUE(peer.SetRegisters(1, RegisterTable::kInput, 0, {0x00FF}));
  ASSERT_TRUE(peer.SetBits(1, BitTable::kCoils, 3, {1, 1, 0, 1}));

  TcpClient client(peer.Port());
  ASSERT_TRUE(client.connected());
  // Protocol address 100 is table entry 100: no shift by one.
  EXPECT_EQ(client.Ask(0x0A0B, 1, ReadPdu(0x03, 100, 3), 15),
            (Bytes{0x0A, 0x0B, 0x00, 0x00, 0x00, 0x09, 0x01, 0x03, 0x06, 0x12, 0x34, 0xBE, 0xEF,
                   0x00, 0x01}));
  EXPECT_EQ(client.Ask(0x0001, 1, ReadPdu(0x04, 0, 1), 11),
            (Bytes{0x00, 0x01, 0x00, 0x00, 0x00, 0x05, 0x01, 0x04, 0x02, 0x00, 0xFF}));
  // Coils 0..9: 3, 4 and 6 set -> 0b0101'1000, 0.
  EXPECT_EQ(client.Ask(0x0002, 1, ReadPdu(0x01, 0, 10), 11),
            (Bytes{0x00, 0x02, 0x00, 0x00, 0x00, 0x05, 0x01, 0x01, 0x02, 0x58, 0x00}));
}

TEST(ModbusPeerTcp, AddressesPastTheTableGetIllegalDataAddress) {
  ModbusPeer peer;
  ASSERT_TRUE(peer.StartTcp({1}, 100)) << peer.Error();
  TcpClient client(peer.Port());
  ASSERT_TRUE(client.connected());
  const Bytes illegalAddress = {0x00, 0x07, 0x00, 0x00, 0x00, 0x03, 0x01, 0x83, 0x02};
  // The last entry still answers; one past it, or a range running over the end, does not.
  EXPECT_EQ(client.Ask(0x0007, 1, ReadPdu(0x03, 99, 1), 11).size(), 11u);
  EXPECT_EQ(client.Ask(0x0007, 1, ReadPdu(0x03, 100, 1), 9), illegalAddress);
  EXPECT_EQ(client.Ask(0x0007, 1, ReadPdu(0x03, 98, 3), 9), illegalAddress);
  EXPECT_EQ(client.Ask(0x0008, 1, ReadPdu(0x02, 100, 1), 9),
            (Bytes{0x00, 0x08, 0x00, 0x00, 0x00, 0x03, 0x01, 0x82, 0x02}));
}

TEST(ModbusPeerTcp, WritesByRequestShowInTheTables) {
  ModbusPeer peer;
  ASSERT_TRUE(peer.StartTcp({1})) << peer.Error();
  TcpClient client(peer.Port());
  ASSERT_TRUE(client.connected());

  // Write single register (06) echoes the request.
  EXPECT_EQ(client.Ask(1, 1, {0x06, 0x00, 0x05, 0xAB, 0xCD}, 12),
            (Bytes{0x00, 0x01, 0x00, 0x00, 0x00, 0x06, 0x01, 0x06, 0x00, 0x05, 0xAB, 0xCD}));
  // Write multiple registers (16) answers address and quantity.
  EXPECT_EQ(client.Ask(2, 1, {0x10, 0x00, 0x14, 0x00, 0x02, 0x04, 0x01, 0x02, 0x03, 0x04}, 12),
            (Bytes{0x00, 0x02, 0x00, 0x00, 0x00, 0x06, 0x01, 0x10, 0x00, 0x14, 0x00, 0x02}));
  // Write single coil (05) on, then multiple coils (15): 10 coils from 30, bytes 03 03.
  EXPECT_EQ(client.Ask(3, 1, {0x05, 0x00, 0x07, 0xFF, 0x00}, 12).size(), 12u);
  EXPECT_EQ(client.Ask(4, 1, {0x0F, 0x00, 0x1E, 0x00, 0x0A, 0x02, 0x03, 0x03}, 12).size(), 12u);

  EXPECT_EQ(peer.GetRegisters(1, RegisterTable::kHolding, 5, 1), (std::vector<uint16_t>{0xABCD}));
  EXPECT_EQ(peer.GetRegisters(1, RegisterTable::kHolding, 20, 2),
            (std::vector<uint16_t>{0x0102, 0x0304}));
  EXPECT_EQ(peer.GetBits(1, BitTable::kCoils, 6, 3), (std::vector<uint8_t>{0, 1, 0}));
  EXPECT_EQ(peer.GetBits(1, BitTable::kCoils, 30, 10),
            (std::vector<uint8_t>{1, 1, 0, 0, 0, 0, 0, 0, 1, 1}));
}

TEST(ModbusPeerTcp, UnitsNotServedStaySilent) {
  ModbusPeer peer;
  ASSERT_TRUE(peer.StartTcp({1, 2})) << peer.Error();
  ASSERT_TRUE(peer.SetRegisters(2, RegisterTable::kHolding, 0, {0x0202}));
  TcpClient client(peer.Port());
  ASSERT_TRUE(client.connected());
  EXPECT_TRUE(client.Ask(0x0100, 3, ReadPdu(0x03, 0, 1), 1, kQuietMs).empty());
  // The connection still serves, and the next answer is the served unit's own.
  EXPECT_EQ(client.Ask(0x0101, 2, ReadPdu(0x03, 0, 1), 11),
            (Bytes{0x01, 0x01, 0x00, 0x00, 0x00, 0x05, 0x02, 0x03, 0x02, 0x02, 0x02}));
}

TEST(ModbusPeerRtu, HandBuiltFramesOverAPseudoTerminal) {
  PtyPair pty;
  ASSERT_TRUE(pty.Start()) << pty.Error();
  ASSERT_NE(pty.DriverEnd(), pty.PeerEnd());
  ModbusPeer peer;
  ASSERT_TRUE(peer.StartSerial(SerialFraming::kRtu, pty.PeerEnd(), 19200, {1, 2}, 100))
      << peer.Error();
  ASSERT_TRUE(peer.SetRegisters(2, RegisterTable::kHolding, 0, {0x1234, 0x5678}));
  SerialEnd line(pty.DriverEnd(), B19200);
  ASSERT_TRUE(line.ok());

  EXPECT_EQ(line.Ask(WithCrc({0x02, 0x03, 0x00, 0x00, 0x00, 0x02}), 9),
            WithCrc({0x02, 0x03, 0x04, 0x12, 0x34, 0x56, 0x78}));
  // A unit that is not served and a frame with a wrong CRC get no answer...
  EXPECT_TRUE(line.Ask(WithCrc({0x03, 0x03, 0x00, 0x00, 0x00, 0x02}), 1, kQuietMs).empty());
  EXPECT_TRUE(line.Ask({0x02, 0x03, 0x00, 0x00, 0x00, 0x02, 0x00, 0x00}, 1, kQuietMs).empty());
  // ...and leave the line in step for the next request.
  EXPECT_EQ(line.Ask(WithCrc({0x02, 0x03, 0x00, 0x63, 0x00, 0x02}), 5),
            WithCrc({0x02, 0x83, 0x02}));
  EXPECT_EQ(line.Ask(WithCrc({0x01, 0x06, 0x00, 0x09, 0xFF, 0xFE}), 8),
            WithCrc({0x01, 0x06, 0x00, 0x09, 0xFF, 0xFE}));
  EXPECT_EQ(peer.GetRegisters(1, RegisterTable::kHolding, 9, 1), (std::vector<uint16_t>{0xFFFE}));
}

TEST(ModbusPeerAscii, HandBuiltFramesOverAPseudoTerminal) {
  PtyPair pty;
  ASSERT_TRUE(pty.Start()) << pty.Error();
  ModbusPeer peer;
  ASSERT_TRUE(peer.StartSerial(SerialFraming::kAscii, pty.PeerEnd(), 9600, {2}, 100))
      << peer.Error();
  ASSERT_TRUE(peer.SetRegisters(2, RegisterTable::kHolding, 0, {0x1234, 0x5678}));
  SerialEnd line(pty.DriverEnd(), B9600);
  ASSERT_TRUE(line.ok());

  const std::string answer = AsciiFrame({0x02, 0x03, 0x04, 0x12, 0x34, 0x56, 0x78});
  EXPECT_EQ(answer, ":02030412345678E3\r\n");
  const Bytes request = ToBytes(AsciiFrame({0x02, 0x03, 0x00, 0x00, 0x00, 0x02}));
  EXPECT_EQ(line.Ask(request, answer.size()), ToBytes(answer));
  // Not served, wrong LRC: silence, and the frame after each is still answered.
  EXPECT_TRUE(
      line.Ask(ToBytes(AsciiFrame({0x01, 0x03, 0x00, 0x00, 0x00, 0x02})), 1, kQuietMs).empty());
  EXPECT_TRUE(line.Ask(ToBytes(":020300000002FF\r\n"), 1, kQuietMs).empty());
  EXPECT_EQ(line.Ask(request, answer.size()), ToBytes(answer));
  const std::string past = AsciiFrame({0x02, 0x83, 0x02});
  EXPECT_EQ(line.Ask(ToBytes(AsciiFrame({0x02, 0x03, 0x00, 0x64, 0x00, 0x01})), past.size()),
            ToBytes(past));
  const std::string write = AsciiFrame({0x02, 0x06, 0x00, 0x05, 0x00, 0x07});
  EXPECT_EQ(line.Ask(ToBytes(write), write.size()), ToBytes(write));
  EXPECT_EQ(peer.GetRegisters(2, RegisterTable::kHolding, 5, 1), (std::vector<uint16_t>{7}));
}

}  // namespace
