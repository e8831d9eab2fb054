// The Ondrel module's one export. The workbench loads "Ondrel.dll" (libOndrel.so) by file name
// and calls Show with the record to fill and the project's device table; everything else in the
// module is hidden.
#include "plugins/devicewizard/connection_test.h"
#include "plugins/devicewizard/device_wizard.h"

// Runs the device installation wizard on `device`; `devices` is read only. 1 when the user
// finished the wizard, 0 otherwise. The record may be changed in either case.
extern "C" __attribute__((visibility("default"))) int Show(DeviceRecord* device,
                                                           talvek::DeviceArray* devices) {
  return ondrel::RunDeviceWizard(device, devices);
}

// The port settings the address step's connection test opens a port with, and whether
// communication runs; called before Show (a wizard never told tests nothing).
extern "C" __attribute__((visibility("default"))) void SetPortSettings(const CommSettings* ports,
                                                                       int32_t count,
                                                                       int32_t running) {
  ondrel::SetPortSettings(ports, count, running);
}
