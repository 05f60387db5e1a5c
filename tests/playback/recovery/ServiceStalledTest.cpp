// A range service that stops answering without closing its connection:
// playback freezes, the stall watchdog notices after 8 s and rebuilds the
// player item, which opens once the service answers again.
#include "ServedPlaybackFixture.h"

namespace kf::test {
namespace {

TEST_F(ServedPlayback, StalledServiceIsCaughtByTheWatchdog) {
  startService();
  openAndPlayPast(1.0);
  auto firstItem = session->observedPlayerItem();
  service->signal(SIGSTOP);

  using C = std::chrono::steady_clock;
  const auto stopped = C::now();
  ASSERT_TRUE(pump(40, [&] { return status.last() == "Reconnecting…"; })) << status.last();
  EXPECT_GE(std::chrono::duration<double>(C::now() - stopped).count(), 8.0);
  EXPECT_TRUE(session->playbackRecovery().recovering);
  EXPECT_EQ(session->playbackRecovery().attempts, 1);
  EXPECT_TRUE(session->playbackRecovery().resumePlaying);
  EXPECT_NE(session->observedPlayerItem(), firstItem) << "a new item was installed";
  EXPECT_TRUE(alerts.errors.empty());
  const double stalledAt = session->playbackRecovery().resumePosition;
  EXPECT_GT(stalledAt, 1.0);

  service->signal(SIGCONT);
  ASSERT_TRUE(pump(30, [&] { return status.last() == "Playback recovered"; })) << status.last();
  EXPECT_EQ(mpvPlayer->rate(), 1);
  EXPECT_NEAR(mpvPlayer->currentTime(), stalledAt, 0.1);
  ASSERT_TRUE(pump(10, [&] { return mpvPlayer->currentTime() > stalledAt + 0.5; }));
  EXPECT_TRUE(alerts.errors.empty());
}

}  // namespace
}  // namespace kf::test
