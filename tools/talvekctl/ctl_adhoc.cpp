// `read` and `write`: one device given on the command line, polled through the runtime's driver
// host over a project of its own that lives only in memory.
#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>

#include "common/driver_contract.h"
#include "platform/atoms.h"
#include "platform/com.h"
#include "platform/com_ptr.h"
#include "platform/gbk.h"
#include "tools/talvekctl/talvekctl.h"
#include "workbench/project/new_records.h"
#include "workbench/project/project_state.h"
#include "workbench/runtime/driver_host.h"
#include "workbench/runtime/entered_value.h"
#include "workbench/runtime/tag_table.h"

namespace talvekctl {
namespace {

using talvek::ProjectState;

struct DriverKind {
  const char* option;
  const char* progId;
  const char* model;
  const char* commKind;
  uint16_t linkKind;
  const char* parity;   // usual parity of the line
  const char* station;  // usual station
};

// The drivers as the device wizard offers them.
constexpr DriverKind kDrivers[] = {
    {"ppi", "Ostrel.S7Proto", "S7-200(PPI)", "PPI", kLinkSerial, "even", "2"},
    {"modbus-rtu", "ZireviVer.ZireviVerPro", "ZireviVER", "串口", kLinkSerial, "none", "1"},
    {"modbus-ascii", "ZireviVer.ZireviVerPro", "ModbusASCII", "Ascii", kLinkSerial, "none", "1"},
    {"modbus-tcp", "ZireviVer.ZireviVerPro", "ModbusTCP", "TCP/IP", kLinkTcpIp, "none", "1"},
    // S7 over ISO-on-TCP: one entry per PLC family, whose rules pick the connection's TSAPs.
    {"s7-tcp", "Kestavo.S7Tcp", "S7-300/400(TCP)", "TCP/IP", kLinkTcpIp, "none", ""},
    {"s7-tcp", "Kestavo.S7Tcp", "S7-200(TCP)", "TCP/IP", kLinkTcpIp, "none", ""},
    {"s7-tcp", "Kestavo.S7Tcp", "S7-1200/1500(TCP)", "TCP/IP", kLinkTcpIp, "none", ""},
};

// The module that registers a driver class, for the message when it is not registered.
const char* ModuleOf(const DriverKind& kind) {
  if (std::strcmp(kind.option, "ppi") == 0)
    return "libOstrel.so";
  if (std::strcmp(kind.option, "s7-tcp") == 0)
    return "libKestavo.so";
  return "libZireviVer.so";
}

// The S7 family's model: "300" (S7-300/400, the default), "200" or "1200" (S7-1200/1500).
const char* S7Model(const std::string& family) {
  if (family.empty() || family == "300")
    return "S7-300/400(TCP)";
  if (family == "200")
    return "S7-200(TCP)";
  if (family == "1200")
    return "S7-1200/1500(TCP)";
  return nullptr;
}

// Type names of the command line, by raw type.
constexpr const char* kTypeNames[kRawTypeCount] = {"bit",   "byte",  "int16", "uint16", "bcd",
                                                   "int32", "bcd32", "float", "string"};

int32_t VarTypeOf(int32_t rawType) {
  switch (rawType) {
    case kRawBit:
      return kVarDiscrete;
    case kRawFloat:
      return kVarFloat;
    case kRawString:
      return kVarString;
    default:
      return kVarInteger;
  }
}

// One register of the command line.
struct Request {
  std::string given;  // as given, without the value
  std::string reg;
  int32_t rawType = 0;
  std::string value;  // write only
  int32_t raw = 0;    // write only: the raw word to send
};

// The driver's own text for its last refusal, in UTF-8.
std::string DriverText(IProtocolDriver* driver) {
  const char* text = driver->GetLastErrorText();
  return text != nullptr ? platform::GbkToUtf8(text) : std::string();
}

// The raw word for a value typed for a register of `rawType`; nullopt (and *why) when the text
// is not a value of that type.
std::optional<int32_t> RawWordOf(int32_t rawType, const std::string& text, std::string* why) {
  auto range = [&](int64_t lo, int64_t hi) -> std::optional<int32_t> {
    const std::optional<int64_t> v = talvek::ParseWholeNumber(text);
    if (v && *v >= lo && *v <= hi)
      return static_cast<int32_t>(static_cast<uint32_t>(*v));
    char buffer[160];
    std::snprintf(
        buffer, sizeof buffer,
        Tr("\"%s\" is not a whole number of %lld .. %lld", "“%s”不是 %lld ~ %lld 之间的整数"),
        text.c_str(), static_cast<long long>(lo), static_cast<long long>(hi));
    *why = buffer;
    return std::nullopt;
  };
  switch (rawType) {
    case kRawBit:
      return range(0, 1);
    case kRawByte:
      return range(0, 255);
    case kRawInt16:
      return range(INT16_MIN, INT16_MAX);
    case kRawUInt16:
      return range(0, UINT16_MAX);
    case kRawBcd16:
      return range(0, 9999);
    case kRawInt32:
      return range(INT32_MIN, INT32_MAX);
    case kRawBcd32:
      return range(0, 99999999);
    case kRawFloat: {
      const std::optional<double> v = talvek::ParseDecimalNumber(text);
      if (v && std::abs(*v) <= 3.4028234663852886e38)
        return FloatToWord(static_cast<float>(*v));
      *why = std::string(Tr("\"", "“")) + text + Tr("\" is not a number", "”不是数值");
      return std::nullopt;
    }
    default: {
      std::string gbk;
      if (text.empty() || text.size() != std::strlen(text.c_str()) ||
          !platform::Utf8ToGbk(text, gbk) || gbk.size() > talvek::kMaxStringValueBytes) {
        *why =
            Tr("a string must be 1 to 255 bytes of GBK", "字符串必须是 1 到 255 个字节的 GBK 文本");
        return std::nullopt;
      }
      const ATOM atom = platform::GlobalAddAtomA(gbk.c_str());
      if (atom == 0) {
        *why = Tr("no atom for the string", "无法为字符串建立原子");
        return std::nullopt;
      }
      return atom;
    }
  }
}

// Splits REGISTER:TYPE[=VALUE]; false (and a complaint) when it is not of that form.
bool ParseRequest(const std::string& text, bool write, Request& out) {
  std::string given = text;
  if (write) {
    const std::size_t eq = text.find('=');
    if (eq == std::string::npos) {
      Complain(std::string(Tr("a write needs REGISTER:TYPE=VALUE, not ",
                              "写入需要 寄存器:类型=值，而不是 ")) +
               text);
      return false;
    }
    given = text.substr(0, eq);
    out.value = text.substr(eq + 1);
  }
  const std::size_t colon = given.rfind(':');
  if (colon == std::string::npos || colon == 0) {
    Complain(std::string(Tr("a register needs REGISTER:TYPE (e.g. VW100:int16), not ",
                            "寄存器需要写成 寄存器:类型 (例如 VW100:int16)，而不是 ")) +
             given);
    return false;
  }
  out.given = given;
  out.reg = given.substr(0, colon);
  const std::string type = given.substr(colon + 1);
  const auto* it = std::find(std::begin(kTypeNames), std::end(kTypeNames), type);
  if (it == std::end(kTypeNames)) {
    Complain(std::string(Tr("unknown type \"", "未知的类型“")) + type +
             Tr("\" (bit, byte, int16, uint16, bcd, int32, bcd32, float, string)",
                "”(可用: bit, byte, int16, uint16, bcd, int32, bcd32, float, string)"));
    return false;
  }
  out.rawType = static_cast<int32_t>(it - std::begin(kTypeNames));
  return true;
}

// The index of the first area whose name starts `reg`, as the driver host matches them.
uint16_t AreaIndexOf(const AddressArea* areas, int32_t count, const std::string& reg) {
  for (int32_t i = 0; areas != nullptr && i < count; ++i) {
    const std::size_t n = strnlen(areas[i].name, sizeof areas[i].name);
    if (n > 0 && reg.compare(0, n, areas[i].name, n) == 0)
      return static_cast<uint16_t>(i);
  }
  return 0;
}

void CopyText(char* dst, std::size_t size, std::string_view text) {
  platform::CopyToArray(std::span<char>(dst, size), text);
}

}  // namespace

int AdhocCommand(const AdhocOptions& options) {
  const bool s7tcp = options.driver == "s7-tcp";
  const char* s7Model = S7Model(options.family);
  if (s7tcp && s7Model == nullptr) {
    Complain(std::string(Tr("--family takes 200, 300 or 1200, not ",
                            "--family 只能是 200、300 或 1200，而不是 ")) +
             options.family);
    return kExitUsage;
  }
  if (!s7tcp && (!options.family.empty() || options.rack >= 0 || options.slot >= 0)) {
    Complain(Tr("--family, --rack and --slot are for --driver s7-tcp only",
                "--family、--rack 和 --slot 只用于 --driver s7-tcp"));
    return kExitUsage;
  }
  const DriverKind* kind = nullptr;
  for (const DriverKind& k : kDrivers) {
    if (options.driver == k.option && (!s7tcp || std::strcmp(k.model, s7Model) == 0))
      kind = &k;
  }
  if (kind == nullptr) {
    Complain(std::string(Tr(
                 "--driver takes ppi, modbus-rtu, modbus-ascii, modbus-tcp or s7-tcp, not ",
                 "--driver 只能是 ppi、modbus-rtu、modbus-ascii、modbus-tcp 或 s7-tcp，而不是 ")) +
             options.driver);
    return kExitUsage;
  }
  if (options.line.empty() || options.line.size() >= sizeof(CommSettings::portName)) {
    Complain(Tr("--line takes a device path, a port name or host:port (at most 31 bytes)",
                "--line 需要设备路径、端口名或 主机:端口 (不超过 31 个字节)"));
    return kExitUsage;
  }
  const std::string parityText = options.parity.empty() ? kind->parity : options.parity;
  static constexpr const char* kParities[] = {"none", "odd", "even"};
  const auto parity = std::find(std::begin(kParities), std::end(kParities), parityText);
  if (parity == std::end(kParities)) {
    Complain(std::string(Tr("--parity takes none, odd or even, not ",
                            "--parity 只能是 none、odd 或 even，而不是 ")) +
             parityText);
    return kExitUsage;
  }
  if (options.baud <= 0 || options.timeoutMs <= 0 || options.timeoutMs > 65535 ||
      options.count <= 0 || options.intervalMs < 0) {
    Complain(Tr("--baud, --timeout (1..65535) and --count must be above 0, --interval not below 0",
                "--baud、--timeout (1..65535) 和 --count 必须大于 0，--interval 不能小于 0"));
    return kExitUsage;
  }
  if (options.registers.empty()) {
    Complain(Tr("no register given (e.g. VW100:int16)", "没有给出寄存器 (例如 VW100:int16)"));
    return kExitUsage;
  }
  std::vector<Request> requests(options.registers.size());
  for (std::size_t i = 0; i < requests.size(); ++i) {
    if (!ParseRequest(options.registers[i], options.write, requests[i]))
      return kExitUsage;
  }

  CLSID clsid{};
  if (FAILED(platform::CLSIDFromProgID(kind->progId, &clsid))) {
    Complain(std::string(Tr("the driver is not registered: run regsvr on its module (",
                            "驱动没有注册：请先用 regsvr 注册驱动模块 (")) +
             ModuleOf(*kind) + ")");
    return kExitFailed;
  }
  // A driver object of the same class checks the station and the registers first, so that a
  // refusal carries the driver's own text, as the device wizard and the tag editor show it.
  platform::ComPtr<IProtocolDriver> checker;
  if (FAILED(talvek::CreateProtocolDriver(clsid, checker.PutVoid())) || !checker) {
    Complain(Tr("the driver module cannot be loaded", "无法加载驱动模块"));
    return kExitFailed;
  }
  DeviceRecord device = talvek::NewDeviceRecord();
  CopyText(device.descriptor.manufacturer, sizeof device.descriptor.manufacturer, "");
  CopyText(device.descriptor.model, sizeof device.descriptor.model, kind->model);
  CopyText(device.descriptor.commKind, sizeof device.descriptor.commKind,
           platform::Utf8ToGbk(kind->commKind));
  device.descriptor.driverClsid = clsid;
  device.descriptor.linkKind = kind->linkKind;
  CopyText(device.logicalName, sizeof device.logicalName, "talvekctl");
  // Every round asks the station, however often it failed before.
  device.dynamicOptimization = 0;
  const std::string stationText = options.station.empty() ? kind->station : options.station;
  // Modbus TCP: host:port#unit; S7 over TCP: host:port,rack,slot (rack 0 and the slot of an
  // S7-300 CPU, 2, unless given).
  const std::string addressText =
      s7tcp ? options.line + "," + std::to_string(options.rack >= 0 ? options.rack : 0) + "," +
                  std::to_string(options.slot >= 0 ? options.slot : 2)
      : kind->linkKind == kLinkTcpIp ? options.line + "#" + stationText
                                     : stationText;
  if (addressText.size() >= sizeof device.station.addressText ||
      checker->ParseStationAddress(addressText.c_str(), &device.station) != 1) {
    Complain(std::string(Tr("station refused: ", "站地址不被接受：")) + addressText + " " +
             DriverText(checker.Get()));
    return kExitUsage;
  }
  const AddressArea* areas = nullptr;
  int32_t areaCount = 0;
  if (checker->GetRegisters(kind->model, &areas, &areaCount) == 0)
    areaCount = 0;

  ProjectState state;
  state.devices.Add(device);
  for (std::size_t i = 0; i < requests.size(); ++i) {
    Request& r = requests[i];
    TagAddressInput in{};
    CopyText(in.model, sizeof in.model, kind->model);
    if (r.reg.size() >= sizeof TagRecord::registerText) {
      Complain(std::string(Tr("register too long: ", "寄存器太长：")) + r.reg);
      return kExitUsage;
    }
    CopyText(in.address, sizeof in.address, r.reg);
    in.dataType = static_cast<int16_t>(DataTypeFlagOf(r.rawType));
    in.extra = options.write ? 1 : 0;
    DriverItem out{};
    if (checker->ConvertUserConfigToVar(&in, &out) != 0) {
      Complain(r.given + ": " + DriverText(checker.Get()));
      return kExitUsage;
    }
    if (options.write) {
      std::string why;
      const std::optional<int32_t> raw = RawWordOf(r.rawType, r.value, &why);
      if (!raw) {
        Complain(r.given + ": " + why);
        return kExitUsage;
      }
      r.raw = *raw;
    }
    TagRecord tag = talvek::DefaultTagRecord();
    char name[24];
    std::snprintf(name, sizeof name, "r%zu", i);
    CopyText(tag.name, sizeof tag.name, name);
    tag.varType = VarTypeOf(r.rawType);
    tag.rawType = r.rawType;
    tag.flags = kTagExternal;
    CopyText(tag.driverModel, sizeof tag.driverModel, kind->model);
    CopyText(tag.deviceName, sizeof tag.deviceName, "talvekctl");
    CopyText(tag.registerText, sizeof tag.registerText, r.reg);
    tag.registerIndex = AreaIndexOf(areas, areaCount, r.reg);
    tag.quality = talvek::kQualityWaitingForData;
    state.tags.push_back(tag);
  }
  CommSettings port = talvek::DefaultPortEntry(1);
  port.baudRate = options.baud;
  port.parity = static_cast<uint16_t>(parity - std::begin(kParities));
  port.timeoutMs = static_cast<uint16_t>(options.timeoutMs);
  state.ports.push_back(port);
  // A serial line is named as the platform's serial port takes it: a name with '/' is a path.
  if (kind->linkKind == kLinkSerial)
    CopyText(port.portName, sizeof port.portName, options.line);

  platform::Mutex mutex;
  talvek::RuntimeTagTable table(state.tags, mutex);
  int exitCode = kExitOk;
  {
    talvek::DriverHost host(state, table);
    host.CreateDrivers("");
    if (host.DriverCount() != 1 || !host.Driver(0).HasDriver()) {
      Complain(Tr("the driver module cannot be loaded", "无法加载驱动模块"));
      return kExitFailed;
    }
    talvek::CDriver& driver = host.Driver(0);
    driver.SetPortSettings(port);
    Printer printer(options.format, stdout);
    for (int round = 0; round < options.count; ++round) {
      if (round > 0)
        std::this_thread::sleep_for(std::chrono::milliseconds(options.intervalMs));
      std::string openError;
      if (driver.IsOpen() != 0)
        driver.MarkUnread();
      else if (driver.OpenForPolling() == 0)
        openError = platform::GbkToUtf8(driver.OpenError());
      if (options.write && round == 0) {
        // As the writers hand a raw word to the host: with the tag-table mutex held.
        mutex.Lock();
        for (std::size_t i = 0; i < requests.size(); ++i)
          host.WriteTag(static_cast<uint16_t>(i), requests[i].raw);
        mutex.Unlock();
      }
      if (openError.empty())
        driver.RunCycle();
      std::vector<std::optional<std::string>> writeErrors(requests.size());
      std::vector<bool> written(requests.size(), false);
      for (const talvek::RuntimeEvent& e : host.TakeEvents()) {
        if (e.kind != talvek::RuntimeEvent::Kind::kWriteDone &&
            e.kind != talvek::RuntimeEvent::Kind::kWriteFailed)
          continue;
        const std::size_t i = std::strtoul(e.tagName.c_str() + 1, nullptr, 10);
        if (i >= requests.size())
          continue;
        written[i] = true;
        if (e.kind == talvek::RuntimeEvent::Kind::kWriteFailed)
          writeErrors[i] = e.text.empty() ? std::string(Tr("write failed", "写入失败"))
                                          : platform::GbkToUtf8(e.text);
      }
      std::string readError;
      const std::vector<talvek::DeviceStatistics> stats = host.Statistics();
      if (!stats.empty())
        readError = platform::GbkToUtf8(stats.front().lastError);
      for (std::size_t i = 0; i < requests.size(); ++i) {
        const TagRecord& tag = state.tags[i];
        Row row;
        row.reg = requests[i].given;
        FillFromTag(row, tag);
        const int32_t raw = talvek::LoadRawWord(tag);
        row.value = RawText(tag.rawType, raw);
        row.raw = tag.rawType == kRawFloat || tag.rawType == kRawString
                      ? std::to_string(static_cast<uint32_t>(raw) &
                                       (tag.rawType == kRawString ? 0xFFFFu : 0xFFFFFFFFu))
                      : row.value;
        if (tag.rawType == kRawString)
          row.text = true;
        if (!openError.empty()) {
          row.error = openError;
        } else if (options.write && round == 0 && (writeErrors[i] || !written[i])) {
          row.error =
              writeErrors[i].value_or(Tr("the driver did not take the write", "驱动没有接受写入"));
        } else if (row.quality != talvek::kQualityGood) {
          row.error = readError.empty() ? std::string(Tr("no answer", "没有应答")) : readError;
        }
        if (row.error)
          exitCode = kExitFailed;
        printer.Print(row);
      }
      printer.Flush();
    }
    driver.Close();
  }
  return exitCode;
}

}  // namespace talvekctl
