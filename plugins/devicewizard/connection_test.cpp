#include "plugins/devicewizard/connection_test.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <vector>

#include "platform/gbk.h"

namespace ondrel {

namespace {

struct PortTable {
  std::vector<CommSettings> ports;
  bool running = false;
};

PortTable& Table() {
  static PortTable table;
  return table;
}

// The driver's own text for its last failure, if it has one.
std::string DriverText(IProtocolDriver* driver) {
  const char* text = driver->GetLastErrorText();
  return text != nullptr ? std::string(text) : std::string();
}

}  // namespace

ConnectionResult TestConnection(IProtocolDriver* driver, const DeviceRecord& device,
                                const CommSettings& settings, const std::string& addressText) {
  ConnectionResult result;
  if (driver == nullptr)
    return result;
  try {
    if (driver->OpenPort(1, &settings) != 1) {
      result.errorText = DriverText(driver);
      return result;
    }
    result.opened = true;
    StationInfo station{};
    if (driver->ParseStationAddress(addressText.c_str(), &station) == 1) {
      char model[sizeof device.descriptor.model + 1] = {};
      std::memcpy(model, device.descriptor.model, sizeof device.descriptor.model);
      int32_t linked = station.stationNumber;
      if (device.descriptor.linkKind == kLinkTcpIp)
        driver->InitLink(model, station.stationNumber, &linked);
      const auto start = std::chrono::steady_clock::now();
      result.answered = driver->ProbeStation(0, station.stationNumber, 0) == 1;
      result.elapsedMs =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count();
    }
    if (!result.answered)
      result.errorText = DriverText(driver);
    driver->ClosePort();
  } catch (...) {
    result.answered = false;  // a driver must not throw; nothing leaves this thread
  }
  return result;
}

const CommSettings* PortSettingsFor(int32_t portNumber, bool* running) {
  PortTable& table = Table();
  if (running != nullptr)
    *running = table.running;
  char name[sizeof(CommSettings::portName)];
  std::snprintf(name, sizeof name, "Com%d", static_cast<int>(portNumber));
  for (const CommSettings& port : table.ports) {
    if (std::strncmp(port.portName, name, sizeof port.portName) == 0)
      return &port;
  }
  return nullptr;
}

void SetPortSettings(const CommSettings* ports, int32_t count, int32_t running) noexcept {
  try {
    PortTable& table = Table();
    if (ports != nullptr && count > 0) {
      table.ports.assign(ports, ports + count);
    } else {
      table.ports.clear();
    }
    table.running = running != 0;
  } catch (...) {
  }
}

}  // namespace ondrel
