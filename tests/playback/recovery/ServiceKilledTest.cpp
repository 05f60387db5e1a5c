// A served movie whose range service is killed during playback: the
// attempts fail, the user is told, and once the service runs again play
// revives playback where it stopped.
#include "ServedPlaybackFixture.h"

namespace kf::test {
namespace {

TEST_F(ServedPlayback, KilledServiceExhaustsTheAttemptsAndPlayRevivesAtTheSamePosition) {
  startService();
  openAndPlayPast(1.0);
  auto oldLoader = session->rangeLoader();
  service->signal(SIGKILL);

  ASSERT_TRUE(pump(30, [&] { return session->playbackRecovery().revivable; })) << status.last();
  EXPECT_TRUE(sawStatus("Recovering playback (1/3)…"));
  EXPECT_TRUE(sawStatus("Recovering playback (2/3)…"));
  EXPECT_TRUE(sawStatus("Recovering playback (3/3)…"));
  EXPECT_TRUE(sawStatus("Playback lost — press play to retry"));
  EXPECT_EQ(status.last(), "Playback could not be recovered after three attempts.");
  ASSERT_EQ(alerts.errors.size(), 1u);
  EXPECT_EQ(alerts.errors[0].code, kErrorRecoveryExhausted);
  EXPECT_EQ(mpvPlayer->rate(), 0);
  EXPECT_FALSE(session->playIntent());
  const double lostAt = transport->playhead();
  EXPECT_GT(lostAt, 1.0);
  // Nothing moves while lost.
  pump(0.5, [] { return false; });
  EXPECT_DOUBLE_EQ(transport->playhead(), lostAt);

  startService();
  transport->togglePlayback();
  ASSERT_TRUE(pump(30, [&] { return status.last() == "Playback recovered"; })) << status.last();
  EXPECT_NE(session->rangeLoader(), oldLoader) << "a new connection serves the movie";
  EXPECT_FALSE(session->rangeLoader()->terminalError());
  EXPECT_EQ(mpvPlayer->rate(), 1);
  EXPECT_NEAR(mpvPlayer->currentTime(), lostAt, 0.1);
  const int frame = testsupport::ShownFrame(*mpvPlayer);
  EXPECT_NEAR(frame, lostAt * 30, 4) << "the picture is the one where playback stopped";
  // And it plays on.
  ASSERT_TRUE(pump(10, [&] { return mpvPlayer->currentTime() > lostAt + 0.5; }));
  EXPECT_EQ(alerts.errors.size(), 1u);
}

}  // namespace
}  // namespace kf::test
