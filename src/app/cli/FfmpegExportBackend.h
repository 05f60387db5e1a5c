// The export backend on FFmpeg's libraries (see ExportBackend.h).
#pragma once

#include "app/cli/ExportBackend.h"

namespace kf {

// The process's one backend.
ExportBackend& FfmpegBackend();

// A loader that gives FfmpegBackend(), for programs that link it in.
ExportBackendLoader LinkedFfmpegBackend();

}  // namespace kf
