// The contract between the driver host and a protocol driver: two COM interfaces and the records
// that cross them.
//
// A protocol driver is an in-process COM object. The host creates it through CoCreateInstance for
// IProtocolDriver, asks for IProtocolDriver2, lists the driver's address areas once (GetRegisters),
// has each tag's address converted into a DriverItem (ConvertUserConfigToVar), lets the driver
// merge items into RequestGroups (CanMergeItem), and polls the groups from one thread. Records are
// passed by pointer between separately built modules, so their field order is part of the
// contract; pointer fields are as wide as the build's pointers, every other field keeps its
// Windows width. Results are BOOL (1 success, 0 failure), except ConvertUserConfigToVar, which
// answers 0 for accepted.
#pragma once

#include <cstddef>
#include <cstdint>

#include "common/group_item.h"
#include "common/records.h"
#include "platform/com.h"
#include "platform/win_types.h"

// One address area of a driver, e.g. "V" bytes 0..65535. The driver owns a static table of them;
// a pointer into it stays valid for the life of the driver module.
struct AddressArea {
  char name[8];        // NUL-padded prefix of an address text
  int32_t minAddress;  // lowest address number
  int32_t maxAddress;  // highest address number
  int32_t typeMask;    // OR of the DataTypeFlags (1 << rawType) allowed in the area
  // 0, or kAreaAddressFromDriver: the number right after the name is not the address (a data
  // block "DB5.DBW10" names its block there), so the host takes the address of an item of this
  // area from the driver's ConvertUserConfigToVar (DriverItem::byteAddress).
  int32_t reserved;
};
inline constexpr int32_t kAreaAddressFromDriver = 1;
static_assert(sizeof(AddressArea) == 24);
static_assert(offsetof(AddressArea, minAddress) == 8);
static_assert(offsetof(AddressArea, typeMask) == 16);

// What the host hands to ConvertUserConfigToVar for one tag.
struct TagAddressInput {
  char model[32];     // the device's model name
  char address[128];  // the tag's register text, NUL-terminated
  int16_t dataType;   // DataTypeFlag of the tag's raw type
  int16_t extra;      // copied unchanged into DriverItem::extra (the host passes the write flag)
  int32_t pad164;
};
static_assert(sizeof(TagAddressInput) == 168);
static_assert(offsetof(TagAddressInput, address) == 32);
static_assert(offsetof(TagAddressInput, dataType) == 160);
static_assert(offsetof(TagAddressInput, extra) == 162);

// The host's working descriptor of one tag, completed by the driver's ConvertUserConfigToVar,
// which fills area, areaIndex, dataType, bitOrLength, byteAddress, dataType2 and extra.
struct DriverItem {
  uint16_t tagIndex;
  int16_t varType;
  char name[32];
  uint16_t reserved36;       // host: 0; no driver reads it
  int16_t station;           // low 16 bits of the device's station number
  StationInfo* stationCopy;  // host-private copy of the device's station
  // Set by the host to the tag's register text; replaced by the driver with the matched area.
  union {
    const char* registerText;
    const AddressArea* area;
  };
  uint16_t areaIndex;   // host: the tag's registerIndex; driver: index of the matched area
  int16_t dataType;     // driver: copy of the input's DataTypeFlag
  int16_t bitOrLength;  // driver: bit number 0..7 (bit tags) or byte length (strings)
  // Offset 54 (32-bit layout). Host: 0. Driver: the word order of a 32-bit value, bit 0 set = low
  // word first (the Modbus driver's kLowWordFirst; the PPI driver leaves it 0). The host copies it
  // into RequestGroup::wordOrder.
  uint16_t wordOrder;
  int16_t byteAddress;  // host: the address number; driver: the parsed address
  uint16_t dataType2;   // host: DataTypeFlag; driver: copy of the input's DataTypeFlag
  uint16_t extra;       // host: write flag; driver: copy of the input's extra word
  uint16_t pad62;
  // Filled by the host with fixed values that no driver reads.
  int32_t reserved64;   // host: 1000
  int32_t reserved68;   // host: 875
  int32_t reserved72;   // host: 0
  int32_t reserved76;   // host: 0xFFFF
  int32_t reserved80;   // host: 0
  uint16_t reserved84;  // host: 1
  uint16_t reserved86;  // host: 0
  uint16_t reserved88;  // host: 0
  uint16_t pad90;
};
static_assert(offsetof(DriverItem, reserved36) == 36);
static_assert(offsetof(DriverItem, station) == 38);
static_assert(offsetof(DriverItem, stationCopy) == 40);
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(DriverItem) == 92);
static_assert(offsetof(DriverItem, area) == 44);
static_assert(offsetof(DriverItem, areaIndex) == 48);
static_assert(offsetof(DriverItem, wordOrder) == 54);
static_assert(offsetof(DriverItem, byteAddress) == 56);
static_assert(offsetof(DriverItem, extra) == 60);
static_assert(offsetof(DriverItem, reserved64) == 64);
static_assert(offsetof(DriverItem, reserved84) == 84);
static_assert(offsetof(DriverItem, reserved88) == 88);
#endif

// The host's list of a group's items: a doubly linked list of nodes, each pointing at one
// GroupItem. The host builds and frees it; a driver only walks it from `head` through `next`.
struct GroupItemNode {
  GroupItemNode* next;
  GroupItemNode* prev;
  GroupItem* item;
};

struct GroupItemList {
  void* reserved0;  // keeps `head` at the offset drivers expect
  GroupItemNode* head;
  GroupItemNode* tail;
  int32_t count;
  void* reserved1;
  void* reserved2;
  int32_t blockSize;
};

