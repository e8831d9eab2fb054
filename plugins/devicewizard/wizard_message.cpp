#include "plugins/devicewizard/wizard_message.h"

#include <utility>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>

namespace ondrel {

namespace {

WizardMessageHook& Hook() {
  static WizardMessageHook hook;
  return hook;
}

}  // namespace

void SetWizardMessageHook(WizardMessageHook hook) {
  Hook() = std::move(hook);
}

void ShowWizardMessage(QWidget* parent, const QString& text) {
  if (const WizardMessageHook& hook = Hook(); hook) {
    hook(text);
    return;
  }
  QWidget* owner = parent != nullptr ? parent->window() : QApplication::activeWindow();
  QMessageBox box(QMessageBox::Warning, QStringLiteral("驱动安装向导"), text, QMessageBox::NoButton,
                  owner);
  // The Chinese button text does not depend on a loaded Qt translation.
  box.addButton(QStringLiteral("确定"), QMessageBox::AcceptRole);
  box.exec();
}

}  // namespace ondrel
