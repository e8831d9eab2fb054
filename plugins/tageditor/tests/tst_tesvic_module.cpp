// libTesvic.so as the workbench meets it: loaded by file name ("Tesvic.dll"), one export "Show"
// called with the project's tables, its modal dialog driven while it runs, and its own message
// boxes (no hook can reach into the module) answered on the screen.
#include <cstdio>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QTabWidget>
#include <QTest>
#include <QTimer>

#include "common/plugin_entry.h"
#include "platform/module.h"
#include "plugins/tageditor/tests/tag_editor_test_env.h"

using namespace tageditor_test;

namespace {

QString Utf8(const char* text) {
  return QString::fromUtf8(text);
}

// The symbols a module exports (defined ones, as the dynamic loader sees them).
QStringList ExportedSymbols(const QString& path) {
  QStringList symbols;
  const QString command = QStringLiteral("nm -D --defined-only '%1'").arg(path);
  FILE* pipe = popen(command.toLocal8Bit().constData(), "r");
  if (pipe == nullptr)
    return symbols;
  char line[512];
  while (std::fgets(line, sizeof line, pipe) != nullptr) {
    const QStringList fields = QString::fromLatin1(line).simplified().split(u' ');
    const QString name = fields.last();
    // Linker-made markers of the data segments are no exports of ours.
    if (name != "_edata" && name != "_end" && name != "__bss_start" && name != "_init" &&
        name != "_fini")
      symbols << name;
  }
  pclose(pipe);
  return symbols;
}

}  // namespace

class TestTesvicModule : public QObject {
  Q_OBJECT

 private slots:
  void initTestCase() {
    const QString error = env_.SetUp();
    QVERIFY2(error.isEmpty(), qPrintable(error));
    module_.reset(platform::LoadLibraryA(talvek::kTagEditorPluginFile));
    QVERIFY2(module_, "libTesvic.so did not load");
    show_ = module_.Symbol<talvek::TagEditorShowFn>(talvek::kPluginEntryPoint);
    QVERIFY(show_ != nullptr);
  }
  void init() { ResetControl(env_.Control()); }
  void cleanup() { QCOMPARE(env_.Control().objects, 0); }

  void exportsOnlyShow();
  void newTagConfirmed();
  void ownMessageBoxAndCancel();
  void nullRecordIsRefused();
  void unloadedAndLoadedAgain();
  void screenshot();

 private:
  DriverEnvironment env_;
  platform::ModuleHandle module_;
  talvek::TagEditorShowFn show_ = nullptr;
};

void TestTesvicModule::exportsOnlyShow() {
  const QString path = QString::fromStdString(platform::ModuleFileFor("Tesvic.dll"));
  QCOMPARE(ExportedSymbols(path), QStringList{QStringLiteral("Show")});
}

void TestTesvicModule::newTagConfirmed() {
  talvek::DeviceArray devices;
  devices.Add(MakeDevice("PLC1", "ModelA"));
  std::vector<TagRecord> tags{ExternalTag("Var1", "PLC1", "V1", kRawInt16)};
  TagRecord scratch = tags[0];  // the list's new-tag command starts from a copy
  int objectsWhileOpen = -1;
  QString title, tab;
  StdoutCapture out;
  bool timedOut = false;
  const int result = RunModal([&] { return show_(&devices, &scratch, &tags); },
                              [&](QDialog* dialog) {
                                objectsWhileOpen = env_.Control().objects;
                                title = dialog->windowTitle();
                                tab = dialog->findChild<QTabWidget*>("tabs")->tabText(0);
                                dialog->findChild<QLineEdit*>("nameEdit")->setText("Var2");
                                dialog->findChild<QPushButton*>("okButton")->click();
                              },
                              &timedOut);
  const QString trace = out.FinishTrace();
  QVERIFY(!timedOut);
  QCOMPARE(result, 1);
  QCOMPARE(title, Utf8("变量维护"));
  QCOMPARE(tab, Utf8("  配置   "));
  QCOMPARE(Text(scratch.name), QStringLiteral("Var2"));
  QCOMPARE(Text(scratch.driverModel), QStringLiteral("ModelA"));
  QCOMPARE(objectsWhileOpen, 1);
  QCOMPARE(env_.Control().objects, 0);  // released when Show returned
  QCOMPARE(trace, Utf8("GetRegisters 返回正确\r\nConvertUserConfigToVar 返回正确\r\n"));
}

