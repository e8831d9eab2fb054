#include "drivers/ppi/ppi_transport.h"

#include <gtest/gtest.h>
#include <time.h>

#include <array>
#include <chrono>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "common/testing/ser2net.h"
#include "common/testing/test_support.h"
#include "platform/atoms.h"
#include "platform/registry.h"
#include "platform/serial_port.h"
#include "platform/window_messages.h"
#include "tools/ppisim/ppi_simulator.h"

namespace {

using ppi::PpiTransport;
using testing_support::ScopedEnv;
using testing_support::TempDir;
using Clock = std::chrono::steady_clock;
using Bytes = std::vector<uint8_t>;
using Frame = std::array<uint8_t, ppi::kFrameBufferSize>;

constexpr int32_t kStation = 2;
constexpr uint16_t kTestTimeoutMs = 300;

// Read job for V100, 2 bytes, station 2, written out byte by byte.
const Bytes kReadV100 = {0x68, 0x1B, 0x1B, 0x68, 0x02, 0x00, 0x6C, 0x32, 0x01, 0x00, 0x00,
                         0x00, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x04, 0x01, 0x12, 0x0A, 0x10,
                         0x02, 0x00, 0x02, 0x00, 0x01, 0x84, 0x00, 0x03, 0x20, 0x8C, 0x16};
// The station's reply when V100..V101 hold 12 34.
const Bytes kReplyV100 = {0x68, 0x17, 0x17, 0x68, 0x00, 0x02, 0x08, 0x32, 0x03, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x06, 0x00, 0x00, 0x04,
                          0x01, 0xFF, 0x04, 0x00, 0x10, 0x12, 0x34, 0xA5, 0x16};

int64_t MillisecondsSince(Clock::time_point start) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - start).count();
}

int64_t ThreadCpuMilliseconds() {
  timespec ts{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &ts);
  return ts.tv_sec * 1000 + ts.tv_nsec / 1000000;
}

// A "quelmess" monitor window that records the texts it is sent.
class Monitor {
 public:
  bool Open() {
    return endpoint_.Open(ppi::kMonitorWindowClass, [this](UINT msg, WPARAM w, LPARAM) -> LRESULT {
      char text[256];
      UINT n = platform::GlobalGetAtomNameA(static_cast<ATOM>(w), text, sizeof text);
      std::lock_guard lock(mu_);
      texts_.emplace_back(std::to_string(msg) + ":" + std::string(text, n));
      return 1;
    });
  }
  // Texts so far as "<message>:<text>", and forgets them.
  std::vector<std::string> Take() {
    std::lock_guard lock(mu_);
    return std::exchange(texts_, {});
  }

 private:
  platform::MessageEndpoint endpoint_;
  std::mutex mu_;
  std::vector<std::string> texts_;
};

const std::string kNoDataReport = std::to_string(0x432) + ":No Receiving Data!";

// A simulator on a pseudo-terminal reached as "Com5" through the [Ports] mapping, with private
// configuration and runtime folders.
class PpiTransportTest : public ::testing::Test {
 protected:
  PpiTransportTest()
      : configEnv_("TALVEK_CONFIG_DIR", config_.str()),
        runtimeEnv_("TALVEK_RUNTIME_DIR", runtime_.str()) {
    platform::Registry::Instance().Reload();
  }
  ~PpiTransportTest() override { platform::Registry::Instance().Reload(); }

  void SetUp() override {
    ASSERT_TRUE(sim_.Start()) << sim_.LastError();
    ASSERT_TRUE(platform::Registry::Instance().SetString(
        "HKEY_CURRENT_USER\\Software\\VO DAROR\\Ports", "Com5", sim_.SlavePath()));
    ASSERT_TRUE(sim_.SetBytes(ppisim::Area::kV, 100, Bytes{0x12, 0x34}));
    settings_ = Settings("Com5", 9600);
  }

  static CommSettings Settings(const char* port, int32_t baud) {
    CommSettings s{};
    s.reserved0 = 1;
    std::strncpy(s.portName, port, sizeof s.portName - 1);
    s.baudRate = baud;
    s.dataBits = 8;
    s.stopBits = 1;
    s.parity = 2;
    s.timeoutMs = kTestTimeoutMs;
    return s;
  }

