// The simulator's pure parts: stream scanning, job decoding under mutation, typed values,
// generators and the text commands.
#include <random>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "tools/ppisim/iso_tcp.h"
#include "tools/ppisim/iso_tcp_server.h"
#include "tools/ppisim/sim_control.h"
#include "tools/ppisim/sim_memory.h"
#include "tools/ppisim/sim_protocol.h"

namespace {

using Bytes = std::vector<uint8_t>;
using ppisim::Chunk;

const Bytes kStatusRequest = {0x10, 0x02, 0x00, 0x49, 0x4B, 0x16};
const Bytes kReadV100 = {0x68, 0x1B, 0x1B, 0x68, 0x02, 0x00, 0x6C, 0x32, 0x01, 0x00, 0x00,
                         0x00, 0x00, 0x00, 0x0E, 0x00, 0x00, 0x04, 0x01, 0x12, 0x0A, 0x10,
                         0x02, 0x00, 0x02, 0x00, 0x01, 0x84, 0x00, 0x03, 0x20, 0x8C, 0x16};

// Frames and the garbage between them, the garbage runs joined.
struct Cut {
  std::vector<Bytes> frames;
  Bytes garbage;
};

Cut Drain(ppisim::FrameScanner& scanner, bool idle) {
  Cut cut;
  Chunk chunk;
  while (scanner.Next(idle, &chunk)) {
    if (chunk.kind == Chunk::Kind::kGarbage) {
      cut.garbage.insert(cut.garbage.end(), chunk.bytes.begin(), chunk.bytes.end());
    } else {
      cut.frames.push_back(chunk.bytes);
    }
  }
  return cut;
}

TEST(FrameScanner, FindsFramesInNoiseAcrossReadsAndBehindFalseStarts) {
  ppisim::FrameScanner scanner;
  Bytes stream = {0x00, 0xE5, 0x16};
  stream.insert(stream.end(), kReadV100.begin(), kReadV100.end());
  // Fed byte by byte, the frame comes out only with its last byte.
  Cut all;
  for (size_t k = 0; k < stream.size(); ++k) {
    scanner.Feed(std::span<const uint8_t>(&stream[k], 1));
    Cut cut = Drain(scanner, false);
    EXPECT_EQ(cut.frames.size(), k + 1 == stream.size() ? 1u : 0u) << k;
    all.garbage.insert(all.garbage.end(), cut.garbage.begin(), cut.garbage.end());
    all.frames.insert(all.frames.end(), cut.frames.begin(), cut.frames.end());
  }
  EXPECT_EQ(all.garbage, (Bytes{0x00, 0xE5, 0x16}));
  EXPECT_EQ(all.frames, std::vector<Bytes>{kReadV100});

  // A false start promising more bytes than ever come holds a frame back only until the line is
  // idle.
  const Bytes falseStart = {0x68, 0x40, 0x40, 0x68, 0x02};
  scanner.Feed(falseStart);
  scanner.Feed(kStatusRequest);
  Cut cut = Drain(scanner, false);
  EXPECT_TRUE(cut.frames.empty() && cut.garbage.empty());
  cut = Drain(scanner, true);
  EXPECT_EQ(cut.garbage, falseStart);
  EXPECT_EQ(cut.frames, std::vector<Bytes>{kStatusRequest});

  // A frame with a bad FCS gives up one byte, and the frame inside it is found.
  scanner.Feed(Bytes{0x10, 0x10, 0x02, 0x00, 0x49, 0x4B, 0x16});
  cut = Drain(scanner, false);
  EXPECT_EQ(cut.garbage, Bytes{0x10});
  EXPECT_EQ(cut.frames, std::vector<Bytes>{kStatusRequest});
  EXPECT_FALSE(scanner.HasPending());
}

// Jobs with random bytes changed and the frame made valid again: decoding, executing and
// answering must never read outside the frame or memory (run under the sanitizers), and every
// reply must be a well-formed frame with the return code at 21.
TEST(Protocol, MutatedJobsNeverBreakTheDecoder) {
  std::mt19937 random(7);
  const Bytes writeJob = {0x68, 0x23, 0x23, 0x68, 0x02, 0x00, 0x6C, 0x32, 0x01, 0x00, 0x00,
                          0x00, 0x00, 0x00, 0x0E, 0x00, 0x08, 0x05, 0x01, 0x12, 0x0A, 0x10,
                          0x02, 0x00, 0x04, 0x00, 0x01, 0x84, 0x00, 0x03, 0x20, 0x00, 0x04,
                          0x00, 0x20, 0x41, 0x20, 0x00, 0x00, 0x00, 0x16};
  ppisim::Memory memory;
  int decoded = 0;
  for (int round = 0; round < 20000; ++round) {
    Bytes f = round % 2 ? writeJob : kReadV100;
    const int changes = 1 + int(random() % 3);
    for (int k = 0; k < changes; ++k)
      f[4 + random() % (f.size() - 6)] = uint8_t(random());
    if (round % 3 == 0)
      f.resize(f.size() - random() % 8);  // the frame shrinks with its LE
    f[1] = f[2] = uint8_t(f.size() - 6);
    f[f.size() - 2] = ppisim::Fcs(std::span<const uint8_t>(f).subspan(4, f.size() - 6));
    f.back() = 0x16;

    ppisim::Job job;
    std::string why;
    if (!ppisim::DecodeJob(f, &job, &why)) {
      EXPECT_FALSE(why.empty());
      continue;
    }
    ++decoded;
    const ppisim::ItemResult result = ppisim::ExecuteJob(job, memory);
    const Bytes reply = ppisim::BuildReply(job, result);
    ASSERT_EQ(reply.size(), size_t(reply[1]) + 6);
    EXPECT_EQ(reply[reply.size() - 2],
              ppisim::Fcs(std::span<const uint8_t>(reply).subspan(4, reply.size() - 6)));
    EXPECT_EQ(reply[21], result.returnCode);
    if (result.returnCode == 0xFF && job.type == ppisim::Job::Type::kRead) {
      EXPECT_EQ(reply.size(), 27 + result.data.size());
    }
  }
  EXPECT_GT(decoded, 1000);  // the mutations must reach the executor, not just the decoder
}

TEST(Protocol, DecoderRefusesWhatItDoesNotServe) {
  auto refuse = [](Bytes f, size_t at, uint8_t value) {
    f[at] = value;
    f[f.size() - 2] = ppisim::Fcs(std::span<const uint8_t>(f).subspan(4, f.size() - 6));
    ppisim::Job job;
    std::string why;
    return !ppisim::DecodeJob(f, &job, &why);
  };
  EXPECT_FALSE(refuse(kReadV100, 6, 0x7C));  // FCB toggled: still a job
  EXPECT_TRUE(refuse(kReadV100, 6, 0x08));   // a response, not a request
  EXPECT_TRUE(refuse(kReadV100, 7, 0x33));   // protocol id
  EXPECT_TRUE(refuse(kReadV100, 8, 0x02));   // PDU type
  EXPECT_TRUE(refuse(kReadV100, 14, 0x0F));  // parameter length against LE
  EXPECT_TRUE(refuse(kReadV100, 17, 0xF0));  // setup communication
  EXPECT_TRUE(refuse(kReadV100, 18, 0x02));  // two items
  EXPECT_TRUE(refuse(kReadV100, 19, 0x11));  // not an any-pointer
}

TEST(Protocol, ReadLimitsAndAddressing) {
  ppisim::Memory memory;
  ASSERT_TRUE(memory.Write(ppisim::Area::kV, 65534, Bytes{0xAA, 0xBB}));
  struct Case {
    uint8_t area;
    uint16_t db;
    uint32_t bitAddress;
    uint8_t size;
    uint16_t count;
    uint8_t code;
    Bytes data;
  } cases[] = {
      {0x84, 1, 65534 * 8, 0x02, 2, 0xFF, {0xAA, 0xBB}},
      {0x84, 1, 65534 * 8, 0x04, 1, 0xFF, {0xAA, 0xBB}},  // one word
      {0x84, 1, 65535 * 8, 0x04, 1, 0x05, {}},
      {0x84, 1, 65534 * 8 + 3, 0x01, 1, 0xFF, {0x01}},  // bit 3 of AA
      {0x84, 1, 65534 * 8 + 2, 0x01, 1, 0xFF, {0x00}},
      {0x84, 1, 65534 * 8 + 2, 0x02, 1, 0x05, {}},  // bytes start on a byte
      {0x84, 1, 0, 0x02, 223, 0x05, {}},            // larger than a PDU holds
      {0x84, 1, 0, 0x02, 0, 0x05, {}},
      {0x84, 1, 0, 0x1C, 1, 0x06, {}},  // counter type
      {0x81, 0, 0xFFFFFF, 0x02, 1, 0x05, {}},
      {0x05, 0, 549 * 8, 0x02, 1, 0xFF, {0x00}},     // SMB549, the last special memory byte
      {0x04, 0, 31 * 8 + 7, 0x01, 1, 0xFF, {0x00}},  // S31.7
      {0x04, 0, 32 * 8, 0x01, 1, 0x05, {}},
      {0x06, 0, 62 * 8, 0x02, 2, 0xFF, {0x00, 0x00}},  // AIW62
      {0x06, 0, 1 * 8, 0x02, 2, 0x05, {}},             // analog words are even
      {0x07, 0, 0, 0x02, 3, 0x05, {}},                 // and whole
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.bitAddress << " size " << int(c.size));
    ppisim::Job job;
    job.areaCode = c.area;
    job.db = c.db;
    job.bitAddress = c.bitAddress;
    job.transportSize = c.size;
    job.count = c.count;
    const ppisim::ItemResult result = ppisim::ExecuteJob(job, memory);
    EXPECT_EQ(result.returnCode, c.code);
    EXPECT_EQ(result.data, c.data);
  }

