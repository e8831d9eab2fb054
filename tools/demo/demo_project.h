// The demo project: one S7-200 PLC on Com1 at station 2 with a few dozen tags of every raw type
// the PPI driver serves, on the areas V, I, Q and M, and the simulator set-up that moves their
// values (ramps and sines) for the PLC simulator ppisim.
//
//   CLSID clsid;  CLSIDFromProgID("Ostrel.S7Proto", &clsid);
//   std::string error;
//   if (!demo::WriteDemoProject("/home/u/demo", clsid, &error)) { ... }
//   // then: ppisim --memory /home/u/demo/demo.mem <the lines of /home/u/demo/ppisim.args>
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/records.h"

namespace demo {

// File names inside the demo folder.
inline constexpr std::string_view kProjectFileName = "演示工程.ZRPrj";
inline constexpr std::string_view kSimulatorArgsFile = "ppisim.args";
inline constexpr std::string_view kSimulatorMemoryFile = "demo.mem";
// The device's logical name, model and station.
inline constexpr std::string_view kDeviceName = "泵站PLC";
inline constexpr int kStation = 2;
inline constexpr int kPort = 1;

// How the simulator drives a tag's PLC memory.
enum class Motion {
  kFixed,  // a start value in the memory file
  kRamp,   // --ramp LOCATION:TYPE:FROM:TO:STEP
  kSine,   // --sine LOCATION:TYPE:AMPLITUDE:OFFSET:PERIOD
};

struct DemoTag {
  const char* name;         // UTF-8
  const char* description;  // UTF-8
  const char* registerText;
  int32_t rawType;
  int32_t varType;
  double rawMin, rawMax;  // raw range, in the raw type's unit
  double engMin, engMax;  // engineering range (integer or float tag)
  Motion motion;
  const char* location;    // ppisim location (no string length)
  char simType;            // ppisim value type: x b w i d f s
  const char* simulation;  // FROM:TO:STEP, AMPLITUDE:OFFSET:PERIOD or the fixed value (UTF-8)
};

// The demo's tags, in Tag.dat order.
const std::vector<DemoTag>& DemoTags();

// The records as they go into the data files (texts GBK).
DeviceRecord DemoDevice(const CLSID& driverClsid);
TagRecord DemoTagRecord(const DemoTag& tag);

// ppisim's options for the demo's moving values, one per element ("--ramp", "V106:i:0:27648:1200",
// ...), without --memory, --link and --baud.
std::vector<std::string> SimulatorArguments();
// The memory file with the start values of the fixed tags (GBK for the strings).
std::string SimulatorMemoryFile();

// Writes ppisim.args and demo.mem into the existing `folder`. False with `error` on failure.
[[nodiscard]] bool WriteSimulatorFiles(const std::string& folder, std::string* error);

// Writes Device.dat, Tag.dat, Comm.dat, PicManage.dat, the empty project file, ppisim.args and
// demo.mem into `folder` (UTF-8 path, created when missing). False with `error` on any failure.
[[nodiscard]] bool WriteDemoProject(const std::string& folder, const CLSID& driverClsid,
                                    std::string* error);

}  // namespace demo
