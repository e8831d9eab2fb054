// Throughput of result application and the cost of a name lookup over a full table of 65,536
// tags (the most a 16-bit tag index addresses).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <vector>

#include "workbench/runtime/tag_table.h"

namespace {

constexpr int kTags = 65536;

// A mix of the raw types a real table holds; every tag is integer or float, so every result is
// scaled.
std::vector<TagRecord> MakeTags() {
  std::vector<TagRecord> tags(kTags);
  for (int i = 0; i < kTags; ++i) {
    TagRecord& t = tags[i];
    std::snprintf(t.name, sizeof t.name, "Var%05d", i + 1);
    const int kind = i % 4;
    t.varType = (kind == 3) ? kVarFloat : kVarInteger;
    t.rawType = (kind == 0)   ? kRawUInt16
                : (kind == 1) ? kRawInt16
                : (kind == 2) ? kRawInt32
                              : kRawFloat;
    t.rawMin = (kind == 3) ? FloatToWord(0.0f) : 0;
    t.rawMax = (kind == 3) ? FloatToWord(10.0f) : 65535;
    t.engMin = (kind == 3) ? FloatToWord(0.0f) : 0;
    t.engMax = (kind == 3) ? FloatToWord(100.0f) : 1000;
  }
  return tags;
}

void BM_ApplyResult(benchmark::State& state) {
  std::vector<TagRecord> tags = MakeTags();
  platform::Mutex mutex;
  talvek::RuntimeTagTable table(tags, mutex);
  std::vector<GroupItem> items(kTags);
  for (int i = 0; i < kTags; ++i) {
    items[i].tagIndex = static_cast<uint16_t>(i);
    items[i].value = (i % 4 == 3) ? FloatToWord(2.5f) : i;
    items[i].quality = 192;
    items[i].updateTime = FILETIME{static_cast<DWORD>(i), 0x01DA0000u};
  }
  for (auto _ : state) {
    for (const GroupItem& item : items)
      benchmark::DoNotOptimize(table.ApplyResult(&item));
    benchmark::ClobberMemory();
  }
  state.SetItemsProcessed(state.iterations() * kTags);
}
BENCHMARK(BM_ApplyResult)->Unit(benchmark::kMillisecond);

void BM_FindTagIndexOfLastTag(benchmark::State& state) {
  std::vector<TagRecord> tags = MakeTags();
  platform::Mutex mutex;
  talvek::RuntimeTagTable table(tags, mutex);
  char last[32];
  std::snprintf(last, sizeof last, "Var%05d", kTags);
  uint16_t index = 0;
  for (auto _ : state) {
    const bool found = table.FindTagIndex(last, index);
    benchmark::DoNotOptimize(found);
    benchmark::DoNotOptimize(index);
  }
  if (index != kTags - 1)
    state.SkipWithError("the last tag was not found");
}
BENCHMARK(BM_FindTagIndexOfLastTag)->Unit(benchmark::kMicrosecond);

}  // namespace
