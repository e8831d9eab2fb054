#include "tools/ppisim/sim_memory.h"

#include <algorithm>
#include <charconv>
#include <cmath>
#include <cstdio>
#include <cstring>

namespace ppisim {
namespace {

std::string_view Trim(std::string_view text) {
  while (!text.empty() && (text.front() == ' ' || text.front() == '\t'))
    text.remove_prefix(1);
  while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) {
    text.remove_suffix(1);
  }
  return text;
}

}  // namespace

bool ParseInteger(std::string_view text, int64_t* value) {
  text = Trim(text);
  bool negative = false;
  if (!text.empty() && (text.front() == '-' || text.front() == '+')) {
    negative = text.front() == '-';
    text.remove_prefix(1);
  }
  int base = 10;
  if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
    base = 16;
    text.remove_prefix(2);
  }
  if (text.empty())
    return false;
  uint64_t magnitude = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), magnitude, base);
  if (ec != std::errc() || end != text.data() + text.size())
    return false;
  if (magnitude > (uint64_t{1} << 62))
    return false;
  *value = negative ? -static_cast<int64_t>(magnitude) : static_cast<int64_t>(magnitude);
  return true;
}

namespace {

bool ParseDouble(std::string_view text, double* value) {
  text = Trim(text);
  if (!text.empty() && text.front() == '+')
    text.remove_prefix(1);
  if (text.empty())
    return false;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), *value);
  return ec == std::errc() && end == text.data() + text.size();
}

size_t FixedSize(ValueType type) {
  switch (type) {
    case ValueType::kBit:
    case ValueType::kByte:
      return 1;
    case ValueType::kWord:
    case ValueType::kInt:
      return 2;
    case ValueType::kDword:
    case ValueType::kFloat:
      return 4;
    case ValueType::kString:
      return 0;
  }
  return 0;
}

// The low `size` bytes of `raw`, high byte first.
std::vector<uint8_t> BigEndian(uint32_t raw, size_t size) {
  std::vector<uint8_t> bytes(size);
  for (size_t k = 0; k < size; ++k)
    bytes[k] = static_cast<uint8_t>(raw >> (8 * (size - 1 - k)));
  return bytes;
}

uint32_t FloatBits(float f) {
  uint32_t bits;
  std::memcpy(&bits, &f, sizeof bits);
  return bits;
}

bool CheckPlace(const Location& location, ValueType type, std::string* error) {
  if (type == ValueType::kBit && location.bit < 0) {
    *error = "a bit needs an address with a bit number (Q0.1)";
    return false;
  }
  if (type != ValueType::kBit && location.bit >= 0) {
    *error = "only type x takes an address with a bit number";
    return false;
  }
  return true;
}

}  // namespace

bool AreaFromCode(uint8_t code, Area* area) {
  switch (code) {
    case 0x04:
    case 0x05:
    case 0x06:
    case 0x07:
    case 0x81:
    case 0x82:
    case 0x83:
    case 0x84:
      *area = static_cast<Area>(code);
      return true;
    default:
      return false;
  }
}

size_t AreaSize(Area area) {
  switch (area) {
    case Area::kV:
      return kVSize;
    case Area::kSM:
      return kSmSize;
    case Area::kS:
      return kSSize;
    case Area::kAI:
    case Area::kAQ:
      return kAnalogSize;
    default:
      return kIqmSize;
  }
}

int AreaIndex(Area area) {
  switch (area) {
    case Area::kV:
      return 0;
    case Area::kI:
      return 1;
    case Area::kQ:
      return 2;
    case Area::kM:
      return 3;
    case Area::kSM:
      return 4;
    case Area::kS:
      return 5;
    case Area::kAI:
      return 6;
    case Area::kAQ:
      return 7;
  }
  return 0;
}

const char* AreaName(Area area) {
  static const char* const kNames[kAreaCount] = {"V", "I", "Q", "M", "SM", "S", "AIW", "AQW"};
  return kNames[AreaIndex(area)];
}

