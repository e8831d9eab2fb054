#include <algorithm>
#include <array>
#include <cstring>
#include <string>

#include "drivers/modbus/modbus_link.h"
#include "platform/serial_port.h"

namespace modbus {
namespace {

using Clock = std::chrono::steady_clock;

// Above this rate the silent interval is fixed instead of 3.5 character times.
constexpr int32_t kFixedIntervalAboveBaud = 19200;
constexpr std::chrono::microseconds kFixedSilentInterval{1750};
// What the guard after a fault adds to the silent interval: the line must stay quiet a little
// longer than any gap inside a frame, timer granularity included.
constexpr std::chrono::microseconds kGuardMargin{5000};
// After a time-out the device may still be working on the request: the line must stay quiet for
// a quarter of the time-out, up to this much, before the next request goes out.
constexpr std::chrono::milliseconds kMaxQuietAfterTimeout{250};
constexpr DWORD kQueueSize = 1024;

// Bytes on the line that no answer could need: stale input, or noise ahead of an ASCII ":".
// Twice the longest frame, so a whole ASCII answer always fits behind what is kept of the noise.
constexpr size_t kReceiveBufferSize = 2 * kMaxFrame;

// Whole milliseconds to wait for `left`, rounded up (a port time-out of 0 would mean "do not
// wait"), clamped so it fits the port's time-out fields.
DWORD WaitMs(Clock::duration left) {
  const auto ms = std::chrono::ceil<std::chrono::milliseconds>(left).count();
  return static_cast<DWORD>(std::clamp<int64_t>(ms, 1, 0x7FFFFFFF));
}

// Bits one character takes on the line: start bit, data bits, parity bit, stop bits.
int BitsPerChar(const DCB& dcb) {
  return 1 + dcb.ByteSize + (dcb.Parity != NOPARITY ? 1 : 0) +
         (dcb.StopBits == TWOSTOPBITS ? 2 : 1);
}

// The line settings a CommSettings record asks for.
DCB DcbOf(const CommSettings& s) {
  DCB dcb{};
  dcb.DCBlength = sizeof(DCB);
  dcb.BaudRate = static_cast<DWORD>(s.baudRate);
  dcb.ByteSize = static_cast<BYTE>(s.dataBits & 0xFF);
  dcb.Parity = static_cast<BYTE>(s.parity & 0xFF);
  dcb.StopBits = s.stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  return dcb;
}

// True when two records ask for the same port under the same line settings (the time-out does
// not need a new open).
bool SameLine(const CommSettings& a, const CommSettings& b) {
  const DCB x = DcbOf(a), y = DcbOf(b);
  return strncmp(a.portName, b.portName, sizeof a.portName) == 0 && x.BaudRate == y.BaudRate &&
         x.ByteSize == y.ByteSize && x.Parity == y.Parity && x.StopBits == y.StopBits;
}

LinkStatus StatusOf(FrameCheck check) {
  switch (check) {
    case FrameCheck::kOk:
      return LinkStatus::kOk;
    case FrameCheck::kWrongUnit:
      return LinkStatus::kWrongUnit;
    case FrameCheck::kBadChecksum:
    case FrameCheck::kWrongTransaction:  // carries no meaning on a serial line
    case FrameCheck::kMalformed:
      break;
  }
  return LinkStatus::kBadFrame;
}

// Sets the port's time-outs for one request and puts back what it found when the request ends:
// a line shared through Attach keeps the time-outs its owner relies on.
class TimeoutsGuard {
 public:
  explicit TimeoutsGuard(HANDLE port) : port_(port) {
    savedOk_ = platform::GetCommTimeouts(port, &saved_) != FALSE;
  }
  ~TimeoutsGuard() {
    if (savedOk_)
      platform::SetCommTimeouts(port_, &saved_);
  }
  TimeoutsGuard(const TimeoutsGuard&) = delete;
  TimeoutsGuard& operator=(const TimeoutsGuard&) = delete;

  // A read that returns at once with whatever is queued, possibly nothing.
  bool ReadAtOnce() {
    const COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, 0};
    return platform::SetCommTimeouts(port_, &t) != FALSE;
  }
  // A read that returns what is queued at once, or else waits up to `ms` for the first byte and
  // returns with it.
  bool ReadWaitingUpTo(DWORD ms) {
    const COMMTIMEOUTS t = {MAXDWORD, MAXDWORD, ms, 0, 0};
    return platform::SetCommTimeouts(port_, &t) != FALSE;
  }
  // A write that may take up to `ms` in all.
  bool WriteWithin(DWORD ms) {
    const COMMTIMEOUTS t = {MAXDWORD, 0, 0, 0, ms};
    return platform::SetCommTimeouts(port_, &t) != FALSE;
  }

