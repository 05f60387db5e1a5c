#include "app/rules/RecentList.h"

#include <algorithm>

#include "base/Utf8.h"

namespace kf {
namespace {

std::string_view StripTrailingSlashes(std::string_view p) {
  while (p.size() > 1 && p.back() == '/') p.remove_suffix(1);
  return p;
}

std::string_view LastComponent(std::string_view p) {
  p = StripTrailingSlashes(p);
  if (p == "/") return p;
  const std::size_t slash = p.rfind('/');
  return slash == std::string_view::npos ? p : p.substr(slash + 1);
}

std::string_view ParentOf(std::string_view p) {
  p = StripTrailingSlashes(p);
  const std::size_t slash = p.rfind('/');
  if (slash == std::string_view::npos) return {};
  if (slash == 0) return "/";
  return p.substr(0, slash);
}

}  // namespace

std::vector<std::string> RecentPathsFromList(const SettingsList& stored) {
  std::vector<std::string> paths;
  for (const SettingsScalar& element : stored) {
    if (paths.size() >= kRecentListLimit) break;
    const std::string* s = ScalarAsString(element);
    if (!s || s->empty() || std::find(paths.begin(), paths.end(), *s) != paths.end()) continue;
    paths.push_back(*s);
  }
  return paths;
}

std::vector<std::string> NoteRecentPath(std::vector<std::string> paths, const std::string& path) {
  paths.erase(std::remove(paths.begin(), paths.end(), path), paths.end());
  paths.insert(paths.begin(), path);
  if (paths.size() > kRecentListLimit) paths.resize(kRecentListLimit);
  return paths;
}

std::vector<std::string> ReadRecentPaths(const SettingsStore& store) {
  const std::optional<SettingsList> stored = store.listValue(kRecentFilesKey);
  return stored ? RecentPathsFromList(*stored) : std::vector<std::string>{};
}

std::vector<std::string> StoreRecentPath(SettingsStore& store, const std::string& path) {
  std::vector<std::string> paths = NoteRecentPath(ReadRecentPaths(store), path);
  SettingsList list(paths.begin(), paths.end());
  store.setValue(kRecentFilesKey, std::move(list));
  return paths;
}

void ClearRecentPaths(SettingsStore& store) {
  store.remove(kRecentFilesKey);
}

std::string AbbreviateWithTilde(std::string_view path, std::string_view home) {
  home = StripTrailingSlashes(home);
  if (home.empty() || home == "/") return std::string(path);
  if (path == home) return "~";
  if (path.size() > home.size() && path.substr(0, home.size()) == home && path[home.size()] == '/') {
    return "~" + std::string(path.substr(home.size()));
  }
  return std::string(path);
}

std::string RecentDisplayText(std::string_view path, std::string_view home) {
  std::string text = AbbreviateWithTilde(path, home);
  if (Utf16Length(text) <= kRecentTitleMaxLength) return text;
  return "…/" + std::string(LastComponent(ParentOf(path))) + "/" + std::string(LastComponent(path));
}

std::string RecentMenuTitle(std::size_t index, std::string_view path, std::string_view home) {
  return std::to_string((index + 1) % 10) + "  " + RecentDisplayText(path, home);
}

}  // namespace kf
