#include "plugins/devicewizard/device_wizard.h"

#include <QApplication>
#include <QThread>

#include "common/wizard/wizard_dlg.h"
#include "plugins/devicewizard/device_pages.h"

namespace ondrel {

namespace {

// One wizard at a time: the pages share one session, and a second modal run started from inside
// the first (a re-entrant call) would edit records behind the first one's back.
bool g_running = false;

class RunningFlag {
 public:
  RunningFlag() { g_running = true; }
  ~RunningFlag() { g_running = false; }
  RunningFlag(const RunningFlag&) = delete;
  RunningFlag& operator=(const RunningFlag&) = delete;
};

int Run(DeviceRecord* device, const talvek::DeviceArray* devices) {
  // Declared before the frame and the pages, so the driver object is released only after every
  // page is gone.
  WizardSession session(device, devices);
  ModelPage model(session);
  NamePage name(session);
  PortPage port(session);
  AddressPage address(session);
  RecoveryPage recovery(session);
  SummaryPage summary(session);

  WizardDlg frame(QApplication::activeWindow());
  frame.setWindowTitle(kWizardCaption);
  frame.SetStepTitles(kStepTitles);
  WizardPage* pages[] = {&model, &name, &port, &address, &recovery, &summary};
  for (std::size_t i = 0; i < kPageTemplates.size(); ++i) {
    frame.AddPage(pages[i], kPageTemplates[i]);
  }
  return frame.exec() == WizardDlg::kFinishResult ? 1 : 0;
}

}  // namespace

int RunDeviceWizard(DeviceRecord* device, const talvek::DeviceArray* devices) noexcept {
  // Widgets live on the application's thread only.
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (device == nullptr || app == nullptr || QThread::currentThread() != app->thread() ||
      g_running) {
    return 0;
  }
  try {
    RunningFlag running;
    return Run(device, devices);
  } catch (...) {
    return 0;  // nothing crosses the module boundary
  }
}

}  // namespace ondrel
