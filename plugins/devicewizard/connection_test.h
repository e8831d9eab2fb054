// The connection test of the device wizard's address step: open the device's port with the
// project's settings, ask the station once, close the port.
//
//   ConnectionResult r = TestConnection(driver, device, settings, "2");
//   if (r.answered) ... r.elapsedMs ... else ... r.errorText ...
//
// Blocks for at most the port's time-out (twice for a TCP device that connects first); the wizard
// runs it on a thread of its own so that its window stays responsive.
#pragma once

#include <string>

#include "common/driver_contract.h"
#include "common/records.h"

namespace ondrel {

struct ConnectionResult {
  bool opened = false;    // the port (or, for a TCP device, the settings) was taken
  bool answered = false;  // the station answered the driver's station probe
  double elapsedMs = 0;   // how long the probe took
  std::string errorText;  // GBK: the driver's text for a failure, empty when it has none
};

// Opens `settings` on `driver` (a fresh object of the device's class, used by this call alone),
// links a TCP device, parses `addressText` (GBK) and probes its station once; then closes the port.
ConnectionResult TestConnection(IProtocolDriver* driver, const DeviceRecord& device,
                                const CommSettings& settings, const std::string& addressText);

// The settings the workbench handed for port `portNumber`, or null when it handed none; `running`
// tells whether communication runs (the port is then in use and nothing may be tested).
const CommSettings* PortSettingsFor(int32_t portNumber, bool* running);
// Keeps a copy of the workbench's port settings for the next wizard runs.
void SetPortSettings(const CommSettings* ports, int32_t count, int32_t running) noexcept;

}  // namespace ondrel
