// End to end: the demo project's Modbus TCP device, as written to disk, polled by the driver host
// through the real Modbus driver (registered by regsvr) from the independent peer server.
#include <chrono>
#include <cstring>
#include <string>
#include <thread>

#include <gtest/gtest.h>

#include "common/testing/modbus_peer.h"
#include "common/testing/run_program.h"
#include "common/testing/test_support.h"
#include "platform/com.h"
#include "platform/registry.h"
#include "tools/demo/demo_project.h"
#include "workbench/project/data_files.h"
#include "workbench/project/project_state.h"
#include "workbench/runtime/driver_host.h"
#include "workbench/runtime/tag_fields.h"

namespace {

using testing_support::BitTable;
using testing_support::ModbusPeer;
using testing_support::RegisterTable;

constexpr uint16_t kGood = 192;

class DemoModbusRuntime : public ::testing::Test {
 protected:
  DemoModbusRuntime()
      : configEnv_("TALVEK_CONFIG_DIR", config_.str()),
        runtimeEnv_("TALVEK_RUNTIME_DIR", runtime_.str()) {}

  void SetUp() override {
    std::string why;
    ASSERT_TRUE(ModbusPeer::CanRun(&why)) << why;
    const testing_support::RunResult reg = testing_support::RegisterBuiltModule("libZireviVer.so");
    ASSERT_EQ(reg.exitCode, 0) << reg.output;
    platform::Registry::Instance().Reload();
    ASSERT_TRUE(SUCCEEDED(platform::CoInitialize(nullptr)));
    comStarted_ = true;
    talvek::Project().ClearTables();
  }

  void TearDown() override {
    host_.reset();
    talvek::Project().ClearTables();
    talvek::Project().folder[0] = '\0';
    if (comStarted_)
      platform::CoUninitialize();
    platform::Registry::Instance().Reload();
  }

  // Every Modbus tag of the project; the demo writes them after the PLC's.
  static std::size_t FirstModbusTag() { return demo::DemoTags().size(); }

  testing_support::TempDir config_;
  testing_support::TempDir runtime_;
  testing_support::ScopedEnv configEnv_;
  testing_support::ScopedEnv runtimeEnv_;
  bool comStarted_ = false;
  std::unique_ptr<talvek::DriverHost> host_;
};

TEST_F(DemoModbusRuntime, DemoTagsArePolledFromThePeer) {
  // The class the demo falls back on is the one the driver registers.
  CLSID clsid{};
  ASSERT_TRUE(SUCCEEDED(platform::CLSIDFromProgID(demo::kModbusProgId, &clsid)));
  EXPECT_TRUE(clsid == demo::kModbusDriverClsid);

  ModbusPeer peer;
  ASSERT_TRUE(peer.StartTcp({demo::kModbusUnit}, 100)) << peer.Error();
  // 4X1..4X4; 4X5 = 25.3f high word first; 4X7L = 50.6f low word first (0x424A6666).
  ASSERT_TRUE(peer.SetRegisters(1, RegisterTable::kHolding, 0,
                                {42, 0xFE0C, 54321, 40123, 0x41CA, 0x6666, 0x6666, 0x424A}));
  ASSERT_TRUE(peer.SetRegisters(1, RegisterTable::kInput, 0, {777}));
  ASSERT_TRUE(peer.SetBits(1, BitTable::kCoils, 0, {1}));
  ASSERT_TRUE(peer.SetBits(1, BitTable::kDiscreteInputs, 0, {1}));

  // The PLC's class is left unregistered: its device is skipped, the Modbus device runs alone.
  testing_support::TempDir folder;
  std::string error;
  ASSERT_TRUE(
      demo::WriteDemoProject(folder.str(), CLSID{}, &error, demo::ModbusDemo{clsid, peer.Port()}))
      << error;
  talvek::ProjectState& project = talvek::Project();
  std::strncpy(project.folder, folder.str().c_str(), sizeof project.folder - 1);
  ASSERT_TRUE(talvek::LoadDevices(project));
  ASSERT_TRUE(talvek::LoadTags(project));
  ASSERT_TRUE(talvek::LoadPorts(project));
  ASSERT_EQ(project.tags.size(), FirstModbusTag() + demo::ModbusDemoTags().size());

  host_ = std::make_unique<talvek::DriverHost>();
  host_->SetCyclePeriod(20);
  host_->CreateDrivers("");
  host_->StartAll();
  const auto allGood = [&] {
    for (std::size_t i = FirstModbusTag(); i < project.tags.size(); ++i) {
      if (talvek::LoadQuality(project.tags[i]) != kGood)
        return false;
    }
    return true;
  };
  // The host offers nothing to wait on: look every 10 ms, up to 10 s.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (!allGood() && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  host_->StopAll();
  for (std::size_t i = FirstModbusTag(); i < project.tags.size(); ++i)
    EXPECT_EQ(talvek::LoadQuality(project.tags[i]), kGood) << project.tags[i].registerText;

  const auto value = [&](std::size_t k) {
    return talvek::LoadValueWord(project.tags[FirstModbusTag() + k]);
  };
  EXPECT_EQ(value(0), 42);
  EXPECT_EQ(value(1), -500);
  EXPECT_EQ(value(2), 54321);
  EXPECT_EQ(value(3), 40123);
  EXPECT_NEAR(WordToFloat(value(4)), 25.3f, 1e-4);
  EXPECT_NEAR(WordToFloat(value(5)), 50.6f, 1e-4);
  EXPECT_EQ(value(6), 777);
  EXPECT_EQ(value(7), 1);
  EXPECT_EQ(value(8), 1);
}

}  // namespace
