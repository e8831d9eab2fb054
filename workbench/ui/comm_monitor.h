// The communication monitor: every frame the drivers send and receive and every event of their
// exchanges (time-out, bad checksum, refusal, reconnect), one row each, in a dockable pane of the
// main window.
//
//   CommMonitorPane pane(host, frame);  // trace on while the pane can be seen
//   frame.addDockWidget(Qt::BottomDockWidgetArea, &pane);
//
// The polling threads only push into the host's bounded trace queue; the pane's timer takes that
// queue on the user interface thread into the model, a ring of kMonitorRows rows whose oldest go.
#pragma once

#include <cstddef>
#include <cstdint>
#include <deque>
#include <span>
#include <string_view>
#include <vector>

#include <QAbstractTableModel>
#include <QDockWidget>
#include <QFont>
#include <QString>
#include <QStringList>

#include "workbench/project/driver_host_interface.h"

class QAction;
class QComboBox;
class QLabel;
class QTableView;
class QTimer;

namespace talvek {

// How many rows the monitor keeps; beyond it the oldest go.
inline constexpr std::size_t kMonitorRows = 20000;
// How often the pane takes the host's trace.
inline constexpr int kMonitorDrainMs = 200;

// A GBK text from a driver or a record; Latin-1 when it is not valid GBK.
QString TextFromGbk(std::string_view gbk);
// `timeUs` (microseconds since 1970 UTC) in local time: "HH:MM:SS.mmm", or with `withDate`
// "YYYY-MM-DD HH:MM:SS".
QString LocalTimeText(std::int64_t timeUs, bool withDate = false);

// The monitor's rows: a ring of the last entries (filtered or not) and the positions of those the
// port and device filters let through. data() formats only the cells the view asks for.
class CommMonitorModel final : public QAbstractTableModel {
  Q_OBJECT

 public:
  enum Column {
    kColTime,       // HH:MM:SS.mmm, local time
    kColPort,       // "Com<n>", or the device for one linked over TCP/IP
    kColDevice,     // the device of the station
    kColDirection,  // 发送 / 接收 / 事件
    kColLength,     // bytes of the frame
    kColBytes,      // the bytes in hexadecimal, separated by spaces
    kColText,       // the driver's reading of the frame, or the event
    kColumnCount
  };

  explicit CommMonitorModel(std::size_t capacity = kMonitorRows, QObject* parent = nullptr);

  // Appends `entries` (oldest first), dropping the oldest rows beyond the capacity. While paused,
  // the entries are dropped and counted instead.
  void Append(std::span<const TraceEntry> entries);
  // Forgets every row (and the count of rows dropped while paused); the ports and devices seen
  // stay in the filters' lists.
  void Clear();

  void SetPaused(bool paused);
  bool IsPaused() const { return paused_; }
  // Entries dropped while paused since the last Clear.
  std::uint64_t DroppedWhilePaused() const { return dropped_; }

  // Shows only the rows of port `port` (as the port column shows it) / of device `device`; an
  // empty text shows every row.
  void SetPortFilter(const QString& port);
  void SetDeviceFilter(const QString& device);
  // The ports and devices seen since the model was made, in the order first seen.
  const QStringList& Ports() const { return ports_; }
  const QStringList& Devices() const { return devices_; }

  // Rows kept in the ring, whether the filters show them or not.
  std::size_t StoredRows() const { return rows_.size(); }
  std::size_t Capacity() const { return capacity_; }

  // The shown rows `rows` as text: one line per row (ascending), the columns separated by tabs,
  // each line ended by "\n". Tabs and line breaks inside a cell become spaces.
  QString RowsText(std::vector<int> rows) const;
  // Every shown row, after a header line of the column titles.
  QString AllText() const;
  // The text of the event column for an event without a text of its own.
  static QString EventText(std::int32_t event, std::int32_t code);

  int rowCount(const QModelIndex& parent = {}) const override;
  int columnCount(const QModelIndex& parent = {}) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

 signals:
  // A port or a device was seen for the first time.
  void sourcesChanged();

 private:
  struct Row {
    std::int64_t timeUs = 0;
    QString port;
    QString device;
    std::int32_t kind = 0;
    std::int32_t event = 0;
    std::int32_t code = 0;
    std::vector<std::uint8_t> bytes;
    QString text;
  };
  const Row& RowAt(int row) const { return rows_[visible_[row] - firstSeq_]; }
  bool Passes(const Row& row) const;
  QString Cell(const Row& row, int column) const;
  QString LineOf(const Row& row) const;
  void Refilter();

  std::size_t capacity_;
  std::deque<Row> rows_;               // the ring, oldest first
  std::uint64_t firstSeq_ = 0;         // sequence number of rows_.front()
  std::deque<std::uint64_t> visible_;  // sequence numbers of the rows shown, ascending
  QString portFilter_;
  QString deviceFilter_;
  QStringList ports_;
  QStringList devices_;
  bool paused_ = false;
  std::uint64_t dropped_ = 0;
  QFont fixedFont_;
};

// The dockable pane: filters, pause, clear, copy and save above the rows.
class CommMonitorPane final : public QDockWidget {
  Q_OBJECT

 public:
  explicit CommMonitorPane(DriverHostInterface& host, QWidget* parent = nullptr);

  CommMonitorModel& Model() { return *model_; }
  QTableView* View() const { return view_; }
  QComboBox* PortFilter() const { return portFilter_; }
  QComboBox* DeviceFilter() const { return deviceFilter_; }
  QAction* PauseAction() const { return pauseAction_; }
  // The line under the filters: how many rows, and what pausing dropped.
  QString StatusText() const;

  // Trace on and the timer running while `active` (the pane can be seen); off otherwise.
  void SetActive(bool active);
  bool IsActive() const { return active_; }
  // Takes the host's trace into the model; the view follows the newest row when it showed it.
  void Drain();
  // Puts the selected rows on the clipboard as RowsText.
  void CopySelection();
  // Writes AllText to `path` in UTF-8 (no byte order mark), atomically. False with `error` set
  // when the file cannot be written.
  bool SaveTo(const QString& path, QString* error);
  // The host is going away: the pane never touches it again.
  void DetachHost();

 private:
  void UpdateSources();
  void UpdateStatus();
  void OnSave();

  DriverHostInterface* host_;
  CommMonitorModel* model_ = nullptr;
  QTableView* view_ = nullptr;
  QComboBox* portFilter_ = nullptr;
  QComboBox* deviceFilter_ = nullptr;
  QAction* pauseAction_ = nullptr;
  QLabel* status_ = nullptr;
  QTimer* timer_ = nullptr;
  bool active_ = false;
};

}  // namespace talvek
