#include "app/rules/MovieMemory.h"

#include <gtest/gtest.h>

#include <cmath>

namespace kf {
namespace {

TEST(FrameText, RoundTripsExactly) {
  for (const Rect r : {Rect{10, 20, 980, 700}, Rect{-1440.5, 0.1, 1002.6666666666666, 810},
                       Rect{1e-7, 3.0000000000000004, 821, 641}}) {
    const std::string text = FrameToString(r);
    const auto back = FrameFromString(text);
    ASSERT_TRUE(back) << text;
    EXPECT_EQ(*back, r) << text;
  }
  EXPECT_EQ(FrameToString({10, 20, 980, 700}), "{{10, 20}, {980, 700}}");
  EXPECT_EQ(FrameFromString("{{1,2},{3,4}}"), (Rect{1, 2, 3, 4}));
  EXPECT_EQ(FrameFromString(" {{ 1 , 2 }, { 3 , 4 }} "), (Rect{1, 2, 3, 4}));
}

TEST(FrameText, RejectsAnythingElse) {
  for (const char* bad : {"", "{{1, 2}, {3}}", "{{1, 2}, {3, 4}", "{{1, 2}, {3, 4}}x", "1 2 3 4",
                          "{{a, 2}, {3, 4}}", "{{1, 2}, {inf, 4}}"}) {
    EXPECT_EQ(FrameFromString(bad), std::nullopt) << bad;
  }
}

TEST(VideoFrames, ReopeningAMovieRestoresItsFrame) {
  MemorySettingsStore store;
  StoreVideoFrame(store, "/m/a.mp4|100|5.000000", {100, 50, 1000, 800});
  StoreVideoFrame(store, "/m/b.mp4|200|6.000000", {0, 0, 900, 700});
  EXPECT_EQ(RestorableVideoFrame(store, "/m/a.mp4|100|5.000000", "/m/a.mp4"), (Rect{100, 50, 1000, 800}));
  EXPECT_EQ(RestorableVideoFrame(store, "/m/b.mp4|200|6.000000", "/m/b.mp4"), (Rect{0, 0, 900, 700}));
  // Overwriting keeps one entry per key.
  StoreVideoFrame(store, "/m/a.mp4|100|5.000000", {1, 2, 1100, 900});
  EXPECT_EQ(store.dictionaryValue("videoFrames")->size(), 2u);
  EXPECT_EQ(RestorableVideoFrame(store, "/m/a.mp4|100|5.000000", "/m/a.mp4"), (Rect{1, 2, 1100, 900}));
  // A changed file has a new identity and nothing under its path.
  EXPECT_EQ(RestorableVideoFrame(store, "/m/a.mp4|101|7.000000", "/m/a.mp4"), std::nullopt);
}

TEST(VideoFrames, PathIsTheSecondKeyAndSmallFramesAreIgnored) {
  MemorySettingsStore store;
  SettingsDictionary dict;
  dict["/m/a.mp4"] = std::string("{{5, 6}, {820, 640}}");
  dict["/m/b.mp4|1|1.000000"] = std::string("");
  dict["/m/b.mp4"] = std::string("{{0, 0}, {1000, 700}}");
  dict["/m/c.mp4"] = std::string("{{0, 0}, {800, 900}}");
  dict["/m/d.mp4"] = std::string("{{0, 0}, {1000, 639}}");
  dict["/m/e.mp4"] = std::string("garbage");
  dict["/m/f.mp4|1|1.000000"] = std::string("{{0, 0}, {800, 900}}");
  dict["/m/f.mp4"] = std::string("{{0, 0}, {1000, 700}}");
  store.setValue("videoFrames", dict);
  EXPECT_EQ(RestorableVideoFrame(store, "/m/a.mp4|1|1.000000", "/m/a.mp4"), (Rect{5, 6, 820, 640}));
  // An empty text under the identity falls back to the path.
  EXPECT_EQ(RestorableVideoFrame(store, "/m/b.mp4|1|1.000000", "/m/b.mp4"), (Rect{0, 0, 1000, 700}));
  EXPECT_EQ(RestorableVideoFrame(store, "k", "/m/c.mp4"), std::nullopt);  // narrower than 820
  EXPECT_EQ(RestorableVideoFrame(store, "k", "/m/d.mp4"), std::nullopt);  // lower than 640
  EXPECT_EQ(RestorableVideoFrame(store, "k", "/m/e.mp4"), std::nullopt);
  // A too-small frame under the identity is not replaced by the path's.
  EXPECT_EQ(RestorableVideoFrame(store, "/m/f.mp4|1|1.000000", "/m/f.mp4"), std::nullopt);
}

TEST(Playheads, StoredExactlyAndRestoredInsideTheMovie) {
  MemorySettingsStore store;
  StorePlayhead(store, "id-a", 12.7);
  StorePlayhead(store, "id-b", 3.25);
  StorePlayhead(store, "id-c", std::nan(""));
  EXPECT_EQ(store.dictionaryValue("playheads")->size(), 2u);
  EXPECT_EQ(RememberedPlayhead(store, "id-a", "/m/a.mp4", 60), 12.7);
  EXPECT_EQ(RememberedPlayhead(store, "id-b", "/m/b.mp4", 60), 3.25);
  EXPECT_EQ(RememberedPlayhead(store, "id-a", "/m/a.mp4", 12.7), std::nullopt);  // not before the end
  EXPECT_EQ(RememberedPlayhead(store, "id-x", "/m/x.mp4", 60), std::nullopt);
  StorePlayhead(store, "id-z", 0);
  EXPECT_EQ(RememberedPlayhead(store, "id-z", "/m/z.mp4", 60), std::nullopt);  // 0 is not worth a seek
}

TEST(Playheads, PathIsTheSecondKey) {
  MemorySettingsStore store;
  SettingsDictionary dict;
  dict["/m/a.mp4"] = 8.5;
  dict["id-b"] = std::string("x");
  dict["/m/b.mp4"] = std::string("4.5");
  store.setValue("playheads", dict);
  EXPECT_EQ(RememberedPlayhead(store, "id-a", "/m/a.mp4", 60), 8.5);
  EXPECT_EQ(RememberedPlayhead(store, "id-b", "/m/b.mp4", 60), 4.5);
  // Storing keeps the other entries.
  StorePlayhead(store, "id-a", 9);
  EXPECT_EQ(RememberedPlayhead(store, "id-a", "/m/a.mp4", 60), 9);
  EXPECT_EQ(RememberedPlayhead(store, "nope", "/m/a.mp4", 60), 8.5);
}

}  // namespace
}  // namespace kf
