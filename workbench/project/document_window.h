// What the project document asks of the main window, so that the document (project data, no
// widgets) does not depend on the user interface that shows it.
//
// The Qt main frame implements this interface; tests use a recorder. Message boxes do not go
// through here: the document shows them through ShowMessage (message_sink.h) like all project code.
#pragma once

#include <cstdint>
#include <string_view>

namespace talvek {

// View-update hints the document sends to every view.
inline constexpr std::uint32_t kHintProjectOpened = 0;           // a project was opened or created
inline constexpr std::uint32_t kHintProjectCreated = 0x100000;   // after a new project's creation
inline constexpr std::uint32_t kHintProjectClosed = 0x10000000;  // views drop everything they show

// Image indexes of the toolbar's strip: the buttons are never disabled, their image says whether
// they do something.
inline constexpr int kImageStartAvailable = 0;
inline constexpr int kImageStopAvailable = 1;
inline constexpr int kImageStartUnavailable = 2;
inline constexpr int kImageStopUnavailable = 3;

// The looks of the start and stop buttons, as image pairs (start, stop).
enum class ToolbarLook {
  kNoProject,  // start 2, stop 3: nothing to start
  kStopped,    // start 0, stop 3: a project is open and communication can start
  kRunning,    // start 2, stop 1: communication runs and can be stopped
};

// The start button's image of a look.
constexpr int StartImageOf(ToolbarLook look) {
  return look == ToolbarLook::kStopped ? kImageStartAvailable : kImageStartUnavailable;
}
// The stop button's image of a look.
constexpr int StopImageOf(ToolbarLook look) {
  return look == ToolbarLook::kRunning ? kImageStopAvailable : kImageStopUnavailable;
}

class DocumentWindow {
 public:
  virtual ~DocumentWindow() = default;

  // Sets the document's title (UTF-8); the window may add the program's name around it.
  virtual void SetTitle(std::string_view title) = 0;
  // Tells every view what changed (one of the kHint* values, or a view's own hint).
  virtual void UpdateAllViews(std::uint32_t hint) = 0;
  // Switches the images of the start and stop buttons.
  virtual void SetToolbarLook(ToolbarLook look) = 0;
  // Adds a project file (UTF-8 path) at the head of the recent-project list.
  virtual void AddToRecentFileList(std::string_view path) = 0;
  // The main frame's stop command: stops every polling thread (the driver host's StopAll), kills
  // the list's refresh timer and clears the communication-running flag. Does nothing when
  // communication is not running.
  virtual void StopCommunication() = 0;
  // The communication-running flag.
  virtual bool IsCommunicationRunning() const = 0;
};

}  // namespace talvek