  // Runs the V100 read job; returns the exchange's result, with the reply in `reply`.
  BOOL ReadV100(PpiTransport& t, Bytes* reply, size_t* sent = nullptr) {
    Frame frame{};
    std::copy(kReadV100.begin(), kReadV100.end(), frame.begin());
    size_t length = kReadV100.size(), received = 0;
    BOOL ok = t.Exchange(frame, &length, &received);
    reply->assign(frame.begin(), frame.begin() + received);
    if (sent != nullptr)
      *sent = length;
    return ok;
  }

  // Opens the port (again) with settings_ whose time-out is `ms`: OpenPort takes the response
  // time-out from the settings.
  void OpenWithTimeout(PpiTransport& t, uint16_t ms) {
    settings_.timeoutMs = ms;
    ASSERT_EQ(t.OpenPort(1, &settings_), 1);
    ASSERT_EQ(t.ResponseTimeout(), ms);
  }

  void ExpectReadWorks(PpiTransport& t) {
    Bytes reply;
    EXPECT_EQ(ReadV100(t, &reply), 1);
    EXPECT_EQ(reply, kReplyV100);
  }

  TempDir config_, runtime_;
  ScopedEnv configEnv_, runtimeEnv_;
  ppisim::PpiSimulator sim_;
  CommSettings settings_{};
};

TEST_F(PpiTransportTest, OpenPortChecksTheBaudRateAndAppliesTheSettings) {
  PpiTransport t;
  EXPECT_EQ(t.ResponseTimeout(), 5000);
  EXPECT_EQ(t.PollDelay(0), 50);
  EXPECT_EQ(t.PollDelay(1), 50);
  HANDLE h = nullptr;
  ASSERT_EQ(t.GetPortHandle(&h), 1);
  EXPECT_EQ(h, INVALID_HANDLE_VALUE);

  for (int32_t baud : {299, 57601, 0, -9600}) {
    CommSettings s = Settings("Com5", baud);
    EXPECT_EQ(t.OpenPort(1, &s), 0) << baud;
    EXPECT_FALSE(t.IsOpen());
    EXPECT_EQ(t.ResponseTimeout(), 5000) << "a refused baud rate changes nothing";
    EXPECT_EQ(t.Settings(), nullptr);
  }
  EXPECT_EQ(t.OpenPort(1, nullptr), 0);

  // Reopening while open releases the held port first (the port is exclusive, so a leaked
  // handle would make the second open fail).
  for (int32_t baud : {300, 57600}) {
    CommSettings s = Settings("Com5", baud);
    s.stopBits = 2;
    ASSERT_EQ(t.OpenPort(1, &s), 1) << baud;
    EXPECT_EQ(t.Settings(), &s);
    EXPECT_EQ(t.ResponseTimeout(), kTestTimeoutMs);
    ASSERT_EQ(t.GetPortHandle(&h), 1);
    DCB dcb{};
    ASSERT_TRUE(platform::GetCommState(h, &dcb));
    EXPECT_EQ(dcb.BaudRate, static_cast<DWORD>(baud));
    EXPECT_EQ(dcb.StopBits, TWOSTOPBITS);
  }
  // Any stop-bit value but 2 is one stop bit.
  for (uint16_t stop : {1, 0, 3}) {
    CommSettings s = Settings("Com5", 9600);
    s.stopBits = stop;
    ASSERT_EQ(t.OpenPort(1, &s), 1);
    ASSERT_EQ(t.GetPortHandle(&h), 1);
    DCB dcb{};
    ASSERT_TRUE(platform::GetCommState(h, &dcb));
    EXPECT_EQ(dcb.StopBits, ONESTOPBIT) << stop;
  }
  EXPECT_EQ(t.ClosePort(), 1);
  EXPECT_EQ(t.ClosePort(), 1);
  EXPECT_FALSE(t.IsOpen());
}

