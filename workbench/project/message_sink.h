// How project code shows a message box without knowing about windows.
//
// The user interface installs a sink that shows real message boxes; tests install one that
// records the texts and answers on the user's behalf. Texts are UTF-8.
#pragma once

#include <string_view>

namespace talvek {

enum class MessageIcon { kNone, kInformation, kWarning, kError, kQuestion };
enum class MessageButtons { kOk, kOkCancel };
enum class MessageAnswer { kOk, kCancel };

class MessageSink {
 public:
  virtual ~MessageSink() = default;
  // Shows `text` and waits for the answer; with MessageButtons::kOk the answer is always kOk.
  virtual MessageAnswer ShowMessage(std::string_view text, std::string_view caption,
                                    MessageButtons buttons, MessageIcon icon) = 0;
};

// Installs the process-wide sink (nullptr restores the default, which writes the text to
// standard error and answers kOk). The caller keeps ownership.
void SetMessageSink(MessageSink* sink);

// Shows a message through the installed sink.
MessageAnswer ShowMessage(std::string_view text, std::string_view caption = {},
                          MessageButtons buttons = MessageButtons::kOk,
                          MessageIcon icon = MessageIcon::kWarning);

}  // namespace talvek
