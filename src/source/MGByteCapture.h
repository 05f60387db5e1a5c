// Bytes of a movie already read while opening it, kept so that the movie's
// index ("moov") is read from its source once per open: the retag scan reads
// it through an MGCapturingRangeService, and the media engine's probe and the
// player, reading through the same service, get those bytes from memory.
//
// MGByteCapture: pieces of the file by offset, never overlapping; a byte seen
// twice keeps its first value. Recording stops at `limit` bytes or when
// sealed; lookups work at any time.
// MGCapturingRangeService: a range service over another one that records what
// it reads while its capture records, and answers a read from the capture
// where the capture holds its first byte (a shorter reply up to the next gap,
// which the protocol allows); otherwise it asks the inner service, but never
// for bytes the capture already holds.
//
// Threads: both are safe to use from several threads at once; no lock is held
// while the inner service or a reply runs.
#pragma once

#include <cstddef>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <vector>

#include "source/MGRangeService.h"

namespace kf {

class MGByteCapture {
 public:
  // The index of a long movie is a few MiB; 64 MiB is far above any seen.
  static constexpr std::uint64_t kDefaultLimit = 72ull << 20;

  explicit MGByteCapture(std::uint64_t limit = kDefaultLimit) : limit_(limit) {}

  // Records [offset, offset + size); bytes already held are kept as they are.
  void add(std::uint64_t offset, const std::uint8_t* data, std::size_t size);
  // Stops recording for good (lookups still answer).
  void seal();
  bool sealed() const;

  // Copies the held bytes starting exactly at `offset`, at most `size`,
  // stopping at the first byte not held; returns how many were copied.
  std::size_t copy(std::uint64_t offset, std::uint8_t* dst, std::size_t size) const;
  // All of [offset, offset + length), or nothing when any byte is missing.
  std::optional<std::vector<std::uint8_t>> read(std::uint64_t offset, std::uint64_t length) const;
  // The start of the first held byte at or after `offset` (UINT64_MAX: none).
  std::uint64_t nextHeld(std::uint64_t offset) const;
  std::uint64_t bytesHeld() const;

 private:
  const std::uint64_t limit_;
  mutable std::mutex mu_;                                      // guards everything below
  std::map<std::uint64_t, std::vector<std::uint8_t>> pieces_;  // start -> bytes
  std::uint64_t held_ = 0;
  bool sealed_ = false;
};

class MGCapturingRangeService final : public MGRangeServiceProtocol {
 public:
  MGCapturingRangeService(std::shared_ptr<MGRangeServiceProtocol> inner,
                          std::shared_ptr<MGByteCapture> capture)
      : inner_(std::move(inner)), capture_(std::move(capture)) {}

  const std::shared_ptr<MGByteCapture>& capture() const { return capture_; }
  const std::shared_ptr<MGRangeServiceProtocol>& inner() const { return inner_; }

  void fileSizeWithReply(SizeReply reply) override { inner_->fileSizeWithReply(std::move(reply)); }
  void readOffset(std::uint64_t offset, std::uint64_t length, ReadReply reply) override;

 private:
  const std::shared_ptr<MGRangeServiceProtocol> inner_;
  const std::shared_ptr<MGByteCapture> capture_;
};

}  // namespace kf
