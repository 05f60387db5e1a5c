// A movie header of 100,000 nested containers is scanned in well under a
// second. Timed, hence labelled slow and kept out of the default run.
#include <gtest/gtest.h>

#include <chrono>

#include "Mp4Fixture.h"
#include "source/MGSampleEntryRetag.h"

namespace kf {
namespace {

TEST(RetagScanTiming, HundredThousandNestedContainersUnderASecond) {
  const int depth = 100000;
  test::Buf leaf = test::Stsd({test::SampleEntry("hev1")});
  std::size_t total = leaf.size() + 8ull * depth;
  test::Buf file = test::Ftyp();
  test::PutU32(file, static_cast<std::uint32_t>(total + 8));
  file.insert(file.end(), {'m', 'o', 'o', 'v'});
  static const char* kinds[] = {"trak", "mdia", "minf", "stbl"};
  for (int i = 0; i < depth; ++i) {
    test::PutU32(file, static_cast<std::uint32_t>(total - 8ull * i));
    file.insert(file.end(), kinds[i % 4], kinds[i % 4] + 4);
  }
  file.insert(file.end(), leaf.begin(), leaf.end());
  MGRangeReader reader = [&](std::uint64_t off, std::uint64_t len, MGRangeServiceProtocol::ReadReply reply) {
    reply(MGMakeBytes(test::Buf(file.begin() + off, file.begin() + off + len)), std::nullopt);
  };
  auto t0 = std::chrono::steady_clock::now();
  MGRetagTable table;
  MGScanSampleEntryRetagsWithReader(reader, file.size(), "mp4",
                                    [&](MGRetagTable t) { table = std::move(t); });
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - t0).count();
  EXPECT_EQ(table.size(), 1u);
  EXPECT_LT(seconds, 1.0);
  RecordProperty("seconds", std::to_string(seconds));
}

}  // namespace
}  // namespace kf
