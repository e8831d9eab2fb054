// A small persistent key/value store standing in for the Windows registry: the class
// registrations (HKEY_CLASSES_ROOT) and the application profile (HKEY_CURRENT_USER).
//
// Keys are backslash-separated paths whose first part is the hive, for example
// "HKEY_CLASSES_ROOT\CLSID\{...}\InProcServer32" or
// "HKEY_CURRENT_USER\Software\VO DAROR\Talvek\Settings". Key and value names compare without
// regard to ASCII case, as on Windows; values are byte strings (GBK where they are texts) or
// 32-bit numbers; the empty value name is the key's default value.
//
// The store lives in files under the folder named by TALVEK_CONFIG_DIR, else
// "${XDG_CONFIG_HOME:-~/.config}/VO DAROR/". Every change is written through at once, atomically
// (temporary file + rename), and a failed write is reported, so callers can show their error box.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

class Registry {
 public:
  // The process-wide store. Thread-safe.
  static Registry& Instance();

  // Re-reads the configuration folder (from the environment) and the files in it. Tests call this
  // after pointing TALVEK_CONFIG_DIR at a fresh folder.
  void Reload();

  // The folder that holds the store's files.
  std::string ConfigDir() const;

  // Sets a text value, creating the key and its parents. False when the store cannot be written.
  [[nodiscard]] bool SetString(std::string_view key, std::string_view name,
                               std::string_view value);
  [[nodiscard]] bool SetDword(std::string_view key, std::string_view name, uint32_t value);

  // Reads a value; nullopt when the key or the value does not exist or has the other type.
  std::optional<std::string> GetString(std::string_view key, std::string_view name) const;
  std::optional<uint32_t> GetDword(std::string_view key, std::string_view name) const;

  // Removes one value, or a key with everything below it. False when the store cannot be written;
  // removing what does not exist succeeds.
  [[nodiscard]] bool DeleteValue(std::string_view key, std::string_view name);
  [[nodiscard]] bool DeleteKey(std::string_view key);

  bool KeyExists(std::string_view key) const;
  // Names of the direct sub-keys of `key`, in the order they were created.
  std::vector<std::string> SubKeys(std::string_view key) const;

 private:
  Registry();
  struct Impl;
  Impl* impl_;
};

}  // namespace platform
