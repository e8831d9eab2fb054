// `run`, `get` and `set`: a project's communication without a window, started as the main
// window's "开始通讯" starts it: the data files loaded, the driver host's drivers created, every
// port opened and its polling thread started.
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <filesystem>
#include <memory>
#include <thread>

#include "common/driver_trace.h"
#include "platform/clock.h"
#include "platform/gbk.h"
#include "platform/hex.h"
#include "tools/talvekctl/mqtt_topics.h"
#include "tools/talvekctl/talvekctl.h"
#include "workbench/project/data_files.h"
#include "workbench/project/new_records.h"
#include "workbench/project/project_state.h"
#include "workbench/runtime/driver_host.h"
#include "workbench/runtime/entered_value.h"
#include "workbench/runtime/tag_fields.h"
#include "workbench/runtime/tag_table.h"

namespace talvekctl {
namespace {

namespace fs = std::filesystem;
using talvek::ProjectState;
using talvek::RuntimeEvent;

std::atomic<bool> g_stop{false};

extern "C" void OnStopSignal(int) {
  g_stop.store(true);
}

}  // namespace

bool LoadProject(const std::string& path, ProjectState& state, bool requireDevices) {
  std::error_code ec;
  fs::path folder = fs::path(path);
  if (!fs::is_directory(folder, ec))
    folder = folder.parent_path();
  if (folder.empty())
    folder = ".";
  folder = fs::absolute(folder, ec);
  if (!fs::is_regular_file(folder / "Device.dat", ec)) {
    Complain(std::string(Tr("not a project (no Device.dat): ", "不是工程 (没有 Device.dat)：")) +
             folder.string());
    return false;
  }
  struct File {
    std::string_view name;
    std::size_t record;
  };
  for (const File& f : {File{talvek::kDeviceFileName, sizeof(DeviceRecord)},
                        File{talvek::kTagFileName, sizeof(TagRecord)},
                        File{talvek::kPortFileName, sizeof(CommSettings)}}) {
    const fs::path file = folder / f.name;
    if (fs::exists(file, ec) && fs::file_size(file, ec) % f.record != 0) {
      Complain(std::string(Tr("not a whole number of records: ", "文件不是完整的记录：")) +
               file.string());
      return false;
    }
  }
  std::string gbk;
  if (!platform::Utf8ToGbk(folder.string(), gbk) || gbk.size() >= talvek::kMaxProjectFolder) {
    Complain(std::string(Tr("the folder's name cannot be used: ", "工程文件夹路径无法使用：")) +
             folder.string());
    return false;
  }
  platform::CopyToArray(state.folder, gbk);
  try {
    static_cast<void>(talvek::LoadDevices(state));
    static_cast<void>(talvek::LoadTags(state));
    if (fs::exists(folder / talvek::kPortFileName, ec)) {
      static_cast<void>(talvek::LoadPorts(state));
    } else {
      state.ports = {talvek::DefaultPortEntry(1), talvek::DefaultPortEntry(2)};
    }
  } catch (const std::bad_alloc&) {
    Complain(Tr("out of memory loading the project", "内存不足，无法载入工程数据"));
    return false;
  }
  if (requireDevices && state.devices.GetSize() == 0) {
    Complain(Tr("the project has no devices", "工程中没有设备"));
    return false;
  }
  return true;
}

namespace {

std::string Utf8(std::string_view gbk) {
  return platform::GbkToUtf8(gbk);
}

Row TagRow(const TagRecord& tag) {
  Row row;
  row.tag = Utf8(platform::ArrayText(tag.name));
  row.device = Utf8(platform::ArrayText(tag.deviceName));
  row.reg = Utf8(platform::ArrayText(tag.registerText));
  FillFromTag(row, tag);
  return row;
}

// Port and device events go to standard error, one line each.
void PrintEvents(const std::vector<RuntimeEvent>& events) {
  for (const RuntimeEvent& e : events) {
    const char* what = nullptr;
    switch (e.kind) {
      case RuntimeEvent::Kind::kWriteDone:
        what = Tr("write done", "写入完成");
        break;
      case RuntimeEvent::Kind::kWriteFailed:
        what = Tr("write failed", "写入失败");
        break;
      case RuntimeEvent::Kind::kPortDown:
        what = Tr("port down", "端口打不开");
        break;
      case RuntimeEvent::Kind::kPortUp:
        what = Tr("port up", "端口恢复");
        break;
      case RuntimeEvent::Kind::kLineFailed:
        what = Tr("no answer on the line", "线路没有应答");
        break;
      case RuntimeEvent::Kind::kWriteNotQueued:
        what = Tr("write not taken", "写入没有被接受");
        break;
      case RuntimeEvent::Kind::kDeviceDemoted:
        what = Tr("device set aside", "设备暂停轮询");
        break;
      case RuntimeEvent::Kind::kDevicePromoted:
        what = Tr("device answers again", "设备恢复");
        break;
      case RuntimeEvent::Kind::kDeviceGivenUp:
        what = Tr("device given up", "设备放弃轮询");
        break;
    }
    std::string line =
        std::string(what) + ": Com" + std::to_string(e.portNumber) + " " + Utf8(e.deviceName);
    if (!e.tagName.empty())
      line += " " + Utf8(e.tagName);
    if (!e.text.empty())
      line += " (" + Utf8(e.text) + ")";
    Complain(line);
  }
}

// Each frame and event of the trace, one line: time, port, device, station, direction, bytes and
// the driver's reading.
void PrintTrace(talvek::DriverHost& host) {
  for (const talvek::TraceEntry& e : host.TakeTrace()) {
    FILETIME ft =
        platform::FileTimeFromTicks(static_cast<uint64_t>(e.timeUs) * 10 + 116444736000000000ull);
    const char* kind = e.kind == kTraceSent ? "->" : e.kind == kTraceReceived ? "<-" : "!!";
    std::string bytes;
    for (const uint8_t b : e.bytes) {
      if (!bytes.empty())
        bytes += ' ';
      bytes += platform::kHexDigits[b >> 4];
      bytes += platform::kHexDigits[b & 15];
    }
    std::fprintf(stderr, "%s Com%d %s #%d %s %s%s%s\n", IsoTime(ft).c_str(),
                 static_cast<int>(e.portNumber), Utf8(e.deviceName).c_str(),
                 static_cast<int>(e.station), kind, bytes.c_str(), bytes.empty() ? "" : "  ",
                 Utf8(e.text).c_str());
  }
}

void PrintStatistics(const talvek::DriverHost& host) {
  for (const talvek::DeviceStatistics& s : host.Statistics()) {
    std::fprintf(
        stderr,
        "%s Com%d: %s %llu, %s %llu, %s %llu, %s %llu, %s %llu, %s %llu, %s %.1f/%.1f/%.1f "
        "ms, %s %.1f ms%s%s\n",
        Utf8(s.deviceName).c_str(), static_cast<int>(s.portNumber), Tr("requests", "请求"),
        static_cast<unsigned long long>(s.requests), Tr("answers", "应答"),
        static_cast<unsigned long long>(s.answers), Tr("time-outs", "超时"),
        static_cast<unsigned long long>(s.timeouts), Tr("bad frames", "错误帧"),
        static_cast<unsigned long long>(s.badFrames), Tr("refusals", "拒绝"),
        static_cast<unsigned long long>(s.refusals), Tr("other", "其他"),
        static_cast<unsigned long long>(s.otherFailures),
        Tr("response last/mean/max", "响应 最近/平均/最大"), s.lastResponseMs, s.meanResponseMs,
        s.maxResponseMs, Tr("cycle", "周期"), s.cycleMs,
        s.lastError.empty() ? "" : Tr(", last error: ", "，最近错误："), Utf8(s.lastError).c_str());
  }
}

// The drivers serving the device `gbkName`.
std::vector<std::size_t> DriversOf(talvek::DriverHost& host, std::string_view gbkName) {
  std::vector<std::size_t> out;
  for (std::size_t i = 0; i < host.DriverCount(); ++i) {
    for (const DeviceRecord& d : host.Driver(i).Devices()) {
      if (platform::ArrayText(d.logicalName) == gbkName) {
        out.push_back(i);
        break;
      }
    }
  }
  return out;
}

// Finds a tag by its UTF-8 name; a complaint when there is none.
bool FindTag(talvek::RuntimeTagTable& table, const std::string& name, uint16_t& index) {
  std::string gbk;
  if (platform::Utf8ToGbk(name, gbk) && table.FindTagIndex(gbk, index))
    return true;
  Complain(std::string(Tr("no such tag: ", "没有这个变量：")) + name);
  return false;
}

// One cycle of each driver in `drivers`, on this thread, the ports opened first.
void CycleOnce(talvek::DriverHost& host, const std::vector<std::size_t>& drivers) {
  for (const std::size_t i : drivers) {
    talvek::CDriver& d = host.Driver(i);
    if (d.OpenForPolling() != 0)
      d.RunCycle();
  }
}

}  // namespace

std::vector<bool> PolledTags(const ProjectState& state) {
  std::vector<bool> polled(state.tags.size(), false);
  for (std::size_t i = 0; i < state.tags.size(); ++i) {
    const TagRecord& tag = state.tags[i];
    if ((tag.flags & kTagExternal) == 0)
      continue;
    for (std::size_t d = 0; d < state.devices.GetSize() && !polled[i]; ++d) {
      polled[i] =
          std::strncmp(state.devices[d].logicalName, tag.deviceName, sizeof tag.deviceName) == 0;
    }
  }
  return polled;
}

std::size_t CollectChanges(const ProjectState& state, const std::vector<bool>& polled,
                           std::vector<Shown>& shown, bool all,
                           const std::function<void(std::size_t, const Row&, bool)>& visit) {
  std::size_t changed = 0;
  for (std::size_t i = 0; i < state.tags.size(); ++i) {
    if (!polled[i])
      continue;
    const TagRecord& tag = state.tags[i];
    const Shown now{talvek::LoadValueWord(tag), talvek::LoadRawWord(tag), talvek::LoadQuality(tag)};
    const bool same =
        now.value == shown[i].value && now.raw == shown[i].raw && now.quality == shown[i].quality;
    if (same && !all)
      continue;
    shown[i] = now;
    visit(i, TagRow(tag), !same);
    changed += same ? 0 : 1;
  }
  return changed;
}

std::size_t PrintChanges(const ProjectState& state, const std::vector<bool>& polled,
                         std::vector<Shown>& shown, Printer& printer, bool all) {
  std::size_t printed = 0;
  CollectChanges(state, polled, shown, all, [&](std::size_t, const Row& row, bool) {
    printer.Print(row);
    ++printed;
  });
  return printed;
}

int RunCommand(const ProjectOptions& options) {
  ProjectState& state = talvek::Project();
  if (!LoadProject(options.path, state, /*requireDevices=*/true))
    return kExitUsage;
  g_stop = false;
  struct sigaction action {};
  action.sa_handler = OnStopSignal;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);

