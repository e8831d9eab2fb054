// Address rules of the Modbus driver: the area table, the station address texts of serial and TCP
// devices, tag address parsing, the device models and their framings, and the rule that merges
// tags into read requests.
//
// Tag addresses: an area name, the 1-based address number, then an optional suffix:
//   "0X1"      coil 1 (protocol address 0)            bit
//   "1X25"     discrete input 25                      bit
//   "3X10"     input register 10                      byte, 16-bit, BCD, 32-bit, BCD32, float,
//   string "4X100"    holding register 100                   the same types as 3X "4X100L"   32-bit
//   types: low word first ("H", the default, is high word first) "4X200.16" a string of 16 bytes
//   from register 200 (two bytes a register, high byte first)
// Station addresses: serial devices "1".."247"; TCP devices "host[:port]#unit", e.g.
// "192.168.1.20:502#1" (port 502 and unit 1 when left out; "[::1]:1502#3" for IPv6).
//
// Everything here is pure: the driver object keeps its LastError and hands it in by reference.
#pragma once

#include <cstdint>
#include <string>

#include "common/driver_contract.h"
#include "common/records.h"
#include "drivers/modbus/modbus_framing.h"
#include "drivers/modbus/modbus_link.h"
#include "platform/win_types.h"

namespace modbus {

// DataTypeFlag values: 1 shifted left by the tag's raw type.
inline constexpr uint16_t kTypeBit = 1;
inline constexpr uint16_t kTypeByte = 2;
inline constexpr uint16_t kTypeInt16 = 4;
inline constexpr uint16_t kTypeUint16 = 8;
inline constexpr uint16_t kTypeBcd16 = 16;
inline constexpr uint16_t kTypeInt32 = 32;
inline constexpr uint16_t kTypeBcd32 = 64;
inline constexpr uint16_t kTypeFloat = 128;
inline constexpr uint16_t kTypeString = 256;

// Indexes into the area table.
inline constexpr int kAreaCoils = 0;             // "0X", read 1, write 5 / 15
inline constexpr int kAreaDiscreteInputs = 1;    // "1X", read 2, read-only
inline constexpr int kAreaInputRegisters = 2;    // "3X", read 4, read-only
inline constexpr int kAreaHoldingRegisters = 3;  // "4X", read 3, write 6 / 16
inline constexpr int kAreaCount = 4;

// Longest string tag in bytes.
inline constexpr int kMaxStringLength = 127;

// Bit 0 of DriverItem::wordOrder (and so of RequestGroup::wordOrder, which the host copies from
// the group's first item): the 32-bit values of the item (group) are sent low word first.
inline constexpr uint16_t kLowWordFirst = 1;

// LastError codes; ErrorText gives their texts.
inline constexpr int32_t kErrNoError = -1;        // no code was ever set
inline constexpr int32_t kErrStationText = 1;     // station address text not understood
inline constexpr int32_t kErrStationRange = 2;    // serial station not 1..247, unit not 0..255,
                                                  // port not 1..65535
inline constexpr int32_t kErrAddressEmpty = 3;    // tag address empty or blank
inline constexpr int32_t kErrUnknownArea = 4;     // no area name starts the text
inline constexpr int32_t kErrAddressNumber = 5;   // no number, or a number outside the area
inline constexpr int32_t kErrTypeNotAllowed = 6;  // data type not allowed in the area
inline constexpr int32_t kErrSuffix = 7;          // suffix not understood or not for this type
inline constexpr int32_t kErrStringLength = 8;    // string length not 1..127 or past 65535
inline constexpr int32_t kErrReadOnly = 9;        // write to discrete inputs or input registers
inline constexpr int32_t kErrUnknownModel = 10;   // model text is not one of the three
inline constexpr int32_t kErrMixedSerial = 11;    // RTU and ASCII devices on one serial line
inline constexpr int32_t kErrLastCode = 11;

// The GBK text of `code` for GetLastErrorText: null for kErrNoError, a text of "未知错误" with the
// number for a code without a text (without the number once 64 such codes have been asked for).
// The pointer stays valid for the life of the module. Thread-safe.
const char* ErrorText(int32_t code);

// The 4-entry area table 0X, 1X, 3X, 4X (min 1, max 65535). Static: the same pointer every call.
const AddressArea* AreaTable();

// The framing of a device model: "ZireviVER" -> RTU, "ModbusTCP" -> TCP, "ModbusASCII" -> ASCII,
// compared without regard to case and surrounding blanks. False for anything else (null too).
bool FramingOfModel(const char* model, Framing* framing);

// A station address, parsed.
struct Station {
  bool tcp = false;
  uint8_t unit = 1;      // serial station or TCP unit id
  TcpEndpoint endpoint;  // TCP only
};

// Parses a station address text (see the top of the file). On success fills `station`, writes the
// normalised text ("5"; "192.168.1.20:502#1"; "[::1]:1502#3") into `normalised` and returns true;
// otherwise sets lastError (kErrStationText or kErrStationRange) and returns false. Blanks around
// the text and its parts are ignored. Digits alone are a serial station; any other character
// makes it the TCP form. A host is a dotted IPv4 address (written back without leading zeros), a
// bracketed IPv6 address (written back in its canonical form; no zone suffix) or a host name of
// letters, digits, '-' and '.' (written back in lower case). Null text is refused without a code.
bool ParseStation(const char* text, Station& station, std::string& normalised, int32_t& lastError);

// ParseStationAddress of the contract: on success out->stationNumber = the unit, out->addressText =
// the normalised text, NUL-padded to 64 bytes; returns 1. A text whose normalised form does not fit
// 63 bytes is refused (kErrStationText). Null pointers return 0 without a code.
BOOL ParseStationAddress(const char* text, StationInfo* out, int32_t& lastError);

// Converts a tag's address text and type into `out`: area, areaIndex, dataType, dataType2,
// byteAddress (the 1-based number, as uint16 bits), bitOrLength (0, or the string length),
// wordOrder (kLowWordFirst or 0), extra (copy of in->extra). 0 when accepted, 1 when refused with
// lastError set. When in->extra is not 0 (the host converts a write) a read-only area is refused
// (kErrReadOnly). A model text that is not one of the three is refused (kErrUnknownModel); an empty
// model is accepted (the tag editor may not know it yet). Area names match case-sensitively, as the
// host matches them; blanks around the text and between its parts are ignored. Neither the model
// nor the address array need hold a NUL.
uint16_t ConvertUserConfigToVar(const TagAddressInput* in, DriverItem* out, int32_t& lastError);

// Number of registers (or bits) an item of `dataType` covers: 1 for bit, byte and 16-bit types,
// 2 for 32-bit types and float, (length + 1) / 2 for a string of `length` (1..127) bytes; 0 for
// anything else.
int ItemWidth(uint16_t dataType, int length);

// 1 when `item` may join the read request `group`, whose span (startAddress..endAddress, 1-based)
// is then widened to cover it; 0 when the host must open a new group. Writes never merge, nor
// strings, nor items of another station number, station address text (host), area, or (for 32-bit
// types) word order; a read never spans more than 125 registers or 2000 bits. The group's extent
// counts its first item's full width (the host opens a group with end == start). The host texts
// are compared only when both station pointers are set. A refusal leaves the group unchanged.
BOOL CanMergeItem(const DriverItem* item, int32_t writeFlag, RequestGroup* group);

}  // namespace modbus
