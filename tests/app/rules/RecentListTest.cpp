#include "app/rules/RecentList.h"

#include <gtest/gtest.h>

namespace kf {
namespace {

TEST(RecentList, RecordingMovesToFrontWithoutRepeats) {
  MemorySettingsStore store;
  EXPECT_TRUE(ReadRecentPaths(store).empty());
  StoreRecentPath(store, "/m/a.mp4");
  StoreRecentPath(store, "/m/b.mp4");
  EXPECT_EQ(StoreRecentPath(store, "/m/a.mp4"), (std::vector<std::string>{"/m/a.mp4", "/m/b.mp4"}));
  EXPECT_EQ(ReadRecentPaths(store), (std::vector<std::string>{"/m/a.mp4", "/m/b.mp4"}));
  // Stored as a list of strings under "recentFiles".
  const auto stored = store.listValue("recentFiles");
  ASSERT_TRUE(stored);
  EXPECT_EQ(stored->size(), 2u);
}

TEST(RecentList, EleventhPushesTheOldestOut) {
  MemorySettingsStore store;
  for (int i = 1; i <= 11; ++i) StoreRecentPath(store, "/m/" + std::to_string(i) + ".mp4");
  const auto paths = ReadRecentPaths(store);
  ASSERT_EQ(paths.size(), 10u);
  EXPECT_EQ(paths.front(), "/m/11.mp4");
  EXPECT_EQ(paths.back(), "/m/2.mp4");
  EXPECT_EQ(store.listValue("recentFiles")->size(), 10u);
}

TEST(RecentList, ReadingDropsJunkAndStopsAtTen) {
  MemorySettingsStore store;
  SettingsList stored = {SettingsScalar{std::string("/m/p1")}, SettingsScalar{std::string()},
                         SettingsScalar{std::int64_t{42}}, SettingsScalar{std::string("/m/p1")}};
  for (int i = 2; i <= 12; ++i)
    stored.emplace_back(std::in_place_type<std::string>, "/m/p" + std::to_string(i));
  store.setValue("recentFiles", stored);
  const auto paths = ReadRecentPaths(store);
  ASSERT_EQ(paths.size(), 10u);
  for (int i = 0; i < 10; ++i) EXPECT_EQ(paths[i], "/m/p" + std::to_string(i + 1));

  // Not a list at all: empty.
  store.setValue("recentFiles", std::string("/m/x"));
  EXPECT_TRUE(ReadRecentPaths(store).empty());
  // Recording over junk starts a fresh list.
  EXPECT_EQ(StoreRecentPath(store, "/m/y"), (std::vector<std::string>{"/m/y"}));
}

TEST(RecentList, ClearRemovesTheKey) {
  MemorySettingsStore store;
  StoreRecentPath(store, "/m/a.mp4");
  ClearRecentPaths(store);
  EXPECT_FALSE(store.contains("recentFiles"));
  EXPECT_TRUE(ReadRecentPaths(store).empty());
}

TEST(RecentMenu, TildeAbbreviation) {
  EXPECT_EQ(AbbreviateWithTilde("/home/u/Movies/a.mp4", "/home/u"), "~/Movies/a.mp4");
  EXPECT_EQ(AbbreviateWithTilde("/home/u", "/home/u/"), "~");
  EXPECT_EQ(AbbreviateWithTilde("/home/user2/a.mp4", "/home/u"), "/home/user2/a.mp4");
  EXPECT_EQ(AbbreviateWithTilde("/srv/a.mp4", "/home/u"), "/srv/a.mp4");
  EXPECT_EQ(AbbreviateWithTilde("/a.mp4", "/"), "/a.mp4");
  EXPECT_EQ(AbbreviateWithTilde("/a.mp4", ""), "/a.mp4");
}

TEST(RecentMenu, LongTitlesShowParentAndName) {
  const std::string home = "/home/u";
  const std::string dir64 = "~/" + std::string(56, 'd') + "/a.mp4";  // 64 characters
  ASSERT_EQ(dir64.size(), 64u);
  const std::string path64 = home + dir64.substr(1);
  EXPECT_EQ(RecentDisplayText(path64, home), dir64);
  const std::string path65 = home + "/" + std::string(57, 'd') + "/a.mp4";
  EXPECT_EQ(RecentDisplayText(path65, home), "…/" + std::string(57, 'd') + "/a.mp4");
  // Length counts UTF-16 units, not bytes: 58 "é" are 116 bytes but 58 units.
  std::string accents;
  for (int i = 0; i < 58; ++i) accents += "\xC3\xA9";
  EXPECT_EQ(RecentDisplayText("/s/" + accents + ".x", home), "/s/" + accents + ".x");       // 63 units
  EXPECT_EQ(RecentDisplayText("/srv/" + accents + ".x", home), "…/srv/" + accents + ".x");  // 65 units
}

TEST(RecentMenu, ItemTitlesNumberOneToNineThenZero) {
  EXPECT_EQ(RecentMenuTitle(0, "/srv/a.mp4", "/home/u"), "1  /srv/a.mp4");
  EXPECT_EQ(RecentMenuTitle(8, "/home/u/b.mp4", "/home/u"), "9  ~/b.mp4");
  EXPECT_EQ(RecentMenuTitle(9, "/home/u/c.mp4", "/home/u"), "0  ~/c.mp4");
}

}  // namespace
}  // namespace kf
