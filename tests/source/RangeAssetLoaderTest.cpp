#include "source/MGRangeAssetLoader.h"

#include <gtest/gtest.h>

#include <random>
#include <thread>

#include "LoaderProbe.h"
#include "MemoryService.h"
#include "Mp4Fixture.h"
#include "source/MGRangeError.h"

namespace kf {
namespace {

using test::Buf;
using test::MemoryService;
using test::Probe;

std::shared_ptr<MGRangeAssetLoader> Loader(std::shared_ptr<MemoryService> svc,
                                           std::string url = "file:///m.mp4") {
  return MGRangeAssetLoader::create(svc, svc->bytes().size(), std::move(url), nullptr);
}

TEST(RangeLoader, ContentInformation) {
  auto svc = std::make_shared<MemoryService>(Buf(1000, 1));
  auto loader = Loader(svc, "file:///a/Trip.MOV");
  EXPECT_EQ(loader->contentType(), "com.apple.quicktime-movie");
  EXPECT_EQ(Loader(svc, "file:///a/b.m4v")->contentType(), "public.mpeg-4");
  EXPECT_EQ(Loader(svc, "file:///a/b")->contentType(), "public.movie");
  EXPECT_EQ(Loader(svc, "kerfline://larder/x.mkv?domain=d&item=i")->contentType(), "org.matroska.mkv");

  for (auto [allowed, expect] : std::vector<std::pair<std::vector<std::string>, std::string>>{
           {{}, "com.apple.quicktime-movie"},
           {{"public.mpeg-4", "public.movie"}, "public.mpeg-4"},
           {{"public.movie", "com.apple.quicktime-movie"}, "com.apple.quicktime-movie"}}) {
    Probe p;
    MGLoadingRequest::ContentInformationRequest info;
    info.allowedContentTypes = allowed;
    p.request = MGLoadingRequest::make(info, std::nullopt, p.handlers());
    EXPECT_TRUE(loader->shouldWaitForLoadingOfRequestedResource(p.request));
    ASSERT_TRUE(p.waitFinished());
    EXPECT_FALSE(p.error);
    auto got = p.request->contentInformation();
    EXPECT_EQ(got->contentType, expect);
    EXPECT_EQ(got->contentLength, 1000u);
    EXPECT_TRUE(got->byteRangeAccessSupported);
  }
  EXPECT_EQ(svc->reads, 0);
}

TEST(RangeLoader, LargeRequestIsStreamedInSequentialChunks) {
  Buf bytes = test::Mdat(3 << 20);
  auto svc = std::make_shared<MemoryService>(bytes);
  auto loader = Loader(svc);
  Probe p;
  p.start(loader, 0, 2 << 20);
  ASSERT_TRUE(p.waitFinished());
  EXPECT_FALSE(p.error);
  EXPECT_EQ(p.bytes, Buf(bytes.begin(), bytes.begin() + (2 << 20)));
  auto log = svc->log();
  ASSERT_EQ(log.size(), 4u);
  for (int i = 0; i < 4; ++i)
    EXPECT_EQ(log[i], (std::pair<std::uint64_t, std::uint64_t>(i * 524288ull, 524288)));
  EXPECT_EQ(p.request->data()->currentOffset, 2 << 20);
}

TEST(RangeLoader, ToEndRequestNearTheEndIsOneSmallRead) {
  auto svc = std::make_shared<MemoryService>(Buf(1000000, 3));
  auto loader = Loader(svc);
  Probe p;
  p.start(loader, 999000, 5, /*toEnd=*/true);
  ASSERT_TRUE(p.waitFinished());
  EXPECT_FALSE(p.error);
  EXPECT_EQ(p.bytes.size(), 1000u);
  EXPECT_EQ(svc->log(), (std::vector<std::pair<std::uint64_t, std::uint64_t>>{{999000, 1000}}));
}

TEST(RangeLoader, EmptyRangesCompleteWithoutReading) {
  auto svc = std::make_shared<MemoryService>(Buf(1000, 3));
  auto loader = Loader(svc);
  Probe zero, past, negative;
  zero.start(loader, 10, 0);
  past.start(loader, 5000, 10);  // starts past the end: nothing to serve
  negative.start(loader, -5, -1);
  for (Probe* p : {&zero, &past, &negative}) {
    ASSERT_TRUE(p->waitFinished());
    EXPECT_FALSE(p->error);
    EXPECT_TRUE(p->bytes.empty());
  }
  EXPECT_EQ(svc->reads, 0);
}

TEST(RangeLoader, ShortRepliesAreCompletedByMoreReads) {
  Buf bytes = test::Mdat(1 << 20);
  auto svc = std::make_shared<MemoryService>(bytes);
  svc->replyCap = 262144;
  auto loader = Loader(svc);
  Probe p;
  p.start(loader, 100, 1000000);
  ASSERT_TRUE(p.waitFinished());
  EXPECT_FALSE(p.error);
  EXPECT_EQ(p.bytes, Buf(bytes.begin() + 100, bytes.begin() + 1000100));
  EXPECT_EQ(svc->reads, 4);
}

TEST(RangeLoader, FailuresOfTheServiceReachTheRequest) {
  Buf bytes(100000, 9);
  {
    auto svc = std::make_shared<MemoryService>(bytes);
    svc->emptyFrom = 50000;
    svc->replyCap = 40000;
    auto loader = Loader(svc);
    Probe p;
    p.start(loader, 0, 100000);
    ASSERT_TRUE(p.waitFinished());
    EXPECT_EQ(p.error, MGRangeError(5));
    EXPECT_EQ(p.bytes.size(), 80000u);  // the chunks before the empty reply were handed over
  }
  {
    auto svc = std::make_shared<MemoryService>(bytes);
    svc->replyNothing = true;
    auto loader = Loader(svc);
    Probe p;
    p.start(loader, 0, 10);
    ASSERT_TRUE(p.waitFinished());
    EXPECT_EQ(p.error, MGRangeError(2));
  }
  {
    auto svc = std::make_shared<MemoryService>(bytes);
    svc->throwOnRead = true;
    auto loader = Loader(svc);
    Probe p;
    p.start(loader, 0, 10);
    ASSERT_TRUE(p.waitFinished());
    EXPECT_EQ(p.error, (kf::Error{"com.marrowgate.kerfline.range", 3, "socket gone"}));
  }
}

TEST(RangeLoader, DirectReadsCheckOffsetAndClampLength) {
  auto svc = std::make_shared<MemoryService>(Buf(2 << 20, 4));
  auto loader = Loader(svc);
  std::optional<kf::Error> err;
  MGBytes data;
  int calls = 0;
  auto cb = [&](MGBytes d, std::optional<kf::Error> e) {
    data = d;
    err = e;
    ++calls;
  };
  loader->readOffset((2 << 20) + 1, 10, cb);
  EXPECT_EQ(err, MGRangeError(1));
  loader->readOffset(2 << 20, 10, cb);
  EXPECT_FALSE(err);
  ASSERT_TRUE(data);
  EXPECT_TRUE(data->empty());
  loader->readOffset(0, UINT64_MAX, cb);
  EXPECT_EQ(data->size(), 524288u);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(svc->reads, 1);
  EXPECT_EQ(loader->outstandingReadCount(), 0u);
}

TEST(RangeLoader, LongerRepliesAreCut) {
  struct Generous : MGRangeServiceProtocol {
    void fileSizeWithReply(SizeReply r) override { r(100, std::nullopt); }
    void readOffset(std::uint64_t, std::uint64_t length, ReadReply r) override {
      r(MGMakeBytes(Buf(length + 50, 'z')), std::nullopt);
    }
  };
  auto loader = MGRangeAssetLoader::create(std::make_shared<Generous>(), 100, "x.mp4", nullptr);
  Probe p;
  p.start(loader, 90, 100);
  ASSERT_TRUE(p.waitFinished());
  EXPECT_EQ(p.bytes, Buf(10, 'z'));
}

TEST(RangeLoader, CancelledRequestGetsNothingWhenItsReplyArrives) {
  auto svc = std::make_shared<MemoryService>(Buf(1000, 5), MemoryService::Mode::kHeld);
  auto loader = Loader(svc);
  Probe p;
  p.start(loader, 0, 1000);
  test::Drain(loader);
  ASSERT_EQ(svc->heldCount(), 1u);
  p.request->cancel(loader);
  test::Drain(loader);
  EXPECT_EQ(loader->outstandingReadCount(), 0u);  // the read was cancelled
  svc->releaseOne();
  test::Drain(loader);
  EXPECT_EQ(p.finishCount(), 0);
  EXPECT_TRUE(p.bytes.empty());
  EXPECT_EQ(svc->reads, 1);
}

TEST(RangeLoader, InvalidationEndsPendingAndLaterRequestsWithTheFirstError) {
  auto svc = std::make_shared<MemoryService>(Buf(1000, 5), MemoryService::Mode::kHeld);
  auto loader = Loader(svc);
  Probe pending;
  pending.start(loader, 0, 1000);
  test::Drain(loader);
  loader->invalidateWithError();
  loader->invalidateWithError(MGRangeError(6));
  ASSERT_TRUE(pending.waitFinished());
  EXPECT_EQ(pending.error, MGRangeError(4));
  EXPECT_EQ(loader->terminalError(), MGRangeError(4));
  Probe later;
  later.start(loader, 0, 10);
  ASSERT_TRUE(later.waitFinished());
  EXPECT_EQ(later.error, MGRangeError(4));
  // The late reply of the first read changes nothing.
  while (svc->releaseOne()) {
  }
  test::Drain(loader);
  EXPECT_EQ(pending.finishCount(), 1);
  EXPECT_TRUE(pending.bytes.empty());
  // Content information still works.
  Probe info;
  info.request =
      MGLoadingRequest::make(MGLoadingRequest::ContentInformationRequest{}, std::nullopt, info.handlers());
  loader->shouldWaitForLoadingOfRequestedResource(info.request);
  ASSERT_TRUE(info.waitFinished());
  EXPECT_FALSE(info.error);
  EXPECT_EQ(info.request->contentInformation()->contentLength, 1000u);
}

TEST(RangeLoader, InvalidationInvalidatesTheConnectionOnce) {
  struct Conn : MGRangeConnection {
    std::atomic<int> calls{0};
    void invalidate() override { ++calls; }
  };
  auto conn = std::make_shared<Conn>();
  auto svc = std::make_shared<MemoryService>(Buf(10, 1));
  auto loader = MGRangeAssetLoader::create(svc, 10, "a.mp4", conn);
  loader->invalidateWithError(MGRangeError(6));
  loader->invalidateWithError();
  EXPECT_EQ(conn->calls, 1);
  auto conn2 = std::make_shared<Conn>();
  MGRangeAssetLoader::create(svc, 10, "a.mp4", conn2).reset();
  EXPECT_EQ(conn2->calls, 1);  // destruction invalidates too
}

TEST(RangeLoader, RequestsTakenByALoaderThatGoesAwayStillFinish) {
  auto svc = std::make_shared<MemoryService>(Buf(1000, 5));
  Probe p;
  p.start(Loader(svc), 0, 10);  // the loader dies before its queue looks at the request
  ASSERT_TRUE(p.waitFinished());
  EXPECT_EQ(p.finishCount(), 1);
}

TEST(RangeLoader, DestroyingTheLoaderCompletesWhatIsPending) {
  auto svc = std::make_shared<MemoryService>(Buf(1000, 5), MemoryService::Mode::kHeld);
  auto loader = Loader(svc);
  Probe p;
  p.start(loader, 0, 1000);
  int readCalls = 0;
  std::optional<kf::Error> readError;
  loader->readOffset(0, 10, [&](MGBytes, std::optional<kf::Error> e) {
    ++readCalls;
    readError = e;
  });
  test::Drain(loader);
  loader.reset();
  EXPECT_EQ(p.finishCount(), 1);
  EXPECT_EQ(p.error, MGRangeError(4));
  EXPECT_EQ(readCalls, 1);
  while (svc->releaseOne()) {
  }
  EXPECT_EQ(readCalls, 1);
  EXPECT_EQ(p.finishCount(), 1);
}

// Replies, cancellations and an invalidation race on real threads; every
// read completes exactly once and every request finishes at most once.
TEST(RangeLoader, EveryReadCompletesOnceUnderRaces) {
  for (int round = 0; round < 20; ++round) {
    auto svc = std::make_shared<MemoryService>(Buf(1 << 16, 1), MemoryService::Mode::kThread);
    auto loader = Loader(svc);
    constexpr int kReads = 64;
    std::vector<std::atomic<int>> calls(kReads);
    std::vector<std::shared_ptr<MGRangeReadOperation>> ops(kReads);
    std::vector<std::unique_ptr<Probe>> probes;
    for (int i = 0; i < kReads; ++i) {
      ops[i] =
          loader->readOffset(i * 100, 100, [&calls, i](MGBytes, std::optional<kf::Error>) { ++calls[i]; });
      probes.push_back(std::make_unique<Probe>());
      probes.back()->start(loader, i * 1000, 1000);
    }
    std::thread canceller([&] {
      for (int i = 0; i < kReads; i += 2) {
        ops[i]->cancel();
        probes[i]->request->cancel(loader);
      }
    });
    std::thread invalidator([&] { loader->invalidateWithError(MGRangeError(6)); });
    canceller.join();
    invalidator.join();
    test::Drain(loader);
    for (int i = 0; i < kReads; ++i) {
      for (int spin = 0; spin < 1000 && calls[i] == 0; ++spin) std::this_thread::yield();
    }
    loader.reset();  // joins nothing of the service; its threads finish below
    svc.reset();
    for (int i = 0; i < kReads; ++i) {
      EXPECT_EQ(calls[i], 1) << i;
      EXPECT_LE(probes[i]->finishCount(), 1);
      if (i % 2 == 1) {
        EXPECT_EQ(probes[i]->finishCount(), 1);
      }
    }
  }
}

// The property the retagging promises: however the player splits its
// requests and however the service splits its replies, the bytes handed over
// are those of the whole file patched at once.
TEST(RangeLoader, RetaggedBytesAreIndependentOfChunking) {
  std::mt19937_64 rng(12345);
  for (int fileNo = 0; fileNo < 30; ++fileNo) {
    std::vector<Buf> entries;
    int tracks = 1 + static_cast<int>(rng() % 3);
    Buf trakBoxes;
    for (int t = 0; t < tracks; ++t) {
      static const char* kinds[] = {"hev1", "dvhe", "avc1", "hvc1", "dvh1"};
      Buf stsdPayload;
      test::PutU32(stsdPayload, 0);
      int n = 1 + static_cast<int>(rng() % 3);
      test::PutU32(stsdPayload, n);
      for (int e = 0; e < n; ++e) {
        Buf entry = test::SampleEntry(kinds[rng() % 5]);
        stsdPayload.insert(stsdPayload.end(), entry.begin(), entry.end());
      }
      trakBoxes = test::Cat({trakBoxes, test::Track(test::Box("stsd", stsdPayload))});
    }
    Buf moov = test::Box("moov", test::Cat({test::Box("mvhd", Buf(100, 0)), trakBoxes}), rng() % 2 == 0);
    Buf mdat = test::Mdat(1000 + rng() % 700000, static_cast<std::uint32_t>(rng()));
    Buf file = rng() % 2 ? test::Cat({test::Ftyp(), moov, mdat}) : test::Cat({test::Ftyp(), mdat, moov});

    auto svc = std::make_shared<MemoryService>(
        file, rng() % 2 ? MemoryService::Mode::kThread : MemoryService::Mode::kImmediate);
    MGRetagTable table;
    bool scanned = false;
    std::mutex mu;
    std::condition_variable cv;
    MGScanSampleEntryRetags(svc, file.size(), "mp4", [&](MGRetagTable t) {
      std::lock_guard<std::mutex> lock(mu);
      table = std::move(t);
      scanned = true;
      cv.notify_all();
    });
    {
      std::unique_lock<std::mutex> lock(mu);
      ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return scanned; }));
    }
    std::size_t expectEntries = test::Find(moov, "hev1").size() + test::Find(moov, "dvhe").size();
    ASSERT_EQ(table.size(), expectEntries);
    Buf whole = file;
    MGApplySampleEntryRetagsInPlace(whole.data(), whole.size(), 0, table);
    EXPECT_TRUE(test::Find(whole, "hev1").empty());
    EXPECT_TRUE(test::Find(whole, "dvhe").empty());

