#include "workbench/runtime/tag_table.h"

#include <algorithm>
#include <cstring>

#include "platform/atoms.h"
#include "workbench/project/project_state.h"
#include "workbench/runtime/scaling.h"

namespace talvek {

void RuntimeTagTable::SetWriteSink(TagWriteSink* sink) {
  platform::MutexLock lock(mutex_);
  sink_ = sink;
}

void RuntimeTagTable::ClearWriteSink(TagWriteSink* sink) {
  platform::MutexLock lock(mutex_);
  if (sink_ == sink)
    sink_ = nullptr;
}

long RuntimeTagTable::FindFirst(std::string_view name) const {
  constexpr std::size_t kNameSize = sizeof(TagRecord::name);
  const std::size_t n = name.size();
  // A name longer than the array, or with a NUL inside, equals no stored text.
  if (n > kNameSize || std::memchr(name.data(), '\0', n) != nullptr)
    return -1;

  const std::size_t count = std::min(tags_.size(), kMaxAddressableTags);
  const TagRecord* tags = tags_.data();
  for (std::size_t i = 0; i < count; ++i) {
    const char* text = tags[i].name;
    // Cheap rejections first: the terminator where the name ends and the name's last byte.
    // Generated names ("Var00001", "Var00002", ...) share their first bytes, not their last.
    if (n < kNameSize && text[n] != '\0')
      continue;
    if (n > 0 && text[n - 1] != name[n - 1])
      continue;
    if (std::memcmp(text, name.data(), n) == 0)
      return static_cast<long>(i);
  }
  return -1;
}

bool RuntimeTagTable::FindTagIndex(std::string_view name, uint16_t& index) const {
  const long i = FindFirst(name);
  if (i < 0)
    return false;
  index = static_cast<uint16_t>(i);
  return true;
}

bool RuntimeTagTable::FindTagType(std::string_view name, int32_t& varType) const {
  const long i = FindFirst(name);
  if (i < 0)
    return false;
  varType = tags_[static_cast<std::size_t>(i)].varType;
  return true;
}

int RuntimeTagTable::ApplyResult(const GroupItem* item) {
  // The size does not change while communication runs, so it is checked before the mutex.
  if (item == nullptr || item->tagIndex >= tags_.size())
    return 0;
  platform::MutexLock lock(mutex_);
  TagRecord& t = tags_[item->tagIndex];
  if (t.varType < kVarDiscrete || t.varType > kVarString)
    return 0;

  StoreUpdateTime(t, item->updateTime);
  StoreQuality(t, item->quality);

  switch (t.varType) {
    case kVarDiscrete:
      StoreRawWord(t, item->value);
      StoreValueWord(t, item->value);
      return 1;
    case kVarString: {
      // Only the atom (low 16 bits) is replaced; the upper halves keep what they held.
      const uint32_t atom = static_cast<uint16_t>(item->value);
      const auto withAtom = [atom](int32_t word) {
        return static_cast<int32_t>((static_cast<uint32_t>(word) & 0xFFFF0000u) | atom);
      };
      StoreRawWord(t, withAtom(LoadRawWord(t)));
      StoreValueWord(t, withAtom(LoadValueWord(t)));
      return 1;
    }
    default:
      break;
  }

  // Integer and float tags. A string raw type has nothing to scale.
  if (t.rawType == kRawString)
    return 0;
  // The raw value is stored in the width of its type: the bits above it keep what they held,
  // as a device write of that width into the word would leave them.
  uint32_t keepMask = 0;
  if (t.rawType == kRawByte) {
    keepMask = 0xFFFFFF00u;
  } else if (t.rawType == kRawInt16 || t.rawType == kRawUInt16 || t.rawType == kRawBcd16) {
    keepMask = 0xFFFF0000u;
  }
  const uint32_t raw = (static_cast<uint32_t>(LoadRawWord(t)) & keepMask) |
                       (static_cast<uint32_t>(item->value) & ~keepMask);
  StoreRawWord(t, static_cast<int32_t>(raw));
  StoreValueWord(t, ScaleToEngineering(t, static_cast<int32_t>(raw)));
  return 1;
}

void RuntimeTagTable::Deliver(uint16_t tagIndex, int32_t raw) {
  // The sink's result is not reported: a write to a tag that no driver serves is dropped.
  if (sink_ != nullptr)
    sink_->WriteTag(tagIndex, raw);
}

int RuntimeTagTable::WriteDiscrete(uint16_t tagIndex, int16_t v) {
  if (tagIndex >= tags_.size())
    return 0;
  platform::MutexLock lock(mutex_);
  if (tags_[tagIndex].varType == kVarDiscrete)
    Deliver(tagIndex, v);
  return 1;
}

int RuntimeTagTable::WriteInteger(uint16_t tagIndex, int32_t v) {
  if (tagIndex >= tags_.size())
    return 0;
  platform::MutexLock lock(mutex_);
  const TagRecord& t = tags_[tagIndex];
  // The int32 engineering limits mean something only on an integer tag; on another type they
  // would be read from float bits or meaningless words.
  if (t.varType == kVarInteger)
    Deliver(tagIndex, IntegerToRaw(t, v));
  return 1;
}

int RuntimeTagTable::WriteFloat(uint16_t tagIndex, float x) {
  if (tagIndex >= tags_.size())
    return 0;
  platform::MutexLock lock(mutex_);
  const TagRecord& t = tags_[tagIndex];
  if (t.varType == kVarFloat) {
    if (const auto raw = FloatToRaw(t, x))
      Deliver(tagIndex, *raw);
  }
  return 1;
}

int RuntimeTagTable::WriteString(uint16_t tagIndex, std::string_view gbkText) {
  if (tagIndex >= tags_.size())
    return 0;
  platform::MutexLock lock(mutex_);
  if (tags_[tagIndex].varType != kVarString)
    return 1;
  // An atom name is 1..255 bytes; a NUL inside would name a different, shorter text.
  constexpr std::size_t kMaxAtomName = 255;
  if (gbkText.empty() || gbkText.size() > kMaxAtomName ||
      std::memchr(gbkText.data(), '\0', gbkText.size()) != nullptr) {
    return 1;
  }
  char text[kMaxAtomName + 1];
  std::memcpy(text, gbkText.data(), gbkText.size());
  text[gbkText.size()] = '\0';
  // An existing atom is reused; atoms are added, never deleted.
  ATOM atom = platform::GlobalFindAtomA(text);
  if (atom == 0)
    atom = platform::GlobalAddAtomA(text);
  if (atom != 0)
    Deliver(tagIndex, static_cast<int32_t>(atom));
  return 1;
}

int RuntimeTagTable::WriteDiscreteByName(std::string_view name, int16_t v) {
  uint16_t index = 0;
  return FindTagIndex(name, index) ? WriteDiscrete(index, v) : 0;
}

int RuntimeTagTable::WriteIntegerByName(std::string_view name, int32_t v) {
  uint16_t index = 0;
  return FindTagIndex(name, index) ? WriteInteger(index, v) : 0;
}

int RuntimeTagTable::WriteFloatByName(std::string_view name, float x) {
  uint16_t index = 0;
  return FindTagIndex(name, index) ? WriteFloat(index, x) : 0;
}

int RuntimeTagTable::WriteStringByName(std::string_view name, std::string_view gbkText) {
  uint16_t index = 0;
  return FindTagIndex(name, index) ? WriteString(index, gbkText) : 0;
}

platform::Mutex& TagTableMutex() {
  static platform::Mutex mutex;
  return mutex;
}

RuntimeTagTable& Tags() {
  static RuntimeTagTable table(Project().tags, TagTableMutex());
  return table;
}

const char* QualityText(uint16_t quality) {
  switch (quality) {
    case 192:
      return "好";
    case 4:
      return "配置错误";
    case 8:
      return "未连接";
    case 12:
      return "设备错误";
    case 16:
      return "传感器错误";
    case 24:
      return "串口错误";
    // Waiting for initial data: a polled tag not read yet since communication started.
    case 32:
      return "未读";
    // Bad, last known value, out of service, uncertain, last usable value, sensor not accurate,
    // engineering units exceeded, sub-normal, and good with a local override all show as bad.
    case 0:
    case 20:
    case 28:
    case 64:
    case 68:
    case 80:
    case 84:
    case 88:
    case 216:
      return "坏";
    default:
      return "";
  }
}

}  // namespace talvek
