// The driver's two kinds of line: one serial line (RTU or ASCII framing, opened on first use with
// the port's settings) and a set of TCP connections, one per host and port. Both run one request
// at a time: frame the request PDU, send it, wait (sleeping in poll, so a pending answer costs no
// CPU) until the framing says the answer is whole or the time-out passes, check the frame, and
// hand back the answer PDU. Neither takes a lock: the driver object is called from one thread at
// a time.
//
//   modbus::SerialLink line;
//   line.Configure(settings);                      // a copy is kept; nothing is opened yet
//   std::vector<uint8_t> answer;
//   if (line.Transact(modbus::Framing::kRtu, 1, requestPdu, answer) == modbus::LinkStatus::kOk)
//     ... CheckReply(requestPdu, answer) ...
//
//   modbus::TcpLinks net;
//   modbus::TcpEndpoint at{"127.0.0.1", 502};
//   net.Transact(at, 1, requestPdu, answer, 1000);
#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "common/records.h"
#include "drivers/modbus/modbus_framing.h"
#include "platform/win_types.h"

namespace modbus {

enum class LinkStatus {
  kOk,
  kNoLine,        // the serial line cannot be opened / the host cannot be resolved or connected
  kSendFailed,    // the request did not go out completely within the time-out
  kTimeout,       // no whole answer before the time-out (silent peer, or a cut answer)
  kBadFrame,      // a whole frame arrived but failed its checksum or is malformed
  kWrongUnit,     // a whole frame arrived from another unit
  kNotSupported,  // a framing this link does not carry (TCP on the serial line, say)
};

// Sees every frame that goes out or comes in, whole or as far as it arrived, for a frame monitor.
// `sent` is true for a request. Called on the driver's thread; must not call back into the link.
using FrameMonitor = std::function<void(bool sent, std::span<const uint8_t> frame)>;

// Time-out used when the port's settings give 0 ms.
inline constexpr int kDefaultTimeoutMs = 1000;
// Lowest and highest baud rate the serial line accepts.
inline constexpr int32_t kMinBaudRate = 300;
inline constexpr int32_t kMaxBaudRate = 115200;

// The silent interval that must separate two RTU frames on a line of `baud` bits per second with
// `bitsPerChar` bits a character (start + data + parity + stop): 3.5 characters, and a fixed
// 1750 us above 19200 baud.
std::chrono::microseconds RtuSilentInterval(int32_t baud, int bitsPerChar);

class SerialLink {
 public:
  SerialLink();
  ~SerialLink();  // closes the line
  SerialLink(const SerialLink&) = delete;
  SerialLink& operator=(const SerialLink&) = delete;

  // Keeps a copy of the settings (port name, baud, byte size, parity, stop bits, time-out) for the
  // next open; closes a line held under older settings (a line opened here under the same port and
  // line settings stays open; a line taken with Attach is always let go). False (and nothing
  // changes) when the baud rate is outside kMinBaudRate..kMaxBaudRate.
  bool Configure(const CommSettings& settings);
  // Closes the line; the settings stay, so the next Transact opens it again.
  void Close();
  // Takes a second handle of an open serial port (DuplicateSerialHandle) as the line, without
  // configuring it (its character timing is read back from the port); a line held before is
  // closed. False, with no line held, for a handle that is not an open port. The port's
  // time-outs are set for each request and put back afterwards, so its owner keeps its own.
  bool Attach(HANDLE port);
  // The line's handle, INVALID_HANDLE_VALUE while it is not open.
  HANDLE Handle() const;
  bool IsOpen() const;

  // The time-out of one request in ms: the settings' timeoutMs read as unsigned, or
  // kDefaultTimeoutMs for 0.
  int TimeoutMs() const;

  // One request: opens the line if needed (a line that cannot be opened gives kNoLine and is tried
  // again at the next call), discards anything queued, waits until the line has been quiet long
  // enough (below), sends the frame of `pdu` for `unit`, and collects the answer for at most
  // TimeoutMs(). On kOk `answer` holds the answer PDU (still to be checked with CheckReply).
  // Quiet before a request, counted from the last byte sent or received: the RTU silent interval
  // of 3.5 characters (both framings) after a clean answer; after a fault (a bad or foreign
  // frame, bytes around an answer or while no request was pending, a refused answer, a cut send)
  // the guard, 3.5 characters and 5 ms more; after a time-out a quarter of the time-out (at most
  // 250 ms, at least the guard) counted from the time-out. Bytes that arrive during the wait are
  // discarded and start it again, so a late or repeated answer is never taken for the next one.
  // kNotSupported for Framing::kTcp; kSendFailed for an empty or oversized PDU.
  // The answer's time-out counts from when the request has left the line at its baud rate, and
  // grows by the line time of the bytes that arrive (up to one longest frame), so a long answer
  // at a low rate is not cut short. A port that fails under the link (unplugged, hung up) is
  // closed, so the next call opens it again.
  LinkStatus Transact(Framing framing, uint8_t unit, std::span<const uint8_t> pdu,
                      std::vector<uint8_t>& answer);

  // The answer of the last Transact was refused by its check (wrong function, byte count or
  // echo): it may belong to another request, so the guard applies before the next one.
  void AnswerRefused();

  void SetMonitor(FrameMonitor monitor);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Where a TCP device listens.
struct TcpEndpoint {
  std::string host;  // numeric IPv4 or IPv6 address, or a host name
  uint16_t port = 502;
};

class TcpLinks {
 public:
  TcpLinks();
  ~TcpLinks();  // closes every connection
  TcpLinks(const TcpLinks&) = delete;
  TcpLinks& operator=(const TcpLinks&) = delete;

  // One request to `at`: connects first when no connection to that host and port is held
  // (non-blocking connect and name lookup, both within the time-out), sends the MBAP frame of
  // `pdu` with the next transaction id and collects the answer with that id for at most
  // `timeoutMs` in all (kDefaultTimeoutMs for 0 or less). Answers with another transaction id
  // (late answers to an earlier request, to this unit or another behind the same gateway) are
  // skipped. A time-out with nothing of an answer received, or a whole answer from another unit,
  // keeps the connection: one silent unit behind a gateway does not cut the others off. Any
  // other failure (a send cut short, a frame cut off or malformed) closes it, so the next
  // request reconnects; a kept connection the device has closed meanwhile is replaced before the
  // request is sent. kNoLine also when the device closes or resets the connection before its
  // answer is whole; kSendFailed for an empty or oversized PDU.
  LinkStatus Transact(const TcpEndpoint& at, uint8_t unit, std::span<const uint8_t> pdu,
                      std::vector<uint8_t>& answer, int timeoutMs);
  // Closes every connection.
  void CloseAll();
  // Number of connections held (for tests).
  size_t ConnectionCount() const;

  void SetMonitor(FrameMonitor monitor);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

}  // namespace modbus
