// Driver host benchmarks: building the drivers for 65,536 tags with the real PPI driver (its
// CanMergeItem is the real merge rule), one polling cycle's own work with a driver whose
// requests return at once, and the time from a write call to its execution while the polling
// thread reads over a slow line, and a live PLC's cycle beside a station that never answers and
// with its frames traced.
#include <benchmark/benchmark.h>
#include <dlfcn.h>
#include <stdlib.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>

#include "common/driver_contract.h"
#include "common/testing/modbus_peer.h"
#include "platform/com.h"
#include "platform/com_object.h"
#include "platform/registry.h"
#include "platform/sync.h"
#include "tools/ppisim/ppi_simulator.h"
#include "workbench/project/new_records.h"
#include "workbench/project/project_state.h"
#include "workbench/runtime/bench/fake_driver.h"
#include "workbench/runtime/driver_host.h"
#include "workbench/runtime/tag_table.h"

namespace {

using talvek::DriverHost;
using talvek::ProjectState;
using talvek::RuntimeTagTable;

constexpr int kTags = 65536;

// {9714C2FC-184A-49C7-927B-135D9D005B8A}
constexpr CLSID kPpiClsid = {
    0x9714C2FC, 0x184A, 0x49C7, {0x92, 0x7B, 0x13, 0x5D, 0x9D, 0x00, 0x5B, 0x8A}};
// {6A0C2B7E-3F51-4D8A-9C1E-5B2D7E4F8A10}
constexpr CLSID kModbusClsid = {
    0x6A0C2B7E, 0x3F51, 0x4D8A, {0x9C, 0x1E, 0x5B, 0x2D, 0x7E, 0x4F, 0x8A, 0x10}};
constexpr CLSID kFakeClsid = {
    0x7E57B0B0, 0x0001, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01}};

std::filesystem::path ProgramDir() {
  char buf[4096];
  const ssize_t n = readlink("/proc/self/exe", buf, sizeof buf - 1);
  if (n <= 0)
    return ".";
  buf[n] = '\0';
  return std::filesystem::path(buf).parent_path();
}

// A private registry store with both drivers registered, and COM initialised, once.
bool PrepareCom() {
  static const bool ready = [] {
    char pattern[] = "/tmp/talvek-bench-XXXXXX";
    if (mkdtemp(pattern) == nullptr)
      return false;
    setenv("TALVEK_CONFIG_DIR", pattern, 1);
    platform::Registry::Instance().Reload();
    for (const char* file : {"libOstrel.so", "libZireviVer.so"}) {
      const std::string path = (ProgramDir() / file).string();
      void* module = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
      if (module == nullptr)
        return false;
      auto reg = reinterpret_cast<DllRegisterServerFn>(dlsym(module, "DllRegisterServer"));
      if (reg == nullptr || reg() != S_OK)
        return false;
    }
    return SUCCEEDED(platform::CoInitialize(nullptr));
  }();
  return ready;
}

DeviceRecord Device(const CLSID& clsid) {
  DeviceRecord d{};
  std::snprintf(d.descriptor.model, sizeof d.descriptor.model, "S7-200(PPI)");
  d.descriptor.driverClsid = clsid;
  d.descriptor.linkKind = kLinkSerial;
  std::snprintf(d.logicalName, sizeof d.logicalName, "PLC");
  d.station.stationNumber = 2;
  std::snprintf(d.station.addressText, sizeof d.station.addressText, "2");
  d.portNumber = 1;
  return d;
}

// 65,536 tags on one device over the V area, types bit, byte, int16, uint16, int32 and float in
// turn. Sequential: tag i at byte i (every tag joins the newest group, after being refused by
// all the others). Scattered: the addresses jump around V, so groups fill out of order.
void FillTags(ProjectState& project, bool scattered) {
  static const int kTypes[] = {kRawBit, kRawByte, kRawInt16, kRawUInt16, kRawInt32, kRawFloat};
  project.tags.assign(kTags, TagRecord{});
  for (int i = 0; i < kTags; ++i) {
    TagRecord& t = project.tags[i];
    const int type = kTypes[i % 6];
    const int address = scattered ? static_cast<int>((i * 40503u) % 65532u) : i % 65532;
    std::snprintf(t.name, sizeof t.name, "Var%05d", i);
    std::snprintf(t.deviceName, sizeof t.deviceName, "PLC");
    std::snprintf(t.driverModel, sizeof t.driverModel, "S7-200(PPI)");
    if (type == kRawBit) {
      std::snprintf(t.registerText, sizeof t.registerText, "V%d.%d", address, i % 8);
    } else {
      std::snprintf(t.registerText, sizeof t.registerText, "V%d", address);
    }
    t.rawType = type;
    t.varType = type == kRawBit ? kVarDiscrete : (type == kRawFloat ? kVarFloat : kVarInteger);
    if (type == kRawFloat) {
      t.rawMax = FloatToWord(10.0f);
      t.engMax = FloatToWord(100.0f);
    } else if (type != kRawBit) {
      t.rawMax = type == kRawByte ? 255 : 32767;
      t.engMax = 1000;
    }
  }
  project.ports = {talvek::DefaultPortEntry(1)};
}

