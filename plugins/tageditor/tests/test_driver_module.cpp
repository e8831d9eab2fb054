// libTagEditorTestDriver.so: a protocol driver for the tag editor's tests. It lists the registers
// the tests set and answers ConvertUserConfigToVar as told (test_driver_control.h); it never
// touches a line.
#include <algorithm>
#include <cstring>
#include <vector>

#include "common/testing/stand_in_driver.h"
#include "platform/com.h"
#include "platform/com_server.h"
#include "plugins/tageditor/tests/test_driver_control.h"

namespace {

TagEditorDriverControl g_control;
std::vector<AddressArea> g_table;

class TestDriver final : public testing_support::StandInDriver<TestDriver> {
 public:
  TestDriver() {
    ++g_control.objects;
    ++g_control.created;
    g_control.peakObjects = std::max(g_control.peakObjects, g_control.objects);
  }
  ~TestDriver() { --g_control.objects; }

  BOOL GetRegisters(const char* model, const AddressArea** table, int32_t* count) override {
    ++g_control.registersCalls;
    g_control.lastModel = model != nullptr ? model : "";
    if (g_control.nullTable) {
      *table = nullptr;
      *count = static_cast<int32_t>(g_control.registers.size());
      return g_control.registersResult;
    }
    g_table.clear();
    for (const std::string& name : g_control.registers) {
      AddressArea area{};
      std::memcpy(area.name, name.data(), std::min(name.size(), sizeof area.name));
      area.maxAddress = 65535;
      area.typeMask = 0x1FF;
      g_table.push_back(area);
    }
    *table = g_table.data();
    *count = static_cast<int32_t>(g_table.size());
    return g_control.registersResult;
  }
  uint16_t ConvertUserConfigToVar(const TagAddressInput* in, DriverItem* out) override {
    ++g_control.convertCalls;
    g_control.lastInput = *in;
    const auto* bytes = reinterpret_cast<const unsigned char*>(out);
    g_control.lastOutputZeroed =
        std::all_of(bytes, bytes + sizeof(DriverItem), [](unsigned char b) { return b == 0; });
    return g_control.convertResult;
  }
  const char* GetLastErrorText() override {
    return g_control.errorTextNull ? nullptr : g_control.errorText.c_str();
  }
};

// Server locks are not counted: DllCanUnloadNow looks at the live objects only.
platform::ModuleLocks g_locks;
platform::ClassFactory<TestDriver> g_factory(g_locks);

}  // namespace

#define TEST_DRIVER_EXPORT extern "C" __attribute__((visibility("default")))

TEST_DRIVER_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  // A creation failure the tests ask for comes from the module, as from a driver whose factory
  // cannot be had.
  if (ppv != nullptr && FAILED(g_control.createResult)) {
    *ppv = nullptr;
    return g_control.createResult;
  }
  return platform::ServeClassObject(g_factory, kTagEditorTestDriverClsid, rclsid, riid, ppv);
}

TEST_DRIVER_EXPORT HRESULT DllCanUnloadNow() {
  return g_control.objects == 0 ? S_OK : S_FALSE;
}

TEST_DRIVER_EXPORT HRESULT DllRegisterServer() {
  return platform::RegisterServerModule(reinterpret_cast<const void*>(&DllRegisterServer),
                                        kTagEditorTestDriverClsid, kTagEditorTestDriverProgId);
}

TEST_DRIVER_EXPORT TagEditorDriverControl* TagEditorTestDriverControl() {
  return &g_control;
}
