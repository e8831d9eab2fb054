// libTagEditorTestDriver.so: a protocol driver for the tag editor's tests. It lists the registers
// the tests set and answers ConvertUserConfigToVar as told (test_driver_control.h); it never
// touches a line.
#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/com.h"
#include "plugins/tageditor/tests/test_driver_control.h"

namespace {

TagEditorDriverControl g_control;
std::vector<AddressArea> g_table;

class TestDriver final : public IProtocolDriver {
 public:
  TestDriver() {
    ++g_control.objects;
    ++g_control.created;
    g_control.peakObjects = std::max(g_control.peakObjects, g_control.objects);
  }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv)
      return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IProtocolDriver) {
      *ppv = static_cast<IProtocolDriver*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0) {
      --g_control.objects;
      delete this;
    }
    return left;
  }

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
  BOOL ProbeStation(int32_t, int32_t, int32_t) override { return 1; }
  uint16_t ConvertUserConfigToVar(const TagAddressInput* in, DriverItem* out) override {
    ++g_control.convertCalls;
    g_control.lastInput = *in;
    const auto* bytes = reinterpret_cast<const unsigned char*>(out);
    g_control.lastOutputZeroed =
        std::all_of(bytes, bytes + sizeof(DriverItem), [](unsigned char b) { return b == 0; });
    return g_control.convertResult;
  }
  BOOL Reserved6(int32_t, int32_t, int32_t) override { return 1; }
  BOOL OpenPort(int32_t, const CommSettings*) override { return 1; }
  BOOL ClosePort() override { return 1; }
  BOOL InitLink(const char*, int32_t, int32_t*) override { return 1; }
  BOOL CanMergeItem(const DriverItem*, int32_t, RequestGroup*) override { return 0; }
  BOOL ExecuteGroup(RequestGroup*) override { return 0; }
  BOOL ParseStationAddress(const char*, StationInfo*) override { return 1; }
  const char* GetLastErrorText() override {
    return g_control.errorTextNull ? nullptr : g_control.errorText.c_str();
  }

 private:
  ULONG refs_ = 1;
};

class Factory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv)
      return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return 2; }
  ULONG Release() override { return 1; }
  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv)
      return E_POINTER;
    *ppv = nullptr;
    if (outer != nullptr)
      return CLASS_E_NOAGGREGATION;
    if (FAILED(g_control.createResult))
      return g_control.createResult;
    auto* driver = new TestDriver;
    const HRESULT hr = driver->QueryInterface(riid, ppv);
    driver->Release();
    return hr;
  }
  HRESULT LockServer(BOOL) override { return S_OK; }
};

Factory g_factory;

}  // namespace

#define TEST_DRIVER_EXPORT extern "C" __attribute__((visibility("default")))

TEST_DRIVER_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (!ppv)
    return E_POINTER;
  *ppv = nullptr;
  if (!(rclsid == kTagEditorTestDriverClsid))
    return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, ppv);
}

TEST_DRIVER_EXPORT HRESULT DllCanUnloadNow() {
  return g_control.objects == 0 ? S_OK : S_FALSE;
}

TEST_DRIVER_EXPORT HRESULT DllRegisterServer() {
  const std::string path =
      platform::ModulePathOf(reinterpret_cast<const void*>(&DllRegisterServer));
  return platform::RegisterInprocServer(kTagEditorTestDriverClsid, kTagEditorTestDriverProgId, path)
             ? S_OK
             : REGDB_E_WRITEREGDB;
}

TEST_DRIVER_EXPORT TagEditorDriverControl* TagEditorTestDriverControl() {
  return &g_control;
}
