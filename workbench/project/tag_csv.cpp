#include "workbench/project/tag_csv.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <unordered_map>

#include <QString>

#include "common/driver_contract.h"
#include "common/tag_values.h"
#include "common/type_names.h"
#include "platform/com.h"
#include "platform/gbk.h"
#include "workbench/project/csv_text.h"

namespace talvek {

using tagcheck::GbkToQString;
using tagcheck::QStringToGbk;

namespace {

constexpr const char* kColumnNames[kTagColumnCount] = {
    "变量名称", "变量描述", "变量类型", "内部/外部", "连接设备", "寄存器",     "数据类型",
    "采集频率", "最小值",   "最大值",   "初始化值",  "死区值",   "最小原始值", "最大原始值"};
constexpr char kInternal[] = "内部";
constexpr char kExternal[] = "外部";

std::string Utf8Of(std::string_view gbk) {
  return GbkToQString(gbk).toStdString();
}

std::string Printf(const char* format, double v) {
  char text[64];
  std::snprintf(text, sizeof text, format, v);
  return text;
}

// A float in the fewest significant digits that read back to the same float.
std::string FloatText(float f) {
  for (int digits = 6; digits < 9; ++digits) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*g", digits, static_cast<double>(f));
    if (std::strtof(text, nullptr) == f)
      return text;
  }
  return Printf("%.9g", f);
}

std::string EngineeringText(int32_t word, int varType) {
  return varType == kVarFloat ? FloatText(WordToFloat(word)) : std::to_string(word);
}

std::string RawText(int32_t word, int rawType) {
  return rawType == kRawFloat ? FloatText(WordToFloat(word))
                              : Printf("%.0f", RawWordToDouble(word, rawType));
}

bool IsNumeric(int varType) {
  return varType == kVarInteger || varType == kVarFloat;
}

bool HasRawRange(int rawType) {
  return rawType >= kRawByte && rawType <= kRawFloat;
}

// Position of `name` in `names`, -1 when absent.
template <std::size_t N>
int IndexOf(const char* const (&names)[N], std::string_view name) {
  for (std::size_t i = 0; i < N; ++i) {
    if (name == names[i])
      return static_cast<int>(i);
  }
  return -1;
}

template <std::size_t N>
std::string Choices(const char* const (&names)[N]) {
  std::string text;
  for (std::size_t i = 0; i < N; ++i) {
    if (i > 0)
      text += "、";
    text += names[i];
  }
  return text;
}

std::string Quoted(std::string_view text) {
  return "“" + std::string(text) + "”";
}

}  // namespace

const char* TagColumnName(int column) {
  return column >= 0 && column < kTagColumnCount ? kColumnNames[column] : "";
}

TagCells TagToCells(const TagRecord& tag) {
  TagCells cells;
  const bool external = (tag.flags & kTagExternal) != 0;
  cells[kColName] = Utf8Of(platform::ArrayText(tag.name));
  cells[kColDescription] = Utf8Of(platform::ArrayText(tag.description));
  cells[kColVarType] = VarTypeName(tag.varType);
  cells[kColSource] = external ? kExternal : kInternal;
  if (external) {
    cells[kColDevice] = Utf8Of(platform::ArrayText(tag.deviceName));
    cells[kColRegister] = Utf8Of(platform::ArrayText(tag.registerText));
    cells[kColRawType] = RawTypeName(tag.rawType);
    cells[kColScanPeriod] = std::to_string(tag.scanPeriodMs);
  }
  if (IsNumeric(tag.varType)) {
    cells[kColMin] = EngineeringText(tag.engMin, tag.varType);
    cells[kColMax] = EngineeringText(tag.engMax, tag.varType);
    cells[kColInitial] = EngineeringText(tag.initialValue, tag.varType);
    cells[kColDeadband] = EngineeringText(tag.deadband, tag.varType);
    if (external && HasRawRange(tag.rawType)) {
      cells[kColRawMin] = RawText(tag.rawMin, tag.rawType);
      cells[kColRawMax] = RawText(tag.rawMax, tag.rawType);
    }
  }
  return cells;
}

std::string FormatTagCsv(std::span<const TagRecord> tags) {
  std::string out(kUtf8Bom);
  out.reserve(kUtf8Bom.size() + 160 * (tags.size() + 1));
  AppendCsvRow(out, std::vector<std::string>(std::begin(kColumnNames), std::end(kColumnNames)));
  for (const TagRecord& tag : tags) {
    const TagCells cells = TagToCells(tag);
    AppendCsvRow(out, std::vector<std::string>(cells.begin(), cells.end()));
  }
  return out;
}

// --- The driver's check -------------------------------------------------------------------------

DriverRegisterCheck::DriverRegisterCheck() = default;
DriverRegisterCheck::~DriverRegisterCheck() = default;

