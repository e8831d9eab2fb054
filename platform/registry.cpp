// The registry store: one text file per hive in ConfigDir(), kept in memory and written through.
//
// File format ("HKEY_CLASSES_ROOT.reg", "HKEY_CURRENT_USER.reg", ...), one item per line, lines
// end with '\n' (a '\r' before it is ignored):
//
//   ; comment                        ignored, as are blank lines
//   [Software\VO DAROR\Q9\Settings]  starts a key (path below the hive, parts joined by '\');
//                                    "[]" is the hive's own key; every key is written, even an
//                                    empty one, parents before children, children in creation
//                                    order, so that SubKeys() keeps its order across a reload
//   "name"=s:"text"                  a text value of the current key ("" names the default value)
//   "name"=d:4294967295              a 32-bit number, decimal
//
// Names and texts are byte strings. A byte is written as "%XX" (two upper-case hex digits) when
// it is a control byte, DEL, '%' or '"'; in key paths also ']' and '\'. Bytes >= 0x80 are written
// as they are when the whole string is valid UTF-8 (so Chinese key names stay readable) and as
// "%XX" otherwise (GBK texts), so the file itself is always valid UTF-8 and round-trips any byte.
// A line that does not parse is skipped; a bad key line also skips the values below it.
//
// Changes are applied to a copy of the hive, the copy is written to a temporary file in the same
// folder, synced and renamed over the hive file, and only then replaces the in-memory hive: a
// failed write leaves both the file and the memory as they were.
//
// Each access compares the hive file's identity (device, inode, size, mtime) with the one last
// read or written, and re-reads it when another process (tools/regsvr, a second program) has
// replaced it since.
#include "platform/registry.h"

#include <fcntl.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <mutex>
#include <span>
#include <utility>

#include "platform/atomic_file.h"
#include "platform/hex.h"
#include "platform/unique_fd.h"

namespace platform {
namespace {

// ---------------------------------------------------------------------------------------------
// Names

// True when `s` is well-formed UTF-8 (no overlong forms, no surrogates, at most U+10FFFF).
bool IsValidUtf8(std::string_view s) {
  size_t i = 0;
  while (i < s.size()) {
    const auto c = static_cast<unsigned char>(s[i]);
    if (c < 0x80) {
      ++i;
      continue;
    }
    size_t len;
    uint32_t cp;
    if (c >= 0xC2 && c <= 0xDF) {
      len = 2;
      cp = c & 0x1F;
    } else if (c >= 0xE0 && c <= 0xEF) {
      len = 3;
      cp = c & 0x0F;
    } else if (c >= 0xF0 && c <= 0xF4) {
      len = 4;
      cp = c & 0x07;
    } else {
      return false;
    }
    if (i + len > s.size())
      return false;
    for (size_t k = 1; k < len; ++k) {
      const auto t = static_cast<unsigned char>(s[i + k]);
      if ((t & 0xC0) != 0x80)
        return false;
      cp = (cp << 6) | (t & 0x3F);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && cp < 0x10000) || cp > 0x10FFFF ||
        (cp >= 0xD800 && cp <= 0xDFFF)) {
      return false;
    }
    i += len;
  }
  return true;
}

// Walks a name byte by byte, yielding the byte to compare. ASCII letters fold to lower case, but
// in a name that is not UTF-8 (a GBK name) the byte after a lead byte 0x81..0xFE is a trail byte
// that may look like an ASCII letter and must stay as it is: "\x81\x41" and "\x81\x61" are two
// different characters.
class Folder {
 public:
  explicit Folder(std::string_view s) : s_(s), utf8_(IsValidUtf8(s)) {}
  unsigned char Next(size_t i) {
    const auto c = static_cast<unsigned char>(s_[i]);
    if (trail_) {
      trail_ = false;
      return c;
    }
    if (!utf8_ && c >= 0x81 && c <= 0xFE)
      trail_ = true;
    return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c + ('a' - 'A')) : c;
  }