TEST_F(PpiTransportTest, OpenPortFailsOnRefusedSettingsAndUnknownPorts) {
  PpiTransport t;
  // A pseudo-terminal keeps no parity, but every parity code must reach the port as a valid
  // setting; an undefined code or byte size is refused and leaves the port closed.
  for (uint16_t parity : {0, 1, 2, 3, 4}) {
    CommSettings s = settings_;
    s.parity = parity;
    EXPECT_EQ(t.OpenPort(1, &s), 1) << parity;
  }
  CommSettings badParity = settings_;
  badParity.parity = 5;
  EXPECT_EQ(t.OpenPort(1, &badParity), 0);
  EXPECT_FALSE(t.IsOpen());
  CommSettings badSize = settings_;
  badSize.dataBits = 9;
  EXPECT_EQ(t.OpenPort(1, &badSize), 0);
  EXPECT_FALSE(t.IsOpen());
  // The failed attempts closed their handles: the port can be opened again.
  EXPECT_EQ(t.OpenPort(1, &settings_), 1);
  t.ClosePort();

  CommSettings missing = Settings("Com250", 9600);
  EXPECT_EQ(t.OpenPort(1, &missing), 0);
  EXPECT_FALSE(t.IsOpen());
  EXPECT_EQ(t.ResponseTimeout(), kTestTimeoutMs) << "taken once the baud rate passed";

  // The time-out field is unsigned: 40000 ms stays 40000 ms.
  CommSettings slow = settings_;
  slow.timeoutMs = 40000;
  ASSERT_EQ(t.OpenPort(1, &slow), 1);
  EXPECT_EQ(t.ResponseTimeout(), 40000);
}

TEST_F(PpiTransportTest, ExchangeSendsTheJobThenTheRequestForData) {
  PpiTransport t;
  OpenWithTimeout(t, 2000);  // generous: a clean exchange must end on the quiet line, not here

  Bytes reply;
  size_t sent = 0;
  auto start = Clock::now();
  ASSERT_EQ(ReadV100(t, &reply, &sent), 1);
  EXPECT_LT(MillisecondsSince(start), 1000);
  EXPECT_EQ(sent, kReadV100.size());
  EXPECT_EQ(reply, kReplyV100);

  ppisim::Counters c = sim_.GetCounters();
  EXPECT_EQ(c.jobs, 1u);
  EXPECT_EQ(c.readsByArea[0], 1u);
  EXPECT_EQ(c.dataRequests, 1u);
  EXPECT_EQ(c.garbageBytes, 0u);

  // The request for data went to the job's station: 10 02 00 5C 5E 16.
  bool seen = false;
  for (const std::string& line : sim_.LogLines())
    seen = seen || line.find("RX 10 02 00 5C 5E 16") != std::string::npos;
  EXPECT_TRUE(seen);

  // Bytes left over from an earlier exchange are purged before the next job.
  ExpectReadWorks(t);
}

TEST_F(PpiTransportTest, FaultsFailOrDegradeOneExchangeOnly) {
  Monitor monitor;
  ASSERT_TRUE(monitor.Open());
  PpiTransport t;
  ASSERT_EQ(t.OpenPort(1, &settings_), 1);
  Bytes reply;

  // Silence after the job: no acknowledgement, a report, no request for data.
  sim_.SetFault({.kind = ppisim::FaultKind::kSilence});
  EXPECT_EQ(ReadV100(t, &reply), 0);
  EXPECT_EQ(monitor.Take(), std::vector<std::string>{kNoDataReport});
  EXPECT_EQ(sim_.GetCounters().dataRequests, 0u);
  ExpectReadWorks(t);

  // Acknowledged, but the request for data gets nothing.
  sim_.SetFault({.kind = ppisim::FaultKind::kNoReply});
  EXPECT_EQ(ReadV100(t, &reply), 0);
  EXPECT_EQ(monitor.Take(), std::vector<std::string>{kNoDataReport});
  ExpectReadWorks(t);

  // A wrong acknowledgement, one byte or a whole frame: failure without a request for data.
  for (const Bytes& ack :
       {Bytes{0xF9}, Bytes{0xE5, 0xE5}, Bytes{0x10, 0x00, 0x02, 0x20, 0x22, 0x16}}) {
    sim_.ResetCounters();
    sim_.SetFault({.kind = ppisim::FaultKind::kWrongAck, .bytes = ack});
    EXPECT_EQ(ReadV100(t, &reply), 0);
    EXPECT_EQ(reply, ack);
    EXPECT_EQ(sim_.GetCounters().dataRequests, 0u);
    ExpectReadWorks(t);
  }
  EXPECT_TRUE(monitor.Take().empty()) << "only a silent line is reported";
}

