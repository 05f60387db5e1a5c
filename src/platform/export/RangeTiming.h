// The cutting rule (export/plan/FrameTiming.h) applied to an open source:
// where a kept range's frames start and end in the source's own timestamps.
// Shared by the stream copy and the re-encode so that both keep the same
// frames. Worker thread only; moves the source's read position.
#pragma once

#include <optional>

#include "export/plan/FrameTiming.h"
#include "platform/ffmpeg/FfmpegUtil.h"

namespace kf::exportimpl {

inline TickBase BaseOf(const AVStream* st) { return TickBase{st->time_base.num, st->time_base.den}; }

// The movie's start (0 on its own timeline) in the stream's ticks.
std::int64_t OriginTicks(const AVFormatContext* in, const AVStream* st);

// Puts the read position at a keyframe of `st` at or before `ticks` (the
// stream's own timestamps), with a second of margin for reordering.
Status SeekBefore(AVFormatContext* in, const AVStream* st, std::int64_t ticks);

// What a range (the edit's exact times, see ExactRange) keeps, in
// `primary`'s ticks: with a picture track, the span of its kept frames
// ([first kept frame's start, last kept frame's end)); without one, the
// range itself. Nothing when the range keeps no frame.
Result<std::optional<TickSpan>> KeptSpan(AVFormatContext* in, const AVStream* primary, const TimeSpan& range);
// The same for a range on the 1/600 grid.
Result<std::optional<TickSpan>> KeptSpan(AVFormatContext* in, const AVStream* primary, const SourceRange& range);

}  // namespace kf::exportimpl
