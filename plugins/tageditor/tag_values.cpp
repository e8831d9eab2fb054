#include "plugins/tageditor/tag_values.h"

#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstring>

#include "common/records.h"
#include "platform/gbk.h"

namespace talvek::tageditor {

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

}  // namespace talvek::tageditor
