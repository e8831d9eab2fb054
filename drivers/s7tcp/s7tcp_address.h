// Address rules of the ISO-on-TCP S7 driver: the area table (the PPI driver's areas plus data
// blocks), the station address "host[:port],rack,slot", the TSAP rules of each PLC family, tag
// address parsing and the rule that merges tags into read requests.
//
// Pure: no socket, no clock, no module state. The caller keeps LastError and gets codes back.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "common/driver_contract.h"
#include "common/records.h"
#include "drivers/s7common/s7_address.h"
#include "drivers/s7common/s7_values.h"
#include "platform/win_types.h"

namespace s7tcp {

// The area table: the PPI driver's memories (V, I, Q, M, SM, S with their B/W/D entries, AIW,
// AQW) in the same order and with the same ranges, then "DB" for data blocks. A data block tag is
// written "DB" n "." and one of "DBB" a (byte), "DBW" a (word), "DBD" a (double word) or "DBX" a
// with the forms of a plain entry ("DBX" a "." b for a bit, "DBX" a "." len for a string, "DBX" a
// for any other type). The host finds "DB" for every such text and reads the block number after
// it, which the driver replaces by the byte address.
inline constexpr int kAreaV = 3;
inline constexpr int kAreaDb = 26;
inline constexpr int kAreaCount = 27;

// LastError codes. 12..17 are the shared address rules' (drivers/s7common/s7_address.h).
inline constexpr int32_t kErrNoError = -1;
inline constexpr int32_t kErrStationText = 11;     // station address not host[:port],rack,slot
inline constexpr int32_t kErrReadOnly = 18;        // a write to memory the PLC keeps for itself
inline constexpr int32_t kErrDbNumber = 19;        // DB number not 1..65535 or form "DBn." wrong
inline constexpr int32_t kErrUnknownModel = 20;    // not one of the three model texts
inline constexpr int32_t kErrRackSlot = 21;        // rack/slot outside the family's rules
inline constexpr int32_t kErrConnect = 22;         // TCP connection failed (refused, time-out)
inline constexpr int32_t kErrTsapRefused = 23;     // the PLC refused the COTP connection
inline constexpr int32_t kErrSetup = 24;           // setup communication failed
inline constexpr int32_t kErrTimeout = 25;         // no (whole) reply within the time-out
inline constexpr int32_t kErrConnectionLost = 26;  // the PLC closed or reset the connection
inline constexpr int32_t kErrWrongReference = 27;  // a reply to another job (PDU reference)
inline constexpr int32_t kErrBadReply = 28;        // a reply that is not what was asked for
inline constexpr int32_t kErrJobRefused = 29;      // the PLC refused the job (header error)
inline constexpr int32_t kErrTooLarge = 30;        // a write that does not fit the PDU
// Item return codes other than 0xFF: kErrItemBase + code (0x01..0xFE).
inline constexpr int32_t kErrItemBase = 0x100;

// The area table (kAreaCount entries); static, valid for the life of the module.
const AddressArea* AreaTable();
// The wire description of an entry; null for an index outside the table.
const s7::AreaInfo* AreaInfoOf(int areaIndex);

// The PLC families and their TSAP rules.
enum class Family { k200, k300, k1200 };
inline constexpr char kModel200[] = "S7-200(TCP)";
inline constexpr char kModel300[] = "S7-300/400(TCP)";
inline constexpr char kModel1200[] = "S7-1200/1500(TCP)";
// The family of a model text; false for any other text.
bool FamilyOf(std::string_view model, Family* family);

// Where a PLC is and which CPU to talk to.
struct Station {
  std::string host;  // numeric IPv4, IPv6 without brackets, or a host name
  uint16_t port = 102;
  int rack = 0;
  int slot = 0;
};

// Parses "host[:port],rack,slot" ("192.168.0.10,0,1", "192.168.0.10:102,0,2", "[::1]:1102,0,1").
// Blanks around the parts are allowed; the port is 1..65535, rack 0..7, slot 0..31. Returns
// kErrNoError-like 0 on success, else kErrStationText.
int32_t ParseStation(std::string_view text, Station* out);

// The TSAPs of a connection: local (calling) and remote (called, rack and slot of the CPU).
struct Tsaps {
  uint16_t local = 0;
  uint16_t remote = 0;
};
// The TSAPs of `family` for the station; false (kErrRackSlot) when its rack and slot do not fit
// the family: S7-200 successors only 0,1; S7-300/400 rack 0..7, slot 1..31; S7-1200/1500 rack 0,
// slot 0 or 1.
bool TsapsFor(Family family, const Station& station, Tsaps* out);

// ParseStationAddress: on success out->stationNumber = rack × 32 + slot and the text (at most 63
// bytes) in out->addressText, NUL-padded; returns 1. Else lastError = kErrStationText, 0.
BOOL ParseStationAddress(const char* text, StationInfo* out, int32_t& lastError);

// ConvertUserConfigToVar: area, areaIndex, dataType, dataType2, bitOrLength, byteAddress, extra,
// and for data blocks the block number in wordOrder (copied by the host into the group).
// 0 accepted, 1 refused with lastError set (unchanged for a text no area starts).
uint16_t ConvertUserConfigToVar(const TagAddressInput* in, DriverItem* out, int32_t& lastError);

// The widest span of one read group. Gaps inside it are not read: the driver reads the items'
// runs, several in one job, so a wide span costs no extra bytes on the wire.
inline constexpr int32_t kMaxGroupSpan = 4096;

// 1 when `item` may join the read group: a read, not a string, the same station address text,
// the same memory (and data block), and the span stays within kMaxGroupSpan.
BOOL CanMergeItem(const DriverItem* item, int32_t writeFlag, RequestGroup* group);

// The data block of a group or item on the wire: its own for DB entries, 1 for V, 0 otherwise.
uint16_t WireDb(int areaIndex, uint16_t wordOrder);

}  // namespace s7tcp
