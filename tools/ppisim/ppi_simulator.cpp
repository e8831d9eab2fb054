#include "tools/ppisim/ppi_simulator.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>

namespace ppisim {
namespace {

constexpr int64_t kNsPerMs = 1000000;
// Longest single sleep, so that Stop() is noticed promptly even during a long paced reply.
constexpr int64_t kSleepSliceNs = 20 * kNsPerMs;
// How long a blocked output (no client reading) may hold up the serving thread.
constexpr int kOutputBlockedMs = 1000;

int64_t NowNs() {
  timespec ts;
  clock_gettime(CLOCK_MONOTONIC, &ts);
  return int64_t{ts.tv_sec} * 1000000000 + ts.tv_nsec;
}

std::string Hex(std::span<const uint8_t> bytes) {
  static const char kDigits[] = "0123456789ABCDEF";
  std::string text;
  text.reserve(bytes.size() * 3);
  for (uint8_t b : bytes) {
    if (!text.empty())
      text.push_back(' ');
    text.push_back(kDigits[b >> 4]);
    text.push_back(kDigits[b & 15]);
  }
  return text;
}

std::string Format(const char* format, auto... args) {
  char text[256];
  std::snprintf(text, sizeof text, format, args...);
  return text;
}

std::string Errno(const char* what) {
  return std::string(what) + ": " + std::strerror(errno);
}

bool MakeRaw(int fd) {
  termios tio;
  if (tcgetattr(fd, &tio) != 0)
    return false;
  cfmakeraw(&tio);
  return tcsetattr(fd, TCSANOW, &tio) == 0;
}

}  // namespace

const char* FaultKindName(FaultKind kind) {
  switch (kind) {
    case FaultKind::kNone:
      return "none";
    case FaultKind::kSilence:
      return "silence";
    case FaultKind::kNoReply:
      return "noreply";
    case FaultKind::kWrongAck:
      return "wrongack";
    case FaultKind::kBadFcs:
      return "badfcs";
    case FaultKind::kItemError:
      return "itemerror";
    case FaultKind::kSplitReply:
      return "split";
    case FaultKind::kTruncatedReply:
      return "truncate";
    case FaultKind::kNoise:
      return "noise";
    case FaultKind::kWrongSource:
      return "wrongsource";
    case FaultKind::kOtherMaster:
      return "othermaster";
    case FaultKind::kWrongReference:
      return "wrongref";
    case FaultKind::kBusy:
      return "busy";
  }
  return "?";
}

PpiSimulator::PpiSimulator(Options options)
    : options_(std::move(options)),
      // One character is start bit, 8 data bits, parity and stop bit: 11 bits.
      charNs_(options_.baud > 0 ? int64_t{11} * 1000000000 / options_.baud : 0),
      createdNs_(NowNs()) {
  for (uint8_t station : options_.stations) {
    Memory& memory = memory_[station];
    for (const auto& [db, size] : options_.dataBlocks)
      (void)memory.AddDb(db, size);  // main() and the tests check the numbers and sizes
  }
}

PpiSimulator::~PpiSimulator() {
  Stop();
}

bool PpiSimulator::Start() {
  std::lock_guard<std::mutex> runLock(runMu_);
  auto fail = [this](std::string why) {
    std::lock_guard<std::mutex> lock(mu_);
    lastError_ = std::move(why);
    return false;
  };
  if (thread_.joinable())
    return fail("already running");
  if (options_.stations.empty())
    return fail("no station to serve");
  for (uint8_t station : options_.stations) {
    // 0 is the master's address; 127 is broadcast.
    if (station == 0 || station > 126)
      return fail(Format("station %u is not 1..126", station));
  }
  if (options_.baud < 0 || options_.turnaroundMs < 0 || options_.idleResyncMs <= 0) {
    return fail("baud, turnaround and idle time must not be negative");
  }

  UniqueFd master(posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC));
  if (!master)
    return fail(Errno("posix_openpt"));
  if (grantpt(master.get()) != 0)
    return fail(Errno("grantpt"));
  if (unlockpt(master.get()) != 0)
    return fail(Errno("unlockpt"));
  char name[128];
  if (ptsname_r(master.get(), name, sizeof name) != 0)
    return fail(Errno("ptsname_r"));
  // Raw on the master sets the line discipline's modes for the slave too, so a client that does
  // not configure the port still gets bytes unchanged.
  if (!MakeRaw(master.get()))
    return fail(Errno("raw mode"));
  UniqueFd hold(open(name, O_RDWR | O_NOCTTY | O_CLOEXEC | O_NONBLOCK));
  if (!hold)
    return fail(Errno("open slave"));
  if (!MakeRaw(hold.get()))
    return fail(Errno("raw mode on slave"));
  if (fcntl(master.get(), F_SETFL, fcntl(master.get(), F_GETFL) | O_NONBLOCK) != 0) {
    return fail(Errno("O_NONBLOCK"));
  }
  int pipeFds[2];
  if (pipe2(pipeFds, O_CLOEXEC | O_NONBLOCK) != 0)
    return fail(Errno("pipe2"));
  wakeRead_.reset(pipeFds[0]);
  wakeWrite_.reset(pipeFds[1]);
  master_ = std::move(master);
  slaveHold_ = std::move(hold);

