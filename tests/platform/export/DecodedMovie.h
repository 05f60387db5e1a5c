// Test helper: decodes a movie as a player honouring edit lists would show
// it, and summarises each frame (number pattern, checksum, optional pixels)
// and the sound (first channel's samples).
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/Error.h"

extern "C" {
#include <libavutil/avutil.h>
}

namespace kf::testing {

struct Frame {
  int number = -1;          // from the frame-number pattern, -1 if unreadable
  double time = 0;          // presentation time, seconds
  std::uint64_t checksum = 0;  // of the decoded planes (visible area)
  int width = 0, height = 0;
  std::vector<std::uint8_t> rgb;  // RGB24, only when asked for
};

struct DecodeOptions {
  bool keepRgb = false;           // fill Frame::rgb (full-range sRGB, as displayed)
  std::vector<int> rgbFor;        // only for these frame indices (empty: all)
  bool ignoreEditList = false;    // as players that ignore edit lists show it
};

Result<std::vector<Frame>> DecodeVideo(const std::string& path, const DecodeOptions& options = {});

struct Sound {
  int sampleRate = 0;
  std::vector<float> samples;  // first channel
  double startTime = 0;        // of samples[0], seconds
  // Each decoded frame's presentation time and its first sample's index.
  std::vector<std::pair<double, std::size_t>> frames;
};
// The sample a player that follows timestamps plays at time t (seconds, as
// the file's timestamps say): from the last frame that starts at or before
// t. False when no frame covers t.
bool SampleAt(const Sound& sound, double t, float* value);
Result<Sound> DecodeSound(const std::string& path);
// The `ordinal`-th sound track (0: the first in the file), optionally as
// players that ignore edit lists play it.
Result<Sound> DecodeSoundTrack(const std::string& path, int ordinal, bool ignoreEditList = false);
// Number of tracks of a kind and each one's "language" tag ("" when none).
std::vector<std::string> TrackLanguages(const std::string& path, AVMediaType type);
// The container's start time in seconds (0 on the movie's own timeline).
double StartTime(const std::string& path);

// A subtitle cue as a player shows it: its text (styles removed) from
// `start` to `end` seconds.
struct TextCue {
  double start = 0, end = 0;
  std::string text;
};
// Every non-empty cue of the first subtitle track, in order. Fails when
// the file has none.
Result<std::vector<TextCue>> ReadTextCues(const std::string& path);

// Root mean square of each consecutive window of `windowSeconds`.
std::vector<double> WindowRms(const Sound& sound, double windowSeconds);

}  // namespace kf::testing
