// Helpers shared by the project tests: a message sink that records, and GBK literals.
#pragma once

#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "common/testing/test_support.h"
#include "platform/gbk.h"
#include "workbench/project/message_sink.h"
#include "workbench/project/project_state.h"

namespace project_testing {

// Records every message instead of showing it; installed for its own lifetime.
class RecordingSink final : public talvek::MessageSink {
 public:
  RecordingSink() { talvek::SetMessageSink(this); }
  ~RecordingSink() override { talvek::SetMessageSink(nullptr); }
  RecordingSink(const RecordingSink&) = delete;
  RecordingSink& operator=(const RecordingSink&) = delete;

  talvek::MessageAnswer ShowMessage(std::string_view text, std::string_view, talvek::MessageButtons,
                                    talvek::MessageIcon) override {
    texts.emplace_back(text);
    return talvek::MessageAnswer::kOk;
  }

  std::vector<std::string> texts;
};

// The GBK form of a UTF-8 literal; fails the calling test's expectations when it has none.
inline std::string Gbk(std::string_view utf8) {
  std::string gbk;
  if (!platform::Utf8ToGbk(utf8, gbk))
    return "<no GBK form>";
  return gbk;
}

// The UTF-8 form of a GBK array, for readable comparisons.
template <std::size_t N>
std::string Utf8(const char (&gbk)[N]) {
  return platform::GbkToUtf8(platform::ArrayText(gbk));
}

// Points the state at `folder` (UTF-8 on disk, stored as GBK like the document does).
inline void SetFolder(talvek::ProjectState& state, const std::filesystem::path& folder) {
  platform::CopyToArray(state.folder, Gbk(folder.string()));
}

// Record byte helpers, shared with the tests of common/.
using testing_support::Filled;
using testing_support::SameBytes;

}  // namespace project_testing
