// Stand-ins for the device wizard and the tag editor, loaded by the project list's tests through
// the same LoadLibraryA/GetProcAddress("Show") path as the real plug-ins. Built twice: with
// FAKE_DEVICE_WIZARD for the wizard's signature, without it for the tag editor's.
//
// Show records the call, and writes the configured name into the record, also when it then
// answers 0: the real device wizard writes each step into the record as the user leaves it.
#include <algorithm>
#include <cstring>
#include <string>

#include "common/plugin_entry.h"

namespace {

int g_result = 1;
std::string g_name;
int g_calls = 0;
const void* g_lastRecord = nullptr;

void Rename(char* field, std::size_t size) {
  if (g_name.empty())
    return;
  std::memset(field, 0, size);
  std::memcpy(field, g_name.data(), std::min(g_name.size(), size - 1));
}

}  // namespace

extern "C" {

// What the next Show calls answer, and the GBK name they write (empty: none).
__attribute__((visibility("default"))) void FakePluginConfigure(int result, const char* gbkName) {
  g_result = result;
  g_name = gbkName != nullptr ? gbkName : "";
  g_calls = 0;
  g_lastRecord = nullptr;
}

__attribute__((visibility("default"))) int FakePluginCalls() {
  return g_calls;
}

// The record the last Show call was given.
__attribute__((visibility("default"))) const void* FakePluginLastRecord() {
  return g_lastRecord;
}

#ifdef FAKE_DEVICE_WIZARD
__attribute__((visibility("default"))) int Show(DeviceRecord* device, talvek::DeviceArray*) {
  ++g_calls;
  g_lastRecord = device;
  Rename(device->logicalName, sizeof device->logicalName);
  std::strcpy(device->descriptor.model, "S7-200(PPI)");
  return g_result;
}
#else
__attribute__((visibility("default"))) int Show(talvek::DeviceArray*, TagRecord* tag,
                                                std::vector<TagRecord>*) {
  ++g_calls;
  g_lastRecord = tag;
  if (g_result == 1)
    Rename(tag->name, sizeof tag->name);
  return g_result;
}
#endif

}  // extern "C"
