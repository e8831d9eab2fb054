// The simulator seen from a PPI master: a client of the test's own opens the slave side of the
// pseudo-terminal, sends hand-written frames and checks every byte that comes back.
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/testing/test_support.h"
#include "platform/unique_fd.h"
#include "tools/ppisim/ppi_simulator.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ppisim::Fault;
using ppisim::FaultKind;
using ppisim::UniqueFd;

int64_t NowMs() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Read job: V100, 2 bytes, station 2.
const Bytes kReadV100 = {0x68, 0x1B, 0x1B, 0x68, 0x02, 0x00, 0x6C, 0x32, 0x01, 0x00, 0x00,
                         0x00, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x04, 0x01, 0x12, 0x0A, 0x10,
                         0x02, 0x00, 0x02, 0x00, 0x01, 0x84, 0x00, 0x03, 0x20, 0x8C, 0x16};
// Its reply when V100 = 12 34.
const Bytes kReplyV100 = {0x68, 0x17, 0x17, 0x68, 0x00, 0x02, 0x08, 0x32, 0x03, 0x00,
                          0x00, 0x00, 0x00, 0x00, 0x02, 0x00, 0x06, 0x00, 0x00, 0x04,
                          0x01, 0xFF, 0x04, 0x00, 0x10, 0x12, 0x34, 0xA5, 0x16};
// Reply to every successful write to station 2.
const Bytes kWriteReply = {0x68, 0x12, 0x12, 0x68, 0x00, 0x02, 0x08, 0x32, 0x03, 0x00, 0x00, 0x00,
                           0x00, 0x00, 0x02, 0x00, 0x01, 0x00, 0x00, 0x05, 0x01, 0xFF, 0x47, 0x16};
const Bytes kDataRequest2 = {0x10, 0x02, 0x00, 0x5C, 0x5E, 0x16};
const Bytes kStatusRequest2 = {0x10, 0x02, 0x00, 0x49, 0x4B, 0x16};
// FC 00: a passive station, as a PLC on a PPI line answers.
const Bytes kStatusAnswer2 = {0x10, 0x00, 0x02, 0x00, 0x02, 0x16};

// 68 LE LE 68 <body> FCS 16, the FCS being the low byte of the body's sum.
Bytes Sd2(const Bytes& body) {
  Bytes frame = {0x68, uint8_t(body.size()), uint8_t(body.size()), 0x68};
  uint8_t sum = 0;
  for (uint8_t b : body)
    sum = uint8_t(sum + b);
  frame.insert(frame.end(), body.begin(), body.end());
  frame.push_back(sum);
  frame.push_back(0x16);
  return frame;
}

Bytes ReadJob(uint8_t station, uint8_t area, uint16_t db, uint32_t byte, uint16_t count) {
  const uint32_t bits = byte * 8;
  return Sd2({station,
              0x00,
              0x6C,
              0x32,
              0x01,
              0,
              0,
              0,
              0,
              0x00,
              0x0E,
              0x00,
              0x00,
              0x04,
              0x01,
              0x12,
              0x0A,
              0x10,
              0x02,
              uint8_t(count >> 8),
              uint8_t(count),
              uint8_t(db >> 8),
              uint8_t(db),
              area,
              uint8_t(bits >> 16),
              uint8_t(bits >> 8),
              uint8_t(bits)});
}

// A write job as a driver builds it: item transport `size`, `count` elements, data part with
// its transport size and length field.
Bytes WriteJob(uint8_t area, uint16_t db, uint32_t bits, uint8_t size, uint16_t count,
               uint8_t dataSize, uint16_t length, const Bytes& data) {
  const uint16_t dataLength = uint16_t(4 + data.size());
  Bytes body = {0x02,
                0x00,
                uint8_t(size == 1 ? 0x7C : 0x6C),
                0x32,
                0x01,
                0,
                0,
                0,
                0,
                0x00,
                0x0E,
                uint8_t(dataLength >> 8),
                uint8_t(dataLength),
                0x05,
                0x01,
                0x12,
                0x0A,
                0x10,
                size,
                uint8_t(count >> 8),
                uint8_t(count),
                uint8_t(db >> 8),
                uint8_t(db),
                area,
                uint8_t(bits >> 16),
                uint8_t(bits >> 8),
                uint8_t(bits),
                0x00,
                dataSize,
                uint8_t(length >> 8),
                uint8_t(length)};
  body.insert(body.end(), data.begin(), data.end());
  return Sd2(body);
}

