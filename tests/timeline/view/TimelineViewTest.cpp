#include <QApplication>
#include <QImage>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QTest>

#include <cmath>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "timeline/view/MGTimelineView.h"

namespace {

using kerfline::TimeSpan;

const QColor kBackground(18, 17, 13);
const QColor kCentreLine(51, 49, 42);
const QColor kClipFill(38, 36, 30);
const QColor kSelectedFill(58, 30, 26);
const QColor kClipBorder(74, 70, 60);
const QColor kAccent(226, 91, 69);
const QColor kLightText(237, 235, 226);
const QColor kHoverBack(40, 38, 30);

::testing::AssertionResult near(QColor actual, QColor expected, int tolerance = 2) {
  const int d =
      std::max({std::abs(actual.red() - expected.red()), std::abs(actual.green() - expected.green()),
                std::abs(actual.blue() - expected.blue())});
  if (d <= tolerance) return ::testing::AssertionSuccess();
  return ::testing::AssertionFailure()
         << "got (" << actual.red() << "," << actual.green() << "," << actual.blue() << ") expected ("
         << expected.red() << "," << expected.green() << "," << expected.blue() << ")";
}

struct Calls {
  struct Seek {
    double time;
    std::int64_t phase;
  };
  struct Trim {
    std::int64_t segment;
    bool leading;
    double time;
    std::int64_t phase;
  };
  struct Context {
    std::int64_t segment;
    double time;
    QPointF globalPos;
  };
  std::vector<Seek> seeks;
  std::vector<std::int64_t> selections;
  std::vector<Trim> trims;
  std::vector<Context> contexts;
  std::vector<std::int64_t> renames;

  void attach(MGTimelineView& v) {
    v.seekHandler = [this](double t, std::int64_t ph) { seeks.push_back({t, ph}); };
    v.selectionHandler = [this](std::int64_t i) { selections.push_back(i); };
    v.trimHandler = [this](std::int64_t i, bool lead, double t, std::int64_t ph) {
      trims.push_back({i, lead, t, ph});
    };
    v.contextHandler = [this](std::int64_t i, double t, const QMouseEvent& e) {
      contexts.push_back({i, t, e.globalPosition()});
    };
    v.renameHandler = [this](std::int64_t i) { renames.push_back(i); };
  }
};

class TimelineViewTest : public ::testing::Test {
 protected:
  // A view 828 points wide: the track runs from x = 14 to 814 (800 points)
  // and from y = 16 to 84. Segments [0, 4] and [6, 10]: segment 0 spans
  // x 14 .. 414, segment 1 x 414 .. 814.
  void SetUp() override {
    view.resize(828, 100);
    view.setDuration(12);
    view.setSegments({{0, 4}, {6, 10}});
    view.setNames({"", ""});
    view.setFadeIns({0, 0});
    view.setFadeOuts({0, 0});
    calls.attach(view);
  }

  QImage render() {
    QImage img(view.size(), QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::magenta);
    view.render(&img);
    return img;
  }

  void mouse(QEvent::Type type, QPointF pos, Qt::MouseButton button, Qt::MouseButtons buttons,
             Qt::KeyboardModifiers mods = Qt::NoModifier) {
    QMouseEvent ev(type, pos, view.mapToGlobal(pos), button, buttons, mods);
    QApplication::sendEvent(&view, &ev);
  }
  void press(double x, double y = 50, Qt::MouseButton button = Qt::LeftButton,
             Qt::KeyboardModifiers mods = Qt::NoModifier) {
    mouse(QEvent::MouseButtonPress, {x, y}, button, button, mods);
  }
  void drag(double x, double y = 50) { mouse(QEvent::MouseMove, {x, y}, Qt::NoButton, Qt::LeftButton); }
  void release(double x, double y = 50) {
    mouse(QEvent::MouseButtonRelease, {x, y}, Qt::LeftButton, Qt::NoButton);
  }
  void hover(double x, double y = 50) { mouse(QEvent::MouseMove, {x, y}, Qt::NoButton, Qt::NoButton); }

