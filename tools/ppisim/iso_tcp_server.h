// The ISO-on-TCP side of the simulated PLC: a listening socket on the loopback interface that
// serves S7 jobs over TPKT and COTP (iso_tcp.h) to any number of clients, each on its own
// connection, and misbehaves on demand. Jobs are executed by the owner (PpiSimulator), so both
// sides share one memory.
//
// A serving thread polls the listening socket and every connection; every public method is
// thread-safe; none throws.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "tools/ppisim/iso_tcp.h"
#include "tools/ppisim/sim_protocol.h"

namespace ppisim {

// How the TCP side is set up.
struct TcpOptions {
  int port = -1;           // -1: no TCP side; 0: any free port (see IsoTcpServer::Port)
  uint16_t pduSize = 240;  // the most this PLC agrees to in setup communication (240..960)
  // Called TSAPs accepted: connection type 1..3 in the high byte and one of these rack × 32 + slot
  // values in the low byte. Any other TSAP is refused with a disconnect request.
  std::vector<uint8_t> rackSlots = {0x00, 0x01, 0x02};
};

// A misbehaviour of the TCP side for the coming jobs (setup communication included).
enum class TcpFaultKind {
  kNone,
  kSilence,         // the job is not executed and gets no reply; the connection stays
  kDelay,           // the reply follows `delayMs` late
  kDrop,            // the connection is closed instead of the reply; the job is not executed
  kCut,             // the job is executed, the first `cutAfter` bytes of the reply are sent, then
                    // the connection is closed
  kItemError,       // the job is not executed; every item is answered with `returnCode`
  kWrongReference,  // the reply carries another PDU reference (+ 1)
};

struct TcpFault {
  TcpFaultKind kind = TcpFaultKind::kNone;
  int count = 1;  // jobs still to affect, or kAlways
  int delayMs = 200;
  uint8_t returnCode = kRcObjectDoesNotExist;
  size_t cutAfter = 10;
};

// The lower-case name of a TCP fault kind ("silence", "delay", "drop", "cut", "itemerror",
// "wrongref").
const char* TcpFaultKindName(TcpFaultKind kind);
// Parses "KIND [COUNT|always [ARG]]" (ARG: delay ms, cut byte count, item error return code) or
// "off"; false with a reason.
[[nodiscard]] bool ParseTcpFault(std::string_view text, TcpFault* fault, std::string* error);

struct TcpCounters {
  uint64_t connections = 0;  // accepted
  uint64_t refused = 0;      // connection requests refused for their TSAP
  uint64_t setups = 0;
  uint64_t jobs = 0;   // read and write jobs answered or faulted
  uint64_t items = 0;  // their items
  uint64_t faults = 0;
};

class IsoTcpServer {
 public:
  // Executes one item against the memory; the second argument is the largest read the reply
  // has room for.
  using Executor = std::function<ItemResult(const Job&, size_t)>;
  // Logs one received (tag "TCP-RX") or sent ("TCP-TX") packet, or a note ("TCP").
  using Logger = std::function<void(const char*, std::span<const uint8_t>, std::string_view)>;

  IsoTcpServer(TcpOptions options, Executor execute, Logger log);
  ~IsoTcpServer();
  IsoTcpServer(const IsoTcpServer&) = delete;
  IsoTcpServer& operator=(const IsoTcpServer&) = delete;

  // Listens on 127.0.0.1 and starts serving; false with a reason.
  [[nodiscard]] bool Start(std::string* error);
  // Closes every connection and the listening socket. Safe to call more than once.
  void Stop();
  // The port listened on; 0 when not serving.
  uint16_t Port() const { return port_; }

  void SetFault(const TcpFault& fault);
  TcpFault CurrentFault() const;
  TcpCounters GetCounters() const;

 private:
  struct Connection {
    platform::UniqueFd fd;
    TpktScanner scanner;
    bool open = false;     // COTP connection confirmed
    uint16_t pduSize = 0;  // agreed in setup communication; 0 before it
    bool closing = false;  // drop after this round
  };

  void Serve();
  void HandleInput(Connection& c);
  void HandlePacket(Connection& c, std::span<const uint8_t> packet);
  void HandleJob(Connection& c, std::span<const uint8_t> pdu);
  TcpFault TakeFault();
  void Send(Connection& c, std::span<const uint8_t> bytes);
  // Sleeps `ms` or until Stop(); false when stopped.
  bool Sleep(int ms);

  const TcpOptions options_;
  const Executor execute_;
  const Logger log_;

  mutable std::mutex mu_;  // fault and counters
  TcpFault fault_;
  TcpCounters counters_;

  std::atomic<uint16_t> port_{0};
  std::atomic<bool> stop_{false};
  platform::UniqueFd listen_, wakeRead_, wakeWrite_;
  std::thread thread_;
  std::vector<Connection> connections_;  // serving thread only
};

}  // namespace ppisim
