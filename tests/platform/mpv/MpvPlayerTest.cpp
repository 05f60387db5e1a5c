// The libmpv player on the generated movies, with vo=null and ao=null: the
// picture is read back through the frame tap, so each check is on the frame
// number actually shown.
#include <gtest/gtest.h>

#include <mpv/client.h>

#include <atomic>
#include <filesystem>
#include <cmath>
#include <thread>

#include "base/ManualScheduler.h"
#include "platform/ffmpeg/FfmpegAsset.h"
#include "platform/ffmpeg/TestMovies.h"
#include "platform/mpv/MpvPlayer.h"
#include "source/MGFileRangeService.h"
#include "source/MGPrepareRangeAsset.h"
#include "source/MGRangeAssetLoader.h"
#include "source/MGURL.h"
#include "support/PlaybackSupport.h"

namespace movies = kf::testmovies;
using kf::media::ItemStatus;

namespace {

// A service that dies after serving a number of bytes: every later read
// fails, as when a range service's connection drops.
class FailingService final : public kf::MGRangeServiceProtocol {
 public:
  // Unarmed, reads pass freely until arm().
  FailingService(std::shared_ptr<kf::MGFileRangeService> file, std::uint64_t budget, bool armed = true)
      : file_(std::move(file)), budget_(budget), armed_(armed) {}
  void fileSizeWithReply(SizeReply reply) override { file_->fileSizeWithReply(std::move(reply)); }
  // Counts toward the budget only from here on.
  void arm() { armed_ = true; }
  void readOffset(std::uint64_t offset, std::uint64_t length, ReadReply reply) override {
    if (!armed_) {
      file_->readOffset(offset, length, std::move(reply));
      return;
    }
    const std::uint64_t before = served_.load();
    if (before >= budget_) {
      reply(nullptr, kf::Error{"test.service", 42, "the service went away"});
      return;
    }
    length = std::min(length, budget_ - before);
    served_ += length;
    file_->readOffset(offset, length, std::move(reply));
  }

 private:
  std::shared_ptr<kf::MGFileRangeService> file_;
  const std::uint64_t budget_;
  std::atomic<std::uint64_t> served_{0};
  std::atomic<bool> armed_;
};

using kf::testsupport::ServedLoader;

class PlayerTest : public ::testing::Test {
 protected:
  void SetUp() override {
    auto p = kf::mpv::MpvPlayer::create(sched);
    ASSERT_TRUE(p.ok()) << p.error().message;
    player = *p;
  }

  std::shared_ptr<kf::media::PlayerItem> open(const std::string& path) {
    return openAsset(kf::ff::FfmpegAsset::create(path, sched));
  }
  std::shared_ptr<kf::media::PlayerItem> openAsset(std::shared_ptr<kf::media::MediaAsset> asset) {
    auto item = player->makePlayerItem(std::move(asset));
    player->replaceCurrentItem(item);
    EXPECT_TRUE(sched.runUntil([&] { return item->status() != ItemStatus::Unknown; }, 20));
    return item;
  }

  bool seek(double t, double tolerance = 0) { return kf::testsupport::SeekAndWait(*player, sched, t, tolerance); }
  int shownFrame() { return kf::testsupport::ShownFrame(*player); }

  kf::ManualScheduler sched;
  std::shared_ptr<kf::mpv::MpvPlayer> player;
};

}  // namespace

TEST_F(PlayerTest, OpensSeeksExactlyAndShowsTheFrame) {
  auto item = open(movies::ensure(movies::named("h264")));
  ASSERT_EQ(item->status(), ItemStatus::ReadyToPlay);
  EXPECT_NEAR(item->duration(), 3.0, 0.05);
  for (int n : {45, 7, 89, 30, 0, 61}) {
    EXPECT_TRUE(seek(n / 30.0));
    EXPECT_EQ(shownFrame(), n) << n;
    EXPECT_NEAR(player->currentTime(), n / 30.0, 0.001);
  }
}


