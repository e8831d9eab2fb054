#include "drivers/modbus/modbus_address.h"

#include <arpa/inet.h>

#include <cstring>
#include <string_view>

namespace modbus {
namespace {

constexpr uint16_t kRegisterTypes = kTypeByte | kTypeInt16 | kTypeUint16 | kTypeBcd16 | kTypeInt32 |
                                    kTypeBcd32 | kTypeFloat | kTypeString;
constexpr uint16_t kKnownTypes = kTypeBit | kRegisterTypes;
constexpr uint16_t kWideTypes = kTypeInt32 | kTypeBcd32 | kTypeFloat;

// The order is the area index; the host keeps this pointer, so the array must be static.
constexpr AddressArea kAreas[kAreaCount] = {
    {"0X", 1, 65535, kTypeBit, 0},
    {"1X", 1, 65535, kTypeBit, 0},
    {"3X", 1, 65535, kRegisterTypes, 0},
    {"4X", 1, 65535, kRegisterTypes, 0},
};
static_assert(kRegisterTypes == 0x1FE);

constexpr int32_t kMaxNumber = 65535;
// Widest read request: 125 registers (function 3 / 4) or 2000 bits (function 1 / 2).
constexpr int32_t kMaxRegisterSpan = 125;
constexpr int32_t kMaxBitSpan = 2000;
constexpr uint8_t kMaxSerialStation = 247;
constexpr uint16_t kDefaultPort = 502;
constexpr uint8_t kDefaultUnit = 1;
// Longest host name a resolver accepts, and its longest label.
constexpr size_t kMaxHostName = 253;
constexpr size_t kMaxLabel = 63;

bool IsBlank(char c) {
  return c == ' ' || c == '\t';
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}
bool IsLetter(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
}
char Lower(char c) {
  return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back()))
    s.remove_suffix(1);
  return s;
}

bool EqualNoCase(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (size_t i = 0; i < a.size(); ++i) {
    if (Lower(a[i]) != Lower(b[i]))
      return false;
  }
  return true;
}

bool AllDigits(std::string_view s) {
  for (char c : s) {
    if (!IsDigit(c))
      return false;
  }
  return true;
}

// The value of a non-empty run of digits, saturated just above `ceiling` so that a long run
// cannot overflow and still reads as out of range. -1 when `s` is empty or holds a non-digit.
int64_t DigitsValue(std::string_view s, int64_t ceiling) {
  if (s.empty() || !AllDigits(s))
    return -1;
  int64_t v = 0;
  for (char c : s) {
    v = v * 10 + (c - '0');
    if (v > ceiling)
      return ceiling + 1;
  }
  return v;
}

bool IsSingleKnownType(uint16_t type) {
  return type != 0 && (type & (type - 1)) == 0 && (type & kKnownTypes) == type;
}

bool IsBitArea(int areaIndex) {
  return areaIndex == kAreaCoils || areaIndex == kAreaDiscreteInputs;
}

// ---------------------------------------------------------------------------------------------
// Station addresses

// A dotted IPv4 address of four decimal parts 0..255, written back without leading zeros (so
// "010" is ten, never eight). False when `s` is not one.
bool NormaliseIpv4(std::string_view s, std::string& out) {
  std::string result;
  for (int part = 0; part < 4; ++part) {
    const size_t dot = part < 3 ? s.find('.') : s.size();
    if (dot == std::string_view::npos)
      return false;
    const std::string_view digits = s.substr(0, dot);
    if (digits.size() > 3)
      return false;
    const int64_t v = DigitsValue(digits, 255);
    if (v < 0 || v > 255)
      return false;
    if (part > 0)
      result += '.';
    result += std::to_string(v);
    s.remove_prefix(part < 3 ? dot + 1 : dot);
  }
  out = std::move(result);
  return true;
}

