// Tags in bulk: the tag table written as comma-separated text, and such text read back, every
// row checked with the tag editor's rules (common/tag_values.h) and the device's own driver, and
// merged into the table. The dialogs around it are the project list's
// (workbench/ui/tag_bulk_dlg.h).
//
//   const std::string bytes = FormatTagCsv(state.tags);  // UTF-8 with a byte-order mark
//
//   DriverRegisterCheck drivers;
//   TagImport import = ReadTagCsv(fileBytes, devices, state.tags, drivers);
//   if (!import.errors.empty()) { /* show every TagRowErrorText(error); import nothing */ }
//   MergeImportedTags(state.tags, import, ExistingTags::kUpdate);
#pragma once

#include <array>
#include <cstddef>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "common/device_array.h"
#include "common/records.h"
#include "platform/com_ptr.h"

struct IProtocolDriver;

namespace talvek {

// A tag file larger than this is not a tag list (65,536 tags take about 10 MB): refused unread.
inline constexpr std::size_t kMaxTagFileBytes = 64 * 1024 * 1024;

// The devices of a table as the checks below take them.
inline std::span<const DeviceRecord> DevicesOf(const DeviceArray& devices) {
  if (devices.GetSize() == 0)
    return {};
  return {&devices[0], devices.GetSize()};
}

// The columns of a tag row, in the order a written file has them.
enum TagColumn {
  kColName,
  kColDescription,
  kColVarType,
  kColSource,  // "内部" or "外部"
  kColDevice,
  kColRegister,
  kColRawType,
  kColScanPeriod,
  kColMin,
  kColMax,
  kColInitial,
  kColDeadband,
  kColRawMin,
  kColRawMax,
  kTagColumnCount
};

// One row's cells (UTF-8), by TagColumn.
using TagCells = std::array<std::string, kTagColumnCount>;

// The header (UTF-8) of column `column` ("变量名称", ...).
const char* TagColumnName(int column);

// The cells of `tag`, as the editor shows it: names of types, numbers as stored (a float in the
// fewest digits that read back to the same float). Cells a tag of its type does not use are
// empty (the device part of an internal tag, the ranges of a discrete or string tag).
TagCells TagToCells(const TagRecord& tag);

// The whole table as a file: the UTF-8 byte-order mark, the header row, one row per tag in table
// order, each row ending in CR LF.
std::string FormatTagCsv(std::span<const TagRecord> tags);

// The driver's check of a register, behind an interface so tests can count or steer it.
class TagRegisterCheck {
 public:
  virtual ~TagRegisterCheck() = default;
  // Whether the driver of `device` serves `registerGbk` as raw type `rawType`. On success sets
  // `registerIndex` to the position of the register's area in the driver's list (0 when the list
  // has none); on refusal sets `refusal` (UTF-8) to the driver's reason.
  virtual bool Check(const DeviceRecord& device, std::string_view registerGbk, int rawType,
                     int& registerIndex, std::string& refusal) = 0;
};

// The check through COM, as the tag editor makes it: the device's driver class, created once per
// class and kept while the object lives; a refusal's text comes from a fresh object, whose last
// error can only be this refusal's.
class DriverRegisterCheck final : public TagRegisterCheck {
 public:
  DriverRegisterCheck();
  ~DriverRegisterCheck() override;
  DriverRegisterCheck(const DriverRegisterCheck&) = delete;
  DriverRegisterCheck& operator=(const DriverRegisterCheck&) = delete;

  bool Check(const DeviceRecord& device, std::string_view registerGbk, int rawType,
             int& registerIndex, std::string& refusal) override;

 private:
  struct Driver {
    CLSID clsid{};
    std::string model;
    platform::ComPtr<IProtocolDriver> object;
    std::vector<std::string> registers;  // GBK area names of the driver's list
  };
  Driver* DriverOf(const DeviceRecord& device);
  std::vector<Driver> drivers_;
};

// Checks one row's cells as the tag editor's OK checks its entries, then with the driver, and
// writes the result over `work` (which holds the tag the row updates, or a new tag's start)
// exactly as the editor's OK does. A text or register index that stays the same is not
// rewritten, so a row that changes nothing leaves every byte of `work` as it was. False, with
// `error` (UTF-8) and `work` untouched, when a check refuses. The name's uniqueness is the
// caller's.
[[nodiscard]] bool ApplyTagCells(const TagCells& cells, std::span<const DeviceRecord> devices,
                                 TagRegisterCheck& check, TagRecord& work, std::string& error);

// A refused row: its line in the file (1 = the header) and the reason (UTF-8).
struct TagRowError {
  int line = 0;
  std::string message;
};

// "第 12 行：<reason>" (UTF-8); the whole file's reason alone for line 0.
std::string TagRowErrorText(const TagRowError& error);

// A checked row: the record it gives and the tag it updates (its index in the table) or -1.
struct ImportedTag {
  int line = 0;
  TagRecord record{};
  std::ptrdiff_t existing = -1;
};

// What a file gave: the checked rows, or every refusal (then nothing may be imported).
struct TagImport {
  std::vector<ImportedTag> tags;
  std::vector<TagRowError> errors;
  // Rows that name a tag the table already has.
  std::size_t ExistingCount() const;
};

// Reads `bytes` (ReadCsv: UTF-8 or GBK) as a tag file: the first row names the columns (by their
// headers, in any order; a missing column counts as empty cells, an unknown header is refused),
// every further row is one tag, checked with ApplyTagCells over the table's tag of that name (an
// update) or over a zeroed record (a new tag). A name given by two rows is refused at the second.
// Every refused row is reported, in file order.
TagImport ReadTagCsv(std::string_view bytes, std::span<const DeviceRecord> devices,
                     const std::vector<TagRecord>& tags, TagRegisterCheck& check);

// What to do with rows that name existing tags.
enum class ExistingTags { kUpdate, kKeep };

// Counts of a merge.
struct TagMergeCount {
  std::size_t added = 0;
  std::size_t updated = 0;
};

// Appends the new tags in file order and, with kUpdate, rewrites the tags the rows name (kKeep
// leaves them as they are). A row whose tag is no longer at its index (the table changed since
// the read) is matched by name again, or added when the name is gone.
TagMergeCount MergeImportedTags(std::vector<TagRecord>& tags, const TagImport& import,
                                ExistingTags existing);

}  // namespace talvek
