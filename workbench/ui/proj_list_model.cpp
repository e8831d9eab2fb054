#include "workbench/ui/proj_list_model.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <iterator>
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

// Case-folds `text` in place, as QString::toCaseFolded does for every character GBK has: ASCII by
// hand (nearly all of a tag list, and ten times faster), the rest through Qt's tables.
void FoldCase(QString& text) {
  for (QChar& c : text) {
    const char16_t u = c.unicode();
    if (u < 0x80) {
      if (u >= u'A' && u <= u'Z')
        c = QChar(static_cast<char16_t>(u + (u'a' - u'A')));
    } else if (!QChar::isSurrogate(u)) {
      c = QChar(static_cast<char16_t>(QChar::toCaseFolded(char32_t{u})));
    }
  }
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

namespace {

// The integer a raw word holds, read in its raw type's width (`widthBits`); false for the float,
// string and unknown raw types.
bool RawInteger(std::int32_t rawType, std::int32_t rawWord, std::int64_t& value,
                unsigned& widthBits) {
  switch (rawType) {
    case kRawBit:
    case kRawInt32:
    case kRawBcd32:
      value = rawWord;
      widthBits = 32;
      return true;
    case kRawByte:
      value = static_cast<std::uint8_t>(rawWord);
      widthBits = 8;
      return true;
    case kRawInt16:
      value = static_cast<std::int16_t>(rawWord);
      widthBits = 16;
      return true;
    case kRawUInt16:
    case kRawBcd16:
      value = static_cast<std::uint16_t>(rawWord);
      widthBits = 16;
      return true;
    default:
      return false;
  }
}

}  // namespace

std::string FormatRawValue(std::int32_t rawType, std::int32_t rawWord, bool hex) {
  std::int64_t integer = 0;
  unsigned width = 0;
  if (RawInteger(rawType, rawWord, integer, width))
    return IntegerText(integer, width, hex);
  switch (rawType) {
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
  const ListMode newMode = state != nullptr ? mode : ListMode::kNone;
  if (newMode != mode_) {
    // Another mode has other columns: its rows start in table order.
    sortColumn_ = -1;
    sortDescending_ = false;
  }
  state_ = state;
  mode_ = newMode;
  portFilter_ = portFilter;
  order_.clear();
  hasPlaceholder_ = false;
  searchBuilt_ = false;
  searchText_.clear();
  searchStart_.clear();
  recordLimit_ = TableSize();
  if (state_ != nullptr) {
    switch (mode_) {
      case ListMode::kDevices: {
        const DeviceArray& devices = state_->devices;
        order_.reserve(devices.GetSize());
        for (std::size_t i = 0; i < devices.GetSize(); ++i) {
          if (portFilter_ == 0 || devices[i].portNumber == portFilter_)
            order_.push_back(static_cast<std::int32_t>(i));
        }
        hasPlaceholder_ = true;
        break;
      }
      case ListMode::kTags:
      case ListMode::kLiveValues:
      case ListMode::kScreens:
        order_.resize(recordLimit_);
        std::iota(order_.begin(), order_.end(), 0);
        hasPlaceholder_ = mode_ != ListMode::kLiveValues;
        break;
      case ListMode::kNone:
        break;
    }
  }
  if (sortColumn_ >= 0)
    SortOrder();
  rows_ = FilteredRows(order_);
  endResetModel();
}

void ProjListModel::ClearRows() {
  if (rows_.empty())
    return;
  beginResetModel();
  rows_.clear();
  order_.clear();
  hasPlaceholder_ = false;
  searchBuilt_ = false;
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
  return RecordText(index, column);
}

QString ProjListModel::RecordText(std::int32_t recordIndex, int column) const {
  const auto i = static_cast<std::size_t>(recordIndex);
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

bool ProjListModel::IsNumericColumn(ListMode mode, int column) {
  switch (mode) {
    case ListMode::kTags:
      return column == kTagId;
    case ListMode::kLiveValues:
      return column == kLiveValue || column == kLiveRaw || column == kLiveTime;
    default:
      return false;
  }
}

std::optional<double> ProjListModel::CellNumber(std::int32_t recordIndex, int column) const {
  // The tag id column holds no value yet: its cells sort as empty ones.
  if (mode_ != ListMode::kLiveValues)
    return std::nullopt;
  const TagRecord& t = state_->tags[static_cast<std::size_t>(recordIndex)];
  switch (column) {
    case kLiveValue: {
      const std::int32_t word = LoadValueWord(t);
      if (t.varType == kVarDiscrete || t.varType == kVarInteger)
        return word;
      if (t.varType == kVarFloat)
        return WordToFloat(word);
      return std::nullopt;
    }
    case kLiveRaw: {
      const std::int32_t word = LoadRawWord(t);
      std::int64_t integer = 0;
      unsigned width = 0;
      if (RawInteger(t.rawType, word, integer, width))
        return static_cast<double>(integer);
      if (t.rawType == kRawFloat)
        return WordToFloat(word);
      return std::nullopt;
    }
    case kLiveTime: {
      const FILETIME time = LoadUpdateTime(t);
      const std::uint64_t ticks = (std::uint64_t{time.dwHighDateTime} << 32) | time.dwLowDateTime;
      if (ticks == 0)  // never read: shown empty
        return std::nullopt;
      return static_cast<double>(ticks);
    }
    default:
      return std::nullopt;
  }
}

void ProjListModel::SortOrder() {
  // What a cell sorts by: numbers first, then texts, then empty cells (in either direction).
  struct Key {
    enum Rank { kNumber, kText, kEmpty } rank = kEmpty;
    double number = 0;
    std::optional<QCollatorSortKey> text;
  };
  const std::size_t n = order_.size();
  const std::size_t tableSize = TableSize();
  const bool numeric = IsNumericColumn(mode_, sortColumn_);
  // One collation key per row, made once: comparing keys is a byte comparison, so the sort costs
  // n collations instead of n log n.
  QCollator collator{QLocale::system()};
  collator.setCaseSensitivity(Qt::CaseSensitive);
  std::vector<Key> keys(n);
  for (std::size_t k = 0; k < n; ++k) {
    const std::int32_t record = order_[k];
    if (static_cast<std::size_t>(record) >= tableSize)
      continue;  // the record has gone: an empty row
    Key& key = keys[k];
    if (numeric) {
      const std::optional<double> number = CellNumber(record, sortColumn_);
      if (number && !std::isnan(*number)) {  // NaN orders with nothing: it sorts as its text
        key.rank = Key::kNumber;
        key.number = *number;
        continue;
      }
    }
    const QString text = RecordText(record, sortColumn_);
    if (!text.isEmpty()) {
      key.rank = Key::kText;
      key.text.emplace(collator.sortKey(text));
    }
  }
  std::vector<std::size_t> order(n);
  std::iota(order.begin(), order.end(), 0);
  const bool descending = sortDescending_;
  std::stable_sort(order.begin(), order.end(), [&keys, descending](std::size_t a, std::size_t b) {
    const Key& x = keys[a];
    const Key& y = keys[b];
    if (x.rank != y.rank)
      return x.rank < y.rank;
    int c = 0;
    if (x.rank == Key::kNumber)
      c = x.number < y.number ? -1 : (y.number < x.number ? 1 : 0);
    else if (x.rank == Key::kText)
      c = x.text->compare(*y.text);
    return descending ? c > 0 : c < 0;
  });
  std::vector<std::int32_t> sorted(n);
  for (std::size_t k = 0; k < n; ++k)
    sorted[k] = order_[order[k]];
  order_.swap(sorted);
}

void ProjListModel::SortRows(int column, bool descending) {
  if (column < 0 || column >= ColumnCountOf(mode_))
    return;
  sortColumn_ = column;
  sortDescending_ = descending;
  if (rows_.empty())
    return;
  SortOrder();
  // The same rows stay shown, in the new order.
  std::vector<char> shown(recordLimit_, 0);
  for (std::int32_t record : rows_) {
    if (record >= 0)
      shown[static_cast<std::size_t>(record)] = 1;
  }
  std::vector<std::int32_t> rows;
  rows.reserve(rows_.size());
  for (std::int32_t record : order_) {
    if (shown[static_cast<std::size_t>(record)])
      rows.push_back(record);
  }
  if (hasPlaceholder_)
    rows.push_back(kPlaceholderRow);
  ReplaceRows(std::move(rows), QAbstractItemModel::VerticalSortHint);
}

void ProjListModel::SetFilter(const QString& text) {
  filter_ = text;
  QString folded = text;
  FoldCase(folded);
  if (folded == foldedFilter_)
    return;
  // A filter that only grew keeps a part of the rows shown now: only those need a look.
  const bool narrower = !foldedFilter_.isEmpty() && folded.contains(foldedFilter_);
  foldedFilter_ = std::move(folded);
  if (rows_.empty())  // no mode, or rows emptied during an edit: the next rebuild filters
    return;
  ReplaceRows(FilteredRows(narrower ? rows_ : order_), QAbstractItemModel::NoLayoutChangeHint);
}

std::vector<std::int32_t> ProjListModel::FilteredRows(const std::vector<std::int32_t>& candidates) {
  std::vector<std::int32_t> rows;
  if (foldedFilter_.isEmpty()) {
    rows.reserve(candidates.size() + 1);
    std::copy_if(candidates.begin(), candidates.end(), std::back_inserter(rows),
                 [](std::int32_t record) { return record != kPlaceholderRow; });
  } else {
    BuildSearchIndex();
    const QStringView all(searchText_);
    const QStringView wanted(foldedFilter_);
    for (std::int32_t record : candidates) {
      if (record < 0 || static_cast<std::size_t>(record) >= recordLimit_)
        continue;
      const auto r = static_cast<std::size_t>(record);
      if (all.sliced(searchStart_[r], searchStart_[r + 1] - searchStart_[r]).contains(wanted))
        rows.push_back(record);
    }
  }
  if (hasPlaceholder_)
    rows.push_back(kPlaceholderRow);
  return rows;
}

int ProjListModel::SearchFields(std::size_t record, std::string_view (&fields)[4]) const {
  const bool present = record < TableSize();
  switch (mode_) {
    case ListMode::kDevices: {
      const DeviceRecord* d = present ? &state_->devices[record] : nullptr;
      fields[0] = d ? platform::ArrayText(d->logicalName) : std::string_view();
      fields[1] = d ? platform::ArrayText(d->descriptor.model) : std::string_view();
      fields[2] = d ? platform::ArrayText(d->station.addressText) : std::string_view();
      return 3;
    }
    case ListMode::kTags:
    case ListMode::kLiveValues: {
      const TagRecord* t = present ? &state_->tags[record] : nullptr;
      // The tag list shows a tag's device and register only for an external tag.
      const bool shown = t && (mode_ == ListMode::kLiveValues || (t->flags & kTagExternal) != 0);
      fields[0] = t ? platform::ArrayText(t->name) : std::string_view();
      fields[1] = t ? platform::ArrayText(t->description) : std::string_view();
      fields[2] = shown ? platform::ArrayText(t->deviceName) : std::string_view();
      fields[3] = shown ? platform::ArrayText(t->registerText) : std::string_view();
      return 4;
    }
    case ListMode::kScreens: {
      const ScreenRecord* sc = present ? &state_->screens[record] : nullptr;
      fields[0] = sc ? platform::ArrayText(sc->screenName) : std::string_view();
      fields[1] = sc ? platform::ArrayText(sc->fileName) : std::string_view();
      return 2;
    }
    case ListMode::kNone:
      break;
  }
  return 0;
}

void ProjListModel::BuildSearchIndex() {
  if (searchBuilt_)
    return;
  searchBuilt_ = true;
  // Every record's fields, each ended by '\n', decoded in one go: one conversion for the whole
  // table instead of one per cell.
  std::string gbk;
  gbk.reserve(recordLimit_ * 40);
  std::string_view fields[4];
  int perRecord = 0;
  for (std::size_t r = 0; r < recordLimit_; ++r) {
    perRecord = SearchFields(r, fields);
    for (int i = 0; i < perRecord; ++i) {
      const std::size_t at = gbk.size();
      gbk.append(fields[i]);
      // No GBK byte of a character is '\n'; a stray one in a damaged record must not end a field.
      std::replace(gbk.begin() + static_cast<std::ptrdiff_t>(at), gbk.end(), '\n', ' ');
      gbk += '\n';
    }
  }
  std::string utf8;
  if (platform::GbkToUtf8(gbk, utf8)) {
    searchText_ = QString::fromUtf8(utf8.data(), static_cast<qsizetype>(utf8.size()));
  } else {
    // A record that is not valid GBK: each field on its own, as its cell shows it.
    searchText_.clear();
    for (std::size_t r = 0; r < recordLimit_; ++r) {
      for (int i = 0, n = SearchFields(r, fields); i < n; ++i)
        searchText_ += GbkCellText(fields[i]) + QLatin1Char('\n');
    }
  }
  FoldCase(searchText_);
  // Record r starts after r * perRecord line ends.
  searchStart_.assign(recordLimit_ + 1, 0);
  std::size_t record = 0;
  int ends = 0;
  for (qsizetype i = 0; i < searchText_.size() && record < recordLimit_; ++i) {
    if (searchText_[i] == QLatin1Char('\n') && ++ends == perRecord) {
      ends = 0;
      searchStart_[++record] = i + 1;
    }
  }
}

void ProjListModel::ReplaceRows(std::vector<std::int32_t> rows,
                                QAbstractItemModel::LayoutChangeHint hint) {
  emit layoutAboutToBeChanged({}, hint);
  // The new row of each record; the last slot is the placeholder's.
  std::vector<int> newRowOf(recordLimit_ + 1, -1);
  for (std::size_t row = 0; row < rows.size(); ++row) {
    const std::int32_t record = rows[row];
    newRowOf[record == kPlaceholderRow ? recordLimit_ : static_cast<std::size_t>(record)] =
        static_cast<int>(row);
  }
  const QModelIndexList from = persistentIndexList();
  std::vector<int> moved(static_cast<std::size_t>(from.size()), -1);
  for (qsizetype i = 0; i < from.size(); ++i) {
    const auto oldRow = static_cast<std::size_t>(from[i].row());
    if (oldRow < rows_.size()) {
      const std::int32_t record = rows_[oldRow];
      moved[static_cast<std::size_t>(i)] =
          newRowOf[record == kPlaceholderRow ? recordLimit_ : static_cast<std::size_t>(record)];
    }
  }
  rows_ = std::move(rows);
  // Selections and the current row follow their records; those filtered out are dropped.
  QModelIndexList to;
  to.reserve(from.size());
  for (qsizetype i = 0; i < from.size(); ++i) {
    const int row = moved[static_cast<std::size_t>(i)];
    to.append(row >= 0 ? index(row, from[i].column()) : QModelIndex());
  }
  changePersistentIndexList(from, to);
  emit layoutChanged({}, hint);
}

QString ProjListModel::RowsText(std::vector<int> rows) const {
  std::sort(rows.begin(), rows.end());
  rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
  const int columns = columnCount();
  // A tab or a line break inside a cell would shift the columns or rows of whoever pastes it.
  auto append = [](QString& out, QString cell) {
    for (QChar& c : cell) {
      if (c == QLatin1Char('\t') || c == QLatin1Char('\r') || c == QLatin1Char('\n'))
        c = QLatin1Char(' ');
    }
    out += cell;
  };
  QString body;
  for (int row : rows) {
    if (RecordIndex(row) < 0)
      continue;
    for (int column = 0; column < columns; ++column) {
      if (column != 0)
        body += QLatin1Char('\t');
      append(body, CellText(row, column));
    }
    body += QLatin1Char('\n');
  }
  if (body.isEmpty())
    return {};
  QString text;
  for (int column = 0; column < columns; ++column) {
    if (column != 0)
      text += QLatin1Char('\t');
    append(text, ColumnHeader(mode_, column));
  }
  text += QLatin1Char('\n');
  return text + body;
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
  // The record's texts changed: search them anew, and let the filter decide on the row again.
  searchBuilt_ = false;
  if (!foldedFilter_.isEmpty())
    ReplaceRows(FilteredRows(order_), QAbstractItemModel::NoLayoutChangeHint);
}

}  // namespace talvek