void BM_CreateDriversPpi(benchmark::State& state) {
  if (!PrepareCom()) {
    state.SkipWithError("the PPI driver could not be registered");
    return;
  }
  ProjectState project;
  project.devices.Add(Device(kPpiClsid));
  FillTags(project, state.range(0) != 0);
  platform::Mutex mutex;
  RuntimeTagTable table(project.tags, mutex);
  DriverHost host(project, table);
  for (auto _ : state) {
    host.CreateDrivers("Device.dat");
    state.PauseTiming();
    state.counters["groups"] = static_cast<double>(host.Driver(0).ReadGroupCount());
    host.DestroyDrivers();
    state.ResumeTiming();
  }
}
BENCHMARK(BM_CreateDriversPpi)->Arg(0)->Arg(1)->ArgName("scattered")->Unit(benchmark::kMillisecond);

using talvek_bench::FakeDriver;
using talvek_bench::NowNs;

// One cycle's own work for 65,536 tags: every result into its tag (mode 2: ApplyResult with
// scaling under the tag-table mutex; mode 1: raw copies), or quality 0 when the reads fail.
void BM_PollingCycle(benchmark::State& state) {
  const bool second = state.range(0) == 2;
  const bool fail = state.range(1) != 0;
  ProjectState project;
  project.devices.Add(Device(kFakeClsid));
  FillTags(project, false);
  for (TagRecord& t : project.tags) {
    t.quality = 192;
  }
  platform::Mutex mutex;
  RuntimeTagTable table(project.tags, mutex);
  DriverHost host(project, table, [second, fail](const CLSID&, void** out) {
    *out = static_cast<IProtocolDriver*>(new FakeDriver(second, fail));
    return S_OK;
  });
  host.CreateDrivers("Device.dat");
  talvek::CDriver& driver = host.Driver(0);
  if (driver.Open() == 0) {
    state.SkipWithError("the fake driver did not open");
    return;
  }
  state.counters["groups"] = static_cast<double>(driver.ReadGroupCount());
  for (auto _ : state)
    driver.RunCycle();
  state.SetItemsProcessed(state.iterations() * kTags);
}
BENCHMARK(BM_PollingCycle)
    ->Args({2, 0})
    ->Args({1, 0})
    ->Args({2, 1})
    ->ArgNames({"mode", "fail"})
    ->Unit(benchmark::kMillisecond);

// From the write call to the write's execution while the polling thread reads groups of
// `exchangeMs` each over a slow line (4096 tags, 21 groups): at most the rest of the exchange in
// progress plus 5 ms. Each write is made at a random moment of the cycle.
void BM_WriteLatency(benchmark::State& state) {
  const int exchangeMs = static_cast<int>(state.range(0));
  ProjectState project;
  project.devices.Add(Device(kFakeClsid));
  FillTags(project, false);
  project.tags.resize(4096);
  platform::Mutex mutex;
  RuntimeTagTable table(project.tags, mutex);
  std::atomic<int64_t> writeSeen{0};
  DriverHost host(project, table, [&](const CLSID&, void** out) {
    *out = static_cast<IProtocolDriver*>(new FakeDriver(true, false, exchangeMs, &writeSeen));
    return S_OK;
  });
  host.SetCyclePeriod(1000);
  host.CreateDrivers("Device.dat");
  host.StartAll();
  std::mt19937 random(7);
  std::uniform_int_distribution<int> pause(0, 2 * exchangeMs);
  double worstMs = 0;
  for (auto _ : state) {
    std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
    writeSeen.store(0);
    const int64_t start = NowNs();
    table.WriteInteger(2, 7);  // an integer tag
    while (writeSeen.load() == 0)
      std::this_thread::sleep_for(std::chrono::microseconds(50));
    const double ms = static_cast<double>(writeSeen.load() - start) / 1e6;
    worstMs = std::max(worstMs, ms);
    state.SetIterationTime(ms / 1000.0);
  }
  host.StopAll();
  state.counters["worst_ms"] = worstMs;
  state.counters["limit_ms"] = exchangeMs + 5;
  state.counters["groups"] = static_cast<double>(host.Driver(0).ReadGroupCount());
}
BENCHMARK(BM_WriteLatency)
    ->Arg(25)
    ->Arg(150)
    ->ArgName("exchange_ms")
    ->UseManualTime()
    ->Iterations(40)
    ->Unit(benchmark::kMillisecond);