bool IsWordArea(Area area) {
  return area == Area::kAI || area == Area::kAQ;
}

Memory::Memory()
    : v_(kVSize),
      i_(kIqmSize),
      q_(kIqmSize),
      m_(kIqmSize),
      sm_(kSmSize),
      s_(kSSize),
      ai_(kAnalogSize),
      aq_(kAnalogSize) {}

std::vector<uint8_t>* Memory::Bytes(Area area, uint16_t db) {
  switch (area) {
    case Area::kI:
      return &i_;
    case Area::kQ:
      return &q_;
    case Area::kM:
      return &m_;
    case Area::kSM:
      return &sm_;
    case Area::kS:
      return &s_;
    case Area::kAI:
      return &ai_;
    case Area::kAQ:
      return &aq_;
    case Area::kV:
      break;
  }
  if (db <= 1)
    return &v_;
  auto it = dbs_.find(db);
  return it != dbs_.end() ? &it->second : nullptr;
}

const std::vector<uint8_t>* Memory::Bytes(Area area, uint16_t db) const {
  return const_cast<Memory*>(this)->Bytes(area, db);
}

bool Memory::AddDb(uint32_t db, size_t size) {
  if (db < 2 || db > kMaxDb || size == 0 || size > kVSize)
    return false;
  dbs_[static_cast<uint16_t>(db)].resize(size);
  return true;
}

bool Memory::Has(Area area, uint16_t db) const {
  return Bytes(area, db) != nullptr;
}

size_t Memory::Size(Area area, uint16_t db) const {
  const auto* bytes = Bytes(area, db);
  return bytes != nullptr ? bytes->size() : 0;
}

std::vector<std::pair<uint16_t, size_t>> Memory::DataBlocks() const {
  std::vector<std::pair<uint16_t, size_t>> blocks;
  for (const auto& [number, bytes] : dbs_)
    blocks.emplace_back(number, bytes.size());
  return blocks;
}

bool Memory::Read(Area area, uint32_t address, std::span<uint8_t> out, uint16_t db) const {
  const auto* bytes = Bytes(area, db);
  // Compared in 64 bits so that an address near 2^32 cannot wrap into range.
  if (bytes == nullptr || uint64_t{address} + out.size() > bytes->size())
    return false;
  std::copy_n(bytes->begin() + address, out.size(), out.begin());
  return true;
}

bool Memory::Write(Area area, uint32_t address, std::span<const uint8_t> data, uint16_t db) {
  auto* bytes = Bytes(area, db);
  if (bytes == nullptr || uint64_t{address} + data.size() > bytes->size())
    return false;
  std::copy(data.begin(), data.end(), bytes->begin() + address);
  return true;
}

bool Memory::ReadBit(Area area, uint32_t bitAddress, bool* value, uint16_t db) const {
  const auto* bytes = Bytes(area, db);
  if (bytes == nullptr || bitAddress / 8 >= bytes->size())
    return false;
  *value = ((*bytes)[bitAddress / 8] >> (bitAddress % 8)) & 1;
  return true;
}

bool Memory::WriteBit(Area area, uint32_t bitAddress, bool value, uint16_t db) {
  auto* bytes = Bytes(area, db);
  if (bytes == nullptr || bitAddress / 8 >= bytes->size())
    return false;
  uint8_t& byte = (*bytes)[bitAddress / 8];
  const uint8_t mask = static_cast<uint8_t>(1u << (bitAddress % 8));
  byte = value ? (byte | mask) : (byte & ~mask);
  return true;
}

bool ParseValueType(std::string_view text, ValueType* type) {
  text = Trim(text);
  if (text.size() != 1)
    return false;
  switch (text[0] | 0x20) {  // either case
    case 'x':
      *type = ValueType::kBit;
      return true;
    case 'b':
      *type = ValueType::kByte;
      return true;
    case 'w':
      *type = ValueType::kWord;
      return true;
    case 'i':
      *type = ValueType::kInt;
      return true;
    case 'd':
      *type = ValueType::kDword;
      return true;
    case 'f':
      *type = ValueType::kFloat;
      return true;
    case 's':
      *type = ValueType::kString;
      return true;
    default:
      return false;
  }
}

