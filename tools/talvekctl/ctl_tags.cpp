// `tags export` and `tags import`: a project's tag table to and from a CSV file, with the
// workbench's file format, its row checks (the tag editor's rules and the device's driver) and its
// all-or-nothing rule: one refused row and nothing is imported.
#include <cstddef>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <span>
#include <string>

#include "tools/talvekctl/talvekctl.h"
#include "workbench/project/data_files.h"
#include "workbench/project/project_state.h"
#include "workbench/project/tag_csv.h"

namespace talvekctl {
namespace {

using talvek::kMaxTagFileBytes;

// The whole file at `path`, or "-" for standard input. False, with the reason told, when it
// cannot be read or is too large to be a tag list.
bool ReadTagFile(const std::string& path, std::string& bytes) {
  bool tooLarge = false;
  if (path == "-") {
    char chunk[65536];
    std::size_t n = 0;
    while (!tooLarge && (n = std::fread(chunk, 1, sizeof chunk, stdin)) > 0) {
      bytes.append(chunk, n);
      tooLarge = bytes.size() > kMaxTagFileBytes;
    }
  } else {
    std::error_code ec;
    const std::uintmax_t size = std::filesystem::file_size(path, ec);
    std::ifstream in(path, std::ios::binary);
    if (ec || !in) {
      Complain(std::string(Tr("cannot read the file ", "无法读取文件 ")) + path);
      return false;
    }
    tooLarge = size > kMaxTagFileBytes;
    if (!tooLarge) {
      bytes.resize(static_cast<std::size_t>(size));
      in.read(bytes.data(), static_cast<std::streamsize>(size));
      bytes.resize(static_cast<std::size_t>(in.gcount()));
    }
  }
  if (tooLarge) {
    Complain(std::string(Tr("the file is too large to be a tag list: ", "文件太大，不是变量表：")) +
             path);
    return false;
  }
  return true;
}

}  // namespace

int TagsExportCommand(const TagsOptions& options) {
  talvek::ProjectState& state = talvek::Project();
  if (!LoadProject(options.path, state, /*requireDevices=*/false))
    return kExitUsage;
  const std::string bytes = talvek::FormatTagCsv(state.tags);
  if (options.file == "-") {
    if (std::fwrite(bytes.data(), 1, bytes.size(), stdout) != bytes.size() ||
        std::fflush(stdout) != 0) {
      Complain(Tr("cannot write standard output", "无法写标准输出"));
      return kExitFailed;
    }
    return kExitOk;
  }
  if (!talvek::WriteFileAtomically(options.file, std::as_bytes(std::span(bytes)))) {
    Complain(std::string(Tr("cannot write the file ", "无法写文件 ")) + options.file);
    return kExitFailed;
  }
  Complain(std::to_string(state.tags.size()) + Tr(" tags exported to ", " 个变量已导出到 ") +
           options.file);
  return kExitOk;
}

int TagsImportCommand(const TagsOptions& options) {
  talvek::ProjectState& state = talvek::Project();
  if (!LoadProject(options.path, state, /*requireDevices=*/false))
    return kExitUsage;
  std::string bytes;
  if (!ReadTagFile(options.file, bytes))
    return kExitUsage;
  talvek::DriverRegisterCheck drivers;
  const talvek::TagImport import =
      talvek::ReadTagCsv(bytes, talvek::DevicesOf(state.devices), state.tags, drivers);
  if (!import.errors.empty()) {
    for (const talvek::TagRowError& error : import.errors)
      Complain(options.file + ": " + talvek::TagRowErrorText(error));
    Complain(std::to_string(import.errors.size()) +
             Tr(" rows refused; nothing was imported", " 行被拒绝，没有导入任何变量"));
    return kExitUsage;
  }
  const std::size_t same = import.ExistingCount();
  if (same > 0 && !options.existing) {
    Complain(std::to_string(same) +
             Tr(" rows name tags the project has: give --update to overwrite them or --keep to "
                "leave them; nothing was imported",
                " 行的变量名在工程中已存在：请用 --update 覆盖它们，或用 --keep "
                "保留它们；没有导入任何变量"));
    return kExitUsage;
  }
  const talvek::TagMergeCount count = talvek::MergeImportedTags(
      state.tags, import, options.existing.value_or(talvek::ExistingTags::kUpdate));
  if (!talvek::SaveTags(state)) {
    Complain(Tr("Tag.dat could not be saved; the project is as it was",
                "Tag.dat 无法保存，工程保持原样"));
    return kExitFailed;
  }
  Complain(std::string(Tr("tags imported: ", "已导入变量：")) + std::to_string(count.added) +
           Tr(" added, ", " 个新增，") + std::to_string(count.updated) + Tr(" updated", " 个更新"));
  return kExitOk;
}

}  // namespace talvekctl
