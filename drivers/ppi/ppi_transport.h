// The PPI driver's serial side: the port, the two-phase job exchange, the station probe and the
// "No Receiving Data!" report to a monitor window.
//
//   ppi::PpiTransport transport;
//   if (!transport.OpenPort(1, &settings)) return 0;   // settings must outlive the open port
//   std::array<uint8_t, ppi::kFrameBufferSize> frame{};  // a job built by the frame codec
//   size_t length = jobLength, received = 0;
//   if (!transport.Exchange(frame, &length, &received)) return 0;
//   // frame[0 .. received) now holds the reply; the codec checks FCS and contents.
//
// One exchange: purge both queues, send the job, collect the acknowledgement (exactly one 0xE5),
// send the SD1 request for data and collect the reply. A station that answers the request with
// E5 (not ready yet) is polled again after PollDelay 1, until ResponseTimeout has passed since
// the first request. Bytes before the reply's start delimiter are dropped, and a reply that is not
// this job's answer (another source, another master, another PDU reference) fails the exchange.
// Each line check waits in the port for up to half a PollDelay and ends as soon as bytes arrive:
// the acknowledgement phase ends once a whole check interval after the answer stays quiet, the
// reply phase as soon as the announced length is held, both at their deadline otherwise. Waiting
// sleeps, so a pending reply costs no CPU. There is no thread and no lock: one exchange at a time
// per transport, and per port when two transports share one.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "common/records.h"
#include "drivers/ppi/ppi_frame.h"
#include "platform/win_types.h"

namespace ppi {

// An exchange sends from and receives into a frame buffer of kFrameBufferSize (ppi_frame.h)
// bytes, which is also the most a receive phase keeps.

// Text reported to the monitor window when a phase gets no byte at all.
inline constexpr const char* kNoReceivingData = "No Receiving Data!";

// Window class of the optional monitor program and the message it receives (WM_USER + 50).
inline constexpr const char* kMonitorWindowClass = "quelmess";
inline constexpr UINT kMonitorMessage = 0x432;

// Lowest and highest baud rate OpenPort accepts.
inline constexpr int32_t kMinBaudRate = 300;
inline constexpr int32_t kMaxBaudRate = 57600;

class PpiTransport {
 public:
  // Closed, ResponseTimeout 5000 ms, PollDelay 50 and 50 ms, no settings.
  PpiTransport() = default;
  // Closes the port (this transport's reference to it).
  ~PpiTransport();
  PpiTransport(const PpiTransport&) = delete;
  PpiTransport& operator=(const PpiTransport&) = delete;

  // Opens and configures settings->portName ("Com1" or a device path). 0 when settings is null or
  // the baud rate is outside 300..57600 (nothing changes then), when the port cannot be opened or
  // refuses the settings (the transport is then closed). Past the baud check ResponseTimeout
  // becomes settings->timeoutMs, read as unsigned (0..65535 ms), and the settings pointer is
  // kept; it must stay valid while open.
  // A port this transport already held is released first. `mode` is not used.
  BOOL OpenPort(int32_t mode, const CommSettings* settings);

  // Releases the port; always 1. A port shared through AttachPort stays open for the others.
  BOOL ClosePort();

  // Shares the port of another transport (*handle from its GetPortHandle) without configuring
  // it; always 1. This transport takes its own reference: its ClosePort and destructor release
  // only that reference, and the port closes when the last sharer lets go. A handle that is not
  // an open port (or a null pointer) leaves this transport closed. A port this transport already
  // held is released first.
  BOOL AttachPort(const HANDLE* handle);

  // *handle = this transport's port handle, INVALID_HANDLE_VALUE when closed; always 1 (0 only
  // for a null pointer).
  BOOL GetPortHandle(HANDLE* handle) const;

  // True while a port is held.
  bool IsOpen() const { return port_ != INVALID_HANDLE_VALUE; }

  // Runs one job exchange. In: *length = bytes of the job at the start of `frame` (at most 1024).
  // Out: *length = bytes of the job written, *received = bytes now at the start of `frame`.
  // 1 when the acknowledgement was exactly 0xE5 and a reply (possibly partial, taken at the
  // deadline) arrived, put at the start of `frame` without whatever came before its start
  // delimiter; its FCS and contents are not checked here, but it must answer the job (same
  // station, our master address, same PDU reference) when it is long enough to tell. 0 when the
  // port is closed, a send does not complete within ResponseTimeout, the acknowledgement is wrong
  // (no request for data is sent then) or a phase stays silent (reported to the monitor window).
  BOOL Exchange(std::span<uint8_t, kFrameBufferSize> frame, size_t* length, size_t* received);

  // Sends the SD1 status request to `station` (low byte) and waits up to ResponseTimeout for its
  // answer; 1 when the station answered. The reserved arguments are not used.
  BOOL ProbeStation(int32_t reserved, int32_t station, int32_t reserved2);

  // Hands `text` (cut to 127 bytes) to a live "quelmess" monitor window as a global atom with
  // message 0x432, waiting for the monitor to read it; does nothing when there is no monitor.
  void DiagnosticText(const char* text);

  // Limit of each send and each receive phase, in ms (0 or less: one check, then time-out).
  int32_t ResponseTimeout() const { return responseTimeout_; }

  // PollDelay 0 (acknowledgement phase) and 1 (reply phase), in ms; half of it is the longest
  // wait of one line check, and the quiet time that ends the acknowledgement phase. Any value is
  // stored; the driver clamps what its DELAY tags write. Indexes other than 0 and 1 read 0 and
  // write nothing.
  int32_t PollDelay(int index) const;
  void SetPollDelay(int index, int32_t ms);

  // The settings of the last OpenPort that passed the baud check; null before.
  const CommSettings* Settings() const { return settings_; }

 private:
  // Writes all of `bytes` within ResponseTimeout, continuing after partial writes; *sent = bytes
  // written. False on time-out or when the port is gone.
  bool SendAll(std::span<const uint8_t> bytes, size_t* sent);
  // One receive phase into `frame` with its deadline ResponseTimeout after `start`; see Exchange.
  // False (after reporting a silent line) when nothing arrived before the deadline. In the reply
  // phase (waitForLength) *notReady tells that the station answered E5 and nothing more.
  bool ReceivePhase(std::span<uint8_t, kFrameBufferSize> frame, int32_t pollDelay,
                    bool waitForLength, DWORD start, size_t* received, bool* notReady);

  HANDLE port_ = INVALID_HANDLE_VALUE;
  int32_t responseTimeout_ = 5000;
  int32_t pollDelay_[2] = {50, 50};
  const CommSettings* settings_ = nullptr;
};

}  // namespace ppi
