// The plug-ins' message boxes. Every OK-only box a plug-in shows goes through ShowMessageBox, so a
// test answers and records the boxes through one hook instead of facing a real, blocking box.
//
//   const MessageBoxHook previous =
//       SetMessageBoxHook([&](QWidget*, const QString& text) { seen << text; });
//   ShowMessageBox(page, caption, QStringLiteral("驱动加载失败"));  // recorded, nothing shown
//   SetMessageBoxHook(previous);                                     // real boxes again
//
// The hook lives in the static library talvek_message_hook. Each plug-in module links its own
// copy and keeps it private (hidden symbols, --exclude-libs), so a hook installed by the program
// or by a test never reaches a plug-in loaded as a module: such a plug-in shows real boxes. A
// test that links a plug-in's core library directly shares that core's copy, and its hook catches
// the boxes of the dialogs it runs in-process.
#pragma once

#include <functional>

#include <QString>

class QWidget;

namespace talvek {

// Receives each message instead of a box being shown: the box's parent and its text.
using MessageBoxHook = std::function<void(QWidget* parent, const QString& text)>;

// Installs `hook` (an empty one restores the real boxes) and returns the previous one.
MessageBoxHook SetMessageBoxHook(MessageBoxHook hook);

// Shows `text` in a modal warning box titled `caption` with one button "确定" over `parent`, or
// hands it to the installed hook. Returns when the box has been answered.
void ShowMessageBox(QWidget* parent, const QString& caption, const QString& text);

}  // namespace talvek
