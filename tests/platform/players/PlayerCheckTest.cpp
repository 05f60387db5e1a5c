// The players check's own logic: frame lists, where it seeks, and how it
// tells a lead-in, a junction flash, a dropped frame and a frame the
// browser presented without the page capturing it apart. Also, on a
// generated movie with an edit list, FFmpeg's decoder with edit lists
// ignored shows the frames before each cut and the check says so.
#include <gtest/gtest.h>

#include "PlayerCheck.h"
#include "platform/ffmpeg/TestMovies.h"

namespace kf::players {
namespace {

namespace tm = kf::testmovies;

TEST(PlayerCheckTest, FrameListsReadAndWriteRuns) {
  auto v = ParseFrameList(" 3-5, 9 ,20-21");
  ASSERT_TRUE(v.ok());
  EXPECT_EQ(*v, (std::vector<int>{3, 4, 5, 9, 20, 21}));
  EXPECT_EQ(FormatFrameList(*v), "3-5,9,20-21");
  EXPECT_EQ(FormatFrameList({7, 6, 5, -1, -1}), "7,6,5,-1,-1");
  for (const char* bad : {"", "5-3", "x", "4-", "1-2-3", "-3"}) EXPECT_FALSE(ParseFrameList(bad).ok()) << bad;
}

TEST(PlayerCheckTest, SeeksTheFirstMiddleAndLastFrameOfEachRange) {
  const auto plan = SeekPlan({10, 11, 12, 13, 14, 40, 41}, 30);
  ASSERT_EQ(plan.size(), 5u);
  const std::vector<std::pair<int, int>> want = {{0, 10}, {2, 12}, {4, 14}, {5, 40}, {6, 41}};
  for (std::size_t i = 0; i < want.size(); ++i) {
    EXPECT_NEAR(plan[i].time, want[i].first / 30.0 + 0.001, 1e-9) << i;
    EXPECT_EQ(plan[i].expected, want[i].second) << i;
  }
  EXPECT_EQ(plan[2].what, "before junction 1");
  EXPECT_EQ(plan[3].what, "start of range 2");
}

Showing Shown(std::vector<int> frames) {
  Showing s;
  s.player = "test";
  s.frames = std::move(frames);
  return s;
}

TEST(PlayerCheckTest, TellsLeadInFlashesAndTrailingFramesApart) {
  const std::vector<int> expected = {5, 6, 7, 20, 21};
  EXPECT_TRUE(Compare(expected, Shown({5, 6, 6, 7, 20, 21})).exact);  // a repeated picture is one frame

  const Comparison c = Compare(expected, Shown({0, 1, 5, 6, 7, 8, 15, 20, 21, 22}));
  EXPECT_FALSE(c.exact);
  EXPECT_TRUE(c.allKeptShown);
  EXPECT_EQ(c.leadIn, (std::vector<int>{0, 1}));
  ASSERT_EQ(c.flashes.size(), 1u);
  EXPECT_EQ(c.flashes[0].first, 7);
  EXPECT_EQ(c.flashes[0].second, (std::vector<int>{8, 15}));
  EXPECT_EQ(c.trailing, (std::vector<int>{22}));

  const Comparison again = Compare(expected, Shown({5, 6, 7, 0, 5, 6, 7, 20, 21}));
  EXPECT_FALSE(again.inOrder);
  EXPECT_FALSE(again.exact);

  const Comparison dropped = Compare(expected, Shown({5, 7, 20, -1}));
  EXPECT_EQ(dropped.missing, (std::vector<int>{6, 21}));
  EXPECT_EQ(dropped.unreadable, 1);
  EXPECT_FALSE(dropped.allKeptShown);
}

TEST(PlayerCheckTest, FramesInACaptureGapAreNotCountedMissing) {
  const std::vector<int> expected = {1, 2, 3, 4, 5, 6};
  Showing s = Shown({1, 4, 6});
  s.uncapturedBefore = {0, 2, 0};  // two frames presented between 1 and 4; none between 4 and 6
  const Comparison c = Compare(expected, s);
  EXPECT_EQ(c.uncaptured, (std::vector<int>{2, 3}));
  EXPECT_EQ(c.missing, (std::vector<int>{5}));
  s.frames = {1, 4, 5, 6};
  s.uncapturedBefore = {0, 2, 0, 0};
  EXPECT_TRUE(Compare(expected, s).exact);
}

TEST(PlayerCheckTest, SeeksDurationChangesAndStallsSpoilExactness) {
  const std::vector<int> expected = {1, 2};
  Showing s = Shown({1, 2});
  s.seeks = {{{0.001, 1, "start of range 1"}, 1}};
  EXPECT_TRUE(Compare(expected, s).exact);
  s.seeks.push_back({{0.034, 2, "last frame of range 1"}, 7});
  EXPECT_EQ(Compare(expected, s).wrongSeeks, 1);
  EXPECT_FALSE(Compare(expected, s).exact);
  s.seeks.pop_back();
  s.durations = {std::nan(""), 2.0, 2.0};
  EXPECT_TRUE(Compare(expected, s).exact);
  s.durations.push_back(3.5);
  EXPECT_TRUE(Compare(expected, s).durationChanged);
  s.durations.pop_back();
  s.stalled = true;
  EXPECT_FALSE(Compare(expected, s).exact);
}

// A generated movie with three edit entries (15–44, 90–104, 120–179 of 180
// frames): FFmpeg honours them; with edit lists ignored every frame shows,
// and the check names the lead-in and the frames flashed at each junction.
TEST(PlayerCheckTest, FfmpegWithEditListsIgnoredShowsWhatLiesBeforeEachCut) {
  const std::string movie = tm::ensure(tm::named("editlist3"));
  const std::vector<int> expected = tm::expectedFrames(tm::named("editlist3"));
  const Showing honoured = PlayFfmpeg(movie, false);
  EXPECT_TRUE(Compare(expected, honoured).exact) << Describe(expected, honoured, Compare(expected, honoured));

  const Showing ignored = PlayFfmpeg(movie, true);
  const Comparison c = Compare(expected, ignored);
  EXPECT_EQ(FormatFrameList(ignored.frames), "0-179");
  EXPECT_FALSE(c.exact);
  EXPECT_EQ(FormatFrameList(c.leadIn), "0-14");
  ASSERT_EQ(c.flashes.size(), 2u);
  EXPECT_EQ(c.flashes[0].first, 44);
  EXPECT_EQ(FormatFrameList(c.flashes[0].second), "45-89");
  EXPECT_EQ(FormatFrameList(c.flashes[1].second), "105-119");
  EXPECT_DOUBLE_EQ(ProbeFrameRate(movie), 30.0);
}

}  // namespace
}  // namespace kf::players
