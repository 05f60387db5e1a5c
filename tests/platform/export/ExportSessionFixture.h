// Shared fixture of the export session tests.
#pragma once

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <map>
#include <stdexcept>

#include "DecodedMovie.h"
#include "platform/export/FfmpegExportSession.h"
#include "platform/ffmpeg/TestMovies.h"

namespace kf {

namespace tm = kf::testmovies;
namespace fs = std::filesystem;

// 15 s at 30 fps with two B-frames between reference frames (frame 149,
// shown last before the cut at 5 s, refers forward to frame 150) and
// keyframes every 48 frames, so that the kept ranges start and end inside
// groups of pictures.
inline std::string LongMovie() {
  tm::MovieSpec s = tm::named("h264");
  s.seconds = 15;
  s.gop = 48;
  return tm::ensure(s);
}

class ExportSessionTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kf-export-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override { fs::remove_all(dir_); }

  std::string Out(const std::string& name) { return (dir_ / name).string(); }

  static ExportRequest Request(std::vector<TimeSpan> segs, ExportPreset preset, std::string out,
                               std::vector<double> fi = {}, std::vector<double> fo = {}, double exposure = 0,
                               std::int64_t size = 0) {
    CompositionRequest r;
    r.segments = std::move(segs);
    r.fadesIn = std::move(fi);
    r.fadesOut = std::move(fo);
    r.exposure = exposure;
    r.exportSize = size;
    r.preset = preset;
    ExportRequest req;
    req.plan = PlanComposition(r);
    req.outputPath = std::move(out);
    req.fileType = outputFileTypeForPath(req.outputPath);
    return req;
  }

  static ExportStatus Run(const std::string& src, const ExportRequest& req, std::optional<Error>* err = nullptr) {
    FfmpegExportSession s(OpenPath(src), req);
    s.exportBlocking();
    if (err) *err = s.error();
    return s.status();
  }

  fs::path dir_;
};

inline std::vector<int> Range(int a, int b) {
  std::vector<int> v;
  for (int i = a; i <= b; ++i) v.push_back(i);
  return v;
}

inline std::vector<int> Numbers(const std::vector<testing::Frame>& frames) {
  std::vector<int> v;
  for (const auto& f : frames) v.push_back(f.number);
  return v;
}

}  // namespace kf
