// Object creation through the class registrations of the registry store; see platform/com.h.
#include "platform/com.h"

#include <dlfcn.h>
#include <limits.h>
#include <link.h>
#include <stdlib.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <map>
#include <mutex>
#include <new>

#include "platform/registry.h"

namespace {

constexpr std::string_view kClassesRoot = "HKEY_CLASSES_ROOT\\";

// Process-wide: there are no apartments, so one counter stands for every thread.
std::mutex& InitMutex() {
  static std::mutex* m = new std::mutex;
  return *m;
}
long g_initCount = 0;

bool IsInitialized() {
  std::lock_guard lock(InitMutex());
  return g_initCount > 0;
}

// Modules loaded by CoCreateInstance, by the path they were registered with. They stay loaded
// for the life of the process: objects and factories they handed out may still be in use, and
// the state is never destroyed because modules may create objects while the process exits.
struct ModuleCache {
  std::mutex mutex;
  std::map<std::string, void*> handles;
};

ModuleCache& Modules() {
  static ModuleCache* cache = new ModuleCache;
  return *cache;
}

// dlopen()s a module once; later calls return the same handle. Null when it does not load.
void* LoadModule(const std::string& path) {
  ModuleCache& cache = Modules();
  std::lock_guard lock(cache.mutex);
  if (auto it = cache.handles.find(path); it != cache.handles.end())
    return it->second;
  void* handle = ::dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (!handle)
    return nullptr;  // not cached: the file may appear later
  cache.handles.emplace(path, handle);
  return handle;
}

// A ProgID names one key below HKEY_CLASSES_ROOT; anything that would reach another key is no
// ProgID.
bool IsValidProgId(std::string_view progId) {
  if (progId.empty() || progId.find('\\') != std::string_view::npos)
    return false;
  if (progId.size() == 5) {
    static constexpr char kClsid[] = "clsid";
    bool same = true;
    for (size_t i = 0; i < 5; ++i) {
      char c = progId[i];
      if (c >= 'A' && c <= 'Z')
        c = static_cast<char>(c + ('a' - 'A'));
      same = same && c == kClsid[i];
    }
    if (same)
      return false;
  }
  return true;
}

HRESULT CreateFromModule(REFCLSID rclsid, REFIID riid, void** ppv) {
  const std::string clsidKey =
      std::string(kClassesRoot) + "CLSID\\" + platform::GuidToString(rclsid);
  std::optional<std::string> path =
      platform::Registry::Instance().GetString(clsidKey + "\\InProcServer32", "");
  if (!path || path->empty())
    return REGDB_E_CLASSNOTREG;

  void* module = LoadModule(*path);
  if (!module)
    return CO_E_DLLNOTFOUND;
  auto getClassObject = reinterpret_cast<DllGetClassObjectFn>(::dlsym(module, "DllGetClassObject"));
  if (!getClassObject)
    return CO_E_ERRORINDLL;

  IClassFactory* factory = nullptr;
  HRESULT hr = getClassObject(rclsid, IID_IClassFactory, reinterpret_cast<void**>(&factory));
  if (FAILED(hr))
    return hr;
  if (!factory)
    return E_UNEXPECTED;
  hr = factory->CreateInstance(nullptr, riid, ppv);
  factory->Release();
  if (FAILED(hr)) {
    *ppv = nullptr;
    return hr;
  }
  return *ppv ? hr : E_UNEXPECTED;
}

}  // namespace

namespace platform {

HRESULT CoInitialize(void* /*reserved*/) {
  std::lock_guard lock(InitMutex());
  return g_initCount++ == 0 ? S_OK : S_FALSE;
}

void CoUninitialize() {
  std::lock_guard lock(InitMutex());
  if (g_initCount > 0)
    --g_initCount;  // an unbalanced call must not drive the count negative
}

HRESULT CoCreateInstance(REFCLSID rclsid, IUnknown* outer, DWORD clsContext, REFIID riid,
                         void** ppv) {
  if (!ppv)
    return E_POINTER;
  *ppv = nullptr;
  if (!IsInitialized())
    return CO_E_NOTINITIALIZED;
  if (outer)
    return CLASS_E_NOAGGREGATION;
  if ((clsContext & CLSCTX_INPROC_SERVER) == 0)
    return REGDB_E_CLASSNOTREG;
  try {
    return CreateFromModule(rclsid, riid, ppv);
  } catch (const std::bad_alloc&) {
    *ppv = nullptr;
    return E_OUTOFMEMORY;
  } catch (...) {
    *ppv = nullptr;
    return E_UNEXPECTED;
  }
}

HRESULT CLSIDFromProgID(const char* progId, CLSID* clsid) {
  if (!progId || !clsid)
    return E_INVALIDARG;
  *clsid = CLSID{};
  try {
    if (!IsValidProgId(progId))
      return CO_E_CLASSSTRING;
    std::optional<std::string> text = platform::Registry::Instance().GetString(
        std::string(kClassesRoot) + progId + "\\CLSID", "");
    CLSID parsed;
    if (!text || !platform::ParseGuid(*text, parsed))
      return CO_E_CLASSSTRING;
    *clsid = parsed;
    return S_OK;
  } catch (const std::bad_alloc&) {
    return E_OUTOFMEMORY;
  }
}

HRESULT CoFileTimeNow(FILETIME* now) {
  if (!now)
    return E_INVALIDARG;
  struct timespec ts;
  if (::clock_gettime(CLOCK_REALTIME, &ts) != 0)
    return E_FAIL;
  // Seconds from 1601-01-01 to 1970-01-01.
  constexpr int64_t kEpochDifference = 11644473600LL;
  const int64_t ticks =
      (static_cast<int64_t>(ts.tv_sec) + kEpochDifference) * 10000000 + ts.tv_nsec / 100;
  now->dwLowDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks));
  now->dwHighDateTime = static_cast<DWORD>(static_cast<uint64_t>(ticks) >> 32);
  return S_OK;
}

