#include "platform/ffmpeg/Mp4EditList.h"

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <limits>
#include <optional>

namespace kf::testmovies {
namespace {

using Bytes = std::vector<std::uint8_t>;

Error editError(const std::string& message) { return Error{kKerflineErrorDomain, -1, message}; }

std::uint32_t be32(const Bytes& b, std::size_t at) {
  return (std::uint32_t{b[at]} << 24) | (std::uint32_t{b[at + 1]} << 16) | (std::uint32_t{b[at + 2]} << 8) |
         std::uint32_t{b[at + 3]};
}
std::uint64_t be64(const Bytes& b, std::size_t at) {
  return (std::uint64_t{be32(b, at)} << 32) | be32(b, at + 4);
}
void put32(Bytes& b, std::size_t at, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) b[at + i] = static_cast<std::uint8_t>(v >> (24 - 8 * i));
}
void put64(Bytes& b, std::size_t at, std::uint64_t v) {
  put32(b, at, static_cast<std::uint32_t>(v >> 32));
  put32(b, at + 4, static_cast<std::uint32_t>(v));
}
void append32(Bytes& b, std::uint32_t v) {
  b.resize(b.size() + 4);
  put32(b, b.size() - 4, v);
}
void append64(Bytes& b, std::uint64_t v) {
  b.resize(b.size() + 8);
  put64(b, b.size() - 8, v);
}

// One box with its header, as stored.
struct Box {
  std::string type;
  Bytes bytes;
  std::size_t headerSize = 8;
};

// Splits `data[begin, end)` into boxes; nullopt when the sizes do not add up.
std::optional<std::vector<Box>> splitBoxes(const Bytes& data, std::size_t begin, std::size_t end) {
  std::vector<Box> out;
  std::size_t at = begin;
  while (at + 8 <= end) {
    std::uint64_t size = be32(data, at);
    std::size_t header = 8;
    if (size == 1) {
      if (at + 16 > end) return std::nullopt;
      size = be64(data, at + 8);
      header = 16;
    } else if (size == 0) {
      size = end - at;
    }
    if (size < header || at + size > end) return std::nullopt;
    Box box;
    box.type.assign(reinterpret_cast<const char*>(&data[at + 4]), 4);
    box.bytes.assign(data.begin() + static_cast<std::ptrdiff_t>(at),
                     data.begin() + static_cast<std::ptrdiff_t>(at + size));
    box.headerSize = header;
    out.push_back(std::move(box));
    at += size;
  }
  if (at != end) return std::nullopt;
  return out;
}

std::optional<std::vector<Box>> children(const Box& box) {
  return splitBoxes(box.bytes, box.headerSize, box.bytes.size());
}

const Box* find(const std::vector<Box>& boxes, const char* type) {
  for (const auto& b : boxes)
    if (b.type == type) return &b;
  return nullptr;
}

Bytes assemble(const char* type, const std::vector<Box>& kids) {
  Bytes out(8);
  for (const auto& k : kids) out.insert(out.end(), k.bytes.begin(), k.bytes.end());
  put32(out, 0, static_cast<std::uint32_t>(out.size()));
  std::copy(type, type + 4, out.begin() + 4);
  return out;
}

struct TrackInfo {
  std::string handler;
  std::uint32_t timescale = 0;
  std::optional<std::int64_t> firstCts;  // smallest composition time of any sample
  std::uint32_t firstDelta = 0;          // duration of the first sample
  std::optional<std::int64_t> oldStart;  // media time of the first non-empty edit
};

std::optional<TrackInfo> readTrack(const std::vector<Box>& trakKids) {
  TrackInfo info;
  const Box* mdia = find(trakKids, "mdia");
  if (!mdia) return std::nullopt;
  auto mdiaKids = children(*mdia);
  if (!mdiaKids) return std::nullopt;
  const Box* mdhd = find(*mdiaKids, "mdhd");
  const Box* hdlr = find(*mdiaKids, "hdlr");
  const Box* minf = find(*mdiaKids, "minf");
  if (!mdhd || !hdlr || !minf || hdlr->bytes.size() < 20 || mdhd->bytes.size() < 32) return std::nullopt;
  info.timescale = be32(mdhd->bytes, mdhd->bytes[8] == 1 ? 28 : 20);
  info.handler.assign(reinterpret_cast<const char*>(&hdlr->bytes[16]), 4);

  if (const Box* edts = find(trakKids, "edts")) {
    auto edtsKids = children(*edts);
    const Box* elst = edtsKids ? find(*edtsKids, "elst") : nullptr;
    if (elst && elst->bytes.size() >= 16) {
      const bool v1 = elst->bytes[8] == 1;
      const std::uint32_t count = be32(elst->bytes, 12);
      const std::size_t entrySize = v1 ? 20 : 12;
      for (std::uint32_t i = 0; i < count && 16 + (i + 1) * entrySize <= elst->bytes.size(); ++i) {
        const std::size_t at = 16 + i * entrySize;
        const std::int64_t mt = v1 ? static_cast<std::int64_t>(be64(elst->bytes, at + 8))
                                   : static_cast<std::int32_t>(be32(elst->bytes, at + 4));
        if (mt != -1) {
          info.oldStart = mt;
          break;
        }
      }
    }
  }

  auto minfKids = children(*minf);
  const Box* stbl = minfKids ? find(*minfKids, "stbl") : nullptr;
  auto stblKids = stbl ? children(*stbl) : std::nullopt;
  const Box* stts = stblKids ? find(*stblKids, "stts") : nullptr;
  if (!stts || stts->bytes.size() < 16) return info;
  const Box* ctts = find(*stblKids, "ctts");

  // Walk both run-length tables in step; composition = decode + offset.
  std::vector<std::int64_t> offsets;
  if (ctts && ctts->bytes.size() >= 16) {
    const bool signedOffsets = ctts->bytes[8] == 1;
    const std::uint32_t n = be32(ctts->bytes, 12);
    for (std::uint32_t i = 0; i < n && 16 + (i + 1) * 8 <= ctts->bytes.size(); ++i) {
      const std::uint32_t count = be32(ctts->bytes, 16 + i * 8);
      const std::uint32_t raw = be32(ctts->bytes, 20 + i * 8);
      const std::int64_t off = signedOffsets ? static_cast<std::int32_t>(raw) : std::int64_t{raw};
      offsets.insert(offsets.end(), count, off);
    }
  }
  const std::uint32_t n = be32(stts->bytes, 12);
  std::int64_t dts = 0;
  std::size_t sample = 0;
  for (std::uint32_t i = 0; i < n && 16 + (i + 1) * 8 <= stts->bytes.size(); ++i) {
    const std::uint32_t count = be32(stts->bytes, 16 + i * 8);
    const std::uint32_t delta = be32(stts->bytes, 20 + i * 8);
    if (i == 0) info.firstDelta = delta;
    for (std::uint32_t k = 0; k < count; ++k, ++sample) {
      const std::int64_t cts = dts + (sample < offsets.size() ? offsets[sample] : 0);
      if (!info.firstCts || cts < *info.firstCts) info.firstCts = cts;
      dts += delta;
    }
  }
  return info;
}

Box makeEdts(const std::vector<std::pair<std::uint64_t, std::int64_t>>& entries) {
  Bytes elst;
  append32(elst, 0);
  elst.insert(elst.end(), {'e', 'l', 's', 't'});
  append32(elst, 0x01000000);  // version 1, no flags
  append32(elst, static_cast<std::uint32_t>(entries.size()));
  for (const auto& [duration, mediaTime] : entries) {
    append64(elst, duration);
    append64(elst, static_cast<std::uint64_t>(mediaTime));
    append32(elst, 0x00010000);  // rate 1.0
  }
  put32(elst, 0, static_cast<std::uint32_t>(elst.size()));
  Box edts;
  edts.type = "edts";
  edts.bytes = assemble("edts", {Box{"elst", elst, 8}});
  return edts;
}

void setDuration(Box& box, std::size_t v0At, std::size_t v1At, std::uint64_t duration) {
  if (box.bytes[8] == 1) {
    put64(box.bytes, v1At, duration);
  } else {
    put32(box.bytes, v0At, static_cast<std::uint32_t>(std::min<std::uint64_t>(duration, 0xFFFFFFFFu)));
  }
}

}  // namespace

