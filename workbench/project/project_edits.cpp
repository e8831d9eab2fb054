#include "workbench/project/project_edits.h"

#include <cerrno>
#include <cstring>
#include <unordered_map>

#include "platform/atomic_file.h"
#include "platform/gbk.h"
#include "workbench/project/data_files.h"
#include "workbench/project/message_sink.h"

namespace talvek {
namespace {

void Announce(const BeforeTableChange& beforeChange) {
  if (beforeChange)
    beforeChange();
}

// The outcome of a save on purpose of `fileName`.
DeleteOutcome Saved(bool saved, std::size_t removed, std::string_view fileName) {
  DeleteOutcome outcome;
  outcome.removed = removed;
  if (!saved)
    outcome.unsavedFile = fileName;
  return outcome;
}

}  // namespace

DeleteOutcome DeleteDevice(ProjectState& state, std::size_t index,
                           const BeforeTableChange& beforeChange) {
  Announce(beforeChange);
  std::size_t removed = 0;
  if (index < state.devices.GetSize()) {
    state.devices.RemoveAt(index);
    removed = 1;
  }
  return Saved(SaveDevices(state), removed, kDeviceFileName);
}

DeleteOutcome DeleteTags(ProjectState& state, std::span<const std::size_t> tagIndexes,
                         const BeforeTableChange& beforeChange) {
  std::vector<std::string> names;
  names.reserve(tagIndexes.size());
  for (std::size_t index : tagIndexes) {
    if (index < state.tags.size())
      names.emplace_back(platform::ArrayText(state.tags[index].name));
  }
  Announce(beforeChange);
  const std::size_t removed = RemoveTagsByName(state.tags, names);
  return Saved(SaveTags(state), removed, kTagFileName);
}

DeleteOutcome DeleteScreen(ProjectState& state, std::size_t index,
                           const BeforeTableChange& beforeChange) {
  int fileError = 0;
  if (index < state.screens.size()) {
    const std::string fileName =
        platform::GbkToUtf8(platform::ArrayText(state.screens[index].fileName));
    if (!fileName.empty()) {
      // A relative name is the screen editor's file inside the project folder.
      std::string path = fileName;
      if (path.front() != '/')
        path = DataFilePath(state, fileName).value_or(fileName);
      fileError = platform::RemoveFile(path);
      // The system's reason, before anything changes; a file already gone does not stop it.
      if (fileError != 0)
        ShowMessage(std::strerror(fileError), {}, MessageButtons::kOk, MessageIcon::kWarning);
      if (fileError != 0 && fileError != ENOENT) {
        DeleteOutcome refused;
        refused.done = false;
        refused.fileError = fileError;
        return refused;
      }
    }
  }
  Announce(beforeChange);
  std::size_t removed = 0;
  if (index < state.screens.size()) {
    state.screens.erase(state.screens.begin() + static_cast<std::ptrdiff_t>(index));
    removed = 1;
  }
  DeleteOutcome outcome = Saved(SaveScreens(state), removed, kScreenFileName);
  outcome.fileError = fileError;
  return outcome;
}

std::size_t RemoveTagsByName(std::vector<TagRecord>& tags, const std::vector<std::string>& names) {
  // Removing "the first tag of that name" once per request is the same as removing the first c
  // tags of a name requested c times, whatever the order of the requests: count, then one pass.
  std::unordered_map<std::string_view, std::size_t> wanted;
  wanted.reserve(names.size());
  for (const std::string& name : names)
    ++wanted[std::string_view(name)];
  std::size_t kept = 0;
  for (std::size_t i = 0; i < tags.size(); ++i) {
    auto it = wanted.find(platform::ArrayText(tags[i].name));
    if (it != wanted.end() && it->second > 0) {
      --it->second;
      continue;
    }
    if (kept != i)
      tags[kept] = tags[i];
    ++kept;
  }
  const std::size_t removed = tags.size() - kept;
  tags.resize(kept);
  return removed;
}

}  // namespace talvek
