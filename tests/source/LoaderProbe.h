// Drives MGRangeAssetLoader the way a media engine does: makes loading
// requests and records what the loader hands back.
#pragma once

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <ostream>

#include "source/MGRangeAssetLoader.h"

namespace kf {
inline std::ostream& operator<<(std::ostream& os, const Error& e) {
  return os << e.domain << " " << e.code << " \"" << e.message << "\"";
}
}  // namespace kf

namespace kf::test {

struct Probe {
  std::mutex mu;  // guards everything below
  std::condition_variable cv;
  std::vector<std::uint8_t> bytes;
  int blocks = 0;
  int finishes = 0;
  std::optional<kf::Error> error;
  std::shared_ptr<MGLoadingRequest> request;

  MGLoadingRequest::Handlers handlers() {
    MGLoadingRequest::Handlers h;
    h.onData = [this](const MGBytes& b) {
      std::lock_guard<std::mutex> lock(mu);
      bytes.insert(bytes.end(), b->begin(), b->end());
      ++blocks;
    };
    h.onFinish = [this](std::optional<kf::Error> e) {
      std::lock_guard<std::mutex> lock(mu);
      ++finishes;
      error = std::move(e);
      cv.notify_all();
    };
    return h;
  }

  void start(const std::shared_ptr<MGRangeAssetLoader>& loader, std::int64_t offset, std::int64_t length,
             bool toEnd = false) {
    MGLoadingRequest::DataRequest d;
    d.requestedOffset = offset;
    d.currentOffset = offset;
    d.requestedLength = length;
    d.requestsAllDataToEndOfResource = toEnd;
    request = MGLoadingRequest::make(std::nullopt, d, handlers());
    loader->shouldWaitForLoadingOfRequestedResource(request);
  }

  bool waitFinished(double seconds = 10) {
    std::unique_lock<std::mutex> lock(mu);
    return cv.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return finishes > 0; });
  }
  int finishCount() {
    std::lock_guard<std::mutex> lock(mu);
    return finishes;
  }
};

// Waits until the loader queue has run everything queued so far.
inline void Drain(const std::shared_ptr<MGRangeAssetLoader>& loader) {
  loader->loaderQueue().sync([] {});
}

}  // namespace kf::test
