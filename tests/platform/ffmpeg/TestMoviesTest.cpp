// The generated movies are the ground truth of every media test, so these
// check them against FFmpeg's own reading: frame numbers in order, timing,
// edit lists, tones, and the reader's tolerance of exposure, scaling,
// padding and rotation.
#include <gtest/gtest.h>

#include <cmath>
#include <filesystem>
#include <vector>

extern "C" {
#include <libavformat/avformat.h>
}

#include "platform/ffmpeg/FrameCode.h"
#include "platform/ffmpeg/TestMovies.h"

namespace movies = kf::testmovies;

namespace {

std::vector<int> numbers(const std::vector<movies::DecodedFrame>& frames) {
  std::vector<int> out;
  for (const auto& f : frames) out.push_back(f.number);
  return out;
}

// A plain 8-bit picture with the pattern, for the reader tests.
std::vector<std::uint8_t> pattern(int w, int h, int n) {
  std::vector<std::uint8_t> img(static_cast<std::size_t>(w) * h, 0);
  movies::drawFrameCode(img.data(), w, h, w, n);
  return img;
}

}  // namespace

TEST(FrameCode, ReadsEveryNumberBackAndRejectsOtherPictures) {
  for (int n : {0, 1, 2, 255, 256, 4097, 65535}) {
    auto img = pattern(320, 240, n);
    EXPECT_EQ(movies::readFrameCode(img.data(), 320, 240, 320, movies::PixelLayout::Gray8), n);
  }
  std::vector<std::uint8_t> flat(320 * 240, 128);
  EXPECT_FALSE(movies::readFrameCode(flat.data(), 320, 240, 320, movies::PixelLayout::Gray8));
  // One flipped data cell breaks the check instead of giving a wrong number.
  auto img = pattern(320, 240, 1234);
  for (int y = 0; y < 30; ++y)
    for (int x = 80; x < 120; ++x) img[y * 320 + x] = img[y * 320 + x] > 128 ? 16 : 235;
  EXPECT_FALSE(movies::readFrameCode(img.data(), 320, 240, 320, movies::PixelLayout::Gray8));
}

TEST(FrameCode, SurvivesDimmingBrighteningScalingPaddingAndRotation) {
  const int w = 320, h = 240, n = 777;
  auto img = pattern(w, h, n);
  // Exposure: darker and brighter (clipped) copies, as BGRA.
  for (double gain : {0.35, 1.8}) {
    std::vector<std::uint8_t> bgra(static_cast<std::size_t>(w) * h * 4);
    for (int i = 0; i < w * h; ++i) {
      const auto v = static_cast<std::uint8_t>(std::min(255.0, img[i] * gain));
      bgra[4 * i] = bgra[4 * i + 1] = bgra[4 * i + 2] = v;
      bgra[4 * i + 3] = 255;
    }
    EXPECT_EQ(movies::readFrameCode(bgra.data(), w, h, w * 4, movies::PixelLayout::BGRA), n) << gain;
  }
  // Scaled down to a quarter (nearest), inside a black pillarbox.
  const int sw = 80, sh = 60, pw = 140;
  std::vector<std::uint8_t> boxed(static_cast<std::size_t>(pw) * sh, 0);
  for (int y = 0; y < sh; ++y)
    for (int x = 0; x < sw; ++x) boxed[y * pw + 30 + x] = img[(y * 4) * w + x * 4];
  EXPECT_EQ(movies::readFrameCode(boxed.data(), pw, sh, pw, movies::PixelLayout::Gray8), n);
  // Turned 90 degrees clockwise, as a player shows a rotated movie.
  std::vector<std::uint8_t> rot(static_cast<std::size_t>(w) * h);
  for (int y = 0; y < h; ++y)
    for (int x = 0; x < w; ++x) rot[x * h + (h - 1 - y)] = img[y * w + x];
  EXPECT_EQ(movies::readFrameCode(rot.data(), h, w, h, movies::PixelLayout::Gray8), n);
  // Faded to black: no number rather than a wrong one.
  for (auto& v : img) v = static_cast<std::uint8_t>(v / 20);
  EXPECT_FALSE(movies::readFrameCode(img.data(), w, h, w, movies::PixelLayout::Gray8));
}

TEST(TestMovies, ContainersDecodeToEveryFrameInOrder) {
  for (const char* name : {"h264", "mov", "mkv", "webm", "hev1", "hvc1", "silent"}) {
    SCOPED_TRACE(name);
    const auto spec = movies::named(name);
    auto frames = movies::decodeFrameNumbers(movies::ensure(spec));
    ASSERT_TRUE(frames.ok()) << frames.error().message;
    EXPECT_EQ(numbers(*frames), movies::expectedFrames(spec));
    for (std::size_t i = 0; i < frames->size(); ++i)
      EXPECT_NEAR((*frames)[i].time - (*frames)[0].time, movies::frameTime(spec, int(i)), 0.002) << i;
  }
}