char ValueTypeLetter(ValueType type) {
  switch (type) {
    case ValueType::kBit:
      return 'x';
    case ValueType::kByte:
      return 'b';
    case ValueType::kWord:
      return 'w';
    case ValueType::kInt:
      return 'i';
    case ValueType::kDword:
      return 'd';
    case ValueType::kFloat:
      return 'f';
    case ValueType::kString:
      return 's';
  }
  return '?';
}

bool ParseLocation(std::string_view text, Location* location) {
  text = Trim(text);
  if (text.size() < 2)
    return false;
  Location parsed;
  // A data block: "DB" n "." "DB" and a width letter, then the byte as for the other areas.
  auto upper = [](char c) { return static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c); };
  if (text.size() > 2 && upper(text[0]) == 'D' && upper(text[1]) == 'B' && text[2] >= '0' &&
      text[2] <= '9') {
    const size_t dot = text.find('.');
    uint32_t db = 0;
    auto [end, ec] = std::from_chars(text.data() + 2, text.data() + std::min(dot, text.size()), db);
    if (dot == std::string_view::npos || ec != std::errc() || end != text.data() + dot || db < 1 ||
        db > kMaxDb)
      return false;
    std::string_view rest = text.substr(dot + 1);
    if (rest.size() < 4 || upper(rest[0]) != 'D' || upper(rest[1]) != 'B' ||
        std::string_view("XBWD").find(upper(rest[2])) == std::string_view::npos)
      return false;
    const bool bitForm = upper(rest[2]) == 'X';
    rest.remove_prefix(3);
    Location inner;
    // The byte and bit read like a V address; V memory is as large as a data block can be.
    if (!ParseLocation("V" + std::string(rest), &inner) || bitForm != (inner.bit >= 0))
      return false;
    inner.db = static_cast<uint16_t>(db);
    *location = inner;
    return true;
  }
  // Longer names first: "SM" before "S".
  static constexpr Area kByName[] = {Area::kAI, Area::kAQ, Area::kSM, Area::kV,
                                     Area::kI,  Area::kQ,  Area::kM,  Area::kS};
  bool named = false;
  for (Area area : kByName) {
    const std::string_view name = AreaName(area);
    if (text.size() <= name.size())
      continue;
    bool same = true;
    for (size_t k = 0; k < name.size(); ++k)
      same = same && (text[k] & ~0x20) == name[k];  // either case
    if (same) {
      parsed.area = area;
      text.remove_prefix(name.size());
      named = true;
      break;
    }
  }
  if (!named)
    return false;
  std::string_view byteText = text;
  const size_t dot = text.find('.');
  if (dot != std::string_view::npos) {
    byteText = text.substr(0, dot);
    std::string_view bitText = text.substr(dot + 1);
    if (bitText.size() != 1 || bitText[0] < '0' || bitText[0] > '7')
      return false;
    parsed.bit = bitText[0] - '0';
  }
  uint32_t byte = 0;
  auto [end, ec] = std::from_chars(byteText.data(), byteText.data() + byteText.size(), byte);
  if (byteText.empty() || ec != std::errc() || end != byteText.data() + byteText.size()) {
    return false;
  }
  if (byte >= AreaSize(parsed.area))
    return false;
  parsed.byte = byte;
  *location = parsed;
  return true;
}

std::string FormatLocation(const Location& location) {
  char text[40];
  if (location.area == Area::kV && location.db > 1) {
    if (location.bit >= 0)
      std::snprintf(text, sizeof text, "DB%u.DBX%u.%d", location.db, location.byte, location.bit);
    else
      std::snprintf(text, sizeof text, "DB%u.DBB%u", location.db, location.byte);
    return text;
  }
  if (location.bit >= 0) {
    std::snprintf(text, sizeof text, "%s%u.%d", AreaName(location.area), location.byte,
                  location.bit);
  } else {
    std::snprintf(text, sizeof text, "%s%u", AreaName(location.area), location.byte);
  }
  return text;
}

