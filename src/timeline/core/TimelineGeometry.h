// Geometry and hit testing of the timeline strip, as pure functions of the
// view's size and the copy of the edit that the view holds.
//
// The timeline shows the kept segments laid end to end across the track, each
// as wide as its share of the edited length; removed material takes no room.
// Coordinates are points in the view's own system (origin top-left, y grows
// downward). Source times are seconds of the source movie; edited times are
// seconds of the cut movie (see edit/TimeMap.h).
//
// A TimelineState is a plain value: the view owns one, the controller's
// syncSegments fills it, and nothing is cached, so every query reflects the
// current fields. Main thread in practice; the type itself has no thread
// affinity.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/Geometry.h"
#include "edit/EditState.h"

namespace kf {

// Insets of the track inside the view's bounds, on each side.
inline constexpr double kTrackInsetX = 14;
inline constexpr double kTrackInsetY = 16;
// Narrowest drawn segment.
inline constexpr double kMinimumSegmentWidth = 2;
// A press nearer than this (strictly) to a cut grabs the cut.
inline constexpr double kJunctionPressDistance = 8;
// The resize cursor shows within this distance (inclusive) of a cut.
inline constexpr double kJunctionHoverDistance = 7;

struct TimelineState {
  // The view's bounds size; the bounds origin is (0, 0).
  Size bounds;

  // The edit as the controller last pushed it.
  std::vector<kerfline::TimeSpan> segments;  // edited order, source seconds
  double duration = 0;                       // source movie duration, seconds
  double playhead = 0;                       // source seconds
  std::int64_t selected = -1;                // -1 for none
  std::vector<std::string> names;            // UTF-8; empty = default name
  std::vector<double> fadeIns;               // seconds per segment
  std::vector<double> fadeOuts;              // seconds per segment
  std::vector<float> waveform;               // peak per equal slice of `duration`

  // Edited length of the segments (sum of their lengths).
  double editedDuration() const;

  // The view's bounds inset by 14 points horizontally and 16 vertically.
  Rect trackRect() const;

  // Block of segment i: x from its edited start to its edited end across the
  // track, at least 2 points wide, full track height. The zero rectangle when
  // i is out of range or the edited length is not positive.
  Rect rectForSegment(std::int64_t i) const;

  // Name area of segment i, where a click on the selected clip renames it:
  // (r.x + 4, r.y + 5, max(r.width - 8, 0), 22), or the zero rectangle.
  Rect labelRectForSegment(std::int64_t i) const;

  // Edited time under view x: the fraction (x - 14) / max(width - 28, 1),
  // clamped to 0 .. 1, of the edited length.
  double editedTimeForX(double x) const;

  // Source time under view x (what a pointer event at x means). On the
  // boundary between two segments it is the end of the left one; left of the
  // track it is the start of the first segment, right of it the end of the
  // last. 0 with no segments.
  double timeForX(double x) const;

  // View x of a source time; a time in removed material sits at the junction
  // after it. With a non-positive edited length, the track's left edge.
  double xForTime(double sourceTime) const;

  // As xForTime, but the fraction of the edited length is clamped to 0 .. 1
  // first, so the playhead never leaves the track.
  double playheadX(double sourceTime) const;

  // View x of an edited time, unclamped (the hover marker).
  double xForEditedTime(double editedTime) const;

  // First segment, in list order, whose [start, end] holds the source time;
  // -1 when none does.
  std::int64_t segmentAtTime(double sourceTime) const;

  // View x of junction i, the cut between segments i and i + 1: the right
  // edge of rectForSegment(i).
  double junctionX(std::int64_t i) const;

  // Junction grabbed by a press at view x: the nearest junction whose
  // distance is below 8 points (strictly); the lower index on equal
  // distances; -1 when none. The last segment's right edge is not a junction.
  std::int64_t junctionAtX(double x) const;

  // Whether the resize cursor shows at view x: some junction lies within
  // 7 points (inclusive).
  bool junctionHoverAtX(double x) const;

  // Edited seconds per point of track, as a cut drag fixes it when it begins:
  // editedDuration() / max(track width, 1).
  double secondsPerPoint() const;
};

// Limits of a cut drag on junction j (segments A = j and B = j + 1), given
// the seconds per point fixed when the drag began: a requested source time f
// for A's end becomes max(lo, min(f, hi)) as clampCutTime computes.
struct CutDragLimits {
  double lo = 0;
  double hi = 0;
};
// Requires 0 <= j and j + 1 < segments.size().
CutDragLimits cutDragLimits(const TimelineState& state, std::int64_t j, double secondsPerPoint);
// lo when f < lo, else min(f, hi).
double clampCutTime(const CutDragLimits& limits, double f);

}  // namespace kf
