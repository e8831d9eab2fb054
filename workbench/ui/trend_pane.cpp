#include "workbench/ui/trend_pane.h"

#include <algorithm>
#include <cmath>

#include <QAction>
#include <QChart>
#include <QChartView>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QDateTimeAxis>
#include <QDialog>
#include <QDialogButtonBox>
#include <QFormLayout>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QLabel>
#include <QLegend>
#include <QLegendMarker>
#include <QLineEdit>
#include <QLineSeries>
#include <QPainter>
#include <QPixmap>
#include <QPushButton>
#include <QScatterSeries>
#include <QSplitter>
#include <QTableWidget>
#include <QToolBar>
#include <QVBoxLayout>
#include <QValueAxis>

#include "platform/gbk.h"
#include "workbench/project/message_sink.h"
#include "workbench/ui/comm_monitor.h"

namespace talvek {
namespace {

// Eight colours that stay apart on white, one per curve.
const QColor kCurveColours[kTrendMaxTags] = {
    QColor(0, 90, 200),   QColor(210, 40, 40), QColor(0, 150, 60),  QColor(230, 130, 0),
    QColor(140, 60, 180), QColor(0, 160, 170), QColor(120, 90, 40), QColor(200, 0, 140)};

// The window chosen at first.
constexpr int kDefaultWindowMinutes = 1;

QString Utf8(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

QIcon Swatch(const QColor& colour) {
  QPixmap pixmap(12, 12);
  pixmap.fill(colour);
  return QIcon(pixmap);
}

// The live value as the legend shows it: integers whole, floats with up to six digits.
QString ValueText(const TrendSample& s, std::int32_t varType) {
  if (s.unread)
    return QStringLiteral("（等待数据）");
  if (!s.drawable)
    return QStringLiteral("（质量坏）");
  if (varType == kVarFloat)
    return Utf8(RangeBoundText(s.value));
  return QString::number(static_cast<qint64>(s.value));
}

}  // namespace

QImage TrendImage() {
  QImage image(16, 15, QImage::Format_ARGB32);
  image.fill(Qt::transparent);
  QPainter p(&image);
  p.setRenderHint(QPainter::Antialiasing, false);
  p.setPen(QColor(64, 64, 64));
  p.drawLine(1, 1, 1, 13);
  p.drawLine(1, 13, 14, 13);
  p.setPen(QColor(0, 90, 200));
  const QPoint first[] = {QPoint(2, 10), QPoint(5, 6), QPoint(8, 8), QPoint(11, 3), QPoint(14, 4)};
  p.drawPolyline(first, static_cast<int>(std::size(first)));
  p.setPen(QColor(210, 40, 40));
  const QPoint second[] = {QPoint(2, 12), QPoint(6, 11), QPoint(9, 10), QPoint(14, 8)};
  p.drawPolyline(second, static_cast<int>(std::size(second)));
  return image;
}

TrendPane::TrendPane(QWidget* parent) : QDockWidget(QStringLiteral("趋势"), parent) {
  setObjectName(QStringLiteral("trendPane"));
  auto* body = new QWidget(this);
  auto* layout = new QVBoxLayout(body);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  auto* bar = new QToolBar(body);
  bar->setObjectName(QStringLiteral("trendBar"));
  bar->addWidget(new QLabel(QStringLiteral(" 时间窗口 "), bar));
  windowBox_ = new QComboBox(bar);
  windowBox_->setObjectName(QStringLiteral("trendWindow"));
  for (int minutes : kTrendWindowMinutes)
    windowBox_->addItem(QStringLiteral("%1 分钟").arg(minutes), minutes);
  bar->addWidget(windowBox_);
  pause_ = bar->addAction(QStringLiteral("暂停"));
  pause_->setObjectName(QStringLiteral("trendPause"));
  pause_->setCheckable(true);
  pause_->setToolTip(QStringLiteral("暂停显示：采样照常记录，继续后补上"));
  QAction* range = bar->addAction(QStringLiteral("量程..."));
  range->setToolTip(QStringLiteral("设定所选曲线的量程，或改回自动量程"));
  QAction* remove = bar->addAction(QStringLiteral("移除"));
  remove->setToolTip(QStringLiteral("移除所选的曲线"));
  QAction* removeAll = bar->addAction(QStringLiteral("全部移除"));
  status_ = new QLabel(bar);
  status_->setObjectName(QStringLiteral("trendStatus"));
  status_->setContentsMargins(8, 0, 4, 0);
  bar->addWidget(status_);
  layout->addWidget(bar);

  auto* split = new QSplitter(Qt::Horizontal, body);
  legend_ = new QTableWidget(0, kLegendColumnCount, split);
  legend_->setObjectName(QStringLiteral("trendLegend"));
  legend_->setHorizontalHeaderLabels({QStringLiteral("变量"), QStringLiteral("当前值"),
                                      QStringLiteral("曲线的量程"), QStringLiteral("质量坏")});
  legend_->setSelectionBehavior(QAbstractItemView::SelectRows);
  legend_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  legend_->verticalHeader()->setVisible(false);
  legend_->horizontalHeader()->setStretchLastSection(true);
  legend_->setColumnWidth(kColTag, 90);
  legend_->setColumnWidth(kColValue, 72);
  legend_->setColumnWidth(kColRange, 150);
  legend_->horizontalHeaderItem(kColGaps)->setToolTip(
      QStringLiteral("窗口内质量坏的采样数：曲线在这些地方断开"));
  legend_->setWordWrap(false);
  split->addWidget(legend_);

  chart_ = new QChart();
  chart_->setMargins(QMargins(4, 4, 4, 4));
  chart_->legend()->setAlignment(Qt::AlignTop);
  timeAxis_ = new QDateTimeAxis(chart_);
  timeAxis_->setTickCount(7);
  timeAxis_->setTitleText(QStringLiteral("时间"));
  percentAxis_ = new QValueAxis(chart_);
  percentAxis_->setRange(0, 100);
  percentAxis_->setTickCount(6);
  percentAxis_->setLabelFormat(QStringLiteral("%.0f%%"));
  percentAxis_->setTitleText(QStringLiteral("各自量程 %"));
  chart_->addAxis(timeAxis_, Qt::AlignBottom);
  chart_->addAxis(percentAxis_, Qt::AlignLeft);
  // Labels that would overlap are left out by the chart, which leaves uneven steps (0, 20, 60,
  // 100 %) on a low plot: a low plot gets the steps of 50 % that fit.
  connect(chart_, &QChart::plotAreaChanged, this, [this](const QRectF& area) {
    const int ticks = area.height() >= 6 * 2.2 * fontMetrics().height() ? 6 : 3;
    if (percentAxis_->tickCount() != ticks)
      percentAxis_->setTickCount(ticks);
  });
  auto* view = new QChartView(chart_, split);
  view->setObjectName(QStringLiteral("trendChart"));
  view->setRenderHint(QPainter::Antialiasing);
  view->setMinimumSize(360, 200);
  split->addWidget(view);
  split->setStretchFactor(0, 0);
  split->setStretchFactor(1, 1);
  split->setSizes({390, 800});
  layout->addWidget(split, 1);
  setWidget(body);

  windowBox_->setCurrentIndex(windowBox_->findData(kDefaultWindowMinutes));
  connect(windowBox_, &QComboBox::currentIndexChanged, this, [this] {
    ShowStatus();
    Render(lastSampleMs_);
  });
  connect(pause_, &QAction::toggled, this, &TrendPane::OnPauseToggled);
  connect(range, &QAction::triggered, this, [this] {
    const int row = legend_->currentRow();
    if (row >= 0 && static_cast<std::size_t>(row) < store_.Size())
      EditRange(static_cast<std::size_t>(row));
  });
  connect(legend_, &QTableWidget::cellDoubleClicked, this,
          [this](int row, int) { EditRange(static_cast<std::size_t>(row)); });
  connect(remove, &QAction::triggered, this, &TrendPane::RemoveSelected);
  connect(removeAll, &QAction::triggered, this, &TrendPane::RemoveAll);
  connect(this, &QDockWidget::visibilityChanged, this, [this](bool visible) {
    if (visible && !Paused())
      Render(lastSampleMs_);
  });
  ShowStatus();
}

TrendPane::~TrendPane() = default;

int TrendPane::WindowMinutes() const {
  return windowBox_->currentData().toInt();
}

void TrendPane::SetWindowMinutes(int minutes) {
  const int index = windowBox_->findData(minutes);
  if (index >= 0)
    windowBox_->setCurrentIndex(index);
}

bool TrendPane::Paused() const {
  return pause_->isChecked();
}

void TrendPane::OnPauseToggled(bool paused) {
  ShowStatus();
  if (!paused)
    Render(lastSampleMs_);
}

std::size_t TrendPane::AddTags(std::span<const TagRecord> tags,
                               std::span<const std::size_t> indexes) {
  std::size_t added = 0;
  QStringList full, notNumeric;
  for (std::size_t index : indexes) {
    const QString name =
        index < tags.size() ? TextFromGbk(platform::ArrayText(tags[index].name)) : QString();
    switch (store_.Add(tags, index)) {
      case TrendStore::AddResult::kAdded:
        MakeCurve();
        ++added;
        break;
      case TrendStore::AddResult::kFull:
        full << name;
        break;
      case TrendStore::AddResult::kNotNumeric:
        notNumeric << name;
        break;
      case TrendStore::AddResult::kAlreadyShown:
      case TrendStore::AddResult::kNoTag:
        break;
    }
  }
  if (added > 0)
    note_.clear();
  RefreshLegendRows();
  ShowStatus();
  Render(lastSampleMs_);
  QStringList lines;
  if (!full.isEmpty())
    lines << QStringLiteral(
                 "趋势最多同时显示 %1 个变量，以下变量没有加入：%2。请先移除不再需要的曲线。")
                 .arg(kTrendMaxTags)
                 .arg(full.join(QStringLiteral("、")));
  if (!notNumeric.isEmpty())
    lines << QStringLiteral("字符串变量没有可画的数值，没有加入趋势：%1。")
                 .arg(notNumeric.join(QStringLiteral("、")));
  if (!lines.isEmpty())
    ShowMessage(lines.join(QLatin1Char('\n')).toStdString(), {}, MessageButtons::kOk,
                MessageIcon::kWarning);
  return added;
}

void TrendPane::MakeCurve() {
  Curve curve;
  // The first colour no other curve has, so a removal leaves the others their colours.
  for (int c = 0; c < static_cast<int>(kTrendMaxTags); ++c) {
    if (std::none_of(curves_.begin(), curves_.end(),
                     [c](const Curve& k) { return k.colour == c; })) {
      curve.colour = c;
      break;
    }
  }
  AddLine(curve, true);
  curve.dots = new QScatterSeries(chart_);
  curve.dots->setColor(kCurveColours[curve.colour]);
  curve.dots->setBorderColor(kCurveColours[curve.colour]);
  curve.dots->setMarkerSize(4);
  chart_->addSeries(curve.dots);
  curve.dots->attachAxis(timeAxis_);
  curve.dots->attachAxis(percentAxis_);
  for (QLegendMarker* marker : chart_->legend()->markers(curve.dots))
    marker->setVisible(false);
  curves_.push_back(std::move(curve));
}

QLineSeries* TrendPane::AddLine(Curve& curve, bool inLegend) {
  auto* line = new QLineSeries(chart_);
  QPen pen(kCurveColours[curve.colour]);
  pen.setWidthF(1.5);
  line->setPen(pen);
  chart_->addSeries(line);
  line->attachAxis(timeAxis_);
  line->attachAxis(percentAxis_);
  if (!inLegend) {
    for (QLegendMarker* marker : chart_->legend()->markers(line))
      marker->setVisible(false);
  }
  curve.lines.push_back(line);
  return line;
}

void TrendPane::DropCurve(std::size_t position) {
  Curve& curve = curves_[position];
  for (QLineSeries* line : curve.lines) {
    chart_->removeSeries(line);
    delete line;
  }
  chart_->removeSeries(curve.dots);
  delete curve.dots;
  curves_.erase(curves_.begin() + static_cast<std::ptrdiff_t>(position));
}

void TrendPane::Sample(std::span<const TagRecord> tags, std::int64_t nowMs) {
  if (store_.Empty())
    return;
  store_.Sample(tags, nowMs);
  lastSampleMs_ = nowMs;
  if (!Paused() && isVisible())
    Render(nowMs);
}

void TrendPane::Clear(const QString& note) {
  while (!curves_.empty())
    DropCurve(curves_.size() - 1);
  store_.Clear();
  note_ = note;
  RefreshLegendRows();
  ShowStatus();
}

bool TrendPane::CheckTags(std::span<const TagRecord> tags) {
  if (store_.Matches(tags))
    return true;
  Clear(QStringLiteral("变量表已改变，趋势已清除。"));
  return false;
}

void TrendPane::RemoveSelected() {
  std::vector<int> rows;
  for (const QModelIndex& index : legend_->selectionModel()->selectedRows())
    rows.push_back(index.row());
  std::sort(rows.rbegin(), rows.rend());
  for (int row : rows) {
    if (store_.Remove(static_cast<std::size_t>(row)))
      DropCurve(static_cast<std::size_t>(row));
  }
  RefreshLegendRows();
  ShowStatus();
  Render(lastSampleMs_);
}

void TrendPane::RemoveAll() {
  Clear();
}

void TrendPane::SetRange(std::size_t position, std::optional<TrendRange> range) {
  if (position >= store_.Size())
    return;
  if (range)
    static_cast<void>(store_.SetManualRange(position, *range));
  else
    store_.SetAutoRange(position);
  Render(lastSampleMs_);
}

void TrendPane::EditRange(std::size_t position) {
  if (position >= store_.Size())
    return;
  const std::int64_t from = lastSampleMs_ - static_cast<std::int64_t>(WindowMinutes()) * 60000;
  const TrendRange now = store_.RangeOf(position, from);
  QDialog dialog(this);
  dialog.setWindowTitle(QStringLiteral("量程：%1").arg(TextFromGbk(store_.Series(position).name)));
  auto* form = new QFormLayout(&dialog);
  auto* automatic = new QCheckBox(QStringLiteral("自动量程（按窗口内的数值）"), &dialog);
  automatic->setChecked(!store_.Series(position).manual);
  auto* low = new QLineEdit(Utf8(RangeBoundText(now.low)), &dialog);
  auto* high = new QLineEdit(Utf8(RangeBoundText(now.high)), &dialog);
  form->addRow(automatic);
  form->addRow(QStringLiteral("下限："), low);
  form->addRow(QStringLiteral("上限："), high);
  auto* buttons = new QDialogButtonBox(QDialogButtonBox::Ok | QDialogButtonBox::Cancel, &dialog);
  buttons->button(QDialogButtonBox::Ok)->setText(QStringLiteral("确定"));
  buttons->button(QDialogButtonBox::Cancel)->setText(QStringLiteral("取消"));
  form->addRow(buttons);
  const auto follow = [=](bool on) {
    low->setEnabled(!on);
    high->setEnabled(!on);
  };
  follow(automatic->isChecked());
  connect(automatic, &QCheckBox::toggled, &dialog, follow);
  std::optional<TrendRange> chosen;
  connect(buttons, &QDialogButtonBox::rejected, &dialog, &QDialog::reject);
  connect(buttons, &QDialogButtonBox::accepted, &dialog, [&] {
    if (automatic->isChecked()) {
      chosen.reset();
      dialog.accept();
      return;
    }
    TrendRange range;
    std::string error;
    if (!ParseTrendRange(low->text().toStdString(), high->text().toStdString(), range, error)) {
      ShowMessage(error, {}, MessageButtons::kOk, MessageIcon::kWarning);
      return;
    }
    chosen = range;
    dialog.accept();
  });
  if (dialog.exec() == QDialog::Accepted && position < store_.Size())
    SetRange(position, chosen);
}

void TrendPane::Render(std::int64_t nowMs) {
  const std::int64_t windowMs = static_cast<std::int64_t>(WindowMinutes()) * 60000;
  if (nowMs == 0)
    nowMs = QDateTime::currentMSecsSinceEpoch();
  const std::int64_t from = nowMs - windowMs;
  timeAxis_->setFormat(WindowMinutes() <= 10 ? QStringLiteral("HH:mm:ss")
                                             : QStringLiteral("HH:mm"));
  timeAxis_->setRange(QDateTime::fromMSecsSinceEpoch(from), QDateTime::fromMSecsSinceEpoch(nowMs));

  for (std::size_t i = 0; i < store_.Size(); ++i) {
    const TrendSeries& s = store_.Series(i);
    const TrendRange range = store_.RangeOf(i, from);
    Curve& curve = curves_[i];
    // A gap where the value is not known (bad quality, no sample); a run of one sample is a dot.
    std::vector<QList<QPointF>> runs;
    QList<QPointF> dots;
    for (const TrendRun& run : DrawableRuns(s.ring, from)) {
      QList<QPointF> points;
      points.reserve(static_cast<qsizetype>(run.count));
      for (std::size_t k = run.first; k < run.first + run.count; ++k) {
        const TrendSample& sample = s.ring[k];
        points.append(
            QPointF(static_cast<double>(sample.timeMs), ScaledPercent(sample.value, range)));
      }
      if (points.size() == 1)
        dots.append(points.front());
      else
        runs.push_back(std::move(points));
    }
    // A quality that flickers would cost a line object per run: such a curve is drawn as dots.
    if (runs.size() > kTrendMaxRunLines) {
      for (const QList<QPointF>& r : runs)
        dots.append(r);
      runs.clear();
    }
    while (curve.lines.size() < runs.size())
      AddLine(curve, false);
    for (std::size_t r = 0; r < curve.lines.size(); ++r) {
      if (r < runs.size())
        curve.lines[r]->replace(runs[r]);
      else if (curve.lines[r]->count() > 0)
        curve.lines[r]->clear();
    }
    curve.dots->replace(dots);
    // A new legend text lays the chart out again: only when the range changed.
    if (const QString title = CurveTitle(i, range); curve.lines.front()->name() != title)
      curve.lines.front()->setName(title);
  }
  RefreshLegendRows();
}

QString TrendPane::CurveTitle(std::size_t position, TrendRange range) const {
  const TrendSeries& s = store_.Series(position);
  return QStringLiteral("%1 [%2 … %3 %4]")
      .arg(TextFromGbk(s.name), Utf8(RangeBoundText(range.low)), Utf8(RangeBoundText(range.high)),
           s.manual ? QStringLiteral("手动") : QStringLiteral("自动"));
}

void TrendPane::RefreshLegendRows() {
  const std::int64_t from = lastSampleMs_ - static_cast<std::int64_t>(WindowMinutes()) * 60000;
  legend_->setRowCount(static_cast<int>(store_.Size()));
  for (std::size_t i = 0; i < store_.Size(); ++i) {
    const TrendSeries& s = store_.Series(i);
    const TrendRange range = store_.RangeOf(i, from);
    std::size_t gaps = 0;
    for (std::size_t k = s.ring.FirstAtOrAfter(from); k < s.ring.Size(); ++k)
      gaps += s.ring[k].drawable || s.ring[k].unread ? 0 : 1;
    const QString texts[kLegendColumnCount] = {
        TextFromGbk(s.name),
        s.ring.Size() == 0 ? QString() : ValueText(s.ring[s.ring.Size() - 1], s.varType),
        QStringLiteral("%1 … %2（%3）")
            .arg(Utf8(RangeBoundText(range.low)), Utf8(RangeBoundText(range.high)),
                 s.manual ? QStringLiteral("手动") : QStringLiteral("自动")),
        QString::number(gaps)};
    for (int c = 0; c < kLegendColumnCount; ++c) {
      QTableWidgetItem* item = legend_->item(static_cast<int>(i), c);
      if (item == nullptr) {
        item = new QTableWidgetItem;
        legend_->setItem(static_cast<int>(i), c, item);
      }
      item->setText(texts[c]);
    }
    legend_->item(static_cast<int>(i), kColTag)->setIcon(Swatch(kCurveColours[curves_[i].colour]));
  }
}

QString TrendPane::StatusText() const {
  return status_->text();
}

void TrendPane::ShowStatus() {
  QString text = QStringLiteral("%1/%2 个变量").arg(store_.Size()).arg(kTrendMaxTags);
  if (store_.Empty())
    text += QStringLiteral("：在实时数据中右键选择“加入趋势”");
  if (Paused())
    text += QStringLiteral("；已暂停（采样照常记录）");
  text += QStringLiteral("；断线处为质量坏的采样");
  if (!note_.isEmpty())
    text = note_ + QStringLiteral(" ") + text;
  status_->setText(text);
}

std::size_t TrendPane::LineCount(std::size_t position) const {
  const Curve& curve = curves_.at(position);
  return static_cast<std::size_t>(std::count_if(curve.lines.begin(), curve.lines.end(),
                                                [](QLineSeries* l) { return l->count() > 0; }));
}

std::size_t TrendPane::DotCount(std::size_t position) const {
  return static_cast<std::size_t>(curves_.at(position).dots->count());
}

}  // namespace talvek
