// Comma-separated text: the bytes of a tag list file as rows of UTF-8 fields, and fields written
// back with the quoting that reads them again. No Qt: the fuzz build links it alone.
//
//   CsvTable table;
//   if (!ReadCsv(fileBytes, table)) { /* table.errorLine, table.error */ }
//   for (const CsvRow& row : table.rows) { /* row.line, row.fields */ }
//
//   std::string line;
//   AppendCsvField(line, "温度,上限");  // "\"温度,上限\""
#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace talvek {

// The encoding a file was read in.
enum class CsvEncoding { kUtf8, kGbk };

// The UTF-8 byte-order mark, which a written file starts with.
inline constexpr std::string_view kUtf8Bom = "\xEF\xBB\xBF";

// One row of fields and the line of the file it starts on (1 = the first line).
struct CsvRow {
  int line = 0;
  std::vector<std::string> fields;  // UTF-8
};

// What ReadCsv read: the rows, or where and why it stopped.
struct CsvTable {
  CsvEncoding encoding = CsvEncoding::kUtf8;
  std::vector<CsvRow> rows;
  int errorLine = 0;  // 0 when the file was read whole
  std::string error;  // UTF-8 reason, empty when read whole
};

// True when `bytes` are well-formed UTF-8 (no overlong forms, surrogates or values past U+10FFFF).
bool IsValidUtf8(std::string_view bytes);

// Reads `bytes` as comma-separated text. A UTF-8 byte-order mark is skipped; the rest is taken
// as UTF-8 when it is valid UTF-8, else as GBK (strictly: a byte sequence that is neither refuses
// the file). Rows end at LF, CR LF or CR; a field in double quotes may hold commas, line breaks
// and doubled quotes (""); a quote inside an unquoted field is an ordinary character. Lines that
// are empty are skipped. Refuses (false, with the line and the reason) a quoted field that is
// never closed, text after a closing quote other than a comma or the line's end, and a zero byte.
[[nodiscard]] bool ReadCsv(std::string_view bytes, CsvTable& out);

// Appends `field` (UTF-8) to `line`, in double quotes with its quotes doubled when it holds a
// comma, a quote, a line break or blanks at either end; as it is otherwise.
void AppendCsvField(std::string& line, std::string_view field);

// Appends the fields as one row ending in CR LF.
void AppendCsvRow(std::string& out, const std::vector<std::string>& fields);

}  // namespace talvek
