// What the workbench's end-to-end tests share: the workbench window in an environment of its own,
// driving the modal dialogs the real plug-ins open (with a guard, so a dialog that refuses a step
// fails the test instead of hanging it), the steps of the project, device and tag dialogs, and
// reading the project tree and list as the user sees them.
//
//   bench.Prepare("libOstrel.so");
//   if (QTest::currentTestFailed()) return;
//   bench.Open();
//   const ModalRun run = DriveModal([&] { bench.List()->OnCommand(kCmdNewDevice); },
//                                   [&](QDialog& wizard) { ...; QVERIFY(PressNext(wizard)); });
//   QVERIFY(run.acted && !run.timedOut);
//   bench.Close();
#pragma once

#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include "common/records.h"
#include "common/testing/run_program.h"
#include "common/testing/test_support.h"
#include "platform/com.h"
#include "platform/gbk.h"
#include "platform/registry.h"
#include "workbench/project/talvek_doc.h"
#include "workbench/runtime/driver_host.h"
#include "workbench/runtime/tag_fields.h"
#include "workbench/ui/main_frame.h"
#include "workbench/ui/message_box_sink.h"
#include "workbench/ui/proj_list_view.h"

namespace workbench_e2e {

inline std::string Gbk(const char* utf8) {
  return platform::Utf8ToGbk(utf8);
}

// How a driven dialog ended.
struct ModalRun {
  bool acted = false;     // `act` ran on the dialog
  bool timedOut = false;  // the guard had to close a modal window
};

// Runs `trigger`, which opens a modal dialog, and calls `act` once on the first modal dialog that
// shows. Anything modal still open after `limitMs` is closed, so a dialog that refuses a step (and
// shows its message over itself) fails the test instead of hanging it.
inline ModalRun DriveModal(const std::function<void()>& trigger,
                           const std::function<void(QDialog&)>& act, int limitMs = 15000) {
  ModalRun run;
  QTimer poll;
  QTimer guard;
  QElapsedTimer clock;
  clock.start();
  QObject::connect(&poll, &QTimer::timeout, [&] {
    auto* dialog = qobject_cast<QDialog*>(QApplication::activeModalWidget());
    if (run.acted || dialog == nullptr || !dialog->isVisible())
      return;
    run.acted = true;
    poll.stop();
    act(*dialog);
  });
  // A second timer: the first one does not fire again while `act` waits in a nested loop.
  QObject::connect(&guard, &QTimer::timeout, [&] {
    if (clock.elapsed() < limitMs)
      return;
    for (int i = 0; i < 8; ++i) {
      QWidget* modal = QApplication::activeModalWidget();
      if (modal == nullptr)
        break;
      run.timedOut = true;
      if (auto* dialog = qobject_cast<QDialog*>(modal))
        dialog->done(0);
      else
        modal->close();
    }
  });
  poll.start(10);
  guard.start(100);
  trigger();
  return run;
}

inline QPushButton* Button(QDialog& dialog, const char* objectName) {
  return dialog.findChild<QPushButton*>(QString::fromLatin1(objectName));
}

// Presses the wizard frame's Next (which reads "完成" on the last step); false when it is missing
// or disabled.
inline bool PressNext(QDialog& wizard) {
  QPushButton* next = Button(wizard, "nextButton");
  if (next == nullptr || !next->isEnabled())
    return false;
  next->click();
  return true;
}

inline void SetEditText(QDialog& dialog, const char* objectName, const QString& text) {
  QObject* control = dialog.findChild<QObject*>(QString::fromLatin1(objectName));
  if (auto* edit = qobject_cast<QLineEdit*>(control))
    edit->setText(text);
  else if (auto* combo = qobject_cast<QComboBox*>(control))
    combo->setEditText(text);
  else
    QFAIL(objectName);
}

// Chooses `text` in a drop-list as the user would (the dialogs react to `activated`).
inline bool Choose(QDialog& dialog, const char* objectName, const QString& text) {
  auto* combo = dialog.findChild<QComboBox*>(QString::fromLatin1(objectName));
  if (combo == nullptr)
    return false;
  const int index = combo->findText(text, Qt::MatchExactly);
  if (index < 0)
    return false;
  combo->setCurrentIndex(index);
  emit combo->activated(index);
  return true;
}

// Makes a project named `name` in `folder` with the new-project wizard, opened by the frame's
// command; `atSummary` looks at the summary step before the wizard finishes. A failed check in it
// leaves the wizard open for the guard to close.
inline ModalRun NewProjectThroughWizard(talvek::CMainFrame& frame, const QString& name,
                                        const QString& folder,
                                        const std::function<void(QDialog&)>& atSummary = {}) {
  return DriveModal([&] { QVERIFY(frame.ExecuteCommand(talvek::kCmdNewProject)); },
                    [&](QDialog& wizard) {
                      SetEditText(wizard, "nameEdit", name);
                      SetEditText(wizard, "folderCombo", folder);
                      QVERIFY(PressNext(wizard));
                      if (atSummary) {
                        atSummary(wizard);
                        if (QTest::currentTestFailed())
                          return;
                      }
                      QVERIFY(PressNext(wizard));
                    });
}

// What the device wizard is given.
struct DeviceAnswers {
  QString model;    // as the model list shows it
  QString name;     // the logical name
  QString port;     // "COM1"
  QString address;  // as typed; the device's driver checks it
};

// Installs a device with the device wizard, opened from the list's command, keeping the
// recovery defaults; `summary` gets the four lines of the summary step and `finishText` (when
// given) the text of the button that finishes.
inline ModalRun InstallDeviceThroughWizard(talvek::CProjListView& list,
                                           const DeviceAnswers& answers, QStringList* summary,
                                           QString* finishText = nullptr) {
  return DriveModal([&] { list.OnCommand(talvek::kCmdNewDevice); },
                    [&](QDialog& wizard) {
                      QVERIFY(Choose(wizard, "modelList", answers.model));
                      QVERIFY(PressNext(wizard));  // the driver object is created here
                      QCOMPARE(wizard.windowTitle(), QString("设备配置向导——逻辑名称"));
                      SetEditText(wizard, "logicalNameEdit", answers.name);
                      QVERIFY(PressNext(wizard));
                      // A TCP/IP model's port only chooses its polling thread.
                      QVERIFY(wizard.windowTitle() == QString("设备配置向导——选择串口号") ||
                              wizard.windowTitle() == QString("设备配置向导——选择端口号"));
                      SetEditText(wizard, "portCombo", answers.port);
                      QVERIFY(PressNext(wizard));
                      QCOMPARE(wizard.windowTitle(), QString("设备配置向导——设备地址设置指南"));
                      SetEditText(wizard, "addressEdit", answers.address);
                      QVERIFY(PressNext(wizard));  // checked by the driver itself
                      QCOMPARE(wizard.windowTitle(), QString("通信参数"));
                      QVERIFY(PressNext(wizard));  // recovery defaults
                      QCOMPARE(wizard.windowTitle(), QString("设备安装向导——信息总结"));
                      for (const char* line :
                           {"summaryModel", "summaryName", "summaryAddress", "summaryCommKind"})
                        *summary << wizard.findChild<QLabel*>(line)->text();
                      if (finishText != nullptr)
                        *finishText = Button(wizard, "nextButton")->text();
                      QVERIFY(PressNext(wizard));
                    });
}

// The tag editor's first choices for an external integer tag on `device` (choosing the device
// creates its driver, which fills the register list); false when a choice is missing.
inline bool BeginIntegerTag(QDialog& editor, const QString& name, const QString& device) {
  SetEditText(editor, "nameEdit", name);
  return Choose(editor, "varTypeCombo", "整数") && Choose(editor, "deviceCombo", device);
}

// Completes the tag begun by BeginIntegerTag on register `registerText`, with the engineering
// range equal to the raw range so the value reads as the device holds it, and presses OK.
inline bool FinishIntegerTag(QDialog& editor, const QString& registerText) {
  SetEditText(editor, "registerCombo", registerText);
  if (!Choose(editor, "dataTypeCombo", "整数"))
    return false;
  SetEditText(editor, "minEdit", "0");
  SetEditText(editor, "maxEdit", "32767");
  SetEditText(editor, "rawMinEdit", "0");
  SetEditText(editor, "rawMaxEdit", "32767");
  Button(editor, "okButton")->click();
  return true;
}

// Makes a tag with the tag editor, opened from the list's command; `fill` fills it in.
inline ModalRun NewTagThroughEditor(talvek::CProjListView& list,
                                    const std::function<void(QDialog&)>& fill) {
  return DriveModal([&] { list.OnCommand(talvek::kCmdNewTag); }, fill);
}

// The bytes of a record as the data files hold it.
template <typename Record>
std::vector<std::uint8_t> RecordBytes(const Record& record) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&record);
  return {p, p + sizeof record};
}

