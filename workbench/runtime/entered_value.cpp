#include "workbench/runtime/entered_value.h"

#include <locale.h>
#include <algorithm>
#include <cfloat>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <utility>

#include "platform/gbk.h"

namespace talvek {
namespace {

// The blanks the C conversions skip ("C" locale isspace), independent of the process locale.
bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

bool IsDigit(char c) {
  return c >= '0' && c <= '9';
}

std::string_view SkipBlanks(std::string_view text) {
  std::size_t i = 0;
  while (i < text.size() && IsBlank(text[i]))
    ++i;
  return text.substr(i);
}

// The "C" locale, so that strtod reads '.' as the decimal point whatever locale is installed.
locale_t CLocale() {
  static const locale_t loc = newlocale(LC_ALL_MASK, "C", static_cast<locale_t>(0));
  return loc;
}

// The text with the blanks around it removed.
std::string_view TrimBlanks(std::string_view text) {
  text = SkipBlanks(text);
  while (!text.empty() && IsBlank(text.back()))
    text.remove_suffix(1);
  return text;
}

// Past this magnitude a typed whole number is kept as it is: it is outside every int32 range
// already, and 2^53 is still exact in a double.
constexpr int64_t kWholeNumberCap = int64_t{1} << 53;

std::string LimitText(double value, int32_t varType) {
  if (varType == kVarFloat)
    return FloatLimitText(value);
  char buffer[32];
  std::snprintf(buffer, sizeof buffer, "%lld", static_cast<long long>(value));
  return buffer;
}

std::optional<EnteredValue> Refuse(std::string* refusal, std::string text) {
  if (refusal != nullptr)
    *refusal = std::move(text);
  return std::nullopt;
}

}  // namespace

ValueLimits LimitsOf(const TagRecord& tag) {
  ValueLimits limits;
  switch (tag.varType) {
    case kVarDiscrete:
      return {true, 0, 1};
    case kVarInteger:
      limits = {true, static_cast<double>(tag.engMin), static_cast<double>(tag.engMax)};
      break;
    case kVarFloat: {
      const float a = WordToFloat(tag.engMin);
      const float b = WordToFloat(tag.engMax);
      // A limit that is no number bounds nothing: the float range stands in for it.
      limits = {true, std::isnan(a) ? -FLT_MAX : a, std::isnan(b) ? FLT_MAX : b};
      break;
    }
    default:
      return {};
  }
  if (limits.low > limits.high)
    std::swap(limits.low, limits.high);
  return limits;
}

std::string FloatLimitText(double value) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%.7g", value);
  return buffer;
}

std::string RangeText(const ValueLimits& limits, int32_t varType) {
  if (varType == kVarDiscrete)
    return "0 或 1";
  return LimitText(limits.low, varType) + " ~ " + LimitText(limits.high, varType);
}

std::optional<int64_t> ParseWholeNumber(std::string_view text) {
  text = TrimBlanks(text);
  std::size_t i = 0;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    negative = text[i++] == '-';
  if (i == text.size())
    return std::nullopt;
  int64_t magnitude = 0;
  for (; i < text.size(); ++i) {
    if (!IsDigit(text[i]))
      return std::nullopt;
    magnitude = std::min(magnitude * 10 + (text[i] - '0'), kWholeNumberCap);
  }
  return negative ? -magnitude : magnitude;
}

std::optional<double> ParseDecimalNumber(std::string_view text) {
  text = TrimBlanks(text);
  std::size_t i = 0;
  if (i < text.size() && (text[i] == '+' || text[i] == '-'))
    ++i;
  std::size_t mantissaDigits = 0;
  for (; i < text.size() && IsDigit(text[i]); ++i)
    ++mantissaDigits;
  if (i < text.size() && text[i] == '.') {
    for (++i; i < text.size() && IsDigit(text[i]); ++i)
      ++mantissaDigits;
  }
  if (mantissaDigits == 0)
    return std::nullopt;
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
      ++i;
    std::size_t exponentDigits = 0;
    for (; i < text.size() && IsDigit(text[i]); ++i)
      ++exponentDigits;
    if (exponentDigits == 0)
      return std::nullopt;
  }
  if (i != text.size())
    return std::nullopt;
  // The text is exactly one decimal number now; strtod_l gives ±HUGE_VAL beyond the double
  // range and a tiny value or 0 below it.
  const std::string number(text);
  return strtod_l(number.c_str(), nullptr, CLocale());
}

