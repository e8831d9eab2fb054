#include "tools/demo/demo_project.h"

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <span>

#include "platform/gbk.h"
#include "workbench/project/data_files.h"
#include "workbench/project/new_records.h"
#include "workbench/project/project_state.h"

namespace demo {
namespace {

// A raw limit stored in the raw type's width: float bits for float, the integer otherwise.
int32_t RawWord(int32_t rawType, double value) {
  if (rawType == kRawFloat)
    return FloatToWord(static_cast<float>(value));
  return static_cast<int32_t>(static_cast<int64_t>(value));
}

// An engineering limit: float bits for a float tag, int32 for the others.
int32_t EngWord(int32_t varType, double value) {
  if (varType == kVarFloat)
    return FloatToWord(static_cast<float>(value));
  return static_cast<int32_t>(value);
}

void CopyGbk(char* dst, std::size_t size, const char* utf8) {
  platform::CopyToArray(std::span<char>(dst, size), platform::Utf8ToGbk(utf8));
}

ScreenRecord Screen(const char* name, const char* file) {
  ScreenRecord s{};
  CopyGbk(s.screenName, sizeof s.screenName, name);
  CopyGbk(s.fileName, sizeof s.fileName, file);
  return s;
}

// The fields every external tag of the demo shares; the caller sets the area index.
TagRecord ExternalTag(const char* name, const char* description, const char* registerText,
                      int32_t rawType, int32_t varType, double rawMin, double rawMax, double engMin,
                      double engMax, std::string_view driverModel, std::string_view deviceName) {
  TagRecord t = talvek::DefaultTagRecord();
  CopyGbk(t.name, sizeof t.name, name);
  CopyGbk(t.description, sizeof t.description, description);
  t.varType = varType;
  t.rawType = rawType;
  t.initialValue = 0;
  t.deadband = 0;
  t.engMin = EngWord(varType, engMin);
  t.engMax = EngWord(varType, engMax);
  t.rawMin = RawWord(rawType, rawMin);
  t.rawMax = RawWord(rawType, rawMax);
  t.flags = kTagExternal;
  CopyGbk(t.driverModel, sizeof t.driverModel, std::string(driverModel).c_str());
  CopyGbk(t.deviceName, sizeof t.deviceName, std::string(deviceName).c_str());
  CopyGbk(t.registerText, sizeof t.registerText, registerText);
  t.scanPeriodMs = 1000;
  t.quality = 0;
  return t;
}

bool WriteText(const std::filesystem::path& path, const std::string& text, std::string* error) {
  // Replaced whole, like the data files: a rerun over an old demo never leaves half a file.
  if (!talvek::WriteFileAtomically(path.string(), std::as_bytes(std::span(text)))) {
    *error = "cannot write " + path.string();
    return false;
  }
  return true;
}

}  // namespace

const std::vector<DemoTag>& DemoTags() {
  using M = Motion;
  // clang-format off
  static const std::vector<DemoTag> tags = {
      // V: analog values from 0..27648 input words, counters, floats, bits and texts.
      {"进水温度", "进水温度 (℃)", "V100", kRawInt16, kVarFloat, 0, 27648, 0, 100, M::kSine, "V100", 'i', "4000:13824:60"},
      {"出水温度", "出水温度 (℃)", "V102", kRawInt16, kVarFloat, 0, 27648, 0, 100, M::kSine, "V102", 'i', "3000:11000:45"},
      {"管网压力", "管网压力 (MPa)", "V104", kRawUInt16, kVarFloat, 0, 65535, 0, 1.6, M::kSine, "V104", 'w', "12000:30000:30"},
      {"清水池液位", "清水池液位 (mm)", "V106", kRawInt16, kVarInteger, 0, 27648, 0, 5000, M::kRamp, "V106", 'i', "0:27648:1200"},
      {"电机转速", "一号泵转速 (rpm)", "V108", kRawUInt16, kVarInteger, 0, 16384, 0, 1500, M::kRamp, "V108", 'w', "0:16384:800"},
      {"累计流量", "累计流量 (m³)", "V110", kRawInt32, kVarInteger, 0, 1000000, 0, 1000000, M::kRamp, "V110", 'd', "0:1000000:37"},
      {"运行时间", "累计运行时间 (s)", "V114", kRawInt32, kVarInteger, 0, 100000, 0, 100000, M::kRamp, "V114", 'd', "0:100000:1"},
      {"瞬时流量", "瞬时流量 (m³/h)", "V120", kRawFloat, kVarFloat, 0, 100, 0, 100, M::kSine, "V120", 'f', "20:60:40"},
      {"阀门开度", "出口阀开度 (%)", "V124", kRawFloat, kVarFloat, 0, 1, 0, 100, M::kSine, "V124", 'f', "0.5:0.5:20"},
      {"有功功率", "有功功率 (kW)", "V128", kRawFloat, kVarFloat, 0, 500, 0, 500, M::kSine, "V128", 'f', "50:220:90"},
      {"电网频率", "电网频率 (Hz)", "V132", kRawFloat, kVarFloat, 0, 100, 0, 100, M::kSine, "V132", 'f', "0.2:50:10"},
      {"设定温度", "出水温度设定 (℃)", "V140", kRawInt16, kVarFloat, 0, 10000, 0, 100, M::kFixed, "V140", 'i', "4500"},
      {"批次号", "生产批次号", "V142", kRawUInt16, kVarInteger, 0, 65535, 0, 65535, M::kFixed, "V142", 'w', "2024"},
      {"工作模式", "工作模式 (0-3)", "V150", kRawByte, kVarInteger, 0, 255, 0, 255, M::kRamp, "V150", 'b', "0:3:1"},
      {"报警计数", "报警次数", "V151", kRawByte, kVarInteger, 0, 255, 0, 255, M::kRamp, "V151", 'b', "0:255:1"},
      {"心跳", "PLC 心跳", "V160.0", kRawBit, kVarDiscrete, 0, 1, 0, 1, M::kRamp, "V160.0", 'x', "0:1:1"},
      {"一号泵运行", "一号泵运行反馈", "V160.1", kRawBit, kVarDiscrete, 0, 1, 0, 1, M::kFixed, "V160.1", 'x', "1"},
      {"二号泵运行", "二号泵运行反馈", "V160.2", kRawBit, kVarDiscrete, 0, 1, 0, 1, M::kFixed, "V160.2", 'x', "0"},
      {"站点名称", "站点名称", "V200.16", kRawString, kVarString, 0, 0, 0, 0, M::kFixed, "V200", 's', "一号泵站"},
      {"操作员", "当班操作员", "V220.8", kRawString, kVarString, 0, 0, 0, 0, M::kFixed, "V220", 's', "ZHANGSAN"},
      // I: inputs.
      {"启动按钮", "启动按钮", "I0.0", kRawBit, kVarDiscrete, 0, 1, 0, 1, M::kRamp, "I0.0", 'x', "0:1:1"},
      {"停止按钮", "停止按钮", "I0.1", kRawBit, kVarDiscrete, 0, 1, 0, 1, M::kFixed, "I0.1", 'x', "0"},
      {"急停", "急停按钮", "I0.2", kRawBit, kVarDiscrete, 0, 1, 0, 1, M::kFixed, "I0.2", 'x', "0"},
      {"输入字节", "输入字节 IB1", "I1", kRawByte, kVarInteger, 0, 255, 0, 255, M::kRamp, "I1", 'b', "0:255:5"},
      // Q: outputs.
      {"一号泵输出", "一号泵启动输出", "Q0.0", kRawBit, kVarDiscrete, 0, 1, 0, 1, M::kFixed, "Q0.0", 'x', "1"},
      {"二号泵输出", "二号泵启动输出", "Q0.1", kRawBit, kVarDiscrete, 0, 1, 0, 1, M::kRamp, "Q0.1", 'x', "0:1:1"},
      {"报警灯", "报警指示灯", "Q0.2", kRawBit, kVarDiscrete, 0, 1, 0, 1, M::kFixed, "Q0.2", 'x', "0"},
      {"输出字节", "输出字节 QB1", "Q1", kRawByte, kVarInteger, 0, 255, 0, 255, M::kRamp, "Q1", 'b', "0:255:3"},
      // M: flags.
      {"自动模式", "自动模式", "M0.0", kRawBit, kVarDiscrete, 0, 1, 0, 1, M::kFixed, "M0.0", 'x', "1"},
      {"手动模式", "手动模式", "M0.1", kRawBit, kVarDiscrete, 0, 1, 0, 1, M::kFixed, "M0.1", 'x', "0"},
      {"步序号", "顺控步序号", "M10", kRawByte, kVarInteger, 0, 255, 0, 255, M::kRamp, "M10", 'b', "0:20:1"},
      {"中间计数", "中间计数器 MB11", "M11", kRawByte, kVarInteger, 0, 255, 0, 255, M::kRamp, "M11", 'b', "0:255:7"},
  };
  // clang-format on
  return tags;
}

DeviceRecord DemoDevice(const CLSID& driverClsid) {
  DeviceRecord d = talvek::NewDeviceRecord();
  CopyGbk(d.descriptor.manufacturer, sizeof d.descriptor.manufacturer, "西门子");
  CopyGbk(d.descriptor.model, sizeof d.descriptor.model, "S7-200(PPI)");
  CopyGbk(d.descriptor.commKind, sizeof d.descriptor.commKind, "PPI");
  d.descriptor.driverClsid = driverClsid;
  d.descriptor.linkKind = kLinkSerial;
  CopyGbk(d.logicalName, sizeof d.logicalName, std::string(kDeviceName).c_str());
  // The PPI driver's parsed form of the address text "2".
  d.station.stationNumber = kStation;
  std::snprintf(d.station.addressText, sizeof d.station.addressText, "%d", kStation);
  d.portNumber = kPort;
  return d;
}

TagRecord DemoTagRecord(const DemoTag& tag) {
  TagRecord t =
      ExternalTag(tag.name, tag.description, tag.registerText, tag.rawType, tag.varType, tag.rawMin,
                  tag.rawMax, tag.engMin, tag.engMax, "S7-200(PPI)", kDeviceName);
  // The index of the area in the PPI driver's table: V 0, I 1, Q 2, M 3.
  switch (tag.registerText[0]) {
    case 'I':
      t.registerIndex = 1;
      break;
    case 'Q':
      t.registerIndex = 2;
      break;
    case 'M':
      t.registerIndex = 3;
      break;
    default:
      t.registerIndex = 0;
      break;
  }
  return t;
}

const std::vector<ModbusDemoTag>& ModbusDemoTags() {
  // clang-format off
  static const std::vector<ModbusDemoTag> tags = {
      {"加药泵频率", "加药泵频率 (0-99 斜坡)", "4X1", kRawInt16, kVarInteger, 0, 99, 0, 99},
      {"浊度偏差", "浊度偏差 (正弦 ±1000)", "4X2", kRawInt16, kVarInteger, -1000, 1000, -1000, 1000},
      {"仪表运行秒数", "仪表运行秒数 (计数)", "4X3", kRawUInt16, kVarInteger, 0, 65535, 0, 65535},
      {"累计电量", "累计电量 (40000 起)", "4X4", kRawUInt16, kVarInteger, 0, 65535, 0, 65535},
      {"水温", "水温 (℃, 高字在前)", "4X5", kRawFloat, kVarFloat, 0, 100, 0, 100},
      {"池温", "池温 (℃, 低字在前)", "4X7L", kRawFloat, kVarFloat, 0, 200, 0, 200},
      {"采样计数", "采样计数 (输入寄存器)", "3X1", kRawUInt16, kVarInteger, 0, 65535, 0, 65535},
      {"搅拌机运行", "搅拌机运行 (线圈)", "0X1", kRawBit, kVarDiscrete, 0, 1, 0, 1},
      {"高液位开关", "高液位开关 (离散输入)", "1X1", kRawBit, kVarDiscrete, 0, 1, 0, 1},
  };
  // clang-format on
  return tags;
}

DeviceRecord ModbusDemoDevice(const CLSID& driverClsid, int tcpPort) {
  DeviceRecord d = talvek::NewDeviceRecord();
  CopyGbk(d.descriptor.manufacturer, sizeof d.descriptor.manufacturer, "莫迪康系列");
  CopyGbk(d.descriptor.model, sizeof d.descriptor.model, std::string(kModbusModel).c_str());
  CopyGbk(d.descriptor.commKind, sizeof d.descriptor.commKind, "TCP/IP");
  d.descriptor.driverClsid = driverClsid;
  d.descriptor.linkKind = kLinkTcpIp;
  CopyGbk(d.logicalName, sizeof d.logicalName, std::string(kModbusDeviceName).c_str());
  // The Modbus driver's parsed form of "127.0.0.1:<port>#1": the unit, and the normalised text.
  d.station.stationNumber = kModbusUnit;
  std::snprintf(d.station.addressText, sizeof d.station.addressText, "127.0.0.1:%d#%d", tcpPort,
                kModbusUnit);
  d.portNumber = kModbusPort;
  return d;
}

TagRecord ModbusDemoTagRecord(const ModbusDemoTag& tag) {
  TagRecord t =
      ExternalTag(tag.name, tag.description, tag.registerText, tag.rawType, tag.varType, tag.rawMin,
                  tag.rawMax, tag.engMin, tag.engMax, kModbusModel, kModbusDeviceName);
  // The index of the area in the Modbus driver's table: 0X 0, 1X 1, 3X 2, 4X 3.
  switch (tag.registerText[0]) {
    case '0':
      t.registerIndex = 0;
      break;
    case '1':
      t.registerIndex = 1;
      break;
    case '3':
      t.registerIndex = 2;
      break;
    default:
      t.registerIndex = 3;
      break;
  }
  return t;
}

const std::vector<DemoTag>& EthernetDemoTags() {
  // clang-format off
  static const std::vector<DemoTag> tags = {
      {"出水流量", "出水流量 (m³/h, 斜坡)", "DB10.DBW0", kRawInt16, kVarInteger, 0, 1000, 0, 1000,
       Motion::kRamp, "DB10.DBW0", 'i', "0:1000:25"},
      {"出水压力", "出水压力 (MPa, 正弦)", "DB10.DBD2", kRawFloat, kVarFloat, 0, 1, 0, 1,
       Motion::kSine, "DB10.DBD2", 'f', "0.1:0.45:20"},
      {"清水池液位", "清水池液位 (m, 正弦)", "DB10.DBD6", kRawFloat, kVarFloat, 0, 5, 0, 5,
       Motion::kSine, "DB10.DBD6", 'f', "0.8:3.2:90"},
      {"送水泵运行", "送水泵运行", "DB10.DBX10.0", kRawBit, kVarDiscrete, 0, 1, 0, 1,
       Motion::kFixed, "DB10.DBX10.0", 'x', "1"},
      {"累计运行小时", "累计运行小时", "DB10.DBW12", kRawUInt16, kVarInteger, 0, 65535, 0, 65535,
       Motion::kFixed, "DB10.DBW12", 'w', "1234"},
  };
  // clang-format on
  return tags;
}

DeviceRecord EthernetDemoDevice(const CLSID& driverClsid, int tcpPort) {
  DeviceRecord d = talvek::NewDeviceRecord();
  CopyGbk(d.descriptor.manufacturer, sizeof d.descriptor.manufacturer, "西门子");
  CopyGbk(d.descriptor.model, sizeof d.descriptor.model, std::string(kEthernetModel).c_str());
  CopyGbk(d.descriptor.commKind, sizeof d.descriptor.commKind, "TCP/IP");
  d.descriptor.driverClsid = driverClsid;
  d.descriptor.linkKind = kLinkTcpIp;
  CopyGbk(d.logicalName, sizeof d.logicalName, std::string(kEthernetDeviceName).c_str());
  // The driver's parsed form of "127.0.0.1:<port>,0,2": rack × 32 + slot, and the text.
  d.station.stationNumber = 2;
  std::snprintf(d.station.addressText, sizeof d.station.addressText, "127.0.0.1:%d,0,2", tcpPort);
  d.portNumber = kEthernetPort;
  return d;
}

TagRecord EthernetDemoTagRecord(const DemoTag& tag) {
  TagRecord t =
      ExternalTag(tag.name, tag.description, tag.registerText, tag.rawType, tag.varType, tag.rawMin,
                  tag.rawMax, tag.engMin, tag.engMax, kEthernetModel, kEthernetDeviceName);
  t.registerIndex = 26;  // "DB" in the ISO-on-TCP driver's table
  return t;
}

std::vector<std::string> SimulatorArguments() {
  std::vector<std::string> args = {"--db", std::to_string(kEthernetDb) + ":256"};
  for (const auto* list : {&DemoTags(), &EthernetDemoTags()}) {
    for (const DemoTag& tag : *list) {
      if (tag.motion == Motion::kFixed)
        continue;
      args.push_back(tag.motion == Motion::kRamp ? "--ramp" : "--sine");
      args.push_back(std::string(tag.location) + ":" + tag.simType + ":" + tag.simulation);
    }
  }
  return args;
}

std::string SimulatorMemoryFile() {
  std::string text = "# Start values of the demo project's fixed tags (strings in GBK).\n";
  for (const auto* list : {&DemoTags(), &EthernetDemoTags()}) {
    for (const DemoTag& tag : *list) {
      if (tag.motion != Motion::kFixed)
        continue;
      text += std::string(tag.location) + " " + tag.simType + " " +
              platform::Utf8ToGbk(tag.simulation) + "\n";
    }
  }
  return text;
}

bool WriteDemoProject(const std::string& folder, const CLSID& driverClsid, std::string* error,
                      const std::optional<ModbusDemo>& modbus,
                      const std::optional<EthernetDemo>& ethernet) {
  if (modbus && (modbus->tcpPort < 1 || modbus->tcpPort > 65535)) {
    *error =
        "the Modbus server's TCP port " + std::to_string(modbus->tcpPort) + " is outside 1..65535";
    return false;
  }
  if (ethernet && (ethernet->tcpPort < 1 || ethernet->tcpPort > 65535)) {
    *error =
        "the simulator's TCP port " + std::to_string(ethernet->tcpPort) + " is outside 1..65535";
    return false;
  }
  std::error_code ec;
  std::filesystem::create_directories(folder, ec);
  if (ec) {
    *error = "cannot create " + folder + ": " + ec.message();
    return false;
  }
  talvek::ProjectState state;
  std::string folderGbk;
  if (!platform::Utf8ToGbk(folder, folderGbk) || !platform::CopyToArray(state.folder, folderGbk)) {
    *error = "the folder has no GBK form or is too long: " + folder;
    return false;
  }
  state.devices.Add(DemoDevice(driverClsid));
  for (const DemoTag& tag : DemoTags())
    state.tags.push_back(DemoTagRecord(tag));
  if (modbus) {
    state.devices.Add(ModbusDemoDevice(modbus->driverClsid, modbus->tcpPort));
    for (const ModbusDemoTag& tag : ModbusDemoTags())
      state.tags.push_back(ModbusDemoTagRecord(tag));
  }
  if (ethernet) {
    state.devices.Add(EthernetDemoDevice(ethernet->driverClsid, ethernet->tcpPort));
    for (const DemoTag& tag : EthernetDemoTags())
      state.tags.push_back(EthernetDemoTagRecord(tag));
  }
  // Com1 as a PPI line runs it: 9600 baud, 8 data bits, even parity, 1 stop bit.
  CommSettings com1 = talvek::DefaultPortEntry(1);
  com1.parity = 2;
  state.ports = {com1, talvek::DefaultPortEntry(2)};
  if (ethernet)
    state.ports.push_back(talvek::DefaultPortEntry(kEthernetPort));
  state.screens = {Screen("泵站总貌", "overview.pic"), Screen("一号泵详情", "pump1.pic")};
  talvek::MarkPortsInUse(state);

  const std::filesystem::path dir(folder);
  if (!talvek::SaveDevices(state) || !talvek::SaveTags(state) || !talvek::SavePorts(state) ||
      !talvek::SaveScreens(state)) {
    *error = "cannot write the data files in " + folder;
    return false;
  }
  return WriteText(dir / std::string(kProjectFileName), "", error) &&
         WriteSimulatorFiles(folder, error);
}

bool WriteSimulatorFiles(const std::string& folder, std::string* error) {
  const std::filesystem::path dir(folder);
  std::string args;
  for (const std::string& a : SimulatorArguments())
    args += a + "\n";
  return WriteText(dir / std::string(kSimulatorArgsFile), args, error) &&
         WriteText(dir / std::string(kSimulatorMemoryFile), SimulatorMemoryFile(), error);
}

}  // namespace demo
