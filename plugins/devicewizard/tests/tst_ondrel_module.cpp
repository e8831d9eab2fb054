// The built plug-in as the workbench meets it: libOndrel.so loaded by its Windows file name,
// Show looked up by name and called with a record and the project's device table. The module
// keeps its own copy of the wizard, so the test works only through Qt's own widget classes.
#include <dlfcn.h>

#include <QComboBox>
#include <QTest>

#include <cstring>

#include "common/plugin_entry.h"
#include "platform/com.h"
#include "platform/gbk.h"
#include "platform/module.h"
#include "plugins/devicewizard/device_catalogue.h"
#include "plugins/devicewizard/device_wizard.h"
#include "plugins/devicewizard/tests/wizard_test_support.h"

using namespace ondrel_test;

class TestOndrelModule : public QObject {
  Q_OBJECT

  RegistryScope registry_;
  platform::ModuleHandle module_;
  talvek::DeviceWizardShowFn show_ = nullptr;

 private slots:
  void initTestCase() {
    QVERIFY(registry_.Register("libOstrel.so"));
    module_.reset(platform::LoadLibraryA(talvek::kDeviceWizardPluginFile));
    QVERIFY(module_);
    show_ = module_.Symbol<talvek::DeviceWizardShowFn>(talvek::kPluginEntryPoint);
    QVERIFY(show_ != nullptr);
  }

  // Show is the module's only way in: the wizard's classes and helpers are not exported.
  void onlyShowIsExported() {
    QVERIFY(platform::GetProcAddress(module_.get(), "Show") != nullptr);
    QVERIFY(platform::GetProcAddress(module_.get(), "_ZN9WizardDlg14ExecuteCommandEi") == nullptr);
    QVERIFY(platform::GetProcAddress(module_.get(), "_ZN6ondrel14BuildCatalogueEv") == nullptr);
  }

  // A new device installed through the loaded module, then the same device re-configured in the
  // table: the first call answers 1 and fills the record, the second is cancelled and answers 0.
  void showLikeTheWorkbench() {
    talvek::DeviceArray devices;
    DeviceRecord record = NewDevice();
    const WizardRun install = RunWizard([&] { return show_(&record, &devices); },
                                        [&](QDialog& dlg) {
                                          QCOMPARE(dlg.windowTitle(), ondrel::kStepTitles[0]);
                                          QVERIFY(WalkToSummary(dlg, Entries{}));
                                          QCOMPARE(NextText(dlg), QStringLiteral("完成"));
                                          QVERIFY(Next(dlg));
                                        });
    QVERIFY(!install.timedOut);
    QCOMPARE(install.result, 1);
    QCOMPARE(platform::ArrayText(record.descriptor.model), std::string_view("S7-200(PPI)"));
    QVERIFY(record.descriptor.driverClsid == ClassOf(ondrel::kPpiProgId));
    QCOMPARE(platform::ArrayText(record.logicalName), Gbk("泵站1"));
    QCOMPARE(record.station.stationNumber, 5);
    QCOMPARE(platform::ArrayText(record.station.addressText), std::string_view("5"));
    QCOMPARE(record.portNumber, 2);
    QCOMPARE(record.retryIntervalSec, 12);
    QCOMPARE(record.recoveryLimitHours, 6);

    devices.Add(record);
    const WizardRun edit = RunWizard(
        [&] { return show_(&devices[0], &devices); },
        [&](QDialog& dlg) {
          auto* list = dlg.findChild<QComboBox*>(QString::fromLatin1(ondrel::kModelListName));
          QVERIFY(list != nullptr);
          QCOMPARE(list->currentIndex(), 3);
          QVERIFY(Next(dlg));
          QVERIFY(Next(dlg));  // its own name is no duplicate
          QCOMPARE(dlg.windowTitle(), ondrel::kStepTitles[2]);
          QVERIFY(Cancel(dlg));
        });
    QVERIFY(!edit.timedOut);
    QCOMPARE(edit.result, 0);
  }

  // A null record is refused without a window.
  void nullRecord() {
    talvek::DeviceArray devices;
    QCOMPARE(show_(nullptr, &devices), 0);
  }
};

QTEST_MAIN(TestOndrelModule)
#include "tst_ondrel_module.moc"
