#include "workbench/project/message_sink.h"

#include <atomic>
#include <cstdio>

namespace talvek {
namespace {

class StderrSink final : public MessageSink {
 public:
  MessageAnswer ShowMessage(std::string_view text, std::string_view caption, MessageButtons,
                            MessageIcon) override {
    std::fprintf(stderr, "%.*s%s%.*s\n", static_cast<int>(caption.size()), caption.data(),
                 caption.empty() ? "" : ": ", static_cast<int>(text.size()), text.data());
    return MessageAnswer::kOk;
  }
};

StderrSink g_defaultSink;
std::atomic<MessageSink*> g_sink{nullptr};

}  // namespace

void SetMessageSink(MessageSink* sink) { g_sink.store(sink); }

MessageAnswer ShowMessage(std::string_view text, std::string_view caption, MessageButtons buttons,
                          MessageIcon icon) {
  MessageSink* sink = g_sink.load();
  if (sink == nullptr) sink = &g_defaultSink;
  return sink->ShowMessage(text, caption, buttons, icon);
}

}  // namespace talvek
