// Values and pure functions of the edit model.
#include <gtest/gtest.h>

#include <clocale>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "edit/EditOps.h"
#include "edit/EditState.h"
#include "edit/EditText.h"
#include "edit/TimeMap.h"

using kerfline::EditState;
using kerfline::TimeSpan;

namespace {

const std::vector<TimeSpan> kGapped = {{0, 4}, {6, 10}};

std::string G17(double v) {
  std::string s;
  kerfline::AppendG17(s, v);
  return s;
}

}  // namespace

TEST(TimeMapping, EditedToSourceAtJunctionsGapsAndBounds) {
  std::int32_t index = 99;
  EXPECT_EQ(kerfline::RawFromEdited(4.0, kGapped, index), 4.0);
  EXPECT_EQ(index, 0);
  EXPECT_DOUBLE_EQ(kerfline::RawFromEdited(4.000001, kGapped, index), 6.000001);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(kerfline::RawFromEdited(100.0, kGapped, index), 10.0);
  EXPECT_EQ(index, 1);
  EXPECT_EQ(kerfline::RawFromEdited(-3.0, kGapped, index), 0.0);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(kerfline::RawFromEdited(0.0, kGapped, index), 0.0);
  EXPECT_EQ(index, 0);
  EXPECT_EQ(kerfline::RawFromEdited(5.0, kGapped, index), 7.0);
  EXPECT_EQ(index, 1);
  // Not-a-number counts as edited time 0 rather than leaking into the player.
  EXPECT_EQ(kerfline::RawFromEdited(std::nan(""), kGapped, index), 0.0);
  EXPECT_EQ(index, 0);

  const std::vector<TimeSpan> touching = {{0, 5}, {5, 9}};
  EXPECT_EQ(kerfline::RawFromEdited(5.0, touching, index), 5.0);
  EXPECT_EQ(index, 0);

  // Segments that start later in the source: edited 0 is the first start.
  const std::vector<TimeSpan> late = {{2, 3}, {7, 8}};
  EXPECT_EQ(kerfline::RawFromEdited(0.0, late, index), 2.0);
  EXPECT_EQ(kerfline::RawFromEdited(1.5, late, index), 7.5);
  EXPECT_EQ(index, 1);

  EXPECT_EQ(kerfline::RawFromEdited(3.0, std::vector<TimeSpan>{}, index), 0.0);
  EXPECT_EQ(index, -1);
}

TEST(TimeMapping, SourceToEditedInsideRemovedMaterialAndPastTheEnd) {
  EXPECT_EQ(kerfline::EditedFromRaw(5.0, kGapped), 4.0);
  EXPECT_EQ(kerfline::EditedFromRaw(10.0, kGapped), 8.0);
  EXPECT_EQ(kerfline::EditedFromRaw(11.0, kGapped), 8.0);
  EXPECT_EQ(kerfline::EditedFromRaw(7.5, kGapped), 5.5);
  EXPECT_EQ(kerfline::EditedFromRaw(-1.0, kGapped), 0.0);
  const std::vector<TimeSpan> touching = {{0, 5}, {5, 9}};
  EXPECT_EQ(kerfline::EditedFromRaw(5.0, touching), 5.0);
  const std::vector<TimeSpan> late = {{2, 3}, {7, 8}};
  EXPECT_EQ(kerfline::EditedFromRaw(1.0, late), 0.0);
  EXPECT_EQ(kerfline::EditedDuration(kGapped), 8.0);
  EXPECT_EQ(kerfline::EditedDuration(std::vector<TimeSpan>{}), 0.0);
}

TEST(TimeMapping, RoundTripsEveryKeptTime) {
  const std::vector<TimeSpan> segs = {{0.5, 1.25}, {2, 3.5}, {3.5, 4}, {10, 12}};
  for (double e = 0; e <= kerfline::EditedDuration(segs); e += 0.0625) {
    std::int32_t index;
    const double s = kerfline::RawFromEdited(e, segs, index);
    EXPECT_NEAR(kerfline::EditedFromRaw(s, segs), e, 1e-12) << e;
  }
}