TEST_F(PlayerTest, EveryVariantOpensWithItsDurationOrFailsClearly) {
  for (const char* name : {"mov", "mkv", "webm", "hev1", "hvc1", "silent", "audio-only", "surround51", "vfr"}) {
    SCOPED_TRACE(name);
    const auto spec = movies::named(name);
    auto item = open(movies::ensure(spec));
    ASSERT_EQ(item->status(), ItemStatus::ReadyToPlay) << (item->error() ? item->error()->message : "");
    EXPECT_NEAR(item->duration(), movies::expectedDuration(spec), 0.03);
    if (spec.hasVideo()) {
      // Inside frame n: Matroska and WebM files start their picture up to
      // 21 ms after the movie's start (the sound's priming), and an exact
      // seek shows the frame on screen at its target.
      const int n = spec.frameCount() / 2;
      EXPECT_TRUE(seek(movies::frameTime(spec, n) + 0.025));
      EXPECT_EQ(shownFrame(), n);
    }
  }
  auto broken = open(movies::ensure(movies::named("truncated")));
  EXPECT_EQ(broken->status(), ItemStatus::Failed);
  ASSERT_TRUE(broken->error());
  EXPECT_EQ(broken->error()->domain, "mpv");
  EXPECT_NE(broken->error()->message.find("unrecognized file format"), std::string::npos);
  auto missing = open("/nonexistent/movie.mp4");
  EXPECT_EQ(missing->status(), ItemStatus::Failed);
}

TEST_F(PlayerTest, RotatedMovieIsShownTurned) {
  open(movies::ensure(movies::named("rotated90")));
  EXPECT_TRUE(seek(1.0));
  auto f = player->copyDisplayedFrame();
  ASSERT_TRUE(f);
  EXPECT_EQ(f->width, 240);
  EXPECT_EQ(f->height, 320);
  EXPECT_EQ(shownFrame(), 30);
}

TEST_F(PlayerTest, EditListsShowExactlyTheEditedFrames) {
  for (const char* name : {"editlist1", "editlist3"}) {
    SCOPED_TRACE(name);
    const auto spec = movies::named(name);
    auto item = open(movies::ensure(spec));
    EXPECT_NEAR(item->duration(), movies::expectedDuration(spec), 0.02);
    const auto expected = movies::expectedFrames(spec);
    std::vector<int> shown;
    for (std::size_t i = 0; i < expected.size(); ++i) {
      EXPECT_TRUE(seek(double(i) / spec.fps));
      shown.push_back(shownFrame());
    }
    EXPECT_EQ(shown, expected);
  }
  // Served, the spans are read through the loader and played over it.
  const auto spec = movies::named("editlist3");
  const std::string path = movies::ensure(spec);
  auto item = openAsset(kf::ff::FfmpegAsset::createServed("kerfline-range://movie/el3.mp4", ServedLoader(path), sched));
  ASSERT_EQ(item->status(), ItemStatus::ReadyToPlay);
  EXPECT_NEAR(item->duration(), movies::expectedDuration(spec), 0.02);
  const auto expected = movies::expectedFrames(spec);
  for (std::size_t i : {29u, 30u, 31u, 44u, 45u, 104u}) {
    EXPECT_TRUE(seek(double(i) / spec.fps));
    EXPECT_EQ(shownFrame(), expected[i]) << i;
  }
}

TEST_F(PlayerTest, RoughSeeksLandOnKeyframesAndExactOnesInsideLongGops) {
  open(movies::ensure(movies::named("gop10s")));
  EXPECT_TRUE(seek(10.5, 0.5));
  EXPECT_EQ(shownFrame(), 300);
  EXPECT_NEAR(player->currentTime(), 10.0, 0.001);  // where it landed
  EXPECT_TRUE(seek(5.0, 0.5));
  EXPECT_EQ(shownFrame(), 0);
  EXPECT_TRUE(seek(9.0));
  EXPECT_EQ(shownFrame(), 270);
  EXPECT_NEAR(player->currentTime(), 9.0, 0.001);
}

