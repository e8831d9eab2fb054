// The Kestavo module's COM entry points: the class factory of CS7Tcp and the three exports
// DllGetClassObject, DllCanUnloadNow and DllRegisterServer. Nothing else leaves the module.
#include "drivers/s7tcp/s7tcp_driver.h"
#include "platform/com.h"
#include "platform/com_server.h"

namespace {

platform::ClassFactory<CS7Tcp> g_factory(s7tcp::ModuleLocks());

}  // namespace

// DllRegisterServer: ProgID "Kestavo.S7Tcp" with its CLSID, and the CLSID key with its ProgID and
// InProcServer32 = this module's full path; REGDB_E_WRITEREGDB when the store cannot be written.
PLATFORM_INPROC_SERVER_EXPORTS(g_factory, CLSID_S7Tcp, kS7TcpProgId)
