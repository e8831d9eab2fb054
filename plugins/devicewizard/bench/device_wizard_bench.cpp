// The device wizard from Show to Finish on the offscreen platform, with the real PPI driver
// registered by the real regsvr and a project of 64 devices to check against: the time a user
// waits for the frame, the six steps and the driver's address check together. Goal: under 200 ms.
#include <fcntl.h>
#include <unistd.h>

#include <benchmark/benchmark.h>

#include <QApplication>

#include <cstdio>
#include <string>

#include "platform/gbk.h"
#include "plugins/devicewizard/device_catalogue.h"
#include "plugins/devicewizard/device_wizard.h"
#include "plugins/devicewizard/tests/wizard_test_support.h"

namespace {

using namespace ondrel_test;

QApplication& App() {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
    qputenv("QT_QPA_PLATFORM", "offscreen");
  }
  static int argc = 1;
  static char name[] = "device_wizard_bench";
  static char* argv[] = {name, nullptr};
  static QApplication app(argc, argv);
  return app;
}

// The trace line of every accepted address goes to /dev/null while the wizard runs, so the
// report stays readable; writing it is still part of the measured work.
class QuietStdout {
 public:
  QuietStdout() {
    std::fflush(stdout);
    saved_ = dup(STDOUT_FILENO);
    const int null = open("/dev/null", O_WRONLY | O_CLOEXEC);
    dup2(null, STDOUT_FILENO);
    close(null);
  }
  ~QuietStdout() {
    std::fflush(stdout);
    dup2(saved_, STDOUT_FILENO);
    close(saved_);
  }

 private:
  int saved_ = -1;
};

void BM_WizardShowToFinish(benchmark::State& state) {
  App();
  static RegistryScope registry;
  static const bool registered = registry.Register("libOstrel.so");
  if (!registered) {
    state.SkipWithError("regsvr could not register libOstrel.so");
    return;
  }
  const CLSID ppi = ClassOf(ondrel::kPpiProgId);
  talvek::DeviceArray devices;
  for (int i = 0; i < 64; ++i) {
    const std::string name = "plc" + std::to_string(i);
    devices.Add(
        StoredDevice(ppi, "S7-200(PPI)", name.c_str(), 1 + i % 4, std::to_string(10 + i).c_str()));
  }

  int failures = 0;
  {
    QuietStdout quiet;
    for (auto _ : state) {
      DeviceRecord record = NewDevice();
      const WizardRun run = RunWizard([&] { return ondrel::RunDeviceWizard(&record, &devices); },
                                      [](QDialog& dlg) {
                                        if (WalkToSummary(dlg, Entries{})) {
                                          Next(dlg);  // "完成"
                                        }
                                      });
      if (run.result != 1) {
        ++failures;
      }
      benchmark::DoNotOptimize(record);
    }
  }
  if (failures > 0) {
    state.SkipWithError("a wizard run did not finish");
  }
}
BENCHMARK(BM_WizardShowToFinish)->Unit(benchmark::kMillisecond);

}  // namespace
