// The asset over libavformat, on the generated movies: what it reports for
// every variant, its single completion on the main thread, and reading a
// served movie through the range loader (retagged, or failing).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>

#include "base/ManualScheduler.h"
#include "support/PlaybackSupport.h"
#include "platform/ffmpeg/FfmpegAsset.h"
#include "platform/ffmpeg/TestMovies.h"
#include "source/MGFileRangeService.h"
#include "source/MGPrepareRangeAsset.h"
#include "source/MGURL.h"
#include "source/MGRangeAssetLoader.h"
#include "source/MGSampleEntryRetag.h"

namespace movies = kf::testmovies;
using kf::media::MediaType;

namespace {

std::shared_ptr<kf::ff::FfmpegAsset> loaded(kf::ManualScheduler& sched, std::shared_ptr<kf::ff::FfmpegAsset> asset) {
  int calls = 0;
  asset->loadValuesAsynchronously([&] { ++calls; });
  EXPECT_EQ(asset->loadStatus(), kf::media::LoadStatus::Loading);
  EXPECT_TRUE(sched.runUntil([&] { return calls > 0; }, 20));
  sched.runPending();
  EXPECT_EQ(calls, 1);
  return asset;
}

using kf::testsupport::ServedLoader;

// A service that fails every read at or past a byte offset.
class FailingService final : public kf::MGRangeServiceProtocol {
 public:
  FailingService(std::shared_ptr<kf::MGFileRangeService> file, std::uint64_t failAt)
      : file_(std::move(file)), failAt_(failAt) {}
  void fileSizeWithReply(SizeReply reply) override { file_->fileSizeWithReply(std::move(reply)); }
  void readOffset(std::uint64_t offset, std::uint64_t length, ReadReply reply) override {
    if (offset + length > failAt_) {
      reply(nullptr, kf::Error{"test.service", 42, "the service went away"});
      return;
    }
    file_->readOffset(offset, length, std::move(reply));
  }

 private:
  std::shared_ptr<kf::MGFileRangeService> file_;
  std::uint64_t failAt_;
};

}  // namespace

TEST(FfmpegAsset, EveryVariantReportsDurationTracksSizeAndRate) {
  struct Case {
    const char* name;
    int videoTracks, audioTracks;
    double width, height, fps;
    const char* codec;
  };
  const Case cases[] = {
      {"h264", 1, 1, 320, 240, 30, "h264"},      {"mov", 1, 1, 320, 240, 30, "h264"},
      {"mkv", 1, 1, 320, 240, 30, "h264"},       {"webm", 1, 1, 320, 240, 30, "vp9"},
      {"hev1", 1, 1, 320, 240, 30, "hevc"},      {"rotated90", 1, 1, 240, 320, 30, "h264"},
      {"silent", 1, 0, 320, 240, 30, "h264"},    {"audio-only", 0, 1, 0, 0, 0, ""},
      {"surround51", 1, 1, 320, 240, 30, "h264"}, {"editlist3", 1, 1, 320, 240, 30, "h264"},
  };
  kf::ManualScheduler sched;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const auto spec = movies::named(c.name);
    auto asset = loaded(sched, kf::ff::FfmpegAsset::create(movies::ensure(spec), sched));
    ASSERT_EQ(asset->loadStatus(), kf::media::LoadStatus::Loaded);
    EXPECT_TRUE(asset->isPlayable());
    // Matroska stores the end of the last audio frame: allow one audio frame.
    EXPECT_NEAR(asset->duration(), movies::expectedDuration(spec), 0.03);
    auto video = asset->tracksWithMediaType(MediaType::Video);
    auto audio = asset->tracksWithMediaType(MediaType::Audio);
    ASSERT_EQ(int(video.size()), c.videoTracks);
    ASSERT_EQ(int(audio.size()), c.audioTracks);
    if (c.videoTracks > 0) {
      EXPECT_EQ(video[0].codec, c.codec);
      EXPECT_EQ(video[0].naturalSize, (kf::Size{320, 240}));
      EXPECT_EQ(kf::media::displaySize(video[0]), (kf::Size{c.width, c.height}));
      EXPECT_NEAR(video[0].nominalFrameRate, c.fps, 0.01);
    }
    if (c.audioTracks > 0) {
      EXPECT_EQ(audio[0].channels, spec.audioChannels);
    }
  }
}

