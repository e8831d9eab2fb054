// Loading modules by their Windows file names.
//
// LoadLibraryA("Almery.dll") looks for "libAlmery.so" beside the running program first, then in
// the system's library search path; a name that contains '/' is used as it is. Modules stay
// loaded until FreeLibrary (ModuleHandle does that for you).
#pragma once

#include <string>
#include <string_view>
#include <utility>

#include "platform/win_types.h"

using HMODULE = void*;
using FARPROC = void (*)();

namespace platform {

// Loads a module; nullptr when it cannot be found or loaded.
HMODULE LoadLibraryA(const char* fileName);
// Looks an exported symbol up; nullptr when absent.
FARPROC GetProcAddress(HMODULE module, const char* name);
// Unloads a module loaded by LoadLibraryA. TRUE on success.
BOOL FreeLibrary(HMODULE module);

// Copies string resource `id` of `module` into `buffer` (GBK, NUL-terminated, cut to size - 1 bytes
// at a character boundary) and returns the bytes copied, without the NUL. Returns 0 when the module
// has no such string (buffer[0] is then NUL) or when buffer is null or size < 1.
//
// A module provides string resources by exporting, with C linkage,
//   const char* TalvekStringResource(unsigned id);
// which returns the GBK text of `id`, or null when it has none. An empty text counts as absent,
// as on Windows, where a string table cannot hold an empty string.
int LoadStringA(HMODULE module, UINT id, char* buffer, int size);

// Folder of the running program, without a trailing '/'.
std::string ProgramDir();

// The Linux file that stands for a Windows module or program name: "Almery.dll" ->
// "<program dir>/libAlmery.so", "Dodu.exe" -> "<program dir>/Dodu"; a name with '/' unchanged.
std::string ModuleFileFor(std::string_view windowsName);

// Owns a loaded module; move-only.
class ModuleHandle {
 public:
  ModuleHandle() = default;
  explicit ModuleHandle(HMODULE h) : h_(h) {}
  ~ModuleHandle() { reset(); }
  ModuleHandle(ModuleHandle&& o) noexcept : h_(std::exchange(o.h_, nullptr)) {}
  ModuleHandle& operator=(ModuleHandle&& o) noexcept {
    if (this != &o)
      reset(std::exchange(o.h_, nullptr));
    return *this;
  }
  ModuleHandle(const ModuleHandle&) = delete;
  ModuleHandle& operator=(const ModuleHandle&) = delete;

  HMODULE get() const { return h_; }
  explicit operator bool() const { return h_ != nullptr; }
  [[nodiscard]] HMODULE release() { return std::exchange(h_, nullptr); }
  void reset(HMODULE h = nullptr) {
    if (h_)
      FreeLibrary(h_);
    h_ = h;
  }

  // Typed export lookup: auto fn = module.Symbol<int (*)(int)>("Show").
  template <typename Fn>
  Fn Symbol(const char* name) const {
    return h_ ? reinterpret_cast<Fn>(GetProcAddress(h_, name)) : nullptr;
  }

 private:
  HMODULE h_ = nullptr;
};

}  // namespace platform