  MGTimelineView view;
  Calls calls;
};

// ------------------------------------------------------------------ drawing

TEST_F(TimelineViewTest, EmptyTimelineShowsOnlyTheBackgroundAndThePrompt) {
  view.setSegments({});
  QImage img = render();
  int textPixels = 0, stray = 0;
  for (int y = 0; y < img.height(); ++y) {
    for (int x = 0; x < img.width(); ++x) {
      const bool isBackground = near(img.pixelColor(x, y), kBackground, 0);
      const bool inPromptBox = x >= 14 && x < 220 && y >= 31 && y < 50;
      if (!isBackground && inPromptBox) ++textPixels;
      if (!isBackground && !inPromptBox) ++stray;
    }
  }
  EXPECT_GT(textPixels, 100) << "\"Open a movie to begin\" drawn at (14, 31)";
  EXPECT_EQ(stray, 0);

  // A movie of no duration, or segments of no length, count as empty too.
  view.setSegments({{0, 4}});
  view.setDuration(0);
  EXPECT_TRUE(near(render().pixelColor(200, 50), kBackground, 0));
  view.setDuration(12);
  view.setSegments({{3, 3}});
  EXPECT_TRUE(near(render().pixelColor(200, 50), kBackground, 0));
}

TEST_F(TimelineViewTest, ClipsSelectionOutlineAndBarsUseTheirColours) {
  view.setSelected(1);
  view.setPlayhead(2);
  const QImage img = render();
  EXPECT_TRUE(near(img.pixelColor(3, 3), kBackground, 0));
  EXPECT_TRUE(near(img.pixelColor(14, 50), kCentreLine, 0)) << "centre line left of the first block's fill";
  EXPECT_TRUE(near(img.pixelColor(300, 45), kClipFill, 0));
  EXPECT_TRUE(near(img.pixelColor(600, 45), kSelectedFill, 0));
  // Unselected outline: one point wide on the fill's edge (row 21).
  EXPECT_TRUE(near(img.pixelColor(300, 21), kClipBorder, 0));
  EXPECT_TRUE(near(img.pixelColor(300, 22), kClipFill, 0));
  // Selected outline: two points wide, centred half a point inside the fill.
  EXPECT_TRUE(near(img.pixelColor(600, 21), kAccent, 0));
  EXPECT_TRUE(near(img.pixelColor(600, 78), kAccent, 0));
  EXPECT_TRUE(near(img.pixelColor(415, 60), kAccent, 0));
  EXPECT_TRUE(near(img.pixelColor(812, 60), kAccent, 0));
  EXPECT_TRUE(near(img.pixelColor(600, 23), kSelectedFill, 0));
  // The light bars at the inner edges of the selected block only.
  const QColor bar(223, 218, 210);  // light text at 0.92 over the selected fill
  EXPECT_TRUE(near(img.pixelColor(417, 60), bar, 3));
  EXPECT_TRUE(near(img.pixelColor(810, 60), bar, 3));
  EXPECT_TRUE(near(img.pixelColor(420, 60), kSelectedFill, 0));
  EXPECT_TRUE(near(img.pixelColor(17, 60), kClipFill, 0));
  EXPECT_TRUE(near(img.pixelColor(410, 60), kClipFill, 0));

  view.setSelected(0);
  const QImage other = render();
  EXPECT_TRUE(near(other.pixelColor(300, 21), kAccent, 0));
  EXPECT_TRUE(near(other.pixelColor(600, 21), kClipBorder, 0));
  EXPECT_TRUE(near(other.pixelColor(600, 45), kClipFill, 0));
}

TEST_F(TimelineViewTest, PlayheadSitsAtItsEditedPosition) {
  auto accentColumns = [&](int y) {
    std::vector<int> xs;
    const QImage img = render();
    for (int x = 0; x < img.width(); ++x)
      if (near(img.pixelColor(x, y), kAccent, 0)) xs.push_back(x);
    return xs;
  };
  view.setPlayhead(2);  // edited 2 of 8: x = 14 + 200
  EXPECT_EQ(accentColumns(50), (std::vector<int>{214, 215}));
  EXPECT_EQ(accentColumns(13), (std::vector<int>{211, 212, 213, 214, 215, 216})) << "head triangle";
  view.setPlayhead(8);  // source 8 is edited 6
  EXPECT_EQ(accentColumns(50), (std::vector<int>{614, 615}));
  view.setPlayhead(5);  // removed material: drawn at the junction after it
  EXPECT_EQ(accentColumns(50), (std::vector<int>{414, 415}));
  view.setPlayhead(100);  // past the end: right end of the track
  EXPECT_EQ(accentColumns(50), (std::vector<int>{814, 815}));
  EXPECT_TRUE(near(render().pixelColor(815, 86), kAccent, 0)) << "stem reaches 4 points below the track";
}

// Dark shade pixels of the top rows of the fade triangles.
static bool isShade(QColor c) {
  return c.red() < 24 && c.green() < 24 && c.blue() < 22;
}

TEST_F(TimelineViewTest, FadeRampTakesItsShareOfTheEditedLength) {
  // 1 s fade-in on a 4 s clip of an 8 s edit on 800 points: 100 points wide.
  view.setSegments({{0, 4}, {4, 8}});
  view.setSelected(-1);
  view.setPlayhead(7.9);
  view.setFadeIns({1.0, 0});
  view.setFadeOuts({0, 2.0});
  const QImage img = render();
  // Row 23 lies just under the fill's top edge: the ramp line crosses it
  // about 4 points short of the inner end (x = 114).
  EXPECT_TRUE(isShade(img.pixelColor(20, 23)));
  EXPECT_TRUE(isShade(img.pixelColor(104, 23)));
  EXPECT_TRUE(near(img.pixelColor(116, 23), kClipFill, 0));
  // The fade-out of 2 s: 200 points back from the right end (x 614 .. 814).
  EXPECT_TRUE(isShade(img.pixelColor(808, 23)));
  EXPECT_TRUE(isShade(img.pixelColor(630, 23)));
  EXPECT_TRUE(near(img.pixelColor(610, 23), kClipFill, 0));
  // Lower rows of the triangle narrow toward the outer edge.
  EXPECT_TRUE(near(img.pixelColor(60, 70), kClipFill, 0));
  EXPECT_TRUE(isShade(img.pixelColor(16, 70)));

  // The label "1.0 s" begins 4 points after the ramp's inner end (x = 118)
  // at y = F.y + 3 = 24.
  auto inkColumns = [&](const QImage& im, int x0, int x1) {
    int first = -1;
    for (int x = x0; x < x1 && first < 0; ++x)
      for (int y = 24; y < 36; ++y)
        if (im.pixelColor(x, y).red() > 70) {
          first = x;
          break;
        }
    return first;
  };
  const int first = inkColumns(img, 112, 200);
  EXPECT_GE(first, 118);
  EXPECT_LE(first, 120);

  // A ramp filling its whole clip keeps the label inside the clip: it ends
  // 4 points before the clip's right edge.
  view.setFadeIns({4.0, 0});
  view.setFadeOuts({0, 0});
  const QImage full = render();
  int last = -1;
  for (int x = 350; x < 414; ++x)
    for (int y = 24; y < 36; ++y)
      if (full.pixelColor(x, y).red() > 120) last = x;
  EXPECT_GE(last, 400);
  EXPECT_LE(last, 410);
}

TEST_F(TimelineViewTest, WaveformColumnsFollowTheSourceTimeAndClampTheLevel) {
  // Level 0 in the first half of the movie, 1 in the second: only the clip
  // over source 6 .. 10 shows sound, and it fills 68 % of the block height.
  std::vector<float> wave(12);
  for (std::size_t i = 0; i < wave.size(); ++i) wave[i] = i >= 6 ? 3.0f : -1.0f;
  view.setWaveform(wave);
  view.setSelected(-1);
  view.setPlayhead(0);
  const QImage img = render();
  auto rowHasWave = [&](int x0, int x1, int y) {
    for (int x = x0; x < x1; ++x)
      if (!near(img.pixelColor(x, y), kClipFill, 0) && img.pixelColor(x, y).red() > 40) return true;
    return false;
  };
  // Block height 68: a = 23.12 around y = 50, so rows 27 .. 72 carry sound.
  EXPECT_TRUE(rowHasWave(450, 780, 28));
  EXPECT_TRUE(rowHasWave(450, 780, 72));
  EXPECT_FALSE(rowHasWave(450, 780, 25));
  EXPECT_FALSE(rowHasWave(450, 780, 75));
  EXPECT_FALSE(rowHasWave(40, 400, 45)) << "silent clip draws no columns";
}

TEST_F(TimelineViewTest, NarrowClipGetsOneWaveformColumnAtItsLeftEdge) {
  // A 3-point block: 3 / 2 = 1 column, at u = 0.
  view.resize(28 + 800, 100);
  view.setDuration(800);
  view.setSegments({{0, 3}, {3, 800}});
  std::vector<float> wave(800, 0.0f);
  wave[0] = wave[1] = wave[2] = 1.0f;  // only the narrow clip has sound
  view.setWaveform(wave);
  view.setSelected(-1);
  const QImage img = render();
  // The column at x = 14.0 covers pixels 13 and 14 half each; a second one
  // would sit at the block's right edge, x = 17, over the background gap.
  auto lum = [&](int x) { return img.pixelColor(x, 30).red(); };
  EXPECT_GT(lum(13), kBackground.red() + 10);
  EXPECT_EQ(lum(16), kBackground.red());
  EXPECT_EQ(lum(17), kBackground.red());
}

TEST_F(TimelineViewTest, DefaultNamesCountFromOne) {
  view.setSegments({{0, 1}, {1, 2}, {2, 3}});
  view.setNames({"Intro", "", "\xff"});
  EXPECT_EQ(view.titleForSegment(0), QStringLiteral("Intro"));
  EXPECT_EQ(view.titleForSegment(1), QStringLiteral("CLIP 2"));
  view.setNames({"Intro"});
  EXPECT_EQ(view.titleForSegment(2), QStringLiteral("CLIP 3")) << "a missing entry uses the default name";
}

TEST_F(TimelineViewTest, LabelsStayInsideTheirClip) {
  // The last clip is 40 points wide; its long name would run past the track.
  view.setSegments({{0, 19}, {19, 20}});
  view.setDuration(20);
  view.setNames({"", "A very long clip name that does not fit"});
  view.setPlayhead(0);
  const QImage img = render();
  int ink = 0, spill = 0;
  for (int y = 24; y < 40; ++y) {
    for (int x = 790; x < 810; ++x)
      if (img.pixelColor(x, y).red() > 120) ++ink;
    for (int x = 815; x < 828; ++x)
      if (!near(img.pixelColor(x, y), kBackground, 0)) ++spill;
  }
  EXPECT_GT(ink, 10) << "the name shows inside its clip";
  EXPECT_EQ(spill, 0) << "nothing of it beyond the clip";
}

TEST_F(TimelineViewTest, HoverMarkerLabelStaysInsideTheView) {
  hover(15);
  QImage img = render();
  EXPECT_TRUE(near(img.pixelColor(2, 1), kHoverBack, 0));
  EXPECT_TRUE(near(img.pixelColor(1, 1), kBackground, 0));
  hover(826);
  img = render();
  EXPECT_TRUE(near(img.pixelColor(828 - 48, 1), kHoverBack, 0));
  EXPECT_TRUE(near(img.pixelColor(828 - 49, 1), kBackground, 0));
  hover(300);
  img = render();
  EXPECT_TRUE(near(img.pixelColor(280, 1), kHoverBack, 0));
  EXPECT_TRUE(near(img.pixelColor(279, 1), kBackground, 0));
  EXPECT_FALSE(near(img.pixelColor(300, 15), kBackground, 0)) << "marker line above the track";
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(&view, &leave);
  img = render();
  EXPECT_TRUE(near(img.pixelColor(280, 1), kBackground, 0));
  EXPECT_TRUE(near(img.pixelColor(300, 15), kBackground, 0));
}

TEST_F(TimelineViewTest, PaintedBlocksMatchTheGeometryExactly) {
  // Painting computes all blocks in one pass; they must equal the hit-test
  // rectangles bit for bit, tiny and uneven segments included.
  std::uint64_t seed = 12345;
  auto next = [&] {
    seed = seed * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(seed >> 11) / 9007199254740992.0;
  };
  for (int round = 0; round < 40; ++round) {
    std::vector<TimeSpan> segs;
    double t = next() * 3;
    const int n = 1 + static_cast<int>(next() * 300);
    for (int k = 0; k < n; ++k) {
      const double len = next() < 0.2 ? next() * 0.001 : next() * 7;
      segs.push_back({t, t + len});
      t += len + next() * 2;
    }
    view.resize(200 + static_cast<int>(next() * 1400), 100);
    view.setSegments(segs);
    const std::vector<kf::Rect> rects = view.allSegmentRects();
    ASSERT_EQ(rects.size(), segs.size());
    for (std::size_t k = 0; k < segs.size(); ++k)
      ASSERT_EQ(rects[k], view.rectForSegment(static_cast<std::int64_t>(k)))
          << "round " << round << " k " << k;
  }
  view.setSegments({{2, 2}});
  EXPECT_EQ(view.allSegmentRects(), std::vector<kf::Rect>{kf::Rect{}});
}

TEST_F(TimelineViewTest, WholePixelFillsMatchTheGeneralAntiAliasedPath) {
  // On a painter whose units are device pixels the blocks are filled with a
  // faster whole-pixel method; a painter shifted by a hair takes Qt's general
  // anti-aliased path. Both must give the same picture.
  std::vector<TimeSpan> segs;
  for (int k = 0; k < 60; ++k) segs.push_back({k * 1.7, k * 1.7 + 0.3 + (k % 7) * 0.37});
  view.setSegments(segs);
  view.setDuration(120);
  view.setSelected(17);
  view.setPlayhead(40);
  auto paint = [&](double shift) {
    QImage img(view.size(), QImage::Format_ARGB32_Premultiplied);
    img.fill(Qt::black);
    QPainter p(&img);
    p.translate(shift, 0);
    view.paintTimeline(p);
    return img;
  };
  const QImage fast = paint(0), general = paint(1e-7);
  int worst = 0;
  for (int y = 0; y < fast.height(); ++y)
    for (int x = 0; x < fast.width(); ++x) {
      const QColor a = fast.pixelColor(x, y), b = general.pixelColor(x, y);
      worst = std::max({worst, std::abs(a.red() - b.red()), std::abs(a.green() - b.green()),
                        std::abs(a.blue() - b.blue())});
    }
  EXPECT_LE(worst, 3);
}

// ------------------------------------------------------------------ gestures

TEST_F(TimelineViewTest, PressOnACutSelectsItsLeftClipAndDrawsTheBand) {
  view.setSelected(1);
  press(414);
  ASSERT_EQ(calls.trims.size(), 1u);
  EXPECT_EQ(calls.trims[0].segment, 0);
  EXPECT_FALSE(calls.trims[0].leading);
  EXPECT_DOUBLE_EQ(calls.trims[0].time, 4.0);
  EXPECT_EQ(calls.trims[0].phase, 0);
  EXPECT_EQ(calls.selections, (std::vector<std::int64_t>{0}));
  EXPECT_EQ(view.selected(), 0);
  EXPECT_TRUE(calls.seeks.empty());
  EXPECT_EQ(view.cursor().shape(), Qt::SizeHorCursor);
  EXPECT_TRUE(view.isDraggingHandle());
  // The cut marker: 3 points wide around x = 414, 4 points above the track.
  QImage img = render();
  EXPECT_TRUE(near(img.pixelColor(413, 13), kLightText, 0));
  EXPECT_TRUE(near(img.pixelColor(415, 86), kLightText, 0));

  release(414);
  ASSERT_EQ(calls.trims.size(), 2u);
  EXPECT_DOUBLE_EQ(calls.trims[1].time, 4.0);
  EXPECT_EQ(calls.trims[1].phase, 2);
  EXPECT_EQ(view.cursor().shape(), Qt::ArrowCursor);
  img = render();
  EXPECT_FALSE(near(img.pixelColor(413, 13), kLightText, 0)) << "band gone after release";
}

TEST_F(TimelineViewTest, CutDragStopsAtTheMarginAndReAnchorsAtTheLimit) {
  // 8 s over 800 points: 0.01 s per point, margin 0.1 s. The cut may move
  // up to B.end - margin - gap = 10 - 0.1 - 2 = 7.9.
  press(414);
  drag(514);
  ASSERT_EQ(calls.trims.size(), 2u);
  EXPECT_NEAR(calls.trims[1].time, 5.0, 1e-9);
  EXPECT_EQ(calls.trims[1].phase, 1);
  drag(914);  // asks for 9.0
  EXPECT_NEAR(calls.trims.back().time, 7.9, 1e-9);
  // Moving back 10 points responds at once from the limit.
  drag(904);
  EXPECT_NEAR(calls.trims.back().time, 7.8, 1e-9);
  // The band follows the pointer, but never beyond the track.
  drag(1000);
  QImage img = render();
  EXPECT_TRUE(near(img.pixelColor(814, 13), kLightText, 0));
  EXPECT_FALSE(near(img.pixelColor(818, 13), kLightText, 0));
  // Lower limit: A.start + margin.
  drag(-500);
  EXPECT_NEAR(calls.trims.back().time, 0.1, 1e-9);
  drag(-490);
  EXPECT_NEAR(calls.trims.back().time, 0.2, 1e-9);
  release(-490);
  EXPECT_EQ(calls.trims.back().phase, 2);
  EXPECT_NEAR(calls.trims.back().time, 0.2, 1e-9);
  for (const auto& t : calls.trims) {
    EXPECT_EQ(t.segment, 0);
    EXPECT_FALSE(t.leading);
  }
  EXPECT_TRUE(calls.seeks.empty());
}

TEST_F(TimelineViewTest, CutDragMarginDependsOnTheScaleFixedAtPress) {
  // 100 s on a 500-point track: 0.2 s per point, margin 0.1 s.
  view.resize(528, 100);
  view.setDuration(100);
  view.setSegments({{0, 50}, {50, 100}});
  press(264);
  drag(2000);
  EXPECT_NEAR(calls.trims.back().time, 99.9, 1e-9);
  release(2000);
  // On a 100-point track: 1 s per point, margin 0.5 s.
  calls.trims.clear();
  view.resize(128, 100);
  press(64);
  drag(500);
  EXPECT_NEAR(calls.trims.back().time, 99.5, 1e-9);
  view.resize(828, 100);  // resizing mid-drag keeps the scale of the press
  drag(-500);
  EXPECT_NEAR(calls.trims.back().time, 0.5, 1e-9);
  release(-500);
}

TEST_F(TimelineViewTest, PressHitsACutOnlyWithinEightPoints) {
  press(414 + 7.9);
  EXPECT_EQ(calls.trims.size(), 1u);
  release(414 + 7.9);
  calls = {};
  calls.attach(view);
  press(414 + 8);
  EXPECT_TRUE(calls.trims.empty());
  ASSERT_EQ(calls.seeks.size(), 1u);
  EXPECT_EQ(calls.seeks[0].phase, 0);
  release(414 + 8);
}

TEST_F(TimelineViewTest, PlayheadDragScrubsWithPhases) {
  press(214);
  EXPECT_EQ(calls.selections, (std::vector<std::int64_t>{0}));
  drag(314);
  drag(614);
  release(714);
  ASSERT_EQ(calls.seeks.size(), 4u);
  EXPECT_DOUBLE_EQ(calls.seeks[0].time, 2.0);
  EXPECT_EQ(calls.seeks[0].phase, 0);
  EXPECT_DOUBLE_EQ(calls.seeks[1].time, 3.0);
  EXPECT_EQ(calls.seeks[1].phase, 1);
  EXPECT_DOUBLE_EQ(calls.seeks[2].time, 8.0);
  EXPECT_EQ(calls.seeks[2].phase, 1);
  EXPECT_DOUBLE_EQ(calls.seeks[3].time, 9.0);
  EXPECT_EQ(calls.seeks[3].phase, 2);
  EXPECT_TRUE(calls.trims.empty());
  // Pointer outside the track clamps to the ends of the edit.
  calls.seeks.clear();
  press(2);
  release(900);
  EXPECT_DOUBLE_EQ(calls.seeks[0].time, 0.0);
  EXPECT_DOUBLE_EQ(calls.seeks[1].time, 10.0);
}

TEST_F(TimelineViewTest, EscapeCancelsTheActiveDragOnce) {
  press(214);
  drag(314);
  EXPECT_TRUE(view.cancelActiveInteraction());
  ASSERT_EQ(calls.seeks.size(), 3u);
  EXPECT_DOUBLE_EQ(calls.seeks[2].time, 3.0);
  EXPECT_EQ(calls.seeks[2].phase, -1);
  EXPECT_FALSE(view.cancelActiveInteraction());
  drag(400);
  release(400);
  EXPECT_EQ(calls.seeks.size(), 3u) << "nothing after the cancel";

  // Esc while the view has focus cancels a cut drag the same way.
  press(414);
  drag(454);
  QTest::keyClick(&view, Qt::Key_Escape);
  ASSERT_EQ(calls.trims.size(), 3u);
  EXPECT_NEAR(calls.trims[2].time, 4.4, 1e-9);
  EXPECT_EQ(calls.trims[2].phase, -1);
  EXPECT_EQ(view.cursor().shape(), Qt::ArrowCursor);
  EXPECT_FALSE(view.isDraggingHandle());
  EXPECT_FALSE(near(render().pixelColor(453, 13), kLightText, 0)) << "band gone after cancel";
  release(454);
  EXPECT_EQ(calls.trims.size(), 3u);

  // Esc with no drag is left to the window.
  QKeyEvent esc(QEvent::KeyPress, Qt::Key_Escape, Qt::NoModifier);
  QApplication::sendEvent(&view, &esc);
  EXPECT_FALSE(esc.isAccepted());
}

TEST_F(TimelineViewTest, PressOnTheSelectedClipsLabelRenames) {
  // Label of clip 1: (418, 21, 392, 22).
  press(600, 30);
  release(600, 30);
  EXPECT_EQ(calls.selections, (std::vector<std::int64_t>{1}));
  EXPECT_TRUE(calls.renames.empty());
  EXPECT_EQ(calls.seeks.size(), 2u) << "the first press only selects and scrubs";
  press(600, 30);
  EXPECT_EQ(calls.renames, (std::vector<std::int64_t>{1}));
  EXPECT_EQ(calls.seeks.size(), 2u);
  EXPECT_FALSE(view.isDraggingPlayhead());
  release(600, 30);
  EXPECT_EQ(calls.seeks.size(), 2u);
  // Below the label the selected clip scrubs.
  press(600, 60);
  EXPECT_EQ(calls.renames.size(), 1u);
  EXPECT_EQ(calls.seeks.size(), 3u);
  release(600, 60);
  // A double click on the selected label arrives as a double-click event.
  mouse(QEvent::MouseButtonDblClick, {600, 30}, Qt::LeftButton, Qt::LeftButton);
  EXPECT_EQ(calls.renames.size(), 2u);
}

TEST_F(TimelineViewTest, SecondaryClickSelectsAndReportsTheClipUnderThePointer) {
  press(600, 50, Qt::RightButton);
  ASSERT_EQ(calls.contexts.size(), 1u);
  EXPECT_EQ(calls.contexts[0].segment, 1);
  EXPECT_NEAR(calls.contexts[0].time, 7.86, 1e-9);  // edited 5.86
  EXPECT_EQ(calls.contexts[0].globalPos, QPointF(view.mapToGlobal(QPointF(600, 50))));
  EXPECT_EQ(calls.selections, (std::vector<std::int64_t>{1}));
  EXPECT_TRUE(calls.seeks.empty());
  // Control with the left button is a secondary click too.
  press(100, 50, Qt::LeftButton, Qt::ControlModifier);
  ASSERT_EQ(calls.contexts.size(), 2u);
  EXPECT_EQ(calls.contexts[1].segment, 0);
  EXPECT_FALSE(view.isDraggingPlayhead());
  EXPECT_TRUE(calls.seeks.empty());

  view.setSegments({});
  calls.selections.clear();
  press(300, 50, Qt::RightButton);
  ASSERT_EQ(calls.contexts.size(), 3u);
  EXPECT_EQ(calls.contexts[2].segment, -1);
  EXPECT_TRUE(calls.selections.empty());
}

TEST_F(TimelineViewTest, HoverCursorChangesWithinSevenPointsOfACut) {
  hover(414 + 7);
  EXPECT_EQ(view.cursor().shape(), Qt::SizeHorCursor);
  hover(414 - 7.5);
  EXPECT_EQ(view.cursor().shape(), Qt::ArrowCursor);
  hover(414);
  EXPECT_EQ(view.cursor().shape(), Qt::SizeHorCursor);
  hover(814);  // the last clip's end is no cut
  EXPECT_EQ(view.cursor().shape(), Qt::ArrowCursor);
  hover(415);
  QEvent leave(QEvent::Leave);
  QApplication::sendEvent(&view, &leave);
  EXPECT_EQ(view.cursor().shape(), Qt::ArrowCursor);
  EXPECT_TRUE(calls.seeks.empty() && calls.trims.empty() && calls.selections.empty());
}

TEST_F(TimelineViewTest, MissingHandlersAreSkipped) {
  MGTimelineView bare;
  bare.resize(828, 100);
  bare.setDuration(12);
  bare.setSegments({{0, 4}, {6, 10}});
  auto send = [&](QEvent::Type type, double x, Qt::MouseButton b, Qt::MouseButtons bs) {
    QMouseEvent ev(type, QPointF(x, 30), QPointF(x, 30), b, bs, Qt::NoModifier);
    QApplication::sendEvent(&bare, &ev);
  };
  send(QEvent::MouseButtonPress, 414, Qt::LeftButton, Qt::LeftButton);
  send(QEvent::MouseMove, 500, Qt::NoButton, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, 500, Qt::LeftButton, Qt::NoButton);
  send(QEvent::MouseButtonPress, 600, Qt::LeftButton, Qt::LeftButton);
  send(QEvent::MouseButtonRelease, 600, Qt::LeftButton, Qt::NoButton);
  send(QEvent::MouseButtonPress, 600, Qt::LeftButton, Qt::LeftButton);
  send(QEvent::MouseButtonPress, 600, Qt::RightButton, Qt::RightButton);
  EXPECT_EQ(bare.selected(), 1);
}

}  // namespace

// The application object lives in main so that it is destroyed before the
// toolkit's own globals.
int main(int argc, char** argv) {
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
