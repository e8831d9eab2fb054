#include "tools/ppisim/sim_control.h"

#include <charconv>
#include <cstdio>
#include <fstream>

namespace ppisim {
namespace {

std::string_view Trim(std::string_view text) {
  const char* spaces = " \t\r\n";
  const size_t first = text.find_first_not_of(spaces);
  if (first == std::string_view::npos)
    return {};
  return text.substr(first, text.find_last_not_of(spaces) - first + 1);
}

// Splits off the first whitespace-separated word; `rest` keeps what follows, trimmed.
std::string_view NextWord(std::string_view* rest) {
  std::string_view text = Trim(*rest);
  const size_t end = text.find_first_of(" \t");
  std::string_view word = text.substr(0, end);
  *rest = end == std::string_view::npos ? std::string_view() : Trim(text.substr(end));
  return word;
}

bool ParseCount(std::string_view word, int64_t low, int64_t high, int64_t* value) {
  return ParseInteger(word, value) && *value >= low && *value <= high;
}

bool ParseHexBytes(std::string_view rest, std::vector<uint8_t>* bytes) {
  bytes->clear();
  while (!rest.empty()) {
    std::string_view word = NextWord(&rest);
    if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) {
      word.remove_prefix(2);
    }
    unsigned value = 0;
    auto [end, ec] = std::from_chars(word.data(), word.data() + word.size(), value, 16);
    if (word.empty() || ec != std::errc() || end != word.data() + word.size() || value > 255) {
      return false;
    }
    bytes->push_back(static_cast<uint8_t>(value));
  }
  return true;
}

// Reads an optional "@STATION" word; kDefaultStation when absent.
bool ParseStation(std::string_view* rest, int* station, std::string* error) {
  *station = kDefaultStation;
  std::string_view text = Trim(*rest);
  if (text.empty() || text.front() != '@')
    return true;
  std::string_view word = NextWord(rest);
  int64_t number = 0;
  if (!ParseCount(word.substr(1), 1, 126, &number)) {
    *error = "station must be @1..@126";
    return false;
  }
  *station = static_cast<int>(number);
  return true;
}

std::string CountersText(const Counters& c) {
  char text[512];
  std::snprintf(text, sizeof text,
                "frames=%llu garbage=%llu ignored=%llu jobs=%llu reads=%llu writes=%llu "
                "userdata=%llu status=%llu datarequests=%llu replies=%llu faults=%llu",
                (unsigned long long)c.frames, (unsigned long long)c.garbageBytes,
                (unsigned long long)c.ignored, (unsigned long long)c.jobs,
                (unsigned long long)c.reads, (unsigned long long)c.writes,
                (unsigned long long)c.userDataWrites, (unsigned long long)c.statusRequests,
                (unsigned long long)c.dataRequests, (unsigned long long)c.replies,
                (unsigned long long)c.faults);
  std::string out = text;
  // Per area, in the order of AreaIndex.
  static constexpr const char* kNames[kAreaCount] = {"V", "I", "Q", "M", "SM", "S", "AI", "AQ"};
  for (const char* what : {"reads", "writes"}) {
    const auto& counts = what[0] == 'r' ? c.readsByArea : c.writesByArea;
    for (size_t k = 0; k < kAreaCount; ++k) {
      std::snprintf(text, sizeof text, " %s.%s=%llu", what, kNames[k],
                    (unsigned long long)counts[k]);
      out += text;
    }
  }
  return out;
}

}  // namespace