 private:
  std::string_view s_;
  bool utf8_;
  bool trail_ = false;
};

bool NameEquals(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  Folder fa(a), fb(b);
  for (size_t i = 0; i < a.size(); ++i) {
    if (fa.Next(i) != fb.Next(i))
      return false;
  }
  return true;
}

// ---------------------------------------------------------------------------------------------
// The tree

struct Value {
  std::string name;
  bool isDword = false;
  std::string text;
  uint32_t number = 0;
};

struct Key {
  std::string name;
  std::vector<Value> values;  // in creation order
  std::vector<Key> children;  // in creation order
};

Key* FindChild(Key& key, std::string_view name) {
  for (Key& child : key.children) {
    if (NameEquals(child.name, name))
      return &child;
  }
  return nullptr;
}

Key& FindOrAddChild(Key& key, std::string_view name) {
  if (Key* child = FindChild(key, name))
    return *child;
  key.children.push_back(Key{std::string(name), {}, {}});
  return key.children.back();
}

Value* FindValue(Key& key, std::string_view name) {
  for (Value& v : key.values) {
    if (NameEquals(v.name, name))
      return &v;
  }
  return nullptr;
}

const Value* FindValue(const Key& key, std::string_view name) {
  return FindValue(const_cast<Key&>(key), name);
}

// ---------------------------------------------------------------------------------------------
// Paths

constexpr std::array<std::string_view, 5> kHiveNames = {"HKEY_CLASSES_ROOT", "HKEY_CURRENT_USER",
                                                        "HKEY_LOCAL_MACHINE", "HKEY_USERS",
                                                        "HKEY_CURRENT_CONFIG"};
constexpr std::array<std::string_view, 5> kHiveShortNames = {"HKCR", "HKCU", "HKLM", "HKU", "HKCC"};

// A key path split into its hive and the parts below it (views into the caller's text).
struct KeyPath {
  size_t hive = 0;
  std::vector<std::string_view> parts;
};

// "HKEY_CURRENT_USER\Software\X" -> hive 1, {"Software", "X"}. Empty parts (doubled or trailing
// separators) are ignored. False for an unknown hive.
bool ParseKeyPath(std::string_view path, KeyPath& out) {
  out.parts.clear();
  bool haveHive = false;
  size_t start = 0;
  while (start <= path.size()) {
    size_t end = path.find('\\', start);
    if (end == std::string_view::npos)
      end = path.size();
    std::string_view part = path.substr(start, end - start);
    start = end + 1;
    if (part.empty())
      continue;
    if (!haveHive) {
      bool found = false;
      for (size_t h = 0; h < kHiveNames.size(); ++h) {
        if (NameEquals(part, kHiveNames[h]) || NameEquals(part, kHiveShortNames[h])) {
          out.hive = h;
          found = true;
          break;
        }
      }
      if (!found)
        return false;
      haveHive = true;
    } else {
      out.parts.push_back(part);
    }
  }
  return haveHive;
}

Key* FindKey(Key& root, std::span<const std::string_view> parts) {
  Key* key = &root;
  for (std::string_view part : parts) {
    key = FindChild(*key, part);
    if (!key)
      return nullptr;
  }
  return key;
}

Key& FindOrAddKey(Key& root, const std::vector<std::string_view>& parts) {
  Key* key = &root;
  for (std::string_view part : parts)
    key = &FindOrAddChild(*key, part);
  return *key;
}

// ---------------------------------------------------------------------------------------------
// Text form

void AppendEscaped(std::string& out, std::string_view s, bool keyPart) {
  const bool rawHigh = IsValidUtf8(s);
  for (char ch : s) {
    const auto c = static_cast<unsigned char>(ch);
    bool escape = c < 0x20 || c == 0x7F || c == '%' || c == '"' || (c >= 0x80 && !rawHigh) ||
                  (keyPart && (c == ']' || c == '\\'));
    if (escape) {
      out += '%';
      out += kHexDigits[c >> 4];
      out += kHexDigits[c & 0x0F];
    } else {
      out += ch;
    }
  }
}

