#include "source/Mp4Summary.h"

#include <algorithm>
#include <cstring>

#include "source/MGSampleEntryRetag.h"

namespace kf {
namespace {

bool is(const std::uint8_t* type, const char* name) { return std::memcmp(type, name, 4) == 0; }

using Bytes = std::vector<std::uint8_t>;

// The MPEG-4 object type of an `esds` box's decoder configuration, or
// nothing when the descriptors cannot be read.
std::optional<std::uint8_t> ObjectType(const Bytes& b, std::size_t at, std::size_t end) {
  std::size_t p = at + 4;  // version and flags
  // A descriptor: a tag, then its length in up to four 7-bit groups.
  auto header = [&](std::uint8_t& tag, std::size_t& length) {
    if (p >= end) return false;
    tag = b[p++];
    length = 0;
    for (int i = 0; i < 4; ++i) {
      if (p >= end) return false;
      const std::uint8_t c = b[p++];
      length = (length << 7) | (c & 0x7F);
      if (!(c & 0x80)) break;
    }
    return length <= end - p;
  };
  std::uint8_t tag = 0;
  std::size_t length = 0;
  if (!header(tag, length) || tag != 0x03 || length < 3) return std::nullopt;
  const std::size_t esEnd = p + length;
  const std::uint8_t flags = b[p + 2];
  p += 3;
  if (flags & 0x80) p += 2;  // depends on another stream
  if (flags & 0x40) {        // a URL
    if (p >= esEnd) return std::nullopt;
    p += 1 + b[p];
  }
  if (flags & 0x20) p += 2;  // OCR stream
  if (p >= esEnd) return std::nullopt;
  end = esEnd;
  if (!header(tag, length) || tag != 0x04 || length < 1) return std::nullopt;
  return b[p];
}

// The `esds` among a sample entry's children, or inside QuickTime's `wave`.
std::optional<std::uint8_t> EntryObjectType(const Bytes& b, std::size_t childrenAt, std::size_t end) {
  std::optional<std::uint8_t> found;
  MGWalkBoxes(b, childrenAt, end, [&](const std::uint8_t* type, std::size_t at, std::size_t boxEnd) {
    if (found) return;
    if (is(type, "esds"))
      found = ObjectType(b, at, boxEnd);
    else if (is(type, "wave"))
      found = EntryObjectType(b, at, boxEnd);
  });
  return found;
}

// FFmpeg's name for the codec of a picture sample entry; empty when unknown
// here.
std::string PictureCodec(const Bytes& b, const std::uint8_t* type, std::size_t at, std::size_t end) {
  static const struct {
    const char* tag;
    const char* codec;
  } kTags[] = {{"avc1", "h264"}, {"avc3", "h264"},   {"hvc1", "hevc"},   {"hev1", "hevc"},   {"av01", "av1"},
               {"vp09", "vp9"},  {"apch", "prores"}, {"apcn", "prores"}, {"apcs", "prores"}, {"apco", "prores"},
               {"ap4h", "prores"}, {"ap4x", "prores"}, {"jpeg", "mjpeg"}};
  for (const auto& t : kTags)
    if (is(type, t.tag)) return t.codec;
  // MPEG-4 Part 2 says its object type in the decoder configuration.
  constexpr std::size_t kPictureEntryBytes = 78;
  if (is(type, "mp4v") && end - at >= kPictureEntryBytes)
    if (EntryObjectType(b, at + kPictureEntryBytes, end) == 0x20) return "mpeg4";
  return {};
}

std::string SoundCodec(const Bytes& b, const std::uint8_t* type, std::size_t at, std::size_t end) {
  static const struct {
    const char* tag;
    const char* codec;
  } kTags[] = {{"ac-3", "ac3"}, {"ec-3", "eac3"}, {"Opus", "opus"}, {"fLaC", "flac"}, {"alac", "alac"}};
  for (const auto& t : kTags)
    if (is(type, t.tag)) return t.codec;
  if (!is(type, "mp4a") || end - at < 28) return {};
  // The sound entry is 28 bytes; QuickTime's versions 1 and 2 make it 44 and
  // 64.
  const unsigned version = (b[at + 8] << 8) | b[at + 9];
  const std::size_t entryBytes = version == 0 ? 28 : version == 1 ? 44 : version == 2 ? 64 : 0;
  if (entryBytes == 0 || end - at < entryBytes) return {};
  const auto objectType = EntryObjectType(b, at + entryBytes, end);
  if (!objectType) return {};
  switch (*objectType) {
    case 0x40:  // MPEG-4 AAC
    case 0x66:  // MPEG-2 AAC profiles
    case 0x67:
    case 0x68:
      return "aac";
    case 0x69:  // MPEG-2 and MPEG-1 layer 3
    case 0x6B:
      return "mp3";
    default:
      return {};
  }
}

struct Track {
  std::string handler;
  std::string codec;
  unsigned entries = 0;
};

Track ReadTrack(const Bytes& b, std::size_t start, std::size_t end) {
  Track t;
  auto readStsd = [&](std::size_t at, std::size_t stsdEnd) {
    if (stsdEnd - at < 8) return;
    t.entries = MGReadU32(&b[at + 4]);
    if (t.entries != 1) return;
    MGWalkBoxes(b, at + 8, stsdEnd, [&](const std::uint8_t* type, std::size_t entryAt, std::size_t entryEnd) {
      if (!t.codec.empty()) return;
      if (t.handler == "vide") t.codec = PictureCodec(b, type, entryAt, entryEnd);
      else if (t.handler == "soun") t.codec = SoundCodec(b, type, entryAt, entryEnd);
    });
  };
  // The handler comes before the sample table in `mdia`, but is read first
  // wherever it is.
  MGWalkBoxes(b, start, end, [&](const std::uint8_t* type, std::size_t at, std::size_t boxEnd) {
    if (!is(type, "mdia")) return;
    MGWalkBoxes(b, at, boxEnd, [&](const std::uint8_t* kid, std::size_t kAt, std::size_t kEnd) {
      if (is(kid, "hdlr") && kEnd - kAt >= 12) t.handler.assign(reinterpret_cast<const char*>(&b[kAt + 8]), 4);
    });
    MGWalkBoxes(b, at, boxEnd, [&](const std::uint8_t* kid, std::size_t kAt, std::size_t kEnd) {
      if (!is(kid, "minf")) return;
      MGWalkBoxes(b, kAt, kEnd, [&](const std::uint8_t* k2, std::size_t k2At, std::size_t k2End) {
        if (!is(k2, "stbl")) return;
        MGWalkBoxes(b, k2At, k2End, [&](const std::uint8_t* k3, std::size_t k3At, std::size_t k3End) {
          if (is(k3, "stsd")) readStsd(k3At, k3End);
        });
      });
    });
  });
  return t;
}

}  // namespace

std::optional<Mp4MovieSummary> SummarizeMp4Movie(const Bytes& moov) {
  std::optional<std::uint64_t> microseconds;
  bool fragmented = false, unknown = false, header = false;
  Mp4MovieSummary summary;
  MGWalkBoxes(moov, 0, moov.size(), [&](const std::uint8_t* type, std::size_t at, std::size_t end) {
    if (is(type, "mvex")) {
      fragmented = true;
    } else if (is(type, "mvhd") && !header) {
      header = true;
      const bool v1 = end - at >= 1 && moov[at] == 1;
      if (end - at < (v1 ? 32u : 20u)) return;
      const std::uint32_t timescale = MGReadU32(&moov[at + (v1 ? 20 : 12)]);
      const std::uint64_t duration = v1 ? MGReadU64(&moov[at + 24]) : MGReadU32(&moov[at + 16]);
      // All ones is "unknown"; a time scale or duration past the signed
      // range is read differently by FFmpeg.
      const std::uint64_t unknownDuration = v1 ? ~std::uint64_t{0} : 0xFFFFFFFFull;
      if (timescale == 0 || timescale > 0x7FFFFFFFu || duration == 0 || duration == unknownDuration ||
          duration > (std::uint64_t{1} << 62) / 1000000)
        return;
      // To the nearest microsecond, as FFmpeg rounds it.
      const unsigned __int128 scaled = static_cast<unsigned __int128>(duration) * 1000000u + timescale / 2;
      microseconds = static_cast<std::uint64_t>(scaled / timescale);
    } else if (is(type, "trak")) {
      const Track t = ReadTrack(moov, at, end);
      if (t.handler != "vide" && t.handler != "soun") return;
      if (t.entries != 1 || t.codec.empty()) {
        unknown = true;
        return;
      }
      if (std::find(summary.codecs.begin(), summary.codecs.end(), t.codec) == summary.codecs.end())
        summary.codecs.push_back(t.codec);
    }
  });
  if (fragmented || unknown || !microseconds || *microseconds == 0 || summary.codecs.empty()) return std::nullopt;
  summary.duration = static_cast<double>(*microseconds) / 1000000.0;
  return summary;
}

std::optional<Mp4MovieSummary> ReadMp4MovieSummary(const Mp4ByteReader& read, std::uint64_t fileSize) {
  if (fileSize < 8) return std::nullopt;
  auto head = read(0, 8);
  if (!head || head->size() < 8) return std::nullopt;
  static const char* const kFirstBoxes[] = {"ftyp", "moov", "mdat", "free", "skip", "wide", "pdin"};
  if (std::none_of(std::begin(kFirstBoxes), std::end(kFirstBoxes),
                   [&](const char* name) { return is(head->data() + 4, name); }))
    return std::nullopt;
  auto moov = ReadMp4MovieBox(read, fileSize);
  if (!moov) return std::nullopt;
  return SummarizeMp4Movie(*moov);
}

}  // namespace kf
