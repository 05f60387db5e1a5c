// Shared by the export matrix and its playback check: generated sources of
// real-world shapes as FFmpeg's decoder shows them, the four edits, and the
// frames the cutting rule keeps.
#pragma once

#include <cmath>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

#include "ExportSessionFixture.h"

namespace kf::matrix {

enum class Edit { InsideFrames, TwoMidGop, TenShort, ToEnd };
inline const char* EditName(Edit e) {
  switch (e) {
    case Edit::InsideFrames: return "inside";
    case Edit::TwoMidGop: return "midgop";
    case Edit::TenShort: return "ten";
    case Edit::ToEnd: return "toend";
  }
  return "";
}

// A source as FFmpeg's decoder shows it, on its own timeline.
struct Source {
  std::string path;
  std::vector<testing::Frame> frames;  // presentation order
  std::vector<double> start;           // each frame's start on the timeline
  double frameLength = 0;              // typical
  double duration = 0;                 // the container's, as the player reports it
  double origin = 0;
  std::vector<testing::Sound> sounds;
  std::vector<std::string> languages;
  double endOf(std::size_t i) const { return i + 1 < start.size() ? start[i + 1] : start[i] + frameLength; }
  double mid(std::size_t i) const { return (start[i] + endOf(i)) / 2; }
};

inline const Source& LoadSource(const std::string& name) {
  static std::map<std::string, Source> cache;
  auto it = cache.find(name);
  if (it != cache.end()) return it->second;
  Source s;
  s.path = tm::ensure(tm::named(name));
  auto frames = testing::DecodeVideo(s.path);
  if (!frames.ok()) throw std::runtime_error(frames.error().message);
  s.frames = std::move(*frames);
  s.origin = testing::StartTime(s.path);
  for (const auto& f : s.frames) s.start.push_back(f.time - s.origin);
  s.frameLength = 1.0 / tm::named(name).rate();
  auto d = ProbeMovieDuration(s.path);
  s.duration = d.ok() ? *d : 0;
  s.languages = testing::TrackLanguages(s.path, AVMEDIA_TYPE_AUDIO);
  for (std::size_t k = 0; k < s.languages.size(); ++k) {
    auto sound = testing::DecodeSoundTrack(s.path, static_cast<int>(k));
    if (!sound.ok()) throw std::runtime_error(sound.error().message);
    s.sounds.push_back(std::move(*sound));
  }
  return cache.emplace(name, std::move(s)).first->second;
}

// Frame indices scale with the movie's frame count (about 180 frames in
// 6 s; GOPs of 2 s, so 0.2 and 0.53 of the way lie inside groups).
inline std::vector<TimeSpan> RangesFor(const Source& s, Edit e) {
  const double n = static_cast<double>(s.start.size());
  auto at = [&](double f) { return static_cast<std::size_t>(f * n); };
  switch (e) {
    case Edit::InsideFrames: return {{s.mid(at(0.11)), s.mid(at(0.55))}};
    case Edit::TwoMidGop: return {{s.start[at(0.2)], s.start[at(0.42)]}, {s.start[at(0.53)], s.start[at(0.78)]}};
    case Edit::TenShort: {
      std::vector<TimeSpan> v;
      for (int i = 0; i < 10; ++i) v.push_back({0.137 + 0.5 * i, 0.137 + 0.5 * i + 0.23});
      return v;
    }
    case Edit::ToEnd: return {{s.start[at(0.61)] + 0.004, s.duration}};
  }
  return {};
}

// Frames on screen for more than one 1/600 s unit inside [a, b), by index
// into the source's frames, range after range.
inline std::vector<std::vector<std::size_t>> Expected(const Source& s, const std::vector<TimeSpan>& ranges) {
  const double eps = 1.0 / 600;
  std::vector<std::vector<std::size_t>> out;
  for (const TimeSpan& r : ranges) {
    // Edit times reach the export as they are (not rounded to the grid).
    const double a = r.start, b = r.end;
    std::vector<std::size_t> kept;
    for (std::size_t i = 0; i < s.start.size(); ++i)
      if (s.start[i] < b - eps && s.endOf(i) > a + eps) kept.push_back(i);
    out.push_back(kept);
  }
  return out;
}

// Where each range's first frame is presented in the output: where the
// ranges before it end (every kept frame lasts as long as in the source),
// from `origin`.
inline std::vector<double> RangeStarts(const Source& s, const std::vector<std::vector<std::size_t>>& kept,
                                       double origin) {
  std::vector<double> out;
  double at = origin;
  for (const auto& r : kept) {
    out.push_back(at);
    if (!r.empty()) at += s.endOf(r.back()) - s.start[r.front()];
  }
  return out;
}

}  // namespace kf::matrix