    svc->replyCap = rng() % 3 == 0 ? 0 : 1 + rng() % 5000;
    auto loader = MGRangeAssetLoader::create(svc, file.size(), "m.mp4", nullptr);
    loader->setRetags(table);
    // Random requests covering the file, in random order, one at a time.
    std::vector<std::pair<std::uint64_t, std::uint64_t>> pieces;
    for (std::uint64_t at = 0; at < file.size();) {
      std::uint64_t len = 1 + rng() % 20000;
      len = std::min<std::uint64_t>(len, file.size() - at);
      pieces.emplace_back(at, len);
      at += len;
    }
    std::shuffle(pieces.begin(), pieces.end(), rng);
    Buf served(file.size(), 0);
    for (auto [at, len] : pieces) {
      Probe p;
      p.start(loader, static_cast<std::int64_t>(at), static_cast<std::int64_t>(len));
      ASSERT_TRUE(p.waitFinished());
      ASSERT_FALSE(p.error);
      ASSERT_EQ(p.bytes.size(), len);
      std::copy(p.bytes.begin(), p.bytes.end(), served.begin() + at);
    }
    ASSERT_EQ(served, whole) << "file " << fileNo;
  }
}

// A test requester in the style of the media engine's adapters: blocking
// reads of random offsets and sizes, compared against the file.
TEST(BlockingRangeReader, ReadsTheWholeFileInRandomPieces) {
  Buf bytes = test::Mdat(3 << 20, 99);
  auto svc = std::make_shared<MemoryService>(bytes, MemoryService::Mode::kThread);
  svc->replyCap = 100000;
  auto loader = Loader(svc);
  MGBlockingRangeReader reader(loader);
  EXPECT_EQ(reader.size(), bytes.size());
  std::mt19937_64 rng(7);
  std::vector<bool> covered(bytes.size(), false);
  std::size_t coveredCount = 0;
  Buf dst(1 << 20);
  for (int i = 0; i < 400 || coveredCount < bytes.size(); ++i) {
    std::uint64_t off = i < 400 ? rng() % (bytes.size() + 1000) : 0;
    if (i >= 400) {  // fill what random reads missed, in order
      while (off < bytes.size() && covered[off]) ++off;
    }
    std::size_t size = 1 + rng() % dst.size();
    auto r = reader.read(off, dst.data(), size);
    ASSERT_TRUE(r.ok()) << r.error().message;
    std::size_t expect = off >= bytes.size() ? 0 : std::min<std::size_t>(size, bytes.size() - off);
    ASSERT_EQ(*r, expect);
    ASSERT_TRUE(std::equal(dst.begin(), dst.begin() + expect, bytes.begin() + off));
    for (std::size_t k = off; k < off + expect; ++k) {
      if (!covered[k]) {
        covered[k] = true;
        ++coveredCount;
      }
    }
  }
}

