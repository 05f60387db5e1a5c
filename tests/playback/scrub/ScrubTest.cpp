// Three-tier scrubbing in virtual time against the scripted player: rough
// previews, the exact refinement and its abandonment, the settle and the
// resume, Esc, tokens, and the metrics lines.
#include <cstdlib>

#include "../session/SessionFixture.h"

namespace kf::test {
namespace {

class Scrub : public SessionFixture {
 protected:
  // A 600 s movie at 25 frames per second (half a frame: 0.02 s), ready,
  // playing at 100 s; seeks wait for the test.
  void openMovie(double duration = 600) {
    openFully("/m/a.mp4", duration);
    player.currentScripted()->setStatus(media::ItemStatus::ReadyToPlay);
    scheduler.runPending();
    player.time = 100;
    player.seeks.clear();
    player.tolerances.clear();
    player.holdSeeks = true;
  }
  std::size_t seekCount() const { return player.seeks.size(); }
  double lastTolerance() const { return player.tolerances.back().first; }
};

TEST(RoughScrubTolerance, FollowsFramesAndTimelinePointsWithinBounds) {
  EXPECT_DOUBLE_EQ(RoughScrubTolerance(600, 1000, 1.0 / 30), 1.2);
  EXPECT_DOUBLE_EQ(RoughScrubTolerance(20, 1000, 1.0 / 30), 0.1);
  EXPECT_DOUBLE_EQ(RoughScrubTolerance(7200, 1000, 1.0 / 30), 2.0);
  EXPECT_DOUBLE_EQ(RoughScrubTolerance(20, 1000, 0.1), 0.30000000000000004);
  // Unknown frame rate or track: 0.1 s from the frames, 0 from the track.
  EXPECT_DOUBLE_EQ(RoughScrubTolerance(20, 1000, 0), 0.1);
  EXPECT_DOUBLE_EQ(RoughScrubTolerance(600, 0, std::nan("")), 0.1);
  EXPECT_DOUBLE_EQ(RoughScrubTolerance(INFINITY, 1000, 1.0 / 30), 0.1);
}

TEST_F(Scrub, RoughPreviewsOneAtATimeToTheNewestTarget) {
  openMovie();
  transport.scrubTo(10, 0);
  EXPECT_TRUE(transport.isScrubbing());
  EXPECT_EQ(player.rate(), 0) << "playback pauses while scrubbing";
  ASSERT_EQ(seekCount(), 1u);
  EXPECT_DOUBLE_EQ(player.seeks[0], 10);
  EXPECT_DOUBLE_EQ(lastTolerance(), 1.2) << "600 s over 1000 points";
  EXPECT_DOUBLE_EQ(player.tolerances.back().second, 1.2);

  // An outstanding rough seek is never abandoned: the newest target waits.
  transport.scrubTo(20, 1);
  transport.scrubTo(30.5, 1);
  EXPECT_EQ(seekCount(), 1u);
  EXPECT_EQ(player.currentScripted()->cancelledSeeks, 0);
  EXPECT_TRUE(transport.isScrubSeekInFlight());
  // The tick shows the target, not the player's time, and does not follow
  // the edit or watch for stalls while scrubbing.
  transport.tick(3);
  EXPECT_DOUBLE_EQ(transportView.playhead, 30.5);

  player.finishHeld(0);
  ASSERT_EQ(seekCount(), 2u);
  EXPECT_DOUBLE_EQ(player.seeks[1], 30.5);
  player.finishHeld(1);
  EXPECT_EQ(seekCount(), 2u) << "caught up";

  // Less than half a frame from the last preview: no new seek.
  transport.scrubTo(30.515, 1);
  EXPECT_EQ(seekCount(), 2u);
  transport.scrubTo(30.53, 1);
  ASSERT_EQ(seekCount(), 3u);
  EXPECT_DOUBLE_EQ(player.seeks[2], 18318.0 / 600) << "whole 1/600 units";

  // Targets are clamped to the timeline.
  player.finishHeld(2);
  transport.scrubTo(700, 1);
  EXPECT_DOUBLE_EQ(player.seeks.back(), 600);
  player.finishLastHeld();
  transport.scrubTo(-5, 1);
  EXPECT_DOUBLE_EQ(player.seeks.back(), 0);
  EXPECT_DOUBLE_EQ(transportView.playhead, 0);
}

TEST_F(Scrub, RestingPointerRefinesExactlyAndAMoveAbandonsTheRefinement) {
  openMovie();
  transport.scrubTo(10, 0);
  player.finishHeld(0);
  scheduler.advance(0.074);
  EXPECT_EQ(seekCount(), 1u);
  scheduler.advance(0.001);
  ASSERT_EQ(seekCount(), 2u);
  EXPECT_DOUBLE_EQ(player.seeks[1], 10);
  EXPECT_EQ(player.tolerances[1], std::make_pair(0.0, 0.0)) << "the refinement is exact";

  // A move of less than half a frame leaves the exact seek running.
  transport.scrubTo(10.015, 1);
  EXPECT_EQ(seekCount(), 2u);
  EXPECT_EQ(player.currentScripted()->cancelledSeeks, 0);

  // Half a frame or more abandons it and issues a rough seek at once.
  const auto tokenBefore = scrub.seekToken();
  transport.scrubTo(10.025, 1);
  EXPECT_EQ(player.currentScripted()->cancelledSeeks, 1);
  ASSERT_EQ(seekCount(), 3u);
  EXPECT_DOUBLE_EQ(player.seeks[2], 6015.0 / 600);
  EXPECT_DOUBLE_EQ(lastTolerance(), 1.2);
  EXPECT_EQ(scrub.seekToken(), tokenBefore + 2) << "one for the abandonment, one for the new seek";

  // The abandoned seek's late completion is stale: nothing follows from it.
  player.finishHeld(1, true);
  EXPECT_EQ(seekCount(), 3u);
  EXPECT_TRUE(transport.isScrubSeekInFlight());

  // Moving keeps postponing the refinement.
  player.finishHeld(2);
  for (int i = 0; i < 5; ++i) {
    scheduler.advance(0.05);
    transport.scrubTo(20 + i, 1);
    player.finishLastHeld();
  }
  EXPECT_EQ(player.tolerances.back().first, 1.2);
  scheduler.advance(0.075);
  EXPECT_DOUBLE_EQ(player.seeks.back(), 24);
  EXPECT_EQ(player.tolerances.back().first, 0.0);

  // A rough preview that did not finish issues nothing further by itself.
  player.finishLastHeld();
  transport.scrubTo(40, 1);
  const std::size_t n = seekCount();
  transport.scrubTo(50, 1);
  player.finishLastHeld(false);
  EXPECT_EQ(seekCount(), n);
  scheduler.advance(0.075);
  EXPECT_EQ(seekCount(), n + 1);
  EXPECT_DOUBLE_EQ(player.seeks.back(), 50);
}

TEST_F(Scrub, SettleThenResumeOnlyAfterTheSettleFinished) {
  openMovie();
  ASSERT_EQ(player.rate(), 1);
  transport.scrubTo(10, 0);
  transport.scrubTo(12, 1);
  EXPECT_EQ(waveformPauses, std::vector<bool>{true});
  transport.scrubTo(15, 2);
  EXPECT_FALSE(transport.isScrubbing());
  EXPECT_EQ(waveformPauses, (std::vector<bool>{true, false}));
  EXPECT_GE(player.currentScripted()->cancelledSeeks, 1) << "pending previews are cancelled";
  EXPECT_DOUBLE_EQ(player.seeks.back(), 15);
  EXPECT_EQ(player.tolerances.back(), std::make_pair(0.0, 0.0));
  EXPECT_EQ(player.rate(), 0) << "no resume before the settle has finished";
  // The preview that was outstanding completes late: stale.
  const std::size_t n = seekCount();
  player.finishHeld(0);
  EXPECT_EQ(seekCount(), n);
  scheduler.advance(0.2);
  EXPECT_EQ(seekCount(), n) << "no refinement after the release";
  player.finishLastHeld();
  EXPECT_EQ(player.rate(), 1);

  // A settle that does not finish does not resume.
  transport.scrubTo(30, 0);
  transport.scrubTo(31, 2);
  player.finishLastHeld(false);
  EXPECT_EQ(player.rate(), 0);
}

TEST_F(Scrub, EscSettlesAtTheLastTargetWithoutResuming) {
  openMovie();
  transport.scrubTo(10, 0);
  transport.scrubTo(42, 1);
  transport.scrubTo(99, -1);  // the cancelled report's time is not used
  EXPECT_FALSE(transport.isScrubbing());
  EXPECT_DOUBLE_EQ(player.seeks.back(), 42);
  EXPECT_EQ(player.tolerances.back(), std::make_pair(0.0, 0.0));
  player.finishLastHeld();
  EXPECT_EQ(player.rate(), 0);
  EXPECT_DOUBLE_EQ(transportView.playhead, 42);
  EXPECT_EQ(waveformPauses, (std::vector<bool>{true, false}));

  // Cancelled outside a scrub: nothing.
  const std::size_t n = seekCount();
  transport.scrubTo(5, -1);
  EXPECT_EQ(seekCount(), n);
}

TEST_F(Scrub, AMoveWithoutAPressBeginsAScrubAndAReleaseWithoutOneIsAPlainSeek) {
  openMovie();
  // A junction armed (by a roll) is disarmed when a scrub begins.
  kerfline::EditState s = edit.editState();
  s.segments = {{0, 300}, {300, 600}};
  s.names = {"", ""};
  s.fadeIns = {0, 0};
  s.fadeOuts = {0, 0};
  edit.applyEditState(s);
  edit.rollJunction(0, 300, 2);
  ASSERT_EQ(edit.armedHandle(), 0);
  player.seeks.clear();
  player.tolerances.clear();
  player.held.clear();
  transport.scrubTo(20, 1);
  EXPECT_TRUE(transport.isScrubbing());
  EXPECT_EQ(edit.armedHandle(), -1);
  EXPECT_EQ(player.rate(), 0);
  ASSERT_EQ(seekCount(), 1u);
  EXPECT_DOUBLE_EQ(lastTolerance(), 1.2);
  transport.scrubTo(20, 2);
  player.finishLastHeld();
  EXPECT_EQ(player.rate(), 1) << "it was playing when the scrub began";

  // Release without a scrub: one exact seek, no scrub state.
  transport.scrubTo(33, 2);
  EXPECT_FALSE(transport.isScrubbing());
  EXPECT_DOUBLE_EQ(player.seeks.back(), 33);
  EXPECT_EQ(player.tolerances.back(), std::make_pair(0.0, 0.0));
  EXPECT_EQ(waveformPauses, (std::vector<bool>{true, false}));

  // Without an item nothing happens.
  player.replaceCurrentItem(nullptr);
  const std::size_t n = seekCount();
  transport.scrubTo(1, 0);
  EXPECT_FALSE(transport.isScrubbing());
  EXPECT_EQ(seekCount(), n);
}

TEST_F(Scrub, OpeningAMovieEndsTheScrubAndItsCompletionsAreStale) {
  openMovie();
  transport.scrubTo(10, 0);
  session.openURL("/m/b.mp4");
  EXPECT_FALSE(transport.isScrubbing());
  EXPECT_FALSE(transport.isScrubSeekInFlight());
  EXPECT_GE(player.currentScripted()->cancelledSeeks, 1);
  EXPECT_EQ(waveformPauses, (std::vector<bool>{true, false}));
  const std::size_t n = seekCount();
  player.finishHeld(0);
  scheduler.advance(1);
  EXPECT_EQ(seekCount(), n);
}

TEST_F(Scrub, MetricsSummaryOfThreePreviews) {
  metrics = true;
  openMovie();
  transport.scrubTo(10, 0);
  scheduler.advance(0.005);
  player.finishLastHeld();
  transport.scrubTo(20, 1);
  scheduler.advance(0.001);
  player.finishLastHeld();
  transport.scrubTo(30.25, 1);
  scheduler.advance(0.003);
  player.finishLastHeld(false);
  transport.scrubTo(40, 2);
  scheduler.advance(0.0125);
  player.finishLastHeld();
  ASSERT_EQ(metricLines.size(), 5u);
  EXPECT_EQ(metricLines[0], "KERFLINE_SCRUB preview=rough target=10.000 elapsed_ms=5.00 finished=1");
  EXPECT_EQ(metricLines[1], "KERFLINE_SCRUB preview=rough target=20.000 elapsed_ms=1.00 finished=1");
  EXPECT_EQ(metricLines[2], "KERFLINE_SCRUB preview=rough target=30.250 elapsed_ms=3.00 finished=0");
  EXPECT_EQ(metricLines[3], "KERFLINE_SCRUB settle target=40.000 elapsed_ms=12.50 resume=1");
  EXPECT_EQ(metricLines[4], "KERFLINE_SCRUB summary count=3 p50_ms=3.00 p90_ms=5.00 worst_ms=5.00");

  // The next scrub starts a fresh collection; an exact preview says so; a
  // scrub without a completed preview prints only its settle line.
  metricLines.clear();
  transport.scrubTo(50, 0);
  player.finishLastHeld();
  scheduler.advance(0.075);
  scheduler.advance(0.002);
  player.finishLastHeld();
  transport.scrubTo(50, 2);
  player.finishLastHeld();
  ASSERT_EQ(metricLines.size(), 4u);
  EXPECT_EQ(metricLines[1], "KERFLINE_SCRUB preview=exact target=50.000 elapsed_ms=2.00 finished=1");
  EXPECT_EQ(metricLines[3], "KERFLINE_SCRUB summary count=2 p50_ms=2.00 p90_ms=2.00 worst_ms=2.00");

  metricLines.clear();
  player.pause();
  transport.scrubTo(60, 0);
  transport.scrubTo(61, 2);
  player.finishLastHeld();
  ASSERT_EQ(metricLines.size(), 1u);
  EXPECT_EQ(metricLines[0], "KERFLINE_SCRUB settle target=61.000 elapsed_ms=0.00 resume=0");
}

TEST_F(Scrub, MetricsSummaryOfTenPreviews) {
  metrics = true;
  openMovie();
  // Latencies 7, 3, 10, 1, 9, 5, 2, 8, 6, 4 ms, out of order on purpose.
  const int latencies[] = {7, 3, 10, 1, 9, 5, 2, 8, 6, 4};
  for (int i = 0; i < 10; ++i) {
    transport.scrubTo(10 + i, i == 0 ? 0 : 1);
    scheduler.advance(latencies[i] / 1000.0);
    player.finishLastHeld();
  }
  transport.scrubTo(19, 2);
  player.finishLastHeld();
  ASSERT_EQ(metricLines.size(), 12u);
  EXPECT_EQ(metricLines.back(), "KERFLINE_SCRUB summary count=10 p50_ms=6.00 p90_ms=10.00 worst_ms=10.00");
  EXPECT_EQ(ScrubSummaryLine({5, 1, 3}),
            "KERFLINE_SCRUB summary count=3 p50_ms=3.00 p90_ms=5.00 worst_ms=5.00");
  EXPECT_EQ(ScrubSummaryLine({4}), "KERFLINE_SCRUB summary count=1 p50_ms=4.00 p90_ms=4.00 worst_ms=4.00");
}

// Without metric ports the controller reads the environment at each
// completion and writes to standard error.
TEST_F(Scrub, MetricsGoToStandardErrorOnlyWhenTheVariableIsSet) {
  openMovie();
  ScrubController plain(ScrubPorts{&scheduler, &player, [] { return 600.0; }, nullptr, [] { return 0.04; }, [] { return 600.0; },
                                   [] { return 1000.0; }, [](double) {}, [](double) {}, nullptr, &scheduler,
                                   nullptr, nullptr});
  player.pause();
  unsetenv("KERFLINE_SCRUB_METRICS");
  testing::internal::CaptureStderr();
  plain.scrubTo(10, 0);
  player.finishLastHeld();
  plain.scrubTo(10, 2);
  player.finishLastHeld();
  EXPECT_EQ(testing::internal::GetCapturedStderr(), "");

  setenv("KERFLINE_SCRUB_METRICS", "", 1);
  testing::internal::CaptureStderr();
  plain.scrubTo(12, 0);
  scheduler.advance(0.004);
  player.finishLastHeld();
  plain.scrubTo(12, 2);
  player.finishLastHeld();
  unsetenv("KERFLINE_SCRUB_METRICS");
  EXPECT_EQ(testing::internal::GetCapturedStderr(),
            "KERFLINE_SCRUB preview=rough target=12.000 elapsed_ms=4.00 finished=1\n"
            "KERFLINE_SCRUB settle target=12.000 elapsed_ms=0.00 resume=0\n"
            "KERFLINE_SCRUB summary count=1 p50_ms=4.00 p90_ms=4.00 worst_ms=4.00\n");
}

}  // namespace
}  // namespace kf::test
