// The trend: its rings, window trimming, quality gaps, the tag limit and the ranges (TrendStore,
// no window), and the pane drawing them.
#include <cmath>
#include <limits>
#include <string>
#include <vector>

#include <QComboBox>
#include <QTableWidget>
#include <QtTest>

#include "platform/gbk.h"
#include "workbench/runtime/tag_fields.h"
#include "workbench/ui/message_box_sink.h"
#include "workbench/ui/trend_pane.h"
#include "workbench/ui/trend_store.h"

using namespace talvek;

namespace {

constexpr std::uint16_t kGood = 192;

TagRecord Tag(const char* name, std::int32_t varType) {
  TagRecord t{};
  platform::CopyToArray(t.name, name);
  t.varType = varType;
  return t;
}

void SetLive(TagRecord& t, double value, std::uint16_t quality = kGood) {
  StoreValueWord(t, t.varType == kVarFloat ? std::bit_cast<std::int32_t>(static_cast<float>(value))
                                           : static_cast<std::int32_t>(value));
  StoreQuality(t, quality);
}

}  // namespace

class TestTrend : public QObject {
  Q_OBJECT

 private slots:
  void ringKeepsItsBoundAndTrimsToTheLongestWindow();
  void badQualityAndNonFiniteValuesAreGaps();
  void addKeepsTheLimitAndRefusesStrings();
  void matchesOnlyWhileTagsStayInPlace();
  void autoAndManualRanges();
  void paneDrawsRunsAndTellsWhatItRefused();
};

void TestTrend::ringKeepsItsBoundAndTrimsToTheLongestWindow() {
  TrendRing ring(4);
  QCOMPARE(ring.MemoryBytes(), std::size_t{0});  // nothing taken before the first sample
  for (int i = 0; i < 6; ++i)
    ring.Push({i * 1000, double(i), true});
  QCOMPARE(ring.Size(), std::size_t{4});
  QCOMPARE(ring[0].value, 2.0);  // the two oldest went
  QCOMPARE(ring[3].value, 5.0);
  QCOMPARE(ring.FirstAtOrAfter(3500), std::size_t{2});
  QCOMPARE(ring.FirstAtOrAfter(9000), std::size_t{4});
  ring.TrimBefore(4000);
  QCOMPARE(ring.Size(), std::size_t{2});
  QCOMPARE(ring[0].timeMs, std::int64_t{4000});
  ring.Push({6000, 6, true});  // wraps around the storage
  QCOMPARE(ring[2].value, 6.0);
  QCOMPARE(ring.MemoryBytes(), 4 * sizeof(TrendSample));

  // A store's rings hold at most the longest window: an hour and a half of ticks leaves the last
  // hour, and never more than the capacity.
  std::vector<TagRecord> tags{Tag("A", kVarInteger)};
  TrendStore store;
  QVERIFY(store.Add(tags, 0) == TrendStore::AddResult::kAdded);
  const std::int64_t start = 1'700'000'000'000;
  for (int s = 0; s < 5400; ++s) {
    SetLive(tags[0], s);
    store.Sample(tags, start + s * 1000LL);
  }
  const TrendRing& kept = store.Series(0).ring;
  QCOMPARE(kept.Size(), std::size_t{3601});
  QCOMPARE(kept[0].value, 1799.0);
  QCOMPARE(kept.MemoryBytes(), kTrendRingCapacity * sizeof(TrendSample));
}

void TestTrend::badQualityAndNonFiniteValuesAreGaps() {
  std::vector<TagRecord> tags{Tag("F", kVarFloat), Tag("I", kVarInteger)};
  TrendStore store;
  QVERIFY(store.Add(tags, 0) == TrendStore::AddResult::kAdded);
  QVERIFY(store.Add(tags, 1) == TrendStore::AddResult::kAdded);
  SetLive(tags[0], 1.5);
  SetLive(tags[1], -7, 0);  // a failed read keeps the old value word: not a good value
  store.Sample(tags, 1000);
  SetLive(tags[0], std::numeric_limits<double>::infinity());
  SetLive(tags[1], -7, 0x20);  // not read yet
  store.Sample(tags, 2000);
  tags.pop_back();  // the tag went: a gap, never a read beyond the table
  store.Sample(tags, 3000);
  const TrendRing& f = store.Series(0).ring;
  const TrendRing& i = store.Series(1).ring;
  QVERIFY(f[0].drawable && f[0].value == 1.5);
  QVERIFY(!f[1].drawable);
  QVERIFY(!i[0].drawable && !i[1].drawable && !i[2].drawable);
  QVERIFY(!i[0].unread && i[1].unread && !i[2].unread);
  // The automatic range looks at drawable samples only.
  const TrendRange r = AutoRange(f, 0);
  QVERIFY(r.low < 1.5 && r.high > 1.5 && r.high - r.low <= 1.0);
}

