#include "export/files/FileOps.h"

#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <sstream>
#include <thread>

namespace kf {
namespace {

namespace fs = std::filesystem;

class FileOpsTest : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = fs::temp_directory_path() / ("kf-files-" + std::to_string(::getpid()) + "-" +
                                        ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fs::create_directories(dir_);
  }
  void TearDown() override {
    fs::permissions(dir_, fs::perms::owner_all, fs::perm_options::add);
    fs::remove_all(dir_);
  }
  std::string P(const std::string& n) { return (dir_ / n).string(); }
  static void Write(const std::string& path, const std::string& bytes) { std::ofstream(path, std::ios::binary) << bytes; }
  static std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
  }
  fs::path dir_;
};

TEST_F(FileOpsTest, CopiesEveryByteInChunksWithProgress) {
  std::string data(kCopyChunkBytes * 2 + 12345, '\0');
  for (std::size_t i = 0; i < data.size(); ++i) data[i] = static_cast<char>(i * 131 + (i >> 13));
  Write(P("src"), data);
  std::atomic<bool> cancel{false};
  std::vector<std::pair<std::uint64_t, std::uint64_t>> reports;
  auto outcome = CopyFileBytes(P("src"), P("dst"), cancel, [&](std::uint64_t c, std::uint64_t t) { reports.push_back({c, t}); });
  EXPECT_FALSE(outcome.cancelled);
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(Read(P("dst")), data);
  ASSERT_EQ(reports.size(), 3u);
  EXPECT_EQ(reports[0].first, kCopyChunkBytes);
  EXPECT_EQ(reports.back().first, data.size());
  EXPECT_EQ(reports.back().second, data.size());
  struct stat st {};
  ASSERT_EQ(::stat(P("dst").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0600u);

  // A zero-byte source copies to a zero-byte file without progress.
  Write(P("empty"), "");
  reports.clear();
  outcome = CopyFileBytes(P("empty"), P("empty-copy"), cancel, [&](std::uint64_t c, std::uint64_t t) { reports.push_back({c, t}); });
  EXPECT_FALSE(outcome.error);
  EXPECT_TRUE(fs::exists(P("empty-copy")));
  EXPECT_EQ(fs::file_size(P("empty-copy")), 0u);
  EXPECT_TRUE(reports.empty());
}

TEST_F(FileOpsTest, CancelAndFailureLeaveNoDestination) {
  Write(P("src"), std::string(kCopyChunkBytes * 3, 'x'));
  std::atomic<bool> cancel{false};
  auto outcome = CopyFileBytes(P("src"), P("dst"), cancel, [&](std::uint64_t, std::uint64_t) { cancel = true; });
  EXPECT_TRUE(outcome.cancelled);
  EXPECT_FALSE(outcome.error);
  EXPECT_FALSE(fs::exists(P("dst")));

  // Unreadable source: the system's text for EACCES, no destination.
  if (::geteuid() != 0) {
    Write(P("locked"), "secret");
    ::chmod(P("locked").c_str(), 0);
    cancel = false;
    outcome = CopyFileBytes(P("locked"), P("dst"), cancel, {});
    ASSERT_TRUE(outcome.error);
    EXPECT_EQ(outcome.error->domain, kPosixErrorDomain);
    EXPECT_EQ(outcome.error->code, EACCES);
    EXPECT_EQ(outcome.error->message, std::string("Lossless copy failed: ") + std::strerror(EACCES));
    EXPECT_FALSE(fs::exists(P("dst")));
  }
  // Missing destination folder.
  outcome = CopyFileBytes(P("src"), P("nowhere/dst"), cancel, {});
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code, ENOENT);
}