// Stopping 8 lines while each is inside an exchange of `exchangeMs`: RequestStopAll returns at
// once (the time measured is the wait for CollectStopped), and the threads have ended within one
// exchange plus 100 ms. Destroying the drivers (closing the project) never waits either.
void BM_StopDuringExchange(benchmark::State& state) {
  const int exchangeMs = static_cast<int>(state.range(0));
  ProjectState project;
  for (int port = 1; port <= 8; ++port) {
    DeviceRecord d = Device(kFakeClsid);
    std::snprintf(d.logicalName, sizeof d.logicalName, "PLC%d", port);
    d.portNumber = port;
    project.devices.Add(d);
  }
  FillTags(project, false);
  project.tags.resize(8 * 2048);
  for (std::size_t i = 0; i < project.tags.size(); ++i)
    std::snprintf(project.tags[i].deviceName, sizeof project.tags[i].deviceName, "PLC%d",
                  static_cast<int>(i / 2048) + 1);
  platform::Mutex mutex;
  RuntimeTagTable table(project.tags, mutex);
  DriverHost host(project, table, [&](const CLSID&, void** out) {
    *out = static_cast<IProtocolDriver*>(new FakeDriver(true, false, exchangeMs));
    return S_OK;
  });
  host.SetCyclePeriod(1);
  std::mt19937 random(11);
  std::uniform_int_distribution<int> pause(exchangeMs, 3 * exchangeMs);
  double worstRequestMs = 0;
  double worstStopMs = 0;
  double worstDestroyMs = 0;
  int round = 0;
  for (auto _ : state) {
    host.CreateDrivers("Device.dat");
    host.StartAll();
    std::this_thread::sleep_for(std::chrono::milliseconds(pause(random)));
    const int64_t start = NowNs();
    if (++round % 2 == 1) {
      host.RequestStopAll();
    } else {
      host.DestroyDrivers();  // closing the project while polling
      worstDestroyMs = std::max(worstDestroyMs, static_cast<double>(NowNs() - start) / 1e6);
    }
    worstRequestMs = std::max(worstRequestMs, static_cast<double>(NowNs() - start) / 1e6);
    while (!host.CollectStopped())
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const double ms = static_cast<double>(NowNs() - start) / 1e6;
    worstStopMs = std::max(worstStopMs, ms);
    state.SetIterationTime(ms / 1000.0);
  }
  state.counters["worst_request_ms"] = worstRequestMs;
  state.counters["worst_destroy_ms"] = worstDestroyMs;
  state.counters["worst_stop_ms"] = worstStopMs;
  state.counters["limit_ms"] = exchangeMs + 100;
}
BENCHMARK(BM_StopDuringExchange)
    ->Arg(150)
    ->Arg(1000)
    ->ArgName("exchange_ms")
    ->UseManualTime()
    ->Iterations(10)
    ->Unit(benchmark::kMillisecond);

// Polls `project`'s first driver cycle by cycle on this thread: a station that never answers fails
// its first cycles and is demoted (with a retry interval longer than the run, it is never asked
// again), so each iteration is one steady cycle of the stations that answer. `trace`: the
// monitor's copy of every frame is on, drained outside the timing as the window's timer would.
void MeasureLineCycles(benchmark::State& state, ProjectState& project, bool trace) {
  platform::Mutex mutex;
  RuntimeTagTable table(project.tags, mutex);
  DriverHost host(project, table);
  host.CreateDrivers("Device.dat");
  host.SetRetryInterval(3600 * 1000);
  host.SetTraceEnabled(trace);
  talvek::CDriver& driver = host.Driver(0);
  if (driver.OpenForPolling() == 0) {
    state.SkipWithError("the port did not open");
    return;
  }
  for (int i = 0; i < talvek::kDemoteAfterFailedCycles; ++i)
    driver.RunCycle();
  std::size_t traced = 0;
  for (auto _ : state) {
    driver.RunCycle();
    state.PauseTiming();
    traced += host.TakeTrace().size();
    state.ResumeTiming();
  }
  state.counters["frames_per_cycle"] =
      benchmark::Counter(static_cast<double>(traced), benchmark::Counter::kAvgIterations);
  driver.Close();
}

