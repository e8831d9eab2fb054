// The IUnknown part of every COM object we write: QueryInterface over a fixed list of interfaces,
// an atomic reference count, Release that deletes the object at zero, and (optionally) a module
// lock held from construction to destruction. Plus the call guard of every COM method.
//
//   class CMyObject final
//       : public platform::ComObject<CMyObject, platform::Implements<IFirst, IID_IFirst>,
//                                    platform::Implements<ISecond, IID_ISecond>> {
//    public:
//     CMyObject() : ComObject(MyModuleLocks()) {}  // or ComObject() for no module lock
//     BOOL Work() override { return platform::Guarded<BOOL>(0, [&] { return DoWork(); }); }
//
//    private:
//     friend ComObject;  // Release deletes through the private destructor
//     ~CMyObject() = default;
//   };
//
// The object starts with one reference, owned by its creator (platform::ClassFactory hands it on
// through QueryInterface and drops it). The interfaces are bases in the order listed, so each keeps
// its own slot order; QueryInterface answers IID_IUnknown with the first of them, so every
// interface of an object leads to one identity.
#pragma once

#include <atomic>

#include "platform/com.h"
#include "platform/com_server.h"

namespace platform {

// One entry of ComObject's interface list: the interface and the IID QueryInterface answers it for.
template <class Interface, const IID& kIid>
struct Implements {
  using Type = Interface;
  static constexpr const IID& iid = kIid;
};

template <class Derived, class First, class... Rest>
class ComObject : public First::Type, public Rest::Type... {
 public:
  ComObject(const ComObject&) = delete;
  ComObject& operator=(const ComObject&) = delete;

  // E_POINTER for a null ppv; otherwise *ppv = the asked interface with a new reference, or null
  // and E_NOINTERFACE. Not final: an object that offers an interface only sometimes refuses it in
  // its own QueryInterface and asks this one for the rest.
  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv)
      return E_POINTER;
    void* found = nullptr;
    if (riid == IID_IUnknown || riid == First::iid) {
      found = static_cast<typename First::Type*>(this);
    } else {
      // The first listed IID that matches sets `found` (nothing to look at without Rest).
      static_cast<void>(
          ((riid == Rest::iid && (found = static_cast<typename Rest::Type*>(this)) != nullptr) ||
           ...));
    }
    *ppv = found;
    if (!found)
      return E_NOINTERFACE;
    AddRef();
    return S_OK;
  }
  ULONG AddRef() final { return ++refs_; }
  // Deletes the object when the last reference goes; returns the references left.
  ULONG Release() final {
    const ULONG left = --refs_;
    if (left == 0)
      delete static_cast<Derived*>(this);
    return left;
  }

 protected:
  // An object that holds no module lock.
  ComObject() = default;
  // An object that holds a lock of `locks` while it lives.
  explicit ComObject(ModuleLocks& locks) : locks_(&locks) { locks.Lock(); }
  // Runs after the object's own destructor and its members': the module lock goes last.
  ~ComObject() {
    if (locks_)
      locks_->Unlock();
  }

 private:
  std::atomic<ULONG> refs_{1};
  ModuleLocks* locks_ = nullptr;
};

// The call guard of a COM method: nothing may leave a module as an exception, so one thrown by
// `body` becomes the method's failure value `onFailure`.
template <typename Result, typename Body>
Result Guarded(Result onFailure, Body&& body) noexcept {
  try {
    return body();
  } catch (...) {
    return onFailure;
  }
}

}  // namespace platform
