// The waveform extractor over FFmpeg on generated movies: where a tone
// lands among the 2,400 buckets, partial results, the same envelope through
// the range loader, the generation rule, pausing, and movies without sound.
#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <thread>

#include "analysis/WaveformExtractor.h"
#include "base/ManualScheduler.h"
#include "platform/ffmpeg/FfmpegAsset.h"
#include "platform/ffmpeg/FfmpegAudioReader.h"
#include "platform/ffmpeg/TestMovies.h"
#include "support/PlaybackSupport.h"

namespace movies = kf::testmovies;

namespace {

// 60 s of sound (stereo AAC, no picture): a 440/880 Hz tone at half of full
// scale from 10 s to 20 s, silence elsewhere.
movies::MovieSpec ToneMovie() {
  movies::MovieSpec s;
  s.video = movies::VideoCodec::None;
  s.seconds = 60;
  s.toneFrom = 10;
  s.toneTo = 20;
  return s;
}

class WaveformTest : public ::testing::Test {
 protected:
  WaveformTest() {
    kf::WaveformPorts p;
    p.scheduler = &sched;
    p.openReader = [](const std::shared_ptr<kf::media::MediaAsset>& a) { return kf::ff::OpenFirstAudioTrackOfAsset(a); };
    p.setWaveform = [this](const std::vector<float>& peaks) { delivered.push_back(peaks); };
    p.redraw = [this] { ++redraws; };
    extractor = std::make_unique<kf::WaveformExtractor>(std::move(p));
  }

  std::shared_ptr<kf::media::MediaAsset> asset(const std::string& path) { return kf::ff::FfmpegAsset::create(path, sched); }
  // Runs the main thread until the newest extraction has ended and its
  // results have been delivered.
  void finish() {
    ASSERT_TRUE(sched.runUntil([&] { return extractor->finished(); }, 30));
    sched.runPending();
  }
  std::vector<float> extract(std::shared_ptr<kf::media::MediaAsset> a, double duration) {
    delivered.clear();
    extractor->startWaveformForAsset(std::move(a), duration);
    finish();
    return delivered.empty() ? std::vector<float>() : delivered.back();
  }

  kf::ManualScheduler sched;
  std::vector<std::vector<float>> delivered;
  int redraws = 0;
  std::unique_ptr<kf::WaveformExtractor> extractor;
};

}  // namespace

TEST(WaveformBuckets, BucketOfTheBufferStartAndPeaks) {
  EXPECT_EQ(kf::WaveformBucket(30.0, 60), 1200);
  EXPECT_EQ(kf::WaveformBucket(0.0249, 60), 0);
  EXPECT_EQ(kf::WaveformBucket(0.025, 60), 1);
  EXPECT_EQ(kf::WaveformBucket(60.0, 60), 2399);
  EXPECT_EQ(kf::WaveformBucket(75.0, 60), 2399);
  EXPECT_EQ(kf::WaveformBucket(-0.02, 60), 0);
  EXPECT_EQ(kf::WaveformBucket(1.0, 0), std::nullopt);
  EXPECT_EQ(kf::WaveformBucket(std::nan(""), 60), std::nullopt);
  EXPECT_EQ(kf::WaveformBucket(INFINITY, 60), std::nullopt);
  const float s[] = {0.1f, -0.7f, std::nanf(""), 0.3f};
  EXPECT_FLOAT_EQ(kf::PeakOfSamples(s, 4), 0.7f);
  EXPECT_EQ(kf::PeakOfSamples(s, 0), 0.0f);
}

