// The runtime tag table: the project's vector of TagRecords as the live process image.
//
// Polling threads store driver results into the tags (ApplyResult: raw value, quality, time, and
// the raw value scaled into the engineering range); the user-interface thread converts typed
// values into raw values and hands them to the driver host (the writers). Both serialise on the
// process-wide tag-table mutex, which every operation except the two lookups holds for its whole
// body, the call into TagWriteSink::WriteTag included (the driver host relies on that to guard
// its pending-write lists). Readers that do not take the mutex use the helpers of tag_fields.h.
//
// The table must not be reordered, grown or shortened while communication runs: requests hold
// tag indexes and the index checks read the size without the mutex.
//
//   RuntimeTagTable& tags = Tags();
//   tags.SetWriteSink(&driverHost);
//   tags.WriteIntegerByName("Var00001", 50);   // scaled, then driverHost.WriteTag(index, raw)
#pragma once

#include <cstdint>
#include <string_view>
#include <vector>

#include "common/group_item.h"
#include "common/records.h"
#include "platform/sync.h"
#include "workbench/runtime/tag_fields.h"

namespace talvek {

// Tag indexes travel as 16 bits, so only the first 65536 tags of the table are addressable.
inline constexpr std::size_t kMaxAddressableTags = 65536;

// Where the writers deliver a raw value: the driver host, which queues it on the tag's driver.
class TagWriteSink {
 public:
  // Queues the write of `value` (the raw word) to the tag at `tagIndex`; 1 when a driver serves
  // the tag, 0 otherwise. Called with the tag-table mutex held.
  virtual int WriteTag(uint16_t tagIndex, int32_t value) = 0;

 protected:
  ~TagWriteSink() = default;
};

class RuntimeTagTable {
 public:
  // Binds the table to `tags` and `mutex`; both must outlive it.
  RuntimeTagTable(std::vector<TagRecord>& tags, platform::Mutex& mutex)
      : tags_(tags), mutex_(mutex) {}
  RuntimeTagTable(const RuntimeTagTable&) = delete;
  RuntimeTagTable& operator=(const RuntimeTagTable&) = delete;

  // Sets where writes go (none: writes are dropped). Takes the mutex, so it never changes
  // under a writer.
  void SetWriteSink(TagWriteSink* sink);
  // Clears the write sink when it is `sink`, so a sink that goes away never withdraws another.
  void ClearWriteSink(TagWriteSink* sink);
  // The tag-table mutex, for those who store several fields or fence off a polling thread.
  platform::Mutex& Mutex() { return mutex_; }

  // The index of the first tag, scanning from 0, whose NUL-terminated `name` (at most its 32
  // bytes) equals `name` byte for byte (GBK, no case folding). Tags beyond the addressable 65536
  // are never found. No mutex: names do not change while communication runs.
  [[nodiscard]] bool FindTagIndex(std::string_view name, uint16_t& index) const;
  // The varType of the tag FindTagIndex would find.
  [[nodiscard]] bool FindTagType(std::string_view name, int32_t& varType) const;

  // Stores a driver result (time, quality, value at offset 8) into the tag at item->tagIndex and
  // scales it by the tag's types. 1 when the tag was updated; 0 for a null item, an index outside
  // the table, a string raw type on an integer/float tag (time and quality are still stored) and
  // an unknown varType (nothing stored).
  int ApplyResult(const GroupItem* item);

  // The writers hand the raw word to the sink and return 1 whether or not it was delivered
  // (writes report nothing to the user); 0 only for an index outside the table, untouched.
  // Discrete tags only: `v`, sign-extended, unchanged.
  int WriteDiscrete(uint16_t tagIndex, int16_t v);
  // Integer tags only: `v` converted by IntegerToRaw.
  int WriteInteger(uint16_t tagIndex, int32_t v);
  // Float tags only: `x` converted by FloatToRaw (a NaN with no raw equivalent is not sent).
  int WriteFloat(uint16_t tagIndex, float x);
  // String tags only: the atom of the GBK `text` (found, else added) in the low 16 bits. Nothing
  // is sent when no atom can be made (empty, longer than 255 bytes, embedded NUL, table full).
  int WriteString(uint16_t tagIndex, std::string_view gbkText);

  // FindTagIndex, then the writer; 0 and nothing written when the name is not found.
  int WriteDiscreteByName(std::string_view name, int16_t v);
  int WriteIntegerByName(std::string_view name, int32_t v);
  int WriteFloatByName(std::string_view name, float x);
  int WriteStringByName(std::string_view name, std::string_view gbkText);

 private:
  // The scan behind both lookups: the position of the first match, or -1.
  long FindFirst(std::string_view name) const;
  // Hands `raw` to the sink, if any. The caller holds the mutex.
  void Deliver(uint16_t tagIndex, int32_t raw);

  std::vector<TagRecord>& tags_;
  platform::Mutex& mutex_;
  TagWriteSink* sink_ = nullptr;  // guarded by mutex_
};

// The process-wide tag-table mutex, created on first use and never owned at creation.
platform::Mutex& TagTableMutex();

// The process-wide runtime tag table over Project().tags and TagTableMutex().
RuntimeTagTable& Tags();

// The list view's text (UTF-8) for a quality code: "好", "坏", "配置错误", "未连接", "设备错误",
// "传感器错误", "串口错误", "未读" (waiting for the first read); empty for a code without a text.
// Never null.
const char* QualityText(uint16_t quality);

}  // namespace talvek
