#include "workbench/runtime/driver_host.h"

#include <cstring>
#include <set>
#include <utility>

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
  StopAll();
  DestroyDrivers();
  table_.ClearWriteSink(this);
}

void DriverHost::Push(RuntimeEvent&& event) {
  constexpr std::size_t kMaxEvents = 4096;
  std::lock_guard lock(eventsMutex_);
  if (events_.size() >= kMaxEvents)
    events_.erase(events_.begin());
  events_.push_back(std::move(event));
}

std::vector<RuntimeEvent> DriverHost::TakeEvents() {
  std::vector<RuntimeEvent> out;
  std::lock_guard lock(eventsMutex_);
  out.swap(events_);
  return out;
}

int DriverHost::CreateDrivers(const char* /*deviceFilePath*/) {
  // A second build would find the old drivers by port and give them the devices again.
  DestroyDrivers();
  const DriverEnvironment env{&project_.tags,
                              &project_.ports,
                              &table_,
                              factory_,
                              [this](RuntimeEvent&& e) { Push(std::move(e)); },
                              &trace_};
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
    platform::ComPtr<IProtocolDriver> probe;
    if (FAILED(factory_(device.descriptor.driverClsid, probe.PutVoid())) || !probe)
      continue;
    auto driver = std::make_unique<CDriver>(device, env);
    driver->SetCyclePeriod(cyclePeriodMs_);
    driver->SetRetryInterval(retryIntervalMs_);
    driver->AddDevice(device);
    drivers_.push_back(std::move(driver));
    served.insert(device.portNumber);
  }
  for (const std::unique_ptr<CDriver>& driver : drivers_)
    driver->BuildReadGroups();
  return 1;
}

void DriverHost::DestroyDrivers() {
  // Head first. A driver whose thread still ends an exchange retires instead: it is destroyed
  // once its thread has ended, and it no longer touches the tag table.
  while (!drivers_.empty()) {
    std::unique_ptr<CDriver> head = std::move(drivers_.front());
    drivers_.erase(drivers_.begin());
    if (!head->ThreadEnded()) {
      head->RequestStop();
      retiring_.push_back(std::move(head));
      continue;
    }
    head->JoinIfEnded();
    if (head->StopRequested() && head->IsOpen() != 0)
      head->Close();
    head.reset();
  }
  CollectStopped();
}

void DriverHost::StartAll() {
  CollectStopped();
  for (const std::unique_ptr<CDriver>& driver : drivers_) {
    if (!driver->HasThread())
      driver->OpenForPolling();
  }
  for (const std::unique_ptr<CDriver>& driver : drivers_) {
    if (driver->HasDriver())
      driver->StartThread();
  }
}

void DriverHost::StopAll() {
  for (const std::unique_ptr<CDriver>& driver : drivers_)
    driver->RequestStop();
  for (const std::unique_ptr<CDriver>& driver : drivers_) {
    driver->StopThread();
    if (driver->IsOpen() != 0)
      driver->Close();
  }
  for (std::unique_ptr<CDriver>& driver : retiring_) {
    driver->StopThread();
    if (driver->IsOpen() != 0)
      driver->Close();
    driver.reset();
  }
  retiring_.clear();
}

void DriverHost::RequestStopAll() {
  for (const std::unique_ptr<CDriver>& driver : drivers_)
    driver->RequestStop();
}

bool DriverHost::CollectStopped() {
  bool done = true;
  for (const std::unique_ptr<CDriver>& driver : drivers_) {
    if (!driver->HasThread() || !driver->StopRequested())
      continue;
    if (!driver->JoinIfEnded()) {
      done = false;
      continue;
    }
    if (driver->IsOpen() != 0)
      driver->Close();
  }
  for (auto it = retiring_.begin(); it != retiring_.end();) {
    if (!(*it)->JoinIfEnded()) {
      done = false;
      ++it;
      continue;
    }
    if ((*it)->IsOpen() != 0)
      (*it)->Close();
    it = retiring_.erase(it);
  }
  return done && !IsPolling();
}

bool DriverHost::IsPolling() const {
  for (const std::unique_ptr<CDriver>& driver : drivers_) {
    if (!driver->ThreadEnded())
      return true;
  }
  for (const std::unique_ptr<CDriver>& driver : retiring_) {
    if (!driver->ThreadEnded())
      return true;
  }
  return false;
}

int DriverHost::WriteTag(uint16_t tagIndex, int32_t value) {
  if (tagIndex >= project_.tags.size())
    return 0;
  const TagRecord& tag = project_.tags[tagIndex];
  const int queued = [&] {
    for (const std::unique_ptr<CDriver>& driver : drivers_) {
      const std::vector<DeviceRecord>& devices = driver->Devices();
      for (std::size_t d = 0; d < devices.size(); ++d) {
        if (SameDeviceName(tag, devices[d]))
          return driver->WriteValue(d, tagIndex, value, interactive_);
      }
    }
    return 0;
  }();
  if (queued != 0)
    return 1;
  if (interactive_) {
    RuntimeEvent e;
    e.kind = RuntimeEvent::Kind::kWriteNotQueued;
    e.interactive = true;
    e.tagName.assign(tag.name, strnlen(tag.name, sizeof tag.name));
    e.deviceName.assign(tag.deviceName, strnlen(tag.deviceName, sizeof tag.deviceName));
    Push(std::move(e));
  }
  return 0;
}

void DriverHost::SetRetryInterval(uint32_t ms) {
  retryIntervalMs_ = ms;
  for (const std::unique_ptr<CDriver>& driver : drivers_)
    driver->SetRetryInterval(ms);
}

void DriverHost::SetCyclePeriod(uint32_t ms) {
  cyclePeriodMs_ = ms;
  for (const std::unique_ptr<CDriver>& driver : drivers_)
    driver->SetCyclePeriod(ms);
}

std::vector<DeviceStatistics> DriverHost::Statistics() const {
  std::vector<DeviceStatistics> out;
  for (const std::unique_ptr<CDriver>& driver : drivers_) {
    std::vector<DeviceStatistics> stations = driver->Statistics();
    out.insert(out.end(), std::make_move_iterator(stations.begin()),
               std::make_move_iterator(stations.end()));
  }
  return out;
}

void DriverHost::ResetStatistics() {
  for (const std::unique_ptr<CDriver>& driver : drivers_)
    driver->ResetStatistics();
}

}  // namespace talvek
