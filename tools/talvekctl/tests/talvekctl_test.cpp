// talvekctl run as a child process, as an engineer runs it: ad hoc reads and writes against the
// PLC simulator and the Modbus peer, a project run stopped by SIGTERM, and the refusals.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "common/testing/modbus_peer.h"
#include "common/testing/run_program.h"
#include "common/testing/test_support.h"
#include "platform/com.h"
#include "platform/registry.h"
#include "tools/demo/demo_project.h"
#include "tools/ppisim/ppi_simulator.h"

extern char** environ;

namespace {

using testing_support::ModbusPeer;
using testing_support::RunProgram;
using testing_support::RunResult;

std::string Ctl() {
  return (testing_support::BinDir() / "talvekctl").string();
}

class TalvekctlTest : public ::testing::Test {
 protected:
  TalvekctlTest()
      : configEnv_("TALVEK_CONFIG_DIR", config_.str()),
        runtimeEnv_("TALVEK_RUNTIME_DIR", runtime_.str()),
        langEnv_("LANG", "C.UTF-8") {}

  void SetUp() override {
    for (const char* module : {"libOstrel.so", "libZireviVer.so"}) {
      const RunResult reg = testing_support::RegisterBuiltModule(module);
      ASSERT_EQ(reg.exitCode, 0) << reg.output;
    }
    platform::Registry::Instance().Reload();
    ASSERT_TRUE(sim_.Start()) << sim_.LastError();
    Set("V100", ppisim::ValueType::kInt, "1234");
    Set("V10", ppisim::ValueType::kFloat, "2.5");
  }
  void TearDown() override { platform::Registry::Instance().Reload(); }

  void Set(const char* where, ppisim::ValueType type, const char* text) {
    ppisim::Location location;
    ASSERT_TRUE(ppisim::ParseLocation(where, &location)) << where;
    std::string error;
    ASSERT_TRUE(sim_.SetValue(location, type, text, &error, 2)) << error;
  }

  RunResult Ppi(const std::string& command, std::vector<std::string> registers,
                std::vector<std::string> extra = {}) {
    std::vector<std::string> args = {
        Ctl(),    command, "--driver",  "ppi", "--line", sim_.SlavePath(),
        "--baud", "9600",  "--station", "2"};
    args.insert(args.end(), extra.begin(), extra.end());
    args.insert(args.end(), registers.begin(), registers.end());
    return RunProgram(args);
  }