void TestTesvicModule::ownMessageBoxAndCancel() {
  talvek::DeviceArray devices;
  devices.Add(MakeDevice("PLC1", "ModelA"));
  std::vector<TagRecord> tags{ExternalTag("Var1", "PLC1", "V1", kRawInt16),
                              ExternalTag("Var2", "PLC1", "V2", kRawInt16)};
  const TagRecord before = tags[1];
  QString boxText, boxButton, boxTitle;
  bool timedOut = false;
  const int result = RunModal(
      [&] { return show_(&devices, &tags[1], &tags); },
      [&](QDialog* dialog) {
        dialog->findChild<QLineEdit*>("nameEdit")->setText("Var1");
        // The module shows a real box: answer it once it is up, then cancel the dialog.
        QTimer::singleShot(20, dialog, [&, dialog] {
          if (auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget())) {
            boxText = box->text();
            boxTitle = box->windowTitle();
            boxButton = box->buttons().value(0)->text();
            box->buttons().value(0)->click();
          }
          QTimer::singleShot(
              0, dialog, [dialog] { dialog->findChild<QPushButton*>("cancelButton")->click(); });
        });
        dialog->findChild<QPushButton*>("okButton")->click();
      },
      &timedOut);
  QVERIFY(!timedOut);
  QCOMPARE(result, 0);
  QCOMPARE(boxText, Utf8("与现存变量重名!"));
  QCOMPARE(boxTitle, Utf8("变量维护"));
  QCOMPARE(boxButton, Utf8("确定"));
  QVERIFY(RecordDifference(tags[1], before).isEmpty());
}

void TestTesvicModule::nullRecordIsRefused() {
  talvek::DeviceArray devices;
  std::vector<TagRecord> tags;
  QCOMPARE(show_(&devices, nullptr, &tags), 0);
}

// The list's edit command loads and frees the module around every Show.
void TestTesvicModule::unloadedAndLoadedAgain() {
  talvek::DeviceArray devices;
  devices.Add(MakeDevice("PLC1", "ModelA"));
  std::vector<TagRecord> tags{ExternalTag("Var1", "PLC1", "V1", kRawInt16)};
  module_.reset();
  show_ = nullptr;
  for (int round = 0; round < 3; ++round) {
    platform::ModuleHandle module(platform::LoadLibraryA(talvek::kTagEditorPluginFile));
    QVERIFY(module);
    auto show = module.Symbol<talvek::TagEditorShowFn>(talvek::kPluginEntryPoint);
    QVERIFY(show != nullptr);
    bool timedOut = false;
    const int result = RunModal([&] { return show(&devices, &tags[0], &tags); },
                                [](QDialog* dialog) { dialog->accept(); }, &timedOut);
    QVERIFY(!timedOut);
    QCOMPARE(result, 1);
    QCOMPARE(env_.Control().objects, 0);
  }
}

// Writes the dialog editing an external tag on the PPI driver to the file named by
// TESVIC_SCREENSHOT (for the documentation).
void TestTesvicModule::screenshot() {
  const QString file = qEnvironmentVariable("TESVIC_SCREENSHOT");
  if (file.isEmpty())
    QSKIP("TESVIC_SCREENSHOT not set");
  MessageRecorder messages;
  Editor e;
  e.devices.Add(MakeDevice("1号站", "S7-200(PPI)", kPpiClsid));
  e.devices.Add(MakeDevice("泵房", "S7-200(PPI)", kPpiClsid));
  e.tag = ExternalTag("PT101", "泵房", "V100", kRawInt16);
  SetText(e.tag.description, "一号泵出口压力");
  e.tag.engMax = 1600;
  e.tag.rawMax = 27648;
  e.Open();
  e.dialog->resize(e.dialog->sizeHint());
  e.dialog->show();
  QVERIFY(QTest::qWaitForWindowExposed(e.dialog.get()));
  QVERIFY(e.dialog->grab().save(file));
}

QTEST_MAIN(TestTesvicModule)
#include "tst_tesvic_module.moc"
