// File work of the export: the lossless byte-for-byte copy and the swap of a
// finished movie in place of the original.
//
// POSIX only; no media library. Both functions block; call them on a worker
// thread (the copy) or where the caller accepts a short wait (the swap: one
// rename and two syncs).
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <string>

#include "base/Error.h"

namespace kf {

inline constexpr const char* kPosixErrorDomain = "NSPOSIXErrorDomain";
inline constexpr std::size_t kCopyChunkBytes = 4 * 1024 * 1024;

// Progress of a copy: (bytes copied so far, total bytes).
using CopyProgress = std::function<void(std::uint64_t, std::uint64_t)>;

struct CopyOutcome {
  bool cancelled = false;
  Status error;  // "Lossless copy failed: <strerror>" in kPosixErrorDomain, code errno
};

// Copies `source` to `destination` (created 0600, truncated) in 4 MiB chunks
// through one buffer, reporting progress after every chunk and reading
// `cancel` between chunks; syncs the destination before it counts as done.
// A failure or a cancellation unlinks the destination, so no partial file
// remains. The flag is only read.
CopyOutcome CopyFileBytes(const std::string& source, const std::string& destination,
                          const std::atomic<bool>& cancel, const CopyProgress& progress);

// Puts the complete file `replacement` in place of `target`, atomically:
// the replacement takes the target's permission bits (and owner, when
// allowed), is synced, renamed over the target (same folder, so the same
// volume) and the folder is synced. On success the target path holds the new
// file and `replacement` no longer exists; on failure the target is
// unchanged and the replacement is left for the caller to remove.
Status ReplaceFile(const std::string& target, const std::string& replacement);

// Removes a file if it exists; errors are ignored (best effort cleanup).
void RemoveFileIfPresent(const std::string& path);

// True when both paths name the same existing file (same device and inode),
// or the same text after making them absolute and normal.
bool SameFile(const std::string& a, const std::string& b);

}  // namespace kf
