#include "workbench/ui/screen_editor_link.h"

#include <mutex>
#include <utility>

#include <QProcess>
#include <QString>
#include <QStringList>

#include "platform/atoms.h"
#include "platform/gbk.h"
#include "platform/module.h"
#include "platform/window_messages.h"
#include "workbench/project/talvek_doc.h"

namespace talvek {
namespace {

// The longest name an atom holds.
constexpr std::size_t kMaxAtomText = 255;

std::mutex& LauncherMutex() {
  static std::mutex mutex;
  return mutex;
}

ScreenEditorLauncher& InstalledLauncher() {
  static ScreenEditorLauncher launcher;
  return launcher;
}

void StartDetached(const std::string& program, const std::string& parameters) {
  // "new " gives the one argument "new"; "open a b.pic" gives "open" and "a b.pic".
  const QString text =
      QString::fromUtf8(parameters.data(), static_cast<qsizetype>(parameters.size()));
  const qsizetype blank = text.indexOf(QLatin1Char(' '));
  QStringList arguments;
  arguments << (blank < 0 ? text : text.left(blank));
  if (blank >= 0 && blank + 1 < text.size())
    arguments << text.mid(blank + 1);
  QProcess::startDetached(QString::fromStdString(program), arguments);
}

void Launch(const std::string& parameters) {
  ScreenEditorLauncher launcher;
  {
    std::lock_guard<std::mutex> lock(LauncherMutex());
    launcher = InstalledLauncher();
  }
  if (!launcher)
    launcher = StartDetached;
  launcher(ScreenEditorProgramPath(), parameters);
}

// Posts the command to the running editor and raises it; false when no editor window exists.
bool PostToEditor(const std::string& commandGbk, bool atomInLParam) {
  HWND editor = FindWindowA(kScreenEditorClass, nullptr);
  if (editor == nullptr)
    return false;
  // The atom is left in the table: the editor may read it after this returns.
  const ATOM atom = GlobalAddAtomA(commandGbk.c_str());
  const unsigned atomParams =
      atomInLParam ? (platform::kWParamIsAtom | platform::kLParamIsAtom) : platform::kWParamIsAtom;
  platform::PostMessageWithAtoms(editor, kScreenEditorCommand, atom, atomInLParam ? atom : 0,
                                 atomParams);
  BringWindowToTop(editor);
  return true;
}

}  // namespace

void SetScreenEditorLauncher(ScreenEditorLauncher launcher) {
  std::lock_guard<std::mutex> lock(LauncherMutex());
  InstalledLauncher() = std::move(launcher);
}

std::string ScreenEditorProgramPath() {
  return platform::ModuleFileFor(kScreenEditorProgram);
}

void NewScreenInEditor() {
  if (!PostToEditor("new", true))
    Launch("new ");
}

bool OpenScreenInEditor(std::string_view fileNameGbk) {
  const std::string command = "open " + std::string(fileNameGbk);
  std::string parameters;
  if (command.size() > kMaxAtomText || !platform::GbkToUtf8(command, parameters))
    return false;
  if (!PostToEditor(command, false))
    Launch(parameters);
  return true;
}

}  // namespace talvek
