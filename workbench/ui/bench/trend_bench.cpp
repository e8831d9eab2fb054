// Benchmarks of the trend (offscreen, the pane shown in a main window): what an hour of eight tags
// sampled once a second costs in memory, and one refresh tick (eight samples, the chart redrawn
// over the sixty-minute window of full rings) in time.
//
// Targets: the sample store of eight tags bounded by their rings (8 x kTrendRingCapacity
// samples), whatever the run's length; a tick well under the list's 1000 ms period.
#include <benchmark/benchmark.h>

#include <cmath>
#include <string>
#include <vector>

#include <QApplication>
#include <QMainWindow>

#include "platform/gbk.h"
#include "workbench/runtime/tag_fields.h"
#include "workbench/ui/bench/bench_support.h"
#include "workbench/ui/trend_pane.h"

using namespace talvek;

namespace {

constexpr std::int64_t kStartMs = 1'700'000'000'000;

// Eight float tags moving as sines; with `badEvery` set, every badEvery-th read of each is bad.
struct Plant {
  Plant() {
    for (int n = 0; n < static_cast<int>(kTrendMaxTags); ++n) {
      TagRecord t{};
      platform::CopyToArray(t.name, "Trend" + std::to_string(n));
      t.varType = kVarFloat;
      tags.push_back(t);
      indexes.push_back(static_cast<std::size_t>(n));
    }
  }
  void Move(int second) {
    for (std::size_t n = 0; n < tags.size(); ++n) {
      const float v = static_cast<float>(100 * std::sin(second / (10.0 + n)) + 10 * n);
      StoreValueWord(tags[n], std::bit_cast<std::int32_t>(v));
      const bool bad = badEvery > 0 && (second + static_cast<int>(n)) % badEvery == 0;
      StoreQuality(tags[n], bad ? 0 : 192);
    }
  }
  std::vector<TagRecord> tags;
  std::vector<std::size_t> indexes;
  int badEvery = 0;
};

struct Shown {
  explicit Shown(int badEvery = 0) {
    plant.badEvery = badEvery;
    window.resize(1120, 700);
    pane = new TrendPane(&window);
    window.addDockWidget(Qt::BottomDockWidgetArea, pane);
    window.show();
    pane->SetWindowMinutes(60);
    QApplication::processEvents();
    pane->AddTags(plant.tags, plant.indexes);
  }
  // `seconds` ticks, one a second, the chart drawn at each as the pane does while shown.
  void Run(int seconds) {
    for (int s = 0; s < seconds; ++s, ++second) {
      plant.Move(second);
      pane->Sample(plant.tags, kStartMs + second * 1000LL);
    }
    QApplication::processEvents();
  }
  // The same with the pane hidden (sampled, not drawn), then shown and drawn once.
  void Fill(int seconds) {
    pane->hide();
    Run(seconds);
    hiddenKb = ui_bench::ResidentKb();
    pane->show();
    QApplication::processEvents();
  }
  long hiddenKb = 0;
  QApplication& app = ui_bench::App();  // before any widget
  QMainWindow window;
  Plant plant;
  TrendPane* pane = nullptr;
  int second = 0;
};

// An hour of eight tags, then a second hour, each drawn at its end: the store holds its rings
// and the chart the points of one window, no more. First, so that no earlier benchmark's freed
// memory hides the growth.
void BM_TrendHourOfEightTags(benchmark::State& state) {
  for (auto _ : state) {
    Shown shown(static_cast<int>(state.range(0)));
    shown.Run(60);  // the chart drawn once with a minute of samples: Qt Charts' own start-up
    const long before = ui_bench::ResidentKb();
    shown.Fill(3600);
    const long firstHour = ui_bench::ResidentKb();
    state.counters["rss_growth_1h_sampled_kB"] = static_cast<double>(shown.hiddenKb - before);
    const std::size_t storeBytes = shown.pane->Store().MemoryBytes();
    shown.Fill(3600);
    const long secondHour = ui_bench::ResidentKb();
    state.counters["store_bytes"] = static_cast<double>(storeBytes);
    state.counters["store_bytes_after_2h"] = static_cast<double>(shown.pane->Store().MemoryBytes());
    state.counters["samples_per_tag"] =
        static_cast<double>(shown.pane->Store().Series(0).ring.Size());
    state.counters["rss_growth_1h_kB"] = static_cast<double>(firstHour - before);
    state.counters["rss_growth_next_1h_kB"] = static_cast<double>(secondHour - firstHour);
  }
}
// Arguments: all reads good; every 97th read of each tag bad (37 gaps an hour a curve).
BENCHMARK(BM_TrendHourOfEightTags)->Unit(benchmark::kMillisecond)->Iterations(1)->Arg(0)->Arg(97);

// One tick with eight full rings drawn over the sixty-minute window.
void BM_TrendTickFullHour(benchmark::State& state) {
  Shown shown(static_cast<int>(state.range(0)));
  shown.Fill(3600);
  for (auto _ : state)
    shown.Run(1);
  state.counters["points_drawn"] = static_cast<double>(shown.pane->Store().Size() * 3600);
}
BENCHMARK(BM_TrendTickFullHour)->Unit(benchmark::kMillisecond)->MinTime(3.0)->Arg(0)->Arg(97);

}  // namespace
