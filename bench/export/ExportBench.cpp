// Export speed against the ffmpeg command-line program, run side by side:
//   1. stream copy of 10 ranges of a large movie (goal: ratio <= 1.0)
//   2. byte-for-byte copy against `cp` followed by `sync` (goal <= 1.05)
//   3. 1080p -> 720p re-encode with fades against ffmpeg with equivalent
//      filters and the same x264 settings (goal <= 1.0)
// Ratios are ours / theirs (lower is better); each figure is the best of
// three alternating runs. The movies are generated at
// run time in /tmp and deleted afterwards. Usage: kerfline_bench_export
// [seconds of the large movie, default 60]
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "export/files/FileOps.h"
#include "platform/export/FfmpegExportSession.h"

namespace fs = std::filesystem;

namespace {

double Now() {
  return std::chrono::duration<double>(std::chrono::steady_clock::now().time_since_epoch()).count();
}

double RunShell(const std::string& cmd) {
  const double t0 = Now();
  const int rc = std::system(cmd.c_str());
  const double t = Now() - t0;
  if (rc != 0) std::fprintf(stderr, "command failed (%d): %s\n", rc, cmd.c_str());
  return t;
}

double RunOurs(const std::string& src, const kf::ExportRequest& req) {
  const double t0 = Now();
  kf::FfmpegExportSession s(kf::OpenPath(src), req);
  s.exportBlocking();
  const double t = Now() - t0;
  if (s.status() != kf::ExportStatus::Completed)
    std::fprintf(stderr, "export failed: %s\n", s.error() ? s.error()->message.c_str() : "?");
  return t;
}

void Report(const char* what, double ours, double theirs, double goal) {
  std::printf("%-44s ours %7.3f s  ffmpeg %7.3f s  ratio %.3f  (goal <= %.2f) %s\n", what, ours, theirs,
              ours / theirs, goal, ours / theirs <= goal ? "met" : "MISSED");
}

}  // namespace

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_FATAL);
  const double seconds = argc > 1 ? std::atof(argv[1]) : 60;
  const fs::path dir = fs::temp_directory_path() / ("kf-bench-export-" + std::to_string(::getpid()));
  fs::create_directories(dir);
  const std::string big = (dir / "big1080.mp4").string();
  // Moving, detailed pictures (the test-movie generator's frames compress
  // to almost nothing), with B-frames and a keyframe every 2 s.
  std::printf("generating a %.0f s 1080p movie...\n", seconds);
  std::fflush(stdout);
  const std::string gen = "ffmpeg -v error -y -f lavfi -i testsrc2=size=1920x1080:rate=30 -f lavfi -i "
                          "sine=frequency=440:sample_rate=48000 -t " + std::to_string(seconds) +
                          " -c:v libx264 -preset ultrafast -crf 18 -bf 2 -g 60 -pix_fmt yuv420p -c:a aac -b:a 128k '" +
                          big + "'";
  RunShell(gen);
  if (!fs::exists(big)) return 1;
  std::printf("movie: %.1f MB\n", fs::file_size(big) / 1048576.0);

  // 1. Stream copy of 10 ranges.
  {
    std::vector<kf::TimeSpan> segs;
    const double step = seconds / 10;
    for (int i = 0; i < 10; ++i) segs.push_back({i * step + step * 0.25, i * step + step * 0.75});
    kf::CompositionRequest r;
    r.segments = segs;
    r.preset = kf::ExportPreset::Passthrough;
    kf::ExportRequest req;
    req.plan = kf::PlanComposition(r);
    req.outputPath = (dir / "ours-copy.mp4").string();
    std::ofstream list(dir / "list.txt");
    for (const auto& s : segs) list << "file '" << big << "'\ninpoint " << s.start << "\noutpoint " << s.end << "\n";
    list.close();
    const std::string theirs = "ffmpeg -v error -y -f concat -safe 0 -i '" + (dir / "list.txt").string() +
                               "' -c copy '" + (dir / "theirs-copy.mp4").string() + "'";
    double o = 1e9, t = 1e9;
    for (int k = 0; k < 3; ++k) {
      o = std::min(o, RunOurs(big, req));
      t = std::min(t, RunShell(theirs));
    }
    Report("stream copy, 10 ranges", o, t, 1.0);
  }

  // 2. Byte-for-byte copy.
  {
    const std::string blob = (dir / "blob.bin").string();
    {
      std::ofstream out(blob, std::ios::binary);
      std::vector<char> chunk(1 << 20);
      for (std::size_t i = 0; i < chunk.size(); ++i) chunk[i] = static_cast<char>(i * 2654435761u >> 13);
      for (int i = 0; i < 512; ++i) out.write(chunk.data(), static_cast<std::streamsize>(chunk.size()));
    }
    std::atomic<bool> cancel{false};
    double o = 1e9, t = 1e9;
    for (int k = 0; k < 3; ++k) {
      fs::remove(dir / "ours.bin");
      const double t0 = Now();
      auto outcome = kf::CopyFileBytes(blob, (dir / "ours.bin").string(), cancel, {});
      o = std::min(o, Now() - t0);
      if (outcome.error) std::fprintf(stderr, "copy failed: %s\n", outcome.error->message.c_str());
      fs::remove(dir / "theirs.bin");
      t = std::min(t, RunShell("cp '" + blob + "' '" + (dir / "theirs.bin").string() + "' && sync"));
    }
    Report("byte copy 512 MiB (with sync)", o, t, 1.05);
  }

  // 3. 1080p -> 720p re-encode with a fade in and a fade out.
  {
    const double len = std::min(seconds, 10.0);
    kf::CompositionRequest r;
    r.segments = {{0, len}};
    r.fadesIn = {1};
    r.fadesOut = {1};
    r.exportSize = kf::kExportSize720p;
    r.preset = kf::ExportPreset::HighestQuality;
    kf::ExportRequest req;
    req.plan = kf::PlanComposition(r);
    req.outputPath = (dir / "ours-720.mp4").string();
    char filters[512];
    std::snprintf(filters, sizeof filters,
                  "scale=1280:720:force_original_aspect_ratio=decrease:flags=bicubic,pad=1280:720:(ow-iw)/2:(oh-ih)/2,"
                  "fade=t=in:st=0:d=1,fade=t=out:st=%.3f:d=1",
                  len - 1);
    char afilters[256];
    std::snprintf(afilters, sizeof afilters, "afade=t=in:st=0:d=1,afade=t=out:st=%.3f:d=1", len - 1);
    const std::string theirs = "ffmpeg -v error -y -i '" + big + "' -t " + std::to_string(len) + " -vf '" + filters +
                               "' -af '" + afilters +
                               "' -c:v libx264 -preset fast -crf 16 -pix_fmt yuv420p -c:a aac -b:a 192k '" +
                               (dir / "theirs-720.mp4").string() + "'";
    // Alternating runs, best of each: the machine's load varies.
    double o = 1e9, t = 1e9;
    for (int k = 0; k < 3; ++k) {
      o = std::min(o, RunOurs(big, req));
      t = std::min(t, RunShell(theirs));
    }
    Report("re-encode 1080p -> 720p with fades", o, t, 1.0);
    std::printf("re-encode speed: ours %.1f fps, ffmpeg %.1f fps\n", len * 30 / o, len * 30 / t);
  }
  fs::remove_all(dir);
  return 0;
}