// Undoes AppendEscaped. False on a malformed escape.
bool Unescape(std::string_view s, std::string& out) {
  out.clear();
  for (size_t i = 0; i < s.size(); ++i) {
    if (s[i] != '%') {
      out += s[i];
      continue;
    }
    if (i + 2 >= s.size())
      return false;
    const int hi = HexValue(static_cast<unsigned char>(s[i + 1]));
    const int lo = HexValue(static_cast<unsigned char>(s[i + 2]));
    if (hi < 0 || lo < 0)
      return false;
    out += static_cast<char>(hi * 16 + lo);
    i += 2;
  }
  return true;
}

void SerializeKey(const Key& key, std::string& path, bool isRoot, std::string& out) {
  if (!isRoot) {
    out += '[';
    out += path;
    out += "]\n";
  }
  for (const Value& v : key.values) {
    out += '"';
    AppendEscaped(out, v.name, false);
    if (v.isDword) {
      char buf[16];
      std::snprintf(buf, sizeof buf, "\"=d:%u\n", static_cast<unsigned>(v.number));
      out += buf;
    } else {
      out += "\"=s:\"";
      AppendEscaped(out, v.text, false);
      out += "\"\n";
    }
  }
  for (const Key& child : key.children) {
    const size_t mark = path.size();
    if (!path.empty())
      path += '\\';
    AppendEscaped(path, child.name, true);
    SerializeKey(child, path, false, out);
    path.resize(mark);
  }
}

std::string Serialize(std::string_view hiveName, const Key& root) {
  std::string out = "; Talvek registry store: ";
  out += hiveName;
  out += '\n';
  std::string path;
  SerializeKey(root, path, true, out);
  return out;
}

// Parses `"name"=s:"text"` or `"name"=d:123`. False when the line is malformed.
bool ParseValueLine(std::string_view line, Value& out) {
  if (line.size() < 2 || line[0] != '"')
    return false;
  const size_t close = line.find('"', 1);
  if (close == std::string_view::npos)
    return false;
  if (!Unescape(line.substr(1, close - 1), out.name))
    return false;
  std::string_view rest = line.substr(close + 1);
  if (rest.substr(0, 3) == "=s:") {
    rest.remove_prefix(3);
    if (rest.size() < 2 || rest.front() != '"' || rest.back() != '"')
      return false;
    rest = rest.substr(1, rest.size() - 2);
    if (rest.find('"') != std::string_view::npos)
      return false;
    out.isDword = false;
    out.number = 0;
    return Unescape(rest, out.text);
  }
  if (rest.substr(0, 3) == "=d:") {
    rest.remove_prefix(3);
    if (rest.empty() || rest.size() > 10)
      return false;
    uint64_t n = 0;
    for (char c : rest) {
      if (c < '0' || c > '9')
        return false;
      n = n * 10 + static_cast<uint64_t>(c - '0');
    }
    if (n > 0xFFFFFFFFu)
      return false;
    out.isDword = true;
    out.text.clear();
    out.number = static_cast<uint32_t>(n);
    return true;
  }
  return false;
}

// Parses "[a\b\c]" into the key it names below `root`, creating it. Null when malformed.
Key* ParseKeyLine(std::string_view line, Key& root) {
  if (line.size() < 2 || line.front() != '[' || line.back() != ']')
    return nullptr;
  std::string_view inner = line.substr(1, line.size() - 2);
  if (inner.empty())
    return &root;
  std::vector<std::string> parts;
  size_t start = 0;
  while (true) {
    size_t end = inner.find('\\', start);
    if (end == std::string_view::npos)
      end = inner.size();
    std::string part;
    if (end == start || !Unescape(inner.substr(start, end - start), part))
      return nullptr;
    parts.push_back(std::move(part));
    if (end == inner.size())
      break;
    start = end + 1;
  }
  Key* key = &root;
  for (const std::string& part : parts)
    key = &FindOrAddChild(*key, part);
  return key;
}

