// Fuzz target of the Modbus driver's address rules: the tag address texts of the tag editor
// (ConvertUserConfigToVar), the station texts of the device wizard (ParseStation,
// ParseStationAddress) and the merge rule fed with what the parser accepts (CanMergeItem).
//
// Input: byte 0 chooses the mode (bit 7: station text; else bits 0..3 the first tag's type, bit 4
// the write flag, bits 5..6 the device model: none, RTU, TCP in another case with blanks, or an
// unknown one), byte 1 the second tag's type (bits 0..3); the rest is the text. In tag mode the
// text holds one or two address texts, split at the first '\n'.
//
// Properties:
//  - an accepted tag address gives an item inside the area table, of the requested type, with a
//    number 1..65535 whose last register is still inside the area, a word order only for 32-bit
//    types, a length only for strings, no write to a read-only area; written back as text (area,
//    number, "L" for low word first, ".length") it parses to the same item;
//  - a refusal sets LastError to one of the tag codes; an unknown model is always refused;
//  - nothing depends on the bytes after the text's NUL;
//  - two accepted tags merged by CanMergeItem give the tight span over both, within 125 registers
//    or 2000 bits; a refusal leaves the group as it was;
//  - an accepted station text is serial exactly when it is digits alone (1..247), and its
//    normalised text parses to the same station and the same normalised text again;
//    ParseStationAddress stores that text, NUL-padded, when it fits 63 bytes.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/testing/fuzz_check.h"
#include "drivers/modbus/modbus_address.h"

