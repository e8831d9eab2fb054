// The link with the outside screen editor program: its window class, the messages both sides
// exchange, and the two requests the workbench makes (a new screen, open a screen).
//
// When the editor runs, a request is posted to its window as a global-atom command and the
// editor is raised; when it does not, the editor program ("Dodu.exe", i.e. the program "Dodu"
// beside the workbench) is started with the command as its parameters.
//
//   NewScreenInEditor();                       // "new" to the editor, or start it with "new "
//   OpenScreenInEditor(screen.fileName);       // "open <file>", or start it with "open <file>"
#pragma once

#include <functional>
#include <string>
#include <string_view>

#include "platform/win_types.h"

namespace talvek {

// The screen editor's program file (Windows name, mapped beside the workbench program).
inline constexpr std::string_view kScreenEditorProgram = "Dodu.exe";

// The workbench's main window class: other programs find the workbench by it.
inline constexpr char kMainWindowClass[] = "VORUDOZEZEZUROV";

// Workbench to editor: wParam is the global atom of the command text ("new", "open <file>").
inline constexpr UINT kScreenEditorCommand = 0x464;
// Editor to workbench: the screen list changed; both parameters are ignored.
inline constexpr UINT kScreensChangedMessage = 0x466;

// Starts the editor program `program` (a Linux path) with the parameter text `parameters`
// (UTF-8, e.g. "new " or "open 画面1.pic"); the result is ignored by the callers.
using ScreenEditorLauncher =
    std::function<void(const std::string& program, const std::string& parameters)>;

// Replaces the launcher (empty: the default, which starts the program detached in the current
// folder, with the first word of the parameters as one argument and the rest, when there is any,
// as a second one, so a file name with blanks stays whole). For tests.
void SetScreenEditorLauncher(ScreenEditorLauncher launcher);

// The full path of the editor program: the workbench program's folder and "Dodu".
std::string ScreenEditorProgramPath();

// New screen: when the editor's window exists, posts kScreenEditorCommand with the atom of "new"
// in both parameters and raises the editor; otherwise starts the editor with "new ".
void NewScreenInEditor();

// Open screen `fileNameGbk` (the ScreenRecord's fileName, GBK): when the editor's window exists,
// posts kScreenEditorCommand with the atom of "open <file>" in wParam and 0 in lParam and raises
// the editor; otherwise starts the editor with "open <file>". Returns false, doing nothing, when
// the command text cannot travel (longer than an atom holds, or not valid GBK for the program's
// command line).
bool OpenScreenInEditor(std::string_view fileNameGbk);

}  // namespace talvek
