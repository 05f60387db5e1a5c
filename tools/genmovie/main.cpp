// kerfline-genmovie: writes the generated test movies.
//
//   kerfline-genmovie --list                 names of the variants
//   kerfline-genmovie NAME... [-o FILE]      ensure each named movie in the
//                                            cache and print its path; with -o,
//                                            write the (single) movie to FILE
//   kerfline-genmovie --all                  ensure every variant
//   options for a custom movie (start from NAME, default h264):
//     --size WxH --fps N --seconds S --gop N --rotation D --tone-span A-B
extern "C" {
#include <libavutil/log.h>
}

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "platform/ffmpeg/TestMovies.h"

namespace movies = kf::testmovies;

int main(int argc, char** argv) {
  av_log_set_level(AV_LOG_ERROR);
  std::vector<std::string> wanted;
  std::string output;
  movies::MovieSpec custom;
  bool customised = false;
  for (int i = 1; i < argc; ++i) {
    const std::string a = argv[i];
    auto next = [&]() -> std::string {
      if (i + 1 >= argc) {
        std::fprintf(stderr, "%s needs a value\n", a.c_str());
        std::exit(2);
      }
      return argv[++i];
    };
    if (a == "--list") {
      for (const auto& n : movies::names()) std::printf("%s\n", n.c_str());
      return 0;
    } else if (a == "--all") {
      wanted = movies::names();
    } else if (a == "-o") {
      output = next();
    } else if (a == "--size") {
      customised = true;
      if (std::sscanf(next().c_str(), "%dx%d", &custom.width, &custom.height) != 2) return 2;
    } else if (a == "--fps") {
      customised = true;
      custom.fps = std::atoi(next().c_str());
    } else if (a == "--seconds") {
      customised = true;
      custom.seconds = std::atof(next().c_str());
    } else if (a == "--gop") {
      customised = true;
      custom.gop = std::atoi(next().c_str());
    } else if (a == "--rotation") {
      customised = true;
      custom.rotation = std::atoi(next().c_str());
    } else if (a == "--tone-span") {
      // The tone sounds only from A to B seconds (silence elsewhere).
      customised = true;
      if (std::sscanf(next().c_str(), "%lf-%lf", &custom.toneFrom, &custom.toneTo) != 2) return 2;
    } else if (a == "-h" || a == "--help") {
      std::printf("usage: kerfline-genmovie [--list] [--all] [NAME...] [-o FILE]\n"
                  "       [--size WxH] [--fps N] [--seconds S] [--gop N] [--rotation D]\n"
                  "       [--tone-span A-B]\n");
      return 0;
    } else if (auto s = movies::tryNamed(a)) {
      wanted.push_back(a);
    } else {
      std::fprintf(stderr, "unknown movie or option: %s\n", a.c_str());
      return 2;
    }
  }
  std::vector<movies::MovieSpec> specs;
  for (const auto& n : wanted) specs.push_back(movies::named(n));
  if (customised) {
    movies::MovieSpec base = specs.empty() ? movies::MovieSpec{} : specs.front();
    base.width = custom.width;
    base.height = custom.height;
    base.fps = custom.fps;
    base.seconds = custom.seconds;
    base.gop = custom.gop;
    base.rotation = custom.rotation;
    base.toneFrom = custom.toneFrom;
    base.toneTo = custom.toneTo;
    specs.assign(1, base);
  }
  if (specs.empty()) specs.push_back(movies::MovieSpec{});
  if (!output.empty()) {
    if (specs.size() != 1) {
      std::fprintf(stderr, "-o takes exactly one movie\n");
      return 2;
    }
    if (auto e = movies::generate(specs.front(), output)) {
      std::fprintf(stderr, "%s\n", e->message.c_str());
      return 1;
    }
    std::printf("%s\n", output.c_str());
    return 0;
  }
  int rc = 0;
  for (const auto& s : specs) {
    auto r = movies::tryEnsure(s);
    if (!r) {
      std::fprintf(stderr, "%s\n", r.error().message.c_str());
      rc = 1;
    } else {
      std::printf("%s\n", r->c_str());
    }
  }
  return rc;
}
