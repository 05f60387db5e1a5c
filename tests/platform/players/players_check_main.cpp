// kerfline-players-check: plays a movie whose frames carry their numbers in
// real players and reports, per player, the frames shown and how they
// differ from the frames the movie should show.
//
//   kerfline-players-check [options] MOVIE FRAMES
//     FRAMES     the expected frame numbers, e.g. "105-185" or "30-59,90-119"
//                (or @FILE holding such a list)
//     --players LIST   comma-separated, from: ffmpeg, ffmpeg-ignore-editlist,
//                      libmpv, mpv, chromium (default: all)
//     --rate FPS       frame rate of the movie (default: read from it)
//     --chromium PATH  the browser (default: chromium)
//     --capture-rate R playback rate in the browser while capturing (0.5)
//
// Exit status: 0 when every player that ran showed exactly the expected
// frames (and landed every seek), 1 when one differed, 2 on bad arguments
// or an unreadable movie. A player that is not installed is reported and
// does not count.
#include <cstdio>
#include <fstream>
#include <iostream>
#include <set>
#include <sstream>

#include "PlayerCheck.h"

extern "C" {
#include <libavutil/log.h>
}

using namespace kf::players;

namespace {

int Usage(const char* why) {
  std::fprintf(stderr,
               "%s\nusage: kerfline-players-check [--players LIST] [--rate FPS] [--chromium PATH] "
               "[--capture-rate R] MOVIE FRAMES\n",
               why);
  return 2;
}

}  // namespace

int main(int argc, char** argv) {
  std::set<std::string> players = {"ffmpeg", "ffmpeg-ignore-editlist", "libmpv", "mpv", "chromium"};
  const std::set<std::string> known = players;
  double rate = 0;
  ChromiumOptions chromium;
  std::vector<std::string> positional;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto value = [&](const char* name) -> const char* {
      if (i + 1 >= argc) {
        Usage((std::string(name) + " needs a value").c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--help" || a == "-h") {
      Usage("Plays MOVIE in real players and compares the frames shown with FRAMES.");
      return 0;
    } else if (a == "--players") {
      players.clear();
      std::stringstream in(value("--players"));
      std::string p;
      while (std::getline(in, p, ','))
        if (!p.empty()) {
          if (!known.count(p)) return Usage(("unknown player " + p).c_str());
          players.insert(p);
        }
    } else if (a == "--rate") {
      rate = std::atof(value("--rate"));
    } else if (a == "--chromium") {
      chromium.chromium = value("--chromium");
    } else if (a == "--capture-rate") {
      chromium.rate = std::atof(value("--capture-rate"));
    } else if (a == "--script") {
      chromium.script = value("--script");
    } else if (!a.empty() && a[0] == '-' && a != "-") {
      return Usage(("unknown option " + a).c_str());
    } else {
      positional.push_back(a);
    }
  }
  if (positional.size() != 2) return Usage("need MOVIE and FRAMES");
  // Decoding what lies before a cut without its references is expected to
  // complain; the report says what was shown.
  av_log_set_level(AV_LOG_FATAL);
  const std::string movie = positional[0];
  std::string list = positional[1];
  if (!list.empty() && list[0] == '@') {
    std::ifstream in(list.substr(1));
    if (!in) return Usage(("cannot read " + list.substr(1)).c_str());
    std::stringstream s;
    s << in.rdbuf();
    list = s.str();
    for (char& c : list)
      if (c == '\n' || c == ' ') c = ',';
  }
  auto expected = ParseFrameList(list);
  if (!expected.ok()) return Usage(expected.error().message.c_str());
  if (rate <= 0) rate = ProbeFrameRate(movie);
  if (rate <= 0) return Usage(("cannot read a frame rate from " + movie).c_str());
  const auto seeks = SeekPlan(*expected, rate);

  std::printf("%s\nexpected %zu frames: %s (%.3f fps)\n\n", movie.c_str(), expected->size(),
              FormatFrameList(*expected).c_str(), rate);
  bool allExact = true;
  auto run = [&](const std::string& name, auto&& play) {
    if (!players.count(name)) return;
    std::fflush(stdout);
    const Showing shown = play();
    const Comparison c = Compare(*expected, shown);
    std::printf("%s\n", Describe(*expected, shown, c).c_str());
    std::fflush(stdout);
    if (shown.unavailable.empty() && !c.exact) allExact = false;
  };
  run("ffmpeg", [&] { return PlayFfmpeg(movie, false); });
  run("ffmpeg-ignore-editlist", [&] { return PlayFfmpeg(movie, true); });
  run("libmpv", [&] { return PlayLibmpv(movie, seeks); });
  run("mpv", [&] { return PlayMpvProgram(movie); });
  run("chromium", [&] { return PlayChromium(movie, seeks, chromium); });
  return allExact ? 0 : 1;
}
