// Export and import of a tag file of 65,536 tags, the most a project can address: the export, and
// the import's read, check and merge with every row updating an existing tag. The driver's check is
// a stand-in that accepts every register, so the figures are the file's own cost. Goal: an import
// of the full table within 2 s.
#include <cstdio>
#include <string>
#include <vector>

#include <benchmark/benchmark.h>

#include "platform/gbk.h"
#include "workbench/project/new_records.h"
#include "workbench/project/tag_csv.h"

namespace talvek {
namespace {

constexpr int kTagCount = 65536;

class AcceptAll final : public TagRegisterCheck {
 public:
  bool Check(const DeviceRecord&, std::string_view, int, int& registerIndex,
             std::string&) override {
    registerIndex = 0;
    return true;
  }
};

struct BenchTable {
  BenchTable() {
    DeviceRecord device{};
    platform::CopyToArray(device.logicalName, "PLC");
    platform::CopyToArray(device.descriptor.model, "S7-200(PPI)");
    devices.push_back(device);
    tags.assign(kTagCount, DefaultTagRecord());
    for (int i = 0; i < kTagCount; ++i) {
      char text[32];
      std::snprintf(text, sizeof text, "Var%05d", i);
      platform::CopyToArray(tags[i].name, text);
      std::snprintf(text, sizeof text, "VW%d", 2 * (i % 5000));
      platform::CopyToArray(tags[i].registerText, text);
      platform::CopyToArray(tags[i].deviceName, "PLC");
      platform::CopyToArray(tags[i].driverModel, "S7-200(PPI)");
      tags[i].rawType = kRawInt16;
      tags[i].rawMax = 32767;
      tags[i].engMax = 1000;
    }
  }
  std::vector<DeviceRecord> devices;
  std::vector<TagRecord> tags;
};

const BenchTable& Table() {
  static const BenchTable table;
  return table;
}

void BM_ExportTags(benchmark::State& state) {
  for (auto _ : state)
    benchmark::DoNotOptimize(FormatTagCsv(Table().tags));
}
BENCHMARK(BM_ExportTags)->Unit(benchmark::kMillisecond);

void BM_ImportTags(benchmark::State& state) {
  const std::string file = FormatTagCsv(Table().tags);
  AcceptAll check;
  for (auto _ : state) {
    std::vector<TagRecord> tags = Table().tags;
    const TagImport import = ReadTagCsv(file, Table().devices, tags, check);
    if (!import.errors.empty())
      state.SkipWithError("the file was refused");
    benchmark::DoNotOptimize(MergeImportedTags(tags, import, ExistingTags::kUpdate));
  }
}
BENCHMARK(BM_ImportTags)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace talvek