Key Parse(std::string_view text) {
  Key root;
  Key* current = &root;
  size_t start = 0;
  while (start < text.size()) {
    size_t end = text.find('\n', start);
    if (end == std::string_view::npos)
      end = text.size();
    std::string_view line = text.substr(start, end - start);
    start = end + 1;
    if (!line.empty() && line.back() == '\r')
      line.remove_suffix(1);
    if (line.empty() || line[0] == ';' || line[0] == '#')
      continue;
    if (line[0] == '[') {
      current = ParseKeyLine(line, root);  // null: skip this section's values
      continue;
    }
    Value v;
    if (!current || !ParseValueLine(line, v))
      continue;
    if (Value* existing = FindValue(*current, v.name)) {
      *existing = std::move(v);
    } else {
      current->values.push_back(std::move(v));
    }
  }
  return root;
}

// ---------------------------------------------------------------------------------------------
// Files

// What identifies one version of a hive file.
struct FileStamp {
  bool exists = false;
  dev_t dev = 0;
  ino_t ino = 0;
  off_t size = 0;
  int64_t mtimeNs = 0;

  static FileStamp Of(const struct stat& st) {
    return FileStamp{true, st.st_dev, st.st_ino, st.st_size,
                     static_cast<int64_t>(st.st_mtim.tv_sec) * 1000000000 + st.st_mtim.tv_nsec};
  }
  bool operator==(const FileStamp&) const = default;
};

// Replaces `path` with `content` atomically (see WriteFileAtomically in atomic_file.h); the file
// is readable by its owner only. Creates the folder when missing. Fills `stamp` with the new
// file's identity.
bool WriteHiveFile(const std::string& dir, const std::string& path, std::string_view content,
                   FileStamp& stamp) {
  if (dir.empty())
    return false;
  std::error_code ec;
  std::filesystem::create_directories(dir, ec);
  if (ec)
    return false;

  struct stat st;
  AtomicWriteOptions options;
  options.mode = 0600;
  options.written = &st;
  if (WriteFileAtomically(path, content, options) != 0)
    return false;
  stamp = FileStamp::Of(st);
  return true;
}

enum class ReadResult { kOk, kMissing, kError };

ReadResult ReadFile(const std::string& path, std::string& content, FileStamp& stamp) {
  UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
  if (!fd)
    return errno == ENOENT ? ReadResult::kMissing : ReadResult::kError;
  struct stat st;
  if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode))
    return ReadResult::kError;
  content.clear();
  char buf[65536];
  while (true) {
    const ssize_t n = ::read(fd.get(), buf, sizeof buf);
    if (n < 0) {
      if (errno == EINTR)
        continue;
      return ReadResult::kError;
    }
    if (n == 0)
      break;
    content.append(buf, static_cast<size_t>(n));
  }
  stamp = FileStamp::Of(st);
  return ReadResult::kOk;
}

std::string ConfigDirFromEnvironment() {
  if (const char* dir = std::getenv("TALVEK_CONFIG_DIR"); dir && *dir) {
    std::string s = dir;
    while (s.size() > 1 && s.back() == '/')
      s.pop_back();
    return s;
  }
  std::string base;
  if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg && xdg[0] == '/') {
    base = xdg;
  } else {
    std::string home;
    if (const char* h = std::getenv("HOME"); h && *h) {
      home = h;
    } else {
      struct passwd pw;
      struct passwd* found = nullptr;
      std::vector<char> buf(16384);
      if (::getpwuid_r(::getuid(), &pw, buf.data(), buf.size(), &found) == 0 && found &&
          found->pw_dir) {
        home = found->pw_dir;
      }
    }
    if (home.empty())
      return {};  // nowhere to keep the store: every write fails
    base = home + "/.config";
  }
  while (base.size() > 1 && base.back() == '/')
    base.pop_back();
  return base + "/VO DAROR";
}

