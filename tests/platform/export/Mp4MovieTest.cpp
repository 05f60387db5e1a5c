#include "platform/export/Mp4Movie.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "platform/ffmpeg/TestMovies.h"

namespace kf::mp4 {
namespace {

namespace fs = std::filesystem;

TEST(Mp4MovieTest, RewritesEditListsAndDurationsAndRefusesAHeaderFirstFile) {
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

  // A movie whose header comes before its samples cannot be rewritten in
  // place: refused, file untouched.
  { std::ofstream(copy, std::ios::binary) << std::string("\0\0\0\x10moov\0\0\0\0\0\0\0\0\0\0\0\x10mdat\0\0\0\0\0\0\0\0", 32); }
  const auto size = fs::file_size(copy);
  EXPECT_TRUE(WriteEditLists(copy, {{}}, 600, 1));
  EXPECT_EQ(fs::file_size(copy), size);
  fs::remove(copy);
}

}  // namespace
}  // namespace kf::mp4
