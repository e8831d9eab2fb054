// regsvr [-s] MODULE: loads an in-process server module and calls its DllRegisterServer, which
// writes the module's class registrations into the registry store (TALVEK_CONFIG_DIR, else the
// user's configuration folder).
//
// MODULE is a path ("build/bin/libOstrel.so") or a Windows module name ("Ostrel.dll"), which is
// looked for as libOstrel.so beside this program, then on the system's library search path, then
// in the current folder. One line tells how it went; -s keeps the outcome quiet. Exit code 0 on
// success, 1 on any failure.
#include <dlfcn.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>

#include "platform/com.h"
#include "platform/module.h"
#include "platform/registry.h"

namespace {

void PrintUsage(FILE* out) {
  std::fputs(
      "usage: regsvr [-s] MODULE\n"
      "Registers the in-process server MODULE (a path, or a name such as Ostrel.dll) by calling\n"
      "its DllRegisterServer.\n"
      "  -s  silent: print nothing about the outcome; the exit code tells it (0 ok, 1 failed)\n",
      out);
}

// Known causes of a failed registration, in words.
const char* DescribeResult(HRESULT hr) {
  switch (hr) {
    case REGDB_E_WRITEREGDB:
      return "the class registration store could not be written";
    case E_OUTOFMEMORY:
      return "out of memory";
    case E_UNEXPECTED:
      return "the module could not determine its own file";
    default:
      return "the module reported a failure";
  }
}

HMODULE LoadModule(const std::string& name) {
  if (HMODULE module = platform::LoadLibraryA(name.c_str()))
    return module;
  // A bare file name in the current folder, as the user typed it there.
  if (name.find('/') == std::string::npos && access(name.c_str(), F_OK) == 0)
    return platform::LoadLibraryA(("./" + name).c_str());
  return nullptr;
}

}  // namespace

int main(int argc, char** argv) {
  bool silent = false;
  const char* moduleName = nullptr;
  bool options = true;
  for (int i = 1; i < argc; ++i) {
    const char* arg = argv[i];
    if (options && std::strcmp(arg, "--") == 0) {
      options = false;
    } else if (options && std::strcmp(arg, "-s") == 0) {
      silent = true;
    } else if (options && (std::strcmp(arg, "-h") == 0 || std::strcmp(arg, "--help") == 0)) {
      PrintUsage(stdout);
      return 0;
    } else if (options && arg[0] == '-' && arg[1] != '\0') {
      std::fprintf(stderr, "regsvr: unknown option %s\n", arg);
      PrintUsage(stderr);
      return 1;
    } else if (!moduleName) {
      moduleName = arg;
    } else {
      std::fprintf(stderr, "regsvr: only one module can be registered at a time\n");
      PrintUsage(stderr);
      return 1;
    }
  }
  if (!moduleName || !*moduleName) {
    PrintUsage(stderr);
    return 1;
  }

  platform::ModuleHandle module(LoadModule(moduleName));
  if (!module) {
    if (!silent) {
      const char* reason = dlerror();
      std::fprintf(stderr, "regsvr: cannot load %s: %s\n", moduleName,
                   reason ? reason : "module not found");
    }
    return 1;
  }
  auto registerServer = module.Symbol<DllRegisterServerFn>("DllRegisterServer");
  if (!registerServer) {
    if (!silent)
      std::fprintf(stderr, "regsvr: %s has no DllRegisterServer entry point\n", moduleName);
    return 1;
  }
  std::string path = platform::ModulePathOf(reinterpret_cast<const void*>(registerServer));
  if (path.empty())
    path = moduleName;

  const HRESULT hr = registerServer();
  if (FAILED(hr)) {
    if (!silent) {
      std::fprintf(stderr, "regsvr: DllRegisterServer in %s failed (0x%08X): %s\n", path.c_str(),
                   static_cast<unsigned>(hr), DescribeResult(hr));
    }
    return 1;
  }
  if (!silent) {
    std::printf("regsvr: DllRegisterServer in %s succeeded (registry %s)\n", path.c_str(),
                platform::Registry::Instance().ConfigDir().c_str());
  }
  return 0;
}