// The check a driver makes: FCS at len-2 over bytes 4..len-3.
bool FcsOk(const Bytes& f) {
  if (f.size() < 6)
    return false;
  uint8_t sum = 0;
  for (size_t k = 4; k + 2 < f.size(); ++k)
    sum = uint8_t(sum + f[k]);
  return f[f.size() - 2] == sum;
}

// A master on the slave side of the pseudo-terminal.
class Client {
 public:
  explicit Client(const std::string& path)
      : fd_(open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    termios tio;
    if (fd_ && tcgetattr(fd_.get(), &tio) == 0) {
      cfmakeraw(&tio);
      tcsetattr(fd_.get(), TCSANOW, &tio);
    }
    if (fd_)
      tcflush(fd_.get(), TCIOFLUSH);
  }
  bool ok() const { return bool(fd_); }

  void Send(const Bytes& bytes) {
    ASSERT_EQ(write(fd_.get(), bytes.data(), bytes.size()), ssize_t(bytes.size()));
  }
  // Up to `n` bytes, waiting at most `timeoutMs` for them.
  Bytes Read(size_t n, int timeoutMs = 3000) {
    Bytes got;
    const int64_t deadline = NowMs() + timeoutMs;
    while (got.size() < n) {
      const int64_t left = deadline - NowMs();
      pollfd p = {fd_.get(), POLLIN, 0};
      if (left <= 0 || poll(&p, 1, int(left)) <= 0)
        break;
      uint8_t buffer[512];
      const ssize_t r = read(fd_.get(), buffer, std::min(sizeof buffer, n - got.size()));
      if (r > 0)
        got.insert(got.end(), buffer, buffer + r);
    }
    return got;
  }
  // Whatever arrives within `ms` (used to show that nothing does).
  Bytes ReadFor(int ms) { return Read(100000, ms); }

 private:
  UniqueFd fd_;
};

class SimTest : public ::testing::Test {
 protected:
  void StartSim(ppisim::Options options = {}) {
    sim_ = std::make_unique<ppisim::PpiSimulator>(options);
    ASSERT_TRUE(sim_->Start()) << sim_->LastError();
    client_ = std::make_unique<Client>(sim_->SlavePath());
    ASSERT_TRUE(client_->ok());
  }
  void SetV100() { ASSERT_TRUE(sim_->SetBytes(ppisim::Area::kV, 100, Bytes{0x12, 0x34})); }
  // Job, E5, request for data; returns the reply of `size` bytes.
  Bytes Exchange(const Bytes& job, size_t size, const Bytes& dataRequest = kDataRequest2) {
    client_->Send(job);
    EXPECT_EQ(client_->Read(1), Bytes{0xE5});
    client_->Send(dataRequest);
    return client_->Read(size);
  }
  void ExpectCleanRead() {
    EXPECT_EQ(Exchange(kReadV100, kReplyV100.size()), kReplyV100);
    EXPECT_TRUE(client_->ReadFor(30).empty());
  }

  std::unique_ptr<ppisim::PpiSimulator> sim_;
  std::unique_ptr<Client> client_;
};

TEST_F(SimTest, ReadReplyHasReturnCodeAt21AndDataAt25) {
  ASSERT_NO_FATAL_FAILURE(StartSim());
  SetV100();
  ExpectCleanRead();  // the whole reply, byte for byte

  // A span: data of the item at byte a start at 25 + (a - start), in every area.
  for (uint8_t area : {0x81, 0x82, 0x83, 0x84}) {
    SCOPED_TRACE(area);
    const ppisim::Area a = static_cast<ppisim::Area>(area);
    Bytes values;
    for (int k = 0; k < 10; ++k)
      values.push_back(uint8_t(area + 7 * k));
    ASSERT_TRUE(sim_->SetBytes(a, 9990, values));
    const Bytes reply = Exchange(ReadJob(2, area, area == 0x84 ? 1 : 0, 9990, 10), 37);
    ASSERT_EQ(reply.size(), 37u);
    EXPECT_TRUE(FcsOk(reply));
    EXPECT_EQ(reply[21], 0xFF);
    EXPECT_EQ(Bytes(reply.begin() + 25, reply.begin() + 35), values);
  }
  const ppisim::Counters counters = sim_->GetCounters();
  EXPECT_EQ(counters.reads, 5u);
  EXPECT_EQ(counters.readsByArea, (std::array<uint64_t, ppisim::kAreaCount>{2, 1, 1, 1}));
}

