#include "workbench/runtime/driver_host.h"

#include <cstring>
#include <set>

namespace talvek {

namespace {

// Byte-exact equality of a tag's deviceName and a device's logicalName, both NUL-terminated
// within their arrays.
bool SameDeviceName(const TagRecord& tag, const DeviceRecord& device) {
  const std::size_t n = strnlen(tag.deviceName, sizeof tag.deviceName);
  return strnlen(device.logicalName, sizeof device.logicalName) == n &&
         std::memcmp(tag.deviceName, device.logicalName, n) == 0;
}

}  // namespace

DriverHost::DriverHost() : DriverHost(Project(), Tags()) {}

DriverHost::DriverHost(ProjectState& project, RuntimeTagTable& table, DriverFactory factory)
    : project_(project),
      table_(table),
      factory_(factory ? std::move(factory) : CreateProtocolDriver) {
  table_.SetWriteSink(this);
}

DriverHost::~DriverHost() {
  DestroyDrivers();
  table_.ClearWriteSink(this);
}

int DriverHost::CreateDrivers(const char* /*deviceFilePath*/) {
  // A second build would find the old drivers by port and give them the devices again.
  DestroyDrivers();
  const DriverEnvironment env{&project_.tags, &project_.ports, &table_, factory_};
  std::set<int32_t> served;
  for (const DeviceRecord& device : project_.devices) {
    if (served.count(device.portNumber) != 0) {
      for (const std::unique_ptr<CDriver>& driver : drivers_) {
        if (driver->Device().portNumber == device.portNumber) {
          driver->AddDevice(device);
          break;
        }
      }
      continue;
    }
    // A temporary object proves the class can be created; a device whose class cannot be is
    // skipped without a word.
    ComPtr<IProtocolDriver> probe;
    if (FAILED(factory_(device.descriptor.driverClsid, probe.PutVoid())) || !probe)
      continue;
    auto driver = std::make_unique<CDriver>(device, env);
    driver->SetCyclePeriod(cyclePeriodMs_);
    driver->AddDevice(device);
    drivers_.push_back(std::move(driver));
    served.insert(device.portNumber);
  }
  for (const std::unique_ptr<CDriver>& driver : drivers_)
    driver->BuildReadGroups();
  return 1;
}

void DriverHost::DestroyDrivers() {
  // Head first; each destructor stops its thread before anything goes.
  while (!drivers_.empty()) {
    std::unique_ptr<CDriver> head = std::move(drivers_.front());
    drivers_.erase(drivers_.begin());
    head.reset();
  }
}

void DriverHost::StartAll() {
  for (const std::unique_ptr<CDriver>& driver : drivers_) {
    if (driver->IsOpen() == 0)
      driver->Open();
  }
  for (const std::unique_ptr<CDriver>& driver : drivers_) {
    if (driver->IsOpen() != 0)
      driver->StartThread();
  }
}

void DriverHost::StopAll() {
  for (const std::unique_ptr<CDriver>& driver : drivers_) {
    driver->StopThread();
    if (driver->IsOpen() != 0)
      driver->Close();
  }
}

bool DriverHost::IsPolling() const {
  for (const std::unique_ptr<CDriver>& driver : drivers_) {
    if (driver->HasThread())
      return true;
  }
  return false;
}

int DriverHost::WriteTag(uint16_t tagIndex, int32_t value) {
  if (tagIndex >= project_.tags.size())
    return 0;
  const TagRecord& tag = project_.tags[tagIndex];
  for (const std::unique_ptr<CDriver>& driver : drivers_) {
    const std::vector<DeviceRecord>& devices = driver->Devices();
    for (std::size_t d = 0; d < devices.size(); ++d) {
      if (SameDeviceName(tag, devices[d])) {
        driver->WriteValue(d, tagIndex, value);
        return 1;
      }
    }
  }
  return 0;
}

void DriverHost::SetCyclePeriod(uint32_t ms) {
  cyclePeriodMs_ = ms;
  for (const std::unique_ptr<CDriver>& driver : drivers_)
    driver->SetCyclePeriod(ms);
}

}  // namespace talvek
