// Address rules of the PPI driver: the area table, station and tag address parsing, and
// the rule that merges tags into read requests.
//
// Everything here is pure: no port, no clock, no module state. The driver object keeps its
// LastError and hands it in by reference, so the same rules serve every driver object.
//
//   DriverItem item{};
//   int32_t lastError = -1;
//   if (ppi::ConvertUserConfigToVar(&input, &item, lastError) == 0) { /* accepted */ }
#pragma once

#include <cstdint>

#include "common/driver_contract.h"
#include "common/records.h"
#include "platform/win_types.h"

namespace ppi {

// DataTypeFlag values: 1 shifted left by the tag's raw type.
inline constexpr uint16_t kTypeBit = 1;
inline constexpr uint16_t kTypeByte = 2;
inline constexpr uint16_t kTypeInt16 = 4;
inline constexpr uint16_t kTypeUint16 = 8;
inline constexpr uint16_t kTypeBcd16 = 16;  // never accepted by this driver
inline constexpr uint16_t kTypeInt32 = 32;
inline constexpr uint16_t kTypeBcd32 = 64;  // never accepted by this driver
inline constexpr uint16_t kTypeFloat = 128;
inline constexpr uint16_t kTypeString = 256;

// Indexes into the area table; the index is the area index of items and groups.
inline constexpr int kAreaV = 0;
inline constexpr int kAreaI = 1;
inline constexpr int kAreaQ = 2;
inline constexpr int kAreaM = 3;
inline constexpr int kAreaDelay = 4;  // the driver's two PollDelay registers, never on the wire
inline constexpr int kAreaCount = 5;

// LastError codes (string resources of the same numbers hold their texts).
inline constexpr int32_t kErrNoError = -1;            // initial value: no code was ever set
inline constexpr int32_t kErrStationNotDigits = 11;   // station text holds a non-digit
inline constexpr int32_t kErrAddressEmpty = 12;       // address text empty or blank
inline constexpr int32_t kErrTypeNotAllowed = 13;     // data type not allowed in the area
inline constexpr int32_t kErrAddressOutOfRange = 14;  // byte address outside the area
inline constexpr int32_t kErrBitOrLength = 15;        // bit not 0..7 / string length not 1..127

// Longest string tag in bytes, and the widest span of one merged read request.
inline constexpr int kMaxStringLength = 127;
inline constexpr int kMaxReadSpan = 200;

// The 5-entry area table V, I, Q, M, DELAY. The array is static: the pointer stays valid for the
// life of the module and is the same on every call.
const AddressArea* AreaTable();

// Width in bytes of a value of `dataType` on the wire (1 for bit and byte, 2, 4); 0 for string,
// BCD and anything that is not a single known flag.
int ValueWidth(uint16_t dataType);

// Parses a station address made of decimal digits only. On success writes out->stationNumber
// (empty text = 0; values beyond INT32_MAX clamp to it) and copies the first bytes of `text`, at
// most 10 and never past its NUL, into out->addressText, leaving the rest of that array as it
// was; returns 1. A non-digit sets lastError = 11 and returns 0; null pointers return 0 without
// a code.
BOOL ParseStationAddress(const char* text, StationInfo* out, int32_t& lastError);

// Converts a tag's address text and type into `out` (area, areaIndex, dataType, dataType2,
// bitOrLength for bit and string tags, byteAddress, extra). Returns 0 when accepted and 1 when
// refused; a refusal sets lastError to 12..15, except for a text whose prefix matches no area,
// which leaves lastError unchanged. The 128-byte address array need not hold a NUL.
uint16_t ConvertUserConfigToVar(const TagAddressInput* in, DriverItem* out, int32_t& lastError);

// 1 when `item` may join the read request `group`, whose span is then widened to cover it; 0
// when the host must open a new group. Writes never merge, nor strings, nor DELAY items, nor items
// of another station or area; a span never exceeds 200 bytes. The group's end may be widened to
// cover its single first item even when the answer is 0.
BOOL CanMergeItem(const DriverItem* item, int32_t writeFlag, RequestGroup* group);

}  // namespace ppi
