// Waveform benchmark: the envelope of a one-hour AAC track (stereo, 48 kHz,
// generated into the test-movie cache on first use) against the ffmpeg
// program decoding the same track to nothing (`-f null -`), in the same run,
// alternating, best of N each. Also the time from the start to the first
// partial result on the main thread.
//
//   kerfline_bench_waveform [--runs N] [--seconds S] [--movie PATH]
#include <spawn.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "analysis/WaveformExtractor.h"
#include "base/ManualScheduler.h"
#include "platform/ffmpeg/FfmpegAsset.h"
#include "platform/ffmpeg/FfmpegAudioReader.h"
#include "platform/ffmpeg/TestMovies.h"

extern char** environ;

namespace movies = kf::testmovies;
using Clock = std::chrono::steady_clock;

namespace {

double secondsSince(Clock::time_point t0) { return std::chrono::duration<double>(Clock::now() - t0).count(); }

// Wall time of `ffmpeg -i PATH -map 0:a:0 -f null -`; negative on failure.
double runFfmpeg(const std::string& path) {
  std::vector<std::string> args = {"ffmpeg", "-hide_banner", "-nostdin", "-v", "error", "-i", path,
                                   "-map",   "0:a:0",        "-f",       "null", "-"};
  std::vector<char*> argv;
  for (auto& a : args) argv.push_back(a.data());
  argv.push_back(nullptr);
  const auto t0 = Clock::now();
  pid_t pid = 0;
  if (posix_spawnp(&pid, "ffmpeg", nullptr, nullptr, argv.data(), environ) != 0) return -1;
  int status = 0;
  waitpid(pid, &status, 0);
  const double s = secondsSince(t0);
  return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? s : -1;
}

struct Ours {
  double total = 0, firstPartial = 0;
  std::uint64_t buffers = 0;
  float loudest = 0;
};

Ours runOurs(const std::string& path, double duration) {
  kf::ManualScheduler sched;
  Ours r;
  Clock::time_point t0;
  bool first = true;
  std::vector<float> last;
  kf::WaveformPorts p;
  p.scheduler = &sched;
  p.openReader = [](const std::shared_ptr<kf::media::MediaAsset>& a) { return kf::ff::OpenFirstAudioTrackOfAsset(a); };
  p.setWaveform = [&](const std::vector<float>& peaks) {
    if (first) r.firstPartial = secondsSince(t0);
    first = false;
    last = peaks;
  };
  kf::WaveformExtractor extractor(std::move(p));
  auto asset = kf::ff::FfmpegAsset::create(path, sched);
  t0 = Clock::now();
  extractor.startWaveformForAsset(asset, duration);
  while (!extractor.finished() || sched.pendingCount() > 0) {
    sched.waitForPosted(0.01);
    sched.runPending();
  }
  r.total = secondsSince(t0);
  r.buffers = extractor.buffersMeasured();
  for (float v : last) r.loudest = std::max(r.loudest, v);
  return r;
}

}  // namespace

int main(int argc, char** argv) {
  int runs = 3;
  double seconds = 3600;
  std::string path;
  for (int i = 1; i < argc; ++i) {
    if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::atoi(argv[++i]);
    else if (!std::strcmp(argv[i], "--seconds") && i + 1 < argc) seconds = std::atof(argv[++i]);
    else if (!std::strcmp(argv[i], "--movie") && i + 1 < argc) path = argv[++i];
  }
  if (path.empty()) {
    movies::MovieSpec s;
    s.video = movies::VideoCodec::None;
    s.seconds = seconds;
    std::fprintf(stderr, "generating %.0f s of AAC sound (once; cached)...\n", seconds);
    auto r = movies::tryEnsure(s);
    if (!r) {
      std::fprintf(stderr, "%s\n", r.error().message.c_str());
      return 1;
    }
    path = *r;
  }
  std::printf("movie: %s (%.0f s)\n", path.c_str(), seconds);
  double bestOurs = 1e9, bestFirst = 1e9, bestFfmpeg = 1e9;
  for (int i = 0; i < runs; ++i) {
    const Ours o = runOurs(path, seconds);
    const double f = runFfmpeg(path);
    if (f < 0) {
      std::fprintf(stderr, "the ffmpeg program failed\n");
      return 1;
    }
    std::printf("run %d: waveform %.3f s (%llu buffers, first partial %.1f ms, loudest %.3f), ffmpeg %.3f s\n", i + 1,
                o.total, static_cast<unsigned long long>(o.buffers), o.firstPartial * 1000, o.loudest, f);
    bestOurs = std::min(bestOurs, o.total);
    bestFirst = std::min(bestFirst, o.firstPartial);
    bestFfmpeg = std::min(bestFfmpeg, f);
  }
  std::printf("best: waveform %.3f s, ffmpeg -f null %.3f s, ratio %.3f (goal <= 1.1)\n", bestOurs, bestFfmpeg,
              bestOurs / bestFfmpeg);
  std::printf("first partial result: %.1f ms (goal < 300 ms)\n", bestFirst * 1000);
  return 0;
}