TEST_F(PlayerTest, OvertakenCancelledAndOrphanedSeeksFinishFalse) {
  open(movies::ensure(movies::named("h264")));
  std::optional<bool> first, second;
  player->seekToTime(2.0, 0, 0, [&](bool f) { first = f; });
  player->seekToTime(1.0, 0, 0, [&](bool f) { second = f; });
  EXPECT_FALSE(first.has_value());  // never inside the call
  ASSERT_TRUE(sched.runUntil([&] { return first && second; }, 20));
  EXPECT_FALSE(*first);
  EXPECT_TRUE(*second);
  EXPECT_EQ(shownFrame(), 30);

  std::optional<bool> cancelled;
  player->seekToTime(2.5, 0, 0, [&](bool f) { cancelled = f; });
  player->currentItem()->cancelPendingSeeks();
  ASSERT_TRUE(sched.runUntil([&] { return cancelled.has_value(); }, 20));
  EXPECT_FALSE(*cancelled);

  std::optional<bool> orphaned;
  player->seekToTime(1.5, 0, 0, [&](bool f) { orphaned = f; });
  open(movies::ensure(movies::named("mov")));
  ASSERT_TRUE(orphaned.has_value());
  EXPECT_FALSE(*orphaned);
}

TEST_F(PlayerTest, SeekIssuedBeforeReadyWaitsForTheItem) {
  auto item = player->makePlayerItem(kf::ff::FfmpegAsset::create(movies::ensure(movies::named("h264")), sched));
  std::vector<ItemStatus> seen;
  item->addStatusObserver([&](ItemStatus s) { seen.push_back(s); });
  player->replaceCurrentItem(item);
  std::optional<bool> done;
  player->seekToTime(2.0, 0, 0, [&](bool f) { done = f; });
  ASSERT_TRUE(sched.runUntil([&] { return done.has_value(); }, 20));
  EXPECT_TRUE(*done);
  EXPECT_EQ(shownFrame(), 60);
  EXPECT_EQ(seen, (std::vector<ItemStatus>{ItemStatus::Unknown, ItemStatus::ReadyToPlay}));
}

TEST_F(PlayerTest, PlaysPausesAndStopsAtTheEndOnTheLastFrame) {
  open(movies::ensure(movies::named("h264")));
  EXPECT_EQ(player->rate(), 0.0);
  EXPECT_TRUE(seek(2.5));
  player->play();
  EXPECT_EQ(player->rate(), 1.0);
  // keep-open: playback pauses at the end and the last frame stays.
  ASSERT_TRUE(sched.runUntil([&] { return player->rate() == 0.0; }, 10));
  EXPECT_NEAR(player->currentTime(), 3.0, 0.05);
  EXPECT_EQ(shownFrame(), 89);
  EXPECT_EQ(player->currentItem()->status(), ItemStatus::ReadyToPlay);

  EXPECT_TRUE(seek(0.0));
  player->setRate(2.0);
  EXPECT_EQ(player->rate(), 2.0);
  ASSERT_TRUE(sched.runUntil([&] { return player->currentTime() > 0.3; }, 10));
  player->pause();
  EXPECT_EQ(player->rate(), 0.0);
  EXPECT_EQ(player->propertyString("speed"), "2.000000");
}

TEST_F(PlayerTest, VolumeIsALinearGainAndMuteSticks) {
  player->setVolume(0.125);
  player->setMuted(true);
  EXPECT_EQ(player->volume(), 0.125);
  EXPECT_TRUE(player->isMuted());
  open(movies::ensure(movies::named("h264")));
  EXPECT_EQ(player->propertyString("volume"), "50.000000");  // 0.5³ = 0.125
  EXPECT_EQ(player->propertyString("mute"), "yes");
  player->setVolume(2.0);
  EXPECT_EQ(player->volume(), 1.0);
}

