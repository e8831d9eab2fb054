#include "workbench/ui/proj_list_model.h"

#include <algorithm>
#include <cstdio>
#include <numeric>
#include <optional>

#include <QCollator>
#include <QCollatorSortKey>

#include "common/type_names.h"
#include "platform/atoms.h"
#include "platform/clock.h"
#include "platform/gbk.h"
#include "workbench/project/project_state.h"
#include "workbench/runtime/tag_fields.h"
#include "workbench/runtime/tag_table.h"

namespace talvek {
namespace {

// Buffer size the string values are read with; longer atom names are cut.
constexpr int kAtomTextBuffer = 128;

std::string Printf(const char* format, auto... args) {
  char buffer[64];
  const int n = std::snprintf(buffer, sizeof buffer, format, args...);
  return n < 0 ? std::string() : std::string(buffer, std::min<std::size_t>(n, sizeof buffer - 1));
}

// "%d", or with `hex` the bits of the value in its own width ("%X").
std::string IntegerText(std::int64_t value, unsigned widthBits, bool hex) {
  if (!hex)
    return Printf("%lld", static_cast<long long>(value));
  const std::uint64_t mask = widthBits >= 64 ? ~0ull : ((1ull << widthBits) - 1);
  return Printf("%llX", static_cast<unsigned long long>(static_cast<std::uint64_t>(value) & mask));
}

// "%f" of a float word, or its IEEE bits with `hex`.
std::string FloatText(std::int32_t word, bool hex) {
  if (hex)
    return Printf("%X", static_cast<unsigned>(word));
  return Printf("%f", static_cast<double>(WordToFloat(word)));
}

QString Utf8(const std::string& text) {
  return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

}  // namespace

std::string AtomText(std::int32_t word) {
  char buffer[kAtomTextBuffer] = {};
  const UINT n =
      platform::GlobalGetAtomNameA(static_cast<ATOM>(word & 0xFFFF), buffer, sizeof buffer);
  if (n == 0)
    return {};
  std::string utf8;
  if (!platform::GbkToUtf8(std::string_view(buffer, n), utf8))
    return GbkCellText(std::string_view(buffer, n)).toStdString();
  return utf8;
}

std::string FormatLiveValue(std::int32_t varType, std::int32_t valueWord, bool hex) {
  switch (varType) {
    case kVarDiscrete:
    case kVarInteger:
      return IntegerText(valueWord, 32, hex);
    case kVarFloat:
      return FloatText(valueWord, hex);
    case kVarString:
      return AtomText(valueWord);
    default:
      return {};
  }
}

std::string FormatRawValue(std::int32_t rawType, std::int32_t rawWord, bool hex) {
  switch (rawType) {
    case kRawBit:
    case kRawInt32:
    case kRawBcd32:
      return IntegerText(rawWord, 32, hex);
    case kRawByte:
      return IntegerText(static_cast<std::uint8_t>(rawWord), 8, hex);
    case kRawInt16:
      return IntegerText(static_cast<std::int16_t>(rawWord), 16, hex);
    case kRawUInt16:
    case kRawBcd16:
      return IntegerText(static_cast<std::uint16_t>(rawWord), 16, hex);
    case kRawFloat:
      return FloatText(rawWord, hex);
    case kRawString:
      return AtomText(rawWord);
    default:
      return {};
  }
}

std::string FormatUpdateTime(const FILETIME& time) {
  // A tag never read has no time: not the first day of the file-time epoch.
  if (time.dwLowDateTime == 0 && time.dwHighDateTime == 0)
    return {};
  SYSTEMTIME local{};
  if (!platform::FileTimeToLocalSystemTime(&time, &local))
    return {};
  char buffer[48];
  const int n = std::snprintf(buffer, sizeof buffer, "%04d/%02d/%02d %02d:%02d:%02d %04d",
                              local.wYear, local.wMonth, local.wDay, local.wHour, local.wMinute,
                              local.wSecond, local.wMilliseconds);
  return n < 0 ? std::string() : std::string(buffer);
}

QString GbkCellText(std::string_view gbk) {
  // Most names are plain ASCII: no converter needed.
  if (std::all_of(gbk.begin(), gbk.end(),
                  [](char c) { return static_cast<unsigned char>(c) < 0x80; }))
    return QString::fromLatin1(gbk.data(), static_cast<qsizetype>(gbk.size()));
  std::string utf8;
  if (platform::GbkToUtf8(gbk, utf8))
    return Utf8(utf8);
  QString shown;
  shown.reserve(static_cast<qsizetype>(gbk.size()));
  for (char c : gbk)
    shown.append(static_cast<unsigned char>(c) < 0x80 ? QChar(c)
                                                      : QChar(QChar::ReplacementCharacter));
  return shown;
}

ProjListModel::ProjListModel(QObject* parent) : QAbstractTableModel(parent) {}

void ProjListModel::Rebuild(ListMode mode, ProjectState* state, int portFilter) {
  beginResetModel();
  rows_.clear();
  state_ = state;
  mode_ = state != nullptr ? mode : ListMode::kNone;
  portFilter_ = portFilter;
  if (state_ != nullptr) {
    switch (mode_) {
      case ListMode::kDevices: {
        const DeviceArray& devices = state_->devices;
        rows_.reserve(devices.GetSize() + 1);
        for (std::size_t i = 0; i < devices.GetSize(); ++i) {
          if (portFilter_ == 0 || devices[i].portNumber == portFilter_)
            rows_.push_back(static_cast<std::int32_t>(i));
        }
        rows_.push_back(kPlaceholderRow);
        break;
      }
      case ListMode::kTags:
      case ListMode::kLiveValues:
        rows_.resize(state_->tags.size());
        std::iota(rows_.begin(), rows_.end(), 0);
        if (mode_ == ListMode::kTags)
          rows_.push_back(kPlaceholderRow);
        break;
      case ListMode::kScreens:
        rows_.resize(state_->screens.size());
        std::iota(rows_.begin(), rows_.end(), 0);
        rows_.push_back(kPlaceholderRow);
        break;
      case ListMode::kNone:
        break;
    }
  }
  endResetModel();
}

void ProjListModel::ClearRows() {
  if (rows_.empty())
    return;
  beginResetModel();
  rows_.clear();
  endResetModel();
}

std::size_t ProjListModel::TableSize() const {
  if (state_ == nullptr)
    return 0;
  switch (mode_) {
    case ListMode::kDevices:
      return state_->devices.GetSize();
    case ListMode::kTags:
    case ListMode::kLiveValues:
      return state_->tags.size();
    case ListMode::kScreens:
      return state_->screens.size();
    case ListMode::kNone:
      break;
  }
  return 0;
}

std::int32_t ProjListModel::RecordIndex(int row) const {
  if (row < 0 || static_cast<std::size_t>(row) >= rows_.size())
    return kNoRecord;
  const std::int32_t index = rows_[static_cast<std::size_t>(row)];
  if (index == kPlaceholderRow)
    return kPlaceholderRow;
  return static_cast<std::size_t>(index) < TableSize() ? index : kNoRecord;
}

DeviceRecord* ProjListModel::DeviceAt(int row) const {
  if (mode_ != ListMode::kDevices)
    return nullptr;
  const std::int32_t index = RecordIndex(row);
  return index >= 0 ? &state_->devices[static_cast<std::size_t>(index)] : nullptr;
}

TagRecord* ProjListModel::TagAt(int row) const {
  if (mode_ != ListMode::kTags && mode_ != ListMode::kLiveValues)
    return nullptr;
  const std::int32_t index = RecordIndex(row);
  return index >= 0 ? &state_->tags[static_cast<std::size_t>(index)] : nullptr;
}

ScreenRecord* ProjListModel::ScreenAt(int row) const {
  if (mode_ != ListMode::kScreens)
    return nullptr;
  const std::int32_t index = RecordIndex(row);
  return index >= 0 ? &state_->screens[static_cast<std::size_t>(index)] : nullptr;
}

void ProjListModel::SetHexDisplay(bool on) {
  if (hex_ == on)
    return;
  hex_ = on;
  NotifyLiveValuesChanged();
}

void ProjListModel::CreateImages() {
  icons_.emplace();
  if (!rows_.empty())
    emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::DecorationRole});
}