// A host name of letters, digits, '-' and '.': labels of 1..63 characters that neither start
// nor end with '-'. Written back in lower case, as names compare without regard to case.
bool NormaliseHostName(std::string_view s, std::string& out) {
  if (s.empty() || s.size() > kMaxHostName)
    return false;
  size_t labelStart = 0;
  for (size_t i = 0; i <= s.size(); ++i) {
    if (i < s.size() && s[i] != '.') {
      if (!IsLetter(s[i]) && !IsDigit(s[i]) && s[i] != '-')
        return false;
      continue;
    }
    const std::string_view label = s.substr(labelStart, i - labelStart);
    if (label.empty() || label.size() > kMaxLabel || label.front() == '-' || label.back() == '-')
      return false;
    labelStart = i + 1;
  }
  out.clear();
  for (char c : s)
    out += Lower(c);
  return true;
}

// The numeric IPv6 address inside brackets, in its canonical text form (so "0:0::1" and "::1"
// name the same device). Zone suffixes ("%eth0") are not accepted.
bool NormaliseIpv6(std::string_view s, std::string& out) {
  char text[INET6_ADDRSTRLEN] = {};
  if (s.empty() || s.size() >= sizeof text)
    return false;
  std::memcpy(text, s.data(), s.size());
  in6_addr addr{};
  if (inet_pton(AF_INET6, text, &addr) != 1)
    return false;
  char canonical[INET6_ADDRSTRLEN] = {};
  if (inet_ntop(AF_INET6, &addr, canonical, sizeof canonical) == nullptr)
    return false;
  out = canonical;
  return true;
}

bool ParseSerialStation(std::string_view t, Station& station, std::string& normalised,
                        int32_t& lastError) {
  const int64_t v = DigitsValue(t, kMaxSerialStation);
  if (v < 1 || v > kMaxSerialStation) {
    lastError = kErrStationRange;
    return false;
  }
  station = Station{};
  station.tcp = false;
  station.unit = static_cast<uint8_t>(v);
  normalised = std::to_string(v);
  return true;
}

// "host[:port][#unit]" with blanks allowed around each part.
bool ParseTcpStation(std::string_view t, Station& station, std::string& normalised,
                     int32_t& lastError) {
  std::string_view hostPort = t;
  int64_t unit = kDefaultUnit;
  if (const size_t hash = t.find('#'); hash != std::string_view::npos) {
    hostPort = Trim(t.substr(0, hash));
    const std::string_view unitText = Trim(t.substr(hash + 1));
    unit = DigitsValue(unitText, 255);
    if (unit < 0) {
      lastError = kErrStationText;
      return false;
    }
    if (unit > 255) {
      lastError = kErrStationRange;
      return false;
    }
  }

  std::string host;
  std::string_view portPart;  // what follows the host: empty or ":port"
  bool bracketed = false;
  if (!hostPort.empty() && hostPort.front() == '[') {
    const size_t close = hostPort.find(']');
    if (close == std::string_view::npos ||
        !NormaliseIpv6(Trim(hostPort.substr(1, close - 1)), host)) {
      lastError = kErrStationText;
      return false;
    }
    bracketed = true;
    portPart = Trim(hostPort.substr(close + 1));
  } else {
    const size_t colon = hostPort.find(':');
    const std::string_view name = Trim(hostPort.substr(0, colon));
    if (colon != std::string_view::npos)
      portPart = hostPort.substr(colon);
    // Only digits and dots: it has to be a whole dotted IPv4 address, not a name.
    const bool numeric = name.find_first_not_of("0123456789.") == std::string_view::npos;
    if (numeric ? !NormaliseIpv4(name, host) : !NormaliseHostName(name, host)) {
      lastError = kErrStationText;
      return false;
    }
  }

  int64_t port = kDefaultPort;
  if (!portPart.empty()) {
    if (portPart.front() != ':') {
      lastError = kErrStationText;
      return false;
    }
    port = DigitsValue(Trim(portPart.substr(1)), 65535);
    if (port < 0) {
      lastError = kErrStationText;  // empty, a second ':' (an IPv6 address without brackets), ...
      return false;
    }
    if (port < 1 || port > 65535) {
      lastError = kErrStationRange;
      return false;
    }
  }

  station = Station{};
  station.tcp = true;
  station.unit = static_cast<uint8_t>(unit);
  station.endpoint.host = host;
  station.endpoint.port = static_cast<uint16_t>(port);
  normalised.clear();
  if (bracketed) {
    normalised += '[';
    normalised += host;
    normalised += ']';
  } else {
    normalised += host;
  }
  normalised += ':';
  normalised += std::to_string(port);
  normalised += '#';
  normalised += std::to_string(unit);
  return true;
}

