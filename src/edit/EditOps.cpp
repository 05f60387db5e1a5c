#include "edit/EditOps.h"

#include <cmath>

namespace kerfline {

double ClampRollTime(const std::vector<TimeSpan>& segments, std::int64_t i, double x, double upperLimit) {
  if (i < 0 || static_cast<std::uint64_t>(i) + 1 >= segments.size()) return x;
  const TimeSpan& a = segments[static_cast<std::size_t>(i)];
  const TimeSpan& b = segments[static_cast<std::size_t>(i) + 1];
  const double gap = b.start - a.end;
  double lo = a.start + kMinimumClip;
  if (lo < -gap) lo = -gap;
  double hi = b.end - kMinimumClip - gap;
  if (upperLimit < hi) hi = upperLimit;
  // Two clips shorter than twice the minimum together leave no position that
  // keeps both at the minimum; clamping to either bound would collapse or
  // stretch one of them past its material, so the cut stays where it is.
  if (lo > hi || std::isnan(x)) return a.end;
  if (x < lo) return lo;
  return hi < x ? hi : x;
}

RollResult RollCut(std::vector<TimeSpan>& segments, std::int64_t i, double x, double upperLimit) {
  if (i < 0 || static_cast<std::uint64_t>(i) + 1 >= segments.size()) return {0, false};
  TimeSpan& a = segments[static_cast<std::size_t>(i)];
  TimeSpan& b = segments[static_cast<std::size_t>(i) + 1];
  const double gap = b.start - a.end;
  const double t = ClampRollTime(segments, i, x, upperLimit);
  if (std::fabs(t - a.end) < kEdgeEpsilon) return {t, false};
  a.end = t;
  b.start = gap + t;
  return {t, true};
}

double FadeRoom(const TimeSpan& segment, double other) {
  const double room = (segment.end - segment.start) - (other > 0 ? other : 0);
  return room > 0 ? room : 0;
}

bool ToggleFade(EditState& state, bool fadeIn) {
  NormalizeEdit(state);
  if (state.selected < 0 || static_cast<std::size_t>(state.selected) >= state.segments.size()) return false;
  const std::size_t k = static_cast<std::size_t>(state.selected);
  double& f = fadeIn ? state.fadeIns[k] : state.fadeOuts[k];
  const double other = fadeIn ? state.fadeOuts[k] : state.fadeIns[k];
  const double room = FadeRoom(state.segments[k], other);
  if (f <= 0 && room < kMinimumFade) return false;
  if (f > 0) {
    f = 0;
  } else {
    f = room < 1 ? room : 1;
  }
  NormalizeEdit(state);
  return true;
}

}  // namespace kerfline