TEST_F(SimTest, ReadsOutsideTheAreaAnswerWithAnErrorCode) {
  ASSERT_NO_FATAL_FAILURE(StartSim());
  struct Case {
    uint8_t area;
    uint16_t db;
    uint32_t byte;
    uint16_t count;
    uint8_t code;
  } cases[] = {{0x84, 1, 65535, 2, 0x05}, {0x81, 0, 9999, 2, 0x05}, {0x83, 0, 60000, 1, 0x05},
               {0x84, 0, 0, 1, 0x0A},     {0x82, 1, 0, 1, 0x0A},    {0x85, 0, 0, 1, 0x0A}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "area " << int(c.area) << " byte " << c.byte);
    const Bytes reply = Exchange(ReadJob(2, c.area, c.db, c.byte, c.count), 27);
    ASSERT_EQ(reply.size(), 27u);
    EXPECT_TRUE(FcsOk(reply));
    EXPECT_EQ(reply[21], c.code);
  }
}

TEST_F(SimTest, WritesOfEveryKindChangeMemory) {
  ASSERT_NO_FATAL_FAILURE(StartSim());
  // V10.3 bit write, 39 bytes with the pad byte after the value.
  const Bytes bitV103 = {0x68, 0x21, 0x21, 0x68, 0x02, 0x00, 0x7C, 0x32, 0x01, 0x00,
                         0x00, 0x00, 0x00, 0x00, 0x0E, 0x00, 0x06, 0x05, 0x01, 0x12,
                         0x0A, 0x10, 0x01, 0x00, 0x01, 0x00, 0x01, 0x84, 0x00, 0x00,
                         0x53, 0x00, 0x03, 0x00, 0x01, 0x01, 0x00, 0xD6, 0x16};
  EXPECT_EQ(Exchange(bitV103, 24), kWriteReply);
  EXPECT_EQ(Exchange(WriteJob(0x83, 0, 5 * 8 + 7, 0x01, 1, 0x03, 1, {1}), 24), kWriteReply);
  EXPECT_EQ(Exchange(WriteJob(0x84, 1, 20 * 8, 0x02, 1, 0x04, 8, {0xAB}), 24), kWriteReply);
  EXPECT_EQ(Exchange(WriteJob(0x84, 1, 30 * 8, 0x02, 2, 0x04, 16, {0xFE, 0xDC}), 24), kWriteReply);
  EXPECT_EQ(Exchange(WriteJob(0x84, 1, 40 * 8, 0x02, 4, 0x04, 32, {0x40, 0x20, 0, 0}), 24),
            kWriteReply);
  EXPECT_EQ(
      Exchange(WriteJob(0x84, 1, 50 * 8, 0x02, 6, 0x04, 48, {'h', 'e', 'l', 'l', 'o', 0}), 24),
      kWriteReply);
  EXPECT_EQ(Exchange(WriteJob(0x82, 0, 7 * 8, 0x02, 1, 0x04, 8, {0x5A}), 24), kWriteReply);

  std::string text, error;
  auto value = [&](const char* address, ppisim::ValueType type) {
    ppisim::Location location;
    EXPECT_TRUE(ppisim::ParseLocation(address, &location));
    EXPECT_TRUE(sim_->GetValue(location, type, 0, &text, &error)) << error;
    return text;
  };
  EXPECT_EQ(value("V10", ppisim::ValueType::kByte), "8");  // only bit 3
  EXPECT_EQ(value("M5.7", ppisim::ValueType::kBit), "1");
  EXPECT_EQ(value("V20", ppisim::ValueType::kByte), "171");
  EXPECT_EQ(value("V30", ppisim::ValueType::kInt), "-292");
  EXPECT_EQ(value("V40", ppisim::ValueType::kFloat), "2.5");
  EXPECT_EQ(value("V50", ppisim::ValueType::kString), "hello");
  EXPECT_EQ(value("Q7", ppisim::ValueType::kByte), "90");

  // Clearing a bit leaves its neighbours; a write that does not fit changes nothing.
  ASSERT_TRUE(sim_->SetBytes(ppisim::Area::kV, 10, Bytes{0xFF}));
  Bytes clear = WriteJob(0x84, 1, 0x53, 0x01, 1, 0x03, 1, {0, 0});
  EXPECT_EQ(Exchange(clear, 24), kWriteReply);
  EXPECT_EQ(value("V10", ppisim::ValueType::kByte), "247");
  EXPECT_EQ(Exchange(WriteJob(0x81, 0, 9999 * 8, 0x02, 2, 0x04, 16, {1, 2}), 24)[21], 0x05);
  EXPECT_EQ(Exchange(WriteJob(0x84, 1, 60 * 8, 0x02, 2, 0x04, 8, {1, 2}), 24)[21], 0x07);
  EXPECT_EQ(value("V60", ppisim::ValueType::kWord), "0");
  EXPECT_EQ(sim_->GetCounters().writesByArea,
            (std::array<uint64_t, ppisim::kAreaCount>{7, 1, 1, 1}));
}

