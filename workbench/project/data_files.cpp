#include "workbench/project/data_files.h"

#include <errno.h>
#include <fcntl.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <new>
#include <vector>

#include "platform/atomic_file.h"
#include "platform/gbk.h"
#include "platform/unique_fd.h"
#include "workbench/project/message_sink.h"
#include "workbench/project/new_records.h"

namespace talvek {
namespace {

// --- Test seams -------------------------------------------------------------------------------

std::atomic<data_files_testing::WriteFunction> g_write{nullptr};  // null: write(2)
std::atomic<bool> g_syncToDisk{true};
std::atomic<std::size_t> g_loadLimit{SIZE_MAX};

using platform::UniqueFd;

// --- Writing ----------------------------------------------------------------------------------

// The process's file-creation mask, read without changing it (umask(2) can only set it, which
// would race with other threads creating files).
mode_t CurrentUmask() {
  mode_t mask = 022;
  if (FILE* f = std::fopen("/proc/self/status", "re")) {
    char line[256];
    while (std::fgets(line, sizeof line, f) != nullptr) {
      unsigned value = 0;
      if (std::sscanf(line, "Umask: %o", &value) == 1) {
        mask = static_cast<mode_t>(value);
        break;
      }
    }
    std::fclose(f);
  }
  return mask;
}

template <typename Record>
std::span<const std::byte> BytesOf(std::span<const Record> records) {
  return std::as_bytes(records);
}

// Writes `records` to `fileName` unless it is a routine save of a file the project keeps (see
// ProjectState::keptFiles); a written file is no longer kept.
template <typename Record>
bool SaveRecords(ProjectState& state, std::string_view fileName, uint8_t keepBit, SaveKind kind,
                 std::span<const Record> records) {
  if (kind == SaveKind::kRoutine && (state.keptFiles & keepBit) != 0)
    return true;  // the file holds the user's records, which the table does not
  std::optional<std::string> path = DataFilePath(state, fileName);
  if (!path)
    return false;
  if (!WriteFileAtomically(*path, BytesOf(records)))
    return false;
  state.keptFiles &= static_cast<uint8_t>(~keepBit);
  return true;
}

// --- Reading ----------------------------------------------------------------------------------

// Reads up to `size` bytes, stopping early only at the end of the file. False on a read error.
bool ReadUpTo(int fd, std::byte* dst, std::size_t size, std::size_t& got) {
  got = 0;
  while (got < size) {
    ssize_t n = ::read(fd, dst + got, size - got);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return false;
    }
    if (n == 0)
      break;
    got += static_cast<std::size_t>(n);
  }
  return true;
}

// The table types, behind one small set of operations.
template <typename Record>
void ClearTable(std::vector<Record>& table) {
  table.clear();
}
void ClearTable(DeviceArray& table) {
  table.RemoveAll();
}

template <typename Record>
std::byte* ResizeTable(std::vector<Record>& table, std::size_t count) {
  table.resize(count);
  return reinterpret_cast<std::byte*>(table.data());
}
std::byte* ResizeTable(DeviceArray& table, std::size_t count) {
  table.SetSize(count);
  return reinterpret_cast<std::byte*>(table.begin());
}

// Copies the bytes of a refused data file beside it (name + kRefusedCopySuffix): the table is now
// empty, and its next save would otherwise replace the user's only copy of the records. nullopt
// when the copy was made; else the errno of the failure (-1 when none was left).
std::optional<int> KeepRefusedCopy(int fd, const std::string& path, std::size_t size) {
  std::vector<std::byte> bytes;
  try {
    if (size > g_loadLimit.load())
      throw std::bad_alloc();
    bytes.resize(size);
  } catch (const std::bad_alloc&) {
    return ENOMEM;  // too large to copy: the file is kept as it is
  }
  std::size_t got = 0;
  errno = 0;
  if (::lseek(fd, 0, SEEK_SET) != 0 || !ReadUpTo(fd, bytes.data(), size, got))
    return errno != 0 ? errno : -1;
  bytes.resize(got);
  errno = 0;
  if (!WriteFileAtomically(path + std::string(kRefusedCopySuffix), bytes))
    return errno != 0 ? errno : -1;
  return std::nullopt;
}

enum class LoadOutcome {
  kNotOpened,    // missing, unreadable or not a regular file; the table was not touched
  kRefused,      // not a whole number of records; the table is empty, the file copied aside
  kRefusedKept,  // as kRefused, but no copy could be made: the file must not be saved over
  kReadError,    // opened but reading failed; the table is empty
  kLoaded,
};

// Opens `fileName` of the project; once it has opened, empties `table` and fills it with the
// file's records. At most the size seen when the file opened is read, so a file that grows
// meanwhile gives a consistent prefix; a file that shrinks is judged by the bytes actually read,
// so no half record ever lands in the table.
template <typename Table>
LoadOutcome LoadTable(const ProjectState& state, std::string_view fileName, std::size_t recordSize,
                      Table& table) {
  std::optional<std::string> path = DataFilePath(state, fileName);
  if (!path)
    return LoadOutcome::kNotOpened;
  // O_NONBLOCK: a FIFO in the file's place must not hang the open; regular files ignore it.
  UniqueFd fd(::open(path->c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK));
  if (!fd)
    return LoadOutcome::kNotOpened;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
    return LoadOutcome::kNotOpened;

  ClearTable(table);
  const std::size_t size = static_cast<std::size_t>(st.st_size);
  std::size_t got = 0;
  if (size % recordSize == 0) {
    if (size > g_loadLimit.load())
      throw std::bad_alloc();  // as the allocator would for a file too large for memory
    std::byte* dst = ResizeTable(table, size / recordSize);
    if (!ReadUpTo(fd.get(), dst, size, got)) {
      ClearTable(table);
      return LoadOutcome::kReadError;
    }
    if (got % recordSize == 0) {
      if (got < size)
        ResizeTable(table, got / recordSize);
      return LoadOutcome::kLoaded;
    }
    ClearTable(table);
  }
  const std::optional<int> copyError = KeepRefusedCopy(fd.get(), *path, size);
  ShowMessage(RefusedFileMessage(*path, copyError));
  return copyError ? LoadOutcome::kRefusedKept : LoadOutcome::kRefused;
}

// Records in `state.keptFiles` whether the load left a file that must not be saved over.
LoadOutcome NoteKept(ProjectState& state, uint8_t keepBit, LoadOutcome outcome) {
  if (outcome == LoadOutcome::kRefusedKept)
    state.keptFiles |= keepBit;
  else
    state.keptFiles &= static_cast<uint8_t>(~keepBit);
  return outcome;
}

bool PortNameIs(const CommSettings& port, std::string_view name) {
  return platform::ArrayText(port.portName) == name;
}

}  // namespace

