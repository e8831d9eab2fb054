// The project list's link to the outside screen editor: a command in a global atom posted to the
// editor's window (class "ZIZivu"), or, when the editor does not run, the editor program started
// from the workbench's own folder with the command as its parameters.
//
//   ScreenEditorLink link;
//   link.NewScreen();                  // "new" to the running editor, or starts "Dodu new"
//   link.OpenScreen(gbkFileName);      // "open <file>"
//
// Tests replace the launcher so that they record the start instead of running a program.
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/win_types.h"

namespace talvek {

// Message to the screen editor: wParam is the atom of the command text; lParam the atom of "new"
// for a new screen, 0 for opening one.
inline constexpr UINT kScreenEditorCommandMessage = 0x464;
// The editor program's Windows name; it lies beside the workbench program.
inline constexpr char kScreenEditorProgram[] = "Dodu.exe";
// Command texts (the open command is followed by the screen's file name).
inline constexpr char kScreenEditorNewCommand[] = "new";
inline constexpr char kScreenEditorOpenCommand[] = "open ";

// Starts `program` (a file-system path) with `parameters` (UTF-8, as a Windows command line
// would carry them: "new " or "open <file>") and does not wait; failures are not reported.
using ProgramLauncher =
    std::function<void(const std::string& program, const std::string& parameters)>;

// The launcher the program uses: a detached process whose arguments are the parameters' first
// word and, when anything follows the first blank, the rest as one argument (a file name may
// hold blanks).
void StartDetachedProgram(const std::string& program, const std::string& parameters);

class ScreenEditorLink {
 public:
  ScreenEditorLink();

  // Replaces the launcher (null restores StartDetachedProgram).
  void SetLauncher(ProgramLauncher launcher);

  // New screen: posts "new" (wParam and lParam both its atom) to the editor and raises it; without
  // a running editor starts it with the parameters "new ".
  void NewScreen();
  // Open screen: posts "open " + `gbkFileName` (lParam 0) and raises the editor; without a running
  // editor starts it with "open " + the file name in UTF-8.
  void OpenScreen(std::string_view gbkFileName);

  // The path the editor is started from: the workbench program's folder + the editor's name.
  static std::string EditorProgramPath();

 private:
  // Posts `gbkCommand` when the editor runs; false when no editor window exists.
  bool PostToEditor(const std::string& gbkCommand, bool lParamIsCommand);

  ProgramLauncher launcher_;
};

}  // namespace talvek
