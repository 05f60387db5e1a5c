// The client side of a connection to Larder's range service: a Unix domain
// socket speaking the frames of MGLarderWire.h.
//
// The object is both the remote service (MGRangeServiceProtocol: several
// requests may be in flight) and the connection (MGRangeConnection), so a
// range loader can own it in both roles.
//
// Lifecycle: connect() opens the socket and completes the hello exchange
// (blocking, bounded by a timeout). The owner then installs its handlers and
// calls resume(), which starts the reader thread. The connection ends once:
// when the socket drops (the peer closed, an I/O error, a protocol
// violation) or when invalidate() is called. Then every pending request and
// every later one is answered with error 6 "The Larder range service
// disconnected".
//
// Threads: requests, invalidate() and destruction may come from any thread.
// Replies and handlers run on the reader thread (replies to requests made
// after the end run on the requesting thread, before the request returns).
// On a drop, the interruption handler runs before the pending replies fail,
// and the invalidation handler after them; on invalidate() only the
// invalidation handler runs. Each handler runs at most once. Destroying the
// object invalidates it and waits for the reader thread (unless destroyed
// from that thread).
#pragma once

#include <functional>
#include <memory>
#include <string>

#include "base/Error.h"
#include "source/MGRangeAssetLoader.h"
#include "source/MGRangeService.h"

namespace kf {

class MGLarderConnection final : public MGRangeServiceProtocol, public MGRangeConnection {
 public:
  // Connects to the service at `socketPath`, asking for `serviceName` and
  // the item `itemIdentifier`. Blocks for at most `timeoutSeconds`. Errors:
  // the service's refusal as it sent it, a POSIX error when the socket
  // cannot be reached, or error 6 when it drops during the exchange.
  static kf::Result<std::shared_ptr<MGLarderConnection>> connect(const std::string& socketPath,
                                                                 const std::string& serviceName,
                                                                 const std::string& itemIdentifier,
                                                                 double timeoutSeconds = 10.0);
  ~MGLarderConnection() override;

  // Set before resume().
  void setInterruptionHandler(std::function<void()> handler);
  void setInvalidationHandler(std::function<void()> handler);
  void resume();

  void invalidate() override;
  bool isEnded() const;

  void fileSizeWithReply(SizeReply reply) override;
  void readOffset(std::uint64_t offset, std::uint64_t length, ReadReply reply) override;

  struct Impl;

 private:
  explicit MGLarderConnection(std::shared_ptr<Impl> impl) : impl_(std::move(impl)) {}
  std::shared_ptr<Impl> impl_;
};

}  // namespace kf
