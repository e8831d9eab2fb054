// The trend: a dockable pane of the main window that draws up to eight tags' live values over
// the last minutes, each curve in its own range, with the list of its curves as the legend. The
// samples and ranges live in a TrendStore; the pane draws them with Qt Charts.
//
//   TrendPane pane(mainWindow);
//   pane.AddTags(Project().tags, {3, 7});        // from the live list's "加入趋势"
//   pane.Sample(Project().tags, NowMs());        // on the live list's refresh tick
//   pane.Clear();                                // the project closed
#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include <QDockWidget>
#include <QImage>
#include <QString>

#include "common/records.h"
#include "workbench/ui/trend_store.h"

class QAction;
class QChart;
class QComboBox;
class QDateTimeAxis;
class QLabel;
class QLineSeries;
class QScatterSeries;
class QTableWidget;
class QValueAxis;

namespace talvek {

// Curves with more separate runs of good samples in the window than this are drawn as dots: a
// quality that flickers would otherwise cost a line object per run.
inline constexpr std::size_t kTrendMaxRunLines = 40;

// The trend button's 16 x 15 image: two curves on axes.
QImage TrendImage();

class TrendPane final : public QDockWidget {
  Q_OBJECT

 public:
  enum LegendColumn { kColTag, kColValue, kColRange, kColGaps, kLegendColumnCount };

  explicit TrendPane(QWidget* parent = nullptr);
  ~TrendPane() override;

  const TrendStore& Store() const { return store_; }

  // Adds a curve for each tag at `indexes` of `tags`, in order. Tags that get none (the trend is
  // full, a string tag) are named in one message box; tags already shown are passed over.
  // Returns how many were added.
  std::size_t AddTags(std::span<const TagRecord> tags, std::span<const std::size_t> indexes);
  // A refresh tick at `nowMs`: a sample of every curve, then the chart unless paused or hidden.
  void Sample(std::span<const TagRecord> tags, std::int64_t nowMs);
  // Drops every curve and its samples; `note` (may be empty) is shown in the status line.
  void Clear(const QString& note = {});
  // Clears the trend, saying why, when a curve's tag is no longer at its place in `tags`. True
  // when the curves were kept.
  bool CheckTags(std::span<const TagRecord> tags);

  // Curve `position` in `range`, or (nullopt) in its automatic range again.
  void SetRange(std::size_t position, std::optional<TrendRange> range);
  // Asks for the range of curve `position` in a small dialog.
  void EditRange(std::size_t position);
  // Removes the curves selected in the legend / all curves.
  void RemoveSelected();
  void RemoveAll();

  // The time window shown: one of kTrendWindowMinutes.
  void SetWindowMinutes(int minutes);
  int WindowMinutes() const;
  // While paused, samples are still recorded but the chart stays as it was.
  QAction* PauseAction() const { return pause_; }
  bool Paused() const;

  // Draws the curves for the window ending at `nowMs`.
  void Render(std::int64_t nowMs);

  // What the pane shows, for tests and the screenshot.
  QChart* Chart() const { return chart_; }
  QTableWidget* Legend() const { return legend_; }
  QComboBox* WindowBox() const { return windowBox_; }
  QString StatusText() const;
  // The legend's name of curve `position` in `range` ("温度 [0 … 120 自动]").
  QString CurveTitle(std::size_t position, TrendRange range) const;
  // Line objects of curve `position` holding points, and its dots.
  std::size_t LineCount(std::size_t position) const;
  std::size_t DotCount(std::size_t position) const;

 private:
  struct Curve {
    int colour = 0;
    std::vector<QLineSeries*> lines;  // the first carries the legend entry
    QScatterSeries* dots = nullptr;   // single good samples between gaps
  };

  void MakeCurve();
  void DropCurve(std::size_t position);
  QLineSeries* AddLine(Curve& curve, bool inLegend);
  void ShowStatus();
  void RefreshLegendRows();
  void OnPauseToggled(bool paused);

  TrendStore store_;
  std::vector<Curve> curves_;  // parallel to the store's series
  std::int64_t lastSampleMs_ = 0;
  QString note_;

  QChart* chart_ = nullptr;
  QDateTimeAxis* timeAxis_ = nullptr;
  QValueAxis* percentAxis_ = nullptr;
  QTableWidget* legend_ = nullptr;
  QComboBox* windowBox_ = nullptr;
  QAction* pause_ = nullptr;
  QLabel* status_ = nullptr;
};

}  // namespace talvek
