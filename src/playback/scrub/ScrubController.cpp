#include "playback/scrub/ScrubController.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <limits>


namespace kf {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();
constexpr double kUnknownRateHalfFrame = 0.008333333333333333;  // 1/120 s

bool PositiveFinite(double v) {
  return std::isfinite(v) && v > 0;
}

// Times handed to the player are whole 1/600 units.
double SeekUnits(double t) {
  return std::round(t * 600.0) / 600.0;
}

std::string Format(const char* format, auto... args) {
  char buf[160];
  std::snprintf(buf, sizeof buf, format, args...);
  return buf;
}

}  // namespace

double RoughScrubTolerance(double editedLength, double trackWidth, double frameDuration) {
  const double points =
      PositiveFinite(editedLength) && PositiveFinite(trackWidth) ? 2.0 * editedLength / trackWidth : 0.0;
  const double frames = PositiveFinite(frameDuration) ? 3.0 * frameDuration : 0.1;
  return std::clamp(std::max(frames, points), ScrubController::kMinRoughTolerance,
                    ScrubController::kMaxRoughTolerance);
}

std::string ScrubSummaryLine(std::vector<double> s) {
  std::sort(s.begin(), s.end());
  const std::size_t n = s.size();
  return Format("KERFLINE_SCRUB summary count=%zu p50_ms=%.2f p90_ms=%.2f worst_ms=%.2f", n, s[n / 2],
                s[9 * n / 10], s[n - 1]);
}

ScrubController::ScrubController(ScrubPorts ports)
    : ports_(std::move(ports)), self_(std::make_shared<ScrubController*>(this)) {}

ScrubController::~ScrubController() {
  self_.reset();
  _scrubRefineTimer.reset();
}

double ScrubController::now() const {
  return ports_.clock ? ports_.clock->now() : ports_.scheduler->now();
}

bool ScrubController::metricsOn() const {
  if (ports_.metricsEnabled) return ports_.metricsEnabled();
  return std::getenv(kMetricsVariable) != nullptr;
}

void ScrubController::writeLine(const std::string& line) const {
  if (ports_.writeMetrics) {
    ports_.writeMetrics(line);
    return;
  }
  std::fprintf(stderr, "%s\n", line.c_str());
  std::fflush(stderr);
}

double ScrubController::clampTime(double t) const {
  const double d = std::max(ports_.timelineDuration(), 0.0);
  if (t < 0) return 0;
  if (t > d) return d;
  return t;
}

bool ScrubController::closeEnough(double earlier, double later) const {
  const double frame = ports_.frameDuration ? ports_.frameDuration() : 0.0;
  const double half = PositiveFinite(frame) ? frame / 2 : kUnknownRateHalfFrame;
  return std::isfinite(earlier) && std::fabs(earlier - later) < half;
}

void ScrubController::scrubTo(double seconds, std::int64_t phase) {
  if (!ports_.player->currentItem()) return;
  if (phase == 2) {
    if (std::isnan(seconds)) return;
    if (_scrubbing)
      finishScrubAt(seconds);
    else
      ports_.seek(seconds);
    return;
  }
  if (phase == -1) {
    if (!_scrubbing) return;
    _resumeAfterScrub = false;
    finishScrubAt(_scrubTarget);
    return;
  }
  if (std::isnan(seconds)) return;
  if (!_scrubbing) {
    if (ports_.disarmJunction) ports_.disarmJunction();
    _scrubbing = true;
    _resumeAfterScrub = ports_.player->rate() != 0;
    ports_.player->pause();
    if (ports_.setWaveformPaused) ports_.setWaveformPaused(true);
    _scrubIssuedTarget = kNaN;
    _scrubSeekInFlight = false;
    _scrubNeedsExact = false;
  }
  updateScrubTarget(seconds);
}

void ScrubController::updateScrubTarget(double seconds) {
  _scrubTarget = clampTime(seconds);
  ports_.showPlayhead(_scrubTarget);
  _scrubNeedsExact = false;
  scheduleScrubRefinement();
  if (_scrubSeekInFlight && _scrubIssuedExact && !closeEnough(_scrubIssuedTarget, _scrubTarget)) {
    ++_scrubSeekToken;
    if (auto item = ports_.player->currentItem()) item->cancelPendingSeeks();
    _scrubSeekInFlight = false;
  }
  performScrubPreviewSeek();
}

