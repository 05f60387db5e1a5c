// Which frames real players show for a movie whose frames carry their
// numbers (see platform/ffmpeg/FrameCode.h), compared with the list of
// frames the movie should show.
//
// Players:
//   ffmpeg                  FFmpeg's decoder, edit lists honoured (its default)
//   ffmpeg-ignore-editlist  FFmpeg's decoder with the MP4 demuxer's
//                           `ignore_editlist` set: every coded sample shown
//   libmpv                  libmpv with its default settings (only the video
//                           and sound outputs chosen: image files, no sound
//                           device); also seeks, reading the frame shown
//   mpv                     the `mpv` program with its default settings
//                           (`--vo=image`, `--ao=null`)
//   chromium                headless Chromium playing the movie in a page
//                           (chromium_check.py), also seeking
//
// A player that is not installed (the `mpv` program, Chromium) comes back
// with `unavailable` set and nothing shown.
#pragma once

#include <cmath>
#include <optional>
#include <string>
#include <vector>

#include "base/Error.h"

namespace kf::players {

// "0-29,60-89,95" <-> {0, ..., 29, 60, ..., 89, 95}.
Result<std::vector<int>> ParseFrameList(const std::string& text);
std::string FormatFrameList(const std::vector<int>& frames);

// A time to seek to and the frame that must be shown there.
struct SeekProbe {
  double time = 0;
  int expected = -1;
  std::string what;  // "start of range 2", "before junction 1", "middle of range 3"
};

// For each run of consecutive numbers in `expected` (a kept range): its
// first frame, its middle frame and its last frame (just before the next
// range begins), each 1 ms after the frame's start. `rate` in frames per
// second; frame i of the list is presented from i / rate.
std::vector<SeekProbe> SeekPlan(const std::vector<int>& expected, double rate);

struct SeekLanding {
  SeekProbe probe;
  int shown = -1;  // -1: unreadable, -2: nothing shown
  bool ok() const { return shown == probe.expected; }
};

// What one player showed.
struct Showing {
  std::string player;
  std::string unavailable;  // not installed / cannot play this codec: why
  std::string failure;      // it ran and failed (error, timeout)
  std::vector<int> frames;  // numbers shown, in order (-1: unreadable picture)
  std::vector<double> times;  // the player's time of each frame (NaN: not known)
  // Chromium: frames the browser presented but the page did not capture,
  // or dropped as late (a loaded machine), just before frames[i] (from its
  // counts of presented and dropped frames).
  std::vector<int> uncapturedBefore;
  std::vector<SeekLanding> seeks;
  std::vector<std::string> events;  // durations, stalls, errors, in order
  std::optional<double> startTime;  // time of the first frame shown
  bool stalled = false;             // no progress for more than 2 s
  bool froze = false;               // never resumed
  std::vector<double> durations;    // every duration the player reported
};

// Differences between what was shown and what should be.
struct Comparison {
  bool exact = false;               // frames == expected, every seek right, no stall
  std::vector<int> leadIn;          // shown before the first expected frame, not expected
  // Frames not in the list shown between kept frames: (the kept frame
  // before them, the foreign frames).
  std::vector<std::pair<int, std::vector<int>>> flashes;
  std::vector<int> trailing;        // foreign frames after the last expected frame
  std::vector<int> missing;         // expected but not shown (capture gaps excluded)
  std::vector<int> uncaptured;      // expected, not captured, inside capture gaps
  int unreadable = 0;
  bool inOrder = true;              // no expected frame shown after a later one
  bool allKeptShown = false;        // missing is empty
  int wrongSeeks = 0;
  bool durationChanged = false;
};

Comparison Compare(const std::vector<int>& expected, const Showing& shown);
// A few lines for people: what was shown, and each difference.
std::string Describe(const std::vector<int>& expected, const Showing& shown, const Comparison& c);

// The nominal frame rate of the movie's first video stream (0 if none).
double ProbeFrameRate(const std::string& path);
// FFmpeg's name of that stream's codec ("h264", "hevc"; empty if none).
std::string ProbeVideoCodec(const std::string& path);

Showing PlayFfmpeg(const std::string& path, bool ignoreEditList);
Showing PlayLibmpv(const std::string& path, const std::vector<SeekProbe>& seeks);
Showing PlayMpvProgram(const std::string& path, const std::string& program = "mpv");

struct ChromiumOptions {
  std::string script;          // chromium_check.py (default: next to this source)
  std::string chromium = "chromium";
  double rate = 0.5;           // playback rate while capturing frames
  double timeoutSeconds = 300;
};
Showing PlayChromium(const std::string& path, const std::vector<SeekProbe>& seeks,
                     const ChromiumOptions& options = {});

// True when `program` is found on PATH.
bool HaveProgram(const std::string& program);

}  // namespace kf::players
