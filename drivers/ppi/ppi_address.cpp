#include "drivers/ppi/ppi_address.h"

#include <cstring>
#include <string_view>

namespace ppi {
namespace {

// The order is the area index; the host keeps this pointer, so the array must be static.
constexpr AddressArea kAreas[kAreaCount] = {
    {"V", 0, 65535,
     kTypeBit | kTypeByte | kTypeInt16 | kTypeUint16 | kTypeInt32 | kTypeFloat | kTypeString, 0},
    {"I", 0, 9999, kTypeBit | kTypeByte, 0},
    {"Q", 0, 9999, kTypeBit | kTypeByte, 0},
    {"M", 0, 9999, kTypeBit | kTypeByte, 0},
    {"DELAY", 0, 1, kTypeUint16, 0},
};
static_assert(kAreas[0].typeMask == 0x1AF);

// Beyond every area's maximum and below every minimum, so a clamped number is still refused.
constexpr int64_t kNumberClamp = int64_t{1} << 32;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string_view TrimBlanks(std::string_view s) {
  while (!s.empty() && IsBlank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back()))
    s.remove_suffix(1);
  return s;
}

// A decimal number the way the address forms write it: leading blanks, an optional sign, digits
// up to the first other character. `digits` tells whether any digit was read (no digits read as
// 0). Magnitudes are clamped so that huge digit strings cannot overflow and stay out of range.
struct Number {
  int64_t value = 0;
  bool digits = false;
};

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
  return n;
}

// A single known flag that the area allows; several bits at once are not a DataTypeFlag.
bool TypeAllowed(const AddressArea& area, uint16_t type) {
  return type != 0 && (type & (type - 1)) == 0 && (area.typeMask & type) != 0;
}

void Fill(const TagAddressInput& in, int areaIndex, int32_t byteAddress, DriverItem& out) {
  out.area = &kAreas[areaIndex];
  out.areaIndex = static_cast<uint16_t>(areaIndex);
  out.dataType = in.dataType;
  out.dataType2 = static_cast<uint16_t>(in.dataType);
  // V addresses above 32767 travel as the unsigned reading of this 16-bit field.
  out.byteAddress = static_cast<int16_t>(static_cast<uint16_t>(byteAddress));
  out.extra = static_cast<uint16_t>(in.extra);
}

// Step 1: "DELAY", "DELAY0" or "DELAY1" in any case with blanks around. -1 when it is none.
int DelayForm(std::string_view text) {
  std::string_view t = TrimBlanks(text);
  if (t.size() < 5 || t.size() > 6)
    return -1;
  static constexpr char kName[] = "DELAY";
  for (std::size_t i = 0; i < 5; ++i) {
    char c = t[i];
    if (c >= 'a' && c <= 'z')
      c = static_cast<char>(c - 'a' + 'A');
    if (c != kName[i])
      return -1;
  }
  if (t.size() == 5)
    return 0;
  if (t[5] == '0')
    return 0;
  if (t[5] == '1')
    return 1;
  return -1;
}

}  // namespace

const AddressArea* AreaTable() {
  return kAreas;
}

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

BOOL ParseStationAddress(const char* text, StationInfo* out, int32_t& lastError) {
  if (text == nullptr || out == nullptr)
    return 0;
  const std::size_t len = std::strlen(text);
  int64_t value = 0;
  for (std::size_t i = 0; i < len; ++i) {
    if (!IsDigit(text[i])) {
      lastError = kErrStationNotDigits;
      return 0;
    }
    if (value <= INT32_MAX)
      value = value * 10 + (text[i] - '0');
  }
  out->stationNumber = value > INT32_MAX ? INT32_MAX : static_cast<int32_t>(value);
  // The first ten bytes of the text, but never past its NUL: a short text is not over-read.
  std::memcpy(out->addressText, text, len + 1 < 10 ? len + 1 : 10);
  return 1;
}

