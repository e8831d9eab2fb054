// Values between the wire and the host's GroupItems: register words and coil bits decoded into
// the item's value, and an item's value encoded into the words or bit of a write.
//
// Registers travel as big-endian 16-bit words. A byte tag is the low 8 bits of its register;
// int16 is sign-extended into the value, uint16 and BCD16 are 0..65535 / 0..9999; a 32-bit value
// (int32, BCD32 0..99999999, float bits) takes two registers, high word first unless lowWordFirst;
// a string of n bytes takes (n + 1) / 2 registers, high byte first, and travels to and from the
// host as a global atom (platform/atoms.h) in the low 16 bits of the value, as the tag table
// expects.
#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace modbus {

// Decodes the item of `dataType` whose first register starts at `words` (big-endian, at least
// ItemWidth registers, i.e. 2 * width bytes). A string becomes a new global atom of its text up to
// the first NUL (atom 0 for an empty text), the atom alone in *value. False for an unknown type, a
// bit (bits come through DecodeBit), a string length outside 1..127, too few bytes, a BCD
// register holding a nibble above 9, or a text the full atom table cannot take (*value untouched
// then).
bool DecodeRegisters(uint16_t dataType, bool lowWordFirst, int stringLength,
                     std::span<const uint8_t> words, int32_t* value);

// Bit `index` of data packed LSB first, 8 a byte (coils and discrete inputs); false when the
// index lies outside `packed`.
bool DecodeBit(std::span<const uint8_t> packed, size_t index, int32_t* value);

// Encodes `value` of `dataType` into the registers of a write; returns the number of registers
// written to `out` (1, 2, or (length + 1) / 2 for a string, zero-padded), or 0 when the value
// cannot be sent: BCD out of range (negative, above 9999 / 99999999), a string atom that is not in
// the atom table (atom 0 is the empty text), a bit (bits are written as coils), an unknown type, a
// string length outside 1..127, or `out` too small. A string's text is cut to `stringLength`
// bytes, never through a double-byte character. Byte, int16 and uint16 send the low 8 / 16 bits.
size_t EncodeRegisters(uint16_t dataType, bool lowWordFirst, int stringLength, int32_t value,
                       std::span<uint16_t> out);

}  // namespace modbus
