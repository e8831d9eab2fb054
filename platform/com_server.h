// The pieces every in-process server module needs: a lock count that decides when the module may
// be unloaded, and the class factory of one class.
//
//   platform::ModuleLocks g_locks;                 // objects Lock() in their constructor
//   platform::ClassFactory<CMyObject> g_factory(g_locks);
//   extern "C" HRESULT DllGetClassObject(REFCLSID c, REFIID i, void** ppv) {
//     ...; return g_factory.QueryInterface(i, ppv);
//   }
//   extern "C" HRESULT DllCanUnloadNow() { return g_factory.CanUnload() ? S_OK : S_FALSE; }
#pragma once

#include <atomic>
#include <new>

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

}  // namespace platform
