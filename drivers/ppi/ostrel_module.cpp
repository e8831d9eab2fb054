// The Ostrel module's COM entry points: the class factory of CS7Proto and the three exports
// DllGetClassObject, DllCanUnloadNow and DllRegisterServer. Nothing else leaves the module.
#include <atomic>
#include <new>
#include <string>

#include "drivers/ppi/s7proto.h"
#include "platform/com.h"

namespace {

// The one class factory of the module. It lives as long as the module and holds one reference
// of its own, so a count above 1 means a caller still holds it.
class CS7ProtoFactory final : public IClassFactory {
 public:
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv)
      return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_IClassFactory) {
      *ppv = static_cast<IClassFactory*>(this);
      AddRef();
      return S_OK;
    }
    *ppv = nullptr;
    return E_NOINTERFACE;
  }
  ULONG AddRef() override { return ++refs_; }
  // Never destroys the factory: it is a static of the module.
  ULONG Release() override { return --refs_; }

  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv)
      return E_POINTER;
    *ppv = nullptr;
    if (outer)
      return CLASS_E_NOAGGREGATION;
    try {
      auto* object = new (std::nothrow) CS7Proto;
      if (!object)
        return E_OUTOFMEMORY;
      const HRESULT hr = object->QueryInterface(riid, ppv);
      object->Release();  // the creation reference; QueryInterface took the caller's
      return hr;
    } catch (...) {
      *ppv = nullptr;
      return E_UNEXPECTED;
    }
  }

  HRESULT LockServer(BOOL lock) override {
    if (lock) {
      ppi::LockModule();
    } else {
      ppi::UnlockModule();
    }
    return S_OK;
  }

  ULONG References() const { return refs_; }

 private:
  std::atomic<ULONG> refs_{1};
};

CS7ProtoFactory g_factory;

}  // namespace

#define OSTREL_EXPORT extern "C" __attribute__((visibility("default")))

// The class factory for CLSID_S7Proto, asked for `riid`; CLASS_E_CLASSNOTAVAILABLE for any other
// class. *ppv is null unless the call succeeds.
OSTREL_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (!ppv)
    return E_POINTER;
  *ppv = nullptr;
  if (!(rclsid == CLSID_S7Proto))
    return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, ppv);
}

// S_OK when no driver object lives, no LockServer lock is held and nobody holds the factory.
OSTREL_EXPORT HRESULT DllCanUnloadNow() {
  return (ppi::ModuleLockCount() == 0 && g_factory.References() <= 1) ? S_OK : S_FALSE;
}

// Registers the class: ProgID "Ostrel.S7Proto" with its CLSID, and the CLSID key with its ProgID
// and InProcServer32 = this module's full path (no threading model). REGDB_E_WRITEREGDB when the
// store cannot be written, so that a registration tool can say so.
OSTREL_EXPORT HRESULT DllRegisterServer() {
  try {
    const std::string path =
        platform::ModulePathOf(reinterpret_cast<const void*>(&DllRegisterServer));
    if (path.empty())
      return E_UNEXPECTED;
    return platform::RegisterInprocServer(CLSID_S7Proto, kS7ProtoProgId, path) ? S_OK
                                                                               : REGDB_E_WRITEREGDB;
  } catch (...) {
    return E_UNEXPECTED;
  }
}
