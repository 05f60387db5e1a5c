#include "app/cli/ExportCommand.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <sstream>

#include "DecodedMovie.h"
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
  fs::path dir_;
  std::string source_;
};

TEST_F(ExportCommandTest, ChoosesTheSamePathsAsTheWindow) {
  // Untouched: a byte-for-byte copy.
  EXPECT_EQ(RunExportCommand({"--export", source_, "-o", P("copy.mp4")}), 0);
  EXPECT_EQ(Bytes(P("copy.mp4")), Bytes(source_));

  // Kept ranges, lossless: exactly those frames.
  EXPECT_EQ(RunExportCommand({"--export", source_, "-o", P("cut.mp4"), "--keep", "0.5-1.5,2-3"}), 0);
  std::vector<int> expected = Range(15, 44);
  for (int n : Range(60, 89)) expected.push_back(n);
  EXPECT_EQ(Numbers(P("cut.mp4")), expected);

  // Clips into a folder, one per range, with a fade (re-encoded).
  EXPECT_EQ(RunExportCommand({"--export", source_, "-o", P("clips"), "--keep", "0.5-1.5,2-3", "--fade-out", "2:0.5",
                              "--clips"}),
            0);
  EXPECT_EQ(Numbers(P("clips/clip-01.mp4")), Range(15, 44));
  auto second = testing::DecodeVideo(P("clips/clip-02.mp4"));
  ASSERT_TRUE(second.ok());
  ASSERT_EQ(second->size(), 30u);
  EXPECT_EQ(second->front().number, 60);
}

TEST_F(ExportCommandTest, ReportsUsageAndFailuresWithNonZeroStatus) {
  EXPECT_EQ(RunExportCommand({"--export", source_}), 2);
  EXPECT_EQ(RunExportCommand({"--export", source_, "-o", P("x.mp4"), "--keep", "3-1"}), 2);
  EXPECT_EQ(RunExportCommand({"--export", source_, "-o", P("x.mp4"), "--mode", "fast"}), 2);
  EXPECT_EQ(RunExportCommand({"--export", source_, "-o", P("x.mp4"), "--keep", "1-2", "--fade-in", "2:1"}), 2);
  // A missing source: the byte copy fails and no file appears.
  EXPECT_EQ(RunExportCommand({"--export", P("missing.mp4"), "-o", P("x.mp4")}), 1);
  EXPECT_FALSE(fs::exists(P("x.mp4")));
  // The output may not be the source.
  EXPECT_EQ(RunExportCommand({"--export", source_, "-o", source_, "--keep", "0-1"}), 1);
  EXPECT_TRUE(fs::exists(source_));
}

}  // namespace
}  // namespace kf