TEST_F(SimTest, UserDataJobSetsQBitAndStatusRequestIsAnswered) {
  ASSERT_NO_FATAL_FAILURE(StartSim());
  // Q1.5 = 1 through the 52-byte user-data job.
  Bytes job = {0x68, 0x2E, 0x2E, 0x68, 0x02, 0x00, 0x7C, 0x32, 0x07, 0x00, 0x00, 0x00, 0x00,
               0x00, 0x0C, 0x00, 0x15, 0x00, 0x01, 0x12, 0x08, 0x12, 0x48, 0x0E, 0x00, 0x00,
               0x00, 0x00, 0x00, 0xFF, 0x09, 0x00, 0x0C, 0x00, 0x01, 0x10, 0x01, 0x00, 0x01,
               0x00, 0x00, 0x82, 0x00, 0x00, 0x0D, 0x00, 0x03, 0x00, 0x01, 0x01, 0x16, 0x16};
  Bytes reply = Exchange(job, 35);
  ASSERT_EQ(reply.size(), 35u);
  EXPECT_TRUE(FcsOk(reply));
  EXPECT_EQ(reply[8], 0x07);
  EXPECT_EQ(reply[29], 0xFF);
  uint8_t q1 = 0;
  ASSERT_TRUE(sim_->GetBytes(ppisim::Area::kQ, 1, std::span<uint8_t>(&q1, 1)));
  EXPECT_EQ(q1, 0x20);
  // Value 0 clears it again.
  job[49] = 0;
  job[50] = uint8_t(job[50] - 1);
  EXPECT_TRUE(FcsOk(Exchange(job, 35)));
  ASSERT_TRUE(sim_->GetBytes(ppisim::Area::kQ, 1, std::span<uint8_t>(&q1, 1)));
  EXPECT_EQ(q1, 0x00);
  EXPECT_EQ(sim_->GetCounters().userDataWrites, 2u);

  client_->Send(kStatusRequest2);
  EXPECT_EQ(client_->Read(6), kStatusAnswer2);
}

TEST_F(SimTest, OnlyServedStationsAnswerEachWithItsOwnMemory) {
  ppisim::Options options;
  options.stations = {2, 3};
  ASSERT_NO_FATAL_FAILURE(StartSim(options));
  ASSERT_TRUE(sim_->SetBytes(ppisim::Area::kV, 0, Bytes{0x22}, 2));
  ASSERT_TRUE(sim_->SetBytes(ppisim::Area::kV, 0, Bytes{0x33}, 3));
  EXPECT_FALSE(sim_->SetBytes(ppisim::Area::kV, 0, Bytes{0x44}, 4));

  client_->Send(ReadJob(4, 0x84, 1, 0, 1));  // nobody is station 4
  EXPECT_TRUE(client_->ReadFor(100).empty());
  const Bytes reply = Exchange(ReadJob(3, 0x84, 1, 0, 1), 28, {0x10, 0x03, 0x00, 0x5C, 0x5F, 0x16});
  ASSERT_EQ(reply.size(), 28u);
  EXPECT_EQ(reply[4], 0x00);  // back to the master
  EXPECT_EQ(reply[5], 0x03);  // from station 3
  EXPECT_EQ(reply[25], 0x33);
  EXPECT_EQ(Exchange(ReadJob(2, 0x84, 1, 0, 1), 28)[25], 0x22);
}