  Printer printer(options.format, stdout);
  std::vector<Shown> shown(state.tags.size());
  const std::vector<bool> polled = PolledTags(state);
  std::unique_ptr<MqttBridge> bridge;
  if (options.mqtt) {
    MqttOptions mqtt = *options.mqtt;
    if (mqtt.prefix.empty()) {
      const fs::path folder(Utf8(platform::ArrayText(state.folder)));
      mqtt.prefix = "talvek/" + EscapeLevel(folder.filename().string());
    }
    bridge = std::make_unique<MqttBridge>(std::move(mqtt), state, polled);
    std::string error;
    if (!bridge->Start(&error)) {
      Complain(error);
      return kExitUsage;
    }
  }
  auto report = [&](std::size_t index, const Row& row, bool changed) {
    if (!options.quiet)
      printer.Print(row);
    if (bridge && changed)
      bridge->OnChange(index, row);
  };
  auto events = [&](talvek::DriverHost& host) {
    const std::vector<RuntimeEvent> taken = host.TakeEvents();
    if (!options.quiet)
      PrintEvents(taken);
    if (bridge)
      bridge->OnEvents(taken);
  };
  int exitCode = kExitOk;
  {
    talvek::DriverHost host;
    host.SetCyclePeriod(static_cast<uint32_t>(options.periodMs));
    host.SetTraceEnabled(options.trace);
    host.CreateDrivers("");
    host.StartAll();
    const auto start = std::chrono::steady_clock::now();
    auto nextAll = start;
    for (;;) {
      const auto now = std::chrono::steady_clock::now();
      const bool last =
          g_stop.load() || (options.durationSec > 0 &&
                            now - start >= std::chrono::duration<double>(options.durationSec));
      events(host);
      if (options.trace)
        PrintTrace(host);
      const bool allDue = options.all && now >= nextAll;
      if (allDue)
        nextAll += std::chrono::milliseconds(options.periodMs);
      CollectChanges(state, polled, shown, allDue, report);
      printer.Flush();
      if (bridge)
        bridge->Tick(host,
                     std::chrono::duration_cast<std::chrono::milliseconds>(now - start).count());
      if (last)
        break;
      std::this_thread::sleep_for(std::chrono::milliseconds(std::min(options.periodMs, 50)));
    }
    // Signals from now on end the program the usual way only once the drivers have stopped.
    host.StopAll();
    events(host);
    if (options.trace)
      PrintTrace(host);
    if (bridge) {
      // The last values and statuses, then "offline" and a clean disconnect.
      CollectChanges(state, polled, shown, false, report);
      printer.Flush();
      bridge->PublishStatuses(host);
      bridge->Stop();
    }
    if (options.stats)
      PrintStatistics(host);
    for (std::size_t i = 0; i < state.tags.size(); ++i) {
      if (polled[i] && talvek::LoadQuality(state.tags[i]) != talvek::kQualityGood)
        exitCode = kExitFailed;
    }
    host.DestroyDrivers();
  }
  if (options.save && !talvek::SaveTags(state, talvek::SaveKind::kRoutine)) {
    Complain(Tr("Tag.dat could not be saved", "Tag.dat 无法保存"));
    exitCode = kExitFailed;
  }
  return exitCode;
}

