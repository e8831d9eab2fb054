// talvek_demo: writes the demo project for the README's run command.
//
//   talvek_demo [--fresh] [--port-link PATH] FOLDER
//
// A demo project that exists already keeps its data files (the user may have edited it); --fresh
// writes them anew. The simulator's files are always rewritten. The PPI driver must be registered
// first (regsvr libOstrel.so): the device takes its class from the driver's ProgID, as the device
// wizard does. With --port-link, the registry store's port map sends Com1 to PATH (the link the
// PLC simulator creates).
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "platform/com.h"
#include "platform/registry.h"
#include "tools/demo/demo_project.h"

int main(int argc, char** argv) {
  std::string folder;
  std::string portLink;
  bool fresh = false;
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--fresh") == 0) {
      fresh = true;
    } else if (std::strcmp(argv[i], "--port-link") == 0 && i + 1 < argc) {
      portLink = argv[++i];
    } else if (argv[i][0] != '-' && folder.empty()) {
      folder = argv[i];
    } else {
      std::fprintf(stderr, "usage: %s [--fresh] [--port-link PATH] FOLDER\n", argv[0]);
      return 2;
    }
  }
  if (folder.empty()) {
    std::fprintf(stderr, "usage: %s [--fresh] [--port-link PATH] FOLDER\n", argv[0]);
    return 2;
  }
  CoInitialize(nullptr);
  CLSID clsid{};
  if (FAILED(CLSIDFromProgID("Ostrel.S7Proto", &clsid))) {
    std::fprintf(stderr,
                 "talvek_demo: the PPI driver is not registered (run regsvr libOstrel.so)\n");
    CoUninitialize();
    return 1;
  }
  CoUninitialize();
  std::string error;
  const bool exists =
      std::filesystem::exists(std::filesystem::path(folder) / std::string(demo::kProjectFileName));
  const bool written = exists && !fresh ? demo::WriteSimulatorFiles(folder, &error)
                                        : demo::WriteDemoProject(folder, clsid, &error);
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
