// What an opening read is kept and handed out again: pieces by offset with
// gaps, overlaps and a limit, and the service that answers from them and
// asks its source only for bytes it does not hold.
#include <gtest/gtest.h>

#include <numeric>

#include "MemoryService.h"
#include "source/MGByteCapture.h"

namespace {

std::vector<std::uint8_t> Pattern(std::size_t n) {
  std::vector<std::uint8_t> v(n);
  for (std::size_t i = 0; i < n; ++i) v[i] = static_cast<std::uint8_t>(i * 7 + 3);
  return v;
}

// Reads [offset, offset + length) through `service` as a loader does: asks
// again after every shorter reply.
std::vector<std::uint8_t> ReadAll(kf::MGRangeServiceProtocol& service, std::uint64_t offset,
                                  std::uint64_t length) {
  std::vector<std::uint8_t> out;
  while (out.size() < length) {
    kf::MGBytes got;
    service.readOffset(offset + out.size(), length - out.size(),
                       [&](kf::MGBytes d, std::optional<kf::Error>) { got = std::move(d); });
    if (!got || got->empty()) break;
    out.insert(out.end(), got->begin(), got->end());
  }
  return out;
}

}  // namespace

TEST(ByteCapture, KeepsPiecesByOffsetFirstValueWinsAndStopsAtTheLimitOrSeal) {
  const auto file = Pattern(1000);
  kf::MGByteCapture c(600);
  c.add(100, file.data() + 100, 100);  // [100, 200)
  c.add(300, file.data() + 300, 50);   // [300, 350)
  // Overlapping both and the gap between: only the gap is new, and a byte
  // held keeps its first value.
  std::vector<std::uint8_t> other(400, 0xEE);
  c.add(150, other.data(), 250);  // [150, 400)
  EXPECT_EQ(c.bytesHeld(), 100u + 50u + 100u + 50u);
  auto all = c.read(100, 300);
  ASSERT_TRUE(all);
  for (std::size_t i = 0; i < 300; ++i) {
    const std::size_t at = 100 + i;
    const bool first = at < 200 || (at >= 300 && at < 350);
    ASSERT_EQ((*all)[i], first ? file[at] : 0xEE) << at;
  }
  // A gap anywhere gives nothing; copy stops at it.
  EXPECT_FALSE(c.read(50, 100));
  EXPECT_FALSE(c.read(390, 20));
  std::vector<std::uint8_t> buf(100);
  EXPECT_EQ(c.copy(350, buf.data(), 100), 50u);
  EXPECT_EQ(c.copy(99, buf.data(), 10), 0u);
  EXPECT_EQ(c.nextHeld(0), 100u);
  EXPECT_EQ(c.nextHeld(120), 120u);
  EXPECT_EQ(c.nextHeld(400), UINT64_MAX);
  // The limit (600 bytes) cuts a long piece short.
  c.add(500, file.data() + 500, 500);
  EXPECT_EQ(c.bytesHeld(), 600u);
  EXPECT_EQ(c.copy(500, buf.data(), 100), 100u);
  EXPECT_EQ(c.nextHeld(801), UINT64_MAX);
  // Sealed: nothing more is kept, lookups still answer.
  kf::MGByteCapture s;
  s.add(0, file.data(), 10);
  s.seal();
  s.add(10, file.data() + 10, 10);
  EXPECT_EQ(s.bytesHeld(), 10u);
  EXPECT_TRUE(s.read(0, 10));
}

TEST(ByteCapture, ServiceReadsEachByteFromItsSourceOnceAndAnswersTheRestFromMemory) {
  const auto file = Pattern(5000);
  auto memory = std::make_shared<kf::test::MemoryService>(file);
  kf::MGCapturingRangeService service(memory, std::make_shared<kf::MGByteCapture>());
  // A scan's reads: headers and a box.
  EXPECT_EQ(ReadAll(service, 0, 16), std::vector<std::uint8_t>(file.begin(), file.begin() + 16));
  EXPECT_EQ(ReadAll(service, 3000, 1000),
            std::vector<std::uint8_t>(file.begin() + 3000, file.begin() + 4000));
  const std::uint64_t asked = memory->bytesAsked;
  EXPECT_EQ(asked, 1016u);
  // A reader of the whole file gets every byte right, and the source is asked
  // only for the 3984 it has not given yet.
  EXPECT_EQ(ReadAll(service, 0, 5000), file);
  EXPECT_EQ(memory->bytesAsked.load(), 5000u);
  // All of it is in memory now: nothing more reaches the source.
  service.capture()->seal();
  EXPECT_EQ(ReadAll(service, 1234, 2000),
            std::vector<std::uint8_t>(file.begin() + 1234, file.begin() + 3234));
  EXPECT_EQ(memory->bytesAsked.load(), 5000u);
  // After sealing, bytes read from the source are not kept.
  kf::MGCapturingRangeService sealed(memory, std::make_shared<kf::MGByteCapture>());
  sealed.capture()->seal();
  ReadAll(sealed, 0, 100);
  ReadAll(sealed, 0, 100);
  EXPECT_EQ(memory->bytesAsked.load(), 5200u);
}
