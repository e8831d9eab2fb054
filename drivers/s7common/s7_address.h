// The S7 address notation shared by the S7 drivers: an area table of AddressArea entries, each
// with its wire description, and the parse of one address text against such a table ("VW100",
// "V10.3", "V200.16", "QB0", "AIW4").
//
// A table holds for each memory its width entries ("VB", "VW", "VD": one byte, a word, a double
// word at byte n) before its plain entry ("V": every type the memory allows; "V" n "." b for bits,
// "V" n "." len for strings): the host and the tag editor take the first entry whose name starts
// the register text.
#pragma once

#include <cstdint>
#include <span>
#include <string_view>

#include "common/driver_contract.h"

namespace s7 {

// The PLC memory an area entry addresses; the entries of one memory share it.
enum class Memory : uint8_t { kV, kI, kQ, kM, kSM, kS, kAI, kAQ, kDelay, kDb };

// What the jobs need to know of an area entry.
struct AreaInfo {
  Memory memory;
  uint8_t code;  // S7 area code on the wire (0 for entries that never go on the wire)
  uint16_t db;   // DB number on the wire: 1 for V memory, else 0 (data blocks: the tag's own)
  int width;     // bytes named by a width entry (1, 2, 4); 0 for a plain entry
  bool even;     // words at even byte addresses only (AIW, AQW)
};

// S7 area codes.
inline constexpr uint8_t kAreaCodeS = 0x04;
inline constexpr uint8_t kAreaCodeSM = 0x05;
inline constexpr uint8_t kAreaCodeAI = 0x06;
inline constexpr uint8_t kAreaCodeAQ = 0x07;
inline constexpr uint8_t kAreaCodeI = 0x81;
inline constexpr uint8_t kAreaCodeQ = 0x82;
inline constexpr uint8_t kAreaCodeM = 0x83;
inline constexpr uint8_t kAreaCodeDb = 0x84;  // data blocks; V memory is DB 1

// SMB0..SMB29 hold the PLC's status bits and counters: a master may read, never write them.
inline constexpr int32_t kFirstWritableSm = 30;

// Error codes of the address rules, shared by the S7 drivers (string resources of the same
// numbers hold their texts).
inline constexpr int32_t kErrNone = 0;
inline constexpr int32_t kErrNoArea = -2;             // no entry of the table starts the text
inline constexpr int32_t kErrAddressEmpty = 12;       // address text empty or blank
inline constexpr int32_t kErrTypeNotAllowed = 13;     // data type not allowed in the area
inline constexpr int32_t kErrAddressOutOfRange = 14;  // byte address outside the area
inline constexpr int32_t kErrBitOrLength = 15;        // bit not 0..7 / string length not 1..127
inline constexpr int32_t kErrAddressForm = 16;        // text after the area is not a whole address
inline constexpr int32_t kErrWidthMismatch = 17;      // VB/VW/VD width differs from the data type

// A decimal number the way the address forms write it: leading blanks, an optional sign, digits
// up to the first other character. `digits` tells whether any digit was read (no digits read as
// 0). Magnitudes are clamped to 2^32 so that huge digit strings cannot overflow and stay out of
// range.
struct Number {
  int64_t value = 0;
  bool digits = false;
  std::size_t length = 0;  // characters read, blanks and sign included
};
Number ReadNumber(std::string_view s);

bool IsBlank(char c);
std::string_view TrimBlanks(std::string_view s);

// A single known flag that the area allows; several bits at once are not a DataTypeFlag.
bool TypeAllowed(const AddressArea& area, uint16_t type);

// True when a write of the bytes from `first` on of `memory` must be refused because the PLC does
// not let a master change them: process inputs, analog inputs, SMB0..SMB29.
bool IsReadOnlyMemory(Memory memory, int32_t first);

// The result of ParseAddress.
struct ParsedAddress {
  int index = -1;            // the entry matched
  int32_t byteAddress = 0;   // the address number
  int32_t bitOrLength = -1;  // bit (bit tags) or length (string tags); -1 for the others
  std::size_t consumed = 0;  // characters of the text the address took
};

// Parses `text` (blanks already trimmed) of a tag of `type` against `areas` and their `infos`:
// the first entry whose name starts the text, a decimal number right after it within the
// entry's range (even for word areas), a type the entry allows, and for bit and string tags "."
// and the bit number (0..7) or length (1..127). `plainIndex` names the entry whose types stand
// for everything a memory holds, to tell a width mismatch from a type no memory allows. With
// `whole` the address must be the whole text; without it, parsing stops after the address and
// `consumed` says where. Returns kErrNone or one of the error codes above.
int32_t ParseAddress(std::string_view text, uint16_t type, std::span<const AddressArea> areas,
                     std::span<const AreaInfo> infos, int plainIndex, bool whole,
                     ParsedAddress* out);

}  // namespace s7
