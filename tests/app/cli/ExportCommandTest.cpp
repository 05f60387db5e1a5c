#include "app/cli/ExportCommand.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "DecodedMovie.h"
#include "app/cli/FfmpegExportBackend.h"
#include "platform/ffmpeg/TestMovies.h"

namespace kf {
namespace {

namespace fs = std::filesystem;
namespace tm = kf::testmovies;

class ExportCommandTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kf-cli-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
    tm::MovieSpec spec = tm::named("h264");
    spec.seconds = 4;
    source_ = tm::ensure(spec);
  }
  void TearDown() override { fs::remove_all(dir_); }
  std::string P(const std::string& n) const { return (dir_ / n).string(); }
  static std::string Bytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  static std::vector<int> Numbers(const std::string& path) {
    auto frames = testing::DecodeVideo(path);
    std::vector<int> v;
    if (frames)
      for (const auto& f : *frames) v.push_back(f.number);
    return v;
  }
  static std::vector<int> Range(int a, int b) {
    std::vector<int> v;
    for (int i = a; i <= b; ++i) v.push_back(i);
    return v;
  }
  // The command with FFmpeg linked in, counting how often it is asked for.
  int Run(const std::vector<std::string>& args) {
    const ExportBackendLoader linked = LinkedFfmpegBackend();
    return RunExportCommand(args, [this, linked] {
      ++backendLoads_;
      return linked();
    });
  }
  fs::path dir_;
  std::string source_;
  int backendLoads_ = 0;
};

TEST_F(ExportCommandTest, ChoosesTheSamePathsAsTheWindow) {
  // Untouched: a byte-for-byte copy.
  EXPECT_EQ(Run({"--export", source_, "-o", P("copy.mp4")}), 0);
  EXPECT_EQ(Bytes(P("copy.mp4")), Bytes(source_));

  // Kept ranges, lossless: exactly those frames.
  EXPECT_EQ(Run({"--export", source_, "-o", P("cut.mp4"), "--keep", "0.5-1.5,2-3"}), 0);
  std::vector<int> expected = Range(15, 44);
  for (int n : Range(60, 89)) expected.push_back(n);
  EXPECT_EQ(Numbers(P("cut.mp4")), expected);

  // Clips into a folder, one per range, with a fade (re-encoded).
  EXPECT_EQ(Run({"--export", source_, "-o", P("clips"), "--keep", "0.5-1.5,2-3", "--fade-out", "2:0.5",
                              "--clips"}),
            0);
  EXPECT_EQ(Numbers(P("clips/clip-01.mp4")), Range(15, 44));
  auto second = testing::DecodeVideo(P("clips/clip-02.mp4"));
  ASSERT_TRUE(second.ok());
  ASSERT_EQ(second->size(), 30u);
  EXPECT_EQ(second->front().number, 60);
}

// A byte copy of an MP4 or QuickTime movie is checked from its movie box
// and never loads FFmpeg; everything else loads it once, and says so when it
// cannot be loaded, without writing anything.
TEST_F(ExportCommandTest, LoadsTheMediaLibrariesOnlyWhenTheExportNeedsThem) {
  EXPECT_EQ(Run({"--export", source_, "-o", P("copy.mp4"), "--keep", "0-100"}), 0);
  EXPECT_EQ(Bytes(P("copy.mp4")), Bytes(source_));
  const std::string mov = tm::ensure(tm::named("mov"));
  EXPECT_EQ(Run({"--export", mov, "-o", P("copy.mov")}), 0);
  EXPECT_EQ(Bytes(P("copy.mov")), Bytes(mov));
  EXPECT_EQ(backendLoads_, 0);

  EXPECT_EQ(Run({"--export", source_, "-o", P("cut.mp4"), "--keep", "1-2"}), 0);
  EXPECT_EQ(backendLoads_, 1) << "a cut";
  EXPECT_EQ(Run({"--export", source_, "-o", P("other.mov")}), 0);
  EXPECT_EQ(backendLoads_, 2) << "another container";
  EXPECT_EQ(Run({"--export", source_, "-o", P("smaller.mp4"), "--size", "480p"}), 0);
  EXPECT_EQ(backendLoads_, 3) << "another size";
  const std::string mkv = tm::ensure(tm::named("mkv"));
  EXPECT_EQ(Run({"--export", mkv, "-o", P("copy.mkv")}), 0);
  EXPECT_EQ(Bytes(P("copy.mkv")), Bytes(mkv));
  EXPECT_EQ(backendLoads_, 4) << "Matroska is checked by FFmpeg";
  const std::string truncated = tm::ensure(tm::named("truncated"));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Run({"--export", truncated, "-o", P("truncated.mp4")}), 1);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("This movie cannot be played."), std::string::npos);
  EXPECT_EQ(backendLoads_, 5);
  EXPECT_FALSE(fs::exists(P("truncated.mp4")));

  const ExportBackendLoader missing = [] { return Result<ExportBackend*>(Error{kKerflineErrorDomain, 1, "no engine here"}); };
  EXPECT_EQ(RunExportCommand({"--export", source_, "-o", P("copy2.mp4")}, missing), 0);
  EXPECT_EQ(Bytes(P("copy2.mp4")), Bytes(source_));
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(RunExportCommand({"--export", source_, "-o", P("cut2.mp4"), "--keep", "1-2"}, missing), 1);
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("the export engine could not be loaded: no engine here"), std::string::npos) << said;
  EXPECT_FALSE(fs::exists(P("cut2.mp4")));
}