  // SMB0..SMB29 and the analog inputs are the PLC's own: a write is refused with 03.
  const struct {
    uint8_t area;
    uint32_t byte;
    uint8_t code;
  } writes[] = {{0x05, 29, 0x03}, {0x05, 30, 0xFF}, {0x06, 0, 0x03}, {0x07, 0, 0xFF}};
  for (const auto& w : writes) {
    SCOPED_TRACE(testing::Message() << "write area " << int(w.area) << " byte " << w.byte);
    ppisim::Job job;
    job.type = ppisim::Job::Type::kWrite;
    job.areaCode = w.area;
    job.bitAddress = w.byte * 8;
    job.transportSize = 0x02;
    job.count = 2;
    job.dataTransport = 0x04;
    job.dataLength = 16;
    job.data = {0x12, 0x34};
    EXPECT_EQ(ppisim::ExecuteJob(job, memory).returnCode, w.code);
  }
}

TEST(Values, TextRoundTripsAndRefusals) {
  ppisim::Memory memory;
  const struct {
    const char* address;
    char type;
    const char* text;
    const char* back;
    Bytes stored;
  } good[] = {{"V100", 'w', "0x1234", "4660", {0x12, 0x34}},
              {"V102", 'i', "-2", "-2", {0xFF, 0xFE}},
              {"V104", 'w', "-2", "65534", {0xFF, 0xFE}},
              {"V106", 'd', "-100000", "-100000", {0xFF, 0xFE, 0x79, 0x60}},
              {"V110", 'f', "2.5", "2.5", {0x40, 0x20, 0x00, 0x00}},
              {"V120", 's', "hello", "hello", {'h', 'e', 'l', 'l', 'o', 0}},
              {"I0", 'b', "0x0F", "15", {0x0F}},
              {"q9999", 'b', "010", "10", {10}},  // decimal, not octal
              {"V65532", 'd', "1", "1", {0, 0, 0, 1}},
              {"SM28", 'b', "90", "90", {90}},
              {"AIW62", 'i', "-3", "-3", {0xFF, 0xFD}},
              {"aqw0", 'w', "7", "7", {0, 7}}};
  for (const auto& c : good) {
    SCOPED_TRACE(c.address);
    ppisim::Location location;
    ppisim::ValueType type;
    std::string text, error;
    ASSERT_TRUE(ppisim::ParseLocation(c.address, &location));
    ASSERT_TRUE(ppisim::ParseValueType(std::string(1, c.type), &type));
    ASSERT_TRUE(ppisim::StoreValue(memory, location, type, c.text, &error)) << error;
    Bytes stored(c.stored.size());
    ASSERT_TRUE(memory.Read(location.area, location.byte, stored));
    EXPECT_EQ(stored, c.stored);
    ASSERT_TRUE(ppisim::LoadValue(memory, location, type, 0, &text, &error)) << error;
    EXPECT_EQ(text, c.back);
  }
  ppisim::Location location;
  EXPECT_FALSE(ppisim::ParseLocation("V65536", &location));
  EXPECT_FALSE(ppisim::ParseLocation("I10000", &location));
  EXPECT_FALSE(ppisim::ParseLocation("Q0.8", &location));
  EXPECT_FALSE(ppisim::ParseLocation("X1", &location));
  EXPECT_FALSE(ppisim::ParseLocation("SM550", &location));
  EXPECT_FALSE(ppisim::ParseLocation("S32", &location));
  ASSERT_TRUE(ppisim::ParseLocation("sm0.5", &location));
  EXPECT_EQ(ppisim::FormatLocation(location), "SM0.5");
  const struct {
    const char* address;
    ppisim::ValueType type;
    const char* text;
  } bad[] = {{"V65534", ppisim::ValueType::kDword, "1"},  {"V0", ppisim::ValueType::kBit, "1"},
             {"V0.1", ppisim::ValueType::kByte, "1"},     {"V0.1", ppisim::ValueType::kBit, "2"},
             {"V0", ppisim::ValueType::kByte, "256"},     {"V0", ppisim::ValueType::kWord, "7x"},
             {"V65534", ppisim::ValueType::kString, "ab"}};
  for (const auto& c : bad) {
    SCOPED_TRACE(c.address);
    std::string error;
    ASSERT_TRUE(ppisim::ParseLocation(c.address, &location));
    EXPECT_FALSE(ppisim::StoreValue(memory, location, c.type, c.text, &error));
    EXPECT_FALSE(error.empty());
  }
}

