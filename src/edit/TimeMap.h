// Mapping between edited time (the kept segments laid end to end from 0) and
// source time (a position in the source movie, as the player reports it).
//
// The timeline, the transport clock and the jump and frame steps work in
// edited time; the player, the segments and the edit operations' status texts
// work in source time. Junctions have fixed rules, documented per function.
// Pure functions; any thread. The templates accept any segment type with
// double members `start` and `end` (kerfline::TimeSpan in this program).
#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "edit/EditState.h"

namespace kerfline {

// Sum of end - start over the segments, in list order from 0.
template <typename Span>
double EditedDuration(const std::vector<Span>& segments) {
  double total = 0;
  for (const Span& s : segments) total += s.end - s.start;
  return total;
}

// Edited time t to source time. `index` receives the segment the result lies
// in, or -1 when there are no segments (the result is then 0).
// t is clamped to 0 .. total first (not-a-number counts as 0). A time exactly
// on a junction maps to the end of the earlier segment; 0 maps to the start of
// the first segment; t >= total maps to the end of the last one.
template <typename Span>
double RawFromEdited(double t, const std::vector<Span>& segments, std::int32_t& index) {
  const double total = EditedDuration(segments);
  if (total < t) t = total;
  if (t < 0 || std::isnan(t)) t = 0;
  if (segments.empty()) {
    index = -1;
    return 0;
  }
  double acc = 0;
  std::size_t i = 0;
  for (; i + 1 < segments.size(); ++i) {
    const double len = segments[i].end - segments[i].start;
    if (t <= acc + len) break;
    acc += len;
  }
  const Span& s = segments[i];
  const double len = s.end - s.start;
  double offset = t - acc;
  if (offset < 0) offset = 0;
  if (offset > len) offset = len;
  index = static_cast<std::int32_t>(i);
  return s.start + offset;
}

// Source time s to edited time. A time inside removed material maps to the
// junction after it, a time before the first segment to 0, a time past the
// last segment to the total edited length. On the shared edge of two touching
// segments the earlier segment wins.
template <typename Span>
double EditedFromRaw(double s, const std::vector<Span>& segments) {
  double sum = 0;
  for (const Span& seg : segments) {
    if (seg.start <= s && s <= seg.end) return sum + (s - seg.start);
    if (seg.start > s) return sum;
    sum += seg.end - seg.start;
  }
  return sum;
}

}  // namespace kerfline

namespace mg {

// Opacity (0 .. 1) of the black drawn over the picture at source time s to
// preview fades: 1 at the first instant of a fade-in and the last instant of a
// fade-out, 0 outside fades and outside every segment. Where a fade-in and a
// fade-out overlap the larger ramp wins. Missing fade entries count as 0.
double FadeBlackAmount(double s, const std::vector<kerfline::TimeSpan>& segments,
                       const std::vector<double>& fadeIns, const std::vector<double>& fadeOuts);

}  // namespace mg