  scanner_ = FrameScanner();
  pending_.clear();
  rxLineEndNs_ = 0;
  lastRxNs_ = 0;
  stop_ = false;
  {
    std::lock_guard<std::mutex> lock(mu_);
    slavePath_ = name;
    lastError_.clear();
  }
  std::string stations;
  for (uint8_t station : options_.stations)
    stations += Format(" %u", station);
  LogNote(Format("serving station(s)%s on %s, baud %d, turnaround %d ms", stations.c_str(), name,
                 options_.baud, options_.turnaroundMs));
  if (options_.tcp.port >= 0) {
    auto tcp = std::make_unique<IsoTcpServer>(
        options_.tcp,
        [this](const Job& job, size_t maxReadBytes) { return ExecuteTcpItem(job, maxReadBytes); },
        [this](const char* tag, std::span<const uint8_t> bytes, std::string_view note) {
          Log(tag, bytes, note);
        });
    std::string why;
    if (!tcp->Start(&why)) {
      master_.reset();
      slaveHold_.reset();
      std::lock_guard<std::mutex> lock(mu_);
      slavePath_.clear();
      lastError_ = why;
      return false;
    }
    tcp_ = std::move(tcp);
  }
  running_ = true;
  thread_ = std::thread(&PpiSimulator::Serve, this);
  return true;
}

ItemResult PpiSimulator::ExecuteTcpItem(const Job& job, size_t maxReadBytes) {
  std::lock_guard<std::mutex> lock(mu_);
  const bool read = job.type == Job::Type::kRead;
  if (read)
    RunGenerators();
  ItemResult result = ExecuteJob(job, memory_.at(options_.stations.front()), maxReadBytes);
  Area area;
  const bool knownArea = AreaFromCode(job.areaCode, &area);
  ++counters_.jobs;
  ++(read ? counters_.reads : counters_.writes);
  if (knownArea)
    ++(read ? counters_.readsByArea : counters_.writesByArea)[AreaIndex(area)];
  return result;
}

uint16_t PpiSimulator::TcpPort() const {
  return tcp_ ? tcp_->Port() : 0;
}

void PpiSimulator::SetTcpFault(const TcpFault& fault) {
  if (tcp_)
    tcp_->SetFault(fault);
}

TcpFault PpiSimulator::CurrentTcpFault() const {
  return tcp_ ? tcp_->CurrentFault() : TcpFault();
}

TcpCounters PpiSimulator::GetTcpCounters() const {
  return tcp_ ? tcp_->GetCounters() : TcpCounters();
}

void PpiSimulator::Stop() {
  std::lock_guard<std::mutex> runLock(runMu_);
  if (!thread_.joinable())
    return;
  if (tcp_)
    tcp_->Stop();
  stop_ = true;
  const char wake = 'x';
  if (write(wakeWrite_.get(), &wake, 1) < 0) {
    // The pipe is non-blocking and read by nobody else, so it can only be full, which wakes the
    // thread just as well.
  }
  thread_.join();
  master_.reset();
  slaveHold_.reset();
  wakeRead_.reset();
  wakeWrite_.reset();
  running_ = false;
  std::lock_guard<std::mutex> lock(mu_);
  slavePath_.clear();
}

bool PpiSimulator::Running() const {
  return running_;
}

std::string PpiSimulator::SlavePath() const {
  std::lock_guard<std::mutex> lock(mu_);
  return slavePath_;
}

std::string PpiSimulator::LastError() const {
  std::lock_guard<std::mutex> lock(mu_);
  return lastError_;
}

bool PpiSimulator::Serves(uint8_t station) const {
  return std::find(options_.stations.begin(), options_.stations.end(), station) !=
         options_.stations.end();
}

