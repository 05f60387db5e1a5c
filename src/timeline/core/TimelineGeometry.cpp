#include "timeline/core/TimelineGeometry.h"

#include <algorithm>
#include <cmath>

#include "edit/TimeMap.h"

namespace kf {

double TimelineState::editedDuration() const {
  return kerfline::EditedDuration(segments);
}

Rect TimelineState::trackRect() const {
  return Rect{0, 0, bounds.width, bounds.height}.insetBy(kTrackInsetX, kTrackInsetY);
}

Rect TimelineState::rectForSegment(std::int64_t i) const {
  const double total = editedDuration();
  if (i < 0 || i >= static_cast<std::int64_t>(segments.size()) || !(total > 0)) return {};
  const Rect track = trackRect();
  double before = 0;
  for (std::int64_t k = 0; k < i; ++k) before += segments[k].end - segments[k].start;
  const double len = segments[i].end - segments[i].start;
  const double x = track.x + track.width * before / total;
  const double x2 = track.x + track.width * (before + len) / total;
  return {x, track.y, std::max(x2 - x, kMinimumSegmentWidth), track.height};
}

Rect TimelineState::labelRectForSegment(std::int64_t i) const {
  const Rect r = rectForSegment(i);
  if (r.isEmpty()) return {};
  return {r.x + 4, r.y + 5, std::max(r.width - 8, 0.0), 22};
}

double TimelineState::editedTimeForX(double x) const {
  double fraction = (x - kTrackInsetX) / std::max(bounds.width - 2 * kTrackInsetX, 1.0);
  // Not-a-number positions count as the left end.
  if (!(fraction > 0)) fraction = 0;
  if (fraction > 1) fraction = 1;
  return fraction * editedDuration();
}

double TimelineState::timeForX(double x) const {
  std::int32_t index = -1;
  return kerfline::RawFromEdited(editedTimeForX(x), segments, index);
}

double TimelineState::xForEditedTime(double editedTime) const {
  const Rect track = trackRect();
  const double total = editedDuration();
  if (!(total > 0)) return track.x;
  return track.x + track.width * editedTime / total;
}

double TimelineState::xForTime(double sourceTime) const {
  return xForEditedTime(kerfline::EditedFromRaw(sourceTime, segments));
}

double TimelineState::playheadX(double sourceTime) const {
  const Rect track = trackRect();
  const double total = editedDuration();
  if (!(total > 0)) return track.x;
  double p = kerfline::EditedFromRaw(sourceTime, segments) / total;
  if (!(p > 0)) p = 0;
  if (p > 1) p = 1;
  return track.x + track.width * p;
}

std::int64_t TimelineState::segmentAtTime(double sourceTime) const {
  for (std::size_t i = 0; i < segments.size(); ++i) {
    if (segments[i].start <= sourceTime && sourceTime <= segments[i].end) return static_cast<std::int64_t>(i);
  }
  return -1;
}

double TimelineState::junctionX(std::int64_t i) const {
  return rectForSegment(i).maxX();
}

// The right edge of each segment but the last, in order, computed in one
// pass with the same arithmetic as rectForSegment (so the values are equal
// to the last bit), calling `visit(i, edge)` until it returns false.
template <typename Visit>
static void forEachJunctionX(const TimelineState& state, Visit visit) {
  const double total = state.editedDuration();
  const auto count = static_cast<std::int64_t>(state.segments.size());
  if (!(total > 0)) {
    // Every rectangle is empty: each junction sits at x = 0.
    for (std::int64_t i = 0; i + 1 < count; ++i)
      if (!visit(i, 0.0)) return;
    return;
  }
  const Rect track = state.trackRect();
  double before = 0;
  for (std::int64_t i = 0; i + 1 < count; ++i) {
    const double len = state.segments[i].end - state.segments[i].start;
    const double x = track.x + track.width * before / total;
    const double x2 = track.x + track.width * (before + len) / total;
    if (!visit(i, x + std::max(x2 - x, kMinimumSegmentWidth))) return;
    before += len;
  }
}

std::int64_t TimelineState::junctionAtX(double x) const {
  std::int64_t best = -1;
  double bestDistance = kJunctionPressDistance;
  forEachJunctionX(*this, [&](std::int64_t i, double edge) {
    const double d = std::fabs(x - edge);
    // Strictly nearer only: equal distances keep the lower index, and the
    // 8-point limit itself does not hit.
    if (d < bestDistance) {
      bestDistance = d;
      best = i;
    }
    return true;
  });
  return best;
}

bool TimelineState::junctionHoverAtX(double x) const {
  bool hit = false;
  forEachJunctionX(*this, [&](std::int64_t, double edge) {
    hit = std::fabs(x - edge) <= kJunctionHoverDistance;
    return !hit;
  });
  return hit;
}

double TimelineState::secondsPerPoint() const {
  return editedDuration() / std::max(trackRect().width, 1.0);
}

CutDragLimits cutDragLimits(const TimelineState& state, std::int64_t j, double secondsPerPoint) {
  const kerfline::TimeSpan& a = state.segments[static_cast<std::size_t>(j)];
  const kerfline::TimeSpan& b = state.segments[static_cast<std::size_t>(j) + 1];
  const double gap = b.start - a.end;
  const double margin = std::max(0.5 * secondsPerPoint, 0.1);
  CutDragLimits limits;
  limits.lo = std::max(a.start + margin, -gap);
  limits.hi = std::min(b.end - margin - gap, state.duration);
  return limits;
}

double clampCutTime(const CutDragLimits& limits, double f) {
  if (f < limits.lo) return limits.lo;
  return std::min(f, limits.hi);
}

}  // namespace kf
