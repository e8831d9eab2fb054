// Fuzz target of the tag file reader (ReadCsv): the whole input is the file's bytes.
//
// Properties:
//  - a refusal gives no rows and a reason; a file that is neither UTF-8 nor GBK is refused at
//    line 0, any other refusal names a line of the file;
//  - an accepted file gives rows whose lines rise strictly and lie inside the file, no row that
//    is only one empty field, and fields that are valid UTF-8 without a zero byte;
//  - the encoding is UTF-8 exactly when the bytes after a byte-order mark are valid UTF-8;
//  - the rows written back (AppendCsvRow, with a byte-order mark) read again to the same fields.
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "common/testing/fuzz_check.h"
#include "workbench/project/csv_text.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  talvek::CsvTable table;
  if (!talvek::ReadCsv(bytes, table)) {
    FUZZ_CHECK(table.rows.empty());
    FUZZ_CHECK(!table.error.empty());
    FUZZ_CHECK(table.errorLine >= 0);
    return 0;
  }
  FUZZ_CHECK(table.error.empty() && table.errorLine == 0);
  std::string_view body = bytes;
  if (body.starts_with(talvek::kUtf8Bom))
    body.remove_prefix(talvek::kUtf8Bom.size());
  FUZZ_CHECK((table.encoding == talvek::CsvEncoding::kUtf8) == talvek::IsValidUtf8(body));

  int lastLine = 0;
  std::string written(talvek::kUtf8Bom);
  for (const talvek::CsvRow& row : table.rows) {
    FUZZ_CHECK(row.line > lastLine);
    FUZZ_CHECK(static_cast<std::size_t>(row.line) <= size + 1);
    lastLine = row.line;
    FUZZ_CHECK(!row.fields.empty());
    FUZZ_CHECK(!(row.fields.size() == 1 && row.fields[0].empty()));
    for (const std::string& field : row.fields) {
      FUZZ_CHECK(talvek::IsValidUtf8(field));
      FUZZ_CHECK(field.find('\0') == std::string::npos);
    }
    talvek::AppendCsvRow(written, row.fields);
  }

  talvek::CsvTable again;
  FUZZ_CHECK(talvek::ReadCsv(written, again));
  FUZZ_CHECK(again.encoding == talvek::CsvEncoding::kUtf8);
  FUZZ_CHECK(again.rows.size() == table.rows.size());
  for (std::size_t r = 0; r < table.rows.size(); ++r)
    FUZZ_CHECK(again.rows[r].fields == table.rows[r].fields);
  return 0;
}
