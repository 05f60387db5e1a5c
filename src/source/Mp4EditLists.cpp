#include "source/Mp4EditLists.h"

#include <cstring>

#include "source/MGSampleEntryRetag.h"

namespace kf {
namespace {

bool is(const std::uint8_t* type, const char* name) { return std::memcmp(type, name, 4) == 0; }

std::int64_t readS64(const std::uint8_t* p) { return static_cast<std::int64_t>(MGReadU64(p)); }
std::int32_t readS32(const std::uint8_t* p) { return static_cast<std::int32_t>(MGReadU32(p)); }

// `elst` payload: version, flags, count, then entries of 12 (v0) or 20 (v1)
// bytes.
std::vector<Mp4Edit> parseElst(const std::vector<std::uint8_t>& b, std::size_t at, std::size_t end) {
  std::vector<Mp4Edit> out;
  if (end - at < 8) return out;
  const bool v1 = b[at] == 1;
  const std::uint32_t count = MGReadU32(&b[at + 4]);
  const std::size_t size = v1 ? 20 : 12;
  std::size_t p = at + 8;
  for (std::uint32_t i = 0; i < count && end - p >= size; ++i, p += size) {
    Mp4Edit e;
    if (v1) {
      e.duration = MGReadU64(&b[p]);
      e.mediaTime = readS64(&b[p + 8]);
      e.rate = readS32(&b[p + 16]);
    } else {
      e.duration = MGReadU32(&b[p]);
      e.mediaTime = readS32(&b[p + 4]);
      e.rate = readS32(&b[p + 8]);
    }
    out.push_back(e);
  }
  return out;
}

// `mdhd` and `mvhd` keep their time scale at the same place: after
// version/flags and two times of 4 (v0) or 8 (v1) bytes.
std::optional<std::uint32_t> headerTimescale(const std::vector<std::uint8_t>& b, std::size_t at, std::size_t end) {
  if (end - at < 4) return std::nullopt;
  const std::size_t off = b[at] == 1 ? 20 : 12;
  if (end - at < off + 4) return std::nullopt;
  return MGReadU32(&b[at + off]);
}

Mp4TrackEdits parseTrak(const std::vector<std::uint8_t>& b, std::size_t start, std::size_t end) {
  Mp4TrackEdits t;
  MGWalkBoxes(b, start, end, [&](const std::uint8_t* type, std::size_t at, std::size_t boxEnd) {
    if (is(type, "edts")) {
      MGWalkBoxes(b, at, boxEnd, [&](const std::uint8_t* kid, std::size_t kAt, std::size_t kEnd) {
        if (is(kid, "elst") && t.edits.empty()) t.edits = parseElst(b, kAt, kEnd);
      });
    } else if (is(type, "mdia")) {
      MGWalkBoxes(b, at, boxEnd, [&](const std::uint8_t* kid, std::size_t kAt, std::size_t kEnd) {
        if (is(kid, "mdhd")) {
          if (auto ts = headerTimescale(b, kAt, kEnd)) t.timescale = *ts;
        } else if (is(kid, "hdlr") && kEnd - kAt >= 12) {
          t.handler.assign(reinterpret_cast<const char*>(&b[kAt + 8]), 4);
        }
      });
    }
  });
  return t;
}

}  // namespace

std::optional<Mp4EditLists> ParseMp4EditLists(const std::vector<std::uint8_t>& moov) {
  Mp4EditLists out;
  bool haveHeader = false;
  MGWalkBoxes(moov, 0, moov.size(), [&](const std::uint8_t* type, std::size_t at, std::size_t end) {
    if (is(type, "mvhd")) {
      if (auto ts = headerTimescale(moov, at, end)) {
        out.movieTimescale = *ts;
        haveHeader = true;
      }
    } else if (is(type, "trak")) {
      out.tracks.push_back(parseTrak(moov, at, end));
    }
  });
  if (!haveHeader || out.movieTimescale == 0) return std::nullopt;
  return out;
}

std::optional<std::vector<std::uint8_t>> ReadMp4MovieBox(const Mp4ByteReader& read, std::uint64_t fileSize) {
  std::uint64_t at = 0;
  for (int n = 0; n < kMp4MaxTopLevelBoxes && fileSize - at >= 8; ++n) {
    auto head = read(at, 16);
    if (!head || head->size() < 8) return std::nullopt;
    std::uint64_t size = MGReadU32(head->data());
    std::uint64_t headerBytes = 8;
    if (size == 1) {
      if (head->size() < 16) return std::nullopt;
      size = MGReadU64(head->data() + 8);
      headerBytes = 16;
    } else if (size == 0) {
      size = fileSize - at;  // runs to the end of the file
    }
    if (size < headerBytes || size > fileSize - at) return std::nullopt;
    if (is(head->data() + 4, "moov")) {
      const std::uint64_t payload = size - headerBytes;
      if (payload > kMp4MaxMovieBoxBytes) return std::nullopt;
      auto body = read(at + headerBytes, payload);
      if (!body || body->size() != payload) return std::nullopt;
      return body;
    }
    at += size;
  }
  return std::nullopt;
}

namespace {

// The track's spans; nothing when its list cannot be expressed.
std::optional<std::vector<PresentationSpan>> spansOf(const Mp4TrackEdits& t, std::uint32_t movieTimescale) {
  std::vector<PresentationSpan> spans;
  if (t.edits.empty()) return spans;
  if (t.timescale == 0) return std::nullopt;
  // Read with its first entry applied, the track's media time M sits at
  // (M - M0) on the shifted timeline.
  const std::int64_t first = t.edits.front().mediaTime;
  for (const auto& e : t.edits) {
    if (first < 0 || e.mediaTime < first || e.rate != 0x10000) return std::nullopt;
    if (e.duration == 0) continue;
    PresentationSpan s;
    s.start = double(e.mediaTime - first) / t.timescale;
    s.duration = double(e.duration) / movieTimescale;
    spans.push_back(s);
  }
  return spans;
}

const Mp4TrackEdits* firstTrack(const Mp4EditLists& lists, const char* handler) {
  for (const auto& t : lists.tracks)
    if (t.handler == handler) return &t;
  return nullptr;
}

}  // namespace

PresentationPlan PlanPresentation(const Mp4EditLists& lists) {
  PresentationPlan plan;
  if (lists.movieTimescale == 0) return plan;
  const Mp4TrackEdits* video = firstTrack(lists, "vide");
  const Mp4TrackEdits* audio = firstTrack(lists, "soun");
  if (video && !(plan.video = spansOf(*video, lists.movieTimescale))) return {};
  if (audio && !(plan.audio = spansOf(*audio, lists.movieTimescale))) return {};
  plan.timeline = (plan.video && plan.video->size() >= 2) || (plan.audio && plan.audio->size() >= 2);
  if (!plan.timeline) return {};
  return plan;
}

}  // namespace kf
