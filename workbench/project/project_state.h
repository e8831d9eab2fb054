// The open project's process-wide state: its folder, its four tables and the port-use flags.
//
// There is exactly one open project at a time and every part of the workbench reaches these
// tables directly through Project(). Functions that work on a project take a ProjectState& so
// that tests can use a state of their own.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "common/device_array.h"
#include "common/records.h"

namespace talvek {

// The largest project folder, in bytes of GBK with its terminating NUL.
inline constexpr std::size_t kMaxProjectFolder = 260;
// Number of serial ports the port-use flags cover: entry k stands for port k+1 ("Com%d").
inline constexpr int kPortFlagCount = 128;
// Bits of a port-use flag.
inline constexpr uint8_t kPortInUse = 0x01;
inline constexpr uint8_t kPortHasEntry = 0x80;

// Bits of ProjectState::keptFiles, one per data file.
inline constexpr uint8_t kKeepDeviceFile = 0x01;
inline constexpr uint8_t kKeepTagFile = 0x02;
inline constexpr uint8_t kKeepPortFile = 0x04;
inline constexpr uint8_t kKeepScreenFile = 0x08;

struct ProjectState {
  char folder[kMaxProjectFolder] = {};  // GBK; empty = no project open
  DeviceArray devices;
  std::vector<TagRecord> tags;  // a tag's position is its tag index
  std::vector<CommSettings> ports;
  std::vector<ScreenRecord> screens;
  std::array<uint8_t, kPortFlagCount> portFlags = {};
  // Data files that hold records their table does not: the last load refused the file and no
  // copy of it could be made. Routine saves (closing the project, the port list's rebuild) leave
  // such a file as it is; a save the user asked for by editing the table replaces it.
  uint8_t keptFiles = 0;
  // "Device.dat" could not be read at its last load (missing, refused or unreadable), so the
  // device table does not say which ports are in use: port synchronisation then removes no entry.
  bool devicesUnread = false;

  bool IsOpen() const { return folder[0] != '\0'; }
  // Empties the four tables (the folder, the flags and the load outcomes stay).
  void ClearTables();
};

// The process-wide project.
ProjectState& Project();

}  // namespace talvek
