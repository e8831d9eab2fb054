// DriverHost: the project's running communication, one CDriver per serial port number in use.
//
//   DriverHost host;                 // over Project() and Tags(); becomes the writers' sink
//   host.CreateDrivers(path);        // drivers, devices and read groups; ports stay closed
//   host.StartAll();                 // open every port, start the polling threads
//   Tags().WriteIntegerByName("Var00001", 50);   // -> WriteTag -> queued on the tag's driver
//   host.RequestStopAll();           // returns at once; or StopAll(), which waits
//   while (!host.CollectStopped()) ...   // from a timer: threads joined, ports closed
//   host.DestroyDrivers();
//
// Everything here runs on the user-interface thread; each CDriver runs its own polling thread.
// The host never lets a driver be destroyed or closed while its thread runs: DestroyDrivers hands
// a driver whose thread still finishes an exchange to a retiring list, which CollectStopped (and
// at the latest the destructor) empties once the thread has ended. A retiring driver no longer
// touches the tag table. Write outcomes and port state changes collect in an event queue that
// the user interface takes with TakeEvents.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <mutex>
#include <vector>

#include "workbench/project/driver_host_interface.h"
#include "workbench/project/project_state.h"
#include "workbench/runtime/cdriver.h"
#include "workbench/runtime/tag_table.h"

namespace talvek {

class DriverHost final : public DriverHostInterface, public TagWriteSink {
 public:
  // A host over the process-wide project and tag table.
  DriverHost();
  // A host over `project` and `table` (which must be bound to project.tags); both must outlive
  // it. Registers itself as the table's write sink. `factory` creates the protocol drivers
  // (empty: through COM).
  DriverHost(ProjectState& project, RuntimeTagTable& table, DriverFactory factory = {});
  // Stops and destroys every driver and withdraws from the table's writers.
  ~DriverHost() override;
  DriverHost(const DriverHost&) = delete;
  DriverHost& operator=(const DriverHost&) = delete;

  // Builds one driver per port number from the device table: the first device of a port creates
  // it (when a temporary object of its class can be created; else the device is skipped), later
  // devices of that port join it; then every driver builds its read groups. Drivers that exist
  // already are stopped and destroyed first. The path is not read. Always 1.
  int CreateDrivers(const char* deviceFilePath) override;
  // Deletes every driver, head first; a driver whose thread has not ended yet is asked to stop
  // and retires (see above). A thread that ends reports the writes it did not send as failed.
  void DestroyDrivers() override;
  // Collects ended threads, then marks every polled tag unread and opens every driver that is not
  // open (a port that does not open: its tags not connected, and a kPortDown event), then starts
  // the thread of every driver that has none; a thread opens its port again every retry interval.
  void StartAll() override;
  // Stops every polling thread, waiting for each, and closes every open driver; retiring drivers
  // are waited for and destroyed.
  void StopAll() override;
  // True while at least one polling thread has not ended, retiring ones included.
  bool IsPolling() const override;
  // Asks every thread to stop; returns at once.
  void RequestStopAll() override;
  // Joins the ended threads of drivers asked to stop and closes their ports; destroys retired
  // drivers whose threads ended. True when no thread is left.
  bool CollectStopped() override;
  std::vector<RuntimeEvent> TakeEvents() override;
  void SetInteractiveWrites(bool on) override { interactive_ = on; }
  std::vector<DeviceStatistics> Statistics() const override;
  void ResetStatistics() override;
  void SetTraceEnabled(bool on) override { trace_.SetEnabled(on); }
  std::vector<TraceEntry> TakeTrace() override { return trace_.Take(); }
  // The frames and events on their way to the monitor (the drivers hold its address).
  TraceBuffer& Trace() { return trace_; }

  // Queues the write on the driver of the first device, in driver and device order, whose
  // logicalName is the tag's deviceName: 1 when that driver queued it; 0 when no device matches,
  // the driver refused the address or the index is outside the table (an interactive write then
  // reports kWriteNotQueued). Called by the writers with the tag-table mutex held.
  int WriteTag(uint16_t tagIndex, int32_t value) override;

  // The idle wait between polling cycles for every driver, now and created later (default 1000).
  void SetCyclePeriod(uint32_t ms);
  // The wait between attempts to open a port for every driver, now and created later (0: each
  // device's retryIntervalSec).
  void SetRetryInterval(uint32_t ms);
  // The drivers, in creation order.
  std::size_t DriverCount() const { return drivers_.size(); }
  CDriver& Driver(std::size_t i) { return *drivers_[i]; }
  const CDriver& Driver(std::size_t i) const { return *drivers_[i]; }

 private:
  ProjectState& project_;
  RuntimeTagTable& table_;
  DriverFactory factory_;
  // Appends an event (any thread); the oldest go when nobody takes them.
  void Push(RuntimeEvent&& event);

  uint32_t cyclePeriodMs_ = kDefaultCyclePeriodMs;
  uint32_t retryIntervalMs_ = 0;
  bool interactive_ = false;
  TraceBuffer trace_;  // before the drivers: they push into it until they are destroyed
  std::vector<std::unique_ptr<CDriver>> drivers_;
  std::vector<std::unique_ptr<CDriver>> retiring_;  // asked to stop, thread not joined yet
  std::mutex eventsMutex_;
  std::vector<RuntimeEvent> events_;  // guarded by eventsMutex_
};

}  // namespace talvek
