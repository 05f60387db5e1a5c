// The program against the reference range service running as its own
// process: what a user's Larder looks like to the program.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>
#include <thread>

#include "LoaderProbe.h"
#include "Mp4Fixture.h"
#include "PrepareFixture.h"
#include "ServiceProcess.h"
#include "TempDir.h"
#include "source/MGLarderConnection.h"
#include "source/MGLarderRegistry.h"
#include "source/MGLarderServer.h"
#include "source/MGRangeError.h"
#include "source/MGURL.h"

namespace kf {
namespace {

using test::Buf;
using test::Prepare;

Buf HevcMovie(std::size_t mediaBytes) {
  Buf moov = test::Box(
      "moov", test::Cat({test::Box("mvhd", Buf(100, 0)), test::Track(test::Stsd({test::SampleEntry("hev1")})),
                         test::Track(test::Stsd({test::SampleEntry("dvhe")}))}));
  return test::Cat({test::Ftyp(), moov, test::Mdat(mediaBytes, 11)});
}

Buf Patched(Buf file) {
  for (auto o : test::Find(file, "hev1")) std::copy_n("hvc1", 4, file.begin() + o);
  for (auto o : test::Find(file, "dvhe")) std::copy_n("dvh1", 4, file.begin() + o);
  return file;
}

struct RangeServiceProcess : ::testing::Test {
  test::TempDir dir;
  std::string registry = dir / "registry";
  std::string root = dir / "root";
  Buf movie = HevcMovie(3 << 20);
  std::string moviePath = dir.write("root/films/Trip.mp4", movie);

