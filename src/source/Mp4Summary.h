// What a byte copy needs to know of an MP4 or QuickTime movie, read from its
// movie box alone: the duration and the codecs of its picture and sound
// tracks, named as FFmpeg names them. The answer agrees with FFmpeg's reading
// of the container's header; where that needs more than this reader knows
// (fragments, an unknown or missing duration, a sample entry it does not
// recognise, a track with several sample descriptions), there is no answer
// and the caller asks FFmpeg.
//
// Pure: no I/O besides the read callback, no threads.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "source/Mp4EditLists.h"

namespace kf {

struct Mp4MovieSummary {
  double duration = 0;  // seconds, positive; the movie header's, to the microsecond
  std::vector<std::string> codecs;  // picture and sound tracks, in file order, each once
};

// From the contents of a `moov` box (the bytes after its header).
std::optional<Mp4MovieSummary> SummarizeMp4Movie(const std::vector<std::uint8_t>& moovPayload);

// From a whole file: its first box must be one an MP4 or QuickTime file
// starts with, and its movie box must be summarised as above.
std::optional<Mp4MovieSummary> ReadMp4MovieSummary(const Mp4ByteReader& read, std::uint64_t fileSize);

}  // namespace kf
