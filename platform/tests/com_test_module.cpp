// A small in-process server built only for the tests: one class (CLSID_TalvekComTest, ProgID
// "Talvek.ComTest") with two interfaces, its class factory and the standard exports, written on
// the same platform::ComObject and platform::ClassFactory as the drivers.
#include <atomic>

#include "platform/com.h"
#include "platform/com_object.h"
#include "platform/com_server.h"
#include "platform/tests/com_test_interfaces.h"

namespace {

std::atomic<long> g_liveObjects{0};
platform::ModuleLocks g_locks;

// One IUnknown pointer per object, whichever interface is asked: COM identity.
class TestObject final
    : public platform::ComObject<TestObject, platform::Implements<ITestCalc, IID_ITestCalc>,
                                 platform::Implements<ITestMemory, IID_ITestMemory>> {
 public:
  TestObject() : ComObject(g_locks) { ++g_liveObjects; }

  int32_t Add(int32_t a, int32_t b) override {
    // Wraps around in 32 bits, as a machine add does, instead of overflowing.
    last_ = static_cast<int32_t>(static_cast<uint32_t>(a) + static_cast<uint32_t>(b));
    return last_;
  }
  int32_t LastResult() override { return last_; }

 private:
  friend ComObject;
  ~TestObject() { --g_liveObjects; }

  std::atomic<int32_t> last_{0};
};

platform::ClassFactory<TestObject> g_factory(g_locks);

}  // namespace

// DllCanUnloadNow: S_OK when no object lives, no LockServer lock is held and nobody holds the
// factory. DllRegisterServer reports a failed write (REGDB_E_WRITEREGDB) instead of a blanket S_OK,
// so that a registration tool can say so.
PLATFORM_INPROC_SERVER_EXPORTS(g_factory, CLSID_TalvekComTest, kTalvekComTestProgId)

#define COM_TEST_EXPORT extern "C" __attribute__((visibility("default")))

COM_TEST_EXPORT long ComTestLiveObjects() {
  return g_liveObjects;
}