bool ParseFault(std::string_view text, Fault* fault, std::string* error) {
  std::string_view rest = text;
  const std::string_view kindWord = NextWord(&rest);
  Fault parsed;
  static constexpr FaultKind kKinds[] = {
      FaultKind::kSilence,        FaultKind::kNoReply,        FaultKind::kWrongAck,
      FaultKind::kBadFcs,         FaultKind::kItemError,      FaultKind::kSplitReply,
      FaultKind::kTruncatedReply, FaultKind::kNoise,          FaultKind::kWrongSource,
      FaultKind::kOtherMaster,    FaultKind::kWrongReference, FaultKind::kBusy};
  if (kindWord == "off" || kindWord == "none") {
    if (!rest.empty()) {
      *error = "'off' takes no arguments";
      return false;
    }
    *fault = Fault();
    return true;
  }
  bool known = false;
  for (FaultKind kind : kKinds) {
    if (kindWord == FaultKindName(kind)) {
      parsed.kind = kind;
      known = true;
    }
  }
  if (!known) {
    *error = "unknown fault '" + std::string(kindWord) +
             "' (silence noreply wrongack badfcs itemerror split truncate noise wrongsource "
             "othermaster wrongref busy off)";
    return false;
  }
  if (!rest.empty()) {
    const std::string_view countWord = NextWord(&rest);
    int64_t count = 0;
    if (countWord == "always") {
      parsed.count = kAlways;
    } else if (ParseCount(countWord, 1, 1000000000, &count)) {
      parsed.count = static_cast<int>(count);
    } else {
      *error = "count must be a positive number or 'always'";
      return false;
    }
  }
  int64_t number = 0;
  switch (parsed.kind) {
    case FaultKind::kWrongAck:
    case FaultKind::kNoise:
      if (!ParseHexBytes(rest, &parsed.bytes)) {
        *error = "bytes must be hexadecimal 00..FF";
        return false;
      }
      rest = {};
      break;
    case FaultKind::kItemError:
      if (!rest.empty()) {
        if (!ParseCount(NextWord(&rest), 0, 255, &number)) {
          *error = "return code must be 0..255";
          return false;
        }
        parsed.returnCode = static_cast<uint8_t>(number);
      }
      break;
    case FaultKind::kSplitReply:
      if (!rest.empty()) {
        if (!ParseCount(NextWord(&rest), 0, 1024, &number)) {
          *error = "split position must be 0..1024";
          return false;
        }
        parsed.splitAfter = static_cast<size_t>(number);
      }
      if (!rest.empty()) {
        if (!ParseCount(NextWord(&rest), 0, 600000, &number)) {
          *error = "pause must be 0..600000 ms";
          return false;
        }
        parsed.pauseMs = static_cast<int>(number);
      }
      break;
    case FaultKind::kBusy:
      if (!rest.empty()) {
        if (!ParseCount(NextWord(&rest), 1, 1000000, &number)) {
          *error = "polls answered busy must be 1..1000000";
          return false;
        }
        parsed.polls = static_cast<int>(number);
      }
      break;
    case FaultKind::kTruncatedReply:
      if (!rest.empty()) {
        if (!ParseCount(NextWord(&rest), 1, 1024, &number)) {
          *error = "bytes to drop must be 1..1024";
          return false;
        }
        parsed.drop = static_cast<size_t>(number);
      }
      break;
    default:
      break;
  }
  if (!rest.empty()) {
    *error = "unexpected '" + std::string(rest) + "'";
    return false;
  }
  *fault = parsed;
  return true;
}

bool ApplyMemoryLine(PpiSimulator& sim, std::string_view line, std::string* error) {
  std::string_view rest = Trim(line);
  if (rest.empty() || rest.front() == '#')
    return true;
  int station = kDefaultStation;
  if (!ParseStation(&rest, &station, error))
    return false;
  const std::string_view address = NextWord(&rest);
  const std::string_view typeWord = NextWord(&rest);
  Location location;
  ValueType type;
  if (!ParseLocation(address, &location)) {
    *error = "bad address '" + std::string(address) + "'";
    return false;
  }
  if (!ParseValueType(typeWord, &type)) {
    *error = "bad type '" + std::string(typeWord) + "' (x b w i d f s)";
    return false;
  }
  if (rest.empty() && type != ValueType::kString) {
    *error = "missing value";
    return false;
  }
  return sim.SetValue(location, type, rest, error, station);
}

