#include "workbench/project/tag_batch.h"

#include <algorithm>
#include <cctype>
#include <limits>
#include <unordered_set>

#include "platform/gbk.h"

namespace talvek {

namespace {

// An address text split around its number: "4X7L" is {"4X", 7, "", "L"}, "Q0.7" (a bit) is
// {"Q", 0, 7, ""}.
struct RegisterParts {
  std::string prefix;
  long long number = 0;
  int bit = -1;  // bit tags written "byte.bit" only
  std::string suffix;
};

bool IsLetter(char c) {
  return std::isalpha(static_cast<unsigned char>(c)) != 0;
}
bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

// The area name runs up to the end of the first run of letters ("4X", "VW", "AIW"); the
// address number follows it.
bool SplitRegister(std::string_view text, int rawType, RegisterParts& parts) {
  std::size_t i = 0;
  while (i < text.size() && !IsLetter(text[i]))
    ++i;
  while (i < text.size() && IsLetter(text[i]))
    ++i;
  if (i == text.size() || !IsDigit(text[i]))
    return false;
  parts.prefix.assign(text.substr(0, i));
  std::size_t end = i;
  while (end < text.size() && IsDigit(text[end]))
    ++end;
  if (end - i > 9)
    return false;
  parts.number = std::stoll(std::string(text.substr(i, end - i)));
  if (rawType == kRawBit && end + 1 < text.size() && text[end] == '.' && IsDigit(text[end + 1]) &&
      (end + 2 == text.size() || !IsDigit(text[end + 2]))) {
    parts.bit = text[end + 1] - '0';
    end += 2;
  }
  parts.suffix.assign(text.substr(end));
  return true;
}

bool CountsRegisters(const std::string& prefix) {
  return prefix.size() >= 2 && IsDigit(prefix[prefix.size() - 2]) &&
         (prefix.back() == 'X' || prefix.back() == 'x');
}

int WidthInBytes(int rawType) {
  switch (rawType) {
    case kRawInt16:
    case kRawUInt16:
    case kRawBcd16:
      return 2;
    case kRawInt32:
    case kRawBcd32:
    case kRawFloat:
      return 4;
    default:
      return 1;
  }
}

}  // namespace

int DefaultRegisterStep(std::string_view registerText, int rawType) {
  RegisterParts parts;
  if (!SplitRegister(registerText, rawType, parts))
    return 1;
  if (rawType == kRawBit)
    return 1;
  int bytes = WidthInBytes(rawType);
  if (rawType == kRawString && parts.suffix.size() > 1 && parts.suffix[0] == '.') {
    const std::string length = parts.suffix.substr(1);
    if (length.size() <= 3 && std::all_of(length.begin(), length.end(), IsDigit))
      bytes = std::max(1, std::stoi(length));
  }
  return CountsRegisters(parts.prefix) ? std::max(1, (bytes + 1) / 2) : bytes;
}

bool StepRegister(std::string_view registerText, int rawType, long long offset, std::string& out) {
  RegisterParts parts;
  if (!SplitRegister(registerText, rawType, parts))
    return false;
  long long number = parts.number;
  int bit = parts.bit;
  if (bit >= 0) {
    const long long total = number * 8 + bit + offset;
    if (total < 0)
      return false;
    number = total / 8;
    bit = static_cast<int>(total % 8);
  } else {
    number += offset;
  }
  if (number < 0 || number > std::numeric_limits<int32_t>::max())
    return false;
  out = parts.prefix + std::to_string(number);
  if (bit >= 0)
    out += "." + std::to_string(bit);
  out += parts.suffix;
  return true;
}

std::vector<TagBatchRow> PlanTagBatch(const TagRecord& source, const TagBatchSpec& wanted,
                                      std::span<const DeviceRecord> devices,
                                      const std::vector<TagRecord>& tags, TagRegisterCheck& check) {
  std::vector<TagBatchRow> rows;
  if (wanted.count < 1 || wanted.count > kMaxBatchCount)
    return rows;
  std::unordered_set<std::string> taken;
  taken.reserve(tags.size() + static_cast<std::size_t>(wanted.count));
  for (const TagRecord& t : tags)
    taken.emplace(platform::ArrayText(t.name));

  const TagCells base = TagToCells(source);
  const bool external = (source.flags & kTagExternal) != 0;
  rows.reserve(static_cast<std::size_t>(wanted.count));
  for (int i = 0; i < wanted.count; ++i) {
    TagBatchRow row;
    TagCells cells = base;
    row.name = wanted.stem + std::to_string(static_cast<long long>(wanted.firstNumber) + i);
    cells[kColName] = row.name;
    row.record = source;
    if (external) {
      // Registers are ASCII in every driver's list; the text steps as it is.
      std::string stepped;
      const std::string_view from = wanted.firstRegister.empty()
                                        ? platform::ArrayText(source.registerText)
                                        : std::string_view(wanted.firstRegister);
      if (!StepRegister(from, source.rawType, static_cast<long long>(wanted.registerStep) * i,
                        stepped)) {
        row.error = "寄存器“" + std::string(from) + "”中没有可以递增的地址，或地址超出范围。";
        rows.push_back(std::move(row));
        continue;
      }
      cells[kColRegister] = row.registerText = stepped;
    }
    if (ApplyTagCells(cells, devices, check, row.record, row.error)) {
      const std::string name(platform::ArrayText(row.record.name));
      if (!taken.insert(name).second)
        row.error = "与现存变量重名：“" + row.name + "”。";
    }
    rows.push_back(std::move(row));
  }
  return rows;
}

bool BatchIsSound(const std::vector<TagBatchRow>& rows) {
  return !rows.empty() && std::all_of(rows.begin(), rows.end(),
                                      [](const TagBatchRow& r) { return r.error.empty(); });
}

}  // namespace talvek
