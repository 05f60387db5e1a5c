// Internal pieces of the FFmpeg export session, shared by the stream copy
// and the re-encode. Worker thread only.
#pragma once

#include <atomic>
#include <functional>
#include <climits>
#include <cstdint>
#include <string>
#include <vector>

#include "export/plan/ExportSessionPort.h"
#include "export/plan/OutputContainer.h"
#include "platform/ffmpeg/FfmpegUtil.h"

namespace kf::exportimpl {

struct RunControl {
  const std::atomic<bool>* cancelled = nullptr;
  std::function<void(double)> progress;  // 0 .. 1
  bool isCancelled() const { return cancelled && cancelled->load(std::memory_order_relaxed); }
};

// The streams an export takes from the source: every video stream that is
// not a cover picture, and every sound stream.
bool IsExportedStream(const AVStream* st);

// Replaces `p` by a packet holding `head`, then the `size` bytes at `data`
// (which may be p's own), with p's timing, flags and side data.
Status ReplacePacketData(ff::PacketPtr& p, const std::uint8_t* data, std::size_t size,
                         const std::vector<std::uint8_t>& head = {});

// Writes the stream copy to `outputPath`. On error or cancellation the caller
// removes the file.
Status RunStreamCopy(AVFormatContext* in, const ExportRequest& request, const RunControl& control);

// Writes the re-encode to `outputPath`.
Status RunReencode(AVFormatContext* in, const ExportRequest& request, const RunControl& control);

// Writes the smart render to `outputPath` (SmartRender.cpp); a movie
// without picture is re-encoded.
Status RunSmartRender(AVFormatContext* in, const ExportRequest& request, const RunControl& control);

// Why the smart render cannot write this source ("Kerfline" error 7, the
// message naming the modes to choose instead), or nothing when it can:
// H.264 or HEVC stored as samples, progressive, in a profile and pixel
// format the matching encoder writes.
Status SmartRenderRefusal(const AVFormatContext* in);

// Writes the whole movie, stream-copied, into a container without edit lists
// (Matroska, WebM).
Status RunRemux(AVFormatContext* in, const ExportRequest& request, const RunControl& control);

// FFmpeg's short names of the codecs of the source's exported tracks.
std::vector<std::string> SourceCodecs(const AVFormatContext* in);

// Refuses an output container that cannot hold what the export writes
// (OutputContainer.h), before anything is written.
Status CheckContainer(const AVFormatContext* in, const ExportRequest& request);

// Copies format-level metadata (creation time and such) and per-stream
// metadata, disposition and side data (rotation) from `in` to `out`.
void CopyStreamProperties(const AVStream* in, AVStream* out);

Error CancelledError();

// The sample-entry code a copied track gets: "hvc1" for HEVC in every MP4 or
// QuickTime file we write (the parameter sets are in the sample entry, and
// players that require "hvc1" refuse "hev1"); the source's code where the
// container knows it for the codec; else the muxer's choice (0).
unsigned OutputCodecTag(const AVCodecParameters* par, const AVOutputFormat* out);

// A source timecode (QuickTime timecode track, read as "timecode" metadata)
// names the movie's first frame; the output's must name its own first
// frame, `atTicks` of `video`'s ticks after the movie's start. Sets the
// shifted timecode on `outVideo` (and on `out` where the source had it at
// movie level), or removes it when the source's cannot be read.
void ShiftTimecode(const AVFormatContext* in, const AVStream* video, std::int64_t atTicks, AVFormatContext* out,
                   AVStream* outVideo);

// Fails with "Kerfline" error 14, saying where the movie ends, when the
// source's picture and sound end before `range` does (a truncated file whose
// header still states the full duration). Reads the packets around the
// range's end (all of the range only when it fails); moves the read position.
Status CheckSourceReaches(AVFormatContext* in, const AVStream* primary, const TimeSpan& range);

}  // namespace kf::exportimpl
