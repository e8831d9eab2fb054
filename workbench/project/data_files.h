// The project's four data files: load and save of the device, tag, port and screen tables.
//
// Each file is a plain concatenation of the fixed-size records of common/records.h ("Device.dat":
// DeviceRecord, "Tag.dat": TagRecord, "Comm.dat": CommSettings, "PicManage.dat": ScreenRecord),
// without header or count, written exactly as the records lie in memory. A file whose length is
// not a whole number of records is refused as a whole.
//
// Saves are atomic: the bytes go to a temporary file beside the target, which is flushed and then
// renamed over it, so a save that is cut short leaves the previous file as it was.
//
//   ProjectState& project = Project();
//   if (!LoadTags(project)) { /* missing or refused: the tag table is empty */ }
//   MarkPortsInUse(project);
//   if (!SavePorts(project)) { /* Comm.dat kept its previous content */ }
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <optional>
#include <span>
#include <string>
#include <string_view>

#include "common/records.h"
#include "workbench/project/project_state.h"

namespace talvek {

inline constexpr std::string_view kDeviceFileName = "Device.dat";
inline constexpr std::string_view kTagFileName = "Tag.dat";
inline constexpr std::string_view kPortFileName = "Comm.dat";
inline constexpr std::string_view kScreenFileName = "PicManage.dat";

// Shown (UTF-8) when a device, tag or screen file is not a whole number of records.
inline constexpr std::string_view kInvalidDataFileMessage = "文件不是有效的设备文件!";

// Suffix of the copy kept beside a data file that a load refused for its length, so that the next
// save of the (empty) table does not destroy the only copy of the user's records.
inline constexpr std::string_view kRefusedCopySuffix = ".invalid";

// Whether a save was asked for by the user (an edit of the table) or comes by routine (closing the
// project, the port list's rebuild). A routine save leaves a file the project keeps
// (ProjectState::keptFiles) as it is and reports success; a save on purpose writes it and ends
// the keeping.
enum class SaveKind { kOnPurpose, kRoutine };

// The message shown when a load refuses `path` (UTF-8) for its length: kInvalidDataFileMessage,
// the file, and where its copy is, or, when `copyError` is set (an errno value, or -1 for an
// unknown reason), that no copy could be made and the file is kept until the user saves on purpose.
std::string RefusedFileMessage(std::string_view path, std::optional<int> copyError);

// The file-system path (UTF-8) of `fileName` inside the project folder: the GBK folder converted to
// UTF-8, "/", the name. nullopt when no folder is set or the folder is not valid GBK; every load
// and save treats that as a file that cannot be opened.
std::optional<std::string> DataFilePath(const ProjectState& state, std::string_view fileName);

// Every load that refuses a file for its length first copies the file's bytes to
// <file>.invalid beside it, then shows RefusedFileMessage (saying where the copy is, or that none
// could be made). When no copy could be made, the file's bit is set in state.keptFiles, so that
// the emptied table is not saved over it by routine; a load that does not refuse clears the bit.

// A file too large for memory makes a load throw std::bad_alloc (its table is then empty or as
// it was); every caller catches it and tells the user.

// Empties the device table, then fills it from "Device.dat". A missing file leaves the table empty
// silently; a length that is not a multiple of 360 is refused (above) and leaves it empty. True
// when the table came from the file; state.devicesUnread is set exactly when it did not.
[[nodiscard]] bool LoadDevices(ProjectState& state);
// Writes every device as 360 raw bytes in table order. True when the file was written (or, for a
// routine save of a kept file, left alone). A written file ends the keeping and devicesUnread.
[[nodiscard]] bool SaveDevices(ProjectState& state, SaveKind kind = SaveKind::kOnPurpose);

// As LoadDevices, for "Tag.dat" and 276-byte tags (runtime fields included).
[[nodiscard]] bool LoadTags(ProjectState& state);
// Writes every tag, runtime fields included, as 276 raw bytes in table order.
[[nodiscard]] bool SaveTags(ProjectState& state, SaveKind kind = SaveKind::kOnPurpose);

// Empties the port table, then fills it from "Comm.dat". A file of another length than a multiple
// of 56 is refused (above) and gives the two default entries "Com1" and "Com2" (the file is left as
// it is); a file that does not open gives the two defaults and then runs SavePorts, which creates
// it. True when the table came from the file.
[[nodiscard]] bool LoadPorts(ProjectState& state);
// Synchronises the port table with the port-use flags (SynchronisePorts), then writes every entry
// as 56 raw bytes. True when the file was written (or, routine, kept); the synchronisation
// happens either way.
[[nodiscard]] bool SavePorts(ProjectState& state, SaveKind kind = SaveKind::kOnPurpose);

// When "PicManage.dat" opens: empties the screen table and fills it from the file (a length that is
// not a multiple of 128 is refused, above, and leaves the table empty). When the file does not
// open, the table stays as it was. True when the table came from the file.
[[nodiscard]] bool LoadScreens(ProjectState& state);
// Writes every screen as 128 raw bytes in table order.
[[nodiscard]] bool SaveScreens(ProjectState& state, SaveKind kind = SaveKind::kOnPurpose);

// Recomputes the port-use flags from the device table: all cleared, ports 1 and 2 marked in use,
// then the port of every device whose portNumber lies in 1..128; other numbers are ignored.
void MarkPortsInUse(ProjectState& state);

// Brings the port table in line with the port-use flags, for ports 3..128 in rising order: the
// first entry named "Com<n>" is removed when port n is not in use (unless state.devicesUnread: a
// device table that could not be read says nothing about which ports are unused); a port in use
// without an entry gets one with the defaults, appended at the end. Entries are never reordered;
// "Com1", "Com2" and entries of other names are never touched; a second entry of the same name is
// not looked at. Sets bit kPortHasEntry of each flag of ports 3..128 to say whether an entry is
// there afterwards.
void SynchronisePorts(ProjectState& state);

// Copies the device's model (all 64 bytes) into driverModel of every tag whose deviceName equals
// the device's logicalName, then saves "Tag.dat" by routine (also when no tag matched): the user
// edited a device, not the tags, so a kept "Tag.dat" stays. Returns SaveTags' result.
[[nodiscard]] bool RefreshTagsForDevice(ProjectState& state, const DeviceRecord& device);

// Replaces the file at `path` (UTF-8) with `bytes` through platform::WriteFileAtomically:
// temporary file in the same folder, every byte written, flushed to disk, renamed over the
// target, folder flushed. On any failure the temporary file is removed, the target is left as it
// was and the result is false. An existing target that we may not write
// (read-only file) or that is not a regular file is refused; the new file keeps the mode of the
// one it replaces. A symbolic link is followed to the file it names.
[[nodiscard]] bool WriteFileAtomically(const std::string& path, std::span<const std::byte> bytes);

// Test seams of the atomic writer. Not thread-safe: set them only while no save runs.
namespace data_files_testing {

// Signature of write(2); the atomic writer calls it for every chunk.
using WriteFunction = ssize_t (*)(int fd, const void* data, std::size_t size);
// Replaces write(2) in the atomic writer (nullptr restores it), so that tests can inject short
// writes, interruptions and failures; passed on as platform::AtomicWriteOptions::write, so it
// reaches the data files only.
void SetWriteFunction(WriteFunction write);
// Turns the flush to disk (fsync of the file and of the folder) on or off; on by default. Lets the
// benchmark time a save apart from the disk.
void SetSyncToDisk(bool on);
// Makes every load of a file larger than `bytes` throw std::bad_alloc, as the allocator does for a
// file too large for memory (SIZE_MAX restores it), so that tests reach the callers' handling.
// A refused file larger than that is not copied aside.
void SetLoadLimit(std::size_t bytes);

}  // namespace data_files_testing

}  // namespace talvek
