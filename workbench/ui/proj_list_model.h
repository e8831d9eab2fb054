// ProjListModel: the rows and cells of the project list, a thin table model over the open
// project's tables (devices, tags, screens) and the live fields of the tags.
//
// The model stores no texts. Each row holds the index of a record in one of the project's tables,
// or kPlaceholderRow for the "new ..." row at the end; a cell's text is formatted only when a
// view asks for it, so a refresh of 65,536 live tags costs only the visible cells. Row indexes are
// checked against the table on every access: a table that was shortened or emptied behind the
// model's back (project closed, communication started, records deleted) yields empty cells, never
// a read outside the table.
//
//   ProjListModel model;
//   model.Rebuild(ListMode::kLiveValues, &Project(), 0);
//   tableView.setModel(&model);
//   model.NotifyLiveValuesChanged();   // on every refresh tick
//
// All of it runs on the user-interface thread, where the Qt views ask for cells, so the row table
// needs no lock. The live cells read the tags' runtime fields through tag_fields.h while polling
// threads store them.
//
// On top of the mode's records sit a sort (by any column, kept while the mode is rebuilt) and a
// filter (a text the searched cells must contain, kept across every rebuild); the placeholder row
// stays last through both.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include <QAbstractTableModel>
#include <QIcon>

#include "common/records.h"
#include "common/type_names.h"  // VarTypeName, RawTypeName
#include "platform/win_types.h"
#include "workbench/ui/proj_list_icons.h"

namespace talvek {

struct ProjectState;

// What the list shows. The values are the upper 16 bits of the view-update hint that chose it.
enum class ListMode : std::uint32_t {
  kNone = 0,  // no columns, no rows: before the first mode hint and after the project closed
  kDevices = 0x1,
  kTags = 0x2,
  kScreens = 0x4,
  kLiveValues = 0x8,
};

// Texts (UTF-8) of the placeholder rows that stand for "create a new one".
inline constexpr char kNewDeviceRowText[] = "新建设备...";
inline constexpr char kNewTagRowText[] = "新建变量...";
inline constexpr char kNewScreenRowText[] = "增加画面...";

// The live "变量值" text of a tag (UTF-8), by varType: 0 and 1 as a signed 32-bit number ("%d",
// or "%X" with `hex`), 2 as "%f" (with `hex`: the float's IEEE bits in "%X"), 3 the text of the
// global atom in the low 16 bits. Empty for other types and unknown atoms.
std::string FormatLiveValue(std::int32_t varType, std::int32_t valueWord, bool hex);
// The live "原始值" text, by rawType, read in the raw type's width: 0, 5, 6 signed 32-bit; 1
// unsigned byte; 2 signed 16-bit; 3, 4 unsigned 16-bit; 7 float; 8 the atom's text. With `hex`
// the integer types show their bits in their own width ("%X": a byte 255 is "FF", a 16-bit -1
// "FFFF"), so BCD values show their digits; a float shows its IEEE bits.
std::string FormatRawValue(std::int32_t rawType, std::int32_t rawWord, bool hex);
// A FILETIME (UTC) in local time as "%04d/%02d/%02d %02d:%02d:%02d %04d" (year, month, day, hour,
// minute, second, milliseconds); empty for the time 0 (a tag never read) and when it cannot be
// converted.
std::string FormatUpdateTime(const FILETIME& time);
// The text (UTF-8) of the global atom in the low 16 bits of `word`, read with a 128-byte buffer;
// empty when there is no such atom.
std::string AtomText(std::int32_t word);
// A record's GBK text as shown: strict conversion, and for bytes that are not GBK each byte
// outside ASCII becomes U+FFFD, so a damaged record still shows what can be shown.
QString GbkCellText(std::string_view gbk);

class ProjListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  // Columns of each mode, in their order.
  enum DeviceColumn { kDeviceName, kDeviceModel, kDeviceAddress, kDeviceColumnCount };
  enum TagColumn {
    kTagName,
    kTagDescription,
    kTagType,
    kTagId,
    kTagDevice,
    kTagRegister,
    kTagColumnCount
  };
  enum ScreenColumn { kScreenName, kScreenFile, kScreenColumnCount };
  enum LiveColumn {
    kLiveName,
    kLiveValue,
    kLiveType,
    kLiveRaw,
    kLiveRawType,
    kLiveQuality,
    kLiveRegister,
    kLiveDevice,
    kLiveTime,
    kLiveColumnCount
  };

  // The record index a placeholder row holds.
  static constexpr std::int32_t kPlaceholderRow = -1;
  // What RecordIndex answers for a row outside the row table or a record no longer in its table.
  static constexpr std::int32_t kNoRecord = -2;

  explicit ProjListModel(QObject* parent = nullptr);

  // Replaces every row with those of `mode` over `state` (a model reset): devices on port
  // `portFilter` (0: all) plus the placeholder, all tags plus the placeholder, all screens plus
  // the placeholder, or all tags for live values. kNone, or a null state, leaves no rows and no
  // columns.
  void Rebuild(ListMode mode, ProjectState* state, int portFilter = 0);
  // Drops every row and column (a model reset); the mode becomes kNone.
  void Clear() { Rebuild(ListMode::kNone, nullptr); }
  // Drops every row but keeps the mode and its columns, for the time a table changes under it.
  void ClearRows();

  ListMode Mode() const { return mode_; }
  int PortFilter() const { return portFilter_; }
  ProjectState* State() const { return state_; }

