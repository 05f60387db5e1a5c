#include "export/plan/FrameTiming.h"

#include <gtest/gtest.h>

#include <cmath>
#include <string>

namespace kf {
namespace {

// A track as demuxers give it: frame n of a rate num/den starts at
// n * den / num seconds, stored rounded to the time base (Matroska rounds
// to milliseconds), plus the container's origin.
struct Track {
  std::string name;
  TickBase tb;
  FrameTimes times;
  std::int64_t origin = 0;
};

Track MakeTrack(std::int64_t rateNum, std::int64_t rateDen, TickBase tb, std::int64_t origin, double seconds,
                bool variable = false) {
  Track t;
  t.name = std::to_string(rateNum) + "/" + std::to_string(rateDen) + " fps in " + std::to_string(tb.num) + "/" +
           std::to_string(tb.den) + (variable ? " vfr" : "") + " origin " + std::to_string(origin);
  t.tb = tb;
  t.origin = origin;
  const TickBase frame{rateDen, rateNum};
  for (std::int64_t n = 0;; ++n) {
    // Variable rate: every third frame lasts two periods.
    const std::int64_t periods = variable ? n + n / 3 : n;
    const std::int64_t start = origin + RescaleTicks(periods, frame, tb);
    if (RescaleTicks(start - origin, tb, TickBase{1, 1000}) > seconds * 1000) break;
    t.times.starts.push_back(start);
  }
  t.times.lastEnd = t.times.starts.back() + RescaleTicks(1, frame, tb);
  return t;
}

std::vector<Track> Tracks() {
  std::vector<Track> v;
  const TickBase ms{1, 1000}, mp4{1, 15360}, ntsc{1, 30000}, ts{1, 90000}, film{1, 24000};
  for (auto [num, den] : {std::pair<std::int64_t, std::int64_t>{24000, 1001}, {30000, 1001}, {60000, 1001}, {30, 1}, {25, 1}})
    for (TickBase tb : {ntsc, ts, ms, mp4, film})
      v.push_back(MakeTrack(num, den, tb, 0, 8));
  v.push_back(MakeTrack(30000, 1001, ts, 10 * 90000 + 3003, 8));  // MPEG-TS camera: starts at 10.033 s
  v.push_back(MakeTrack(30000, 1001, ntsc, 0, 8, true));
  v.push_back(MakeTrack(30, 1, ms, 21, 8, true));
  return v;
}

// The time the player reports while frame n is on screen, from its start,
// as a cut placed there is stored (seconds rounded to the 1/600 grid).
std::int64_t PlayerCut(const Track& t, std::size_t n) {
  const double seconds = double(t.times.starts[n] - t.origin) * double(t.tb.num) / double(t.tb.den);
  return ToTimescale(seconds);
}

std::optional<KeptFrames> Keep(const Track& t, std::int64_t a600, std::int64_t b600) {
  return KeepFrames(t.times, RangeInTicks(SourceRange{a600, b600 - a600}, t.origin, t.tb), CutTolerance(t.tb));
}

TEST(FrameTiming, CutsPlacedOnShownFramesKeepExactlyTheFramesBetweenThem) {
  for (const Track& t : Tracks()) {
    SCOPED_TRACE(t.name);
    const std::size_t n = t.times.starts.size();
    int wrong = 0;
    for (std::size_t i = 0; i + 1 < n; ++i) {
      for (std::size_t len : {std::size_t{1}, std::size_t{2}, std::size_t{7}, std::size_t{31}}) {
        const std::size_t j = std::min(n, i + len);
        // From the frame shown at the first cut up to the frame shown at
        // the second, which is not kept; to the end of the movie when j = n.
        const std::int64_t end = j < n ? PlayerCut(t, j) : ToTimescale(double(t.times.lastEnd - t.origin) * t.tb.num / t.tb.den);
        auto k = Keep(t, PlayerCut(t, i), end);
        const bool ok = k && k->first == i && k->count == j - i && k->span.start == t.times.starts[i] &&
                        k->span.end == (j < n ? t.times.starts[j] : t.times.lastEnd);
        if (!ok && ++wrong <= 3) {
          ADD_FAILURE() << "frames " << i << ".." << j << " kept " << (k ? int(k->first) : -1) << "+"
                        << (k ? int(k->count) : 0);
        }
      }
      // A split at the frame shown: the halves share no frame and lose none.
      if (i > 0 && i + 1 < n) {
        auto left = Keep(t, 0, PlayerCut(t, i));
        auto right = Keep(t, PlayerCut(t, i), PlayerCut(t, n - 1));
        ASSERT_TRUE(left && right);
        EXPECT_EQ(left->first + left->count, right->first);
        EXPECT_EQ(left->span.end, right->span.start);
      }
    }
  }
}

TEST(FrameTiming, EveryGridCutKeepsTheFramesItOverlapsWholly) {
  // Every range start on the 1/600 grid, with lengths from a sliver to
  // seconds: the kept frames are exactly those on screen for more than the
  // tolerance inside the range, and the first is the one on screen at the
  // range start (unless the range touches it only within the tolerance).
  for (const Track& t : Tracks()) {
    SCOPED_TRACE(t.name);
    const std::int64_t tol = CutTolerance(t.tb);
    const auto& s = t.times.starts;
    auto endOf = [&](std::size_t k) { return k + 1 < s.size() ? s[k + 1] : t.times.lastEnd; };
    int wrong = 0;
    for (std::int64_t a = 0; a < 7 * 600; ++a) {
      for (std::int64_t len : {3, 10, 11, 41, 600, 1801}) {
        const TickSpan r = RangeInTicks(SourceRange{a, len}, t.origin, t.tb);
        auto k = KeepFrames(t.times, r, tol);
        // Frames around the answer, judged by the definition.
        std::size_t lo = k ? (k->first >= 3 ? k->first - 3 : 0) : 0;
        std::size_t hi = k ? std::min(s.size(), k->first + k->count + 3) : s.size();
        bool ok = true;
        if (!k) {
          for (std::size_t f = 0; f < s.size(); ++f) ok = ok && !(s[f] < r.end - tol && endOf(f) > r.start + tol);
        } else {
          for (std::size_t f = lo; f < hi; ++f) {
            const bool overlaps = s[f] < r.end - tol && endOf(f) > r.start + tol;
            const bool kept = f >= k->first && f < k->first + k->count;
            ok = ok && overlaps == kept;
          }
          ok = ok && k->span.start == s[k->first] && k->span.end == endOf(k->first + k->count - 1);
          // The frame on screen at the cut is the first kept one, unless the
          // cut lies within the tolerance of its end.
          if (s[k->first] > r.start) ok = ok && (k->first == 0 || endOf(k->first - 1) <= r.start + tol);
        }
        if (!ok && ++wrong <= 3) {
          ADD_FAILURE() << "range " << a << "+" << len << " (1/600)";
        }
      }
    }
  }
}

TEST(FrameTiming, RangesOutsideTheFramesKeepNothing) {
  const Track t = MakeTrack(30, 1, TickBase{1, 30}, 0, 2);
  const std::int64_t tol = CutTolerance(t.tb);
  EXPECT_EQ(tol, 0);  // a frame is far longer than 1/1200 s
  EXPECT_FALSE(KeepFrames(t.times, {-30, -1}, tol));
  EXPECT_FALSE(KeepFrames(t.times, {t.times.lastEnd, t.times.lastEnd + 5}, tol));
  EXPECT_FALSE(KeepFrames(t.times, {5, 5}, tol));
  // A sliver keeps the frame on screen at its middle.
  const Track fine = MakeTrack(30, 1, TickBase{1, 90000}, 0, 2);
  auto sliver = KeepFrames(fine.times, {2990, 3100}, CutTolerance(fine.tb));
  ASSERT_TRUE(sliver);
  EXPECT_EQ(sliver->first, 1u);
  EXPECT_EQ(sliver->count, 1u);
  EXPECT_FALSE(KeepFrames(FrameTimes{}, {0, 5}, tol));
  // Before the first frame: the first frame starts it.
  auto k = KeepFrames(t.times, {-10, 3}, tol);
  ASSERT_TRUE(k);
  EXPECT_EQ(k->first, 0u);
  EXPECT_EQ(k->count, 3u);
  // Past the last frame: the last frame keeps its own end.
  k = KeepFrames(t.times, {55, 100}, tol);
  ASSERT_TRUE(k);
  EXPECT_EQ(k->first + k->count, t.times.starts.size());
  EXPECT_EQ(k->span.end, t.times.lastEnd);
}

TEST(FrameTiming, SoundFollowsThePictureWithoutDrift) {
  // Ten ranges of 29.97 fps frames at 44.1 kHz: the sound of each range is
  // as long as its picture to within half a sample, summed over all.
  const TickBase tb{1, 30000};
  std::vector<TickSpan> spans;
  for (int k = 0; k < 10; ++k) spans.push_back({k * 30030 + 1001 * k, k * 30030 + 1001 * (k + 7) + 1001});
  const auto starts = OutputStarts(spans);
  ASSERT_EQ(starts.size(), spans.size());
  EXPECT_EQ(starts[0], 0);
  std::int64_t total = 0;
  for (std::size_t k = 0; k < spans.size(); ++k) {
    if (k > 0) {
      EXPECT_EQ(starts[k], starts[k - 1] + spans[k - 1].length());
    }
    total += SamplesBetween(starts[k], starts[k] + spans[k].length(), tb, 44100);
    const double picture = double(starts[k] + spans[k].length()) / 30000;
    EXPECT_LE(std::fabs(double(total) / 44100 - picture), 0.5 / 44100 + 1e-12);
  }
}

// Cuts given by their exact times (a double in seconds, as the edit holds
// them) at the fractional rates: placed on a frame's first instant, or
// 0.3 ms beside it, the cut starts (or ends) at that frame; placed further
// inside the frame before than the 1/600 s tolerance, that frame is kept
// too. Times rounded to the 1/600 grid on the way miss some of these.
TEST(FrameTiming, ExactCutsStayOnTheirFramesAtFractionalRates) {
  struct Case {
    double offset;  // seconds from frame i's start
    int firstKept;  // relative to i
  };
  const Case cases[] = {{0, 0}, {0.0003, 0}, {-0.0003, 0}, {-0.0014, 0}, {-0.0019, -1}, {0.0019, 0}};
  for (auto [num, den] : {std::pair<std::int64_t, std::int64_t>{24000, 1001}, {30000, 1001}, {60000, 1001}})
    for (TickBase tb : {TickBase{1, 90000}, TickBase{1, num}, TickBase{1, 15360 * 4}}) {
      const Track t = MakeTrack(num, den, tb, tb.den == 90000 ? 10 * 90000 : 0, 8);
      SCOPED_TRACE(t.name);
      const double frame = double(den) / double(num);
      int wrong = 0;
      for (std::size_t i = 1; i + 12 < t.times.starts.size(); ++i) {
        const double at = double(i) * frame;  // frame i's start on the timeline
        for (const Case& c : cases) {
          // [cut, frame i + 10's start + offset): the same offset at both ends.
          const TimeSpan range{at + c.offset, at + 10 * frame + c.offset};
          auto k = KeepFrames(t.times, RangeInTicks(range, t.origin, t.tb), CutTolerance(t.tb));
          const std::size_t first = i + c.firstKept;
          const std::size_t end = i + 10 + (c.offset > 1.0 / 600 ? 1 : 0);
          const bool ok = k && k->first == first && k->first + k->count == end;
          if (!ok && ++wrong <= 3)
            ADD_FAILURE() << "cut at frame " << i << (c.offset >= 0 ? " + " : " - ") << std::fabs(c.offset) * 1000
                          << " ms kept " << (k ? int(k->first) : -1) << ".." << (k ? int(k->first + k->count) : -1)
                          << ", expected " << first << ".." << end;
        }
      }
    }
}

TEST(FrameTiming, SecondsBecomeTicksToNearest) {
  EXPECT_EQ(SecondsToTicks(1001.0 / 30000, TickBase{1, 30000}), 1001);
  EXPECT_EQ(SecondsToTicks(-1001.0 / 30000, TickBase{1, 30000}), -1001);
  EXPECT_EQ(SecondsToTicks(3600.0 * 24 + 1.0 / 90000, TickBase{1, 90000}), 3600LL * 24 * 90000 + 1);
  EXPECT_EQ(SecondsToTicks(0.5, TickBase{1, 1}), 1);  // halves away from zero
  EXPECT_EQ(SecondsToTicks(-0.5, TickBase{1, 1}), -1);
  EXPECT_EQ(SecondsToTicks(0.1234, TickBase{1001, 30000}), 4);  // 3.698 frames
  EXPECT_EQ(SecondsToTicks(std::nan(""), TickBase{1, 600}), 0);
  EXPECT_EQ(SecondsToTicks(1e300, TickBase{1, 600}), INT64_MAX);
  EXPECT_EQ(RangeInTicks(TimeSpan{1.0, 1.5}, 900000, TickBase{1, 90000}), (TickSpan{990000, 1035000}));
}

TEST(FrameTiming, RescalingRoundsAsStated) {
  const TickBase grid{1, 600}, ntsc{1, 30000};
  EXPECT_EQ(RescaleTicks(1, grid, ntsc), 50);
  EXPECT_EQ(RescaleTicks(1001, ntsc, grid), 20);     // 20.02
  EXPECT_EQ(RescaleTicks(-1001, ntsc, grid), -20);
  EXPECT_EQ(RescaleTicks(25, TickBase{1, 50}, TickBase{1, 1}), 1);   // half away from zero
  EXPECT_EQ(RescaleTicks(-25, TickBase{1, 50}, TickBase{1, 1}), -1);
  EXPECT_EQ(RescaleTicksDown(-1, TickBase{1, 2}, TickBase{1, 1}), -1);
  EXPECT_EQ(RescaleTicksUp(1, TickBase{1, 3}, TickBase{1, 1}), 1);
  EXPECT_EQ(RescaleTicksUp(-1, TickBase{1, 3}, TickBase{1, 1}), 0);
  EXPECT_EQ(CutTolerance(TickBase{1, 90000}), 150);
  EXPECT_EQ(CutTolerance(TickBase{1, 1000}), 1);
  EXPECT_EQ(CutTolerance(TickBase{1, 15360}), 25);
  EXPECT_EQ(RescaleTicks(INT64_MAX, TickBase{1, 1}, TickBase{1, 90000}), INT64_MAX);
  EXPECT_EQ(RangeInTicks(SourceRange{600, 300}, 900000, TickBase{1, 90000}), (TickSpan{990000, 1035000}));
}

}  // namespace
}  // namespace kf
