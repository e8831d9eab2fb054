// The S7-200 memories both S7 drivers serve: the first kMemoryAreaCount entries of their area
// tables, in the order of their area indexes, and how a driver appends its own entries.
//
//   constexpr AddressArea kOwn[] = {{"DELAY", 0, 1, s7::kTypeUint16, 0}};
//   constexpr auto kAreas = s7::MemoryAreasAnd(s7::kMemoryAreas, kOwn);
//   static_assert(s7::WidthEntriesFirst(kAreas));
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string_view>

#include "common/driver_contract.h"
#include "drivers/s7common/s7_address.h"
#include "drivers/s7common/s7_values.h"

namespace s7 {

inline constexpr int kMemoryAreaCount = 26;
// The plain entry of V memory, whose types stand for everything a memory holds.
inline constexpr int kMemoryAreaV = 3;

inline constexpr int32_t kAllTypes =
    kTypeBit | kTypeByte | kTypeInt16 | kTypeUint16 | kTypeInt32 | kTypeFloat | kTypeString;
inline constexpr int32_t kBitByteTypes = kTypeBit | kTypeByte;
inline constexpr int32_t kWordTypes = kTypeInt16 | kTypeUint16;
inline constexpr int32_t kDwordTypes = kTypeInt32 | kTypeFloat;

// Each memory's width entries before its plain entry. A width entry's maximum is the highest byte
// address at which its whole value still lies in the memory.
inline constexpr AddressArea kMemoryAreas[kMemoryAreaCount] = {
    {"VB", 0, 65535, kTypeByte, 0},   {"VW", 0, 65534, kWordTypes, 0},
    {"VD", 0, 65532, kDwordTypes, 0}, {"V", 0, 65535, kAllTypes, 0},
    {"IB", 0, 9999, kTypeByte, 0},    {"IW", 0, 9998, kWordTypes, 0},
    {"ID", 0, 9996, kDwordTypes, 0},  {"I", 0, 9999, kBitByteTypes, 0},
    {"QB", 0, 9999, kTypeByte, 0},    {"QW", 0, 9998, kWordTypes, 0},
    {"QD", 0, 9996, kDwordTypes, 0},  {"Q", 0, 9999, kBitByteTypes, 0},
    {"MB", 0, 9999, kTypeByte, 0},    {"MW", 0, 9998, kWordTypes, 0},
    {"MD", 0, 9996, kDwordTypes, 0},  {"M", 0, 9999, kBitByteTypes, 0},
    {"SMB", 0, 549, kTypeByte, 0},    {"SMW", 0, 548, kWordTypes, 0},
    {"SMD", 0, 546, kDwordTypes, 0},  {"SM", 0, 549, kBitByteTypes, 0},
    {"SB", 0, 31, kTypeByte, 0},      {"SW", 0, 30, kWordTypes, 0},
    {"SD", 0, 28, kDwordTypes, 0},    {"S", 0, 31, kBitByteTypes, 0},
    {"AIW", 0, 62, kWordTypes, 0},    {"AQW", 0, 62, kWordTypes, 0},
};

// The wire description of each entry above (V memory is data block 1 on the wire).
inline constexpr AreaInfo kMemoryAreaInfo[kMemoryAreaCount] = {
    {Memory::kV, 0x84, 1, 1, false},  {Memory::kV, 0x84, 1, 2, false},
    {Memory::kV, 0x84, 1, 4, false},  {Memory::kV, 0x84, 1, 0, false},
    {Memory::kI, 0x81, 0, 1, false},  {Memory::kI, 0x81, 0, 2, false},
    {Memory::kI, 0x81, 0, 4, false},  {Memory::kI, 0x81, 0, 0, false},
    {Memory::kQ, 0x82, 0, 1, false},  {Memory::kQ, 0x82, 0, 2, false},
    {Memory::kQ, 0x82, 0, 4, false},  {Memory::kQ, 0x82, 0, 0, false},
    {Memory::kM, 0x83, 0, 1, false},  {Memory::kM, 0x83, 0, 2, false},
    {Memory::kM, 0x83, 0, 4, false},  {Memory::kM, 0x83, 0, 0, false},
    {Memory::kSM, 0x05, 0, 1, false}, {Memory::kSM, 0x05, 0, 2, false},
    {Memory::kSM, 0x05, 0, 4, false}, {Memory::kSM, 0x05, 0, 0, false},
    {Memory::kS, 0x04, 0, 1, false},  {Memory::kS, 0x04, 0, 2, false},
    {Memory::kS, 0x04, 0, 4, false},  {Memory::kS, 0x04, 0, 0, false},
    {Memory::kAI, 0x06, 0, 2, true},  {Memory::kAQ, 0x07, 0, 2, true},
};

// A driver's whole table: the memories, then `own` (its entries from kMemoryAreaCount on).
template <typename T, std::size_t N>
constexpr std::array<T, kMemoryAreaCount + N> MemoryAreasAnd(const T (&memories)[kMemoryAreaCount],
                                                             const T (&own)[N]) {
  std::array<T, kMemoryAreaCount + N> all{};
  for (std::size_t i = 0; i < kMemoryAreaCount; ++i)
    all[i] = memories[i];
  for (std::size_t i = 0; i < N; ++i)
    all[kMemoryAreaCount + i] = own[i];
  return all;
}

// Whether no entry's name starts the name of a later one: the first-match rule of the host and
// the tag editor must never stop at the shorter name ("VW100" must find "VW", never "V").
constexpr bool WidthEntriesFirst(std::span<const AddressArea> areas) {
  for (std::size_t i = 0; i < areas.size(); ++i) {
    for (std::size_t j = 0; j < i; ++j) {
      if (std::string_view(areas[i].name).starts_with(areas[j].name))
        return false;
    }
  }
  return true;
}

}  // namespace s7
