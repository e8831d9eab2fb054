#include "drivers/s7common/s7_address.h"

#include <cstring>

#include "drivers/s7common/s7_values.h"

namespace s7 {
namespace {

constexpr int64_t kNumberClamp = int64_t{1} << 32;

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

}  // namespace

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back()))
    s.remove_suffix(1);
  return s;
}

Number ReadNumber(std::string_view s) {
  std::size_t i = 0;
  while (i < s.size() && IsBlank(s[i]))
    ++i;
  bool negative = false;
  if (i < s.size() && (s[i] == '+' || s[i] == '-')) {
    negative = s[i] == '-';
    ++i;
  }
  Number n;
  for (; i < s.size() && IsDigit(s[i]); ++i) {
    n.digits = true;
    if (n.value < kNumberClamp)
      n.value = n.value * 10 + (s[i] - '0');
  }
  if (n.value > kNumberClamp)
    n.value = kNumberClamp;
  if (negative)
    n.value = -n.value;
  n.length = i;
  return n;
}

bool TypeAllowed(const AddressArea& area, uint16_t type) {
  return type != 0 && (type & (type - 1)) == 0 && (area.typeMask & type) != 0;
}

bool IsReadOnlyMemory(Memory memory, int32_t first) {
  switch (memory) {
    case Memory::kI:
    case Memory::kAI:
      return true;
    case Memory::kSM:
      return first < kFirstWritableSm;  // a write that starts below SMB30 changes one of them
    default:
      return false;
  }
}

int32_t ParseAddress(std::string_view text, uint16_t type, std::span<const AddressArea> areas,
                     std::span<const AreaInfo> infos, int plainIndex, bool whole,
                     ParsedAddress* out) {
  int index = -1;
  for (std::size_t i = 0; i < areas.size(); ++i) {
    if (text.starts_with(areas[i].name)) {
      index = static_cast<int>(i);
      break;
    }
  }
  if (index < 0)
    return kErrNoArea;
  const AddressArea& area = areas[static_cast<std::size_t>(index)];
  const AreaInfo& info = infos[static_cast<std::size_t>(index)];
  std::string_view rest = text.substr(std::strlen(area.name));

  // A number right after the area name, and after it only a bit number or a string length.
  // "VD10" read as "V" followed by no digits once became V0.
  const Number address = ReadNumber(rest);
  if (!address.digits)
    return kErrAddressForm;
  rest.remove_prefix(address.length);
  // Analog words lie at even addresses: AIW1 is no word of the PLC.
  if (address.value < area.minAddress || address.value > area.maxAddress ||
      (info.even && address.value % 2 != 0))
    return kErrAddressOutOfRange;
  if (!TypeAllowed(area, type)) {
    // A width entry names the value's size: a type of another size contradicts the text.
    return info.width != 0 && TypeAllowed(areas[static_cast<std::size_t>(plainIndex)], type)
               ? kErrWidthMismatch
               : kErrTypeNotAllowed;
  }

  int32_t bitOrLength = -1;
  if (type == kTypeBit || type == kTypeString) {
    const bool dot = !rest.empty() && rest.front() == '.';
    const Number n = dot ? ReadNumber(rest.substr(1)) : Number{};
    const bool ok = n.digits && (type == kTypeBit ? n.value >= 0 && n.value <= 7
                                                  : n.value >= 1 && n.value <= kMaxStringLength);
    if (!ok)
      return kErrBitOrLength;
    rest.remove_prefix(1 + n.length);
    bitOrLength = static_cast<int32_t>(n.value);
  }
  if (whole && !rest.empty())
    return kErrAddressForm;
  out->index = index;
  out->byteAddress = static_cast<int32_t>(address.value);
  out->bitOrLength = bitOrLength;
  out->consumed = text.size() - rest.size();
  return kErrNone;
}

}  // namespace s7
