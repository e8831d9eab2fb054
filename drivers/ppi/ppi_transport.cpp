#include "drivers/ppi/ppi_transport.h"

#include <algorithm>
#include <array>
#include <chrono>
#include <cstring>
#include <string>

#include "drivers/ppi/ppi_frame.h"
#include "platform/atoms.h"
#include "platform/clock.h"
#include "platform/serial_port.h"
#include "platform/window_messages.h"

namespace ppi {
namespace {

constexpr DWORD kPurgeAll = PURGE_TXABORT | PURGE_RXABORT | PURGE_TXCLEAR | PURGE_RXCLEAR;
constexpr DWORD kInputQueueSize = 1024;
constexpr DWORD kOutputQueueSize = 512;
// Line settings the exchange relies on: a read returns at once with what is queued; a write may
// take 40 ms per byte (several character times even at 300 baud).
constexpr COMMTIMEOUTS kPortTimeouts = {MAXDWORD, 0, 0, 40, 0};

// A write that failed outright (not a partial one) is retried after this pause, so that a dead
// line costs sleep, not CPU, until the send phase times out.
constexpr DWORD kSendRetryPauseMs = 10;
// The station probe: settle after sending, then check this often.
constexpr DWORD kProbeSettleMs = 100;
constexpr DWORD kProbePollMs = 10;
// A monitor that takes longer than this to take its text is treated as hung: the report must not
// stall the polling thread.
constexpr DWORD kMonitorAnswerTimeoutMs = 1000;
constexpr size_t kMonitorTextSize = 128;

// True once `limit` ms have passed since `start` (a limit of 0 or less has passed at once).
// Unsigned subtraction keeps this right across the tick count's wrap.
bool Passed(DWORD start, int32_t limit) {
  return limit <= 0 || platform::GetTickCount() - start >= static_cast<DWORD>(limit);
}

// Half a poll delay, at least 1 ms: a zero pause would turn the wait into a busy loop.
DWORD PauseOf(int32_t pollDelay) {
  return static_cast<DWORD>(std::max(pollDelay / 2, 1));
}

// Bytes received and not yet read; 0 when the port cannot say.
DWORD Queued(HANDLE port) {
  COMSTAT stat{};
  DWORD errors = 0;
  return platform::ClearCommError(port, &errors, &stat) ? stat.cbInQue : 0;
}

// The shortest time one character can take on the port's line, in µs (start bit, data bits,
// parity bit, stop bits at the configured rate); 0 when the port cannot say. Bytes cannot arrive
// faster than this, so it bounds from below how long missing bytes still need.
uint64_t CharacterMicros(HANDLE port) {
  DCB dcb{};
  if (!platform::GetCommState(port, &dcb) || dcb.BaudRate == 0)
    return 0;
  const uint64_t bits = 1 + uint64_t{dcb.ByteSize} + (dcb.Parity != NOPARITY ? 1 : 0) +
                        (dcb.StopBits == TWOSTOPBITS ? 2 : 1);
  return bits * 1000000 / dcb.BaudRate;
}

// The line checks of one receive phase. Each check waits in the port (poll() underneath) for up
// to `pause` ms and ends as soon as bytes arrive, so a byte is taken when it comes instead of at
// the next tick of a blind sleep, and a check that returns nothing has seen `pause` ms of quiet
// line. The port's read time-outs are switched to "wait for the first byte" for the phase and
// put back when it ends (a port shared through AttachPort has one set of time-outs).
class LineChecks {
 public:
  LineChecks(HANDLE port, DWORD pause) : port_(port), pause_(pause) {
    if (platform::GetCommTimeouts(port, &saved_)) {
      COMMTIMEOUTS wait = saved_;
      wait.ReadIntervalTimeout = MAXDWORD;
      wait.ReadTotalTimeoutMultiplier = MAXDWORD;
      wait.ReadTotalTimeoutConstant = pause;
      waits_ = platform::SetCommTimeouts(port, &wait) != FALSE;
    }
  }
  ~LineChecks() {
    if (waits_)
      platform::SetCommTimeouts(port_, &saved_);
  }
  LineChecks(const LineChecks&) = delete;
  LineChecks& operator=(const LineChecks&) = delete;

