// Scrubbing: the picture follows the pointer while the user drags the
// playhead along the timeline, in three tiers.
//
// - Rough previews: seeks with a generous tolerance (the player may show a
//   nearby easily decoded frame), at most one outstanding, always to the
//   newest pointer position. An outstanding rough seek is never abandoned;
//   the newest target waits for it.
// - Exact refinement: once the pointer has rested for 75 ms the next preview
//   is exact. A move of half a frame or more while it is outstanding
//   abandons it and issues a rough seek at once.
// - Settle: the release (or Esc) ends the scrub with an exact seek; when it
//   has finished, playback resumes if it was running when the scrub began
//   and the scrub was not cancelled.
//
// Every seek takes a new token; a completion whose token is no longer
// current is ignored. While a scrub runs the waveform extraction is paused.
// With KERFLINE_SCRUB_METRICS in the environment (any value, looked up at
// each completion) the latencies go to standard error:
//   KERFLINE_SCRUB preview=rough target=12.345 elapsed_ms=4.20 finished=1
//   KERFLINE_SCRUB settle target=12.345 elapsed_ms=30.00 resume=1
//   KERFLINE_SCRUB summary count=3 p50_ms=3.00 p90_ms=5.00 worst_ms=5.00
//
// Threads: main thread only; seek completions arrive on the main thread
// (MediaPorts contract) and the refinement timer runs through the
// scheduler. Ownership: the ports must outlive the controller; completions
// and the timer do nothing once it is gone.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "base/Scheduler.h"
#include "platform/MediaPorts.h"

namespace kf {

struct ScrubPorts {
  Scheduler* scheduler = nullptr;
  media::Player* player = nullptr;
  // The edited length (the kept segments end to end), seconds.
  std::function<double()> editedLength;
  // Forgets the keyboard-armed junction (a scrub begins). May be empty.
  std::function<void()> disarmJunction;
  // Seconds per frame of the open movie (0 or less when unknown).
  std::function<double()> frameDuration;
  // The timeline: its duration (targets are clamped to it), the width of
  // its track in points, and its playhead (moved and redrawn).
  std::function<double()> timelineDuration;
  std::function<double()> trackWidth;
  std::function<void(double seconds)> showPlayhead;
  // The transport's exact seek, for a release that was not part of a scrub.
  std::function<void(double seconds)> seek;
  // Pauses (true) or resumes (false) the waveform extraction. May be empty.
  std::function<void(bool paused)> setWaveformPaused;
  // The monotonic clock the latencies are measured on; null: the scheduler.
  const Clock* clock = nullptr;
  // Whether the metrics are on; empty: KERFLINE_SCRUB_METRICS is set.
  std::function<bool()> metricsEnabled;
  // Writes one metrics line (without its newline); empty: standard error.
  std::function<void(const std::string& line)> writeMetrics;
};

// The tolerance of a rough preview seek, in seconds: the larger of three
// frames (0.1 s when the frame duration is unknown) and the edited time two
// points of the timeline track cover, kept within [0.1, 2.0].
double RoughScrubTolerance(double editedLength, double trackWidth, double frameDuration);

// "KERFLINE_SCRUB summary count=%zu p50_ms=%.2f p90_ms=%.2f worst_ms=%.2f"
// for the latencies (milliseconds, any order; not empty).
std::string ScrubSummaryLine(std::vector<double> latencies);

class ScrubController {
 public:
  static constexpr double kRefinementDelay = 0.075;
  static constexpr double kMinRoughTolerance = 0.1;
  static constexpr double kMaxRoughTolerance = 2.0;
  static constexpr const char* kMetricsVariable = "KERFLINE_SCRUB_METRICS";

  explicit ScrubController(ScrubPorts ports);
  ~ScrubController();
  ScrubController(const ScrubController&) = delete;
  ScrubController& operator=(const ScrubController&) = delete;

  // The timeline's report: source seconds and the gesture phase (0 began,
  // 1 changed, 2 ended, -1 cancelled). A began or changed report outside a
  // scrub begins one.
  void scrubTo(double seconds, std::int64_t phase);
  void updateScrubTarget(double seconds);
  void performScrubPreviewSeek();
  void scheduleScrubRefinement();
  void finishScrubAt(double seconds);
  // Ends a scrub without settling (a movie is being opened): drops the
  // timer, makes every outstanding completion stale, cancels pending seeks.
  void endScrub();

  bool isScrubbing() const { return _scrubbing; }
  // A preview seek is outstanding.
  bool isSeekInFlight() const { return _scrubSeekInFlight; }
  double scrubTarget() const { return _scrubTarget; }
  std::uint64_t seekToken() const { return _scrubSeekToken; }

 private:
  double clampTime(double t) const;
  bool closeEnough(double earlier, double later) const;
  double now() const;
  bool metricsOn() const;
  void writeLine(const std::string& line) const;
  void previewFinished(std::uint64_t token, bool exact, double target, bool finished);
  void settleFinished(std::uint64_t token, double target, double started, bool resume, bool finished);

  ScrubPorts ports_;
  std::shared_ptr<ScrubController*> self_;

  bool _scrubbing = false;
  bool _resumeAfterScrub = false;
  bool _scrubSeekInFlight = false;
  bool _scrubIssuedExact = false;
  bool _scrubNeedsExact = false;
  double _scrubTarget = 0;
  double _scrubIssuedTarget = 0;
  std::uint64_t _scrubSeekToken = 0;
  ScopedTask _scrubRefineTimer;
  double _scrubSeekStarted = 0;
  std::vector<double> _scrubPreviewLatencies;
};

}  // namespace kf