TEST_F(PlayerTest, PeriodicObserverRunsOnTheSchedulerWithTheCurrentTime) {
  open(movies::ensure(movies::named("h264")));
  EXPECT_TRUE(seek(1.0));
  std::vector<double> times;
  const auto id = player->addPeriodicTimeObserver(1.0 / 30, [&](double t) { times.push_back(t); });
  sched.advance(0.1 + 1e-9);
  ASSERT_EQ(times.size(), 3u);
  EXPECT_NEAR(times[0], 1.0, 0.001);
  player->removeTimeObserver(id);
  sched.advance(0.2);
  EXPECT_EQ(times.size(), 3u);
  player->replaceCurrentItem(nullptr);
  player->addPeriodicTimeObserver(1.0 / 30, [&](double t) { times.push_back(t); });
  sched.advance(0.04);
  ASSERT_EQ(times.size(), 4u);
  EXPECT_TRUE(std::isnan(times.back()));
}

TEST_F(PlayerTest, ServedHev1MoviePlaysThroughTheLoaderAsHvc1) {
  const std::string path = movies::ensure(movies::named("hev1"));
  auto loader = ServedLoader(path);
  ASSERT_FALSE(loader->retags().empty());
  // What the engine reads through this loader carries "hvc1".
  auto probe = kf::ff::probeMovie(path, loader);
  ASSERT_TRUE(probe.ok());
  EXPECT_EQ(probe->tracks[0].codecTag, "hvc1");

  auto asset = kf::ff::FfmpegAsset::createServed("kerfline-range://movie/hev1.mp4", loader, sched);
  auto item = openAsset(asset);
  ASSERT_EQ(item->status(), ItemStatus::ReadyToPlay) << (item->error() ? item->error()->message : "");
  EXPECT_NEAR(item->duration(), 3.0, 0.02);
  EXPECT_EQ(player->propertyString("track-list/0/codec"), "hevc");
  for (int n : {75, 12, 50}) {
    EXPECT_TRUE(seek(n / 30.0));
    EXPECT_EQ(shownFrame(), n);
  }
}

// A served movie crosses its source once per open for its index: the
// preparation's scan reads it; the probe and libmpv, reading through the
// same loader, get it from memory. Playback then reads the samples.
TEST_F(PlayerTest, ServedMovieIndexIsReadFromItsSourceOncePerOpen) {
  const std::string path = movies::ensure(movies::named("hev1"));
  auto counting = std::make_shared<kf::testsupport::CountingFileService>(path);
  kf::MGPreparationOptions options;
  options.registryDirectory = "/nonexistent/kerfline-registry";
  options.openFile = [&](const std::string&) { return counting; };
  std::optional<kf::MGPreparation> prep;
  kf::MGPrepareRangeAssetForURL(kf::MGFileURLFromPath(path), sched, [&](kf::MGPreparation p) { prep = p; }, options);
  ASSERT_TRUE(sched.runUntil([&] { return prep.has_value(); }, 20));
  ASSERT_TRUE(prep->asset && prep->asset->served() && prep->loader);
  auto asset = kf::ff::FfmpegAsset::createServed(prep->asset->url, prep->loader, sched, prep->source);
  bool loaded = false;
  asset->loadValuesAsynchronously([&] { loaded = true; });
  ASSERT_TRUE(sched.runUntil([&] { return loaded; }, 20));
  auto item = openAsset(asset);
  ASSERT_EQ(item->status(), ItemStatus::ReadyToPlay);
  EXPECT_TRUE(seek(50 / 30.0));
  EXPECT_EQ(shownFrame(), 50);
  const auto [moovAt, moovSize] = kf::testsupport::MovieBoxOf(path);
  ASSERT_GT(moovSize, 1000u);
  EXPECT_EQ(counting->timesRead(moovAt, moovSize), std::make_pair(1, 1));
  // The samples were read too (from the file, as playback needs them).
  EXPECT_GE(counting->timesRead(moovAt / 2, 4096).first, 1);
}