 private:
  HANDLE port_;
  COMMTIMEOUTS saved_{};
  bool savedOk_ = false;
};

}  // namespace

std::chrono::microseconds RtuSilentInterval(int32_t baud, int bitsPerChar) {
  if (baud <= 0 || baud > kFixedIntervalAboveBaud)
    return kFixedSilentInterval;
  const int64_t bits = std::max(bitsPerChar, 1);
  // 3.5 characters = 7 * bits / (2 * baud) seconds, rounded up to the next microsecond.
  const int64_t numerator = 7 * bits * 1000000;
  const int64_t denominator = 2 * int64_t{baud};
  return std::chrono::microseconds((numerator + denominator - 1) / denominator);
}

struct SerialLink::State {
  CommSettings settings{};
  bool configured = false;
  platform::SerialHandle port;
  // The line was taken from another owner through Attach rather than opened here.
  bool attached = false;
  // Timing of the line in use (from its settings, or read back from an attached port).
  std::chrono::microseconds charTime{0};
  std::chrono::microseconds silentInterval{kFixedSilentInterval};
  // When the line last carried a byte, as far as this link knows (the end of a sent frame counts
  // from when its last character has left at line speed).
  Clock::time_point lastTraffic{};
  // How long the line must have been quiet since lastTraffic before the next request is sent:
  // the silent interval after a clean answer, the guard after a fault (see Guard).
  Clock::duration quietNeeded{0};
  FrameMonitor monitor;
  std::array<uint8_t, kReceiveBufferSize> received{};

  void TakeTiming(const DCB& dcb) {
    const int bits = BitsPerChar(dcb);
    const int32_t baud = static_cast<int32_t>(std::min<DWORD>(dcb.BaudRate, 0x7FFFFFFF));
    charTime = baud > 0 ? std::chrono::microseconds(int64_t{bits} * 1000000 / baud)
                        : std::chrono::microseconds(0);
    silentInterval = RtuSilentInterval(baud, bits);
    // Traffic may have been on the line before we could watch it.
    lastTraffic = Clock::now();
    quietNeeded = Guard();
  }

  // The quiet time required after a fault (a time-out, a refused answer, a byte nobody asked
  // for): 3.5 characters (the RTU silent interval) and kGuardMargin more, whatever the framing.
  Clock::duration Guard() const { return silentInterval + kGuardMargin; }

  // Requires the guard before the next request, counting from the last byte seen.
  void Distrust() { quietNeeded = std::max(quietNeeded, Guard()); }

  bool Open() {
    if (!configured)
      return false;
    const std::string name(settings.portName, strnlen(settings.portName, sizeof settings.portName));
    platform::SerialHandle opened(platform::OpenSerialPort(name.c_str()));
    if (!opened)
      return false;
    platform::SetupComm(opened.get(), kQueueSize, kQueueSize);
    const DCB dcb = DcbOf(settings);
    if (!platform::SetCommState(opened.get(), &dcb))
      return false;  // closes with `opened`
    platform::PurgeComm(opened.get(), PURGE_RXCLEAR | PURGE_TXCLEAR);
    port = std::move(opened);
    attached = false;
    TakeTiming(dcb);
    return true;
  }

  void Report(bool sent, std::span<const uint8_t> frame) const {
    if (monitor && !frame.empty())
      monitor(sent, frame);
  }

  // Takes whatever waits in the input queue while no request is pending: stale bytes (a late or
  // repeated answer, noise). They are discarded and shown to the monitor, and the guard starts
  // again from now. False when the port fails.
  bool DiscardQueued(TimeoutsGuard& timeouts) {
    std::array<uint8_t, 256> discard{};
    for (;;) {
      DWORD got = 0;
      if (!timeouts.ReadAtOnce() ||
          !platform::ReadFile(port.get(), discard.data(), discard.size(), &got, nullptr))
        return false;
      if (got == 0)
        return true;
      Report(false, std::span<const uint8_t>(discard.data(), got));
      lastTraffic = Clock::now();
      Distrust();
    }
  }

  // Waits until the line has been quiet for `quietNeeded` (at least `minimum`) since the last
  // traffic, discarding whatever arrives meanwhile (the late end of an earlier answer, say):
  // such bytes count as traffic and call for the guard. False when the line does not go quiet
  // before `deadline` or the port fails (`*portFailed` then).
  bool WaitQuietLine(TimeoutsGuard& timeouts, Clock::duration minimum, Clock::time_point deadline,
                     bool* portFailed) {
    std::array<uint8_t, 256> discard{};
    for (;;) {
      const Clock::time_point quietAt = lastTraffic + std::max(minimum, quietNeeded);
      const Clock::time_point now = Clock::now();
      if (now >= quietAt)
        return true;
      if (now >= deadline)
        return false;
      DWORD got = 0;
      if (!timeouts.ReadWaitingUpTo(WaitMs(std::min(quietAt, deadline) - now)) ||
          !platform::ReadFile(port.get(), discard.data(), discard.size(), &got, nullptr)) {
        *portFailed = true;
        return false;
      }
      if (got > 0) {
        Report(false, std::span<const uint8_t>(discard.data(), got));
        lastTraffic = Clock::now();
        Distrust();
      }
    }
  }

