// Benchmarks of the project list over 65,536 tags (offscreen): one live refresh tick (the visible
// cells formatted and painted), sorting every row, a keystroke in the filter box, and deleting
// 10,000 selected tags at once (question answered, table compacted, "Tag.dat" written, rows
// rebuilt).
//
// Targets: a tick under 5 ms, a sort under 200 ms, a keystroke under 50 ms, the delete under 1 s.
#include <benchmark/benchmark.h>

#include <cstdio>
#include <memory>
#include <vector>

#include <QApplication>
#include <QLineEdit>
#include <QTableView>
#include <QTemporaryDir>

#include "platform/atoms.h"
#include "platform/gbk.h"
#include "workbench/project/data_files.h"
#include "workbench/project/project_state.h"
#include "workbench/project/talvek_doc.h"
#include "workbench/ui/message_box_sink.h"
#include "workbench/ui/proj_list_view.h"
#include "workbench/ui/tests/widget_test_support.h"

using namespace talvek;

namespace {

constexpr int kTagCount = 65536;

QApplication& App() {
  static int argc = 1;
  static char name[] = "proj_list_bench";
  static char* argv[] = {name, nullptr};
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  // Never destroyed: a QApplication torn down among the static destructors crashes at exit.
  static QApplication* app = new QApplication(argc, argv);
  return *app;
}

// 65,536 tags in a shuffled name order, of every variable type, a tenth with Chinese names.
std::vector<TagRecord> MakeTags() {
  const ATOM text = platform::GlobalAddAtomA(platform::Utf8ToGbk("运行中").c_str());
  std::vector<TagRecord> tags(kTagCount);
  for (int i = 0; i < kTagCount; ++i) {
    TagRecord& t = tags[static_cast<std::size_t>(i)];
    const unsigned key = (static_cast<unsigned>(i) * 40503u) % kTagCount;  // a permutation
    char name[32];
    std::snprintf(name, sizeof name, "%sVar%05u", i % 10 == 0 ? "\xB1\xC3" : "", key);
    platform::CopyToArray(t.name, name);
    platform::CopyToArray(t.description, platform::Utf8ToGbk("一号锅炉出口温度"));
    platform::CopyToArray(t.deviceName, platform::Utf8ToGbk("锅炉房PLC"));
    std::snprintf(t.registerText, sizeof t.registerText, "VW%d", i * 2);
    t.varType = i % 4;
    t.rawType = t.varType == kVarDiscrete ? kRawBit
                : t.varType == kVarString ? kRawString
                                          : kRawInt16;
    t.value = t.varType == kVarString ? text : t.varType == kVarFloat ? FloatToWord(i * 0.5f) : i;
    t.rawValue = t.varType == kVarString ? text : i;
    t.quality = 192;
    t.updateTime = FILETIME{0x5F4A0000u + static_cast<unsigned>(i), 0x01DA3F00u};
    t.flags = kTagExternal;
  }
  return tags;
}

struct World {
  World() {
    Project().ClearTables();
    platform::CopyToArray(Project().folder, dir.path().toStdString());
    frame.views.push_back(&view);
    view.resize(1280, 800);
    view.show();
    QApplication::processEvents();
    view.OnUpdate(kHintProjectOpened);
  }
  ~World() {
    Project().ClearTables();
    Project().folder[0] = '\0';
  }