TEST_F(PpiTransportTest, ReplyPhaseWaitsForTheAnnouncedLengthThenForTheDeadline) {
  PpiTransport t;
  OpenWithTimeout(t, 1000);
  Bytes reply;

  // A pause of 150 ms (six quiet checks) inside the reply does not end it: LE + 6 not reached.
  sim_.SetFault({.kind = ppisim::FaultKind::kSplitReply, .splitAfter = 5, .pauseMs = 150});
  EXPECT_EQ(ReadV100(t, &reply), 1);
  EXPECT_EQ(reply, kReplyV100);

  // A reply that stays short is taken as it is at the deadline; the codec rejects it later.
  OpenWithTimeout(t, kTestTimeoutMs);
  sim_.SetFault({.kind = ppisim::FaultKind::kTruncatedReply, .drop = 2});
  auto start = Clock::now();
  EXPECT_EQ(ReadV100(t, &reply), 1);
  EXPECT_GE(MillisecondsSince(start), kTestTimeoutMs);
  EXPECT_EQ(reply, Bytes(kReplyV100.begin(), kReplyV100.end() - 2));

  ExpectReadWorks(t);
}

// Line noise in front of the reply is skipped and a station that is not ready yet is polled
// again: both cost about the reply's own time, never the response time-out.
TEST_F(PpiTransportTest, NoiseIsSkippedAndNotReadyIsPolledAgain) {
  PpiTransport t;
  OpenWithTimeout(t, 3000);
  const struct {
    const char* name;
    ppisim::Fault fault;
    uint64_t polls;
  } cases[] = {
      {"noise", {.kind = ppisim::FaultKind::kNoise, .bytes = {0x00, 0xFF, 0x55}}, 1},
      // A false start: a start delimiter whose length bytes disagree, then a real frame.
      {"false start", {.kind = ppisim::FaultKind::kNoise, .bytes = {0x68, 0x40, 0x41, 0x16}}, 1},
      {"repeated acknowledgements", {.kind = ppisim::FaultKind::kNoise, .bytes = {0xE5, 0xE5}}, 1},
      {"busy once", {.kind = ppisim::FaultKind::kBusy}, 2},
      {"busy three times", {.kind = ppisim::FaultKind::kBusy, .polls = 3}, 4},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    sim_.ResetCounters();
    sim_.SetFault(c.fault);
    Bytes reply;
    const auto start = Clock::now();
    EXPECT_EQ(ReadV100(t, &reply), 1);
    EXPECT_EQ(reply, kReplyV100);
    EXPECT_LT(MillisecondsSince(start), 1500);
    EXPECT_EQ(sim_.GetCounters().dataRequests, c.polls);
  }
  // Busy past the deadline fails, without calling the line silent.
  OpenWithTimeout(t, kTestTimeoutMs);
  sim_.SetFault({.kind = ppisim::FaultKind::kBusy, .polls = 1000});
  Bytes reply;
  const auto start = Clock::now();
  EXPECT_EQ(ReadV100(t, &reply), 0);
  EXPECT_GE(MillisecondsSince(start), kTestTimeoutMs);
  EXPECT_LT(MillisecondsSince(start), kTestTimeoutMs + 500);
  sim_.ClearFault();
  ExpectReadWorks(t);
}

TEST_F(PpiTransportTest, EachPhaseKeepsAtMostOneFrameBuffer) {
  PpiTransport t;
  ASSERT_EQ(t.OpenPort(1, &settings_), 1);
  // An acknowledgement of 1500 bytes: the phase stops at 1024, and the rest is purged before
  // the next exchange.
  sim_.SetFault({.kind = ppisim::FaultKind::kWrongAck, .bytes = Bytes(1500, 0xE5)});
  Frame frame{};
  std::copy(kReadV100.begin(), kReadV100.end(), frame.begin());
  size_t length = kReadV100.size(), received = 0;
  EXPECT_EQ(t.Exchange(frame, &length, &received), 0);
  EXPECT_EQ(received, ppi::kFrameBufferSize);
  ExpectReadWorks(t);
}

