// A PLC on a pseudo-terminal that answers the PPI protocol, for driver tests and demonstrations.
//
//   ppisim::PpiSimulator sim;              // station 2, no line-speed emulation
//   if (!sim.Start()) FAIL() << sim.LastError();
//   sim.SetValue(loc, ppisim::ValueType::kWord, "1234", &error);
//   OpenDriverOn(sim.SlavePath());         // the client opens the slave side
//   sim.SetFault({.kind = ppisim::FaultKind::kBadFcs});  // the next exchange's reply is broken
//   ...
//   sim.Stop();                            // also done by the destructor
//
// A serving thread reads the master side of the pseudo-terminal, answers jobs addressed to the
// served stations with the short acknowledgement E5 and the reply on the following request for
// data, logs every frame, and misbehaves on demand. Every public method is thread-safe; none
// throws.
#pragma once

#include <array>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <span>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

#include "platform/unique_fd.h"
#include "tools/ppisim/iso_tcp_server.h"
#include "tools/ppisim/sim_memory.h"
#include "tools/ppisim/sim_protocol.h"

namespace ppisim {

using platform::UniqueFd;

// How the simulator is set up; fixed once Start() has been called.
struct Options {
  std::vector<uint8_t> stations = {2};  // station addresses served, each with its own memory
  int baud = 0;                         // > 0: pace sent bytes and account received ones at 11 bits
                                        // per character; 0: no line-speed emulation
  int turnaroundMs = 2;                 // pause between a frame's last byte and the answer
  int idleResyncMs = 50;                // a partial frame this long without new bytes is garbage
  FILE* logStream = nullptr;            // also write each log line here (stderr, a file)
  size_t logCapacity = 10000;           // lines kept for LogLines(); older lines are dropped
  // Data blocks (number 2..65535, size in bytes) each station's memory has besides V (DB 1).
  std::vector<std::pair<uint16_t, size_t>> dataBlocks = {};
  // The ISO-on-TCP side (off unless tcp.port >= 0). It serves the memory of the first station.
  TcpOptions tcp = {};
};

// A misbehaviour for the coming exchanges.
enum class FaultKind {
  kNone,
  kSilence,         // the job gets no acknowledgement and is not executed
  kNoReply,         // the job is acknowledged and executed, the request for data gets nothing
  kWrongAck,        // the job gets `bytes` instead of E5 and is not executed
  kBadFcs,          // the reply's FCS is off by one
  kItemError,       // the job is not executed; the reply carries `returnCode`
  kSplitReply,      // the reply pauses `pauseMs` after its first `splitAfter` bytes
  kTruncatedReply,  // the reply loses its last `drop` bytes (at least one byte is sent)
  kNoise,           // `bytes` are sent just before the reply
  kWrongSource,     // the reply names another station as its source (SA + 1)
  kOtherMaster,     // the reply is addressed to another master (DA + 1)
  kWrongReference,  // the reply carries another PDU reference (+ 1)
  kBusy,            // the first `polls` requests for data get E5 (not ready), then the reply
};

// One fault and the exchanges it lasts for. An exchange is a job addressed to a served station
// (acknowledgement and reply) or a status request; faults that cannot apply to a status request
// (item error) leave it alone and are not used up by it.
struct Fault {
  FaultKind kind = FaultKind::kNone;
  int count = 1;                               // exchanges still to affect, or kAlways
  std::vector<uint8_t> bytes = {};             // kWrongAck (empty: F9) and kNoise (empty: 00 FF 55)
  uint8_t returnCode = kRcObjectDoesNotExist;  // kItemError
  size_t splitAfter = 5;                       // kSplitReply
  int pauseMs = 40;                            // kSplitReply
  size_t drop = 2;                             // kTruncatedReply
  int polls = 1;                               // kBusy
};

// The lower-case name of a fault kind ("silence", "noreply", "wrongack", ...).
const char* FaultKindName(FaultKind kind);

// What the simulator has seen and done since it was created or the counters were reset.
struct Counters {
  uint64_t bytesReceived = 0;
  uint64_t frames = 0;        // valid frames, whatever station they address
  uint64_t garbageBytes = 0;  // bytes that belonged to no valid frame
  uint64_t ignored = 0;       // valid frames for a served station that were not understood
  uint64_t jobs = 0;          // jobs acknowledged with E5 (an itemerror fault refuses them)
  uint64_t reads = 0;
  uint64_t writes = 0;  // including user-data bit writes
  uint64_t userDataWrites = 0;
  uint64_t statusRequests = 0;
  uint64_t dataRequests = 0;
  uint64_t replies = 0;                             // reply frames and status answers sent
  uint64_t faults = 0;                              // exchanges a fault was applied to
  std::array<uint64_t, kAreaCount> readsByArea{};   // V, I, Q, M, SM, S, AI, AQ
  std::array<uint64_t, kAreaCount> writesByArea{};  // V, I, Q, M, SM, S, AI, AQ
};

// Selects the station for memory access: writes go to every served station, reads come from
// the first.
inline constexpr int kDefaultStation = -1;

// One or more PLC stations behind one pseudo-terminal (see the top of this file).
class PpiSimulator {
 public:
  // Keeps the options and creates each station's zeroed memory; nothing is opened until Start().
  explicit PpiSimulator(Options options = {});
  // Stops serving if still running.
  ~PpiSimulator();
  PpiSimulator(const PpiSimulator&) = delete;
  PpiSimulator& operator=(const PpiSimulator&) = delete;