std::optional<EnteredValue> CheckEnteredValue(const TagRecord& tag, std::string_view text,
                                              std::string* refusal) {
  const std::string typed(text);
  EnteredValue value;
  value.varType = tag.varType;
  const ValueLimits limits = LimitsOf(tag);
  // A number is taken only when the whole text is one, and only inside the tag's range: a typo
  // or an out-of-range value must never reach the plant as 0 or as a clamped limit.
  std::optional<double> number;
  switch (tag.varType) {
    case kVarDiscrete:
    case kVarInteger:
      if (const auto whole = ParseWholeNumber(text))
        number = static_cast<double>(*whole);
      else
        return Refuse(refusal, tag.varType == kVarDiscrete
                                   ? "“" + typed + "”不是有效的布尔值,请输入 0 或 1。"
                                   : "“" + typed + "”不是整数,请输入一个整数(例如 100 或 -25)。");
      break;
    case kVarFloat:
      number = ParseDecimalNumber(text);
      if (!number)
        return Refuse(refusal, "“" + typed + "”不是数值,请输入一个数(例如 12.5、-3 或 1.5e3)。");
      break;
    case kVarString: {
      // The writer cannot send these texts and would drop them without a word; say why here,
      // while the user can still correct the text.
      std::string gbk;
      if (text.empty())
        return Refuse(refusal, "字符串不能为空。");
      if (text.find('\0') != std::string_view::npos)
        return Refuse(refusal, "字符串中不能含有空字符(NUL)。");
      if (!platform::Utf8ToGbk(text, gbk))
        return Refuse(refusal, "字符串中含有不能用GBK编码表示的字符,请修改后再确定。");
      if (gbk.size() > kMaxStringValueBytes)
        return Refuse(refusal, "字符串太长:用GBK编码后不能超过255个字节(一个汉字占2个字节)。");
      value.gbkText = std::move(gbk);
      return value;
    }
    default:
      return Refuse(refusal, {});
  }
  // A float tag compares the float the writer will send: its limits are floats, and "0.1" must
  // meet a limit stored as 0.1f. Beyond the float range there is no such float.
  if (tag.varType == kVarFloat && std::fabs(*number) <= FLT_MAX)
    number = static_cast<float>(*number);
  // NaN never gets here (the parsers do not read it); ±HUGE_VAL fails the comparison.
  if (!(*number >= limits.low && *number <= limits.high)) {
    return Refuse(refusal, std::string(TrimBlanks(text)) + " 超出变量“" +
                               platform::GbkToUtf8(platform::ArrayText(tag.name)) +
                               "”的范围,允许的值为 " + RangeText(limits, tag.varType) + "。");
  }
  switch (tag.varType) {
    case kVarDiscrete:
      value.discrete = static_cast<int16_t>(*number);
      break;
    case kVarInteger:
      value.integer = static_cast<int32_t>(*number);
      break;
    default:
      value.real = static_cast<float>(*number);  // already a float value
      break;
  }
  return value;
}

int WriteEnteredValue(RuntimeTagTable& table, std::string_view gbkName, const EnteredValue& value) {
  switch (value.varType) {
    case kVarDiscrete:
      return table.WriteDiscreteByName(gbkName, value.discrete);
    case kVarInteger:
      return table.WriteIntegerByName(gbkName, value.integer);
    case kVarFloat:
      return table.WriteFloatByName(gbkName, value.real);
    case kVarString:
      return table.WriteStringByName(gbkName, value.gbkText);
    default:
      return 0;
  }
}

}  // namespace talvek
