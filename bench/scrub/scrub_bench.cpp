// Scrub benchmark: the scrub controller over our libmpv player against the
// mpv command-line program, on a generated 1080p movie with one keyframe
// every 10 s.
//
// One scrub is a press, 40 pointer moves across the movie at 60 moves a
// second, and a release. Ours: the preview and settle latencies the
// controller itself reports on its KERFLINE_SCRUB metrics lines. The
// reference: the mpv program's exact seeks to the same 41 targets, each from
// the command to its "playback-restart" event. Scrubs alternate with the
// reference runs, so a busy machine weighs on both alike. Goal: preview p90
// at most the mpv exact-seek p90, settle p90 at most 1.1 times it.
//
//   scrub_bench [--scrubs N] [--movie PATH]
#include <clocale>
#include <cstdio>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "base/ManualScheduler.h"
#include "platform/ffmpeg/FfmpegAsset.h"
#include "platform/mpv/MpvPlayer.h"
#include "playback/scrub/ScrubController.h"
#include "support/BenchMovie.h"
#include "support/MpvCli.h"

using kf::bench::Clock;
using kf::bench::msSince;
using kf::bench::stats;

namespace {

constexpr int kMoves = 40;
constexpr double kMoveInterval = 1.0 / 60;
constexpr double kTrackWidth = 1000;  // points

// The latencies are measured on the real monotonic clock; timers run in the
// scheduler's virtual time, which follows it.
class SteadyClock : public kf::Clock {
 public:
  double now() const override {
    return std::chrono::duration<double>(kf::bench::Clock::now().time_since_epoch()).count();
  }
};

// Runs the main thread with virtual time following real time for `seconds`
// or until `done` holds.
void pump(
    kf::ManualScheduler& sched, double seconds, const std::function<bool()>& done = [] { return false; }) {
  const auto start = Clock::now();
  auto last = start;
  while (!done() && msSince(start) < seconds * 1000) {
    sched.waitForPosted(0.001);
    sched.runPending();
    const auto now = Clock::now();
    sched.advance(std::chrono::duration<double>(now - last).count());
    last = now;
  }
}

double field(const std::string& line, const char* name) {
  const auto at = line.find(name);
  return at == std::string::npos ? -1 : std::atof(line.c_str() + at + std::strlen(name));
}

}  // namespace

