// talvek_demo: writes the demo project for the README's run command.
//
//   talvek_demo [--fresh] [--port-link PATH] [--modbus-port PORT] [--s7-port PORT] FOLDER
//
// A demo project that exists already keeps its data files (the user may have edited it); --fresh
// writes them anew. The simulator's files are always rewritten. The PPI driver must be registered
// first (regsvr libOstrel.so): the device takes its class from the driver's ProgID, as the device
// wizard does. The Modbus TCP device takes its class the same way from the Modbus driver
// (regsvr libZireviVer.so); unregistered, it gets the class that driver registers under, with a
// warning. Its server is expected on 127.0.0.1 at PORT (15020 when not given). With --port-link,
// the registry store's port map sends Com1 to PATH (the link the PLC simulator creates). The
// Ethernet PLC takes its class from the ISO-on-TCP driver (regsvr libKestavo.so) and expects the
// simulator's TCP side on 127.0.0.1 at --s7-port (15102 when not given).
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/com.h"
#include "platform/registry.h"
#include "tools/demo/demo_project.h"

namespace {

int Usage(const char* program) {
  std::fprintf(stderr,
               "usage: %s [--fresh] [--port-link PATH] [--modbus-port PORT] [--s7-port PORT] "
               "FOLDER\n",
               program);
  return 2;
}

// A TCP port 1..65535 written in decimal and nothing else; 0 otherwise.
int ParsePort(const char* text) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (end == text || *end != '\0' || value < 1 || value > 65535)
    return 0;
  return static_cast<int>(value);
}

}  // namespace

int main(int argc, char** argv) {
  std::string folder;
  std::string portLink;
  bool fresh = false;
  demo::ModbusDemo modbus;
  demo::EthernetDemo ethernet;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--fresh") == 0) {
      fresh = true;
    } else if (std::strcmp(argv[i], "--port-link") == 0 && i + 1 < argc) {
      portLink = argv[++i];
    } else if (std::strcmp(argv[i], "--modbus-port") == 0 && i + 1 < argc) {
      modbus.tcpPort = ParsePort(argv[++i]);
      if (modbus.tcpPort == 0) {
        std::fprintf(stderr, "talvek_demo: --modbus-port takes a port 1..65535, not %s\n", argv[i]);
        return 2;
      }
    } else if (std::strcmp(argv[i], "--s7-port") == 0 && i + 1 < argc) {
      ethernet.tcpPort = ParsePort(argv[++i]);
      if (ethernet.tcpPort == 0) {
        std::fprintf(stderr, "talvek_demo: --s7-port takes a port 1..65535, not %s\n", argv[i]);
        return 2;
      }
    } else if (argv[i][0] != '-' && folder.empty()) {
      folder = argv[i];
    } else {
      return Usage(argv[0]);
    }
  }
  if (folder.empty())
    return Usage(argv[0]);
  platform::CoInitialize(nullptr);
  CLSID clsid{};
  if (FAILED(platform::CLSIDFromProgID("Ostrel.S7Proto", &clsid))) {
    std::fprintf(stderr,
                 "talvek_demo: the PPI driver is not registered (run regsvr libOstrel.so)\n");
    platform::CoUninitialize();
    return 1;
  }
  if (FAILED(platform::CLSIDFromProgID(demo::kModbusProgId, &modbus.driverClsid))) {
    modbus.driverClsid = demo::kModbusDriverClsid;
    std::fprintf(stderr,
                 "talvek_demo: the Modbus driver is not registered (regsvr libZireviVer.so); its "
                 "device will not communicate until it is\n");
  }
  if (FAILED(platform::CLSIDFromProgID(demo::kS7TcpProgId, &ethernet.driverClsid))) {
    ethernet.driverClsid = demo::kS7TcpDriverClsid;
    std::fprintf(stderr,
                 "talvek_demo: the ISO-on-TCP driver is not registered (regsvr libKestavo.so); "
                 "its PLC will not communicate until it is\n");
  }
  platform::CoUninitialize();
  std::string error;
  const bool exists =
      std::filesystem::exists(std::filesystem::path(folder) / std::string(demo::kProjectFileName));
  const bool written = exists && !fresh
                           ? demo::WriteSimulatorFiles(folder, &error)
                           : demo::WriteDemoProject(folder, clsid, &error, modbus, ethernet);
  if (!written) {
    std::fprintf(stderr, "talvek_demo: %s\n", error.c_str());
    return 1;
  }
  if (!portLink.empty() && !platform::Registry::Instance().SetString(
                               "HKEY_CURRENT_USER\\Software\\VO DAROR\\Ports", "Com1", portLink)) {
    std::fprintf(stderr, "talvek_demo: cannot write the port map in %s\n",
                 platform::Registry::Instance().ConfigDir().c_str());
    return 1;
  }
  std::printf("%s/%s\n", folder.c_str(), std::string(demo::kProjectFileName).c_str());
  return 0;
}
