// The entry points of the two editing plug-ins the project list loads by file name: the device
// installation wizard and the tag editor. Both export one function "Show" with C linkage; the
// workbench owns every record and table it passes, and the plug-in edits the record in place.
//
//   platform::ModuleHandle plugin(LoadLibraryA(kDeviceWizardPluginFile));
//   auto show = plugin.Symbol<DeviceWizardShowFn>("Show");
//   if (show && show(&record, &Project().devices) == 1) { /* store the record */ }
#pragma once

#include <vector>

#include "common/device_array.h"
#include "common/records.h"

namespace talvek {

// Windows file names of the plug-ins (LoadLibraryA maps them to lib<name>.so beside the program);
// the load-failure messages quote them as they are.
inline constexpr char kDeviceWizardPluginFile[] = "Ondrel.dll";
inline constexpr char kTagEditorPluginFile[] = "Tesvic.dll";

// The name of the export both plug-ins provide.
inline constexpr char kPluginEntryPoint[] = "Show";

// Device wizard: fills `device` (which may lie inside `devices`, whose element at that address
// is then skipped in the uniqueness checks); `devices` is read only. 1 when the user finished.
using DeviceWizardShowFn = int (*)(DeviceRecord* device, DeviceArray* devices);

// The device wizard's second, optional export: the settings of every port (the project's entry, or
// the defaults where it has none) and whether communication runs, for the connection test of its
// address step. The workbench calls it before each Show when the plug-in has it.
inline constexpr char kDeviceWizardPortsEntryPoint[] = "SetPortSettings";
using DeviceWizardPortsFn = void (*)(const CommSettings* ports, int32_t count, int32_t running);

// Tag editor: edits `tag` (which may lie inside `tags`); `devices` and `tags` are read only.
// 1 when the dialog was closed with OK and the record rewritten.
using TagEditorShowFn = int (*)(DeviceArray* devices, TagRecord* tag, std::vector<TagRecord>* tags);

}  // namespace talvek