int main(int argc, char** argv) {
  std::setlocale(LC_NUMERIC, "C");
  int scrubs = 8;
  std::string moviePath;
  const double seconds = 30;
  for (int i = 1; i + 1 < argc; i += 2) {
    if (!std::strcmp(argv[i], "--scrubs")) scrubs = std::atoi(argv[i + 1]);
    if (!std::strcmp(argv[i], "--movie")) moviePath = argv[i + 1];
  }
  double duration = seconds;
  if (moviePath.empty()) {
    auto path = kf::bench::EnsureSeekBenchMovie(seconds);
    if (!path) return 1;
    moviePath = *path;
  }

  kf::ManualScheduler sched;
  auto created = kf::mpv::MpvPlayer::create(sched);
  if (!created) {
    std::fprintf(stderr, "%s\n", created.error().message.c_str());
    return 1;
  }
  auto player = *created;
  auto asset = kf::ff::FfmpegAsset::create(moviePath, sched);
  bool loaded = false;
  asset->loadValuesAsynchronously([&] { loaded = true; });
  sched.runUntil([&] { return loaded; }, 60);
  if (asset->duration() > 0) duration = asset->duration();
  double frame = 1.0 / 30;
  for (const auto& t : asset->tracksWithMediaType(kf::media::MediaType::Video))
    if (t.nominalFrameRate > 0) frame = 1.0 / t.nominalFrameRate;
  player->replaceCurrentItem(player->makePlayerItem(asset));
  pump(sched, 30, [&] { return player->currentItem()->status() != kf::media::ItemStatus::Unknown; });
  if (player->currentItem()->status() != kf::media::ItemStatus::ReadyToPlay) {
    std::fprintf(stderr, "the movie did not open\n");
    return 1;
  }
  std::printf("movie: %s (%.1f MB, %.1f s, keyframe every 10 s)\n", moviePath.c_str(),
              std::filesystem::file_size(moviePath) / 1048576.0, duration);

  std::vector<double> previews, settles;
  std::vector<double> roughPreviews, exactPreviews;
  int previewsPerScrub = 0;
  SteadyClock steady;
  kf::ScrubPorts ports;
  ports.scheduler = &sched;
  ports.player = player.get();
  ports.editedLength = [&] { return duration; };
  ports.frameDuration = [&] { return frame; };
  ports.timelineDuration = [&] { return duration; };
  ports.trackWidth = [] { return kTrackWidth; };
  ports.showPlayhead = [](double) {};
  ports.seek = [&](double t) { player->seekToTime(t, 0, 0); };
  ports.clock = &steady;
  ports.metricsEnabled = [] { return true; };
  ports.writeMetrics = [&](const std::string& line) {
    if (line.rfind("KERFLINE_SCRUB preview=", 0) == 0) {
      const double ms = field(line, "elapsed_ms=");
      previews.push_back(ms);
      (line.find("preview=exact") != std::string::npos ? exactPreviews : roughPreviews).push_back(ms);
      ++previewsPerScrub;
    } else if (line.rfind("KERFLINE_SCRUB settle", 0) == 0) {
      settles.push_back(field(line, "elapsed_ms="));
    }
  };
  kf::ScrubController scrub(ports);

  kf::bench::MpvCli cli;
  const std::string sock =
      (std::filesystem::temp_directory_path() / ("kerfline-scrub-bench-" + std::to_string(getpid())))
          .string();
  if (!cli.start(sock)) {
    std::fprintf(stderr, "cannot start the mpv program\n");
    return 1;
  }
  cli.send("{\"command\":[\"loadfile\"," + kf::bench::quoteJson(moviePath) + "],\"request_id\":1}");
  cli.waitFor("\"event\":\"playback-restart\"");
  std::vector<double> theirExact, theirSettle;
  auto seekTheirs = [&](double t, bool exact = true) { return cli.seek(t, exact); };

  std::mt19937 rng(11);
  std::uniform_real_distribution<double> jitter(-0.2, 0.2);
  std::vector<int> perScrub;
  for (int s = 0; s < scrubs; ++s) {
    // Alternate directions across most of the movie.
    const double from = s % 2 ? duration * 0.95 : duration * 0.05;
    const double to = s % 2 ? duration * 0.05 : duration * 0.95;
    std::vector<double> targets;
    for (int i = 0; i <= kMoves; ++i)
      targets.push_back(std::clamp(from + (to - from) * i / kMoves + jitter(rng), 0.0, duration));

    previewsPerScrub = 0;
    const std::size_t settlesBefore = settles.size();
    scrub.scrubTo(targets[0], 0);
    for (int i = 1; i <= kMoves; ++i) {
      pump(sched, kMoveInterval);
      scrub.scrubTo(targets[static_cast<std::size_t>(i)], 1);
    }
    scrub.scrubTo(targets.back(), 2);
    pump(sched, 30, [&] { return settles.size() > settlesBefore; });
    perScrub.push_back(previewsPerScrub);
    pump(sched, 0.2);

    // The reference: exact seeks to every fourth target, then the settle as
    // ours meets it: a keyframe seek to the last preview's target, then the
    // exact seek to the release position.
    for (std::size_t i = 0; i < targets.size(); i += 4) theirExact.push_back(seekTheirs(targets[i]));
    seekTheirs(targets[targets.size() - 2], false);
    theirSettle.push_back(seekTheirs(targets.back()));
  }
  player.reset();

  const auto p = stats(previews), r = stats(roughPreviews), e = stats(exactPreviews), st = stats(settles),
             m = stats(theirExact);
  int issued = 0;
  for (int n : perScrub) issued += n;
  std::printf("%d scrubs of %d moves at 60 Hz; %d previews completed (%zu rough, %zu exact)\n", scrubs,
              kMoves, issued, roughPreviews.size(), exactPreviews.size());
  auto row = [&](const char* name, const kf::bench::Stats& a) {
    std::printf(
        "%-16s median %7.1f ms p90 %7.1f ms | mpv exact seek median %7.1f ms p90 %7.1f ms | p90 ratio %.2f\n",
        name, a.median, a.p90, m.median, m.p90, m.p90 > 0 ? a.p90 / m.p90 : 0);
  };
  row("preview (all)", p);
  row("preview rough", r);
  if (!exactPreviews.empty()) row("preview exact", e);
  row("settle", st);
  const auto ms = stats(theirSettle);
  std::printf(
      "%-16s median %7.1f ms p90 %7.1f ms | mpv exact seek to the same release positions median %7.1f ms "
      "p90 %7.1f ms | p90 ratio %.2f\n",
      "settle", st.median, st.p90, ms.median, ms.p90, ms.p90 > 0 ? st.p90 / ms.p90 : 0);
  std::printf(
      "goal: preview p90 <= mpv exact p90 (ratio %.2f), settle p90 <= 1.1 x mpv exact p90 (ratio %.2f; "
      "%.2f against the same release positions)\n",
      m.p90 > 0 ? p.p90 / m.p90 : 0, m.p90 > 0 ? st.p90 / m.p90 : 0, ms.p90 > 0 ? st.p90 / ms.p90 : 0);
  return 0;
}