// The content of the data file `file` of the project in `projectFolder` (UTF-8).
inline std::optional<std::vector<std::uint8_t>> DataFileBytes(const std::string& projectFolder,
                                                              const char* file) {
  return testing_support::ReadFileBytes(std::filesystem::u8path(projectFolder + "/" + file));
}

// The class the registry gives `progId`, as a device record keeps its driver; false when there
// is none.
inline bool ClassOfProgId(const char* progId, CLSID* clsid) {
  if (FAILED(platform::CoInitialize(nullptr)))
    return false;
  const bool found = SUCCEEDED(platform::CLSIDFromProgID(progId, clsid));
  platform::CoUninitialize();
  return found;
}

// The texts of the port nodes under "设备" (empty when the tree shows nothing).
inline QStringList PortNodes(talvek::CMainFrame& frame) {
  auto* tree = frame.Panes().tree->findChild<QTreeWidget*>("projectTree");
  QStringList texts;
  if (tree == nullptr)
    return {"<no tree>"};
  for (int i = 0; i < tree->topLevelItemCount(); ++i) {
    QTreeWidgetItem* root = tree->topLevelItem(i);
    if (root->text(0) != "设备")
      continue;
    for (int j = 0; j < root->childCount(); ++j)
      texts << root->child(j)->text(0);
  }
  return texts;
}

