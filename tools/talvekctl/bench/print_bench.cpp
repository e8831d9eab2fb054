// What `talvekctl run --json` costs per changed value: 10,000 tags polled by the driver host from
// the in-process fake driver whose every read changes every value, the changes found and printed
// as JSON lines into a file.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <string>

#include "platform/sync.h"
#include "tools/talvekctl/talvekctl.h"
#include "workbench/project/new_records.h"
#include "workbench/runtime/bench/fake_driver.h"
#include "workbench/runtime/driver_host.h"
#include "workbench/runtime/tag_table.h"

namespace {

constexpr int kTags = 10000;

constexpr CLSID kFakeClsid = {
    0x7E57B0B0, 0x0002, 0x4000, {0x80, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x02}};

// The project: one device, 10,000 tags over V of every type the fake serves, scaled as in a
// real project (integers 0..32767 to 0..1000, floats 0..10 to 0..100).
void FillProject(talvek::ProjectState& project) {
  DeviceRecord d = talvek::NewDeviceRecord();
  std::snprintf(d.descriptor.model, sizeof d.descriptor.model, "S7-200(PPI)");
  d.descriptor.driverClsid = kFakeClsid;
  std::snprintf(d.logicalName, sizeof d.logicalName, "PLC");
  d.station.stationNumber = 2;
  std::snprintf(d.station.addressText, sizeof d.station.addressText, "2");
  project.devices.Add(d);
  static const int kTypes[] = {kRawBit, kRawByte, kRawInt16, kRawUInt16, kRawInt32, kRawFloat};
  project.tags.assign(kTags, talvek::DefaultTagRecord());
  for (int i = 0; i < kTags; ++i) {
    TagRecord& t = project.tags[i];
    const int type = kTypes[i % 6];
    std::snprintf(t.name, sizeof t.name, "Var%05d", i);
    std::snprintf(t.deviceName, sizeof t.deviceName, "PLC");
    std::snprintf(t.driverModel, sizeof t.driverModel, "S7-200(PPI)");
    if (type == kRawBit)
      std::snprintf(t.registerText, sizeof t.registerText, "V%d.%d", i, i % 8);
    else
      std::snprintf(t.registerText, sizeof t.registerText, "V%d", i);
    t.flags = kTagExternal;
    t.rawType = type;
    t.varType = type == kRawBit ? kVarDiscrete : (type == kRawFloat ? kVarFloat : kVarInteger);
    if (type == kRawFloat) {
      t.rawMin = FloatToWord(0.0f);
      t.engMin = FloatToWord(0.0f);
      t.rawMax = FloatToWord(10.0f);
      t.engMax = FloatToWord(100.0f);
    } else if (type != kRawBit) {
      t.rawMin = 0;
      t.engMin = 0;
      t.rawMax = type == kRawByte ? 255 : 32767;
      t.engMax = 1000;
    }
  }
  project.ports = {talvek::DefaultPortEntry(1)};
}

// One iteration: a polling cycle (every value changes), then the printer's pass over the table.
// Items are the changed values printed; the cycle's own time is paused out.
void BM_RunJsonPrint(benchmark::State& state) {
  talvek::ProjectState project;
  FillProject(project);
  platform::Mutex mutex;
  talvek::RuntimeTagTable table(project.tags, mutex);
  talvek::DriverHost host(project, table, [](const CLSID&, void** out) {
    auto* driver = new talvek_bench::FakeDriver(true, false);
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
  const std::string path = "/tmp/talvekctl_print_bench.jsonl";
  std::FILE* out = std::fopen(path.c_str(), "w");
  if (out == nullptr) {
    state.SkipWithError("cannot write the output file");
    return;
  }
  talvekctl::Printer printer(talvekctl::Format::kJson, out);
  const std::vector<bool> polled = talvekctl::PolledTags(project);
  std::vector<talvekctl::Shown> shown(project.tags.size());
  std::size_t printed = 0;
  for (auto _ : state) {
    state.PauseTiming();
    driver.RunCycle();
    state.ResumeTiming();
    printed += talvekctl::PrintChanges(project, polled, shown, printer, false);
    printer.Flush();
  }
  std::fclose(out);
  std::remove(path.c_str());
  state.SetItemsProcessed(static_cast<int64_t>(printed));
  state.counters["changed_per_cycle"] =
      benchmark::Counter(static_cast<double>(printed) / static_cast<double>(state.iterations()));
}
BENCHMARK(BM_RunJsonPrint)->Unit(benchmark::kMillisecond);

}  // namespace
