// Internal pieces of the FFmpeg export session, shared by the stream copy
// and the re-encode. Worker thread only.
#pragma once

#include <atomic>
#include <functional>
#include <string>

#include "export/plan/ExportSessionPort.h"
#include "platform/ffmpeg/FfmpegUtil.h"

namespace kf::exportimpl {

struct RunControl {
  const std::atomic<bool>* cancelled = nullptr;
  std::function<void(double)> progress;  // 0 .. 1
  bool isCancelled() const { return cancelled && cancelled->load(std::memory_order_relaxed); }
};

// The streams an export takes from the source: every video stream that is
// not a cover picture, and every sound stream.
bool IsExportedStream(const AVStream* st);

// Writes the stream copy to `outputPath`. On error or cancellation the caller
// removes the file.
Status RunStreamCopy(AVFormatContext* in, const ExportRequest& request, const RunControl& control);

// Writes the re-encode to `outputPath`.
Status RunReencode(AVFormatContext* in, const ExportRequest& request, const RunControl& control);

// Copies format-level metadata (creation time and such) and per-stream
// metadata, disposition and side data (rotation) from `in` to `out`.
void CopyStreamProperties(const AVStream* in, AVStream* out);

Error CancelledError();

}  // namespace kf::exportimpl
