// The fixed-size records of a project's data files, shared by the workbench and every plug-in.
//
// Each data file ("Device.dat", "Tag.dat", "Comm.dat", "PicManage.dat") is a plain concatenation of
// one of these records: no header, no count. The layouts are byte-exact contracts (little-endian
// integers, IEEE single floats, GBK texts in NUL-terminated arrays) and are checked below at
// compile time. Fields whose meaning depends on a type code (a tag's value, limits and raw value)
// are stored as 32-bit words; read and write them through the typed helpers at the end.
#pragma once

#include <bit>
#include <cstddef>
#include <cstdint>
#include <cstring>

#include "platform/win_types.h"

static_assert(std::endian::native == std::endian::little, "records are little-endian");

// Link kinds of a driver descriptor and of a port entry.
inline constexpr uint16_t kLinkSerial = 1;
inline constexpr uint16_t kLinkTcpIp = 2;

// Which protocol driver serves a device; the head of every DeviceRecord.
struct DriverDescriptor {
  char manufacturer[64];  // e.g. "西门子"
  char model[64];         // "ZireviVER", "ModbusTCP", "ModbusASCII" or "S7-200(PPI)"
  char commKind[64];      // "串口", "TCP/IP", "Ascii" or "PPI"
  GUID driverClsid;       // COM class of the protocol driver
  uint16_t linkKind;      // kLinkSerial or kLinkTcpIp
  uint16_t pad210;
};

// The driver's parsed form of a station address, kept as the parser returned it.
struct StationInfo {
  int32_t stationNumber;
  char addressText[64];
};

// One logical device (a station on a line). Element of "Device.dat".
struct DeviceRecord {
  DriverDescriptor descriptor;
  char logicalName[64];  // unique, chosen by the user; tags refer to their device by it
  StationInfo station;
  int32_t portNumber;  // n of "Com%d"; devices on one port share one driver at run time
  int32_t retryIntervalSec;
  int32_t dynamicOptimization;
  int32_t recoveryLimitHours;
};

// Tag (engineering) types.
enum VarType : int32_t {
  kVarDiscrete = 0,
  kVarInteger = 1,
  kVarFloat = 2,
  kVarString = 3,
};

// Raw (device) data types; the driver sees 1 << rawType (see DataTypeFlagOf).
enum RawType : int32_t {
  kRawBit = 0,
  kRawByte = 1,
  kRawInt16 = 2,
  kRawUInt16 = 3,
  kRawBcd16 = 4,
  kRawInt32 = 5,
  kRawBcd32 = 6,
  kRawFloat = 7,
  kRawString = 8,
};
inline constexpr int kRawTypeCount = 9;

// Bit of TagRecord::flags that marks a tag read from a device (clear = internal memory tag).
inline constexpr uint32_t kTagExternal = 4;

// One tag: its configuration and, in the same record, its live runtime fields.
// Element of "Tag.dat" and of the runtime tag table.
struct TagRecord {
  char name[32];
  char description[40];
  int32_t varType;       // VarType
  int32_t value;         // runtime: int32 (types 0, 1), float bits (2), atom in low 16 bits (3)
  int32_t initialValue;  // int32 or float bits, by varType
  int32_t engMin;        // int32 or float bits, by varType
  int32_t engMax;        // int32 or float bits, by varType
  int32_t reserved92;
  int32_t deadband;  // int32 or float bits, by varType
  uint16_t quality;  // runtime: OPC quality code, 192 = good
  uint16_t pad102;
  FILETIME updateTime;  // runtime: UTC time of the last update
  uint32_t flags;       // kTagExternal; other bits are preserved
  char driverModel[64];
  char deviceName[32];
  char registerText[32];  // area name + decimal number, e.g. "V100"
  uint16_t registerIndex;
  uint16_t pad246;
  int32_t scanPeriodMs;
  int32_t pad252;
  int32_t rawType;   // RawType
  int32_t rawMax;    // width by rawType (see RawWordToDouble)
  int32_t rawMin;    // width by rawType
  int32_t rawValue;  // runtime: width by rawType; atom in low 16 bits for strings
  int32_t pad272;
};

// One serial port's settings. Element of "Comm.dat".
struct CommSettings {
  uint16_t reserved0;  // always 1
  uint16_t linkKind;   // always kLinkSerial
  char portName[32];   // "Com%d"; the key of the record
  int32_t baudRate;
  uint16_t dataBits;
  uint16_t stopBits;
  uint16_t parity;  // 0 none, 1 odd, 2 even, 3 mark, 4 space
  uint16_t timeoutMs;
  uint16_t reserved48;  // always 3
  uint16_t reserved50;  // always 10000
  uint16_t reserved52;  // always 1
  uint16_t pad54;
};