TEST(Signature, FormatsLikePrintfG17ByteForByte) {
  EXPECT_EQ(G17(0), "0");
  EXPECT_EQ(G17(2.5), "2.5");
  EXPECT_EQ(G17(0.1), "0.10000000000000001");
  EXPECT_EQ(G17(10), "10");
  EXPECT_EQ(G17(-0.25), "-0.25");
  EXPECT_EQ(G17(1e21), "1e+21");
  EXPECT_EQ(G17(1e-7), "9.9999999999999995e-08");
  EXPECT_EQ(G17(123456789012345678.0), "1.2345678901234568e+17");
  EXPECT_EQ(G17(-0.0), "-0");

  EditState untouched;
  untouched.segments = {{0, 10}};
  untouched.names = {""};
  untouched.fadeIns = {0};
  untouched.fadeOuts = {0};
  untouched.selected = 0;
  EXPECT_EQ(kerfline::Signature(untouched), "0|0:10::0:0;");
  EXPECT_EQ(kerfline::Signature(untouched).size(), 12u);

  EditState named;
  named.segments = {{0, 2.5}};
  named.names = {"a"};
  named.fadeIns = {1};
  named.fadeOuts = {0};
  named.exposure = 0.25;
  EXPECT_EQ(kerfline::Signature(named), "0.25|0:2.5:a:1:0;");
  EXPECT_EQ(kerfline::Signature(named).size(), 17u);

  EditState reselected = named;
  reselected.selected = 7;
  EXPECT_EQ(kerfline::Signature(reselected), kerfline::Signature(named));
  EditState unnamed = named;
  unnamed.names = {""};
  EXPECT_NE(kerfline::Signature(unnamed), kerfline::Signature(named));
}

TEST(Signature, NumberTextMatchesPrintfForArbitraryDoubles) {
  // The test runs in the C locale, where printf is the reference.
  ASSERT_STREQ(std::setlocale(LC_NUMERIC, nullptr), "C");
  std::mt19937_64 rng(7);
  std::uniform_real_distribution<double> seconds(0, 36000);
  for (int i = 0; i < 20000; ++i) {
    double v;
    if (i % 2 == 0) {
      const std::uint64_t bits = rng();
      std::memcpy(&v, &bits, sizeof v);  // any bit pattern: subnormals, huge values, NaNs
    } else {
      v = seconds(rng);  // the times edits hold
    }
    char expected[64];
    std::snprintf(expected, sizeof expected, "%.17g", v);
    ASSERT_EQ(G17(v), expected) << i;
  }
}

TEST(Signature, MissingEntriesReadAsEmptyNameAndZeroFade) {
  EditState s;
  s.segments = {{0, 1}, {2, 3.5}};
  s.names = {"x"};
  s.fadeIns = {};
  s.fadeOuts = {0.5};
  EXPECT_EQ(kerfline::Signature(s), "0|0:1:x:0:0.5;2:3.5::0:0;");
  EXPECT_EQ(kerfline::Signature(EditState{}), "0|");
}

TEST(Signature, DoesNotFollowTheProcessLocale) {
  // A locale with a decimal comma, when this machine has one; the text must
  // keep its decimal point either way.
  const char* candidates[] = {"de_DE.UTF-8", "de_DE.utf8", "fr_FR.UTF-8", "nl_NL.UTF-8"};
  const std::string previous = std::setlocale(LC_NUMERIC, nullptr);
  bool switched = false;
  for (const char* name : candidates) {
    if (std::setlocale(LC_NUMERIC, name)) {
      switched = true;
      break;
    }
  }
  EditState s;
  s.segments = {{0.5, 2.25}};
  s.fadeIns = {1.5};
  s.exposure = -0.5;
  const std::string sig = kerfline::Signature(s);
  const std::string fixed = kerfline::FormatFixed1(0.75);
  std::setlocale(LC_NUMERIC, previous.c_str());
  EXPECT_EQ(sig, "-0.5|0.5:2.25::1.5:0;");
  EXPECT_EQ(fixed, "0.8");
  if (!switched) GTEST_LOG_(INFO) << "no decimal-comma locale installed; checked in the C locale only";
}

