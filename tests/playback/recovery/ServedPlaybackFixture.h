// The open flow, the transport and recovery over the libmpv player and the
// real source preparation, with a movie served by the reference range
// service running as its own process. Virtual time follows real time, so
// the retry delay, the open deadline, the playback tick and the stall
// watchdog run as they do in the program.
#pragma once

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <memory>

#include "../../source/ServiceProcess.h"
#include "../session/ScriptedMedia.h"
#include "app/rules/SettingsStore.h"
#include "platform/ffmpeg/FfmpegAsset.h"
#include "platform/ffmpeg/TestMovies.h"
#include "platform/mpv/MpvPlayer.h"
#include "playback/recovery/PlaybackRecoveryController.h"
#include "source/MGPrepareRangeAsset.h"
#include "source/MGURL.h"
#include "support/PlaybackSupport.h"

namespace kf::test {

// The program's preparation: MGPrepareRangeAssetForURL, then the FFmpeg
// asset over the delivered loader (as the application wires it).
class RealPreparation : public MoviePreparationPort {
 public:
  RealPreparation(Scheduler& s, std::string registry) : s_(s), registry_(std::move(registry)) {}
  CancelPreparation prepareMovie(const MovieURL& url, std::function<void(PreparedMovie)> completion) override {
    const std::string address = url.isFile() ? MGFileURLFromPath(url.text) : url.text;
    MGPreparationOptions options;
    options.registryDirectory = registry_;
    options.connectTimeoutSeconds = 2;
    Scheduler* s = &s_;
    return MGPrepareRangeAssetForURL(
        address, s_,
        [s, completion](MGPreparation p) {
          PreparedMovie out;
          out.loader = p.loader;
          out.servedByLarder = p.servedByLarder;
          out.error = p.error;
          if (p.asset)
            out.asset = p.asset->served() ? std::shared_ptr<media::MediaAsset>(
                                                ff::FfmpegAsset::createServed(p.asset->url, p.loader, *s))
                                          : ff::FfmpegAsset::create(p.asset->filePath, *s);
          completion(std::move(out));
        },
        options);
  }

 private:
  Scheduler& s_;
  std::string registry_;
};

class ServedPlayback : public ::testing::Test, public EditPlayerPort {
 protected:
  void SetUp() override {
    char tmpl[] = "/tmp/kf-served-recovery-XXXXXX";
    ASSERT_TRUE(mkdtemp(tmpl));
    dir_ = tmpl;
    root_ = dir_ / "root";
    registry_ = dir_ / "registry";
    std::filesystem::create_directories(root_);
    std::filesystem::create_directories(registry_);
    ::chmod(registry_.c_str(), 0700);

    // 12 s at 30 fps with grain, so libmpv never holds more than a small
    // part of it: playback needs the service all along.
    auto spec = testmovies::named("h264");
    spec.width = 640;
    spec.height = 360;
    spec.seconds = 12;
    spec.noise = 40;
    std::filesystem::copy_file(testmovies::ensure(spec), root_ / "clip.mp4");

    auto created = mpv::MpvPlayer::create(scheduler);
    ASSERT_TRUE(created.ok()) << created.error().message;
    mpvPlayer = *created;
    preparation = std::make_unique<RealPreparation>(scheduler, registry_.string());
    edit = std::make_unique<EditSession>(EditPorts{this, &editDoubles, &editDoubles, &status, &editDoubles,
                                                   &editDoubles, [] { return false; }});
    session = std::make_unique<PlayerSession>(
        PlayerSessionPorts{&scheduler, mpvPlayer.get(), preparation.get(), &alerts, &status, &view, &movies,
                           &settings, edit.get(), [this] { return busy; }, [this] { transport->endScrub(); },
                           nullptr, [this](double t) { transport->seek(t); }, nullptr});
    TransportPorts tp;
    tp.player = mpvPlayer.get();
    tp.session = session.get();
    tp.edit = edit.get();
    tp.view = &transportView;
    tp.clock = &scheduler;
    tp.reconnectAfterLoss = [this] { recovery->reconnectAfterLoss(); };
    transport = std::make_unique<Transport>(std::move(tp));
    recovery = std::make_unique<PlaybackRecoveryController>(
        PlaybackRecoveryPorts{&scheduler, mpvPlayer.get(), session.get(), &status, preparation.get(),
                              [this] { return transport->playhead(); },
                              [this](double t) { transport->refreshEditorUIAtSeconds(t); }, nullptr});
    transport->watchPlayer();
  }

  void TearDown() override {
    recovery.reset();
    transport.reset();
    session.reset();
    edit.reset();
    mpvPlayer.reset();
    service.reset();
    std::error_code ec;
    std::filesystem::remove_all(dir_, ec);
  }

  // EditPlayerPort: the transport, once it exists.
  double currentTime() const override { return transport->currentTime(); }
  void seek(double seconds) override { transport->seek(seconds); }
  void pause() override { transport->pause(); }

  void startService() {
    service = std::make_unique<ServiceProcess>(std::vector<std::string>{
        "--identifier", "D", "--root", root_.string(), "--registry", registry_.string()});
    ASSERT_TRUE(service->ok());
  }
  static constexpr const char* kLink = "kerfline://larder/clip.mp4?domain=D&item=clip.mp4";

  // Runs the main thread, with virtual time following real time, until
  // `done` holds or `timeout` real seconds have passed.
  bool pump(double timeout, const std::function<bool()>& done) {
    using C = std::chrono::steady_clock;
    const auto start = C::now();
    auto last = start;
    while (!done()) {
      const auto now = C::now();
      if (std::chrono::duration<double>(now - start).count() > timeout) return false;
      scheduler.waitForPosted(0.005);
      scheduler.runPending();
      scheduler.advance(std::chrono::duration<double>(now - last).count());
      last = now;
    }
    return true;
  }
  bool sawStatus(const std::string& text) const {
    return std::find(status.texts.begin(), status.texts.end(), text) != status.texts.end();
  }

  // Opens the served movie and plays it past `seconds`.
  void openAndPlayPast(double seconds) {
    session->openURL(kLink);
    ASSERT_TRUE(pump(20, [&] { return session->playerOpened(); })) << status.last();
    ASSERT_TRUE(session->rangeLoader());
    ASSERT_EQ(mpvPlayer->rate(), 1);
    ASSERT_TRUE(pump(20, [&] { return mpvPlayer->currentTime() > seconds; })) << status.last();
  }

  ManualScheduler scheduler;
  std::filesystem::path dir_, root_, registry_;
  std::unique_ptr<ServiceProcess> service;
  std::shared_ptr<mpv::MpvPlayer> mpvPlayer;
  std::unique_ptr<RealPreparation> preparation;
  RecordingAlerts alerts;
  RecordingStatus status;
  RecordingView view;
  RecordingMovies movies;
  MemorySettingsStore settings;
  EditDoubles editDoubles;
  RecordingTransportView transportView;
  bool busy = false;
  std::unique_ptr<EditSession> edit;
  std::unique_ptr<PlayerSession> session;
  std::unique_ptr<Transport> transport;
  std::unique_ptr<PlaybackRecoveryController> recovery;
};

}  // namespace kf::test