TEST_F(FileOpsTest, ReplaceKeepsPermissionsAndLeavesOriginalOnFailure) {
  Write(P("movie.mp4"), "old");
  ::chmod(P("movie.mp4").c_str(), 0640);
  Write(P(".movie.tmp.mp4"), "new contents");
  ::chmod(P(".movie.tmp.mp4").c_str(), 0600);
  EXPECT_FALSE(ReplaceFile(P("movie.mp4"), P(".movie.tmp.mp4")));
  EXPECT_EQ(Read(P("movie.mp4")), "new contents");
  EXPECT_FALSE(fs::exists(P(".movie.tmp.mp4")));
  struct stat st {};
  ASSERT_EQ(::stat(P("movie.mp4").c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  // A replacement that does not exist: the original stays.
  EXPECT_TRUE(ReplaceFile(P("movie.mp4"), P("missing")));
  EXPECT_EQ(Read(P("movie.mp4")), "new contents");

  EXPECT_TRUE(SameFile(P("movie.mp4"), (dir_ / "." / "movie.mp4").string()));
  EXPECT_FALSE(SameFile(P("movie.mp4"), P("other.mp4")));
}

TEST_F(FileOpsTest, CopiesExactlyTheSizeSeenAtTheStartOrFails) {
  const std::string data(kCopyChunkBytes * 2 + 99, 'd');
  Write(P("src"), data);
  std::atomic<bool> cancel{false};
  // Cut short after the first chunk: the copy fails, no destination.
  auto outcome = CopyFileBytes(P("src"), P("dst"), cancel, [&](std::uint64_t c, std::uint64_t) {
    if (c == kCopyChunkBytes) ::truncate(P("src").c_str(), kCopyChunkBytes + 10);
  });
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->code, kSourceChangedCode);
  EXPECT_EQ(outcome.error->message,
            "Lossless copy failed: the source movie ended after 4194304 of 8388707 bytes");
  EXPECT_FALSE(fs::exists(P("dst")));

  // Grows while copied: what was seen is copied, and the change fails it.
  Write(P("src"), data);
  outcome = CopyFileBytes(P("src"), P("dst"), cancel, [&](std::uint64_t c, std::uint64_t) {
    if (c == kCopyChunkBytes) std::ofstream(P("src"), std::ios::app) << "more";
  });
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->message, "Lossless copy failed: the source movie changed while it was copied");
  EXPECT_FALSE(fs::exists(P("dst")));

  // Onto another file system (where the kernel may refuse its own copy).
  const std::string shm = "/dev/shm/kf-files-" + std::to_string(::getpid());
  Write(P("src"), data);
  outcome = CopyFileBytes(P("src"), shm, cancel, {});
  EXPECT_FALSE(outcome.error);
  EXPECT_EQ(Read(shm), data);
  ::unlink(shm.c_str());
}

TEST_F(FileOpsTest, NeverOpensAPipeOrDeviceForReading) {
  ASSERT_EQ(::mkfifo(P("pipe").c_str(), 0600), 0);
  std::atomic<bool> cancel{false};
  auto copy = std::async(std::launch::async, [&] { return CopyFileBytes(P("pipe"), P("dst"), cancel, {}); });
  if (copy.wait_for(std::chrono::seconds(10)) != std::future_status::ready) {
    // It blocked in open(): release it so the test can end, and fail.
    const int w = ::open(P("pipe").c_str(), O_WRONLY);
    ::close(w);
    FAIL() << "the copy opened a FIFO for reading";
  }
  auto outcome = copy.get();
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->message, "Lossless copy failed: “pipe” is a named pipe, not a regular file");
  EXPECT_FALSE(fs::exists(P("dst")));

  outcome = CopyFileBytes("/dev/zero", P("dst"), cancel, {});
  ASSERT_TRUE(outcome.error);
  EXPECT_EQ(outcome.error->message, "Lossless copy failed: “zero” is a device, not a regular file");
  EXPECT_FALSE(fs::exists(P("dst")));
}

TEST_F(FileOpsTest, StagedOutputAppearsOnlyWhenCommitted) {
  Write(P("out.mp4"), "earlier");
  auto staged = StageOutput(P("out.mp4"));
  ASSERT_TRUE(staged) << staged.error().message;
  EXPECT_EQ(staged->finalPath, P("out.mp4"));
  EXPECT_EQ(fs::path(staged->tempPath).parent_path(), dir_);
  EXPECT_EQ(fs::path(staged->tempPath).filename().string().rfind(".out.", 0), 0u);
  EXPECT_NE(staged->tempPath.find("." + std::to_string(::getpid()) + ".kerfline-tmp.mp4"), std::string::npos);
  Write(staged->tempPath, "complete");
  EXPECT_EQ(Read(P("out.mp4")), "earlier");
  EXPECT_FALSE(CommitOutput(*staged));
  EXPECT_EQ(Read(P("out.mp4")), "complete");
  EXPECT_FALSE(fs::exists(staged->tempPath));

  // The destination became a folder meanwhile: refused, temporary removed.
  staged = StageOutput(P("later.mp4"));
  ASSERT_TRUE(staged);
  fs::create_directory(P("later.mp4"));
  auto err = CommitOutput(*staged);
  ASSERT_TRUE(err);
  EXPECT_EQ(err->code, kNotRegularFileCode);
  EXPECT_TRUE(fs::is_directory(P("later.mp4")));
  EXPECT_FALSE(fs::exists(staged->tempPath));

  // A missing folder.
  staged = StageOutput(P("nowhere/out.mp4"));
  ASSERT_FALSE(staged);
  EXPECT_EQ(staged.error().code, ENOENT);
}

}  // namespace
}  // namespace kf
