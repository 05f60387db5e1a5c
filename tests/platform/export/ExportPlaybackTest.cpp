// Our own lossless exports, played back in our player: one edit entry per
// kept range and track, B-frames, HEVC random access pictures marked at the
// cuts. Every range must start and end on its own frames on screen.
#include "ExportSessionFixture.h"

#include "base/ManualScheduler.h"
#include "platform/ffmpeg/FfmpegAsset.h"
#include "platform/mpv/MpvPlayer.h"
#include "support/PlaybackSupport.h"

namespace kf {
namespace {

class ExportPlaybackTest : public ExportSessionTest {
 protected:
  void SetUp() override {
    ExportSessionTest::SetUp();
    auto p = mpv::MpvPlayer::create(sched_);
    ASSERT_TRUE(p.ok()) << p.error().message;
    player_ = *p;
  }
  void TearDown() override {
    player_.reset();
    ExportSessionTest::TearDown();
  }

  std::shared_ptr<media::PlayerItem> play(const std::string& path) {
    auto item = player_->makePlayerItem(ff::FfmpegAsset::create(path, sched_));
    player_->replaceCurrentItem(item);
    EXPECT_TRUE(sched_.runUntil([&] { return item->status() != media::ItemStatus::Unknown; }, 20));
    return item;
  }

  int frameAt(double t) {
    testsupport::SeekAndWait(*player_, sched_, t);
    return testsupport::ShownFrame(*player_);
  }

  ManualScheduler sched_;
  std::shared_ptr<mpv::MpvPlayer> player_;
};

TEST_F(ExportPlaybackTest, LosslessJoinedExportsShowEachRangeFromItsFirstFrameToItsLast) {
  struct Case {
    std::string source;
    std::vector<TimeSpan> keep;
    std::vector<std::pair<double, int>> shown;  // edited time -> source frame
  };
  const std::vector<Case> cases = {
      {LongMovie(), {{2, 5}, {10, 14}}, {{0.0, 60}, {89 / 30.0, 149}, {3.0, 300}, {3.5, 315}, {209 / 30.0, 419}}},
      {tm::ensure(tm::named("hev1")),
       {{0.5, 1.2}, {1.7, 2.3}, {2.4, 2.9}},
       {{0.0, 15}, {20 / 30.0, 35}, {21 / 30.0, 51}, {38 / 30.0, 68}, {39 / 30.0, 72}, {53 / 30.0, 86}}},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source);
    const std::string out = Out("joined" + std::to_string(n++) + ".mp4");
    ASSERT_EQ(Run(c.source, Request(c.keep, ExportPreset::Passthrough, out)), ExportStatus::Completed);
    auto item = play(out);
    ASSERT_EQ(item->status(), media::ItemStatus::ReadyToPlay);
    double total = 0;
    for (const auto& s : c.keep) total += s.end - s.start;
    EXPECT_NEAR(item->duration(), total, 0.02);
    for (const auto& [t, frame] : c.shown) EXPECT_EQ(frameAt(t), frame) << "at " << t;
  }
}

}  // namespace
}  // namespace kf
