// What the open flow accepts as a movie's address, and the texts it derives
// from a movie: the identity key and the media information line.
//
// A movie is named by a local file (an absolute path, or a "file:" URL) or by
// a Larder handoff link ("kerfline://larder?domain=…&item=…"). Every other
// address is refused. Pure functions; any thread (FileAttributesAtPath reads
// the file system).
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace kf {

struct MovieURL {
  enum class Kind { File, Handoff };
  Kind kind = Kind::File;
  // File: the standardized absolute path. Handoff: the link as given.
  std::string text;

  bool isFile() const { return kind == Kind::File; }
  // The file path, or the link's path ("/name.mp4", possibly empty).
  std::string path() const;
  // The last component of path() ("" when there is none).
  std::string lastPathComponent() const;
  bool operator==(const MovieURL&) const = default;
};

// Parses an address given by the user or the system:
// - an absolute path ("/movies/a.mp4"), standardized (".", ".." and repeated
//   slashes resolved lexically, trailing slash removed);
// - a "file:" URL with an empty or "localhost" host, percent-decoded, then
//   standardized the same way;
// - a handoff link: scheme exactly "kerfline" and host exactly "larder"
//   (case-sensitive), kept verbatim.
// nullopt for everything else (relative paths, other schemes, malformed
// percent escapes, embedded NUL bytes).
std::optional<MovieURL> ParseMovieURL(std::string_view address);

// Path standardization used above, for absolute paths.
std::string StandardizePath(std::string_view absolutePath);

struct FileAttributes {
  std::uint64_t size = 0;
  // Seconds since 1 January 2001 UTC, with sub-second precision.
  double modificationTime = 0;
};

// The size and modification time of the file at `path` (following links);
// nullopt when they cannot be read.
std::optional<FileAttributes> FileAttributesAtPath(const std::string& path);

// Identity key "%@|%llu|%.6f": path, size in bytes, modification time since
// the 2001 reference date; missing attributes count as 0. Formatted without
// regard to the process locale.
std::string IdentityKeyText(const std::string& path, const std::optional<FileAttributes>& attributes);

// Media information line "%.0f×%.0f · %.1f MB": display width and height,
// file size in MiB. Locale-independent.
std::string MediaInfoText(double displayWidth, double displayHeight, std::uint64_t fileBytes);

}  // namespace kf
