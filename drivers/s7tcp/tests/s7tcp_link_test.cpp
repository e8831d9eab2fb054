// The link and the reply walk against peers that misbehave in ways the simulator does not: a
// scripted peer on 127.0.0.1 that answers each packet it receives with the next bytes of its
// script, and mutated replies fed to the shared ack-data walk.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <random>
#include <thread>
#include <vector>

#include "drivers/s7common/s7_pdu.h"
#include "drivers/s7tcp/s7tcp_link.h"
#include "platform/unique_fd.h"

namespace {

using Bytes = std::vector<uint8_t>;
using platform::UniqueFd;

const Bytes kConfirm = {0x03, 0x00, 0x00, 0x0B, 0x06, 0xD0, 0x00, 0x01, 0x00, 0x01, 0x00};

// The setup reply agreeing `pdu`, with reference 1 (the first setup job of a link).
Bytes SetupReply(uint16_t pdu) {
  return {0x03,
          0x00,
          0x00,
          0x1B,
          0x02,
          0xF0,
          0x80,
          0x32,
          0x03,
          0x00,
          0x00,
          0x00,
          0x01,
          0x00,
          0x08,
          0x00,
          0x00,
          0x00,
          0x00,
          0xF0,
          0x00,
          0x00,
          0x01,
          0x00,
          0x01,
          static_cast<uint8_t>(pdu >> 8),
          static_cast<uint8_t>(pdu)};
}

// Accepts one connection; to the k-th packet it receives (any bytes at all) it answers with
// script[k]; past the end of the script it stays silent until the client goes.
class ScriptedPeer {
 public:
  explicit ScriptedPeer(std::vector<Bytes> script) : script_(std::move(script)) {
    listen_.reset(::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof addr;
    if (::bind(listen_.get(), reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 ||
        ::listen(listen_.get(), 1) != 0 ||
        ::getsockname(listen_.get(), reinterpret_cast<sockaddr*>(&addr), &len) != 0)
      return;
    port_ = ntohs(addr.sin_port);
    thread_ = std::thread([this] {
      pollfd p{listen_.get(), POLLIN, 0};
      if (::poll(&p, 1, 5000) != 1)
        return;
      UniqueFd client(::accept4(listen_.get(), nullptr, nullptr, SOCK_CLOEXEC));
      for (const Bytes& answer : script_) {
        uint8_t buffer[1024];
        pollfd q{client.get(), POLLIN, 0};
        if (::poll(&q, 1, 5000) != 1 || ::recv(client.get(), buffer, sizeof buffer, 0) <= 0)
          return;
        (void)!::send(client.get(), answer.data(), answer.size(), MSG_NOSIGNAL);
      }
      uint8_t rest[64];
      pollfd q{client.get(), POLLIN, 0};
      while (::poll(&q, 1, 5000) == 1 && ::recv(client.get(), rest, sizeof rest, 0) > 0) {
      }
    });
  }
  ~ScriptedPeer() {
    if (thread_.joinable())
      thread_.join();
  }
  s7tcp::Station station() const { return {"127.0.0.1", port_, 0, 2}; }

 private:
  std::vector<Bytes> script_;
  UniqueFd listen_;
  uint16_t port_ = 0;
  std::thread thread_;
};

int32_t OpenError(const std::vector<Bytes>& script, int timeoutMs = 1000) {
  ScriptedPeer peer(script);
  s7tcp::Link link;
  int32_t error = 0;
  const bool opened = link.Open(peer.station(), {0x0100, 0x0102}, timeoutMs, &error);
  link.Close();
  return opened ? 0 : error;
}

TEST(S7TcpLink, ConnectAndSetupRefuseWhatIsNotAnAnswer) {
  EXPECT_EQ(OpenError({kConfirm, SetupReply(480)}), 0);
  // A PLC that agrees to less than the smallest PDU cannot carry a job.
  EXPECT_EQ(OpenError({kConfirm, SetupReply(100)}), s7tcp::kErrSetup);
  // Not a TPKT stream, and a TPKT that announces more than any PLC sends.
  EXPECT_EQ(OpenError({{0x04, 0x00, 0x00, 0x0B, 0x06, 0xD0, 0, 1, 0, 1, 0}}), s7tcp::kErrBadReply);
  EXPECT_EQ(OpenError({{0x03, 0x00, 0xFF, 0xFF, 0x06, 0xD0}}), s7tcp::kErrBadReply);
  // A data TPDU without its end mark: the rest would come in a further TPDU.
  Bytes split = SetupReply(480);
  split[6] = 0x00;
  EXPECT_EQ(OpenError({kConfirm, split}), s7tcp::kErrBadReply);
  // The setup reply of another job.
  Bytes other = SetupReply(480);
  other[12] = 0x02;
  EXPECT_EQ(OpenError({kConfirm, other}), s7tcp::kErrSetup);
  // A header and then nothing: the time-out, not a hang.
  const auto start = std::chrono::steady_clock::now();
  EXPECT_EQ(OpenError({{0x03, 0x00, 0x00, 0x0B}}, 150), s7tcp::kErrTimeout);
  EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
  // Nobody listening.
  s7tcp::Link link;
  int32_t error = 0;
  EXPECT_FALSE(link.Open({"127.0.0.1", 1, 0, 2}, {0x0100, 0x0102}, 500, &error));
  EXPECT_EQ(error, s7tcp::kErrConnect);
}

TEST(S7TcpPdu, MutatedRepliesNeverLeadOutsideTheirBytes) {
  // A read reply of three items: 3 bytes (padded), a refused item, 2 bytes.
  const Bytes reply = {0x32, 0x03, 0x00, 0x00, 0x00, 0x07, 0x00, 0x02, 0x00, 0x12, 0x00,
                       0x00, 0x04, 0x03, 0xFF, 0x04, 0x00, 0x18, 0x01, 0x02, 0x03, 0x00,
                       0x0A, 0x00, 0x00, 0x00, 0xFF, 0x04, 0x00, 0x10, 0x04, 0x05};
  s7::AckData ack;
  ASSERT_TRUE(s7::ParseAck(reply, &ack));
  s7::DataItem items[3];
  ASSERT_TRUE(s7::ParseReadItems(ack.data, items));
  EXPECT_EQ(items[0].bytes.size(), 3u);
  EXPECT_EQ(items[1].returnCode, 0x0A);
  EXPECT_EQ(items[2].bytes[1], 0x05);
  const uint16_t lengths[] = {3, 0, 2};
  EXPECT_EQ(s7::ReadReplySize(lengths), 14u + 4 + 3 + 1 + 4 + 4 + 2);

  // Flipped bytes and cut replies: every walk stays inside the reply (the sanitizer build checks).
  std::mt19937 random(7);
  for (int round = 0; round < 20000; ++round) {
    Bytes mutated = reply;
    const int flips = 1 + static_cast<int>(random() % 3);
    for (int f = 0; f < flips; ++f)
      mutated[random() % mutated.size()] = static_cast<uint8_t>(random());
    mutated.resize(random() % (mutated.size() + 1));
    s7::AckData a;
    s7::DataItem walked[3];
    if (!s7::ParseAck(mutated, &a))
      continue;
    ASSERT_LE(a.data.data() + a.data.size(), mutated.data() + mutated.size());
    if (s7::ParseReadItems(a.data, walked)) {
      for (const s7::DataItem& item : walked) {
        if (item.bytes.empty())
          continue;
        ASSERT_GE(item.bytes.data(), a.data.data());
        ASSERT_LE(item.bytes.data() + item.bytes.size(), a.data.data() + a.data.size());
      }
    }
  }
}

}  // namespace