  // Writes all of `frame` before `deadline`; *sent = bytes that went out. False on a time-out or
  // a failed port (`*portFailed` then).
  bool Send(TimeoutsGuard& timeouts, std::span<const uint8_t> frame, Clock::time_point deadline,
            size_t* sent, bool* portFailed) {
    size_t done = 0;
    while (done < frame.size()) {
      const Clock::time_point now = Clock::now();
      if (now >= deadline)
        break;
      if (!timeouts.WriteWithin(WaitMs(deadline - now))) {
        *portFailed = true;
        break;
      }
      DWORD written = 0;
      const BOOL ok =
          platform::WriteFile(port.get(), frame.data() + done,
                              static_cast<DWORD>(frame.size() - done), &written, nullptr);
      // A write cut short by the time-out is continued, never restarted: repeating the head of
      // a frame would put garbage on the line.
      done += written;
      if (!ok && written == 0) {
        // Either the deadline passed or the device failed; a dead device would otherwise make
        // this loop spin until the deadline.
        *portFailed = Clock::now() < deadline;
        break;
      }
    }
    *sent = done;
    return done == frame.size();
  }
};

SerialLink::SerialLink() : state_(std::make_unique<State>()) {}

SerialLink::~SerialLink() = default;

bool SerialLink::Configure(const CommSettings& settings) {
  if (settings.baudRate < kMinBaudRate || settings.baudRate > kMaxBaudRate)
    return false;
  State& s = *state_;
  // A line held under other settings, or taken from another owner, no longer matches what the
  // settings ask for.
  if (s.port && (s.attached || !s.configured || !SameLine(s.settings, settings)))
    Close();
  s.settings = settings;
  s.configured = true;
  return true;
}

void SerialLink::Close() {
  state_->port.reset();
  state_->attached = false;
}

bool SerialLink::Attach(HANDLE port) {
  // Our own reference first, so attaching the handle this link already holds keeps the port.
  platform::SerialHandle shared(platform::DuplicateSerialHandle(port));
  Close();
  if (!shared)
    return false;
  DCB dcb{};
  if (!platform::GetCommState(shared.get(), &dcb))
    return false;
  state_->port = std::move(shared);
  state_->attached = true;
  state_->TakeTiming(dcb);
  return true;
}

HANDLE SerialLink::Handle() const {
  return state_->port.get();
}

bool SerialLink::IsOpen() const {
  return static_cast<bool>(state_->port);
}

int SerialLink::TimeoutMs() const {
  if (!state_->configured || state_->settings.timeoutMs == 0)
    return kDefaultTimeoutMs;
  return state_->settings.timeoutMs;  // unsigned 16-bit: up to 65535 ms
}

void SerialLink::AnswerRefused() {
  state_->Distrust();
}

void SerialLink::SetMonitor(FrameMonitor monitor) {
  state_->monitor = std::move(monitor);
}

