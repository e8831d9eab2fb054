// The device statistics: the counters of every device polled (requests, answers, failures by
// kind, response times, its state), one row each, in a dockable pane of the main window. The main
// window hands it the host's Statistics() once a second while communication runs.
#pragma once

#include <vector>

#include <QAbstractTableModel>
#include <QDockWidget>

#include "workbench/project/driver_host_interface.h"

class QAction;
class QTableView;

namespace talvek {

// How often the main window refreshes the statistics while communication runs.
inline constexpr int kStatisticsRefreshMs = 1000;

// The Chinese name of a device state, as the pane and the status bar show it.
QString DeviceStateText(DeviceState state);
// True for the states the status bar counts as failing.
bool IsFailingState(DeviceState state);

class DeviceStatsModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column {
    kColDevice,
    kColPort,
    kColState,
    kColRequests,
    kColAnswers,
    kColTimeouts,
    kColBadFrames,
    kColRefusals,
    kColOther,
    kColConsecutive,
    kColLastError,
    kColErrorTime,
    kColResponse,  // last / mean / max ms
    kColCycle,
    kColumnCount
  };

  using QAbstractTableModel::QAbstractTableModel;

  // Shows `rows`; the same devices in the same order only repaint their cells.
  void SetRows(std::vector<DeviceStatistics> rows);
  const std::vector<DeviceStatistics>& Rows() const { return rows_; }

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 private:
  QString Cell(const DeviceStatistics& s, int column) const;

  std::vector<DeviceStatistics> rows_;
};

// The dockable pane: the "重置统计" button above the rows.
class DeviceStatsPane final : public QDockWidget {
  Q_OBJECT

 public:
  // `reset` is the main window's reset command, also in its view menu.
  DeviceStatsPane(QAction* reset, QWidget* parent = nullptr);

  DeviceStatsModel& Model() { return *model_; }
  QTableView* View() const { return view_; }

 private:
  DeviceStatsModel* model_ = nullptr;
  QTableView* view_ = nullptr;
};

}  // namespace talvek
