#include "platform/ffmpeg/RangeAvio.h"

#include "platform/ffmpeg/FfmpegUtil.h"
#include "source/MGRangeAssetLoader.h"
#include "source/MGRangeError.h"

namespace kf::ff {
namespace {
constexpr int kBufferBytes = 64 * 1024;

bool isCancellation(const Error& e) {
  return e.domain == kCancelledErrorDomain && e.code == kUserCancelledErrorCode;
}
}  // namespace

RangeAvio::RangeAvio(std::shared_ptr<MGRangeAssetLoader> loader)
    : reader_(std::make_unique<MGBlockingRangeReader>(std::move(loader))) {
  auto* buffer = static_cast<unsigned char*>(av_malloc(kBufferBytes));
  ctx_ = avio_alloc_context(buffer, kBufferBytes, 0, this, &RangeAvio::readPacket, nullptr, &RangeAvio::seek);
  if (!ctx_) av_free(buffer);
}

RangeAvio::~RangeAvio() {
  reader_->cancel();
  if (ctx_) {
    av_freep(&ctx_->buffer);
    avio_context_free(&ctx_);
  }
}

void RangeAvio::cancel() { reader_->cancel(); }

std::optional<Error> RangeAvio::readError() const {
  std::lock_guard<std::mutex> lock(mu_);
  return error_;
}

int RangeAvio::readPacket(void* opaque, std::uint8_t* buf, int size) {
  auto* self = static_cast<RangeAvio*>(opaque);
  auto got = self->reader_->read(static_cast<std::uint64_t>(self->position_), buf, static_cast<std::size_t>(size));
  if (!got) {
    if (!isCancellation(got.error())) {
      std::lock_guard<std::mutex> lock(self->mu_);
      if (!self->error_) self->error_ = got.error();
      return AVERROR(EIO);
    }
    return AVERROR_EXIT;
  }
  if (*got == 0) return AVERROR_EOF;
  if (self->tap_) self->tap_(static_cast<std::uint64_t>(self->position_), buf, *got);
  self->position_ += static_cast<std::int64_t>(*got);
  return static_cast<int>(*got);
}

std::int64_t RangeAvio::seek(void* opaque, std::int64_t offset, int whence) {
  auto* self = static_cast<RangeAvio*>(opaque);
  // The size comes from the service: anything that does not fit a file
  // offset is not a size.
  const std::uint64_t reported = self->reader_->size();
  if (reported > static_cast<std::uint64_t>(INT64_MAX)) return AVERROR(EINVAL);
  const auto size = static_cast<std::int64_t>(reported);
  std::int64_t base = 0;
  switch (whence & ~AVSEEK_FORCE) {
    case AVSEEK_SIZE: return size;
    case SEEK_SET: break;
    case SEEK_CUR: base = self->position_; break;
    case SEEK_END: base = size; break;
    default: return AVERROR(EINVAL);
  }
  std::int64_t target = 0;
  if (__builtin_add_overflow(base, offset, &target) || target < 0) return AVERROR(EINVAL);
  self->position_ = target;
  return target;
}

}  // namespace kf::ff