TEST_F(WaveformTest, ToneFromTenToTwentySecondsFillsBuckets400To799) {
  const std::string path = movies::ensure(ToneMovie());
  const auto wave = extract(asset(path), 60);
  ASSERT_EQ(wave.size(), 2400u);
  // Partial results every 80 buffers (1,024 samples each at 48 kHz), then
  // the final one.
  const std::uint64_t buffers = extractor->buffersMeasured();
  EXPECT_NEAR(double(buffers), 60 * 48000 / 1024.0, 3);
  EXPECT_EQ(delivered.size(), buffers / 80 + 1);
  for (std::size_t i = 1; i < delivered.size(); ++i)
    for (std::size_t b = 0; b < 2400; ++b) ASSERT_GE(delivered[i][b], delivered[i - 1][b]);  // partials grow
  // The partial after 400 buffers (8.5 s) has heard nothing yet; the one
  // after 800 buffers (17 s) already has the tone's start.
  EXPECT_EQ(*std::max_element(delivered[4].begin(), delivered[4].end()), 0.0f);
  EXPECT_NEAR(delivered[9][450], 0.5, 0.06);
  EXPECT_EQ(delivered[9][1000], 0.0f);

  for (int b = 0; b < 2400; ++b) {
    SCOPED_TRACE(b);
    // One bucket is 25 ms; the buffers on either side of the tone's edges
    // overlap it, and the encoder smears an edge over a frame or two.
    if (b >= 402 && b <= 797) {
      EXPECT_NEAR(wave[b], 0.5, 0.06);
    } else if (b < 396 || b > 803) {
      EXPECT_LT(wave[b], 0.01);
    }
  }

  // The same bytes through the range loader give the same envelope.
  auto served = kf::ff::FfmpegAsset::createServed("kerfline-range://movie/tone.mp4",
                                                  kf::testsupport::ServedLoader(path), sched);
  EXPECT_EQ(extract(served, 60), wave);
}

TEST_F(WaveformTest, ASecondOpenDropsTheFirstExtractionsLateResults) {
  const std::string first = movies::ensure(ToneMovie());
  const std::string second = movies::ensure(movies::named("audio-only"));  // tone throughout, 3 s
  extractor->startWaveformForAsset(asset(first), 60);
  const std::uint64_t g1 = extractor->generation();
  // Let the first worker post partial results without running them.
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (extractor->buffersMeasured() < 400 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(2));
  ASSERT_GE(extractor->buffersMeasured(), 400u);
  EXPECT_GE(sched.pendingCount(), 5u);

  const int redrawsBefore = redraws;
  extractor->startWaveformForAsset(asset(second), 3);
  EXPECT_EQ(extractor->generation(), g1 + 1);
  EXPECT_EQ(redraws, redrawsBefore + 1);  // the start asks for a redraw
  finish();
  // Only the second movie's envelope arrived: its tone starts at once, the
  // first movie's starts at 10 s.
  ASSERT_FALSE(delivered.empty());
  for (const auto& w : delivered) EXPECT_GT(w[0], 0.4);
  EXPECT_EQ(delivered.size(), extractor->buffersMeasured() / 80 + 1);
}

TEST_F(WaveformTest, PauseHoldsTheWorkerAndResumeContinuesWhereItStopped) {
  const std::string path = movies::ensure(ToneMovie());
  const auto reference = extract(asset(path), 60);
  const std::uint64_t referenceBuffers = extractor->buffersMeasured();
  delivered.clear();

  extractor->startWaveformForAsset(asset(path), 60);
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (extractor->buffersMeasured() < 300 && std::chrono::steady_clock::now() < deadline)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  extractor->setPaused(true);
  EXPECT_TRUE(extractor->paused());
  // The buffer in hand is finished; then nothing more.
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  sched.runPending();
  const std::uint64_t held = extractor->buffersMeasured();
  const std::size_t partials = delivered.size();
  EXPECT_LT(held, referenceBuffers);
  EXPECT_EQ(partials, held / 80);
  std::this_thread::sleep_for(std::chrono::milliseconds(300));
  sched.runPending();
  EXPECT_EQ(extractor->buffersMeasured(), held);
  EXPECT_EQ(delivered.size(), partials);
  EXPECT_FALSE(extractor->finished());

  extractor->setPaused(false);
  finish();
  EXPECT_EQ(extractor->buffersMeasured(), referenceBuffers);
  EXPECT_EQ(delivered.size(), referenceBuffers / 80 + 1);
  EXPECT_EQ(delivered.back(), reference);

  // A new start clears the flag: a paused extractor does not hold the next movie.
  extractor->setPaused(true);
  extractor->startWaveformForAsset(asset(path), 60);
  EXPECT_FALSE(extractor->paused());
  finish();
  EXPECT_EQ(delivered.back(), reference);
}

TEST_F(WaveformTest, MoviesWithoutSoundDeliverNothingAndZeroDurationGivesZeros) {
  EXPECT_TRUE(extract(asset(movies::ensure(movies::named("silent"))), 3).empty());
  EXPECT_TRUE(extract(asset("/nonexistent/movie.mp4"), 3).empty());
  const auto zeros = extract(asset(movies::ensure(movies::named("audio-only"))), 0);
  ASSERT_EQ(zeros.size(), 2400u);
  EXPECT_EQ(*std::max_element(zeros.begin(), zeros.end()), 0.0f);
}
