#include "drivers/s7tcp/s7tcp_address.h"

#include "drivers/s7common/s7_areas.h"

#include <cstring>

namespace s7tcp {
namespace {

using s7::kTypeBit;
using s7::kTypeByte;
using s7::kTypeFloat;
using s7::kTypeInt16;
using s7::kTypeInt32;
using s7::kTypeString;
using s7::kTypeUint16;
using s7::Memory;

using s7::kAllTypes;
using s7::kDwordTypes;
using s7::kWordTypes;

// The order is the area index; the host keeps this pointer, so the table is static: the S7-200
// memories, then the data blocks. The number after "DB" is the block, so the host takes a data
// block item's byte address from ConvertUserConfigToVar.
constexpr AddressArea kOwnAreas[] = {{"DB", 1, 65535, kAllTypes, kAreaAddressFromDriver}};
constexpr s7::AreaInfo kOwnInfo[] = {{Memory::kDb, 0x84, 0, 0, false}};
constexpr auto kAreas = s7::MemoryAreasAnd(s7::kMemoryAreas, kOwnAreas);
constexpr auto kInfo = s7::MemoryAreasAnd(s7::kMemoryAreaInfo, kOwnInfo);
static_assert(kAreas.size() == kAreaCount && kAreaV == s7::kMemoryAreaV);

// The address inside a data block, after "DB" n ".". DBX is the plain entry.
constexpr AddressArea kDbAreas[] = {
    {"DBB", 0, 65535, kTypeByte, 0},
    {"DBW", 0, 65534, kWordTypes, 0},
    {"DBD", 0, 65532, kDwordTypes, 0},
    {"DBX", 0, 65535, kAllTypes, 0},
};
constexpr s7::AreaInfo kDbInfo[] = {
    {Memory::kDb, 0x84, 0, 1, false},
    {Memory::kDb, 0x84, 0, 2, false},
    {Memory::kDb, 0x84, 0, 4, false},
    {Memory::kDb, 0x84, 0, 0, false},
};
constexpr int kDbPlain = 3;

static_assert(s7::WidthEntriesFirst(kAreas),
              "a shorter area name before a longer one that it starts");

bool ReadDecimal(std::string_view text, int64_t low, int64_t high, int64_t* value) {
  text = s7::TrimBlanks(text);
  if (text.empty() || text.size() > 10)
    return false;
  int64_t v = 0;
  for (char c : text) {
    if (c < '0' || c > '9')
      return false;
    v = v * 10 + (c - '0');
  }
  if (v < low || v > high)
    return false;
  *value = v;
  return true;
}

bool HostCharacter(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || c == '.' ||
         c == '-' || c == '_' || c == ':';
}

}  // namespace

const AddressArea* AreaTable() {
  return kAreas.data();
}

const s7::AreaInfo* AreaInfoOf(int areaIndex) {
  return areaIndex >= 0 && areaIndex < kAreaCount ? &kInfo[areaIndex] : nullptr;
}

bool FamilyOf(std::string_view model, Family* family) {
  if (model == kModel200)
    *family = Family::k200;
  else if (model == kModel300)
    *family = Family::k300;
  else if (model == kModel1200)
    *family = Family::k1200;
  else
    return false;
  return true;
}

int32_t ParseStation(std::string_view text, Station* out) {
  // The last two commas separate rack and slot; an IPv6 host has colons, never commas.
  const std::size_t second = text.rfind(',');
  if (second == std::string_view::npos || second == 0)
    return kErrStationText;
  const std::size_t first = text.rfind(',', second - 1);
  if (first == std::string_view::npos)
    return kErrStationText;
  Station parsed;
  int64_t rack = 0, slot = 0, port = 102;
  if (!ReadDecimal(text.substr(first + 1, second - first - 1), 0, 7, &rack) ||
      !ReadDecimal(text.substr(second + 1), 0, 31, &slot))
    return kErrStationText;
  std::string_view host = s7::TrimBlanks(text.substr(0, first));
  if (!host.empty() && host.front() == '[') {
    const std::size_t close = host.find(']');
    if (close == std::string_view::npos)
      return kErrStationText;
    std::string_view rest = host.substr(close + 1);
    host = host.substr(1, close - 1);
    if (!rest.empty() && (rest.front() != ':' || !ReadDecimal(rest.substr(1), 1, 65535, &port)))
      return kErrStationText;
  } else if (const std::size_t colon = host.find(':');
             colon != std::string_view::npos &&
             host.find(':', colon + 1) == std::string_view::npos) {
    // One colon: host and port. Several: an IPv6 address without brackets and without a port.
    if (!ReadDecimal(host.substr(colon + 1), 1, 65535, &port))
      return kErrStationText;
    host = host.substr(0, colon);
  }
  if (host.empty())
    return kErrStationText;
  for (char c : host) {
    if (!HostCharacter(c))
      return kErrStationText;
  }
  parsed.host = std::string(host);
  parsed.port = static_cast<uint16_t>(port);
  parsed.rack = static_cast<int>(rack);
  parsed.slot = static_cast<int>(slot);
  *out = std::move(parsed);
  return 0;
}

bool TsapsFor(Family family, const Station& station, Tsaps* out) {
  const auto rackSlot = static_cast<uint16_t>(station.rack * 32 + station.slot);
  switch (family) {
    case Family::k200:
      // The S7-200's Ethernet successors take a fixed pair of TSAPs: CPU rack 0, slot 1.
      if (station.rack != 0 || station.slot != 1)
        return false;
      *out = {0x0101, 0x0101};
      return true;
    case Family::k300:
      // A PG connection to the CPU in rack 0..7, slot 1..31 (slot 2 in most racks).
      if (station.slot < 1)
        return false;
      *out = {0x0100, static_cast<uint16_t>(0x0100 | rackSlot)};
      return true;
    case Family::k1200:
      // An S7 basic connection to the CPU, always rack 0, slot 0 or 1.
      if (station.rack != 0 || station.slot > 1)
        return false;
      *out = {0x0100, static_cast<uint16_t>(0x0300 | rackSlot)};
      return true;
  }
  return false;
}

BOOL ParseStationAddress(const char* text, StationInfo* out, int32_t& lastError) {
  if (text == nullptr || out == nullptr)
    return 0;
  const std::size_t length = strnlen(text, sizeof out->addressText);
  Station station;
  if (length >= sizeof out->addressText || ParseStation({text, length}, &station) != 0) {
    lastError = kErrStationText;
    return 0;
  }
  out->stationNumber = station.rack * 32 + station.slot;
  std::memset(out->addressText, 0, sizeof out->addressText);
  std::memcpy(out->addressText, text, length);
  return 1;
}

uint16_t ConvertUserConfigToVar(const TagAddressInput* in, DriverItem* out, int32_t& lastError) {
  if (in == nullptr || out == nullptr)
    return 1;
  const std::string_view text =
      s7::TrimBlanks(std::string_view(in->address, strnlen(in->address, sizeof in->address)));
  const auto type = static_cast<uint16_t>(in->dataType);
  if (text.empty()) {
    lastError = s7::kErrAddressEmpty;
    return 1;
  }
  s7::ParsedAddress parsed;
  int index = 0;
  uint16_t db = 0;
  if (text.starts_with("DB")) {
    // "DB" n "." then the address inside the block.
    const s7::Number number = s7::ReadNumber(text.substr(2));
    const std::string_view rest = text.substr(2 + number.length);
    if (!number.digits || number.value < 1 || number.value > 65535 || rest.empty() ||
        rest.front() != '.' || text[2] == ' ' || text[2] == '+' || text[2] == '-') {
      lastError = kErrDbNumber;
      return 1;
    }
    const int32_t code =
        s7::ParseAddress(rest.substr(1), type, kDbAreas, kDbInfo, kDbPlain, true, &parsed);
    if (code != s7::kErrNone) {
      lastError = code == s7::kErrNoArea ? s7::kErrAddressForm : code;
      return 1;
    }
    index = kAreaDb;
    db = static_cast<uint16_t>(number.value);
  } else {
    const int32_t code = s7::ParseAddress(text, type, kAreas, kInfo, kAreaV, true, &parsed);
    if (code == s7::kErrNoArea)
      return 1;  // no area of this driver: no code of its own
    if (code != s7::kErrNone) {
      lastError = code;
      return 1;
    }
    index = parsed.index;
  }
  out->area = &kAreas[index];
  out->areaIndex = static_cast<uint16_t>(index);
  out->dataType = in->dataType;
  out->dataType2 = type;
  out->byteAddress = static_cast<int16_t>(static_cast<uint16_t>(parsed.byteAddress));
  out->extra = static_cast<uint16_t>(in->extra);
  out->wordOrder = db;
  if (parsed.bitOrLength >= 0)
    out->bitOrLength = static_cast<int16_t>(parsed.bitOrLength);
  return 0;
}

uint16_t WireDb(int areaIndex, uint16_t wordOrder) {
  const s7::AreaInfo* info = AreaInfoOf(areaIndex);
  if (info == nullptr)
    return 0;
  return info->memory == Memory::kDb ? wordOrder : info->db;
}

BOOL CanMergeItem(const DriverItem* item, int32_t writeFlag, RequestGroup* group) {
  if (item == nullptr || group == nullptr || writeFlag != 0 || group->writeFlag != 0)
    return 0;
  if (item->dataType2 == kTypeString || static_cast<uint16_t>(group->dataType) == kTypeString)
    return 0;
  const s7::AreaInfo* itemInfo = AreaInfoOf(item->areaIndex);
  const s7::AreaInfo* groupInfo = AreaInfoOf(group->areaIndex);
  if (itemInfo == nullptr || groupInfo == nullptr || itemInfo->memory != groupInfo->memory)
    return 0;
  if (WireDb(item->areaIndex, item->wordOrder) != WireDb(group->areaIndex, group->wordOrder))
    return 0;
  // Two PLCs may share a rack and slot: the address text tells them apart.
  if (item->station != group->station)
    return 0;
  if (item->stationCopy != nullptr && group->stationBuffer != nullptr &&
      strncmp(item->stationCopy->addressText, group->stationBuffer->addressText,
              sizeof group->stationBuffer->addressText) != 0)
    return 0;
  if (group->items.count == 1 && group->startAddress == group->endAddress) {
    const int width = s7::ValueWidth(static_cast<uint16_t>(group->dataType));
    if (width > 1)
      group->endAddress += width - 1;
  }
  const int width = s7::ValueWidth(item->dataType2);
  if (width == 0)
    return 0;
  const int32_t a = static_cast<uint16_t>(item->byteAddress);
  const int32_t start = a < group->startAddress ? a : group->startAddress;
  const int32_t end = a + width - 1 > group->endAddress ? a + width - 1 : group->endAddress;
  if (end - start + 1 > kMaxGroupSpan)
    return 0;
  group->startAddress = start;
  group->endAddress = end;
  return 1;
}

}  // namespace s7tcp
