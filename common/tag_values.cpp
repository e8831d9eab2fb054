#include "common/tag_values.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <optional>
#include <utility>

#include "common/records.h"
#include "platform/gbk.h"

namespace talvek::tagcheck {

EntryLayout EngineeringLayout(int varType) {
  switch (varType) {
    case kVarInteger:
      return {10, 0};
    case kVarFloat:
      return {10, 5};
    default:
      return {0, 0};
  }
}

EntryLayout RawLayout(int rawType) {
  switch (rawType) {
    case kRawByte:
      return {3, 0};
    case kRawInt16:
    case kRawUInt16:
      return {5, 0};
    case kRawBcd16:
      return {4, 0};
    case kRawInt32:
    case kRawBcd32:
      return {10, 0};
    case kRawFloat:
      return {7, 5};
    default:
      return {0, 0};
  }
}

const char* RawDefaultMaxText(int rawType) {
  switch (rawType) {
    case kRawByte:
      return "255";
    case kRawInt16:
      return "32767";
    case kRawUInt16:
      return "65535";
    case kRawBcd16:
      return "9999";
    case kRawInt32:
      return "2147483647";
    case kRawBcd32:
      return "999999";
    case kRawFloat:
      return "99999.99";
    default:
      return nullptr;
  }
}

namespace {

constexpr StoredRange kInt32Range{-2147483648.0, 2147483647.0, false};
constexpr StoredRange kFloatRange{-FLT_MAX, FLT_MAX, true};

}  // namespace

StoredRange EngineeringRange(int varType) {
  return varType == kVarFloat ? kFloatRange : kInt32Range;
}

StoredRange RawRange(int rawType) {
  switch (rawType) {
    case kRawByte:
      return {0, 255, false};
    case kRawInt16:
      return {-32768, 32767, false};
    case kRawUInt16:
    case kRawBcd16:
      return {0, 65535, false};
    case kRawBcd32:
      return {0, 4294967295.0, false};
    case kRawFloat:
      return kFloatRange;
    default:
      return kInt32Range;
  }
}

bool Fits(double v, const StoredRange& range) {
  const double stored = range.isFloat ? v : std::trunc(v);
  return stored >= range.min && stored <= range.max;  // false for NaN
}

int32_t EngineeringWord(double v, int varType) {
  if (varType == kVarFloat)
    return FloatToWord(static_cast<float>(v));
  return static_cast<int32_t>(std::trunc(v));
}

void StoreRaw(int32_t& word, int rawType, double v) {
  // Only the bytes of the type's width are written, so a narrow type leaves the upper bytes of
  // the word as they were.
  auto* bytes = reinterpret_cast<unsigned char*>(&word);
  switch (rawType) {
    case kRawByte: {
      const auto b = static_cast<uint8_t>(std::trunc(v));
      std::memcpy(bytes, &b, 1);
      break;
    }
    case kRawInt16: {
      const auto s = static_cast<int16_t>(std::trunc(v));
      std::memcpy(bytes, &s, 2);
      break;
    }
    case kRawUInt16:
    case kRawBcd16: {
      const auto u = static_cast<uint16_t>(std::trunc(v));
      std::memcpy(bytes, &u, 2);
      break;
    }
    case kRawInt32:
      word = static_cast<int32_t>(std::trunc(v));
      break;
    case kRawBcd32:
      word = static_cast<int32_t>(static_cast<uint32_t>(std::trunc(v)));
      break;
    case kRawFloat:
      word = FloatToWord(static_cast<float>(v));
      break;
    default:
      break;
  }
}

int FindRegisterIndex(std::span<const std::string> names, std::string_view registerText) {
  for (std::size_t i = 0; i < names.size(); ++i) {
    if (registerText.starts_with(names[i]))
      return static_cast<int>(i);
  }
  return -1;
}

QString FormatLimit(double v, bool isFloat) {
  if (isFloat)
    return v < 0 ? QStringLiteral("-3.4028235e38") : QStringLiteral("3.4028235e38");
  char text[32];
  std::snprintf(text, sizeof text, "%.0f", v);
  return QString::fromLatin1(text);
}

QString GbkToQString(std::string_view gbk) {
  std::string utf8;
  if (platform::GbkToUtf8(gbk, utf8))
    return QString::fromStdString(utf8);
  // Decode what can be decoded, one character at a time, so one damaged byte does not blank
  // the whole text.
  QString text;
  for (std::size_t i = 0; i < gbk.size();) {
    bool done = false;
    for (std::size_t width = 1; width <= 2 && i + width <= gbk.size() && !done; ++width) {
      if (platform::GbkToUtf8(gbk.substr(i, width), utf8)) {
        text += QString::fromStdString(utf8);
        i += width;
        done = true;
      }
    }
    if (!done) {
      text += QChar(QChar::ReplacementCharacter);
      ++i;
    }
  }
  return text;
}

bool QStringToGbk(const QString& text, std::string& gbk) {
  gbk.clear();
  // Qt writes an unpaired surrogate to UTF-8 as "?": refuse it here, so no "?" is ever stored
  // for a character that had no GBK form. A zero would end the text early: refused too.
  for (qsizetype i = 0; i < text.size(); ++i) {
    if (text[i].isHighSurrogate() && i + 1 < text.size() && text[i + 1].isLowSurrogate()) {
      ++i;
    } else if (text[i].isSurrogate() || text[i].isNull()) {
      return false;
    }
  }
  return platform::Utf8ToGbk(text.toStdString(), gbk);
}

namespace {

// Bytes a text field of the record can hold, its terminating zero excluded.
constexpr std::size_t kNameBytes = sizeof(TagRecord::name) - 1;
constexpr std::size_t kDescriptionBytes = sizeof(TagRecord::description) - 1;
constexpr std::size_t kDeviceNameBytes = sizeof(TagRecord::deviceName) - 1;
constexpr std::size_t kRegisterBytes = sizeof(TagRecord::registerText) - 1;

constexpr int kMaxScanPeriodMs = 3000000;
constexpr const char* kNoDriverText = "没有从系统中找到该驱动\n请在配置的驱动设备中选择驱动名称!";

QString Utf8(const char* text) {
  return QString::fromUtf8(text);
}

// True when two values of an entry are stored as the same number.
bool StoredEqual(double a, double b, bool isFloat) {
  if (isFloat)
    return static_cast<float>(a) == static_cast<float>(b);
  return std::trunc(a) == std::trunc(b);
}

// Trailing blanks (and other white space) removed.
QString TrimRight(const QString& text) {
  qsizetype end = text.size();
  while (end > 0 && text[end - 1].isSpace())
    --end;
  return text.left(end);
}

TagEntriesCheck Refuse(TagField field, const QString& message) {
  TagEntriesCheck check;
  check.field = field;
  check.message = message;
  return check;
}

TagEntriesCheck Accept(CheckedTag&& tag) {
  TagEntriesCheck check;
  check.ok = true;
  check.tag = std::move(tag);
  return check;
}

}  // namespace

const char* TagFieldName(TagField field) {
  switch (field) {
    case TagField::kName:
      return "变量名称";
    case TagField::kDescription:
      return "变量描述";
    case TagField::kMin:
      return "最小值";
    case TagField::kMax:
      return "最大值";
    case TagField::kDeadband:
      return "死区值";
    case TagField::kInitial:
      return "初始化值";
    case TagField::kScanPeriod:
      return "采集频率";
    case TagField::kRegister:
      return "寄存器";
    case TagField::kRawMin:
      return "最小原始值";
    case TagField::kRawMax:
      return "最大原始值";
    default:
      return "";
  }
}

TagEntriesCheck CheckTagEntries(const TagEntries& entries, std::span<const DeviceRecord> devices) {
  CheckedTag tag;
  // A text field: GBK only, within the record's bytes.
  auto textField = [](TagField field, std::size_t maxBytes, const QString& text,
                      std::string& gbk) -> std::optional<TagEntriesCheck> {
    const QString name = Utf8(TagFieldName(field));
    if (!QStringToGbk(text, gbk)) {
      return Refuse(field, Utf8("“%1”中有无法保存的字符：只能使用 GBK 字符集中的字符。").arg(name));
    }
    if (gbk.size() > maxBytes) {
      return Refuse(field,
                    Utf8("“%1”太长：最多 %2 个字节（一个汉字占 2 个字节），现在是 %3 个字节。")
                        .arg(name)
                        .arg(maxBytes)
                        .arg(gbk.size()));
    }
    return std::nullopt;
  };
  if (auto refused = textField(TagField::kName, kNameBytes, TrimRight(entries.name), tag.name))
    return *refused;
  if (auto refused = textField(TagField::kDescription, kDescriptionBytes, entries.description,
                               tag.description))
    return *refused;

  struct Number {
    TagField field;
    const QString* text;
    double* value;
  };
  const Number numbers[] = {{TagField::kMin, &entries.min, &tag.min},
                            {TagField::kMax, &entries.max, &tag.max},
                            {TagField::kDeadband, &entries.deadband, &tag.deadband},
                            {TagField::kInitial, &entries.initial, &tag.initial},
                            {TagField::kRawMin, &entries.rawMin, &tag.rawMin},
                            {TagField::kRawMax, &entries.rawMax, &tag.rawMax}};
  for (const Number& n : numbers) {
    bool ok = false;
    *n.value = n.text->toDouble(&ok);
    if (!ok || !std::isfinite(*n.value))
      return Refuse(n.field, Utf8("“%1”不是有效的数字。").arg(Utf8(TagFieldName(n.field))));
  }
  const StoredRange floatRange = EngineeringRange(kVarFloat);
  if (!Fits(tag.max, floatRange)) {
    return Refuse(TagField::kMax,
                  Utf8("“最大值”必须在 %1 到 %2 之间。")
                      .arg(FormatLimit(floatRange.min, true), FormatLimit(floatRange.max, true)));
  }
  bool periodOk = false;
  tag.scanPeriodMs = entries.scanPeriod.trimmed().toInt(&periodOk);
  if (!periodOk || tag.scanPeriodMs < 0 || tag.scanPeriodMs > kMaxScanPeriodMs) {
    return Refuse(TagField::kScanPeriod,
                  Utf8("“采集频率”必须是 0 到 %1 之间的整数（毫秒）。").arg(kMaxScanPeriodMs));
  }

  tag.varType = entries.varType;
  if (tag.varType < 0 || tag.varType >= kVarTypeCount)
    return Refuse(TagField::kVarType, Utf8("请选择变量类型。"));
  const bool numeric = tag.varType == kVarInteger || tag.varType == kVarFloat;
  // The numbers of `from` must fit `range`, which the type `kind` named `typeName` holds.
  auto outOfRange = [](std::initializer_list<Number> from, const StoredRange& range,
                       const char* kind, const char* typeName) -> std::optional<TagEntriesCheck> {
    for (const Number& n : from) {
      if (!Fits(*n.value, range)) {
        return Refuse(n.field,
                      Utf8("“%1”必须在 %2 到 %3 之间（%4“%5”）。")
                          .arg(Utf8(TagFieldName(n.field)), FormatLimit(range.min, range.isFloat),
                               FormatLimit(range.max, range.isFloat), Utf8(kind), Utf8(typeName)));
      }
    }
    return std::nullopt;
  };
  if (numeric) {
    if (auto refused =
            outOfRange({numbers[0], numbers[1], numbers[2], numbers[3]},
                       EngineeringRange(tag.varType), "变量类型", kVarTypeNames[tag.varType]))
      return *refused;
  }

  tag.external = entries.external;
  if (!tag.external)
    return Accept(std::move(tag));

  // Without a chosen device there is no driver to load: the tag's device is gone from the
  // project, and the user must pick one.
  tag.device = entries.device;
  if (tag.device < 0 || static_cast<std::size_t>(tag.device) >= devices.size())
    return Refuse(TagField::kDevice, Utf8(kNoDriverText));
  const std::string_view deviceName = platform::ArrayText(devices[tag.device].logicalName);
  if (deviceName.size() > kDeviceNameBytes) {
    return Refuse(TagField::kDevice,
                  Utf8("设备名称“%1”太长：变量最多只能保存 %2 个字节的设备名称（一个汉字占 2 "
                       "个字节），现在是 %3 个字节。请先缩短该设备的名称。")
                      .arg(GbkToQString(deviceName))
                      .arg(kDeviceNameBytes)
                      .arg(deviceName.size()));
  }

  const QString registerField = Utf8(TagFieldName(TagField::kRegister));
  if (!QStringToGbk(entries.registerText, tag.registerText)) {
    return Refuse(TagField::kRegister,
                  Utf8("“%1”中有无法保存的字符：只能使用 GBK 字符集中的字符。").arg(registerField));
  }
  if (tag.registerText.size() > kRegisterBytes) {
    return Refuse(TagField::kRegister, Utf8("“%1”太长：最多 %2 个字节，现在是 %3 个字节。")
                                           .arg(registerField)
                                           .arg(kRegisterBytes)
                                           .arg(tag.registerText.size()));
  }

  tag.rawType = entries.rawType;
  if (tag.rawType < 0 || tag.rawType >= kRawTypeCount)
    return Refuse(TagField::kDataType, Utf8("请选择数据类型。"));

  if (numeric && tag.rawType >= kRawByte && tag.rawType <= kRawFloat) {
    const StoredRange range = RawRange(tag.rawType);
    if (auto refused =
            outOfRange({numbers[4], numbers[5]}, range, "数据类型", kRawTypeNames[tag.rawType]))
      return *refused;
    // The runtime scales a raw value by (value - rawMin) / (rawMax - rawMin) into the
    // engineering range: equal ends would divide by zero.
    if (StoredEqual(tag.min, tag.max, tag.varType == kVarFloat)) {
      return Refuse(TagField::kMin,
                    Utf8("“最小值”不能等于“最大值”：量程为零时，原始值无法换算为工程值。"));
    }
    if (StoredEqual(tag.rawMin, tag.rawMax, range.isFloat)) {
      return Refuse(
          TagField::kRawMin,
          Utf8("“最小原始值”不能等于“最大原始值”：原始量程为零时，原始值无法换算为工程值。"));
    }
  }
  return Accept(std::move(tag));
}

}  // namespace talvek::tagcheck