bool LoadMemoryFile(PpiSimulator& sim, const std::string& path, std::string* error) {
  std::ifstream file(path);
  if (!file) {
    *error = path + ": cannot be read";
    return false;
  }
  std::string line;
  int number = 0;
  while (std::getline(file, line)) {
    ++number;
    std::string why;
    if (!ApplyMemoryLine(sim, line, &why)) {
      *error = path + ":" + std::to_string(number) + ": " + why;
      return false;
    }
  }
  return true;
}

std::string RunCommand(PpiSimulator& sim, std::string_view line, bool* quit) {
  std::string_view rest = Trim(line);
  if (rest.empty() || rest.front() == '#')
    return {};
  const std::string_view verb = NextWord(&rest);
  std::string error;
  if (verb == "set") {
    if (rest.empty() || rest.front() == '#')
      return "ERR usage: set [@N] ADDR TYPE VALUE";
    return ApplyMemoryLine(sim, rest, &error) ? "OK" : "ERR " + error;
  }
  if (verb == "get") {
    int station = kDefaultStation;
    if (!ParseStation(&rest, &station, &error))
      return "ERR " + error;
    const std::string_view address = NextWord(&rest);
    const std::string_view typeWord = NextWord(&rest);
    Location location;
    ValueType type;
    int64_t length = 0;
    if (!ParseLocation(address, &location))
      return "ERR bad address";
    if (!ParseValueType(typeWord, &type))
      return "ERR bad type (x b w i d f s)";
    if (!rest.empty() && (type != ValueType::kString || !ParseCount(rest, 1, 65536, &length))) {
      return "ERR only a string takes a length (1..65536)";
    }
    std::string value;
    if (!sim.GetValue(location, type, static_cast<size_t>(length), &value, &error, station)) {
      return "ERR " + error;
    }
    return "OK " + value;
  }
  if (verb == "fault") {
    Fault fault;
    if (!ParseFault(rest, &fault, &error))
      return "ERR " + error;
    sim.SetFault(fault);
    return "OK";
  }
  if (verb == "tcpfault") {
    TcpFault fault;
    if (!ParseTcpFault(rest, &fault, &error))
      return "ERR " + error;
    if (sim.TcpPort() == 0)
      return "ERR no TCP side (start with --tcp PORT)";
    sim.SetTcpFault(fault);
    return "OK";
  }
  if (verb == "tcpcounters" && rest.empty()) {
    const TcpCounters c = sim.GetTcpCounters();
    char text[256];
    std::snprintf(text, sizeof text,
                  "OK port=%u connections=%llu refused=%llu setups=%llu jobs=%llu items=%llu "
                  "faults=%llu",
                  unsigned{sim.TcpPort()}, (unsigned long long)c.connections,
                  (unsigned long long)c.refused, (unsigned long long)c.setups,
                  (unsigned long long)c.jobs, (unsigned long long)c.items,
                  (unsigned long long)c.faults);
    return text;
  }
  if (verb == "counters" && rest.empty())
    return "OK " + CountersText(sim.GetCounters());
  if (verb == "reset" && rest.empty()) {
    sim.ResetCounters();
    return "OK";
  }
  if (verb == "path" && rest.empty())
    return "OK " + sim.SlavePath();
  if (verb == "quit" && rest.empty()) {
    *quit = true;
    return "OK";
  }
  if (verb == "help") {
    return "OK set [@N] ADDR TYPE VALUE | get [@N] ADDR TYPE [LEN] | fault KIND [COUNT|always] "
           "[ARGS] | fault off | tcpfault KIND [COUNT|always] [ARG] | tcpfault off | counters | "
           "tcpcounters | reset | path | quit";
  }
  return "ERR unknown command '" + std::string(verb) + "' (try help)";
}

}  // namespace ppisim