namespace {

using fuzz_check::kUnsetError;
using fuzz_check::ParsedAddress;
constexpr const char* kModels[] = {"", "ZireviVER", "  modbustcp ", "ModbusRTU"};
constexpr int kUnknownModel = 3;

uint16_t TypeOf(uint8_t selector) {
  const unsigned shift = selector & 0x0F;
  // 15 stands for a flag word of two types at once, which no rule may accept.
  return shift == 15 ? static_cast<uint16_t>(modbus::kTypeInt16 | modbus::kTypeInt32)
                     : static_cast<uint16_t>(1u << shift);
}

bool IsWide(uint16_t type) {
  return type == modbus::kTypeInt32 || type == modbus::kTypeBcd32 || type == modbus::kTypeFloat;
}

TagAddressInput MakeInput(std::string_view text, uint16_t type, int16_t extra, int model) {
  return fuzz_check::MakeAddressInput(text, type, extra, kModels[model]);
}

ParsedAddress Parse(const TagAddressInput& in) {
  return fuzz_check::ParseAddress(
      [](const TagAddressInput* input, DriverItem* item, int32_t& error) {
        return modbus::ConvertUserConfigToVar(input, item, error);
      },
      in);
}

std::string Format(const DriverItem& item) {
  std::string text = item.area->name;
  text += std::to_string(static_cast<uint16_t>(item.byteAddress));
  if ((item.wordOrder & modbus::kLowWordFirst) != 0)
    text += 'L';
  if (item.dataType2 == modbus::kTypeString) {
    text += '.';
    text += std::to_string(item.bitOrLength);
  }
  return text;
}

bool CheckTag(std::string_view text, uint16_t type, int16_t extra, int model,
              DriverItem* accepted) {
  const TagAddressInput in = MakeInput(text, type, extra, model);
  const ParsedAddress p = Parse(in);
  FUZZ_CHECK(p.result == 0 || p.result == 1);

  TagAddressInput noisy = in;
  const std::size_t used = strnlen(in.address, sizeof in.address);
  if (used + 1 < sizeof noisy.address)
    std::memset(noisy.address + used + 1, 'X', sizeof noisy.address - used - 1);
  const ParsedAddress again = Parse(noisy);
  FUZZ_CHECK(again.result == p.result && again.lastError == p.lastError);
  FUZZ_CHECK(std::memcmp(&again.item, &p.item, sizeof p.item) == 0);

  if (model == kUnknownModel)
    FUZZ_CHECK(p.result == 1 && p.lastError == modbus::kErrUnknownModel);
  if (p.result != 0) {
    FUZZ_CHECK(p.lastError >= modbus::kErrAddressEmpty && p.lastError <= modbus::kErrUnknownModel);
    return false;
  }
  FUZZ_CHECK(p.lastError == kUnsetError);

  const DriverItem& item = p.item;
  FUZZ_CHECK(item.areaIndex < modbus::kAreaCount);
  const AddressArea& area = modbus::AreaTable()[item.areaIndex];
  FUZZ_CHECK(item.area == &area);
  FUZZ_CHECK(static_cast<uint16_t>(item.dataType) == type && item.dataType2 == type);
  FUZZ_CHECK((type & (type - 1)) == 0 && (area.typeMask & type) != 0);
  FUZZ_CHECK(item.extra == static_cast<uint16_t>(extra));
  if (extra != 0) {
    FUZZ_CHECK(item.areaIndex != modbus::kAreaDiscreteInputs &&
               item.areaIndex != modbus::kAreaInputRegisters);
  }
  const int32_t number = static_cast<uint16_t>(item.byteAddress);
  const int width = modbus::ItemWidth(type, item.bitOrLength);
  FUZZ_CHECK(width >= 1);
  FUZZ_CHECK(number >= 1 && number + width - 1 <= 65535);
  FUZZ_CHECK(item.wordOrder == 0 || (item.wordOrder == modbus::kLowWordFirst && IsWide(type)));
  if (type == modbus::kTypeString)
    FUZZ_CHECK(item.bitOrLength >= 1 && item.bitOrLength <= modbus::kMaxStringLength);
  else
    FUZZ_CHECK(item.bitOrLength == 0);

  const std::string canonical = Format(item);
  const ParsedAddress back = Parse(MakeInput(canonical, type, extra, model));
  if (back.result != 0) {
    std::fprintf(stderr, "written back as \"%s\", refused with %d\n", canonical.c_str(),
                 back.lastError);
  }
  FUZZ_CHECK(back.result == 0);
  FUZZ_CHECK(std::memcmp(&back.item, &item, sizeof item) == 0);
  *accepted = item;
  return true;
}

// The host opens a group from `first` with start == end == its number and offers `second`.
void CheckMerge(const DriverItem& first, const DriverItem& second) {
  RequestGroup group{};
  group.area = first.area;
  group.areaIndex = first.areaIndex;
  group.dataType = first.dataType;
  group.bitOrLength = first.bitOrLength;
  group.wordOrder = first.wordOrder;
  group.startAddress = group.endAddress = static_cast<uint16_t>(first.byteAddress);
  group.items.count = 1;
  const RequestGroup before = group;
  const BOOL merged = modbus::CanMergeItem(&second, 0, &group);
  FUZZ_CHECK(merged == 0 || merged == 1);
  if (merged == 0) {
    FUZZ_CHECK(std::memcmp(&group, &before, sizeof group) == 0);
    return;
  }
  const uint16_t typeA = first.dataType2;
  const uint16_t typeB = second.dataType2;
  FUZZ_CHECK(first.areaIndex == second.areaIndex);
  FUZZ_CHECK(typeA != modbus::kTypeString && typeB != modbus::kTypeString);
  if (IsWide(typeB))
    FUZZ_CHECK((first.wordOrder & 1) == (second.wordOrder & 1));
  const int32_t a = static_cast<uint16_t>(first.byteAddress);
  const int32_t b = static_cast<uint16_t>(second.byteAddress);
  const int32_t endA = a + modbus::ItemWidth(typeA, first.bitOrLength) - 1;
  const int32_t endB = b + modbus::ItemWidth(typeB, second.bitOrLength) - 1;
  FUZZ_CHECK(group.startAddress == std::min(a, b));
  FUZZ_CHECK(group.endAddress == std::max(endA, endB));
  const bool bits =
      first.areaIndex == modbus::kAreaCoils || first.areaIndex == modbus::kAreaDiscreteInputs;
  FUZZ_CHECK(group.endAddress - group.startAddress + 1 <= (bits ? 2000 : 125));
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && (s.front() == ' ' || s.front() == '\t'))
    s.remove_prefix(1);
  while (!s.empty() && (s.back() == ' ' || s.back() == '\t'))
    s.remove_suffix(1);
  return s;
}