// --- Paths and messages -----------------------------------------------------------------------

std::string RefusedFileMessage(std::string_view path, std::optional<int> copyError) {
  std::string text(kInvalidDataFileMessage);
  text += "\n";
  text += path;
  const std::string copy = std::string(path) + std::string(kRefusedCopySuffix);
  if (!copyError) {
    text += "\n\n原文件的内容已另存为：\n" + copy;
    return text;
  }
  text += "\n\n无法另存原文件的副本 " + copy;
  if (*copyError > 0)
    text += "（" + std::string(std::strerror(*copyError)) + "）";
  text += "。\n为免丢失数据，在您修改并保存这部分数据之前，工程不会覆盖这个文件。";
  return text;
}

std::optional<std::string> DataFilePath(const ProjectState& state, std::string_view fileName) {
  std::string_view folder = platform::ArrayText(state.folder);
  if (folder.empty())
    return std::nullopt;  // "" + "/" would name the root folder
  std::string path;
  if (!platform::GbkToUtf8(folder, path))
    return std::nullopt;
  if (path.back() != '/')
    path += '/';
  path += fileName;
  return path;
}

// --- Tables -----------------------------------------------------------------------------------

bool LoadDevices(ProjectState& state) {
  state.devices.RemoveAll();
  const LoadOutcome outcome =
      NoteKept(state, kKeepDeviceFile,
               LoadTable(state, kDeviceFileName, sizeof(DeviceRecord), state.devices));
  state.devicesUnread = outcome != LoadOutcome::kLoaded;
  return !state.devicesUnread;
}

bool SaveDevices(ProjectState& state, SaveKind kind) {
  // Nothing was read and nothing added: a routine save would only turn a missing or refused file
  // into an empty one, after which the ports of the lost devices would be dropped as unused.
  if (kind == SaveKind::kRoutine && state.devicesUnread && state.devices.IsEmpty())
    return true;
  if (!SaveRecords(state, kDeviceFileName, kKeepDeviceFile, kind,
                   std::span<const DeviceRecord>(state.devices.span())))
    return false;
  if ((state.keptFiles & kKeepDeviceFile) == 0)
    state.devicesUnread = false;  // written: the file is the table now
  return true;
}

bool LoadTags(ProjectState& state) {
  state.tags.clear();
  return NoteKept(state, kKeepTagFile,
                  LoadTable(state, kTagFileName, sizeof(TagRecord), state.tags)) ==
         LoadOutcome::kLoaded;
}

bool SaveTags(ProjectState& state, SaveKind kind) {
  return SaveRecords(state, kTagFileName, kKeepTagFile, kind,
                     std::span<const TagRecord>(state.tags));
}

