#include "export/plan/FrameTiming.h"

#include <algorithm>
#include <cmath>
#include <limits>

namespace kf {
namespace {

using Wide = __int128;

std::int64_t Saturate(Wide v) {
  if (v > Wide(std::numeric_limits<std::int64_t>::max())) return std::numeric_limits<std::int64_t>::max();
  if (v < Wide(std::numeric_limits<std::int64_t>::min())) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(v);
}

// floor(n / d) for d > 0.
Wide FloorDiv(Wide n, Wide d) {
  Wide q = n / d;
  if ((n % d) != 0 && n < 0) --q;
  return q;
}

}  // namespace

std::int64_t RescaleTicks(std::int64_t value, TickBase from, TickBase to) {
  // value * from.num / from.den * to.den / to.num, halves away from zero.
  const Wide n = Wide(value) * from.num * to.den;
  const Wide d = Wide(from.den) * to.num;
  if (d <= 0) return 0;
  const Wide a = n < 0 ? -n : n;
  const Wide q = (2 * a + d) / (2 * d);
  return Saturate(n < 0 ? -q : q);
}

std::int64_t RescaleTicksDown(std::int64_t value, TickBase from, TickBase to) {
  const Wide d = Wide(from.den) * to.num;
  if (d <= 0) return 0;
  return Saturate(FloorDiv(Wide(value) * from.num * to.den, d));
}

std::int64_t RescaleTicksUp(std::int64_t value, TickBase from, TickBase to) {
  const Wide d = Wide(from.den) * to.num;
  if (d <= 0) return 0;
  return Saturate(-FloorDiv(-(Wide(value) * from.num * to.den), d));
}

std::int64_t CutTolerance(TickBase tb) {
  return std::max<std::int64_t>(0, RescaleTicksDown(1, TickBase{1, kExportTimescale}, tb));
}

TickSpan RangeInTicks(const SourceRange& range, std::int64_t originTicks, TickBase tb) {
  const TickBase grid{1, kExportTimescale};
  const std::int64_t a = RescaleTicks(range.start, grid, tb);
  const std::int64_t b = RescaleTicks(range.start + range.duration, grid, tb);
  return {a + originTicks, b + originTicks};
}

std::int64_t SecondsToTicks(double seconds, TickBase tb) {
  if (std::isnan(seconds) || tb.num <= 0 || tb.den <= 0) return 0;
  // A double holds the edit's time to well under a nanosecond for any
  // movie length; the wider product keeps it there for any time base.
  const long double ticks = static_cast<long double>(seconds) * tb.den / tb.num;
  if (ticks >= 9.2e18L) return std::numeric_limits<std::int64_t>::max();
  if (ticks <= -9.2e18L) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(std::llroundl(ticks));
}

TickSpan RangeInTicks(const TimeSpan& seconds, std::int64_t originTicks, TickBase tb) {
  return {SecondsToTicks(seconds.start, tb) + originTicks, SecondsToTicks(seconds.end, tb) + originTicks};
}

std::optional<KeptFrames> KeepFrames(const FrameTimes& times, TickSpan range, std::int64_t tolerance) {
  const auto& s = times.starts;
  if (s.empty() || range.end <= range.start) return std::nullopt;
  std::int64_t lo = range.start + tolerance;  // a kept frame ends after this
  std::int64_t hi = range.end - tolerance;    // and starts before this
  if (hi <= lo) {
    // A sliver no longer than two tolerances: the frame on screen at its middle.
    lo = range.start + (range.end - range.start) / 2;
    hi = lo + 1;
  }
  // First kept: the frame on screen at lo (the last start <= lo), or the
  // first frame when lo lies before every frame.
  auto firstIt = std::upper_bound(s.begin(), s.end(), lo);
  std::size_t first = firstIt == s.begin() ? 0 : static_cast<std::size_t>(firstIt - s.begin()) - 1;
  if (first + 1 == s.size() && times.lastEnd <= lo) return std::nullopt;  // every frame ended before
  // Last kept: the last frame that starts before hi.
  auto endIt = std::lower_bound(s.begin(), s.end(), hi);
  if (endIt == s.begin()) return std::nullopt;
  const std::size_t last = static_cast<std::size_t>(endIt - s.begin()) - 1;
  if (last < first) return std::nullopt;
  KeptFrames k;
  k.first = first;
  k.count = last - first + 1;
  k.span.start = s[first];
  k.span.end = last + 1 < s.size() ? s[last + 1] : std::max(times.lastEnd, s[last] + 1);
  return k;
}

std::vector<std::int64_t> OutputStarts(const std::vector<TickSpan>& spans) {
  std::vector<std::int64_t> out;
  std::int64_t cursor = 0;
  for (const TickSpan& sp : spans) {
    out.push_back(cursor);
    cursor += std::max<std::int64_t>(0, sp.length());
  }
  return out;
}

std::int64_t SamplesBetween(std::int64_t from, std::int64_t to, TickBase tb, int rate) {
  const TickBase samples{1, rate};
  return RescaleTicks(to, tb, samples) - RescaleTicks(from, tb, samples);
}

}  // namespace kf
