// Our exports played in real players: FFmpeg's decoder (edit lists honoured
// and ignored), libmpv and the mpv program with their default settings, and
// headless Chromium. Sources: H.264 with closed and open groups of pictures
// and HEVC, 10 s at 30 fps with a keyframe every 2 s; edits: one range cut
// mid-GOP, two mid-GOP ranges, ten short ranges.
//
// What must hold: the re-encode and smart render show exactly the kept
// frames in every player, seeks included; the lossless stream copy shows
// exactly the kept frames where edit lists are honoured (FFmpeg; Chromium
// with one edit, its seeks into a source's open groups of pictures
// reported), and in the players that ignore them at least every kept frame. What each player showed is written to players-report.md in the
// working folder (and printed).
#include <gtest/gtest.h>

#include <cmath>
#include <fstream>
#include <iostream>

#include "ExportSessionFixture.h"
#include "PlayerCheck.h"

namespace kf {
namespace {

using namespace players;

tm::MovieSpec TenSeconds(const char* name) {
  tm::MovieSpec s = tm::named(name);
  s.seconds = 10;
  s.gop = 60;
  return s;
}

// H.264 whose groups of pictures are open: B-frames at the start of a
// group refer to the group before.
tm::MovieSpec OpenGop() {
  tm::MovieSpec s = TenSeconds("h264");
  s.openGop = true;
  return s;
}

enum class Cut { OneMidGop, TwoMidGop, TenShort };
const char* CutName(Cut c) {
  switch (c) {
    case Cut::OneMidGop: return "one mid-GOP range";
    case Cut::TwoMidGop: return "two mid-GOP ranges";
    case Cut::TenShort: return "ten short ranges";
  }
  return "";
}

std::vector<TimeSpan> Ranges(Cut c) {
  switch (c) {
    case Cut::OneMidGop: return {{3.5, 6.2}};
    case Cut::TwoMidGop: return {{1.3, 2.9}, {5.1, 7.7}};
    case Cut::TenShort: {
      // Starts and ends inside frames, far from their edges.
      std::vector<TimeSpan> v;
      for (int i = 0; i < 10; ++i) v.push_back({0.15 + 0.95 * i, 0.15 + 0.95 * i + 0.25});
      return v;
    }
  }
  return {};
}

// Frames on screen for more than 1/600 s inside each range (the cutting rule).
std::vector<int> Kept(const std::vector<TimeSpan>& ranges, double rate, int frameCount) {
  const double eps = 1.0 / 600;
  std::vector<int> out;
  for (const TimeSpan& r : ranges)
    for (int k = 0; k < frameCount; ++k)
      if (k / rate < r.end - eps - 1e-9 && (k + 1) / rate > r.start + eps + 1e-9) out.push_back(k);
  return out;
}

// One cell of the report table.
std::string Cell(const Showing& s, const Comparison& c) {
  if (!s.unavailable.empty()) return "not run";
  if (!s.failure.empty() && s.frames.empty()) return "fails: " + s.failure.substr(0, s.failure.find(';'));
  std::string out;
  auto add = [&](const std::string& part) { out += (out.empty() ? "" : "; ") + part; };
  if (!s.failure.empty()) add("fails: " + s.failure.substr(0, s.failure.find(';')));
  if (!c.leadIn.empty()) add("lead-in " + FormatFrameList(c.leadIn));
  if (!c.flashes.empty()) {
    std::string f;
    for (const auto& [after, foreign] : c.flashes) f += (f.empty() ? "" : " ") + std::to_string(after) + "→" +
                                                       FormatFrameList(foreign);
    add(std::to_string(c.flashes.size()) + " junction flash(es) " + f);
  }
  if (!c.trailing.empty()) add("after end " + FormatFrameList(c.trailing));
  if (!c.missing.empty()) add("missing " + FormatFrameList(c.missing));
  if (!c.inOrder) add("out of order");
  if (c.unreadable) add(std::to_string(c.unreadable) + " unreadable");
  if (!s.seeks.empty() && c.wrongSeeks) {
    std::string w;
    for (const SeekLanding& l : s.seeks)
      if (!l.ok()) w += (w.empty() ? "" : ", ") + l.probe.what + " → " + std::to_string(l.shown);
    add(std::to_string(c.wrongSeeks) + "/" + std::to_string(s.seeks.size()) + " seeks wrong (" + w + ")");
  }
  if (s.froze) add("froze");
  else if (s.stalled) add("stalled");
  if (c.durationChanged) {
    add("duration " + std::to_string(s.durations.front()).substr(0, 5) + "→" +
        std::to_string(s.durations.back()).substr(0, 5) + " s");
  }
  if (out.empty()) out = "exact";
  if (!c.uncaptured.empty()) out += " (" + std::to_string(c.uncaptured.size()) + " not captured or dropped late)";
  if (s.startTime && std::abs(*s.startTime) > 0.001 && !c.leadIn.empty())
    out += " (starts at " + std::to_string(*s.startTime).substr(0, 6) + " s)";
  return out;
}

void Report(const std::string& line) {
  const char* file = "players-report.md";
  if (!fs::exists(file))
    std::ofstream(file) << "| source, mode | cut | ffmpeg | ffmpeg, edit lists ignored | libmpv | mpv | chromium |\n"
                        << "|---|---|---|---|---|---|---|\n";
  std::cout << line << std::endl;
  std::ofstream(file, std::ios::app) << line << "\n";
}

class PlayersTest : public ExportSessionTest {
 protected:
  void SetUp() override {
    if (!HaveProgram("chromium") || !HaveProgram("mpv") || !HaveProgram("python3")) {
      GTEST_SKIP() << "needs Chromium, the mpv program and python3 (not all installed): the players check is skipped";
    }
    ExportSessionTest::SetUp();
  }

