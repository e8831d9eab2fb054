// Fuzz target of the PPI driver's address rules: the register texts a user types into the tag
// editor (ConvertUserConfigToVar), the station texts of the device wizard (ParseStationAddress)
// and the merge rule fed with what the parser accepts (CanMergeItem).
//
// Input: byte 0 chooses the mode (bit 7: station text; else bits 0..3 the first tag's type and
// bit 4 the write flag), byte 1 the second tag's type (bits 0..3); the rest is the text. In tag
// mode the text holds one or two register texts, split at the first '\n'.
//
// Properties:
//  - an accepted register text gives an item inside the area table, of the requested type, with
//    an address inside its area and a bit 0..7 or string length 1..127, and the item is written
//    back as text (area, address, ".bit" or ".length") that parses to the
//    same item;
//  - a refusal sets LastError to 12..15 or leaves it unchanged;
//  - nothing depends on the bytes after the text's NUL, and the same text gives the same item;
//  - two accepted tags merged by CanMergeItem give a span that covers both, starts at the lower
//    address and is at most 200 bytes wide; a refusal leaves the start as it was;
//  - a station text is accepted exactly when it is all digits, with the number clamped to
//    INT32_MAX and at most the first ten bytes (never past the NUL) copied.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <string_view>

#include "common/testing/fuzz_check.h"
#include "drivers/ppi/ppi_address.h"

