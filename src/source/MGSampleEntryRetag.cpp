#include "source/MGSampleEntryRetag.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstring>
#include <mutex>
#include <set>

namespace kf {

namespace {

bool TypeIs(const std::uint8_t* type, const char* code) {
  return std::memcmp(type, code, 4) == 0;
}

const std::set<std::string>& IsoFamily() {
  // A function-local static is initialised once, thread-safely.
  static const std::set<std::string> family{"mp4", "m4v", "mov", "qt", "3gp", "3g2", "hevc", "h265"};
  return family;
}

std::string Lowercase(std::string_view s) {
  std::string out(s);
  for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return out;
}

// One scan in flight. Steps chain through read replies; a reader that
// replies synchronously would otherwise nest one stack frame per read, so
// the steps run in a trampoline: a reply that arrives while the issuing call
// is still on the stack only records its result, and the issuing loop picks
// it up.
class Scan : public std::enable_shared_from_this<Scan> {
 public:
  Scan(MGRangeReader reader, std::uint64_t fileSize, MGRetagCompletion completion)
      : reader_(std::move(reader)), fileSize_(fileSize), completion_(std::move(completion)) {}

  void start() { run(); }

 private:
  enum class Phase { kHeader, kMovie };

  void finish(MGRetagTable table) {
    auto completion = std::move(completion_);
    completion_ = nullptr;
    reader_ = nullptr;
    buffer_.clear();
    buffer_.shrink_to_fit();
    if (completion) completion(std::move(table));
  }

  // Issues reads until one does not answer synchronously or the scan ends.
  void run() {
    for (;;) {
      if (done_) return;
      std::uint64_t offset, length;
      if (phase_ == Phase::kHeader) {
        if (offset_ + 8 > fileSize_ || index_ >= kRetagMaxTopLevelBoxes) return end({});
        offset = offset_;
        length = std::min<std::uint64_t>(fileSize_ - offset_, kRetagHeaderProbeBytes);
      } else {
        if (buffer_.size() >= movieLength_) return endMovie();
        offset = offset_ + buffer_.size();
        length = std::min<std::uint64_t>(movieLength_ - buffer_.size(), kRetagReadChunkBytes);
      }
      asked_ = length;
      {
        std::lock_guard<std::mutex> lock(mu_);
        inCall_ = true;
        replied_ = false;
      }
      auto self = shared_from_this();
      reader_(offset, length, [self](MGBytes data, std::optional<kf::Error> error) {
        self->reply(std::move(data), std::move(error));
      });
      {
        std::lock_guard<std::mutex> lock(mu_);
        inCall_ = false;
        if (!replied_) return;  // the reply will resume the walk on its own thread
      }
      if (!handleReply()) return;
    }
  }

  void reply(MGBytes data, std::optional<kf::Error> error) {
    {
      std::lock_guard<std::mutex> lock(mu_);
      if (replied_) return;  // a reader that replies twice is ignored
      replied_ = true;
      data_ = std::move(data);
      error_ = std::move(error);
      if (inCall_) return;  // the issuing loop continues
    }
    if (handleReply()) run();
  }

  // Consumes the recorded reply; false when the scan ended.
  bool handleReply() {
    MGBytes data;
    std::optional<kf::Error> error;
    {
      std::lock_guard<std::mutex> lock(mu_);
      data = std::move(data_);
      error = std::move(error_);
      data_ = nullptr;
      error_.reset();
    }
    if (phase_ == Phase::kHeader) return handleHeader(data, error);
    if (error || !data || data->empty()) {
      end({});
      return false;
    }
    // Never keep more than asked: a misbehaving service must not grow the
    // buffer past the box.
    std::size_t n = std::min<std::size_t>(data->size(), static_cast<std::size_t>(asked_));
    buffer_.insert(buffer_.end(), data->begin(), data->begin() + static_cast<std::ptrdiff_t>(n));
    return true;
  }