TEST_F(PpiTransportTest, WaitingSleepsInsteadOfSpinning) {
  PpiTransport t;
  OpenWithTimeout(t, 500);
  sim_.SetFault({.kind = ppisim::FaultKind::kSilence});
  Bytes reply;
  const int64_t cpuBefore = ThreadCpuMilliseconds();
  auto start = Clock::now();
  EXPECT_EQ(ReadV100(t, &reply), 0);
  EXPECT_GE(MillisecondsSince(start), 500);
  EXPECT_LT(ThreadCpuMilliseconds() - cpuBefore, 50) << "half a second of waiting";

  // A poll delay of 0 or 1 still sleeps between checks.
  t.SetPollDelay(0, 0);
  sim_.SetFault({.kind = ppisim::FaultKind::kSilence});
  const int64_t cpuAgain = ThreadCpuMilliseconds();
  EXPECT_EQ(ReadV100(t, &reply), 0);
  EXPECT_LT(ThreadCpuMilliseconds() - cpuAgain, 100);
}

// Bytes are taken as they arrive: the acknowledgement phase ends after one check interval of
// quiet line following the E5, and a complete reply ends the reply phase at once, instead of at
// the next ticks of a fixed grid of sleeps.
TEST_F(PpiTransportTest, PhasesEndAsSoonAsTheirRulesAllow) {
  PpiTransport t;
  OpenWithTimeout(t, 3000);
  t.SetPollDelay(0, 400);   // checks every 200 ms while waiting for the acknowledgement
  t.SetPollDelay(1, 4000);  // and every 2 s while waiting for the reply
  Bytes reply;
  auto start = Clock::now();
  ASSERT_EQ(ReadV100(t, &reply), 1);
  const int64_t ms = MillisecondsSince(start);
  EXPECT_EQ(reply, kReplyV100);
  // A blind sleep would have needed 400 ms for the acknowledgement and 2 s for the reply.
  EXPECT_GE(ms, 200) << "a whole check interval of quiet line ends the acknowledgement";
  EXPECT_LT(ms, 380);

  // The exchange leaves the port's time-outs as it found them (sharers of the port rely on
  // reads that return at once), after a failed exchange too.
  sim_.SetFault({.kind = ppisim::FaultKind::kSilence});
  OpenWithTimeout(t, 100);
  EXPECT_EQ(ReadV100(t, &reply), 0);
  HANDLE h = INVALID_HANDLE_VALUE;
  ASSERT_EQ(t.GetPortHandle(&h), 1);
  COMMTIMEOUTS timeouts{};
  ASSERT_TRUE(platform::GetCommTimeouts(h, &timeouts));
  EXPECT_EQ(timeouts.ReadIntervalTimeout, MAXDWORD);
  EXPECT_EQ(timeouts.ReadTotalTimeoutMultiplier, 0u);
  EXPECT_EQ(timeouts.ReadTotalTimeoutConstant, 0u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutMultiplier, 40u);
  EXPECT_EQ(timeouts.WriteTotalTimeoutConstant, 0u);
}

