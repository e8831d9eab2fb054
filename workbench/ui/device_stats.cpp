#include "workbench/ui/device_stats.h"

#include <cstdio>

#include <QAction>
#include <QColor>
#include <QHeaderView>
#include <QTableView>
#include <QToolBar>
#include <QVBoxLayout>

#include "workbench/ui/comm_monitor.h"

namespace talvek {

QString DeviceStateText(DeviceState state) {
  switch (state) {
    case DeviceState::kWaiting:
      return QStringLiteral("等待");
    case DeviceState::kGood:
      return QStringLiteral("正常");
    case DeviceState::kFailing:
      return QStringLiteral("故障");
    case DeviceState::kDemoted:
      return QStringLiteral("已降级");
    case DeviceState::kGivenUp:
      return QStringLiteral("已放弃");
    case DeviceState::kPortDown:
      return QStringLiteral("端口未打开");
  }
  return {};
}

bool IsFailingState(DeviceState state) {
  return state == DeviceState::kFailing || state == DeviceState::kDemoted ||
         state == DeviceState::kGivenUp || state == DeviceState::kPortDown;
}

namespace {

QString Ms(double ms) {
  char text[32];
  std::snprintf(text, sizeof text, "%.1f", ms);
  return QString::fromLatin1(text);
}

}  // namespace

void DeviceStatsModel::SetRows(std::vector<DeviceStatistics> rows) {
  bool same = rows.size() == rows_.size();
  for (std::size_t i = 0; same && i < rows.size(); ++i)
    same = rows[i].deviceName == rows_[i].deviceName && rows[i].portNumber == rows_[i].portNumber;
  if (!same) {
    beginResetModel();
    rows_ = std::move(rows);
    endResetModel();
    return;
  }
  rows_ = std::move(rows);
  if (!rows_.empty())
    emit dataChanged(index(0, 0), index(rowCount() - 1, kColumnCount - 1));
}

int DeviceStatsModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int DeviceStatsModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QString DeviceStatsModel::Cell(const DeviceStatistics& s, int column) const {
  switch (column) {
    case kColDevice:
      return TextFromGbk(s.deviceName);
    case kColPort:
      return s.tcp ? QStringLiteral("TCP/IP") : QStringLiteral("Com%1").arg(s.portNumber);
    case kColState:
      return DeviceStateText(s.state);
    case kColRequests:
      return QString::number(s.requests);
    case kColAnswers:
      return QString::number(s.answers);
    case kColTimeouts:
      return QString::number(s.timeouts);
    case kColBadFrames:
      return QString::number(s.badFrames);
    case kColRefusals:
      return QString::number(s.refusals);
    case kColOther:
      return QString::number(s.otherFailures);
    case kColConsecutive:
      return QString::number(s.consecutiveFailures);
    case kColLastError:
      return TextFromGbk(s.lastError);
    case kColErrorTime:
      return s.lastErrorTimeUs == 0 ? QString() : LocalTimeText(s.lastErrorTimeUs, true);
    case kColResponse:
      return s.answers == 0
                 ? QString()
                 : QStringLiteral("%1 / %2 / %3")
                       .arg(Ms(s.lastResponseMs), Ms(s.meanResponseMs), Ms(s.maxResponseMs));
    case kColCycle:
      return s.cycleMs <= 0 ? QString() : Ms(s.cycleMs);
    default:
      return {};
  }
}

QVariant DeviceStatsModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() < 0 || index.row() >= rowCount() || index.column() < 0 ||
      index.column() >= kColumnCount)
    return {};
  const DeviceStatistics& s = rows_[static_cast<std::size_t>(index.row())];
  switch (role) {
    case Qt::DisplayRole:
      return Cell(s, index.column());
    case Qt::ToolTipRole:
      return index.column() == kColLastError ? Cell(s, index.column()) : QVariant();
    case Qt::ForegroundRole:
      if (index.column() == kColState && IsFailingState(s.state))
        return QColor(176, 0, 0);
      if (index.column() == kColState && s.state == DeviceState::kGood)
        return QColor(0, 128, 0);
      return {};
    case Qt::BackgroundRole:
      return IsFailingState(s.state) ? QVariant(QColor(255, 228, 228)) : QVariant();
    case Qt::TextAlignmentRole:
      if (index.column() >= kColRequests && index.column() <= kColConsecutive)
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
      return {};
    default:
      return {};
  }
}

QVariant DeviceStatsModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole || section < 0 ||
      section >= kColumnCount)
    return {};
  static const char* const kTitles[kColumnCount] = {"设备",
                                                    "端口",
                                                    "状态",
                                                    "请求",
                                                    "应答",
                                                    "超时",
                                                    "校验/格式错误",
                                                    "拒绝",
                                                    "其他",
                                                    "连续失败",
                                                    "最后错误",
                                                    "错误时间",
                                                    "响应(最近/平均/最大 ms)",
                                                    "周期 ms"};
  return QString::fromUtf8(kTitles[section]);
}

DeviceStatsPane::DeviceStatsPane(QAction* reset, QWidget* parent)
    : QDockWidget(QStringLiteral("设备统计"), parent) {
  setObjectName(QStringLiteral("deviceStatsPane"));
  model_ = new DeviceStatsModel(this);
  auto* body = new QWidget(this);
  auto* layout = new QVBoxLayout(body);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);
  auto* bar = new QToolBar(body);
  bar->setObjectName(QStringLiteral("deviceStatsBar"));
  bar->addAction(reset);
  layout->addWidget(bar);
  view_ = new QTableView(body);
  view_->setObjectName(QStringLiteral("deviceStatsView"));
  view_->setModel(model_);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view_->setWordWrap(false);
  view_->verticalHeader()->setVisible(false);
  view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view_->verticalHeader()->setDefaultSectionSize(view_->fontMetrics().height() + 4);
  view_->horizontalHeader()->setStretchLastSection(true);
  view_->horizontalHeader()->setSectionResizeMode(QHeaderView::Interactive);
  // Narrow counters, so that the whole row fits a common window.
  const int widths[DeviceStatsModel::kColumnCount] = {110, 70, 76, 56,  56,  56,  96,
                                                      56,  56, 64, 180, 140, 150, 64};
  for (int c = 0; c < DeviceStatsModel::kColumnCount; ++c)
    view_->setColumnWidth(c, widths[c]);
  view_->setContextMenuPolicy(Qt::ActionsContextMenu);
  view_->addAction(reset);
  layout->addWidget(view_, 1);
  setWidget(body);
}

}  // namespace talvek