struct Hive {
  Key root;
  bool loaded = false;
  // The file exists but could not be read: writing now would replace content we never saw.
  bool unreadable = false;
  FileStamp stamp;
};

}  // namespace

struct Registry::Impl {
  std::mutex mutex;
  std::string dir;
  std::array<Hive, kHiveNames.size()> hives;

  std::string HivePath(size_t hive) const {
    return dir + "/" + std::string(kHiveNames[hive]) + ".reg";
  }

  // Brings a hive up to date with its file: loads it on first use and re-reads it when another
  // process replaced it. Caller holds the mutex.
  Hive& Refresh(size_t index) {
    Hive& hive = hives[index];
    if (dir.empty()) {
      hive.loaded = true;
      return hive;
    }
    const std::string path = HivePath(index);
    struct stat st;
    if (::stat(path.c_str(), &st) != 0) {
      if (errno == ENOENT) {
        if (!hive.loaded || hive.stamp.exists)
          hive.root = Key{};
        hive.stamp = FileStamp{};
        hive.unreadable = false;
      } else if (!hive.loaded) {
        hive.unreadable = true;
      }
      hive.loaded = true;
      return hive;
    }
    if (hive.loaded && !hive.unreadable && hive.stamp == FileStamp::Of(st))
      return hive;
    std::string content;
    FileStamp stamp;
    switch (ReadFile(path, content, stamp)) {
      case ReadResult::kOk:
        hive.root = Parse(content);
        hive.stamp = stamp;
        hive.unreadable = false;
        break;
      case ReadResult::kMissing:
        hive.root = Key{};
        hive.stamp = FileStamp{};
        hive.unreadable = false;
        break;
      case ReadResult::kError:
        if (!hive.loaded)
          hive.unreadable = true;
        break;
    }
    hive.loaded = true;
    return hive;
  }

  // Writes `root` as the new content of a hive and, only when that worked, makes it current.
  bool Commit(size_t index, Key&& root) {
    Hive& hive = hives[index];
    if (hive.unreadable)
      return false;
    FileStamp stamp;
    if (!WriteHiveFile(dir, HivePath(index), Serialize(kHiveNames[index], root), stamp)) {
      return false;
    }
    hive.root = std::move(root);
    hive.stamp = stamp;
    return true;
  }

  // Applies `change` to a copy of the hive named by `key` and commits it. `change` returns false
  // when it changed nothing, which needs no write.
  template <typename Change>
  bool Mutate(std::string_view key, Change&& change) {
    KeyPath path;
    if (!ParseKeyPath(key, path))
      return false;
    std::lock_guard lock(mutex);
    Hive& hive = Refresh(path.hive);
    Key copy = hive.root;
    if (!change(copy, path.parts))
      return true;
    return Commit(path.hive, std::move(copy));
  }

  // Runs `read` on the key named by `key`, or returns `fallback` when it does not exist.
  template <typename Result, typename Read>
  Result Lookup(std::string_view key, Result fallback, Read&& read) {
    KeyPath path;
    if (!ParseKeyPath(key, path))
      return fallback;
    std::lock_guard lock(mutex);
    const Key* found = FindKey(Refresh(path.hive).root, path.parts);
    return found ? read(*found) : fallback;
  }
};

namespace {

// Sets a value on a key, creating both; false when the value already held exactly that.
bool SetValue(Key& root, const std::vector<std::string_view>& parts, std::string_view name,
              const Value& value) {
  if (const Key* existing = FindKey(root, parts)) {
    if (const Value* v = FindValue(*existing, name)) {
      if (v->isDword == value.isDword && v->text == value.text && v->number == value.number) {
        return false;
      }
    }
  }
  Key& key = FindOrAddKey(root, parts);
  if (Value* v = FindValue(key, name)) {
    // The value keeps the case of the name it was created with.
    v->isDword = value.isDword;
    v->text = value.text;
    v->number = value.number;
  } else {
    key.values.push_back(value);
    key.values.back().name = std::string(name);
  }
  return true;
}

}  // namespace