void CheckStation(std::string_view bytes) {
  const std::string text(bytes.substr(0, bytes.find('\0')));
  modbus::Station station;
  std::string normalised;
  int32_t lastError = kUnsetError;
  const bool ok = modbus::ParseStation(text.c_str(), station, normalised, lastError);

  StationInfo info{};
  std::memset(info.addressText, 0xAA, sizeof info.addressText);
  int32_t infoError = kUnsetError;
  const BOOL stored = modbus::ParseStationAddress(text.c_str(), &info, infoError);
  FUZZ_CHECK(stored == ((ok && normalised.size() < sizeof info.addressText) ? 1 : 0));

  if (!ok) {
    FUZZ_CHECK(lastError == modbus::kErrStationText || lastError == modbus::kErrStationRange);
    FUZZ_CHECK(infoError == lastError);
    return;
  }
  FUZZ_CHECK(lastError == kUnsetError && !normalised.empty());
  const std::string_view t = Trimmed(text);
  const bool digits = std::all_of(t.begin(), t.end(), [](char c) { return c >= '0' && c <= '9'; });
  FUZZ_CHECK(station.tcp == !digits);
  if (!station.tcp) {
    FUZZ_CHECK(station.unit >= 1 && station.unit <= 247);
    FUZZ_CHECK(normalised == std::to_string(station.unit));
  } else {
    FUZZ_CHECK(station.endpoint.port >= 1 && !station.endpoint.host.empty());
    const std::string tail =
        ":" + std::to_string(station.endpoint.port) + "#" + std::to_string(station.unit);
    FUZZ_CHECK(normalised.ends_with(tail));
  }

  // The normalised text is a fixed point: it names the same station and normalises to itself.
  modbus::Station again;
  std::string renormalised;
  int32_t againError = kUnsetError;
  const bool reparsed = modbus::ParseStation(normalised.c_str(), again, renormalised, againError);
  if (!reparsed) {
    std::fprintf(stderr, "normalised \"%s\" refused with %d\n", normalised.c_str(), againError);
  }
  FUZZ_CHECK(reparsed);
  FUZZ_CHECK(renormalised == normalised);
  FUZZ_CHECK(again.tcp == station.tcp && again.unit == station.unit);
  FUZZ_CHECK(again.endpoint.host == station.endpoint.host &&
             again.endpoint.port == station.endpoint.port);

  if (stored == 1) {
    FUZZ_CHECK(infoError == kUnsetError);
    FUZZ_CHECK(info.stationNumber == station.unit);
    FUZZ_CHECK(std::memcmp(info.addressText, normalised.data(), normalised.size()) == 0);
    for (std::size_t i = normalised.size(); i < sizeof info.addressText; ++i)
      FUZZ_CHECK(info.addressText[i] == 0);
  } else {
    FUZZ_CHECK(infoError == modbus::kErrStationText);
  }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2)
    return 0;
  const uint8_t mode = data[0];
  const std::string_view text(reinterpret_cast<const char*>(data + 2), size - 2);
  if ((mode & 0x80) != 0) {
    CheckStation(text);
    return 0;
  }
  const int16_t extra = (mode & 0x10) != 0 ? 1 : 0;
  const int model = (mode >> 5) & 0x03;
  const std::size_t newline = text.find('\n');
  DriverItem first{};
  const bool firstOk = CheckTag(text.substr(0, newline), TypeOf(mode), extra, model, &first);
  if (newline == std::string_view::npos)
    return 0;
  DriverItem second{};
  const bool secondOk = CheckTag(text.substr(newline + 1), TypeOf(data[1]), extra, model, &second);
  if (firstOk && secondOk)
    CheckMerge(first, second);
  return 0;
}