bool StoreValue(Memory& memory, const Location& location, ValueType type, std::string_view text,
                std::string* error) {
  if (!CheckPlace(location, type, error))
    return false;
  std::vector<uint8_t> bytes;
  int64_t integer = 0;
  switch (type) {
    case ValueType::kBit:
      if (!ParseInteger(text, &integer) || (integer != 0 && integer != 1)) {
        *error = "a bit is 0 or 1";
        return false;
      }
      if (!memory.WriteBit(location.area, location.byte * 8 + location.bit, integer != 0,
                           location.db)) {
        *error = "address outside the area";
        return false;
      }
      return true;
    case ValueType::kByte:
      if (!ParseInteger(text, &integer) || integer < -128 || integer > 255) {
        *error = "a byte is -128..255";
        return false;
      }
      bytes = BigEndian(static_cast<uint32_t>(integer), 1);
      break;
    case ValueType::kWord:
    case ValueType::kInt:
      if (!ParseInteger(text, &integer) || integer < -32768 || integer > 65535) {
        *error = "a 16-bit value is -32768..65535";
        return false;
      }
      bytes = BigEndian(static_cast<uint32_t>(integer), 2);
      break;
    case ValueType::kDword:
      if (!ParseInteger(text, &integer) || integer < INT32_MIN || integer > int64_t{UINT32_MAX}) {
        *error = "a 32-bit value is -2147483648..4294967295";
        return false;
      }
      bytes = BigEndian(static_cast<uint32_t>(integer), 4);
      break;
    case ValueType::kFloat: {
      double real = 0;
      if (!ParseDouble(text, &real)) {
        *error = "not a number";
        return false;
      }
      bytes = BigEndian(FloatBits(static_cast<float>(real)), 4);
      break;
    }
    case ValueType::kString:
      bytes.assign(text.begin(), text.end());
      bytes.push_back(0);  // terminated, so that a read of the string's length + 1 ends in 0
      break;
  }
  if (!memory.Write(location.area, location.byte, bytes, location.db)) {
    *error = "value runs past the end of the area";
    return false;
  }
  return true;
}

bool LoadValue(const Memory& memory, const Location& location, ValueType type, size_t stringLength,
               std::string* text, std::string* error) {
  if (!CheckPlace(location, type, error))
    return false;
  char buffer[64];
  if (type == ValueType::kBit) {
    bool bit = false;
    if (!memory.ReadBit(location.area, location.byte * 8 + location.bit, &bit, location.db)) {
      *error = "address outside the area";
      return false;
    }
    *text = bit ? "1" : "0";
    return true;
  }
  if (type == ValueType::kString) {
    const size_t size = memory.Size(location.area, location.db);
    const size_t room = size > location.byte ? size - location.byte : 0;
    size_t length = stringLength == 0 ? 254 : stringLength;
    if (length > room) {
      if (stringLength != 0) {
        *error = "string runs past the end of the area";
        return false;
      }
      length = room;
    }
    std::vector<uint8_t> bytes(length);
    if (!memory.Read(location.area, location.byte, bytes, location.db)) {
      *error = "address outside the area";
      return false;
    }
    text->clear();
    for (uint8_t c : bytes) {
      if (c == 0)
        break;
      text->push_back(static_cast<char>(c));
    }
    return true;
  }
  uint8_t bytes[4] = {};
  const size_t size = FixedSize(type);
  if (!memory.Read(location.area, location.byte, std::span<uint8_t>(bytes, size), location.db)) {
    *error = "value runs past the end of the area";
    return false;
  }
  uint32_t raw = 0;
  for (size_t k = 0; k < size; ++k)
    raw = (raw << 8) | bytes[k];
  switch (type) {
    case ValueType::kByte:
    case ValueType::kWord:
      std::snprintf(buffer, sizeof buffer, "%u", raw);
      break;
    case ValueType::kInt:
      std::snprintf(buffer, sizeof buffer, "%d", static_cast<int16_t>(raw));
      break;
    case ValueType::kDword:
      std::snprintf(buffer, sizeof buffer, "%d", static_cast<int32_t>(raw));
      break;
    case ValueType::kFloat: {
      float real;
      std::memcpy(&real, &raw, sizeof real);
      std::snprintf(buffer, sizeof buffer, "%.9g", static_cast<double>(real));
      break;
    }
    default:
      buffer[0] = 0;
  }
  *text = buffer;
  return true;
}

