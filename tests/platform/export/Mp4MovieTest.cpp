#include "platform/export/Mp4Movie.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "DecodedMovie.h"
#include "platform/ffmpeg/TestMovies.h"

namespace kf::mp4 {
namespace {

namespace fs = std::filesystem;

TEST(Mp4MovieTest, RewritesEditListsAndDurationsAndPutsTheHeaderFirst) {
  const std::string src = testmovies::ensure(testmovies::named("h264"));
  const std::string copy = (fs::temp_directory_path() / ("kf-mp4-" + std::to_string(::getpid()) + ".mp4")).string();
  fs::copy_file(src, copy, fs::copy_options::overwrite_existing);
  auto timing = ReadMovieTiming(copy);
  ASSERT_TRUE(timing.ok()) << timing.error().message;
  ASSERT_EQ(timing->tracks.size(), 2u);
  EXPECT_EQ(timing->tracks[0].handler, "vide");
  EXPECT_EQ(timing->tracks[0].compositionTimes.size(), 90u);
  EXPECT_EQ(timing->tracks[1].handler, "soun");

  const std::vector<std::vector<EditEntry>> edits{{{600, 1024}, {300, 4096}, {60, -1}}, {{960, 2048}}};
  ASSERT_FALSE(WriteEditLists(copy, edits, 600, 960));
  auto back = ReadEditLists(copy);
  ASSERT_TRUE(back.ok());
  EXPECT_EQ(*back, edits);
  auto again = ReadMovieTiming(copy);
  ASSERT_TRUE(again.ok());
  EXPECT_EQ(again->movieTimescale, 600u);
  EXPECT_EQ(again->tracks[0].compositionTimes, timing->tracks[0].compositionTimes);

  auto boxes = TopLevelBoxes(copy);
  ASSERT_TRUE(boxes.ok());
  ASSERT_GE(boxes->size(), 3u);
  EXPECT_EQ((*boxes)[0], "ftyp");
  EXPECT_EQ((*boxes)[1], "moov");
  EXPECT_EQ(boxes->back(), "mdat");

  // Rewritten again with the header now at the front and smaller (the
  // source's own edit lists): the samples follow it, every frame decodes
  // as in the source.
  auto originalEdits = ReadEditLists(src);
  ASSERT_TRUE(originalEdits.ok());
  std::int64_t originalLength = 0;
  for (const EditEntry& e : originalEdits->front()) originalLength += e.duration;
  const auto before = fs::file_size(copy);
  ASSERT_FALSE(WriteEditLists(copy, *originalEdits, timing->movieTimescale, originalLength));
  EXPECT_LT(fs::file_size(copy), before);
  auto third = ReadEditLists(copy);
  ASSERT_TRUE(third.ok());
  EXPECT_EQ(*third, *originalEdits);
  auto frames = testing::DecodeVideo(copy);
  ASSERT_TRUE(frames.ok()) << frames.error().message;
  auto original = testing::DecodeVideo(src);
  ASSERT_TRUE(original.ok());
  ASSERT_EQ(frames->size(), original->size());
  for (std::size_t i = 0; i < frames->size(); ++i) {
    EXPECT_EQ((*frames)[i].number, (*original)[i].number) << i;
    EXPECT_EQ((*frames)[i].checksum, (*original)[i].checksum) << i;
  }

  // A header between sample data is refused, file untouched.
  {
    std::ofstream(copy, std::ios::binary) << std::string(
        "\0\0\0\x10mdat\0\0\0\0\0\0\0\0\0\0\0\x10moov\0\0\0\0\0\0\0\0\0\0\0\x10mdat\0\0\0\0\0\0\0\0", 48);
  }
  const auto size = fs::file_size(copy);
  EXPECT_TRUE(WriteEditLists(copy, {{}}, 600, 1));
  EXPECT_TRUE(PutMovieHeaderFirst(copy));
  EXPECT_EQ(fs::file_size(copy), size);
  fs::remove(copy);
}

// ---- chunk offsets when the header moves, on a synthetic box tree ----------

using Bytes = std::vector<std::uint8_t>;

void Put32(Bytes& b, std::uint32_t v) {
  for (int s = 24; s >= 0; s -= 8) b.push_back(std::uint8_t(v >> s));
}
void Put64(Bytes& b, std::uint64_t v) {
  Put32(b, std::uint32_t(v >> 32));
  Put32(b, std::uint32_t(v));
}
std::uint32_t Get32(const std::uint8_t* p) {
  return (std::uint32_t(p[0]) << 24) | (std::uint32_t(p[1]) << 16) | (std::uint32_t(p[2]) << 8) | p[3];
}
Bytes MakeBox(const char* type, const Bytes& body) {
  Bytes b;
  Put32(b, std::uint32_t(body.size() + 8));
  b.insert(b.end(), type, type + 4);
  b.insert(b.end(), body.begin(), body.end());
  return b;
}
Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}
Bytes Offsets(bool wide, const std::vector<std::uint64_t>& offsets) {
  Bytes body;
  Put32(body, 0);
  Put32(body, std::uint32_t(offsets.size()));
  for (std::uint64_t o : offsets) wide ? Put64(body, o) : Put32(body, std::uint32_t(o));
  return MakeBox(wide ? "co64" : "stco", body);
}
Bytes Track(const Bytes& table) {
  const Bytes stsd = MakeBox("stsd", Bytes(24, 7));
  return MakeBox("trak", Concat({MakeBox("tkhd", Bytes(84, 1)),
                                 MakeBox("mdia", Concat({MakeBox("mdhd", Bytes(24, 2)),
                                                         MakeBox("minf", MakeBox("stbl", Concat({stsd, table})))}))}));
}
Bytes Movie(std::initializer_list<Bytes> tables) {
  Bytes body = MakeBox("mvhd", Bytes(100, 3));
  for (const Bytes& t : tables) body = Concat({body, Track(t)});
  return MakeBox("moov", body);
}

// Each chunk-offset table of a serialized header, in order: its type and entries.
struct Table {
  std::string type;
  std::vector<std::uint64_t> offsets;
};
void FindTables(const std::uint8_t* p, std::size_t n, std::vector<Table>& out) {
  std::size_t at = 0;
  while (at + 8 <= n) {
    const std::uint32_t size = Get32(p + at);
    const std::string type(reinterpret_cast<const char*>(p + at + 4), 4);
    ASSERT_GE(size, 8u);
    ASSERT_LE(at + size, n);
    if (type == "moov" || type == "trak" || type == "mdia" || type == "minf" || type == "stbl") {
      FindTables(p + at + 8, size - 8, out);
    } else if (type == "stco" || type == "co64") {
      Table t{type, {}};
      const std::uint32_t count = Get32(p + at + 12);
      for (std::uint32_t i = 0; i < count; ++i)
        t.offsets.push_back(type == "co64" ? (std::uint64_t(Get32(p + at + 16 + i * 8)) << 32) | Get32(p + at + 20 + i * 8)
                                           : Get32(p + at + 16 + i * 4));
      out.push_back(std::move(t));
    }
    at += size;
  }
}
std::vector<Table> Tables(const Bytes& moov) {
  std::vector<Table> out;
  FindTables(moov.data(), moov.size(), out);
  return out;
}

TEST(Mp4MovieTest, MovingTheHeaderMovesEveryChunkOffsetAndWidensTablesPast4GiB) {
  constexpr std::uint64_t kFtyp = 32;  // the header goes right after "ftyp"
  // Header at the end: the data started right after "ftyp" and now starts
  // after the header, so every offset grows by the header's size.
  {
    const Bytes moov = Movie({Offsets(false, {40, 1000, 70000}), Offsets(false, {48, 5000})});
    auto placed = MovieHeaderAt(moov, kFtyp, kFtyp);
    ASSERT_TRUE(placed.ok()) << placed.error().message;
    EXPECT_EQ(placed->size(), moov.size());
    const auto t = Tables(*placed);
    ASSERT_EQ(t.size(), 2u);
    const std::uint64_t s = placed->size();
    EXPECT_EQ(t[0].type, "stco");
    EXPECT_EQ(t[0].offsets, (std::vector<std::uint64_t>{40 + s, 1000 + s, 70000 + s}));
    EXPECT_EQ(t[1].offsets, (std::vector<std::uint64_t>{48 + s, 5000 + s}));
  }
  // Offsets that pass 4 GiB once moved: that table becomes "co64", the
  // header grows by 4 bytes per entry, and every offset (in both tables)
  // moves by the grown size.
  {
    const std::uint64_t nearTop = 0xFFFFFFFFull - 100;
    const Bytes moov = Movie({Offsets(false, {40, nearTop - 4096, nearTop}), Offsets(false, {48})});
    auto placed = MovieHeaderAt(moov, kFtyp, kFtyp);
    ASSERT_TRUE(placed.ok()) << placed.error().message;
    EXPECT_EQ(placed->size(), moov.size() + 3 * 4);
    const std::uint64_t s = placed->size();
    const auto t = Tables(*placed);
    ASSERT_EQ(t.size(), 2u);
    EXPECT_EQ(t[0].type, "co64");
    EXPECT_EQ(t[0].offsets, (std::vector<std::uint64_t>{40 + s, nearTop - 4096 + s, nearTop + s}));
    EXPECT_GT(t[0].offsets[2], 0xFFFFFFFFull);
    EXPECT_EQ(t[1].type, "stco");
    EXPECT_EQ(t[1].offsets, (std::vector<std::uint64_t>{48 + s}));
  }
  // Header already at the front and rewritten smaller (a 5 GiB movie with
  // "co64" already): the data moves back by the difference; "co64" stays.
  {
    const std::uint64_t big = 5ull << 30;
    const Bytes moov = Movie({Offsets(true, {kFtyp + 2000, big})});
    const std::uint64_t oldEnd = kFtyp + moov.size() + 300;  // the old header was 300 bytes larger
    auto placed = MovieHeaderAt(moov, kFtyp, oldEnd);
    ASSERT_TRUE(placed.ok()) << placed.error().message;
    const std::uint64_t newEnd = kFtyp + placed->size();
    const auto t = Tables(*placed);
    ASSERT_EQ(t.size(), 1u);
    EXPECT_EQ(t[0].type, "co64");
    EXPECT_EQ(t[0].offsets, (std::vector<std::uint64_t>{kFtyp + 2000 - oldEnd + newEnd, big - oldEnd + newEnd}));
  }
  // An offset before the data is a damaged file.
  EXPECT_FALSE(MovieHeaderAt(Movie({Offsets(false, {10})}), kFtyp, kFtyp).ok());
}

}  // namespace
}  // namespace kf::mp4
