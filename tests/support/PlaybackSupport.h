// Helpers shared by the asset, player and export tests: a movie served
// through the range loader as the app serves it, and seeking the player and
// reading the frame number on screen.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <mutex>
#include <utility>
#include <vector>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "base/ManualScheduler.h"
#include "platform/MediaPorts.h"
#include "platform/ffmpeg/FrameCode.h"
#include "source/MGFileRangeService.h"
#include "source/MGRangeAssetLoader.h"
#include "source/MGSampleEntryRetag.h"

namespace kf::testsupport {

// A loader over the file at `path` (or over `service`), with the retag table
// the scan of the file finds.
inline std::shared_ptr<MGRangeAssetLoader> ServedLoader(const std::string& path,
                                                        std::shared_ptr<MGRangeServiceProtocol> service = nullptr) {
  auto file = MGFileRangeService::create(path);
  const auto size = file->size();
  if (!service) service = file;
  auto loader = MGRangeAssetLoader::create(service, size, path, nullptr);
  std::atomic<bool> done{false};
  MGScanSampleEntryRetags(file, size, "mp4", [&](MGRetagTable t) {
    loader->setRetags(std::move(t));
    done = true;
  });
  while (!done) std::this_thread::yield();
  return loader;
}

// A local file as a range service that counts how often each byte was read
// from it (the preparation opens it through MGPreparationOptions::openFile).
class CountingFileService final : public MGRangeServiceProtocol {
 public:
  explicit CountingFileService(const std::string& path) : file_(MGFileRangeService::create(path)) {
    counts_.assign(file_ ? file_->size() : 0, 0);
  }
  void fileSizeWithReply(SizeReply reply) override { file_->fileSizeWithReply(std::move(reply)); }
  void readOffset(std::uint64_t offset, std::uint64_t length, ReadReply reply) override {
    file_->readOffset(offset, length, [this, offset, reply = std::move(reply)](MGBytes data, std::optional<Error> e) {
      if (data) {
        std::lock_guard<std::mutex> lock(mu_);
        for (std::uint64_t i = offset; i < offset + data->size() && i < counts_.size(); ++i) ++counts_[i];
      }
      reply(std::move(data), std::move(e));
    });
  }
  // How often each byte of [offset, offset + length) was read: the smallest
  // and the largest count.
  std::pair<int, int> timesRead(std::uint64_t offset, std::uint64_t length) const {
    std::lock_guard<std::mutex> lock(mu_);
    int lo = INT32_MAX, hi = 0;
    for (std::uint64_t i = offset; i < offset + length && i < counts_.size(); ++i) {
      lo = std::min(lo, counts_[i]);
      hi = std::max(hi, counts_[i]);
    }
    return {lo, hi};
  }

 private:
  std::shared_ptr<MGFileRangeService> file_;
  mutable std::mutex mu_;
  std::vector<int> counts_;
};

// Where the first top-level "moov" box of an MP4 file lies: offset and
// size; {0, 0} when there is none.
inline std::pair<std::uint64_t, std::uint64_t> MovieBoxOf(const std::string& path) {
  auto file = MGFileRangeService::create(path);
  std::uint64_t at = 0;
  while (file && at + 8 <= file->size()) {
    std::vector<std::uint8_t> head;
    file->readOffset(at, 16, [&](MGBytes d, std::optional<Error>) { head = d ? *d : head; });
    if (head.size() < 8) break;
    std::uint64_t size = MGReadU32(head.data());
    if (size == 1 && head.size() >= 16) size = MGReadU64(head.data() + 8);
    if (size == 0) size = file->size() - at;
    if (size < 8) break;
    if (std::string(head.begin() + 4, head.begin() + 8) == "moov") return {at, size};
    at += size;
  }
  return {0, 0};
}

// Seeks and waits for the completion; returns its finished flag.
inline bool SeekAndWait(media::Player& player, ManualScheduler& sched, double t, double tolerance = 0) {
  std::optional<bool> done;
  player.seekToTime(t, tolerance, tolerance, [&](bool f) { done = f; });
  EXPECT_TRUE(sched.runUntil([&] { return done.has_value(); }, 20)) << "seek to " << t;
  return done.value_or(false);
}

// The frame number shown: -2 with no picture, -1 when unreadable.
inline int ShownFrame(media::Player& player) {
  auto f = player.copyDisplayedFrame();
  if (!f) return -2;
  return testmovies::readFrameCode(f->bgra.data(), f->width, f->height, f->stride, testmovies::PixelLayout::BGRA)
      .value_or(-1);
}

}  // namespace kf::testsupport
