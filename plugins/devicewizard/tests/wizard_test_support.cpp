#include "plugins/devicewizard/tests/wizard_test_support.h"

#include <dlfcn.h>

#include <cstdio>
#include <cstring>

#include <QApplication>
#include <QComboBox>
#include <QLabel>
#include <QLineEdit>
#include <QProcess>
#include <QPushButton>
#include <QTimer>

#include "common/message_hook.h"
#include "common/wizard/wizard_dlg.h"
#include "platform/com.h"
#include "platform/gbk.h"
#include "platform/registry.h"
#include "plugins/devicewizard/device_catalogue.h"
#include "plugins/devicewizard/device_wizard.h"

namespace ondrel_test {

namespace {

std::string BinPath(const char* file) {
  return (testing_support::BinDir() / file).string();
}

// The in-process wizard frame, or null for a frame of another module's copy of the class.
WizardDlg* Frame(QDialog& wizard) {
  return qobject_cast<WizardDlg*>(&wizard);
}

bool Press(QDialog& wizard, int id, const char* buttonName) {
  if (WizardDlg* frame = Frame(wizard)) {
    return frame->ExecuteCommand(id);
  }
  auto* button = wizard.findChild<QPushButton*>(QString::fromLatin1(buttonName));
  if (button == nullptr || !button->isEnabled()) {
    return false;
  }
  button->click();
  return true;
}

// Ends every modal window, boxes first.
void CloseModalWindows() {
  for (int i = 0; i < 16; ++i) {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (dialog == nullptr) {
      return;
    }
    dialog->done(QDialog::Rejected);
  }
}

}  // namespace

RegistryScope::RegistryScope() : env_("TALVEK_CONFIG_DIR", dir_.str()) {
  platform::Registry::Instance().Reload();
}

bool RegistryScope::Register(const char* moduleFile) {
  QProcess regsvr;
  regsvr.setProcessChannelMode(QProcess::MergedChannels);
  regsvr.start(QString::fromStdString(BinPath("regsvr")),
               {QString::fromStdString(BinPath(moduleFile))});
  const bool ok = regsvr.waitForFinished(30000) && regsvr.exitStatus() == QProcess::NormalExit &&
                  regsvr.exitCode() == 0;
  if (!ok) {
    std::fprintf(stderr, "regsvr %s: %s\n", moduleFile, regsvr.readAll().constData());
  }
  platform::Registry::Instance().Reload();
  return ok;
}

bool RegistryScope::RegisterTestDriverAsModbus() {
  return platform::RegisterInprocServer(CLSID_WizardTestDriver, ondrel::kModbusProgId,
                                        BinPath("libWizardTestDriver.so"));
}

WizardTestDriverControl* TestDriver() {
  static void* module = dlopen(BinPath("libWizardTestDriver.so").c_str(), RTLD_NOW | RTLD_LOCAL);
  if (module == nullptr) {
    return nullptr;
  }
  auto control =
      reinterpret_cast<WizardTestDriverControlFn>(dlsym(module, "WizardTestDriverControlBlock"));
  return control != nullptr ? control() : nullptr;
}

void ResetTestDriver() {
  if (WizardTestDriverControl* control = TestDriver()) {
    const int live = control->liveObjects;
    std::memset(control, 0, sizeof *control);
    control->liveObjects = live;
  }
}

WizardRun RunWizard(const std::function<int()>& show, const std::function<void(QDialog&)>& script,
                    int guardMs) {
  WizardRun run;
  talvek::SetMessageBoxHook([&](QWidget*, const QString& text) { run.messages << text; });

  QTimer guard;
  guard.setSingleShot(true);
  QObject::connect(&guard, &QTimer::timeout, [&] {
    run.timedOut = true;
    CloseModalWindows();
  });
  guard.start(guardMs);

  QTimer::singleShot(0, [&] {
    auto* wizard = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (wizard == nullptr) {
      return;
    }
    run.reachedWizard = true;
    script(*wizard);
    // The modal window on top is still the wizard when the script did not end it.
    if (QApplication::activeModalWidget() == wizard && wizard->isVisible()) {
      run.leftOpen = true;
      wizard->done(QDialog::Rejected);
    }
  });
  run.result = show();
  guard.stop();
  talvek::SetMessageBoxHook({});
  return run;
}

int CurrentTemplate(QDialog& wizard) {
  WizardDlg* frame = Frame(wizard);
  return frame != nullptr && frame->CurrentPage() != nullptr ? frame->CurrentPage()->TemplateId()
                                                             : 0;
}

void SelectModel(QDialog& wizard, int index) {
  if (auto* list = wizard.findChild<QComboBox*>(QString::fromLatin1(ondrel::kModelListName))) {
    list->setCurrentIndex(index);
  }
}

int SelectedModel(QDialog& wizard) {
  auto* list = wizard.findChild<QComboBox*>(QString::fromLatin1(ondrel::kModelListName));
  return list != nullptr ? list->currentIndex() : -2;
}

void SetText(QDialog& wizard, const char* objectName, const QString& text) {
  QObject* control = wizard.findChild<QObject*>(QString::fromLatin1(objectName));
  if (auto* edit = qobject_cast<QLineEdit*>(control)) {
    edit->setText(text);
  } else if (auto* combo = qobject_cast<QComboBox*>(control)) {
    combo->setEditText(text);
  }
}

QString Text(QDialog& wizard, const char* objectName) {
  QObject* control = wizard.findChild<QObject*>(QString::fromLatin1(objectName));
  if (auto* edit = qobject_cast<QLineEdit*>(control)) {
    return edit->text();
  }
  if (auto* combo = qobject_cast<QComboBox*>(control)) {
    return combo->currentText();
  }
  if (auto* label = qobject_cast<QLabel*>(control)) {
    return label->text();
  }
  return QStringLiteral("<no control %1>").arg(QString::fromLatin1(objectName));
}

bool Next(QDialog& wizard) {
  return Press(wizard, WizardDlg::kIdNext, "nextButton");
}

bool Back(QDialog& wizard) {
  return Press(wizard, WizardDlg::kIdBack, "backButton");
}

bool Cancel(QDialog& wizard) {
  return Press(wizard, WizardDlg::kIdCancel, "cancelButton");
}

bool NextEnabled(QDialog& wizard) {
  auto* button = wizard.findChild<QPushButton*>(QStringLiteral("nextButton"));
  return button != nullptr && button->isEnabled();
}

QString NextText(QDialog& wizard) {
  auto* button = wizard.findChild<QPushButton*>(QStringLiteral("nextButton"));
  return button != nullptr ? button->text() : QString();
}

bool WalkToSummary(QDialog& wizard, const Entries& entries) {
  // A step moved on when the window title changed to the next step's.
  const auto step = [&](int expectedStep) {
    return wizard.windowTitle() == ondrel::kStepTitles[expectedStep] ||
           (expectedStep == 2 && wizard.windowTitle() == ondrel::kNetworkPortStepTitle);
  };
  SelectModel(wizard, entries.model);
  if (!Next(wizard) || !step(1)) {
    return false;
  }
  SetText(wizard, ondrel::kLogicalNameEditName, entries.name);
  if (!Next(wizard) || !step(2)) {
    return false;
  }
  SetText(wizard, ondrel::kPortComboName, entries.port);
  if (!Next(wizard) || !step(3)) {
    return false;
  }
  SetText(wizard, ondrel::kAddressEditName, entries.address);
  if (!Next(wizard) || !step(4)) {
    return false;
  }
  SetText(wizard, ondrel::kRetryEditName, entries.retry);
  SetText(wizard, ondrel::kRecoveryEditName, entries.recovery);
  return Next(wizard) && step(5);
}

std::string Gbk(const char* utf8) {
  return platform::Utf8ToGbk(utf8);
}

DeviceRecord NewDevice() {
  DeviceRecord device;
  std::memset(&device, 0, sizeof device);
  platform::CopyToArray(device.logicalName, Gbk("新建设备"));
  device.portNumber = 1;
  device.retryIntervalSec = 10;
  device.dynamicOptimization = 1;
  device.recoveryLimitHours = 5;
  return device;
}

DeviceRecord StoredDevice(const CLSID& clsid, const char* model, const char* utf8Name, int port,
                          const char* address) {
  DeviceRecord device = NewDevice();
  device.descriptor.driverClsid = clsid;
  platform::CopyToArray(device.descriptor.model, model);
  platform::CopyToArray(device.logicalName, Gbk(utf8Name));
  device.portNumber = port;
  platform::CopyToArray(device.station.addressText, address);
  return device;
}

CLSID ClassOf(const char* progId) {
  CLSID clsid{};
  if (FAILED(platform::CLSIDFromProgID(progId, &clsid))) {
    clsid = CLSID{};
  }
  return clsid;
}

}  // namespace ondrel_test
