// File work of the export: the lossless byte-for-byte copy, the staging of
// every output in a hidden temporary sibling that is renamed into place only
// when complete, and the swap of a finished movie in place of the original.
//
// POSIX only; no media library. The functions block; call them on a worker
// thread (the copy) or where the caller accepts a short wait (staging and
// committing: a few metadata calls, one rename and two syncs).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "base/Error.h"
#include "export/files/FailureAdvice.h"

namespace kf {

inline constexpr const char* kPosixErrorDomain = "NSPOSIXErrorDomain";
inline constexpr std::size_t kCopyChunkBytes = 4 * 1024 * 1024;

// "Kerfline" domain codes of the file checks.
inline constexpr std::int64_t kNotRegularFileCode = 12;  // a source or destination that is not a plain file
inline constexpr std::int64_t kSourceChangedCode = 13;   // the source changed or ended during the copy

// Progress of a copy: (bytes copied so far, total bytes).
using CopyProgress = std::function<void(std::uint64_t, std::uint64_t)>;

struct CopyOutcome {
  bool cancelled = false;
  Status error;  // "Lossless copy failed: …"
  // Which side failed, when the failing call tells (reading the source or
  // writing the destination).
  std::optional<FailedFile> failedFile;
};

// Copies `source` to `destination` (created 0600 if missing, truncated) in
// 4 MiB chunks (the kernel's copy_file_range, or read/write where the file
// systems refuse it), reporting progress after every chunk and reading
// `cancel` between chunks; syncs the destination before it counts as done.
// The source must be a regular file (checked before it is opened; nothing
// else is ever opened for reading). Exactly the size seen when the copy
// starts is copied: a source that ends early or changes size or modification
// time meanwhile fails the copy. A failure or a cancellation unlinks the
// destination, so no partial file remains. The flag is only read.
CopyOutcome CopyFileBytes(const std::string& source, const std::string& destination,
                          const std::atomic<bool>& cancel, const CopyProgress& progress);

// Fails (kNotRegularFileCode, saying what `path` is) unless `path` names a
// regular file; follows symbolic links. Opens nothing. ENOENT and the like
// come back as POSIX errors.
Status CheckRegularFile(const std::string& path);

// One output being written: the complete file appears at `finalPath` only
// through CommitOutput; until then it is written at `tempPath`, a hidden
// sibling in the same folder named ".<base>.<UUID>.<pid>.kerfline-tmp.<ext>".
struct StagedOutput {
  std::string finalPath;  // the destination; a symbolic link is replaced by the path it names
  std::string tempPath;
};

// Prepares writing to `destination`: refuses a destination that exists and
// is not a regular file (device, FIFO, socket, folder), removes stale
// temporary siblings in its folder, and reserves the temporary sibling
// (created empty, 0600), which proves the folder writable. Nothing that
// exists at `destination` is touched.
Result<StagedOutput> StageOutput(const std::string& destination);

// Syncs the finished temporary file, renames it over the final path and
// syncs the folder. The final path is checked again first (it must still be
// absent or a regular file). On failure the final path is unchanged and the
// temporary file is removed.
Status CommitOutput(const StagedOutput& output);

// The hidden temporary sibling of `path` for this process (fresh UUID and
// this process's id).
std::string TemporarySiblingFor(const std::string& path);

// Removes the temporary siblings in `folder` whose writer is gone: names of
// the form above whose process id names no running process. Returns how many
// were removed. Best effort: errors are ignored.
int RemoveStaleTemporaries(const std::string& folder);

// The same for the folder of the file at `path`, and for the folder of the
// file a symbolic link there names (where a save in place writes).
int RemoveStaleTemporariesBeside(const std::string& path);

// Puts the complete file `replacement` in place of `target`, atomically:
// the replacement takes the target's permission bits (and owner, when
// allowed), is synced, renamed over the target (same folder, so the same
// volume) and the folder is synced. A symbolic link at `target` is kept: the
// file it names is replaced. On success the target path holds the new file
// and `replacement` no longer exists; on failure the target is unchanged and
// the replacement is left for the caller to remove.
Status ReplaceFile(const std::string& target, const std::string& replacement);

// The path a symbolic link at `path` finally names (made absolute), or
// `path` itself when it is no link or the link cannot be resolved.
std::string ResolveLinks(const std::string& path);

// Removes a file if it exists; errors are ignored (best effort cleanup).
void RemoveFileIfPresent(const std::string& path);

// True when both paths name the same existing file (same device and inode),
// or the same text after making them absolute and normal.
bool SameFile(const std::string& a, const std::string& b);

// The folder part of a "/"-separated path ("." when there is none).
std::string FolderOfPath(const std::string& path);

}  // namespace kf