DriverRegisterCheck::Driver* DriverRegisterCheck::DriverOf(const DeviceRecord& device) {
  const std::string_view model = platform::ArrayText(device.descriptor.model);
  for (Driver& d : drivers_) {
    if (d.clsid == device.descriptor.driverClsid && d.model == model)
      return &d;
  }
  Driver d;
  d.clsid = device.descriptor.driverClsid;
  d.model.assign(model);
  if (FAILED(platform::CoCreateInstance(d.clsid, nullptr, CLSCTX_INPROC_SERVER, IID_IProtocolDriver,
                                        d.object.PutVoid())) ||
      !d.object) {
    return nullptr;
  }
  const AddressArea* table = nullptr;
  int32_t count = 0;
  if (d.object->GetRegisters(d.model.c_str(), &table, &count) == 1 && count > 0 &&
      table != nullptr) {
    // registerIndex is 16 bits wide, as in the editor.
    for (int32_t i = 0; i < count && i < 65536; ++i)
      d.registers.emplace_back(table[i].name, strnlen(table[i].name, sizeof table[i].name));
  }
  drivers_.push_back(std::move(d));
  return &drivers_.back();
}

bool DriverRegisterCheck::Check(const DeviceRecord& device, std::string_view registerGbk,
                                int rawType, int& registerIndex, std::string& refusal) {
  Driver* driver = DriverOf(device);
  if (driver == nullptr) {
    refusal = "无法加载设备" + Quoted(Utf8Of(platform::ArrayText(device.logicalName))) +
              "的驱动程序（型号" + Quoted(Utf8Of(platform::ArrayText(device.descriptor.model))) +
              "）。";
    return false;
  }
  TagAddressInput in{};
  platform::CopyToArray(in.model, driver->model);
  platform::CopyToArray(in.address, registerGbk);
  in.dataType = static_cast<int16_t>(DataTypeFlagOf(rawType));
  DriverItem out{};
  if (driver->object->ConvertUserConfigToVar(&in, &out) == 0) {
    registerIndex = std::max(tagcheck::FindRegisterIndex(driver->registers, registerGbk), 0);
    return true;
  }
  // The held object's last error may be an earlier row's: ask a fresh one.
  std::string text;
  platform::ComPtr<IProtocolDriver> fresh;
  if (SUCCEEDED(platform::CoCreateInstance(driver->clsid, nullptr, CLSCTX_INPROC_SERVER,
                                           IID_IProtocolDriver, fresh.PutVoid())) &&
      fresh) {
    DriverItem again{};
    if (fresh->ConvertUserConfigToVar(&in, &again) != 0) {
      if (const char* own = fresh->GetLastErrorText(); own != nullptr)
        text = Utf8Of(own);
    }
  }
  refusal = !text.empty() ? text
                          : "驱动程序不接受寄存器" + Quoted(Utf8Of(registerGbk)) + "与数据类型" +
                                Quoted(RawTypeName(rawType)) + "的组合。";
  return false;
}

// --- One row --------------------------------------------------------------------------------

