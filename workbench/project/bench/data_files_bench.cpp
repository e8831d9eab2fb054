// Load and save of a Tag.dat of 65,536 tags (18 MB), the most a project can address with a 16-bit
// tag index. Goals: load under 50 ms; save under 100 ms apart from the flush to disk, which
// SaveTags_NoSync shows by turning the flush off.
#include <stdlib.h>

#include <cstring>
#include <filesystem>
#include <string>

#include <benchmark/benchmark.h>

#include "platform/gbk.h"
#include "workbench/project/data_files.h"
#include "workbench/project/new_records.h"

namespace talvek {
namespace {

constexpr int kTagCount = 65536;

// A project folder under the system's temporary folder holding a full Tag.dat; removed at exit.
class BenchProject {
 public:
  BenchProject() {
    std::string pattern = (std::filesystem::temp_directory_path() / "talvek-bench-XXXXXX").string();
    if (::mkdtemp(pattern.data()) == nullptr)
      std::abort();
    folder_ = pattern;
    platform::CopyToArray(state_.folder, folder_.string());
    state_.tags.assign(kTagCount, DefaultTagRecord());
    for (int i = 0; i < kTagCount; ++i) {
      char name[32];
      std::snprintf(name, sizeof name, "Var%05d", i + 1);
      platform::CopyToArray(state_.tags[i].name, name);
      state_.tags[i].rawValue = i;
    }
    if (!SaveTags(state_))
      std::abort();
  }
  ~BenchProject() {
    std::error_code ec;
    std::filesystem::remove_all(folder_, ec);
  }
  ProjectState& state() { return state_; }

 private:
  std::filesystem::path folder_;
  ProjectState state_;
};

BenchProject& Shared() {
  static BenchProject project;
  return project;
}

void SetBytes(benchmark::State& s) {
  s.SetBytesProcessed(static_cast<int64_t>(s.iterations()) * kTagCount * sizeof(TagRecord));
}

void LoadTags65536(benchmark::State& s) {
  ProjectState& state = Shared().state();
  for (auto _ : s) {
    if (!LoadTags(state) || state.tags.size() != kTagCount)
      s.SkipWithError("load failed");
  }
  SetBytes(s);
}
BENCHMARK(LoadTags65536)->Unit(benchmark::kMillisecond);

void SaveTags65536(benchmark::State& s) {
  ProjectState& state = Shared().state();
  for (auto _ : s) {
    if (!SaveTags(state))
      s.SkipWithError("save failed");
  }
  SetBytes(s);
}
BENCHMARK(SaveTags65536)->Unit(benchmark::kMillisecond);

void SaveTags65536_NoSync(benchmark::State& s) {
  ProjectState& state = Shared().state();
  data_files_testing::SetSyncToDisk(false);
  for (auto _ : s) {
    if (!SaveTags(state))
      s.SkipWithError("save failed");
  }
  data_files_testing::SetSyncToDisk(true);
  SetBytes(s);
}
BENCHMARK(SaveTags65536_NoSync)->Unit(benchmark::kMillisecond);

}  // namespace
}  // namespace talvek
