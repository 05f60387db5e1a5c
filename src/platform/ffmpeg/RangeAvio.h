// An FFmpeg AVIOContext that reads a served movie through its range loader,
// so libavformat can probe and demux a "kerfline-range" asset exactly as
// the player sees it (retag patches included).
//
// Threads: the context is used by one thread at a time (the one running
// libavformat); cancel() may be called from any thread and makes the
// blocked read and all later reads fail at once.
// Errors: a failed read returns AVERROR(EIO) to FFmpeg and keeps the
// loader's error, available from readError(), so callers can report the
// loader's error instead of FFmpeg's generic one. A cancelled read is not
// recorded as a failure.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>

#include "base/Error.h"

struct AVIOContext;

namespace kf {
class MGRangeAssetLoader;
class MGBlockingRangeReader;
}  // namespace kf

namespace kf::ff {

class RangeAvio {
 public:
  explicit RangeAvio(std::shared_ptr<MGRangeAssetLoader> loader);
  ~RangeAvio();
  RangeAvio(const RangeAvio&) = delete;
  RangeAvio& operator=(const RangeAvio&) = delete;

  // Owned by this object; set it as AVFormatContext::pb together with
  // AVFMT_FLAG_CUSTOM_IO, and close the format context before this dies.
  AVIOContext* context() const { return ctx_; }
  void cancel();
  std::optional<Error> readError() const;
  // Sees every block read, with its file offset, on the reading thread
  // (e.g. to keep the bytes an opening reads); null: none.
  using Tap = std::function<void(std::uint64_t offset, const std::uint8_t* data, std::size_t size)>;
  void setTap(Tap tap) { tap_ = std::move(tap); }

 private:
  static int readPacket(void* opaque, std::uint8_t* buf, int size);
  static std::int64_t seek(void* opaque, std::int64_t offset, int whence);

  std::unique_ptr<MGBlockingRangeReader> reader_;
  std::int64_t position_ = 0;  // reading thread only
  Tap tap_;                    // reading thread only
  AVIOContext* ctx_ = nullptr;
  mutable std::mutex mu_;  // guards error_
  std::optional<Error> error_;
};

}  // namespace kf::ff