void ProjListModel::DestroyImages() {
  icons_.reset();
  if (!rows_.empty())
    emit dataChanged(index(0, 0), index(rowCount() - 1, 0), {Qt::DecorationRole});
}

QIcon ProjListModel::RowImage(int row) const {
  if (!icons_)
    return {};
  const std::int32_t index = RecordIndex(row);
  if (index == kNoRecord)
    return {};
  switch (mode_) {
    case ListMode::kDevices:
      return icons_->Device();
    case ListMode::kScreens:
      return icons_->Screen();
    case ListMode::kTags:
    case ListMode::kLiveValues:
      // Image 0 for the placeholder, the variable type for a tag.
      return icons_->Tag(index == kPlaceholderRow ? 0 : TagAt(row)->varType);
    case ListMode::kNone:
      break;
  }
  return {};
}

QString ProjListModel::CellText(int row, int column) const {
  const std::int32_t index = RecordIndex(row);
  if (index == kNoRecord || column < 0 || column >= ColumnCountOf(mode_))
    return {};
  if (index == kPlaceholderRow) {
    if (column != 0)
      return {};
    switch (mode_) {
      case ListMode::kDevices:
        return QString::fromUtf8(kNewDeviceRowText);
      case ListMode::kTags:
        return QString::fromUtf8(kNewTagRowText);
      case ListMode::kScreens:
        return QString::fromUtf8(kNewScreenRowText);
      default:
        return {};
    }
  }
  const auto i = static_cast<std::size_t>(index);
  switch (mode_) {
    case ListMode::kDevices: {
      const DeviceRecord& d = state_->devices[i];
      switch (column) {
        case kDeviceName:
          return GbkCellText(platform::ArrayText(d.logicalName));
        case kDeviceModel:
          return GbkCellText(platform::ArrayText(d.descriptor.model));
        default:
          return GbkCellText(platform::ArrayText(d.station.addressText));
      }
    }
    case ListMode::kTags: {
      const TagRecord& t = state_->tags[i];
      const bool external = (t.flags & kTagExternal) != 0;
      switch (column) {
        case kTagName:
          return GbkCellText(platform::ArrayText(t.name));
        case kTagDescription:
          return GbkCellText(platform::ArrayText(t.description));
        case kTagType:
          return QString::fromUtf8(VarTypeName(t.varType));
        case kTagDevice:
          return external ? GbkCellText(platform::ArrayText(t.deviceName)) : QString();
        case kTagRegister:
          return external ? GbkCellText(platform::ArrayText(t.registerText)) : QString();
        default:  // "ID" stays empty
          return {};
      }
    }
    case ListMode::kScreens: {
      const ScreenRecord& s = state_->screens[i];
      return GbkCellText(column == kScreenName ? platform::ArrayText(s.screenName)
                                               : platform::ArrayText(s.fileName));
    }
    case ListMode::kLiveValues: {
      const TagRecord& t = state_->tags[i];
      switch (column) {
        case kLiveName:
          return GbkCellText(platform::ArrayText(t.name));
        case kLiveValue:
          return Utf8(FormatLiveValue(t.varType, LoadValueWord(t), hex_));
        case kLiveType:
          return QString::fromUtf8(VarTypeName(t.varType));
        case kLiveRaw:
          return Utf8(FormatRawValue(t.rawType, LoadRawWord(t), hex_));
        case kLiveRawType:
          return QString::fromUtf8(RawTypeName(t.rawType));
        case kLiveQuality:
          return QString::fromUtf8(QualityText(LoadQuality(t)));
        case kLiveRegister:
          return GbkCellText(platform::ArrayText(t.registerText));
        case kLiveDevice:
          return GbkCellText(platform::ArrayText(t.deviceName));
        default:
          return Utf8(FormatUpdateTime(LoadUpdateTime(t)));
      }
    }
    case ListMode::kNone:
      break;
  }
  return {};
}