TEST(FfmpegAsset, VariableRateGivesTheAverageAndRotationAMatrix) {
  kf::ManualScheduler sched;
  const auto vfr = movies::named("vfr");
  auto a = loaded(sched, kf::ff::FfmpegAsset::create(movies::ensure(vfr), sched));
  auto v = a->tracksWithMediaType(MediaType::Video);
  ASSERT_EQ(v.size(), 1u);
  EXPECT_NEAR(v[0].nominalFrameRate, vfr.frameCount() / movies::expectedDuration(vfr), 0.5);
  auto r = loaded(sched, kf::ff::FfmpegAsset::create(movies::ensure(movies::named("rotated90")), sched));
  const auto m = r->tracksWithMediaType(MediaType::Video)[0].preferredTransform;
  EXPECT_EQ(m, (kf::media::AffineTransform{0, 1, -1, 0, 240, 0}));
}

TEST(FfmpegAsset, BrokenAndEmptyMoviesReportClearly) {
  kf::ManualScheduler sched;
  auto t = loaded(sched, kf::ff::FfmpegAsset::create(movies::ensure(movies::named("truncated")), sched));
  EXPECT_EQ(t->loadStatus(), kf::media::LoadStatus::Failed);
  ASSERT_TRUE(t->loadError());
  EXPECT_EQ(t->loadError()->domain, "FFmpeg");
  EXPECT_NE(t->loadError()->message.find("cannot open"), std::string::npos);

  auto e = loaded(sched, kf::ff::FfmpegAsset::create(movies::ensure(movies::named("empty")), sched));
  ASSERT_EQ(e->loadStatus(), kf::media::LoadStatus::Loaded);
  EXPECT_EQ(e->duration(), 0.0);

  auto missing = loaded(sched, kf::ff::FfmpegAsset::create("/nonexistent/movie.mp4", sched));
  EXPECT_EQ(missing->loadStatus(), kf::media::LoadStatus::Failed);
}

TEST(FfmpegAsset, LoadsOnceAndLaterCallersAreAnsweredFromTheResult) {
  kf::ManualScheduler sched;
  auto asset = kf::ff::FfmpegAsset::create(movies::ensure(movies::named("h264")), sched);
  int first = 0, second = 0, late = 0;
  asset->loadValuesAsynchronously([&] { ++first; });
  asset->loadValuesAsynchronously([&] { ++second; });
  ASSERT_TRUE(sched.runUntil([&] { return first && second; }, 20));
  asset->loadValuesAsynchronously([&] { ++late; });
  EXPECT_EQ(late, 0);  // never inside the call
  sched.runPending();
  EXPECT_EQ(first + second + late, 3);
  // Dropping an asset while it loads neither blocks long nor calls back.
  int dropped = 0;
  {
    auto gone = kf::ff::FfmpegAsset::create(movies::ensure(movies::named("gop10s")), sched);
    gone->loadValuesAsynchronously([&] { ++dropped; });
  }
  sched.runPending();
  EXPECT_EQ(dropped, 0);
}

TEST(FfmpegAsset, ServedHev1MovieIsSeenAsHvc1) {
  kf::ManualScheduler sched;
  const std::string path = movies::ensure(movies::named("hev1"));
  auto direct = kf::ff::probeMovie(path, nullptr);
  ASSERT_TRUE(direct.ok());
  EXPECT_EQ(direct->tracks[0].codecTag, "hev1");
  auto loader = ServedLoader(path);
  ASSERT_FALSE(loader->retags().empty());
  auto asset = loaded(sched, kf::ff::FfmpegAsset::createServed("kerfline-range://movie/hev1.mp4", loader, sched));
  ASSERT_EQ(asset->loadStatus(), kf::media::LoadStatus::Loaded) << asset->loadError()->message;
  auto video = asset->tracksWithMediaType(MediaType::Video);
  ASSERT_EQ(video.size(), 1u);
  EXPECT_EQ(video[0].codec, "hevc");
  EXPECT_EQ(video[0].codecTag, "hvc1");
  EXPECT_NEAR(asset->duration(), 3.0, 0.01);
}

