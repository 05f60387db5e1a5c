#include "platform/ffmpeg/RangeAvio.h"

#include <gtest/gtest.h>

#include <cstdint>

#include "source/MGRangeAssetLoader.h"

extern "C" {
#include <libavformat/avio.h>
}

namespace kf {
namespace {

// A service that states whatever size it is told and serves zero bytes.
class SizeService : public MGRangeServiceProtocol {
 public:
  explicit SizeService(std::uint64_t size) : size_(size) {}
  void fileSizeWithReply(SizeReply reply) override { reply(size_, std::nullopt); }
  void readOffset(std::uint64_t, std::uint64_t length, ReadReply reply) override {
    reply(MGMakeBytes(std::vector<std::uint8_t>(static_cast<std::size_t>(std::min<std::uint64_t>(length, 64)), 0)),
          std::nullopt);
  }

 private:
  std::uint64_t size_;
};

TEST(RangeAvio, SizesAndOffsetsBeyondSignedRangeAreRefusedWithoutOverflow) {
  for (std::uint64_t size : {std::uint64_t{1} << 63, std::uint64_t{UINT64_MAX}}) {
    auto service = std::make_shared<SizeService>(size);
    auto loader = MGRangeAssetLoader::create(service, size, "kerfline-range://file/x.mp4", nullptr);
    ff::RangeAvio avio(loader);
    ASSERT_NE(avio.context(), nullptr);
    EXPECT_LT(avio_size(avio.context()), 0);
    loader->invalidateWithError(std::nullopt);
  }
  // A plausible size: seeking works, and sums past the largest offset fail.
  const std::uint64_t size = 1000;
  auto service = std::make_shared<SizeService>(size);
  auto loader = MGRangeAssetLoader::create(service, size, "kerfline-range://file/x.mp4", nullptr);
  ff::RangeAvio avio(loader);
  EXPECT_EQ(avio_size(avio.context()), 1000);
  EXPECT_EQ(avio_seek(avio.context(), 990, SEEK_SET), 990);
  std::uint8_t buf[4];
  EXPECT_EQ(avio_read(avio.context(), buf, 4), 4);
  EXPECT_LT(avio_seek(avio.context(), -2000, SEEK_CUR), 0);
  loader->invalidateWithError(std::nullopt);
}

}  // namespace
}  // namespace kf