  // Opens a pseudo-terminal and starts serving it. False with LastError() set when the
  // pseudo-terminal cannot be set up, the options are invalid or it is already running.
  [[nodiscard]] bool Start();
  // Stops serving, waits for the serving thread and closes the pseudo-terminal. Safe to call
  // more than once.
  void Stop();
  // True between a successful Start() and Stop().
  bool Running() const;
  // The path a client opens ("/dev/pts/7"); empty when not running.
  std::string SlavePath() const;
  // Why the last Start() failed.
  std::string LastError() const;

  // Stores raw bytes; false when a station is not served or the range leaves the area.
  [[nodiscard]] bool SetBytes(Area area, uint32_t address, std::span<const uint8_t> bytes,
                              int station = kDefaultStation);
  // Reads raw bytes; false when the station is not served or the range leaves the area.
  [[nodiscard]] bool GetBytes(Area area, uint32_t address, std::span<uint8_t> out,
                              int station = kDefaultStation);
  // Stores a value given as text (sim_memory.h's StoreValue); false with a reason.
  [[nodiscard]] bool SetValue(const Location& location, ValueType type, std::string_view text,
                              std::string* error, int station = kDefaultStation);
  // Reads a value as text (sim_memory.h's LoadValue); false with a reason.
  [[nodiscard]] bool GetValue(const Location& location, ValueType type, size_t stringLength,
                              std::string* text, std::string* error, int station = kDefaultStation);
  // Adds a moving value, written into every station's memory before each read.
  void AddGenerator(const Generator& generator);

  // Replaces the active fault (kNone or count 0 clears it).
  void SetFault(const Fault& fault);
  // Removes the active fault.
  void ClearFault();
  // The active fault with its remaining count; kind kNone when there is none.
  Fault CurrentFault() const;

  // The ISO-on-TCP side: the port it listens on (0 when off), its fault and its counters.
  uint16_t TcpPort() const;
  void SetTcpFault(const TcpFault& fault);
  TcpFault CurrentTcpFault() const;
  TcpCounters GetTcpCounters() const;

  // A snapshot of the counters.
  Counters GetCounters() const;
  // Sets every counter to 0.
  void ResetCounters();

  // The kept log lines, oldest first: "<monotonic ms> RX|TX|-- <hex bytes or note>".
  std::vector<std::string> LogLines() const;
  // Adds a note to the log (the program logs control commands this way).
  void LogNote(std::string_view text);

 private:
  // The reply to a station's last job. It stays after it was sent: a master that polls again
  // (its copy was garbled on the line) gets the same reply again, until the next job.
  struct Pending {
    std::vector<uint8_t> reply;
    Fault fault;
    int busyLeft = 0;  // polls still to answer with E5 (fault busy)
    bool sent = false;
  };

  void Serve();
  void HandleChunk(const Chunk& chunk);
  void HandleSd1(std::span<const uint8_t> frame);
  void HandleSd2(std::span<const uint8_t> frame);
  // The fault for a new exchange, used up by one; kNone when none applies.
  Fault TakeFault(bool statusRequest);
  // Sends an answer after the turnaround, with the fault's changes to a reply applied.
  void SendReply(std::vector<uint8_t> reply, const Fault& fault);
  // Sends bytes paced at the line speed; a pause of `pauseNs` follows the first `splitAt`.
  void Transmit(std::span<const uint8_t> bytes, size_t splitAt, int64_t pauseNs);
  bool WriteAll(std::span<const uint8_t> bytes);
  // Sleeps until the monotonic deadline (ns) or until Stop(); false when stopped.
  bool SleepUntil(int64_t deadlineNs);
  void Log(const char* tag, std::span<const uint8_t> bytes, std::string_view note = {});
  bool Serves(uint8_t station) const;
  // Runs `f(memory)` for the selected station(s); false when a station is not served.
  template <typename F>
  bool ForStations(int station, bool allForDefault, F&& f);
  // Moves SM0.0 (always on), SM0.4 (minute clock) and SM0.5 (second clock) and runs the
  // generators, in every station's memory. Under mu_.
  void RunGenerators();

  const Options options_;
  const int64_t charNs_;  // time of one 11-bit character at the line speed; 0 without emulation
  const int64_t createdNs_;

  mutable std::mutex mu_;  // memory, generators, fault, counters, slave path, last error
  std::map<uint8_t, Memory> memory_;
  std::vector<Generator> generators_;
  Fault fault_;
  Counters counters_;
  std::string slavePath_;
  std::string lastError_;

  mutable std::mutex logMu_;
  std::deque<std::string> log_;

  std::mutex runMu_;  // serialises Start() and Stop()
  std::atomic<bool> running_{false};
  std::atomic<bool> stop_{false};
  UniqueFd master_;
  UniqueFd slaveHold_;  // keeps the slave side open so the master never sees a hang-up
  UniqueFd wakeRead_, wakeWrite_;
  std::thread thread_;

  // Executes an item of the TCP side in the first station's memory, counted like a PPI job.
  ItemResult ExecuteTcpItem(const Job& job, size_t maxReadBytes);
  std::unique_ptr<IsoTcpServer> tcp_;  // exists while running with a TCP side

  // Serving thread only.
  FrameScanner scanner_;
  std::map<uint8_t, Pending> pending_;
  int64_t rxLineEndNs_ = 0;  // when the last received byte could have finished arriving
  int64_t lastRxNs_ = 0;
};

}  // namespace ppisim