TEST(Signature, SameSignatureAgreesWithTheTexts) {
  // Raw names can make different edits read alike; the comparison must say
  // exactly what comparing the texts says.
  EditState one;
  one.segments = {{0, 10}};
  one.names = {"x:0:0;10:20:y"};
  one.fadeIns = {0};
  one.fadeOuts = {0};
  EditState two;
  two.segments = {{0, 10}, {10, 20}};
  two.names = {"x", "y"};
  two.fadeIns = {0, 0};
  two.fadeOuts = {0, 0};
  ASSERT_EQ(kerfline::Signature(one), kerfline::Signature(two));
  EXPECT_TRUE(kerfline::SameSignature(one, two));

  const double nan = std::numeric_limits<double>::quiet_NaN();
  const double values[] = {0, -0.0, 0.1, 0.30000000000000004, 0.3, 1, 2.5, 1e-300, nan, -nan};
  const char* names[] = {"", "a", "b", "a:", ":0", "x;", "0:0;", "|"};
  std::mt19937 rng(20261207);
  auto pick = [&](auto& pool) { return pool[rng() % std::size(pool)]; };
  auto randomEdit = [&] {
    EditState e;
    const std::size_t n = rng() % 3;
    for (std::size_t i = 0; i < n; ++i) e.segments.push_back({pick(values), pick(values)});
    for (std::size_t i = 0, k = n + rng() % 2 - (n > 0 ? rng() % 2 : 0); i < k; ++i)
      e.names.push_back(pick(names));
    for (std::size_t i = 0, k = rng() % (n + 2); i < k; ++i) e.fadeIns.push_back(pick(values));
    for (std::size_t i = 0, k = rng() % (n + 2); i < k; ++i) e.fadeOuts.push_back(pick(values));
    e.exposure = pick(values);
    return e;
  };
  int equalPairs = 0;
  for (int round = 0; round < 20000; ++round) {
    const EditState a = randomEdit();
    EditState b = a;
    // Mostly small changes, so that equal texts come up often.
    switch (rng() % 6) {
      case 0:
        b = randomEdit();
        break;
      case 1:
        b.exposure = pick(values);
        break;
      case 2:
        if (!b.names.empty()) b.names[rng() % b.names.size()] = pick(names);
        break;
      case 3:
        b.fadeIns.push_back(0);
        break;
      case 4:
        if (!b.segments.empty()) b.segments.back().end = pick(values);
        break;
      default:
        break;
    }
    const bool texts = kerfline::Signature(a) == kerfline::Signature(b);
    equalPairs += texts;
    ASSERT_EQ(kerfline::SameSignature(a, b), texts)
        << kerfline::Signature(a) << " vs " << kerfline::Signature(b);
  }
  EXPECT_GT(equalPairs, 2000);
}

TEST(FadeClamp, ClampsToTheClipAndDropsShortFades) {
  std::vector<TimeSpan> segs = {{0, 2}, {0, 2}, {5, 6}, {3, 3.5}, {4, 3}};
  std::vector<double> in = {3, 0.04, -1, 0.3, 1, 9};
  std::vector<double> out = {1, 1.5, 0.5, 0.3, 1};
  mg::ClampFades(segs, in, out);
  EXPECT_EQ(in, (std::vector<double>{2, 0, 0, 0.3, 0, 9}));  // index 5 past the segments: untouched
  EXPECT_EQ(out[0], 0);                                      // no room left beside the 2 s fade-in
  EXPECT_EQ(out[1], 1.5);
  EXPECT_EQ(out[2], 0.5);
  EXPECT_DOUBLE_EQ(out[3], 0.2);  // 0.5 - 0.3
  EXPECT_EQ(out[4], 0);           // reversed segment has length 0

  std::vector<double> nanIn = {std::nan("")};
  std::vector<double> nanOut = {std::nan("")};
  std::vector<TimeSpan> one = {{0, 2}};
  mg::ClampFades(one, nanIn, nanOut);
  EXPECT_EQ(nanIn[0], 0);
  EXPECT_EQ(nanOut[0], 0);
}

TEST(NormalizeEdit, ResizesClampsAndBoundsSelectionAndExposure) {
  EditState s;
  s.segments = {{0, 2}, {3, 4}};
  s.names = {"a", "b", "c"};
  s.fadeIns = {3};
  s.selected = 9;
  s.exposure = 1.5;
  kerfline::NormalizeEdit(s);
  EXPECT_EQ(s.names, (std::vector<std::string>{"a", "b"}));
  EXPECT_EQ(s.fadeIns, (std::vector<double>{2, 0}));
  EXPECT_EQ(s.fadeOuts, (std::vector<double>{0, 0}));
  EXPECT_EQ(s.selected, 1);
  EXPECT_EQ(s.exposure, 1);
  s.selected = -5;
  s.exposure = -3;
  kerfline::NormalizeEdit(s);
  EXPECT_EQ(s.selected, 0);
  EXPECT_EQ(s.exposure, -1);
  EditState empty;
  empty.selected = 3;
  empty.names = {"x"};
  kerfline::NormalizeEdit(empty);
  EXPECT_EQ(empty.selected, -1);
  EXPECT_TRUE(empty.names.empty());
}

