#include "workbench/ui/comm_monitor.h"

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <string>

#include <QAction>
#include <QApplication>
#include <QClipboard>
#include <QColor>
#include <QComboBox>
#include <QFileDialog>
#include <QFontDatabase>
#include <QHeaderView>
#include <QLabel>
#include <QSaveFile>
#include <QScrollBar>
#include <QTableView>
#include <QTimer>
#include <QToolBar>
#include <QVBoxLayout>

#include "common/driver_trace.h"
#include "platform/gbk.h"
#include "workbench/project/message_sink.h"

namespace talvek {

QString TextFromGbk(std::string_view gbk) {
  std::string utf8;
  if (!platform::GbkToUtf8(gbk, utf8))
    return QString::fromLatin1(gbk.data(), static_cast<qsizetype>(gbk.size()));
  return QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
}

QString LocalTimeText(std::int64_t timeUs, bool withDate) {
  // Floor division, so a time before 1970 still gives a millisecond in 0..999.
  std::int64_t seconds = timeUs / 1000000;
  std::int64_t rest = timeUs % 1000000;
  if (rest < 0) {
    rest += 1000000;
    --seconds;
  }
  const std::time_t t = static_cast<std::time_t>(seconds);
  std::tm local{};
  if (localtime_r(&t, &local) == nullptr)
    return {};
  char text[64];
  if (withDate) {
    std::snprintf(text, sizeof text, "%04d-%02d-%02d %02d:%02d:%02d", local.tm_year + 1900,
                  local.tm_mon + 1, local.tm_mday, local.tm_hour, local.tm_min, local.tm_sec);
  } else {
    std::snprintf(text, sizeof text, "%02d:%02d:%02d.%03d", local.tm_hour, local.tm_min,
                  local.tm_sec, static_cast<int>(rest / 1000));
  }
  return QString::fromLatin1(text);
}

namespace {

bool IsFailure(std::int32_t event) {
  return event == kTraceTimeout || event == kTraceBadChecksum || event == kTraceBadFormat ||
         event == kTraceRefused || event == kTraceLinkError;
}

QString HexText(const std::vector<std::uint8_t>& bytes) {
  static constexpr char kDigits[] = "0123456789ABCDEF";
  QString text;
  if (bytes.empty())
    return text;
  text.resize(static_cast<qsizetype>(bytes.size() * 3 - 1));
  QChar* out = text.data();
  for (std::size_t i = 0; i < bytes.size(); ++i) {
    if (i != 0)
      *out++ = QLatin1Char(' ');
    *out++ = QLatin1Char(kDigits[bytes[i] >> 4]);
    *out++ = QLatin1Char(kDigits[bytes[i] & 0x0F]);
  }
  return text;
}

// A cell as one line of tab-separated text.
QString Flat(QString text) {
  for (QChar& c : text) {
    if (c == QLatin1Char('\t') || c == QLatin1Char('\n') || c == QLatin1Char('\r'))
      c = QLatin1Char(' ');
  }
  return text;
}

}  // namespace

CommMonitorModel::CommMonitorModel(std::size_t capacity, QObject* parent)
    : QAbstractTableModel(parent),
      capacity_(std::max<std::size_t>(capacity, 1)),
      fixedFont_(QFontDatabase::systemFont(QFontDatabase::FixedFont)) {}

QString CommMonitorModel::EventText(std::int32_t event, std::int32_t code) {
  switch (event) {
    case kTraceTimeout:
      return QStringLiteral("超时");
    case kTraceBadChecksum:
      return QStringLiteral("校验错误");
    case kTraceBadFormat:
      return QStringLiteral("应答格式错误");
    case kTraceRefused:
      return QStringLiteral("异常 %1").arg(code & 0xFF, 2, 16, QLatin1Char('0')).toUpper();
    case kTraceReconnect:
      return QStringLiteral("重新连接");
    case kTraceLinkError:
      return QStringLiteral("线路故障");
    default:
      return QStringLiteral("事件 %1").arg(event);
  }
}

void CommMonitorModel::Append(std::span<const TraceEntry> entries) {
  if (entries.empty())
    return;
  if (paused_) {
    dropped_ += entries.size();
    return;
  }
  // Of a batch larger than the ring only its newest entries would survive.
  if (entries.size() > capacity_)
    entries = entries.last(capacity_);
  const std::size_t evict =
      rows_.size() + entries.size() > capacity_ ? rows_.size() + entries.size() - capacity_ : 0;
  if (evict != 0) {
    const std::uint64_t keepFrom = firstSeq_ + evict;
    const auto shownGone = static_cast<std::size_t>(
        std::lower_bound(visible_.begin(), visible_.end(), keepFrom) - visible_.begin());
    if (shownGone != 0) {
      beginRemoveRows({}, 0, static_cast<int>(shownGone) - 1);
      visible_.erase(visible_.begin(), visible_.begin() + static_cast<std::ptrdiff_t>(shownGone));
      endRemoveRows();
    }
    rows_.erase(rows_.begin(), rows_.begin() + static_cast<std::ptrdiff_t>(evict));
    firstSeq_ = keepFrom;
  }
  // The new rows go into the ring first; the view sees them when the shown positions grow.
  std::vector<std::uint64_t> shown;
  bool newSource = false;
  for (const TraceEntry& e : entries) {
    Row row;
    row.timeUs = e.timeUs;
    row.device = TextFromGbk(e.deviceName);
    row.port = e.tcp ? row.device : QStringLiteral("Com%1").arg(e.portNumber);
    row.kind = e.kind;
    row.event = e.event;
    row.code = e.code;
    row.bytes = e.bytes;
    row.text = e.text.empty() ? QString() : TextFromGbk(e.text);
    if (!ports_.contains(row.port)) {
      ports_ << row.port;
      newSource = true;
    }
    if (!row.device.isEmpty() && !devices_.contains(row.device)) {
      devices_ << row.device;
      newSource = true;
    }
    if (Passes(row))
      shown.push_back(firstSeq_ + rows_.size());
    rows_.push_back(std::move(row));
  }
  if (!shown.empty()) {
    const int first = static_cast<int>(visible_.size());
    beginInsertRows({}, first, first + static_cast<int>(shown.size()) - 1);
    visible_.insert(visible_.end(), shown.begin(), shown.end());
    endInsertRows();
  }
  if (newSource)
    emit sourcesChanged();
}

void CommMonitorModel::Clear() {
  beginResetModel();
  firstSeq_ += rows_.size();
  rows_.clear();
  visible_.clear();
  dropped_ = 0;
  endResetModel();
}

void CommMonitorModel::SetPaused(bool paused) {
  paused_ = paused;
}

bool CommMonitorModel::Passes(const Row& row) const {
  return (portFilter_.isEmpty() || row.port == portFilter_) &&
         (deviceFilter_.isEmpty() || row.device == deviceFilter_);
}

void CommMonitorModel::SetPortFilter(const QString& port) {
  if (port == portFilter_)
    return;
  portFilter_ = port;
  Refilter();
}

void CommMonitorModel::SetDeviceFilter(const QString& device) {
  if (device == deviceFilter_)
    return;
  deviceFilter_ = device;
  Refilter();
}

void CommMonitorModel::Refilter() {
  beginResetModel();
  visible_.clear();
  for (std::size_t i = 0; i < rows_.size(); ++i) {
    if (Passes(rows_[i]))
      visible_.push_back(firstSeq_ + i);
  }
  endResetModel();
}

int CommMonitorModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(visible_.size());
}

int CommMonitorModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : kColumnCount;
}

QString CommMonitorModel::Cell(const Row& row, int column) const {
  switch (column) {
    case kColTime:
      return LocalTimeText(row.timeUs);
    case kColPort:
      return row.port;
    case kColDevice:
      return row.device;
    case kColDirection:
      return row.kind == kTraceSent       ? QStringLiteral("发送")
             : row.kind == kTraceReceived ? QStringLiteral("接收")
                                          : QStringLiteral("事件");
    case kColLength:
      return row.kind == kTraceEvent && row.bytes.empty() ? QString()
                                                          : QString::number(row.bytes.size());
    case kColBytes:
      return HexText(row.bytes);
    case kColText:
      if (!row.text.isEmpty() || row.kind != kTraceEvent)
        return row.text;
      return EventText(row.event, row.code);
    default:
      return {};
  }
}

QVariant CommMonitorModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() < 0 || index.row() >= rowCount() || index.column() < 0 ||
      index.column() >= kColumnCount)
    return {};
  const Row& row = RowAt(index.row());
  switch (role) {
    case Qt::DisplayRole:
      return Cell(row, index.column());
    case Qt::ToolTipRole:
      // Long frames and readings do not fit their cells.
      if (index.column() == kColBytes || index.column() == kColText)
        return Cell(row, index.column());
      return {};
    case Qt::ForegroundRole:
      if (row.kind == kTraceEvent)
        return IsFailure(row.event) ? QColor(176, 0, 0) : QColor(150, 90, 0);
      if (row.kind == kTraceReceived)
        return QColor(0, 64, 160);
      return {};
    case Qt::BackgroundRole:
      if (row.kind == kTraceEvent)
        return IsFailure(row.event) ? QColor(255, 228, 228) : QColor(255, 244, 214);
      return {};
    case Qt::FontRole:
      if (index.column() == kColBytes)
        return fixedFont_;
      return {};
    case Qt::TextAlignmentRole:
      if (index.column() == kColLength)
        return QVariant::fromValue(Qt::AlignRight | Qt::AlignVCenter);
      return {};
    default:
      return {};
  }
}