bool ApplyTagCells(const TagCells& cells, std::span<const DeviceRecord> devices,
                   TagRegisterCheck& check, TagRecord& work, std::string& error) {
  if (QString::fromStdString(cells[kColName]).trimmed().isEmpty()) {
    error = "变量名称不能为空。";
    return false;
  }
  const int varType = IndexOf(kVarTypeNames, cells[kColVarType]);
  if (varType < 0) {
    error = cells[kColVarType].empty() ? "缺少变量类型：应为 " + Choices(kVarTypeNames) + " 之一。"
                                       : "变量类型" + Quoted(cells[kColVarType]) + "无效：应为 " +
                                             Choices(kVarTypeNames) + " 之一。";
    return false;
  }
  bool external = !cells[kColDevice].empty();
  if (cells[kColSource] == kExternal) {
    external = true;
  } else if (cells[kColSource] == kInternal) {
    external = false;
  } else if (!cells[kColSource].empty()) {
    error =
        std::string("“内部/外部”一栏应为“内部”或“外部”，不是") + Quoted(cells[kColSource]) + "。";
    return false;
  }

  tagcheck::TagEntries entries;
  entries.name = QString::fromStdString(cells[kColName]);
  entries.description = QString::fromStdString(cells[kColDescription]);
  entries.varType = varType;
  entries.external = external;
  int rawType = -1;
  if (external) {
    std::string deviceGbk;
    if (cells[kColDevice].empty()) {
      error = "外部变量必须填写连接设备。";
      return false;
    }
    if (QStringToGbk(QString::fromStdString(cells[kColDevice]), deviceGbk)) {
      for (std::size_t i = 0; i < devices.size(); ++i) {
        if (platform::ArrayText(devices[i].logicalName) == deviceGbk) {
          entries.device = static_cast<int>(i);
          break;
        }
      }
    }
    if (entries.device < 0) {
      error = "设备" + Quoted(cells[kColDevice]) + "不存在：工程中没有这个名称的设备。";
      return false;
    }
    rawType = IndexOf(kRawTypeNames, cells[kColRawType]);
    if (rawType < 0) {
      error = (cells[kColRawType].empty() ? std::string("缺少数据类型")
                                          : "数据类型" + Quoted(cells[kColRawType]) + "无效") +
              "：应为 " + Choices(kRawTypeNames) + " 之一。";
      return false;
    }
    entries.rawType = rawType;
    entries.registerText = QString::fromStdString(cells[kColRegister]);
  }
  // Cells the tag's type does not use may stay empty; the editor's entries hold a number there.
  auto number = [&](int column, bool used) {
    const std::string& text = cells[column];
    return QString::fromStdString(!used && text.empty() ? std::string("0") : text);
  };
  const bool numeric = IsNumeric(varType);
  const bool rawRange = external && numeric && HasRawRange(rawType);
  entries.min = number(kColMin, numeric);
  entries.max = number(kColMax, numeric);
  entries.deadband = number(kColDeadband, numeric);
  entries.initial = number(kColInitial, numeric);
  entries.rawMin = number(kColRawMin, rawRange);
  entries.rawMax = number(kColRawMax, rawRange);
  entries.scanPeriod = number(kColScanPeriod, external);

  const tagcheck::TagEntriesCheck checked = tagcheck::CheckTagEntries(entries, devices);
  if (!checked.ok) {
    error = checked.message.toStdString();
    return false;
  }
  const tagcheck::CheckedTag& v = checked.tag;
  if (v.name.empty()) {
    error = "变量名称不能为空。";
    return false;
  }

  TagRecord out = work;
  // Texts are written only when they change, so an unchanged row keeps every byte of the record.
  auto setText = [](auto& field, std::string_view text) {
    if (platform::ArrayText(field) != text)
      platform::CopyToArray(field, text);
  };
  setText(out.name, v.name);
  out.flags = external ? (out.flags | kTagExternal) : (out.flags & ~kTagExternal);
  out.varType = v.varType;
  setText(out.description, v.description);
  if (external) {
    const bool consistent = v.varType == kVarDiscrete ? v.rawType == kRawBit
                            : v.varType == kVarString ? v.rawType == kRawString
                                                      : v.rawType != kRawString;
    if (!consistent) {
      error = "变量数据类型不一致：变量类型" + Quoted(kVarTypeNames[v.varType]) +
              "不能使用数据类型" + Quoted(kRawTypeNames[v.rawType]) + "。";
      return false;
    }
    const DeviceRecord& device = devices[v.device];
    int registerIndex = 0;
    std::string refusal;
    if (!check.Check(device, v.registerText, v.rawType, registerIndex, refusal)) {
      error = "寄存器" + Quoted(cells[kColRegister]) + "无效：" + refusal;
      return false;
    }
    const std::string_view model = platform::ArrayText(device.descriptor.model);
    const bool sameAddress = platform::ArrayText(out.registerText) == v.registerText &&
                             platform::ArrayText(out.driverModel) == model;
    setText(out.driverModel, model);
    out.rawType = v.rawType;
    setText(out.deviceName, platform::ArrayText(device.logicalName));
    setText(out.registerText, v.registerText);
    // An unchanged register keeps the index it has; a new one gets the driver's.
    if (!sameAddress)
      out.registerIndex = static_cast<uint16_t>(registerIndex);
    out.scanPeriodMs = v.scanPeriodMs;
  }
  if (numeric) {
    out.initialValue = tagcheck::EngineeringWord(v.initial, v.varType);
    out.engMin = tagcheck::EngineeringWord(v.min, v.varType);
    out.engMax = tagcheck::EngineeringWord(v.max, v.varType);
    out.deadband = tagcheck::EngineeringWord(v.deadband, v.varType);
    if (rawRange) {
      tagcheck::StoreRaw(out.rawMax, v.rawType, v.rawMax);
      tagcheck::StoreRaw(out.rawMin, v.rawType, v.rawMin);
    }
  }
  work = out;
  return true;
}

// --- The file -------------------------------------------------------------------------------

std::string TagRowErrorText(const TagRowError& error) {
  if (error.line <= 0)
    return error.message;
  return "第 " + std::to_string(error.line) + " 行：" + error.message;
}

std::size_t TagImport::ExistingCount() const {
  std::size_t n = 0;
  for (const ImportedTag& t : tags)
    n += t.existing >= 0 ? 1 : 0;
  return n;
}

