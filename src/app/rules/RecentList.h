// The recent-movies list: the paths of the last ten movies opened, most
// recent first, kept under "recentFiles" in the settings store, and the
// titles of the "Open Recent" menu items.
//
// Paths are full file-system paths (UTF-8), never URLs; no existence check is
// made on them (opening a vanished one fails in the open flow). Main thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "app/rules/SettingsStore.h"

namespace kf {

inline constexpr std::size_t kRecentListLimit = 10;
// Menu titles longer than this (in UTF-16 units) show only folder and file.
inline constexpr std::size_t kRecentTitleMaxLength = 64;

inline constexpr const char* kNoRecentMoviesText = "No Recent Movies";
inline constexpr const char* kClearMenuText = "Clear Menu";

// The usable paths of a stored list: strings of non-zero length, first
// occurrence only, at most 10; other elements are dropped silently.
std::vector<std::string> RecentPathsFromList(const SettingsList& stored);

// The list after opening `path`: every equal entry removed, the path put at
// the front, cut to 10.
std::vector<std::string> NoteRecentPath(std::vector<std::string> paths, const std::string& path);

// recentPaths: the list as stored (absent or not a list reads as empty).
std::vector<std::string> ReadRecentPaths(const SettingsStore& store);
// noteRecentURL: records `path` and stores the list; returns it.
std::vector<std::string> StoreRecentPath(SettingsStore& store, const std::string& path);
// clearRecent: removes the key.
void ClearRecentPaths(SettingsStore& store);

// `path` with the home folder shown as "~" ("/home/u" -> "~",
// "/home/u/x" -> "~/x"); unchanged outside the home folder or when `home`
// is empty or "/".
std::string AbbreviateWithTilde(std::string_view path, std::string_view home);

// Text of a recent item: the abbreviated path, or "…/parent/name" when that
// is longer than 64 UTF-16 units.
std::string RecentDisplayText(std::string_view path, std::string_view home);

// Title of the item at `index` (from 0): "%lu  %@" (two blanks) with
// index + 1 for the first nine items and 0 for the tenth, then the text.
std::string RecentMenuTitle(std::size_t index, std::string_view path, std::string_view home);

}  // namespace kf