TEST_F(ExportCommandTest, TheOutputNameDecidesTheContainerOrTheExportRefuses) {
  auto isMatroska = [](const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    char head[4] = {};
    in.read(head, 4);
    return in && static_cast<unsigned char>(head[0]) == 0x1A && static_cast<unsigned char>(head[1]) == 0x45 &&
           static_cast<unsigned char>(head[2]) == 0xDF && static_cast<unsigned char>(head[3]) == 0xA3;
  };
  // A lossless cut into Matroska would show the frames before the cut.
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Run({"--export", source_, "-o", P("x.mkv"), "--keep", "0.5-1.5"}), 1);
  const std::string said = ::testing::internal::GetCapturedStderr();
  EXPECT_NE(said.find("“x.mkv” cannot be written losslessly"), std::string::npos) << said;
  EXPECT_NE(said.find(".mp4 or .mov"), std::string::npos) << said;
  EXPECT_EQ(said.find("Exported"), std::string::npos) << said;
  EXPECT_FALSE(fs::exists(P("x.mkv")));
  // Re-encoded, the same cut is Matroska with exactly the kept frames.
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(Run({"--export", source_, "-o", P("x.mkv"), "--keep", "0.5-1.5", "--mode", "reencode"}), 0);
  EXPECT_NE(::testing::internal::GetCapturedStderr().find("Exported x.mkv"), std::string::npos);
  EXPECT_TRUE(isMatroska(P("x.mkv")));
  EXPECT_EQ(Numbers(P("x.mkv")), Range(15, 44));
  // The whole movie, lossless: Matroska data, not the source's MP4 bytes.
  EXPECT_EQ(Run({"--export", source_, "-o", P("whole.mkv")}), 0);
  EXPECT_TRUE(isMatroska(P("whole.mkv")));
  EXPECT_EQ(Numbers(P("whole.mkv")), Range(0, 119));
  // H.264 cannot go into WebM in either mode.
  for (const char* mode : {"lossless", "reencode"}) {
    ::testing::internal::CaptureStderr();
    EXPECT_EQ(Run({"--export", source_, "-o", P("x.webm"), "--keep", "0.5-1.5", "--mode", mode}), 1);
    const std::string webm = ::testing::internal::GetCapturedStderr();
    EXPECT_NE(webm.find("WebM cannot hold H.264 or AAC"), std::string::npos) << webm;
    EXPECT_FALSE(fs::exists(P("x.webm")));
  }
  // Clips from H.264/AAC are MP4 whatever the folder.
  EXPECT_EQ(Run({"--export", source_, "-o", P("clips"), "--keep", "0.5-1.5", "--clips"}), 0);
  EXPECT_EQ(Numbers(P("clips/clip-01.mp4")), Range(15, 44));
}

TEST_F(ExportCommandTest, ReportsUsageAndFailuresWithNonZeroStatus) {
  EXPECT_EQ(Run({"--export", source_}), 2);
  EXPECT_EQ(Run({"--export", source_, "-o", P("x.mp4"), "--keep", "3-1"}), 2);
  EXPECT_EQ(Run({"--export", source_, "-o", P("x.mp4"), "--mode", "fast"}), 2);
  EXPECT_EQ(Run({"--export", source_, "-o", P("x.mp4"), "--keep", "1-2", "--fade-in", "2:1"}), 2);
  // A missing source: the byte copy fails and no file appears.
  EXPECT_EQ(Run({"--export", P("missing.mp4"), "-o", P("x.mp4")}), 1);
  EXPECT_FALSE(fs::exists(P("x.mp4")));
  // The output may not be the source.
  EXPECT_EQ(Run({"--export", source_, "-o", source_, "--keep", "0-1"}), 1);
  EXPECT_TRUE(fs::exists(source_));
}

}  // namespace
}  // namespace kf