QVariant CommMonitorModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole)
    return {};
  static const char* const kTitles[kColumnCount] = {"时间", "端口", "设备", "方向",
                                                    "长度", "报文", "说明"};
  if (section < 0 || section >= kColumnCount)
    return {};
  return QString::fromUtf8(kTitles[section]);
}

QString CommMonitorModel::LineOf(const Row& row) const {
  QString line;
  for (int c = 0; c < kColumnCount; ++c) {
    if (c != 0)
      line += QLatin1Char('\t');
    line += Flat(Cell(row, c));
  }
  line += QLatin1Char('\n');
  return line;
}

QString CommMonitorModel::RowsText(std::vector<int> rows) const {
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  QString text;
  for (int r : rows) {
    if (r >= 0 && r < rowCount())
      text += LineOf(RowAt(r));
  }
  return text;
}

QString CommMonitorModel::AllText() const {
  QString text;
  for (int c = 0; c < kColumnCount; ++c) {
    if (c != 0)
      text += QLatin1Char('\t');
    text += headerData(c, Qt::Horizontal).toString();
  }
  text += QLatin1Char('\n');
  for (int r = 0; r < rowCount(); ++r)
    text += LineOf(RowAt(r));
  return text;
}

CommMonitorPane::CommMonitorPane(DriverHostInterface& host, QWidget* parent)
    : QDockWidget(QStringLiteral("通讯监视"), parent), host_(&host) {
  setObjectName(QStringLiteral("commMonitorPane"));
  model_ = new CommMonitorModel(kMonitorRows, this);

  auto* body = new QWidget(this);
  auto* layout = new QVBoxLayout(body);
  layout->setContentsMargins(0, 0, 0, 0);
  layout->setSpacing(0);

  auto* bar = new QToolBar(body);
  bar->setObjectName(QStringLiteral("commMonitorBar"));
  bar->setIconSize(QSize(16, 16));
  bar->addWidget(new QLabel(QStringLiteral(" 端口 "), bar));
  portFilter_ = new QComboBox(bar);
  portFilter_->setObjectName(QStringLiteral("portFilter"));
  portFilter_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  portFilter_->addItem(QStringLiteral("全部端口"), QString());
  bar->addWidget(portFilter_);
  bar->addWidget(new QLabel(QStringLiteral(" 设备 "), bar));
  deviceFilter_ = new QComboBox(bar);
  deviceFilter_->setObjectName(QStringLiteral("deviceFilter"));
  deviceFilter_->setSizeAdjustPolicy(QComboBox::AdjustToContents);
  deviceFilter_->addItem(QStringLiteral("全部设备"), QString());
  bar->addWidget(deviceFilter_);
  bar->addSeparator();
  pauseAction_ = bar->addAction(QStringLiteral("暂停"));
  pauseAction_->setObjectName(QStringLiteral("pauseAction"));
  pauseAction_->setCheckable(true);
  pauseAction_->setToolTip(QStringLiteral("暂停显示；暂停期间的报文不保留"));
  QAction* clear = bar->addAction(QStringLiteral("清除"));
  clear->setObjectName(QStringLiteral("clearAction"));
  QAction* copy = bar->addAction(QStringLiteral("复制"));
  copy->setObjectName(QStringLiteral("copyAction"));
  copy->setToolTip(QStringLiteral("复制选中的行 (Ctrl+C)"));
  QAction* save = bar->addAction(QStringLiteral("保存..."));
  save->setObjectName(QStringLiteral("saveAction"));
  save->setToolTip(QStringLiteral("把显示的行保存为文本文件 (UTF-8)"));
  bar->addSeparator();
  status_ = new QLabel(bar);
  status_->setObjectName(QStringLiteral("monitorStatus"));
  bar->addWidget(status_);
  layout->addWidget(bar);

  view_ = new QTableView(body);
  view_->setObjectName(QStringLiteral("commMonitorView"));
  view_->setModel(model_);
  view_->setSelectionBehavior(QAbstractItemView::SelectRows);
  view_->setSelectionMode(QAbstractItemView::ExtendedSelection);
  view_->setEditTriggers(QAbstractItemView::NoEditTriggers);
  view_->setWordWrap(false);
  view_->setShowGrid(false);
  view_->setAlternatingRowColors(false);
  view_->verticalHeader()->setVisible(false);
  // Fixed row heights: the view never measures rows, whatever their number.
  view_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
  view_->verticalHeader()->setDefaultSectionSize(view_->fontMetrics().height() + 4);
  view_->horizontalHeader()->setStretchLastSection(true);
  const int widths[] = {96, 80, 110, 44, 44, 300};
  for (int c = 0; c < static_cast<int>(std::size(widths)); ++c)
    view_->setColumnWidth(c, widths[c]);
  layout->addWidget(view_, 1);
  setWidget(body);

  auto* copyKey = new QAction(view_);
  copyKey->setShortcut(QKeySequence::Copy);
  copyKey->setShortcutContext(Qt::WidgetWithChildrenShortcut);
  view_->addAction(copyKey);
  connect(copyKey, &QAction::triggered, this, &CommMonitorPane::CopySelection);
  connect(copy, &QAction::triggered, this, &CommMonitorPane::CopySelection);
  connect(save, &QAction::triggered, this, &CommMonitorPane::OnSave);
  connect(clear, &QAction::triggered, this, [this] {
    model_->Clear();
    UpdateStatus();
  });
  connect(pauseAction_, &QAction::toggled, this, [this](bool on) {
    model_->SetPaused(on);
    UpdateStatus();
  });
  connect(portFilter_, &QComboBox::currentIndexChanged, this,
          [this] { model_->SetPortFilter(portFilter_->currentData().toString()); });
  connect(deviceFilter_, &QComboBox::currentIndexChanged, this,
          [this] { model_->SetDeviceFilter(deviceFilter_->currentData().toString()); });
  connect(model_, &CommMonitorModel::sourcesChanged, this, &CommMonitorPane::UpdateSources);

  timer_ = new QTimer(this);
  timer_->setObjectName(QStringLiteral("monitorTimer"));
  timer_->setInterval(kMonitorDrainMs);
  connect(timer_, &QTimer::timeout, this, &CommMonitorPane::Drain);
  connect(this, &QDockWidget::visibilityChanged, this, &CommMonitorPane::SetActive);
  UpdateStatus();
}

