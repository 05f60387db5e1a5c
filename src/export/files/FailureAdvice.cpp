#include "export/files/FailureAdvice.h"

#include <cerrno>

#include "export/files/FileOps.h"
#include "export/naming/ExportNaming.h"

namespace kf {
namespace {

// The system error number behind `error`, or 0: POSIX errors carry it as
// their code, the media library's as its negative.
int ErrnoOf(const Error& error) {
  if (error.domain == kPosixErrorDomain) return static_cast<int>(error.code);
  if (error.domain == "FFmpeg" && error.code < 0 && error.code > -4096) return static_cast<int>(-error.code);
  return 0;
}

bool StartsWith(const std::string& text, const char* prefix) { return text.rfind(prefix, 0) == 0; }

std::string Quoted(const std::string& path) { return "“" + lastPathComponent(path) + "”"; }

std::string FolderName(const std::string& path) {
  const std::string folder = FolderOfPath(path);
  return "“" + (folder == "." ? std::string(".") : lastPathComponent(folder)) + "”";
}

void ReplaceAll(std::string& text, const std::string& from, const std::string& to) {
  if (from.empty()) return;
  for (std::size_t at = text.find(from); at != std::string::npos; at = text.find(from, at + to.size()))
    text.replace(at, from.size(), to);
}

std::string OutputAdvice(int err, const Error& error, const FailureFiles& f, bool original) {
  const std::string name = Quoted(f.output);
  const std::string folder = FolderName(f.output);
  const std::string elsewhere =
      original ? " Or use Export As… to save the edit under another name; the original stays as it is." : "";
  switch (err) {
    case ENOSPC:
    case EDQUOT:
      return "There is not enough free space for " + name + " in the folder " + folder +
             ". Free some space there, or export to a folder on another disk." + elsewhere;
    case EFBIG:
      return name + " would be larger than the disk holding " + folder +
             " or a file-size limit allows. Export to another disk, or export a shorter range or a smaller size." +
             elsewhere;
    case EACCES:
    case EPERM:
    case EROFS:
      return "Kerfline may not write " + name + " in the folder " + folder +
             ". Choose a folder you can write to, or change the folder's permissions." + elsewhere;
    case ENOENT:
    case ENOTDIR:
      return "The folder " + folder + " for " + name + " is no longer there. Choose an existing folder." + elsewhere;
    case ENAMETOOLONG:
      return "The name " + name + " is too long for this disk. Choose a shorter name.";
    case EISDIR:
      return "A folder is named " + name + ". Choose another name for the export.";
    case EIO:
      return "The disk holding " + folder + " reported an error while " + name +
             " was written. Check the disk, or export to another one." + elsewhere;
    default:
      break;
  }
  if (error.domain == kKerflineErrorDomain && error.code == kNotRegularFileCode)
    return "Choose another name for the export; what is at " + name + " stays as it is.";
  return name + " could not be written in the folder " + folder +
         ". Check that the folder can be written to and has free space, or choose another folder." + elsewhere;
}

std::string SourceAdvice(int err, const Error& error, const FailureFiles& f) {
  const std::string name = Quoted(f.source);
  switch (err) {
    case ENOENT:
      return "The movie " + name + " was moved or deleted from the folder " + FolderName(f.source) +
             ". Open it again from where it is now, then export again.";
    case EACCES:
    case EPERM:
      return "Kerfline may not read " + name + ". Change the file's permissions so that you can read it, then export again.";
    case EIO:
      return "The disk holding " + name + " reported a read error. Copy the movie to another disk, open the copy and export again.";
    default:
      break;
  }
  if (error.domain == kKerflineErrorDomain) {
    if (error.code == kSourceChangedCode)
      return name + " changed while it was copied; another program may still be writing it. Wait until it is complete, then export again.";
    if (error.code == 14)
      return name + " ends earlier than its header says, so it may be incomplete. Keep only ranges before that point, or export from a complete copy.";
    if (error.code == kNotRegularFileCode) return "Open a movie file instead of " + name + ".";
    if (error.code == 1 || error.code == 2)
      return "Check that " + name + " is a complete movie file (MP4, MOV, M4V, Matroska or WebM); a damaged or partly "
             "downloaded file cannot be exported.";
  }
  return name + " could not be read to the end. Check that the movie plays to its end, or export from another copy of it.";
}

}  // namespace

std::optional<FailedFile> FileConcerned(const Error& error) {
  switch (ErrnoOf(error)) {
    case ENOSPC:
    case EDQUOT:
    case EFBIG:
    case EROFS:
    case ENAMETOOLONG:
    case EISDIR:
      return FailedFile::Output;
    default:
      break;
  }
  if (error.domain == kKerflineErrorDomain &&
      (error.code == kSourceChangedCode || error.code == 14 || error.code == 1 || error.code == 2))
    return FailedFile::Source;
  if (error.domain == "FFmpeg") {
    const std::string& m = error.message;
    if (StartsWith(m, "Cannot read") || StartsWith(m, "Cannot decode") || StartsWith(m, "Cannot seek") ||
        StartsWith(m, "Cannot open "))
      return FailedFile::Source;
    if (StartsWith(m, "Cannot create") || StartsWith(m, "Cannot write") || StartsWith(m, "Cannot finish"))
      return FailedFile::Output;
  }
  return std::nullopt;
}

Error AdviseOnFailure(Error error, const FailureFiles& files, std::optional<FailedFile> concerned) {
  if (!files.temporary.empty() && !files.output.empty()) {
    ReplaceAll(error.message, files.temporary, files.output);
    ReplaceAll(error.message, lastPathComponent(files.temporary), lastPathComponent(files.output));
  }
  if (!error.suggestion.empty()) return error;
  if (!concerned) concerned = FileConcerned(error);
  const int err = ErrnoOf(error);
  if (concerned == FailedFile::Source && !files.source.empty()) {
    error.suggestion = SourceAdvice(err, error, files);
  } else if (concerned && !files.output.empty()) {
    error.suggestion = OutputAdvice(err, error, files, concerned == FailedFile::Original || files.replacing);
  } else if (!files.source.empty() && !files.output.empty()) {
    error.suggestion = (files.replacing ? "Saving " + Quoted(files.source) + " in place failed; the original is unchanged. "
                                        : "Exporting " + Quoted(files.source) + " to " + Quoted(files.output) +
                                              " failed; nothing was written there. ") +
                       "Try the other export mode in Export Settings (lossless or re-encode), or another output size.";
  }
  return error;
}

}  // namespace kf
