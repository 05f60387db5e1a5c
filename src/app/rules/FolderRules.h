// Which files of a folder count as movies, their natural name order, and
// stepping through them from the open movie.
//
// The pure rules work on names (UTF-8 byte strings) and listing records; the
// one function that touches the file system, ListFolderEntries, lists a
// folder with std::filesystem. Main thread in practice; every function is
// reentrant.
#pragma once

#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace kerfline {

// One entry of a folder listing.
struct FolderEntry {
  std::string name;  // last path component, UTF-8
  bool isDirectory = false;
  bool isHidden = false;
};

// Extensions that mark a movie, compared after ASCII lower-casing.
inline constexpr const char* kMovieExtensions[] = {"mp4", "mkv", "mov", "avi", "webm", "m4v", "ts", "mts"};
// Most names a folder listing yields.
inline constexpr std::size_t kFolderListingLimit = 500;

// Names of the movies among the entries, in natural order, at most `limit`
// of them: no directories, hidden entries, empty names or names starting with
// "."; the extension after the last "." (there must be one, and it must not
// be empty) lower-cased in ASCII must be one of kMovieExtensions. Sorted with
// FolderNameCompare < 0, then cut to the first `limit`.
std::vector<std::string> FolderVideos(const std::vector<FolderEntry>& entries, unsigned limit);

// Natural order of two names on their raw bytes: -1, 0 or 1. Digit runs
// compare as numbers (clip2 < clip10), letters without regard to ASCII case
// (Clip2 < clip3); among equal numbers the first run with more leading zeros
// sorts later (a7 < a007); names still tied are ordered by their plain bytes
// (Clip < clip). 0 only for identical names.
int FolderNameCompare(std::string_view a, std::string_view b);

}  // namespace kerfline

namespace kf {

// Lists the folder: every entry, hidden ones included, in listing order.
// isDirectory follows symbolic links (a link to a folder is a folder, a link
// to a movie is a movie); isHidden is a name starting with "."; names that
// are not valid UTF-8 are left out. A folder that cannot be listed gives an
// empty listing.
std::vector<kerfline::FolderEntry> ListFolderEntries(const std::filesystem::path& folder);

// The sorted movie names of the folder that holds `moviePath` (its siblings,
// itself included when it is a movie), at most 500.
std::vector<std::string> FolderVideoNames(const std::filesystem::path& moviePath);

// Index in `names` of the movie that "next" (direction >= 1) or "previous"
// (direction < 1) leads to from the open movie `current`, or nullopt at the
// end of the list. When `current` is not in the list (not a listed
// extension, hidden, or beyond the limit), the step goes to the first name
// that does not sort before it (next) or the name before that (previous).
std::optional<std::size_t> FolderStepTarget(const std::vector<std::string>& names, std::string_view current,
                                            int direction);

// Status line texts when a step finds no movie.
inline constexpr const char* kLastVideoInFolderText = "This is the last video in the folder";
inline constexpr const char* kFirstVideoInFolderText = "This is the first video in the folder";

// Suffix for the status line after an open: " · %ld of %lu in folder
// (Ctrl+Alt+↑ Ctrl+Alt+↓)" with the 1-based position of `current` and the count, or the
// empty string when current is not listed or the folder has fewer than two
// movies.
std::string FolderPositionSuffix(const std::vector<std::string>& names, std::string_view current);

}  // namespace kf