TEST(FadeBlackAmount, RampsAndOverlap) {
  const std::vector<TimeSpan> segs = {{10, 20}};
  EXPECT_EQ(mg::FadeBlackAmount(10, segs, {1}, {0}), 1);
  EXPECT_NEAR(mg::FadeBlackAmount(10.5, segs, {1}, {0}), 0.5, 1e-12);
  EXPECT_EQ(mg::FadeBlackAmount(11, segs, {1}, {0}), 0);
  EXPECT_EQ(mg::FadeBlackAmount(9, segs, {1}, {0}), 0);
  EXPECT_NEAR(mg::FadeBlackAmount(19.5, segs, {0}, {2}), 0.75, 1e-12);
  EXPECT_EQ(mg::FadeBlackAmount(20, segs, {0}, {2}), 1);
  EXPECT_EQ(mg::FadeBlackAmount(15, segs, {}, {}), 0);

  // 1.5 s clip, fade-in 1, fade-out 0.5: the ramps meet at 11.
  const std::vector<TimeSpan> clip = {{10, 11.5}};
  EXPECT_NEAR(mg::FadeBlackAmount(10.75, clip, {1}, {0.5}), 0.25, 1e-12);
  EXPECT_EQ(mg::FadeBlackAmount(11, clip, {1}, {0.5}), 0);
  EXPECT_NEAR(mg::FadeBlackAmount(11.4, clip, {1}, {0.5}), 0.8, 1e-12);
  // Overlapping ramps (unclamped fades): the larger one wins on either side.
  EXPECT_NEAR(mg::FadeBlackAmount(10.6, clip, {1}, {1}), 0.4, 1e-12);
  EXPECT_NEAR(mg::FadeBlackAmount(10.9, clip, {1}, {1}), 0.4, 1e-12);

  // On a shared edge the first segment in list order decides.
  const std::vector<TimeSpan> touching = {{0, 5}, {5, 9}};
  EXPECT_EQ(mg::FadeBlackAmount(5, touching, {0, 1}, {0, 0}), 0);
  EXPECT_EQ(mg::FadeBlackAmount(5, touching, {0, 0}, {1, 0}), 1);
}

TEST(Clock, RoundsToMillisecondsAndSwitchesToHours) {
  EXPECT_EQ(mg::Clock(0), "00:00.000");
  EXPECT_EQ(mg::Clock(75.5), "01:15.500");
  EXPECT_EQ(mg::Clock(3725.0004), "01:02:05.000");
  EXPECT_EQ(mg::Clock(3599.9996), "01:00:00.000");
  EXPECT_EQ(mg::Clock(3599.9994), "59:59.999");
  EXPECT_EQ(mg::Clock(59.9994), "00:59.999");
  EXPECT_EQ(mg::Clock(0.0005), "00:00.001");  // half a millisecond rounds away from zero
  EXPECT_EQ(mg::Clock(-1), "00:00.000");
  EXPECT_EQ(mg::Clock(-0.0), "00:00.000");
  EXPECT_EQ(mg::Clock(std::nan("")), "00:00.000");
  EXPECT_EQ(mg::Clock(std::numeric_limits<double>::infinity()), "00:00.000");
  EXPECT_EQ(mg::Clock(360000), "100:00:00.000");           // hours are not wrapped
  EXPECT_EQ(mg::Clock(1e300), "2562047788015:12:55.807");  // capped, never undefined
}

TEST(Utf8, ValidatesAndTrims) {
  EXPECT_EQ(mg::String("Intro \xE2\x80\x93 Teil 1"), "Intro \xE2\x80\x93 Teil 1");
  EXPECT_EQ(mg::String("\xF0\x9F\x8E\xAC"), "\xF0\x9F\x8E\xAC");
  EXPECT_EQ(mg::String("bad\xFF"), "");
  EXPECT_EQ(mg::String("\xC0\xAF"), "");          // overlong '/'
  EXPECT_EQ(mg::String("\xED\xA0\x80"), "");      // surrogate
  EXPECT_EQ(mg::String("\xF4\x90\x80\x80"), "");  // above U+10FFFF
  EXPECT_EQ(mg::String("\xE2\x80"), "");          // truncated
  EXPECT_EQ(mg::String(""), "");

  EXPECT_EQ(kerfline::TrimWhitespace("  Intro\t\n"), "Intro");
  EXPECT_EQ(kerfline::TrimWhitespace("\xC2\xA0\xE3\x80\x80Scene 2\xE2\x80\xA8"), "Scene 2");
  EXPECT_EQ(kerfline::TrimWhitespace("a  b"), "a  b");
  EXPECT_EQ(kerfline::TrimWhitespace(" \r\n "), "");
  EXPECT_EQ(kerfline::TrimWhitespace("x\xFF "), "x\xFF");
  EXPECT_EQ(kerfline::TrimWhitespace("\xE2\x80\x93"), "\xE2\x80\x93");  // en dash is no space
}