TEST(Values, GeneratorsRampWrapAndSineSwing) {
  ppisim::Generator ramp, down, sine;
  std::string error;
  ASSERT_TRUE(
      ppisim::ParseGenerator(ppisim::Generator::Kind::kRamp, "V100:w:0:1000:1", &ramp, &error));
  EXPECT_EQ(ppisim::GeneratorValue(ramp, 0), 0);
  EXPECT_EQ(ppisim::GeneratorValue(ramp, 1.5), 1);
  EXPECT_EQ(ppisim::GeneratorValue(ramp, 1000), 1000);
  EXPECT_EQ(ppisim::GeneratorValue(ramp, 1001), 0);
  ASSERT_TRUE(ppisim::ParseGenerator(ppisim::Generator::Kind::kRamp, "M0:b:10:0:5", &down, &error));
  EXPECT_EQ(ppisim::GeneratorValue(down, 2), 0);
  EXPECT_EQ(ppisim::GeneratorValue(down, 3), 10);
  ASSERT_TRUE(
      ppisim::ParseGenerator(ppisim::Generator::Kind::kSine, "V200:f:10:50:60", &sine, &error));
  EXPECT_NEAR(ppisim::GeneratorValue(sine, 15), 60, 1e-9);
  EXPECT_NEAR(ppisim::GeneratorValue(sine, 45), 40, 1e-9);
  for (const char* text : {"V100:w:0:10:0", "V100:s:0:1:1", "V65535:w:0:1:1", "V100:w:0:1",
                           "Q0:x:0:1:1", "V100:w:a:1:1"}) {
    EXPECT_FALSE(ppisim::ParseGenerator(ppisim::Generator::Kind::kRamp, text, &ramp, &error))
        << text;
  }
}

