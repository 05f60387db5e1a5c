#include "source/MGFileRangeService.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <thread>

#include "Mp4Fixture.h"

namespace kf {
namespace {

struct TempFile {
  explicit TempFile(const test::Buf& bytes) {
    char tmpl[] = "/tmp/kf-file-service-XXXXXX";
    int fd = mkstemp(tmpl);
    path = tmpl;
    if (!bytes.empty()) {
      EXPECT_EQ(write(fd, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
    }
    close(fd);
  }
  ~TempFile() { std::remove(path.c_str()); }
  std::string path;
};

struct Reply {
  MGBytes data;
  std::optional<kf::Error> error;
  int calls = 0;
};

Reply Read(MGFileRangeService& s, std::uint64_t offset, std::uint64_t length) {
  Reply r;
  s.readOffset(offset, length, [&](MGBytes d, std::optional<kf::Error> e) {
    r.data = std::move(d);
    r.error = std::move(e);
    ++r.calls;
  });
  return r;  // the file service answers before returning
}

TEST(FileRangeService, MissingOrUnreadableFilesMakeNoService) {
  EXPECT_EQ(MGFileRangeService::create("/nonexistent/kf/movie.mp4"), nullptr);
  EXPECT_EQ(MGFileRangeService::create("/tmp"), nullptr);
  // A FIFO without a writer would block a plain open forever.
  std::string fifo = "/tmp/kf-file-service-fifo-" + std::to_string(getpid());
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  EXPECT_EQ(MGFileRangeService::create(fifo), nullptr);
  unlink(fifo.c_str());
}

TEST(FileRangeService, SizeAndRangesIncludingTheEnd) {
  test::Buf bytes = test::Mdat(1000);
  TempFile f(bytes);
  auto s = MGFileRangeService::create(f.path);
  ASSERT_TRUE(s);
  std::uint64_t size = 0;
  int calls = 0;
  s->fileSizeWithReply([&](std::uint64_t n, std::optional<kf::Error> e) {
    size = n;
    EXPECT_FALSE(e);
    ++calls;
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(size, bytes.size());

  Reply mid = Read(*s, 100, 50);
  ASSERT_TRUE(mid.data);
  EXPECT_EQ(*mid.data, test::Buf(bytes.begin() + 100, bytes.begin() + 150));
  Reply tail = Read(*s, bytes.size() - 5, 10);  // 5 bytes before the end
  ASSERT_TRUE(tail.data);
  EXPECT_FALSE(tail.error);
  EXPECT_EQ(*tail.data, test::Buf(bytes.end() - 5, bytes.end()));
  Reply atEnd = Read(*s, bytes.size(), 10);
  ASSERT_TRUE(atEnd.data);
  EXPECT_TRUE(atEnd.data->empty());
  EXPECT_FALSE(atEnd.error);
  Reply beyond = Read(*s, UINT64_MAX - 1, UINT64_MAX);
  ASSERT_TRUE(beyond.data);
  EXPECT_TRUE(beyond.data->empty());
  EXPECT_EQ(atEnd.calls + beyond.calls + tail.calls + mid.calls, 4);
}

TEST(FileRangeService, HugeLengthsAreAnsweredInPart) {
  TempFile f(test::Mdat(100));
  auto s = MGFileRangeService::create(f.path);
  Reply r = Read(*s, 0, UINT64_MAX);
  ASSERT_TRUE(r.data);
  EXPECT_EQ(r.data->size(), 108u);
}

TEST(FileRangeService, SizeOfAFileWithoutASizeComesFromItsEnd) {
  // /proc files report size 0 but have content; the end offset is what lseek
  // can tell (0 here), so the service must still be made and answer reads.
  auto s = MGFileRangeService::create("/proc/self/status");
  ASSERT_TRUE(s);
  Reply r = Read(*s, 0, 64);
  ASSERT_TRUE(r.data);
  EXPECT_FALSE(r.error);
  TempFile empty({});
  auto e = MGFileRangeService::create(empty.path);
  ASSERT_TRUE(e);
  EXPECT_EQ(e->size(), 0u);
}

TEST(FileRangeService, ConcurrentReadsEachGetTheirOwnRange) {
  test::Buf bytes = test::Mdat(1 << 20, 7);
  TempFile f(bytes);
  auto s = MGFileRangeService::create(f.path);
  std::atomic<int> bad{0};
  auto worker = [&](std::uint64_t seed) {
    std::mt19937_64 rng(seed);
    for (int i = 0; i < 2000; ++i) {
      std::uint64_t off = rng() % bytes.size();
      std::uint64_t len = 1 + rng() % 70000;
      s->readOffset(off, len, [&, off, len](MGBytes d, std::optional<kf::Error> e) {
        std::uint64_t n = std::min<std::uint64_t>(len, bytes.size() - off);
        if (e || !d || d->size() != n || !std::equal(d->begin(), d->end(), bytes.begin() + off)) ++bad;
      });
    }
  };
  std::thread a(worker, 1), b(worker, 2);
  a.join();
  b.join();
  EXPECT_EQ(bad, 0);
}

}  // namespace
}  // namespace kf