bool LoadPorts(ProjectState& state) {
  state.ports.clear();
  LoadOutcome outcome = NoteKept(
      state, kKeepPortFile, LoadTable(state, kPortFileName, sizeof(CommSettings), state.ports));
  if (outcome == LoadOutcome::kLoaded)
    return true;
  state.ports.clear();
  state.ports.push_back(DefaultPortEntry(1));
  state.ports.push_back(DefaultPortEntry(2));
  if (outcome == LoadOutcome::kNotOpened)
    static_cast<void>(SavePorts(state, SaveKind::kRoutine));
  return false;
}

bool SavePorts(ProjectState& state, SaveKind kind) {
  SynchronisePorts(state);
  return SaveRecords(state, kPortFileName, kKeepPortFile, kind,
                     std::span<const CommSettings>(state.ports));
}

bool LoadScreens(ProjectState& state) {
  return NoteKept(state, kKeepScreenFile,
                  LoadTable(state, kScreenFileName, sizeof(ScreenRecord), state.screens)) ==
         LoadOutcome::kLoaded;
}

bool SaveScreens(ProjectState& state, SaveKind kind) {
  return SaveRecords(state, kScreenFileName, kKeepScreenFile, kind,
                     std::span<const ScreenRecord>(state.screens));
}

// --- Ports ------------------------------------------------------------------------------------

void MarkPortsInUse(ProjectState& state) {
  state.portFlags.fill(0);
  state.portFlags[0] = kPortInUse;
  state.portFlags[1] = kPortInUse;
  for (const DeviceRecord& device : state.devices) {
    if (device.portNumber >= 1 && device.portNumber <= kPortFlagCount) {
      state.portFlags[device.portNumber - 1] |= kPortInUse;
    }
  }
}

void SynchronisePorts(ProjectState& state) {
  for (int k = 2; k < kPortFlagCount; ++k) {
    uint8_t& flag = state.portFlags[k];
    // "Has an entry" describes the table as it is now. Left over from an earlier save, the bit
    // would stop an in-use port from getting its entry back after the table was reloaded.
    flag &= static_cast<uint8_t>(~kPortHasEntry);
    char name[sizeof(CommSettings::portName)];
    std::snprintf(name, sizeof name, "Com%d", k + 1);
    auto found = std::find_if(state.ports.begin(), state.ports.end(),
                              [&](const CommSettings& port) { return PortNameIs(port, name); });
    if (found != state.ports.end()) {
      if ((flag & kPortInUse) == 0 && !state.devicesUnread) {
        state.ports.erase(found);  // later entries move down; the order stays
      } else {
        flag |= kPortHasEntry;
      }
    } else if ((flag & kPortInUse) != 0) {
      state.ports.push_back(DefaultPortEntry(k + 1));
      flag |= kPortHasEntry;
    }
  }
}

// --- Tags of a device -------------------------------------------------------------------------

bool RefreshTagsForDevice(ProjectState& state, const DeviceRecord& device) {
  static_assert(sizeof(TagRecord::driverModel) == sizeof(DriverDescriptor::model));
  const std::string_view deviceName = platform::ArrayText(device.logicalName);
  for (TagRecord& tag : state.tags) {
    if (platform::ArrayText(tag.deviceName) == deviceName) {
      std::memcpy(tag.driverModel, device.descriptor.model, sizeof tag.driverModel);
    }
  }
  return SaveTags(state, SaveKind::kRoutine);
}

// --- Atomic replacement -----------------------------------------------------------------------

bool WriteFileAtomically(const std::string& path, std::span<const std::byte> bytes) {
  std::string target = path;
  struct stat st;
  if (::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode)) {
    // Replace the file the link names, not the link.
    if (char* real = ::realpath(path.c_str(), nullptr)) {
      target = real;
      ::free(real);
    }
  }

  mode_t mode = 0;
  if (::stat(target.c_str(), &st) == 0) {
    if (!S_ISREG(st.st_mode))
      return false;
    // Renaming needs only the folder's permission; keep refusing files the user made read-only,
    // as truncating them in place would.
    if (::faccessat(AT_FDCWD, target.c_str(), W_OK, AT_EACCESS) != 0)
      return false;
    mode = st.st_mode & 07777;
  } else if (errno == ENOENT) {
    mode = 0666 & ~CurrentUmask();
  } else {
    return false;
  }

  platform::AtomicWriteOptions options;
  options.mode = mode;
  options.syncToDisk = g_syncToDisk.load();
  options.write = g_write.load();
  return platform::WriteFileAtomically(target, bytes, options) == 0;
}

namespace data_files_testing {

void SetWriteFunction(WriteFunction write) {
  g_write.store(write);
}

void SetSyncToDisk(bool on) {
  g_syncToDisk.store(on);
}

void SetLoadLimit(std::size_t bytes) {
  g_loadLimit.store(bytes);
}

}  // namespace data_files_testing

}  // namespace talvek