  // The index, in the mode's table, of the record on `row`; kPlaceholderRow for the placeholder;
  // kNoRecord when the row does not exist or its record is no longer in the table.
  std::int32_t RecordIndex(int row) const;
  bool IsPlaceholder(int row) const { return RecordIndex(row) == kPlaceholderRow; }
  // The record on `row` in the current mode's table; null for the placeholder, a missing row, a
  // stale index or another mode. The pointer is valid until the table changes.
  DeviceRecord* DeviceAt(int row) const;
  TagRecord* TagAt(int row) const;  // tags and live values modes
  ScreenRecord* ScreenAt(int row) const;

  // The hex display of the live integer cells.
  void SetHexDisplay(bool on);
  bool HexDisplay() const { return hex_; }

  // Draws the row images (ProjListIcons: one for devices, one per variable type, one for
  // screens) / drops them; without them the cells have no image.
  void CreateImages();
  void DestroyImages();
  bool HasImages() const { return icons_.has_value(); }

  // Sorts the rows by `column`: text columns by their shown text with the locale's collation
  // (case-sensitive), numeric columns (IsNumericColumn) by value. Empty cells follow the others
  // and the placeholder stays last in either direction; rows that compare equal keep their order.
  // Selections and other persistent indexes follow their rows. The sort is kept while the same
  // mode is rebuilt and forgotten when the mode changes (SortColumn() is then -1).
  void SortRows(int column, bool descending);
  int SortColumn() const { return sortColumn_; }
  bool SortDescending() const { return sortDescending_; }
  // The columns that sort by value: live value, raw value and update time, and the tag id.
  static bool IsNumericColumn(ListMode mode, int column);

  // Shows only the records whose searched texts contain `text`, whatever the letter case (empty:
  // every record): tags by name, description, register and device (as the mode shows register and
  // device), devices by name, model and address, screens by name and file. The placeholder stays
  // at the end. The filter is kept across rebuilds; rows that no longer match leave the selection.
  void SetFilter(const QString& text);
  const QString& Filter() const { return filter_; }
  // The number of records of the mode before the filter (the placeholder not counted).
  int RecordCount() const { return static_cast<int>(order_.size()); }

  // The header line and the cells of `rows` (placeholders left out), tab-separated, one line per
  // row ending in "\n"; empty when no row holds a record. For the clipboard.
  QString RowsText(std::vector<int> rows) const;

  // Tells the views that the live cells (every column but the name) may have changed.
  void NotifyLiveValuesChanged();
  // Tells the views that the cells of `row` may have changed.
  void NotifyRowChanged(int row);

  // The text of a cell, as the display role gives it.
  QString CellText(int row, int column) const;
  // The header of `column` in `mode`, and the widths the columns get in a list `outerWidth` wide.
  static QString ColumnHeader(ListMode mode, int column);
  static std::vector<int> ColumnWidths(ListMode mode, int outerWidth);
  static int ColumnCountOf(ListMode mode);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;
  Qt::ItemFlags flags(const QModelIndex& index) const override;

 private:
  // The size of the current mode's table, 0 without a state.
  std::size_t TableSize() const;
  // The image of `row`, or a null icon.
  QIcon RowImage(int row) const;
  // The text of `column` for the record at `recordIndex` (which must be in the table).
  QString RecordText(std::int32_t recordIndex, int column) const;
  // The value a numeric column sorts by; nullopt when the cell holds no number.
  std::optional<double> CellNumber(std::int32_t recordIndex, int column) const;
  // Sorts order_ by the current sort column; no signals.
  void SortOrder();
  // The records of `candidates` that pass the filter, in their order, then the placeholder.
  std::vector<std::int32_t> FilteredRows(const std::vector<std::int32_t>& candidates);
  // The GBK texts the filter searches in `record` (empty ones for a record no longer in the
  // table): the same number for every record of the mode, which it returns.
  int SearchFields(std::size_t record, std::string_view (&fields)[4]) const;
  // Makes searchText_ and searchStart_ for the current records, once per rebuild.
  void BuildSearchIndex();
  // Replaces rows_ by `rows` as a layout change: persistent indexes follow their records, those
  // whose record is no longer shown become invalid.
  void ReplaceRows(std::vector<std::int32_t> rows, QAbstractItemModel::LayoutChangeHint hint);

  ListMode mode_ = ListMode::kNone;
  ProjectState* state_ = nullptr;
  int portFilter_ = 0;
  std::vector<std::int32_t> order_;  // every record of the mode, in the sort order
  std::vector<std::int32_t> rows_;   // order_ as filtered, then kPlaceholderRow if the mode has one
  bool hasPlaceholder_ = false;
  std::size_t recordLimit_ = 0;  // the table's size at the rebuild: every index in order_ is below
  bool hex_ = false;

  int sortColumn_ = -1;  // -1: table order
  bool sortDescending_ = false;

  QString filter_;        // as typed
  QString foldedFilter_;  // case-folded; empty: no filter
  // The searched texts of every record, case-folded, each field followed by '\n' (which a filter
  // typed on one line never contains, so no match spans two fields); record r's texts are
  // [searchStart_[r], searchStart_[r + 1]). Made when a filter first needs it after a rebuild.
  QString searchText_;
  std::vector<qsizetype> searchStart_;
  bool searchBuilt_ = false;

  std::optional<ProjListIcons> icons_;  // the row images while they exist
};

}  // namespace talvek
