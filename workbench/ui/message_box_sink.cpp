#include "workbench/ui/message_box_sink.h"

#include <cstdio>

#include <QApplication>
#include <QMessageBox>
#include <QPushButton>
#include <QThread>

namespace talvek {
namespace {

QMessageBox::Icon QtIcon(MessageIcon icon) {
  switch (icon) {
    case MessageIcon::kInformation:
      return QMessageBox::Information;
    case MessageIcon::kWarning:
      return QMessageBox::Warning;
    case MessageIcon::kError:
      return QMessageBox::Critical;
    case MessageIcon::kQuestion:
      return QMessageBox::Question;
    case MessageIcon::kNone:
      break;
  }
  return QMessageBox::NoIcon;
}

QString FromUtf8(std::string_view text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

// Shows one box modally; a null `parent` centres it on the active window.
MessageAnswer ExecMessageBox(std::string_view text, std::string_view caption,
                             MessageButtons buttons, MessageIcon icon, QWidget* parent) {
  if (parent == nullptr)
    parent = QApplication::activeWindow();
  QMessageBox* box = CreateMessageBox(text, caption, buttons, icon, parent);
  box->setWindowModality(Qt::ApplicationModal);
  box->exec();
  // Escape and the window's close button count as Cancel, like the Cancel button itself.
  const bool cancelled =
      buttons == MessageButtons::kOkCancel && box->clickedButton() != box->defaultButton();
  delete box;
  return cancelled ? MessageAnswer::kCancel : MessageAnswer::kOk;
}

}  // namespace

QMessageBox* CreateMessageBox(std::string_view text, std::string_view caption,
                              MessageButtons buttons, MessageIcon icon, QWidget* parent) {
  auto* box = new QMessageBox(parent);
  box->setIcon(QtIcon(icon));
  box->setText(FromUtf8(text));
  box->setWindowTitle(caption.empty() ? QGuiApplication::applicationDisplayName()
                                      : FromUtf8(caption));
  QPushButton* ok = box->addButton(QMessageBox::Ok);
  ok->setText(QString::fromUtf8(kOkButtonText));
  box->setDefaultButton(ok);
  if (buttons == MessageButtons::kOkCancel) {
    QPushButton* cancel = box->addButton(QMessageBox::Cancel);
    cancel->setText(QString::fromUtf8(kCancelButtonText));
    box->setEscapeButton(cancel);
  } else {
    box->setEscapeButton(ok);
  }
  return box;
}

MessageAnswer QtMessageSink::ShowMessage(std::string_view text, std::string_view caption,
                                         MessageButtons buttons, MessageIcon icon) {
  auto* app = qobject_cast<QApplication*>(QCoreApplication::instance());
  if (app == nullptr) {
    // No widgets can exist without a QApplication; keep the text rather than crash.
    std::fprintf(stderr, "%.*s\n", static_cast<int>(text.size()), text.data());
    return MessageAnswer::kOk;
  }
  if (QThread::currentThread() == app->thread()) {
    return ShowOnGuiThread(text, caption, buttons, icon);
  }
  // Widgets live on the GUI thread only. The views are passed as owned copies because the
  // caller's buffers may be gone by the time a queued box runs.
  std::string textCopy(text), captionCopy(caption);
  if (buttons == MessageButtons::kOk) {
    // The answer is known (OK), so the worker does not wait: a GUI thread that is joining this
    // worker would otherwise deadlock.
    // The box may run after this sink is gone, so it does not use the sink's parent.
    QMetaObject::invokeMethod(
        app,
        [textCopy, captionCopy, icon] {
          ExecMessageBox(textCopy, captionCopy, MessageButtons::kOk, icon, nullptr);
        },
        Qt::QueuedConnection);
    return MessageAnswer::kOk;
  }
  MessageAnswer answer = MessageAnswer::kCancel;
  QMetaObject::invokeMethod(
      app, [&] { answer = ShowOnGuiThread(textCopy, captionCopy, buttons, icon); },
      Qt::BlockingQueuedConnection);
  return answer;
}

MessageAnswer QtMessageSink::ShowOnGuiThread(std::string_view text, std::string_view caption,
                                             MessageButtons buttons, MessageIcon icon) {
  return ExecMessageBox(text, caption, buttons, icon, parent_.data());
}

MessageAnswer RecordingMessageSink::ShowMessage(std::string_view text, std::string_view caption,
                                                MessageButtons buttons, MessageIcon icon) {
  messages_.push_back({std::string(text), std::string(caption), buttons, icon});
  if (buttons == MessageButtons::kOk || answers_.empty()) {
    return MessageAnswer::kOk;
  }
  const MessageAnswer answer = answers_.front();
  answers_.pop_front();
  return answer;
}

}  // namespace talvek
