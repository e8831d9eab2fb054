// What the project document and the main window ask of the driver host, so that the document
// (project data) does not depend on the communication runtime that implements it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace talvek {

// Something the polling threads report to the user interface: the outcome of a write, or a port
// that could not be opened and one that opened again. Texts are GBK, as the drivers give them.
struct RuntimeEvent {
  enum class Kind {
    kWriteDone,       // the driver executed the write
    kWriteFailed,     // the driver refused or failed the write, or the port was not open
    kPortDown,        // the port could not be opened (or reopened); its tags are not connected
    kPortUp,          // a port that was down opened again, or a line that failed answers again
    kLineFailed,      // every read of a cycle failed: the device does not answer on an open port
    kWriteNotQueued,  // an interactive write that no driver took (no device, address refused)
    kDeviceDemoted,   // a device failed several cycles in a row: now asked once per retry
    kDevicePromoted,  // a demoted device answered: back in every cycle
    kDeviceGivenUp,   // a demoted device did not answer within its longest recovery time
  };
  Kind kind = Kind::kWriteDone;
  int32_t portNumber = 0;    // the driver's port number
  bool tcp = false;          // the driver's device is linked over TCP/IP
  bool interactive = false;  // a write made while InteractiveWrites was on
  std::string deviceName;    // the logical name of the device the driver was created with;
                             // for kDevice*, of the device concerned
  std::string tagName;       // writes: the tag's name
  std::string text;          // failures: the driver's (or the system's) error text, may be empty
};

// One frame or event of a driver's trace channel, copied for the communication monitor. Texts
// are GBK.
struct TraceEntry {
  int64_t timeUs = 0;      // microseconds since 1970-01-01 UTC
  int32_t portNumber = 0;  // the driver's port number
  bool tcp = false;        // the driver's device is linked over TCP/IP
  std::string deviceName;  // the device of the station concerned (the driver's, when unknown)
  int32_t station = -1;    // -1 when unknown
  int32_t kind = 0;        // TraceKind: sent, received, event
  int32_t event = 0;       // TraceEvent
  int32_t code = 0;        // refusals: the exception or error code
  std::vector<uint8_t> bytes;
  std::string text;  // the driver's reading of the frame or its error text
};

// How a device fares while communication runs.
enum class DeviceState {
  kWaiting,   // not polled yet
  kGood,      // its last cycle had an answer
  kFailing,   // its last cycle had none
  kDemoted,   // set aside: asked once per retry interval
  kGivenUp,   // not asked until communication starts again
  kPortDown,  // its port could not be opened
};

// The counters of one device (one station of a line) since communication started or the last
// reset. Response times are those of answered requests.
struct DeviceStatistics {
  std::string deviceName;  // GBK
  int32_t portNumber = 0;
  bool tcp = false;
  DeviceState state = DeviceState::kWaiting;
  uint64_t requests = 0;             // read groups executed
  uint64_t answers = 0;              // of them answered
  uint64_t timeouts = 0;             // failed with a time-out
  uint64_t badFrames = 0;            // failed with a wrong checksum or a malformed answer
  uint64_t refusals = 0;             // refused by the station (exception or error code)
  uint64_t otherFailures = 0;        // failed for another reason, or a driver that does not say why
  uint32_t consecutiveFailures = 0;  // failed cycles in a row
  std::string lastError;             // GBK; empty when none
  int64_t lastErrorTimeUs = 0;       // 0 when none
  double lastResponseMs = 0;
  double meanResponseMs = 0;
  double maxResponseMs = 0;
  double cycleMs = 0;  // between the starts of its last two polled cycles
};

class DriverHostInterface {
 public:
  virtual ~DriverHostInterface() = default;

  // Builds one driver per serial port in use from the device table of the open project; the
  // path of "Device.dat" is passed for the record and not read. Always 1.
  virtual int CreateDrivers(const char* deviceFilePath) = 0;
  // Removes every driver. A driver whose polling thread still ends its last exchange is destroyed
  // once the thread has ended (it no longer touches the tag table); this never waits for a line.
  virtual void DestroyDrivers() = 0;
  // Opens every driver's port and starts the polling threads.
  virtual void StartAll() = 0;
  // Stops every polling thread, waiting until each has ended, and closes the ports.
  virtual void StopAll() = 0;
  // True while at least one polling thread runs, ending ones included.
  virtual bool IsPolling() const = 0;

  // Asks every polling thread to stop and returns at once. From its return no thread stores into
  // the tag table any more; each ends after the exchange it is in. CollectStopped finishes.
  virtual void RequestStopAll() { StopAll(); }
  // Joins the threads that have ended since RequestStopAll and closes their ports; true when no
  // polling thread is left. Never waits for a thread that still runs.
  virtual bool CollectStopped() { return !IsPolling(); }
  // Takes the events reported since the last call, oldest first.
  virtual std::vector<RuntimeEvent> TakeEvents() { return {}; }
  // While on, the writes queued are marked interactive (a write typed by the user, whose failure
  // deserves a message box), and a write that no driver takes is reported as failed at once.
  virtual void SetInteractiveWrites(bool /*on*/) {}

  // The counters of every device polled, ports in driver order, stations in first-poll order.
  virtual std::vector<DeviceStatistics> Statistics() const { return {}; }
  // Sets every counter back to zero (states stay).
  virtual void ResetStatistics() {}
  // While on, the drivers' frames and events are kept for TakeTrace (a bounded queue: the oldest
  // go when nobody takes them). Off by default: then a frame costs no copy.
  virtual void SetTraceEnabled(bool /*on*/) {}
  // Takes the frames and events kept since the last call, oldest first.
  virtual std::vector<TraceEntry> TakeTrace() { return {}; }
};

// Marks the writes made during its life as interactive.
class InteractiveWrites {
 public:
  explicit InteractiveWrites(DriverHostInterface& host) : host_(host) {
    host_.SetInteractiveWrites(true);
  }
  ~InteractiveWrites() { host_.SetInteractiveWrites(false); }
  InteractiveWrites(const InteractiveWrites&) = delete;
  InteractiveWrites& operator=(const InteractiveWrites&) = delete;

 private:
  DriverHostInterface& host_;
};

}  // namespace talvek
