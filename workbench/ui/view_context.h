// What the two panes (the project tree and the project list) need from the main frame.
//
// The main frame implements it; pane tests use a small fake. Views never hold the frame itself,
// so each pane can be built and tested on its own.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "workbench/project/document_window.h"

class QWidget;

namespace talvek {

class CTalvekDoc;

// View-update hints beyond the document's own (document_window.h).
inline constexpr std::uint32_t kHintDevicesBase = 0x10000;  // + port number (0 = all ports)
inline constexpr std::uint32_t kHintTags = 0x20000;
inline constexpr std::uint32_t kHintScreens = 0x40000;
inline constexpr std::uint32_t kHintLiveValues = 0x80000;

// The list's view styles: commands of both the main frame's menu and the list's context menu.
inline constexpr int kCmdViewSmallIcons = 32783;  // "小图标"
inline constexpr int kCmdViewLargeIcons = 32784;  // "大图标"
inline constexpr int kCmdViewDetails = 32785;     // "详细资料"

// Implemented by every pane: reacts to a view-update hint.
class ProjectView {
 public:
  virtual ~ProjectView() = default;
  virtual void OnUpdate(std::uint32_t hint) = 0;
};

class ViewContext {
 public:
  virtual ~ViewContext() = default;

  // The open project's document.
  virtual CTalvekDoc& Document() = 0;
  // Sends `hint` to every pane except `sender` (null: to every pane).
  virtual void UpdateAllViews(ProjectView* sender, std::uint32_t hint) = 0;
  // The communication-running flag; panes refuse editing while it is set.
  virtual bool IsCommunicationRunning() const = 0;
  // Switches the images of the start and stop buttons.
  virtual void SetToolbarLook(ToolbarLook look) = 0;
  // The main window, as the parent of dialogs and message boxes.
  virtual QWidget* MainWindow() = 0;
  // Draws the tags at `tagIndexes` (of the project's tag table) in the trend; the main frame
  // shows its trend pane, other contexts ignore it.
  virtual void AddToTrend(std::span<const std::size_t> tagIndexes) {
    static_cast<void>(tagIndexes);
  }
};

}  // namespace talvek
