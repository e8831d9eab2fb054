// A protocol driver for the device wizard's tests: an in-process COM server with one class that
// implements IProtocolDriver. Station addresses are digits with any blanks; the stored text is
// the number without blanks or leading zeros, so the wizard's duplicate check can be shown to
// compare normalised texts. Tests steer and watch it through WizardTestDriverControl.
#include "plugins/devicewizard/tests/test_driver_module.h"

#include <cstring>
#include <string>

#include "common/driver_contract.h"
#include "common/testing/stand_in_driver.h"
#include "platform/com.h"
#include "platform/com_server.h"

namespace {

WizardTestDriverControl g_control{};
platform::ModuleLocks g_locks;

class TestDriver final : public testing_support::StandInDriver<TestDriver> {
 public:
  TestDriver() : StandInDriver(g_locks) {
    ++g_control.liveObjects;
    ++g_control.createdObjects;
  }
  ~TestDriver() { --g_control.liveObjects; }

  BOOL ParseStationAddress(const char* text, StationInfo* out) override {
    ++g_control.parseCalls;
    if (text == nullptr || out == nullptr) {
      return 0;
    }
    std::strncpy(g_control.lastText, text, sizeof g_control.lastText - 1);
    g_control.lastText[sizeof g_control.lastText - 1] = '\0';
    if (g_control.refuseAddresses != 0) {
      return 0;
    }
    std::string digits;
    for (const char* p = text; *p != '\0'; ++p) {
      if (*p == ' ' || *p == '\t') {
        continue;
      }
      if (*p < '0' || *p > '9') {
        return 0;
      }
      if (digits == "0") {
        digits.clear();  // a leading zero
      }
      digits.push_back(*p);
    }
    if (digits.empty() || digits.size() > 9) {
      return 0;
    }
    out->stationNumber = std::stoi(digits);
    std::memset(out->addressText, 0, sizeof out->addressText);
    std::memcpy(out->addressText, digits.data(), digits.size());
    return 1;
  }
};

platform::ClassFactory<TestDriver> g_factory(g_locks);

}  // namespace

#define TEST_DRIVER_EXPORT extern "C" __attribute__((visibility("default")))

TEST_DRIVER_EXPORT WizardTestDriverControl* WizardTestDriverControlBlock() {
  return &g_control;
}

// Registers the class under its own ProgID; tests that need it as the Modbus driver register
// that ProgID for the same class themselves.
PLATFORM_INPROC_SERVER_EXPORTS(g_factory, CLSID_WizardTestDriver, kWizardTestDriverProgId)
