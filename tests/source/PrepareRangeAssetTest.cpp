#include "source/MGPrepareRangeAsset.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include "LoaderProbe.h"
#include "Mp4Fixture.h"
#include "PrepareFixture.h"
#include "TempDir.h"
#include "source/MGLarderRegistry.h"
#include "source/MGLarderServer.h"
#include "source/MGRangeError.h"
#include "source/MGURL.h"

namespace kf {
namespace {

using test::Buf;
using test::Prepare;

Buf Movie(const char* entry) {
  return test::Cat({test::Ftyp(), test::Box("moov", test::Track(test::Stsd({test::SampleEntry(entry)}))),
                    test::Mdat(20000)});
}

// Reads the whole movie through the loader, as the media engine will.
Buf ReadAll(const std::shared_ptr<MGRangeAssetLoader>& loader) {
  MGBlockingRangeReader reader(loader);
  Buf out(reader.size());
  std::size_t at = 0;
  while (at < out.size()) {
    auto r = reader.read(at, out.data() + at, std::min<std::size_t>(65536, out.size() - at));
    if (!r.ok() || *r == 0) break;
    at += *r;
  }
  out.resize(at);
  return out;
}

Buf Patched(Buf file) {
  for (auto o : test::Find(file, "hev1")) std::copy_n("hvc1", 4, file.begin() + o);
  for (auto o : test::Find(file, "dvhe")) std::copy_n("dvh1", 4, file.begin() + o);
  return file;
}

struct Larder {
  explicit Larder(test::TempDir& dir, MGLarderServerOptions o = {},
                  std::vector<std::string> names = {kLarderByteRangeServiceName, kLarderRangeServiceName}) {
    registry = dir / "registry";
    o.root = dir / "root";
    o.socketPath = dir / "larder.sock";
    o.serviceNames = names;
    server = std::make_unique<MGLarderServer>(o);
    EXPECT_FALSE(server->start());
    EXPECT_FALSE(MGPublishLarderDomain(registry, MGLarderDomain{"D", "Larder", o.root, o.socketPath, names}));
  }
  std::string registry;
  std::unique_ptr<MGLarderServer> server;
};

TEST(Prepare, UnsupportedURLsAndIncompleteHandoffLinks) {
  test::TempDir dir;
  std::string reg = dir / "registry";
  for (const char* url : {"https://example.com/a.mp4", "kerfline://elsewhere?item=I", "not a url",
                          "KERFLINE://larder?domain=D&item=I", "file://server/share/a.mp4"}) {
    auto p = Prepare(url, reg);
    EXPECT_EQ(p.result.error, MGRangeError(12)) << url;
  }
  for (const char* url :
       {"kerfline://larder?domain=&item=I", "kerfline://larder?item=I",
        "kerfline://larder/x.mov?domain=D&item", "kerfline://larder?domain=D&domain=&item=I"}) {
    auto p = Prepare(url, reg);
    EXPECT_EQ(p.result.error, MGRangeError(9)) << url;
  }
  EXPECT_EQ(Prepare("kerfline://larder?domain=Unknown&item=I", reg).result.error, MGRangeError(10));
}

TEST(Prepare, LocalFilesAreServedOnlyWhenTheyNeedRetagging) {
  test::TempDir dir;
  Buf hevc = Movie("hev1");
  std::string hevcPath = dir.write("clips/Beach Day.mp4", hevc);
  std::string plainPath = dir.write("clips/plain.mp4", Movie("hvc1"));
  auto served = Prepare(MGFileURLFromPath(hevcPath), dir / "registry");
  ASSERT_TRUE(served.result.asset);
  EXPECT_EQ(served.result.asset->url, "kerfline-range://file/Beach%20Day.mp4");
  EXPECT_TRUE(served.result.asset->served());
  EXPECT_FALSE(served.result.servedByLarder);
  ASSERT_TRUE(served.result.loader);
  EXPECT_EQ(served.result.loader->sourceURL(), MGFileURLFromPath(hevcPath));
  EXPECT_EQ(ReadAll(served.result.loader), Patched(hevc));

  auto plain = Prepare(MGFileURLFromPath(plainPath), dir / "registry");
  ASSERT_TRUE(plain.result.asset);
  EXPECT_EQ(plain.result.asset->filePath, plainPath);
  EXPECT_FALSE(plain.result.loader);
  // A file that cannot be opened is handed over as it is; the engine reports.
  auto missing = Prepare(MGFileURLFromPath(dir / "none.mp4"), dir / "registry");
  ASSERT_TRUE(missing.result.asset);
  EXPECT_EQ(missing.result.asset->filePath, dir / "none.mp4");
  // An extension outside the ISO family is not scanned.
  std::string mkv = dir.write("clips/x.mkv", hevc);
  EXPECT_FALSE(Prepare(MGFileURLFromPath(mkv), dir / "registry").result.loader);
}

TEST(Prepare, APipeOrDeviceIsRefusedWithoutBeingOpened) {
  test::TempDir dir;
  const std::string pipe = dir / "movie.mp4";
  ASSERT_EQ(::mkfifo(pipe.c_str(), 0600), 0);
  // Opening the FIFO for reading would block the preparation for good.
  for (const std::string& path : {pipe, std::string("/dev/zero")}) {
    auto prepared = Prepare(MGFileURLFromPath(path), dir / "registry");
    ASSERT_TRUE(prepared.result.error) << path;
    EXPECT_EQ(*prepared.result.error, (kf::Error{"Kerfline", 1, "This movie cannot be played."}));
  }
}

TEST(Prepare, HandoffLinksAreServedByLarder) {
  test::TempDir dir;
  Buf hevc = Movie("dvhe");
  dir.write("root/shows/ep1.bin", hevc);
  Larder larder(dir);
  auto p = Prepare("kerfline://larder/Trip.mov?domain=X&domain=D&item=shows/ep1.bin", larder.registry);
  ASSERT_TRUE(p.result.asset) << p.result.error->message;
  EXPECT_EQ(p.result.asset->url, "kerfline-range://larder/Trip.mov");
  EXPECT_TRUE(p.result.servedByLarder);
  ASSERT_TRUE(p.result.loader);
  EXPECT_EQ(p.result.loader->retags().size(), 1u);                         // the scan filtered on "mov"
  EXPECT_EQ(p.result.loader->contentType(), "com.apple.quicktime-movie");  // from the opened link
  EXPECT_EQ(ReadAll(p.result.loader), Patched(hevc));

  auto noName = Prepare("kerfline://larder?domain=D&item=shows/ep1.bin", larder.registry);
  ASSERT_TRUE(noName.result.asset);
  EXPECT_EQ(noName.result.asset->url, "kerfline-range://larder/movie.mp4");
  auto mkv = Prepare("kerfline://larder/a.mkv?domain=D&item=shows/ep1.bin", larder.registry);
  ASSERT_TRUE(mkv.result.loader);
  EXPECT_TRUE(mkv.result.loader->retags().empty());  // "mkv" is not scanned
  auto outside = Prepare("kerfline://larder?domain=D&item=../secret", larder.registry);
  ASSERT_TRUE(outside.result.error);
  EXPECT_EQ(outside.result.error->domain, "com.marrowgate.larder");
}

TEST(Prepare, FileURLsInsideTheDomainUseLarderAndFallBackWhenItFails) {
  test::TempDir dir;
  Buf hevc = Movie("hev1");
  std::string path = dir.write("root/m.mp4", hevc);
  {
    Larder larder(dir, {}, {kLarderRangeServiceName});  // the second name only
    auto p = Prepare(MGFileURLFromPath(path), larder.registry);
    ASSERT_TRUE(p.result.asset);
    EXPECT_TRUE(p.result.servedByLarder);
    EXPECT_EQ(p.result.asset->url, "kerfline-range://larder/m.mp4");
    EXPECT_EQ(ReadAll(p.result.loader), Patched(hevc));
    // A handoff link asks for the first name only: service missing.
    EXPECT_EQ(Prepare("kerfline://larder?domain=D&item=m.mp4", larder.registry).result.error,
              MGRangeError(11));
  }
  {
    MGLarderServerOptions zero;
    zero.reportSizeZero = true;
    Larder larder(dir, zero);
    auto file = Prepare(MGFileURLFromPath(path), larder.registry);
    ASSERT_TRUE(file.result.asset);
    EXPECT_FALSE(file.result.servedByLarder);
    EXPECT_EQ(file.result.asset->url, "kerfline-range://file/m.mp4");  // the local path, retagged
    EXPECT_EQ(Prepare("kerfline://larder?domain=D&item=m.mp4", larder.registry).result.error,
              MGRangeError(8));
  }
  {
    Larder larder(dir);
    larder.server->stop();  // announced, but nobody answers
    auto file = Prepare(MGFileURLFromPath(path), larder.registry);
    ASSERT_TRUE(file.result.asset);
    EXPECT_FALSE(file.result.error);
    EXPECT_FALSE(file.result.servedByLarder);
    auto link = Prepare("kerfline://larder?domain=D&item=m.mp4", larder.registry);
    ASSERT_TRUE(link.result.error);
    EXPECT_EQ(link.result.error->domain, "NSPOSIXErrorDomain");
  }
}

}  // namespace
}  // namespace kf