  test::ServiceProcess start(std::vector<std::string> extra = {}) {
    std::vector<std::string> args{"--identifier", "D", "--root", root, "--registry", registry};
    args.insert(args.end(), extra.begin(), extra.end());
    return test::ServiceProcess(args);
  }
};

TEST_F(RangeServiceProcess, SocketFolderIsPrivateAndBothServiceNamesAnswer) {
  auto service = start();
  ASSERT_TRUE(service.ok());
  auto domain = MGLookupLarderDomain(registry, "D");
  ASSERT_TRUE(domain);
  struct stat st {};
  ASSERT_EQ(stat(registry.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 0777, 0700u);
  EXPECT_EQ(domain->socketPath.rfind(registry + "/", 0), 0u);
  for (const char* name : {kLarderByteRangeServiceName, kLarderRangeServiceName}) {
    EXPECT_TRUE(MGLarderConnection::connect(domain->socketPath, name, "films/Trip.mp4").ok()) << name;
  }
  EXPECT_FALSE(
      MGLarderConnection::connect(domain->socketPath, "com.marrowgate.larder.other", "films/Trip.mp4").ok());
  EXPECT_EQ(service.stop(), 0);
  EXPECT_FALSE(MGLookupLarderDomain(registry, "D"));  // withdrawn on exit
}

TEST_F(RangeServiceProcess, ServedReadsWithShortRepliesInRandomPieces) {
  auto service = start({"--reply-bytes", "7000"});
  ASSERT_TRUE(service.ok());
  auto p = Prepare("kerfline://larder/Trip.mp4?domain=D&item=films/Trip.mp4", registry);
  ASSERT_TRUE(p.result.loader) << p.result.error->message;
  EXPECT_TRUE(p.result.servedByLarder);
  EXPECT_EQ(p.result.loader->retags().size(), 2u);
  Buf expect = Patched(movie);
  MGBlockingRangeReader reader(p.result.loader);
  ASSERT_EQ(reader.size(), movie.size());
  std::mt19937_64 rng(5);
  Buf dst(600000);
  for (int i = 0; i < 60; ++i) {
    std::uint64_t off = rng() % movie.size();
    std::size_t n = 1 + rng() % dst.size();
    auto r = reader.read(off, dst.data(), n);
    ASSERT_TRUE(r.ok()) << r.error().message;
    ASSERT_EQ(*r, std::min<std::size_t>(n, movie.size() - off));
    ASSERT_TRUE(std::equal(dst.begin(), dst.begin() + *r, expect.begin() + off)) << off;
  }
  // The header pieces, where the patched type fields live.
  auto hev = test::Find(movie, "hev1")[0];
  for (std::uint64_t start = hev - 3; start <= hev + 3; ++start) {
    auto r = reader.read(start, dst.data(), 5);
    ASSERT_TRUE(r.ok());
    EXPECT_TRUE(std::equal(dst.begin(), dst.begin() + 5, expect.begin() + start));
  }
}

TEST_F(RangeServiceProcess, DroppedWhileTheScanReads) {
  // Requests: the size, the first box header; the connection drops instead
  // of answering the third.
  auto service = start({"--drop-after-requests", "2"});
  ASSERT_TRUE(service.ok());
  auto link = Prepare("kerfline://larder/Trip.mp4?domain=D&item=films/Trip.mp4", registry);
  EXPECT_EQ(link.result.error, MGRangeError(6));
  EXPECT_FALSE(link.result.loader);
  auto file = Prepare(MGFileURLFromPath(moviePath), registry);
  ASSERT_TRUE(file.result.asset);
  EXPECT_FALSE(file.result.error);
  EXPECT_FALSE(file.result.servedByLarder);
  EXPECT_EQ(file.result.asset->url, "kerfline-range://file/Trip.mp4");  // the local path, retagged
  ASSERT_TRUE(file.result.loader);
  EXPECT_EQ(file.result.loader->retags().size(), 2u);
}

TEST_F(RangeServiceProcess, DroppedAfterDeliveryMakesTheLoaderTerminal) {
  auto service = start({"--drop-after-bytes", "1500000"});
  ASSERT_TRUE(service.ok());
  auto p = Prepare("kerfline://larder?domain=D&item=films/Trip.mp4", registry);
  ASSERT_TRUE(p.result.loader);
  MGBlockingRangeReader reader(p.result.loader);
  Buf dst(524288);
  std::uint64_t at = 0;
  std::optional<kf::Error> failure;
  while (at < movie.size()) {
    auto r = reader.read(at, dst.data(), dst.size());
    if (!r.ok()) {
      failure = r.error();
      break;
    }
    at += *r;
  }
  ASSERT_TRUE(failure);
  EXPECT_EQ(*failure, MGRangeError(6));
  EXPECT_GE(at, 1500000u - 524288u);
  EXPECT_LT(at, movie.size());
  // The preparation's handler invalidates the loader from its own queue.
  for (int i = 0; i < 5000 && !p.result.loader->terminalError(); ++i) {
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  EXPECT_EQ(p.result.loader->terminalError(), MGRangeError(6));
  auto later = reader.read(0, dst.data(), 10);
  ASSERT_FALSE(later.ok());
  EXPECT_EQ(later.error(), MGRangeError(6));
}

TEST_F(RangeServiceProcess, ItemsOutsideTheRootAreRefused) {
  dir.write("secret.mp4", movie);
  ASSERT_EQ(symlink((dir / "secret.mp4").c_str(), (dir / "root/escape.mp4").c_str()), 0);
  auto service = start();
  ASSERT_TRUE(service.ok());
  for (const char* item : {"../secret.mp4", "escape.mp4", "films/../../secret.mp4"}) {
    auto p = Prepare(std::string("kerfline://larder?domain=D&item=") + item, registry);
    ASSERT_TRUE(p.result.error) << item;
    EXPECT_EQ(p.result.error->domain, "com.marrowgate.larder") << item;
    EXPECT_EQ(p.result.error->code, 1) << item;
  }
  auto absolute = Prepare("kerfline://larder?domain=D&item=" + dir / "secret.mp4", registry);
  ASSERT_TRUE(absolute.result.error);
  EXPECT_EQ(absolute.result.error->code, 3);
}

TEST_F(RangeServiceProcess, SizeZeroIsAnEmptyMovie) {
  auto service = start({"--size-zero", "--latency-ms", "20"});
  ASSERT_TRUE(service.ok());
  EXPECT_EQ(Prepare("kerfline://larder?domain=D&item=films/Trip.mp4", registry).result.error,
            MGRangeError(8));
}

}  // namespace
}  // namespace kf