// ---------------------------------------------------------------------------------------------
// Tag addresses

// The suffix of a 32-bit item: "" or "H" high word first, "L" low word first. -1 otherwise.
int WordOrderSuffix(std::string_view suffix) {
  if (suffix.empty() || EqualNoCase(suffix, "H"))
    return 0;
  if (EqualNoCase(suffix, "L"))
    return kLowWordFirst;
  return -1;
}

}  // namespace

const AddressArea* AreaTable() {
  return kAreas;
}

bool FramingOfModel(const char* model, Framing* framing) {
  if (model == nullptr)
    return false;
  const std::string_view m = Trim(model);
  Framing f;
  if (EqualNoCase(m, "ZireviVER")) {
    f = Framing::kRtu;
  } else if (EqualNoCase(m, "ModbusTCP")) {
    f = Framing::kTcp;
  } else if (EqualNoCase(m, "ModbusASCII")) {
    f = Framing::kAscii;
  } else {
    return false;
  }
  if (framing != nullptr)
    *framing = f;
  return true;
}

bool ParseStation(const char* text, Station& station, std::string& normalised, int32_t& lastError) {
  if (text == nullptr)
    return false;
  const std::string_view t = Trim(text);
  if (t.empty()) {
    lastError = kErrStationText;
    return false;
  }
  // Digits alone are a serial station; anything else must be the TCP form.
  if (AllDigits(t))
    return ParseSerialStation(t, station, normalised, lastError);
  return ParseTcpStation(t, station, normalised, lastError);
}

BOOL ParseStationAddress(const char* text, StationInfo* out, int32_t& lastError) {
  if (text == nullptr || out == nullptr)
    return 0;
  Station station;
  std::string normalised;
  if (!ParseStation(text, station, normalised, lastError))
    return 0;
  if (normalised.size() >= sizeof out->addressText) {
    lastError = kErrStationText;
    return 0;
  }
  out->stationNumber = station.unit;
  std::memset(out->addressText, 0, sizeof out->addressText);
  std::memcpy(out->addressText, normalised.data(), normalised.size());
  return 1;
}

uint16_t ConvertUserConfigToVar(const TagAddressInput* in, DriverItem* out, int32_t& lastError) {
  if (in == nullptr || out == nullptr)
    return 1;
  auto refuse = [&lastError](int32_t code) -> uint16_t {
    lastError = code;
    return 1;
  };

  // Neither array need hold a NUL: never look past them.
  char model[sizeof in->model + 1] = {};
  std::memcpy(model, in->model, strnlen(in->model, sizeof in->model));
  if (!Trim(model).empty() && !FramingOfModel(model, nullptr))
    return refuse(kErrUnknownModel);

  const std::string_view text = Trim({in->address, strnlen(in->address, sizeof in->address)});
  if (text.empty())
    return refuse(kErrAddressEmpty);

  // Area names match as the host matches them: exactly, case included.
  int index = -1;
  for (int i = 0; i < kAreaCount; ++i) {
    if (text.starts_with(kAreas[i].name)) {
      index = i;
      break;
    }
  }
  if (index < 0)
    return refuse(kErrUnknownArea);
  const AddressArea& area = kAreas[index];

  // The number: decimal digits only (the host reads the same digits as the item's number).
  std::string_view rest = Trim(text.substr(std::strlen(area.name)));
  size_t digitCount = 0;
  while (digitCount < rest.size() && IsDigit(rest[digitCount]))
    ++digitCount;
  const int64_t number = DigitsValue(rest.substr(0, digitCount), kMaxNumber);
  if (number < area.minAddress || number > area.maxAddress)
    return refuse(kErrAddressNumber);
  const std::string_view suffix = Trim(rest.substr(digitCount));

  const uint16_t type = static_cast<uint16_t>(in->dataType);
  if (!IsSingleKnownType(type) || (area.typeMask & type) == 0)
    return refuse(kErrTypeNotAllowed);

  uint16_t wordOrder = 0;
  int16_t length = 0;
  if (type & kWideTypes) {
    const int order = WordOrderSuffix(suffix);
    if (order < 0)
      return refuse(kErrSuffix);
    if (number + 1 > kMaxNumber)
      return refuse(kErrAddressNumber);  // the second register would lie past 65535
    wordOrder = static_cast<uint16_t>(order);
  } else if (type == kTypeString) {
    if (!suffix.empty() && suffix.front() != '.')
      return refuse(kErrSuffix);
    const int64_t n = suffix.empty() ? -1 : DigitsValue(Trim(suffix.substr(1)), kMaxStringLength);
    if (n < 1 || n > kMaxStringLength)
      return refuse(kErrStringLength);
    if (number + ItemWidth(kTypeString, static_cast<int>(n)) - 1 > kMaxNumber)
      return refuse(kErrStringLength);
    length = static_cast<int16_t>(n);
  } else if (!suffix.empty()) {
    return refuse(kErrSuffix);
  }

  if (in->extra != 0 && (index == kAreaDiscreteInputs || index == kAreaInputRegisters))
    return refuse(kErrReadOnly);

  out->area = &area;
  out->areaIndex = static_cast<uint16_t>(index);
  out->dataType = static_cast<int16_t>(type);
  out->dataType2 = type;
  out->bitOrLength = length;
  out->wordOrder = wordOrder;
  // Numbers above 32767 travel as the unsigned reading of this 16-bit field.
  out->byteAddress = static_cast<int16_t>(static_cast<uint16_t>(number));
  out->extra = static_cast<uint16_t>(in->extra);
  return 0;
}