// One screen of the screen editor. Element of "PicManage.dat".
struct ScreenRecord {
  char screenName[64];
  char fileName[64];
};

// --- Layout checks: the byte format of the data files and of the plug-in calls. ---
static_assert(sizeof(DriverDescriptor) == 212);
static_assert(offsetof(DriverDescriptor, model) == 64);
static_assert(offsetof(DriverDescriptor, commKind) == 128);
static_assert(offsetof(DriverDescriptor, driverClsid) == 192);
static_assert(offsetof(DriverDescriptor, linkKind) == 208);

static_assert(sizeof(StationInfo) == 68);
static_assert(offsetof(StationInfo, addressText) == 4);

static_assert(sizeof(DeviceRecord) == 360);
static_assert(offsetof(DeviceRecord, logicalName) == 212);
static_assert(offsetof(DeviceRecord, station) == 276);
static_assert(offsetof(DeviceRecord, station.addressText) == 280);
static_assert(offsetof(DeviceRecord, portNumber) == 344);
static_assert(offsetof(DeviceRecord, retryIntervalSec) == 348);
static_assert(offsetof(DeviceRecord, dynamicOptimization) == 352);
static_assert(offsetof(DeviceRecord, recoveryLimitHours) == 356);

static_assert(sizeof(TagRecord) == 276);
static_assert(offsetof(TagRecord, description) == 32);
static_assert(offsetof(TagRecord, varType) == 72);
static_assert(offsetof(TagRecord, value) == 76);
static_assert(offsetof(TagRecord, initialValue) == 80);
static_assert(offsetof(TagRecord, engMin) == 84);
static_assert(offsetof(TagRecord, engMax) == 88);
static_assert(offsetof(TagRecord, reserved92) == 92);
static_assert(offsetof(TagRecord, deadband) == 96);
static_assert(offsetof(TagRecord, quality) == 100);
static_assert(offsetof(TagRecord, updateTime) == 104);
static_assert(offsetof(TagRecord, flags) == 112);
static_assert(offsetof(TagRecord, driverModel) == 116);
static_assert(offsetof(TagRecord, deviceName) == 180);
static_assert(offsetof(TagRecord, registerText) == 212);
static_assert(offsetof(TagRecord, registerIndex) == 244);
static_assert(offsetof(TagRecord, scanPeriodMs) == 248);
static_assert(offsetof(TagRecord, rawType) == 256);
static_assert(offsetof(TagRecord, rawMax) == 260);
static_assert(offsetof(TagRecord, rawMin) == 264);
static_assert(offsetof(TagRecord, rawValue) == 268);

static_assert(sizeof(CommSettings) == 56);
static_assert(offsetof(CommSettings, linkKind) == 2);
static_assert(offsetof(CommSettings, portName) == 4);
static_assert(offsetof(CommSettings, baudRate) == 36);
static_assert(offsetof(CommSettings, dataBits) == 40);
static_assert(offsetof(CommSettings, stopBits) == 42);
static_assert(offsetof(CommSettings, parity) == 44);
static_assert(offsetof(CommSettings, timeoutMs) == 46);
static_assert(offsetof(CommSettings, reserved48) == 48);
static_assert(offsetof(CommSettings, reserved50) == 50);
static_assert(offsetof(CommSettings, reserved52) == 52);

static_assert(sizeof(ScreenRecord) == 128);
static_assert(offsetof(ScreenRecord, fileName) == 64);

// --- Typed access to the 32-bit words whose meaning depends on a type code. ---

inline float WordToFloat(int32_t word) { return std::bit_cast<float>(word); }
inline int32_t FloatToWord(float f) { return std::bit_cast<int32_t>(f); }

// The one-bit code under which a raw type travels to drivers (1 << rawType); 0 for an invalid type.
constexpr uint16_t DataTypeFlagOf(int32_t rawType) {
  return (rawType >= 0 && rawType < kRawTypeCount) ? static_cast<uint16_t>(1u << rawType) : 0;
}

// A raw word (rawMin, rawMax, rawValue) read in the width of `rawType`: unsigned 8-bit for byte,
// signed 16-bit for int16, unsigned 16-bit for uint16 and BCD16 (BCD is not decoded), unsigned
// 32-bit for BCD32, float for float, signed 32-bit for bit, int32 and anything else.
inline double RawWordToDouble(int32_t word, int32_t rawType) {
  switch (rawType) {
    case kRawByte:
      return static_cast<uint8_t>(word);
    case kRawInt16:
      return static_cast<int16_t>(word);
    case kRawUInt16:
    case kRawBcd16:
      return static_cast<uint16_t>(word);
    case kRawBcd32:
      return static_cast<uint32_t>(word);
    case kRawFloat:
      return WordToFloat(word);
    default:
      return word;
  }
}
