// Messages in the user's language and the three output formats.
#include <cstdlib>
#include <cstring>

#include "platform/atoms.h"
#include "platform/clock.h"
#include "platform/gbk.h"
#include "tools/talvekctl/mqtt_topics.h"
#include "tools/talvekctl/talvekctl.h"
#include "workbench/runtime/tag_fields.h"
#include "workbench/runtime/tag_table.h"

namespace talvekctl {
namespace {

// The first locale variable that is set and not empty, in the order the C library reads them.
const char* MessagesLocale() {
  for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"}) {
    const char* value = std::getenv(name);
    if (value != nullptr && value[0] != '\0')
      return value;
  }
  return "";
}

// A CSV field, quoted when it holds a separator, a quote or a line break.
std::string CsvField(std::string_view text) {
  if (text.find_first_of(",\"\r\n") == std::string_view::npos)
    return std::string(text);
  std::string out = "\"";
  for (const char c : text) {
    if (c == '"')
      out += '"';
    out += c;
  }
  return out + "\"";
}

std::string NumberText(long long v) {
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%lld", v);
  return buffer;
}

std::string FloatText(float f) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%.7g", static_cast<double>(f));
  return buffer;
}

std::string AtomText(int32_t word) {
  char buffer[256] = {};
  const UINT n = platform::GlobalGetAtomNameA(static_cast<ATOM>(word & 0xFFFF), buffer,
                                              static_cast<int>(sizeof buffer));
  return platform::GbkToUtf8(std::string_view(buffer, n));
}

std::string QualityCell(uint16_t quality) {
  const char* text = talvek::QualityText(quality);
  std::string cell = NumberText(quality);
  if (text[0] != '\0' && Chinese())
    cell += std::string(" ") + text;
  else if (quality == 192)
    cell += " good";
  else if (quality == 0x20)
    cell += " waiting";
  else if (quality == 8)
    cell += " not connected";
  else if (quality == 0)
    cell += " bad";
  return cell;
}

// The columns a UTF-8 text takes on a terminal: two for each character of the wide ranges
// (CJK, full-width forms), one for the others.
std::size_t Columns(std::string_view text) {
  std::size_t columns = 0;
  for (std::size_t i = 0; i < text.size();) {
    const auto lead = static_cast<unsigned char>(text[i]);
    const std::size_t length = lead < 0x80 ? 1 : lead < 0xE0 ? 2 : lead < 0xF0 ? 3 : 4;
    uint32_t code = lead;
    if (length == 3 && i + 2 < text.size())
      code = ((lead & 0x0F) << 12) | ((text[i + 1] & 0x3F) << 6) | (text[i + 2] & 0x3F);
    columns += (length >= 3 && code >= 0x1100 && code != 0x2014) ? 2 : 1;
    i += length;
  }
  return columns;
}

// `text` followed by blanks up to `width` columns and one more.
std::string Cell(std::string_view text, std::size_t width) {
  std::string out(text);
  const std::size_t columns = Columns(text);
  out.append(columns < width ? width - columns + 1 : 1, ' ');
  return out;
}

}  // namespace

bool Chinese() {
  static const bool chinese = std::strncmp(MessagesLocale(), "zh_CN", 5) == 0;
  return chinese;
}

void Complain(const std::string& text) {
  std::fprintf(stderr, "talvekctl: %s\n", text.c_str());
}

std::string IsoTime(const FILETIME& time) {
  if (time.dwLowDateTime == 0 && time.dwHighDateTime == 0)
    return {};
  SYSTEMTIME st{};
  if (!platform::FileTimeToSystemTime(&time, &st))
    return {};
  char buffer[64];
  std::snprintf(buffer, sizeof buffer, "%04u-%02u-%02uT%02u:%02u:%02u.%03uZ", st.wYear, st.wMonth,
                st.wDay, st.wHour, st.wMinute, st.wSecond, st.wMilliseconds);
  return buffer;
}

std::string ValueText(int32_t varType, int32_t word) {
  switch (varType) {
    case kVarFloat:
      return FloatText(WordToFloat(word));
    case kVarString:
      return AtomText(word);
    default:
      return NumberText(word);
  }
}

std::string RawText(int32_t rawType, int32_t word) {
  switch (rawType) {
    case kRawFloat:
      return FloatText(WordToFloat(word));
    case kRawString:
      return AtomText(word);
    default:
      return NumberText(static_cast<long long>(RawWordToDouble(word, rawType)));
  }
}

void FillFromTag(Row& row, const TagRecord& tag) {
  row.quality = talvek::LoadQuality(tag);
  row.time = talvek::LoadUpdateTime(tag);
  row.text = tag.varType == kVarString;
  row.hasValue = row.time.dwLowDateTime != 0 || row.time.dwHighDateTime != 0;
  row.value = ValueText(tag.varType, talvek::LoadValueWord(tag));
  row.raw = RawText(tag.rawType, talvek::LoadRawWord(tag));
}

void Printer::Print(const Row& row) {
  const std::string time = IsoTime(row.time);
  const bool project = !row.tag.empty();
  std::string line;
  switch (format_) {
    case Format::kJson: {
      auto value = [&](const std::string& v) { return JsonValue(v, row.text, row.hasValue); };
      line = "{";
      if (project)
        line += "\"tag\":" + JsonString(row.tag) + ",\"device\":" + JsonString(row.device) + ",";
      line += "\"register\":" + JsonString(row.reg) + ",\"value\":" + value(row.value) +
              ",\"raw\":" + value(row.raw) + ",\"quality\":" + NumberText(row.quality) +
              ",\"error\":" + (row.error ? JsonString(*row.error) : std::string("null")) +
              ",\"time\":" + (time.empty() ? std::string("null") : JsonString(time)) + "}";
      break;
    }
    case Format::kCsv:
      if (!headerDone_) {
        std::fputs(project ? "tag,device,register,value,raw,quality,error,time\n"
                           : "register,value,raw,quality,error,time\n",
                   out_);
        headerDone_ = true;
      }
      if (project)
        line = CsvField(row.tag) + "," + CsvField(row.device) + ",";
      line += CsvField(row.reg) + "," + (row.hasValue ? CsvField(row.value) : "") + "," +
              (row.hasValue ? CsvField(row.raw) : "") + "," + NumberText(row.quality) + "," +
              CsvField(row.error.value_or("")) + "," + time;
      break;
    case Format::kTable: {
      if (!headerDone_) {
        std::string header;
        if (project)
          header = Cell(Tr("TAG", "变量"), 24) + Cell(Tr("REGISTER", "寄存器"), 12);
        else
          header = Cell(Tr("REGISTER", "寄存器"), 14);
        header += Cell(Tr("VALUE", "值"), 14) + Cell(Tr("RAW", "原始值"), 12) +
                  Cell(Tr("QUALITY", "质量"), 16) + Cell(Tr("TIME", "时间"), 24) +
                  Tr("ERROR", "错误") + "\n";
        std::fputs(header.c_str(), out_);
        headerDone_ = true;
      }
      if (project)
        line = Cell(row.tag, 24) + Cell(row.reg, 12);
      else
        line = Cell(row.reg, 14);
      line += Cell(row.hasValue ? row.value : "-", 14) + Cell(row.hasValue ? row.raw : "-", 12) +
              Cell(QualityCell(row.quality), 16) + Cell(time.empty() ? "-" : time, 24) +
              row.error.value_or("");
      while (!line.empty() && line.back() == ' ')
        line.pop_back();
      break;
    }
  }
  line += '\n';
  std::fwrite(line.data(), 1, line.size(), out_);
}

}  // namespace talvekctl