TEST(TestMovies, H264AndHevcMoviesReorderTheirFrames) {
  // B-frames are what make cutting and edit lists hard; the movies must
  // have them, or the tests built on them prove nothing.
  for (const char* name : {"h264", "hev1", "editlist3"}) {
    SCOPED_TRACE(name);
    AVFormatContext* raw = nullptr;
    ASSERT_EQ(avformat_open_input(&raw, movies::ensure(movies::named(name)).c_str(), nullptr, nullptr), 0);
    AVPacket* pkt = av_packet_alloc();
    int reordered = 0, packets = 0;
    std::int64_t latest = AV_NOPTS_VALUE;
    while (av_read_frame(raw, pkt) >= 0) {
      if (raw->streams[pkt->stream_index]->codecpar->codec_type == AVMEDIA_TYPE_VIDEO) {
        ++packets;
        if (latest != AV_NOPTS_VALUE && pkt->pts < latest) ++reordered;
        if (latest == AV_NOPTS_VALUE || pkt->pts > latest) latest = pkt->pts;
      }
      av_packet_unref(pkt);
    }
    av_packet_free(&pkt);
    avformat_close_input(&raw);
    EXPECT_GT(reordered, packets / 2);  // two B-frames per reference frame
  }
}

TEST(TestMovies, VariableRateAndLongGopKeepTheirTiming) {
  const auto vfr = movies::named("vfr");
  auto frames = movies::decodeFrameNumbers(movies::ensure(vfr));
  ASSERT_TRUE(frames.ok()) << frames.error().message;
  ASSERT_EQ(numbers(*frames), movies::expectedFrames(vfr));
  // Every third frame lasts twice as long.
  EXPECT_NEAR((*frames)[3].time - (*frames)[2].time, 2.0 / 30, 0.002);
  EXPECT_NEAR((*frames)[2].time - (*frames)[1].time, 1.0 / 30, 0.002);

  const auto gop = movies::named("gop10s");
  auto long_gop = movies::decodeFrameNumbers(movies::ensure(gop));
  ASSERT_TRUE(long_gop.ok());
  EXPECT_EQ(numbers(*long_gop), movies::expectedFrames(gop));
}

TEST(TestMovies, EditListsPresentExactlyTheEditedFrames) {
  for (const char* name : {"editlist1", "editlist3"}) {
    SCOPED_TRACE(name);
    const auto spec = movies::named(name);
    auto frames = movies::decodeFrameNumbers(movies::ensure(spec));
    ASSERT_TRUE(frames.ok()) << frames.error().message;
    EXPECT_EQ(numbers(*frames), movies::expectedFrames(spec));
  }
  EXPECT_EQ(movies::expectedFrames(movies::named("editlist3")).size(), 105u);
}

TEST(TestMovies, TonesHaveTheirFrequencyOnEveryChannel) {
  for (const char* name : {"h264", "webm", "surround51", "audio-only"}) {
    SCOPED_TRACE(name);
    const auto spec = movies::named(name);
    auto sound = movies::analyzeAudio(movies::ensure(spec));
    ASSERT_TRUE(sound.ok()) << sound.error().message;
    ASSERT_EQ(sound->channels, spec.audioChannels);
    EXPECT_NEAR(sound->seconds, spec.seconds, 0.1);
    for (int c = 0; c < sound->channels; ++c) {
      const double f = movies::toneFrequency(spec, c);
      EXPECT_NEAR(sound->frequencyHz[c], f, f * 0.03) << c;
      EXPECT_NEAR(sound->rms[c], 0.5 / std::sqrt(2.0), 0.05) << c;
    }
  }
}

TEST(TestMovies, DamagedAndEmptyMoviesAreWhatTheySay) {
  auto truncated = movies::decodeFrameNumbers(movies::ensure(movies::named("truncated")));
  EXPECT_FALSE(truncated.ok());
  auto empty = movies::decodeFrameNumbers(movies::ensure(movies::named("empty")));
  EXPECT_TRUE(!empty.ok() || empty->empty());
  auto silent = movies::analyzeAudio(movies::ensure(movies::named("silent")));
  EXPECT_FALSE(silent.ok());
  auto audioOnly = movies::decodeFrameNumbers(movies::ensure(movies::named("audio-only")));
  EXPECT_FALSE(audioOnly.ok());
}

TEST(TestMovies, GrowingFileEndsAsTheCompleteMovie) {
  const auto spec = movies::named("fragmented");
  const std::string src = movies::ensure(spec);
  const std::string dst = (std::filesystem::path(movies::cacheDir()) / "growing-test.mp4").string();
  movies::GrowingFile grow(src, dst, 16 * 1024, 8 * 1024);
  ASSERT_FALSE(grow.start());
  // Whole boxes only: at least what was asked, and readable.
  EXPECT_GE(std::filesystem::file_size(dst), 16u * 1024);
  EXPECT_EQ(std::filesystem::file_size(dst), std::uint64_t(grow.written()));
  auto partial = movies::decodeFrameNumbers(dst);
  ASSERT_TRUE(partial.ok()) << partial.error().message;
  EXPECT_LT(partial->size(), 90u);
  while (grow.append()) {
  }
  EXPECT_EQ(grow.written(), grow.total());
  auto whole = movies::decodeFrameNumbers(dst);
  ASSERT_TRUE(whole.ok());
  EXPECT_EQ(numbers(*whole), movies::expectedFrames(spec));
  std::filesystem::remove(dst);
}

TEST(TestMovies, EnsureCachesByContentAndSizesFollowTheSpec) {
  auto spec = movies::named("h264");
  spec.width = 640;
  spec.height = 360;
  spec.seconds = 1;
  const std::string a = movies::ensure(spec);
  const auto stamp = std::filesystem::last_write_time(a);
  EXPECT_EQ(movies::ensure(spec), a);
  EXPECT_EQ(std::filesystem::last_write_time(a), stamp);
  spec.seconds = 2;
  EXPECT_NE(movies::ensure(spec), a);
  auto frames = movies::decodeFrameNumbers(a);
  ASSERT_TRUE(frames.ok());
  EXPECT_EQ(frames->size(), 30u);
}
