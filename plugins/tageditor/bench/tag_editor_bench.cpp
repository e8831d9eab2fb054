// Benchmarks of the dialog "变量维护" over a project of 65,536 tags whose device's driver lists
// 1,000 registers (offscreen):
//   - opening: the dialog built, its driver created, the register list filled, shown and laid
//     out (target under 150 ms);
//   - OK's checks: every entry read and checked, the duplicate-name scan over all 65,536 tags
//     (the name is new, so the whole list is walked), the driver's check and the record written
//     (target under 10 ms).
#include <benchmark/benchmark.h>

#include <chrono>
#include <cstdio>
#include <memory>

#include <QApplication>
#include <QComboBox>

#include "plugins/tageditor/tests/tag_editor_test_env.h"

using namespace tageditor_test;

namespace {

constexpr int kTagCount = 65536;
constexpr int kRegisterCount = 1000;

QApplication& App() {
  static int argc = 1;
  static char name[] = "tag_editor_bench";
  static char* argv[] = {name, nullptr};
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
    qputenv("QT_QPA_PLATFORM", "offscreen");
  // Never destroyed: a QApplication torn down among the static destructors crashes at exit.
  static QApplication* app = [] {
    auto* a = new QApplication(argc, argv);
    // The offscreen platform warns on every dialog shown; keep the figures readable.
    qInstallMessageHandler([](QtMsgType, const QMessageLogContext&, const QString&) {});
    return a;
  }();
  return *app;
}

// Makes the test driver list 1,000 registers "A000".."A999".
void ListRegisters(TagEditorDriverControl& c) {
  c.registers.clear();
  for (int i = 0; i < kRegisterCount; ++i) {
    char name[8];
    std::snprintf(name, sizeof name, "A%03d", i);
    c.registers.emplace_back(name);
  }
}

// The registry store and the test driver, set up once.
DriverEnvironment& Environment() {
  static DriverEnvironment* env = [] {
    auto* e = new DriverEnvironment;
    const QString error = e->SetUp();
    if (!error.isEmpty())
      std::fprintf(stderr, "set-up failed: %s\n", qPrintable(error));
    return e;
  }();
  ResetControl(env->Control());
  ListRegisters(env->Control());
  return *env;
}

// A project of 65,536 tags on one device, and a new tag to edit that matches the last register.
struct Project {
  Editor editor;
  Project() {
    editor.devices.Add(MakeDevice("PLC1", "ModelA"));
    editor.tags.reserve(kTagCount);
    for (int i = 0; i < kTagCount; ++i) {
      char name[16];
      std::snprintf(name, sizeof name, "Tag%05d", i);
      editor.tags.push_back(ExternalTag(name, "PLC1", "A001", kRawInt16));
    }
    editor.tag = ExternalTag("NewTag", "PLC1", "A999", kRawInt16);
  }
};

void BM_OpenDialog(benchmark::State& state) {
  App();
  Environment();
  MessageRecorder messages;
  Project project;
  StdoutCapture quiet;  // the trace lines of every iteration
  for (auto _ : state) {
    const auto start = std::chrono::steady_clock::now();
    project.editor.Open();
    project.editor.dialog->show();
    QApplication::processEvents();
    const auto end = std::chrono::steady_clock::now();
    state.SetIterationTime(std::chrono::duration<double>(end - start).count());
    if (project.editor.Page().RegisterCombo()->count() != kRegisterCount)
      state.SkipWithError("register list not filled");
    project.editor.dialog.reset();
    project.editor.session.ReleaseDriver();
  }
  if (!messages.Texts().isEmpty())
    state.SkipWithError(qPrintable(messages.Last()));
}
BENCHMARK(BM_OpenDialog)->UseManualTime()->Unit(benchmark::kMillisecond)->MinTime(2.0);

void BM_OkChecks(benchmark::State& state) {
  App();
  Environment();
  MessageRecorder messages;
  Project project;
  StdoutCapture quiet;
  project.editor.Open();
  auto& page = project.editor.Page();
  for (auto _ : state) {
    if (!page.OnOK()) {
      state.SkipWithError(qPrintable(messages.Last()));
      break;
    }
  }
}
BENCHMARK(BM_OkChecks)->Unit(benchmark::kMillisecond)->MinTime(2.0);

}  // namespace
