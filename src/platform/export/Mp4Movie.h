// Reading sample timing from, and writing edit lists into, a finished MP4 or
// QuickTime file.
//
// FFmpeg's muxer writes at most two edit entries per track; a joined stream
// copy needs one per segment. The export session muxes the copied samples
// normally and then replaces the movie header here: each track's "edts" box,
// the track and movie durations, and the movie timescale.
//
// Every MP4 and QuickTime file we write has its header ("moov") at the
// front, right after "ftyp", so that players can start before the whole
// file has arrived. A rewritten header is put there: the sample data moves
// (in place, by the header's size) and every chunk offset ("stco", "co64")
// follows it; a table whose offsets pass 4 GiB becomes "co64". The file may
// have its header at the front or after all its data (the muxer's layout).
//
// Plain C++ and POSIX; no media library. Any thread; one call per file at a
// time.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "base/Error.h"

namespace kf::mp4 {

// One track's sample timing, in the track's own timescale, as stored.
struct TrackTiming {
  std::uint32_t trackId = 0;
  std::uint32_t timescale = 0;      // from "mdhd"
  std::string handler;              // "vide", "soun", ...
  // Composition time of every sample, in decode order: decode time from
  // "stts" plus the offset from "ctts" (0 without one).
  std::vector<std::int64_t> compositionTimes;
};

struct MovieTiming {
  std::uint32_t movieTimescale = 0;  // from "mvhd"
  std::vector<TrackTiming> tracks;   // in "trak" order
};

Result<MovieTiming> ReadMovieTiming(const std::string& path);

// One edit-list entry. mediaTime -1 is an empty edit (nothing shown).
struct EditEntry {
  std::int64_t duration = 0;   // in the movie timescale given to WriteEditLists
  std::int64_t mediaTime = 0;  // in the track's timescale
  bool operator==(const EditEntry&) const = default;
};

// Replaces every track's edit list by `edits[i]` (trak order; a track with
// an empty list gets no "edts" box), sets the movie timescale to
// `movieTimescale`, the movie duration and every track's duration to
// `movieDuration` (in that timescale), and writes the new header at the
// front, then syncs the file. A failure leaves the file damaged only if the
// rewrite itself could not be written.
Status WriteEditLists(const std::string& path, const std::vector<std::vector<EditEntry>>& edits,
                      std::uint32_t movieTimescale, std::int64_t movieDuration);

// Moves the header of a finished file to the front (nothing to do when it
// is there already), then syncs the file.
Status PutMovieHeaderFirst(const std::string& path);

// The rewrite's pure step, on bytes: the "moov" box `moovBox` serialized for
// file position `at`, with every chunk offset moved so that the sample data
// that started at `dataStart` starts right after the new header.
Result<std::vector<std::uint8_t>> MovieHeaderAt(const std::vector<std::uint8_t>& moovBox, std::uint64_t at,
                                                std::uint64_t dataStart);

// The types of a file's top-level boxes, in order (for tests and checks).
Result<std::vector<std::string>> TopLevelBoxes(const std::string& path);

// Reads back the edit list of every track (for tests and checks), durations
// in the movie timescale.
Result<std::vector<std::vector<EditEntry>>> ReadEditLists(const std::string& path);

}  // namespace kf::mp4