  testing_support::TempDir config_;
  testing_support::TempDir runtime_;
  testing_support::ScopedEnv configEnv_;
  testing_support::ScopedEnv runtimeEnv_;
  testing_support::ScopedEnv langEnv_;
  ppisim::PpiSimulator sim_;
};

TEST_F(TalvekctlTest, PpiReadPrintsOneJsonObjectPerRegisterAndWritesReadBack) {
  RunResult r = Ppi("read", {"VW100:int16", "VD10:float"}, {"--json"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("{\"register\":\"VW100:int16\",\"value\":1234,\"raw\":1234,"
                          "\"quality\":192,\"error\":null,\"time\":\"20"),
            std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("{\"register\":\"VD10:float\",\"value\":2.5,"), std::string::npos)
      << r.output;

  r = Ppi("write", {"VW100:int16=-77", "VD10:float=3.25"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = Ppi("read", {"VW100:int16", "VD10:float"}, {"--csv", "--count", "2", "--interval", "10"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(r.output.rfind("register,value,raw,quality,error,time\n", 0), 0u) << r.output;
  EXPECT_NE(r.output.find("VW100:int16,-77,-77,192,,"), std::string::npos) << r.output;
  EXPECT_NE(r.output.find("VD10:float,3.25,"), std::string::npos) << r.output;
}

TEST_F(TalvekctlTest, RefusedRegistersAndValuesExitWithTwoAndTheReason) {
  // The PPI driver's own text for a width that does not fit the type.
  RunResult r = Ppi("read", {"VW100:int16", "VD10:int16"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.output.find("VD10:int16: 地址所指的宽度"), std::string::npos) << r.output;
  r = Ppi("write", {"VW100:int16=40000"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.output.find("-32768 .. 32767"), std::string::npos) << r.output;
  r = Ppi("read", {"VW100"});
  EXPECT_EQ(r.exitCode, 2) << r.output;
  r = Ppi("read", {"VW100:int16"}, {"--bogus"});
  EXPECT_EQ(r.exitCode, 2) << r.output;
  // A station that does not answer is a failed device, not bad input.
  r = RunProgram({Ctl(), "read", "--driver", "ppi", "--line", sim_.SlavePath(), "--station", "9",
                  "--timeout", "100", "VW100:int16"});
  EXPECT_EQ(r.exitCode, 1) << r.output;
}

TEST_F(TalvekctlTest, ModbusTcpWriteThenReadAndAReadOnlyAreaRefused) {
  std::string why;
  ASSERT_TRUE(ModbusPeer::CanRun(&why)) << why;
  ModbusPeer peer;
  ASSERT_TRUE(peer.StartTcp({1})) << peer.Error();
  const std::string line = "127.0.0.1:" + std::to_string(peer.Port());
  const std::vector<std::string> head = {Ctl(), "",          "--driver", "modbus-tcp", "--line",
                                         line,  "--station", "1",        "--json"};
  auto run = [&](const char* command, std::vector<std::string> registers) {
    std::vector<std::string> args = head;
    args[1] = command;
    args.insert(args.end(), registers.begin(), registers.end());
    return RunProgram(args);
  };
  RunResult r = run("write", {"4X1:uint16=4321", "4X5L:float=1.5"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = run("read", {"4X1:uint16", "4X5L:float"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("\"register\":\"4X1:uint16\",\"value\":4321,"), std::string::npos)
      << r.output;
  EXPECT_NE(r.output.find("\"register\":\"4X5L:float\",\"value\":1.5,"), std::string::npos)
      << r.output;
  r = run("write", {"3X1:int16=5"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.output.find("3X1:int16: 该寄存器区只读"), std::string::npos) << r.output;
}

TEST_F(TalvekctlTest, ModbusRtuAndAsciiWriteThenReadOverASerialLine) {
  std::string why;
  ASSERT_TRUE(ModbusPeer::CanRun(&why)) << why;
  for (const auto framing :
       {testing_support::SerialFraming::kRtu, testing_support::SerialFraming::kAscii}) {
    const std::string driver =
        framing == testing_support::SerialFraming::kRtu ? "modbus-rtu" : "modbus-ascii";
    SCOPED_TRACE(driver);
    testing_support::PtyPair pty;
    ASSERT_TRUE(pty.Start()) << pty.Error();
    ModbusPeer peer;
    ASSERT_TRUE(peer.StartSerial(framing, pty.PeerEnd(), 9600, {3})) << peer.Error();
    auto run = [&](const char* command, const char* reg) {
      return RunProgram({Ctl(), command, "--driver", driver, "--line", pty.DriverEnd(), "--baud",
                         "9600", "--station", "3", "--json", reg});
    };
    RunResult r = run("write", "4X2:int16=-1234");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    r = run("read", "4X2:int16");
    ASSERT_EQ(r.exitCode, 0) << r.output;
    EXPECT_NE(r.output.find("\"register\":\"4X2:int16\",\"value\":-1234,"), std::string::npos)
        << r.output;
  }
}

// The demo project on the simulator (Com1) and the peer (Com2), in a folder of its own.
class TalvekctlProjectTest : public TalvekctlTest {
 protected:
  void SetUp() override {
    TalvekctlTest::SetUp();
    if (HasFatalFailure())
      return;
    std::string why;
    ASSERT_TRUE(ModbusPeer::CanRun(&why)) << why;
    ASSERT_TRUE(peer_.StartTcp({1})) << peer_.Error();
    ASSERT_TRUE(SUCCEEDED(platform::CoInitialize(nullptr)));
    CLSID ppi{};
    demo::ModbusDemo modbus;
    modbus.tcpPort = peer_.Port();
    const bool found =
        SUCCEEDED(platform::CLSIDFromProgID("Ostrel.S7Proto", &ppi)) &&
        SUCCEEDED(platform::CLSIDFromProgID(demo::kModbusProgId, &modbus.driverClsid));
    platform::CoUninitialize();
    ASSERT_TRUE(found);
    ASSERT_TRUE(demo::WriteDemoProject(project_.str(), ppi, &why, modbus)) << why;
    ASSERT_TRUE(platform::Registry::Instance().SetString(
        "HKEY_CURRENT_USER\\Software\\VO DAROR\\Ports", "Com1", sim_.SlavePath()));
    files_ = Snapshot();
  }

  std::vector<std::pair<std::string, std::vector<uint8_t>>> Snapshot() const {
    std::vector<std::pair<std::string, std::vector<uint8_t>>> files;
    for (const std::string& name : testing_support::FilesIn(project_.path()))
      files.emplace_back(
          name, testing_support::ReadFileBytes(project_ / name).value_or(std::vector<uint8_t>{}));
    return files;
  }

  testing_support::TempDir project_;
  ModbusPeer peer_;
  std::vector<std::pair<std::string, std::vector<uint8_t>>> files_;
};

TEST_F(TalvekctlProjectTest, RunPrintsChangesAndStopsCleanlyOnSigtermLeavingTheProjectAlone) {
  int fds[2];
  ASSERT_EQ(pipe2(fds, O_CLOEXEC), 0);
  posix_spawn_file_actions_t actions;
  posix_spawn_file_actions_init(&actions);
  posix_spawn_file_actions_adddup2(&actions, fds[1], STDOUT_FILENO);
  const std::string ctl = Ctl();
  const std::string folder = project_.str();
  std::vector<char*> argv = {const_cast<char*>(ctl.c_str()),    const_cast<char*>("run"),
                             const_cast<char*>(folder.c_str()), const_cast<char*>("--json"),
                             const_cast<char*>("--period"),     const_cast<char*>("20"),
                             const_cast<char*>("--stats"),      nullptr};
  pid_t pid = -1;
  ASSERT_EQ(posix_spawn(&pid, argv[0], &actions, nullptr, argv.data(), environ), 0);
  posix_spawn_file_actions_destroy(&actions);
  close(fds[1]);
  // Until both devices' first values are out, then a change the simulator makes.
  std::string out;
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  bool changed = false;
  while (std::chrono::steady_clock::now() < deadline) {
    pollfd p{fds[0], POLLIN, 0};
    if (poll(&p, 1, 100) > 0) {
      char buffer[4096];
      const ssize_t n = read(fds[0], buffer, sizeof buffer);
      if (n <= 0)
        break;
      out.append(buffer, static_cast<std::size_t>(n));
    }
    const bool both = out.find("\"tag\":\"加药泵频率\"") != std::string::npos &&
                      out.find("\"register\":\"V100\",\"value\":") != std::string::npos;
    if (both && !changed) {
      Set("V142", ppisim::ValueType::kWord, "4242");
      changed = true;
    }
    if (out.find("\"register\":\"V142\",\"value\":4242,\"raw\":4242,\"quality\":192") !=
        std::string::npos)
      break;
  }
  ASSERT_EQ(kill(pid, SIGTERM), 0);
  char buffer[4096];
  for (ssize_t n; (n = read(fds[0], buffer, sizeof buffer)) > 0;)
    out.append(buffer, static_cast<std::size_t>(n));
  close(fds[0]);
  int status = 0;
  ASSERT_EQ(waitpid(pid, &status, 0), pid);
  ASSERT_TRUE(WIFEXITED(status)) << "ended by a signal";
  EXPECT_EQ(WEXITSTATUS(status), 0) << out;
  EXPECT_NE(out.find("\"register\":\"V142\",\"value\":4242,\"raw\":4242,\"quality\":192"),
            std::string::npos)
      << out;
  EXPECT_EQ(Snapshot(), files_);
}

TEST_F(TalvekctlProjectTest, GetAndSetByTagNameWithTheScalingAndTheDialogsChecks) {
  const std::string folder = project_.str();
  // 出水温度: V102, raw 0..27648 is 0..100 ℃.
  RunResult r = RunProgram({Ctl(), "set", folder, "出水温度=50"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  r = RunProgram({Ctl(), "get", folder, "--json", "出水温度"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_NE(r.output.find("\"value\":50,\"raw\":13824,\"quality\":192"), std::string::npos)
      << r.output;
  // Refused as the value-entry dialog refuses them.
  r = RunProgram({Ctl(), "set", folder, "加药泵频率=100"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.output.find("100 超出变量“加药泵频率”的范围,允许的值为 0 ~ 99。"), std::string::npos)
      << r.output;
  r = RunProgram({Ctl(), "set", folder, "加药泵频率=l00"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.output.find("“l00”不是整数"), std::string::npos) << r.output;
  r = RunProgram({Ctl(), "get", folder, "没有的变量"});
  EXPECT_EQ(r.exitCode, 2) << r.output;
  EXPECT_EQ(Snapshot(), files_);
}

TEST_F(TalvekctlProjectTest, TagsExportThenImportKeepsTagDatAndARefusedRowImportsNothing) {
  const std::string folder = project_.str();
  testing_support::TempDir out;
  const std::string csv = (out / "tags.csv").string();
  RunResult r = RunProgram({Ctl(), "tags", "export", folder, csv});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  const std::vector<uint8_t> exported = testing_support::ReadFileBytes(out / "tags.csv").value();
  ASSERT_GT(exported.size(), 3u);
  EXPECT_EQ(std::string(exported.begin(), exported.begin() + 3), "\xEF\xBB\xBF");

  // Every row names a tag the project has: the user must say what to do with them.
  r = RunProgram({Ctl(), "tags", "import", folder, csv});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.output.find("--update"), std::string::npos) << r.output;
  r = RunProgram({Ctl(), "tags", "import", folder, csv, "--update"});
  ASSERT_EQ(r.exitCode, 0) << r.output;
  EXPECT_EQ(Snapshot(), files_);  // Tag.dat byte for byte as it was

  // A refused row, reported with its line; nothing imported.
  const std::string text(exported.begin(), exported.end());
  std::size_t lines = 0;
  for (std::size_t at = 0; (at = text.find("\r\n", at)) != std::string::npos; at += 2)
    ++lines;
  const std::string bad = text + "新变量,,不是类型\r\n";
  ASSERT_TRUE(testing_support::WriteFileBytes(out / "bad.csv", {bad.begin(), bad.end()}));
  r = RunProgram({Ctl(), "tags", "import", folder, (out / "bad.csv").string(), "--keep"});
  EXPECT_EQ(r.exitCode, 2);
  EXPECT_NE(r.output.find("第 " + std::to_string(lines + 1) + " 行"), std::string::npos)
      << r.output;
  EXPECT_EQ(Snapshot(), files_);
}

}  // namespace
