// Text subtitle tracks of an export, shared by the stream copy and the
// re-encode: every cue of the source's text tracks is read once, then
// written again for each kept range it overlaps, cut to that range and
// placed where the range lands in the output. Cues keep their text and
// styles; the form is the source's where the output container stores it,
// else the container's own text form (MP4 and QuickTime: "mov_text", so
// SubRip and ASS from Matroska become "mov_text"). Picture subtitles (DVD,
// Blu-ray) cannot become text and are left out, as are tracks that cannot be
// decoded. Languages and dispositions carry over.
//
// Worker thread only.
#pragma once

#include <memory>
#include <vector>

#include "export/plan/FrameTiming.h"
#include "platform/export/ExportInternal.h"
#include "platform/export/RangeTiming.h"

namespace kf::exportimpl {

class TextTracks {
 public:
  TextTracks();
  ~TextTracks();
  TextTracks(const TextTracks&) = delete;
  TextTracks& operator=(const TextTracks&) = delete;

  // Adds an output track to `out` (before its header is written) for each
  // text track of `in` that `out` can carry, then reads every cue (one pass
  // over the source in which the demuxer skips all other tracks; moves the
  // read position). `width` x `height`: the picture's size, for the text
  // encoders' layout.
  Status open(AVFormatContext* in, AVFormatContext* out, int width, int height, const RunControl& control);

  bool empty() const;
  // The output tracks, in the order they were added.
  std::vector<const AVStream*> outputs() const;

  // Writes the cues that overlap `span` (ticks of `primary`), cut to it,
  // from `at` (the range's start on the output, same ticks) on. An output
  // track whose first cue starts after the output's start gets an empty cue
  // from 0 in MP4 and QuickTime, so the track itself starts at 0.
  Status writeRange(AVFormatContext* out, const AVStream* primary, TickSpan span, std::int64_t at);

 private:
  struct Lane;
  std::vector<std::unique_ptr<Lane>> lanes_;
};

}  // namespace kf::exportimpl
