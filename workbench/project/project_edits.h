// Deleting devices, tags and screens from a project: which records go, the screen's own file, and
// the save of the table's data file. The question before a deletion, the report of a file that
// could not be saved and the refresh of the views after it belong to the caller (the project list).
//
//   if (Confirm(kAskDeleteTags)) {
//     const DeleteOutcome outcome = DeleteTags(state, tagIndexes, [&] { list.ReleaseRows(); });
//     if (!outcome.unsavedFile.empty()) { /* tell the user the file keeps its old content */ }
//   }
//
// Each deletion calls `beforeChange` (when given) once, right before the table changes, so that a
// view can let go of the rows that point into it; a refused deletion never calls it.
#pragma once

#include <cstddef>
#include <functional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/records.h"
#include "workbench/project/project_state.h"

namespace talvek {

// What a deletion did.
struct DeleteOutcome {
  // False when the deletion was refused before anything changed; nothing was saved then.
  bool done = true;
  // Records removed from the table (0 when the records asked for are no longer there).
  std::size_t removed = 0;
  // Screens: the errno of removing the screen's file; 0 when it was removed or there was none.
  // ENOENT (the file was already gone) does not refuse the deletion; any other error does.
  int fileError = 0;
  // The data file that could not be written (the file on disk keeps its previous content); empty
  // when it was saved or nothing was saved.
  std::string_view unsavedFile;
};

// Called once right before a table changes.
using BeforeTableChange = std::function<void()>;

// Removes device `index` (nothing when the table no longer has it) and saves "Device.dat" on
// purpose either way. The device's tags stay, naming a device that is no longer there.
[[nodiscard]] DeleteOutcome DeleteDevice(ProjectState& state, std::size_t index,
                                         const BeforeTableChange& beforeChange = {});

// For the tag at each of `tagIndexes` (indexes past the table are skipped), removes the first tag
// of that tag's name (RemoveTagsByName), then saves "Tag.dat" on purpose. Two selected tags of
// one name remove the first two tags of that name.
[[nodiscard]] DeleteOutcome DeleteTags(ProjectState& state, std::span<const std::size_t> tagIndexes,
                                       const BeforeTableChange& beforeChange = {});

// Deletes the file of screen `index` first: its GBK name converted to UTF-8, a relative name taken
// inside the project folder, an absolute one as it is; a screen without a file name (or whose
// name is not GBK) has none to delete. When that fails, the system's text for the error is shown
// (ShowMessage, a warning), and for another reason than a missing file the deletion is refused
// and the record stays. Otherwise removes the record (when the table still has it) and saves
// "PicManage.dat" on purpose.
[[nodiscard]] DeleteOutcome DeleteScreen(ProjectState& state, std::size_t index,
                                         const BeforeTableChange& beforeChange = {});

// Removes, for each GBK name of `names` in turn, the first tag of that name still in `tags`
// (later tags move up); a name given twice removes its first two tags. One pass over the table
// however many names there are. Returns the number of tags removed.
std::size_t RemoveTagsByName(std::vector<TagRecord>& tags, const std::vector<std::string>& names);

}  // namespace talvek
