// MP4 / QuickTime edit lists, read from a movie's `moov` box, and the plan
// that lets a player present a movie whose edit list has several entries.
//
// FFmpeg presents a single edit entry exactly, but gives the frames of every
// entry after the first the timestamps of a decode-order count, so with
// reordered (B-)frames each later entry starts early by the reorder delay.
// The plan sidesteps that: each track is read with only its first entry
// applied (a constant shift), and the entries become spans of that shifted
// timeline that the player plays one after another.
//
// Pure: no I/O besides the read callback, no threads. Malformed input gives
// an empty answer, never an error.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

namespace kf {

struct Mp4Edit {
  std::int64_t mediaTime = 0;  // track time scale; -1 is an empty edit
  std::uint64_t duration = 0;  // movie time scale
  std::int32_t rate = 0x10000; // 16.16 fixed point
};

struct Mp4TrackEdits {
  std::string handler;  // "vide", "soun", ...
  std::uint32_t timescale = 0;
  std::vector<Mp4Edit> edits;
};

struct Mp4EditLists {
  std::uint32_t movieTimescale = 0;
  std::vector<Mp4TrackEdits> tracks;  // in file order
};

// Reads the tracks' time scales, handlers and edit lists from the contents
// of a `moov` box (the bytes after its header). Nothing when the box has no
// `mvhd` or its time scale is 0.
std::optional<Mp4EditLists> ParseMp4EditLists(const std::vector<std::uint8_t>& moovPayload);

// Reads `length` bytes at `offset`; nothing (or fewer bytes) on failure.
using Mp4ByteReader = std::function<std::optional<std::vector<std::uint8_t>>(std::uint64_t offset,
                                                                             std::uint64_t length)>;

inline constexpr std::uint64_t kMp4MaxMovieBoxBytes = 64ull << 20;
inline constexpr int kMp4MaxTopLevelBoxes = 256;

// Finds the first top-level `moov` box and returns its contents; nothing when
// there is none, it is larger than kMp4MaxMovieBoxBytes, or a read fails.
std::optional<std::vector<std::uint8_t>> ReadMp4MovieBox(const Mp4ByteReader& read, std::uint64_t fileSize);

// One span of a track's shifted timeline, in seconds.
struct PresentationSpan {
  double start = 0;
  double duration = 0;
};

// How to present a movie whose edit lists have several entries: for its first
// video and first sound track, the spans of that track's media (read with its
// first entry applied) to play one after another. The tracks need their own
// spans: a lossless cut copies each track from its own sync point, so their
// entries sit at different media times.
struct PresentationPlan {
  bool timeline = false;  // false: the movie plays as stored
  // Nothing: no such track. An empty list: the track has no edit list and
  // plays as stored.
  std::optional<std::vector<PresentationSpan>> video;
  std::optional<std::vector<PresentationSpan>> audio;
};

// A timeline when the first video or first sound track has two or more edit
// entries. Not one for lists this plan cannot express (an empty edit, a rate
// other than 1, an entry that starts before the track's first one): such a
// movie plays as stored, with the demuxer's own edit handling.
PresentationPlan PlanPresentation(const Mp4EditLists& lists);

}  // namespace kf
