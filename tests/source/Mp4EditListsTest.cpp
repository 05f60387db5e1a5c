#include "source/Mp4EditLists.h"

#include <gtest/gtest.h>

#include "Mp4Fixture.h"

namespace kf {
namespace {

using test::Box;
using test::Buf;
using test::Cat;
using test::Hdlr;
using test::PutU32;
using test::PutU64;

Buf Header(const std::string& type, std::uint32_t timescale, bool v1) {
  Buf p;
  PutU32(p, v1 ? 0x01000000u : 0u);
  if (v1) {
    PutU64(p, 7);
    PutU64(p, 8);
  } else {
    PutU32(p, 7);
    PutU32(p, 8);
  }
  PutU32(p, timescale);
  PutU32(p, 12345);  // duration, not read
  return Box(type, p);
}

Buf Elst(const std::vector<Mp4Edit>& edits, bool v1) {
  Buf p;
  PutU32(p, v1 ? 0x01000000u : 0u);
  PutU32(p, static_cast<std::uint32_t>(edits.size()));
  for (const auto& e : edits) {
    if (v1) {
      PutU64(p, e.duration);
      PutU64(p, static_cast<std::uint64_t>(e.mediaTime));
    } else {
      PutU32(p, static_cast<std::uint32_t>(e.duration));
      PutU32(p, static_cast<std::uint32_t>(e.mediaTime));
    }
    PutU32(p, static_cast<std::uint32_t>(e.rate));
  }
  return Box("edts", Box("elst", p));
}

Buf Trak(const std::string& handler, std::uint32_t timescale, const std::vector<Mp4Edit>& edits, bool v1 = true) {
  Buf kids = Box("tkhd", Buf(84, 0));
  if (!edits.empty()) kids = Cat({kids, Elst(edits, v1)});
  return Box("trak", Cat({kids, Box("mdia", Cat({Header("mdhd", timescale, v1), Hdlr(handler),
                                                   Box("minf", Box("stbl", Buf(8, 0)))}))}));
}

// The payload of a moov box (what ParseMp4EditLists takes).
Buf Moov(std::uint32_t movieTimescale, std::initializer_list<Buf> traks, bool v1 = false) {
  Buf out = Header("mvhd", movieTimescale, v1);
  for (const Buf& t : traks) out = Cat({out, t});
  return out;
}

TEST(Mp4EditLists, ReadsEachTracksHandlerTimescaleAndEntriesInBothVersions) {
  const std::vector<Mp4Edit> video = {{1024, 600, 0x10000}, {47104, 300, 0x10000}};
  const std::vector<Mp4Edit> sound = {{-1, 60, 0x10000}, {1024, 900, 0x10000}};
  for (bool v1 : {false, true}) {
    SCOPED_TRACE(v1);
    auto lists = ParseMp4EditLists(Moov(600, {Trak("vide", 15360, video, v1), Trak("soun", 48000, sound, v1)}, v1));
    ASSERT_TRUE(lists);
    EXPECT_EQ(lists->movieTimescale, 600u);
    ASSERT_EQ(lists->tracks.size(), 2u);
    EXPECT_EQ(lists->tracks[0].handler, "vide");
    EXPECT_EQ(lists->tracks[0].timescale, 15360u);
    ASSERT_EQ(lists->tracks[0].edits.size(), 2u);
    EXPECT_EQ(lists->tracks[0].edits[1].mediaTime, 47104);
    EXPECT_EQ(lists->tracks[0].edits[1].duration, 300u);
    EXPECT_EQ(lists->tracks[1].handler, "soun");
    EXPECT_EQ(lists->tracks[1].edits[0].mediaTime, -1);  // empty edits survive both widths
  }
}

TEST(Mp4EditLists, MalformedOrHeaderlessMoviesGiveNothing) {
  EXPECT_FALSE(ParseMp4EditLists({}));
  EXPECT_FALSE(ParseMp4EditLists(Trak("vide", 30, {})));                // no mvhd
  EXPECT_FALSE(ParseMp4EditLists(Moov(0, {Trak("vide", 30, {})})));     // time scale 0
  // An elst that claims more entries than it holds keeps the whole ones.
  Buf moov = Moov(600, {Trak("vide", 30, {{0, 60, 0x10000}, {90, 30, 0x10000}})});
  for (std::size_t i = 0; i + 4 <= moov.size(); ++i)
    if (std::equal(moov.begin() + long(i), moov.begin() + long(i) + 4, "elst")) moov[i + 11] = 200;  // count
  auto lists = ParseMp4EditLists(moov);
  ASSERT_TRUE(lists);
  EXPECT_EQ(lists->tracks[0].edits.size(), 2u);
  // Truncating anywhere never reads past the buffer.
  for (std::size_t n = 0; n < moov.size(); ++n) ParseMp4EditLists(Buf(moov.begin(), moov.begin() + long(n)));
}

TEST(Mp4EditLists, EachTrackKindGetsTheSpansOfItsOwnEntriesShiftedByItsFirst) {
  // 30 fps in 1/15360 with a two-frame reorder delay (1024): frames 15-44,
  // 90-104 and 120-179. A lossless cut copies each track from its own sync
  // point, so the sound's entries sit elsewhere in its media.
  const std::vector<Mp4Edit> video = {{1024 + 15 * 512, 30 * 20, 0x10000},
                                      {1024 + 90 * 512, 15 * 20, 0x10000},
                                      {1024 + 120 * 512, 60 * 20, 0x10000}};
  const std::vector<Mp4Edit> sound = {{1024 + 24000, 600, 0x10000},
                                      {1024 + 24000 + 48000 + 2048, 300, 0x10000},
                                      {1024 + 24000 + 72000 + 4096, 1200, 0x10000}};
  auto plan = PlanPresentation(*ParseMp4EditLists(
      Moov(600, {Trak("soun", 48000, sound), Trak("vide", 15360, video), Trak("vide", 30, {})})));
  ASSERT_TRUE(plan.timeline);
  ASSERT_TRUE(plan.video);
  ASSERT_EQ(plan.video->size(), 3u);
  EXPECT_DOUBLE_EQ((*plan.video)[0].start, 0.0);
  EXPECT_DOUBLE_EQ((*plan.video)[0].duration, 1.0);
  EXPECT_DOUBLE_EQ((*plan.video)[1].start, 2.5);
  EXPECT_DOUBLE_EQ((*plan.video)[1].duration, 0.5);
  EXPECT_DOUBLE_EQ((*plan.video)[2].start, 3.5);
  EXPECT_DOUBLE_EQ((*plan.video)[2].duration, 2.0);
  ASSERT_TRUE(plan.audio);
  ASSERT_EQ(plan.audio->size(), 3u);
  EXPECT_NEAR((*plan.audio)[1].start, 1.0 + 2048 / 48000.0, 1e-12);
  EXPECT_DOUBLE_EQ((*plan.audio)[2].duration, 2.0);

  // A sound track without an edit list plays as stored beside the spans.
  plan = PlanPresentation(*ParseMp4EditLists(Moov(600, {Trak("vide", 15360, video), Trak("soun", 48000, {})})));
  ASSERT_TRUE(plan.timeline);
  ASSERT_TRUE(plan.audio);
  EXPECT_TRUE(plan.audio->empty());
  // Without video, the sound alone decides.
  plan = PlanPresentation(*ParseMp4EditLists(Moov(600, {Trak("soun", 48000, sound)})));
  EXPECT_TRUE(plan.timeline);
  EXPECT_FALSE(plan.video);
  EXPECT_EQ(plan.audio->size(), 3u);
}

TEST(Mp4EditLists, MoviesThatPlayAsStoredOrCannotBeExpressedGetNoTimeline) {
  auto plan = [](std::vector<Mp4Edit> video, std::vector<Mp4Edit> sound = {}) {
    return PlanPresentation(*ParseMp4EditLists(Moov(600, {Trak("vide", 30, video), Trak("soun", 48000, sound)})));
  };
  EXPECT_FALSE(plan({}).timeline);
  EXPECT_FALSE(plan({{30, 600, 0x10000}}, {{1024, 600, 0x10000}}).timeline);  // one entry each: the demuxer's
  EXPECT_FALSE(plan({{-1, 60, 0x10000}, {30, 600, 0x10000}}).timeline);       // a leading gap
  EXPECT_FALSE(plan({{0, 60, 0x10000}, {-1, 60, 0x10000}, {90, 60, 0x10000}}).timeline);  // a gap inside
  EXPECT_FALSE(plan({{0, 60, 0x10000}, {90, 60, 0x20000}}).timeline);         // double speed
  EXPECT_FALSE(plan({{90, 60, 0x10000}, {30, 60, 0x10000}}).timeline);        // before the first
  EXPECT_FALSE(plan({{0, 60, 0x10000}, {90, 0, 0x10000}}).timeline);          // one real entry left
  EXPECT_FALSE(plan({{0, 60, 0x10000}, {90, 60, 0x10000}}, {{-1, 60, 0x10000}, {0, 60, 0x10000}}).timeline);
  EXPECT_TRUE(plan({{30, 600, 0x10000}}, {{0, 60, 0x10000}, {4800, 60, 0x10000}}).timeline);  // the sound's
  auto three = plan({{0, 60, 0x10000}, {90, 0, 0x10000}, {120, 60, 0x10000}});
  EXPECT_TRUE(three.timeline);
  EXPECT_EQ(three.video->size(), 2u);
}

TEST(Mp4EditLists, MovieBoxIsFoundAmongTopLevelBoxesOfEverySizeForm) {
  const Buf payload = Moov(600, {Trak("vide", 30, {{0, 60, 0x10000}})});
  for (bool large : {false, true}) {
    SCOPED_TRACE(large);
    const Buf file = Cat({test::Ftyp(), test::Mdat(1000), Box("moov", payload, large)});
    int reads = 0;
    auto reader = [&](std::uint64_t off, std::uint64_t len) -> std::optional<Buf> {
      ++reads;
      if (off >= file.size()) return Buf{};
      const auto n = std::min<std::uint64_t>(len, file.size() - off);
      return Buf(file.begin() + long(off), file.begin() + long(off + n));
    };
    auto moov = ReadMp4MovieBox(reader, file.size());
    ASSERT_TRUE(moov);
    EXPECT_EQ(*moov, payload);
    EXPECT_EQ(reads, 4);  // three headers and the box: the media is skipped, not read
  }
}

TEST(Mp4EditLists, MovieBoxReadRefusesDamagedFilesAndFailedReads) {
  const Buf moov = Box("moov", Moov(600, {}));
  auto over = [](const Buf& file) {
    return [file](std::uint64_t off, std::uint64_t len) -> std::optional<Buf> {
      if (off >= file.size()) return Buf{};
      const auto n = std::min<std::uint64_t>(len, file.size() - off);
      return Buf(file.begin() + long(off), file.begin() + long(off + n));
    };
  };
  EXPECT_FALSE(ReadMp4MovieBox(over(test::Ftyp()), test::Ftyp().size()));  // no moov
  Buf liar = Cat({test::Ftyp(), moov});
  liar[3] = 200;  // the ftyp claims to run past the end
  EXPECT_FALSE(ReadMp4MovieBox(over(liar), liar.size()));
  Buf truncated = Cat({test::Ftyp(), moov});
  truncated.erase(truncated.end() - 4, truncated.end());
  EXPECT_FALSE(ReadMp4MovieBox(over(truncated), truncated.size()));
  EXPECT_FALSE(ReadMp4MovieBox([](std::uint64_t, std::uint64_t) { return std::optional<Buf>{}; }, 4096));
  // A final box of size 0 runs to the end of the file.
  Buf open = Cat({test::Ftyp(), moov});
  open[test::Ftyp().size() + 3] = 0;
  EXPECT_TRUE(ReadMp4MovieBox(over(open), open.size()));
  // A box too large to hold in memory is not read.
  Buf huge = test::Ftyp();
  PutU32(huge, 1);
  huge.insert(huge.end(), {'m', 'o', 'o', 'v'});
  PutU64(huge, kMp4MaxMovieBoxBytes + 17);
  EXPECT_FALSE(ReadMp4MovieBox(over(huge), kMp4MaxMovieBoxBytes * 2));
}

}  // namespace
}  // namespace kf