  bool handleHeader(const MGBytes& data, const std::optional<kf::Error>& error) {
    if (error || !data || data->size() < 8) {
      end({});
      return false;
    }
    const std::uint8_t* p = data->data();
    std::uint64_t size = MGReadU32(p);
    if (size == 1) {
      if (data->size() < 16) {
        end({});
        return false;
      }
      size = MGReadU64(p + 8);
    } else if (size == 0) {
      size = fileSize_ - offset_;
    }
    if (size < 8 || size > fileSize_ - offset_) {
      end({});
      return false;
    }
    if (!TypeIs(p + 4, "moov")) {
      offset_ += size;
      ++index_;
      return true;
    }
    if (size > kRetagMaxMovieBoxBytes) {
      end({});
      return false;
    }
    phase_ = Phase::kMovie;
    movieLength_ = size;
    buffer_.reserve(static_cast<std::size_t>(size));
    return true;
  }

  void endMovie() {
    MGRetagTable table;
    if (buffer_.size() >= 8 && TypeIs(buffer_.data() + 4, "moov")) {
      std::size_t header = MGReadU32(buffer_.data()) == 1 ? 16 : 8;
      if (buffer_.size() > header) MGCollectRetags(buffer_, header, buffer_.size(), offset_, table);
    }
    end(std::move(table));
  }

  void end(MGRetagTable table) {
    done_ = true;
    finish(std::move(table));
  }

