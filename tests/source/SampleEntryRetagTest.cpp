#include "source/MGSampleEntryRetag.h"

#include <gtest/gtest.h>

#include <chrono>
#include <map>

#include "MemoryService.h"
#include "Mp4Fixture.h"
#include "SmallStack.h"

namespace kf {
namespace {

using test::Box;
using test::Buf;
using test::Cat;

// Scans with a synchronous service over `file` and returns the table; the
// completion must have run exactly once by then.
MGRetagTable ScanBytes(const Buf& file, const std::string& ext = "mp4", test::MemoryService** out = nullptr,
                       std::uint64_t replyCap = 0) {
  static std::shared_ptr<test::MemoryService> last;
  last = std::make_shared<test::MemoryService>(file);
  last->replyCap = replyCap;
  if (out) *out = last.get();
  int calls = 0;
  MGRetagTable result;
  MGScanSampleEntryRetags(last, file.size(), ext, [&](MGRetagTable t) {
    ++calls;
    result = std::move(t);
  });
  EXPECT_EQ(calls, 1);
  return result;
}

Buf HevcMovie(Buf* moovOut = nullptr) {
  Buf moov =
      Box("moov", Cat({Box("mvhd", Buf(100, 0)), test::Track(test::Stsd({test::SampleEntry("hev1")}))}));
  if (moovOut) *moovOut = moov;
  return Cat({test::Ftyp(), test::Mdat(3000), moov});
}

TEST(RetagScan, OneHevcEntryYieldsItsTypeFieldOffset) {
  Buf file = HevcMovie();
  auto at = test::Find(file, "hev1");
  ASSERT_EQ(at.size(), 1u);
  MGRetagTable t = ScanBytes(file);
  EXPECT_EQ(t, (MGRetagTable{{at[0], "hvc1"}}));
}

TEST(RetagScan, EveryEntryOfEveryStsdIsExamined) {
  Buf moov = Box("moov", Cat({test::Track(test::Stsd({test::SampleEntry("avc1"), test::SampleEntry("dvhe")})),
                              test::Track(test::Stsd({test::SampleEntry("hev1"), test::SampleEntry("hvc1"),
                                                      test::SampleEntry("hev1")}))}));
  Buf file = Cat({test::Ftyp(), moov});
  MGRetagTable expect;
  for (auto o : test::Find(file, "dvhe")) expect[o] = "dvh1";
  for (auto o : test::Find(file, "hev1")) expect[o] = "hvc1";
  ASSERT_EQ(expect.size(), 3u);
  EXPECT_EQ(ScanBytes(file), expect);
}

TEST(RetagScan, ContainersAndStsdCountAtAnyDepthButOtherBoxesAreSkipped) {
  // stsd straight under trak and under moov counts; one inside udta does not.
  Buf direct = Box("trak", test::Stsd({test::SampleEntry("hev1")}));
  Buf top = test::Stsd({test::SampleEntry("dvhe")});
  Buf hidden = Box("udta", test::Stsd({test::SampleEntry("hev1")}));
  Buf file = Cat({test::Ftyp(), Box("moov", Cat({direct, top, hidden}))});
  auto hev = test::Find(file, "hev1");
  auto dv = test::Find(file, "dvhe");
  EXPECT_EQ(ScanBytes(file), (MGRetagTable{{hev[0], "hvc1"}, {dv[0], "dvh1"}}));
}

TEST(RetagScan, ShortStsdPayloadAndMalformedSiblingsKeepWhatWasFound) {
  Buf shortStsd = Box("stsd", Buf(7, 0));
  Buf good = test::Track(test::Stsd({test::SampleEntry("hev1")}));
  Buf broken;  // claims more bytes than its parent holds
  test::PutU32(broken, 0x7fffffff);
  broken.insert(broken.end(), {'t', 'r', 'a', 'k'});
  Buf after = test::Track(test::Stsd({test::SampleEntry("dvhe")}));
  Buf file = Cat({test::Ftyp(), Box("moov", Cat({Box("trak", shortStsd), good, broken, after}))});
  auto hev = test::Find(file, "hev1");
  EXPECT_EQ(ScanBytes(file), (MGRetagTable{{hev[0], "hvc1"}}));
}

TEST(RetagScan, ExtensionFilter) {
  Buf file = HevcMovie();
  test::MemoryService* svc = nullptr;
  EXPECT_EQ(ScanBytes(file, "MOV", &svc).size(), 1u);
  EXPECT_EQ(ScanBytes(file, "Mp4", &svc).size(), 1u);
  EXPECT_EQ(ScanBytes(file, "", &svc).size(), 1u);
  EXPECT_EQ(ScanBytes(file, "mkv", &svc).size(), 0u);
  EXPECT_EQ(svc->reads, 0);
  for (const char* e : {"mp4", "m4v", "mov", "qt", "3gp", "3g2", "hevc", "h265", "H265"})
    EXPECT_TRUE(MGExtensionMayNeedRetag(e)) << e;
  for (const char* e : {"mkv", "avi", "mp", "mp44", ""}) EXPECT_FALSE(MGExtensionMayNeedRetag(e)) << e;
}

TEST(RetagScan, NullServiceAndEmptyFileAnswerAtOnceWithoutReading) {
  int calls = 0;
  MGScanSampleEntryRetags(nullptr, 100, "mp4", [&](MGRetagTable t) {
    ++calls;
    EXPECT_TRUE(t.empty());
  });
  EXPECT_EQ(calls, 1);
  auto svc = std::make_shared<test::MemoryService>(Buf{});
  MGScanSampleEntryRetags(svc, 0, "mp4", [&](MGRetagTable t) {
    ++calls;
    EXPECT_TRUE(t.empty());
  });
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(svc->reads, 0);
}

TEST(RetagScan, MalformedTopLevelBoxesYieldTheEmptyTable) {
  Buf moov;
  Buf file = HevcMovie(&moov);
  // Second box runs to the end of the file (size 0) and is not moov.
  Buf sizeZero;
  test::PutU32(sizeZero, 0);
  sizeZero.insert(sizeZero.end(), {'m', 'd', 'a', 't'});
  sizeZero.resize(5000, 0);
  EXPECT_TRUE(ScanBytes(Cat({test::Ftyp(), sizeZero, moov})).empty());
  // A size beyond the bytes left, and a size below 8.
  Buf tooBig = Box("free", Buf(10, 0));
  tooBig[3] = 200;
  EXPECT_TRUE(ScanBytes(Cat({test::Ftyp(), tooBig})).empty());
  Buf tooSmall = Box("free", Buf(10, 0));
  tooSmall[3] = 7;
  EXPECT_TRUE(ScanBytes(Cat({test::Ftyp(), tooSmall, moov})).empty());
  // A 64-bit size whose header is cut off by the end of the file.
  Buf cut{0, 0, 0, 1, 'f', 'r', 'e', 'e', 0, 0};
  EXPECT_TRUE(ScanBytes(Cat({test::Ftyp(), cut})).empty());
  // A size-0 moov runs to the end of the file and is scanned.
  Buf moovZero = moov;
  moovZero[0] = moovZero[1] = moovZero[2] = moovZero[3] = 0;
  Buf f = Cat({test::Ftyp(), moovZero});
  EXPECT_EQ(ScanBytes(f), (MGRetagTable{{test::Find(f, "hev1")[0], "hvc1"}}));
}

TEST(RetagScan, MoovWithLargeSizeIsWalkedFromSixteen) {
  Buf inner = Cat({Box("mvhd", Buf(100, 0)), test::Track(test::Stsd({test::SampleEntry("hev1")}))});
  Buf file = Cat({test::Ftyp(), Box("moov", inner, /*large=*/true)});
  EXPECT_EQ(ScanBytes(file), (MGRetagTable{{test::Find(file, "hev1")[0], "hvc1"}}));
}

TEST(RetagScan, AtMostSixtyFourTopLevelBoxes) {
  Buf moov;
  HevcMovie(&moov);
  Buf pad;
  for (int i = 0; i < 63; ++i) pad = Cat({pad, Box("free", Buf(3, 0))});
  EXPECT_EQ(ScanBytes(Cat({pad, moov})).size(), 1u);                  // 64th box
  EXPECT_TRUE(ScanBytes(Cat({pad, Box("free", {}), moov})).empty());  // 65th box
}

TEST(RetagScan, ReadsOnlyTopLevelHeadersAndTheMovieBox) {
  Buf moov;
  Buf mdat = test::Mdat(200000);
  Buf file = Cat({test::Ftyp(), mdat, Box("free", Buf(5, 0)),
                  moov = Box("moov", test::Track(test::Stsd({test::SampleEntry("hev1")})))});
  test::MemoryService* svc = nullptr;
  EXPECT_EQ(ScanBytes(file, "mp4", &svc).size(), 1u);
  EXPECT_EQ(svc->bytesAsked.load(), 16u * 4 + moov.size());  // four headers, then the moov
  auto log = svc->log();
  ASSERT_EQ(log.size(), 5u);
  EXPECT_EQ(log[3], (std::pair<std::uint64_t, std::uint64_t>{file.size() - moov.size(), 16}));
  EXPECT_EQ(log[4], (std::pair<std::uint64_t, std::uint64_t>{file.size() - moov.size(), moov.size()}));
}

// A file too large to hold: a 6 GiB media box with a 64-bit size, then moov.
// Only the few bytes the scan asks for exist; asking for more fails the test.
TEST(RetagScan, MoovAfterAHugeMediaBoxWithLargeSize) {
  const std::uint64_t mdatSize = 6ull << 30;
  Buf head = Cat({test::Ftyp()});
  Buf mdatHeader{0, 0, 0, 1, 'm', 'd', 'a', 't'};
  test::PutU64(mdatHeader, mdatSize);
  head = Cat({head, mdatHeader});
  Buf moov = Box("moov", test::Track(test::Stsd({test::SampleEntry("dvhe")})));
  const std::uint64_t moovAt = test::Ftyp().size() + mdatSize;
  const std::uint64_t fileSize = moovAt + moov.size();
  std::uint64_t asked = 0;
  MGRangeReader reader = [&](std::uint64_t off, std::uint64_t len, MGRangeServiceProtocol::ReadReply reply) {
    asked += len;
    Buf out;
    for (std::uint64_t i = off; i < off + len; ++i) {
      if (i < head.size()) {
        out.push_back(head[i]);
      } else if (i >= moovAt) {
        out.push_back(moov[i - moovAt]);
      } else {
        ADD_FAILURE() << "read inside the media box at " << i;
        return reply(nullptr, MGRangeError(3));
      }
    }
    reply(MGMakeBytes(out), std::nullopt);
  };
  MGRetagTable table;
  int calls = 0;
  MGScanSampleEntryRetagsWithReader(reader, fileSize, "mov", [&](MGRetagTable t) {
    table = std::move(t);
    ++calls;
  });
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(table, (MGRetagTable{{moovAt + test::Find(moov, "dvhe")[0], "dvh1"}}));
  EXPECT_EQ(asked, 16u * 3 + moov.size());
}

Buf MoovOfSize(std::uint64_t total, Buf* prefixOut) {
  Buf track = test::Track(test::Stsd({test::SampleEntry("hev1")}));
  std::uint64_t freeSize = total - 8 - track.size();
  Buf freeBox;
  test::PutU32(freeBox, static_cast<std::uint32_t>(freeSize));
  freeBox.insert(freeBox.end(), {'f', 'r', 'e', 'e'});
  freeBox.resize(freeSize, 0);
  Buf moov = Box("moov", Cat({track, freeBox}));
  *prefixOut = test::Ftyp();
  return moov;
}

TEST(RetagScan, MoovSizeCapIsThirtyTwoMebibytes) {
  Buf prefix;
  Buf atCap = MoovOfSize(33554432, &prefix);
  ASSERT_EQ(atCap.size(), 33554432u);
  test::MemoryService* svc = nullptr;
  EXPECT_EQ(ScanBytes(Cat({prefix, atCap}), "mp4", &svc).size(), 1u);
  EXPECT_EQ(svc->reads, 2 + 64);  // two headers' worth of reads, then 64 reads of 512 KiB
  for (auto [off, len] : svc->log()) EXPECT_LE(len, 524288u);
  Buf over = MoovOfSize(33554433, &prefix);
  EXPECT_TRUE(ScanBytes(Cat({prefix, over}), "mp4", &svc).empty());
  EXPECT_EQ(svc->reads, 2);  // the oversized moov is never loaded
}

TEST(RetagScan, FailedOrEmptyReadsWhileLoadingMoovYieldNothing) {
  Buf moov;
  Buf file = HevcMovie(&moov);
  auto svc = std::make_shared<test::MemoryService>(file);
  svc->emptyFrom = file.size() - moov.size() + 100;  // a later chunk of moov comes back empty
  svc->replyCap = 64;
  int calls = 0;
  MGScanSampleEntryRetags(svc, file.size(), "mp4", [&](MGRetagTable t) {
    ++calls;
    EXPECT_TRUE(t.empty());
  });
  EXPECT_EQ(calls, 1);

  MGRangeReader failing = [&](std::uint64_t off, std::uint64_t len, MGRangeServiceProtocol::ReadReply reply) {
    if (off > 0) return reply(nullptr, MGRangeError(6));
    reply(MGMakeBytes(Buf(file.begin(), file.begin() + static_cast<std::ptrdiff_t>(len))), std::nullopt);
  };
  MGScanSampleEntryRetagsWithReader(failing, file.size(), "mp4", [&](MGRetagTable t) {
    ++calls;
    EXPECT_TRUE(t.empty());
  });
  EXPECT_EQ(calls, 2);
}

TEST(RetagScan, ShortRepliesFromASynchronousServiceDoNotGrowTheStack) {
  // 16-byte replies: a moov of 1 MiB takes 65,536 reads, all answered before
  // the read call returns. On a 256 KiB stack this only passes if the reads
  // are chained iteratively.
  Buf prefix;
  Buf moov = MoovOfSize(1 << 20, &prefix);
  Buf file = Cat({prefix, moov});
  MGRetagTable table;
  test::RunOnSmallStack([&] { table = ScanBytes(file, "mp4", nullptr, 16); });
  EXPECT_EQ(table.size(), 1u);
}

TEST(RetagScan, RepliesFromOtherThreadsCompleteOnce) {
  Buf file = HevcMovie();
  auto svc = std::make_shared<test::MemoryService>(file, test::MemoryService::Mode::kThread);
  svc->replyCap = 500;
  std::mutex mu;
  std::condition_variable cv;
  int calls = 0;
  MGRetagTable table;
  MGScanSampleEntryRetags(svc, file.size(), "mp4", [&](MGRetagTable t) {
    std::lock_guard<std::mutex> lock(mu);
    table = std::move(t);
    ++calls;
    cv.notify_all();
  });
  std::unique_lock<std::mutex> lock(mu);
  ASSERT_TRUE(cv.wait_for(lock, std::chrono::seconds(10), [&] { return calls > 0; }));
  EXPECT_EQ(calls, 1);
  EXPECT_EQ(table, (MGRetagTable{{test::Find(file, "hev1")[0], "hvc1"}}));
}

// 100,000 nested containers inside moov, the sample entry at the bottom.
Buf DeepMoov(int depth, Buf* fileOut) {
  Buf leaf = test::Stsd({test::SampleEntry("hev1")});
  std::size_t total = leaf.size() + 8ull * depth;
  Buf moov;
  test::PutU32(moov, static_cast<std::uint32_t>(total + 8));
  moov.insert(moov.end(), {'m', 'o', 'o', 'v'});
  static const char* kinds[] = {"trak", "mdia", "minf", "stbl"};
  for (int i = 0; i < depth; ++i) {
    test::PutU32(moov, static_cast<std::uint32_t>(total - 8ull * i));
    moov.insert(moov.end(), kinds[i % 4], kinds[i % 4] + 4);
  }
  moov.insert(moov.end(), leaf.begin(), leaf.end());
  *fileOut = Cat({test::Ftyp(), moov});
  return moov;
}

TEST(RetagScan, DeeplyNestedContainersUseNoCallStackPerLevel) {
  Buf file;
  DeepMoov(100000, &file);
  MGRetagTable table;
  test::RunOnSmallStack([&] { table = ScanBytes(file); }, 128 * 1024);
  EXPECT_EQ(table, (MGRetagTable{{test::Find(file, "hev1")[0], "hvc1"}}));
}

// ------------------------------------------------------------------ patching

TEST(RetagPatch, EverySplitOfATypeFieldMatchesTheWholeFilePatched) {
  Buf file = HevcMovie();
  MGRetagTable table = ScanBytes(file);
  ASSERT_EQ(table.size(), 1u);
  const std::uint64_t key = table.begin()->first;
  Buf whole = file;
  ASSERT_TRUE(MGApplySampleEntryRetagsInPlace(whole.data(), whole.size(), 0, table));
  EXPECT_EQ(std::string(whole.begin() + key, whole.begin() + key + 4), "hvc1");
  // Every block that starts or ends within 6 bytes of the field.
  for (std::uint64_t start = key - 6; start <= key + 6; ++start) {
    for (std::uint64_t end = start + 1; end <= key + 10; ++end) {
      auto block = MGMakeBytes(Buf(file.begin() + start, file.begin() + end));
      MGBytes out = MGApplySampleEntryRetags(block, start, table);
      ASSERT_EQ(*out, Buf(whole.begin() + start, whole.begin() + end)) << start << ".." << end;
      EXPECT_EQ(*block, Buf(file.begin() + start, file.begin() + end));  // input untouched
      bool touches = start < key + 4 && end > key;
      EXPECT_EQ(out == block, !touches) << start << ".." << end;
    }
  }
}

TEST(RetagPatch, PartialOverlapAtEitherEnd) {
  Buf block{'e', 'v', '1', 'X'};  // starts 1 byte into "hev1"
  auto out = MGApplySampleEntryRetags(MGMakeBytes(block), 101, {{100, "hvc1"}});
  EXPECT_EQ(*out, (Buf{'v', 'c', '1', 'X'}));
  Buf two{'v', '1', 'A'};  // starts 2 bytes in: the last 2 bytes of "hvc1"
  EXPECT_EQ(*MGApplySampleEntryRetags(MGMakeBytes(two), 102, {{100, "hvc1"}}), (Buf{'c', '1', 'A'}));
  Buf tail{'A', 'B', 'x'};  // ends 1 byte into the field: its first byte
  EXPECT_EQ(*MGApplySampleEntryRetags(MGMakeBytes(tail), 98, {{100, "hvc1"}}), (Buf{'A', 'B', 'h'}));
  Buf tail2{'A', 'x', 'x'};
  EXPECT_EQ(*MGApplySampleEntryRetags(MGMakeBytes(tail2), 99, {{101, "dvh1"}}), (Buf{'A', 'x', 'd'}));
  EXPECT_EQ(*MGApplySampleEntryRetags(MGMakeBytes(Buf{'x', 'x'}), 99, {{100, "dvh1"}}), (Buf{'x', 'd'}));
}

TEST(RetagPatch, WrongLengthValuesEmptyTablesAndEmptyBlocksPassThrough) {
  auto block = MGMakeBytes(Buf{'h', 'e', 'v', '1'});
  EXPECT_EQ(MGApplySampleEntryRetags(block, 0, {{0, "hvc"}}), block);
  EXPECT_EQ(MGApplySampleEntryRetags(block, 0, {{0, "hvc1x"}}), block);
  EXPECT_EQ(MGApplySampleEntryRetags(block, 0, {}), block);
  auto empty = MGMakeBytes({});
  EXPECT_EQ(MGApplySampleEntryRetags(empty, 0, {{0, "hvc1"}}), empty);
  EXPECT_EQ(MGApplySampleEntryRetags(nullptr, 0, {{0, "hvc1"}}), nullptr);
  // A 3-byte entry beside a good one: only the good one applies.
  EXPECT_EQ(*MGApplySampleEntryRetags(MGMakeBytes(Buf(8, 'a')), 0, {{0, "xyz"}, {4, "hvc1"}}),
            (Buf{'a', 'a', 'a', 'a', 'h', 'v', 'c', '1'}));
}

TEST(RetagPatch, OffsetsNearTheTopOfTheRangeDoNotWrap) {
  const std::uint64_t top = UINT64_MAX - 2;
  auto block = MGMakeBytes(Buf{'a', 'b'});
  EXPECT_EQ(*MGApplySampleEntryRetags(block, top, {{top - 1, "hvc1"}}), (Buf{'v', 'c'}));
  EXPECT_EQ(*MGApplySampleEntryRetags(block, 0, {{UINT64_MAX - 1, "hvc1"}}), (Buf{'a', 'b'}));
}

TEST(RetagWalk, SiblingWalkStopsAtTheFirstMalformedBox) {
  Buf buf = Cat(
      {Box("aaaa", Buf(2, 0)), Box("bbbb", {}, true), Buf{0, 0, 0, 4, 'c', 'c', 'c', 'c'}, Box("dddd", {})});
  std::vector<std::string> seen;
  MGWalkBoxes(buf, 0, buf.size(), [&](const std::uint8_t* t, std::size_t payload, std::size_t end) {
    seen.emplace_back(reinterpret_cast<const char*>(t), 4);
    EXPECT_LE(payload, end);
  });
  EXPECT_EQ(seen, (std::vector<std::string>{"aaaa", "bbbb"}));
  EXPECT_EQ(MGReadU64(Buf{1, 2, 3, 4, 5, 6, 7, 8}.data()), 0x0102030405060708ull);
}

}  // namespace
}  // namespace kf