void CommMonitorPane::SetActive(bool active) {
  if (host_ == nullptr || active == active_)
    return;
  active_ = active;
  host_->SetTraceEnabled(active);
  if (active) {
    timer_->start();
  } else {
    timer_->stop();
    // What was queued until now belongs to no one who watches: it must not show up later.
    static_cast<void>(host_->TakeTrace());
  }
}

void CommMonitorPane::DetachHost() {
  timer_->stop();
  active_ = false;
  host_ = nullptr;
}

void CommMonitorPane::Drain() {
  if (host_ == nullptr)
    return;
  const std::vector<TraceEntry> entries = host_->TakeTrace();
  if (entries.empty())
    return;
  // The view follows the newest row only when it showed it (the user may be reading above).
  QScrollBar* scroll = view_->verticalScrollBar();
  const bool atEnd = scroll->value() >= scroll->maximum();
  model_->Append(entries);
  if (atEnd && !model_->IsPaused())
    view_->scrollToBottom();
  UpdateStatus();
}

void CommMonitorPane::UpdateSources() {
  // Appended in the order first seen, so the current choice keeps its index.
  for (int i = portFilter_->count() - 1; i < model_->Ports().size(); ++i)
    portFilter_->addItem(model_->Ports()[i], model_->Ports()[i]);
  for (int i = deviceFilter_->count() - 1; i < model_->Devices().size(); ++i)
    deviceFilter_->addItem(model_->Devices()[i], model_->Devices()[i]);
}

