// The base of the stand-in protocol drivers that tests load through COM in place of a real driver
// (libTagEditorTestDriver.so, libWizardTestDriver.so, libMode1TestDriver.so): IProtocolDriver on
// platform::ComObject, each slot answering as a driver with nothing to do. A test module derives
// its driver from it, overrides the slots its tests steer and serves it with
// platform::ClassFactory and the exports of platform/com_server.h.
//
//   platform::ModuleLocks g_locks;
//   class TestDriver final : public testing_support::StandInDriver<TestDriver> {
//    public:
//     TestDriver() : StandInDriver(g_locks) { ++g_control.objects; }
//     ~TestDriver() { --g_control.objects; }
//     BOOL ParseStationAddress(const char* text, StationInfo* out) override { ... }
//   };
//   platform::ClassFactory<TestDriver> g_factory(g_locks);
//   PLATFORM_INPROC_SERVER_EXPORTS(g_factory, kTestDriverClsid, kTestDriverProgId)
//
// The defaults: GetRegisters gives an empty table (1); ConvertUserConfigToVar refuses (1);
// CanMergeItem merges nothing and ExecuteGroup fails (0), never touching a line; InitLink keeps
// the station number; ParseStationAddress accepts (1) and leaves *out alone; GetLastErrorText has
// no text (null); every other slot answers 1.
#pragma once

#include <cstdint>

#include "common/driver_contract.h"
#include "platform/com_object.h"

namespace testing_support {

template <class Derived>
class StandInDriver
    : public platform::ComObject<Derived,
                                 platform::Implements<IProtocolDriver, IID_IProtocolDriver>> {
  using Base =
      platform::ComObject<Derived, platform::Implements<IProtocolDriver, IID_IProtocolDriver>>;

 public:
  // An object without a module lock, or one that holds a lock of `locks` while it lives.
  StandInDriver() = default;
  explicit StandInDriver(platform::ModuleLocks& locks) : Base(locks) {}

  BOOL GetRegisters(const char*, const AddressArea** table, int32_t* count) override {
    if (table != nullptr)
      *table = nullptr;
    if (count != nullptr)
      *count = 0;
    return 1;
  }
  BOOL ProbeStation(int32_t, int32_t, int32_t) override { return 1; }
  uint16_t ConvertUserConfigToVar(const TagAddressInput*, DriverItem*) override { return 1; }
  BOOL Reserved6(int32_t, int32_t, int32_t) override { return 1; }
  BOOL OpenPort(int32_t, const CommSettings*) override { return 1; }
  BOOL ClosePort() override { return 1; }
  BOOL InitLink(const char*, int32_t station, int32_t* stationOut) override {
    if (stationOut != nullptr)
      *stationOut = station;
    return 1;
  }
  BOOL CanMergeItem(const DriverItem*, int32_t, RequestGroup*) override { return 0; }
  BOOL ExecuteGroup(RequestGroup*) override { return 0; }
  BOOL ParseStationAddress(const char*, StationInfo*) override { return 1; }
  const char* GetLastErrorText() override { return nullptr; }
};

}  // namespace testing_support