// At line speed the bytes of a reply arrive one by one: the reply is still taken whole (with a
// stray acknowledgement in front of it too), an acknowledgement followed by another byte is still
// refused, and waiting for the bytes costs sleep, not a wake-up per byte.
TEST_F(PpiTransportTest, RepliesAtLineSpeed) {
  ppisim::Options paced;
  paced.baud = 19200;
  ppisim::PpiSimulator line(paced);
  ASSERT_TRUE(line.Start()) << line.LastError();
  CommSettings s = Settings(line.SlavePath().c_str(), 19200);
  ASSERT_LT(line.SlavePath().size(), sizeof s.portName);
  PpiTransport t;
  ASSERT_EQ(t.OpenPort(1, &s), 1);

  RequestGroup v0to199{};
  v0to199.station = kStation;
  v0to199.startAddress = 0;
  v0to199.endAddress = 199;
  auto exchange = [&](Bytes* reply) {
    Frame frame{};
    size_t length = ppi::BuildJob(v0to199, ppi::Interface::kSecond, frame);
    size_t received = 0;
    const BOOL ok = t.Exchange(frame, &length, &received);
    reply->assign(frame.begin(), frame.begin() + static_cast<std::ptrdiff_t>(received));
    return ok;
  };

  Bytes reply;
  const int64_t cpuBefore = ThreadCpuMilliseconds();
  const auto wallBefore = Clock::now();
  ASSERT_EQ(exchange(&reply), 1);
  const int64_t wallMs =
      std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - wallBefore).count();
  // A transport that spins would burn about as much CPU as the exchange takes; one that sleeps
  // uses a small share of it (more under a sanitizer, never most of it).
  EXPECT_LT((ThreadCpuMilliseconds() - cpuBefore) * 4, wallMs) << "227 bytes over about 130 ms";
  EXPECT_GE(wallMs, 100) << "the reply comes at line speed";
  ASSERT_EQ(reply.size(), 227u);
  EXPECT_EQ(reply.back(), 0x16);

  line.SetFault({.kind = ppisim::FaultKind::kNoise, .bytes = {0xE5}});
  ASSERT_EQ(exchange(&reply), 1);
  ASSERT_EQ(reply.size(), 227u) << "the end delimiter behind a stray acknowledgement";
  EXPECT_EQ(reply.front(), 0x68);
  EXPECT_EQ(reply.back(), 0x16);

  line.SetFault({.kind = ppisim::FaultKind::kWrongAck, .bytes = {0xE5, 0xE5}});
  EXPECT_EQ(exchange(&reply), 0);
  EXPECT_EQ(reply, (Bytes{0xE5, 0xE5}));
  EXPECT_EQ(line.GetCounters().dataRequests, 2u);
}

TEST_F(PpiTransportTest, ClosedPortFailsAtOnce) {
  PpiTransport t;
  Bytes reply;
  auto start = Clock::now();
  EXPECT_EQ(ReadV100(t, &reply), 0);
  EXPECT_TRUE(reply.empty());
  EXPECT_EQ(t.ProbeStation(0, kStation, 0), 0);
  EXPECT_LT(MillisecondsSince(start), 100);
  EXPECT_EQ(sim_.GetCounters().bytesReceived, 0u);
}

TEST_F(PpiTransportTest, ProbeStationFindsOnlyTheServedStation) {
  Monitor monitor;
  ASSERT_TRUE(monitor.Open());
  PpiTransport t;
  ASSERT_EQ(t.OpenPort(1, &settings_), 1);
  EXPECT_EQ(t.ProbeStation(0, kStation, 0), 1);
  EXPECT_EQ(sim_.GetCounters().statusRequests, 1u);
  EXPECT_TRUE(monitor.Take().empty());

  EXPECT_EQ(t.ProbeStation(0, 3, 0), 0);
  EXPECT_EQ(monitor.Take(), std::vector<std::string>{kNoDataReport});
  EXPECT_EQ(t.ProbeStation(0, 0x102, 0), 1) << "only the low byte is the address";
}

TEST_F(PpiTransportTest, AttachedTransportsShareOnePortUntilBothClose) {
  PpiTransport owner, sharer;
  ASSERT_EQ(owner.OpenPort(1, &settings_), 1);
  HANDLE h = INVALID_HANDLE_VALUE;
  ASSERT_EQ(owner.GetPortHandle(&h), 1);
  EXPECT_EQ(sharer.AttachPort(&h), 1);
  ASSERT_TRUE(sharer.IsOpen());
  ExpectReadWorks(sharer);

  // The sharer lets go of its reference only; the owner still talks on the port.
  EXPECT_EQ(sharer.ClosePort(), 1);
  EXPECT_FALSE(sharer.IsOpen());
  ExpectReadWorks(owner);

  // Attaching its own handle keeps the owner's port open.
  ASSERT_EQ(owner.GetPortHandle(&h), 1);
  EXPECT_EQ(owner.AttachPort(&h), 1);
  ExpectReadWorks(owner);

  ASSERT_EQ(owner.GetPortHandle(&h), 1);
  {
    PpiTransport shortLived;
    EXPECT_EQ(shortLived.AttachPort(&h), 1);
  }  // its destructor releases its reference only
  ExpectReadWorks(owner);

  owner.ClosePort();
  PpiTransport next;
  EXPECT_EQ(next.OpenPort(1, &settings_), 1) << "the port is free once every sharer closed";

  PpiTransport orphan;
  EXPECT_EQ(orphan.AttachPort(&h), 1) << "a stale handle is taken without a check";
  EXPECT_FALSE(orphan.IsOpen());
  EXPECT_EQ(orphan.AttachPort(nullptr), 1);
  EXPECT_FALSE(orphan.IsOpen());
}

