#include "workbench/project/new_records.h"

#include <cstdio>
#include <cstring>
#include <unordered_set>

#include "platform/gbk.h"

namespace talvek {
namespace {

// GBK bytes of "新建设备": the source is UTF-8, the records hold GBK.
constexpr char kNewDeviceName[] = "\xD0\xC2\xBD\xA8\xC9\xE8\xB1\xB8";
// GBK bytes of "一二三四五六七八九十一二三四五六七八九" (38 bytes, fits char[40] with its NUL).
constexpr char kPlaceholderDescription[] =
    "\xD2\xBB\xB6\xFE\xC8\xFD\xCB\xC4\xCE\xE5\xC1\xF9\xC6\xDF\xB0\xCB\xBE\xC5\xCA\xAE"
    "\xD2\xBB\xB6\xFE\xC8\xFD\xCB\xC4\xCE\xE5\xC1\xF9\xC6\xDF\xB0\xCB\xBE\xC5";

// Replaces the low 16 bits of a 32-bit word and keeps the upper ones.
int32_t WithLow16(int32_t word, uint16_t low) {
  return static_cast<int32_t>((static_cast<uint32_t>(word) & 0xFFFF0000u) | low);
}

}  // namespace

DeviceRecord NewDeviceRecord() {
  DeviceRecord device;
  std::memset(&device, 0, sizeof device);
  platform::CopyToArray(device.logicalName, kNewDeviceName);
  device.portNumber = 1;
  device.retryIntervalSec = 10;
  device.dynamicOptimization = 1;
  device.recoveryLimitHours = 5;
  return device;
}

void ApplyFirstTagDefaults(TagRecord& tag) {
  platform::CopyToArray(tag.name, "Var00001");
  platform::CopyToArray(tag.description, kPlaceholderDescription);
  tag.varType = kVarInteger;
  tag.initialValue = 0;
  tag.engMin = 0;
  tag.engMax = 999999999;
  tag.reserved92 = 0;
  tag.deadband = 0;
  tag.flags |= kTagExternal;
  platform::CopyToArray(tag.deviceName, "Mod1");
  platform::CopyToArray(tag.registerText, "X3");
  tag.rawType = kRawInt32;
  tag.scanPeriodMs = 1000;
  tag.rawMax = WithLow16(tag.rawMax, 51711);
  tag.rawMin = WithLow16(tag.rawMin, 0);
}

TagRecord DefaultTagRecord() {
  TagRecord tag;
  std::memset(&tag, 0, sizeof tag);
  ApplyFirstTagDefaults(tag);
  return tag;
}

CommSettings DefaultPortEntry(int portNumber) {
  CommSettings port;
  std::memset(&port, 0, sizeof port);
  port.reserved0 = 1;
  port.linkKind = kLinkSerial;
  std::snprintf(port.portName, sizeof port.portName, "Com%d", portNumber);
  port.baudRate = 9600;
  port.dataBits = 8;
  port.stopBits = 1;
  port.parity = 0;
  port.timeoutMs = 1000;
  port.reserved48 = 3;
  port.reserved50 = 10000;
  port.reserved52 = 1;
  return port;
}

std::string NextFreeTagName(std::string_view from, const std::vector<TagRecord>& tags) {
  // The trailing digits are ASCII: no GBK trail byte lies in '0'..'9', so they never split a
  // double-byte character.
  std::size_t digits = 0;
  while (digits < from.size() && from[from.size() - 1 - digits] >= '0' &&
         from[from.size() - 1 - digits] <= '9') {
    ++digits;
  }
  const std::string_view stem = from.substr(0, from.size() - digits);
  unsigned long long number = 0;
  for (char c : from.substr(stem.size()))
    number = number * 10 + static_cast<unsigned>(c - '0');
  if (digits > 18)
    return std::string(from);  // a number this long is no counter
  std::unordered_set<std::string_view> taken;
  taken.reserve(tags.size());
  for (const TagRecord& tag : tags)
    taken.insert(std::string_view(tag.name, strnlen(tag.name, sizeof tag.name)));
  for (unsigned long long n = number + 1; n <= number + tags.size() + 1; ++n) {
    char text[24];
    std::snprintf(text, sizeof text, "%0*llu", static_cast<int>(digits), n);
    std::string name(stem);
    name += text;
    if (name.size() >= sizeof(TagRecord::name))
      break;
    if (taken.count(name) == 0)
      return name;
  }
  return std::string(from);
}

}  // namespace talvek
