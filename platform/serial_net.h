// Serial lines behind a serial device server: "tcp://host:port" (the server passes bytes as they
// are; its line settings are its own) and "rfc2217://host:port" (telnet with the COM-PORT-OPTION,
// which lets the client set baud rate, byte size, parity and stop bits and asks the server to
// purge its buffers). serial_port.cpp opens these names through the same handle functions as a
// local device; this file holds the address parser, the telnet codec as pure functions, and the
// connection object.
//
//   platform::NetAddress at;
//   if (platform::ParseNetAddress("rfc2217://10.0.0.7:4001", &at) ==
//   platform::NetAddressError::kOk)
//     ... at.kind == NetKind::kRfc2217, at.host == "10.0.0.7", at.port == 4001 ...
//
//   std::vector<uint8_t> wire;
//   platform::telnet::AppendEscaped(data, wire);          // 0xFF doubled
//   platform::telnet::Decoder decoder;                     // the other way round
//   decoder.Feed(received, data, events);                  // telnet commands become events
#pragma once

#include <cstdint>
#include <deque>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/serial_port.h"
#include "platform/unique_fd.h"

namespace platform {

enum class NetKind { kRaw, kRfc2217 };

// Where a serial device server listens, and how it speaks.
struct NetAddress {
  NetKind kind = NetKind::kRaw;
  std::string host;  // a host name, a numeric IPv4 address, or an IPv6 address without brackets
  uint16_t port = 0;
};

enum class NetAddressError {
  kOk,
  kNotNet,   // neither "tcp://" nor "rfc2217://" (the text may still be a device path)
  kNoHost,   // nothing between "//" and ":"
  kNoPort,   // no ":port" at the end
  kBadPort,  // the port is not a number 1..65535
  kBadHost,  // blanks, control characters, '/' or an unclosed '[' in the host
};

// Parses "tcp://host:port" or "rfc2217://host:port" (scheme in any case, "[v6address]:port" for
// IPv6). *out is written only on kOk.
NetAddressError ParseNetAddress(std::string_view text, NetAddress* out);

namespace telnet {

inline constexpr uint8_t kIac = 255;
inline constexpr uint8_t kDont = 254;
inline constexpr uint8_t kDo = 253;
inline constexpr uint8_t kWont = 252;
inline constexpr uint8_t kWill = 251;
inline constexpr uint8_t kSb = 250;
inline constexpr uint8_t kSe = 240;
inline constexpr uint8_t kBinary = 0;
inline constexpr uint8_t kEcho = 1;
inline constexpr uint8_t kSuppressGoAhead = 3;
inline constexpr uint8_t kComPort = 44;

// COM-PORT-OPTION commands, client to server (the server answers with the code + 100).
inline constexpr uint8_t kSetBaudRate = 1;
inline constexpr uint8_t kSetDataSize = 2;
inline constexpr uint8_t kSetParity = 3;
inline constexpr uint8_t kSetStopSize = 4;
inline constexpr uint8_t kPurgeData = 12;
// Values of kPurgeData: the server's receive buffer, its transmit buffer, both.
inline constexpr uint8_t kPurgeReceive = 1;
inline constexpr uint8_t kPurgeTransmit = 2;
inline constexpr uint8_t kPurgeBoth = 3;

// Appends `data` to `out` with every 0xFF (IAC) doubled, as data travels in telnet.
void AppendEscaped(std::span<const uint8_t> data, std::vector<uint8_t>& out);

// IAC SB COM-PORT-OPTION `command` `value` (escaped) IAC SE.
std::vector<uint8_t> ComPortCommand(uint8_t command, std::span<const uint8_t> value);

// The four commands that put `dcb`'s line on the server's port: baud rate (4 bytes, network
// order), data size, parity (1 none, 2 odd, 3 even, 4 mark, 5 space) and stop size (1 one,
// 2 two, 3 one and a half), one after the other.
std::vector<uint8_t> LineSettingsCommands(const DCB& dcb);

// One telnet command found in the received stream.
struct Event {
  uint8_t command = 0;  // kWill, kWont, kDo, kDont, kSb (then `sub` holds the option's bytes)
  uint8_t option = 0;
  std::vector<uint8_t> sub;  // after the option byte, unescaped; at most kMaxSub bytes kept
};

// Splits a received telnet stream into data and commands. Keeps its state between calls, so a
// command or an escaped 0xFF cut across two reads decodes the same as in one.
class Decoder {
 public:
  static constexpr size_t kMaxSub = 64;
  // Appends the data bytes of `in` to `data` (IAC IAC as one 0xFF) and the commands to `events`;
  // other two-byte commands (NOP, GA, DM, ...) are dropped.
  void Feed(std::span<const uint8_t> in, std::vector<uint8_t>& data, std::vector<Event>& events);