namespace {

constexpr int32_t kUnsetError = 777;  // a LastError no rule sets

uint16_t TypeOf(uint8_t selector) {
  const unsigned shift = selector & 0x0F;
  // 15 stands for a flag word of two types at once, which no rule may accept.
  return shift == 15 ? static_cast<uint16_t>(ppi::kTypeBit | ppi::kTypeByte)
                     : static_cast<uint16_t>(1u << shift);
}

TagAddressInput MakeInput(std::string_view text, uint16_t type, int16_t extra) {
  TagAddressInput in{};
  // A text of 128 bytes or more fills the array without a NUL.
  std::memcpy(in.address, text.data(), std::min(text.size(), sizeof in.address));
  in.dataType = static_cast<int16_t>(type);
  in.extra = extra;
  return in;
}

struct Parsed {
  uint16_t result = 1;
  int32_t lastError = kUnsetError;
  DriverItem item{};
};

Parsed Parse(const TagAddressInput& in) {
  Parsed p;
  std::memset(&p.item, 0, sizeof p.item);
  p.result = ppi::ConvertUserConfigToVar(&in, &p.item, p.lastError);
  return p;
}

bool SameItem(const DriverItem& a, const DriverItem& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The item written back as a register text.
std::string Format(const DriverItem& item) {
  const auto address = static_cast<uint16_t>(item.byteAddress);
  if (item.areaIndex == ppi::kAreaDelay)
    return address == 0 ? "DELAY0" : "DELAY1";
  std::string text = item.area->name;
  text += std::to_string(address);
  if (item.dataType2 == ppi::kTypeBit || item.dataType2 == ppi::kTypeString) {
    text += '.';
    text += std::to_string(item.bitOrLength);
  }
  return text;
}

// Checks one register text; returns the item when it was accepted.
bool CheckTag(std::string_view text, uint16_t type, int16_t extra, DriverItem* accepted) {
  const TagAddressInput in = MakeInput(text, type, extra);
  const Parsed p = Parse(in);
  FUZZ_CHECK(p.result == 0 || p.result == 1);

  // Same text, other bytes after its NUL: the same answer, byte for byte.
  TagAddressInput noisy = in;
  const std::size_t used = strnlen(in.address, sizeof in.address);
  if (used + 1 < sizeof noisy.address)
    std::memset(noisy.address + used + 1, 'X', sizeof noisy.address - used - 1);
  const Parsed again = Parse(noisy);
  FUZZ_CHECK(again.result == p.result && again.lastError == p.lastError);
  FUZZ_CHECK(SameItem(again.item, p.item));

  if (p.result != 0) {
    FUZZ_CHECK(p.lastError == kUnsetError ||
               (p.lastError >= ppi::kErrAddressEmpty && p.lastError <= ppi::kErrBitOrLength));
    return false;
  }
  FUZZ_CHECK(p.lastError == kUnsetError);  // an acceptance sets no code

  const DriverItem& item = p.item;
  FUZZ_CHECK(item.areaIndex < ppi::kAreaCount);
  const AddressArea& area = ppi::AreaTable()[item.areaIndex];
  FUZZ_CHECK(item.area == &area);
  FUZZ_CHECK(static_cast<uint16_t>(item.dataType) == type && item.dataType2 == type);
  FUZZ_CHECK((type & (type - 1)) == 0 && (area.typeMask & type) != 0);
  FUZZ_CHECK(item.extra == static_cast<uint16_t>(extra));
  const int32_t address = static_cast<uint16_t>(item.byteAddress);
  FUZZ_CHECK(address >= area.minAddress && address <= area.maxAddress);
  if (type == ppi::kTypeBit)
    FUZZ_CHECK(item.bitOrLength >= 0 && item.bitOrLength <= 7);
  if (type == ppi::kTypeString)
    FUZZ_CHECK(item.bitOrLength >= 1 && item.bitOrLength <= ppi::kMaxStringLength);

  const std::string canonical = Format(item);
  const Parsed back = Parse(MakeInput(canonical, type, extra));
  if (back.result != 0) {
    std::fprintf(stderr, "written back as \"%s\", refused with %d\n", canonical.c_str(),
                 back.lastError);
  }
  FUZZ_CHECK(back.result == 0);
  FUZZ_CHECK(back.item.area == item.area && back.item.areaIndex == item.areaIndex);
  FUZZ_CHECK(back.item.byteAddress == item.byteAddress);
  FUZZ_CHECK(back.item.dataType == item.dataType && back.item.dataType2 == item.dataType2);
  FUZZ_CHECK(back.item.bitOrLength == item.bitOrLength);
  *accepted = item;
  return true;
}

// The host opens a group from `first` with start == end == its address and offers `second`.
void CheckMerge(const DriverItem& first, const DriverItem& second) {
  RequestGroup group{};
  group.area = first.area;
  group.areaIndex = first.areaIndex;
  group.dataType = first.dataType;
  group.startAddress = group.endAddress = static_cast<uint16_t>(first.byteAddress);
  group.items.count = 1;
  const RequestGroup before = group;
  const BOOL merged = ppi::CanMergeItem(&second, 0, &group);
  FUZZ_CHECK(merged == 0 || merged == 1);
  const int32_t a = static_cast<uint16_t>(first.byteAddress);
  const int32_t b = static_cast<uint16_t>(second.byteAddress);
  const int widthA = std::max(ppi::ValueWidth(first.dataType2), 1);
  if (merged == 0) {
    FUZZ_CHECK(group.startAddress == before.startAddress);
    FUZZ_CHECK(group.endAddress == before.endAddress || group.endAddress == a + widthA - 1);
    return;
  }
  const int widthB = ppi::ValueWidth(second.dataType2);
  FUZZ_CHECK(widthB > 0);
  FUZZ_CHECK(second.areaIndex == first.areaIndex && second.areaIndex != ppi::kAreaDelay);
  FUZZ_CHECK(first.dataType2 != ppi::kTypeString && second.dataType2 != ppi::kTypeString);
  FUZZ_CHECK(group.startAddress == std::min(a, b));
  FUZZ_CHECK(group.endAddress == std::max(a + widthA - 1, b + widthB - 1));
  FUZZ_CHECK(group.endAddress - group.startAddress + 1 <= ppi::kMaxReadSpan);
}

void CheckStation(std::string_view bytes) {
  const std::string text(bytes.substr(0, bytes.find('\0')));
  StationInfo out{};
  std::memset(out.addressText, 0xAA, sizeof out.addressText);
  int32_t lastError = kUnsetError;
  const BOOL ok = ppi::ParseStationAddress(text.c_str(), &out, lastError);
  const bool digits =
      std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
  FUZZ_CHECK(ok == (digits ? 1 : 0));
  if (!ok) {
    FUZZ_CHECK(lastError == ppi::kErrStationNotDigits);
    return;
  }
  FUZZ_CHECK(lastError == kUnsetError);
  int64_t value = 0;
  for (char c : text)
    value = std::min<int64_t>(value * 10 + (c - '0'), INT32_MAX);
  FUZZ_CHECK(out.stationNumber == value);
  const std::size_t copied = std::min<std::size_t>(text.size() + 1, 10);
  FUZZ_CHECK(std::memcmp(out.addressText, text.c_str(), copied) == 0);
  for (std::size_t i = copied; i < sizeof out.addressText; ++i)
    FUZZ_CHECK(static_cast<uint8_t>(out.addressText[i]) == 0xAA);
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
  const std::size_t newline = text.find('\n');
  DriverItem first{};
  const bool firstOk = CheckTag(text.substr(0, newline), TypeOf(mode), extra, &first);
  if (newline == std::string_view::npos)
    return 0;
  DriverItem second{};
  const bool secondOk = CheckTag(text.substr(newline + 1), TypeOf(data[1]), extra, &second);
  if (firstOk && secondOk)
    CheckMerge(first, second);
  return 0;
}
