#include "app/rules/FolderRules.h"

#include <algorithm>
#include <cstdio>
#include <system_error>

#include "base/Utf8.h"

namespace kerfline {
namespace {

bool IsDigit(unsigned char c) {
  return c >= '0' && c <= '9';
}
unsigned char FoldAscii(unsigned char c) {
  return (c >= 'A' && c <= 'Z') ? static_cast<unsigned char>(c - 'A' + 'a') : c;
}

bool IsMovieName(std::string_view name) {
  if (name.empty() || name.front() == '.') return false;
  const std::size_t dot = name.rfind('.');
  if (dot == std::string_view::npos || dot + 1 == name.size()) return false;
  std::string ext(name.substr(dot + 1));
  for (char& c : ext) c = static_cast<char>(FoldAscii(static_cast<unsigned char>(c)));
  for (const char* known : kMovieExtensions) {
    if (ext == known) return true;
  }
  return false;
}

}  // namespace

std::vector<std::string> FolderVideos(const std::vector<FolderEntry>& entries, unsigned limit) {
  std::vector<std::string> names;
  for (const FolderEntry& e : entries) {
    if (e.isDirectory || e.isHidden || !IsMovieName(e.name)) continue;
    names.push_back(e.name);
  }
  // A stable merge sort: correct for this total order, and never reads out
  // of range even if a comparison were inconsistent.
  std::stable_sort(names.begin(), names.end(),
                   [](const std::string& a, const std::string& b) { return FolderNameCompare(a, b) < 0; });
  if (names.size() > limit) names.resize(limit);
  return names;
}

int FolderNameCompare(std::string_view a, std::string_view b) {
  if (a.empty()) return b.empty() ? 0 : -1;
  std::size_t i = 0, j = 0;
  int tieBreaker = 0;
  while (i < a.size()) {
    if (j >= b.size()) return 1;
    const auto ca = static_cast<unsigned char>(a[i]);
    const auto cb = static_cast<unsigned char>(b[j]);
    if (IsDigit(ca) && IsDigit(cb)) {
      std::size_t sa = i, sb = j;
      while (sa < a.size() && a[sa] == '0') ++sa;
      while (sb < b.size() && b[sb] == '0') ++sb;
      std::size_t ea = sa, eb = sb;
      while (ea < a.size() && IsDigit(static_cast<unsigned char>(a[ea]))) ++ea;
      while (eb < b.size() && IsDigit(static_cast<unsigned char>(b[eb]))) ++eb;
      const std::size_t lenA = ea - sa, lenB = eb - sb;
      if (lenA != lenB) return lenA < lenB ? -1 : 1;
      for (std::size_t k = 0; k < lenA; ++k) {
        if (a[sa + k] != b[sb + k]) return a[sa + k] < b[sb + k] ? -1 : 1;
      }
      const std::size_t zerosA = sa - i, zerosB = sb - j;
      if (tieBreaker == 0 && zerosA != zerosB) tieBreaker = zerosA > zerosB ? 1 : -1;
      i = ea;
      j = eb;
      continue;
    }
    const unsigned char fa = FoldAscii(ca), fb = FoldAscii(cb);
    if (fa != fb) return fa < fb ? -1 : 1;
    ++i;
    ++j;
  }
  if (j < b.size()) return -1;
  if (tieBreaker != 0) return tieBreaker;
  // std::string_view compares as unsigned bytes (char_traits<char>::compare).
  const int plain = a.compare(b);
  return plain < 0 ? -1 : (plain > 0 ? 1 : 0);
}

}  // namespace kerfline

namespace kf {

std::vector<kerfline::FolderEntry> ListFolderEntries(const std::filesystem::path& folder) {
  std::vector<kerfline::FolderEntry> entries;
  std::error_code ec;
  std::filesystem::directory_iterator it(folder, ec);
  if (ec) return entries;
  for (const std::filesystem::directory_iterator end; it != end; it.increment(ec)) {
    if (ec) break;
    std::string name = it->path().filename().string();
    if (!IsValidUtf8(name)) continue;
    std::error_code typeError;
    const bool isDirectory = it->is_directory(typeError);  // follows links; a broken link is no folder
    kerfline::FolderEntry entry;
    entry.isHidden = !name.empty() && name.front() == '.';
    entry.isDirectory = isDirectory && !typeError;
    entry.name = std::move(name);
    entries.push_back(std::move(entry));
  }
  return entries;
}

std::vector<std::string> FolderVideoNames(const std::filesystem::path& moviePath) {
  if (moviePath.empty()) return {};
  // A bare file name lies in the current folder.
  const std::filesystem::path folder = moviePath.has_parent_path() ? moviePath.parent_path() : ".";
  return kerfline::FolderVideos(ListFolderEntries(folder), kerfline::kFolderListingLimit);
}

std::optional<std::size_t> FolderStepTarget(const std::vector<std::string>& names, std::string_view current,
                                            int direction) {
  const bool next = direction >= 1;
  const auto n = static_cast<std::int64_t>(names.size());
  std::int64_t target;
  const auto found = std::find(names.begin(), names.end(), current);
  if (found != names.end()) {
    const std::int64_t i = found - names.begin();
    target = next ? i + 1 : i - 1;
  } else {
    std::int64_t k = 0;
    while (k < n && kerfline::FolderNameCompare(names[static_cast<std::size_t>(k)], current) < 0) ++k;
    target = next ? k : k - 1;
  }
  if (target < 0 || target >= n) return std::nullopt;
  return static_cast<std::size_t>(target);
}

std::string FolderPositionSuffix(const std::vector<std::string>& names, std::string_view current) {
  const auto found = std::find(names.begin(), names.end(), current);
  if (found == names.end() || names.size() < 2) return {};
  char buf[128];
  std::snprintf(buf, sizeof buf, " · %ld of %lu in folder (Ctrl+Alt+↑ Ctrl+Alt+↓)",
                static_cast<long>(found - names.begin() + 1), static_cast<unsigned long>(names.size()));
  return buf;
}

}  // namespace kf
