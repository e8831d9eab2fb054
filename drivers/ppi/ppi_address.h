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
#include "drivers/s7common/s7_address.h"
#include "drivers/s7common/s7_values.h"
#include "platform/win_types.h"

namespace ppi {

// DataTypeFlag values: 1 shifted left by the tag's raw type (drivers/s7common/s7_values.h).
using s7::kTypeBcd16;  // never accepted by this driver
using s7::kTypeBcd32;  // never accepted by this driver
using s7::kTypeBit;
using s7::kTypeByte;
using s7::kTypeFloat;
using s7::kTypeInt16;
using s7::kTypeInt32;
using s7::kTypeString;
using s7::kTypeUint16;

// The area table. Every memory has its plain entry ("V": the area's own forms, "V" n, "V" n "." b
// for bits, "V" n "." len for strings) and its S7 width entries ("VB", "VW", "VD" n: one byte,
// a word or a double word at byte n). A width entry comes before the plain entry of its memory,
// because the host and the tag editor take the first entry whose name starts the register text
// and read the address number right after it: "VW100" must find "VW", never "V".
// Indexes into the table; the index is the area index of items and groups.
inline constexpr int kAreaVB = 0;
inline constexpr int kAreaVW = 1;
inline constexpr int kAreaVD = 2;
inline constexpr int kAreaV = 3;
inline constexpr int kAreaIB = 4;
inline constexpr int kAreaIW = 5;
inline constexpr int kAreaID = 6;
inline constexpr int kAreaI = 7;
inline constexpr int kAreaQB = 8;
inline constexpr int kAreaQW = 9;
inline constexpr int kAreaQD = 10;
inline constexpr int kAreaQ = 11;
inline constexpr int kAreaMB = 12;
inline constexpr int kAreaMW = 13;
inline constexpr int kAreaMD = 14;
inline constexpr int kAreaM = 15;
inline constexpr int kAreaSMB = 16;  // special memory (SMB0..SMB29 read-only)
inline constexpr int kAreaSMW = 17;
inline constexpr int kAreaSMD = 18;
inline constexpr int kAreaSM = 19;
inline constexpr int kAreaSB = 20;  // sequence relays
inline constexpr int kAreaSW = 21;
inline constexpr int kAreaSD = 22;
inline constexpr int kAreaS = 23;
inline constexpr int kAreaAIW = 24;    // analog inputs, words at even addresses, read-only
inline constexpr int kAreaAQW = 25;    // analog outputs, words at even addresses
inline constexpr int kAreaDelay = 26;  // the driver's two PollDelay registers, never on the wire
inline constexpr int kAreaCount = 27;

// SMB0..SMB29 hold the PLC's status bits and counters: a master may read, never write them.
using s7::kFirstWritableSm;

// The PLC memory an area entry addresses, and what the frames need to know of an entry
// (drivers/s7common/s7_address.h).
using s7::AreaInfo;
using s7::Memory;

// The entry's description; null for an index outside the table.
const AreaInfo* AreaInfoOf(int areaIndex);

// True when a write of the bytes first..last of the entry's memory must be refused because the
// PLC does not let a master change them: process inputs, analog inputs, SMB0..SMB29.
bool IsReadOnly(int areaIndex, int32_t first, int32_t last);

// LastError codes (string resources of the same numbers hold their texts).
inline constexpr int32_t kErrNoError = -1;           // initial value: no code was ever set
inline constexpr int32_t kErrStationNotDigits = 11;  // station text holds a non-digit
inline constexpr int32_t kErrAddressEmpty = s7::kErrAddressEmpty;
inline constexpr int32_t kErrTypeNotAllowed = s7::kErrTypeNotAllowed;
inline constexpr int32_t kErrAddressOutOfRange = s7::kErrAddressOutOfRange;
inline constexpr int32_t kErrBitOrLength = s7::kErrBitOrLength;
inline constexpr int32_t kErrAddressForm = s7::kErrAddressForm;
inline constexpr int32_t kErrWidthMismatch = s7::kErrWidthMismatch;
inline constexpr int32_t kErrReadOnly = 18;  // a write to memory the PLC does not let change

// Longest string tag in bytes, and the widest span of one merged read request.
inline constexpr int kMaxStringLength = s7::kMaxStringLength;
inline constexpr int kMaxReadSpan = 200;

// The area table (kAreaCount entries, see above). The array is static: the pointer stays valid for
// the life of the module and is the same on every call.
const AddressArea* AreaTable();

// Width in bytes of a value of `dataType` on the wire (1 for bit and byte, 2, 4); 0 for string,
// BCD and anything that is not a single known flag.
using s7::ValueWidth;

// Parses a station address made of decimal digits only. On success writes out->stationNumber
// (empty text = 0; values beyond INT32_MAX clamp to it) and copies the first bytes of `text`, at
// most 10 and never past its NUL, into out->addressText, leaving the rest of that array as it
// was; returns 1. A non-digit sets lastError = 11 and returns 0; null pointers return 0 without
// a code.
BOOL ParseStationAddress(const char* text, StationInfo* out, int32_t& lastError);

// Converts a tag's address text and type into `out` (area, areaIndex, dataType, dataType2,
// bitOrLength for bit and string tags, byteAddress, extra). Returns 0 when accepted and 1 when
// refused; a refusal sets lastError to 12..17, except for a text whose prefix matches no area,
// which leaves lastError unchanged. Only a whole address is accepted: the area name, a decimal
// number, and for bit and string tags "." and the bit number or length, nothing else. The
// 128-byte address array need not hold a NUL.
uint16_t ConvertUserConfigToVar(const TagAddressInput* in, DriverItem* out, int32_t& lastError);

// 1 when `item` may join the read request `group`, whose span is then widened to cover it; 0
// when the host must open a new group. Writes never merge, nor strings, nor DELAY items, nor items
// of another station or memory (entries of one memory, "V" and "VW", do merge); a span never
// exceeds 200 bytes. The group's end may be widened to cover its single first item even when the
// answer is 0.
BOOL CanMergeItem(const DriverItem* item, int32_t writeFlag, RequestGroup* group);

}  // namespace ppi