TEST(BlockingRangeReader, CancelFromAnotherThreadEndsABlockedRead) {
  auto svc = std::make_shared<MemoryService>(Buf(1000, 5), MemoryService::Mode::kHeld);
  auto loader = Loader(svc);
  MGBlockingRangeReader reader(loader);
  std::optional<kf::Result<std::size_t>> result;
  Buf dst(100);
  std::thread t([&] { result.emplace(reader.read(0, dst.data(), dst.size())); });
  while (svc->heldCount() == 0) std::this_thread::yield();
  reader.cancel();
  t.join();
  ASSERT_TRUE(result && !result->ok());
  EXPECT_EQ(result->error(), MGRangeCancelledError());
  EXPECT_FALSE(reader.read(0, dst.data(), 10).ok());  // stays cancelled
  reader.resetCancel();
  svc->releaseOne();  // the late reply of the cancelled read lands nowhere
  std::thread t2([&] { result.emplace(reader.read(10, dst.data(), 10)); });
  while (svc->heldCount() == 0) std::this_thread::yield();
  svc->releaseOne();
  t2.join();
  ASSERT_TRUE(result->ok());
  EXPECT_EQ(**result, 10u);
}

TEST(BlockingRangeReader, ErrorsArriveAfterTheBytesBeforeThem) {
  auto svc = std::make_shared<MemoryService>(Buf(1000, 5));
  svc->emptyFrom = 600;
  svc->replyCap = 200;
  MGBlockingRangeReader reader(Loader(svc));
  Buf dst(1000);
  auto first = reader.read(0, dst.data(), 1000);
  ASSERT_TRUE(first.ok());
  EXPECT_EQ(*first, 600u);
  auto second = reader.read(600, dst.data(), 400);
  ASSERT_FALSE(second.ok());
  EXPECT_EQ(second.error(), MGRangeError(5));
}

}  // namespace
}  // namespace kf

