// The ZireviVer module's COM entry points: the class factory of CZireviVer and the three exports
// DllGetClassObject, DllCanUnloadNow and DllRegisterServer. Nothing else leaves the module.
#include <string>

#include "drivers/modbus/zirevi_driver.h"
#include "platform/com.h"
#include "platform/com_server.h"

namespace {

platform::ClassFactory<CZireviVer> g_factory(modbus::ModuleLocks());

}  // namespace

#define ZIREVI_EXPORT extern "C" __attribute__((visibility("default")))

// The class factory for CLSID_ZireviVer, asked for `riid`; CLASS_E_CLASSNOTAVAILABLE for any
// other class. *ppv is null unless the call succeeds.
ZIREVI_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (!ppv)
    return E_POINTER;
  *ppv = nullptr;
  if (!(rclsid == CLSID_ZireviVer))
    return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, ppv);
}

// S_OK when no driver object lives, no LockServer lock is held and nobody holds the factory.
ZIREVI_EXPORT HRESULT DllCanUnloadNow() {
  return g_factory.CanUnload() ? S_OK : S_FALSE;
}

// Registers the class: ProgID "ZireviVer.ZireviVerPro" with its CLSID, and the CLSID key with its
// ProgID and InProcServer32 = this module's full path. REGDB_E_WRITEREGDB when the store cannot be
// written, so that a registration tool can say so.
ZIREVI_EXPORT HRESULT DllRegisterServer() {
  try {
    const std::string path =
        platform::ModulePathOf(reinterpret_cast<const void*>(&DllRegisterServer));
    if (path.empty())
      return E_UNEXPECTED;
    return platform::RegisterInprocServer(CLSID_ZireviVer, kZireviVerProgId, path)
               ? S_OK
               : REGDB_E_WRITEREGDB;
  } catch (...) {
    return E_UNEXPECTED;
  }
}