void TestTrend::addKeepsTheLimitAndRefusesStrings() {
  std::vector<TagRecord> tags;
  for (int n = 0; n < 10; ++n)
    tags.push_back(Tag(("T" + std::to_string(n)).c_str(), n == 9 ? kVarString : kVarDiscrete));
  TrendStore store;
  QVERIFY(store.Add(tags, 9) == TrendStore::AddResult::kNotNumeric);
  QVERIFY(store.Add(tags, 10) == TrendStore::AddResult::kNoTag);
  for (std::size_t n = 0; n < kTrendMaxTags; ++n)
    QVERIFY(store.Add(tags, n) == TrendStore::AddResult::kAdded);
  QVERIFY(store.Add(tags, 3) == TrendStore::AddResult::kAlreadyShown);
  QVERIFY(store.Add(tags, 8) == TrendStore::AddResult::kFull);
  QVERIFY(store.Remove(2));
  QVERIFY(!store.Remove(8));
  QVERIFY(store.Add(tags, 8) == TrendStore::AddResult::kAdded);
  QCOMPARE(store.Size(), kTrendMaxTags);
  QCOMPARE(store.Series(7).name, std::string("T8"));
}

void TestTrend::matchesOnlyWhileTagsStayInPlace() {
  std::vector<TagRecord> tags{Tag("A", kVarInteger), Tag("B", kVarFloat)};
  TrendStore store;
  QVERIFY(store.Add(tags, 1) == TrendStore::AddResult::kAdded);
  QVERIFY(store.Matches(tags));
  tags.push_back(Tag("C", kVarInteger));  // a tag added after it
  QVERIFY(store.Matches(tags));
  tags[1].varType = kVarInteger;
  QVERIFY(!store.Matches(tags));
  tags[1].varType = kVarFloat;
  tags.erase(tags.begin());  // a tag before it deleted: its index now names another tag
  QVERIFY(!store.Matches(tags));
  QVERIFY(!store.Matches({}));
}

void TestTrend::autoAndManualRanges() {
  TrendRing ring;
  ring.Push({0, 999, true});  // before the window
  ring.Push({1000, 3.17, true});
  ring.Push({2000, 118.4, true});
  ring.Push({3000, -500, false});
  TrendRange r = AutoRange(ring, 1000);
  QCOMPARE(r.low, 0.0);  // a step of 50: 0 … 150
  QCOMPARE(r.high, 150.0);
  QCOMPARE(ScaledPercent(75, r), 50.0);
  // An extreme on a step gets a step of room; a flat curve a band around it; nothing: 0 … 1.
  TrendRing edge;
  edge.Push({0, 0, true});
  edge.Push({1, 10, true});
  r = AutoRange(edge, 0);
  QVERIFY(r.low == -2 && r.high == 12);
  TrendRing flat;
  flat.Push({0, 230, true});
  r = AutoRange(flat, 0);
  QVERIFY(r.low == 150 && r.high == 300);
  r = AutoRange(TrendRing(), 0);
  QVERIFY(r.low == 0 && r.high == 1);
  QCOMPARE(ScaledPercent(5, {5, 5}), 50.0);  // no division by a zero span

  std::string error;
  QVERIFY(ParseTrendRange(" -2.5 ", "1e2", r, error));
  QVERIFY(r.low == -2.5 && r.high == 100);
  QVERIFY(!ParseTrendRange("10", "10", r, error));
  QCOMPARE(error, std::string("下限必须小于上限。"));
  QVERIFY(!ParseTrendRange("abc", "1", r, error));
  QVERIFY(!ParseTrendRange("1", "inf", r, error));
  QVERIFY(!ParseTrendRange("", "1", r, error));
  QCOMPARE(RangeBoundText(-0.0), std::string("0"));
  QCOMPARE(RangeBoundText(118.4), std::string("118.4"));

  std::vector<TagRecord> tags{Tag("A", kVarInteger)};
  TrendStore store;
  QVERIFY(store.Add(tags, 0) == TrendStore::AddResult::kAdded);
  QVERIFY(!store.SetManualRange(0, {5, 1}));
  QVERIFY(store.SetManualRange(0, {-10, 10}));
  QCOMPARE(store.RangeOf(0, 0).high, 10.0);
  store.SetAutoRange(0);
  QCOMPARE(store.RangeOf(0, 0).high, 1.0);
}