TEST_F(SimTest, ReplyFaultsHitTheirExchangeOnlyThenTheLineIsClean) {
  ASSERT_NO_FATAL_FAILURE(StartSim());
  SetV100();
  Bytes badFcs = kReplyV100;
  badFcs[badFcs.size() - 2] += 1;
  const Bytes itemError = Sd2({0x00, 0x02, 0x08, 0x32, 0x03, 0,    0,    0,    0,    0x00, 0x02,
                               0x00, 0x04, 0x00, 0x00, 0x04, 0x01, 0x0A, 0x00, 0x00, 0x00});
  Bytes noisy = {0x00, 0xFF, 0x55};
  noisy.insert(noisy.end(), kReplyV100.begin(), kReplyV100.end());
  // Sound frames (FCS renewed) with one header byte changed.
  auto changed = [](std::size_t at) {
    Bytes f = kReplyV100;
    f[at] += 1;
    f[f.size() - 2] = 0;
    for (std::size_t k = 4; k < f.size() - 2; ++k)
      f[f.size() - 2] = static_cast<uint8_t>(f[f.size() - 2] + f[k]);
    return f;
  };
  const struct {
    FaultKind kind;
    Bytes expected;
  } cases[] = {{FaultKind::kWrongSource, changed(5)},
               {FaultKind::kOtherMaster, changed(4)},
               {FaultKind::kWrongReference, changed(12)},
               {FaultKind::kBadFcs, badFcs},
               {FaultKind::kItemError, itemError},
               {FaultKind::kSplitReply, kReplyV100},
               {FaultKind::kTruncatedReply, Bytes(kReplyV100.begin(), kReplyV100.end() - 2)},
               {FaultKind::kNoise, noisy}};
  for (const auto& c : cases) {
    SCOPED_TRACE(ppisim::FaultKindName(c.kind));
    sim_->SetFault({.kind = c.kind});
    client_->Send(kReadV100);
    EXPECT_EQ(client_->Read(1), Bytes{0xE5});
    const int64_t asked = NowMs();
    client_->Send(kDataRequest2);
    EXPECT_EQ(client_->Read(c.expected.size()), c.expected);
    if (c.kind == FaultKind::kSplitReply) {
      EXPECT_GE(NowMs() - asked, 40);
    }
    EXPECT_TRUE(client_->ReadFor(60).empty());
    // Polled again, the PLC repeats its reply as it was made, without the line's damage.
    const Bytes& repeated = c.kind == FaultKind::kItemError ? itemError : kReplyV100;
    client_->Send(kDataRequest2);
    EXPECT_EQ(client_->Read(repeated.size()), repeated);
    EXPECT_EQ(sim_->CurrentFault().kind, FaultKind::kNone);
    ExpectCleanRead();
  }

  // Not ready: the first polls get E5, the next one the reply.
  sim_->SetFault({.kind = FaultKind::kBusy, .polls = 2});
  client_->Send(kReadV100);
  EXPECT_EQ(client_->Read(1), Bytes{0xE5});
  for (int k = 0; k < 2; ++k) {
    client_->Send(kDataRequest2);
    EXPECT_EQ(client_->Read(1), Bytes{0xE5});
  }
  client_->Send(kDataRequest2);
  EXPECT_EQ(client_->Read(kReplyV100.size()), kReplyV100);

  // "always" lasts until cleared; a count lasts that many exchanges.
  sim_->SetFault({.kind = FaultKind::kBadFcs, .count = ppisim::kAlways});
  for (int k = 0; k < 3; ++k)
    EXPECT_EQ(Exchange(kReadV100, badFcs.size()), badFcs);
  sim_->ClearFault();
  ExpectCleanRead();
  sim_->SetFault({.kind = FaultKind::kBadFcs, .count = 2});
  for (int k = 0; k < 2; ++k)
    EXPECT_EQ(Exchange(kReadV100, badFcs.size()), badFcs);
  ExpectCleanRead();
}

TEST_F(SimTest, AcknowledgementFaultsAndWhetherTheJobRuns) {
  ASSERT_NO_FATAL_FAILURE(StartSim());
  SetV100();
  const Bytes writeV0 = WriteJob(0x84, 1, 0, 0x02, 1, 0x04, 8, {0x77});
  uint8_t v0 = 0;
  auto v0Written = [&] {
    EXPECT_TRUE(sim_->GetBytes(ppisim::Area::kV, 0, std::span<uint8_t>(&v0, 1)));
    const bool written = v0 == 0x77;
    EXPECT_TRUE(sim_->SetBytes(ppisim::Area::kV, 0, Bytes{0}));
    return written;
  };

  sim_->SetFault({.kind = FaultKind::kSilence});
  client_->Send(writeV0);
  EXPECT_TRUE(client_->ReadFor(150).empty());
  client_->Send(kDataRequest2);  // nothing pending: E5, as a PLC with nothing to send
  EXPECT_EQ(client_->ReadFor(100), Bytes{0xE5});
  EXPECT_FALSE(v0Written());
  ExpectCleanRead();

  sim_->SetFault({.kind = FaultKind::kNoReply});
  client_->Send(writeV0);
  EXPECT_EQ(client_->Read(1), Bytes{0xE5});
  client_->Send(kDataRequest2);
  EXPECT_TRUE(client_->ReadFor(150).empty());
  EXPECT_TRUE(v0Written());
  ExpectCleanRead();

  sim_->SetFault({.kind = FaultKind::kWrongAck});
  client_->Send(writeV0);
  EXPECT_EQ(client_->Read(2, 300), Bytes{0xF9});
  EXPECT_FALSE(v0Written());
  ExpectCleanRead();

  sim_->SetFault({.kind = FaultKind::kWrongAck, .bytes = kStatusAnswer2});  // a short frame
  client_->Send(writeV0);
  EXPECT_EQ(client_->Read(7, 300), kStatusAnswer2);
  ExpectCleanRead();

  sim_->SetFault({.kind = FaultKind::kItemError, .returnCode = 0x03});
  EXPECT_EQ(Exchange(writeV0, 24)[21], 0x03);
  EXPECT_FALSE(v0Written());

  // A status request is an exchange for silence, but an item error is left for the next job.
  sim_->SetFault({.kind = FaultKind::kSilence});
  client_->Send(kStatusRequest2);
  EXPECT_TRUE(client_->ReadFor(150).empty());
  sim_->SetFault({.kind = FaultKind::kItemError});
  client_->Send(kStatusRequest2);
  EXPECT_EQ(client_->Read(6), kStatusAnswer2);
  EXPECT_EQ(Exchange(kReadV100, 27)[21], 0x0A);
  ExpectCleanRead();
}

