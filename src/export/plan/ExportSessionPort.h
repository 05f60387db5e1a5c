// The seam between the export controllers and the media layer that writes
// a movie: one export session per output file, and the factory that makes
// sessions over the open movie.
//
// The FFmpeg implementation lives in platform/export; tests script their own.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/Error.h"
#include "export/naming/ExportNaming.h"
#include "export/plan/ExportPlan.h"

namespace kf {

// Same values as the platform's export session status.
enum class ExportStatus {
  Unknown = 0,
  Waiting = 1,
  Exporting = 2,
  Completed = 3,
  Failed = 4,
  Cancelled = 5,
};

struct ExportRequest {
  CompositionPlan plan;
  std::string outputPath;
  OutputFileType fileType = OutputFileType::MPEG4;
  // The output's final name, for messages (the session may write a hidden
  // temporary file first); empty: the output path's.
  std::string fileName;
};

// One export. Threads: every method may be called from any thread.
// Lifetime: destroying a running session cancels it and waits for its
// worker; the completion still runs (once) before the destructor returns.
class ExportSessionPort {
 public:
  virtual ~ExportSessionPort() = default;
  // Starts writing. `completion` runs exactly once, on the session's worker
  // thread, after status() has become Completed, Failed or Cancelled. A
  // failed or cancelled export leaves no file at the output path. Call once.
  virtual void exportAsynchronously(std::function<void()> completion) = 0;
  // 0 .. 1, rising.
  virtual double progress() const = 0;
  virtual ExportStatus status() const = 0;
  // The failure, once status() is Failed (nullopt if the session has none).
  virtual std::optional<Error> error() const = 0;
  // Asks the export to stop; it ends Cancelled unless it already ended.
  virtual void cancelExport() = 0;
};

// Makes sessions over the open movie. Thread-safe: clip workers call it.
class ExportSessionFactory {
 public:
  virtual ~ExportSessionFactory() = default;
  // nullptr when no session can be made for the request's preset.
  virtual std::unique_ptr<ExportSessionPort> makeSession(const ExportRequest& request) = 0;
};

}  // namespace kf
