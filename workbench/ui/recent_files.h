// The recent-project list: up to four project files, newest first, kept in the application
// profile's section "Recent File List" as the values "File1" (newest) to "File4".
//
//   CRecentFileList recent;                    // reads the profile
//   recent.Add("/home/u/工程/泵站/泵站.ZRPrj");   // to the head, written through at once
//   menu->addAction(recent.MenuLabel(0));      // "&1 /home/u/工程/泵站/泵站.ZRPrj"
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include <QString>

namespace talvek {

// The section of the application profile that holds the list, below kAppProfileKey.
inline constexpr std::string_view kRecentFileSectionName = "Recent File List";
// The section's full key.
std::string RecentFileSectionKey();
// Value names are made with this pattern and the entry's number, 1 to the list's size.
inline constexpr const char* kRecentFileEntryFormat = "File%d";
// Number of entries the workbench keeps.
inline constexpr std::size_t kRecentFileCount = 4;
// Display names are shortened to at most this many characters.
inline constexpr int kRecentFileDisplayLength = 30;

// `path` shortened to at most `maxLength` characters for a menu: unchanged when it fits; else the
// root "/", "..." and as many trailing folders and the file name as fit ("/.../泵站/泵站.ZRPrj");
// else the bare file name, even when that alone is longer. Counts characters, never bytes, so a
// Chinese name is never cut inside a character.
QString AbbreviatePath(const QString& path, int maxLength = kRecentFileDisplayLength);

class CRecentFileList {
 public:
  // An empty list of `size` entries; call Load to fill it from the profile.
  explicit CRecentFileList(std::size_t size = kRecentFileCount) : size_(size) {}

  // Replaces the entries by the profile's "File1".."File<size>" (empty and missing values are
  // skipped). Reads the registry store as it is now.
  void Load();
  // Writes every entry to the profile, removing values of entries that no longer exist. False
  // when the store cannot be written.
  bool Save() const;

  // Puts `path` (UTF-8, absolute) at the head; an equal entry further down moves up instead of
  // appearing twice, and an entry pushed past the end is dropped. Saves at once, so the list
  // survives a crash. False when the store could not be written (the list in memory changed).
  bool Add(std::string_view path);
  // Removes entry `index` (a project that no longer opens) and saves.
  bool Remove(std::size_t index);

  std::size_t Size() const { return size_; }
  std::size_t Count() const { return entries_.size(); }
  bool IsEmpty() const { return entries_.empty(); }
  // The full path of entry `index` (UTF-8).
  const std::string& Entry(std::size_t index) const { return entries_.at(index); }
  // The entry's display name: its full path abbreviated to kRecentFileDisplayLength.
  QString DisplayName(std::size_t index) const;
  // The entry's menu caption: "&<(index + 1) mod 10> " and the display name with every "&"
  // doubled, so a path such as "R&D" is shown as written instead of becoming a shortcut.
  QString MenuLabel(std::size_t index) const;

 private:
  std::size_t size_;
  std::vector<std::string> entries_;
};

}  // namespace talvek
