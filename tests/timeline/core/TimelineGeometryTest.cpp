#include "timeline/core/TimelineGeometry.h"

#include <gtest/gtest.h>

#include <cmath>
#include <random>

namespace kf {
namespace {

using kerfline::TimeSpan;

TimelineState View(double width, std::vector<TimeSpan> segments, double height = 100) {
  TimelineState s;
  s.bounds = {width, height};
  s.segments = std::move(segments);
  double end = 0;
  for (const TimeSpan& t : s.segments) end = std::max(end, t.end);
  s.duration = end;
  return s;
}

TEST(TimelineGeometry, TrackAndSegmentRectsOf828PointView) {
  const TimelineState v = View(828, {{0, 4}, {6, 10}});
  EXPECT_EQ(v.trackRect(), (Rect{14, 16, 800, 68}));
  EXPECT_EQ(v.rectForSegment(0), (Rect{14, 16, 400, 68}));
  EXPECT_EQ(v.rectForSegment(1), (Rect{414, 16, 400, 68}));
  // Out of range indices give the zero rectangle.
  EXPECT_EQ(v.rectForSegment(-1), Rect{});
  EXPECT_EQ(v.rectForSegment(2), Rect{});
  EXPECT_EQ(v.labelRectForSegment(1), (Rect{418, 21, 392, 22}));
}

TEST(TimelineGeometry, PositionToTimeOf828PointView) {
  const TimelineState v = View(828, {{0, 4}, {6, 10}});
  EXPECT_DOUBLE_EQ(v.timeForX(414), 4);  // the junction gives the left clip's end
  EXPECT_NEAR(v.timeForX(415), 6.01, 1e-12);
  EXPECT_DOUBLE_EQ(v.timeForX(214), 2);
  EXPECT_DOUBLE_EQ(v.timeForX(14), 0);
  EXPECT_DOUBLE_EQ(v.timeForX(0), 0);  // left of the track: first start
  EXPECT_DOUBLE_EQ(v.timeForX(-50), 0);
  EXPECT_DOUBLE_EQ(v.timeForX(820), 10);  // right of the track: last end
  EXPECT_DOUBLE_EQ(v.timeForX(5000), 10);
  EXPECT_DOUBLE_EQ(v.editedTimeForX(614), 6);
}

TEST(TimelineGeometry, PositionToTimeStartsAtFirstSegmentWhenItDoesNotStartAtZero) {
  const TimelineState v = View(828, {{3, 5}, {7, 9}});
  EXPECT_DOUBLE_EQ(v.timeForX(2), 3);
  EXPECT_DOUBLE_EQ(v.timeForX(900), 9);
}

TEST(TimelineGeometry, NarrowViewDividesByAtLeastOnePoint) {
  const TimelineState v = View(20, {{0, 10}});
  // width - 28 is negative: the divisor is 1, so one point past 14 is the end.
  EXPECT_DOUBLE_EQ(v.timeForX(14.5), 5);
  EXPECT_DOUBLE_EQ(v.timeForX(15), 10);
}

TEST(TimelineGeometry, TimeToPosition) {
  const TimelineState v = View(828, {{0, 4}, {6, 10}});
  EXPECT_DOUBLE_EQ(v.xForTime(2), 214);
  EXPECT_DOUBLE_EQ(v.xForTime(5), 414);  // removed material: the junction after it
  EXPECT_DOUBLE_EQ(v.xForTime(8), 614);
  EXPECT_DOUBLE_EQ(v.xForTime(11), 814);  // past the end: right end of the track
  EXPECT_DOUBLE_EQ(v.xForTime(-1), 14);
  EXPECT_DOUBLE_EQ(v.playheadX(5), 414);
  EXPECT_DOUBLE_EQ(v.playheadX(99), 814);
  EXPECT_DOUBLE_EQ(v.playheadX(-3), 14);
  EXPECT_DOUBLE_EQ(v.xForEditedTime(4), 414);
}

TEST(TimelineGeometry, PlayheadClampsWhereTheMappingLeavesTheTrack) {
  // A malformed (reversed) last segment makes the edited length 9 while
  // source 10 maps to edited 10: plain time-to-x runs past the track, the
  // playhead stays on it.
  const TimelineState v = View(828, {{0, 10}, {12, 11}});
  EXPECT_NEAR(v.xForTime(10), 14 + 800.0 * 10 / 9, 1e-9);
  EXPECT_DOUBLE_EQ(v.playheadX(10), 814);
}

TEST(TimelineGeometry, TinySegmentsAreTwoPointsWideAndLabelsShrinkToZero) {
  const TimelineState v = View(828, {{0, 0.001}, {10, 1009.999}});
  const Rect r = v.rectForSegment(0);
  EXPECT_DOUBLE_EQ(r.x, 14);
  EXPECT_DOUBLE_EQ(r.width, 2);
  // The next segment starts at its true position, not after the widened one.
  EXPECT_NEAR(v.rectForSegment(1).x, 14.0008, 1e-9);

  const TimelineState w = View(828, {{0, 6}, {6, 800}});  // 800 s on 800 points
  EXPECT_DOUBLE_EQ(w.rectForSegment(0).width, 6);
  EXPECT_EQ(w.labelRectForSegment(0), (Rect{18, 21, 0, 22}));
  EXPECT_DOUBLE_EQ(w.labelRectForSegment(1).width, 786);
}

TEST(TimelineGeometry, EmptyAndZeroLengthEdits) {
  const TimelineState none = View(828, {});
  EXPECT_EQ(none.rectForSegment(0), Rect{});
  EXPECT_EQ(none.labelRectForSegment(0), Rect{});
  EXPECT_DOUBLE_EQ(none.timeForX(400), 0);
  EXPECT_EQ(none.segmentAtTime(0), -1);
  EXPECT_EQ(none.junctionAtX(14), -1);
  EXPECT_FALSE(none.junctionHoverAtX(14));
  EXPECT_DOUBLE_EQ(none.playheadX(3), 14);

  const TimelineState zero = View(828, {{5, 5}, {7, 7}});
  EXPECT_EQ(zero.rectForSegment(0), Rect{});
  EXPECT_EQ(zero.rectForSegment(1), Rect{});
  EXPECT_EQ(zero.labelRectForSegment(0), Rect{});
  EXPECT_DOUBLE_EQ(zero.xForTime(6), 14);
}

TEST(TimelineGeometry, SegmentAtTimeIsInclusiveAndFirstWins) {
  const TimelineState v = View(828, {{0, 5}, {5, 9}, {12, 14}});
  EXPECT_EQ(v.segmentAtTime(0), 0);
  EXPECT_EQ(v.segmentAtTime(5), 0);
  EXPECT_EQ(v.segmentAtTime(5.0001), 1);
  EXPECT_EQ(v.segmentAtTime(9), 1);
  EXPECT_EQ(v.segmentAtTime(10), -1);  // removed
  EXPECT_EQ(v.segmentAtTime(14), 2);
  EXPECT_EQ(v.segmentAtTime(14.0001), -1);
  EXPECT_EQ(v.segmentAtTime(-0.5), -1);
}

TEST(TimelineGeometry, JunctionPressIsStrictlyBelowEightPoints) {
  const TimelineState v = View(828, {{0, 4}, {6, 10}});  // junction 0 at x = 414
  EXPECT_DOUBLE_EQ(v.junctionX(0), 414);
  EXPECT_EQ(v.junctionAtX(414), 0);
  EXPECT_EQ(v.junctionAtX(421.9), 0);
  EXPECT_EQ(v.junctionAtX(406.1), 0);
  EXPECT_EQ(v.junctionAtX(422), -1);
  EXPECT_EQ(v.junctionAtX(406), -1);
  // The right edge of the last segment is no junction.
  EXPECT_EQ(v.junctionAtX(814), -1);
  EXPECT_EQ(v.junctionAtX(810), -1);
}

TEST(TimelineGeometry, JunctionHoverIsWithinSevenPointsInclusive) {
  const TimelineState v = View(828, {{0, 4}, {6, 10}});
  EXPECT_TRUE(v.junctionHoverAtX(414));
  EXPECT_TRUE(v.junctionHoverAtX(421));
  EXPECT_TRUE(v.junctionHoverAtX(407));
  EXPECT_FALSE(v.junctionHoverAtX(421.5));
  EXPECT_FALSE(v.junctionHoverAtX(406.5));
  EXPECT_FALSE(v.junctionHoverAtX(814));  // last edge
  // Between hover and press distance the press still grabs the cut.
  EXPECT_EQ(v.junctionAtX(421.5), 0);
}

TEST(TimelineGeometry, JunctionPressTakesNearestAndLowerIndexOnTies) {
  // 80 s on 800 points: junctions at 414 and 424.
  const TimelineState v = View(828, {{0, 40}, {40, 41}, {41, 80}});
  EXPECT_DOUBLE_EQ(v.junctionX(0), 414);
  EXPECT_DOUBLE_EQ(v.junctionX(1), 424);
  EXPECT_EQ(v.junctionAtX(419), 0);  // exactly between: the left one
  EXPECT_EQ(v.junctionAtX(419.5), 1);
  EXPECT_EQ(v.junctionAtX(418.5), 0);
  EXPECT_EQ(v.junctionAtX(431.9), 1);
  EXPECT_EQ(v.junctionAtX(432), -1);
}

TEST(TimelineGeometry, CutDragMarginAndLimits) {
  TimelineState wide = View(528, {{0, 50}, {50, 100}});  // 500-point track, 100 s
  EXPECT_DOUBLE_EQ(wide.secondsPerPoint(), 0.2);
  CutDragLimits l = cutDragLimits(wide, 0, wide.secondsPerPoint());
  EXPECT_DOUBLE_EQ(l.lo, 0.1);
  EXPECT_DOUBLE_EQ(l.hi, 99.9);

  TimelineState narrow = View(128, {{0, 50}, {50, 100}});  // 100-point track
  EXPECT_DOUBLE_EQ(narrow.secondsPerPoint(), 1);
  l = cutDragLimits(narrow, 0, narrow.secondsPerPoint());
  EXPECT_DOUBLE_EQ(l.lo, 0.5);
  EXPECT_DOUBLE_EQ(l.hi, 99.5);

  // With removed material between the clips, the right clip's start moves
  // with the cut, so the limit keeps the gap.
  TimelineState gapped = View(528, {{10, 20}, {30, 40}});
  gapped.duration = 100;
  l = cutDragLimits(gapped, 0, 0.2);
  EXPECT_DOUBLE_EQ(l.lo, 10.1);
  EXPECT_DOUBLE_EQ(l.hi, 29.9);
  EXPECT_DOUBLE_EQ(clampCutTime(l, 5), 10.1);
  EXPECT_DOUBLE_EQ(clampCutTime(l, 15), 15);
  EXPECT_DOUBLE_EQ(clampCutTime(l, 35), 29.9);

  // The movie's duration caps the limit.
  gapped.duration = 25;
  EXPECT_DOUBLE_EQ(cutDragLimits(gapped, 0, 0.2).hi, 25);
}

// The hit tests walk the junctions in one pass; they must agree with the
// per-segment rectangles everywhere, including clips drawn at their 2-point
// minimum width where neighbouring junctions crowd together.
TEST(TimelineGeometry, JunctionHitTestsAgreeWithSegmentRectangles) {
  std::mt19937 rng(7);
  std::uniform_real_distribution<double> len(0.0005, 3.0);
  std::vector<kerfline::TimeSpan> segs;
  double t = 0;
  for (int i = 0; i < 300; ++i) {
    const double l = (i % 7 == 0) ? 0.0005 : len(rng);
    segs.push_back({t, t + l});
    t += l + 0.25;
  }
  const TimelineState v = View(1200, segs);
  std::uniform_real_distribution<double> xs(-20, 1220);
  for (int k = 0; k < 3000; ++k) {
    const double x = xs(rng);
    std::int64_t best = -1;
    double bestDistance = 8;
    bool hover = false;
    for (std::int64_t i = 0; i + 1 < static_cast<std::int64_t>(segs.size()); ++i) {
      const double d = std::fabs(x - v.rectForSegment(i).maxX());
      if (d < bestDistance) {
        bestDistance = d;
        best = i;
      }
      hover = hover || d <= 7;
    }
    ASSERT_EQ(v.junctionAtX(x), best) << "x = " << x;
    ASSERT_EQ(v.junctionHoverAtX(x), hover) << "x = " << x;
  }
}

}  // namespace
}  // namespace kf
