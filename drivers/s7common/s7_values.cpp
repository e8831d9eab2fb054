#include "drivers/s7common/s7_values.h"

#include <algorithm>
#include <cstring>

#include "platform/atoms.h"

namespace s7 {

int ValueWidth(uint16_t dataType) {
  switch (dataType) {
    case kTypeBit:
    case kTypeByte:
      return 1;
    case kTypeInt16:
    case kTypeUint16:
      return 2;
    case kTypeInt32:
    case kTypeFloat:
      return 4;
    default:
      return 0;
  }
}

bool DecodeValue(uint16_t dataType, unsigned bit, const uint8_t* d, int size, int32_t& target) {
  switch (dataType) {
    case kTypeBit:
      if (bit > 7)
        return false;
      target = (d[0] >> bit) & 1;
      return true;
    case kTypeByte:
      target = static_cast<int32_t>((static_cast<uint32_t>(target) & ~0xFFu) | d[0]);
      return true;
    case kTypeInt16:
      target = static_cast<int32_t>((static_cast<uint32_t>(target) & ~0xFFFFu) |
                                    (uint32_t{d[0]} << 8 | d[1]));
      return true;
    case kTypeUint16:
      target = static_cast<int32_t>(uint32_t{d[0]} << 8 | d[1]);
      return true;
    case kTypeInt32:
    case kTypeFloat:
      target = static_cast<int32_t>(uint32_t{d[0]} << 24 | uint32_t{d[1]} << 16 |
                                    uint32_t{d[2]} << 8 | d[3]);
      return true;
    case kTypeString: {
      if (size < 1 || size > kMaxStringLength)
        return false;
      // Copied out so the reply buffer is left as received.
      char text[kMaxStringLength + 1] = {};
      std::memcpy(text, d, static_cast<std::size_t>(size));
      const ATOM atom = platform::GlobalAddAtomA(text);  // 0 for an empty text
      target = static_cast<int32_t>((static_cast<uint32_t>(target) & ~0xFFFFu) | atom);
      return true;
    }
    default:
      return false;
  }
}

bool StringFromAtom(ATOM atom, int n, uint8_t* dest) {
  char name[128] = {};
  const UINT got = atom != 0 ? platform::GlobalGetAtomNameA(atom, name, sizeof name) : 0;
  if (atom != 0 && got == 0)
    return false;
  // Copy only the atom's own text; the rest of the n bytes stays zero.
  const std::size_t copy = std::min<std::size_t>(got, static_cast<std::size_t>(n));
  std::memcpy(dest, name, copy);
  std::memset(dest + copy, 0, static_cast<std::size_t>(n) - copy);
  return true;
}

void PutBigEndian(uint32_t value, int n, uint8_t* dest) {
  for (int i = 0; i < n; ++i)
    dest[i] = static_cast<uint8_t>(value >> (8 * (n - 1 - i)));
}

}  // namespace s7
