// talvekctl: reads and writes registers of a device given on the command line, and runs a
// project's communication without a window (see talvekctl.h and docs/talvekctl.md).
#include <cstdio>
#include <cstdlib>
#include <fstream>

#include <QCommandLineParser>
#include <QCoreApplication>
#include <QStringList>

#include "platform/com.h"
#include "tools/talvekctl/mqtt_topics.h"
#include "tools/talvekctl/talvekctl.h"

namespace talvekctl {
namespace {

QString Q(const char* english, const char* chinese) {
  return QString::fromUtf8(Tr(english, chinese));
}

const char kSummaryEn[] =
    "Commands:\n"
    "  read     read registers of a device: talvekctl read --driver ppi --line /dev/ttyUSB0 "
    "--station 2 VW100:int16 VD10:float\n"
    "  write    write registers: talvekctl write --driver modbus-tcp --line 127.0.0.1:502 "
    "4X1:uint16=7\n"
    "  run      poll a project until interrupted: talvekctl run PROJECT [--json|--csv] "
    "[--mqtt URL]\n"
    "  get      read tags of a project by name: talvekctl get PROJECT TAG...\n"
    "  set      write tags of a project by name: talvekctl set PROJECT TAG=VALUE...\n"
    "  tags     a project's tags to or from a CSV file: talvekctl tags export|import PROJECT "
    "FILE.csv\n"
    "\"talvekctl COMMAND --help\" describes a command's options.\n"
    "Exit codes: 0 success, 1 a device or tag failed, 2 bad usage or input.";
const char kSummaryZh[] =
    "命令:\n"
    "  read     读设备的寄存器: talvekctl read --driver ppi --line /dev/ttyUSB0 --station 2 "
    "VW100:int16 VD10:float\n"
    "  write    写寄存器: talvekctl write --driver modbus-tcp --line 127.0.0.1:502 4X1:uint16=7\n"
    "  run      运行工程的通讯直到中断: talvekctl run 工程 [--json|--csv] [--mqtt 地址]\n"
    "  get      按名称读工程的变量: talvekctl get 工程 变量...\n"
    "  set      按名称写工程的变量: talvekctl set 工程 变量=值...\n"
    "  tags     导出或导入工程的变量表 (CSV): talvekctl tags export|import 工程 文件.csv\n"
    "\"talvekctl 命令 --help\" 说明命令的选项。\n"
    "退出码: 0 成功, 1 设备或变量失败, 2 用法或输入错误。";

// A whole number option; false (and a complaint) when the text is not one.
bool IntOption(const QCommandLineParser& parser, const QString& name, int& out) {
  if (!parser.isSet(name))
    return true;
  bool ok = false;
  const int v = parser.value(name).toInt(&ok);
  if (!ok) {
    Complain(std::string("--") + name.toStdString() + Tr(" takes a whole number", " 需要一个整数"));
    return false;
  }
  out = v;
  return true;
}

int Usage(const QCommandLineParser& parser, const QString& error) {
  Complain(error.toStdString());
  std::fputs(parser.helpText().toLocal8Bit().constData(), stderr);
  return kExitUsage;
}

bool FormatOptions(const QCommandLineParser& parser, Format& format) {
  if (parser.isSet("json") && parser.isSet("csv")) {
    Complain(Tr("--json and --csv exclude each other", "--json 和 --csv 不能同时使用"));
    return false;
  }
  format = parser.isSet("json")  ? Format::kJson
           : parser.isSet("csv") ? Format::kCsv
                                 : Format::kTable;
  return true;
}

// The options of `run --mqtt`; false (after a complaint) when one cannot be used. Nothing said
// here ever holds the password.
bool MqttOptionsFrom(const QCommandLineParser& parser, std::optional<MqttOptions>& out) {
  const QString url = QStringLiteral("mqtt");
  if (!parser.isSet(url)) {
    for (const char* name :
         {"topic-prefix", "qos", "ca", "user", "password-file", "allow-writes"}) {
      if (parser.isSet(QString::fromLatin1(name))) {
        Complain(std::string("--") + name + Tr(" needs --mqtt", " 需要 --mqtt"));
        return false;
      }
    }
    return true;
  }
  MqttOptions o;
  std::string refusal;
  const std::optional<BrokerUrl> broker = ParseBrokerUrl(parser.value(url).toStdString(), &refusal);
  if (!broker) {
    Complain(refusal);
    return false;
  }
  o.broker = *broker;
  if (parser.isSet(QStringLiteral("topic-prefix"))) {
    o.prefix = parser.value(QStringLiteral("topic-prefix")).toStdString();
    if (const std::optional<std::string> why = PrefixRefusal(o.prefix)) {
      Complain(*why);
      return false;
    }
  }
  if (!IntOption(parser, QStringLiteral("qos"), o.qos))
    return false;
  if (o.qos < 0 || o.qos > 2) {
    Complain(Tr("--qos takes 0, 1 or 2", "--qos 只能是 0、1 或 2"));
    return false;
  }
  o.caFile = parser.value(QStringLiteral("ca")).toStdString();
  if (!o.caFile.empty() && !o.broker.tls) {
    Complain(Tr("--ca needs an mqtts:// broker", "--ca 需要 mqtts:// 代理"));
    return false;
  }
  const char* envUser = std::getenv("TALVEK_MQTT_USER");
  o.user = parser.isSet(QStringLiteral("user")) ? parser.value(QStringLiteral("user")).toStdString()
           : envUser != nullptr                 ? envUser
                                                : "";
  if (parser.isSet(QStringLiteral("password-file"))) {
    const std::string file = parser.value(QStringLiteral("password-file")).toStdString();
    std::ifstream in(file);
    std::string line;
    if (!in || !std::getline(in, line)) {
      Complain(std::string(Tr("the password file cannot be read: ", "无法读取密码文件：")) + file);
      return false;
    }
    if (!line.empty() && line.back() == '\r')
      line.pop_back();
    o.password = line;
  } else if (const char* envPassword = std::getenv("TALVEK_MQTT_PASSWORD")) {
    o.password = std::string(envPassword);
  }
  if (o.password && o.user.empty()) {
    Complain(Tr("a broker password needs a user name (--user or TALVEK_MQTT_USER)",
                "代理密码需要用户名 (--user 或 TALVEK_MQTT_USER)"));
    return false;
  }
  o.allowWrites = parser.isSet(QStringLiteral("allow-writes"));
  o.quiet = parser.isSet(QStringLiteral("quiet"));
  out = std::move(o);
  return true;
}

std::vector<std::string> Strings(const QStringList& list) {
  std::vector<std::string> out;
  for (const QString& s : list)
    out.push_back(s.toStdString());
  return out;
}

int Main(const QStringList& arguments) {
  QCommandLineParser parser;
  parser.setApplicationDescription(Q("The drivers and a project's runtime from a terminal.",
                                     "在终端中使用驱动和工程的运行时。") +
                                   QStringLiteral("\n\n") + Q(kSummaryEn, kSummaryZh));
  parser.setOptionsAfterPositionalArgumentsMode(QCommandLineParser::ParseAsOptions);
  const QCommandLineOption help({QStringLiteral("h"), QStringLiteral("help")},
                                Q("Shows this help.", "显示本帮助。"));
  parser.addOption(help);
  parser.addPositionalArgument(QStringLiteral("command"), Q("read, write, run, get, set or tags",
                                                            "read、write、run、get、set 或 tags"));
  // The first pass finds the command only; its options are added below.
  const QStringList head = arguments.mid(0, 2);
  parser.parse(head);
  const QStringList first = parser.positionalArguments();
  if (first.isEmpty()) {
    if (parser.isSet(help)) {
      std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
      return kExitOk;
    }
    return Usage(parser, Q("no command given", "没有给出命令"));
  }
  const QString command = first.front();
  parser.clearPositionalArguments();
  parser.addPositionalArgument(command, QString(), command);

  const QCommandLineOption json(QStringLiteral("json"),
                                Q("One JSON object per line.", "每行一个 JSON 对象。"));
  const QCommandLineOption csv(QStringLiteral("csv"),
                               Q("CSV lines with a header.", "带表头的 CSV 行。"));
  const bool adhoc = command == QLatin1String("read") || command == QLatin1String("write");
  const bool project = command == QLatin1String("run") || command == QLatin1String("get") ||
                       command == QLatin1String("set");
  const bool tags = command == QLatin1String("tags");
  if (!adhoc && !project && !tags)
    return Usage(parser, Q("unknown command: ", "未知命令：") + command);
  if (!tags) {  // a tag file has one format
    parser.addOption(json);
    parser.addOption(csv);
  }

  if (tags) {
    parser.addPositionalArgument(QStringLiteral("action"),
                                 Q("export or import.", "export 或 import。"));
    parser.addPositionalArgument(
        QStringLiteral("project"),
        Q("The project folder or its project file.", "工程文件夹或工程文件。"));
    parser.addPositionalArgument(
        QStringLiteral("file"),
        Q("The CSV file (- for standard output or input).", "CSV 文件 (- 表示标准输出或输入)。"));
    parser.addOptions({
        {QStringLiteral("update"), Q("import: rows naming existing tags overwrite them.",
                                     "import: 与现有变量同名的行覆盖这些变量。")},
        {QStringLiteral("keep"), Q("import: rows naming existing tags leave them as they are.",
                                   "import: 与现有变量同名的行不改变这些变量。")},
    });
  } else if (adhoc) {
    parser.addOptions({
        {QStringLiteral("driver"),
         Q("ppi, modbus-rtu, modbus-ascii, modbus-tcp or s7-tcp (S7 over Ethernet).",
           "ppi、modbus-rtu、modbus-ascii、modbus-tcp 或 s7-tcp (以太网 S7)。"),
         QStringLiteral("driver")},
        {QStringLiteral("line"),
         Q("The line: a device path (/dev/ttyUSB0), a port name (Com3) or host:port for TCP.",
           "线路: 设备路径 (/dev/ttyUSB0)、端口名 (Com3) 或 TCP 的 主机:端口。"),
         QStringLiteral("line")},
        {QStringLiteral("baud"), Q("Baud rate (9600).", "波特率 (9600)。"), QStringLiteral("n")},
        {QStringLiteral("parity"),
         Q("none, odd or even (PPI: even, Modbus: none).",
           "none、odd 或 even (PPI: even, Modbus: none)。"),
         QStringLiteral("parity")},
        {QStringLiteral("timeout"), Q("Answer time-out in ms (1000).", "应答超时，毫秒 (1000)。"),
         QStringLiteral("ms")},
        {QStringLiteral("station"),
         Q("Station or unit (PPI: 2, Modbus: 1).", "站号或单元号 (PPI: 2, Modbus: 1)。"),
         QStringLiteral("n")},
        {QStringLiteral("family"),
         Q("s7-tcp: the PLC family, 200, 300 (S7-300/400, the default) or 1200 (S7-1200/1500).",
           "s7-tcp: PLC 系列，200、300 (S7-300/400，默认) 或 1200 (S7-1200/1500)。"),
         QStringLiteral("family")},
        {QStringLiteral("rack"), Q("s7-tcp: the CPU's rack (0).", "s7-tcp: CPU 的机架号 (0)。"),
         QStringLiteral("n")},
        {QStringLiteral("slot"), Q("s7-tcp: the CPU's slot (2).", "s7-tcp: CPU 的槽号 (2)。"),
         QStringLiteral("n")},
        {QStringLiteral("count"), Q("Rounds to poll (1).", "轮询次数 (1)。"), QStringLiteral("n")},
        {QStringLiteral("interval"),
         Q("Wait between rounds in ms (1000).", "两次轮询之间的等待，毫秒 (1000)。"),
         QStringLiteral("ms")},
    });
    parser.addPositionalArgument(
        QStringLiteral("registers"),
        command == QLatin1String("read")
            ? Q("REGISTER:TYPE..., TYPE one of bit byte int16 uint16 bcd int32 bcd32 float string.",
                "寄存器:类型...，类型为 bit byte int16 uint16 bcd int32 bcd32 float string 之一。")
            : Q("REGISTER:TYPE=VALUE...", "寄存器:类型=值..."),
        QStringLiteral("REGISTER:TYPE..."));
  } else {
    parser.addPositionalArgument(
        QStringLiteral("project"),
        Q("The project folder or its project file.", "工程文件夹或工程文件。"));
    if (command == QLatin1String("run")) {
      parser.addOptions({
          {QStringLiteral("all"), Q("Print every tag each cycle, not only changes.",
                                    "每个周期输出所有变量，而不只是变化的。")},
          {QStringLiteral("stats"),
           Q("Print each device's counters when it stops.", "停止时输出每个设备的统计。")},
          {QStringLiteral("trace"), Q("Print every frame sent and received (standard error).",
                                      "输出收发的每一帧 (标准错误)。")},
          {QStringLiteral("save"), Q("Save the tags' last values into Tag.dat when it stops.",
                                     "停止时把变量的最后值保存到 Tag.dat。")},
          {QStringLiteral("duration"), Q("Stop after S seconds.", "S 秒后停止。"),
           QStringLiteral("s")},
          {QStringLiteral("period"), Q("Polling cycle in ms (1000).", "轮询周期，毫秒 (1000)。"),
           QStringLiteral("ms")},
          {QStringLiteral("quiet"), Q("Print no tags and no events (with --mqtt).",
                                      "不输出变量和事件 (与 --mqtt 一起使用)。")},
          {QStringLiteral("mqtt"),
           Q("Publish to an MQTT broker: mqtt://HOST[:PORT] or mqtts://HOST[:PORT].",
             "发布到 MQTT 代理: mqtt://主机[:端口] 或 mqtts://主机[:端口]。"),
           QStringLiteral("url")},
          {QStringLiteral("topic-prefix"),
           Q("Topic prefix (talvek/<project folder's name>).",
             "主题前缀 (talvek/<工程文件夹名>)。"),
           QStringLiteral("prefix")},
          {QStringLiteral("qos"),
           Q("MQTT quality of service 0, 1 or 2 (1).", "MQTT 服务质量 0、1 或 2 (1)。"),
           QStringLiteral("n")},
          {QStringLiteral("ca"),
           Q("mqtts: the CA certificate file (else the system's certificates).",
             "mqtts: CA 证书文件 (否则使用系统证书)。"),
           QStringLiteral("file")},
          {QStringLiteral("user"),
           Q("Broker user name (else TALVEK_MQTT_USER).", "代理用户名 (否则取 TALVEK_MQTT_USER)。"),
           QStringLiteral("name")},
          {QStringLiteral("password-file"),
           Q("A file whose first line is the broker password (else TALVEK_MQTT_PASSWORD).",
             "第一行为代理密码的文件 (否则取 TALVEK_MQTT_PASSWORD)。"),
           QStringLiteral("file")},
          {QStringLiteral("allow-writes"),
           Q("Carry out writes received on PREFIX/<device>/<tag>/set.",
             "执行在 前缀/<设备>/<变量>/set 上收到的写入。")},
      });
    } else {
      parser.addPositionalArgument(
          QStringLiteral("tags"),
          command == QLatin1String("get") ? Q("Tag names.", "变量名称。")
                                          : Q("TAG=VALUE...", "变量=值..."),
          command == QLatin1String("get") ? QStringLiteral("TAG...")
                                          : QStringLiteral("TAG=VALUE..."));
    }
  }

  QStringList rest = arguments;
  rest.removeAt(1);  // the command
  if (!parser.parse(rest))
    return Usage(parser, parser.errorText());
  if (parser.isSet(help)) {
    std::fputs(parser.helpText().toLocal8Bit().constData(), stdout);
    return kExitOk;
  }
  const std::vector<std::string> positional = Strings(parser.positionalArguments());
  Format format = Format::kTable;
  if (!tags && !FormatOptions(parser, format))
    return kExitUsage;

  int exitCode = kExitUsage;
  platform::CoInitialize(nullptr);
  if (tags) {
    const QString action = positional.empty() ? QString() : QString::fromStdString(positional[0]);
    if (positional.size() != 3 ||
        (action != QLatin1String("export") && action != QLatin1String("import"))) {
      exitCode = Usage(parser, Q("tags takes export or import, a project and a file",
                                 "tags 需要 export 或 import、一个工程和一个文件"));
    } else if (parser.isSet(QStringLiteral("update")) && parser.isSet(QStringLiteral("keep"))) {
      exitCode = Usage(
          parser, Q("--update and --keep exclude each other", "--update 和 --keep 不能同时使用"));
    } else {
      TagsOptions o;
      o.path = positional[1];
      o.file = positional[2];
      if (parser.isSet(QStringLiteral("update")))
        o.existing = talvek::ExistingTags::kUpdate;
      else if (parser.isSet(QStringLiteral("keep")))
        o.existing = talvek::ExistingTags::kKeep;
      exitCode = action == QLatin1String("export") ? TagsExportCommand(o) : TagsImportCommand(o);
    }
  } else if (adhoc) {
    AdhocOptions o;
    o.write = command == QLatin1String("write");
    o.format = format;
    o.driver = parser.value(QStringLiteral("driver")).toStdString();
    o.line = parser.value(QStringLiteral("line")).toStdString();
    o.parity = parser.value(QStringLiteral("parity")).toStdString();
    o.station = parser.value(QStringLiteral("station")).toStdString();
    o.family = parser.value(QStringLiteral("family")).toStdString();
    o.registers = positional;
    if (o.driver.empty() || o.line.empty()) {
      exitCode = Usage(parser, Q("--driver and --line are needed", "需要 --driver 和 --line"));
    } else if (IntOption(parser, QStringLiteral("baud"), o.baud) &&
               IntOption(parser, QStringLiteral("timeout"), o.timeoutMs) &&
               IntOption(parser, QStringLiteral("count"), o.count) &&
               IntOption(parser, QStringLiteral("interval"), o.intervalMs) &&
               IntOption(parser, QStringLiteral("rack"), o.rack) &&
               IntOption(parser, QStringLiteral("slot"), o.slot)) {
      if ((parser.isSet(QStringLiteral("rack")) && o.rack < 0) ||
          (parser.isSet(QStringLiteral("slot")) && o.slot < 0))
        exitCode =
            Usage(parser, Q("--rack and --slot cannot be negative", "--rack 和 --slot 不能为负数"));
      else
        exitCode = AdhocCommand(o);
    }
  } else if (positional.empty()) {
    exitCode = Usage(parser, Q("no project given", "没有给出工程"));
  } else {
    ProjectOptions o;
    o.format = format;
    o.path = positional.front();
    o.tags.assign(positional.begin() + 1, positional.end());
    if (command == QLatin1String("run")) {
      o.all = parser.isSet(QStringLiteral("all"));
      o.stats = parser.isSet(QStringLiteral("stats"));
      o.trace = parser.isSet(QStringLiteral("trace"));
      o.save = parser.isSet(QStringLiteral("save"));
      bool ok = true;
      if (parser.isSet(QStringLiteral("duration"))) {
        o.durationSec = parser.value(QStringLiteral("duration")).toDouble(&ok);
        ok = ok && o.durationSec > 0;
      }
      o.quiet = parser.isSet(QStringLiteral("quiet"));
      if (!ok || !IntOption(parser, QStringLiteral("period"), o.periodMs) || o.periodMs <= 0 ||
          !o.tags.empty()) {
        exitCode =
            Usage(parser, Q("run takes one project, --duration S above 0 and --period MS above 0",
                            "run 只接受一个工程，--duration 和 --period 必须大于 0"));
      } else if (!MqttOptionsFrom(parser, o.mqtt)) {
        exitCode = kExitUsage;
      } else {
        exitCode = RunCommand(o);
      }
    } else if (o.tags.empty()) {
      exitCode = Usage(parser, Q("no tag given", "没有给出变量"));
    } else {
      exitCode = command == QLatin1String("get") ? GetCommand(o) : SetCommand(o);
    }
  }
  platform::CoUninitialize();
  return exitCode;
}

}  // namespace
}  // namespace talvekctl

int main(int argc, char** argv) {
  QCoreApplication app(argc, argv);
  QCoreApplication::setApplicationName(QStringLiteral("talvekctl"));
  return talvekctl::Main(QCoreApplication::arguments());
}