TagImport ReadTagCsv(std::string_view bytes, std::span<const DeviceRecord> devices,
                     const std::vector<TagRecord>& tags, TagRegisterCheck& check) {
  TagImport result;
  CsvTable table;
  if (!ReadCsv(bytes, table)) {
    result.errors.push_back({table.errorLine, table.error});
    return result;
  }
  if (table.rows.empty()) {
    result.errors.push_back({0, "文件是空的：第一行应为列名（变量名称、变量类型……）。"});
    return result;
  }
  // The header: which cell of a row feeds which column.
  const CsvRow& header = table.rows.front();
  std::vector<int> columnOf(header.fields.size(), -1);
  bool headerOk = true;
  for (std::size_t k = 0; k < header.fields.size(); ++k) {
    std::string name = header.fields[k];
    while (!name.empty() && (name.back() == ' ' || name.back() == '\t'))
      name.pop_back();
    const int column = IndexOf(kColumnNames, name);
    if (column < 0 && !name.empty()) {
      result.errors.push_back(
          {header.line, "未知的列" + Quoted(name) + "：列名应为 " + Choices(kColumnNames) + "。"});
      headerOk = false;
    }
    for (std::size_t j = 0; j < k && column >= 0; ++j) {
      if (columnOf[j] == column) {
        result.errors.push_back({header.line, "列" + Quoted(name) + "出现了两次。"});
        headerOk = false;
      }
    }
    columnOf[k] = column;
  }
  if (std::find(columnOf.begin(), columnOf.end(), kColName) == columnOf.end()) {
    result.errors.push_back({header.line, "缺少“变量名称”一列：第一行应为列名。"});
    headerOk = false;
  }
  if (!headerOk)
    return result;

  std::unordered_map<std::string, std::size_t> existingByName;
  existingByName.reserve(tags.size());
  for (std::size_t i = 0; i < tags.size(); ++i)
    existingByName.emplace(std::string(platform::ArrayText(tags[i].name)), i);  // first wins
  std::unordered_map<std::string, int> lineOfName;

  for (std::size_t r = 1; r < table.rows.size(); ++r) {
    const CsvRow& row = table.rows[r];
    if (row.fields.size() > columnOf.size()) {
      result.errors.push_back(
          {row.line, "这一行有 " + std::to_string(row.fields.size()) + " 个单元格，比列名多。"});
      continue;
    }
    TagCells cells;
    for (std::size_t k = 0; k < row.fields.size(); ++k) {
      if (columnOf[k] >= 0)
        cells[columnOf[k]] = row.fields[k];
    }
    // The name as the record will hold it decides whether the row updates a tag.
    std::string nameGbk;
    const QString trimmed = [&] {
      QString n = QString::fromStdString(cells[kColName]);
      while (!n.isEmpty() && n.back().isSpace())
        n.chop(1);
      return n;
    }();
    ImportedTag imported;
    imported.line = row.line;
    if (QStringToGbk(trimmed, nameGbk)) {
      if (const auto it = existingByName.find(nameGbk); it != existingByName.end()) {
        imported.existing = static_cast<std::ptrdiff_t>(it->second);
        imported.record = tags[it->second];
      }
    }
    std::string error;
    if (!ApplyTagCells(cells, devices, check, imported.record, error)) {
      result.errors.push_back({row.line, error});
      continue;
    }
    const std::string name(platform::ArrayText(imported.record.name));
    if (const auto [it, added] = lineOfName.emplace(name, row.line); !added) {
      result.errors.push_back({row.line, "变量名称" + Quoted(cells[kColName]) + "与第 " +
                                             std::to_string(it->second) + " 行重复。"});
      continue;
    }
    result.tags.push_back(std::move(imported));
  }
  if (result.tags.empty() && result.errors.empty())
    result.errors.push_back({0, "文件中没有变量：第一行列名之后没有数据行。"});
  return result;
}

TagMergeCount MergeImportedTags(std::vector<TagRecord>& tags, const TagImport& import,
                                ExistingTags existing) {
  TagMergeCount count;
  auto indexOf = [&](const ImportedTag& t) -> std::ptrdiff_t {
    const std::string_view name = platform::ArrayText(t.record.name);
    if (t.existing >= 0 && static_cast<std::size_t>(t.existing) < tags.size() &&
        platform::ArrayText(tags[t.existing].name) == name)
      return t.existing;
    for (std::size_t i = 0; i < tags.size(); ++i) {
      if (platform::ArrayText(tags[i].name) == name)
        return static_cast<std::ptrdiff_t>(i);
    }
    return -1;
  };
  for (const ImportedTag& t : import.tags) {
    const std::ptrdiff_t at = t.existing >= 0 ? indexOf(t) : -1;
    if (at < 0) {
      tags.push_back(t.record);
      ++count.added;
    } else if (existing == ExistingTags::kUpdate) {
      tags[at] = t.record;
      ++count.updated;
    }
  }
  return count;
}

}  // namespace talvek
