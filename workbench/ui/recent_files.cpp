#include "workbench/ui/recent_files.h"

#include <algorithm>
#include <cstdio>
#include <optional>

#include <QStringList>

#include "platform/registry.h"
#include "workbench/project/app_profile.h"

namespace talvek {
namespace {

std::string ValueName(std::size_t number) {
  char name[32];
  std::snprintf(name, sizeof name, kRecentFileEntryFormat, static_cast<int>(number));
  return name;
}

}  // namespace

std::string RecentFileSectionKey() {
  return std::string(kAppProfileKey) + "\\" + std::string(kRecentFileSectionName);
}

QString AbbreviatePath(const QString& path, int maxLength) {
  if (path.size() <= maxLength)
    return path;
  const qsizetype slash = path.lastIndexOf(QLatin1Char('/'));
  const QString fileName = slash < 0 ? path : path.mid(slash + 1);
  if (slash < 0 || fileName.size() > maxLength)
    return fileName;
  // Keep the root, then drop leading folders until "/..." and the rest fit.
  const QString root = path.startsWith(QLatin1Char('/')) ? QStringLiteral("/") : QString();
  QString rest = path.mid(root.size());
  const QString ellipsis = QStringLiteral("...");
  for (;;) {
    const qsizetype next = rest.indexOf(QLatin1Char('/'));
    if (next < 0)
      break;  // only the file name is left
    rest = rest.mid(next + 1);
    if (root.size() + ellipsis.size() + 1 + rest.size() <= maxLength)
      return root + ellipsis + QLatin1Char('/') + rest;
  }
  return fileName;
}

void CRecentFileList::Load() {
  entries_.clear();
  const platform::Registry& registry = platform::Registry::Instance();
  for (std::size_t i = 1; i <= size_; ++i) {
    std::optional<std::string> value = registry.GetString(RecentFileSectionKey(), ValueName(i));
    if (value && !value->empty() &&
        std::find(entries_.begin(), entries_.end(), *value) == entries_.end()) {
      entries_.push_back(std::move(*value));
    }
  }
}

bool CRecentFileList::Save() const {
  platform::Registry& registry = platform::Registry::Instance();
  bool ok = true;
  for (std::size_t i = 0; i < size_; ++i) {
    if (i < entries_.size())
      ok = registry.SetString(RecentFileSectionKey(), ValueName(i + 1), entries_[i]) && ok;
    else
      ok = registry.DeleteValue(RecentFileSectionKey(), ValueName(i + 1)) && ok;
  }
  return ok;
}

bool CRecentFileList::Add(std::string_view path) {
  if (path.empty() || size_ == 0)
    return true;
  const std::string entry(path);
  entries_.erase(std::remove(entries_.begin(), entries_.end(), entry), entries_.end());
  entries_.insert(entries_.begin(), entry);
  if (entries_.size() > size_)
    entries_.resize(size_);
  return Save();
}

bool CRecentFileList::Remove(std::size_t index) {
  if (index >= entries_.size())
    return true;
  entries_.erase(entries_.begin() + static_cast<std::ptrdiff_t>(index));
  return Save();
}

QString CRecentFileList::DisplayName(std::size_t index) const {
  return AbbreviatePath(QString::fromStdString(Entry(index)));
}

QString CRecentFileList::MenuLabel(std::size_t index) const {
  QString name = DisplayName(index);
  name.replace(QLatin1Char('&'), QStringLiteral("&&"));
  return QStringLiteral("&%1 ").arg((index + 1) % 10) + name;
}

}  // namespace talvek
