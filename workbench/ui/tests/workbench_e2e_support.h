// What the workbench's end-to-end tests share: driving the modal dialogs the real plug-ins open
// (with a guard, so a dialog that refuses a step fails the test instead of hanging it), and
// reading the project tree and list as the user sees them.
//
//   const ModalRun run = DriveModal([&] { list->OnCommand(kCmdNewDevice); },
//                                   [&](QDialog& wizard) { ...; QVERIFY(PressNext(wizard)); });
//   QVERIFY(run.acted && !run.timedOut);
#pragma once

#include <cstdint>
#include <functional>
#include <vector>

#include <QApplication>
#include <QComboBox>
#include <QDialog>
#include <QElapsedTimer>
#include <QLineEdit>
#include <QPushButton>
#include <QTimer>
#include <QTreeWidget>
#include <QtTest>

#include "common/records.h"
#include "workbench/ui/main_frame.h"
#include "workbench/ui/proj_list_view.h"

namespace workbench_e2e {

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

inline std::vector<std::uint8_t> RecordBytes(const DeviceRecord& device) {
  const auto* p = reinterpret_cast<const std::uint8_t*>(&device);
  return {p, p + sizeof device};
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

}  // namespace workbench_e2e