TEST_F(PpiTransportTest, DiagnosticTextReachesAMonitorOnlyWhenOneExists) {
  PpiTransport t;
  t.DiagnosticText("No Receiving Data!");  // no monitor: nothing happens
  Monitor monitor;
  ASSERT_TRUE(monitor.Open());
  t.DiagnosticText("No Receiving Data!");
  t.DiagnosticText(std::string(300, 'x').c_str());
  t.DiagnosticText(nullptr);
  std::vector<std::string> texts = monitor.Take();
  ASSERT_EQ(texts.size(), 2u);
  EXPECT_EQ(texts[0], kNoDataReport);
  EXPECT_EQ(texts[1], std::to_string(0x432) + ":" + std::string(127, 'x')) << "cut to 127 bytes";
  EXPECT_EQ(platform::GlobalFindAtomA("No Receiving Data!"), 0)
      << "the atom is deleted after the send";
}

// The simulator behind a serial device server, in both of its modes: a PDU reference and data of
// 0xFF put telnet's escape byte into the job and into the reply.
TEST_F(PpiTransportTest, ExchangesThroughASerialDeviceServerRawAndRfc2217) {
  auto withFcs = [](Bytes frame) {
    uint8_t sum = 0;
    for (size_t i = 4; i + 2 < frame.size(); ++i)
      sum = static_cast<uint8_t>(sum + frame[i]);
    frame[frame.size() - 2] = sum;
    return frame;
  };
  Bytes job = kReadV100, expected = kReplyV100;
  job[12] = expected[12] = 0xFF;
  expected[25] = expected[26] = 0xFF;
  job = withFcs(job);
  expected = withFcs(expected);
  ASSERT_TRUE(sim_.SetBytes(ppisim::Area::kV, 100, Bytes{0xFF, 0xFF}));

  for (auto mode :
       {testing_support::Ser2net::Mode::kRaw, testing_support::Ser2net::Mode::kRfc2217}) {
    testing_support::Ser2net server;
    ASSERT_TRUE(server.Start(sim_.SlavePath(), mode)) << server.Error();
    ASSERT_TRUE(
        platform::Registry::Instance().SetString(platform::kSerialPortsKey, "Com5", server.Url()));
    PpiTransport t;
    ASSERT_EQ(t.OpenPort(1, &settings_), 1) << server.Url();
    for (int round = 0; round < 2; ++round) {
      Frame frame{};
      std::copy(job.begin(), job.end(), frame.begin());
      size_t length = job.size(), received = 0;
      ASSERT_EQ(t.Exchange(frame, &length, &received), 1) << server.Url();
      EXPECT_EQ(Bytes(frame.begin(), frame.begin() + received), expected) << server.Url();
    }
    EXPECT_EQ(t.ProbeStation(0, kStation, 0), 1) << server.Url();

    // The server goes away: the exchange fails like a vanished port, and so does a new open
    // until the server is back on its port.
    server.Stop();
    Bytes reply;
    EXPECT_EQ(ReadV100(t, &reply), 0);
    EXPECT_EQ(t.OpenPort(1, &settings_), 0);
    ASSERT_TRUE(server.Start(sim_.SlavePath(), mode)) << server.Error();
    ASSERT_EQ(t.OpenPort(1, &settings_), 1);
    EXPECT_EQ(ReadV100(t, &reply), 1);
  }
}

}  // namespace
