// MGRangeAssetLoader: serves a movie's bytes to the media engine from a range
// service (Larder's, or the local file service), in reads of at most 512 KiB,
// patched with the sample-entry retag table.
//
// Ownership: made by MGPrepareRangeAssetForURL (or directly) through
// create(); shared by the open movie and the media engine's stream adapter.
// It owns its service and, for Larder, the connection behind it.
//
// Threads:
// - The loader queue (one serial thread per loader) runs all request
//   bookkeeping and every MGLoadingRequest handler: bytes are handed over,
//   and requests completed, on the loader queue.
// - shouldWaitForLoadingOfRequestedResource and didCancelLoadingRequest may
//   be called from any thread; their work is queued onto the loader queue.
//   They never block.
// - readOffset, readOperationFinished, invalidateWithError, retags and
//   setRetags may be called from any thread. Service replies arrive on any
//   thread; truncation and patching run there, the bookkeeping then moves to
//   the loader queue.
// - No lock is held while a completion or a handler runs.
//
// Guarantees: every read's completion runs exactly once, whether the read
// succeeds, fails, is cancelled or is overtaken by the invalidation. Every
// data request is either completed exactly once or cancelled by its
// requester. After invalidateWithError the loader is terminal: pending and
// later data requests fail with the terminal error (the first error wins);
// content information is still answered. Destroying the loader invalidates
// it (error 4) and its connection.
//
// Errors (domain "com.marrowgate.kerfline.range"): 1 offset past the file
// size; 2 reply without data and error; 3 the service threw while the read
// was sent; 4 invalidated without an error; 5 empty data before the
// requested range was complete; the service's own errors pass through;
// cancelled reads finish with "Range read cancelled" (NSCocoaErrorDomain,
// 3072).
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>

#include "base/Error.h"
#include "source/MGLoadingRequest.h"
#include "source/MGRangeService.h"
#include "source/MGSampleEntryRetag.h"
#include "source/MGSerialQueue.h"

namespace kf {

inline constexpr std::uint64_t kRangeLoaderChunkBytes = 524288;  // 512 KiB

// The inter-process connection behind a remote service; the loader
// invalidates it when it ends. invalidate() may be called from any thread,
// more than once.
class MGRangeConnection {
 public:
  virtual ~MGRangeConnection() = default;
  virtual void invalidate() = 0;
};

class MGRangeAssetLoader;

// One read issued to the service. Finishes exactly once.
class MGRangeReadOperation : public std::enable_shared_from_this<MGRangeReadOperation> {
 public:
  using Completion = std::function<void(MGBytes data, std::optional<kf::Error> error)>;

  MGRangeReadOperation(std::weak_ptr<MGRangeAssetLoader> owner, Completion completion);

  // The single completion path: the first call runs the completion (outside
  // any lock) and tells the owner; later calls do nothing. Any thread.
  void finishWithData(MGBytes data, std::optional<kf::Error> error);
  // Finishes with no data and "Range read cancelled".
  void cancel();
  bool isFinished() const;

  // The retag table the read applies: the loader's table when it was sent.
  std::shared_ptr<const MGRetagTable> ownerRetags() const;
  void setOwnerRetags(std::shared_ptr<const MGRetagTable> retags);

 private:
  std::weak_ptr<MGRangeAssetLoader> owner_;
  mutable std::mutex mu_;  // guards finished_, completion_ and ownerRetags_
  bool finished_ = false;
  Completion completion_;
  std::shared_ptr<const MGRetagTable> ownerRetags_;
};

class MGRangeAssetLoader : public std::enable_shared_from_this<MGRangeAssetLoader> {
 public:
  // `sourceURL` is the URL the user opened (its extension picks the content
  // type). `connection` may be null (local file service).
  static std::shared_ptr<MGRangeAssetLoader> create(std::shared_ptr<MGRangeServiceProtocol> service,
                                                    std::uint64_t fileSize, std::string sourceURL,
                                                    std::shared_ptr<MGRangeConnection> connection);
  ~MGRangeAssetLoader();
  MGRangeAssetLoader(const MGRangeAssetLoader&) = delete;
  MGRangeAssetLoader& operator=(const MGRangeAssetLoader&) = delete;

  std::uint64_t fileSize() const { return fileSize_; }
  // A uniform type identifier: "public.mpeg-4" (mp4, m4v),
  // "com.apple.quicktime-movie" (mov), another known movie type, or
  // "public.movie".
  const std::string& contentType() const { return contentType_; }
  const std::string& sourceURL() const { return sourceURL_; }
  bool isByteRangeAccessSupported() const { return true; }

  MGRetagTable retags() const;
  // Set before the first request; each read uses the table current when it
  // is sent.
  void setRetags(MGRetagTable retags);

