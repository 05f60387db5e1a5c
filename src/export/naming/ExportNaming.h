// File names of export outputs: numbered clip files, the hidden temporary
// sibling that a save in place writes before swapping it in, the name the
// save panel proposes, and the container chosen from an output's extension.
//
// Pure string rules on UTF-8 byte strings; nothing here touches the file
// system. Callable from any thread.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kf {

// Longest file name, in bytes, that the file systems we write to accept.
// Built names are shortened (at a character boundary, inside the user's part
// of the name) so that they never exceed it.
inline constexpr std::size_t kMaxFileNameBytes = 255;

// Turns a user's clip name into one that is safe as a file name: white space
// trimmed at both ends (the fallback is used when nothing is left), each of
// / : \ ? % * | " < > (and NUL) replaced by "-", trailing spaces and full
// stops removed; the fallback when the result is empty.
std::string safeClipName(std::string_view name, std::string_view fallback);

// File name of the clip of segment `index` (from 0): "%02lu - %@.<ext>" with
// the display number index + 1 and the safe form of the trimmed name
// (fallback "clip"), or "clip-%02lu.<ext>" when the trimmed name is empty. A
// name that is not valid UTF-8 counts as empty. `extension` (without the
// dot) is the one that fits the clips' codecs (see OutputContainer.h).
std::string clipFileName(std::size_t index, std::string_view name, std::string_view extension = "mp4");

// File names of all clips of an edit with `count` segments. A missing entry
// of `names` counts as the empty name.
std::vector<std::string> clipFileNames(const std::vector<std::string>& names, std::size_t count,
                                       std::string_view extension = "mp4");

// A file name split into its base and extension. The extension is what
// follows the last "." of the name, unless that "." is the first or the last
// character (".profile" and "movie." have no extension).
struct FileNameParts {
  std::string base;
  std::string extension;  // without the dot; empty when there is none
};
FileNameParts splitFileName(std::string_view fileName);

// The last path component of a "/"-separated path (trailing slashes ignored).
std::string lastPathComponent(std::string_view path);

// Hidden temporary sibling for a save in place of `sourcePath`:
// folder/".base.UUID.kerfline-tmp.ext", ext being the source's extension or
// "mp4" when it has none. `uuid` is the 36-character upper-case text of a
// fresh random UUID (see newUuidString). The result is in the source's folder
// so that the final rename stays on one volume.
std::string temporarySiblingPath(std::string_view sourcePath, std::string_view uuid);

// Just the file name part of temporarySiblingPath.
std::string temporarySiblingName(std::string_view sourceFileName, std::string_view uuid);

// A fresh random (version 4) UUID in canonical upper-case text form, e.g.
// "1B4E28BA-2FA1-41D2-883F-0016D3CCA427". Thread-safe.
std::string newUuidString();

// Container of an output file, from its extension (any letter case).
enum class OutputFileType {
  QuickTimeMovie,  // ".mov"
  MPEG4,           // ".mp4", ".m4v" and everything else, no extension included
  Matroska,        // ".mkv"
  WebM,            // ".webm"
};
OutputFileType outputFileTypeForPath(std::string_view path);

// FFmpeg muxer short name for a container ("mov", "mp4", "matroska", "webm").
const char* muxerName(OutputFileType type);

// Name the save panel proposes for a joined export of `sourceFileName`:
// "%@-copy.%@" (base and the source's extension, "mov" when it has none) when
// the export will be a byte-for-byte copy, else base + "-cut." + `extension`
// (the one that fits the output's codecs, see OutputContainer.h).
std::string proposedExportName(std::string_view sourceFileName, bool byteCopy, std::string_view extension = "mp4");

}  // namespace kf
