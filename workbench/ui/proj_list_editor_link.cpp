#include "workbench/ui/proj_list_editor_link.h"

#include <QProcess>
#include <QString>
#include <QStringList>

#include "platform/atoms.h"
#include "platform/gbk.h"
#include "platform/module.h"
#include "platform/window_messages.h"
#include "workbench/project/talvek_doc.h"

namespace talvek {

void StartDetachedProgram(const std::string& program, const std::string& parameters) {
  const std::size_t blank = parameters.find(' ');
  QStringList arguments;
  arguments << QString::fromStdString(parameters.substr(0, blank));
  if (blank != std::string::npos && blank + 1 < parameters.size())
    arguments << QString::fromStdString(parameters.substr(blank + 1));
  // No working folder is given: the program starts in the current one.
  QProcess::startDetached(QString::fromStdString(program), arguments);
}

ScreenEditorLink::ScreenEditorLink() : launcher_(StartDetachedProgram) {}

void ScreenEditorLink::SetLauncher(ProgramLauncher launcher) {
  launcher_ = launcher ? std::move(launcher) : ProgramLauncher(StartDetachedProgram);
}

std::string ScreenEditorLink::EditorProgramPath() {
  return platform::ModuleFileFor(kScreenEditorProgram);
}

bool ScreenEditorLink::PostToEditor(const std::string& gbkCommand, bool lParamIsCommand) {
  HWND editor = platform::FindWindowA(kScreenEditorClass, nullptr);
  if (editor == nullptr)
    return false;
  // The atom stays in the table: the editor reads it after this returns, and nobody deletes
  // the atoms of this link.
  const ATOM command = platform::GlobalAddAtomA(gbkCommand.c_str());
  const unsigned atomParams =
      platform::kWParamIsAtom | (lParamIsCommand ? platform::kLParamIsAtom : 0);
  platform::PostMessageWithAtoms(editor, kScreenEditorCommandMessage, command,
                                 lParamIsCommand ? command : 0, atomParams);
  platform::BringWindowToTop(editor);
  return true;
}

void ScreenEditorLink::NewScreen() {
  if (!PostToEditor(kScreenEditorNewCommand, true))
    launcher_(EditorProgramPath(), std::string(kScreenEditorNewCommand) + " ");
}

void ScreenEditorLink::OpenScreen(std::string_view gbkFileName) {
  if (PostToEditor(kScreenEditorOpenCommand + std::string(gbkFileName), false))
    return;
  // Command lines on Linux are UTF-8; the file name is GBK like every record text.
  launcher_(EditorProgramPath(), kScreenEditorOpenCommand + platform::GbkToUtf8(gbkFileName));
}

}  // namespace talvek
