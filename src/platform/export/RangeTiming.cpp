#include "platform/export/RangeTiming.h"

#include "platform/export/ExportInternal.h"

#include <algorithm>
#include <limits>
#include <vector>

namespace kf::exportimpl {
namespace {

std::int64_t Dts(const AVPacket* p) { return p->dts != AV_NOPTS_VALUE ? p->dts : p->pts; }
std::int64_t Pts(const AVPacket* p) { return p->pts != AV_NOPTS_VALUE ? p->pts : p->dts; }

std::int64_t FrameDuration(const AVStream* st) {
  AVRational rate = st->avg_frame_rate.num > 0 && st->avg_frame_rate.den > 0 ? st->avg_frame_rate : st->r_frame_rate;
  if (rate.num <= 0 || rate.den <= 0) rate = AVRational{30, 1};
  return std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(rate), st->time_base));
}

// Presentation starts of `st`'s frames from the keyframe at or before
// `from` until every frame that starts before `until` is known, together
// with the start of the frame after them (or where the last frame ends).
Result<FrameTimes> Scan(AVFormatContext* in, const AVStream* st, std::int64_t from, std::int64_t until) {
  if (Status s = SeekBefore(in, st, from)) return *s;
  FrameTimes times;
  std::int64_t lastEnd = std::numeric_limits<std::int64_t>::min();
  std::int64_t next = std::numeric_limits<std::int64_t>::max();  // earliest start seen at or after `until`
  ff::PacketPtr pkt = ff::allocPacket();
  if (!pkt) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
  const std::int64_t fallback = FrameDuration(st);
  while (true) {
    const int err = av_read_frame(in, pkt.get());
    if (err == AVERROR_EOF) break;
    if (err < 0) return ff::makeError(err, "Cannot read the source");
    if (pkt->stream_index != st->index || Pts(pkt.get()) == AV_NOPTS_VALUE) {
      av_packet_unref(pkt.get());
      continue;
    }
    const std::int64_t pts = Pts(pkt.get());
    const bool dated = pkt->dts != AV_NOPTS_VALUE;  // demuxers without decode times guess them after a seek
    const std::int64_t dts = Dts(pkt.get());
    const std::int64_t dur = pkt->duration > 0 ? pkt->duration : fallback;
    av_packet_unref(pkt.get());
    // Every frame not yet read starts at or after this decode time: once it
    // passes the earliest start seen beyond `until`, that one is the next.
    if (dated && dts >= next) break;
    times.starts.push_back(pts);
    lastEnd = std::max(lastEnd, pts + dur);
    if (pts >= until) next = std::min(next, pts);
  }
  std::sort(times.starts.begin(), times.starts.end());
  times.starts.erase(std::unique(times.starts.begin(), times.starts.end()), times.starts.end());
  times.lastEnd = times.starts.empty() ? 0 : std::max(lastEnd, times.starts.back() + 1);
  return times;
}

}  // namespace

std::int64_t OriginTicks(const AVFormatContext* in, const AVStream* st) {
  if (in->start_time == AV_NOPTS_VALUE) return 0;
  return av_rescale_q(in->start_time, AV_TIME_BASE_Q, st->time_base);
}

namespace {

Status SeekTo(AVFormatContext* in, const AVStream* st, std::int64_t target) {
  if (st->start_time != AV_NOPTS_VALUE && target < st->start_time && !(in->iformat->flags & AVFMT_TS_DISCONT)) {
    // Before the track's first packet: from the start of the track that
    // starts first (sound that starts before the picture), as a seek in
    // this track would put the others at its first packet's time. (Not in
    // streams without an index, MPEG-TS: their seeks land on byte positions
    // and SeekBefore steps back from there.)
    const AVStream* first = nullptr;
    for (unsigned i = 0; i < in->nb_streams; ++i) {
      const AVStream* o = in->streams[i];
      if (!IsExportedStream(o) || o->start_time == AV_NOPTS_VALUE) continue;
      if (!first || av_compare_ts(o->start_time, o->time_base, first->start_time, first->time_base) < 0) first = o;
    }
    if (first && first != st && av_seek_frame(in, first->index, first->start_time, AVSEEK_FLAG_BACKWARD) >= 0)
      return std::nullopt;
  }
  int err = av_seek_frame(in, st->index, target, AVSEEK_FLAG_BACKWARD);
  if (err < 0) err = av_seek_frame(in, -1, INT64_MIN / 2, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY);
  if (err < 0) err = avformat_seek_file(in, -1, INT64_MIN, 0, 0, 0);
  if (err < 0) return ff::makeError(err, "Cannot seek in the source");
  return std::nullopt;
}

// The presentation time of the first keyframe of `st` read from the
// current position; nothing at the end of the file.
Result<std::optional<std::int64_t>> FirstKeyframe(AVFormatContext* in, const AVStream* st) {
  ff::PacketPtr pkt = ff::allocPacket();
  if (!pkt) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
  while (true) {
    const int err = av_read_frame(in, pkt.get());
    if (err == AVERROR_EOF) return std::optional<std::int64_t>{};
    if (err < 0) return ff::makeError(err, "Cannot read the source");
    const bool key = pkt->stream_index == st->index && (pkt->flags & AV_PKT_FLAG_KEY) && Pts(pkt.get()) != AV_NOPTS_VALUE;
    const std::int64_t pts = Pts(pkt.get());
    av_packet_unref(pkt.get());
    if (key) return std::optional<std::int64_t>{pts};
  }
}

}  // namespace

