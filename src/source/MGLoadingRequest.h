// One loading request of a media engine to the range loader: what the
// player asks for (the content information, a byte range, or both) and the
// channel through which the loader answers.
//
// A requester (the libmpv stream adapter, the FFmpeg AVIOContext adapter, a
// test) makes a request with MGLoadingRequest::make, hands it to
// MGRangeAssetLoader::shouldWaitForLoadingOfRequestedResource, and either
// waits for its finish handler or cancels it. MGBlockingRangeReader wraps
// all of that into a blocking read(offset, size).
//
// Threads and guarantees:
// - The loader touches the request only on its loader queue; the handlers
//   (onData, onFinish) therefore run on the loader queue. They must return
//   quickly: copy the bytes and signal, never block on other loader work
//   (never call MGBlockingRangeReader::read from a handler).
// - onData receives every handed-over block in file order, without gaps,
//   starting at max(requestedOffset, currentOffset).
// - onFinish runs at most once: when the loader completes the request, with
//   or without an error. It never runs after cancel() has returned, and
//   neither does onData: cancel() waits for a handler that is running on
//   another thread (a handler may cancel its own request without deadlock).
// - A cancelled request is never completed by the loader; its requester
//   knows it ended.
// - The content information is filled in before onFinish (or before the
//   first onData); read it from the handlers or after onFinish.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "base/Error.h"
#include "source/MGRangeService.h"

namespace kf {

class MGRangeAssetLoader;

class MGLoadingRequest : public std::enable_shared_from_this<MGLoadingRequest> {
 public:
  // The content-information part: allowed types in; type, length and range
  // support out.
  struct ContentInformationRequest {
    std::vector<std::string> allowedContentTypes;  // in; empty: any type
    std::string contentType;                       // out (a type identifier)
    std::uint64_t contentLength = 0;               // out
    bool byteRangeAccessSupported = false;         // out
  };
  // The data part. Negative offsets and lengths count as 0.
  struct DataRequest {
    std::int64_t requestedOffset = 0;
    std::int64_t requestedLength = 0;
    bool requestsAllDataToEndOfResource = false;  // ignore requestedLength, read to the end
    std::int64_t currentOffset = 0;               // advanced by every handed-over block
  };
  struct Handlers {
    std::function<void(const MGBytes& bytes)> onData;
    std::function<void(std::optional<kf::Error> error)> onFinish;
  };

  static std::shared_ptr<MGLoadingRequest> make(std::optional<ContentInformationRequest> info,
                                                std::optional<DataRequest> data, Handlers handlers);

  // Requester side, any thread. Marks the request cancelled (no handler runs
  // after this returns) and tells `loader`, which forgets the request and
  // cancels its read in flight. Idempotent. `loader` may be null when the
  // request was never handed to one.
  void cancel(const std::shared_ptr<MGRangeAssetLoader>& loader);
  bool isCancelled() const;
  bool isFinished() const;
  // Snapshots, any thread.
  std::optional<ContentInformationRequest> contentInformation() const;
  std::optional<DataRequest> data() const;

  // Loader side: loader queue only.
  ContentInformationRequest* contentInformationRequest() { return info_ ? &*info_ : nullptr; }
  DataRequest* dataRequest() { return data_ ? &*data_ : nullptr; }
  void setContentInformation(const ContentInformationRequest& info);
  // Hands bytes to the requester and advances currentOffset. Ignored once
  // finished or cancelled.
  void respondWithData(const MGBytes& bytes);
  void finishLoading();
  void finishLoadingWithError(kf::Error error);

 private:
  MGLoadingRequest(std::optional<ContentInformationRequest> info, std::optional<DataRequest> data,
                   Handlers handlers);
  void finish(std::optional<kf::Error> error);

  // Guards every field below and is held while a handler runs, so that
  // cancel() can wait for a running handler. Recursive: a handler may cancel
  // its own request.
  mutable std::recursive_mutex mu_;
  std::optional<ContentInformationRequest> info_;
  std::optional<DataRequest> data_;
  Handlers handlers_;
  bool finished_ = false;
  bool cancelled_ = false;
};

}  // namespace kf