TEST(Control, FaultTextsAndCommands) {
  ppisim::Fault fault;
  std::string error;
  ASSERT_TRUE(ppisim::ParseFault("split always 3 25", &fault, &error)) << error;
  EXPECT_EQ(fault.kind, ppisim::FaultKind::kSplitReply);
  EXPECT_EQ(fault.count, ppisim::kAlways);
  EXPECT_EQ(fault.splitAfter, 3u);
  EXPECT_EQ(fault.pauseMs, 25);
  ASSERT_TRUE(ppisim::ParseFault("noise 4 0xAA 55", &fault, &error)) << error;
  EXPECT_EQ(fault.count, 4);
  EXPECT_EQ(fault.bytes, (Bytes{0xAA, 0x55}));
  ASSERT_TRUE(ppisim::ParseFault("itemerror 1 0x05", &fault, &error));
  EXPECT_EQ(fault.returnCode, 0x05);
  ASSERT_TRUE(ppisim::ParseFault("busy 2 3", &fault, &error)) << error;
  EXPECT_EQ(fault.kind, ppisim::FaultKind::kBusy);
  EXPECT_EQ(fault.polls, 3);
  ASSERT_TRUE(ppisim::ParseFault("wrongref always", &fault, &error)) << error;
  EXPECT_EQ(fault.kind, ppisim::FaultKind::kWrongReference);
  for (const char* text :
       {"", "lightning", "silence 0", "silence 1 2", "noise 1 1FF", "truncate 1 0",
        "split sometimes", "off 1", "busy 1 0", "othermaster 1 2"}) {
    EXPECT_FALSE(ppisim::ParseFault(text, &fault, &error)) << text;
  }

  ppisim::Options options;
  options.stations = {2, 5};
  ppisim::PpiSimulator sim(options);  // not started: memory and faults work without the line
  bool quit = false;
  const std::pair<const char*, const char*> script[] = {
      {"set V10 w 7", "OK"},
      {"set @5 V10 w 9", "OK"},
      {"get V10 w", "OK 7"},
      {"get @5 V10 w", "OK 9"},
      {"get @6 V10 w", "ERR station not served"},
      {"set V20 s two words", "OK"},
      {"get V20 s 3", "OK two"},
      {"get V20 w 3", "ERR only a string takes a length (1..65536)"},
      {"set", "ERR usage: set [@N] ADDR TYPE VALUE"},
      {"# a comment", ""},
      {"fault badfcs 2", "OK"},
      {"fault off", "OK"},
      {"jump", "ERR unknown command 'jump' (try help)"}};
  for (const auto& [line, response] : script) {
    EXPECT_EQ(ppisim::RunCommand(sim, line, &quit), response) << line;
  }
  EXPECT_EQ(sim.CurrentFault().kind, ppisim::FaultKind::kNone);
  EXPECT_FALSE(quit);
  EXPECT_EQ(ppisim::RunCommand(sim, "quit", &quit), "OK");
  EXPECT_TRUE(quit);
}

