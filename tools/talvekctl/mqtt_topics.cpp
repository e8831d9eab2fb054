// Topic escaping, broker URLs and the JSON payloads of the MQTT gateway.
#include "tools/talvekctl/mqtt_topics.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>

#include "tools/talvekctl/talvekctl.h"

namespace talvekctl {
namespace {

constexpr char kHex[] = "0123456789ABCDEF";

bool MustEscape(unsigned char c, bool first) {
  return c == '%' || c == '/' || c == '+' || c == '#' || c < 0x20 || c == 0x7F ||
         (first && c == '$');
}

int HexValue(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  if (c >= 'A' && c <= 'F')
    return c - 'A' + 10;
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

bool IsBlank(char c) {
  return c == ' ' || c == '\t' || c == '\r' || c == '\n';
}

std::string_view Trim(std::string_view s) {
  while (!s.empty() && IsBlank(s.front()))
    s.remove_prefix(1);
  while (!s.empty() && IsBlank(s.back()))
    s.remove_suffix(1);
  return s;
}

void AppendUtf8(std::string& out, uint32_t code) {
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
}

// A small reader of the flat JSON objects a /set message may carry.
class JsonReader {
 public:
  explicit JsonReader(std::string_view text) : s_(text) {}

  void SkipBlanks() {
    while (at_ < s_.size() && IsBlank(s_[at_]))
      ++at_;
  }
  bool Take(char c) {
    SkipBlanks();
    if (at_ < s_.size() && s_[at_] == c) {
      ++at_;
      return true;
    }
    return false;
  }
  bool AtEnd() {
    SkipBlanks();
    return at_ == s_.size();
  }
  char Peek() {
    SkipBlanks();
    return at_ < s_.size() ? s_[at_] : '\0';
  }

  std::optional<std::string> String() {
    if (!Take('"'))
      return std::nullopt;
    std::string out;
    while (at_ < s_.size()) {
      const char c = s_[at_++];
      if (c == '"')
        return out;
      if (static_cast<unsigned char>(c) < 0x20)
        return std::nullopt;
      if (c != '\\') {
        out += c;
        continue;
      }
      if (at_ >= s_.size())
        return std::nullopt;
      const char e = s_[at_++];
      switch (e) {
        case '"':
        case '\\':
        case '/':
          out += e;
          break;
        case 'b':
          out += '\b';
          break;
        case 'f':
          out += '\f';
          break;
        case 'n':
          out += '\n';
          break;
        case 'r':
          out += '\r';
          break;
        case 't':
          out += '\t';
          break;
        case 'u': {
          std::optional<uint32_t> code = Hex4();
          if (!code)
            return std::nullopt;
          if (*code >= 0xD800 && *code < 0xDC00) {
            if (at_ + 1 >= s_.size() || s_[at_] != '\\' || s_[at_ + 1] != 'u')
              return std::nullopt;
            at_ += 2;
            const std::optional<uint32_t> low = Hex4();
            if (!low || *low < 0xDC00 || *low >= 0xE000)
              return std::nullopt;
            code = 0x10000 + ((*code - 0xD800) << 10) + (*low - 0xDC00);
          } else if (*code >= 0xDC00 && *code < 0xE000) {
            return std::nullopt;
          }
          AppendUtf8(out, *code);
          break;
        }
        default:
          return std::nullopt;
      }
    }
    return std::nullopt;
  }

  // A number, true, false or null as its text; the number's text as written.
  std::optional<std::string> Literal() {
    SkipBlanks();
    const std::size_t start = at_;
    while (at_ < s_.size() && !IsBlank(s_[at_]) && s_[at_] != ',' && s_[at_] != '}')
      ++at_;
    if (at_ == start)
      return std::nullopt;
    return std::string(s_.substr(start, at_ - start));
  }

 private:
  std::optional<uint32_t> Hex4() {
    if (at_ + 4 > s_.size())
      return std::nullopt;
    uint32_t code = 0;
    for (int i = 0; i < 4; ++i) {
      const int h = HexValue(s_[at_++]);
      if (h < 0)
        return std::nullopt;
      code = code * 16 + static_cast<uint32_t>(h);
    }
    return code;
  }

  std::string_view s_;
  std::size_t at_ = 0;
};

bool JsonNumber(std::string_view text) {
  // -?(0|[1-9][0-9]*)(\.[0-9]+)?([eE][+-]?[0-9]+)?
  std::size_t i = 0;
  auto digits = [&] {
    const std::size_t from = i;
    while (i < text.size() && text[i] >= '0' && text[i] <= '9')
      ++i;
    return i > from;
  };
  if (i < text.size() && text[i] == '-')
    ++i;
  if (i < text.size() && text[i] == '0')
    ++i;
  else if (!digits())
    return false;
  if (i < text.size() && text[i] == '.') {
    ++i;
    if (!digits())
      return false;
  }
  if (i < text.size() && (text[i] == 'e' || text[i] == 'E')) {
    ++i;
    if (i < text.size() && (text[i] == '+' || text[i] == '-'))
      ++i;
    if (!digits())
      return false;
  }
  return i == text.size();
}

std::string Number(unsigned long long v) {
  return std::to_string(v);
}

std::string Millis(double ms) {
  char buffer[48];
  std::snprintf(buffer, sizeof buffer, "%.1f", std::isfinite(ms) ? ms : 0.0);
  return buffer;
}

}  // namespace

std::string EscapeLevel(std::string_view name) {
  if (name.empty())
    return "%";
  std::string out;
  out.reserve(name.size());
  for (std::size_t i = 0; i < name.size(); ++i) {
    const auto c = static_cast<unsigned char>(name[i]);
    if (MustEscape(c, i == 0)) {
      out += '%';
      out += kHex[c >> 4];
      out += kHex[c & 15];
    } else {
      out += static_cast<char>(c);
    }
  }
  return out;
}

std::optional<std::string> UnescapeLevel(std::string_view level) {
  if (level == "%")
    return std::string();
  if (level.empty())
    return std::nullopt;
  std::string out;
  for (std::size_t i = 0; i < level.size(); ++i) {
    const auto c = static_cast<unsigned char>(level[i]);
    if (c != '%') {
      if (MustEscape(c, i == 0))
        return std::nullopt;
      out += static_cast<char>(c);
      continue;
    }
    if (i + 2 >= level.size())
      return std::nullopt;
    const int high = HexValue(level[i + 1]);
    const int low = HexValue(level[i + 2]);
    if (high < 0 || low < 0)
      return std::nullopt;
    out += static_cast<char>(high * 16 + low);
    i += 2;
  }
  return out;
}

std::optional<std::string> PrefixRefusal(std::string_view prefix) {
  if (prefix.empty())
    return std::string(Tr("the topic prefix is empty", "主题前缀为空"));
  if (prefix.find_first_of(std::string_view("+#\0", 3)) != std::string_view::npos)
    return std::string(
        Tr("the topic prefix may not hold '+', '#' or NUL", "主题前缀不能包含 '+'、'#' 或 NUL"));
  if (prefix.front() == '/' || prefix.back() == '/' || prefix.find("//") != std::string_view::npos)
    return std::string(
        Tr("the topic prefix may not have an empty level (a leading, trailing or "
           "doubled '/')",
           "主题前缀不能有空的层级 (开头、结尾或连续的 '/')"));
  return std::nullopt;
}

std::optional<BrokerUrl> ParseBrokerUrl(std::string_view url, std::string* refusal) {
  auto refuse = [&](const char* english, const char* chinese) -> std::optional<BrokerUrl> {
    if (refusal != nullptr)
      *refusal = Tr(english, chinese);
    return std::nullopt;
  };
  BrokerUrl out;
  if (url.rfind("mqtt://", 0) == 0) {
    url.remove_prefix(7);
    out.port = 1883;
  } else if (url.rfind("mqtts://", 0) == 0) {
    url.remove_prefix(8);
    out.tls = true;
    out.port = 8883;
  } else {
    return refuse("the broker URL must start with mqtt:// or mqtts://",
                  "代理地址必须以 mqtt:// 或 mqtts:// 开头");
  }
  if (!url.empty() && url.back() == '/')
    url.remove_suffix(1);
  if (url.find('@') != std::string_view::npos)
    return refuse(
        "the broker URL may not hold a user or password: use --user and TALVEK_MQTT_PASSWORD",
        "代理地址中不能包含用户名或密码：请使用 --user 和 TALVEK_MQTT_PASSWORD");
  if (url.find_first_of("/?# ") != std::string_view::npos)
    return refuse("the broker URL may hold only a host and a port", "代理地址只能包含主机和端口");
  std::string_view port;
  if (!url.empty() && url.front() == '[') {
    const std::size_t close = url.find(']');
    if (close == std::string_view::npos)
      return refuse("the broker URL has an unclosed '['", "代理地址中的 '[' 没有闭合");
    out.host = std::string(url.substr(1, close - 1));
    const std::string_view after = url.substr(close + 1);
    if (!after.empty()) {
      if (after.front() != ':')
        return refuse("the broker URL has text after the host", "代理地址在主机之后有多余内容");
      port = after.substr(1);
      if (port.empty())
        return refuse("the broker URL's port is empty", "代理地址的端口为空");
    }
  } else {
    const std::size_t colon = url.find(':');
    out.host = std::string(url.substr(0, colon));
    if (colon != std::string_view::npos) {
      port = url.substr(colon + 1);
      if (port.empty() || port.find(':') != std::string_view::npos)
        return refuse("the broker URL's port is not a number from 1 to 65535",
                      "代理地址的端口不是 1 到 65535 之间的数");
    }
  }
  if (out.host.empty())
    return refuse("the broker URL names no host", "代理地址中没有主机");
  if (!port.empty()) {
    long value = 0;
    for (const char c : port) {
      if (c < '0' || c > '9' || value > 65535)
        return refuse("the broker URL's port is not a number from 1 to 65535",
                      "代理地址的端口不是 1 到 65535 之间的数");
      value = value * 10 + (c - '0');
    }
    if (value < 1 || value > 65535)
      return refuse("the broker URL's port is not a number from 1 to 65535",
                    "代理地址的端口不是 1 到 65535 之间的数");
    out.port = static_cast<int>(value);
  }
  return out;
}

std::string JsonString(std::string_view text) {
  std::string out = "\"";
  for (const char c : text) {
    const auto u = static_cast<unsigned char>(c);
    if (c == '"' || c == '\\') {
      out += '\\';
      out += c;
    } else if (u < 0x20) {
      char buffer[8];
      std::snprintf(buffer, sizeof buffer, "\\u%04x", u);
      out += buffer;
    } else {
      out += c;
    }
  }
  return out + "\"";
}

std::string JsonValue(const std::string& value, bool text, bool hasValue) {
  if (!hasValue)
    return "null";
  return text || !JsonNumber(value) ? JsonString(value) : value;
}

std::string TagPayload(const Row& row) {
  const std::string time = IsoTime(row.time);
  return "{\"value\":" + JsonValue(row.value, row.text, row.hasValue) +
         ",\"raw\":" + JsonValue(row.raw, row.text, row.hasValue) +
         ",\"quality\":" + std::to_string(row.quality) +
         ",\"time\":" + (time.empty() ? std::string("null") : JsonString(time)) + "}";
}

const char* DeviceStatusText(talvek::DeviceState state) {
  switch (state) {
    case talvek::DeviceState::kGood:
      return "online";
    case talvek::DeviceState::kFailing:
    case talvek::DeviceState::kPortDown:
      return "failing";
    case talvek::DeviceState::kDemoted:
    case talvek::DeviceState::kGivenUp:
      return "demoted";
    case talvek::DeviceState::kWaiting:
      break;
  }
  return "waiting";
}

std::string DeviceStatusPayload(const talvek::DeviceStatistics& s) {
  const char* state = "waiting";
  switch (s.state) {
    case talvek::DeviceState::kGood:
      state = "good";
      break;
    case talvek::DeviceState::kFailing:
      state = "failing";
      break;
    case talvek::DeviceState::kDemoted:
      state = "demoted";
      break;
    case talvek::DeviceState::kGivenUp:
      state = "given up";
      break;
    case talvek::DeviceState::kPortDown:
      state = "port down";
      break;
    case talvek::DeviceState::kWaiting:
      break;
  }
  std::string out =
      std::string("{\"status\":\"") + DeviceStatusText(s.state) + "\",\"state\":\"" + state +
      "\",\"port\":" + std::to_string(s.portNumber) + ",\"requests\":" + Number(s.requests) +
      ",\"answers\":" + Number(s.answers) + ",\"timeouts\":" + Number(s.timeouts) +
      ",\"bad_frames\":" + Number(s.badFrames) + ",\"refusals\":" + Number(s.refusals) +
      ",\"other_failures\":" + Number(s.otherFailures) +
      ",\"consecutive_failures\":" + Number(s.consecutiveFailures) +
      ",\"last_response_ms\":" + Millis(s.lastResponseMs) +
      ",\"mean_response_ms\":" + Millis(s.meanResponseMs) +
      ",\"max_response_ms\":" + Millis(s.maxResponseMs) + ",\"cycle_ms\":" + Millis(s.cycleMs) +
      ",\"last_error\":";
  out += s.lastError.empty() ? std::string("null") : JsonString(s.lastError);
  return out + "}";
}

std::string WriteResultPayload(bool ok, std::string_view error) {
  if (ok)
    return "{\"ok\":true}";
  return "{\"ok\":false,\"error\":" + JsonString(error) + "}";
}

std::optional<std::string> SetPayloadText(std::string_view payload, std::string* refusal) {
  const std::string_view text = Trim(payload);
  auto refuse = [&]() -> std::optional<std::string> {
    if (refusal != nullptr)
      *refusal = Tr("the message is not {\"value\":...} with a number, a string, true or false",
                    "消息不是带数字、字符串、true 或 false 的 {\"value\":...}");
    return std::nullopt;
  };
  if (text.empty() || (text.front() != '{' && text.front() != '"'))
    return std::string(text);
  JsonReader json(text);
  if (text.front() == '"') {
    std::optional<std::string> s = json.String();
    if (!s || !json.AtEnd())
      return refuse();
    return s;
  }
  json.Take('{');
  std::optional<std::string> value;
  if (!json.Take('}')) {
    do {
      const std::optional<std::string> key = json.String();
      if (!key || !json.Take(':'))
        return refuse();
      std::optional<std::string> v;
      bool isString = json.Peek() == '"';
      v = isString ? json.String() : json.Literal();
      if (!v)
        return refuse();
      if (*key == "value") {
        if (!isString) {
          if (*v == "true")
            v = "1";
          else if (*v == "false")
            v = "0";
          else if (!JsonNumber(*v))
            return refuse();
        }
        value = std::move(v);
      }
    } while (json.Take(','));
    if (!json.Take('}'))
      return refuse();
  }
  if (!json.AtEnd() || !value)
    return refuse();
  return value;
}

std::optional<SetTarget> ParseSetTopic(std::string_view rest) {
  const std::size_t first = rest.find('/');
  if (first == std::string_view::npos)
    return std::nullopt;
  const std::size_t second = rest.find('/', first + 1);
  if (second == std::string_view::npos || rest.substr(second) != "/set")
    return std::nullopt;
  std::optional<std::string> device = UnescapeLevel(rest.substr(0, first));
  std::optional<std::string> tag = UnescapeLevel(rest.substr(first + 1, second - first - 1));
  if (!device || !tag)
    return std::nullopt;
  return SetTarget{std::move(*device), std::move(*tag)};
}

}  // namespace talvekctl