Registry::Registry() : impl_(new Impl) {
  impl_->dir = ConfigDirFromEnvironment();
}

Registry& Registry::Instance() {
  // Never destroyed: modules may still use the store while the process exits.
  static Registry* instance = new Registry;
  return *instance;
}

void Registry::Reload() {
  try {
    std::string dir = ConfigDirFromEnvironment();
    std::lock_guard lock(impl_->mutex);
    impl_->dir = std::move(dir);
    for (Hive& hive : impl_->hives)
      hive = Hive{};
  } catch (...) {
    // Out of memory: keep the state we have.
  }
}

std::string Registry::ConfigDir() const {
  try {
    std::lock_guard lock(impl_->mutex);
    return impl_->dir;
  } catch (...) {
    return {};
  }
}

bool Registry::SetString(std::string_view key, std::string_view name, std::string_view value) {
  try {
    Value v;
    v.text = std::string(value);
    return impl_->Mutate(key, [&](Key& root, const std::vector<std::string_view>& parts) {
      return SetValue(root, parts, name, v);
    });
  } catch (...) {
    return false;
  }
}

bool Registry::SetDword(std::string_view key, std::string_view name, uint32_t value) {
  try {
    Value v;
    v.isDword = true;
    v.number = value;
    return impl_->Mutate(key, [&](Key& root, const std::vector<std::string_view>& parts) {
      return SetValue(root, parts, name, v);
    });
  } catch (...) {
    return false;
  }
}

std::optional<std::string> Registry::GetString(std::string_view key, std::string_view name) const {
  try {
    return impl_->Lookup(key, std::optional<std::string>(), [&](const Key& k) {
      const Value* v = FindValue(k, name);
      return (v && !v->isDword) ? std::optional<std::string>(v->text) : std::nullopt;
    });
  } catch (...) {
    return std::nullopt;
  }
}

std::optional<uint32_t> Registry::GetDword(std::string_view key, std::string_view name) const {
  try {
    return impl_->Lookup(key, std::optional<uint32_t>(), [&](const Key& k) {
      const Value* v = FindValue(k, name);
      return (v && v->isDword) ? std::optional<uint32_t>(v->number) : std::nullopt;
    });
  } catch (...) {
    return std::nullopt;
  }
}

bool Registry::DeleteValue(std::string_view key, std::string_view name) {
  try {
    return impl_->Mutate(key, [&](Key& root, const std::vector<std::string_view>& parts) {
      Key* k = FindKey(root, parts);
      if (!k)
        return false;
      for (auto it = k->values.begin(); it != k->values.end(); ++it) {
        if (NameEquals(it->name, name)) {
          k->values.erase(it);
          return true;
        }
      }
      return false;
    });
  } catch (...) {
    return false;
  }
}

bool Registry::DeleteKey(std::string_view key) {
  try {
    KeyPath path;
    // A hive itself cannot be removed.
    if (!ParseKeyPath(key, path) || path.parts.empty())
      return false;
    return impl_->Mutate(key, [&](Key& root, const std::vector<std::string_view>& parts) {
      Key* parent = FindKey(root, std::span(parts).first(parts.size() - 1));
      if (!parent)
        return false;
      for (auto it = parent->children.begin(); it != parent->children.end(); ++it) {
        if (NameEquals(it->name, parts.back())) {
          parent->children.erase(it);
          return true;
        }
      }
      return false;
    });
  } catch (...) {
    return false;
  }
}

bool Registry::KeyExists(std::string_view key) const {
  try {
    return impl_->Lookup(key, false, [](const Key&) { return true; });
  } catch (...) {
    return false;
  }
}

std::vector<std::string> Registry::SubKeys(std::string_view key) const {
  try {
    return impl_->Lookup(key, std::vector<std::string>(), [](const Key& k) {
      std::vector<std::string> names;
      names.reserve(k.children.size());
      for (const Key& child : k.children)
        names.push_back(child.name);
      return names;
    });
  } catch (...) {
    return {};
  }
}

}  // namespace platform