TEST(IsoTcp, PacketsConnectRequestsAndMultiItemJobs) {
  // TPKT packets split across reads come out whole; a wrong version breaks the stream.
  ppisim::TpktScanner scanner;
  Bytes packet;
  bool broken = false;
  const Bytes cr = {0x03, 0x00, 0x00, 0x16, 0x11, 0xE0, 0x00, 0x00, 0x00, 0x01, 0x00,
                    0xC0, 0x01, 0x0A, 0xC1, 0x02, 0x01, 0x00, 0xC2, 0x02, 0x01, 0x02};
  scanner.Feed(Bytes(cr.begin(), cr.begin() + 9));
  EXPECT_FALSE(scanner.Next(&packet, &broken));
  scanner.Feed(Bytes(cr.begin() + 9, cr.end()));
  ASSERT_TRUE(scanner.Next(&packet, &broken));
  EXPECT_EQ(packet, cr);
  scanner.Feed(Bytes{0x04, 0x00, 0x00, 0x07});
  EXPECT_FALSE(scanner.Next(&packet, &broken));
  EXPECT_TRUE(broken);

  ppisim::ConnectRequest request;
  std::string why;
  ASSERT_TRUE(ppisim::DecodeConnectRequest(Bytes(cr.begin() + 4, cr.end()), &request, &why));
  EXPECT_EQ(request.callingTsap, 0x0100);
  EXPECT_EQ(request.calledTsap, 0x0102);
  const Bytes confirm = ppisim::BuildConnectConfirm(request, 7);
  EXPECT_EQ(confirm[5], 0xD0);
  EXPECT_EQ(confirm.size(), static_cast<std::size_t>(confirm[2] << 8 | confirm[3]));
  EXPECT_EQ(ppisim::BuildConnectRefusal(request)[5], 0x80);
  // Without a called TSAP there is no CPU to connect to.
  EXPECT_FALSE(ppisim::DecodeConnectRequest(
      Bytes{0x0A, 0xE0, 0, 0, 0, 1, 0, 0xC1, 0x02, 0x01, 0x00}, &request, &why));

  // A write of two items: 3 bytes (odd, so a fill byte follows) to DB5, then one bit of Q.
  const Bytes write = {0x32, 0x01, 0x00, 0x00, 0x00, 0x09, 0x00, 0x1A, 0x00, 0x0D,  // header
                       0x05, 0x02,                                                  // 2 items
                       0x12, 0x0A, 0x10, 0x02, 0x00, 0x03, 0x00, 0x05, 0x84, 0x00, 0x00,
                       0x50, 0x12, 0x0A, 0x10, 0x01, 0x00, 0x01, 0x00, 0x00, 0x82, 0x00,
                       0x00, 0x03, 0x00, 0x04, 0x00, 0x18, 0xAA, 0xBB, 0xCC, 0x00,  // + fill
                       0x00, 0x03, 0x00, 0x01, 0x01};
  ppisim::TcpJob job;
  ASSERT_TRUE(ppisim::DecodeTcpJob(write, &job, &why)) << why;
  ASSERT_EQ(job.items.size(), 2u);
  EXPECT_EQ(job.reference, 9);
  EXPECT_EQ(job.items[0].db, 5);
  EXPECT_EQ(job.items[0].bitAddress, 80u);
  EXPECT_EQ(job.items[0].data, (Bytes{0xAA, 0xBB, 0xCC}));
  EXPECT_EQ(job.items[1].data, Bytes{0x01});
  ppisim::Memory memory;
  ASSERT_TRUE(memory.AddDb(5, 16));
  std::vector<ppisim::ItemResult> results;
  for (const ppisim::Job& item : job.items)
    results.push_back(ppisim::ExecuteJob(item, memory));
  EXPECT_EQ(results[0].returnCode, ppisim::kRcSuccess);
  EXPECT_EQ(results[1].returnCode, ppisim::kRcSuccess);
  uint8_t q0 = 0;
  ASSERT_TRUE(memory.Read(ppisim::Area::kQ, 0, {&q0, 1}));
  EXPECT_EQ(q0, 0x08);
  Bytes db(3);
  ASSERT_TRUE(memory.Read(ppisim::Area::kV, 10, db, 5));
  EXPECT_EQ(db, (Bytes{0xAA, 0xBB, 0xCC}));
  // A data block that was never added does not exist; V memory is still DB 1.
  ppisim::Job missing = job.items[0];
  missing.db = 6;
  EXPECT_EQ(ppisim::ExecuteJob(missing, memory).returnCode, ppisim::kRcObjectDoesNotExist);
  EXPECT_EQ(ppisim::BuildTcpReply(job, results),
            (Bytes{0x32, 0x03, 0x00, 0x00, 0x00, 0x09, 0x00, 0x02, 0x00, 0x02, 0x00, 0x00, 0x05,
                   0x02, 0xFF, 0xFF}));

  // The read reply pads an odd item that is not the last.
  job.kind = ppisim::TcpJob::Kind::kRead;
  results[0].data = {1, 2, 3};
  results[0].dataTransport = 0x04;
  results[0].lengthField = 24;
  results[1].data = {4};
  results[1].dataTransport = 0x04;
  results[1].lengthField = 8;
  const Bytes reply = ppisim::BuildTcpReply(job, results);
  EXPECT_EQ(Bytes(reply.begin() + 14, reply.end()),
            (Bytes{0xFF, 0x04, 0x00, 0x18, 1, 2, 3, 0x00, 0xFF, 0x04, 0x00, 0x08, 4}));

  ppisim::TcpFault fault;
  std::string error;
  ASSERT_TRUE(ppisim::ParseTcpFault("cut always 12", &fault, &error)) << error;
  EXPECT_EQ(fault.kind, ppisim::TcpFaultKind::kCut);
  EXPECT_EQ(fault.count, ppisim::kAlways);
  EXPECT_EQ(fault.cutAfter, 12u);
  EXPECT_FALSE(ppisim::ParseTcpFault("itemerror 1 0xFF", &fault, &error));
  EXPECT_FALSE(ppisim::ParseTcpFault("drop 1 5", &fault, &error));
  EXPECT_FALSE(ppisim::ParseTcpFault("noise", &fault, &error));

  // Data block addresses in the text form.
  ppisim::Location where;
  ASSERT_TRUE(ppisim::ParseLocation("db7.dbx3.2", &where));
  EXPECT_EQ(where.db, 7);
  EXPECT_EQ(where.bit, 2);
  EXPECT_EQ(ppisim::FormatLocation(where), "DB7.DBX3.2");
  EXPECT_FALSE(ppisim::ParseLocation("DB7.DBX3", &where));  // DBX names a bit
  EXPECT_FALSE(ppisim::ParseLocation("DB7.DBW3.1", &where));
  EXPECT_FALSE(ppisim::ParseLocation("DB0.DBB1", &where));
  // Generators move values in data blocks too, never in V memory at the same byte.
  ASSERT_TRUE(ppisim::ParseLocation("DB5.DBD4", &where));
  for (ppisim::ValueType type : {ppisim::ValueType::kFloat, ppisim::ValueType::kDword}) {
    ASSERT_TRUE(ppisim::StoreNumber(memory, where, type, 2.0));
    std::string text;
    ASSERT_TRUE(ppisim::LoadValue(memory, where, type, 0, &text, &error)) << error;
    EXPECT_EQ(text, "2");
  }
  Bytes v(4);
  ASSERT_TRUE(memory.Read(ppisim::Area::kV, 4, v));
  EXPECT_EQ(v, Bytes(4, 0));
}

}  // namespace