TEST(FfmpegAsset, ServedMovieWhoseServiceFailsReportsTheServiceError) {
  kf::ManualScheduler sched;
  const std::string path = movies::ensure(movies::named("h264"));
  auto file = kf::MGFileRangeService::create(path);
  // The index is at the end of the file: failing the last quarter loses it.
  auto loader = kf::MGRangeAssetLoader::create(std::make_shared<FailingService>(file, file->size() * 3 / 4),
                                               file->size(), path, nullptr);
  auto asset = loaded(sched, kf::ff::FfmpegAsset::createServed("kerfline-range://movie/h264.mp4", loader, sched));
  ASSERT_EQ(asset->loadStatus(), kf::media::LoadStatus::Failed);
  EXPECT_EQ(asset->loadError()->domain, "test.service");
  EXPECT_EQ(asset->loadError()->code, 42);
}

// One open reads the movie's index from the file once: the preparation's
// retag scan reads it, and the probe (the edit lists included) takes it from
// what was read. For a plain file and for one served through the loader.
TEST(FfmpegAsset, OpeningReadsTheIndexFromTheFileOnce) {
  for (const char* name : {"editlist3", "hev1"}) {
    SCOPED_TRACE(name);
    kf::ManualScheduler sched;
    const auto spec = movies::named(name);
    const std::string path = movies::ensure(spec);
    auto counting = std::make_shared<kf::testsupport::CountingFileService>(path);
    kf::MGPreparationOptions options;
    options.registryDirectory = "/nonexistent/kerfline-registry";
    options.openFile = [&](const std::string&) { return counting; };
    std::optional<kf::MGPreparation> prep;
    kf::MGPrepareRangeAssetForURL(kf::MGFileURLFromPath(path), sched, [&](kf::MGPreparation p) { prep = p; },
                                  options);
    ASSERT_TRUE(sched.runUntil([&] { return prep.has_value(); }, 20));
    ASSERT_TRUE(prep->asset && prep->source);
    const bool served = std::string(name) == "hev1";
    ASSERT_EQ(prep->asset->served(), served);
    auto asset = loaded(sched, served ? kf::ff::FfmpegAsset::createServed(prep->asset->url, prep->loader, sched,
                                                                         prep->source)
                                      : kf::ff::FfmpegAsset::create(path, sched, prep->source));
    ASSERT_EQ(asset->loadStatus(), kf::media::LoadStatus::Loaded);
    const auto [moovAt, moovSize] = kf::testsupport::MovieBoxOf(path);
    ASSERT_GT(moovSize, 1000u);
    EXPECT_EQ(counting->timesRead(moovAt, moovSize), std::make_pair(1, 1));
    // The edit lists came from those bytes: one span per entry.
    const auto plan = asset->presentationPlan();
    if (spec.editList.empty()) {
      EXPECT_FALSE(plan.timeline);
      EXPECT_EQ(asset->tracksWithMediaType(MediaType::Video).at(0).codecTag, "hvc1");
    } else {
      ASSERT_TRUE(plan.timeline && plan.video);
      ASSERT_EQ(plan.video->size(), spec.editList.size());
      for (std::size_t i = 0; i < spec.editList.size(); ++i)
        EXPECT_NEAR((*plan.video)[i].duration, spec.editList[i].frameCount / spec.rate(), 1e-3) << i;
    }
    // What is kept after the opening is the index and headers, not samples.
    EXPECT_TRUE(prep->source->capture()->sealed());
    EXPECT_LT(prep->source->capture()->bytesHeld(), moovSize + (1u << 20));
  }
}
