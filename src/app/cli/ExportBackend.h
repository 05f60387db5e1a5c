// The media libraries' part of the headless export: checking a source with
// FFmpeg and making its export sessions. The command line asks for it only
// when an export needs it: a byte copy of an MP4 or QuickTime movie is
// checked by reading its movie box and never loads FFmpeg.
//
// The program `kerfline` finds the backend in a module loaded at run time
// (kExportModuleFile, entry kExportBackendEntry); `kerfline-export` and the
// tests link it in (see FfmpegExportBackend.h).
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/Error.h"
#include "export/plan/ExportSessionPort.h"

#define KERFLINE_MODULE_ENTRY __attribute__((visibility("default")))

namespace kf {

// A source the backend has checked, opened once.
struct BackendSource {
  double duration = 0;              // seconds, positive and finite
  std::vector<std::string> codecs;  // FFmpeg's short names, picture and sound tracks
  std::unique_ptr<ExportSessionFactory> sessions;  // reads the checked source
};

class ExportBackend {
 public:
  virtual ~ExportBackend() = default;
  // Checks `path` before any work: a regular file that opens as a movie with
  // a picture or sound track and a positive, finite duration.
  virtual Result<BackendSource> openSource(const std::string& path) = 0;
};

// Gives the backend, loading it on the first call; an error when it cannot be
// loaded. The backend lives until the process ends.
using ExportBackendLoader = std::function<Result<ExportBackend*>()>;

inline constexpr const char* kExportModuleFile = "kerfline-export-engine.so";
inline constexpr const char* kExportBackendEntry = "kerfline_export_backend";
using ExportBackendEntry = ExportBackend* (*)();

}  // namespace kf