TEST_F(SimTest, LineSpeedPacesAnswersAndStopInterruptsThem) {
  ppisim::Options options;
  options.baud = 9600;
  ASSERT_NO_FATAL_FAILURE(StartSim(options));
  // The 33-byte job cannot have arrived before 33 characters at 9600 baud.
  const int64_t sent = NowMs();
  client_->Send(ReadJob(2, 0x84, 1, 0, 173));
  ASSERT_EQ(client_->Read(1), Bytes{0xE5});
  EXPECT_GE(NowMs() - sent, 33 * 11 * 1000 / 9600);
  // A 200-byte reply takes at least 200 characters.
  const int64_t asked = NowMs();
  client_->Send(kDataRequest2);
  const Bytes reply = client_->Read(200);
  EXPECT_EQ(reply.size(), 200u);
  EXPECT_GE(NowMs() - asked, 200 * 11 * 1000 / 9600);
  EXPECT_TRUE(FcsOk(reply));

  // At 1200 baud the same reply takes 1.8 s; Stop() must not wait for it.
  sim_.reset();
  options.baud = 1200;
  ASSERT_NO_FATAL_FAILURE(StartSim(options));
  client_->Send(ReadJob(2, 0x84, 1, 0, 173));
  ASSERT_EQ(client_->Read(1), Bytes{0xE5});
  client_->Send(kDataRequest2);
  ASSERT_EQ(client_->Read(4).size(), 4u);
  const int64_t stopping = NowMs();
  sim_->Stop();
  EXPECT_LT(NowMs() - stopping, 500);
  EXPECT_FALSE(sim_->Running());
}

TEST_F(SimTest, GarbageNeverStopsTheSimulator) {
  ASSERT_NO_FATAL_FAILURE(StartSim());
  std::mt19937 random(20240607);
  std::vector<Bytes> bursts = {{0x68, 0xFF, 0xFF, 0x68, 0x02},  // a false start promising 261 bytes
                               {0x68, 0x02, 0x02, 0x68},        // LE too short for DA, SA, FC
                               {0x10, 0x02, 0x00, 0x49, 0x00, 0x16},  // bad FCS
                               {0xE5, 0xDC, 0x02, 0x00, 0x16}};
  for (int k = 0; k < 200; ++k) {
    // Valid-looking frames with random bytes changed and the FCS made right again, and raw noise.
    Bytes burst =
        k % 2 ? ReadJob(2, 0x84, 1, random() % 70000, random() % 300) : Bytes(random() % 64);
    for (uint8_t& b : burst) {
      if (k % 2 == 0 || random() % 8 == 0)
        b = uint8_t(random());
    }
    if (k % 2 && burst.size() > 6) {
      uint8_t sum = 0;
      for (size_t j = 4; j + 2 < burst.size(); ++j)
        sum = uint8_t(sum + burst[j]);
      burst[burst.size() - 2] = sum;
    }
    bursts.push_back(burst);
  }
  for (const Bytes& burst : bursts)
    client_->Send(burst);
  client_->Send(kStatusRequest2);
  // Whatever the noise provoked, the status answer must come through once the line is idle.
  Bytes seen;
  const int64_t deadline = NowMs() + 5000;
  while (NowMs() < deadline && std::search(seen.begin(), seen.end(), kStatusAnswer2.begin(),
                                           kStatusAnswer2.end()) == seen.end()) {
    const Bytes more = client_->Read(1, 200);
    seen.insert(seen.end(), more.begin(), more.end());
  }
  EXPECT_NE(std::search(seen.begin(), seen.end(), kStatusAnswer2.begin(), kStatusAnswer2.end()),
            seen.end());
  EXPECT_TRUE(sim_->Running());
  EXPECT_GT(sim_->GetCounters().garbageBytes, 0u);
  client_->ReadFor(100);  // drain answers to stray jobs before the clean exchange
  SetV100();
  ExpectCleanRead();
}

