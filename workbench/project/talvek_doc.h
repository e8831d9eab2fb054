// CTalvekDoc: the single document of the workbench. It stands for the open project: opens one
// from its project file, closes it, creates a new one through the new-project wizard plug-in, and
// saves the data files when the program ends.
//
// The project data itself is the process-wide ProjectState (project_state.h); the document owns
// the driver host and reaches the window only through DocumentWindow.
//
//   CTalvekDoc doc(std::make_unique<DriverHost>(), mainFrame);
//   if (!doc.OnOpenDocument("/home/u/工程/泵站/泵站.ZRPrj")) { /* the user has been told why */ }
//   ...
//   doc.OnCloseDocument();  // program end: saves Comm.dat, Device.dat, Tag.dat
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>
#include <utility>

#include "platform/module.h"
#include "platform/win_types.h"
#include "workbench/project/document_window.h"
#include "workbench/project/driver_host_interface.h"
#include "workbench/project/project_state.h"

namespace talvek {

// Document titles (UTF-8).
inline constexpr std::string_view kNoProjectTitle = "工程浏览器---------空项目";
inline constexpr std::string_view kNewProjectTitle = "工程浏览器";

// The screen editor's window class and the message that tells it the project goes away
// (WM_USER + 101, both parameters 0).
inline constexpr char kScreenEditorClass[] = "ZIZivu";
inline constexpr UINT kScreenEditorProjectClosed = 0x465;

// The new-project wizard plug-in's file name, and the size of each buffer its Show fills.
inline constexpr std::string_view kNewProjectPluginFile = "Almery.dll";
inline constexpr std::size_t kWizardBufferSize = 260;

// Extension of the project file that the new-project command puts on the recent-project list.
inline constexpr std::string_view kNewProjectFileExtension = ".zrprj";

// Signature of the wizard plug-in's export "Show" (C linkage): fills the project's location and
// name (GBK, NUL-terminated) and returns non-zero when the user finished the wizard.
using NewProjectShowFn = int (*)(char* location, char* name);

// The message shown when the wizard plug-in `fileName` cannot be loaded.
std::string PluginLoadFailureText(std::string_view fileName);

class CTalvekDoc {
 public:
  // Takes ownership of the driver host: it lives as long as the document, and drivers are
  // destroyed with it. `window` and `state` must outlive the document.
  CTalvekDoc(std::unique_ptr<DriverHostInterface> host, DocumentWindow& window,
             ProjectState& state = Project());
  // Stops polling if it still runs, then destroys the drivers and the host.
  ~CTalvekDoc();
  CTalvekDoc(const CTalvekDoc&) = delete;
  CTalvekDoc& operator=(const CTalvekDoc&) = delete;

  // Opens the project whose project file is `path` (UTF-8). Refuses, with a message and without
  // touching the open project, a file that cannot be opened for reading, a path without '/', and
  // a folder with no GBK form or longer than 259 GBK bytes. Otherwise closes the open project
  // (stopping communication first), loads the new one's devices, ports and tags, creates its
  // drivers and returns true, also when a data file was refused or the registry could not be
  // written (the user is told).
  bool OnOpenDocument(std::string_view path);

  // Program end: stops communication, then, when a project is open, saves Comm.dat, Device.dat
  // and Tag.dat (in that order) and tells the user which could not be saved; then empties the
  // tables and destroys the drivers. True when nothing failed to save.
  bool OnCloseDocument();

  // The new-document step: DeleteContents, no path, not modified. Always true.
  bool OnNewDocument();

  // Stops communication if it runs, empties the screen, tag, device and port tables, forgets the
  // path name and destroys every driver.
  void DeleteContents();

  // Closes the open project without saving: tells the screen editor, DeleteContents, the
  // no-project title, no folder, hint kHintProjectClosed, the no-project toolbar look.
  void CloseProject();

  // Posts kScreenEditorProjectClosed to the screen editor's window and raises it, when the editor
  // runs; waits for nothing.
  void NotifyScreenEditor();

  // The new-project command: runs the wizard plug-in and makes the project it created the current
  // one (not opened: the tables stay empty). False, with nothing changed, when the plug-in cannot
  // be loaded (a message), has no Show, the user cancelled, or the location and name it returned
  // do not make a usable folder (a message).
  bool NewProject();

  // Command handlers: close (ID_FILE_CLOSE) and new project (32796).
  void OnFileClose() { CloseProject(); }
  void OnNewProject() { NewProject(); }
  // Whether the close command is enabled: exactly while a project is open.
  bool OnUpdateFileClose() const { return state_.IsOpen(); }

  // The framework's modified flag; nothing here sets it, edits may.
  bool IsModified() const { return modified_; }
  void SetModifiedFlag(bool modified = true) { modified_ = modified; }

  // The project file's path (UTF-8) while a project opened from its file is open, else empty.
  const std::string& GetPathName() const { return pathName_; }

  // The driver host, for the start and stop commands.
  DriverHostInterface& DriverHost() { return *host_; }
  // The project state this document works on.
  ProjectState& State() { return state_; }

  // Replaces the wizard plug-in's file name (default kNewProjectPluginFile), so that tests can
  // load a stand-in instead of the real wizard. The next NewProject loads the named module.
  void SetNewProjectPluginFile(std::string fileName) {
    pluginFile_ = std::move(fileName);
    plugin_ = nullptr;
  }

 private:
  // Makes sure no polling thread runs: the window's stop command, then the host's own StopAll
  // should polling outlive it. A driver must never be destroyed while its thread runs.
  void StopCommunicationFirst();
  // Stores the open project's folder in the profile; a failure is shown, never fatal.
  void StoreCurrentProjectFolder();

  std::unique_ptr<DriverHostInterface> host_;
  DocumentWindow& window_;
  ProjectState& state_;
  std::string pathName_;
  std::string pluginFile_{kNewProjectPluginFile};
  HMODULE plugin_ = nullptr;  // stays loaded once loaded, like any plug-in
  bool modified_ = false;
};

}  // namespace talvek
