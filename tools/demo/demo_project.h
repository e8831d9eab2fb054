// The demo project: one S7-200 PLC on Com1 at station 2 with a few dozen tags of every raw type
// the PPI driver serves, on the areas V, I, Q and M, and the simulator set-up that moves their
// values (ramps and sines) for the PLC simulator ppisim. Beside it, optionally, a Modbus TCP
// device on Com2 whose server is the peer tools/modbuspeer/modbus_peer.py --moving on 127.0.0.1,
// and an S7-300/400 on Ethernet (Com3) served by ppisim's ISO-on-TCP side.
//
//   CLSID clsid;  CLSIDFromProgID("Ostrel.S7Proto", &clsid);
//   CLSID modbus;  CLSIDFromProgID("ZireviVer.ZireviVerPro", &modbus);
//   std::string error;
//   if (!demo::WriteDemoProject("/home/u/demo", clsid, &error, demo::ModbusDemo{modbus, 15020}))
//     ...
//   // then: ppisim --memory /home/u/demo/demo.mem <the lines of /home/u/demo/ppisim.args>
//   //  and: modbus_peer.py --tcp 15020 --moving
#pragma once

#include <optional>
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

// The Modbus TCP device: its logical name, port entry (Com2, so it gets a driver object of its
// own, apart from the PLC's on Com1), unit id and the server's default TCP port on 127.0.0.1.
inline constexpr std::string_view kModbusDeviceName = "水质监测仪";
inline constexpr std::string_view kModbusModel = "ModbusTCP";
inline constexpr int kModbusPort = 2;
inline constexpr int kModbusUnit = 1;
inline constexpr int kModbusTcpPort = 15020;
// The Modbus driver's ProgID, and the class it registers under (used when it is not registered
// yet, so the project is the same either way).
inline constexpr char kModbusProgId[] = "ZireviVer.ZireviVerPro";
inline constexpr CLSID kModbusDriverClsid = {
    0x6A0C2B7E, 0x3F51, 0x4D8A, {0x9C, 0x1E, 0x5B, 0x2D, 0x7E, 0x4F, 0x8A, 0x10}};

// The Ethernet PLC: an S7-300/400 on ISO-on-TCP served by the same simulator's TCP side (ppisim
// --tcp PORT), its tags in data block 10. Its port entry is Com3, for a driver object of its own.
inline constexpr std::string_view kEthernetDeviceName = "配水站PLC";
inline constexpr std::string_view kEthernetModel = "S7-300/400(TCP)";
inline constexpr int kEthernetPort = 3;
inline constexpr int kEthernetTcpPort = 15102;
inline constexpr int kEthernetDb = 10;
inline constexpr char kS7TcpProgId[] = "Kestavo.S7Tcp";
inline constexpr CLSID kS7TcpDriverClsid = {
    0x32FC4E8C, 0x3085, 0x499E, {0x9D, 0x33, 0x95, 0x73, 0x10, 0x1B, 0x1A, 0x13}};

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

// The demo's PLC tags, in Tag.dat order.
const std::vector<DemoTag>& DemoTags();
// The Ethernet PLC's tags (data block 10), in Tag.dat order after the Modbus device's.
const std::vector<DemoTag>& EthernetDemoTags();

// A tag of the Modbus device. Its values come from the peer's --moving set: holding registers
// 1..4 a ramp 0..99, a sine of +-1000, a seconds counter and 40000 + (seconds % 1000); 5..6 a
// float 25 +- 5 (high word first), 7..8 twice that (low word first); input register 1 counts up
// by 3 a second; coil 1 and discrete input 1 toggle every one and two seconds.
struct ModbusDemoTag {
  const char* name;          // UTF-8
  const char* description;   // UTF-8
  const char* registerText;  // "4X1", "4X7L", "3X1", "0X1", "1X1"
  int32_t rawType;
  int32_t varType;
  double rawMin, rawMax;
  double engMin, engMax;
};

// The Modbus device's tags, in Tag.dat order (after the PLC's).
const std::vector<ModbusDemoTag>& ModbusDemoTags();

// The records as they go into the data files (texts GBK).
DeviceRecord DemoDevice(const CLSID& driverClsid);
TagRecord DemoTagRecord(const DemoTag& tag);
// The Modbus device with station address "127.0.0.1:<tcpPort>#1".
DeviceRecord ModbusDemoDevice(const CLSID& driverClsid, int tcpPort);
TagRecord ModbusDemoTagRecord(const ModbusDemoTag& tag);

// The Ethernet PLC with station address "127.0.0.1:<tcpPort>,0,2", and a tag of it.
DeviceRecord EthernetDemoDevice(const CLSID& driverClsid, int tcpPort);
TagRecord EthernetDemoTagRecord(const DemoTag& tag);

// ppisim's options for the demo's moving values, one per element ("--ramp", "V106:i:0:27648:1200",
// ...), data block 10 ("--db", "10:256") included, without --memory, --link, --baud and --tcp.
std::vector<std::string> SimulatorArguments();
// The memory file with the start values of the fixed tags (GBK for the strings).
std::string SimulatorMemoryFile();

// Writes ppisim.args and demo.mem into the existing `folder`. False with `error` on failure.
[[nodiscard]] bool WriteSimulatorFiles(const std::string& folder, std::string* error);

// What the Modbus device of the demo needs: its driver's class and the server's TCP port.
struct ModbusDemo {
  CLSID driverClsid = kModbusDriverClsid;
  int tcpPort = kModbusTcpPort;
};

// What the Ethernet PLC of the demo needs: its driver's class and the simulator's TCP port.
struct EthernetDemo {
  CLSID driverClsid = kS7TcpDriverClsid;
  int tcpPort = kEthernetTcpPort;
};

// Writes Device.dat, Tag.dat, Comm.dat, PicManage.dat, the empty project file, ppisim.args and
// demo.mem into `folder` (UTF-8 path, created when missing). With `modbus` the Modbus device and
// its tags follow the PLC's, and with `ethernet` the Ethernet PLC and its tags follow those. False
// with `error` on any failure (a TCP port outside 1..65535 too).
[[nodiscard]] bool WriteDemoProject(const std::string& folder, const CLSID& driverClsid,
                                    std::string* error,
                                    const std::optional<ModbusDemo>& modbus = std::nullopt,
                                    const std::optional<EthernetDemo>& ethernet = std::nullopt);

}  // namespace demo
