// The whole road of a served movie: a Larder domain (the reference service,
// in process), the preparation, the FFmpeg asset and the libmpv player over
// the range loader, down to the picture; and a connection that drops in the
// middle of playback reaching the player item as a failure.
#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "base/ManualScheduler.h"
#include "platform/ffmpeg/FfmpegAsset.h"
#include "platform/ffmpeg/TestMovies.h"
#include "platform/mpv/MpvPlayer.h"
#include "source/MGLarderRegistry.h"
#include "source/MGLarderServer.h"
#include "source/MGPrepareRangeAsset.h"
#include "source/MGRangeError.h"
#include "support/PlaybackSupport.h"

namespace movies = kf::testmovies;
namespace fs = std::filesystem;
using kf::media::ItemStatus;

namespace {

class LarderPlayback : public ::testing::Test {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kf-larder-play-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    dir_ = tmpl;
    root_ = dir_ / "root";
    registry_ = dir_ / "registry";
    fs::create_directories(root_);
    fs::create_directories(registry_);
    ::chmod(registry_.c_str(), 0700);
    auto p = kf::mpv::MpvPlayer::create(sched_);
    ASSERT_TRUE(p.ok()) << p.error().message;
    player_ = *p;
  }
  void TearDown() override {
    player_.reset();
    if (server_) server_->stop();
    std::error_code ec;
    fs::remove_all(dir_, ec);
  }

  // Serves `movie` as root/name through Larder; returns its file URL.
  std::string serve(const std::string& movie, const std::string& name, std::uint64_t dropAfterBytes = 0) {
    fs::copy_file(movie, root_ / name);
    kf::MGLarderServerOptions o;
    o.root = root_.string();
    o.socketPath = (registry_ / "larder.sock").string();
    o.dropAfterBytes = dropAfterBytes;
    server_ = std::make_unique<kf::MGLarderServer>(o);
    EXPECT_FALSE(server_->start());
    kf::MGLarderDomain d;
    d.identifier = "test-domain";
    d.root = root_.string();
    d.socketPath = o.socketPath;
    d.services = o.serviceNames;
    EXPECT_FALSE(kf::MGPublishLarderDomain(registry_.string(), d));
    return "file://" + (root_ / name).string();
  }

  kf::MGPreparation prepare(const std::string& url) {
    std::optional<kf::MGPreparation> out;
    kf::MGPreparationOptions options;
    options.registryDirectory = registry_.string();
    kf::MGPrepareRangeAssetForURL(url, sched_, [&](kf::MGPreparation p) { out = std::move(p); }, options);
    EXPECT_TRUE(sched_.runUntil([&] { return out.has_value(); }, 20));
    return out.value_or(kf::MGPreparation{});
  }

  std::shared_ptr<kf::media::PlayerItem> install(const kf::MGPreparation& prep) {
    auto asset = kf::ff::FfmpegAsset::createServed(prep.asset->url, prep.loader, sched_);
    // As the open flow does: the asset is loaded before the player gets it.
    bool loaded = false;
    asset->loadValuesAsynchronously([&] { loaded = true; });
    EXPECT_TRUE(sched_.runUntil([&] { return loaded; }, 20));
    item_ = player_->makePlayerItem(asset);
    item_->addFailedToPlayToEndObserver([this](const kf::Error& e) { failures_.push_back(e); });
    player_->replaceCurrentItem(item_);
    EXPECT_TRUE(sched_.runUntil([&] { return item_->status() != ItemStatus::Unknown; }, 20));
    return item_;
  }

  bool seek(double t) { return kf::testsupport::SeekAndWait(*player_, sched_, t); }
  int shownFrame() { return kf::testsupport::ShownFrame(*player_); }

  kf::ManualScheduler sched_;
  fs::path dir_, root_, registry_;
  std::unique_ptr<kf::MGLarderServer> server_;
  std::shared_ptr<kf::mpv::MpvPlayer> player_;
  std::shared_ptr<kf::media::PlayerItem> item_;
  std::vector<kf::Error> failures_;
};

}  // namespace

TEST_F(LarderPlayback, Hev1MovieServedByLarderPlaysFrameAccuratelyAsHvc1) {
  const std::string url = serve(movies::ensure(movies::named("hev1")), "clip.mp4");
  auto prep = prepare(url);
  ASSERT_TRUE(prep.asset) << prep.error->message;
  ASSERT_TRUE(prep.loader);
  EXPECT_TRUE(prep.servedByLarder);
  auto probe = kf::ff::probeMovie(prep.asset->url, prep.loader);
  ASSERT_TRUE(probe.ok()) << probe.error().message;
  EXPECT_EQ(probe->tracks[0].codecTag, "hvc1");

  auto item = install(prep);
  ASSERT_EQ(item->status(), ItemStatus::ReadyToPlay) << (item->error() ? item->error()->message : "");
  EXPECT_NEAR(item->duration(), 3.0, 0.02);
  for (int n : {61, 3, 88}) {
    EXPECT_TRUE(seek(n / 30.0));
    EXPECT_EQ(shownFrame(), n);
  }
  EXPECT_TRUE(failures_.empty());
}

TEST_F(LarderPlayback, ConnectionDroppingMidPlaybackFailsTheItemWithTheLoaderError) {
  auto spec = movies::named("fragmented");
  spec.width = 640;
  spec.height = 360;
  spec.seconds = 8;
  spec.noise = 40;
  const std::string movie = movies::ensure(spec);
  const std::string url = serve(movie, "clip.mp4");
  auto prep = prepare(url);
  ASSERT_TRUE(prep.asset);
  auto item = install(prep);
  ASSERT_EQ(item->status(), ItemStatus::ReadyToPlay) << (item->error() ? item->error()->message : "");
  EXPECT_TRUE(seek(0.5 + 0.025));  // inside frame 15, wherever the file starts its picture
  EXPECT_EQ(shownFrame(), 15);
  EXPECT_TRUE(failures_.empty());
  // The connection drops once the start has played, whatever the player has
  // read ahead by then (a drop after a byte count raced with its read-ahead
  // on a loaded machine): the end of the movie is still to be read.
  server_->dropConnections();
  seek(6.5);
  player_->play();
  ASSERT_TRUE(sched_.runUntil([&] { return !failures_.empty(); }, 20));
  sched_.runPending();
  ASSERT_EQ(failures_.size(), 1u);
  EXPECT_EQ(failures_[0].domain, kf::kRangeErrorDomain);
  EXPECT_EQ(item->error(), failures_[0]);
}
