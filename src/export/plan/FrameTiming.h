// The cutting rule: which frames a kept range shows, in both export modes.
//
// Times of the edit are seconds on the movie's own timeline: 0 is the
// movie's start as the player counts it (the container's start time, the
// earliest first timestamp of its tracks), whatever timestamp the container
// stores there. A track's timestamps are ticks of its time base; the
// track's origin is that start time in the same ticks.
//
// A kept range [a, b) shows exactly the frames whose display interval
// [start, next frame's start) overlaps it by more than the cut tolerance
// (one unit of the 1/600 s grid that the player's times are rounded to: a
// cut placed on a frame's first instant and rounded to the grid, and to the
// track's ticks, never takes in the frame before it). The export takes the
// edit's times exactly (ExactRange, RangeInTicks of a TimeSpan). The frame whose interval holds a is therefore the
// first kept frame: the one the paused player shows at the cut. Both modes
// present the kept frames for their whole display intervals: the range is
// widened to frame boundaries, [first kept frame's start, last kept frame's
// end), and the sound of that same span is kept, so picture and sound stay
// together and every player shows the same frames.
//
// Pure functions of their arguments; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

#include "export/plan/ExportPlan.h"

namespace kf {

// A time base num/den seconds per tick (both > 0).
struct TickBase {
  std::int64_t num = 1;
  std::int64_t den = 600;
  bool operator==(const TickBase&) const = default;
};

// `value` ticks of `from` in ticks of `to`, rounded to nearest (halves away
// from zero); saturates at the 64-bit range.
std::int64_t RescaleTicks(std::int64_t value, TickBase from, TickBase to);
// The same, rounded down / up.
std::int64_t RescaleTicksDown(std::int64_t value, TickBase from, TickBase to);
std::int64_t RescaleTicksUp(std::int64_t value, TickBase from, TickBase to);

// One 1/600 s unit in ticks of `tb`, rounded down.
std::int64_t CutTolerance(TickBase tb);

// A range of a track's timestamps [start, end).
struct TickSpan {
  std::int64_t start = 0;
  std::int64_t end = 0;
  std::int64_t length() const { return end - start; }
  bool operator==(const TickSpan&) const = default;
};

// A kept range on the edit's timeline (1/600 units) in a track's ticks:
// start and end rescaled to nearest, plus the track's origin.
TickSpan RangeInTicks(const SourceRange& range, std::int64_t originTicks, TickBase tb);

// `seconds` on the movie's timeline in ticks of `tb`, to nearest (halves
// away from zero); not-a-number gives 0, values beyond the 64-bit range
// saturate.
std::int64_t SecondsToTicks(double seconds, TickBase tb);

// A kept range given as the edit's own times (seconds, not rounded to the
// grid) in a track's ticks: start and end to nearest, plus the origin. A cut
// placed anywhere reaches the track within half a tick of where it was
// placed, so the rule judges it against the frames' real times.
TickSpan RangeInTicks(const TimeSpan& seconds, std::int64_t originTicks, TickBase tb);

// The presentation starts of a track's frames near a range, ascending and
// without repeats, and where the last of them ends. Frame k is on screen
// from starts[k] until starts[k + 1] (the last one until lastEnd).
struct FrameTimes {
  std::vector<std::int64_t> starts;
  std::int64_t lastEnd = 0;
};

// The frames a range keeps: indices [first, first + count) of the starts,
// and the span they are on screen, [starts[first], end of the last).
struct KeptFrames {
  std::size_t first = 0;
  std::size_t count = 0;
  TickSpan span;
  bool operator==(const KeptFrames&) const = default;
};

// Applies the rule to range [a, b) (ticks) with `tolerance` ticks: frame k
// is kept when starts[k] < b - tolerance and its end > a + tolerance (a
// range no longer than two tolerances keeps the frame on screen at its
// middle). A range that keeps no frame gives nullopt. `times.starts` must be
// ascending.
std::optional<KeptFrames> KeepFrames(const FrameTimes& times, TickSpan range, std::int64_t tolerance);

// Where the kept frames of consecutive ranges go on the output timeline:
// each range's span follows the previous one's end. `spans` are the kept
// spans of the ranges that keep frames (in ticks of `tb`); the result is
// each span's output start, in the same ticks, from 0.
std::vector<std::int64_t> OutputStarts(const std::vector<TickSpan>& spans);

// Sound samples (at `rate` per second) that belong to the part of the
// output from `from` to `to` seconds (ticks of `tb` from the output's
// start): round(to * rate) - round(from * rate). Summed over consecutive
// parts this never drifts from the picture by more than half a sample.
std::int64_t SamplesBetween(std::int64_t from, std::int64_t to, TickBase tb, int rate);

}  // namespace kf