int ProjListModel::ColumnCountOf(ListMode mode) {
  switch (mode) {
    case ListMode::kDevices:
      return kDeviceColumnCount;
    case ListMode::kTags:
      return kTagColumnCount;
    case ListMode::kScreens:
      return kScreenColumnCount;
    case ListMode::kLiveValues:
      return kLiveColumnCount;
    case ListMode::kNone:
      break;
  }
  return 0;
}

QString ProjListModel::ColumnHeader(ListMode mode, int column) {
  static const char* const devices[] = {"逻辑名称", "设备种类", "设备地址"};
  static const char* const tags[] = {"变量名", "变量描述", "变量类型", "ID", "驱动设备", "地址"};
  static const char* const screens[] = {"名称", "文件名"};
  static const char* const live[] = {"变量名", "变量值", "变量类型", "原始值",  "原始值类型",
                                     "质量戳", "地址",   "驱动设备", "更新时间"};
  if (column < 0 || column >= ColumnCountOf(mode))
    return {};
  switch (mode) {
    case ListMode::kDevices:
      return QString::fromUtf8(devices[column]);
    case ListMode::kTags:
      return QString::fromUtf8(tags[column]);
    case ListMode::kScreens:
      return QString::fromUtf8(screens[column]);
    case ListMode::kLiveValues:
      return QString::fromUtf8(live[column]);
    case ListMode::kNone:
      break;
  }
  return {};
}

