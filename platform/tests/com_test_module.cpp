// A small in-process server built only for the tests: one class (CLSID_TalvekComTest, ProgID
// "Talvek.ComTest") with two interfaces, its class factory and the standard exports.
#include <atomic>
#include <new>

#include "platform/com.h"
#include "platform/tests/com_test_interfaces.h"

namespace {

std::atomic<long> g_liveObjects{0};
std::atomic<long> g_serverLocks{0};

class TestObject final : public ITestCalc, public ITestMemory {
 public:
  TestObject() { ++g_liveObjects; }

  HRESULT QueryInterface(REFIID riid, void** ppv) override {
    if (!ppv)
      return E_POINTER;
    if (riid == IID_IUnknown || riid == IID_ITestCalc) {
      // One IUnknown pointer per object, whichever interface is asked: COM identity.
      *ppv = static_cast<ITestCalc*>(this);
    } else if (riid == IID_ITestMemory) {
      *ppv = static_cast<ITestMemory*>(this);
    } else {
      *ppv = nullptr;
      return E_NOINTERFACE;
    }
    AddRef();
    return S_OK;
  }
  ULONG AddRef() override { return ++refs_; }
  ULONG Release() override {
    const ULONG left = --refs_;
    if (left == 0)
      delete this;
    return left;
  }

  int32_t Add(int32_t a, int32_t b) override {
    // Wraps around in 32 bits, as a machine add does, instead of overflowing.
    last_ = static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
    return last_;
  }
  int32_t LastResult() override { return last_; }

 private:
  ~TestObject() { --g_liveObjects; }

  std::atomic<ULONG> refs_{1};
  std::atomic<int32_t> last_{0};
};

// Lives as long as the module; its references do not own it.
class TestFactory final : public IClassFactory {
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
  ULONG Release() override { return --refs_; }

  HRESULT CreateInstance(IUnknown* outer, REFIID riid, void** ppv) override {
    if (!ppv)
      return E_POINTER;
    *ppv = nullptr;
    if (outer)
      return CLASS_E_NOAGGREGATION;
    auto* object = new (std::nothrow) TestObject;
    if (!object)
      return E_OUTOFMEMORY;
    const HRESULT hr = object->QueryInterface(riid, ppv);
    object->Release();  // the creation reference; QueryInterface holds the caller's
    return hr;
  }
  HRESULT LockServer(BOOL lock) override {
    if (lock) {
      ++g_serverLocks;
    } else {
      --g_serverLocks;
    }
    return S_OK;
  }

  ULONG References() const { return refs_; }

 private:
  std::atomic<ULONG> refs_{0};
};

TestFactory g_factory;

}  // namespace

#define COM_TEST_EXPORT extern "C" __attribute__((visibility("default")))

COM_TEST_EXPORT HRESULT DllGetClassObject(REFCLSID rclsid, REFIID riid, void** ppv) {
  if (!ppv)
    return E_POINTER;
  *ppv = nullptr;
  if (!(rclsid == CLSID_TalvekComTest))
    return CLASS_E_CLASSNOTAVAILABLE;
  return g_factory.QueryInterface(riid, ppv);
}

COM_TEST_EXPORT HRESULT DllCanUnloadNow() {
  return (g_liveObjects == 0 && g_serverLocks == 0 && g_factory.References() == 0) ? S_OK : S_FALSE;
}

COM_TEST_EXPORT HRESULT DllRegisterServer() {
  const std::string path =
      platform::ModulePathOf(reinterpret_cast<const void*>(&DllRegisterServer));
  if (path.empty())
    return E_UNEXPECTED;
  // Unlike a blanket S_OK, a failed write is reported, so that a registration tool can say so.
  return platform::RegisterInprocServer(CLSID_TalvekComTest, kTalvekComTestProgId, path)
             ? S_OK
             : REGDB_E_WRITEREGDB;
}

COM_TEST_EXPORT long ComTestLiveObjects() {
  return g_liveObjects;
}