int GetCommand(const ProjectOptions& options) {
  ProjectState& state = talvek::Project();
  if (!LoadProject(options.path, state, /*requireDevices=*/true))
    return kExitUsage;
  talvek::RuntimeTagTable& table = talvek::Tags();
  std::vector<uint16_t> indexes;
  for (const std::string& name : options.tags) {
    uint16_t index = 0;
    if (!FindTag(table, name, index))
      return kExitUsage;
    indexes.push_back(index);
  }
  talvek::DriverHost host;
  host.CreateDrivers("");
  std::vector<std::size_t> drivers;
  for (const uint16_t index : indexes) {
    for (const std::size_t d : DriversOf(host, platform::ArrayText(state.tags[index].deviceName))) {
      if (std::find(drivers.begin(), drivers.end(), d) == drivers.end())
        drivers.push_back(d);
    }
  }
  CycleOnce(host, drivers);
  Printer printer(options.format, stdout);
  int exitCode = kExitOk;
  std::string why;
  for (const uint16_t index : indexes) {
    Row row = TagRow(state.tags[index]);
    if (row.quality != talvek::kQualityGood) {
      exitCode = kExitFailed;
      const std::vector<std::size_t> own =
          DriversOf(host, platform::ArrayText(state.tags[index].deviceName));
      if (own.empty()) {
        row.error = Tr("no device serves the tag", "没有设备为该变量通讯");
      } else {
        const talvek::CDriver& d = host.Driver(own.front());
        std::string text = d.IsOpen() ? std::string() : d.OpenError();
        for (const talvek::DeviceStatistics& s : d.Statistics()) {
          if (text.empty() &&
              s.deviceName == std::string(platform::ArrayText(state.tags[index].deviceName)))
            text = s.lastError;
        }
        row.error = text.empty() ? std::string(Tr("no answer", "没有应答")) : Utf8(text);
      }
    }
    printer.Print(row);
  }
  printer.Flush();
  PrintEvents(host.TakeEvents());
  host.StopAll();
  return exitCode;
}

