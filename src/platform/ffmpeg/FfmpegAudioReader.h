// The waveform's decoder over libavformat/libavcodec: the first audio track
// of a movie file, or of a served movie read through its range loader,
// decoded buffer by buffer to interleaved 32-bit float at the track's own
// rate with all its channels (see analysis/WaveformExtractor.h).
//
// Buffer times are seconds from the movie's start, as the player counts them
// (the container's start time subtracted). Other tracks are skipped by the
// demuxer. A packet that does not decode is passed over; a read error ends
// the track.
//
// Threads: a reader is used by one thread at a time (the waveform worker).
#pragma once

#include <memory>
#include <string>

#include "analysis/WaveformExtractor.h"

namespace kf {
class MGRangeAssetLoader;
}

namespace kf::ff {

// Null when the movie cannot be opened or has no decodable audio track.
std::unique_ptr<AudioBufferReader> OpenFirstAudioTrack(const std::string& path,
                                                       std::shared_ptr<MGRangeAssetLoader> loader = nullptr);
// The same for an asset: its file, or its served bytes through its loader.
std::unique_ptr<AudioBufferReader> OpenFirstAudioTrackOfAsset(const std::shared_ptr<media::MediaAsset>& asset);

}  // namespace kf::ff
