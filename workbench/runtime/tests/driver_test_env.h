// What the driver host's tests share: a private registry store into which the real regsvr program
// has registered the PPI driver, the mode-1 test driver and any further modules a fixture names,
// a class whose module is missing, the test driver's control block, record builders and a bounded
// wait.
#pragma once

#include <dlfcn.h>
#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <chrono>
#include <climits>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "common/driver_contract.h"
#include "common/testing/run_program.h"
#include "common/testing/test_support.h"
#include "platform/com.h"
#include "platform/registry.h"
#include "workbench/project/new_records.h"
#include "workbench/project/project_state.h"
#include "workbench/runtime/driver_host.h"
#include "workbench/runtime/tag_fields.h"
#include "workbench/runtime/tag_table.h"
#include "workbench/runtime/tests/mode1_driver_control.h"

namespace driver_test {

// {9714C2FC-184A-49C7-927B-135D9D005B8A}: the PPI driver's class.
inline constexpr CLSID kPpiClsid = {
    0x9714C2FC, 0x184A, 0x49C7, {0x92, 0x7B, 0x13, 0x5D, 0x9D, 0x00, 0x5B, 0x8A}};
// A class that is registered but whose module does not exist.
inline constexpr CLSID kMissingClsid = {
    0x0BADC0DE, 0x1111, 0x4222, {0x83, 0x33, 0x44, 0x44, 0x55, 0x55, 0x66, 0x66}};

inline constexpr const char* kPortsKey = "HKEY_CURRENT_USER\\Software\\VO DAROR\\Ports";

// Runs a program with the current environment; its exit code, or -1.
inline int RunProgram(const std::vector<std::string>& args, std::string* output) {
  testing_support::RunResult result = testing_support::RunProgram(args);
  output->append(result.output);
  return result.exitCode;
}

inline std::string ModulePath(const char* file) {
  return std::filesystem::canonical(testing_support::BinDir() / file).string();
}

// Checks `done` every 10 ms until it holds or `limitMs` pass; the last answer.
template <typename F>
bool WaitFor(F done, int limitMs = 5000) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(limitMs);
  for (;;) {
    if (done())
      return true;
    if (std::chrono::steady_clock::now() >= deadline)
      return done();
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

inline DeviceRecord MakeDevice(const char* name, int port, const char* station, const CLSID& clsid,
                               uint16_t linkKind = kLinkSerial) {
  DeviceRecord d{};
  std::snprintf(d.descriptor.model, sizeof d.descriptor.model, "%s", "S7-200(PPI)");
  d.descriptor.driverClsid = clsid;
  d.descriptor.linkKind = linkKind;
  std::snprintf(d.logicalName, sizeof d.logicalName, "%s", name);
  d.station.stationNumber = std::atoi(station);
  std::snprintf(d.station.addressText, sizeof d.station.addressText, "%s", station);
  d.portNumber = port;
  return d;
}

// A tag whose engineering value equals its raw value: bits are discrete, strings string tags,
// floats float tags, the rest integer tags; all scale by the identity.
inline TagRecord MakeTag(const char* name, const char* device, const char* reg, int rawType) {
  TagRecord t{};
  std::snprintf(t.name, sizeof t.name, "%s", name);
  std::snprintf(t.deviceName, sizeof t.deviceName, "%s", device);
  std::snprintf(t.registerText, sizeof t.registerText, "%s", reg);
  std::snprintf(t.driverModel, sizeof t.driverModel, "%s", "S7-200(PPI)");
  t.flags = kTagExternal;
  t.rawType = rawType;
  t.scanPeriodMs = 1000;
  switch (rawType) {
    case kRawBit:
      t.varType = kVarDiscrete;
      break;
    case kRawString:
      t.varType = kVarString;
      break;
    case kRawFloat:
      t.varType = kVarFloat;
      t.rawMin = FloatToWord(0.0f);
      t.rawMax = FloatToWord(1.0f);
      t.engMin = FloatToWord(0.0f);
      t.engMax = FloatToWord(1.0f);
      break;
    default:
      // Ranges 0..1 on both sides: the scaling is the identity, exactly, in both directions.
      t.varType = kVarInteger;
      t.rawMin = 0;
      t.rawMax = 1;
      t.engMin = 0;
      t.engMax = 1;
      break;
  }
  return t;
}

// The fixture every host test starts from: a fresh store with both driver classes registered by
// the real regsvr, the missing class, COM initialised, an empty project and the test driver's
// control block reset. The host is made by the test once the project is filled.
class HostFixture : public ::testing::Test {
 protected:
  // `extraModules`: further modules of the build that regsvr registers too.
  explicit HostFixture(std::vector<std::string> extraModules = {})
      : configEnv_("TALVEK_CONFIG_DIR", config_.str()),
        runtimeEnv_("TALVEK_RUNTIME_DIR", runtime_.str()),
        modules_{"libOstrel.so", "libMode1TestDriver.so"} {
    modules_.insert(modules_.end(), extraModules.begin(), extraModules.end());
  }

  void SetUp() override {
    for (const std::string& module : modules_) {
      std::string output;
      ASSERT_EQ(
          RunProgram({(testing_support::BinDir() / "regsvr").string(), ModulePath(module.c_str())},
                     &output),
          0)
          << output;
    }
    platform::Registry::Instance().Reload();
    ASSERT_TRUE(platform::RegisterInprocServer(kMissingClsid, "Missing.Driver",
                                               config_.str() + "/libMissingDriver.so"));
    ASSERT_TRUE(SUCCEEDED(platform::CoInitialize(nullptr)));
    // The same module COM loads: one control block.
    module_ = dlopen(ModulePath("libMode1TestDriver.so").c_str(), RTLD_NOW | RTLD_LOCAL);
    ASSERT_NE(module_, nullptr) << dlerror();
    auto control = reinterpret_cast<Mode1ControlFn>(dlsym(module_, kMode1ControlSymbol));
    ASSERT_NE(control, nullptr);
    mode1_ = control();
    ResetMode1Control(*mode1_);
    objectsBefore_ = mode1_->objects.load();
    talvek::Project().ClearTables();
    talvek::Project().ports = {talvek::DefaultPortEntry(1), talvek::DefaultPortEntry(2)};
  }

  void TearDown() override {
    host_.reset();
    if (mode1_ != nullptr) {
      EXPECT_EQ(mode1_->objects.load(), objectsBefore_) << "a driver object was not released";
    }
    talvek::Project().ClearTables();
    if (module_ != nullptr)
      dlclose(module_);
    platform::CoUninitialize();
    platform::Registry::Instance().Reload();
  }

  // Makes the host over the process-wide project and tag table, polling every `periodMs`.
  talvek::DriverHost& MakeHost(uint32_t periodMs = 5) {
    host_ = std::make_unique<talvek::DriverHost>();
    host_->SetCyclePeriod(periodMs);
    return *host_;
  }

  static std::vector<TagRecord>& TagList() { return talvek::Project().tags; }
  static const TagRecord& TagAt(std::size_t i) { return talvek::Project().tags[i]; }
  static void AddDevice(const DeviceRecord& d) { talvek::Project().devices.Add(d); }
  static void AddTag(const TagRecord& t) { talvek::Project().tags.push_back(t); }

  testing_support::TempDir config_;
  testing_support::TempDir runtime_;
  testing_support::ScopedEnv configEnv_;
  testing_support::ScopedEnv runtimeEnv_;
  std::vector<std::string> modules_;  // registered by SetUp
  void* module_ = nullptr;
  Mode1DriverControl* mode1_ = nullptr;
  int objectsBefore_ = 0;
  std::unique_ptr<talvek::DriverHost> host_;
};

}  // namespace driver_test
