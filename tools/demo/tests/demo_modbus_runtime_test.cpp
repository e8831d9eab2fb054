// End to end: the demo project's Modbus TCP device, as written to disk, polled by the driver host
// through the real Modbus driver (registered by regsvr) from the independent peer server; and its
// Ethernet PLC through the ISO-on-TCP driver from the simulator's TCP side.
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
#include "tools/ppisim/ppi_simulator.h"
#include "tools/ppisim/sim_control.h"
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

  // Loads the project in `folder`, polls it until the tags from `first` on are all good (at most
  // 10 s) and stops.
  void PollFrom(const std::string& folder, std::size_t first) {
    talvek::ProjectState& project = talvek::Project();
    std::strncpy(project.folder, folder.c_str(), sizeof project.folder - 1);
    ASSERT_TRUE(talvek::LoadDevices(project));
    ASSERT_TRUE(talvek::LoadTags(project));
    ASSERT_TRUE(talvek::LoadPorts(project));
    host_ = std::make_unique<talvek::DriverHost>();
    host_->SetCyclePeriod(20);
    host_->CreateDrivers("");
    host_->StartAll();
    const auto allGood = [&] {
      for (std::size_t i = first; i < project.tags.size(); ++i) {
        if (talvek::LoadQuality(project.tags[i]) != kGood)
          return false;
      }
      return true;
    };
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!allGood() && std::chrono::steady_clock::now() < deadline)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
    host_->StopAll();
    for (std::size_t i = first; i < project.tags.size(); ++i)
      EXPECT_EQ(talvek::LoadQuality(project.tags[i]), kGood) << project.tags[i].registerText;
  }

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
  PollFrom(folder.str(), FirstModbusTag());
  talvek::ProjectState& project = talvek::Project();
  ASSERT_EQ(project.tags.size(), FirstModbusTag() + demo::ModbusDemoTags().size());

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

TEST_F(DemoModbusRuntime, EthernetPlcTagsArePolledFromTheSimulatorsTcpSide) {
  const testing_support::RunResult reg = testing_support::RegisterBuiltModule("libKestavo.so");
  ASSERT_EQ(reg.exitCode, 0) << reg.output;
  platform::Registry::Instance().Reload();
  CLSID clsid{};
  ASSERT_TRUE(SUCCEEDED(platform::CLSIDFromProgID(demo::kS7TcpProgId, &clsid)));
  EXPECT_TRUE(clsid == demo::kS7TcpDriverClsid);

  ppisim::Options options;
  options.dataBlocks = {{demo::kEthernetDb, 256}};
  options.tcp.port = 0;
  ppisim::PpiSimulator sim(options);
  ASSERT_TRUE(sim.Start()) << sim.LastError();
  // The demo's own start values, then values the tags' block numbers must not be read as
  // addresses: DB10 bytes 0..13 hold the tags, bytes at address 10 of V memory hold others.
  for (const char* line : {"DB10.DBW0 i 345", "DB10.DBD2 f 0.5", "DB10.DBD6 f 2.25",
                           "DB10.DBX10.0 x 1", "DB10.DBW12 w 1234", "V10 w 999"}) {
    std::string error;
    ASSERT_TRUE(ppisim::ApplyMemoryLine(sim, line, &error)) << line << ": " << error;
  }

  testing_support::TempDir folder;
  std::string error;
  ASSERT_TRUE(demo::WriteDemoProject(folder.str(), CLSID{}, &error, std::nullopt,
                                     demo::EthernetDemo{clsid, sim.TcpPort()}))
      << error;
  PollFrom(folder.str(), FirstModbusTag());
  const auto value = [&](std::size_t k) {
    return talvek::LoadValueWord(talvek::Project().tags[FirstModbusTag() + k]);
  };
  ASSERT_EQ(talvek::Project().tags.size(), FirstModbusTag() + demo::EthernetDemoTags().size());
  EXPECT_EQ(value(0), 345);
  EXPECT_NEAR(WordToFloat(value(1)), 0.5f, 1e-6);
  EXPECT_NEAR(WordToFloat(value(2)), 2.25f, 1e-6);
  EXPECT_EQ(value(3), 1);
  EXPECT_EQ(value(4), 1234);
}

}  // namespace