LinkStatus SerialLink::Transact(Framing framing, uint8_t unit, std::span<const uint8_t> pdu,
                                std::vector<uint8_t>& answer) {
  answer.clear();
  if (framing != Framing::kRtu && framing != Framing::kAscii)
    return LinkStatus::kNotSupported;
  std::array<uint8_t, kMaxFrame> request{};
  const size_t requestLength = Wrap(framing, unit, 0, pdu, request);
  if (requestLength == 0)
    return LinkStatus::kSendFailed;  // an empty or oversized PDU has no frame
  State& s = *state_;
  if (!s.port && !s.Open())
    return LinkStatus::kNoLine;

  const auto timeout = std::chrono::milliseconds(TimeoutMs());
  TimeoutsGuard timeouts(s.port.get());
  bool portFailed = false;
  auto failed = [&](LinkStatus status) {
    if (portFailed)
      Close();  // the next request opens the line again
    return status;
  };

  // Before the request: nothing stale in either queue, and the line quiet for the silent interval
  // since the last traffic (longer after a fault), so that no byte of an earlier answer can be
  // taken for this one. ASCII keeps the same interval: it costs little at ASCII's speeds, and a
  // repeated answer has then already arrived and been discarded.
  if (!s.DiscardQueued(timeouts)) {
    portFailed = true;
    return failed(LinkStatus::kNoLine);
  }
  if (!s.WaitQuietLine(timeouts, s.silentInterval, Clock::now() + timeout, &portFailed))
    return failed(portFailed ? LinkStatus::kNoLine : LinkStatus::kSendFailed);
  platform::PurgeComm(s.port.get(), PURGE_RXCLEAR | PURGE_TXCLEAR);
  // Whatever this request ends with decides the quiet time before the next one.
  s.quietNeeded = Clock::duration::zero();

  const std::span<const uint8_t> frame(request.data(), requestLength);
  const Clock::time_point sendStart = Clock::now();
  size_t sent = 0;
  const bool allSent = s.Send(timeouts, frame, sendStart + timeout, &sent, &portFailed);
  s.Report(true, frame.first(sent));
  // The frame is on the line until its last character has gone out at line speed; the device
  // cannot answer before that, so the answer's time-out counts from then.
  const Clock::time_point onLineUntil =
      std::max(Clock::now(), sendStart + s.charTime * static_cast<int64_t>(sent));
  s.lastTraffic = onLineUntil;
  if (!allSent) {
    s.Distrust();  // a cut frame on the line: the device must see it end before the next one
    return failed(LinkStatus::kSendFailed);
  }

  // The answer. Time the bytes take on the line is added to the deadline as they come (up to
  // one longest frame), so a long answer at a low rate is not cut by a time-out meant for the
  // device's response.
  Clock::time_point deadline = onLineUntil + timeout;
  size_t total = 0;
  size_t credited = 0;
  for (;;) {
    size_t start = 0, length = 0;
    const FrameState state =
        Scan(framing, std::span<const uint8_t>(s.received.data(), total), &start, &length);
    if (state == FrameState::kComplete) {
      const std::span<const uint8_t> whole(s.received.data() + start, length);
      s.Report(false, std::span<const uint8_t>(s.received.data(), start + length));
      std::array<uint8_t, kMaxPdu + 2> scratch{};
      std::span<const uint8_t> answerPdu;
      // Bytes around the answer (noise before an ASCII ":", a second copy right behind it)
      // were not asked for: the answer stands, but the line gets the guard before the next
      // request.
      if (start != 0 || start + length != total)
        s.Distrust();
      if (start + length != total)  // the monitor sees them too
        s.Report(false, std::span<const uint8_t>(s.received.data() + start + length,
                                                 total - start - length));
      const FrameCheck check = Unwrap(framing, whole, unit, 0, scratch, &answerPdu);
      if (check != FrameCheck::kOk) {
        s.Distrust();
        return StatusOf(check);
      }
      answer.assign(answerPdu.begin(), answerPdu.end());
      return LinkStatus::kOk;
    }
    if (state == FrameState::kBad) {
      s.Report(false, std::span<const uint8_t>(s.received.data(), total));
      s.Distrust();
      return LinkStatus::kBadFrame;  // the rest of it is discarded before the next request
    }
    if (total == s.received.size()) {
      // Only ASCII noise ahead of a ":" can fill the buffer: keep from the last ":" on.
      const auto colon = std::find(s.received.rbegin(), s.received.rend(), ':');
      const size_t keep =
          colon == s.received.rend() ? 0 : static_cast<size_t>(colon - s.received.rbegin()) + 1;
      if (framing != Framing::kAscii || keep == total) {
        s.Report(false, std::span<const uint8_t>(s.received.data(), total));
        s.Distrust();
        return LinkStatus::kBadFrame;
      }
      std::memmove(s.received.data(), s.received.data() + (total - keep), keep);
      total = keep;
    }
    const Clock::time_point now = Clock::now();
    if (now >= deadline) {
      s.Report(false, std::span<const uint8_t>(s.received.data(), total));
      // The device may still answer: its late answer must find the line closed to requests.
      s.lastTraffic = now;
      s.quietNeeded = std::max<Clock::duration>(
          s.Guard(), std::min<Clock::duration>(timeout / 4, kMaxQuietAfterTimeout));
      return LinkStatus::kTimeout;
    }
    DWORD got = 0;
    if (!timeouts.ReadWaitingUpTo(WaitMs(deadline - now)) ||
        !platform::ReadFile(s.port.get(), s.received.data() + total,
                            static_cast<DWORD>(s.received.size() - total), &got, nullptr)) {
      portFailed = true;
      s.Report(false, std::span<const uint8_t>(s.received.data(), total));
      return failed(LinkStatus::kNoLine);
    }
    if (got > 0) {
      total += got;
      s.lastTraffic = std::max(s.lastTraffic, Clock::now());
      const size_t credit = std::min<size_t>(got, kMaxFrame - credited);
      credited += credit;
      deadline += s.charTime * static_cast<int64_t>(credit);
    }
  }
}

}  // namespace modbus
