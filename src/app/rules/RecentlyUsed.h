// The desktop's shared list of recently used files: the XBEL document
// "recently-used.xbel" in $XDG_DATA_HOME (~/.local/share by default), which
// file choosers and file managers of every toolkit read and write. Opened
// movies go there as well as into the program's own "Open Recent" list.
//
// One bookmark per file URI, with added/modified/visited times, the MIME
// type, and per application a name, a command and a use count:
//
//   <bookmark href="file:///m/a.mp4" added="…Z" modified="…Z" visited="…Z">
//     <info><metadata owner="http://freedesktop.org">
//       <mime:mime-type type="video/mp4"/>
//       <bookmark:applications>
//         <bookmark:application name="Kerfline" exec="&apos;kerfline %u&apos;"
//                               modified="…Z" count="3"/>
//       </bookmark:applications>
//     </metadata></info>
//   </bookmark>
//
// The document is edited as text: everything the program does not change
// (other applications' bookmarks, groups, private data, formatting) stays
// byte for byte. A document that is not recognisably XBEL is never written
// over. The file is replaced atomically (a private temporary file in the
// same folder, flushed to disk, renamed over it), so a reader never sees a
// half-written list and a crash leaves the old one.
//
// Pure apart from the three file functions at the end. Reentrant.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "base/Error.h"

namespace kf {

inline constexpr const char* kRecentlyUsedApplication = "Kerfline";
inline constexpr const char* kRecentlyUsedExec = "'kerfline %u'";

// The MIME type of a movie by its file name's extension (ASCII case
// ignored): "video/mp4", "video/x-matroska", … for the movie extensions;
// "application/octet-stream" for anything else.
std::string MovieMimeType(std::string_view fileName);

// "file://" followed by the absolute path with every byte outside
// A–Z a–z 0–9 - . _ ~ ! $ & ' ( ) * + , ; = : @ / percent-encoded (the
// escaping GLib uses, so that both write the same URI for a file).
std::string FileURIFromPath(const std::string& absolutePath);
// The path of a "file://" URI (an empty or "localhost" host), escapes
// decoded; nullopt for other URIs or a malformed escape.
std::optional<std::string> PathFromFileURI(std::string_view uri);

// "YYYY-MM-DDTHH:MM:SS.ffffffZ" for microseconds since the Unix epoch.
std::string Iso8601UTC(std::int64_t unixMicroseconds);

struct RecentUse {
  std::string path;  // absolute
  std::string mimeType;
  std::string time;  // Iso8601UTC
  std::string application = kRecentlyUsedApplication;
  std::string exec = kRecentlyUsedExec;
};

// The document with `use` recorded: the file's bookmark gets the new
// modified and visited times (a new bookmark also its added time) and this
// application's entry its time and a count one higher (1 when new). An
// empty `document` starts a new one. Fails, changing nothing, when the
// document is not an XBEL document this code can edit.
Result<std::string> NoteRecentUse(const std::string& document, const RecentUse& use);

// The document without this application: its entry leaves every bookmark,
// and a bookmark that no other application used leaves the document.
Result<std::string> ForgetApplication(const std::string& document, const std::string& application);

// ---- The file ------------------------------------------------------------

// $XDG_DATA_HOME/recently-used.xbel, or $HOME/.local/share/recently-used.xbel.
std::string RecentlyUsedFilePath();
// Records that `path` was opened now, in the file at `file`.
Status NoteRecentlyUsedFile(const std::string& file, const std::string& path);
// Removes this program's uses from the file at `file` ("Clear Menu").
Status ForgetRecentlyUsedFile(const std::string& file);

}  // namespace kf