 private:
  enum class State { kData, kIac, kOption, kSub, kSubIac };
  State state_ = State::kData;
  uint8_t command_ = 0;
  Event sub_;
};

// The client's side of option negotiation: binary transmission both ways, suppress-go-ahead
// both ways and the COM-PORT-OPTION from us; everything else refused. Answers only requests that
// change an option's state, so two such sides never loop.
class Negotiator {
 public:
  // The offers sent once the connection stands.
  std::vector<uint8_t> Start();
  // Appends the answer to `event` (possibly nothing) to `reply`.
  void Answer(const Event& event, std::vector<uint8_t>& reply);
  // The server agreed to (DO) or refused (DONT) the COM-PORT-OPTION.
  bool ComPortAgreed() const { return comPort_ == Answered::kYes; }
  bool ComPortRefused() const { return comPort_ == Answered::kNo; }

 private:
  enum class Answered { kNotYet, kYes, kNo };
  bool ours_[256] = {};         // options we perform (we said WILL and were not refused)
  bool theirs_[256] = {};       // options the server performs (we said DO and were not refused)
  bool askedOurs_[256] = {};    // our WILL still waits for its answer
  bool askedTheirs_[256] = {};  // our DO still waits for its answer
  Answered comPort_ = Answered::kNotYet;
};

}  // namespace telnet

// One connection to a serial device server. Every call is non-blocking: serial_port.cpp waits
// on Fd() with the port's time-outs. Not thread-safe by itself (the port's mutex guards it).
class NetLine {
 public:
  // Connects within `timeoutMs` (name resolution aside); for RFC 2217 also waits, in the same
  // time, for the server to take the COM-PORT-OPTION. Null when the host does not resolve, the
  // connection is refused or times out, or the server refuses RFC 2217 (errno says why).
  static std::unique_ptr<NetLine> Connect(const NetAddress& address, int timeoutMs);

  int Fd() const { return fd_.get(); }
  NetKind Kind() const { return kind_; }

  // Takes what the socket holds into the input queue (telnet commands answered and removed).
  // False once the connection has ended or failed (sends fail from then on); what was queued
  // stays readable.
  bool Pump();
  // Input bytes queued.
  size_t Queued() const { return inbox_.size(); }
  // Moves up to `size` queued bytes to `out`; the count moved.
  size_t Take(uint8_t* out, size_t size);
  // Drops the input queue (and, for RFC 2217, asks the server to purge: `receive` its buffer of
  // bytes from the line, `transmit` its buffer of bytes for the line). False when the request
  // cannot be sent.
  bool Purge(bool receive, bool transmit);

  // Sends as much of `data` as the socket takes now (escaped for RFC 2217); *accepted = bytes of
  // `data` taken, counting a byte whose escape only half went out (its rest goes out first next
  // time). False when the connection has failed; true with fewer bytes when the socket is full.
  bool Send(std::span<const uint8_t> data, size_t* accepted);
  // Bytes given to the socket and not yet sent or acknowledged.
  size_t OutQueued() const;

  // Line settings: for RFC 2217 sent to the server; for a raw connection only kept. False when
  // they cannot be sent.
  bool SetLine(const DCB& dcb);
  // The settings last set (9600 8N1 before the first).
  DCB Line() const { return line_; }

 private:
  NetLine(UniqueFd fd, NetKind kind) : fd_(std::move(fd)), kind_(kind) {}
  // Sends protocol bytes (commands) in full, waiting briefly for room; false on failure.
  bool SendControl(std::span<const uint8_t> bytes);
  // Sends the bytes waiting from a cut escape; false on failure, true when all are out.
  bool FlushPending();

  UniqueFd fd_;
  NetKind kind_;
  telnet::Decoder decoder_;
  telnet::Negotiator negotiator_;
  std::deque<uint8_t> inbox_;
  std::vector<uint8_t> pendingOut_;
  DCB line_{sizeof(DCB), 9600, 8, NOPARITY, ONESTOPBIT};
  bool ended_ = false;  // the server closed the connection, or it failed
};

}  // namespace platform