uint16_t ConvertUserConfigToVar(const TagAddressInput* in, DriverItem* out, int32_t& lastError) {
  if (in == nullptr || out == nullptr)
    return 1;
  // The array may be full without a NUL; never look past it.
  const std::string_view text(in->address, strnlen(in->address, sizeof in->address));
  const uint16_t type = static_cast<uint16_t>(in->dataType);

  if (int delay = DelayForm(text); delay >= 0) {
    if (!TypeAllowed(kAreas[kAreaDelay], type)) {
      lastError = kErrTypeNotAllowed;
      return 1;
    }
    Fill(*in, kAreaDelay, delay, *out);
    return 0;
  }

  // From here on the text counts exactly as given (case-sensitive).
  std::string_view t = text;
  for (int skipped = 0; skipped < 32 && !t.empty() && IsBlank(t.front()); ++skipped) {
    t.remove_prefix(1);
  }
  while (!t.empty() && IsBlank(t.back()))
    t.remove_suffix(1);
  if (t.empty()) {
    lastError = kErrAddressEmpty;
    return 1;
  }

  int index = -1;
  for (int i = 0; i < kAreaCount; ++i) {
    if (t.starts_with(kAreas[i].name)) {
      index = i;
      break;
    }
  }
  if (index < 0)
    return 1;  // no area of this driver: no code of its own
  const AddressArea& area = kAreas[index];
  std::string_view rest = t.substr(std::strlen(area.name));

  const Number address = ReadNumber(rest);
  if (address.value < area.minAddress || address.value > area.maxAddress) {
    lastError = kErrAddressOutOfRange;
    return 1;
  }
  if (!TypeAllowed(area, type)) {
    lastError = kErrTypeNotAllowed;
    return 1;
  }

  int32_t bitOrLength = -1;
  if (type == kTypeBit || type == kTypeString) {
    const std::size_t dot = rest.find('.');
    const Number n = dot == std::string_view::npos ? Number{} : ReadNumber(rest.substr(dot + 1));
    const bool ok = n.digits && (type == kTypeBit ? n.value >= 0 && n.value <= 7
                                                  : n.value >= 1 && n.value <= kMaxStringLength);
    if (!ok) {
      lastError = kErrBitOrLength;
      return 1;
    }
    bitOrLength = static_cast<int32_t>(n.value);
  }

  Fill(*in, index, static_cast<int32_t>(address.value), *out);
  if (bitOrLength >= 0)
    out->bitOrLength = static_cast<int16_t>(bitOrLength);
  return 0;
}

BOOL CanMergeItem(const DriverItem* item, int32_t writeFlag, RequestGroup* group) {
  if (item == nullptr || group == nullptr)
    return 0;
  if (writeFlag == 1)
    return 0;
  if (item->areaIndex == kAreaDelay && group->areaIndex == kAreaDelay)
    return 0;
  // A string's length is not part of the span arithmetic, so strings stay alone, whether they
  // would join or would be joined.
  if (item->dataType2 == kTypeString)
    return 0;
  if (static_cast<uint16_t>(group->dataType) == kTypeString)
    return 0;
  if (writeFlag != group->writeFlag)
    return 0;
  if (item->station != group->station)
    return 0;
  // The host's group holds the table entry it matched and the item the one we matched; both
  // point into the same static table.
  if (item->area == nullptr || item->area != group->area)
    return 0;

  // A group opened from one item starts with start == end; make its end cover that item first.
  if (group->items.count == 1 && group->startAddress == group->endAddress) {
    const int width = ValueWidth(static_cast<uint16_t>(group->dataType));
    if (width > 1)
      group->endAddress += width - 1;
  }

  const int width = ValueWidth(item->dataType2);
  if (width == 0)
    return 0;
  const int32_t a = static_cast<uint16_t>(item->byteAddress);
  const int32_t start = a < group->startAddress ? a : group->startAddress;
  // An item below the start that reaches past the end widens the end as well.
  const int32_t end = a + width - 1 > group->endAddress ? a + width - 1 : group->endAddress;
  if (end - start + 1 > kMaxReadSpan)
    return 0;
  group->startAddress = start;
  group->endAddress = end;
  return 1;
}

}  // namespace ppi
