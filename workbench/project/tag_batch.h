// Batch creation of tags: copies of one tag with stepped names ("温度1".."温度16") and stepped
// registers (VW100, VW102, ...; 4X1, 4X2, ...), each checked as any new tag is (ApplyTagCells:
// the editor's rules and the device's driver) and against every name already taken.
//
//   TagBatchSpec wanted{16, "温度", 1, DefaultRegisterStep("VW100", kRawInt16)};  // step 2
//   const std::vector<TagBatchRow> rows = PlanTagBatch(source, wanted, devices, tags, drivers);
//   if (BatchIsSound(rows)) for (const TagBatchRow& r : rows) tags.push_back(r.record);
#pragma once

#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "common/records.h"
#include "workbench/project/tag_csv.h"

namespace talvek {

// The most tags one batch creates.
inline constexpr int kMaxBatchCount = 1000;

// What the batch dialog asks for.
struct TagBatchSpec {
  int count = 1;              // 1..kMaxBatchCount
  std::string stem;           // UTF-8; the names are stem + number
  int firstNumber = 1;        // number of the first tag, then +1 per tag
  int registerStep = 1;       // added to the register's address from one tag to the next
  std::string firstRegister;  // the first tag's register (UTF-8); empty: the source's
};

// One planned tag: its name and register (UTF-8, as shown), the record it gives, and why it is
// refused (empty when sound).
struct TagBatchRow {
  std::string name;
  std::string registerText;
  TagRecord record{};
  std::string error;
};

// The step between two tags of raw type `rawType` on register `registerText`: the type's width in
// the register's address units. Areas named by a digit and "X" (Modbus 0X, 1X, 3X, 4X) count
// 16-bit registers or single bits; the others (V, VW, I, Q, M, ...) count bytes; a bit tag steps
// one bit, a string with a length (".10") its length.
int DefaultRegisterStep(std::string_view registerText, int rawType);

// `registerText` with its address moved by `offset` units: the number after the area name
// ("VW100" + 2 = "VW102", "4X7L" + 2 = "4X9L"), and for a bit tag written "byte.bit" the bit with
// carry into the byte ("Q0.7" + 1 = "Q1.0"). False when the text has no address number or the
// result would be negative or too large.
[[nodiscard]] bool StepRegister(std::string_view registerText, int rawType, long long offset,
                                std::string& out);

// The tags a batch from `source` creates, in order, each checked; every row is planned even when
// some are refused, so the dialog can show them all.
std::vector<TagBatchRow> PlanTagBatch(const TagRecord& source, const TagBatchSpec& wanted,
                                      std::span<const DeviceRecord> devices,
                                      const std::vector<TagRecord>& tags, TagRegisterCheck& check);

// True when the plan has rows and none is refused.
bool BatchIsSound(const std::vector<TagBatchRow>& rows);

}  // namespace talvek
