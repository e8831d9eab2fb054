// Exchange time of ExecuteGroupEx against the time the bytes need on the wire, with the PLC
// simulator emulating the line speed.
//
// The simulator runs as the separate ppisim program (--baud N: 11 bits a character, its default
// 2 ms turnaround), so the CPU time this process uses during the calls is the driver's alone.
// Counters per call: `ratio` = exchange time / wire time, where the wire time is
// 11 bits × (job + 1 acknowledgement byte + 6 request-for-data bytes + reply) / baud; `cpu_ms`
// and `cpu_pct` = process CPU time used during the call, absolute and as a share of its time.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>
#include <vector>

#include "common/driver_contract.h"
#include "common/group_item.h"
#include "drivers/ppi/s7proto.h"

extern char** environ;

namespace {

constexpr int kBitsPerCharacter = 11;
constexpr size_t kReadJobBytes = 33;
constexpr size_t kAckBytes = 1;
constexpr size_t kDataRequestBytes = 6;
constexpr size_t kReplyOverhead = 27;  // a read reply of n data bytes is 27 + n bytes
constexpr uint16_t kTypeByte = 2;
constexpr uint16_t kTypeInt16 = 4;

// The ppisim program beside this benchmark, started with a line speed; stopped on destruction.
class SimulatorProcess {
 public:
  explicit SimulatorProcess(int baud) {
    const std::filesystem::path program =
        std::filesystem::read_symlink("/proc/self/exe").parent_path() / "ppisim";
    int in[2], out[2];
    if (pipe2(in, O_CLOEXEC) != 0)
      return;
    if (pipe2(out, O_CLOEXEC) != 0) {
      close(in[0]);
      close(in[1]);
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], STDIN_FILENO);
    posix_spawn_file_actions_adddup2(&actions, out[1], STDOUT_FILENO);
    const std::string baudText = std::to_string(baud);
    std::vector<std::string> args = {program.string(), "--baud", baudText, "--quiet"};
    std::vector<char*> argv;
    for (std::string& a : args)
      argv.push_back(a.data());
    argv.push_back(nullptr);
    if (posix_spawn(&pid_, argv[0], &actions, nullptr, argv.data(), environ) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    close(in[0]);
    close(out[1]);
    control_ = in[1];
    output_ = fdopen(out[0], "r");
    // First line: "PTY <slave path>".
    char line[512];
    if (pid_ > 0 && output_ != nullptr && std::fgets(line, sizeof line, output_) != nullptr &&
        std::strncmp(line, "PTY ", 4) == 0) {
      path_.assign(line + 4);
      while (!path_.empty() && (path_.back() == '\n' || path_.back() == '\r'))
        path_.pop_back();
    }
  }
  ~SimulatorProcess() {
    if (control_ >= 0)
      close(control_);  // end of standard input stops the program
    if (output_ != nullptr)
      std::fclose(output_);
    if (pid_ > 0) {
      int status = 0;
      waitpid(pid_, &status, 0);
    }
  }
  SimulatorProcess(const SimulatorProcess&) = delete;
  SimulatorProcess& operator=(const SimulatorProcess&) = delete;

  // The pseudo-terminal to open; empty when the program did not start.
  const std::string& path() const { return path_; }

 private:
  pid_t pid_ = -1;
  int control_ = -1;
  FILE* output_ = nullptr;
  std::string path_;
};

double ProcessCpuSeconds() {
  timespec ts{};
  clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &ts);
  return static_cast<double>(ts.tv_sec) + static_cast<double>(ts.tv_nsec) * 1e-9;
}

// Times ExecuteGroupEx of a V read group holding items at `first` and `last` (types `type`),
// which spans `dataBytes` bytes on the wire.
void RunRead(benchmark::State& state, uint16_t first, uint16_t last, uint16_t type,
             size_t dataBytes) {
  const int baud = static_cast<int>(state.range(0));
  SimulatorProcess sim(baud);
  if (sim.path().empty()) {
    state.SkipWithError("ppisim did not start");
    return;
  }
  CommSettings settings{};
  std::strncpy(settings.portName, sim.path().c_str(), sizeof settings.portName - 1);
  settings.baudRate = baud;
  settings.dataBits = 8;
  settings.stopBits = 1;
  settings.parity = 2;
  settings.timeoutMs = 1000;

  auto* object = new CS7Proto();  // what the class factory creates; PollDelay stays 50/50
  IProtocolDriver2* driver = nullptr;
  object->QueryInterface(IID_IProtocolDriver2, reinterpret_cast<void**>(&driver));
  object->Release();  // the interface pointer holds the object now
  if (driver == nullptr || object->OpenPort(1, &settings) != 1) {
    state.SkipWithError("the driver could not open the simulator's line");
    if (driver != nullptr)
      driver->Release();
    return;
  }

  RequestGroup group{};
  group.station = 2;
  group.areaIndex = 0;
  group.dataType = static_cast<int16_t>(type);
  group.startAddress = first;
  group.endAddress = last + (type == kTypeInt16 ? 1 : 0);
  for (uint16_t address : {first, last}) {
    auto* item = new GroupItem{};
    item->byteAddress = address;
    item->dataType = type;
    AppendGroupItem(group.items, item);
    if (first == last)
      break;
  }

  const double wireSeconds = static_cast<double>(kBitsPerCharacter) *
                             static_cast<double>(kReadJobBytes + kAckBytes + kDataRequestBytes +
                                                 kReplyOverhead + dataBytes) /
                             baud;
  double wallTotal = 0, cpuTotal = 0;
  bool failed = false;
  for (auto _ : state) {
    const double cpuBefore = ProcessCpuSeconds();
    const auto start = std::chrono::steady_clock::now();
    const BOOL ok = driver->ExecuteGroupEx(&group);
    const double wall =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    cpuTotal += ProcessCpuSeconds() - cpuBefore;
    wallTotal += wall;
    state.SetIterationTime(wall);
    failed = failed || ok != 1;
  }
  if (failed)
    state.SkipWithError("an exchange failed");
  const double calls = static_cast<double>(state.iterations());
  state.counters["wire_ms"] = wireSeconds * 1e3;
  state.counters["ratio"] = wallTotal / calls / wireSeconds;
  state.counters["cpu_ms"] = cpuTotal / calls * 1e3;
  state.counters["cpu_pct"] = wallTotal > 0 ? cpuTotal / wallTotal * 100 : 0;

  ClearGroupItems(group.items);
  driver->Release();  // closes the port
}

// One 200-byte read: a group spanning V0..V199.
void BM_Read200Bytes(benchmark::State& state) {
  RunRead(state, 0, 199, kTypeByte, 200);
}

// One 2-byte read: V100 as int16.
void BM_Read2Bytes(benchmark::State& state) {
  RunRead(state, 100, 100, kTypeInt16, 2);
}

BENCHMARK(BM_Read200Bytes)
    ->Arg(9600)
    ->Arg(19200)
    ->UseManualTime()
    ->Iterations(20)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_Read2Bytes)
    ->Arg(9600)
    ->Arg(19200)
    ->UseManualTime()
    ->Iterations(40)
    ->Unit(benchmark::kMillisecond);

}  // namespace
