// The new project on disk: whether a parent folder and a project name can hold a new project, and
// the creation of the project folder with its project file and empty data files.
//
// Folder and name arrive as UTF-8 (the file system's names); their GBK forms are what the workbench
// gets back, in two 260-byte buffers, so a location is accepted only when both forms exist and fit.
//
//   std::string folderGbk, nameGbk;
//   if (CheckProjectLocation(folder, name, folderGbk, nameGbk) == LocationProblem::kNone) {
//     CreateOutcome outcome = CreateProjectFiles(folder, name);  // folder/name/name.zrprj, ...
//   }
#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace almery {

// Size of each buffer the caller of Show passes, terminating NUL included.
inline constexpr std::size_t kBufferSize = 260;
// Extension of the project file; the workbench lists the new project under this spelling.
inline constexpr std::string_view kProjectFileExtension = ".zrprj";

// Why a folder and name cannot hold a new project.
enum class LocationProblem {
  kNone,          // the project can be created there
  kInvalid,       // empty or malformed name or folder, or too long for the caller's buffers
  kExists,        // an entry of that name is already in the folder
  kFolderNotGbk,  // the folder has a character without a GBK form
  kNameNotGbk,    // the name has a character without a GBK form
};

// folder + "/" + name, without a second "/" when the folder already ends with one (as the
// workbench joins them).
std::string JoinPath(std::string_view folder, std::string_view name);

// Checks a parent folder and a project name (UTF-8). The name must not be empty or blank, ".",
// "..", or hold "/" or control characters; the folder must be absolute. Both need a GBK form, and
// the joined GBK path with its NUL must fit kBufferSize. On kNone, `folderGbk` and `nameGbk` hold
// the GBK forms.
[[nodiscard]] LocationProblem CheckProjectLocation(std::string_view folder, std::string_view name,
                                                   std::string& folderGbk, std::string& nameGbk);

// Which step of the creation failed.
enum class CreateStep { kNone, kFolder, kDeviceFile, kTagFile, kScreenFile, kProjectFile };

// Result of CreateProjectFiles.
struct CreateOutcome {
  CreateStep failed = CreateStep::kNone;  // kNone: the project is complete
  int error = 0;                          // errno of the failing call
  // After a failure: an entry made by this run could not be removed (for instance because
  // someone else put a file into the new folder meanwhile), so the folder is still on disk.
  bool leftOver = false;

  bool ok() const { return failed == CreateStep::kNone; }
};

// Creates the folder folder/name (one level; the parent must exist, an existing entry is never
// reused) and in it the empty files Device.dat, Tag.dat, PicManage.dat and name.zrprj. A failure
// half-way removes what this call created, and only that, so no half-made project stays behind.
CreateOutcome CreateProjectFiles(std::string_view folder, std::string_view name);

// For tests: called before each file is created with its file name; a non-zero result fails that
// file with that errno as if the system had. Null (the default) creates every file for real.
using CreateFault = std::function<int(std::string_view fileName)>;
void SetCreateFaultForTesting(CreateFault fault);

}  // namespace almery