Status writeEditList(const std::string& path, const std::vector<EditEntry>& entries, double fps) {
  if (entries.empty() || fps <= 0) return editError("no edit entries");
  Bytes data;
  {
    std::ifstream in(path, std::ios::binary);
    if (!in) return editError("cannot read " + path);
    data.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
  }
  auto top = splitBoxes(data, 0, data.size());
  if (!top || top->empty()) return editError("not an MP4 file: " + path);
  if (top->back().type != "moov") return editError("the moov box is not last in " + path);
  const std::size_t moovOffset = data.size() - top->back().bytes.size();
  auto moovKids = children(top->back());
  if (!moovKids) return editError("damaged moov box");

  Box* mvhd = nullptr;
  for (auto& b : *moovKids)
    if (b.type == "mvhd") mvhd = &b;
  if (!mvhd || mvhd->bytes.size() < 36) return editError("no mvhd box");
  const bool mvhdV1 = mvhd->bytes[8] == 1;
  const std::uint32_t movieScale = be32(mvhd->bytes, mvhdV1 ? 28 : 20);
  if (movieScale == 0) return editError("movie time scale is 0");

  std::uint64_t movieDuration = 0;
  for (auto& trak : *moovKids) {
    if (trak.type != "trak") continue;
    auto kids = children(trak);
    if (!kids) return editError("damaged trak box");
    auto info = readTrack(*kids);
    if (!info || info->timescale == 0 || (info->handler != "vide" && info->handler != "soun")) continue;

    std::int64_t base = 0;
    if (info->handler == "vide") {
      if (!info->firstCts || info->firstDelta == 0) return editError("video track has no samples");
      base = *info->firstCts;
    } else {
      base = info->oldStart.value_or(0);
    }
    std::vector<std::pair<std::uint64_t, std::int64_t>> elst;
    std::uint64_t total = 0;
    for (const auto& e : entries) {
      const auto duration =
          static_cast<std::uint64_t>(std::llround(double(e.frameCount) * movieScale / fps));
      const std::int64_t mediaTime =
          info->handler == "vide"
              ? base + std::int64_t{e.firstFrame} * info->firstDelta
              : base + std::llround(double(e.firstFrame) * info->timescale / fps);
      elst.emplace_back(duration, mediaTime);
      total += duration;
    }
    movieDuration = std::max(movieDuration, total);

    std::vector<Box> rebuilt;
    bool placed = false;
    for (auto& k : *kids) {
      if (k.type == "edts") continue;
      if (k.type == "tkhd") {
        if (k.bytes.size() < 44) return editError("short tkhd box");
        setDuration(k, 28, 36, total);
        rebuilt.push_back(k);
        rebuilt.push_back(makeEdts(elst));
        placed = true;
        continue;
      }
      rebuilt.push_back(k);
    }
    if (!placed) return editError("trak without tkhd");
    trak.bytes = assemble("trak", rebuilt);
    trak.headerSize = 8;
  }
  setDuration(*mvhd, 24, 32, movieDuration);

  Bytes moov = assemble("moov", *moovKids);
  data.resize(moovOffset);
  data.insert(data.end(), moov.begin(), moov.end());
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(data.data()), static_cast<std::streamsize>(data.size()));
  if (!out) return editError("cannot write " + path);
  return std::nullopt;
}

}  // namespace kf::testmovies
