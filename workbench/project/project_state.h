// The open project's process-wide state: its folder, its four tables and the port-use flags.
//
// There is exactly one open project at a time and every part of the workbench reaches these
// tables directly through Project(). Functions that work on a project take a ProjectState& so
// that tests can use a state of their own.
#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "common/records.h"
#include "workbench/project/device_array.h"

namespace talvek {

// The largest project folder, in bytes of GBK with its terminating NUL.
inline constexpr std::size_t kMaxProjectFolder = 260;
// Number of serial ports the port-use flags cover: entry k stands for port k+1 ("Com%d").
inline constexpr int kPortFlagCount = 128;
// Bits of a port-use flag.
inline constexpr uint8_t kPortInUse = 0x01;
inline constexpr uint8_t kPortHasEntry = 0x80;

struct ProjectState {
  char folder[kMaxProjectFolder] = {};  // GBK; empty = no project open
  DeviceArray devices;
  std::vector<TagRecord> tags;  // a tag's position is its tag index
  std::vector<CommSettings> ports;
  std::vector<ScreenRecord> screens;
  std::array<uint8_t, kPortFlagCount> portFlags = {};

  bool IsOpen() const { return folder[0] != '\0'; }
  // Empties the four tables (the folder and the flags stay).
  void ClearTables();
};

// The process-wide project.
ProjectState& Project();

}  // namespace talvek
