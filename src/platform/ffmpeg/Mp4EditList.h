// Writes chosen edit lists into a finished MP4 or QuickTime file.
//
// FFmpeg's muxer writes at most two edit entries, so movies with several
// entries are made by encoding normally and then replacing each track's
// "edts" box here. The file's "moov" box must be its last top-level box (the
// muxer's default layout), so that growing it moves no sample data.
#pragma once

#include <string>
#include <vector>

#include "base/Error.h"
#include "platform/ffmpeg/TestMovies.h"

namespace kf::testmovies {

// Replaces the edit list of every video and sound track of the file at
// `path` by `entries` (frame ranges at `fps` frames per second). Media times
// come from the sample tables: a video entry starts at the composition time
// of frame firstFrame; a sound entry starts at the same moment, counted from
// the track's first presented sample (its existing edit, e.g. codec priming).
// Track and movie durations are set to the edited length.
Status writeEditList(const std::string& path, const std::vector<EditEntry>& entries, double fps);

}  // namespace kf::testmovies
