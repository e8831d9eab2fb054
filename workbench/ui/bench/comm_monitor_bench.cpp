// Benchmarks of the communication monitor (offscreen, the pane shown with its view): one second of
// heavy traffic, 1,000 frames and events taken in five batches as the pane's 200 ms timer takes
// them, into a ring already full (every row appended pushes one out), the view following the
// newest row and painted after each batch; and the memory after 100,000 and 200,000 entries.
//
// Targets: the second of traffic well under 200 ms of the user interface thread (20 % of a core);
// the resident memory after 200,000 entries no larger than after 100,000 (the ring holds 20,000).
#include <benchmark/benchmark.h>

#include <cstdio>
#include <utility>
#include <vector>

#include <QApplication>
#include <QMainWindow>
#include <QTableView>

#include "common/driver_trace.h"
#include "platform/gbk.h"
#include "workbench/ui/bench/bench_support.h"
#include "workbench/ui/comm_monitor.h"
#include "workbench/ui/tests/widget_test_support.h"

using namespace talvek;
using ui_bench::App;
using ui_bench::ResidentKb;

namespace {

// Hands out the batch the benchmark prepared, as the driver host's trace queue would.
class TraceHost final : public ui_testing::NullHost {
 public:
  std::vector<TraceEntry> TakeTrace() override { return std::exchange(next, {}); }
  std::vector<TraceEntry> next;
};

// Modbus-like traffic of four devices on two ports: a request, its answer with ten registers, and
// every tenth exchange a time-out instead.
std::vector<TraceEntry> Batch(int count, long long& clockUs) {
  static const std::string kRead = platform::Utf8ToGbk("读 4X1 10 个寄存器");
  static const std::string kAnswer = platform::Utf8ToGbk("应答 10 个寄存器");
  static const std::string kDevices[] = {platform::Utf8ToGbk("泵站PLC"),
                                         platform::Utf8ToGbk("水质监测仪"), "D2", "D3"};
  std::vector<TraceEntry> out;
  out.reserve(static_cast<std::size_t>(count));
  for (int i = 0; i < count; ++i) {
    TraceEntry e;
    e.timeUs = clockUs;
    clockUs += 1000;
    e.portNumber = 1 + i % 2;
    e.deviceName = kDevices[(i / 2) % 4];
    e.station = 1 + (i / 2) % 4;
    if (i % 20 == 19) {
      e.kind = kTraceEvent;
      e.event = kTraceTimeout;
    } else if (i % 2 == 0) {
      e.kind = kTraceSent;
      e.bytes = {0x01, 0x03, 0x00, 0x00, 0x00, 0x0A, 0xC5, 0xCD};
      e.text = kRead;
    } else {
      e.kind = kTraceReceived;
      e.bytes.assign(25, 0x5A);
      e.text = kAnswer;
    }
    out.push_back(std::move(e));
  }
  return out;
}

struct Shown {
  Shown() {
    window.resize(1100, 700);
    pane = new CommMonitorPane(host, &window);
    window.addDockWidget(Qt::BottomDockWidgetArea, pane);
    window.show();
    QApplication::processEvents();
    pane->SetActive(false);  // the benchmark drains itself, not the pane's timer
  }
  // Takes `entries` in batches of `batch` and lets the view catch up after each.
  void Feed(int entries, int batch, long long& clockUs) {
    for (int done = 0; done < entries; done += batch) {
      host.next = Batch(batch, clockUs);
      pane->Drain();
      pane->View()->viewport()->repaint();
      QApplication::processEvents();
    }
  }
  QApplication& app = App();  // before any widget
  QMainWindow window;
  TraceHost host;
  CommMonitorPane* pane = nullptr;
};

// The resident memory after 100,000 and after 200,000 entries: the ring keeps it bounded. First,
// so that no earlier benchmark's freed memory hides the ring's growth.
void BM_MonitorMemoryStaysBounded(benchmark::State& state) {
  for (auto _ : state) {
    Shown shown;
    long long clockUs = 1700000000LL * 1000000;
    const long before = ResidentKb();
    shown.Feed(100000, 1000, clockUs);
    const long at100k = ResidentKb();
    shown.Feed(100000, 1000, clockUs);
    const long at200k = ResidentKb();
    state.counters["rows"] = static_cast<double>(shown.pane->Model().StoredRows());
    state.counters["rss_growth_100k_kB"] = static_cast<double>(at100k - before);
    state.counters["rss_growth_next_100k_kB"] = static_cast<double>(at200k - at100k);
    state.counters["rss_kB"] = static_cast<double>(at200k);
  }
}
BENCHMARK(BM_MonitorMemoryStaysBounded)->Unit(benchmark::kMillisecond)->Iterations(1);

// One second of 1,000 entries into a full ring.
void BM_MonitorSecondOfTraffic(benchmark::State& state) {
  Shown shown;
  long long clockUs = 1700000000LL * 1000000;
  shown.Feed(static_cast<int>(kMonitorRows), 1000, clockUs);
  for (auto _ : state)
    shown.Feed(1000, 200, clockUs);
  state.counters["rows"] = static_cast<double>(shown.pane->Model().rowCount());
  state.counters["entries_per_s"] = benchmark::Counter(
      1000.0 * static_cast<double>(state.iterations()), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_MonitorSecondOfTraffic)->Unit(benchmark::kMillisecond)->MinTime(3.0);

}  // namespace
