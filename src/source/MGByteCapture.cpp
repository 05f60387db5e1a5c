#include "source/MGByteCapture.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace kf {

void MGByteCapture::add(std::uint64_t offset, const std::uint8_t* data, std::size_t size) {
  std::lock_guard<std::mutex> lock(mu_);
  if (sealed_ || size == 0) return;
  const std::uint64_t end =
      offset + std::min<std::uint64_t>(size, std::numeric_limits<std::uint64_t>::max() - offset);
  std::uint64_t at = offset;
  while (at < end && held_ < limit_) {
    auto next = pieces_.upper_bound(at);
    if (next != pieces_.begin()) {
      const auto& [start, bytes] = *std::prev(next);
      if (start + bytes.size() > at) {  // already held
        at = start + bytes.size();
        continue;
      }
    }
    std::uint64_t stop = next == pieces_.end() ? end : std::min(end, next->first);
    stop = std::min(stop, at + (limit_ - held_));
    const auto* from = data + (at - offset);
    pieces_.emplace(at, std::vector<std::uint8_t>(from, from + (stop - at)));
    held_ += stop - at;
    at = stop;
  }
}

void MGByteCapture::seal() {
  std::lock_guard<std::mutex> lock(mu_);
  sealed_ = true;
}

bool MGByteCapture::sealed() const {
  std::lock_guard<std::mutex> lock(mu_);
  return sealed_;
}

std::size_t MGByteCapture::copy(std::uint64_t offset, std::uint8_t* dst, std::size_t size) const {
  std::lock_guard<std::mutex> lock(mu_);
  std::size_t copied = 0;
  while (copied < size) {
    const std::uint64_t at = offset + copied;
    auto next = pieces_.upper_bound(at);
    if (next == pieces_.begin()) break;
    const auto& [start, bytes] = *std::prev(next);
    if (start + bytes.size() <= at) break;
    const std::size_t n = std::min<std::uint64_t>(size - copied, start + bytes.size() - at);
    std::memcpy(dst + copied, bytes.data() + (at - start), n);
    copied += n;
  }
  return copied;
}

std::optional<std::vector<std::uint8_t>> MGByteCapture::read(std::uint64_t offset,
                                                             std::uint64_t length) const {
  if (length > bytesHeld()) return std::nullopt;
  std::vector<std::uint8_t> out(static_cast<std::size_t>(length));
  if (copy(offset, out.data(), out.size()) != out.size()) return std::nullopt;
  return out;
}

std::uint64_t MGByteCapture::nextHeld(std::uint64_t offset) const {
  std::lock_guard<std::mutex> lock(mu_);
  auto next = pieces_.upper_bound(offset);
  if (next != pieces_.begin()) {
    const auto& [start, bytes] = *std::prev(next);
    if (start + bytes.size() > offset) return offset;
  }
  return next == pieces_.end() ? std::numeric_limits<std::uint64_t>::max() : next->first;
}

std::uint64_t MGByteCapture::bytesHeld() const {
  std::lock_guard<std::mutex> lock(mu_);
  return held_;
}

void MGCapturingRangeService::readOffset(std::uint64_t offset, std::uint64_t length, ReadReply reply) {
  if (length == 0) {
    inner_->readOffset(offset, length, std::move(reply));
    return;
  }
  const std::uint64_t held = capture_->nextHeld(offset);
  if (held == offset) {
    // Answered from memory, up to the next byte not held.
    constexpr std::uint64_t kMaxReply = 16u << 20;
    std::vector<std::uint8_t> data(static_cast<std::size_t>(std::min(length, kMaxReply)));
    data.resize(capture_->copy(offset, data.data(), data.size()));
    reply(MGMakeBytes(std::move(data)), std::nullopt);
    return;
  }
  // From the source, but only up to the next held byte.
  const std::uint64_t want = held > offset ? std::min(length, held - offset) : length;
  std::weak_ptr<MGByteCapture> weak = capture_;
  inner_->readOffset(offset, want,
                     [weak, offset, reply = std::move(reply)](MGBytes data, std::optional<Error> error) {
                       if (auto capture = weak.lock(); capture && data && !data->empty())
                         capture->add(offset, data->data(), data->size());
                       reply(std::move(data), std::move(error));
                     });
}

}  // namespace kf