namespace kf {
namespace {

TEST(LoadingRequest, CancelWaitsForARunningHandlerAndNoHandlerRunsAfterIt) {
  // Replies are held, so the request cannot run to its end on its own while
  // the cancel is on its way: only the first block is delivered before it.
  auto svc = std::make_shared<MemoryService>(Buf(4 << 20, 1), MemoryService::Mode::kHeld);
  auto loader = Loader(svc);
  std::mutex mu;
  std::condition_variable cv;
  bool inHandler = false, release = false;
  std::atomic<int> blocksAfterCancel{0};
  std::atomic<bool> cancelReturned{false};
  MGLoadingRequest::Handlers h;
  h.onData = [&](const MGBytes&) {
    if (cancelReturned) ++blocksAfterCancel;
    std::unique_lock<std::mutex> lock(mu);
    inHandler = true;
    cv.notify_all();
    cv.wait(lock, [&] { return release; });
  };
  h.onFinish = [&](std::optional<kf::Error>) {
    if (cancelReturned) ++blocksAfterCancel;
  };
  MGLoadingRequest::DataRequest d;
  d.requestsAllDataToEndOfResource = true;
  auto request = MGLoadingRequest::make(std::nullopt, d, h);
  loader->shouldWaitForLoadingOfRequestedResource(request);
  while (svc->heldCount() == 0) std::this_thread::yield();
  ASSERT_TRUE(svc->releaseOne());
  {
    std::unique_lock<std::mutex> lock(mu);
    cv.wait(lock, [&] { return inHandler; });
  }
  std::thread canceller([&] {
    request->cancel(loader);
    cancelReturned = true;
  });
  // The canceller is blocked behind the handler until it returns.
  for (int i = 0; i < 200; ++i) std::this_thread::yield();
  EXPECT_FALSE(cancelReturned);
  {
    std::lock_guard<std::mutex> lock(mu);
    release = true;
  }
  cv.notify_all();
  canceller.join();
  while (svc->releaseOne()) {
  }
  test::Drain(loader);
  test::Drain(loader);
  EXPECT_EQ(blocksAfterCancel, 0);
  EXPECT_TRUE(request->isCancelled());
  EXPECT_FALSE(request->isFinished());
}

TEST(LoadingRequest, AHandlerMayCancelItsOwnRequest) {
  auto svc = std::make_shared<MemoryService>(Buf(2 << 20, 1));
  auto loader = Loader(svc);
  std::shared_ptr<MGLoadingRequest> request;
  std::atomic<int> blocks{0};
  MGLoadingRequest::Handlers h;
  h.onData = [&](const MGBytes&) {
    ++blocks;
    request->cancel(loader);  // e.g. the requester has all it wanted
  };
  MGLoadingRequest::DataRequest d;
  d.requestsAllDataToEndOfResource = true;
  request = MGLoadingRequest::make(MGLoadingRequest::ContentInformationRequest{}, d, h);
  loader->shouldWaitForLoadingOfRequestedResource(request);
  test::Drain(loader);
  test::Drain(loader);
  EXPECT_EQ(blocks, 1);
  EXPECT_TRUE(request->isCancelled());
  EXPECT_EQ(request->contentInformation()->contentLength, 2u << 20);  // filled before the first bytes
  EXPECT_EQ(loader->outstandingReadCount(), 0u);
}

}  // namespace
}  // namespace kf