bool StoreNumber(Memory& memory, const Location& location, ValueType type, double value) {
  std::string error;
  if (type == ValueType::kString || !CheckPlace(location, type, &error))
    return false;
  if (type == ValueType::kBit) {
    return memory.WriteBit(location.area, location.byte * 8 + location.bit, value >= 0.5,
                           location.db);
  }
  if (type == ValueType::kFloat) {
    return memory.Write(location.area, location.byte,
                        BigEndian(FloatBits(static_cast<float>(value)), 4), location.db);
  }
  if (!std::isfinite(value))
    value = 0;
  // Wrapped through 64 bits so that an out-of-range value keeps its low bits instead of
  // converting with undefined behaviour.
  const double clamped = std::fmax(std::fmin(std::round(value), 9.0e18), -9.0e18);
  const uint32_t raw = static_cast<uint32_t>(static_cast<int64_t>(clamped));
  return memory.Write(location.area, location.byte, BigEndian(raw, FixedSize(type)), location.db);
}

bool ParseGenerator(Generator::Kind kind, std::string_view text, Generator* out,
                    std::string* error) {
  std::vector<std::string_view> fields;
  size_t start = 0;
  while (true) {
    const size_t colon = text.find(':', start);
    fields.push_back(text.substr(start, colon == std::string_view::npos ? colon : colon - start));
    if (colon == std::string_view::npos)
      break;
    start = colon + 1;
  }
  if (fields.size() != 5) {
    *error = "expected LOCATION:TYPE:A:B:C";
    return false;
  }
  Generator generator;
  generator.kind = kind;
  if (!ParseLocation(fields[0], &generator.location)) {
    *error = "bad address";
    return false;
  }
  if (!ParseValueType(fields[1], &generator.type) || generator.type == ValueType::kString) {
    *error = "type must be one of x b w i d f";
    return false;
  }
  if (!CheckPlace(generator.location, generator.type, error))
    return false;
  if (generator.location.byte + FixedSize(generator.type) > AreaSize(generator.location.area)) {
    *error = "value runs past the end of the area";
    return false;
  }
  if (!ParseDouble(fields[2], &generator.a) || !ParseDouble(fields[3], &generator.b) ||
      !ParseDouble(fields[4], &generator.c)) {
    *error = "A, B and C must be numbers";
    return false;
  }
  if (!std::isfinite(generator.a) || !std::isfinite(generator.b) || !(generator.c > 0) ||
      !std::isfinite(generator.c)) {
    *error = kind == Generator::Kind::kRamp ? "the step must be positive"
                                            : "the period must be positive";
    return false;
  }
  *out = generator;
  return true;
}

double GeneratorValue(const Generator& generator, double seconds) {
  if (seconds < 0)
    seconds = 0;
  if (generator.kind == Generator::Kind::kSine) {
    return generator.b + generator.a * std::sin(2 * M_PI * seconds / generator.c);
  }
  const double distance = std::fabs(generator.b - generator.a);
  // Number of values on the way, both ends included; the small epsilon keeps 0..1000 step 0.1
  // from losing its last value to rounding.
  const double values = std::floor(distance / generator.c + 1e-9) + 1;
  const double stepIndex = std::fmod(std::floor(seconds), values);
  const double direction = generator.b >= generator.a ? 1 : -1;
  return generator.a + direction * generator.c * stepIndex;
}

}  // namespace ppisim
