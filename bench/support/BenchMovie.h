// The player benchmarks' movie: 1080p with a 10-second keyframe interval and
// fine grain, so that exact seeks must decode deep into a group of pictures.
// Generated on first use and cached with the test movies.
#pragma once

#include <cstdio>
#include <optional>
#include <string>

#include "platform/ffmpeg/TestMovies.h"

namespace kf::bench {

// The cached movie of `seconds`, or nothing after printing why it could not
// be made.
inline std::optional<std::string> EnsureSeekBenchMovie(double seconds) {
  testmovies::MovieSpec spec;
  spec.width = 1920;
  spec.height = 1080;
  spec.seconds = seconds;
  spec.gop = 300;
  spec.noise = 10;
  spec.preset = "ultrafast";
  std::fprintf(stderr, "generating the 1080p movie (cached after the first run)…\n");
  auto path = testmovies::tryEnsure(spec);
  if (!path) {
    std::fprintf(stderr, "%s\n", path.error().message.c_str());
    return std::nullopt;
  }
  return *path;
}

}  // namespace kf::bench
