// The headless export: the same engine as "Export As…", without a window,
// for scripts and tests.
//
//   kerfline --export SOURCE -o OUTPUT [--keep A-B[,A-B...]]
//            [--fade-in I:SECONDS]... [--fade-out I:SECONDS]...
//            [--exposure STOPS] [--mode lossless|reencode|smart]
//            [--size source|1080p|720p|480p] [--clips]
//
// Times are seconds (decimals allowed); I is the 1-based segment number.
// Without --keep the whole movie is kept. --clips makes OUTPUT a folder that
// receives the numbered clips. The path choice is the window's: a byte copy
// when the edit is untouched, lossless and at source size; otherwise an
// export session. Progress goes to standard error (a bar on a terminal).
// Returns 0 on success, else prints the error's message to standard error
// and returns non-zero (2 for a usage error).
//
// FFmpeg (the backend) is loaded only when the export needs it: a byte copy
// of an MP4 or QuickTime movie whose movie box says everything the check
// needs runs without it.
//
// Runs on the calling thread, which it treats as the main thread; blocks
// until the export has ended.
#pragma once

#include <string>
#include <vector>

#include "app/cli/ExportBackend.h"

namespace kf {

// `args` are the arguments after the program name, starting with "--export".
int RunExportCommand(const std::vector<std::string>& args, const ExportBackendLoader& backend);

}  // namespace kf
