// What the user can do about a failed export, byte copy or save in place:
// the text shown under the error's own message (the alert's informative
// text, a second line on the command line), naming the file concerned.
//
// The error's message is kept as it is (its title), except that the hidden
// temporary name an output is written under never shows: it reads as the
// output's own name.
#pragma once

#include <optional>
#include <string>

#include "base/Error.h"

namespace kf {

// The file a failure concerns.
enum class FailedFile {
  Source,    // the movie being read
  Output,    // the new movie, clip or copy being written
  Original,  // the movie a save in place or optimize replaces
};

struct FailureFiles {
  std::string source;
  std::string output;     // where the result goes (final name)
  std::string temporary;  // the hidden file it is written under, if any
  bool replacing = false;  // a save in place or optimize: the output is the original
};

// The file `error` concerns, judged by its code (a full disk is the output's,
// a changed source the source's) and, for the media library's errors, by
// what failed; nullopt when neither tells.
std::optional<FailedFile> FileConcerned(const Error& error);

// `error` with its suggestion filled in when it has none, for the file
// `concerned` (or, when not given, the one FileConcerned finds; when that
// finds none, both files are named) and the temporary name replaced in its
// message.
Error AdviseOnFailure(Error error, const FailureFiles& files, std::optional<FailedFile> concerned = std::nullopt);

}  // namespace kf