std::vector<int> ProjListModel::ColumnWidths(ListMode mode, int w) {
  switch (mode) {
    case ListMode::kDevices:
      return {w / 3, w / 3, w / 3};
    case ListMode::kTags:
      return std::vector<int>(kTagColumnCount, w / 6);
    case ListMode::kScreens:
      return {w / 3, w / 3};
    case ListMode::kLiveValues:
      return {w / 9, w / 9, w / 9, w / 9, w / 9, w / 18, w / 9, w / 9, 3 * w / 18};
    case ListMode::kNone:
      break;
  }
  return {};
}

int ProjListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(rows_.size());
}

int ProjListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : ColumnCountOf(mode_);
}

QVariant ProjListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.model() != this)
    return {};
  switch (role) {
    case Qt::DisplayRole:
      return CellText(index.row(), index.column());
    case Qt::DecorationRole:
      if (index.column() == 0) {
        QIcon image = RowImage(index.row());
        if (!image.isNull())
          return image;
      }
      return {};
    case Qt::TextAlignmentRole:
      return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
    default:
      return {};
  }
}

QVariant ProjListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal)
    return {};
  if (role == Qt::DisplayRole)
    return ColumnHeader(mode_, section);
  if (role == Qt::TextAlignmentRole)
    return QVariant::fromValue(Qt::Alignment(Qt::AlignLeft | Qt::AlignVCenter));
  return {};
}

Qt::ItemFlags ProjListModel::flags(const QModelIndex& index) const {
  if (!index.isValid())
    return Qt::NoItemFlags;
  return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemNeverHasChildren;
}

QString ProjListModel::LeadingText(std::int32_t recordIndex) const {
  const auto i = static_cast<std::size_t>(recordIndex);
  switch (mode_) {
    case ListMode::kDevices:
      return GbkCellText(platform::ArrayText(state_->devices[i].descriptor.manufacturer));
    case ListMode::kTags:
    case ListMode::kLiveValues:
      return GbkCellText(platform::ArrayText(state_->tags[i].name));
    case ListMode::kScreens:
      return GbkCellText(platform::ArrayText(state_->screens[i].screenName));
    case ListMode::kNone:
      break;
  }
  return {};
}

void ProjListModel::SortRows(bool descending) {
  if (rows_.empty())
    return;
  const std::size_t n = rows_.size();

  // One collation key per row, made once: comparing keys is a byte comparison, so the sort costs
  // n collations instead of n log n.
  QCollator collator{QLocale::system()};
  collator.setCaseSensitivity(Qt::CaseSensitive);
  std::vector<std::optional<QCollatorSortKey>> keys(n);
  for (std::size_t row = 0; row < n; ++row) {
    const std::int32_t index = RecordIndex(static_cast<int>(row));
    if (index >= 0)
      keys[row].emplace(collator.sortKey(LeadingText(index)));
  }
  // Placeholders (and rows whose record has gone) compare greater than every record.
  auto compare = [&keys](std::size_t a, std::size_t b) {
    if (!keys[a] || !keys[b])
      return keys[a] ? -1 : (keys[b] ? 1 : 0);
    return keys[a]->compare(*keys[b]);
  };
  std::vector<std::size_t> order(n);  // order[newRow] = oldRow
  std::iota(order.begin(), order.end(), 0);

  emit layoutAboutToBeChanged({}, QAbstractItemModel::VerticalSortHint);
  std::stable_sort(order.begin(), order.end(), [&](std::size_t a, std::size_t b) {
    const int c = compare(a, b);
    return descending ? c > 0 : c < 0;
  });
  std::vector<std::int32_t> sorted(n);
  std::vector<int> newRowOf(n);
  for (std::size_t newRow = 0; newRow < n; ++newRow) {
    sorted[newRow] = rows_[order[newRow]];
    newRowOf[order[newRow]] = static_cast<int>(newRow);
  }
  rows_.swap(sorted);

  // Selections and the current row follow their records.
  const QModelIndexList from = persistentIndexList();
  QModelIndexList to;
  to.reserve(from.size());
  for (const QModelIndex& old : from)
    to.append(index(newRowOf[static_cast<std::size_t>(old.row())], old.column()));
  changePersistentIndexList(from, to);
  emit layoutChanged({}, QAbstractItemModel::VerticalSortHint);
}

void ProjListModel::NotifyLiveValuesChanged() {
  // The name column never changes; leaving it out spares the icon views a relayout.
  if (mode_ != ListMode::kLiveValues || rows_.empty())
    return;
  emit dataChanged(index(0, kLiveValue), index(rowCount() - 1, kLiveColumnCount - 1),
                   {Qt::DisplayRole});
}

void ProjListModel::NotifyRowChanged(int row) {
  if (row < 0 || row >= rowCount() || columnCount() == 0)
    return;
  emit dataChanged(index(row, 0), index(row, columnCount() - 1));
}

}  // namespace talvek