TEST(RollCut, KeepsTheGapAndTheLimits) {
  std::vector<TimeSpan> segs = kGapped;
  kerfline::RollResult r = kerfline::RollCut(segs, 0, 7, 10);
  EXPECT_TRUE(r.changed);
  EXPECT_EQ(r.time, 7);
  EXPECT_EQ(segs, (std::vector<TimeSpan>{{0, 7}, {9, 10}}));

  segs = kGapped;
  r = kerfline::RollCut(segs, 0, 9, 10);
  EXPECT_DOUBLE_EQ(r.time, 7.9);  // 10 - 0.1 - 2
  EXPECT_DOUBLE_EQ(segs[0].end, 7.9);
  EXPECT_DOUBLE_EQ(segs[1].start, 9.9);
  EXPECT_EQ(segs[1].end, 10);

  std::vector<TimeSpan> touching = {{0, 4}, {4, 10}};
  r = kerfline::RollCut(touching, 0, -1, 10);
  EXPECT_DOUBLE_EQ(r.time, 0.1);
  EXPECT_DOUBLE_EQ(touching[1].start, 0.1);
  touching = {{0, 4}, {4, 10}};
  r = kerfline::RollCut(touching, 0, 20, 10);
  EXPECT_DOUBLE_EQ(r.time, 9.9);
  touching = {{0, 4}, {4, 12}};
  r = kerfline::RollCut(touching, 0, 20, 8);  // the movie's end caps the cut
  EXPECT_EQ(r.time, 8);

  // The right clip never starts before source 0: the lower bound is -gap.
  std::vector<TimeSpan> early = {{-5, 1}, {4, 10}};
  r = kerfline::RollCut(early, 0, -10, 10);
  EXPECT_EQ(r.time, -3);
  EXPECT_EQ(early[1].start, 0);

  std::vector<TimeSpan> same = kGapped;
  r = kerfline::RollCut(same, 0, 4.0000005, 10);
  EXPECT_FALSE(r.changed);
  EXPECT_EQ(same, kGapped);
  r = kerfline::RollCut(same, 1, 5, 10);  // no segment after the last
  EXPECT_FALSE(r.changed);
  EXPECT_EQ(r.time, 0);
  r = kerfline::RollCut(same, -1, 5, 10);
  EXPECT_FALSE(r.changed);
}

TEST(RollCut, TwoClipsTooShortForTheMinimumStayPut) {
  // 0.05 s + 0.05 s leaves no cut position that keeps 0.1 s on each side.
  std::vector<TimeSpan> tiny = {{0, 0.05}, {0.05, 0.1}};
  const std::vector<TimeSpan> before = tiny;
  for (double x : {-1.0, 0.07, 0.2}) {
    EXPECT_FALSE(kerfline::RollCut(tiny, 0, x, 10).changed) << x;
    EXPECT_EQ(tiny, before);
  }
  EXPECT_FALSE(kerfline::RollCut(tiny, 0, std::nan(""), 10).changed);
  EXPECT_EQ(kerfline::ClampRollTime(tiny, 0, 0.2, 10), 0.05);
}

TEST(ToggleFade, AddsUpToOneSecondWithinTheRoomAndRemoves) {
  EditState s;
  s.segments = {{0, 0.5}};
  s.selected = 0;
  ASSERT_TRUE(kerfline::ToggleFade(s, true));
  EXPECT_EQ(s.fadeIns[0], 0.5);
  ASSERT_TRUE(kerfline::ToggleFade(s, true));
  EXPECT_EQ(s.fadeIns[0], 0);

  EditState t;
  t.segments = {{0, 1.03}};
  t.fadeOuts = {1};
  t.selected = 0;
  EXPECT_FALSE(kerfline::ToggleFade(t, true));
  EXPECT_EQ(t.fadeIns, (std::vector<double>{0}));

  EditState u;
  u.segments = {{0, 5}, {5, 7}};
  u.selected = 1;
  ASSERT_TRUE(kerfline::ToggleFade(u, false));
  EXPECT_EQ(u.fadeOuts, (std::vector<double>{0, 1}));
  u.selected = 4;  // normalised to the last clip first
  ASSERT_TRUE(kerfline::ToggleFade(u, false));
  EXPECT_EQ(u.fadeOuts, (std::vector<double>{0, 0}));
  EditState none;
  EXPECT_FALSE(kerfline::ToggleFade(none, true));
}
