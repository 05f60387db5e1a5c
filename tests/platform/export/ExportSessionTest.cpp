#include "platform/export/FfmpegExportSession.h"

#include <gtest/gtest.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cmath>
#include <csignal>
#include <filesystem>
#include <fstream>
#include <future>
#include <map>

#include "DecodedMovie.h"
#include "platform/export/Mp4Movie.h"
#include "platform/ffmpeg/TestMovies.h"

namespace kf {
namespace {

namespace tm = kf::testmovies;
namespace fs = std::filesystem;

// The libraries' own diagnostics would drown the test output.
const int kQuiet = (av_log_set_level(AV_LOG_QUIET), 0);

// 15 s at 30 fps with two B-frames between reference frames (frame 149,
// shown last before the cut at 5 s, refers forward to frame 150) and
// keyframes every 48 frames, so that the kept ranges start and end inside
// groups of pictures.
std::string LongMovie() {
  tm::MovieSpec s = tm::named("h264");
  s.seconds = 15;
  auto path = testing::EnsureBFrameMovie(tm::ensure(s), 48);
  if (!path) throw std::runtime_error(path.error().message);
  return *path;
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

std::vector<int> Range(int a, int b) {
  std::vector<int> v;
  for (int i = a; i <= b; ++i) v.push_back(i);
  return v;
}

std::vector<int> Numbers(const std::vector<testing::Frame>& frames) {
  std::vector<int> v;
  for (const auto& f : frames) v.push_back(f.number);
  return v;
}

TEST_F(ExportSessionTest, JoinedStreamCopyPresentsExactlyTheKeptFramesUnchanged) {
  const std::string src = LongMovie();
  auto source = testing::DecodeVideo(src);
  ASSERT_TRUE(source.ok()) << source.error().message;
  std::map<int, std::uint64_t> sourceSums;
  for (const auto& f : *source) sourceSums[f.number] = f.checksum;

  for (const char* name : {"joined.mp4", "joined.mov"}) {
    SCOPED_TRACE(name);
    const std::string out = Out(name);
    std::optional<Error> err;
    ASSERT_EQ(Run(src, Request({{2, 5}, {10, 14}}, ExportPreset::Passthrough, out), &err), ExportStatus::Completed)
        << (err ? err->message : "");
    auto frames = testing::DecodeVideo(out);
    ASSERT_TRUE(frames.ok()) << frames.error().message;
    std::vector<int> expected = Range(60, 149);
    for (int n : Range(300, 419)) expected.push_back(n);
    EXPECT_EQ(Numbers(*frames), expected);
    // Every presented frame decodes exactly as in the source: no frame lost
    // a reference at a cut.
    int differing = 0;
    for (const auto& f : *frames) differing += sourceSums[f.number] != f.checksum;
    EXPECT_EQ(differing, 0);
    // Presentation times run on without a gap: 7 s in all.
    ASSERT_FALSE(frames->empty());
    EXPECT_NEAR(frames->front().time, 0.0, 1e-3);
    EXPECT_NEAR(frames->back().time, 7.0 - 1.0 / 30, 2e-3);

    auto edits = mp4::ReadEditLists(out);
    ASSERT_TRUE(edits.ok());
    ASSERT_EQ(edits->size(), 2u);  // video and sound
    for (const auto& list : *edits) {
      ASSERT_EQ(list.size(), 2u);
      EXPECT_EQ(list[0].duration, 1800);
      EXPECT_EQ(list[1].duration, 2400);
    }
    // The sound is as long as the picture.
    auto sound = testing::DecodeSound(out);
    ASSERT_TRUE(sound.ok());
    EXPECT_NEAR(sound->samples.size() / double(sound->sampleRate), 7.0, 0.03);
  }
}

TEST_F(ExportSessionTest, ReencodePresentsTheSameFramesAtHighQuality) {
  const std::string src = LongMovie();
  const std::string out = Out("reencode.mp4");
  std::optional<Error> err;
  ASSERT_EQ(Run(src, Request({{2, 5}, {10, 14}}, ExportPreset::HighestQuality, out), &err), ExportStatus::Completed)
      << (err ? err->message : "");
  testing::DecodeOptions every;
  every.keepRgb = true;
  auto frames = testing::DecodeVideo(out, every);
  ASSERT_TRUE(frames.ok());
  std::vector<int> expected = Range(60, 149);
  for (int n : Range(300, 419)) expected.push_back(n);
  EXPECT_EQ(Numbers(*frames), expected);

  testing::DecodeOptions some;
  some.keepRgb = true;
  for (int n : expected) some.rgbFor.push_back(n);
  auto source = testing::DecodeVideo(src, some);
  ASSERT_TRUE(source.ok());
  double psnrSum = 0;
  int count = 0;
  for (const auto& f : *frames) {
    const auto& s = (*source)[static_cast<std::size_t>(f.number)];
    ASSERT_EQ(s.rgb.size(), f.rgb.size());
    double se = 0;
    for (std::size_t i = 0; i < f.rgb.size(); ++i) {
      const double d = double(f.rgb[i]) - s.rgb[i];
      se += d * d;
    }
    const double mse = se / f.rgb.size();
    psnrSum += mse == 0 ? 99 : 10 * std::log10(255.0 * 255.0 / mse);
    ++count;
  }
  const double meanPsnr = psnrSum / count;
  RecordProperty("mean_psnr_db", std::to_string(meanPsnr));
  EXPECT_GE(meanPsnr, 45.0);
  auto sound = testing::DecodeSound(out);
  ASSERT_TRUE(sound.ok());
  EXPECT_NEAR(sound->samples.size() / double(sound->sampleRate), 7.0, 0.03);
}

double Linear(std::uint8_t v) {
  const double c = v / 255.0;
  return c <= 0.04045 ? c / 12.92 : std::pow((c + 0.055) / 1.055, 2.4);
}

// Mean linear light of the output over pixels whose source value lies in
// [lo, hi] (linear), divided by the source's mean over the same pixels.
double LightRatio(const testing::Frame& out, const testing::Frame& src, double lo, double hi) {
  double a = 0, b = 0;
  for (std::size_t i = 0; i < src.rgb.size(); ++i) {
    const double s = Linear(src.rgb[i]);
    if (s < lo || s > hi) continue;
    a += Linear(out.rgb[i]);
    b += s;
  }
  return b > 0 ? a / b : -1;
}

TEST_F(ExportSessionTest, FadesAndExposureActInLinearLight) {
  tm::MovieSpec spec = tm::named("h264");
  spec.seconds = 2;
  const std::string src = tm::ensure(spec);
  testing::DecodeOptions all;
  all.keepRgb = true;
  auto source = testing::DecodeVideo(src, all);
  ASSERT_TRUE(source.ok());

  // Fade-in of 1 s over a 2 s segment starting at 0.5 s: output frame 0 is
  // black, output frame 15 (0.5 s) at half light.
  const std::string faded = Out("fade.mp4");
  ASSERT_EQ(Run(src, Request({{0.5, 1.5}}, ExportPreset::HighestQuality, faded, {1.0}, {0})), ExportStatus::Completed);
  auto f = testing::DecodeVideo(faded, all);
  ASSERT_TRUE(f.ok());
  ASSERT_EQ(f->size(), 30u);
  int brightest = 0;
  for (std::uint8_t v : (*f)[0].rgb) brightest = std::max<int>(brightest, v);
  EXPECT_LE(brightest, 3);
  EXPECT_NEAR(LightRatio((*f)[15], (*source)[30], 0.02, 1.0), 0.5, 0.03);
  EXPECT_NEAR(LightRatio((*f)[29], (*source)[44], 0.02, 1.0), 29.0 / 30.0, 0.03);

  // +1 stop doubles linear light (where it does not clip).
  const std::string brighter = Out("exposure.mp4");
  ASSERT_EQ(Run(src, Request({{0, 1}}, ExportPreset::HighestQuality, brighter, {}, {}, 1.0)), ExportStatus::Completed);
  auto e = testing::DecodeVideo(brighter, all);
  ASSERT_TRUE(e.ok());
  ASSERT_EQ(e->size(), 30u);
  EXPECT_NEAR(LightRatio((*e)[10], (*source)[10], 0.03, 0.4), 2.0, 0.1);
}

TEST_F(ExportSessionTest, RenderSizeLetterboxesTheScaledPicture) {
  tm::MovieSpec spec = tm::named("h264");
  spec.width = 1920;
  spec.height = 800;
  spec.seconds = 0.5;
  const std::string src = tm::ensure(spec);
  const std::string out = Out("720p.mp4");
  ASSERT_EQ(Run(src, Request({{0, 0.5}}, ExportPreset::HighestQuality, out, {}, {}, 0, kExportSize720p)),
            ExportStatus::Completed);
  testing::DecodeOptions all;
  all.keepRgb = true;
  auto frames = testing::DecodeVideo(out, all);
  ASSERT_TRUE(frames.ok());
  ASSERT_EQ(frames->size(), 15u);
  const auto& fr = (*frames)[7];
  EXPECT_EQ(fr.width, 1280);
  EXPECT_EQ(fr.height, 720);
  EXPECT_EQ(fr.number, 7);
  // Rows whose brightness (luma) is black across the whole width are the
  // bands; colour that 4:2:0 sampling spreads over an edge does not count.
  auto rowMax = [&](int y) {
    double m = 0;
    for (int x = 0; x < fr.width; ++x) {
      const std::uint8_t* p = &fr.rgb[(static_cast<std::size_t>(y) * fr.width + x) * 3];
      m = std::max(m, 0.2126 * p[0] + 0.7152 * p[1] + 0.0722 * p[2]);
    }
    return m;
  };
  int top = 0;
  while (top < fr.height && rowMax(top) <= 12) ++top;
  int bottom = 0;
  while (bottom < fr.height && rowMax(fr.height - 1 - bottom) <= 12) ++bottom;
  // 533 rows of picture; the row below its odd last row shares that row's
  // colour samples (4:2:0), so it may read as picture.
  EXPECT_NEAR(fr.height - top - bottom, 533, 1);
  EXPECT_NEAR(top, 94, 1);
  EXPECT_NEAR(bottom, 93, 1);
}

TEST_F(ExportSessionTest, AudioLoudnessFollowsTheFadeEnvelope) {
  tm::MovieSpec spec = tm::named("h264");
  spec.seconds = 3;
  const std::string src = tm::ensure(spec);
  const std::string out = Out("ramps.mp4");
  const std::vector<TimeSpan> segs{{0.5, 2.5}};
  const std::vector<double> fi{1.0}, fo{0.5};
  ASSERT_EQ(Run(src, Request(segs, ExportPreset::HighestQuality, out, fi, fo)), ExportStatus::Completed);
  auto sound = testing::DecodeSound(out);
  ASSERT_TRUE(sound.ok());
  auto original = testing::DecodeSound(src);
  ASSERT_TRUE(original.ok());
  const auto rms = testing::WindowRms(*sound, 0.010);
  const auto sourceRms = testing::WindowRms(*original, 0.010);
  ASSERT_GE(rms.size(), 195u);
  ASSERT_GE(sourceRms.size(), 250u);
  const auto ramps = AudioFadeRamps(segs, fi, fo);
  // Window w of the export is window w + 50 of the source (0.5 s later).
  int off = 0;
  for (std::size_t w = 1; w + 1 < rms.size(); ++w) {
    const double t = (w + 0.5) * 0.010;
    off += std::fabs(rms[w] / sourceRms[w + 50] - VolumeAt(ramps, t)) > 0.04;
  }
  EXPECT_LE(off, 2);
}

TEST_F(ExportSessionTest, CancellingLeavesNoFile) {
  const std::string src = LongMovie();
  for (ExportPreset preset : {ExportPreset::Passthrough, ExportPreset::HighestQuality}) {
    for (double at : {0.0, 0.2, 0.6}) {
      const std::string out = Out("cancel.mp4");
      FfmpegExportSession s(OpenPath(src), Request({{0, 6}, {8, 14}}, preset, out));
      std::promise<void> done;
      if (at == 0) s.cancelExport();
      s.exportAsynchronously([&] { done.set_value(); });
      while (at > 0 && s.progress() < at && s.status() == ExportStatus::Exporting) std::this_thread::yield();
      s.cancelExport();
      done.get_future().wait();
      EXPECT_EQ(s.status(), ExportStatus::Cancelled) << PresetName(preset) << " at " << at;
      EXPECT_FALSE(fs::exists(out));
    }
  }
}

TEST_F(ExportSessionTest, UnreadableSourceFailsWithoutOutput) {
  const std::string bad = Out("unreadable.mp4");
  { std::ofstream(bad) << "not a movie"; }
  const std::string out = Out("never.mp4");
  std::optional<Error> err;
  EXPECT_EQ(Run(bad, Request({{0, 1}}, ExportPreset::Passthrough, out), &err), ExportStatus::Failed);
  ASSERT_TRUE(err);
  EXPECT_FALSE(err->message.empty());
  EXPECT_FALSE(fs::exists(out));
}

TEST_F(ExportSessionTest, FullDestinationFailsAndLeavesNoPartialFile) {
  const std::string src = LongMovie();
  for (ExportPreset preset : {ExportPreset::Passthrough, ExportPreset::HighestQuality}) {
    const std::string out = Out("full.mp4");
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
      // The child may write at most 64 KiB per file.
      std::signal(SIGXFSZ, SIG_IGN);
      rlimit lim{64 * 1024, 64 * 1024};
      ::setrlimit(RLIMIT_FSIZE, &lim);
      FfmpegExportSession s(OpenPath(src), Request({{0, 14}}, preset, out));
      s.exportBlocking();
      const bool ok = s.status() == ExportStatus::Failed && s.error() && !s.error()->message.empty() &&
                      !fs::exists(out);
      ::_exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << PresetName(preset);
    EXPECT_FALSE(fs::exists(out));
  }
}

}  // namespace
}  // namespace kf