  QApplication& app = App();  // before any widget
  QTemporaryDir dir;
  RecordingMessageSink sink;    // answers OK
  ui_testing::ListFrame frame;  // hints go straight back to the list
  CProjListView view{frame};
};

void BM_LiveRefreshTick(benchmark::State& state) {
  World world;
  Project().tags = MakeTags();
  world.frame.running = true;
  world.view.OnUpdate(kHintLiveValues);
  QApplication::processEvents();
  int tick = 0;
  for (auto _ : state) {
    // What a polling cycle does between two ticks: every visible tag gets a new value, raw
    // value and time, so no live cell shows the text it showed before.
    for (int i = 0; i < 64; ++i) {
      TagRecord& t = Project().tags[static_cast<std::size_t>(i)];
      if (t.varType != kVarString) {
        t.value = t.varType == kVarFloat ? FloatToWord(tick * 0.25f + i) : tick + i;
        t.rawValue = tick * 7 + i;
      }
      t.updateTime.dwLowDateTime += 10000 * 1000;  // one second later
    }
    world.view.RefreshLiveValues();
    ++tick;
  }
  QTableView* table = world.view.DetailsView();
  state.counters["visible_rows"] = table->rowAt(table->viewport()->height() - 1) + 1;
  state.counters["rows"] = world.view.Model()->rowCount();
}
BENCHMARK(BM_LiveRefreshTick)->Unit(benchmark::kMillisecond);

void BM_SortAllRows(benchmark::State& state) {
  World world;
  Project().tags = MakeTags();
  world.view.OnUpdate(kHintTags);
  world.view.SelectRows({17});
  for (auto _ : state)
    world.view.SortByColumn(0);  // alternately ascending and descending
  state.counters["rows"] = world.view.Model()->rowCount();
}
BENCHMARK(BM_SortAllRows)->Unit(benchmark::kMillisecond);

// Sorting by a numeric column: the live values by their value.
void BM_SortByValue(benchmark::State& state) {
  World world;
  Project().tags = MakeTags();
  world.frame.running = true;
  world.view.OnUpdate(kHintLiveValues);
  for (auto _ : state)
    world.view.SortByColumn(ProjListModel::kLiveValue);
}
BENCHMARK(BM_SortByValue)->Unit(benchmark::kMillisecond);

// One keystroke in the filter box, the list repainted: a cycle that narrows ("v" .. "vw12"), widens
// again, empties the box, and types a description every tag has ("锅炉": all 65,536 rows shown).
void BM_FilterKeystroke(benchmark::State& state) {
  World world;
  Project().tags = MakeTags();
  world.view.OnUpdate(kHintTags);
  QLineEdit* box = world.view.FilterEdit();
  box->setText(QStringLiteral("v"));  // the search texts are made once per rebuild
  static const char* const kTyped[] = {"v", "vw", "vw1", "vw12", "vw1", "vw",
                                       "v", "",   "锅",  "锅炉", "锅",  ""};
  std::size_t keystroke = 0;
  for (auto _ : state) {
    box->setText(QString::fromUtf8(kTyped[keystroke++ % std::size(kTyped)]));
    world.view.DetailsView()->viewport()->repaint();
  }
}
BENCHMARK(BM_FilterKeystroke)->Unit(benchmark::kMillisecond);

// The first keystroke after the rows were rebuilt (an edit, communication started): it makes the
// search texts of every tag first.
void BM_FilterFirstKeystroke(benchmark::State& state) {
  World world;
  Project().tags = MakeTags();
  QLineEdit* box = world.view.FilterEdit();
  for (auto _ : state) {
    state.PauseTiming();
    box->clear();
    world.view.OnUpdate(kHintTags);
    state.ResumeTiming();
    box->setText(QStringLiteral("v"));
    world.view.DetailsView()->viewport()->repaint();
  }
}
BENCHMARK(BM_FilterFirstKeystroke)->Unit(benchmark::kMillisecond);

// Arg: 1 writes "Tag.dat" through to the disk (fsync), 0 leaves that to the system.
void BM_DeleteSelectedTags(benchmark::State& state) {
  World world;
  data_files_testing::SetSyncToDisk(state.range(0) != 0);
  const std::vector<TagRecord> tags = MakeTags();
  std::vector<int> selected;
  for (int row = 0; row < 10000; ++row)
    selected.push_back(row * 6 + 1);  // scattered: 10,000 separate ranges
  for (auto _ : state) {
    state.PauseTiming();
    Project().tags = tags;
    world.view.OnUpdate(kHintTags);
    world.view.SelectRows(selected);
    state.ResumeTiming();
    world.view.OnCommand(kCmdDeleteTags);
    state.PauseTiming();
    if (Project().tags.size() != tags.size() - selected.size())
      state.SkipWithError("wrong number of tags deleted");
    state.ResumeTiming();
  }
  data_files_testing::SetSyncToDisk(true);
}
BENCHMARK(BM_DeleteSelectedTags)->Arg(1)->Arg(0)->Unit(benchmark::kMillisecond)->Iterations(5);

}  // namespace
