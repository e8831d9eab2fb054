#include "workbench/project/csv_text.h"

#include <cstdint>
#include <cstdio>

#include "platform/gbk.h"

namespace talvek {

bool IsValidUtf8(std::string_view bytes) {
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  while (i < n) {
    const auto b = static_cast<unsigned char>(bytes[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t width = 0;
    std::uint32_t code = 0;
    std::uint32_t least = 0;
    if ((b & 0xE0) == 0xC0) {
      width = 2, code = b & 0x1F, least = 0x80;
    } else if ((b & 0xF0) == 0xE0) {
      width = 3, code = b & 0x0F, least = 0x800;
    } else if ((b & 0xF8) == 0xF0) {
      width = 4, code = b & 0x07, least = 0x10000;
    } else {
      return false;
    }
    if (n - i < width)
      return false;
    for (std::size_t k = 1; k < width; ++k) {
      const auto c = static_cast<unsigned char>(bytes[i + k]);
      if ((c & 0xC0) != 0x80)
        return false;
      code = (code << 6) | (c & 0x3F);
    }
    if (code < least || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF))
      return false;
    i += width;
  }
  return true;
}

namespace {

bool Fail(CsvTable& out, int line, const char* reason) {
  out.rows.clear();
  out.errorLine = line;
  out.error = reason;
  return false;
}

// A row that holds nothing but one empty field is an empty line.
bool IsEmptyRow(const CsvRow& row) {
  return row.fields.size() == 1 && row.fields[0].empty();
}

}  // namespace

bool ReadCsv(std::string_view bytes, CsvTable& out) {
  out = CsvTable{};
  if (bytes.starts_with(kUtf8Bom))
    bytes.remove_prefix(kUtf8Bom.size());
  std::string converted;
  if (!IsValidUtf8(bytes)) {
    // A file that is not UTF-8 is read as GBK, the encoding of every other text of a project.
    if (!platform::GbkToUtf8(bytes, converted))
      return Fail(out, 0, "文件既不是有效的 UTF-8 文本，也不是有效的 GBK 文本。");
    out.encoding = CsvEncoding::kGbk;
    bytes = converted;
  }

  int line = 1;
  CsvRow row{line, {}};
  std::string field;
  std::size_t i = 0;
  const std::size_t n = bytes.size();
  // Ends the current row at a line break, which starts at bytes[i]; skips the break.
  auto endRow = [&]() {
    row.fields.push_back(std::move(field));
    field.clear();
    if (!IsEmptyRow(row))
      out.rows.push_back(std::move(row));
    if (i < n) {
      if (bytes[i] == '\r' && i + 1 < n && bytes[i + 1] == '\n')
        ++i;
      ++i;
      ++line;
    }
    row = CsvRow{line, {}};
  };
  while (i < n) {
    if (bytes[i] == '"' && field.empty()) {
      // A quoted field: up to the quote that is not doubled.
      const int opened = line;
      ++i;
      for (;;) {
        if (i >= n)
          return Fail(out, opened, "引号没有结束：缺少与之配对的引号。");
        const char c = bytes[i];
        if (c == '"') {
          if (i + 1 < n && bytes[i + 1] == '"') {
            field += '"';
            i += 2;
            continue;
          }
          ++i;
          break;
        }
        if (c == '\0')
          return Fail(out, line, "文件中有零字节，不是文本文件。");
        // A break inside quotes belongs to the field; CR LF counts as one line.
        if (c == '\n' || (c == '\r' && !(i + 1 < n && bytes[i + 1] == '\n')))
          ++line;
        field += c;
        ++i;
      }
      if (i < n && bytes[i] != ',' && bytes[i] != '\r' && bytes[i] != '\n')
        return Fail(out, line, "引号后面多出了字符：带引号的内容之后只能是逗号或换行。");
      continue;
    }
    const char c = bytes[i];
    if (c == ',') {
      row.fields.push_back(std::move(field));
      field.clear();
      ++i;
    } else if (c == '\r' || c == '\n') {
      endRow();
    } else if (c == '\0') {
      return Fail(out, line, "文件中有零字节，不是文本文件。");
    } else {
      field += c;
      ++i;
    }
  }
  // The last row needs no line break.
  if (!field.empty() || !row.fields.empty())
    endRow();
  return true;
}

void AppendCsvField(std::string& line, std::string_view field) {
  const bool quote = field.find_first_of(",\"\r\n") != std::string_view::npos ||
                     (!field.empty() && (field.front() == ' ' || field.back() == ' ' ||
                                         field.front() == '\t' || field.back() == '\t'));
  if (!quote) {
    line.append(field);
    return;
  }
  line += '"';
  for (char c : field) {
    if (c == '"')
      line += '"';
    line += c;
  }
  line += '"';
}

void AppendCsvRow(std::string& out, const std::vector<std::string>& fields) {
  for (std::size_t k = 0; k < fields.size(); ++k) {
    if (k > 0)
      out += ',';
    AppendCsvField(out, fields[k]);
  }
  out += "\r\n";
}

}  // namespace talvek
