#include "drivers/ppi/ppi_address.h"

#include "drivers/s7common/s7_areas.h"

#include <cstring>
#include <string_view>

namespace ppi {
namespace {

// The order is the area index; the host keeps this pointer, so the table is static: the S7-200
// memories, then the pause between requests.
constexpr AddressArea kOwnAreas[] = {{"DELAY", 0, 1, kTypeUint16, 0}};
constexpr AreaInfo kOwnInfo[] = {{Memory::kDelay, 0, 0, 0, false}};
constexpr auto kAreas = s7::MemoryAreasAnd(s7::kMemoryAreas, kOwnAreas);
constexpr auto kInfo = s7::MemoryAreasAnd(s7::kMemoryAreaInfo, kOwnInfo);
static_assert(kAreas.size() == kAreaCount && kAreaV == s7::kMemoryAreaV);
static_assert(kAreas[kAreaV].typeMask == 0x1AF);
static_assert(std::string_view(kAreas[kAreaDelay].name) == "DELAY");
static_assert(s7::WidthEntriesFirst(kAreas),
              "a shorter area name before a longer one that it starts");

using s7::IsBlank;
using s7::TrimBlanks;
using s7::TypeAllowed;

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
  return kAreas.data();
}

const AreaInfo* AreaInfoOf(int areaIndex) {
  return areaIndex >= 0 && areaIndex < kAreaCount ? &kInfo[areaIndex] : nullptr;
}

bool IsReadOnly(int areaIndex, int32_t first, int32_t /*last*/) {
  const AreaInfo* info = AreaInfoOf(areaIndex);
  return info != nullptr && s7::IsReadOnlyMemory(info->memory, first);
}

BOOL ParseStationAddress(const char* text, StationInfo* out, int32_t& lastError) {
  if (text == nullptr || out == nullptr)
    return 0;
  const std::size_t len = std::strlen(text);
  int64_t value = 0;
  for (std::size_t i = 0; i < len; ++i) {
    if (text[i] < '0' || text[i] > '9') {
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

  s7::ParsedAddress parsed;
  const int32_t code = s7::ParseAddress(t, type, kAreas, kInfo, kAreaV, true, &parsed);
  if (code == s7::kErrNoArea)
    return 1;  // no area of this driver: no code of its own
  if (code != s7::kErrNone) {
    lastError = code;
    return 1;
  }
  Fill(*in, parsed.index, parsed.byteAddress, *out);
  if (parsed.bitOrLength >= 0)
    out->bitOrLength = static_cast<int16_t>(parsed.bitOrLength);
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
  // point into the same static table. Entries of one memory ("V", "VW") read as one span.
  if (item->area == nullptr || group->area == nullptr)
    return 0;
  const AreaInfo* itemInfo = AreaInfoOf(item->areaIndex);
  const AreaInfo* groupInfo = AreaInfoOf(group->areaIndex);
  if (itemInfo == nullptr || groupInfo == nullptr || itemInfo->memory != groupInfo->memory)
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