// Selects the tree node with `text`, as a click would; the list switches on the selection.
inline bool SelectNode(talvek::CMainFrame& frame, const QString& text) {
  auto* tree = frame.Panes().tree->findChild<QTreeWidget*>("projectTree");
  if (tree == nullptr)
    return false;
  const QList<QTreeWidgetItem*> found =
      tree->findItems(text, Qt::MatchExactly | Qt::MatchRecursive);
  if (found.isEmpty())
    return false;
  tree->setCurrentItem(nullptr);
  tree->setCurrentItem(found.front());
  return true;
}

// The rows of the list that stand for a device record (an empty list shows a placeholder row).
inline int DeviceRows(talvek::CProjListView& list) {
  int count = 0;
  for (int row = 0; row < list.Model()->rowCount(); ++row)
    count += list.Model()->DeviceAt(row) != nullptr ? 1 : 0;
  return count;
}

// Whether some cell of the list's row `row` reads `text`.
inline bool RowShows(talvek::CProjListView& list, int row, const QString& text) {
  const QAbstractItemModel* model = list.Model();
  if (row >= model->rowCount())
    return false;
  for (int column = 0; column < model->columnCount(); ++column) {
    if (model->data(model->index(row, column)).toString().trimmed() == text)
      return true;
  }
  return false;
}

// The workbench window under test, in an environment of its own: fresh configuration, runtime
// and home folders (so the registry store, the settings and the recent files are the test's), a
// folder for the projects the test makes, and a sink that records the messages the user would
// have seen. One per test program, prepared in initTestCase and closed in cleanupTestCase.
class Workbench {
 public:
  // Sets up the environment and registers the build's driver module `driverModule` into it with
  // the real regsvr, as an installation does, before any thread of the workbench runs.
  void Prepare(const char* driverModule) {
    env_ = std::make_unique<Environment>();
    const testing_support::RunResult reg = testing_support::RegisterBuiltModule(driverModule);
    QVERIFY2(reg.exitCode == 0, reg.output.c_str());
    platform::Registry::Instance().Reload();
  }

