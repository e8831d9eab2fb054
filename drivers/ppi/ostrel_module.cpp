// The Ostrel module's COM entry points: the class factory of CS7Proto and the three exports
// DllGetClassObject, DllCanUnloadNow and DllRegisterServer. Nothing else leaves the module.
#include <string>

#include "drivers/ppi/s7proto.h"
#include "platform/com.h"
#include "platform/com_server.h"

namespace {

platform::ClassFactory<CS7Proto> g_factory(ppi::ModuleLocks());

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
  return g_factory.CanUnload() ? S_OK : S_FALSE;
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