  // One check: up to `room` bytes, 0 when the line stayed quiet for the whole pause. A port that
  // cannot wait (closed or hung up underneath) costs the pause in sleep, never a busy loop.
  DWORD Check(uint8_t* out, DWORD room) {
    const auto start = std::chrono::steady_clock::now();
    DWORD got = 0;
    if (waits_) {
      if (platform::ReadFile(port_, out, room, &got, nullptr) && got > 0)
        return got;
    } else {
      platform::Sleep(pause_);  // without time-outs of its own the port can only be looked at
      const DWORD queued = std::min(Queued(port_), room);
      if (queued > 0 && platform::ReadFile(port_, out, queued, &got, nullptr))
        return got;
      return 0;
    }
    const auto waited = std::chrono::steady_clock::now() - start;
    const auto rest = std::chrono::milliseconds(pause_) - waited;
    if (rest > std::chrono::milliseconds(0))
      platform::Sleep(
          static_cast<DWORD>(std::chrono::ceil<std::chrono::milliseconds>(rest).count()));
    return got;
  }

 private:
  HANDLE port_;
  DWORD pause_;
  COMMTIMEOUTS saved_{};
  bool waits_ = false;
};

}  // namespace

PpiTransport::~PpiTransport() {
  ClosePort();
}

BOOL PpiTransport::OpenPort(int32_t, const CommSettings* settings) {
  if (settings == nullptr || settings->baudRate < kMinBaudRate || settings->baudRate > kMaxBaudRate)
    return 0;
  // The record holds an unsigned 16-bit field; read signed, a time-out above 32767 ms that the
  // user typed would turn negative and fail every exchange at once.
  responseTimeout_ = settings->timeoutMs;
  settings_ = settings;
  // A port already held would otherwise stay open with nobody to close it.
  ClosePort();

  const std::string name =
      "\\\\.\\" +
      std::string(settings->portName, strnlen(settings->portName, sizeof settings->portName));
  platform::SerialHandle port(platform::OpenSerialPort(name.c_str()));
  if (!port)
    return 0;
  platform::SetupComm(port.get(), kInputQueueSize, kOutputQueueSize);
  DCB dcb{};
  if (!platform::GetCommState(port.get(), &dcb))
    return 0;
  dcb.BaudRate = static_cast<DWORD>(settings->baudRate);
  dcb.ByteSize = static_cast<BYTE>(settings->dataBits & 0xFF);
  dcb.Parity = static_cast<BYTE>(settings->parity & 0xFF);
  dcb.StopBits = settings->stopBits == 2 ? TWOSTOPBITS : ONESTOPBIT;
  if (!platform::SetCommState(port.get(), &dcb))
    return 0;  // the handle closes with `port`
  platform::PurgeComm(port.get(), kPurgeAll);
  platform::SetCommTimeouts(port.get(), &kPortTimeouts);
  port_ = port.release();
  return 1;
}

BOOL PpiTransport::ClosePort() {
  if (port_ != INVALID_HANDLE_VALUE) {
    platform::CloseSerialHandle(port_);
    port_ = INVALID_HANDLE_VALUE;
  }
  return 1;
}

BOOL PpiTransport::AttachPort(const HANDLE* handle) {
  // Our own reference first, so attaching the handle we already hold keeps the port open.
  HANDLE shared =
      handle != nullptr ? platform::DuplicateSerialHandle(*handle) : INVALID_HANDLE_VALUE;
  ClosePort();
  port_ = shared;
  return 1;
}

BOOL PpiTransport::GetPortHandle(HANDLE* handle) const {
  if (handle == nullptr)
    return 0;
  *handle = port_;
  return 1;
}

int32_t PpiTransport::PollDelay(int index) const {
  return index == 0 || index == 1 ? pollDelay_[index] : 0;
}

void PpiTransport::SetPollDelay(int index, int32_t ms) {
  if (index == 0 || index == 1)
    pollDelay_[index] = ms;
}

bool PpiTransport::SendAll(std::span<const uint8_t> bytes, size_t* sent) {
  const DWORD start = platform::GetTickCount();
  size_t done = 0;
  for (;;) {
    DWORD written = 0;
    BOOL ok = platform::WriteFile(port_, bytes.data() + done,
                                  static_cast<DWORD>(bytes.size() - done), &written, nullptr);
    // A write that timed out part-way is continued, never restarted: resending the head of a
    // frame would put garbage on the line.
    done += written;
    if (ok && done == bytes.size())
      break;
    if (Passed(start, responseTimeout_)) {
      *sent = done;
      return false;
    }
    if (written == 0)
      platform::Sleep(kSendRetryPauseMs);
  }
  *sent = done;
  return true;
}

bool PpiTransport::ReceivePhase(std::span<uint8_t, kFrameBufferSize> frame, int32_t pollDelay,
                                bool waitForLength, DWORD start, size_t* received, bool* notReady) {
  if (notReady != nullptr)
    *notReady = false;
  const DWORD pause = PauseOf(pollDelay);
  LineChecks checks(port_, pause);
  const uint64_t characterUs = waitForLength ? CharacterMicros(port_) : 0;
  size_t total = 0;
  bool arrived = false;
  for (;;) {
    // The rest of an announced reply cannot arrive sooner than the line carries it: sleep through
    // that time (at most one check interval, never past the deadline) instead of waking for every
    // byte. Nothing that decides the phase can happen meanwhile.
    const size_t expected =
        waitForLength ? ExpectedReplyLength(std::span<const uint8_t>(frame.data(), total)) : 0;
    if (expected > total && characterUs > 0) {
      const uint64_t needMs = (expected - total) * characterUs / 1000;
      const int64_t leftMs = int64_t{responseTimeout_} - (platform::GetTickCount() - start);
      const int64_t sleepMs = std::min({static_cast<int64_t>(needMs) - 1, int64_t{pause}, leftMs});
      if (sleepMs > 0)
        platform::Sleep(static_cast<DWORD>(sleepMs));
    }
    const DWORD got =
        checks.Check(frame.data() + total, static_cast<DWORD>(kFrameBufferSize - total));
    if (got > 0) {
      arrived = true;
      total += got;
      if (total >= kFrameBufferSize)
        break;  // what is still queued is purged before the next exchange
      // The whole reply is in: nothing more belongs to it, so waiting for a quiet line would
      // only add a check interval.
      if (waitForLength && ReplyLooksComplete(std::span<const uint8_t>(frame.data(), total)))
        break;
    } else if (arrived && (!waitForLength ||
                           ReplyLooksComplete(std::span<const uint8_t>(frame.data(), total)))) {
      break;  // a whole check interval of quiet line after the answer
    } else if (arrived && waitForLength &&
               ReplyIsNotReady(std::span<const uint8_t>(frame.data(), total))) {
      // E5 and then a quiet line: the station has no reply yet. Waiting longer gets nothing
      // more; the caller polls again.
      if (notReady != nullptr)
        *notReady = true;
      break;
    }
    if (Passed(start, responseTimeout_)) {
      if (arrived) {
        if (notReady != nullptr && waitForLength &&
            ReplyIsNotReady(std::span<const uint8_t>(frame.data(), total)))
          *notReady = true;  // still busy: no reply to take
        break;               // the deadline takes what has come
      }
      DiagnosticText(kNoReceivingData);
      *received = 0;
      return false;
    }
  }
  *received = total;
  return true;
}

BOOL PpiTransport::Exchange(std::span<uint8_t, kFrameBufferSize> frame, size_t* length,
                            size_t* received) {
  if (length == nullptr || received == nullptr)
    return 0;
  *received = 0;
  const size_t jobLength = std::min(*length, kFrameBufferSize);
  *length = 0;
  if (!IsOpen())
    return 0;
  // The request for data goes to the job's destination (byte 4), and the reply must answer this
  // job (addresses and PDU reference up to byte 12); the acknowledgement is received over the
  // job, so keep its head.
  std::array<uint8_t, kPduReference + 2> jobHead{};
  std::copy_n(frame.begin(), jobHead.size(), jobHead.begin());

  platform::PurgeComm(port_, kPurgeAll);
  if (!SendAll(std::span<const uint8_t>(frame.data(), jobLength), length))
    return 0;

  size_t ack = 0;
  if (!ReceivePhase(frame, pollDelay_[0], false, platform::GetTickCount(), &ack, nullptr))
    return 0;
  *received = ack;
  if (ack != 1 || frame[0] != kShortAck)
    return 0;  // a refusal or garbage: no request for data follows

  std::array<uint8_t, 6> request{};
  BuildDataRequest(jobHead, request);
  // One deadline for the whole reply phase, however often the station says "not ready".
  const DWORD replyStart = platform::GetTickCount();
  size_t reply = 0;
  for (;;) {
    size_t requestSent = 0;
    if (!SendAll(request, &requestSent))
      return 0;
    bool notReady = false;
    if (!ReceivePhase(frame, pollDelay_[1], true, replyStart, &reply, &notReady))
      return 0;
    if (!notReady)
      break;
    *received = reply;
    // Still busy at the deadline: a failure, but not a silent line.
    const int64_t leftMs = int64_t{responseTimeout_} - (platform::GetTickCount() - replyStart);
    if (leftMs <= 0)
      return 0;
    platform::Sleep(static_cast<DWORD>(std::clamp<int64_t>(pollDelay_[1], 1, leftMs)));
    platform::PurgeComm(port_, PURGE_RXCLEAR);
  }
  // Whatever came before the frame's start delimiter is not part of it; the frame goes to the
  // front of the buffer, where the codec reads it. A frame from another station, for another
  // master or for another job is not this job's answer, however sound its FCS.
  const TakenReply taken = TakeReplyFrame(frame, reply, jobHead);
  *received = taken.length;
  if (!taken.answers)
    return 0;
  return 1;
}

BOOL PpiTransport::ProbeStation(int32_t, int32_t station, int32_t) {
  if (!IsOpen())
    return 0;
  std::array<uint8_t, 6> request{};
  BuildStatusRequest(station, request);
  platform::PurgeComm(port_, kPurgeAll);
  DWORD written = 0;
  if (!platform::WriteFile(port_, request.data(), request.size(), &written, nullptr))
    return 0;
  platform::Sleep(kProbeSettleMs);

  std::array<uint8_t, kFrameBufferSize> answer{};
  size_t total = 0;
  const DWORD start = platform::GetTickCount();
  do {
    platform::Sleep(kProbePollMs);
    const DWORD queued = Queued(port_);
    if (queued > 0) {
      if (total + queued >= answer.size())
        return 0;  // a flood, not a status answer
      DWORD got = 0;
      platform::ReadFile(port_, answer.data() + total, queued, &got, nullptr);
      total += got;
    }
    if (IsStatusAnswer(std::span<const uint8_t>(answer.data(), total), station))
      return 1;
  } while (!Passed(start, responseTimeout_));
  DiagnosticText(kNoReceivingData);
  return 0;
}

void PpiTransport::DiagnosticText(const char* text) {
  if (text == nullptr)
    return;
  HWND monitor = platform::FindWindowA(kMonitorWindowClass, nullptr);
  if (monitor == nullptr)
    return;
  char buffer[kMonitorTextSize] = {};
  std::strncpy(buffer, text, sizeof buffer - 1);
  ATOM atom = platform::GlobalAddAtomA(buffer);
  if (atom == 0)
    return;
  // Sent, not posted: the monitor reads the atom's text before the atom is deleted below.
  platform::SendMessageWithAtoms(monitor, kMonitorMessage, atom, 0, platform::kWParamIsAtom,
                                 kMonitorAnswerTimeoutMs);
  platform::GlobalDeleteAtom(atom);
}

}  // namespace ppi
