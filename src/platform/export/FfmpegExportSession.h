// The export session over FFmpeg's libraries: writes one new movie from a
// CompositionPlan on its own worker thread.
//
// Two presets (see ExportPlan.h):
// - Passthrough: a stream copy of every video and sound track, segment after
//   segment. Each segment's packets are copied from the keyframe at or
//   before its start up to the last packet, in decode order, that a frame
//   presented before its end needs; each track then gets one edit-list entry
//   per segment presenting exactly the kept range (written after muxing, see
//   Mp4Movie.h). Movie and track durations are the edited duration. Rotation,
//   creation time, languages and the sample-entry code of HEVC ("hvc1" when
//   the source presents it) carry over.
// - HighestQuality: decodes the kept frames and sound exactly, applies the
//   picture pass (exposure, fade, scale into the render size) and the volume
//   ramps, and encodes H.264 (libx264) and AAC.
// - SmartRender: each range stream-copied from its first keyframe on, the
//   frames before it (and after the copy's last clean end) re-encoded to
//   match the source's H.264 or HEVC; sound encoded as AAC. No edit lists
//   (see SmartRender.cpp).
//
// The source is opened through an InputOpener: a file path, or (for served
// movies) a custom I/O context over the byte-range loader.
#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <thread>
#include <vector>

#include "base/Scheduler.h"
#include "export/plan/ExportSessionPort.h"
#include "platform/ffmpeg/FfmpegUtil.h"

namespace kf {

class MGRangeAssetLoader;

// An opened source. `io` owns whatever the context reads through (a custom
// AVIOContext and its loader) and is released after `context` is closed.
struct OpenedInput {
  std::shared_ptr<void> io;
  ff::InputContextPtr context;
};

// Opens the source afresh; each session opens its own. Called on the
// session's worker thread; must be thread-safe (two clip workers may open
// at once).
using InputOpener = std::function<Result<OpenedInput>()>;

// Opens a file (or anything FFmpeg opens by name).
InputOpener OpenPath(std::string path);

// Opens a served movie ("kerfline-range:" URL) through its range loader, as
// the player reads it (retagged sample entries included). The loader must
// stay usable while exports read from it; each opening reads independently.
InputOpener OpenServed(std::string url, std::shared_ptr<MGRangeAssetLoader> loader);

// The movie's duration in seconds, as FFmpeg reads it from the container.
Result<double> ProbeMovieDuration(const std::string& path);

// A source checked before any work, opened once.
struct CheckedSource {
  double duration = 0;  // seconds, positive and finite
  std::vector<std::string> codecs;  // FFmpeg's short names, picture and sound tracks
  // Hands out the opened source on its first call, then opens afresh (clips
  // read from two sessions at once).
  InputOpener input;
};

// Checks `path` before any work: a regular file (checked before it is
// opened; a FIFO or device is never opened), that FFmpeg opens as a movie
// with a picture or sound track ("Kerfline" error 1, "This movie cannot be
// played.") and a positive, finite duration (error 2, "The movie has no
// usable duration.").
Result<CheckedSource> OpenCheckedSource(const std::string& path);

class FfmpegExportSession final : public ExportSessionPort {
 public:
  FfmpegExportSession(InputOpener input, ExportRequest request);
  ~FfmpegExportSession() override;

  void exportAsynchronously(std::function<void()> completion) override;
  // The same, with the completion posted to the main thread.
  void exportAsynchronously(Scheduler& main, std::function<void()> completion);
  // Runs the whole export on the calling thread (the headless command line).
  void exportBlocking();

  double progress() const override { return progress_.load(); }
  ExportStatus status() const override { return status_.load(); }
  std::optional<Error> error() const override;
  void cancelExport() override { cancelled_.store(true); }

 private:
  void run();

  InputOpener input_;
  ExportRequest request_;
  std::atomic<double> progress_{0};
  std::atomic<ExportStatus> status_{ExportStatus::Waiting};
  std::atomic<bool> cancelled_{false};
  mutable std::mutex errorMutex_;  // guards error_
  std::optional<Error> error_;
  std::thread worker_;
};

class FfmpegExportSessionFactory final : public ExportSessionFactory {
 public:
  explicit FfmpegExportSessionFactory(InputOpener input) : input_(std::move(input)) {}
  std::unique_ptr<ExportSessionPort> makeSession(const ExportRequest& request) override;

 private:
  InputOpener input_;
};

}  // namespace kf
