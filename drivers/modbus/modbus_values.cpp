#include "drivers/modbus/modbus_values.h"

#include <cstring>
#include <string_view>

#include "drivers/modbus/modbus_address.h"
#include "platform/atoms.h"
#include "platform/gbk.h"

namespace modbus {
namespace {

constexpr uint32_t kMaxBcd16 = 9999;
constexpr uint32_t kMaxBcd32 = 99999999;
// Longest atom name; a string tag never needs more than kMaxStringLength of it.
constexpr int kMaxAtomName = 255;

uint16_t Register(std::span<const uint8_t> words, size_t index) {
  return static_cast<uint16_t>(words[2 * index] << 8 | words[2 * index + 1]);
}

// The 32-bit value of the first two registers in the given word order.
uint32_t DoubleRegister(std::span<const uint8_t> words, bool lowWordFirst) {
  const uint32_t first = Register(words, 0);
  const uint32_t second = Register(words, 1);
  return lowWordFirst ? (second << 16 | first) : (first << 16 | second);
}

// Packed BCD to binary; false when a nibble is above 9.
bool FromBcd(uint32_t bcd, int digits, uint32_t* out) {
  uint32_t v = 0;
  for (int i = digits - 1; i >= 0; --i) {
    const uint32_t nibble = (bcd >> (4 * i)) & 0xF;
    if (nibble > 9)
      return false;
    v = v * 10 + nibble;
  }
  *out = v;
  return true;
}

uint32_t ToBcd(uint32_t v, int digits) {
  uint32_t bcd = 0;
  for (int i = 0; i < digits; ++i) {
    bcd |= (v % 10) << (4 * i);
    v /= 10;
  }
  return bcd;
}

void PutDouble(uint32_t v, bool lowWordFirst, std::span<uint16_t> out) {
  const auto high = static_cast<uint16_t>(v >> 16);
  const auto low = static_cast<uint16_t>(v);
  out[0] = lowWordFirst ? low : high;
  out[1] = lowWordFirst ? high : low;
}

}  // namespace

bool DecodeRegisters(uint16_t dataType, bool lowWordFirst, int stringLength,
                     std::span<const uint8_t> words, int32_t* value) {
  if (value == nullptr)
    return false;
  const int width = ItemWidth(dataType, stringLength);
  if (width == 0 || words.size() < 2 * static_cast<size_t>(width))
    return false;
  uint32_t bcd = 0;
  switch (dataType) {
    case kTypeByte:
      *value = Register(words, 0) & 0xFF;
      return true;
    case kTypeInt16:
      *value = static_cast<int16_t>(Register(words, 0));
      return true;
    case kTypeUint16:
      *value = Register(words, 0);
      return true;
    case kTypeBcd16:
      if (!FromBcd(Register(words, 0), 4, &bcd))
        return false;
      *value = static_cast<int32_t>(bcd);
      return true;
    case kTypeInt32:
    case kTypeFloat:
      *value = static_cast<int32_t>(DoubleRegister(words, lowWordFirst));
      return true;
    case kTypeBcd32:
      if (!FromBcd(DoubleRegister(words, lowWordFirst), 8, &bcd))
        return false;
      *value = static_cast<int32_t>(bcd);
      return true;
    case kTypeString: {
      // Registers carry their bytes high byte first; the text ends at the first NUL.
      char text[kMaxStringLength + 1] = {};
      std::memcpy(text, words.data(), static_cast<size_t>(stringLength));
      ATOM atom = 0;
      if (text[0] != '\0') {
        atom = platform::GlobalAddAtomA(text);
        if (atom == 0)
          return false;  // the atom table is full: the text cannot reach the host
      }
      *value = atom;
      return true;
    }
    default:
      return false;  // bits come through DecodeBit
  }
}

bool DecodeBit(std::span<const uint8_t> packed, size_t index, int32_t* value) {
  if (value == nullptr || index / 8 >= packed.size())
    return false;
  *value = (packed[index / 8] >> (index % 8)) & 1;
  return true;
}

size_t EncodeRegisters(uint16_t dataType, bool lowWordFirst, int stringLength, int32_t value,
                       std::span<uint16_t> out) {
  const int width = ItemWidth(dataType, stringLength);
  if (width == 0 || out.size() < static_cast<size_t>(width))
    return 0;
  const auto bits = static_cast<uint32_t>(value);
  switch (dataType) {
    case kTypeByte:
      out[0] = static_cast<uint16_t>(bits & 0xFF);
      return 1;
    case kTypeInt16:
    case kTypeUint16:
      out[0] = static_cast<uint16_t>(bits);
      return 1;
    case kTypeBcd16:
      if (value < 0 || bits > kMaxBcd16)
        return 0;
      out[0] = static_cast<uint16_t>(ToBcd(bits, 4));
      return 1;
    case kTypeInt32:
    case kTypeFloat:
      PutDouble(bits, lowWordFirst, out);
      return 2;
    case kTypeBcd32:
      if (value < 0 || bits > kMaxBcd32)
        return 0;
      PutDouble(ToBcd(bits, 8), lowWordFirst, out);
      return 2;
    case kTypeString: {
      const auto atom = static_cast<ATOM>(bits & 0xFFFF);
      char name[kMaxAtomName + 1] = {};
      if (atom != 0 && platform::GlobalGetAtomNameA(atom, name, sizeof name) == 0)
        return 0;  // not in the table: sending zeros would overwrite the device's text
      // Cut to the tag's length, never through a double-byte character; the rest is zero.
      const std::string_view text(name, strnlen(name, sizeof name));
      uint8_t bytes[kMaxStringLength + 1] = {};
      std::memcpy(bytes, text.data(),
                  platform::GbkPrefixLength(text, static_cast<size_t>(stringLength)));
      for (int i = 0; i < width; ++i)
        out[static_cast<size_t>(i)] = static_cast<uint16_t>(bytes[2 * i] << 8 | bytes[2 * i + 1]);
      return static_cast<size_t>(width);
    }
    default:
      return 0;  // bits are written as coils, not registers
  }
}

}  // namespace modbus
