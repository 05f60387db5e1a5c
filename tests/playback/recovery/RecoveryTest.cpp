// Playback recovery and the stall watchdog in virtual time: losses, the three
// attempts, exhaustion, revival, the rebuilt item and a source prepared
// again when its loader has ended.
#include <cmath>

#include "../session/SessionFixture.h"
#include "source/MGRangeError.h"

namespace kf::test {
namespace {

const Error kLost{"mpv", -13, "the movie could not be played"};

class Recovery : public SessionFixture {
 protected:
  // Opens a 20 s movie, makes its item ready and plays it at `at`.
  void openPlaying(double at = 4.2, std::shared_ptr<MGRangeAssetLoader> loader = nullptr) {
    session.openURL("/m/a.mp4");
    completePreparation(preparation.requests.size() - 1, 20, std::move(loader));
    scheduler.runPending();
    readyCurrent();
    player.time = at;
    transport.tick(at);
    alerts.errors.clear();
  }
  void readyCurrent() {
    player.currentScripted()->setStatus(media::ItemStatus::ReadyToPlay);
    scheduler.runPending();
  }
  void failCurrent(const Error& e = kLost) {
    player.currentScripted()->setStatus(media::ItemStatus::Failed, e);
    scheduler.runPending();
  }
  std::size_t itemCount() const { return player.items.size(); }
  const PlaybackRecovery& record() { return session.playbackRecovery(); }
};

TEST_F(Recovery, LossThenThreeAttemptsThenExhaustionThenRevivalByPlay) {
  openPlaying(4.2);
  ASSERT_EQ(itemCount(), 1u);
  player.currentScripted()->failToPlayToEnd(kLost);
  scheduler.runPending();

  // Attempt 1 at once.
  EXPECT_EQ(status.last(), "Recovering playback (1/3)…");
  ASSERT_EQ(itemCount(), 2u);
  EXPECT_EQ(player.currentItem(), player.items[1]);
  EXPECT_EQ(session.observedPlayerItem(), player.items[1]);
  EXPECT_TRUE(record().recovering);
  EXPECT_EQ(record().attempts, 1);
  EXPECT_DOUBLE_EQ(record().resumePosition, 4.2);
  EXPECT_TRUE(record().resumePlaying);
  EXPECT_TRUE(alerts.errors.empty());
  EXPECT_TRUE(session.prepareDeadlineArmed()) << "the rebuilt item has its own open deadline";

  // Attempt 2, 1.2 s after the failure of attempt 1.
  failCurrent();
  EXPECT_EQ(status.last(), "Recovering playback (2/3)…");
  EXPECT_EQ(record().attempts, 2);
  scheduler.advance(1.199);
  EXPECT_EQ(itemCount(), 2u);
  scheduler.advance(0.001);
  ASSERT_EQ(itemCount(), 3u);
  EXPECT_EQ(player.currentItem(), player.items[2]);

  // While recovering, the tick holds the playhead where the movie was.
  transport.tick(0);
  EXPECT_DOUBLE_EQ(transportView.playhead, 4.2);

  // Attempt 3.
  failCurrent();
  EXPECT_EQ(status.last(), "Recovering playback (3/3)…");
  scheduler.advance(1.2);
  ASSERT_EQ(itemCount(), 4u);

  // The third rebuilt item fails: exhausted.
  const std::size_t before = status.texts.size();
  failCurrent(Error{"mpv", -2, "last"});
  ASSERT_EQ(status.texts.size(), before + 2);
  EXPECT_EQ(status.texts[before], "Playback lost — press play to retry");
  EXPECT_EQ(status.texts[before + 1], "Playback could not be recovered after three attempts.");
  ASSERT_EQ(alerts.errors.size(), 1u);
  EXPECT_EQ(alerts.errors[0],
            (Error{"Kerfline", 10, "Playback could not be recovered after three attempts."}));
  EXPECT_EQ(recovery.exhaustedCause(), (Error{"mpv", -2, "last"}));
  EXPECT_FALSE(record().recovering);
  EXPECT_EQ(record().attempts, 0);
  EXPECT_TRUE(record().revivable);
  EXPECT_FALSE(session.playIntent());
  EXPECT_EQ(player.rate(), 0);
  scheduler.advance(30);
  EXPECT_EQ(itemCount(), 4u) << "no further attempt";

  // The stall watchdog does not start a cycle on its own while lost.
  for (int i = 0; i < 12; ++i) {
    transport.tick(0);
    scheduler.advance(1);
  }
  EXPECT_EQ(itemCount(), 4u);
  EXPECT_DOUBLE_EQ(transportView.playhead, 4.2);

  // Play revives: a new cycle from the timeline's playhead.
  transport.togglePlayback();
  EXPECT_TRUE(record().recovering);
  EXPECT_EQ(record().attempts, 1);
  EXPECT_FALSE(record().revivable);
  EXPECT_DOUBLE_EQ(record().resumePosition, 4.2);
  EXPECT_EQ(status.last(), "Reconnecting…");
  ASSERT_EQ(itemCount(), 5u);

  // Ready: back at the position, playing.
  player.seeks.clear();
  readyCurrent();
  ASSERT_EQ(player.seeks.size(), 1u);
  EXPECT_DOUBLE_EQ(player.seeks[0], 4.2);
  EXPECT_EQ(status.last(), "Playback recovered");
  EXPECT_FALSE(record().recovering);
  EXPECT_EQ(record().attempts, 0);
  EXPECT_EQ(player.rate(), 1);
  EXPECT_TRUE(transportView.playing);
  EXPECT_DOUBLE_EQ(transportView.playhead, 4.2);
  EXPECT_EQ(alerts.errors.size(), 1u);
}

TEST_F(Recovery, RebuiltItemsShowTheEditsExposure) {
  openPlaying(4.2);
  edit.setExposure(0.4);
  player.currentItem()->setExposurePreview(0.4);
  player.currentScripted()->failToPlayToEnd(kLost);
  scheduler.runPending();
  ASSERT_EQ(itemCount(), 2u);
  EXPECT_DOUBLE_EQ(player.items[1]->exposurePreview(), 0.4);
  failCurrent();
  scheduler.advance(1.2);
  ASSERT_EQ(itemCount(), 3u);
  EXPECT_DOUBLE_EQ(player.items[2]->exposurePreview(), 0.4);
}

TEST_F(Recovery, ResumesPausedWhenPausedAndFollowsSeeksAndPlayDuringTheCycle) {
  openPlaying(3.0);
  player.pause();
  session.setPlayIntent(false);
  player.currentScripted()->failToPlayToEnd(kLost);
  scheduler.runPending();
  ASSERT_TRUE(record().recovering);
  EXPECT_FALSE(record().resumePlaying);

  // Transport commands during the cycle only change what the resume does.
  const std::size_t seeksBefore = player.seeks.size();
  transport.seek(7.5);
  EXPECT_EQ(player.seeks.size(), seeksBefore);
  EXPECT_DOUBLE_EQ(record().resumePosition, 7.5);
  transport.togglePlayback();
  EXPECT_TRUE(record().resumePlaying);
  EXPECT_TRUE(session.playIntent());
  transport.togglePlayback();
  EXPECT_FALSE(record().resumePlaying);
  EXPECT_EQ(player.rate(), 0);
  // So does dragging the playhead: no scrub, no seek of the unready item.
  transport.scrubTo(9, 0);
  transport.scrubTo(8.5, 1);
  EXPECT_FALSE(transport.isScrubbing());
  transport.scrubTo(7.5, 2);
  EXPECT_EQ(player.seeks.size(), seeksBefore);
  EXPECT_DOUBLE_EQ(record().resumePosition, 7.5);
  EXPECT_DOUBLE_EQ(transportView.playhead, 7.5);

  readyCurrent();
  EXPECT_DOUBLE_EQ(player.seeks.back(), 7.5);
  EXPECT_EQ(status.last(), "Playback recovered");
  EXPECT_EQ(player.rate(), 0) << "paused before the loss and after the user's toggles";
}

TEST_F(Recovery, FailureBeforeReadyIsAnAlertWithoutAttempt) {
  session.openURL("/m/a.mp4");
  completePreparation(0, 20);
  scheduler.runPending();
  const std::size_t statusBefore = status.texts.size();
  failCurrent(Error{"mpv", -13, "loading failed"});
  ASSERT_EQ(alerts.errors.size(), 1u);
  EXPECT_EQ(alerts.errors[0].code, -13);
  EXPECT_EQ(status.texts.size(), statusBefore + 1);
  EXPECT_EQ(status.last(), "loading failed");
  EXPECT_FALSE(record().recovering);
  scheduler.advance(30);
  EXPECT_EQ(itemCount(), 1u);

  // A failure report without an error, for an item without one: error 8.
  openPlaying();
  session.setPlayerOpened(false);
  session.handlePlaybackFailure(std::nullopt, session.observedPlayerItem());
  ASSERT_EQ(alerts.errors.size(), 1u);
  EXPECT_EQ(alerts.errors[0], (Error{"Kerfline", 8, "The system media player stopped responding."}));
}

TEST_F(Recovery, RebuiltItemThatMissesItsDeadlineIsAFailedAttempt) {
  openPlaying();
  player.currentScripted()->failToPlayToEnd(kLost);
  scheduler.runPending();
  ASSERT_EQ(itemCount(), 2u);
  scheduler.advance(19.9);
  EXPECT_EQ(record().attempts, 1);
  scheduler.advance(0.1);
  EXPECT_EQ(record().attempts, 2);
  EXPECT_EQ(status.last(), "Recovering playback (2/3)…");
  EXPECT_TRUE(alerts.errors.empty());
  scheduler.advance(1.2);
  EXPECT_EQ(itemCount(), 3u);
}

TEST_F(Recovery, LateReportsOfReplacedItemsChangeNothing) {
  openPlaying();
  auto first = player.items[0];
  first->failToPlayToEnd(kLost);
  scheduler.runPending();
  ASSERT_EQ(itemCount(), 2u);
  session.handlePlaybackFailure(kLost, first);
  first->setStatus(media::ItemStatus::Failed, kLost);
  scheduler.runPending();
  EXPECT_EQ(record().attempts, 1);
  EXPECT_EQ(itemCount(), 2u);
  readyCurrent();
  EXPECT_EQ(status.last(), "Playback recovered");
}

TEST_F(Recovery, StallOfEightSecondsStartsACycleButNotWhileExporting) {
  openPlaying(5.0);
  player.play();
  transport.tick(5.0);
  scheduler.advance(7.9);
  transport.tick(5.0002);  // within 0.0005 s: no movement
  EXPECT_FALSE(record().recovering);
  EXPECT_EQ(itemCount(), 1u);
  scheduler.advance(0.1);
  transport.tick(5.0);
  EXPECT_TRUE(record().recovering);
  EXPECT_EQ(record().attempts, 1);
  EXPECT_TRUE(record().resumePlaying);
  EXPECT_DOUBLE_EQ(record().resumePosition, 5.0);
  EXPECT_EQ(status.last(), "Reconnecting…");
  ASSERT_EQ(itemCount(), 2u);
  EXPECT_TRUE(std::isnan(session.stallWatchdog().position));
  readyCurrent();
  EXPECT_EQ(status.last(), "Playback recovered");
  EXPECT_EQ(player.rate(), 1);

  // Moving playback keeps the watchdog quiet.
  for (int i = 0; i < 20; ++i) {
    transport.tick(5.0 + i * 0.5);
    scheduler.advance(0.5);
  }
  EXPECT_EQ(itemCount(), 2u);

  // A stall while an export runs disarms the watchdog and starts nothing.
  busy = true;
  transport.tick(12.0);
  scheduler.advance(8.5);
  transport.tick(12.0);
  EXPECT_FALSE(record().recovering);
  EXPECT_TRUE(std::isnan(session.stallWatchdog().position));
  scheduler.advance(8.5);
  transport.tick(12.0);
  EXPECT_EQ(itemCount(), 2u);

  // Paused playback is never a stall.
  busy = false;
  player.pause();
  transport.tick(12.0);
  scheduler.advance(20);
  transport.tick(12.0);
  EXPECT_EQ(itemCount(), 2u);
  EXPECT_TRUE(std::isnan(session.stallWatchdog().position));
}

// A served movie whose loader has ended (its connection dropped): each
// attempt prepares the address again; a service that stays away exhausts
// the attempts, one that is back revives playback over a new loader.
TEST_F(Recovery, EndedLoaderIsReplacedByAFreshPreparation) {
  auto oldLoader = MakeLoader("/m/a.mp4");
  openPlaying(6.0, oldLoader);
  ASSERT_EQ(preparation.requests.size(), 1u);
  auto oldAsset = session.asset();
  oldLoader->invalidateWithError(MGRangeError(kLarderDisconnected));

  player.currentScripted()->failToPlayToEnd(MGRangeError(kLarderDisconnected));
  scheduler.runPending();
  ASSERT_EQ(preparation.requests.size(), 2u) << "attempt 1 prepares the movie again";
  EXPECT_EQ(preparation.requests[1].url.text, "/m/a.mp4");
  EXPECT_EQ(status.last(), "Recovering playback (1/3)…");
  EXPECT_EQ(itemCount(), 1u);
  // The old item's late report does not count as another attempt.
  session.handlePlaybackFailure(kLost, session.observedPlayerItem());
  EXPECT_EQ(record().attempts, 1);

  for (int attempt = 2; attempt <= 3; ++attempt) {
    PreparedMovie refused;
    refused.error = MGRangeError(kLarderUnavailable);
    preparation.requests.back().completion(refused);
    scheduler.runPending();
    EXPECT_EQ(record().attempts, attempt);
    EXPECT_EQ(status.last(), "Recovering playback (" + std::to_string(attempt) + "/3)…");
    scheduler.advance(1.2);
    ASSERT_EQ(preparation.requests.size(), static_cast<std::size_t>(attempt + 1));
  }
  PreparedMovie refused;
  refused.error = MGRangeError(kLarderUnavailable);
  preparation.requests.back().completion(refused);
  scheduler.runPending();
  EXPECT_TRUE(record().revivable);
  ASSERT_EQ(alerts.errors.size(), 1u);
  EXPECT_EQ(alerts.errors[0].code, 10);
  EXPECT_EQ(recovery.exhaustedCause(), MGRangeError(kLarderUnavailable));
  EXPECT_EQ(session.asset(), oldAsset);

  // The service is back: play prepares once more and rebuilds over the new
  // asset and loader.
  transport.togglePlayback();
  ASSERT_EQ(preparation.requests.size(), 5u);
  auto newLoader = MakeLoader("/m/a.mp4");
  auto newAsset = completePreparation(4, 20, newLoader);
  scheduler.runPending();
  EXPECT_EQ(session.asset(), newAsset);
  EXPECT_EQ(session.rangeLoader(), newLoader);
  ASSERT_EQ(itemCount(), 2u);
  EXPECT_EQ(player.items[1]->asset(), newAsset);
  EXPECT_FALSE(newLoader->terminalError());
  readyCurrent();
  EXPECT_DOUBLE_EQ(player.seeks.back(), 6.0);
  EXPECT_EQ(status.last(), "Playback recovered");
  EXPECT_EQ(player.rate(), 1);
}

TEST_F(Recovery, PreparationThatOutlivesItsCycleIsDropped) {
  auto oldLoader = MakeLoader("/m/a.mp4");
  openPlaying(6.0, oldLoader);
  oldLoader->invalidateWithError(MGRangeError(kLarderDisconnected));
  player.currentScripted()->failToPlayToEnd(MGRangeError(kLarderDisconnected));
  scheduler.runPending();
  ASSERT_EQ(preparation.requests.size(), 2u);
  // Another movie is opened meanwhile.
  session.openURL("/m/b.mp4");
  ASSERT_EQ(preparation.requests.size(), 3u);
  auto late = MakeLoader("/m/a.mp4");
  completePreparation(1, 20, late);
  scheduler.runPending();
  EXPECT_TRUE(late->terminalError()) << "the late loader is ended, not leaked";
  EXPECT_EQ(itemCount(), 1u);
  EXPECT_FALSE(record().recovering);
}

}  // namespace
}  // namespace kf::test
