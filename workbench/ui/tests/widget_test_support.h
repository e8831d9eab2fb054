// What the workbench's widget tests and the project list's benchmark share: a driver host that
// does nothing, a main frame as the project list sees it, and a driver for modal dialogs.
//
//   ui_testing::ListFrame frame;                 // hints go back to frame.views
//   CProjListView view{frame};
//   frame.views.push_back(&view);
//   ui_testing::ModalDriver<CValueEntryDlg> driver([](CValueEntryDlg* dlg) { dlg->reject(); });
//   view.OnCommand(kCmdWriteValue);              // opens the dialog, which the driver answers
//   QVERIFY(driver.acted());
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

#include <QApplication>
#include <QDialog>
#include <QElapsedTimer>
#include <QTimer>

#include "workbench/project/document_window.h"
#include "workbench/project/driver_host_interface.h"
#include "workbench/project/talvek_doc.h"
#include "workbench/ui/view_context.h"

namespace ui_testing {

// A driver host without drivers: creating them succeeds, nothing ever polls.
class NullHost : public talvek::DriverHostInterface {
 public:
  int CreateDrivers(const char*) override { return 1; }
  void DestroyDrivers() override {}
  void StartAll() override {}
  void StopAll() override {}
  bool IsPolling() const override { return false; }
};

// The main frame as the project list sees it: its own document over the process-wide project and
// a NullHost; every hint is recorded and handed to the registered views other than its sender.
class ListFrame final : public talvek::ViewContext, public talvek::DocumentWindow {
 public:
  ListFrame() : doc_(std::make_unique<NullHost>(), *this) {}

  talvek::CTalvekDoc& Document() override { return doc_; }
  void UpdateAllViews(talvek::ProjectView* sender, std::uint32_t hint) override {
    hints.push_back(hint);
    for (talvek::ProjectView* view : views) {
      if (view != sender)
        view->OnUpdate(hint);
    }
  }
  bool IsCommunicationRunning() const override { return running; }
  void SetToolbarLook(talvek::ToolbarLook l) override { look = l; }
  QWidget* MainWindow() override { return nullptr; }
  void SetTitle(std::string_view) override {}
  void UpdateAllViews(std::uint32_t hint) override { UpdateAllViews(nullptr, hint); }
  void AddToRecentFileList(std::string_view) override {}
  void StopCommunication() override { running = false; }
  void AddToTrend(std::span<const std::size_t> tagIndexes) override {
    trendTags.assign(tagIndexes.begin(), tagIndexes.end());
  }

  std::vector<talvek::ProjectView*> views;
  std::vector<std::uint32_t> hints;
  std::vector<std::size_t> trendTags;  // the last AddToTrend's
  bool running = false;
  talvek::ToolbarLook look = talvek::ToolbarLook::kNoProject;

 private:
  talvek::CTalvekDoc doc_;
};

// Calls `act` once on the first modal widget of type T (a dialog or message box) while it lives;
// after 5 s any modal dialog still open is closed, so a test can fail but never hang.
template <typename T>
class ModalDriver {
 public:
  explicit ModalDriver(std::function<void(T*)> act) : act_(std::move(act)) {
    clock_.start();
    QObject::connect(&timer_, &QTimer::timeout, [this] {
      QWidget* modal = QApplication::activeModalWidget();
      if (auto* dialog = qobject_cast<T*>(modal); dialog != nullptr && !acted_) {
        acted_ = true;
        act_(dialog);
      } else if (clock_.elapsed() > 5000) {
        if (auto* any = qobject_cast<QDialog*>(modal))
          any->done(-1);
      }
    });
    timer_.start(10);
  }
  bool acted() const { return acted_; }

 private:
  std::function<void(T*)> act_;
  QTimer timer_;
  QElapsedTimer clock_;
  bool acted_ = false;
};

}  // namespace ui_testing
