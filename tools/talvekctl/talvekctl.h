// talvekctl: the drivers and a project's runtime from a terminal, without a window.
//
//   talvekctl read --driver ppi --line /dev/pts/5 --station 2 VW100:int16 VD10:float
//   talvekctl write --driver modbus-tcp --line 127.0.0.1:1502 4X1:uint16=7
//   talvekctl run PROJECT [--json|--csv] [--all] [--stats] [--trace] [--duration S] [--save]
//   talvekctl get PROJECT TAG...   /   talvekctl set PROJECT TAG=VALUE
//   talvekctl tags export PROJECT FILE.csv   /   talvekctl tags import PROJECT FILE.csv [--update]
//
// Every exchange goes through the runtime's DriverHost and the driver modules created through
// COM, as the workbench's polling does. Exit codes: 0 success, 1 a device or tag failed, 2 bad
// usage or input.
#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "common/records.h"
#include "tools/talvekctl/ctl_mqtt.h"
#include "workbench/project/project_state.h"
#include "workbench/project/tag_csv.h"

namespace talvekctl {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailed = 1;
inline constexpr int kExitUsage = 2;

// True when the messages are Chinese (LC_ALL, else LC_MESSAGES, else LANG starts with "zh_CN").
bool Chinese();
// The message in the user's language (both UTF-8).
inline const char* Tr(const char* english, const char* chinese) {
  return Chinese() ? chinese : english;
}
// Writes "talvekctl: TEXT\n" to standard error.
void Complain(const std::string& text);

enum class Format { kTable, kJson, kCsv };

// One line of output: a register of an ad hoc exchange or a tag of a project.
struct Row {
  std::string tag;       // UTF-8; empty for ad hoc rows (no "tag" key then)
  std::string device;    // UTF-8; project rows only
  std::string reg;       // the register text
  std::string value;     // the value as text (numbers unquoted in JSON unless `text`)
  std::string raw;       // the raw value as text
  bool text = false;     // value and raw are strings, not numbers
  bool hasValue = true;  // false: no value read yet (JSON null)
  uint16_t quality = 0;
  std::optional<std::string> error;  // UTF-8
  FILETIME time{};                   // zero: never updated
};

// Prints rows as a table (header once), JSON lines or CSV lines (header once).
class Printer {
 public:
  Printer(Format format, std::FILE* out) : format_(format), out_(out) {}
  void Print(const Row& row);
  void Flush() { std::fflush(out_); }

 private:
  Format format_;
  std::FILE* out_;
  bool headerDone_ = false;
};

// "2026-12-08T03:45:12.123Z"; empty for a zero time.
std::string IsoTime(const FILETIME& time);
// The value of a tag's engineering word and of its raw word, as text; `text` set for strings.
std::string ValueText(int32_t varType, int32_t word);
std::string RawText(int32_t rawType, int32_t word);
// Fills a row's value, raw, quality, time from a tag record (read without the table's mutex).
void FillFromTag(Row& row, const TagRecord& tag);

// What `read` and `write` were given.
struct AdhocOptions {
  std::string driver;  // ppi, modbus-rtu, modbus-ascii, modbus-tcp
  std::string line;    // a device path, a port name ("Com3") or host:port
  int baud = 9600;
  std::string parity;  // none, odd, even; empty: the driver's usual (PPI even, Modbus none)
  int timeoutMs = 1000;
  std::string station;  // empty: the driver's usual (PPI 2, Modbus 1)
  std::string family;   // s7-tcp: 200, 300 (the default) or 1200
  int rack = -1;        // s7-tcp: -1 for rack 0
  int slot = -1;        // s7-tcp: -1 for slot 2
  int count = 1;
  int intervalMs = 1000;
  Format format = Format::kTable;
  std::vector<std::string> registers;  // REGISTER:TYPE, or REGISTER:TYPE=VALUE for write
  bool write = false;
};

// What `run`, `get` and `set` were given.
struct ProjectOptions {
  std::string path;  // the project folder or its project file
  Format format = Format::kTable;
  bool all = false;
  bool stats = false;
  bool trace = false;
  bool save = false;
  double durationSec = 0;         // 0: until interrupted
  int periodMs = 1000;            // the polling cycle's idle wait
  int timeoutMs = 5000;           // get/set: how long to wait for the first value or the write
  std::vector<std::string> tags;  // get: names; set: NAME=VALUE
  bool quiet = false;             // run: print no rows and no events
  // run: publish to an MQTT broker too (an empty prefix: "talvek/<project folder's name>").
  std::optional<MqttOptions> mqtt;
};

// What `tags export` and `tags import` were given.
struct TagsOptions {
  std::string path;  // the project folder or its project file
  std::string file;  // the CSV file; "-" for standard output or input
  // import: what to do with rows naming existing tags; unset refuses such a file.
  std::optional<talvek::ExistingTags> existing;
};

// Loads the project named by `path` (its folder or a file inside it) into `state` without
// writing anything: a data file the workbench would refuse (and copy aside) is refused here
// before it is read, and a missing port file gives the default ports instead of being created.
// With `requireDevices`, a project without devices is refused too. False after telling why.
bool LoadProject(const std::string& path, talvek::ProjectState& state, bool requireDevices);

// What a printed tag showed last, so that only changes are printed; a tag not read yet (quality
// "waiting for data") has nothing to show.
struct Shown {
  int32_t value = 0;
  int32_t raw = 0;
  uint16_t quality = 0x20;
};
// Calls `visit` for each polled tag whose value, raw value or quality differs from what `shown`
// holds (changed true), and when `all` for every other polled tag too (changed false); remembers
// what it visited. The number of changed tags.
std::size_t CollectChanges(const talvek::ProjectState& state, const std::vector<bool>& polled,
                           std::vector<Shown>& shown, bool all,
                           const std::function<void(std::size_t, const Row&, bool)>& visit);
// For each tag of `state`: whether it is polled (external, of a device of the project).
std::vector<bool> PolledTags(const talvek::ProjectState& state);
// Prints each polled tag whose value, raw value or quality differs from what `shown` holds (every
// polled tag when `all`) and remembers what it printed. The number of rows printed.
std::size_t PrintChanges(const talvek::ProjectState& state, const std::vector<bool>& polled,
                         std::vector<Shown>& shown, Printer& printer, bool all);

int AdhocCommand(const AdhocOptions& options);
int RunCommand(const ProjectOptions& options);
int GetCommand(const ProjectOptions& options);
int SetCommand(const ProjectOptions& options);
int TagsExportCommand(const TagsOptions& options);
int TagsImportCommand(const TagsOptions& options);

}  // namespace talvekctl