template <typename F>
bool PpiSimulator::ForStations(int station, bool allForDefault, F&& f) {
  std::lock_guard<std::mutex> lock(mu_);
  RunGenerators();
  if (memory_.empty())
    return false;
  if (station == kDefaultStation) {
    if (!allForDefault)
      return f(memory_.at(options_.stations.front()));
    bool ok = true;
    for (auto& [number, memory] : memory_)
      ok = f(memory) && ok;
    return ok;
  }
  auto it =
      station >= 0 && station <= 255 ? memory_.find(static_cast<uint8_t>(station)) : memory_.end();
  return it != memory_.end() && f(it->second);
}

bool PpiSimulator::SetBytes(Area area, uint32_t address, std::span<const uint8_t> bytes,
                            int station) {
  return ForStations(station, true,
                     [&](Memory& memory) { return memory.Write(area, address, bytes); });
}

bool PpiSimulator::GetBytes(Area area, uint32_t address, std::span<uint8_t> out, int station) {
  return ForStations(station, false,
                     [&](Memory& memory) { return memory.Read(area, address, out); });
}

bool PpiSimulator::SetValue(const Location& location, ValueType type, std::string_view text,
                            std::string* error, int station) {
  *error = "station not served";
  return ForStations(station, true, [&](Memory& memory) {
    return StoreValue(memory, location, type, text, error);
  });
}

bool PpiSimulator::GetValue(const Location& location, ValueType type, size_t stringLength,
                            std::string* text, std::string* error, int station) {
  *error = "station not served";
  return ForStations(station, false, [&](Memory& memory) {
    return LoadValue(memory, location, type, stringLength, text, error);
  });
}

void PpiSimulator::AddGenerator(const Generator& generator) {
  std::lock_guard<std::mutex> lock(mu_);
  generators_.push_back(generator);
}

void PpiSimulator::RunGenerators() {
  const double seconds = static_cast<double>(NowNs() - createdNs_) / 1e9;
  // The clock bits of SMB0 as the PLC keeps them: SM0.0 always on, SM0.4 off and on for 30 s
  // each, SM0.5 off and on for 0.5 s each. The other bits of SMB0 stay as set.
  const auto millis = static_cast<int64_t>(seconds * 1000);
  const bool minuteOn = millis % 60000 >= 30000;
  const bool secondOn = millis % 1000 >= 500;
  for (auto& [number, memory] : memory_) {
    uint8_t smb0 = 0;
    (void)memory.Read(Area::kSM, 0, std::span<uint8_t>(&smb0, 1));
    smb0 =
        static_cast<uint8_t>((smb0 & ~0x31) | 0x01 | (minuteOn ? 0x10 : 0) | (secondOn ? 0x20 : 0));
    (void)memory.Write(Area::kSM, 0, std::span<const uint8_t>(&smb0, 1));
  }
  for (const Generator& generator : generators_) {
    const double value = GeneratorValue(generator, seconds);
    for (auto& [number, memory] : memory_) {
      // ParseGenerator has checked type and place, so this cannot fail.
      (void)StoreNumber(memory, generator.location, generator.type, value);
    }
  }
}

void PpiSimulator::SetFault(const Fault& fault) {
  std::lock_guard<std::mutex> lock(mu_);
  fault_ = fault;
  if (fault_.count < 0)
    fault_.count = kAlways;
  if (fault_.count == 0)
    fault_ = Fault();
  if (fault_.kind == FaultKind::kNone)
    fault_ = Fault();
}

void PpiSimulator::ClearFault() {
  std::lock_guard<std::mutex> lock(mu_);
  fault_ = Fault();
}

Fault PpiSimulator::CurrentFault() const {
  std::lock_guard<std::mutex> lock(mu_);
  return fault_;
}

Counters PpiSimulator::GetCounters() const {
  std::lock_guard<std::mutex> lock(mu_);
  return counters_;
}

void PpiSimulator::ResetCounters() {
  std::lock_guard<std::mutex> lock(mu_);
  counters_ = Counters();
}

std::vector<std::string> PpiSimulator::LogLines() const {
  std::lock_guard<std::mutex> lock(logMu_);
  return {log_.begin(), log_.end()};
}

void PpiSimulator::LogNote(std::string_view text) {
  Log("--", {}, text);
}

