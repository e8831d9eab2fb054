// A small in-process COM: interfaces, class factories, object creation by CLSID and ProgID.
//
// Classes are found through the registry store (platform/registry.h): a module registers
// "HKEY_CLASSES_ROOT\CLSID\{...}\InProcServer32" (default value = module path) and
// "HKEY_CLASSES_ROOT\<ProgID>\CLSID" (default value = "{...}"). CoCreateInstance loads the module
// once (it stays loaded), calls its exported DllGetClassObject and then the factory's
// CreateInstance.
//
//   platform::CoInitialize(nullptr);
//   IUnknown* unk = nullptr;
//   if (SUCCEEDED(platform::CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown,
//                                            reinterpret_cast<void**>(&unk)))) {
//     ...;
//     unk->Release();
//   }
//   platform::CoUninitialize();
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "platform/win_types.h"

// Interfaces keep the slot order of their Windows namesakes and have no virtual destructor: an
// object is destroyed by its own Release.
class IUnknown {
 public:
  virtual HRESULT QueryInterface(REFIID riid, void** ppv) = 0;
  virtual ULONG AddRef() = 0;
  virtual ULONG Release() = 0;

 protected:
  ~IUnknown() = default;
};

class IClassFactory : public IUnknown {
 public:
  virtual HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) = 0;
  virtual HRESULT LockServer(BOOL lock) = 0;

 protected:
  ~IClassFactory() = default;
};

// {00000000-0000-0000-C000-000000000046}
inline constexpr IID IID_IUnknown = {0x00000000, 0x0000, 0x0000,
                                     {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
// {00000001-0000-0000-C000-000000000046}
inline constexpr IID IID_IClassFactory = {0x00000001, 0x0000, 0x0000,
                                          {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};

// Entry points that an in-process server module exports with C linkage.
using DllGetClassObjectFn = HRESULT (*)(REFCLSID rclsid, REFIID riid, void** ppv);
using DllCanUnloadNowFn = HRESULT (*)();
using DllRegisterServerFn = HRESULT (*)();

namespace platform {

// Reference-counted process-wide initialisation; S_OK on the first call, S_FALSE on later ones.
HRESULT CoInitialize(void* reserved);
// Undoes one CoInitialize.
void CoUninitialize();

// Creates an object of a registered class. Results: S_OK; CO_E_NOTINITIALIZED before
// CoInitialize; REGDB_E_CLASSNOTREG for an unknown CLSID; CO_E_DLLNOTFOUND when the module does
// not load; CO_E_ERRORINDLL when it has no DllGetClassObject; CLASS_E_NOAGGREGATION for a
// non-null outer; otherwise whatever the module's factory answers. *ppv is null on failure.
HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* outer, DWORD clsContext, REFIID riid,
                         void** ppv);

// Looks a ProgID up in the registry store. CO_E_CLASSSTRING when it is not registered.
HRESULT CLSIDFromProgID(const char* progId, CLSID* clsid);

// The current time as a FILETIME (UTC).
HRESULT CoFileTimeNow(FILETIME* now);

// "{9714C2FC-184A-49C7-927B-135D9D005B8A}": braces, upper-case hex, Windows field order.
std::string GuidToString(const GUID& guid);

// Parses the braced form (hex digits of either case). Returns false on any deviation.
[[nodiscard]] bool ParseGuid(std::string_view text, GUID& out);

// Writes the class registration of an in-process server: the ProgID key with its CLSID, and the
// CLSID key with its ProgID and InProcServer32 = modulePath. Returns false when the store fails.
[[nodiscard]] bool RegisterInprocServer(const CLSID& clsid, std::string_view progId,
                                        std::string_view modulePath);

// Full path of the loaded module (shared library or program) that contains `address`.
std::string ModulePathOf(const void* address);

}  // namespace platform
