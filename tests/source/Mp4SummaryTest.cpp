#include "source/Mp4Summary.h"

#include <gtest/gtest.h>

#include <random>

#include "Mp4Fixture.h"

namespace kf {
namespace {

using test::Box;
using test::Buf;
using test::Cat;
using test::Hdlr;
using test::PutU32;
using test::PutU64;

Buf Mvhd(std::uint32_t timescale, std::uint64_t duration, bool v1 = false) {
  Buf p;
  PutU32(p, v1 ? 0x01000000u : 0u);
  if (v1) {
    PutU64(p, 7);
    PutU64(p, 8);
    PutU32(p, timescale);
    PutU64(p, duration);
  } else {
    PutU32(p, 7);
    PutU32(p, 8);
    PutU32(p, timescale);
    PutU32(p, static_cast<std::uint32_t>(duration));
  }
  p.resize(p.size() + 80, 0);
  return Box("mvhd", p);
}

Buf Trak(const std::string& handler, std::initializer_list<Buf> entries) {
  Buf stsd;
  PutU32(stsd, 0);
  PutU32(stsd, static_cast<std::uint32_t>(entries.size()));
  for (const Buf& e : entries) stsd.insert(stsd.end(), e.begin(), e.end());
  return Box("trak", Cat({Box("tkhd", Buf(84, 0)),
                          Box("mdia", Cat({Box("mdhd", Buf(24, 0)), Hdlr(handler),
                                           Box("minf", Box("stbl", Cat({Box("stsd", stsd), Box("stts", Buf(8, 0))})))}))}));
}

Buf Picture(const std::string& type) { return Box(type, Cat({Buf(78, 0), Box("avcC", Buf(12, 1))})); }

// An `esds` box whose decoder configuration names `objectType`.
Buf Esds(std::uint8_t objectType, std::uint8_t esFlags = 0) {
  Buf decoder{0x04, 13, objectType, 0x15, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
  Buf es{0x03, 0, 0, 1, esFlags};
  if (esFlags & 0x80) es.insert(es.end(), {0, 2});
  if (esFlags & 0x40) es.insert(es.end(), {3, 'a', 'b', 'c'});
  if (esFlags & 0x20) es.insert(es.end(), {0, 3});
  es.insert(es.end(), decoder.begin(), decoder.end());
  es[1] = static_cast<std::uint8_t>(es.size() - 2);
  Buf p(4, 0);
  p.insert(p.end(), es.begin(), es.end());
  return Box("esds", p);
}

// A sound entry: 28 bytes of fields (QuickTime's versions 1 and 2 add 16 and
// 36), then its children.
Buf Sound(const std::string& type, const Buf& children, unsigned version = 0) {
  Buf fields(28, 0);
  fields[9] = static_cast<std::uint8_t>(version);
  fields.resize(version == 1 ? 44 : version == 2 ? 64 : 28, 0);
  return Box(type, Cat({fields, children}));
}

Buf File(const Buf& moov) { return Cat({test::Ftyp(), Box("moov", moov), test::Mdat(64)}); }

std::optional<Mp4MovieSummary> Read(const Buf& file) {
  auto read = [&](std::uint64_t off, std::uint64_t len) -> std::optional<Buf> {
    if (off > file.size()) return std::nullopt;
    const std::uint64_t n = std::min<std::uint64_t>(len, file.size() - off);
    return Buf(file.begin() + static_cast<std::ptrdiff_t>(off), file.begin() + static_cast<std::ptrdiff_t>(off + n));
  };
  return ReadMp4MovieSummary(read, file.size());
}

TEST(Mp4SummaryTest, NamesTheCodecsOfPictureAndSoundAsFfmpegDoes) {
  const Buf movie = File(Cat({Mvhd(600, 6006), Trak("vide", {Picture("avc1")}), Trak("soun", {Sound("mp4a", Esds(0x40))}),
                              Trak("text", {Box("tx3g", Buf(40, 0))}), Trak("soun", {Sound("mp4a", Esds(0x40))})}));
  auto s = Read(movie);
  ASSERT_TRUE(s);
  EXPECT_EQ(s->duration, 10.01);
  EXPECT_EQ(s->codecs, (std::vector<std::string>{"h264", "aac"})) << "each once, text tracks left out";

  struct Case {
    Buf entry;
    const char* handler;
    const char* codec;
  };
  const Case cases[] = {
      {Picture("hvc1"), "vide", "hevc"},
      {Picture("hev1"), "vide", "hevc"},
      {Picture("avc3"), "vide", "h264"},
      {Picture("apcn"), "vide", "prores"},
      {Box("mp4v", Cat({Buf(78, 0), Esds(0x20)})), "vide", "mpeg4"},
      {Sound("mp4a", Esds(0x6B)), "soun", "mp3"},
      {Sound("mp4a", Esds(0x67)), "soun", "aac"},
      {Sound("mp4a", Esds(0x40, 0xE0)), "soun", "aac"},  // optional fields before the configuration
      {Sound("mp4a", Box("wave", Cat({Box("frma", {'m', 'p', '4', 'a'}), Esds(0x40)})), 1), "soun", "aac"},
      {Sound("mp4a", Esds(0x40), 2), "soun", "aac"},
      {Sound("ac-3", Buf(11, 0)), "soun", "ac3"},
      {Sound("Opus", Buf(19, 0)), "soun", "opus"},
  };
  for (const Case& c : cases) {
    auto one = Read(File(Cat({Mvhd(1000, 2000), Trak(c.handler, {c.entry})})));
    ASSERT_TRUE(one) << c.codec;
    EXPECT_EQ(one->codecs, std::vector<std::string>{c.codec});
    EXPECT_EQ(one->duration, 2.0);
  }
}

TEST(Mp4SummaryTest, TheDurationIsTheMovieHeadersToTheNearestMicrosecond) {
  const Buf track = Trak("vide", {Picture("avc1")});
  EXPECT_EQ(Read(File(Cat({Mvhd(3, 1), track})))->duration, 0.333333);
  EXPECT_EQ(Read(File(Cat({Mvhd(3, 2), track})))->duration, 0.666667);
  EXPECT_EQ(Read(File(Cat({Mvhd(90000, 900000000ull * 4, true), track})))->duration, 40000.0);  // 64-bit
  // Unknown, missing or out-of-range durations and time scales are FFmpeg's
  // to judge.
  EXPECT_FALSE(Read(File(Cat({Mvhd(600, 0), track}))));
  EXPECT_FALSE(Read(File(Cat({Mvhd(600, 0xFFFFFFFFu), track}))));
  EXPECT_FALSE(Read(File(Cat({Mvhd(600, ~0ull, true), track}))));
  EXPECT_FALSE(Read(File(Cat({Mvhd(0, 600), track}))));
  EXPECT_FALSE(Read(File(Cat({Mvhd(0x80000000u, 600), track}))));
  EXPECT_FALSE(Read(File(track)));
}

TEST(Mp4SummaryTest, LeavesToFfmpegWhatItCannotTellForSure) {
  const Buf header = Mvhd(600, 6000);
  const Buf avc = Trak("vide", {Picture("avc1")});
  EXPECT_TRUE(Read(File(Cat({header, avc}))));
  // Fragments: the duration lies in the fragments.
  EXPECT_FALSE(Read(File(Cat({header, avc, Box("mvex", Box("trex", Buf(24, 0)))}))));
  // A codec this reader does not know, anywhere among the tracks.
  EXPECT_FALSE(Read(File(Cat({header, avc, Trak("soun", {Sound("sowt", {})})}))));
  EXPECT_FALSE(Read(File(Cat({header, avc, Trak("soun", {Sound("mp4a", Esds(0xDD))})}))));
  EXPECT_FALSE(Read(File(Cat({header, avc, Trak("soun", {Sound("mp4a", {})})})))) << "no configuration";
  EXPECT_FALSE(Read(File(Cat({header, Trak("vide", {Box("encv", Buf(90, 0))})}))));
  // Several sample descriptions, or none.
  EXPECT_FALSE(Read(File(Cat({header, Trak("vide", {Picture("avc1"), Picture("avc1")})}))));
  EXPECT_FALSE(Read(File(Cat({header, Trak("vide", {})}))));
  // No picture or sound track at all.
  EXPECT_FALSE(Read(File(Cat({header, Trak("text", {Box("tx3g", Buf(40, 0))})}))));
  // Not an MP4 or QuickTime file, or one without its movie box.
  Buf matroska{0x1A, 0x45, 0xDF, 0xA3, 0, 0, 0, 0};
  EXPECT_FALSE(Read(Cat({matroska, Box("moov", Cat({header, avc}))})));
  EXPECT_FALSE(Read(Cat({test::Ftyp(), test::Mdat(64)})));
  EXPECT_FALSE(Read({}));
}

TEST(Mp4SummaryTest, DamagedMoviesNeverReadOutsideTheirBytes) {
  const Buf movie = File(Cat({Mvhd(600, 6000), Trak("vide", {Picture("avc1")}),
                              Trak("soun", {Sound("mp4a", Box("wave", Esds(0x40, 0xE0)), 1)})}));
  ASSERT_TRUE(Read(movie));
  for (std::size_t n = 0; n < movie.size(); ++n) Read(Buf(movie.begin(), movie.begin() + static_cast<std::ptrdiff_t>(n)));
  std::mt19937 rng(7);
  for (int round = 0; round < 3000; ++round) {
    Buf damaged = movie;
    for (int k = 0; k < 4; ++k) damaged[rng() % damaged.size()] = static_cast<std::uint8_t>(rng());
    if (auto s = Read(damaged)) {
      EXPECT_GT(s->duration, 0);
      EXPECT_FALSE(s->codecs.empty());
    }
  }
}

}  // namespace
}  // namespace kf
