// The Ostrel module's COM entry points: the class factory of CS7Proto and the three exports
// DllGetClassObject, DllCanUnloadNow and DllRegisterServer. Nothing else leaves the module.
#include "drivers/ppi/s7proto.h"
#include "platform/com.h"
#include "platform/com_server.h"

namespace {

platform::ClassFactory<CS7Proto> g_factory(ppi::ModuleLocks());

}  // namespace

// DllGetClassObject: the class factory for CLSID_S7Proto, asked for `riid`;
// CLASS_E_CLASSNOTAVAILABLE for any other class, *ppv null unless the call succeeds.
// DllCanUnloadNow: S_OK when no driver object lives, no LockServer lock is held and nobody holds
// the factory. DllRegisterServer: ProgID "Ostrel.S7Proto" with its CLSID, and the CLSID key with
// its ProgID and InProcServer32 = this module's full path (no threading model);
// REGDB_E_WRITEREGDB when the store cannot be written, so that a registration tool can say so.
PLATFORM_INPROC_SERVER_EXPORTS(g_factory, CLSID_S7Proto, kS7ProtoProgId)
