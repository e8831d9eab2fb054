#include "platform/serial_port.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "common/testing/test_support.h"
#include "platform/clock.h"
#include "platform/registry.h"
#include "platform/serial_net.h"
#include "platform/unique_fd.h"

namespace {

using platform::Registry;
using platform::SerialHandle;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using Clock = std::chrono::steady_clock;

constexpr char kPortsKey[] = "HKEY_CURRENT_USER\\Software\\VO DAROR\\Ports";

// A pseudo-terminal pair: the test plays the device on the master side.
class Pty {
 public:
  Pty() {
    master_ = posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
    if (master_ >= 0 && grantpt(master_) == 0 && unlockpt(master_) == 0)
      slavePath_ = ptsname(master_);
    // Holding the slave open keeps the master from seeing a hang-up between the test's opens.
    if (!slavePath_.empty())
      hold_ = open(slavePath_.c_str(), O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK);
  }
  ~Pty() {
    if (hold_ >= 0)
      close(hold_);
    if (master_ >= 0)
      close(master_);
  }
  Pty(const Pty&) = delete;
  Pty& operator=(const Pty&) = delete;

  bool ok() const { return hold_ >= 0; }
  // The device goes away: the slave side sees a hang-up.
  void CloseMaster() {
    close(master_);
    master_ = -1;
  }
  const std::string& path() const { return slavePath_; }
  int held_slave() const { return hold_; }

