// The pieces every in-process server module needs: a lock count that decides when the module may
// be unloaded, and the class factory of one class.
//
//   platform::ModuleLocks g_locks;                 // objects hold a lock while they live
//   platform::ClassFactory<CMyObject> g_factory(g_locks);
//   PLATFORM_INPROC_SERVER_EXPORTS(g_factory, CLSID_MyObject, "My.Object")
//
// The objects themselves are written on platform::ComObject (platform/com_object.h).
#pragma once

#include <atomic>
#include <new>
#include <string>
#include <string_view>

#include "platform/com.h"

namespace platform {

// Live objects plus outstanding IClassFactory::LockServer(TRUE) calls. An unbalanced Unlock
// leaves the count at 0 instead of letting it go negative (which would allow an unload while
// objects live).
class ModuleLocks {
 public:
  void Lock() { ++count_; }
  void Unlock() {
    long current = count_.load();
    while (current > 0 && !count_.compare_exchange_weak(current, current - 1)) {
    }
  }
  long Count() const { return count_.load(); }

 private:
  std::atomic<long> count_{0};
};

// The class factory of `Object`, meant to be a static of its module: it holds one reference of
// its own and is never destroyed by Release. `Object` is created with new and one reference,
// which CreateInstance hands over through Object::QueryInterface and then drops.
template <class Object>
class ClassFactory final : public IClassFactory {
 public:
  explicit ClassFactory(ModuleLocks& locks) : locks_(locks) {}

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
  ULONG Release() override { return --refs_; }

  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv)
      return E_POINTER;
    *ppv = nullptr;
    if (outer)
      return CLASS_E_NOAGGREGATION;
    try {
      auto* object = new (std::nothrow) Object;
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
      locks_.Lock();
    } else {
      locks_.Unlock();
    }
    return S_OK;
  }

  // True when no object lives, no LockServer lock is held and nobody but the module holds the
  // factory.
  bool CanUnload() const { return locks_.Count() == 0 && refs_.load() <= 1; }

 private:
  ModuleLocks& locks_;
  std::atomic<ULONG> refs_{1};
};

// The body of a one-class module's DllGetClassObject: E_POINTER for a null ppv; otherwise *ppv is
// null unless the call succeeds, CLASS_E_CLASSNOTAVAILABLE when `rclsid` is not `served`, else
// what `factory` answers for `riid`.
inline HRESULT ServeClassObject(IClassFactory& factory, REFCLSID served, REFCLSID rclsid,
                                REFIID riid, void** ppv) {
  if (!ppv)
    return E_POINTER;
  *ppv = nullptr;
  if (!(rclsid == served))
    return CLASS_E_CLASSNOTAVAILABLE;
  return factory.QueryInterface(riid, ppv);
}

// The body of DllRegisterServer: registers `clsid` under `progId`, served by the module that
// contains `inModule` (the address of the export itself). E_UNEXPECTED when that module is not
// found or anything throws; REGDB_E_WRITEREGDB when the store cannot be written, so that a
// registration tool can say so.
inline HRESULT RegisterServerModule(const void* inModule, const CLSID& clsid,
                                    std::string_view progId) noexcept {
  try {
    const std::string path = ModulePathOf(inModule);
    if (path.empty())
      return E_UNEXPECTED;
    return RegisterInprocServer(clsid, progId, path) ? S_OK : REGDB_E_WRITEREGDB;
  } catch (...) {
    return E_UNEXPECTED;
  }
}

}  // namespace platform

// Defines the three exports of an in-process server module of one class, each with C linkage and
// default visibility: DllGetClassObject (ServeClassObject for `clsid` with `factory`, a
// platform::ClassFactory), DllCanUnloadNow (S_OK when `factory`.CanUnload(), else S_FALSE) and
// DllRegisterServer (RegisterServerModule for `clsid` and `progId` with this module's path). Used
// once, at global scope.
#define PLATFORM_INPROC_SERVER_EXPORTS(factory, clsid, progId)                               \
  extern "C" __attribute__((visibility("default"))) HRESULT DllGetClassObject(               \
      REFCLSID rclsid, REFIID riid, void** ppv) {                                            \
    return platform::ServeClassObject(factory, clsid, rclsid, riid, ppv);                    \
  }                                                                                          \
  extern "C" __attribute__((visibility("default"))) HRESULT DllCanUnloadNow() {              \
    return (factory).CanUnload() ? S_OK : S_FALSE;                                           \
  }                                                                                          \
  extern "C" __attribute__((visibility("default"))) HRESULT DllRegisterServer() {            \
    return platform::RegisterServerModule(reinterpret_cast<const void*>(&DllRegisterServer), \
                                          clsid, progId);                                    \
  }
