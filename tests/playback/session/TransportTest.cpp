// The transport and the playback tick in virtual time.
#include <cmath>

#include "SessionFixture.h"
#include "app/rules/MovieMemory.h"

namespace kf::test {
namespace {

class TransportFixture : public SessionFixture {
 protected:
  // Opens a 20 s movie and cuts it to [0, 10] and [15, 20].
  void openCut() {
    attributes["/m/a.mp4"] = {100, 1};
    openFully("/m/a.mp4", 20);
    player.currentScripted()->setStatus(media::ItemStatus::ReadyToPlay);
    scheduler.runPending();
    kerfline::EditState s = edit.editState();
    s.segments = {{0, 10}, {15, 20}};
    s.names = {"", ""};
    s.fadeIns = {0, 0};
    s.fadeOuts = {0, 0};
    s.selected = 0;
    edit.applyEditState(s);
    edit.syncSegments();
    player.seeks.clear();
  }
};

TEST_F(TransportFixture, PlaybackFollowsTheEdit) {
  openCut();
  player.play();
  transport.tick(9.994);
  EXPECT_TRUE(player.seeks.empty());
  transport.tick(9.996);
  ASSERT_EQ(player.seeks.size(), 1u);
  EXPECT_DOUBLE_EQ(player.seeks[0], 15);
  EXPECT_DOUBLE_EQ(transportView.playhead, 15);

  transport.tick(19.996);
  EXPECT_EQ(player.rate(), 0);
  EXPECT_FALSE(session.playIntent());
  EXPECT_DOUBLE_EQ(player.seeks.back(), 20);
  EXPECT_EQ(transportView.clock, "Clip 1/2 · 00:15.000 / 00:15.000");
}

TEST_F(TransportFixture, TouchingSegmentsPlayThrough) {
  openCut();
  kerfline::EditState s = edit.editState();
  s.segments = {{0, 10}, {10, 20}};
  edit.applyEditState(s);
  player.play();
  transport.tick(9.996);
  transport.tick(10.0);
  EXPECT_TRUE(player.seeks.empty());
}

TEST_F(TransportFixture, JumpsAndStepsInEditedTime) {
  openCut();
  player.time = 8;
  transport.seekForwardFive();
  EXPECT_DOUBLE_EQ(player.seeks.back(), 18);
  EXPECT_EQ(edit.selected(), 1);
  player.time = 2;
  transport.seekBackFive();
  EXPECT_DOUBLE_EQ(player.seeks.back(), 0);
  player.time = 19;
  transport.seekForwardFive();
  EXPECT_DOUBLE_EQ(player.seeks.back(), 20);

  // 25 fps: a frame step is 1/25 s, and steps pause.
  player.play();
  player.time = 5;
  transport.jump(-1, true);
  EXPECT_EQ(player.rate(), 0);
  EXPECT_NEAR(player.seeks.back(), 4.96, 1.0 / 600);
  transport.stepForward();
  EXPECT_FALSE(session.playIntent());
}

TEST_F(TransportFixture, ArrowsRollAnArmedJunction) {
  openCut();
  edit.rollJunction(0, 9, 2);  // arms junction 0 with the cut at 9
  ASSERT_EQ(edit.armedHandle(), 0);
  transport.jump(-1, false);
  EXPECT_DOUBLE_EQ(edit.segments()[0].end, 4);
  EXPECT_DOUBLE_EQ(edit.segments()[1].start, 9) << "the removed stretch between them keeps its length";
  EXPECT_TRUE(player.seeks.size() >= 1);
}

TEST_F(TransportFixture, PlayWithoutAMovieAsksForOne) {
  int panels = 0;
  Transport bare(TransportPorts{&player, &session, &edit, &transportView, &settings, &scheduler,
                                [&] { ++panels; }, nullptr});
  bare.togglePlayback();
  EXPECT_EQ(panels, 1);
  EXPECT_EQ(player.rate(), 0);
  bare.seek(3);
  EXPECT_TRUE(player.seeks.empty());
}

TEST_F(TransportFixture, PlayPauseFollowsTheRate) {
  openCut();
  player.pause();
  transport.togglePlayback();
  EXPECT_EQ(player.rate(), 1);
  EXPECT_TRUE(transportView.playing);
  EXPECT_TRUE(session.playIntent());
  transport.togglePlayback();
  EXPECT_EQ(player.rate(), 0);
  EXPECT_FALSE(transportView.playing);
  EXPECT_FALSE(session.playIntent());
}

TEST_F(TransportFixture, VolumeAndMute) {
  transport.applyStoredAudioState();
  EXPECT_DOUBLE_EQ(transportView.slider, 1.0);
  transport.adjustVolumeBy(-0.05);
  transport.adjustVolumeBy(-0.05);
  EXPECT_NEAR(player.volume(), 0.9, 1e-12);
  EXPECT_NEAR(*settings.doubleValue(kVolumeKey), 0.9, 1e-12);
  transport.toggleMute();
  EXPECT_TRUE(player.isMuted());
  EXPECT_EQ(transportView.muteToolTip, "Unmute");
  EXPECT_EQ(settings.boolValue(kMutedKey), true);
  transport.volumeChanged(0.5);
  EXPECT_FALSE(player.isMuted()) << "raising the volume unmutes";
  EXPECT_EQ(settings.boolValue(kMutedKey), false);
  transport.adjustVolumeBy(1);
  EXPECT_DOUBLE_EQ(player.volume(), 1.0);
}

TEST_F(TransportFixture, FadePreviewAndPlayheadMemory) {
  openCut();
  edit.toggleFadeIn();  // 1 s fade at the start of clip 1
  player.pause();       // paused: the tick does not follow the edit
  transport.tick(0.5);
  EXPECT_NEAR(transportView.black, 0.5, 0.01);
  transport.tick(12.7);
  auto stored = RememberedPlayhead(settings, session.sourceIdentityKey(), "/m/a.mp4", 20);
  ASSERT_TRUE(stored);
  EXPECT_DOUBLE_EQ(*stored, 12.7);
  transport.tick(12.9);  // same whole second: not written again
  EXPECT_DOUBLE_EQ(*RememberedPlayhead(settings, session.sourceIdentityKey(), "/m/a.mp4", 20), 12.7);
}

// The tick runs while the player plays, whoever started it, and stops when
// it stops, also when the engine stops by itself at the end of the movie;
// the last state change runs it once so the window shows the state at rest.
// A seek while paused shows its fade without a tick.
TEST_F(TransportFixture, TheTickRunsOnlyWhilePlaying) {
  openCut();
  transport.watchPlayer();
  player.pause();
  scheduler.runPending();
  EXPECT_FALSE(transport.isTicking());
  const int before = player.timeObserverCalls;
  scheduler.advance(3);
  EXPECT_EQ(player.timeObserverCalls, before);

  edit.toggleFadeIn();  // 1 s fade at the start of clip 1
  transport.seek(0.25);
  EXPECT_NEAR(transportView.black, 0.75, 0.01) << "the fade is shown without a tick";

  player.play();  // as the open flow starts it, without the transport
  scheduler.runPending();
  EXPECT_TRUE(transport.isTicking());
  scheduler.advance(1);
  EXPECT_NEAR(player.timeObserverCalls - before, 30, 1);

  player.time = 8;
  player.stopAtEnd();
  scheduler.runPending();
  EXPECT_FALSE(transport.isTicking());
  EXPECT_FALSE(transportView.playing) << "the final tick shows the paused state";
  EXPECT_EQ(transportView.clock, "Clip 1/2 · 00:08.000 / 00:15.000");
  const int stopped = player.timeObserverCalls;
  scheduler.advance(3);
  EXPECT_EQ(player.timeObserverCalls, stopped);

  // A scrub ticks from its start to its end; playback resumes after it.
  player.play();
  scheduler.runPending();
  transport.scrubTo(3, 0);
  scheduler.runPending();
  EXPECT_TRUE(transport.isTicking()) << "scrubbing ticks while paused";
  transport.scrubTo(4, 2);
  scheduler.runPending();
  EXPECT_TRUE(transport.isTicking()) << "playback resumed";
  player.pause();
  scheduler.runPending();
  EXPECT_FALSE(transport.isTicking());

  // A grown duration while paused is followed at once.
  player.currentScripted()->durationSeconds = 24;
  player.notifyPlaybackState();
  scheduler.runPending();
  EXPECT_DOUBLE_EQ(edit.segments().back().end, 24);
}

TEST_F(TransportFixture, AGrowingMovieExtendsTheLastSegment) {
  attributes["/m/g.mp4"] = {100, 1};
  openFully("/m/g.mp4", 10);
  player.currentScripted()->durationSeconds = 14;
  player.play();
  transport.tick(9.0);
  EXPECT_DOUBLE_EQ(edit.segments().back().end, 14);
  EXPECT_FALSE(edit.dirty());
  EXPECT_DOUBLE_EQ(session.lastGrowthSync(), 14);
}

TEST(ClockTextTest, CountsClipsAndEditedTime) {
  std::vector<kerfline::TimeSpan> s{{0, 10}, {15, 20}};
  EXPECT_EQ(ClockText(17, s, 1), "Clip 2/2 · 00:12.000 / 00:15.000");
  EXPECT_EQ(ClockText(12, s, -1), "Clip 1/2 · 00:10.000 / 00:15.000");
  EXPECT_EQ(ClockText(0, {}, 5), "Clip 1/0 · 00:00.000 / 00:00.000");
  EXPECT_DOUBLE_EQ(EditedPosition(25, s), 15);
}

}  // namespace
}  // namespace kf::test