  // Starts from an empty project and makes and shows the main frame, with a driver host that
  // polls every 50 ms and without the main window endpoint.
  void Open() {
    sink_ = std::make_unique<talvek::RecordingMessageSink>();
    ResetProject();
    auto host = std::make_unique<talvek::DriverHost>();
    host_ = host.get();
    host_->SetCyclePeriod(50);
    talvek::FrameOptions options;
    options.host = std::move(host);
    options.openEndpoint = false;
    frame_ = std::make_unique<talvek::CMainFrame>(std::move(options));
    frame_->show();
    QVERIFY(QTest::qWaitForWindowExposed(frame_.get()));
    QVERIFY(List() != nullptr);
  }

  // Stops communication, closes the frame and the project, puts the environment back and
  // reloads the registry from the store it names again. Safe after a failed Prepare or Open.
  void Close() {
    if (frame_ != nullptr) {
      frame_->ExecuteCommand(talvek::kCmdStopCommunication);
      frame_->close();
      frame_.reset();
    }
    host_ = nullptr;
    ResetProject();
    sink_.reset();
    env_.reset();
    platform::Registry::Instance().Reload();
  }

  talvek::CMainFrame& Frame() { return *frame_; }
  talvek::DriverHost& Host() { return *host_; }
  talvek::RecordingMessageSink& Sink() { return *sink_; }
  talvek::CProjListView* List() {
    return qobject_cast<talvek::CProjListView*>(frame_->Panes().list);
  }
  // The folder the test makes its projects in.
  std::string Location() const { return env_->location.str(); }

  // Closes the project and opens `projectFile` again, so everything comes from its files.
  bool Reopen(const std::string& projectFile) {
    if (!frame_->ExecuteCommand(talvek::kCmdFileClose))
      return false;
    return frame_->OpenDocumentFile(QString::fromStdString(projectFile));
  }

  // Starts communication and checks that the frame runs it and the host polls.
  void StartCommunication() {
    QVERIFY(frame_->ExecuteCommand(talvek::kCmdStartCommunication));
    QVERIFY(frame_->IsCommunicationRunning());
    QVERIFY(host_->IsPolling());
  }

  // Waits for the first tag to be polled with good quality and `value`, and for the live list
  // to show it.
  void WaitForFirstTag(int value) {
    QTRY_VERIFY_WITH_TIMEOUT(talvek::LoadQuality(talvek::Project().tags[0]) == 192 &&
                                 talvek::LoadValueWord(talvek::Project().tags[0]) == value,
                             10000);
    QVERIFY(List()->IsLiveTimerActive());
    QTRY_VERIFY_WITH_TIMEOUT(RowShows(*List(), 0, QString::number(value)), 5000);
  }

  // Stops communication and checks that the frame and the host stopped. A thread inside an
  // exchange ends after it: the frame finishes the stop on its timer.
  void StopCommunication() {
    QVERIFY(frame_->ExecuteCommand(talvek::kCmdStopCommunication));
    QTRY_VERIFY_WITH_TIMEOUT(!frame_->IsStopping(), 5000);
    QVERIFY(!frame_->IsCommunicationRunning());
    QVERIFY(!host_->IsPolling());
  }

 private:
  // Members are set in order and put back in reverse: the variables before their folders go.
  struct Environment {
    testing_support::TempDir config, runtime, home, location;
    testing_support::ScopedEnv configVar{"TALVEK_CONFIG_DIR", config.str()};
    testing_support::ScopedEnv runtimeVar{"TALVEK_RUNTIME_DIR", runtime.str()};
    testing_support::ScopedEnv homeVar{"HOME", home.str()};
    testing_support::ScopedEnv xdgVar{"XDG_CONFIG_HOME", (home / ".config").string()};
  };

  static void ResetProject() {
    talvek::Project().ClearTables();
    talvek::Project().folder[0] = '\0';
  }

  std::unique_ptr<Environment> env_;
  std::unique_ptr<talvek::RecordingMessageSink> sink_;
  talvek::DriverHost* host_ = nullptr;  // owned by the frame
  std::unique_ptr<talvek::CMainFrame> frame_;
};

}  // namespace workbench_e2e