std::string GuidToString(const GUID& g) {
  char buf[39];
  std::snprintf(buf, sizeof buf, "{%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X}",
                static_cast<unsigned>(g.Data1), static_cast<unsigned>(g.Data2),
                static_cast<unsigned>(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3],
                g.Data4[4], g.Data4[5], g.Data4[6], g.Data4[7]);
  try {
    return buf;
  } catch (...) {
    return {};
  }
}

bool ParseGuid(std::string_view text, GUID& out) {
  if (text.size() != 38 || text.front() != '{' || text.back() != '}')
    return false;
  // Hex digits of the text after the '{', dashes at their fixed places.
  uint8_t bytes[16];
  size_t n = 0;
  for (size_t i = 1; i < 37;) {
    if (i == 9 || i == 14 || i == 19 || i == 24) {
      if (text[i] != '-')
        return false;
      ++i;
      continue;
    }
    int hi = -1, lo = -1;
    for (int k = 0; k < 2; ++k) {
      const char c = text[i + k];
      int d = -1;
      if (c >= '0' && c <= '9')
        d = c - '0';
      if (c >= 'A' && c <= 'F')
        d = c - 'A' + 10;
      if (c >= 'a' && c <= 'f')
        d = c - 'a' + 10;
      if (d < 0)
        return false;
      (k == 0 ? hi : lo) = d;
    }
    bytes[n++] = static_cast<uint8_t>(hi * 16 + lo);
    i += 2;
  }
  // The text lists Data1..Data3 most significant byte first.
  GUID g;
  g.Data1 = (uint32_t{bytes[0]} << 24) | (uint32_t{bytes[1]} << 16) | (uint32_t{bytes[2]} << 8) |
            bytes[3];
  g.Data2 = static_cast<uint16_t>((bytes[4] << 8) | bytes[5]);
  g.Data3 = static_cast<uint16_t>((bytes[6] << 8) | bytes[7]);
  for (int k = 0; k < 8; ++k)
    g.Data4[k] = bytes[8 + k];
  out = g;
  return true;
}

bool RegisterInprocServer(const CLSID& clsid, std::string_view progId,
                          std::string_view modulePath) {
  try {
    if (!IsValidProgId(progId) || modulePath.empty())
      return false;
    Registry& reg = Registry::Instance();
    const std::string clsidText = GuidToString(clsid);
    const std::string clsidKey = std::string(kClassesRoot) + "CLSID\\" + clsidText;
    const std::string progIdKey = std::string(kClassesRoot) + std::string(progId);
    // The class key first and the ProgID last, so that a registration cut short by a failed
    // write never leaves a ProgID that leads to a class without a module.
    return reg.SetString(clsidKey + "\\InProcServer32", "", modulePath) &&
           reg.SetString(clsidKey + "\\ProgID", "", progId) &&
           reg.SetString(clsidKey, "", progId) && reg.SetString(progIdKey, "", progId) &&
           reg.SetString(progIdKey + "\\CLSID", "", clsidText);
  } catch (...) {
    return false;
  }
}

std::string ModulePathOf(const void* address) {
  try {
    Dl_info info;
    struct link_map* map = nullptr;
    if (!address ||
        ::dladdr1(address, &info, reinterpret_cast<void**>(&map), RTLD_DL_LINKMAP) == 0) {
      return {};
    }
    // The program itself has an empty name in the loader's list.
    const char* name = map && map->l_name ? map->l_name : info.dli_fname;
    if (!name || !*name) {
      char buf[PATH_MAX];
      const ssize_t n = ::readlink("/proc/self/exe", buf, sizeof buf - 1);
      if (n <= 0)
        return {};
      return std::string(buf, static_cast<size_t>(n));
    }
    if (name[0] == '/')
      return name;
    // Loaded by a relative path: make it absolute so that it still works from another folder.
    char resolved[PATH_MAX];
    if (::realpath(name, resolved))
      return resolved;
    return name;
  } catch (...) {
    return {};
  }
}

}  // namespace platform
