// A range service over bytes in memory, with the faults the loader and the
// scan must survive: short replies, empty replies, errors, replies from
// another thread, and replies held back until the test releases them.
#pragma once

#include <atomic>
#include <deque>
#include <functional>
#include <mutex>
#include <thread>
#include <vector>

#include "source/MGRangeError.h"
#include "source/MGRangeService.h"

namespace kf::test {

class MemoryService : public MGRangeServiceProtocol {
 public:
  enum class Mode { kImmediate, kThread, kHeld };
  explicit MemoryService(std::vector<std::uint8_t> bytes, Mode mode = Mode::kImmediate)
      : bytes_(std::move(bytes)), mode_(mode) {}
  ~MemoryService() override {
    // The last owner may be a reply running on one of these threads.
    for (auto& t : threads_) {
      if (t.get_id() == std::this_thread::get_id()) {
        t.detach();
      } else {
        t.join();
      }
    }
  }

  // Serve at most this many bytes per reply (0: no cap).
  std::atomic<std::uint64_t> replyCap{0};
  // Reply with empty data for reads at or after this offset.
  std::atomic<std::uint64_t> emptyFrom{UINT64_MAX};
  // Reply with neither data nor error.
  std::atomic<bool> replyNothing{false};
  // Throw while the read is sent.
  std::atomic<bool> throwOnRead{false};
  std::atomic<std::uint64_t> bytesAsked{0};
  std::atomic<int> reads{0};

  void fileSizeWithReply(SizeReply reply) override { reply(bytes_.size(), std::nullopt); }

  void readOffset(std::uint64_t offset, std::uint64_t length, ReadReply reply) override {
    if (throwOnRead) throw std::runtime_error("socket gone");
    bytesAsked += length;
    ++reads;
    {
      std::lock_guard<std::mutex> lock(mu_);
      log_.push_back({offset, length});
    }
    auto answer = [this, offset, length, reply = std::move(reply)] {
      if (replyNothing) return reply(nullptr, std::nullopt);
      if (offset >= emptyFrom || offset >= bytes_.size()) return reply(MGMakeBytes({}), std::nullopt);
      std::uint64_t n = std::min<std::uint64_t>(length, bytes_.size() - offset);
      if (replyCap && n > replyCap) n = replyCap;
      reply(MGMakeBytes(std::vector<std::uint8_t>(bytes_.begin() + static_cast<std::ptrdiff_t>(offset),
                                                  bytes_.begin() + static_cast<std::ptrdiff_t>(offset + n))),
            std::nullopt);
    };
    switch (mode_) {
      case Mode::kImmediate:
        answer();
        break;
      case Mode::kThread: {
        std::lock_guard<std::mutex> lock(mu_);
        threads_.emplace_back(std::move(answer));
        break;
      }
      case Mode::kHeld: {
        std::lock_guard<std::mutex> lock(mu_);
        held_.push_back(std::move(answer));
        break;
      }
    }
  }

  // kHeld: runs the oldest held reply; false when none is held.
  bool releaseOne() {
    std::function<void()> f;
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (held_.empty()) return false;
      f = std::move(held_.front());
      held_.pop_front();
    }
    f();
    return true;
  }
  std::size_t heldCount() {
    std::lock_guard<std::mutex> lock(mu_);
    return held_.size();
  }
  std::vector<std::pair<std::uint64_t, std::uint64_t>> log() {
    std::lock_guard<std::mutex> lock(mu_);
    return log_;
  }

  const std::vector<std::uint8_t>& bytes() const { return bytes_; }

 private:
  const std::vector<std::uint8_t> bytes_;
  const Mode mode_;
  std::mutex mu_;  // guards threads_, held_ and log_
  std::vector<std::thread> threads_;
  std::deque<std::function<void()>> held_;
  std::vector<std::pair<std::uint64_t, std::uint64_t>> log_;
};

}  // namespace kf::test
