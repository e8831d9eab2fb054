// Message boxes of the device wizard. Every box goes through ShowWizardMessage, so tests can
// answer and record them through a hook instead of facing a real, blocking box.
//
//   SetWizardMessageHook([&](const QString& text) { seen << text; });
//   ShowWizardMessage(page, QStringLiteral("驱动加载失败"));  // recorded, nothing shown
//   SetWizardMessageHook({});                                 // real boxes again
#pragma once

#include <functional>

#include <QString>

class QWidget;

namespace ondrel {

// Receives the text of each message instead of a box being shown.
using WizardMessageHook = std::function<void(const QString& text)>;

// Installs a hook; an empty one restores the real boxes.
void SetWizardMessageHook(WizardMessageHook hook);

// Shows `text` in a modal warning box with one "确定" button, over `parent`'s window (or the
// active window), or hands it to the hook when one is installed. Returns when it was answered.
void ShowWizardMessage(QWidget* parent, const QString& text);

}  // namespace ondrel