// One request of the host to a driver: a span of one area of one station, and its items.
struct RequestGroup {
  uint16_t reserved0;          // host: 0
  int16_t station;             // destination station (first 16 bits of the device's StationInfo)
  StationInfo* stationBuffer;  // the group's own copy of the station (number and address text)
  const char* modelText;       // driverModel of the tag that opened the group
  const AddressArea* area;     // matched area entry
  uint16_t areaIndex;          // index into the driver's area table
  int16_t dataType;            // DataTypeFlag of the first item
  int16_t bitOrLength;         // bit number (bit write) or string length (string write)
  uint16_t wordOrder;          // offset 22: the first item's DriverItem::wordOrder
  int32_t startAddress;        // first address of the span
  int32_t endAddress;          // last address of the span; widened by CanMergeItem
  uint16_t writeFlag;          // 0 read, 1 write
  uint16_t pad34;
  GroupItemList items;
};
static_assert(offsetof(RequestGroup, station) == 2);
static_assert(offsetof(RequestGroup, stationBuffer) % alignof(void*) == 0);
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(RequestGroup) == 64);
static_assert(offsetof(RequestGroup, areaIndex) == 16);
static_assert(offsetof(RequestGroup, wordOrder) == 22);
static_assert(offsetof(RequestGroup, startAddress) == 24);
static_assert(offsetof(RequestGroup, endAddress) == 28);
static_assert(offsetof(RequestGroup, writeFlag) == 32);
static_assert(offsetof(RequestGroup, items) + offsetof(GroupItemList, head) == 40);
static_assert(offsetof(RequestGroup, items) + offsetof(GroupItemList, count) == 48);
#endif

// Appends an item node to a group's list (host side; the node is owned by the list).
inline void AppendGroupItem(GroupItemList& list, GroupItem* item) {
  auto* node = new GroupItemNode{nullptr, list.tail, item};
  if (list.tail) {
    list.tail->next = node;
  } else {
    list.head = node;
  }
  list.tail = node;
  ++list.count;
}

// Frees every node and every GroupItem of the list (host side).
inline void ClearGroupItems(GroupItemList& list) {
  for (GroupItemNode* n = list.head; n != nullptr;) {
    GroupItemNode* next = n->next;
    delete n->item;
    delete n;
    n = next;
  }
  list.head = list.tail = nullptr;
  list.count = 0;
}

// {2D921821-D190-11D1-BB16-004005625AD7}
inline constexpr IID IID_IProtocolDriver = {
    0x2D921821, 0xD190, 0x11D1, {0xBB, 0x16, 0x00, 0x40, 0x05, 0x62, 0x5A, 0xD7}};
// {8CB34601-A8F5-11D4-8BE0-0050BACFBB99}
inline constexpr IID IID_IProtocolDriver2 = {
    0x8CB34601, 0xA8F5, 0x11D4, {0x8B, 0xE0, 0x00, 0x50, 0xBA, 0xCF, 0xBB, 0x99}};

// The first driver interface. Slot order is the contract: do not reorder.
class IProtocolDriver : public IUnknown {
 public:
  // Slot 3: *table = the driver's area table, *count = its length; 1 on success.
  virtual BOOL GetRegisters(const char* model, const AddressArea** table, int32_t* count) = 0;
  // Slot 4: 1 when the station answers a status request.
  virtual BOOL ProbeStation(int32_t reserved, int32_t station, int32_t reserved2) = 0;
  // Slot 5: 0 = accepted and `out` filled; 1 = refused (the last error is set). Inverted sense.
  virtual uint16_t ConvertUserConfigToVar(const TagAddressInput* in, DriverItem* out) = 0;
  // Slot 6: reserved, answers 1.
  virtual BOOL Reserved6(int32_t a, int32_t b, int32_t c) = 0;
  // Slot 7: opens and configures the port; the driver keeps the settings pointer while open.
  virtual BOOL OpenPort(int32_t mode, const CommSettings* settings) = 0;
  // Slot 8: closes the port; answers 1.
  virtual BOOL ClosePort() = 0;
  // Slot 9: link set-up for TCP/IP devices.
  virtual BOOL InitLink(const char* model, int32_t stationNumber, int32_t* stationNumberOut) = 0;
  // Slot 10: 1 when `item` may join `group` (the group's span is widened to cover it).
  virtual BOOL CanMergeItem(const DriverItem* item, int32_t writeFlag, RequestGroup* group) = 0;
  // Slot 11: executes a group; a read fills each item's value at offset 12.
  virtual BOOL ExecuteGroup(RequestGroup* group) = 0;
  // Slot 12: parses a station address text into `out`.
  virtual BOOL ParseStationAddress(const char* text, StationInfo* out) = 0;
  // Slot 13: the text (GBK) of the last error, or null when no error was ever set.
  virtual const char* GetLastErrorText() = 0;

 protected:
  ~IProtocolDriver() = default;
};

// The second driver interface, a sibling of the first on the same object.
class IProtocolDriver2 : public IUnknown {
 public:
  // Slot 3: executes a group; a read fills each item's value, quality 192 and time stamp.
  virtual BOOL ExecuteGroupEx(RequestGroup* group) = 0;
  // Slot 4: takes *handle as the driver's port, without configuring it; answers 1.
  virtual BOOL AttachPort(const HANDLE* handle) = 0;
  // Slot 5: reserved, answers 1.
  virtual BOOL Reserved5(int32_t a, int32_t b, int32_t c) = 0;
  // Slot 6: *handle = the driver's port (INVALID_HANDLE_VALUE when closed); answers 1.
  virtual BOOL GetPortHandle(HANDLE* handle) = 0;

 protected:
  ~IProtocolDriver2() = default;
};