TEST_F(PlayerTest, ServiceDyingMidPlaybackReachesTheItemAsAFailure) {
  // Index first, so the movie opens from its first bytes and later reads
  // fetch the pictures.
  auto spec = movies::named("fragmented");
  spec.width = 640;
  spec.height = 360;
  spec.seconds = 8;
  spec.noise = 40;
  const std::string path = movies::ensure(spec);
  auto file = kf::MGFileRangeService::create(path);
  ASSERT_GT(file->size(), 2u << 20);
  auto service = std::make_shared<FailingService>(file, file->size() * 4 / 10, false);
  auto loader = ServedLoader(path, service);
  auto asset = kf::ff::FfmpegAsset::createServed("kerfline-range://movie/frag.mp4", loader, sched);
  // As the open flow does: the asset is loaded before the player gets it.
  bool loaded = false;
  asset->loadValuesAsynchronously([&] { loaded = true; });
  ASSERT_TRUE(sched.runUntil([&] { return loaded; }, 20));
  service->arm();
  auto item = player->makePlayerItem(asset);
  std::vector<kf::Error> failures;
  item->addFailedToPlayToEndObserver([&](const kf::Error& e) { failures.push_back(e); });
  player->replaceCurrentItem(item);
  ASSERT_TRUE(sched.runUntil([&] { return item->status() != ItemStatus::Unknown; }, 20));
  ASSERT_EQ(item->status(), ItemStatus::ReadyToPlay) << item->error()->message;
  // Inside frame 6 (a fragmented file starts its picture 21 ms late).
  EXPECT_TRUE(seek(0.2 + 0.025));
  EXPECT_EQ(shownFrame(), 6);
  EXPECT_TRUE(failures.empty());
  // Jump to where the bytes no longer arrive, and play on.
  seek(6.0);
  player->play();
  ASSERT_TRUE(sched.runUntil([&] { return !failures.empty(); }, 10));
  sched.runPending();
  ASSERT_EQ(failures.size(), 1u);
  EXPECT_EQ(failures[0].domain, "test.service");
  EXPECT_EQ(failures[0].code, 42);
  EXPECT_EQ(item->error(), failures[0]);
  EXPECT_EQ(item->status(), ItemStatus::ReadyToPlay);
}

TEST_F(PlayerTest, ServiceDeadBeforeOpeningFailsTheItemWithItsError) {
  const std::string path = movies::ensure(movies::named("h264"));
  auto file = kf::MGFileRangeService::create(path);
  auto loader = ServedLoader(path, std::make_shared<FailingService>(file, 0));
  auto item = openAsset(kf::ff::FfmpegAsset::createServed("kerfline-range://movie/h264.mp4", loader, sched));
  ASSERT_EQ(item->status(), ItemStatus::Failed);
  EXPECT_EQ(item->error()->domain, "test.service");
}

TEST_F(PlayerTest, ExposurePreviewLeavesTheTapAsDecoded) {
  auto item = open(movies::ensure(movies::named("h264")));
  auto greyLevel = [&] {
    auto f = player->copyDisplayedFrame();
    if (!f) return -1.0;
    // A patch of the plain grey lower half, left of the digits.
    double sum = 0;
    int n = 0;
    for (int y = f->height * 3 / 4; y < f->height * 3 / 4 + 8; ++y)
      for (int x = 4; x < 20; ++x, ++n) sum += f->bgra[static_cast<std::size_t>(y) * f->stride + 4 * x + 1];
    return sum / n;
  };
  EXPECT_TRUE(seek(1.0));
  const double plain = greyLevel();
  item->setExposurePreview(1.0);
  EXPECT_EQ(item->exposurePreview(), 1.0);
  EXPECT_TRUE(seek(1.0));
  // What is shown is brighter (the renderer tests look at it); the tap
  // still gives the frame as decoded, for the exposure measurement.
  EXPECT_NEAR(greyLevel(), plain, 1.5);
  EXPECT_EQ(shownFrame(), 30);
  item->setExposurePreview(0);
  EXPECT_TRUE(seek(1.0));
  EXPECT_NEAR(greyLevel(), plain, 3);
}

