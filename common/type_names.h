// Names (UTF-8) of the tag types and the raw data types as the user interface shows them: the
// tag editor's combos list them in this order, the project list writes them in its columns.
//
//   combo->addItem(QString::fromUtf8(kRawTypeNames[kRawFloat]));  // "浮点数(32位精度)"
//   cell = QString::fromUtf8(VarTypeName(tag.varType));           // "" for an unknown type
#pragma once

#include <cstdint>

#include "common/records.h"

namespace talvek {

// Number of variable types (离散, 整数, 浮点, 字符串).
inline constexpr int kVarTypeCount = 4;

// Names of the variable types 0..3 and of the raw data types 0..8.
inline constexpr const char* kVarTypeNames[kVarTypeCount] = {"离散", "整数", "浮点", "字符串"};
inline constexpr const char* kRawTypeNames[kRawTypeCount] = {
    "位", "字节", "整数", "无符号整数", "BCD", "长整数", "长整数BCD", "浮点数(32位精度)", "字符串"};

// Name of a variable type 0..3; empty for any other.
inline const char* VarTypeName(std::int32_t varType) {
  return varType >= 0 && varType < kVarTypeCount ? kVarTypeNames[varType] : "";
}

// Name of a raw data type 0..8; empty for any other.
inline const char* RawTypeName(std::int32_t rawType) {
  return rawType >= 0 && rawType < kRawTypeCount ? kRawTypeNames[rawType] : "";
}

}  // namespace talvek
