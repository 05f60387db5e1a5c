// Media engine benchmark: our libmpv player against the mpv command-line
// program, on the same generated 1080p movie with one keyframe every 10 s.
//
// Measured, paused, with vo=null and ao=null on both sides:
// - open: from asking for the movie to libmpv's first shown frame
//   ("playback-restart"); ours both from the file and served through the
//   range loader;
// - rough seeks (keyframe) and exact seeks to the same random targets: from
//   issuing the seek to its completion (ours: the seek completion on the main
//   thread; mpv: the "playback-restart" event over its JSON IPC).
// Prints median and 90th percentile in milliseconds and ours/theirs ratios.
//
//   media_bench [--seconds S] [--seeks N] [--movie PATH]
#include <mpv/client.h>
#include <signal.h>
#include <spawn.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <clocale>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "base/ManualScheduler.h"
#include "platform/ffmpeg/FfmpegAsset.h"
#include "platform/mpv/MpvPlayer.h"
#include "source/MGFileRangeService.h"
#include "source/MGRangeAssetLoader.h"
#include "support/BenchMovie.h"
#include "support/MpvCli.h"

extern char** environ;

using Clock = std::chrono::steady_clock;

namespace {

using kf::bench::MpvCli;
using kf::bench::msSince;
using kf::bench::quoteJson;
using kf::bench::Stats;
using kf::bench::stats;

// Waits on a second client of the same core for libmpv's first shown frame.
// Our open runs the asset's probe first, whose completion arrives through
// the scheduler, so the wait keeps the scheduler turning.
bool waitRestart(mpv_handle* client, kf::ManualScheduler& sched, double timeoutSeconds) {
  const auto t0 = Clock::now();
  while (msSince(t0) < timeoutSeconds * 1000) {
    sched.runPending();
    mpv_event* ev = mpv_wait_event(client, 0.001);
    if (ev->event_id == MPV_EVENT_PLAYBACK_RESTART) return true;
  }
  return false;
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_NUMERIC, "C");
  double seconds = 30;
  int seekCount = 25;
  std::string moviePath;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--seconds")) seconds = std::atof(argv[i + 1]);
    if (!std::strcmp(argv[i], "--seeks")) seekCount = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--movie")) moviePath = argv[i + 1];
  }
  if (moviePath.empty()) {
    auto path = kf::bench::EnsureSeekBenchMovie(seconds);
    if (!path) return 1;
    moviePath = *path;
  }
  std::printf("movie: %s (%.1f MB)\n", moviePath.c_str(),
              std::filesystem::file_size(moviePath) / 1048576.0);

  std::mt19937 rng(7);
  std::uniform_real_distribution<double> pick(0.5, seconds - 0.5);
  std::vector<double> targets;
  for (int i = 0; i < seekCount; ++i) targets.push_back(pick(rng));

  // Both engines run side by side and each measurement alternates between
  // them, so a busy machine weighs on both alike.
  kf::ManualScheduler sched;
  auto created = kf::mpv::MpvPlayer::create(sched);
  if (!created) {
    std::fprintf(stderr, "%s\n", created.error().message.c_str());
    return 1;
  }
  auto player = *created;
  mpv_handle* observer = mpv_create_client(player->handle(), "bench");
  MpvCli cli;
  const std::string sock =
      (std::filesystem::temp_directory_path() / ("kerfline-bench-" + std::to_string(getpid()))).string();
  if (!cli.start(sock)) {
    std::fprintf(stderr, "cannot start the mpv program\n");
    return 1;
  }

  std::vector<double> oursOpen, oursServedOpen, oursRough, oursExact;
  std::vector<double> theirOpen, theirRough, theirExact;
  auto openOurs = [&](bool served) {
    player->replaceCurrentItem(nullptr);
    sched.runPending();
    std::shared_ptr<kf::media::MediaAsset> asset;
    if (served) {
      auto file = kf::MGFileRangeService::create(moviePath);
      auto loader = kf::MGRangeAssetLoader::create(file, file->size(), moviePath, nullptr);
      asset = kf::ff::FfmpegAsset::createServed("kerfline-range://bench/movie.mp4", loader, sched);
    } else {
      asset = kf::ff::FfmpegAsset::create(moviePath, sched);
    }
    while (mpv_wait_event(observer, 0)->event_id != MPV_EVENT_NONE) {
    }
    const auto t0 = Clock::now();
    player->replaceCurrentItem(player->makePlayerItem(asset));
    if (!waitRestart(observer, sched, 30)) return -1.0;
    const double ms = msSince(t0);
    sched.runUntil([&] { return player->currentItem()->status() != kf::media::ItemStatus::Unknown; }, 20);
    return ms;
  };
  auto openTheirs = [&] {
    cli.send(R"({"command":["stop"],"request_id":1})");
    cli.waitFor("\"request_id\":1");
    const auto t0 = Clock::now();
    cli.send("{\"command\":[\"loadfile\"," + quoteJson(moviePath) + "]}");
    if (!cli.waitFor("\"event\":\"playback-restart\"")) return -1.0;
    return msSince(t0);
  };
  const int opens = 15;
  for (int i = 0; i < opens; ++i) {
    theirOpen.push_back(openTheirs());
    oursServedOpen.push_back(openOurs(true));
    oursOpen.push_back(openOurs(false));
  }

  auto seekOurs = [&](double t, double tol) {
    std::optional<bool> done;
    const auto t0 = Clock::now();
    player->seekToTime(t, tol, tol, [&](bool f) { done = f; });
    sched.runUntil([&] { return done.has_value(); }, 30);
    return msSince(t0);
  };
  auto seekTheirs = [&](double t, bool exact) { return cli.seek(t, exact); };
  for (double t : targets) {
    oursRough.push_back(seekOurs(t, 0.5));
    theirRough.push_back(seekTheirs(t, false));
  }
  for (double t : targets) {
    theirExact.push_back(seekTheirs(t, true));
    oursExact.push_back(seekOurs(t, 0));
  }
  mpv_destroy(observer);
  player.reset();

  auto row = [](const char* name, const std::vector<double>& ours, const std::vector<double>& theirs) {
    const Stats a = stats(ours), b = stats(theirs);
    std::printf("%-22s ours median %7.1f ms p90 %7.1f ms | mpv median %7.1f ms p90 %7.1f ms | ratio median %.2f p90 %.2f\n",
                name, a.median, a.p90, b.median, b.p90, b.median > 0 ? a.median / b.median : 0,
                b.p90 > 0 ? a.p90 / b.p90 : 0);
  };
  row("open to first frame", oursOpen, theirOpen);
  row("open served (loader)", oursServedOpen, theirOpen);
  row("rough seek", oursRough, theirRough);
  row("exact seek", oursExact, theirExact);
  return 0;
}
