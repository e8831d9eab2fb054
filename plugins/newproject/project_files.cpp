#include "plugins/newproject/project_files.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>

#include <utility>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/gbk.h"

namespace almery {
namespace {

CreateFault& Fault() {
  static CreateFault fault;
  return fault;
}

// Empty, or only blanks: ASCII spaces and the full-width space U+3000 of Chinese input methods.
bool IsBlank(std::string_view text) {
  constexpr std::string_view kFullWidthSpace = "\xE3\x80\x80";
  while (!text.empty()) {
    if (text.front() == ' ') {
      text.remove_prefix(1);
    } else if (text.starts_with(kFullWidthSpace)) {
      text.remove_prefix(kFullWidthSpace.size());
    } else {
      return false;
    }
  }
  return true;
}

bool HasControlCharacter(std::string_view text) {
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    if (byte < 0x20 || byte == 0x7F) {
      return true;
    }
  }
  return false;
}

// Creates one empty file; 0 or the errno of the failing call. `made` tells whether the file exists
// because of this call (also when only its close failed). O_EXCL and O_NOFOLLOW: the folder is new,
// so anything already there (or a link planted meanwhile) is not ours to truncate or follow.
int CreateEmptyFile(const std::string& path, std::string_view fileName, bool& made) {
  made = false;
  if (const CreateFault& fault = Fault()) {
    if (const int error = fault(fileName)) {
      return error;
    }
  }
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) {
    return errno;
  }
  made = true;
  return ::close(fd) == 0 ? 0 : errno;
}

}  // namespace

std::string JoinPath(std::string_view folder, std::string_view name) {
  std::string path(folder);
  if (path.empty() || path.back() != '/') {
    path += '/';
  }
  path += name;
  return path;
}

LocationProblem CheckProjectLocation(std::string_view folder, std::string_view name,
                                     std::string& folderGbk, std::string& nameGbk) {
  if (IsBlank(name) || name == "." || name == ".." || name.find('/') != std::string_view::npos ||
      HasControlCharacter(name)) {
    return LocationProblem::kInvalid;
  }
  // A relative folder would depend on the workbench's working folder, which the user never sees.
  if (folder.empty() || folder.front() != '/' || folder.find('\0') != std::string_view::npos) {
    return LocationProblem::kInvalid;
  }
  if (!platform::Utf8ToGbk(name, nameGbk)) {
    return LocationProblem::kNameNotGbk;
  }
  if (!platform::Utf8ToGbk(folder, folderGbk)) {
    return LocationProblem::kFolderNotGbk;
  }
  if (JoinPath(folderGbk, nameGbk).size() + 1 > kBufferSize) {
    return LocationProblem::kInvalid;
  }
  // lstat: a dangling link is an entry too, and creating the folder would fail on it.
  struct stat st;
  if (::lstat(JoinPath(folder, name).c_str(), &st) == 0) {
    return LocationProblem::kExists;
  }
  return LocationProblem::kNone;
}

CreateOutcome CreateProjectFiles(std::string_view folder, std::string_view name) {
  CreateOutcome outcome;
  const std::string projectFolder = JoinPath(folder, name);
  if (::mkdir(projectFolder.c_str(), 0777) != 0) {
    outcome.failed = CreateStep::kFolder;
    outcome.error = errno;
    return outcome;
  }

  const std::pair<CreateStep, std::string> files[] = {
      {CreateStep::kDeviceFile, "Device.dat"},
      {CreateStep::kTagFile, "Tag.dat"},
      {CreateStep::kScreenFile, "PicManage.dat"},
      {CreateStep::kProjectFile, std::string(name) + std::string(kProjectFileExtension)},
  };
  std::vector<std::string> created;
  for (const auto& [step, fileName] : files) {
    const std::string path = JoinPath(projectFolder, fileName);
    bool made = false;
    const int error = CreateEmptyFile(path, fileName, made);
    if (made) {
      created.push_back(path);
    }
    if (error == 0) {
      continue;
    }
    outcome.failed = step;
    outcome.error = error;
    // Undo in reverse order, only what this call made; rmdir never removes a folder someone else
    // has put something into meanwhile.
    for (auto it = created.rbegin(); it != created.rend(); ++it) {
      if (const int error = platform::RemoveFile(*it); error != 0 && error != ENOENT) {
        outcome.leftOver = true;
      }
    }
    if (::rmdir(projectFolder.c_str()) != 0) {
      outcome.leftOver = true;
    }
    return outcome;
  }
  return outcome;
}

void SetCreateFaultForTesting(CreateFault fault) {
  Fault() = std::move(fault);
}

}  // namespace almery