  struct Outcome {
    std::vector<int> expected;
    std::map<std::string, std::pair<Showing, Comparison>> byPlayer;
    const Comparison& operator[](const std::string& p) const { return byPlayer.at(p).second; }
    const Showing& shown(const std::string& p) const { return byPlayer.at(p).first; }
  };

  Outcome Play(const std::string& label, const std::string& source, const tm::MovieSpec& spec,
               ExportPreset preset, Cut cut) {
    Outcome o;
    const std::string out = Out(label + ".mp4");
    std::optional<Error> err;
    EXPECT_EQ(Run(source, Request(Ranges(cut), preset, out), &err), ExportStatus::Completed)
        << (err ? err->message : "");
    o.expected = Kept(Ranges(cut), spec.rate(), spec.frameCount());
    const auto seeks = SeekPlan(o.expected, spec.rate());
    std::vector<Showing> shown = {PlayFfmpeg(out, false), PlayFfmpeg(out, true), PlayLibmpv(out, seeks),
                                  PlayMpvProgram(out), PlayChromium(out, seeks)};
    std::string row = "| " + label + " | " + CutName(cut) + " |";
    for (Showing& s : shown) {
      const Comparison c = Compare(o.expected, s);
      std::cout << Describe(o.expected, s, c);
      row += " " + Cell(s, c) + " |";
      const std::string name = s.player;
      o.byPlayer.emplace(name, std::make_pair(std::move(s), c));
    }
    Report(row);
    return o;
  }

  // Every player shows exactly the kept frames (Chromium: where it plays
  // the codec at all), and lands every seek.
  void ExpectExactEverywhere(const Outcome& o, bool chromiumPlaysIt) {
    for (const char* p : {"ffmpeg", "ffmpeg-ignore-editlist", "libmpv", "mpv"})
      EXPECT_TRUE(o[p].exact) << Describe(o.expected, o.shown(p), o[p]);
    if (chromiumPlaysIt) {
      EXPECT_TRUE(o["chromium"].exact) << Describe(o.expected, o.shown("chromium"), o["chromium"]);
    }
  }

  // Lossless: FFmpeg, which honours edit lists, shows exactly the kept
  // frames; the players that ignore them still show every kept frame (with
  // what lies before and after the cuts); Chromium shows a single edit
  // exactly. What Chromium does with several edits is reported, not
  // asserted: it is the browser's own handling of a valid file.
  //
  // Open groups of pictures: a copy keeps the source's keyframes, and
  // Chromium cannot start decoding at an open group's I picture (its
  // leading pictures, which follow it, refer to the group before; Chromium
  // stops with a decoding error, in the source movie too). There Chromium
  // must play the single edit exactly and land the seek to its start (an
  // IDR picture); the seeks into later groups are reported.
  void ExpectLossless(const Outcome& o, bool chromiumPlaysIt, bool oneRange, bool openGop) {
    EXPECT_TRUE(o["ffmpeg"].exact) << Describe(o.expected, o.shown("ffmpeg"), o["ffmpeg"]);
    for (const char* p : {"ffmpeg-ignore-editlist", "libmpv", "mpv"})
      EXPECT_TRUE(o[p].allKeptShown) << Describe(o.expected, o.shown(p), o[p]);
    if (chromiumPlaysIt && oneRange && !openGop) {
      EXPECT_TRUE(o["chromium"].exact) << Describe(o.expected, o.shown("chromium"), o["chromium"]);
    }
    if (chromiumPlaysIt && oneRange && openGop) {
      Showing played = o.shown("chromium");
      ASSERT_FALSE(played.seeks.empty());
      EXPECT_TRUE(played.seeks.front().ok()) << Describe(o.expected, played, o["chromium"]);
      played.seeks.clear();
      EXPECT_TRUE(Compare(o.expected, played).exact) << Describe(o.expected, o.shown("chromium"), o["chromium"]);
    }
  }

  void RunSource(const std::string& name, const std::string& source, const tm::MovieSpec& spec, bool hevc,
                 bool openGop = false) {
    for (Cut cut : {Cut::OneMidGop, Cut::TwoMidGop, Cut::TenShort}) {
      SCOPED_TRACE(CutName(cut));
      // The re-encode writes H.264, which Chromium plays; the copy and smart
      // render keep HEVC, which it may not.
      ExpectExactEverywhere(Play(name + " re-encode", source, spec, ExportPreset::HighestQuality, cut), true);
      // Smart render keeps the source's codec and needs no edit list.
      ExpectExactEverywhere(Play(name + " smart", source, spec, ExportPreset::SmartRender, cut), !hevc);
      ExpectLossless(Play(name + " lossless", source, spec, ExportPreset::Passthrough, cut), !hevc,
                     cut == Cut::OneMidGop, openGop);
    }
  }
};

TEST_F(PlayersTest, H264ClosedGop) {
  const tm::MovieSpec spec = TenSeconds("h264");
  RunSource("H.264 closed GOP", tm::ensure(spec), spec, false);
}

TEST_F(PlayersTest, H264OpenGop) {
  const tm::MovieSpec spec = OpenGop();
  RunSource("H.264 open GOP", tm::ensure(spec), spec, false, true);
}

TEST_F(PlayersTest, Hevc) {
  const tm::MovieSpec spec = TenSeconds("hvc1");
  RunSource("HEVC", tm::ensure(spec), spec, true);
}

}  // namespace
}  // namespace kf
