#include "platform/module.h"

#include <dlfcn.h>
#include <limits.h>
#include <stdio.h>
#include <unistd.h>

#include <cctype>
#include <cstring>

#include "platform/gbk.h"

namespace {

constexpr int kOpenFlags = RTLD_NOW | RTLD_LOCAL;  // unresolved symbols fail the load, not a call

bool EndsWithNoCase(std::string_view text, std::string_view suffix) {
  if (text.size() <= suffix.size())
    return false;  // a bare ".dll" has no module name
  std::string_view tail = text.substr(text.size() - suffix.size());
  for (std::size_t i = 0; i < suffix.size(); ++i) {
    if (std::tolower(static_cast<unsigned char>(tail[i])) != suffix[i])
      return false;
  }
  return true;
}

std::string_view Stem(std::string_view name) {
  return name.substr(0, name.size() - 4);
}

std::string ReadProgramDir() {
  char path[PATH_MAX];
  ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0)
    return ".";
  std::string_view exe(path, static_cast<std::size_t>(n));
  std::size_t slash = exe.rfind('/');
  if (slash == std::string_view::npos)
    return ".";
  if (slash == 0)
    return "/";  // a program in the root folder
  return std::string(exe.substr(0, slash));
}

HMODULE Open(const std::string& file) {
  return dlopen(file.c_str(), kOpenFlags);
}

}  // namespace

namespace platform {

std::string ProgramDir() {
  static const std::string dir = ReadProgramDir();  // the program does not move while it runs
  return dir;
}

std::string ModuleFileFor(std::string_view windowsName) {
  if (windowsName.find('/') != std::string_view::npos)
    return std::string(windowsName);
  std::string dir = ProgramDir();
  if (dir.back() != '/')
    dir += '/';
  if (EndsWithNoCase(windowsName, ".dll")) {
    return dir + "lib" + std::string(Stem(windowsName)) + ".so";
  }
  if (EndsWithNoCase(windowsName, ".exe"))
    return dir + std::string(Stem(windowsName));
  return dir + std::string(windowsName);
}

HMODULE LoadLibraryA(const char* fileName) {
  // dlopen(nullptr) would hand back the program itself; LoadLibraryA has no such meaning.
  if (!fileName || !*fileName)
    return nullptr;
  std::string_view name(fileName);
  if (name.find('/') != std::string_view::npos)
    return Open(std::string(name));

  const std::string local = platform::ModuleFileFor(name);
  if (HMODULE module = Open(local))
    return module;
  // A module that is there but does not load (missing dependency, unresolved symbol) is worth
  // a line: the caller only sees "not found".
  if (access(local.c_str(), F_OK) == 0)
    fprintf(stderr, "LoadLibraryA: %s\n", dlerror());

  // Then the system's library search path, by the bare Linux file name.
  std::string bare =
      EndsWithNoCase(name, ".dll") ? "lib" + std::string(Stem(name)) + ".so" : std::string(name);
  return Open(bare);
}

FARPROC GetProcAddress(HMODULE module, const char* name) {
  if (!module || !name)
    return nullptr;
  return reinterpret_cast<FARPROC>(dlsym(module, name));
}

BOOL FreeLibrary(HMODULE module) {
  if (!module)
    return FALSE;
  return dlclose(module) == 0 ? TRUE : FALSE;
}

int LoadStringA(HMODULE module, UINT id, char* buffer, int size) {
  if (!buffer || size < 1)
    return 0;
  buffer[0] = '\0';
  using StringResourceFn = const char* (*)(unsigned);
  auto lookup = reinterpret_cast<StringResourceFn>(GetProcAddress(module, "TalvekStringResource"));
  if (!lookup)
    return 0;
  const char* text = lookup(id);
  if (!text)
    return 0;
  // Never leave half of a double-byte character before the NUL: the reader would take the NUL
  // as its trail byte.
  const std::size_t n = platform::GbkPrefixLength(text, static_cast<std::size_t>(size) - 1);
  std::memcpy(buffer, text, n);
  buffer[n] = '\0';
  return static_cast<int>(n);
}

}  // namespace platform