TEST_F(PlayerTest, GrowingFileIsFollowedWhenPlaybackReachesItsEnd) {
  auto spec = movies::named("fragmented");
  spec.seconds = 6;
  const std::string src = movies::ensure(spec);
  const std::string dst = movies::cacheDir() + "/growing-player-test.mp4";
  movies::GrowingFile grow(src, dst, std::filesystem::file_size(src) / 3, 1);
  ASSERT_FALSE(grow.start());
  auto item = open(dst);
  ASSERT_EQ(item->status(), ItemStatus::ReadyToPlay) << item->error()->message;
  const double first = item->duration();
  ASSERT_LT(first, 5.0);
  while (grow.append()) {
  }
  EXPECT_TRUE(seek(first - 0.3));
  player->play();
  ASSERT_TRUE(sched.runUntil([&] { return item->duration() > 5.9; }, 10));
  ASSERT_TRUE(sched.runUntil([&] { return player->currentTime() > first + 0.5; }, 10));
  player->pause();
  EXPECT_EQ(item->status(), ItemStatus::ReadyToPlay);
  EXPECT_GT(shownFrame(), int(first * 30));
  std::filesystem::remove(dst);
}

TEST(PlayerDecoding, SafeHardwareModeFallsBackSilentlyAndReportsTheDecoderInUse) {
  kf::ManualScheduler sched;
  for (const std::string mode : {"auto-safe", "no"}) {
    kf::mpv::MpvOptions options;
    options.hwdec = mode;
    auto created = kf::mpv::MpvPlayer::create(sched, options);
    ASSERT_TRUE(created.ok()) << created.error().message;
    auto player = *created;
    int changes = 0;
    player->setDecoderObserver([&changes] { ++changes; });
    EXPECT_FALSE(player->videoDecoderActive());

    auto item = player->makePlayerItem(kf::ff::FfmpegAsset::create(movies::ensure(movies::named("h264")), sched));
    player->replaceCurrentItem(item);
    ASSERT_TRUE(sched.runUntil([&] { return item->status() != ItemStatus::Unknown; }, 20));
    ASSERT_EQ(item->status(), ItemStatus::ReadyToPlay) << mode;
    ASSERT_TRUE(kf::testsupport::SeekAndWait(*player, sched, 45 / 30.0, 0));
    EXPECT_EQ(kf::testsupport::ShownFrame(*player), 45) << mode << ": the picture is right whichever decoder runs";
    ASSERT_TRUE(sched.runUntil([&] { return player->videoDecoderActive(); }, 10)) << mode;
    EXPECT_GE(changes, 1);
    // The value libmpv reports, as the window shows it.
    const std::string reported = player->propertyString("hwdec-current");
    EXPECT_EQ(player->hardwareDecoder(), reported == "no" ? "" : reported);
    if (mode == "no") {
      EXPECT_EQ(player->hardwareDecoder(), "");
    }
    std::printf("hwdec=%s: decoder in use: %s\n", mode.c_str(),
                player->hardwareDecoder().empty() ? "processor" : player->hardwareDecoder().c_str());

    // Sound only: no video decoder.
    auto sound = player->makePlayerItem(
        kf::ff::FfmpegAsset::create(movies::ensure(movies::named("audio-only")), sched));
    player->replaceCurrentItem(sound);
    ASSERT_TRUE(sched.runUntil([&] { return sound->status() != ItemStatus::Unknown; }, 20));
    EXPECT_TRUE(sched.runUntil([&] { return !player->videoDecoderActive(); }, 10)) << mode;
    EXPECT_EQ(player->hardwareDecoder(), "");
  }
}