int SetCommand(const ProjectOptions& options) {
  ProjectState& state = talvek::Project();
  if (!LoadProject(options.path, state, /*requireDevices=*/true))
    return kExitUsage;
  talvek::RuntimeTagTable& table = talvek::Tags();
  struct Assignment {
    uint16_t index;
    std::string name;
    talvek::EnteredValue value;
  };
  std::vector<Assignment> assignments;
  for (const std::string& text : options.tags) {
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos || eq == 0) {
      Complain(std::string(Tr("set needs TAG=VALUE, not ", "set 需要 变量=值，而不是 ")) + text);
      return kExitUsage;
    }
    Assignment a;
    if (!FindTag(table, text.substr(0, eq), a.index))
      return kExitUsage;
    const TagRecord& tag = state.tags[a.index];
    std::string refusal;
    const std::optional<talvek::EnteredValue> value =
        talvek::CheckEnteredValue(tag, std::string_view(text).substr(eq + 1), &refusal);
    if (!value) {
      Complain(refusal.empty()
                   ? std::string(Tr("the tag's type cannot be written", "该变量的类型不能写入"))
                   : refusal);
      return kExitUsage;
    }
    a.name = std::string(platform::ArrayText(tag.name));
    a.value = *value;
    assignments.push_back(std::move(a));
  }
  talvek::DriverHost host;
  host.CreateDrivers("");
  std::vector<std::size_t> drivers;
  {
    // Written as the value-entry dialog writes: interactive, so a write no driver takes is
    // reported at once.
    talvek::InteractiveWrites interactive(host);
    for (const Assignment& a : assignments) {
      talvek::WriteEnteredValue(table, a.name, a.value);
      for (const std::size_t d :
           DriversOf(host, platform::ArrayText(state.tags[a.index].deviceName))) {
        if (std::find(drivers.begin(), drivers.end(), d) == drivers.end())
          drivers.push_back(d);
      }
    }
  }
  CycleOnce(host, drivers);
  int exitCode = kExitOk;
  std::size_t outcomes = 0;
  for (const RuntimeEvent& e : host.TakeEvents()) {
    const bool done = e.kind == RuntimeEvent::Kind::kWriteDone;
    if (!done && e.kind != RuntimeEvent::Kind::kWriteFailed &&
        e.kind != RuntimeEvent::Kind::kWriteNotQueued) {
      continue;
    }
    ++outcomes;
    if (done) {
      std::printf("%s: %s\n", Utf8(e.tagName).c_str(), Tr("written", "已写入"));
    } else {
      exitCode = kExitFailed;
      std::printf("%s: %s%s%s\n", Utf8(e.tagName).c_str(), Tr("write failed", "写入失败"),
                  e.text.empty() ? "" : ": ", Utf8(e.text).c_str());
    }
  }
  if (outcomes < assignments.size()) {
    // An internal tag has no driver: its value went into the table only.
    exitCode = exitCode == kExitOk && drivers.empty() ? kExitOk : exitCode;
  }
  std::fflush(stdout);
  host.StopAll();
  return exitCode;
}

}  // namespace talvekctl
