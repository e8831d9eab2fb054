#include "common/message_hook.h"

#include <utility>

#include <QMessageBox>
#include <QPushButton>

namespace talvek {

namespace {

MessageBoxHook& Hook() {
  static MessageBoxHook hook;
  return hook;
}

}  // namespace

MessageBoxHook SetMessageBoxHook(MessageBoxHook hook) {
  return std::exchange(Hook(), std::move(hook));
}

void ShowMessageBox(QWidget* parent, const QString& caption, const QString& text) {
  if (const MessageBoxHook& hook = Hook()) {
    hook(parent, text);
    return;
  }
  QMessageBox box(QMessageBox::Warning, caption, text, QMessageBox::Ok, parent);
  // The Chinese button text does not depend on a loaded Qt translation.
  box.button(QMessageBox::Ok)->setText(QStringLiteral("确定"));
  box.exec();
}

}  // namespace talvek
