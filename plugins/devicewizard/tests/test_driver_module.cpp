// A protocol driver for the device wizard's tests: an in-process COM server with one class that
// implements IProtocolDriver. Station addresses are digits with any blanks; the stored text is
// the number without blanks or leading zeros, so the wizard's duplicate check can be shown to
// compare normalised texts. Tests steer and watch it through WizardTestDriverControl.
#include "plugins/devicewizard/tests/test_driver_module.h"

#include <atomic>
#include <cstring>
#include <new>
#include <string>

#include "common/driver_contract.h"
#include "platform/com.h"
#include "platform/com_server.h"

namespace {

WizardTestDriverControl g_control{};

class TestDriver final : public IProtocolDriver {
 public:
  TestDriver() {
    ++g_control.liveObjects;
    ++g_control.createdObjects;
  }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (ppv == nullptr) {
      return E_POINTER;
    }
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
      --g_control.liveObjects;
      delete this;
    }
    return left;
  }

  BOOL GetRegisters(const char*, const AddressArea** table, int32_t* count) override {
    if (table != nullptr) {
      *table = nullptr;
    }
    if (count != nullptr) {
      *count = 0;
    }
    return 1;
  }
  BOOL ProbeStation(int32_t, int32_t, int32_t) override { return 1; }
  uint16_t ConvertUserConfigToVar(const TagAddressInput*, DriverItem*) override { return 1; }
  BOOL Reserved6(int32_t, int32_t, int32_t) override { return 1; }
  BOOL OpenPort(int32_t, const CommSettings*) override { return 1; }
  BOOL ClosePort() override { return 1; }
  BOOL InitLink(const char*, int32_t station, int32_t* out) override {
    if (out != nullptr) {
      *out = station;
    }
    return 1;
  }
  BOOL CanMergeItem(const DriverItem*, int32_t, RequestGroup*) override { return 0; }
  BOOL ExecuteGroup(RequestGroup*) override { return 0; }

  BOOL ParseStationAddress(const char* text, StationInfo* out) override {
    ++g_control.parseCalls;
    if (text == nullptr || out == nullptr) {
      return 0;
    }
    std::strncpy(g_control.lastText, text, sizeof g_control.lastText - 1);
    g_control.lastText[sizeof g_control.lastText - 1] = '\0';
    if (g_control.refuseAddresses != 0) {
      return 0;
    }
    std::string digits;
    for (const char* p = text; *p != '\0'; ++p) {
      if (*p == ' ' || *p == '\t') {
        continue;
      }
      if (*p < '0' || *p > '9') {
        return 0;
      }
      if (digits == "0") {
        digits.clear();  // a leading zero
      }
      digits.push_back(*p);
    }
    if (digits.empty() || digits.size() > 9) {
      return 0;
    }
    out->stationNumber = std::stoi(digits);
    std::memset(out->addressText, 0, sizeof out->addressText);
    std::memcpy(out->addressText, digits.data(), digits.size());
    return 1;
  }
  const char* GetLastErrorText() override { return nullptr; }

 private:
  std::atomic<ULONG> refs_{1};
};

// Server locks are not counted: DllCanUnloadNow looks at the live objects only.
platform::ModuleLocks g_locks;
platform::ClassFactory<TestDriver> g_factory(g_locks);

}  // namespace

#define TEST_DRIVER_EXPORT extern "C" __attribute__((visibility("default")))

TEST_DRIVER_EXPORT WizardTestDriverControl* WizardTestDriverControlBlock() {
  return &g_control;
}

TEST_DRIVER_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (ppv == nullptr) {
    return E_POINTER;
  }
  *ppv = nullptr;
  if (!(rclsid == CLSID_WizardTestDriver)) {
    return CLASS_E_CLASSNOTAVAILABLE;
  }
  return g_factory.QueryInterface(riid, ppv);
}

TEST_DRIVER_EXPORT HRESULT DllCanUnloadNow() {
  return g_control.liveObjects == 0 ? S_OK : S_FALSE;
}

// Registers the class under its own ProgID; tests that need it as the Modbus driver register
// that ProgID for the same class themselves.
TEST_DRIVER_EXPORT HRESULT DllRegisterServer() {
  const std::string path =
      platform::ModulePathOf(reinterpret_cast<const void*>(&DllRegisterServer));
  if (path.empty()) {
    return E_UNEXPECTED;
  }
  return platform::RegisterInprocServer(CLSID_WizardTestDriver, kWizardTestDriverProgId, path)
             ? S_OK
             : REGDB_E_WRITEREGDB;
}
