#include "app/rules/FolderRules.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <random>

namespace {

using kerfline::FolderEntry;
using kerfline::FolderNameCompare;
using kerfline::FolderVideos;

FolderEntry File(std::string name) {
  return {std::move(name), false, false};
}

TEST(FolderNameCompare, NumbersCompareByValue) {
  EXPECT_EQ(FolderNameCompare("clip2", "clip10"), -1);
  EXPECT_EQ(FolderNameCompare("clip10", "clip2"), 1);
  EXPECT_EQ(FolderNameCompare("a9b", "a10a"), -1);
  EXPECT_EQ(FolderNameCompare("x123456789012345678901234567890", "x99"), 1);  // longer than any integer type
  EXPECT_EQ(FolderNameCompare("v1.10", "v1.9"), 1);
  EXPECT_EQ(FolderNameCompare("ep10", "ep9"), 1);
}

TEST(FolderNameCompare, LettersIgnoreAsciiCaseUntilTheEnd) {
  EXPECT_EQ(FolderNameCompare("Clip2", "clip3"), -1);
  EXPECT_EQ(FolderNameCompare("Ep1.mov", "ep9.mp4"), -1);
  // Equal apart from case: the plain bytes decide, upper case first.
  EXPECT_EQ(FolderNameCompare("Clip", "clip"), -1);
  EXPECT_EQ(FolderNameCompare("clip", "Clip"), 1);
  // Only ASCII is folded: "É" (C3 89) and "é" (C3 A9) differ as bytes.
  EXPECT_EQ(FolderNameCompare("\xC3\x89", "\xC3\xA9"), -1);
  // Bytes above 0x7F compare unsigned, after every ASCII letter.
  EXPECT_EQ(FolderNameCompare("z", "\xC3\xA9"), -1);
}

TEST(FolderNameCompare, LeadingZerosBreakTiesOnlyAfterEverythingElse) {
  EXPECT_EQ(FolderNameCompare("a007", "a7"), 1);
  EXPECT_EQ(FolderNameCompare("a7", "a007"), -1);
  EXPECT_EQ(FolderNameCompare("a01.mp4", "a1.mp4"), 1);
  // A later letter difference outranks an earlier zero difference.
  EXPECT_EQ(FolderNameCompare("a01b", "a1c"), -1);
  // Only the first zero difference counts.
  EXPECT_EQ(FolderNameCompare("a01x1", "a1x001"), 1);
  // All-zero runs are the number zero.
  EXPECT_EQ(FolderNameCompare("t000", "t0"), 1);
  EXPECT_EQ(FolderNameCompare("t00", "t1"), -1);
}

TEST(FolderNameCompare, PrefixesAndEmptyNames) {
  EXPECT_EQ(FolderNameCompare("", ""), 0);
  EXPECT_EQ(FolderNameCompare("", "a"), -1);
  EXPECT_EQ(FolderNameCompare("a", ""), 1);
  EXPECT_EQ(FolderNameCompare("clip", "clip.mp4"), -1);
  EXPECT_EQ(FolderNameCompare("clip.mp4", "clip"), 1);
  EXPECT_EQ(FolderNameCompare("same.mp4", "same.mp4"), 0);
}

TEST(FolderNameCompare, IsAConsistentTotalOrder) {
  // Antisymmetry and transitivity over a pool of tricky names.
  const std::vector<std::string> pool = {
      "a",  "A",   "a0",  "a00", "a1", "a01", "a001", "a1b",   "a01b", "a1c",      "a01c", "a10", "a9",  "b",
      "B2", "b02", "b2x", "",    "1",  "01",  "001",  "a.mp4", "a-",   "\xC3\xA9", "Z",    "z9z", "z09z"};
  for (const auto& x : pool) {
    EXPECT_EQ(FolderNameCompare(x, x), 0) << x;
    for (const auto& y : pool) {
      EXPECT_EQ(FolderNameCompare(x, y), -FolderNameCompare(y, x)) << x << " " << y;
      if (x != y) {
        EXPECT_NE(FolderNameCompare(x, y), 0) << x << " " << y;
      }
      for (const auto& z : pool) {
        if (FolderNameCompare(x, y) < 0 && FolderNameCompare(y, z) < 0) {
          EXPECT_LT(FolderNameCompare(x, z), 0) << x << " " << y << " " << z;
        }
      }
    }
  }
}

TEST(FolderNameCompare, RandomNamesFormATotalOrder) {
  // Short names over an alphabet chosen to collide: digits with zeros, both
  // letter cases, a separator and a non-ASCII byte sequence.
  const std::vector<std::string> alphabet = {"0", "0", "1", "9", "a", "A", "b", ".", "\xC3\xA9"};
  std::mt19937 rng(12345);
  std::vector<std::string> names;
  for (int n = 0; n < 120; ++n) {
    std::string name;
    const int len = static_cast<int>(rng() % 7);
    for (int k = 0; k < len; ++k) name += alphabet[rng() % alphabet.size()];
    names.push_back(name);
  }
  for (const auto& x : names) {
    for (const auto& y : names) {
      const int xy = FolderNameCompare(x, y);
      ASSERT_EQ(xy, -FolderNameCompare(y, x)) << x << " | " << y;
      ASSERT_EQ(xy == 0, x == y) << x << " | " << y;
      if (xy >= 0) continue;
      for (const auto& z : names) {
        if (FolderNameCompare(y, z) < 0) {
          ASSERT_LT(FolderNameCompare(x, z), 0) << x << " | " << y << " | " << z;
        }
      }
    }
  }
}

TEST(FolderVideos, KeepsOnlyMovieFiles) {
  const std::vector<FolderEntry> entries = {File("movie.MP4"),
                                            File("clip.Ts"),
                                            File("x.webm"),
                                            File(".hidden.mp4"),
                                            {"folder.mp4", true, false},
                                            {"flagged.mkv", false, true},
                                            File("noext"),
                                            File("trailingdot."),
                                            File("a.mpeg"),
                                            File("b.m2ts"),
                                            File(""),
                                            File("c.MTS"),
                                            File("d.m4v"),
                                            File("e.avi"),
                                            File("f.mov"),
                                            File("g.mkv"),
                                            File("h.mp4.txt"),
                                            File("mp4")};
  EXPECT_EQ(FolderVideos(entries, 500), (std::vector<std::string>{"c.MTS", "clip.Ts", "d.m4v", "e.avi",
                                                                  "f.mov", "g.mkv", "movie.MP4", "x.webm"}));
}

TEST(FolderVideos, SortsNaturallyAndCapsAfterSorting) {
  EXPECT_EQ(FolderVideos({File("ep10.mp4"), File("ep9.mp4"), File("Ep1.mov")}, 500),
            (std::vector<std::string>{"Ep1.mov", "ep9.mp4", "ep10.mp4"}));
  EXPECT_EQ(FolderVideos({File("a01.mp4"), File("a1.mp4")}, 500),
            (std::vector<std::string>{"a1.mp4", "a01.mp4"}));

  std::vector<FolderEntry> many;
  for (int i = 600; i >= 1; --i) many.push_back(File("m" + std::to_string(i) + ".mp4"));
  std::shuffle(many.begin(), many.end(), std::mt19937(7));
  const auto names = FolderVideos(many, 500);
  ASSERT_EQ(names.size(), 500u);
  EXPECT_EQ(names.front(), "m1.mp4");
  EXPECT_EQ(names.back(), "m500.mp4");
  EXPECT_EQ(FolderVideos(many, 3), (std::vector<std::string>{"m1.mp4", "m2.mp4", "m3.mp4"}));
}

TEST(FolderStep, NextAndPreviousFromAListedMovie) {
  const std::vector<std::string> names = {"a.mp4", "b.mp4", "c.mp4"};
  EXPECT_EQ(kf::FolderStepTarget(names, "b.mp4", 1), 2u);
  EXPECT_EQ(kf::FolderStepTarget(names, "b.mp4", -1), 0u);
  EXPECT_EQ(kf::FolderStepTarget(names, "c.mp4", 1), std::nullopt);
  EXPECT_EQ(kf::FolderStepTarget(names, "a.mp4", -1), std::nullopt);
  EXPECT_EQ(kf::FolderStepTarget(names, "a.mp4", 0), std::nullopt);  // below 1 acts as previous
  EXPECT_EQ(kf::FolderPositionSuffix(names, "b.mp4"), " · 2 of 3 in folder (Ctrl+Alt+↑ Ctrl+Alt+↓)");
}

TEST(FolderStep, FromAnUnlistedMovie) {
  const std::vector<std::string> names = {"a.mp4", "z.mp4"};
  EXPECT_EQ(kf::FolderStepTarget(names, "notes.mxf", 1), 1u);
  EXPECT_EQ(kf::FolderStepTarget(names, "notes.mxf", -1), 0u);
  EXPECT_EQ(kf::FolderPositionSuffix(names, "notes.mxf"), "");
  EXPECT_EQ(kf::FolderStepTarget(names, "zz.mxf", 1), std::nullopt);
  EXPECT_EQ(kf::FolderStepTarget(names, "zz.mxf", -1), 1u);
  EXPECT_EQ(kf::FolderStepTarget({}, "x.mp4", 1), std::nullopt);
  EXPECT_EQ(kf::FolderStepTarget({}, "x.mp4", -1), std::nullopt);
}

TEST(FolderStep, OneMovieHasNoSuffixAndNowhereToGo) {
  const std::vector<std::string> one = {"only.mp4"};
  EXPECT_EQ(kf::FolderPositionSuffix(one, "only.mp4"), "");
  EXPECT_EQ(kf::FolderStepTarget(one, "only.mp4", 1), std::nullopt);
  EXPECT_EQ(kf::FolderStepTarget(one, "only.mp4", -1), std::nullopt);
}

class FolderListing : public ::testing::Test {
 protected:
  void SetUp() override {
    dir_ = std::filesystem::temp_directory_path() /
           ("kf-folder-" + std::to_string(::testing::UnitTest::GetInstance()->random_seed()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    std::filesystem::remove_all(dir_);
    std::filesystem::create_directories(dir_);
  }
  void TearDown() override { std::filesystem::remove_all(dir_); }
  void Touch(const std::string& name) { std::ofstream(dir_ / name) << "x"; }
  std::filesystem::path dir_;
};

TEST_F(FolderListing, ListsSiblingsOfTheOpenMovie) {
  Touch("ep10.mp4");
  Touch("ep9.mp4");
  Touch("Ep1.mov");
  Touch(".hidden.mp4");
  Touch("notes.txt");
  Touch("bad\xFFname.mp4");  // not UTF-8: skipped
  std::filesystem::create_directory(dir_ / "sub.mp4");
  std::filesystem::create_directory_symlink(dir_ / "sub.mp4", dir_ / "linkdir.mkv");
  std::filesystem::create_symlink(dir_ / "ep9.mp4", dir_ / "alias.mkv");

  const auto entries = kf::ListFolderEntries(dir_);
  EXPECT_EQ(entries.size(), 8u);
  const auto hidden =
      std::find_if(entries.begin(), entries.end(), [](auto& e) { return e.name == ".hidden.mp4"; });
  ASSERT_NE(hidden, entries.end());
  EXPECT_TRUE(hidden->isHidden);

  EXPECT_EQ(kf::FolderVideoNames(dir_ / "ep9.mp4"),
            (std::vector<std::string>{"alias.mkv", "Ep1.mov", "ep9.mp4", "ep10.mp4"}));
}

TEST_F(FolderListing, MissingFolderListsNothing) {
  EXPECT_TRUE(kf::ListFolderEntries(dir_ / "absent").empty());
  EXPECT_TRUE(kf::FolderVideoNames(dir_ / "absent" / "x.mp4").empty());
  EXPECT_TRUE(kf::FolderVideoNames("").empty());
}

}  // namespace