  void Send(const std::vector<uint8_t>& bytes) {
    ASSERT_EQ(write(master_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }

  // Reads from the master until `count` bytes arrived or 2 s passed.
  std::vector<uint8_t> Receive(size_t count) {
    std::vector<uint8_t> got;
    auto deadline = Clock::now() + std::chrono::seconds(2);
    while (got.size() < count && Clock::now() < deadline) {
      pollfd p{master_, POLLIN, 0};
      if (poll(&p, 1, 50) <= 0)
        continue;
      uint8_t buf[256];
      ssize_t n = read(master_, buf, sizeof buf);
      if (n > 0)
        got.insert(got.end(), buf, buf + n);
    }
    return got;
  }

 private:
  int master_ = -1;
  int hold_ = -1;
  std::string slavePath_;
};

// Waits (up to 2 s) until at least `count` bytes are queued; returns the queued count.
DWORD WaitQueued(HANDLE port, DWORD count) {
  COMSTAT stat{};
  auto deadline = Clock::now() + std::chrono::seconds(2);
  do {
    if (!platform::ClearCommError(port, nullptr, &stat))
      return 0;
    if (stat.cbInQue >= count)
      break;
    platform::Sleep(1);
  } while (Clock::now() < deadline);
  return stat.cbInQue;
}

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

// Every test gets its own registry store and a fresh pseudo-terminal.
class SerialPortTest : public ::testing::Test {
 protected:
  SerialPortTest() : env_("TALVEK_CONFIG_DIR", config_.str()) { Registry::Instance().Reload(); }
  ~SerialPortTest() override { Registry::Instance().Reload(); }

  void SetUp() override { ASSERT_TRUE(pty_.ok()); }

  SerialHandle OpenPty() { return SerialHandle(platform::OpenSerialPort(pty_.path().c_str())); }

  TempDir config_;
  ScopedEnv env_;
  Pty pty_;
};

TEST_F(SerialPortTest, NamesMapToDevicePaths) {
  using platform::SerialDevicePath;
  EXPECT_EQ(SerialDevicePath("Com1"), "/dev/ttyS0");
  EXPECT_EQ(SerialDevicePath("COM3"), "/dev/ttyS2");
  EXPECT_EQ(SerialDevicePath("\\\\.\\com12"), "/dev/ttyS11");
  EXPECT_EQ(SerialDevicePath("Com256"), "/dev/ttyS255");
  EXPECT_EQ(SerialDevicePath("/dev/ttyUSB0"), "/dev/ttyUSB0");
  EXPECT_EQ(SerialDevicePath("\\\\.\\/tmp/Com1"), "/tmp/Com1");
  for (const char* bad :
       {"", "\\\\.\\", "Com", "Com0", "Com01", "Com257", "Com1a", "LPT1", "ttyUSB0", "Com-1"})
    EXPECT_EQ(SerialDevicePath(bad), std::nullopt) << bad;

  ASSERT_TRUE(Registry::Instance().SetString(kPortsKey, "Com3", "/dev/ttyUSB0"));
  EXPECT_EQ(SerialDevicePath("COM3"), "/dev/ttyUSB0");
  ASSERT_TRUE(Registry::Instance().SetString(kPortsKey, "Com4", ""));
  EXPECT_EQ(SerialDevicePath("Com4"), "/dev/ttyS3") << "an empty entry maps nothing";
}

TEST_F(SerialPortTest, OpensByPathAndByMappedName) {
  {
    SerialHandle port = OpenPty();
    ASSERT_TRUE(port);
  }
  ASSERT_TRUE(Registry::Instance().SetString(kPortsKey, "Com7", pty_.path()));
  for (const char* name : {"Com7", "\\\\.\\COM7", "com7"}) {
    SerialHandle port(platform::OpenSerialPort(name));
    EXPECT_TRUE(port) << name;
  }
}

TEST_F(SerialPortTest, IsExclusiveAndSafeToCloseTwice) {
  HANDLE first = platform::OpenSerialPort(pty_.path().c_str());
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  EXPECT_EQ(platform::OpenSerialPort(pty_.path().c_str()), INVALID_HANDLE_VALUE) << "already open";

  EXPECT_TRUE(platform::CloseSerialHandle(first));
  EXPECT_FALSE(platform::CloseSerialHandle(first));
  DWORD n = 0;
  EXPECT_FALSE(platform::WriteFile(first, "x", 1, &n, nullptr))
      << "a closed handle reaches no port";

  // The handle value is not reused: the old handle does not reach the reopened port.
  SerialHandle again = OpenPty();
  ASSERT_TRUE(again);
  EXPECT_NE(again.get(), first);
  EXPECT_FALSE(platform::CloseSerialHandle(first));
  EXPECT_FALSE(platform::CloseSerialHandle(INVALID_HANDLE_VALUE));
  EXPECT_FALSE(platform::CloseSerialHandle(nullptr));
}

TEST_F(SerialPortTest, UnopenableNamesGiveAnInvalidHandle) {
  const std::string regularFile = (config_ / "not-a-tty").string();
  ASSERT_TRUE(testing_support::WriteFileBytes(regularFile, {1, 2, 3}));
  for (const char* name : {"Com250", "/nonexistent/ttyX", "LPT1", "", regularFile.c_str()})
    EXPECT_EQ(platform::OpenSerialPort(name), INVALID_HANDLE_VALUE) << name;
  EXPECT_EQ(platform::OpenSerialPort(nullptr), INVALID_HANDLE_VALUE);
}

TEST_F(SerialPortTest, AcceptsEveryParityStopBitsByteSizeAndBaud) {
  SerialHandle port = OpenPty();
  ASSERT_TRUE(port);
  DCB dcb{};
  ASSERT_TRUE(platform::GetCommState(port.get(), &dcb));
  for (BYTE parity : {NOPARITY, ODDPARITY, EVENPARITY, MARKPARITY, SPACEPARITY}) {
    for (BYTE stop : {ONESTOPBIT, TWOSTOPBITS}) {
      for (BYTE size = 5; size <= 8; ++size) {
        dcb.Parity = parity;
        dcb.StopBits = stop;
        dcb.ByteSize = size;
        EXPECT_TRUE(platform::SetCommState(port.get(), &dcb))
            << int(parity) << " " << int(stop) << " " << int(size);
      }
    }
  }
  dcb = DCB{0, 9600, 5, NOPARITY, ONE5STOPBITS};
  EXPECT_TRUE(platform::SetCommState(port.get(), &dcb)) << "1.5 stop bits with 5-bit bytes";

  // A pseudo-terminal drops parity and byte size but keeps the rate, standard or not.
  dcb = DCB{0, 9600, 8, EVENPARITY, ONESTOPBIT};
  for (DWORD baud : {110u, 300u, 600u, 1200u, 2400u, 4800u, 9600u, 14400u, 19200u, 38400u, 56000u,
                     57600u, 115200u, 128000u, 256000u}) {
    dcb.BaudRate = baud;
    EXPECT_TRUE(platform::SetCommState(port.get(), &dcb)) << baud;
    DCB back{};
    ASSERT_TRUE(platform::GetCommState(port.get(), &back));
    EXPECT_EQ(back.BaudRate, baud);
  }

  const DCB refused[] = {
      {0, 0, 8, NOPARITY, ONESTOPBIT},      {0, 9600, 4, NOPARITY, ONESTOPBIT},
      {0, 9600, 9, NOPARITY, ONESTOPBIT},   {0, 9600, 8, 5, ONESTOPBIT},
      {0, 9600, 8, NOPARITY, ONE5STOPBITS}, {0, 9600, 8, NOPARITY, 3},
  };
  for (const DCB& bad : refused) {
    EXPECT_FALSE(platform::SetCommState(port.get(), &bad))
        << bad.BaudRate << " " << int(bad.ByteSize) << " " << int(bad.Parity) << " "
        << int(bad.StopBits);
  }
}

TEST_F(SerialPortTest, PassesEveryByteUnchangedAndCountsTheQueue) {
  SerialHandle port = OpenPty();
  ASSERT_TRUE(port);
  // Bytes a cooked terminal would translate, swallow or act on.
  const std::vector<uint8_t> bytes = {0x0D, 0x0A, 0x03, 0x11, 0x13, 0x7F, 0x00, 0xFF, 0x04, 0x1A};

  pty_.Send(bytes);
  EXPECT_EQ(WaitQueued(port.get(), bytes.size()), bytes.size());
  std::vector<uint8_t> got(32);
  DWORD n = 0;
  ASSERT_TRUE(platform::ReadFile(port.get(), got.data(), got.size(), &n, nullptr));
  got.resize(n);
  EXPECT_EQ(got, bytes);
  COMSTAT stat{};
  ASSERT_TRUE(platform::ClearCommError(port.get(), nullptr, &stat));
  EXPECT_EQ(stat.cbInQue, 0u);

  // A read smaller than the queue takes the head and leaves the rest.
  pty_.Send(bytes);
  ASSERT_EQ(WaitQueued(port.get(), bytes.size()), bytes.size());
  uint8_t head[3];
  ASSERT_TRUE(platform::ReadFile(port.get(), head, 3, &n, nullptr));
  EXPECT_EQ(std::vector<uint8_t>(head, head + n),
            std::vector<uint8_t>(bytes.begin(), bytes.begin() + 3));
  EXPECT_EQ(WaitQueued(port.get(), 0), bytes.size() - 3);
  ASSERT_TRUE(platform::PurgeComm(port.get(),
                                  PURGE_RXCLEAR | PURGE_TXCLEAR | PURGE_RXABORT | PURGE_TXABORT));
  EXPECT_EQ(WaitQueued(port.get(), 0), 0u);

  ASSERT_TRUE(platform::WriteFile(port.get(), bytes.data(), bytes.size(), &n, nullptr));
  EXPECT_EQ(n, bytes.size());
  EXPECT_EQ(pty_.Receive(bytes.size()), bytes);

  DWORD errors = 0xFFFF;
  EXPECT_TRUE(platform::ClearCommError(port.get(), &errors, nullptr));
  EXPECT_EQ(errors, 0u);
  EXPECT_FALSE(platform::PurgeComm(port.get(), 0x10)) << "unknown purge flag";
}

TEST_F(SerialPortTest, ReadTimeoutsFollowTheWin32Rules) {
  SerialHandle port = OpenPty();
  ASSERT_TRUE(port);
  COMMTIMEOUTS to{};
  ASSERT_TRUE(platform::GetCommTimeouts(port.get(), &to));
  EXPECT_EQ(to.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(to.WriteTotalTimeoutMultiplier, 40u);

  uint8_t buf[16];
  DWORD n = 99;
  auto start = Clock::now();
  EXPECT_TRUE(platform::ReadFile(port.get(), buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_LT(MillisecondsSince(start), 50) << "nothing queued: returns at once";

  to = COMMTIMEOUTS{0, 0, 100, 0, 0};
  ASSERT_TRUE(platform::SetCommTimeouts(port.get(), &to));
  start = Clock::now();
  EXPECT_TRUE(platform::ReadFile(port.get(), buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 0u);
  EXPECT_GE(MillisecondsSince(start), 100) << "waits out the total time-out";

  // Bytes that are already there end a wait for the first byte at once.
  to = COMMTIMEOUTS{MAXDWORD, MAXDWORD, 5000, 0, 0};
  ASSERT_TRUE(platform::SetCommTimeouts(port.get(), &to));
  pty_.Send({1, 2, 3});
  ASSERT_EQ(WaitQueued(port.get(), 3), 3u);
  start = Clock::now();
  EXPECT_TRUE(platform::ReadFile(port.get(), buf, sizeof buf, &n, nullptr));
  EXPECT_EQ(n, 3u);
  EXPECT_LT(MillisecondsSince(start), 1000);
}

TEST_F(SerialPortTest, WriteTimesOutWhenTheLineDoesNotDrain) {
  SerialHandle port = OpenPty();
  ASSERT_TRUE(port);
  COMMTIMEOUTS to{MAXDWORD, 0, 0, 0, 100};
  ASSERT_TRUE(platform::SetCommTimeouts(port.get(), &to));
  // Nobody reads the master: the terminal's buffers fill and the write must give up.
  std::vector<uint8_t> big(4 << 20, 0x55);
  DWORD n = 0;
  auto start = Clock::now();
  EXPECT_FALSE(platform::WriteFile(port.get(), big.data(), big.size(), &n, nullptr));
  EXPECT_GT(n, 0u);
  EXPECT_LT(n, big.size());
  EXPECT_GE(MillisecondsSince(start), 100);
  EXPECT_LT(MillisecondsSince(start), 2000);
}

TEST_F(SerialPortTest, ClosingWakesABlockedRead) {
  HANDLE port = platform::OpenSerialPort(pty_.path().c_str());
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  COMMTIMEOUTS forever{0, 0, 0, 0, 0};  // wait until the buffer is full
  ASSERT_TRUE(platform::SetCommTimeouts(port, &forever));
  BOOL result = TRUE;
  std::thread reader([&] {
    uint8_t buf[8];
    DWORD n = 0;
    result = platform::ReadFile(port, buf, sizeof buf, &n, nullptr);
  });
  platform::Sleep(30);  // lets the reader block first; the outcome is the same if it has not yet
  EXPECT_TRUE(platform::CloseSerialHandle(port));
  reader.join();  // returns whether the read began before or after the close
  EXPECT_FALSE(result);
}

TEST_F(SerialPortTest, AVanishedDeviceFailsReadsAndWrites) {
  SerialHandle port = OpenPty();
  ASSERT_TRUE(port);
  COMMTIMEOUTS forever{0, 0, 0, 0, 0};
  ASSERT_TRUE(platform::SetCommTimeouts(port.get(), &forever));
  pty_.CloseMaster();
  uint8_t buf[8];
  DWORD n = 0;
  EXPECT_FALSE(platform::ReadFile(port.get(), buf, sizeof buf, &n, nullptr));
  EXPECT_FALSE(platform::WriteFile(port.get(), buf, sizeof buf, &n, nullptr));
}

TEST_F(SerialPortTest, DuplicatesShareThePortUntilTheLastCloses) {
  termios cooked{};
  ASSERT_EQ(tcgetattr(pty_.held_slave(), &cooked), 0);
  ASSERT_TRUE(cooked.c_lflag & ICANON) << "a new pseudo-terminal starts cooked";

  HANDLE first = platform::OpenSerialPort(pty_.path().c_str());
  ASSERT_NE(first, INVALID_HANDLE_VALUE);
  HANDLE second = platform::DuplicateSerialHandle(first);
  ASSERT_NE(second, INVALID_HANDLE_VALUE);
  EXPECT_NE(second, first);
  termios raw{};
  ASSERT_EQ(tcgetattr(pty_.held_slave(), &raw), 0);
  EXPECT_FALSE(raw.c_lflag & ICANON);

  EXPECT_TRUE(platform::CloseSerialHandle(first));
  DWORD n = 0;
  EXPECT_TRUE(platform::WriteFile(second, "ok", 2, &n, nullptr))
      << "the duplicate still reaches the port";
  EXPECT_EQ(pty_.Receive(2), (std::vector<uint8_t>{'o', 'k'}));
  EXPECT_EQ(platform::OpenSerialPort(pty_.path().c_str()), INVALID_HANDLE_VALUE) << "still open";
  EXPECT_EQ(platform::DuplicateSerialHandle(first), INVALID_HANDLE_VALUE);

  EXPECT_TRUE(platform::CloseSerialHandle(second));
  termios restored{};
  ASSERT_EQ(tcgetattr(pty_.held_slave(), &restored), 0);
  EXPECT_EQ(restored.c_lflag, cooked.c_lflag) << "the settings found at open come back";
  EXPECT_EQ(restored.c_iflag, cooked.c_iflag);
  SerialHandle again = OpenPty();
  EXPECT_TRUE(again) << "free again once every handle is closed";
}

TEST_F(SerialPortTest, SerialHandleOwnsAndMoves) {
  SerialHandle a = OpenPty();
  ASSERT_TRUE(a);
  HANDLE raw = a.get();
  SerialHandle b = std::move(a);
  EXPECT_FALSE(a);
  EXPECT_EQ(b.get(), raw);
  b = SerialHandle();
  EXPECT_FALSE(platform::CloseSerialHandle(raw)) << "assigning over it closed the handle";
  SerialHandle c = OpenPty();
  ASSERT_TRUE(c);
  HANDLE kept = c.release();
  EXPECT_FALSE(c);
  EXPECT_TRUE(platform::CloseSerialHandle(kept));
}

TEST(SerialPortList, ListsRealPortsUsbAndStableNamesInOrder) {
  TempDir root;
  namespace fs = std::filesystem;
  fs::create_directories(root / "dev/serial/by-id");
  for (const char* name : {"ttyS0", "ttyS1", "ttyS2", "ttyS10", "ttyS3", "ttyUSB1", "ttyUSB0",
                           "ttyACM0", "tty0", "ttyS", "ttyUSB01", "console"})
    ASSERT_TRUE(testing_support::WriteFileBytes((root / "dev" / name).string(), {}));
  // /sys/class/tty/<name>: a device (with its driver) and the UART type; type 0 is a placeholder
  // for a port with no hardware, no type file leaves it to the device.
  for (const auto& [name, driver, type] : {std::tuple{"ttyS0", "serial8250", "4"},
                                           {"ttyS1", "serial8250", "0"},
                                           {"ttyS10", "exar_serial", "4"},
                                           {"ttyS2", "port", ""},
                                           {"ttyUSB0", "ftdi_sio", ""}}) {
    const fs::path dir = root / "sys/class/tty" / name;
    fs::create_directories(dir / "device");
    fs::create_directory_symlink(std::string("../../bus/") + driver, dir / "device/driver");
    if (*type != '\0') {
      ASSERT_TRUE(testing_support::WriteFileBytes((dir / "type").string(), {uint8_t(*type)}));
    }
  }
  fs::create_symlink("../../ttyUSB0", root / "dev/serial/by-id/usb-FTDI_A50285BI-if00-port0");
  fs::create_symlink("../../ttyUSB7", root / "dev/serial/by-id/usb-gone-if00");  // stale

  std::vector<std::string> seen;
  for (const platform::SerialPortEntry& e : platform::ListSerialPorts(root.str()))
    seen.push_back(e.path + "|" + e.device + "|" + e.driver);
  EXPECT_EQ(seen, (std::vector<std::string>{
                      "/dev/ttyS0|/dev/ttyS0|serial8250", "/dev/ttyS2|/dev/ttyS2|port",
                      "/dev/ttyS10|/dev/ttyS10|exar_serial", "/dev/ttyUSB0|/dev/ttyUSB0|ftdi_sio",
                      "/dev/ttyUSB1|/dev/ttyUSB1|", "/dev/ttyACM0|/dev/ttyACM0|",
                      "/dev/serial/by-id/usb-FTDI_A50285BI-if00-port0|/dev/ttyUSB0|ftdi_sio"}));
  EXPECT_TRUE(platform::ListSerialPorts((root / "nothing").string()).empty());
}

TEST(SerialNet, ParsesServerAddressesAndNamesWhatIsWrong) {
  using E = platform::NetAddressError;
  platform::NetAddress at;
  ASSERT_EQ(platform::ParseNetAddress("RFC2217://[fe80::1]:65535", &at), E::kOk);
  EXPECT_EQ(at.kind, platform::NetKind::kRfc2217);
  EXPECT_EQ(at.host + ":" + std::to_string(at.port), "fe80::1:65535");
  const std::pair<const char*, E> bad[] = {
      {"/dev/ttyUSB0", E::kNotNet},     {"udp://h:1", E::kNotNet},
      {"tcp://:4001", E::kNoHost},      {"tcp://host", E::kNoPort},
      {"tcp://host:0", E::kBadPort},    {"tcp://h:65536", E::kBadPort},
      {"tcp://h:1/", E::kBadPort},      {"tcp://a b:1", E::kBadHost},
      {"tcp://fe80::1:1", E::kBadHost}, {"tcp://[fe80::1", E::kBadHost}};
  for (const auto& [text, error] : bad)
    EXPECT_EQ(platform::ParseNetAddress(text, &at), error) << text;
  EXPECT_EQ(at.host, "fe80::1") << "written only on success";
}

TEST(SerialNet, Rfc2217EscapesIacCarriesTheLineSettingsAndStripsCommands) {
  namespace t = platform::telnet;
  using Bytes = std::vector<uint8_t>;
  Bytes out;
  t::AppendEscaped(Bytes{0x68, 0xFF, 0x00, 0xFF}, out);
  EXPECT_EQ(out, (Bytes{0x68, 0xFF, 0xFF, 0x00, 0xFF, 0xFF}));
  EXPECT_EQ(t::LineSettingsCommands(DCB{0, 255, 7, EVENPARITY, TWOSTOPBITS}),
            (Bytes{255, 250, 44, 1, 0, 0,   0,   255, 255, 255, 240,  // baud 255: escaped
                   255, 250, 44, 2, 7, 255, 240,                      // 7 data bits
                   255, 250, 44, 3, 3, 255, 240,                      // even parity
                   255, 250, 44, 4, 2, 255, 240}));                   // 2 stop bits

  const Bytes stream = {0x10, 0xFF, 0xFF, 0x02, 0xFF, 0xFB, 0x01, 0xFF,
                        0xF1,                                            // data, WILL ECHO, NOP
                        0xFF, 0xFA, 0x2C, 0x6B, 0xFF, 0xFF, 0xFF, 0xF0,  // SB with an 0xFF
                        0xE5, 0xFF, 0xFD, 0x2C, 0x16};                   // DO COM-PORT
  for (size_t cut = 0; cut <= stream.size(); ++cut) {  // any cut decodes as one read
    t::Decoder decoder;
    Bytes data;
    std::vector<t::Event> events;
    decoder.Feed(std::span(stream).first(cut), data, events);
    decoder.Feed(std::span(stream).subspan(cut), data, events);
    ASSERT_EQ(data, (Bytes{0x10, 0xFF, 0x02, 0xE5, 0x16})) << cut;
    ASSERT_EQ(events.size(), 3u) << cut;
    EXPECT_EQ(events[1].sub, (Bytes{0x6B, 0xFF})) << cut;
    EXPECT_EQ(events[2].command, t::kDo);
  }

  // A server's greeting: agreements to our offers need no answer, echo is refused.
  t::Negotiator n;
  EXPECT_EQ(n.Start(), (Bytes{255, 251, 0, 255, 251, 3, 255, 251, 44, 255, 253, 0, 255, 253, 3}));
  Bytes reply;
  for (const auto& [command, option] : {std::pair{t::kWill, t::kSuppressGoAhead},
                                        {t::kWill, t::kEcho},
                                        {t::kDont, t::kEcho},
                                        {t::kDo, t::kBinary},
                                        {t::kWill, t::kBinary},
                                        {t::kDo, t::kComPort},
                                        {t::kWont, t::kBinary},
                                        {t::kWont, t::kBinary}})
    n.Answer({command, option, {}}, reply);
  EXPECT_TRUE(n.ComPortAgreed());
  EXPECT_EQ(reply, (Bytes{255, 254, 1, 255, 254, 0})) << "DONT ECHO; a change of mind, once";
}

// A raw TCP server through the same handles: a blocked read wakes when the handle closes, and a
// server that goes away fails reads, writes and the queue count like a vanished device.
TEST_F(SerialPortTest, AServerConnectionClosesAndDropsLikeADevice) {
  platform::UniqueFd listener(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
  sockaddr_in at{AF_INET, 0, {htonl(INADDR_LOOPBACK)}, {}};
  socklen_t length = sizeof at;
  ASSERT_EQ(bind(listener.get(), reinterpret_cast<sockaddr*>(&at), sizeof at), 0);
  ASSERT_EQ(listen(listener.get(), 2), 0);
  ASSERT_EQ(getsockname(listener.get(), reinterpret_cast<sockaddr*>(&at), &length), 0);
  const std::string url = "tcp://127.0.0.1:" + std::to_string(ntohs(at.sin_port));
  COMMTIMEOUTS forever{0, 0, 0, 0, 0};
  uint8_t buf[8];
  DWORD n = 0;

  HANDLE port = platform::OpenSerialPort(url.c_str());
  ASSERT_NE(port, INVALID_HANDLE_VALUE);
  ASSERT_TRUE(platform::SetCommTimeouts(port, &forever));
  BOOL result = TRUE;
  std::thread reader([&] { result = platform::ReadFile(port, buf, sizeof buf, &n, nullptr); });
  platform::Sleep(30);
  EXPECT_TRUE(platform::CloseSerialHandle(port));
  reader.join();
  EXPECT_FALSE(result);

  ASSERT_TRUE(Registry::Instance().SetString(kPortsKey, "Com9", url));
  SerialHandle again(platform::OpenSerialPort("Com9"));
  ASSERT_TRUE(again);
  DCB dcb{0, 19200, 7, ODDPARITY, TWOSTOPBITS}, back{};
  ASSERT_TRUE(platform::SetCommState(again.get(), &dcb));
  ASSERT_TRUE(platform::GetCommState(again.get(), &back));
  EXPECT_EQ(back.BaudRate, 19200u) << "kept for the drivers' timing";
  platform::UniqueFd first(accept(listener.get(), nullptr, nullptr));
  platform::UniqueFd second(accept(listener.get(), nullptr, nullptr));
  ASSERT_EQ(send(second.get(), "\xFF\x01", 2, 0), 2);
  EXPECT_EQ(WaitQueued(again.get(), 2), 2u) << "raw: 0xFF is data";
  second.reset();
  ASSERT_TRUE(platform::SetCommTimeouts(again.get(), &forever));
  ASSERT_TRUE(platform::ReadFile(again.get(), buf, 2, &n, nullptr)) << "what came first";
  EXPECT_EQ(n, 2u);
  EXPECT_FALSE(platform::ReadFile(again.get(), buf, sizeof buf, &n, nullptr));
  EXPECT_FALSE(platform::ClearCommError(again.get(), nullptr, nullptr));
  EXPECT_FALSE(platform::WriteFile(again.get(), buf, sizeof buf, &n, nullptr));
  listener.reset();
  EXPECT_EQ(platform::OpenSerialPort(url.c_str()), INVALID_HANDLE_VALUE) << "nobody listens";
}

}  // namespace