Status SeekBefore(AVFormatContext* in, const AVStream* st, std::int64_t ticks) {
  // Containers with an index land on a keyframe at or before the target.
  // Others (MPEG-TS) land on a byte position near it, possibly after the
  // keyframe the range needs: go back further until the first keyframe read
  // starts at or before the target, or the file's start is reached.
  std::int64_t margin = av_rescale_q(1, AVRational{1, 1}, st->time_base);
  for (int attempt = 0; attempt < 8; ++attempt) {
    if (Status s = SeekTo(in, st, ticks - margin)) return s;
    auto key = FirstKeyframe(in, st);
    if (!key) return key.error();
    const std::int64_t origin = st->start_time != AV_NOPTS_VALUE ? st->start_time : 0;
    if ((*key && **key <= ticks) || ticks - margin < origin) break;
    margin *= 2;
  }
  return SeekTo(in, st, ticks - margin);
}

Result<std::optional<TickSpan>> KeptSpan(AVFormatContext* in, const AVStream* primary, const SourceRange& range) {
  return KeptSpan(in, primary, TimeSpan{FromTimescale(range.start), FromTimescale(range.start + range.duration)});
}

Result<std::optional<TickSpan>> KeptSpan(AVFormatContext* in, const AVStream* primary, const TimeSpan& range) {
  const TickBase tb = BaseOf(primary);
  const TickSpan r = RangeInTicks(range, OriginTicks(in, primary), tb);
  if (r.end <= r.start) return std::optional<TickSpan>{};
  if (primary->codecpar->codec_type != AVMEDIA_TYPE_VIDEO) return std::optional<TickSpan>{r};
  const std::int64_t tol = CutTolerance(tb);
  // One pass over a short range; the neighbourhoods of both ends of a long one.
  FrameTimes times;
  const std::int64_t tenSeconds = av_rescale_q(10, AVRational{1, 1}, primary->time_base);
  if (r.end - r.start <= tenSeconds) {
    auto t = Scan(in, primary, r.start + tol, r.end - tol);
    if (!t) return t.error();
    times = std::move(*t);
  } else {
    auto head = Scan(in, primary, r.start + tol, r.start + tol + 1);
    if (!head) return head.error();
    auto tail = Scan(in, primary, r.end - tol, r.end - tol);
    if (!tail) return tail.error();
    times.starts = std::move(head->starts);
    times.starts.insert(times.starts.end(), tail->starts.begin(), tail->starts.end());
    std::sort(times.starts.begin(), times.starts.end());
    times.starts.erase(std::unique(times.starts.begin(), times.starts.end()), times.starts.end());
    times.lastEnd = std::max(head->lastEnd, tail->lastEnd);
  }
  auto kept = KeepFrames(times, r, tol);
  // Sound that starts before the picture: a range that starts before the
  // first frame keeps that sound from its start (the picture then starts
  // as late in the output as in the source). A range wholly before the
  // first frame keeps its sound alone.
  const std::int64_t origin = OriginTicks(in, primary);
  const bool firstFrameRead = !times.starts.empty() && primary->start_time != AV_NOPTS_VALUE &&
                              times.starts.front() <= primary->start_time;
  const std::int64_t leadStart = std::max(r.start, origin);
  if (firstFrameRead && leadStart + tol < times.starts.front()) {
    if (kept && kept->first == 0) return std::optional<TickSpan>{TickSpan{leadStart, kept->span.end}};
    if (!kept && r.end <= times.starts.front() + tol)
      return std::optional<TickSpan>{TickSpan{leadStart, std::min(r.end, times.starts.front())}};
  }
  if (!kept) return std::optional<TickSpan>{};
  return std::optional<TickSpan>{kept->span};
}

}  // namespace kf::exportimpl
