// Values of S7 memory as the drivers carry them: the DataTypeFlag values a tag can have, their
// widths on the wire, and the conversion between wire bytes (big-endian, as the PLC holds them)
// and the 32-bit value fields of a GroupItem. Shared by the PPI and the ISO-on-TCP drivers.
//
// Pure: no port, no driver state. Strings travel through the global atom table.
#pragma once

#include <cstdint>
#include <span>

#include "platform/win_types.h"

namespace s7 {

// DataTypeFlag values: 1 shifted left by the tag's raw type.
inline constexpr uint16_t kTypeBit = 1;
inline constexpr uint16_t kTypeByte = 2;
inline constexpr uint16_t kTypeInt16 = 4;
inline constexpr uint16_t kTypeUint16 = 8;
inline constexpr uint16_t kTypeBcd16 = 16;  // never accepted by the S7 drivers
inline constexpr uint16_t kTypeInt32 = 32;
inline constexpr uint16_t kTypeBcd32 = 64;  // never accepted by the S7 drivers
inline constexpr uint16_t kTypeFloat = 128;
inline constexpr uint16_t kTypeString = 256;

// Longest string tag in bytes.
inline constexpr int kMaxStringLength = 127;

// Width in bytes of a value of `dataType` on the wire (1 for bit and byte, 2, 4); 0 for string,
// BCD and anything that is not a single known flag.
int ValueWidth(uint16_t dataType);

// Stores the wire bytes `d` (at least `size` of them: the value's width, or a string's length)
// into `target`: a bit is bit `bit` of d[0]; byte and int16 values replace only the low 8 or 16
// bits of `target`, uint16, int32 and float the whole of it; a string becomes a global atom in
// the low 16 bits. False for an unknown type or a bit number above 7 (`target` is untouched).
bool DecodeValue(uint16_t dataType, unsigned bit, const uint8_t* d, int size, int32_t& target);

// Up to `n` characters of the string atom `atom`, zero-padded to n bytes. False for an atom that
// is not in the table; atom 0 stands for the empty text.
bool StringFromAtom(ATOM atom, int n, uint8_t* dest);

// Writes the `n` low bytes of `value` big-endian into `dest`.
void PutBigEndian(uint32_t value, int n, uint8_t* dest);

}  // namespace s7
