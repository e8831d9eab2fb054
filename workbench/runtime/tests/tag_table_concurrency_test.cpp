// Polling threads applying results, user writes and a lock-free reader, all at once. Meant to run
// under ThreadSanitizer as well: the recording sink below has no lock of its own, so a write that
// reached it without the tag-table mutex would show up as a data race.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdio>
#include <thread>
#include <vector>

#include "platform/atoms.h"
#include "workbench/runtime/tag_table.h"

namespace {

using talvek::RuntimeTagTable;

constexpr int kTags = 48;
constexpr int kPollers = 3;
constexpr int kWriters = 2;
constexpr int kRounds = 400;
// Item values encode who stored them: poller p, round r -> p * kStride + r.
constexpr int32_t kStride = 100000;

class UnlockedRecorder : public talvek::TagWriteSink {
 public:
  int WriteTag(uint16_t tagIndex, int32_t value) override {
    // Plain, unsynchronised state on purpose: only the tag-table mutex orders these calls.
    ++count;
    sum += value;
    lastIndex = tagIndex;
    return 1;
  }
  long count = 0;
  long long sum = 0;
  uint16_t lastIndex = 0;
};

// Tags 0, 3, 6, ... are discrete; the others are integer tags whose scaling is the identity, so
// value and rawValue must always agree after a result.
std::vector<TagRecord> MakeTags() {
  std::vector<TagRecord> tags(kTags);
  for (int i = 0; i < kTags; ++i) {
    TagRecord& t = tags[i];
    std::snprintf(t.name, sizeof t.name, "Conc%02d", i);
    t.varType = (i % 3 == 0) ? kVarDiscrete : kVarInteger;
    t.rawType = (i % 3 == 0) ? kRawBit : kRawInt32;
    t.rawMin = 0;
    t.rawMax = 1000000;
    t.engMin = 0;
    t.engMax = 1000000;
  }
  return tags;
}

bool IsStoredValue(int32_t v) {
  return v == 0 || (v >= 0 && v / kStride < kPollers && v % kStride < kRounds);
}

TEST(TagTableConcurrencyTest, ResultsWritesAndReadersDoNotInterfere) {
  std::vector<TagRecord> tags = MakeTags();
  platform::Mutex mutex;
  RuntimeTagTable table(tags, mutex);
  UnlockedRecorder recorder;
  table.SetWriteSink(&recorder);

  std::atomic<bool> stop{false};
  std::atomic<long> readerViolations{0};
  std::atomic<long> readerPasses{0};
  std::vector<std::thread> threads;

  // Pollers walk the whole table each round, starting at different tags so they overlap.
  for (int p = 0; p < kPollers; ++p) {
    threads.emplace_back([&, p] {
      for (int r = 0; r < kRounds; ++r) {
        for (int k = 0; k < kTags; ++k) {
          const int i = (k + p * 7) % kTags;
          GroupItem item{};
          item.tagIndex = static_cast<uint16_t>(i);
          item.value = p * kStride + r;
          item.quality = static_cast<uint16_t>(p);
          // The time stamp repeats the value, so a tag whose fields came from two different
          // results (the body not serialised) is detectable afterwards.
          item.updateTime = FILETIME{static_cast<DWORD>(item.value), static_cast<DWORD>(p)};
          table.ApplyResult(&item);
        }
      }
    });
  }
  // Writers: integer writes by index and by name, discrete writes, string writes.
  const char* text = "concurrency-text";
  for (int w = 0; w < kWriters; ++w) {
    threads.emplace_back([&, w] {
      for (int r = 0; r < kRounds; ++r) {
        table.WriteInteger(1, 7);
        table.WriteDiscrete(0, 1);
        table.WriteIntegerByName("Conc02", 7);
        if (w == 0 && r % 50 == 0)
          table.WriteString(0, text);  // varType 0: dropped
      }
    });
  }
  // The reader makes at least one pass even when the others finish before it is scheduled (a
  // loaded machine), so the pass count below cannot depend on timing.
  std::thread reader([&] {
    do {
      for (const TagRecord& t : tags) {
        const int32_t v = talvek::LoadValueWord(t);
        const int32_t raw = talvek::LoadRawWord(t);
        const uint16_t q = talvek::LoadQuality(t);
        const FILETIME time = talvek::LoadUpdateTime(t);
        if (!IsStoredValue(v) || !IsStoredValue(raw) || q >= kPollers ||
            time.dwHighDateTime >= kPollers) {
          readerViolations.fetch_add(1);
        }
      }
      readerPasses.fetch_add(1);
    } while (!stop.load());
  });

  for (std::thread& t : threads)
    t.join();
  stop.store(true);
  reader.join();

  EXPECT_EQ(readerViolations.load(), 0);
  EXPECT_GT(readerPasses.load(), 0);
  for (int i = 0; i < kTags; ++i) {
    SCOPED_TRACE(i);
    const TagRecord& t = tags[i];
    // Every tag ends with the last round of one poller, whole.
    EXPECT_EQ(t.value % kStride, kRounds - 1);
    const int32_t poller = t.value / kStride;
    EXPECT_EQ(t.rawValue, t.value);
    EXPECT_EQ(t.quality, poller);
    EXPECT_EQ(static_cast<int32_t>(t.updateTime.dwLowDateTime), t.value);
    EXPECT_EQ(static_cast<int32_t>(t.updateTime.dwHighDateTime), poller);
  }
  // Every write of a matching type reached the sink: 7 + 1 + 7 per writer round.
  EXPECT_EQ(recorder.count, kWriters * kRounds * 3L);
  EXPECT_EQ(recorder.sum, kWriters * kRounds * 15LL);
}

}  // namespace
