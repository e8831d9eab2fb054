// Helpers for the device wizard's tests and benchmark: a registry store into which the real
// regsvr program registers the drivers, a way to run Show's modal wizard from a script that can
// never hang, and small steps on a running wizard (found by the controls' object names).
//
//   RegistryScope registry;
//   QVERIFY(registry.Register("libOstrel.so"));
//   const WizardRun run = RunWizard([&] { return ondrel::RunDeviceWizard(&record, &devices); },
//                                   [&](QDialog& dlg) { SelectModel(dlg, 3); Next(dlg); ... });
//   QCOMPARE(run.result, 1);
#pragma once

#include <functional>
#include <string>

#include <QDialog>
#include <QString>
#include <QStringList>

#include "common/records.h"
#include "common/testing/test_support.h"
#include "plugins/devicewizard/tests/test_driver_module.h"

namespace ondrel_test {

// A fresh registry folder (TALVEK_CONFIG_DIR) for the life of the object.
class RegistryScope {
 public:
  RegistryScope();

  // Runs the build's regsvr on `moduleFile` (a file of the build's output folder) and re-reads
  // the store. False (with the tool's output on standard error) when the registration failed.
  bool Register(const char* moduleFile);
  // Registers the test driver's class under the Modbus driver's ProgID as well.
  bool RegisterTestDriverAsModbus();

 private:
  testing_support::TempDir dir_;
  testing_support::ScopedEnv env_;
};

// The test driver's control block (the module is loaded once, as COM loads it); null when the
// module cannot be loaded. ResetTestDriver clears its switches and counters.
WizardTestDriverControl* TestDriver();
void ResetTestDriver();

// How a scripted wizard run ended.
struct WizardRun {
  int result = -1;             // what Show returned
  bool reachedWizard = false;  // the script found the wizard running
  bool leftOpen = false;       // the script returned without ending the wizard (it was cancelled)
  bool timedOut = false;       // the guard had to end the run
  QStringList messages;        // the message boxes of the run, in order (in-process wizard only)
};

// Calls `show` and runs `script` on the wizard once its modal loop runs. Messages of the
// in-process wizard are recorded, not shown. A script that does not end the wizard gets it
// cancelled; after `guardMs` every modal window is closed, so no test can hang.
WizardRun RunWizard(const std::function<int()>& show, const std::function<void(QDialog&)>& script,
                    int guardMs = 10000);

// --- Steps on a running wizard ---

// Template id of the page on show (0 when none).
int CurrentTemplate(QDialog& wizard);
// Chooses list entry `index` of step 0's model list (-1: none).
void SelectModel(QDialog& wizard, int index);
// Index of the model list's selection.
int SelectedModel(QDialog& wizard);
// Sets the text of a line edit or editable combo box by object name.
void SetText(QDialog& wizard, const char* objectName, const QString& text);
// The text of a line edit, combo box or label by object name.
QString Text(QDialog& wizard, const char* objectName);
// Presses a button the way a user does (nothing happens while it is disabled). True when the
// button was enabled.
bool Next(QDialog& wizard);
bool Back(QDialog& wizard);
bool Cancel(QDialog& wizard);
bool NextEnabled(QDialog& wizard);
QString NextText(QDialog& wizard);

// Walks from step 0 to the summary with the given entries; false at the first step that does not
// move on.
struct Entries {
  int model = 3;  // S7-200(PPI)
  QString name = QStringLiteral("泵站1");
  QString port = QStringLiteral("COM2");
  QString address = QStringLiteral("5");
  QString retry = QStringLiteral("12");
  QString recovery = QStringLiteral("6");
};
bool WalkToSummary(QDialog& wizard, const Entries& entries);

// --- Records ---

// GBK form of a UTF-8 literal.
std::string Gbk(const char* utf8);
// A new device as the workbench makes it: zero, "新建设备", port 1, retry 10, optimisation 1,
// recovery 5.
DeviceRecord NewDevice();
// A stored device with the given driver class, model, name, port and address text.
DeviceRecord StoredDevice(const CLSID& clsid, const char* model, const char* utf8Name, int port,
                          const char* address);
// The class registered under a ProgID (all zero when none).
CLSID ClassOf(const char* progId);

}  // namespace ondrel_test