// --- The program -----------------------------------------------------------------------------

// ppisim as a child process with its standard input and output on pipes.
class Program {
 public:
  explicit Program(std::vector<std::string> args) {
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0 || pipe2(out, O_CLOEXEC) != 0)
      return;
    UniqueFd inRead(in[0]), outWrite(out[1]);
    stdin_.reset(in[1]);
    stdout_.reset(out[0]);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, inRead.get(), 0);
    posix_spawn_file_actions_adddup2(&actions, outWrite.get(), 1);
    const std::string program = (testing_support::BinDir() / "ppisim").string();
    args.insert(args.begin(), program);
    std::vector<char*> argv;
    for (std::string& arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, program.c_str(), &actions, nullptr, argv.data(), environ) != 0) {
      pid_ = -1;
    }
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Program() {
    if (pid_ > 0) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
  }

  // One line of standard output without its newline; empty after `timeoutMs`.
  std::string ReadLine(int timeoutMs = 5000) {
    const int64_t deadline = NowMs() + timeoutMs;
    size_t end;
    while ((end = buffered_.find('\n')) == std::string::npos) {
      pollfd p = {stdout_.get(), POLLIN, 0};
      const int64_t left = deadline - NowMs();
      char chunk[256];
      ssize_t n = 0;
      if (left <= 0 || poll(&p, 1, int(left)) <= 0 || (n = read(stdout_.get(), chunk, 256)) <= 0) {
        return {};
      }
      buffered_.append(chunk, size_t(n));
    }
    std::string line = buffered_.substr(0, end);
    buffered_.erase(0, end + 1);
    return line;
  }
  std::string Command(const std::string& line) {
    const std::string text = line + "\n";
    EXPECT_EQ(write(stdin_.get(), text.data(), text.size()), ssize_t(text.size()));
    return ReadLine();
  }
  void CloseInput() { stdin_.reset(); }
  // Exit status after the program closed its output; -1 when it does not end in time.
  int Wait(int timeoutMs = 5000) {
    while (!ReadLine(timeoutMs).empty()) {
    }
    int status = 0;
    for (int64_t deadline = NowMs() + timeoutMs; NowMs() < deadline;) {
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status);
      }
      pollfd none = {-1, 0, 0};
      poll(&none, 1, 10);
    }
    return -1;
  }
  pid_t pid() const { return pid_; }

 private:
  pid_t pid_ = -1;
  UniqueFd stdin_, stdout_;
  std::string buffered_;
};

TEST(PpisimProgram, ServesThePtyAndObeysControlCommands) {
  testing_support::TempDir dir;
  std::ofstream(dir / "memory.txt") << "# demo values\nV100 w 0x1234\nQ0.1 x 1\nV300 s hi there\n";
  const std::string link = (dir / "Com1").string();
  Program program({"--memory", (dir / "memory.txt").string(), "--link", link, "--log",
                   (dir / "frames.log").string()});
  ASSERT_GT(program.pid(), 0);
  const std::string first = program.ReadLine();
  ASSERT_EQ(first.rfind("PTY /dev/pts/", 0), 0u) << first;
  EXPECT_EQ(std::filesystem::read_symlink(link).string(), first.substr(4));

  Client client(link);  // through the link, as a mapped "Com1" would be opened
  ASSERT_TRUE(client.ok());
  client.Send(kReadV100);
  ASSERT_EQ(client.Read(1), Bytes{0xE5});
  client.Send(kDataRequest2);
  EXPECT_EQ(client.Read(kReplyV100.size()), kReplyV100);

  EXPECT_EQ(program.Command("get V100 w"), "OK 4660");
  EXPECT_EQ(program.Command("get Q0.1 x"), "OK 1");
  EXPECT_EQ(program.Command("get V300 s"), "OK hi there");
  EXPECT_EQ(program.Command("set V100 w 42"), "OK");
  EXPECT_EQ(program.Command("set V100 q 42").rfind("ERR", 0), 0u);
  EXPECT_EQ(program.Command("fault silence 1"), "OK");
  client.Send(kReadV100);
  EXPECT_TRUE(client.ReadFor(150).empty());
  client.Send(kReadV100);
  ASSERT_EQ(client.Read(1), Bytes{0xE5});
  client.Send(kDataRequest2);
  const Bytes reply = client.Read(kReplyV100.size());
  ASSERT_EQ(reply.size(), kReplyV100.size());
  EXPECT_EQ(reply[25], 0x00);
  EXPECT_EQ(reply[26], 42);
  EXPECT_EQ(program.Command("counters").rfind("OK frames=5 garbage=0 ignored=0 jobs=2", 0), 0u);

  EXPECT_EQ(program.Command("quit"), "OK");
  EXPECT_EQ(program.Wait(), 0);
  EXPECT_FALSE(std::filesystem::is_symlink(link));
  std::ifstream log(dir / "frames.log");
  const std::string text((std::istreambuf_iterator<char>(log)), {});
  EXPECT_NE(text.find(" RX 68 1B 1B 68 02 00 6C"), std::string::npos);
  EXPECT_NE(text.find(" TX E5"), std::string::npos);
}