int ItemWidth(uint16_t dataType, int length) {
  switch (dataType) {
    case kTypeBit:
    case kTypeByte:
    case kTypeInt16:
    case kTypeUint16:
    case kTypeBcd16:
      return 1;
    case kTypeInt32:
    case kTypeBcd32:
    case kTypeFloat:
      return 2;
    case kTypeString:
      return length >= 1 && length <= kMaxStringLength ? (length + 1) / 2 : 0;
    default:
      return 0;
  }
}

BOOL CanMergeItem(const DriverItem* item, int32_t writeFlag, RequestGroup* group) {
  if (item == nullptr || group == nullptr)
    return 0;
  // Cheap refusals first: the host offers every item to every group of the station.
  if (writeFlag != 0 || group->writeFlag != 0)
    return 0;
  if (item->station != group->station || item->areaIndex != group->areaIndex ||
      item->areaIndex >= kAreaCount) {
    return 0;
  }
  const uint16_t itemType = static_cast<uint16_t>(item->dataType);
  const uint16_t groupType = static_cast<uint16_t>(group->dataType);
  // A string's bytes are read alone, whether it would join or would be joined.
  if (itemType == kTypeString || groupType == kTypeString)
    return 0;
  // The group's values are decoded in the group's word order.
  if ((itemType & kWideTypes) &&
      (item->wordOrder & kLowWordFirst) != (group->wordOrder & kLowWordFirst))
    return 0;
  // Devices of one unit number on different TCP hosts (or ports) are different devices.
  if (item->stationCopy != nullptr && group->stationBuffer != nullptr &&
      std::strncmp(item->stationCopy->addressText, group->stationBuffer->addressText,
                   sizeof item->stationCopy->addressText) != 0) {
    return 0;
  }

  const int width = ItemWidth(itemType, item->bitOrLength);
  const int32_t first = static_cast<uint16_t>(item->byteAddress);
  const int32_t last = first + width - 1;
  if (width == 0 || first < 1 || last > kMaxNumber)
    return 0;
  const int32_t start = group->startAddress;
  if (start < 1 || start > kMaxNumber || group->endAddress < start)
    return 0;
  // The host opens a group with end == start even when its first item is 32 bits wide.
  int32_t end = group->endAddress;
  if (const int groupWidth = ItemWidth(groupType, group->bitOrLength); start + groupWidth - 1 > end)
    end = start + groupWidth - 1;

  const int32_t newStart = first < start ? first : start;
  const int32_t newEnd = last > end ? last : end;
  const int32_t limit = IsBitArea(item->areaIndex) ? kMaxBitSpan : kMaxRegisterSpan;
  if (newEnd - newStart + 1 > limit)
    return 0;
  group->startAddress = newStart;
  group->endAddress = newEnd;
  return 1;
}

}  // namespace modbus
