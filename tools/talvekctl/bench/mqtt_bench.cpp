// What `talvekctl run --mqtt` costs the polling: 10,000 tags polled from the in-process fake
// driver whose every read changes every value, each change handed to the MQTT gateway, which
// publishes to a local broker (mosquitto on 127.0.0.1, QoS 1) on its own thread while the next
// cycle runs.
//
// The fake line takes 1 ms per read (50 reads a cycle, as a fast TCP device). Arguments: mqtt (0:
// no gateway, the reference), period_ms (the polling cycle's idle wait: 0 offers some 160,000
// changes a second, far more than a broker takes, 400 about 22,000). Counters: cycle_ms, the mean
// time of the polling cycle itself; collect_ms, the run loop's pass over the table (change
// detection and payloads); changes_per_s; published_per_s, messages the broker acknowledged per
// second of wall time (the drain at the end included). Coalescing keeps the latest value of each
// tag, so published_per_s stays below changes_per_s when more is offered than the broker takes.
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>
#include <string>
#include <thread>

#include "common/testing/mosquitto_broker.h"
#include "platform/sync.h"
#include "tools/talvekctl/ctl_mqtt.h"
#include "tools/talvekctl/talvekctl.h"
#include "workbench/project/new_records.h"
#include "workbench/runtime/bench/fake_driver.h"
#include "workbench/runtime/driver_host.h"
#include "workbench/runtime/tag_table.h"

namespace {

constexpr int kTags = 10000;

constexpr CLSID kFakeClsid = {
    0x7E57B0B0, 0x0002, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02}};

// One device, 10,000 tags over V: integers, words and floats.
void FillProject(talvek::ProjectState& project) {
  DeviceRecord d = talvek::NewDeviceRecord();
  std::snprintf(d.descriptor.model, sizeof d.descriptor.model, "S7-200(PPI)");
  d.descriptor.driverClsid = kFakeClsid;
  std::snprintf(d.logicalName, sizeof d.logicalName, "PLC");
  d.station.stationNumber = 2;
  std::snprintf(d.station.addressText, sizeof d.station.addressText, "2");
  project.devices.Add(d);
  static const int kTypes[] = {kRawInt16, kRawUInt16, kRawFloat};
  project.tags.assign(kTags, talvek::DefaultTagRecord());
  for (int i = 0; i < kTags; ++i) {
    TagRecord& t = project.tags[i];
    const int type = kTypes[i % 3];
    std::snprintf(t.name, sizeof t.name, "Var%05d", i);
    std::snprintf(t.deviceName, sizeof t.deviceName, "PLC");
    std::snprintf(t.driverModel, sizeof t.driverModel, "S7-200(PPI)");
    // 50 read groups of 200 bytes: the fake's read counter gives each group a new value every
    // cycle (it repeats after 100 reads).
    std::snprintf(t.registerText, sizeof t.registerText, "V%d", i);
    t.flags = kTagExternal;
    t.rawType = type;
    t.varType = type == kRawFloat ? kVarFloat : kVarInteger;
    t.rawMin = type == kRawFloat ? FloatToWord(0.0f) : 0;
    t.engMin = type == kRawFloat ? FloatToWord(0.0f) : 0;
    t.rawMax = type == kRawFloat ? FloatToWord(10.0f) : 32767;
    t.engMax = type == kRawFloat ? FloatToWord(100.0f) : 1000;
  }
  project.ports = {talvek::DefaultPortEntry(1)};
}

double Seconds(std::chrono::steady_clock::duration d) {
  return std::chrono::duration<double>(d).count();
}

void BM_CycleWhilePublishing(benchmark::State& state) {
  const bool mqtt = state.range(0) != 0;
  const int periodMs = static_cast<int>(state.range(1));
  talvek::ProjectState project;
  FillProject(project);
  platform::Mutex mutex;
  talvek::RuntimeTagTable table(project.tags, mutex);
  talvek::DriverHost host(project, table, [&](const CLSID&, void** out) {
    auto* driver = new talvek_bench::FakeDriver(true, false, /*exchangeMs=*/1);
    driver->SetMoving(true);
    *out = static_cast<IProtocolDriver*>(driver);
    return S_OK;
  });
  host.CreateDrivers("");
  talvek::CDriver& driver = host.Driver(0);
  if (driver.Open() == 0) {
    state.SkipWithError("the fake driver did not open");
    return;
  }
  const std::vector<bool> polled = talvekctl::PolledTags(project);
  std::vector<talvekctl::Shown> shown(project.tags.size());

  testing_support::MosquittoBroker broker;
  std::unique_ptr<talvekctl::MqttBridge> bridge;
  if (mqtt) {
    std::string why;
    if (!testing_support::MosquittoBroker::CanRun(&why) || !broker.Start()) {
      state.SkipWithError(why.empty() ? broker.Error().c_str() : why.c_str());
      return;
    }
    talvekctl::MqttOptions options;
    options.broker = {false, "127.0.0.1", broker.Port()};
    options.prefix = "bench";
    options.quiet = true;
    bridge = std::make_unique<talvekctl::MqttBridge>(options, project, polled);
    if (!bridge->Start(&why) || !bridge->Client().WaitDrained(10000)) {
      state.SkipWithError("the gateway did not connect");
      return;
    }
  }
  const uint64_t ackedBefore = bridge ? bridge->Client().Acknowledged() : 0;
  double cycleSec = 0;
  double collectSec = 0;
  std::size_t changes = 0;
  const auto start = std::chrono::steady_clock::now();
  for (auto _ : state) {
    const auto t0 = std::chrono::steady_clock::now();
    driver.RunCycle();
    const auto t1 = std::chrono::steady_clock::now();
    changes +=
        talvekctl::CollectChanges(project, polled, shown, false,
                                  [&](std::size_t index, const talvekctl::Row& row, bool changed) {
                                    if (bridge && changed)
                                      bridge->OnChange(index, row);
                                  });
    cycleSec += Seconds(t1 - t0);
    collectSec += Seconds(std::chrono::steady_clock::now() - t1);
    std::this_thread::sleep_for(std::chrono::milliseconds(periodMs));
  }
  if (bridge)
    bridge->Client().WaitDrained(30000);
  const double wall = Seconds(std::chrono::steady_clock::now() - start);
  const double n = static_cast<double>(state.iterations());
  state.counters["cycle_ms"] = benchmark::Counter(cycleSec * 1000 / n);
  state.counters["collect_ms"] = benchmark::Counter(collectSec * 1000 / n);
  state.counters["changes_per_s"] = benchmark::Counter(static_cast<double>(changes) / wall);
  if (bridge) {
    state.counters["published_per_s"] = benchmark::Counter(
        static_cast<double>(bridge->Client().Acknowledged() - ackedBefore) / wall);
    bridge->Stop();
  }
}
BENCHMARK(BM_CycleWhilePublishing)
    ->ArgNames({"mqtt", "period_ms"})
    ->Args({0, 0})
    ->Args({1, 0})
    ->Args({0, 400})
    ->Args({1, 400})
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime()
    ->MinTime(3.0);

}  // namespace