QString CommMonitorPane::StatusText() const {
  QString text = QStringLiteral("%1 条（最多 %2 条）")
                     .arg(model_->StoredRows())
                     .arg(static_cast<qulonglong>(model_->Capacity()));
  if (model_->IsPaused()) {
    text +=
        QStringLiteral("　已暂停：暂停期间收到的 %1 条不保留").arg(model_->DroppedWhilePaused());
  } else if (model_->DroppedWhilePaused() != 0) {
    text += QStringLiteral("　暂停期间丢弃了 %1 条").arg(model_->DroppedWhilePaused());
  }
  return text;
}

void CommMonitorPane::UpdateStatus() {
  status_->setText(StatusText());
}

void CommMonitorPane::CopySelection() {
  std::vector<int> rows;
  for (const QModelIndex& index : view_->selectionModel()->selectedRows())
    rows.push_back(index.row());
  if (rows.empty())
    return;
  QApplication::clipboard()->setText(model_->RowsText(std::move(rows)));
}

bool CommMonitorPane::SaveTo(const QString& path, QString* error) {
  QSaveFile file(path);
  const QByteArray bytes = model_->AllText().toUtf8();
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
    if (error != nullptr)
      *error = file.errorString();
    return false;
  }
  return true;
}

void CommMonitorPane::OnSave() {
  const QString path = QFileDialog::getSaveFileName(
      this, QStringLiteral("保存通讯记录"), QStringLiteral("通讯记录.txt"),
      QStringLiteral("文本文件 (*.txt);;所有文件 (*)"));
  if (path.isEmpty())
    return;
  QString error;
  if (!SaveTo(path, &error)) {
    ShowMessage(QStringLiteral("无法写入文件 %1：%2").arg(path, error).toStdString(), {},
                MessageButtons::kOk, MessageIcon::kError);
  }
}

}  // namespace talvek
