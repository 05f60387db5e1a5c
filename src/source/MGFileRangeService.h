// MGFileRangeService: the range service of a local file, served by this
// process (used when a local movie needs retagging).
//
// Ownership: holds the file open for its whole life.
// Threads: may be called from several threads at once. Both operations reply
// synchronously, on the calling thread, before returning.
// Errors: a failed read replies with no data and the POSIX error
// ("NSPOSIXErrorDomain", errno, strerror text).
#pragma once

#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "source/MGRangeService.h"

namespace kf {

class MGFileRangeService final : public MGRangeServiceProtocol {
 public:
  // Most bytes one reply carries; a longer read is answered in part (the
  // protocol allows fewer bytes than asked), so that a huge length never
  // turns into a huge allocation.
  static constexpr std::uint64_t kMaxReplyBytes = 16u << 20;

  // Opens `path` for reading; null when it cannot be opened or is not a
  // regular file (a FIFO or device is never waited on). The size is fixed
  // now: the file's size, or, when that reads as 0, the offset of its end.
  static std::shared_ptr<MGFileRangeService> create(const std::string& path);
  ~MGFileRangeService() override;

  std::uint64_t size() const { return size_; }
  void fileSizeWithReply(SizeReply reply) override;
  // Up to min(length, kMaxReplyBytes) bytes at offset; empty data at or past
  // the end of the file.
  void readOffset(std::uint64_t offset, std::uint64_t length, ReadReply reply) override;

 private:
  MGFileRangeService(int fd, std::uint64_t size) : fd_(fd), size_(size) {}
  const int fd_;  // read with pread, which moves no shared file position
  const std::uint64_t size_;
};

}  // namespace kf