void TestTrend::paneDrawsRunsAndTellsWhatItRefused() {
  RecordingMessageSink sink;
  std::vector<TagRecord> tags;
  for (int n = 0; n < 10; ++n)
    tags.push_back(Tag(("温度" + std::to_string(n)).c_str(), n == 9 ? kVarString : kVarInteger));
  // Names are GBK in the records.
  for (TagRecord& t : tags) {
    std::string gbk;
    QVERIFY(platform::Utf8ToGbk(platform::ArrayText(t.name), gbk));
    platform::CopyToArray(t.name, gbk);
  }
  TrendPane pane;
  QCOMPARE(pane.WindowMinutes(), 1);
  pane.SetWindowMinutes(5);
  pane.resize(900, 400);
  pane.show();
  QVERIFY(QTest::qWaitForWindowExposed(&pane));
  const std::vector<std::size_t> all{0, 1, 2, 3, 4, 5, 6, 7, 8, 9};
  QCOMPARE(pane.AddTags(tags, all), kTrendMaxTags);
  QCOMPARE(sink.Messages().size(), std::size_t{1});
  QVERIFY(QString::fromStdString(sink.LastText()).contains("最多同时显示 8 个变量"));
  QVERIFY(QString::fromStdString(sink.LastText()).contains("温度8"));
  QVERIFY(QString::fromStdString(sink.LastText()).contains("字符串变量"));
  QCOMPARE(pane.Legend()->rowCount(), 8);

  // Curve 0: good, good, bad, good, bad, good, good: two lines and a dot, no line across a gap.
  const bool good[] = {true, true, false, true, false, true, true};
  const std::int64_t t0 = 1'700'000'000'000;
  for (int s = 0; s < 7; ++s) {
    SetLive(tags[0], 10 * s, good[s] ? kGood : 0);
    SetLive(tags[1], 0, 0x20);  // never read: gaps, but no bad reads
    pane.Sample(tags, t0 + s * 1000);
  }
  QCOMPARE(pane.Legend()->item(1, TrendPane::kColGaps)->text(), QString("0"));
  QCOMPARE(pane.Legend()->item(1, TrendPane::kColValue)->text(), QString("（等待数据）"));
  QCOMPARE(pane.LineCount(0), std::size_t{2});
  QCOMPARE(pane.DotCount(0), std::size_t{1});
  QCOMPARE(pane.Legend()->item(0, TrendPane::kColGaps)->text(), QString("2"));
  QVERIFY(pane.Legend()->item(0, TrendPane::kColRange)->text().contains("自动"));

  // A range set by the user shows in the legend; paused, the chart stays as it was.
  pane.SetRange(0, TrendRange{0, 100});
  QCOMPARE(pane.Legend()->item(0, TrendPane::kColRange)->text(), QString("0 … 100（手动）"));
  pane.PauseAction()->trigger();
  SetLive(tags[0], 70);
  pane.Sample(tags, t0 + 7000);
  QCOMPARE(pane.Legend()->item(0, TrendPane::kColValue)->text(), QString("60"));
  QCOMPARE(pane.Store().Series(0).ring.Size(), std::size_t{8});  // still recorded
  pane.PauseAction()->trigger();
  QCOMPARE(pane.Legend()->item(0, TrendPane::kColValue)->text(), QString("70"));

  // Samples a minute apart are not joined; a window of one minute leaves out the older ones from
  // the chart, not from the ring.
  pane.Sample(tags, t0 + 65'000);
  QCOMPARE(pane.LineCount(0), std::size_t{2});
  QCOMPARE(pane.DotCount(0), std::size_t{2});
  pane.SetWindowMinutes(1);
  QCOMPARE(pane.LineCount(0), std::size_t{1});
  QCOMPARE(pane.DotCount(0), std::size_t{1});
  QCOMPARE(pane.Store().Series(0).ring.Size(), std::size_t{9});

  // Removed one by one and all; the table changing under it clears it and says so.
  pane.Legend()->selectRow(0);
  pane.RemoveSelected();
  QCOMPARE(pane.Store().Series(0).name, tags[1].name);
  QVERIFY(pane.CheckTags(tags));
  tags.erase(tags.begin());
  QVERIFY(!pane.CheckTags(tags));
  QVERIFY(pane.Store().Empty());
  QCOMPARE(pane.Legend()->rowCount(), 0);
  QVERIFY(pane.StatusText().contains("变量表已改变"));
  QCOMPARE(pane.AddTags(tags, std::vector<std::size_t>{0}), std::size_t{1});
  pane.RemoveAll();
  QVERIFY(pane.Store().Empty());
}

QTEST_MAIN(TestTrend)
#include "tst_trend.moc"
