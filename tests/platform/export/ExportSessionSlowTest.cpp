// The longer export session checks (re-encode quality, render size), run
// with the slow label.
#include <cmath>

#include "ExportSessionFixture.h"

namespace kf {
namespace {

const int kQuiet = (av_log_set_level(AV_LOG_QUIET), 0);

TEST_F(ExportSessionTest, ReencodePresentsTheSameFramesAtHighQuality) {
  const std::string src = LongMovie();
  const std::string out = Out("reencode.mp4");
  std::optional<Error> err;
  ASSERT_EQ(Run(src, Request({{2, 5}, {10, 14}}, ExportPreset::HighestQuality, out), &err), ExportStatus::Completed)
      << (err ? err->message : "");
  testing::DecodeOptions every;
  every.keepRgb = true;
  auto frames = testing::DecodeVideo(out, every);
  ASSERT_TRUE(frames.ok());
  std::vector<int> expected = Range(60, 149);
  for (int n : Range(300, 419)) expected.push_back(n);
  EXPECT_EQ(Numbers(*frames), expected);

  testing::DecodeOptions some;
  some.keepRgb = true;
  for (int n : expected) some.rgbFor.push_back(n);
  auto source = testing::DecodeVideo(src, some);
  ASSERT_TRUE(source.ok());
  double psnrSum = 0;
  int count = 0;
  for (const auto& f : *frames) {
    const auto& s = (*source)[static_cast<std::size_t>(f.number)];
    ASSERT_EQ(s.rgb.size(), f.rgb.size());
    double se = 0;
    for (std::size_t i = 0; i < f.rgb.size(); ++i) {
      const double d = double(f.rgb[i]) - s.rgb[i];
      se += d * d;
    }
    const double mse = se / f.rgb.size();
    psnrSum += mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
    ++count;
  }
  const double meanPsnr = psnrSum / count;
  RecordProperty("mean_psnr_db", std::to_string(meanPsnr));
  EXPECT_GE(meanPsnr, 45.0);
  auto sound = testing::DecodeSound(out);
  ASSERT_TRUE(sound.ok());
  EXPECT_NEAR(sound->samples.size() / double(sound->sampleRate), 7.0, 0.03);
}

TEST_F(ExportSessionTest, RenderSizeLetterboxesTheScaledPicture) {
  tm::MovieSpec spec = tm::named("h264");
  spec.width = 1920;
  spec.height = 800;
  spec.seconds = 0.5;
  const std::string src = tm::ensure(spec);
  const std::string out = Out("720p.mp4");
  ASSERT_EQ(Run(src, Request({{0, 0.5}}, ExportPreset::HighestQuality, out, {}, {}, 0, kExportSize720p)),
            ExportStatus::Completed);
  testing::DecodeOptions all;
  all.keepRgb = true;
  auto frames = testing::DecodeVideo(out, all);
  ASSERT_TRUE(frames.ok());
  ASSERT_EQ(frames->size(), 15u);
  const auto& fr = (*frames)[7];
  EXPECT_EQ(fr.width, 1280);
  EXPECT_EQ(fr.height, 720);
  EXPECT_EQ(fr.number, 7);
  // Rows whose brightness (luma) is black across the whole width are the
  // bands; colour that 4:2:0 sampling spreads over an edge does not count,
  // nor the faint ringing the encoder leaves beside a sharp edge.
  auto rowMax = [&](int y) {
    double m = 0;
    for (int x = 0; x < fr.width; ++x) {
      const std::uint8_t* p = &fr.rgb[(static_cast<std::size_t>(y) * fr.width + x) * 3];
      m = std::max(m, 0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2]);
    }
    return m;
  };
  int top = 0;
  while (top < fr.height && rowMax(top) <= 24) ++top;
  int bottom = 0;
  while (bottom < fr.height && rowMax(fr.height - 1 - bottom) <= 24) ++bottom;
  // 533 rows of picture; the row below its odd last row shares that row's
  // colour samples (4:2:0), so it may read as picture.
  EXPECT_NEAR(fr.height - top - bottom, 533, 1);
  EXPECT_NEAR(top, 94, 1);
  EXPECT_NEAR(bottom, 93, 1);
}

}  // namespace
}  // namespace kf
