// Hexadecimal digits for the text forms that carry bytes as two digits each (the registry store's
// escapes, Modbus ASCII frames).
#pragma once

namespace platform {

// The upper-case digit of each nibble: kHexDigits[n] for n = 0..15.
inline constexpr char kHexDigits[] = "0123456789ABCDEF";

// Value 0..15 of one hex digit of either case; -1 for any other character.
constexpr int HexValue(unsigned char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

}  // namespace platform