void PpiSimulator::Log(const char* tag, std::span<const uint8_t> bytes, std::string_view note) {
  // Monotonic milliseconds, the clock a driver's own time-outs run on, so both logs line up.
  std::string line = Format("%.3f %s", static_cast<double>(NowNs()) / kNsPerMs, tag);
  if (!bytes.empty())
    line += " " + Hex(bytes);
  if (!note.empty()) {
    line += bytes.empty() ? " " : "  ; ";
    line += note;
  }
  std::lock_guard<std::mutex> lock(logMu_);
  if (options_.logStream != nullptr) {
    std::fprintf(options_.logStream, "%s\n", line.c_str());
    std::fflush(options_.logStream);
  }
  log_.push_back(std::move(line));
  while (log_.size() > std::max<size_t>(options_.logCapacity, 1))
    log_.pop_front();
}

void PpiSimulator::Serve() {
  std::vector<uint8_t> buffer(4096);
  Chunk chunk;
  const int64_t idleNs = int64_t{options_.idleResyncMs} * kNsPerMs;
  while (!stop_) {
    int timeoutMs = -1;
    bool lineIdle = false;
    if (scanner_.HasPending()) {
      const int64_t left = lastRxNs_ + idleNs - NowNs();
      if (left <= 0) {
        lineIdle = true;
        timeoutMs = 0;
      } else {
        timeoutMs = static_cast<int>((left + kNsPerMs - 1) / kNsPerMs);
      }
    }
    if (!lineIdle) {
      pollfd fds[2] = {{master_.get(), POLLIN, 0}, {wakeRead_.get(), POLLIN, 0}};
      const int ready = poll(fds, 2, timeoutMs);
      if (ready < 0) {
        if (errno == EINTR)
          continue;
        LogNote(Errno("poll"));
        break;
      }
      if (fds[1].revents != 0)
        break;
      if (fds[0].revents & POLLIN) {
        const ssize_t n = read(master_.get(), buffer.data(), buffer.size());
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
          LogNote(Errno("read"));
          break;
        }
        if (n == 0) {
          // End of file on a master whose slave we hold cannot happen; looping on it would spin.
          LogNote("pseudo-terminal closed; serving stopped");
          break;
        }
        if (n > 0) {
          const int64_t now = NowNs();
          // At the emulated line speed these bytes cannot have finished arriving before this.
          rxLineEndNs_ = std::max(rxLineEndNs_, now) + n * charNs_;
          lastRxNs_ = now;
          {
            std::lock_guard<std::mutex> lock(mu_);
            counters_.bytesReceived += static_cast<uint64_t>(n);
          }
          scanner_.Feed(std::span<const uint8_t>(buffer.data(), static_cast<size_t>(n)));
        }
      } else if (fds[0].revents & (POLLHUP | POLLERR | POLLNVAL)) {
        // Cannot happen while the slave is held open; leaving beats spinning on it.
        LogNote("pseudo-terminal hung up; serving stopped");
        break;
      } else if (ready == 0) {
        lineIdle = true;
      }
    }
    while (!stop_ && scanner_.Next(lineIdle, &chunk))
      HandleChunk(chunk);
  }
  running_ = false;
}

void PpiSimulator::HandleChunk(const Chunk& chunk) {
  if (chunk.kind == Chunk::Kind::kGarbage) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      counters_.garbageBytes += chunk.bytes.size();
    }
    Log("RX", chunk.bytes, "no valid frame; ignored");
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++counters_.frames;
  }
  Log("RX", chunk.bytes);
  if (chunk.kind == Chunk::Kind::kSd1) {
    HandleSd1(chunk.bytes);
  } else {
    HandleSd2(chunk.bytes);
  }
}

