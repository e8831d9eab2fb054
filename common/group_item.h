// GroupItem: one tag inside a request that the driver host hands to a protocol driver.
//
// 28 bytes, shared by the host and every driver, so the layout is a contract. The two driver
// interfaces read it differently: IProtocolDriver2 returns the value at offset 8 with a quality
// and a time stamp; IProtocolDriver returns the value at offset 12 and keeps the bit number at 6.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/win_types.h"

struct GroupItem {
  uint16_t tagIndex;     // position in the host's tag table
  uint16_t byteAddress;  // address number within the area
  uint16_t dataType;     // DataTypeFlag: 1 << rawType
  uint8_t bitNumber;     // IProtocolDriver view: bit number of a bit tag
  uint8_t pad7;
  int32_t value;        // IProtocolDriver2 view: value read or to write (string: atom in low 16 bits)
  int32_t bitOrLength;  // IProtocolDriver2 view: bit number / string length;
                        // IProtocolDriver view: the value read
  uint16_t quality;     // IProtocolDriver2 view: 192 after a successful read or write
  uint16_t pad18;
  FILETIME updateTime;  // IProtocolDriver2 view: time of the last update (UTC)
};

static_assert(sizeof(GroupItem) == 28);
static_assert(offsetof(GroupItem, byteAddress) == 2);
static_assert(offsetof(GroupItem, dataType) == 4);
static_assert(offsetof(GroupItem, bitNumber) == 6);
static_assert(offsetof(GroupItem, value) == 8);
static_assert(offsetof(GroupItem, bitOrLength) == 12);
static_assert(offsetof(GroupItem, quality) == 16);
static_assert(offsetof(GroupItem, updateTime) == 20);