  // Reads at most min(length, 512 KiB) bytes at `offset` from the service,
  // patched. The completion runs exactly once, on any thread (synchronously
  // when the answer is known at once: terminal error, offset past the end,
  // zero length, or a service that replies at once).
  std::shared_ptr<MGRangeReadOperation> readOffset(std::uint64_t offset, std::uint64_t length,
                                                   MGRangeReadOperation::Completion completion);
  void readOperationFinished(MGRangeReadOperation* operation);

  // Ends the loader for good with `error`, or error 4 when none. Only the
  // first call counts. Any thread; does not wait for the loader queue.
  void invalidateWithError(std::optional<kf::Error> error = std::nullopt);
  std::optional<kf::Error> terminalError() const;

  // Takes a request of the media engine. Returns true (the loader always
  // answers asynchronously). Any thread.
  bool shouldWaitForLoadingOfRequestedResource(std::shared_ptr<MGLoadingRequest> request);
  // The requester gave up on `request`: it is forgotten and its read in
  // flight cancelled; it is not completed. Any thread. MGLoadingRequest::
  // cancel calls this.
  void didCancelLoadingRequest(std::shared_ptr<MGLoadingRequest> request);

  MGSerialQueue& loaderQueue() { return queue_; }
  // Number of reads issued and not finished (for tests and diagnostics).
  std::size_t outstandingReadCount() const;

 private:
  MGRangeAssetLoader(std::shared_ptr<MGRangeServiceProtocol> service, std::uint64_t fileSize,
                     std::string sourceURL, std::shared_ptr<MGRangeConnection> connection);

  // Loader queue only.
  void answerRequest(const std::shared_ptr<MGLoadingRequest>& request);
  void continueLoadingRequest(const std::shared_ptr<MGLoadingRequest>& request);
  void finishLoadingRequest(const std::shared_ptr<MGLoadingRequest>& request, std::optional<kf::Error> error);
  void cancelLoadingRequest(const std::shared_ptr<MGLoadingRequest>& request);
  void chunkArrived(const std::shared_ptr<MGLoadingRequest>& request, MGRangeReadOperation* operation,
                    MGBytes data, std::optional<kf::Error> error);
  void failAllRequests(const kf::Error& error);

  const std::shared_ptr<MGRangeServiceProtocol> service_;
  const std::uint64_t fileSize_;
  const std::string sourceURL_;
  const std::string contentType_;

  mutable std::mutex mu_;  // guards readOperations_, incoming_, terminalError_, retags_ and connection_
  std::set<std::shared_ptr<MGRangeReadOperation>> readOperations_;
  // Requests taken but not yet looked at by the loader queue; the destructor
  // completes them when the queue stops before reaching them.
  std::map<MGLoadingRequest*, std::shared_ptr<MGLoadingRequest>> incoming_;
  std::optional<kf::Error> terminalError_;
  std::shared_ptr<const MGRetagTable> retags_;
  std::shared_ptr<MGRangeConnection> connection_;

  // Loader queue only.
  std::map<MGLoadingRequest*, std::shared_ptr<MGLoadingRequest>> loadingRequests_;
  std::map<MGLoadingRequest*, std::shared_ptr<MGRangeReadOperation>> loadingOperations_;

  // Declared last: destroyed first, so no queued task outlives the fields.
  MGSerialQueue queue_;
};

// The content type the loader reports for a path or URL with this extension.
std::string MGContentTypeForExtension(std::string_view extension);

// A blocking front end for media-engine adapters whose read callback is
// synchronous (libmpv's stream read, FFmpeg's AVIOContext read_packet).
//
// Threads: read() blocks the calling thread, which must not be the loader
// queue. cancel() may be called from any thread, also while read() blocks:
// the blocked read and every later one return the cancellation error at once
// (libmpv's cancel callback; FFmpeg's interrupt callback can call it too).
// Destroying the reader cancels its request in flight. One read at a time.
class MGBlockingRangeReader {
 public:
  explicit MGBlockingRangeReader(std::shared_ptr<MGRangeAssetLoader> loader);
  ~MGBlockingRangeReader();
  MGBlockingRangeReader(const MGBlockingRangeReader&) = delete;
  MGBlockingRangeReader& operator=(const MGBlockingRangeReader&) = delete;

  std::uint64_t size() const;
  // Reads [offset, offset + size) clipped to the file size into `dst`:
  // returns the byte count (0 at or past the end of the file), or the error
  // when nothing was read. Bytes handed over before an error are returned
  // (the next read, from the following offset, meets the error again).
  kf::Result<std::size_t> read(std::uint64_t offset, void* dst, std::size_t size);
  void cancel();
  bool isCancelled() const;
  // Clears a cancellation (e.g. before reopening after a seek in FFmpeg).
  void resetCancel();

 private:
  struct Pending;
  std::shared_ptr<MGRangeAssetLoader> loader_;
  mutable std::mutex mu_;  // guards cancelled_ and pending_
  bool cancelled_ = false;
  std::shared_ptr<Pending> pending_;
};

}  // namespace kf