void PpiSimulator::HandleSd1(std::span<const uint8_t> f) {
  const uint8_t station = f[1];
  const uint8_t master = f[2];
  const uint8_t fc = f[3];
  if (!Serves(station)) {
    LogNote(Format("for station %u, not served", station));
    return;
  }
  if (fc == kStatusFc) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++counters_.statusRequests;
    }
    const Fault fault = TakeFault(true);
    if (fault.kind == FaultKind::kSilence || fault.kind == FaultKind::kNoReply) {
      LogNote(Format("fault %s: status request not answered", FaultKindName(fault.kind)));
      return;
    }
    if (fault.kind == FaultKind::kWrongAck) {
      const std::vector<uint8_t> wrong =
          fault.bytes.empty() ? std::vector<uint8_t>{0xF9} : fault.bytes;
      Transmit(wrong, SIZE_MAX, 0);
      return;
    }
    SendReply(BuildStatusAnswer(master, station), fault);
    return;
  }
  // A request for data: a request (bit 6) of kind send-and-request (low nibble C).
  if ((fc & 0x4F) == 0x4C) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++counters_.dataRequests;
    }
    const uint8_t busy = kShortAck;
    auto it = pending_.find(station);
    if (it == pending_.end()) {
      // Nothing to send: a PLC says so with the short acknowledgement.
      LogNote("request for data with no job pending: E5");
      Transmit(std::span<const uint8_t>(&busy, 1), SIZE_MAX, 0);
      return;
    }
    Pending& pending = it->second;
    if (pending.sent) {
      LogNote("repeated request for data: the same reply again");
      SendReply(pending.reply, Fault());
      return;
    }
    if (pending.busyLeft > 0) {
      --pending.busyLeft;
      LogNote("fault busy: not ready yet, E5");
      Transmit(std::span<const uint8_t>(&busy, 1), SIZE_MAX, 0);
      return;
    }
    pending.sent = true;
    if (pending.fault.kind == FaultKind::kNoReply) {
      LogNote("fault noreply: reply withheld");
      return;
    }
    SendReply(pending.reply, pending.fault);
    return;
  }
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++counters_.ignored;
  }
  LogNote(Format("SD1 with FC 0x%02X not served; ignored", fc));
}

void PpiSimulator::HandleSd2(std::span<const uint8_t> f) {
  const uint8_t station = f[4];
  if (!Serves(station)) {
    LogNote(Format("for station %u, not served", station));
    return;
  }
  Job job;
  std::string why;
  if (!DecodeJob(f, &job, &why)) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      ++counters_.ignored;
    }
    LogNote("ignored: " + why);
    return;
  }
  const Fault fault = TakeFault(false);
  // A new job replaces whatever reply was still waiting for its request for data.
  pending_.erase(station);
  if (fault.kind == FaultKind::kSilence) {
    LogNote("fault silence: job not acknowledged");
    return;
  }
  if (fault.kind == FaultKind::kWrongAck) {
    const std::vector<uint8_t> wrong =
        fault.bytes.empty() ? std::vector<uint8_t>{0xF9} : fault.bytes;
    LogNote("fault wrongack: job not executed");
    Transmit(wrong, SIZE_MAX, 0);
    return;
  }

  ItemResult result;
  Area area;
  const bool knownArea = AreaFromCode(job.areaCode, &area);
  const bool read = job.type == Job::Type::kRead;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (fault.kind == FaultKind::kItemError) {
      result.returnCode = fault.returnCode;
    } else {
      if (read)
        RunGenerators();
      result = ExecuteJob(job, memory_.at(station));
    }
    ++counters_.jobs;
    if (read) {
      ++counters_.reads;
      if (knownArea)
        ++counters_.readsByArea[AreaIndex(area)];
    } else {
      ++counters_.writes;
      if (job.type == Job::Type::kUserDataBitWrite)
        ++counters_.userDataWrites;
      if (knownArea)
        ++counters_.writesByArea[AreaIndex(area)];
    }
  }
  const char* what = read                            ? "read"
                     : job.type == Job::Type::kWrite ? "write"
                                                     : "user-data bit write";
  LogNote(
      Format("%s area 0x%02X db %u bit address %u (byte %u.%u) size 0x%02X count %u: "
             "return code 0x%02X",
             what, job.areaCode, job.db, job.bitAddress, job.bitAddress / 8, job.bitAddress % 8,
             job.transportSize, job.count, result.returnCode));
  pending_[station] = Pending{BuildReply(job, result), fault,
                              fault.kind == FaultKind::kBusy ? std::max(fault.polls, 0) : 0};
  const uint8_t ack = kShortAck;
  Transmit(std::span<const uint8_t>(&ack, 1), SIZE_MAX, 0);
}

Fault PpiSimulator::TakeFault(bool statusRequest) {
  Fault taken;
  {
    std::lock_guard<std::mutex> lock(mu_);
    if (fault_.kind == FaultKind::kNone)
      return taken;
    if (statusRequest && fault_.kind == FaultKind::kItemError)
      return taken;
    taken = fault_;
    if (fault_.count != kAlways && --fault_.count <= 0)
      fault_ = Fault();
    ++counters_.faults;
  }
  LogNote(Format("fault %s applied to this exchange", FaultKindName(taken.kind)));
  return taken;
}