void ScrubController::scheduleScrubRefinement() {
  _scrubRefineTimer.reset();
  std::weak_ptr<ScrubController*> weak = self_;
  _scrubRefineTimer = ScopedTask(ports_.scheduler, ports_.scheduler->postAfter(kRefinementDelay, [weak] {
    auto self = weak.lock();
    if (!self) return;
    ScrubController& c = **self;
    c._scrubRefineTimer.release();
    if (!c._scrubbing) return;
    c._scrubNeedsExact = true;
    c.performScrubPreviewSeek();
  }));
}

void ScrubController::performScrubPreviewSeek() {
  if (!_scrubbing || _scrubSeekInFlight || !ports_.player->currentItem()) return;
  // A rough preview of a position within half a frame of the last one would
  // show the same picture again.
  if (!_scrubNeedsExact && closeEnough(_scrubIssuedTarget, _scrubTarget)) return;
  const bool exact = _scrubNeedsExact;
  _scrubNeedsExact = false;
  _scrubSeekInFlight = true;
  _scrubIssuedExact = exact;
  _scrubIssuedTarget = _scrubTarget;
  const std::uint64_t token = ++_scrubSeekToken;
  _scrubSeekStarted = now();
  const double tolerance =
      exact ? 0.0
            : RoughScrubTolerance(ports_.editedLength(), ports_.trackWidth(),
                                  ports_.frameDuration ? ports_.frameDuration() : 0.0);
  const double target = _scrubTarget;
  std::weak_ptr<ScrubController*> weak = self_;
  ports_.player->seekToTime(SeekUnits(target), tolerance, tolerance,
                            [weak, token, exact, target](bool finished) {
                              if (auto self = weak.lock())
                                (*self)->previewFinished(token, exact, target, finished);
                            });
}

void ScrubController::previewFinished(std::uint64_t token, bool exact, double target, bool finished) {
  if (token != _scrubSeekToken) return;
  _scrubSeekInFlight = false;
  if (metricsOn()) {
    const double elapsed = (now() - _scrubSeekStarted) * 1000.0;
    _scrubPreviewLatencies.push_back(elapsed);
    writeLine(Format("KERFLINE_SCRUB preview=%s target=%.3f elapsed_ms=%.2f finished=%d",
                     exact ? "exact" : "rough", target, elapsed, finished ? 1 : 0));
  }
  if (!finished || !_scrubbing) return;
  if (!_scrubNeedsExact && closeEnough(_scrubIssuedTarget, _scrubTarget)) return;
  performScrubPreviewSeek();
}

void ScrubController::finishScrubAt(double seconds) {
  const bool resume = _resumeAfterScrub;
  _resumeAfterScrub = false;
  _scrubRefineTimer.reset();
  _scrubbing = false;
  if (ports_.setWaveformPaused) ports_.setWaveformPaused(false);
  _scrubNeedsExact = false;
  _scrubSeekInFlight = false;
  _scrubTarget = clampTime(seconds);
  ports_.showPlayhead(_scrubTarget);
  const std::uint64_t token = ++_scrubSeekToken;
  const double started = now();
  if (auto item = ports_.player->currentItem()) item->cancelPendingSeeks();
  const double target = _scrubTarget;
  std::weak_ptr<ScrubController*> weak = self_;
  ports_.player->seekToTime(SeekUnits(target), 0, 0, [weak, token, target, started, resume](bool finished) {
    if (auto self = weak.lock()) (*self)->settleFinished(token, target, started, resume, finished);
  });
}

void ScrubController::settleFinished(std::uint64_t token, double target, double started, bool resume,
                                     bool finished) {
  if (token != _scrubSeekToken || !finished) return;
  if (metricsOn()) {
    writeLine(Format("KERFLINE_SCRUB settle target=%.3f elapsed_ms=%.2f resume=%d", target,
                     (now() - started) * 1000.0, resume ? 1 : 0));
    if (!_scrubPreviewLatencies.empty()) {
      writeLine(ScrubSummaryLine(_scrubPreviewLatencies));
      _scrubPreviewLatencies.clear();
    }
  }
  if (resume) ports_.player->play();
}

void ScrubController::endScrub() {
  _scrubRefineTimer.reset();
  ++_scrubSeekToken;
  if (auto item = ports_.player->currentItem()) item->cancelPendingSeeks();
  if (_scrubbing && ports_.setWaveformPaused) ports_.setWaveformPaused(false);
  _scrubbing = false;
  _resumeAfterScrub = false;
  _scrubSeekInFlight = false;
  _scrubNeedsExact = false;
}

}  // namespace kf
