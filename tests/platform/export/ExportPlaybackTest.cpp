// Our own lossless exports, played back in our player: one edit entry per
// kept range and track, B-frames, HEVC random access pictures marked at the
// cuts. Every range must start and end on its own frames on screen.
#include "ExportMatrix.h"
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

// Outputs of the export matrix (ExportMatrixTest.cpp), played in our
// player: at the first, a middle and the last frame of every range the
// player shows the frame FFmpeg's decoder shows there.
TEST_F(ExportPlaybackTest, ShowsTheFramesFfmpegDecodesInMatrixOutputs) {
  using matrix::Edit;
  struct Case {
    std::string source;
    Edit edit;
    ExportPreset preset;
  };
  const std::vector<Case> cases = {
      {"ntsc", Edit::TenShort, ExportPreset::Passthrough},      {"vfr6", Edit::TwoMidGop, ExportPreset::Passthrough},
      {"ts10", Edit::InsideFrames, ExportPreset::Passthrough},  {"mkv-long", Edit::TwoMidGop, ExportPreset::Passthrough},
      {"webm6", Edit::TenShort, ExportPreset::Passthrough},     {"p5994", Edit::TenShort, ExportPreset::HighestQuality},
  };
  int n = 0;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.source + " " + matrix::EditName(c.edit));
    const matrix::Source& src = matrix::LoadSource(c.source);
    const auto ranges = matrix::RangesFor(src, c.edit);
    const auto kept = matrix::Expected(src, ranges);
    const std::string out = Out("matrix" + std::to_string(n++) + ".mp4");
    ASSERT_EQ(Run(src.path, Request(ranges, c.preset, out)), ExportStatus::Completed);
    auto decoded = testing::DecodeVideo(out);
    ASSERT_TRUE(decoded.ok());
    const std::vector<int> numbers = Numbers(*decoded);
    auto item = play(out);
    ASSERT_EQ(item->status(), media::ItemStatus::ReadyToPlay);
    const auto starts = matrix::RangeStarts(src, kept, 0);
    std::size_t index = 0;  // output frame index of the range's first frame
    int wrong = 0;
    for (std::size_t r = 0; r < kept.size(); ++r) {
      const auto& frames = kept[r];
      for (std::size_t k : {std::size_t{0}, frames.size() / 2, frames.size() - 1}) {
        if (k >= frames.size() || index + k >= numbers.size()) continue;
        const std::size_t i = frames[k];
        const double t = starts[r] + (src.start[i] - src.start[frames.front()]) + 0.3 * (src.endOf(i) - src.start[i]);
        const int shown = frameAt(t);
        if (shown != numbers[index + k] && ++wrong <= 5)
          ADD_FAILURE() << "at " << t << " the player shows " << shown << ", FFmpeg " << numbers[index + k];
      }
      index += frames.size();
    }
  }
}

}  // namespace
}  // namespace kf