void PpiSimulator::SendReply(std::vector<uint8_t> reply, const Fault& fault) {
  std::vector<uint8_t> out;
  size_t splitAt = SIZE_MAX;
  int64_t pauseNs = 0;
  switch (fault.kind) {
    case FaultKind::kBadFcs:
      reply[reply.size() - 2] = static_cast<uint8_t>(reply[reply.size() - 2] + 1);
      break;
    case FaultKind::kTruncatedReply:
      reply.resize(reply.size() - std::min(fault.drop, reply.size() - 1));
      break;
    case FaultKind::kSplitReply:
      splitAt = std::min(fault.splitAfter, reply.size());
      pauseNs = int64_t{std::max(fault.pauseMs, 0)} * kNsPerMs;
      break;
    case FaultKind::kNoise:
      out = fault.bytes.empty() ? std::vector<uint8_t>{0x00, 0xFF, 0x55} : fault.bytes;
      break;
    case FaultKind::kWrongSource:
    case FaultKind::kOtherMaster:
    case FaultKind::kWrongReference:
      // Another conversation's frame, whole and with a right FCS: only its addresses or its
      // reference tell it apart.
      if (reply.size() > 14 && reply[0] == kSd2) {
        const size_t at = fault.kind == FaultKind::kWrongSource   ? 5
                          : fault.kind == FaultKind::kOtherMaster ? 4
                                                                  : 12;
        reply[at] = static_cast<uint8_t>(reply[at] + 1);
        reply[reply.size() - 2] = Fcs(std::span<const uint8_t>(reply).subspan(4, reply.size() - 6));
      }
      break;
    default:
      break;
  }
  out.insert(out.end(), reply.begin(), reply.end());
  {
    std::lock_guard<std::mutex> lock(mu_);
    ++counters_.replies;
  }
  Transmit(out, splitAt, pauseNs);
}

void PpiSimulator::Transmit(std::span<const uint8_t> bytes, size_t splitAt, int64_t pauseNs) {
  // Never answer before the request could have finished arriving at the line speed, and leave
  // the turnaround gap after it.
  const int64_t start = std::max(NowNs(), rxLineEndNs_) + int64_t{options_.turnaroundMs} * kNsPerMs;
  if (!SleepUntil(start))
    return;
  Log("TX", bytes,
      splitAt < bytes.size() ? Format("pause of %lld ms after %zu bytes",
                                      static_cast<long long>(pauseNs / kNsPerMs), splitAt)
                             : std::string());
  // Byte k is complete on the line one character time after byte k - 1; write it then.
  auto due = [&](size_t k) {
    return start + static_cast<int64_t>(k + 1) * charNs_ + (k >= splitAt ? pauseNs : 0);
  };
  size_t next = 0;
  while (next < bytes.size()) {
    if (!SleepUntil(due(next)))
      return;
    const int64_t now = NowNs();
    size_t end = next + 1;
    while (end < bytes.size() && due(end) <= now)
      ++end;
    if (!WriteAll(bytes.subspan(next, end - next)))
      return;
    next = end;
  }
}

bool PpiSimulator::WriteAll(std::span<const uint8_t> bytes) {
  while (!bytes.empty()) {
    const ssize_t n = write(master_.get(), bytes.data(), bytes.size());
    if (n > 0) {
      bytes = bytes.subspan(static_cast<size_t>(n));
      continue;
    }
    if (n < 0 && errno == EINTR)
      continue;
    if (n < 0 && errno != EAGAIN) {
      LogNote(Errno("write"));
      return false;
    }
    // The slave's input queue is full: nobody reads. Wait a while, then give the bytes up.
    pollfd fds[2] = {{master_.get(), POLLOUT, 0}, {wakeRead_.get(), POLLIN, 0}};
    const int ready = poll(fds, 2, kOutputBlockedMs);
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready <= 0 || fds[1].revents != 0) {
      if (ready == 0)
        LogNote(Format("output blocked; %zu bytes dropped", bytes.size()));
      return false;
    }
  }
  return true;
}

bool PpiSimulator::SleepUntil(int64_t deadlineNs) {
  while (!stop_) {
    const int64_t now = NowNs();
    if (now >= deadlineNs)
      return true;
    const int64_t until = std::min(deadlineNs, now + kSleepSliceNs);
    timespec ts{static_cast<time_t>(until / 1000000000), static_cast<long>(until % 1000000000)};
    // Absolute deadlines: an early wake-up or EINTR simply sleeps again towards the same point.
    clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr);
  }
  return false;
}

}  // namespace ppisim
