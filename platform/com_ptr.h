// An owning pointer to a COM interface: one reference, released when the pointer goes. The one
// smart pointer for COM objects, in the program and in the plug-ins alike.
//
//   platform::ComPtr<IProtocolDriver> driver;
//   if (SUCCEEDED(CoCreateInstance(clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IProtocolDriver,
//                                  driver.PutVoid()))) { driver->GetRegisters(...); }
//   platform::ComPtr<IProtocolDriver2> second;
//   driver->QueryInterface(IID_IProtocolDriver2, second.PutVoid());
//   held = std::move(driver);  // the reference moves; `held`'s earlier one is released
#pragma once

#include <utility>

namespace platform {

template <typename T>
class ComPtr {
 public:
  ComPtr() = default;
  ~ComPtr() { Reset(); }
  ComPtr(const ComPtr&) = delete;
  ComPtr& operator=(const ComPtr&) = delete;
  ComPtr(ComPtr&& other) noexcept : p_(std::exchange(other.p_, nullptr)) {}
  // Takes over the other pointer's reference, then releases the one held before.
  ComPtr& operator=(ComPtr&& other) noexcept {
    if (this != &other) {
      T* old = std::exchange(p_, std::exchange(other.p_, nullptr));
      if (old)
        old->Release();
    }
    return *this;
  }

  // The held interface, or null; the reference stays with this pointer.
  T* Get() const { return p_; }
  T* operator->() const { return p_; }
  explicit operator bool() const { return p_ != nullptr; }

  // Releases the held reference, if any.
  void Reset() {
    if (T* p = std::exchange(p_, nullptr))
      p->Release();
  }
  // Releases the held reference and hands out the slot for an out-parameter (`void**`), so a
  // creation function's reference lands here.
  void** PutVoid() {
    Reset();
    return reinterpret_cast<void**>(&p_);
  }

 private:
  T* p_ = nullptr;
};

}  // namespace platform