  MGRangeReader reader_;
  const std::uint64_t fileSize_;
  MGRetagCompletion completion_;
  // Reads never overlap, so the fields below are touched by one thread at a
  // time; each read's reply happens-after its request.
  Phase phase_ = Phase::kHeader;
  std::uint64_t offset_ = 0;  // the current top-level box (the moov box in kMovie)
  int index_ = 0;
  std::uint64_t movieLength_ = 0;
  std::uint64_t asked_ = 0;
  std::vector<std::uint8_t> buffer_;
  bool done_ = false;
  std::mutex mu_;  // guards inCall_, replied_, data_ and error_ (the hand-over between issuer and replier)
  bool inCall_ = false;
  bool replied_ = false;
  MGBytes data_;
  std::optional<kf::Error> error_;
};

}  // namespace

std::uint64_t MGReadU64(const std::uint8_t* p) {
  std::uint64_t v = 0;
  for (int i = 0; i < 8; ++i) v = (v << 8) | p[i];
  return v;
}

std::uint32_t MGReadU32(const std::uint8_t* p) {
  return (std::uint32_t{p[0]} << 24) | (std::uint32_t{p[1]} << 16) | (std::uint32_t{p[2]} << 8) | p[3];
}

bool MGExtensionMayNeedRetag(std::string_view extension) {
  return IsoFamily().count(Lowercase(extension)) > 0;
}

void MGWalkBoxes(const std::vector<std::uint8_t>& buffer, std::size_t start, std::size_t end,
                 const MGBoxVisitor& visitor) {
  end = std::min(end, buffer.size());
  const std::uint8_t* base = buffer.data();
  while (start <= end && end - start >= 8) {
    std::uint64_t size = MGReadU32(base + start);
    std::uint64_t header = 8;
    if (size == 1) {
      if (end - start < 16) return;
      size = MGReadU64(base + start + 8);
      header = 16;
    } else if (size == 0) {
      size = end - start;
    }
    if (size > end - start || size < header) return;
    std::size_t boxEnd = start + static_cast<std::size_t>(size);
    visitor(base + start + 4, start + static_cast<std::size_t>(header), boxEnd);
    start = boxEnd;
  }
}

void MGCollectRetags(const std::vector<std::uint8_t>& buffer, std::size_t start, std::size_t end,
                     std::uint64_t baseOffset, MGRetagTable& table) {
  // Ranges still to walk. A container pushes its payload; since siblings are
  // independent, the order of the walk does not change the table.
  std::vector<std::pair<std::size_t, std::size_t>> work{{start, end}};
  while (!work.empty()) {
    auto [from, to] = work.back();
    work.pop_back();
    MGWalkBoxes(buffer, from, to, [&](const std::uint8_t* type, std::size_t payload, std::size_t boxEnd) {
      if (TypeIs(type, "trak") || TypeIs(type, "mdia") || TypeIs(type, "minf") || TypeIs(type, "stbl")) {
        work.emplace_back(payload, boxEnd);
      } else if (TypeIs(type, "stsd") && boxEnd - payload >= 8) {
        MGWalkBoxes(buffer, payload + 8, boxEnd, [&](const std::uint8_t* entry, std::size_t, std::size_t) {
          std::uint64_t key = baseOffset + static_cast<std::uint64_t>(entry - buffer.data());
          if (TypeIs(entry, "hev1")) {
            table[key] = "hvc1";
          } else if (TypeIs(entry, "dvhe")) {
            table[key] = "dvh1";
          }
        });
      }
    });
  }
}

bool MGApplySampleEntryRetagsInPlace(std::uint8_t* data, std::size_t length, std::uint64_t offset,
                                     const MGRetagTable& retags) {
  if (retags.empty() || length == 0) return false;
  bool changed = false;
  // Block end, saturated: a block near the top of the offset space must not
  // wrap around.
  std::uint64_t blockEnd = offset + length < offset ? UINT64_MAX : offset + length;
  // Entries are 4 bytes long, so only keys from offset - 3 on can touch.
  auto it = retags.lower_bound(offset >= 3 ? offset - 3 : 0);
  for (; it != retags.end() && it->first < blockEnd; ++it) {
    std::uint64_t key = it->first;
    const std::string& value = it->second;
    if (value.size() != 4) continue;
    std::uint64_t keyEnd = key + 4 < key ? UINT64_MAX : key + 4;
    std::uint64_t lo = std::max(key, offset);
    std::uint64_t hi = std::min(keyEnd, blockEnd);
    if (hi <= lo) continue;
    std::memcpy(data + (lo - offset), value.data() + (lo - key), static_cast<std::size_t>(hi - lo));
    changed = true;
  }
  return changed;
}

MGBytes MGApplySampleEntryRetags(const MGBytes& block, std::uint64_t offset, const MGRetagTable& retags) {
  if (!block || block->empty() || retags.empty()) return block;
  // Find out first whether anything applies, so that an untouched block is
  // passed through without a copy.
  std::uint64_t blockEnd = offset + block->size() < offset ? UINT64_MAX : offset + block->size();
  bool touches = false;
  for (auto it = retags.lower_bound(offset >= 3 ? offset - 3 : 0); it != retags.end() && it->first < blockEnd;
       ++it) {
    std::uint64_t keyEnd = it->first + 4 < it->first ? UINT64_MAX : it->first + 4;
    if (it->second.size() == 4 && std::min(keyEnd, blockEnd) > std::max(it->first, offset)) {
      touches = true;
      break;
    }
  }
  if (!touches) return block;
  std::vector<std::uint8_t> copy(*block);
  MGApplySampleEntryRetagsInPlace(copy.data(), copy.size(), offset, retags);
  return MGMakeBytes(std::move(copy));
}

void MGScanSampleEntryRetagsWithReader(MGRangeReader reader, std::uint64_t fileSize,
                                       std::string_view extension, MGRetagCompletion completion) {
  if (fileSize == 0) return completion({});
  if (!extension.empty() && !MGExtensionMayNeedRetag(extension)) return completion({});
  auto scan = std::make_shared<Scan>(std::move(reader), fileSize, std::move(completion));
  scan->start();
}

void MGScanSampleEntryRetags(std::shared_ptr<MGRangeServiceProtocol> service, std::uint64_t fileSize,
                             std::string_view extension, MGRetagCompletion completion) {
  if (!service) return completion({});
  MGRangeReader reader = [service](std::uint64_t offset, std::uint64_t length,
                                   MGRangeServiceProtocol::ReadReply reply) {
    service->readOffset(offset, length, std::move(reply));
  };
  MGScanSampleEntryRetagsWithReader(std::move(reader), fileSize, extension, std::move(completion));
}

}  // namespace kf
