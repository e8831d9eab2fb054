// Message boxes of the workbench: the Qt sink that shows them, and a recording sink for tests.
//
// Project and UI code show every message through talvek::ShowMessage (message_sink.h). The program
// installs a QtMessageSink at start-up; widget tests install a RecordingMessageSink, which keeps
// each message and answers from a queue, so no test ever blocks on a real box.
//
//   QtMessageSink sink(&mainWindow);
//   SetMessageSink(&sink);
//   ShowMessage("文件不是有效的设备文件!");   // a warning box with "确定"
#pragma once

#include <deque>
#include <string>
#include <vector>

#include <QPointer>

#include "workbench/project/message_sink.h"

class QMessageBox;
class QWidget;

namespace talvek {

// Chinese texts of the two answer buttons.
inline constexpr const char* kOkButtonText = "确定";
inline constexpr const char* kCancelButtonText = "取消";

// Builds the box that QtMessageSink shows: `text` and `caption` are UTF-8, an empty caption
// becomes the application's display name; the buttons carry the Chinese texts, OK is the default
// and Escape means Cancel (OK when there is no Cancel). The caller owns the box.
QMessageBox* CreateMessageBox(std::string_view text, std::string_view caption,
                              MessageButtons buttons, MessageIcon icon, QWidget* parent);

// Shows real, application-modal message boxes. Safe to call from any thread: a call from a
// thread other than the GUI thread is carried out on the GUI thread and waits for the answer.
class QtMessageSink final : public MessageSink {
 public:
  explicit QtMessageSink(QWidget* parent = nullptr) : parent_(parent) {}

  // The window the boxes are centred on; none (or a destroyed one) means the active window.
  void SetParentWidget(QWidget* parent) { parent_ = parent; }
  QWidget* ParentWidget() const { return parent_; }

  MessageAnswer ShowMessage(std::string_view text, std::string_view caption, MessageButtons buttons,
                            MessageIcon icon) override;

 private:
  MessageAnswer ShowOnGuiThread(std::string_view text, std::string_view caption,
                                MessageButtons buttons, MessageIcon icon);

  QPointer<QWidget> parent_;
};

// One message as a RecordingMessageSink saw it.
struct RecordedMessage {
  std::string text;     // UTF-8
  std::string caption;  // UTF-8, as passed (empty = the default caption)
  MessageButtons buttons;
  MessageIcon icon;
};

// Records every message instead of showing it and answers from a queue (kOk once the queue is
// empty; always kOk for an OK-only message). Installs itself for its own lifetime and restores
// the default sink on destruction; not thread-safe, for single-threaded widget tests.
class RecordingMessageSink final : public MessageSink {
 public:
  RecordingMessageSink() { SetMessageSink(this); }
  ~RecordingMessageSink() override { SetMessageSink(nullptr); }
  RecordingMessageSink(const RecordingMessageSink&) = delete;
  RecordingMessageSink& operator=(const RecordingMessageSink&) = delete;

  // Queues the answer to the next OK/Cancel message.
  void QueueAnswer(MessageAnswer answer) { answers_.push_back(answer); }

  MessageAnswer ShowMessage(std::string_view text, std::string_view caption, MessageButtons buttons,
                            MessageIcon icon) override;

  const std::vector<RecordedMessage>& Messages() const { return messages_; }
  // The text of the last message; empty when there was none.
  std::string LastText() const { return messages_.empty() ? std::string() : messages_.back().text; }
  void Clear() { messages_.clear(); }

 private:
  std::vector<RecordedMessage> messages_;
  std::deque<MessageAnswer> answers_;
};

}  // namespace talvek