// One cycle of a PLC on the PLC simulator's line (1000 ms time-out), in three set-ups:
// - dead_station 0, trace 0: the PLC alone, the monitor closed (the reference);
// - dead_station 1: a station that never answers beside it. It fails its first three cycles, is
//   then demoted and, with a retry interval longer than the run, never asked again, so the time
//   per iteration is the live station's steady cycle (the cycle in which a retry falls costs one
//   time-out more; without demotion every cycle would);
// - trace 1: the monitor open, every frame copied into the host's trace queue (drained outside
//   the timing, as the window's timer would).
void BM_PpiLineCycle(benchmark::State& state) {
  if (!PrepareCom()) {
    state.SkipWithError("the PPI driver could not be registered");
    return;
  }
  ppisim::PpiSimulator sim;
  if (!sim.Start() ||
      !platform::Registry::Instance().SetString("HKEY_CURRENT_USER\\Software\\VO DAROR\\Ports",
                                                "Com1", sim.SlavePath())) {
    state.SkipWithError("the PLC simulator did not start");
    return;
  }
  ProjectState project;
  DeviceRecord live = Device(kPpiClsid);
  live.dynamicOptimization = 1;
  project.devices.Add(live);
  DeviceRecord dead = live;
  std::snprintf(dead.logicalName, sizeof dead.logicalName, "DEAD");
  dead.station.stationNumber = 5;
  std::snprintf(dead.station.addressText, sizeof dead.station.addressText, "5");
  if (state.range(0) != 0)
    project.devices.Add(dead);
  for (const char* device : {"PLC", "DEAD"}) {
    for (int i = 0; i < 20; ++i) {
      TagRecord t{};
      std::snprintf(t.name, sizeof t.name, "%s_%d", device, i);
      std::snprintf(t.deviceName, sizeof t.deviceName, "%s", device);
      std::snprintf(t.driverModel, sizeof t.driverModel, "S7-200(PPI)");
      std::snprintf(t.registerText, sizeof t.registerText, "V%d", i * 2);
      t.rawType = kRawInt16;
      t.varType = kVarInteger;
      t.rawMax = t.engMax = 32767;
      project.tags.push_back(t);
    }
  }
  project.ports = {talvek::DefaultPortEntry(1)};
  project.ports[0].timeoutMs = 1000;
  MeasureLineCycles(state, project, state.range(1) != 0);
}
BENCHMARK(BM_PpiLineCycle)
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 1})
    ->ArgNames({"dead_station", "trace"})
    ->Unit(benchmark::kMillisecond);

// The same on a Modbus RTU line (the Modbus test peer over a pseudo-terminal pair, 38400 baud,
// 500 ms time-out): unit 1 alone (0), or with unit 2, which nobody serves, beside it (1).
void BM_ModbusLineCycle(benchmark::State& state) {
  std::string why;
  testing_support::PtyPair line;
  testing_support::ModbusPeer peer;
  if (!PrepareCom() || !testing_support::ModbusPeer::CanRun(&why) || !line.Start() ||
      !peer.StartSerial(testing_support::SerialFraming::kRtu, line.PeerEnd(), 38400, {1}) ||
      !platform::Registry::Instance().SetString("HKEY_CURRENT_USER\\Software\\VO DAROR\\Ports",
                                                "Com1", line.DriverEnd())) {
    state.SkipWithError("the Modbus peer did not start");
    return;
  }
  ProjectState project;
  for (int unit = 1; unit <= (state.range(0) != 0 ? 2 : 1); ++unit) {
    DeviceRecord d{};
    std::snprintf(d.descriptor.model, sizeof d.descriptor.model, "ZireviVER");
    d.descriptor.driverClsid = kModbusClsid;
    d.descriptor.linkKind = kLinkSerial;
    std::snprintf(d.logicalName, sizeof d.logicalName, "U%d", unit);
    d.station.stationNumber = unit;
    std::snprintf(d.station.addressText, sizeof d.station.addressText, "%d", unit);
    d.portNumber = 1;
    d.dynamicOptimization = 1;
    project.devices.Add(d);
    for (int i = 0; i < 20; ++i) {
      TagRecord t{};
      std::snprintf(t.name, sizeof t.name, "U%d_%d", unit, i);
      std::snprintf(t.deviceName, sizeof t.deviceName, "U%d", unit);
      std::snprintf(t.driverModel, sizeof t.driverModel, "ZireviVER");
      std::snprintf(t.registerText, sizeof t.registerText, "4X%d", i + 1);
      t.rawType = kRawInt16;
      t.varType = kVarInteger;
      t.rawMax = t.engMax = 32767;
      project.tags.push_back(t);
    }
  }
  project.ports = {talvek::DefaultPortEntry(1)};
  project.ports[0].baudRate = 38400;
  project.ports[0].timeoutMs = 500;
  MeasureLineCycles(state, project, false);
}
BENCHMARK(BM_ModbusLineCycle)->Arg(0)->Arg(1)->ArgName("dead_unit")->Unit(benchmark::kMillisecond);

}  // namespace
