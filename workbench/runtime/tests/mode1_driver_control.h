// The answers of the test driver module (libMode1TestDriver.so) and what it saw.
//
// The module serves one class, CLSID kMode1DriverClsid, that implements IProtocolDriver only, so
// the host polls it through ExecuteGroup (mode 1). Its areas are "V" (0..65535), "VB" (0..65535)
// and "M" (0..9999), all types allowed. A station text with a non-digit is refused. A tag address
// is accepted unless it contains "BAD"; the number after the area name is the byte address and
// the number after '.' the bit number or length. A read stores readBase + byteAddress into each
// item's value (offset 12).
//
// Tests reach the module's single control block through the exported function below, after
// loading the module the way COM does (same path, same handle).
#pragma once

#include <atomic>
#include <mutex>
#include <string>

#include "common/driver_contract.h"

// {6B1D2F0E-3C4A-4E5B-9A77-0D1E2F3A4B5C}
inline constexpr CLSID kMode1DriverClsid = {
    0x6B1D2F0E, 0x3C4A, 0x4E5B, {0x9A, 0x77, 0x0D, 0x1E, 0x2F, 0x3A, 0x4B, 0x5C}};
inline constexpr const char* kMode1DriverProgId = "Mode1TestDriver.Driver";

// Which area table GetRegisters hands out.
enum Mode1Table : int {
  kTableNormal = 0,     // V, VB, M
  kTableNull = 1,       // answers 1 with a null table and count 3
  kTableEmptyName = 2,  // "", V, VB, M: an unnamed first area
  kTableFails = 3,      // answers 0
};

// How CanMergeItem answers.
enum Mode1Merge : int {
  kMergeNever = 0,     // refuses everything
  kMergeAlways = 1,    // accepts everything, writes included (a careless driver)
  kMergeSameArea = 2,  // accepts reads of the same area and station, span unlimited
};

struct Mode1DriverControl {
  // Answers.
  std::atomic<int> table{kTableNormal};
  std::atomic<int> merge{kMergeSameArea};
  std::atomic<int> executeResult{1};
  std::atomic<int32_t> readBase{0};
  std::atomic<int> parseResult{1};
  std::atomic<int> openResult{1};
  std::atomic<int> executeDelayMs{0};  // a slow line

  // What happened.
  std::atomic<int> objects{0};  // live driver objects
  std::atomic<int> created{0};
  std::atomic<int> convertCalls{0};
  std::atomic<int> mergeCalls{0};
  std::atomic<int> mergeWriteOffers{0};  // CanMergeItem calls with writeFlag 1
  std::atomic<int> readCalls{0};
  std::atomic<int> writeCalls{0};
  std::atomic<int> openCalls{0};
  std::atomic<int> closeCalls{0};
  std::atomic<int> initLinkCalls{0};

  std::mutex mutex;        // guards what follows
  std::string events;      // 'W' per write group executed, 'R' per read group
  std::string lastWrites;  // "tag=value;" per write executed
  TagAddressInput lastInput{};
  DriverItem lastItemIn{};  // the item as the host handed it to ConvertUserConfigToVar
  StationInfo lastStationCopy{};
  std::string lastRegisterText;
  char lastParseText[80] = {};
};

// Sets every answer back to its default and every record to empty (objects stays as it is).
inline void ResetMode1Control(Mode1DriverControl& c) {
  c.table = kTableNormal;
  c.merge = kMergeSameArea;
  c.executeResult = 1;
  c.readBase = 0;
  c.parseResult = 1;
  c.openResult = 1;
  c.executeDelayMs = 0;
  c.created = 0;
  c.convertCalls = 0;
  c.mergeCalls = 0;
  c.mergeWriteOffers = 0;
  c.readCalls = 0;
  c.writeCalls = 0;
  c.openCalls = 0;
  c.closeCalls = 0;
  c.initLinkCalls = 0;
  std::lock_guard lock(c.mutex);
  c.events.clear();
  c.lastWrites.clear();
  c.lastInput = {};
  c.lastItemIn = {};
  c.lastStationCopy = {};
  c.lastRegisterText.clear();
  c.lastParseText[0] = '\0';
}

// Exported by the module.
using Mode1ControlFn = Mode1DriverControl* (*)();
inline constexpr const char* kMode1ControlSymbol = "Mode1TestDriverControl";
