// Fuzz target of the PPI driver's address rules: the register texts a user types into the tag
// editor (ConvertUserConfigToVar), the station texts of the device wizard (ParseStationAddress)
// and the merge rule fed with what the parser accepts (CanMergeItem).
//
// Input: byte 0 chooses the mode (bit 7: station text; else bits 0..3 the first tag's type and
// bit 4 the write flag), byte 1 the second tag's type (bits 0..3); the rest is the text. In tag
// mode the text holds one or two register texts, split at the first '\n'.
//
// Properties:
//  - an accepted register text is one whole address and names exactly the item it gives: the
//    longest area name that starts it, then the byte address, then for bit and string tags "."
//    and the bit or length, nothing else (blanks around the text and before a number, a sign
//    before a number of value 0 or more); "VB100" is V byte 100, never V0;
//  - the item lies inside the area table, is of the requested type, has an address inside its
//    area (even for AIW and AQW) and a bit 0..7 or string length 1..127;
//  - the item written back as text (its own area name, address, ".bit" or ".length") parses to
//    the same item; a byte, word or double word also parses to the same memory and address when
//    written with the other entry of its memory that takes the type ("VW100" and "V100", "IB3"
//    and "I3");
//  - a refusal sets LastError to 12..17, or leaves it unchanged exactly when no area name (nor
//    DELAY) starts the text;
//  - nothing depends on the bytes after the text's NUL, and the same text gives the same item;
//  - two accepted tags merged by CanMergeItem are of one memory and give a span that covers both,
//    starts at the lower address and is at most 200 bytes wide; a refusal leaves the start as it
//    was;
//  - a station text is accepted exactly when it is all digits, with the number clamped to
//    INT32_MAX and at most the first ten bytes (never past the NUL) copied.
#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <string_view>

#include "common/testing/fuzz_check.h"
#include "drivers/ppi/ppi_address.h"

namespace {

using fuzz_check::kUnsetError;
using fuzz_check::ParsedAddress;

uint16_t TypeOf(uint8_t selector) {
  const unsigned shift = selector & 0x0F;
  // 15 stands for a flag word of two types at once, which no rule may accept.
  return shift == 15 ? static_cast<uint16_t>(ppi::kTypeBit | ppi::kTypeByte)
                     : static_cast<uint16_t>(1u << shift);
}

TagAddressInput MakeInput(std::string_view text, uint16_t type, int16_t extra) {
  return fuzz_check::MakeAddressInput(text, type, extra);
}

ParsedAddress Parse(const TagAddressInput& in) {
  return fuzz_check::ParseAddress(
      [](const TagAddressInput* input, DriverItem* item, int32_t& error) {
        return ppi::ConvertUserConfigToVar(input, item, error);
      },
      in);
}

bool SameItem(const DriverItem& a, const DriverItem& b) {
  return std::memcmp(&a, &b, sizeof a) == 0;
}

// The item written back as a register text, with the name of table entry `areaIndex`.
std::string Format(const DriverItem& item, int areaIndex) {
  const auto address = static_cast<uint16_t>(item.byteAddress);
  if (areaIndex == ppi::kAreaDelay)
    return address == 0 ? "DELAY0" : "DELAY1";
  std::string text = ppi::AreaTable()[areaIndex].name;
  text += std::to_string(address);
  if (item.dataType2 == ppi::kTypeBit || item.dataType2 == ppi::kTypeString) {
    text += '.';
    text += std::to_string(item.bitOrLength);
  }
  return text;
}

bool Blank(char c) {
  return c == ' ' || c == '\t';
}

std::string_view Trimmed(std::string_view s) {
  while (!s.empty() && Blank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && Blank(s.back()))
    s.remove_suffix(1);
  return s;
}

// Reads blanks, an optional sign and at least one digit from the front of `s` into `value`
// (clamped); false when there is no digit or a minus sign stands before a number other than 0.
bool TakeNumber(std::string_view& s, int64_t& value) {
  while (!s.empty() && Blank(s.front()))
    s.remove_prefix(1);
  bool minus = false;
  if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
    minus = s.front() == '-';
    s.remove_prefix(1);
  }
  bool any = false;
  value = 0;
  while (!s.empty() && s.front() >= '0' && s.front() <= '9') {
    value = std::min<int64_t>(value * 10 + (s.front() - '0'), int64_t{1} << 40);
    s.remove_prefix(1);
    any = true;
  }
  return any && !(minus && value != 0);
}

// True when `text` is a whole address that names exactly `item` (see the head comment).
bool NamesExactly(std::string_view text, const DriverItem& item) {
  const std::string_view t = Trimmed(text);
  if (item.areaIndex == ppi::kAreaDelay) {
    std::string upper(t);
    for (char& c : upper)
      c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
    if (item.byteAddress == 0 ? upper == "DELAY" || upper == "DELAY0" : upper == "DELAY1")
      return true;
    // Else written like any other area: "DELAY" and a number.
  }
  const std::string_view name = item.area->name;
  if (!t.starts_with(name))
    return false;
  for (int i = 0; i < ppi::kAreaCount; ++i) {
    const std::string_view other = ppi::AreaTable()[i].name;
    if (other.size() > name.size() && t.starts_with(other))
      return false;  // a longer name starts the text: the shorter one was not meant
  }
  std::string_view rest = t.substr(name.size());
  int64_t address = 0;
  if (!TakeNumber(rest, address) || address != static_cast<uint16_t>(item.byteAddress))
    return false;
  if (item.dataType2 == ppi::kTypeBit || item.dataType2 == ppi::kTypeString) {
    int64_t bit = 0;
    if (rest.empty() || rest.front() != '.')
      return false;
    rest.remove_prefix(1);
    if (!TakeNumber(rest, bit) || bit != item.bitOrLength)
      return false;
  }
  return rest.empty();
}

