// The range-service protocol: an object that tells a movie's total size and
// returns any byte range of it on request.
//
// Two kinds of object implement it: MGFileRangeService (a local file, served
// by this process) and MGLarderRangeService (Larder's service, reached over a
// Unix domain socket). The range loader and the retag scan speak to both
// through this interface only.
//
// Threads: both operations may be called from any thread and answer through
// their reply exactly once. The reply may run on any thread, including
// synchronously on the calling thread before the call returns; callers that
// need a particular thread re-dispatch. A reply may call into the service
// again (the retag scan issues its next read from the previous reply).
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <vector>

#include "base/Error.h"

namespace kf {

// An immutable block of bytes. A null pointer means "no data", which is not
// the same as an empty block: empty data without an error is end of file.
using MGBytes = std::shared_ptr<const std::vector<std::uint8_t>>;

inline MGBytes MGMakeBytes(std::vector<std::uint8_t> v) {
  return std::make_shared<const std::vector<std::uint8_t>>(std::move(v));
}

class MGRangeServiceProtocol {
 public:
  // size: total byte count; error set when the size is unknown.
  using SizeReply = std::function<void(std::uint64_t size, std::optional<kf::Error> error)>;
  // data: the bytes read (may be fewer than asked, empty at end of file, or
  // null); error: set on failure. A reply may carry both.
  using ReadReply = std::function<void(MGBytes data, std::optional<kf::Error> error)>;

  virtual ~MGRangeServiceProtocol() = default;

  virtual void fileSizeWithReply(SizeReply reply) = 0;
  // Bytes starting exactly at `offset`, at most `length` of them. Fewer than
  // asked are allowed (the caller asks again for the rest).
  virtual void readOffset(std::uint64_t offset, std::uint64_t length, ReadReply reply) = 0;
};

}  // namespace kf
