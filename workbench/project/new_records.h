// The records a new device, a first tag and a new port entry start from.
//
// Texts are GBK, as everywhere inside records.
#pragma once

#include <string>
#include <string_view>
#include <vector>

#include "common/records.h"

namespace talvek {

// A new device: zeroed, logicalName "新建设备", empty station address, portNumber 1,
// retryIntervalSec 10, dynamicOptimization 1, recoveryLimitHours 5.
DeviceRecord NewDeviceRecord();

// Sets the defaults of a first tag on `tag` and leaves every other field as it was, including the
// upper 16 bits of rawMax and rawMin (only their low 16 bits are set): name "Var00001", the
// placeholder description, varType integer, initialValue, engMin, reserved word and deadband 0,
// engMax 999999999, the external flag, deviceName "Mod1", registerText "X3", rawType 5,
// scanPeriodMs 1000, rawMax 51711, rawMin 0. The new-tag command applies it to its scratch record
// when the tag table is empty.
void ApplyFirstTagDefaults(TagRecord& tag);

// The name for a new tag copied from a tag named `from` (GBK): `from` with its trailing decimal
// number stepped to the first value no tag of `tags` has, keeping the number's width with leading
// zeros ("温度3" -> "温度4", "Var00001" -> "Var00002", "Var00009" -> "Var00010"; "泵" -> "泵1").
// `from` as it is when no free name fits a tag's name field (31 bytes).
std::string NextFreeTagName(std::string_view from, const std::vector<TagRecord>& tags);
// A zeroed tag with the first-tag defaults applied.
TagRecord DefaultTagRecord();

// A port-table entry named "Com<portNumber>" with the default serial settings: 9600 baud, 8 data
// bits, 1 stop bit, no parity, 1000 ms time-out, and the fixed words 1, 1, 3, 10000, 1.
CommSettings DefaultPortEntry(int portNumber);

}  // namespace talvek