// True when the text is a DELAY form or an area name (case as in the table) starts it, after at
// most 32 leading blanks: such a text is never refused without a code.
bool AnyAreaStarts(std::string_view text) {
  std::string upper(Trimmed(text));
  for (char& c : upper)
    c = static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c);
  if (upper == "DELAY" || upper == "DELAY0" || upper == "DELAY1")
    return true;
  std::string_view t = text;
  for (int i = 0; i < 32 && !t.empty() && Blank(t.front()); ++i)
    t.remove_prefix(1);
  for (int i = 0; i < ppi::kAreaCount; ++i) {
    if (t.starts_with(ppi::AreaTable()[i].name))
      return true;
  }
  return false;
}

// The item written with every other entry of its memory that takes its type (width entries for
// bytes, words and double words; the plain entry where it allows the type) parses to the same
// memory, address and type, as long as the address lies inside that entry.
void CheckOtherForms(const DriverItem& item, int16_t extra) {
  const ppi::AreaInfo* info = ppi::AreaInfoOf(item.areaIndex);
  if (info->memory == ppi::Memory::kDelay || item.dataType2 == ppi::kTypeBit ||
      item.dataType2 == ppi::kTypeString)
    return;
  const int32_t address = static_cast<uint16_t>(item.byteAddress);
  for (int i = 0; i < ppi::kAreaCount; ++i) {
    const ppi::AreaInfo* other = ppi::AreaInfoOf(i);
    const AddressArea& area = ppi::AreaTable()[i];
    if (i == item.areaIndex || other->memory != info->memory ||
        (area.typeMask & item.dataType2) == 0 || address > area.maxAddress)
      continue;
    const std::string text = Format(item, i);
    const ParsedAddress p = Parse(MakeInput(text, item.dataType2, extra));
    if (p.result != 0)
      std::fprintf(stderr, "also written as \"%s\", refused with %d\n", text.c_str(), p.lastError);
    FUZZ_CHECK(p.result == 0);
    FUZZ_CHECK(p.item.areaIndex == i && p.item.byteAddress == item.byteAddress);
    FUZZ_CHECK(p.item.dataType2 == item.dataType2);
  }
}

// Checks one register text; returns the item when it was accepted.
bool CheckTag(std::string_view text, uint16_t type, int16_t extra, DriverItem* accepted) {
  const TagAddressInput in = MakeInput(text, type, extra);
  const ParsedAddress p = Parse(in);
  FUZZ_CHECK(p.result == 0 || p.result == 1);

  // Same text, other bytes after its NUL: the same answer, byte for byte.
  TagAddressInput noisy = in;
  const std::size_t used = strnlen(in.address, sizeof in.address);
  // What the parser sees: the bytes up to the first NUL, at most the whole array.
  const std::string_view seen(in.address, used);
  if (used + 1 < sizeof noisy.address)
    std::memset(noisy.address + used + 1, 'X', sizeof noisy.address - used - 1);
  const ParsedAddress again = Parse(noisy);
  FUZZ_CHECK(again.result == p.result && again.lastError == p.lastError);
  FUZZ_CHECK(SameItem(again.item, p.item));

  if (p.result != 0) {
    FUZZ_CHECK(p.lastError == kUnsetError ||
               (p.lastError >= ppi::kErrAddressEmpty && p.lastError <= ppi::kErrWidthMismatch));
    if (p.lastError == kUnsetError)
      FUZZ_CHECK(!AnyAreaStarts(seen));
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
  FUZZ_CHECK(!ppi::AreaInfoOf(item.areaIndex)->even || address % 2 == 0);
  if (!NamesExactly(seen, item)) {
    std::fprintf(stderr, "accepted as area %s address %d bit/length %d\n", item.area->name, address,
                 item.bitOrLength);
  }
  FUZZ_CHECK(NamesExactly(seen, item));
  if (type == ppi::kTypeBit)
    FUZZ_CHECK(item.bitOrLength >= 0 && item.bitOrLength <= 7);
  if (type == ppi::kTypeString)
    FUZZ_CHECK(item.bitOrLength >= 1 && item.bitOrLength <= ppi::kMaxStringLength);

  const std::string canonical = Format(item, item.areaIndex);
  const ParsedAddress back = Parse(MakeInput(canonical, type, extra));
  if (back.result != 0) {
    std::fprintf(stderr, "written back as \"%s\", refused with %d\n", canonical.c_str(),
                 back.lastError);
  }
  FUZZ_CHECK(back.result == 0);
  FUZZ_CHECK(back.item.area == item.area && back.item.areaIndex == item.areaIndex);
  FUZZ_CHECK(back.item.byteAddress == item.byteAddress);
  FUZZ_CHECK(back.item.dataType == item.dataType && back.item.dataType2 == item.dataType2);
  FUZZ_CHECK(back.item.bitOrLength == item.bitOrLength);
  CheckOtherForms(item, extra);
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
  const ppi::Memory memory = ppi::AreaInfoOf(first.areaIndex)->memory;
  FUZZ_CHECK(ppi::AreaInfoOf(second.areaIndex)->memory == memory && memory != ppi::Memory::kDelay);
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
