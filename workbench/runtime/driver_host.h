// DriverHost: the project's running communication, one CDriver per serial port number in use.
//
//   DriverHost host;                 // over Project() and Tags(); becomes the writers' sink
//   host.CreateDrivers(path);        // drivers, devices and read groups; ports stay closed
//   host.StartAll();                 // open every port, start the polling threads
//   Tags().WriteIntegerByName("Var00001", 50);   // -> WriteTag -> queued on the tag's driver
//   host.StopAll();                  // every thread ended, every port closed
//   host.DestroyDrivers();
//
// Everything here runs on the user-interface thread; each CDriver runs its own polling thread.
// The host never lets a driver be destroyed, rebuilt or closed while its thread runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
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
  // Stops and deletes every driver, head first. Queued writes go with them.
  void DestroyDrivers() override;
  // Opens every driver that is not open, then starts the thread of every open driver that has
  // none.
  void StartAll() override;
  // Stops every polling thread and closes every open driver.
  void StopAll() override;
  // True while at least one polling thread runs.
  bool IsPolling() const override;

  // Queues the write on the driver of the first device, in driver and device order, whose
  // logicalName is the tag's deviceName: 1; 0 when no device matches or the index is outside the
  // table. Called by the writers with the tag-table mutex held.
  int WriteTag(uint16_t tagIndex, int32_t value) override;

  // The idle wait between polling cycles for every driver, now and created later (default 1000).
  void SetCyclePeriod(uint32_t ms);
  // The drivers, in creation order.
  std::size_t DriverCount() const { return drivers_.size(); }
  CDriver& Driver(std::size_t i) { return *drivers_[i]; }
  const CDriver& Driver(std::size_t i) const { return *drivers_[i]; }

 private:
  ProjectState& project_;
  RuntimeTagTable& table_;
  DriverFactory factory_;
  uint32_t cyclePeriodMs_ = kDefaultCyclePeriodMs;
  std::vector<std::unique_ptr<CDriver>> drivers_;
};

}  // namespace talvek