TEST(PpisimProgram, EndsCleanlyOnSignalsAndEndOfInputAndRejectsBadOptions) {
  testing_support::TempDir dir;
  const std::string link = (dir / "Com2").string();
  for (int how : {SIGTERM, SIGINT, 0}) {
    SCOPED_TRACE(how);
    Program program({"--quiet", "--link", link});
    ASSERT_EQ(program.ReadLine().rfind("PTY ", 0), 0u);
    ASSERT_TRUE(std::filesystem::is_symlink(link));
    if (how != 0) {
      kill(program.pid(), how);
    } else {
      program.CloseInput();
    }
    EXPECT_EQ(program.Wait(), 0);
    EXPECT_FALSE(std::filesystem::is_symlink(link));
  }
  const std::vector<std::vector<std::string>> bad = {
      {"--station", "0"},         {"--ramp", "V100:s:0:10:1"},
      {"--sine", "V100:f:1:0:0"}, {"--memory", "/nonexistent"},
      {"--fault", "split:often"}, {"--baud"},
      {"--frobnicate", "1"},      {"--tcp", "65536"},
      {"--pdu", "100"},           {"--db", "1:10"},
      {"--rack-slot", "8,1"},     {"--tcp-fault", "noise"}};
  for (const auto& args : bad) {
    SCOPED_TRACE(args[0]);
    Program program(args);
    EXPECT_EQ(program.Wait(), 2);
  }
}

TEST(PpisimProgram, ServesIsoOnTcpWithItsOwnFaultsAndCounters) {
  Program program({"--quiet", "--tcp", "0", "--db", "5:16", "--rack-slot", "0,3"});
  ASSERT_EQ(program.ReadLine().rfind("PTY ", 0), 0u);
  const std::string second = program.ReadLine();
  ASSERT_EQ(second.rfind("TCP ", 0), 0u) << second;
  const int port = std::stoi(second.substr(4));
  ASSERT_GT(port, 0);
  EXPECT_EQ(program.Command("set DB5.DBW14 w 513"), "OK");
  EXPECT_EQ(program.Command("get DB5.DBB15 b"), "OK 1");
  EXPECT_EQ(program.Command("set DB5.DBW15 w 1").rfind("ERR", 0), 0u);  // past the block's end
  EXPECT_EQ(program.Command("tcpfault drop always"), "OK");

  // A connection request for rack 0, slot 3 is confirmed; slot 2 is not one it was given.
  for (uint8_t slot : {3, 2}) {
    UniqueFd fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(port));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ASSERT_EQ(connect(fd.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr), 0);
    const Bytes cr = {0x03, 0x00, 0x00, 0x12, 0x0D, 0xE0, 0x00, 0x00, 0x00,
                      0x01, 0x00, 0xC2, 0x02, 0x01, slot, 0xC0, 0x01, 0x0A};
    ASSERT_EQ(send(fd.get(), cr.data(), cr.size(), 0), ssize_t(cr.size()));
    uint8_t answer[64];
    pollfd p = {fd.get(), POLLIN, 0};
    ASSERT_EQ(poll(&p, 1, 5000), 1);
    ASSERT_GE(recv(fd.get(), answer, sizeof answer, 0), 6);
    EXPECT_EQ(answer[5], slot == 3 ? 0xD0 : 0x80);
  }
  EXPECT_EQ(program.Command("tcpcounters")
                .rfind("OK port=" + std::to_string(port) + " connections=2 refused=1 setups=0", 0),
            0u);
  EXPECT_EQ(program.Command("tcpfault off"), "OK");
  EXPECT_EQ(program.Command("quit"), "OK");
  EXPECT_EQ(program.Wait(), 0);
}

}  // namespace
