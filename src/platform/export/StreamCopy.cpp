// The stream-copy export: packets of every kept range, copied unchanged, with
// one edit-list entry per range and track so that exactly the kept frames are
// presented.
#include <algorithm>
#include <cstring>
#include <deque>
#include <limits>
#include <map>
#include <optional>
#include <vector>

#include "platform/export/AvcRestart.h"
#include "platform/export/ExportInternal.h"
#include "platform/export/Mp4Movie.h"
#include "platform/export/NalUnits.h"
#include "platform/export/RangeTiming.h"
#include "platform/export/TextTracks.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace kf::exportimpl {
namespace {

struct Anchor {
  std::int64_t sample = 0;  // index of the track's first sample of the range
  std::int64_t pts = 0;     // its source presentation time (source time base)
  std::int64_t written = 0; // its presentation time as written (output stream's time base)
};

struct Track {
  AVStream* in = nullptr;
  AVStream* out = nullptr;
  bool video = false;
  std::int64_t cursor = 0;    // where the next range's samples start (source time base units)
  std::int64_t samples = 0;   // samples written so far
  std::int64_t fallbackDuration = 1;
  std::vector<std::optional<Anchor>> anchors;  // one per range

  // Per-range state.
  bool done = false;
  bool pastStart = false;                 // video: no later keyframe can start the range
  std::vector<ff::PacketPtr> lead;        // video: from the last keyframe at or before the start
  std::deque<ff::PacketPtr> pending;      // video: waiting for a later frame shown before the end
  ff::PacketPtr preroll;                  // sound: the packet just before the start
  bool wroteInRange = false;
  std::int64_t offset = 0;
  std::int64_t rangeEnd = 0;              // end of the last written sample, output units
  std::int64_t start = 0, end = 0;        // the range's kept span in this track's ticks
  int retimeRate = 0;                     // sound on a coarse clock: stamped by sample counts at this rate
  std::vector<ff::PacketPtr> undated;     // video read without a decode time, waiting for one
  // H.264/HEVC in length-prefixed form: every range after the first starts
  // with an end-of-sequence unit, so the decoder starts it afresh (picture
  // order counts, leading pictures of an open group of pictures).
  int nalLengthSize = 0;                  // 0: not applicable
  bool anyWritten = false;
  // H.264: the range's first keyframe's leading pictures (after it in
  // decoding order, shown before it, so before the range) are left out:
  // they refer to pictures before the keyframe, which are not copied, and
  // browsers stop at them. Ranges from an open group's I picture start
  // afresh (AvcRestart). HEVC keeps them: after the broken link access
  // decoders skip them by rule, and without them our own player (libmpv on
  // the edit entries as a timeline) showed the frame before each range's
  // last frame when seeking to that frame.
  std::optional<std::int64_t> leadingBefore;  // source presentation time of that keyframe
  std::optional<AvcRestart> avc;
};

std::int64_t Dts(const AVPacket* p) { return p->dts != AV_NOPTS_VALUE ? p->dts : p->pts; }
std::int64_t Pts(const AVPacket* p) { return p->pts != AV_NOPTS_VALUE ? p->pts : p->dts; }

class Copier {
 public:
  Copier(AVFormatContext* in, const ExportRequest& request, const RunControl& control)
      : in_(in), request_(request), control_(control) {}

  Status run() {
    if (Status s = openOutput()) return s;
    const auto& ranges = request_.plan.ranges;
    for (std::size_t k = 0; k < ranges.size(); ++k) {
      for (Track& t : tracks_) t.anchors.emplace_back();
      spans_.emplace_back();
      if (ranges[k].duration <= 0) continue;
      auto span = KeptSpan(in_, primary_->in, ExactRange(request_.plan, k));
      if (!span) return span.error();
      if (Status s = CheckSourceReaches(in_, primary_->in, ExactRange(request_.plan, k))) return s;
      spans_[k] = *span;
      if (*span) {
        if (Status s = copyRange(k, **span)) return s;
      }
      done600_ += ranges[k].duration;
    }
    int err = av_write_trailer(out_.get());
    if (err < 0) return ff::makeError(err, "Cannot finish the movie");
    if (out_->pb && out_->pb->error < 0) return ff::makeError(out_->pb->error, "Cannot write the movie");
    err = avio_closep(&out_->pb);
    if (err < 0) return ff::makeError(err, "Cannot write the movie");
    if (control_.isCancelled()) return CancelledError();
    return writeEditLists();
  }

 private:
  Status openOutput() {
    AVFormatContext* raw = nullptr;
    int err = avformat_alloc_output_context2(&raw, nullptr, muxerName(request_.fileType),
                                             request_.outputPath.c_str());
    if (err < 0 || !raw) return ff::makeError(err, "Cannot create the movie");
    out_.reset(raw);
    av_dict_copy(&out_->metadata, in_->metadata, 0);
    for (unsigned i = 0; i < in_->nb_streams; ++i) {
      AVStream* ins = in_->streams[i];
      if (!IsExportedStream(ins)) continue;
      Track t;
      t.in = ins;
      t.video = ins->codecpar->codec_type == AVMEDIA_TYPE_VIDEO;
      t.out = avformat_new_stream(out_.get(), nullptr);
      if (!t.out) return ff::makeError(AVERROR(ENOMEM), "Cannot create a track");
      err = avcodec_parameters_copy(t.out->codecpar, ins->codecpar);
      if (err < 0) return ff::makeError(err, "Cannot copy a track");
      t.out->codecpar->codec_tag = OutputCodecTag(ins->codecpar, out_->oformat);
      t.out->time_base = ins->time_base;
      // Sound stamped in milliseconds (Matroska, WebM) is placed by its
      // sample counts, as it plays, not by its rounded timestamps.
      const AVCodecParameters* par = ins->codecpar;
      if (par->codec_type == AVMEDIA_TYPE_AUDIO && par->sample_rate > 0 && ins->time_base.num == 1 &&
          ins->time_base.den < par->sample_rate) {
        t.retimeRate = par->sample_rate;
        t.out->time_base = AVRational{1, par->sample_rate};
      }
      CopyStreamProperties(ins, t.out);
      if (t.video && ins->avg_frame_rate.num > 0 && ins->avg_frame_rate.den > 0)
        t.fallbackDuration = std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(ins->avg_frame_rate), ins->time_base));
      if (t.video) t.nalLengthSize = NalLengthSize(ins->codecpar);
      if (t.video && t.nalLengthSize > 0 && ins->codecpar->codec_id == AV_CODEC_ID_H264) t.avc.emplace(ins->codecpar);
      tracks_.push_back(std::move(t));
    }
    if (tracks_.empty()) return Error{ff::kFfmpegErrorDomain, AVERROR_STREAM_NOT_FOUND, "The movie has no video or sound to export."};
    for (Track& t : tracks_) trackOf_[t.in->index] = &t;
    primary_ = &tracks_[0];
    for (Track& t : tracks_)
      if (t.video) {
        primary_ = &t;
        break;
      }
    // Text subtitles are written cue by cue, already cut and placed (an
    // edit list does not cut a cue that starts before a range).
    const AVCodecParameters* picture = primary_->video ? primary_->in->codecpar : nullptr;
    if (Status s = texts_.open(in_, out_.get(), picture ? picture->width : 0, picture ? picture->height : 0, control_))
      return s;
    err = avio_open(&out_->pb, request_.outputPath.c_str(), AVIO_FLAG_WRITE);
    if (err < 0) return ff::makeError(err, "Cannot create " + request_.outputPath);
    if (Status s = setTimecode()) return s;
    err = avformat_write_header(out_.get(), nullptr);
    if (err < 0) return ff::makeError(err, "Cannot write the movie header");
    return std::nullopt;
  }

  // The movie's timecode (a QuickTime timecode track, read as metadata)
  // names its first frame: the output's names the first kept frame.
  Status setTimecode() {
    const AVStream* v = primary_->video ? primary_->in : nullptr;
    const std::size_t first = FirstKeptRange();
    if (!v || first >= request_.plan.ranges.size()) return std::nullopt;
    auto span = KeptSpan(in_, v, ExactRange(request_.plan, first));
    if (!span) return span.error();
    const std::int64_t at = *span ? (*span)->start - OriginTicks(in_, v) : 0;
    ShiftTimecode(in_, v, at, out_.get(), primary_->out);
    return std::nullopt;
  }

  std::size_t FirstKeptRange() const {
    for (std::size_t k = 0; k < request_.plan.ranges.size(); ++k)
      if (request_.plan.ranges[k].duration > 0) return k;
    return request_.plan.ranges.size();
  }

  Status copyRange(std::size_t k, TickSpan span) {
    const SourceRange r = request_.plan.ranges[k];
    span_ = span;
    if (Status s = SeekBefore(in_, primary_->in, span.start)) return s;
    for (Track& t : tracks_) {
      t.start = RescaleTicksDown(span.start, BaseOf(primary_->in), BaseOf(t.in));
      t.end = RescaleTicksUp(span.end, BaseOf(primary_->in), BaseOf(t.in));
      if (&t == primary_) {
        t.start = span.start;
        t.end = span.end;
      }
      t.done = false;
      t.pastStart = false;
      t.lead.clear();
      t.pending.clear();
      t.preroll.reset();
      t.wroteInRange = false;
      t.leadingBefore.reset();
      if (t.avc) t.avc->stop();
    }
    ff::PacketPtr pkt = ff::allocPacket();
    if (!pkt) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    if (Status s = texts_.writeRange(out_.get(), primary_->in, span, outCursor_)) return s;
    outCursor_ += span.length();
    std::size_t open = tracks_.size();
    while (open > 0) {
      if (control_.isCancelled()) return CancelledError();
      int err = av_read_frame(in_, pkt.get());
      if (err == AVERROR_EOF) break;
      if (err < 0) return ff::makeError(err, "Cannot read the source");
      auto it = trackOf_.find(pkt->stream_index);
      if (it == trackOf_.end() || it->second->done || pkt->size <= 0) {
        av_packet_unref(pkt.get());
        continue;
      }
      Track& t = *it->second;
      ff::PacketPtr owned = ff::allocPacket();
      if (!owned) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
      av_packet_move_ref(owned.get(), pkt.get());
      const bool wasDone = t.done;
      if (Status s = t.video ? dateVideo(t, r, std::move(owned)) : takeOther(t, r, std::move(owned))) return s;
      if (t.done && !wasDone) --open;
    }
    // End of file: what is still held either starts the range (lead) or
    // was never needed by a frame shown before the end (pending).
    for (Track& t : tracks_) {
      if (t.video) {
        if (Status s = flushUndated(t, r, std::nullopt)) return s;
      }
      if (t.video && !t.pastStart) {
        if (Status s = flushLead(t, r)) return s;
      }
      t.pending.clear();
      t.undated.clear();
    }
    // The next range's samples follow this one's; a picture track's never
    // before the end of its last kept frame (a last packet's stored
    // duration can be shorter than the frame is on screen: millisecond
    // clocks, variable rates), so no frame of the next range falls inside
    // this range's edit entry.
    for (Track& t : tracks_)
      if (t.wroteInRange) t.cursor = t.video ? std::max(t.rangeEnd, t.end + t.offset) : t.rangeEnd;
    return std::nullopt;
  }

  // Puts an end-of-sequence unit in front of the packet's own units.
  Status prependEndOfSequence(Track& t, ff::PacketPtr& p) {
    const bool hevc = t.in->codecpar->codec_id == AV_CODEC_ID_HEVC;
    const std::uint8_t unit[2] = {hevc ? std::uint8_t(36 << 1) : std::uint8_t(10), 1};
    const int unitSize = hevc ? 2 : 1;
    const int extra = t.nalLengthSize + unitSize;
    ff::PacketPtr q = ff::allocPacket();
    if (!q) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    int err = av_new_packet(q.get(), p->size + extra);
    if (err < 0) return ff::makeError(err, "Out of memory");
    err = av_packet_copy_props(q.get(), p.get());
    if (err < 0) return ff::makeError(err, "Out of memory");
    for (int i = 0; i < t.nalLengthSize; ++i) q->data[i] = std::uint8_t(unitSize >> (8 * (t.nalLengthSize - 1 - i)));
    std::memcpy(q->data + t.nalLengthSize, unit, static_cast<std::size_t>(unitSize));
    std::memcpy(q->data + extra, p->data, static_cast<std::size_t>(p->size));
    if (hevc) MarkBrokenLink(q->data + extra, p->size, t.nalLengthSize);
    p = std::move(q);
    return std::nullopt;
  }

  Status takeVideo(Track& t, SourceRange r, ff::PacketPtr p) {
    const std::int64_t start = t.start;
    if (!t.pastStart) {
      const bool key = p->flags & AV_PKT_FLAG_KEY;
      if (key && (t.lead.empty() || Pts(p.get()) <= start)) t.lead.clear();
      const bool lateStart = Dts(p.get()) > start;
      if (key || !t.lead.empty()) t.lead.push_back(std::move(p));
      if (lateStart) return flushLead(t, r);
      return std::nullopt;
    }
    return takeInOrder(t, r, std::move(p));
  }

  Status flushLead(Track& t, SourceRange r) {
    t.pastStart = true;
    std::vector<ff::PacketPtr> lead = std::move(t.lead);
    t.lead.clear();
    for (ff::PacketPtr& p : lead) {
      if (t.done) break;
      if (Status s = takeInOrder(t, r, std::move(p))) return s;
    }
    return std::nullopt;
  }

  // Decode order after the start: a packet joins when a frame shown before
  // the end follows it (or is it); nothing decoded after the end is shown.
  Status takeInOrder(Track& t, SourceRange r, ff::PacketPtr p) {
    const std::int64_t end = t.end;
    if (Dts(p.get()) >= end) {
      t.done = true;
      t.pending.clear();
      return std::nullopt;
    }
    // A range's first copied frame must be a keyframe.
    if (!t.wroteInRange && t.pending.empty() && !(p->flags & AV_PKT_FLAG_KEY)) return std::nullopt;
    const bool shown = Pts(p.get()) < end;
    progressAt(t, r, Pts(p.get()));
    t.pending.push_back(std::move(p));
    if (shown) {
      while (!t.pending.empty()) {
        ff::PacketPtr q = std::move(t.pending.front());
        t.pending.pop_front();
        if (Status s = write(t, std::move(q))) return s;
      }
    }
    return std::nullopt;
  }

  // Sound (and any track without reordering): every packet that overlaps
  // the range, plus the one before it so the decoder is primed.
  Status takeOther(Track& t, SourceRange r, ff::PacketPtr p) {
    const std::int64_t start = t.start;
    const std::int64_t end = t.end;
    if (Dts(p.get()) >= end || Pts(p.get()) >= end) {
      t.done = true;
      return std::nullopt;
    }
    if (Pts(p.get()) + std::max<std::int64_t>(p->duration, 0) <= start) {
      t.preroll = std::move(p);
      return std::nullopt;
    }
    if (t.preroll) {
      if (Status s = write(t, std::move(t.preroll))) return s;
      t.preroll.reset();
    }
    if (!primary_->video || &t == primary_) progressAt(t, r, Pts(p.get()));
    return write(t, std::move(p));
  }

  void progressAt(const Track& t, SourceRange r, std::int64_t pts) {
    if (&t != primary_ || !control_.progress || request_.plan.totalDuration <= 0) return;
    const double part = span_.length() > 0 ? double(std::clamp(pts - span_.start, std::int64_t{0}, span_.length())) /
                                                 double(span_.length())
                                           : 0.0;
    control_.progress((static_cast<double>(done600_) + part * double(r.duration)) /
                      static_cast<double>(request_.plan.totalDuration));
  }

  // Matroska and other containers without decode times: the demuxer knows
  // them only a few frames after a seek. The frames before the first known
  // one get times one frame apart before it (never after their own
  // presentation), so that decode times rise; then the packets go on as
  // if the source had stored them.
  Status dateVideo(Track& t, SourceRange r, ff::PacketPtr p) {
    if (p->dts == AV_NOPTS_VALUE && p->pts != AV_NOPTS_VALUE) {
      t.undated.push_back(std::move(p));
      return std::nullopt;
    }
    if (Status s = flushUndated(t, r, p->dts)) return s;
    if (t.done) return std::nullopt;
    return takeVideo(t, r, std::move(p));
  }

  Status flushUndated(Track& t, SourceRange r, std::optional<std::int64_t> nextDts) {
    if (t.undated.empty()) return std::nullopt;
    std::vector<ff::PacketPtr> held = std::move(t.undated);
    t.undated.clear();
    std::int64_t after = std::numeric_limits<std::int64_t>::max();
    if (nextDts) {
      after = *nextDts;
    } else {
      for (const ff::PacketPtr& p : held) after = std::min(after, p->pts + 1);
    }
    for (std::size_t i = held.size(); i-- > 0;) {
      const std::int64_t d = std::min(after - std::max<std::int64_t>(1, t.fallbackDuration), held[i]->pts);
      held[i]->dts = d;
      after = d;
    }
    for (ff::PacketPtr& p : held) {
      if (t.done) break;
      if (Status s = takeVideo(t, r, std::move(p))) return s;
    }
    return std::nullopt;
  }

  // H.264: leaves out the leading pictures of the range's first keyframe,
  // and restarts there when that keyframe is an open group's I picture (see
  // AvcRestart.h). `keep` false: the packet is left out.
  Status prepareCoded(Track& t, ff::PacketPtr& p, bool* keep) {
    *keep = true;
    if (!t.avc) return std::nullopt;
    const bool key = p->flags & AV_PKT_FLAG_KEY;
    if (!t.wroteInRange) {
      t.leadingBefore = Pts(p.get());
      if (auto idr = t.avc->restart(p->data, p->size)) {
        if (Status s = ReplacePacketData(p, idr->data(), idr->size())) return s;
      }
      return std::nullopt;
    }
    if (key) t.leadingBefore.reset();
    if (t.leadingBefore && Pts(p.get()) < *t.leadingBefore) {
      *keep = false;
      t.avc->next(p->data, p->size, false);
      return std::nullopt;
    }
    if (auto moved = t.avc->next(p->data, p->size, true)) {
      if (Status s = ReplacePacketData(p, moved->data(), moved->size())) return s;
    }
    return std::nullopt;
  }

  Status write(Track& t, ff::PacketPtr p) {
    const std::size_t k = t.anchors.size() - 1;
    if (t.video) {
      bool keep = true;
      if (Status s = prepareCoded(t, p, &keep)) return s;
      if (!keep) return std::nullopt;
    }
    if (!t.wroteInRange) {
      if (t.nalLengthSize > 0 && t.anyWritten) {
        if (Status s = prependEndOfSequence(t, p)) return s;
      }
      t.anyWritten = true;
      t.wroteInRange = true;
      t.anchors[k] = Anchor{t.samples, Pts(p.get()), 0};
      t.offset = t.cursor - Dts(p.get());
    }
    if (t.retimeRate > 0) return writeRetimed(t, std::move(p));
    const std::int64_t dts = Dts(p.get()) + t.offset;
    const std::int64_t pts = Pts(p.get()) + t.offset;
    const std::int64_t duration = p->duration > 0 ? p->duration : t.fallbackDuration;
    t.rangeEnd = std::max(t.rangeEnd, dts + duration);
    p->dts = dts;
    p->pts = pts;
    p->duration = duration;
    p->flags &= ~AV_PKT_FLAG_DISCARD;
    p->pos = -1;
    p->stream_index = t.out->index;
    av_packet_rescale_ts(p.get(), t.in->time_base, t.out->time_base);
    if (t.samples == t.anchors.back().value_or(Anchor{-1, 0, 0}).sample) t.anchors.back()->written = p->pts;
    const int err = av_interleaved_write_frame(out_.get(), p.get());
    if (err < 0) return ff::makeError(err, "Cannot write the movie");
    ++t.samples;
    return std::nullopt;
  }

  // Sound on a coarse clock: each packet follows the previous one by its
  // own number of samples (t.cursor and t.rangeEnd count samples).
  Status writeRetimed(Track& t, ff::PacketPtr p) {
    const AVRational rate{1, t.retimeRate};
    std::int64_t duration = av_get_audio_frame_duration2(t.in->codecpar, p->size);
    if (duration <= 0) duration = av_rescale_q(std::max<std::int64_t>(p->duration, 1), t.in->time_base, rate);
    const std::int64_t at = t.wroteInRange && t.samples > t.anchors.back().value_or(Anchor{}).sample ? t.rangeEnd : t.cursor;
    p->dts = p->pts = at;
    p->duration = duration;
    t.rangeEnd = at + duration;
    p->flags &= ~AV_PKT_FLAG_DISCARD;
    p->pos = -1;
    p->stream_index = t.out->index;
    av_packet_rescale_ts(p.get(), rate, t.out->time_base);
    if (t.samples == t.anchors.back().value_or(Anchor{-1, 0, 0}).sample) t.anchors.back()->written = p->pts;
    const int err = av_interleaved_write_frame(out_.get(), p.get());
    if (err < 0) return ff::makeError(err, "Cannot write the movie");
    ++t.samples;
    return std::nullopt;
  }

  Status writeEditLists() {
    auto timing = mp4::ReadMovieTiming(request_.outputPath);
    if (!timing) return timing.error();
    // The written tracks: ours that received samples, in order, then the
    // text tracks that received cues, and the timecode track the muxer adds
    // for a movie that has a timecode.
    std::vector<const Track*> ours(timing->tracks.size(), nullptr);
    std::vector<bool> text(timing->tracks.size(), false);
    {
      std::size_t j = 0, texts = 0;
      for (std::size_t i = 0; i < timing->tracks.size(); ++i) {
        const std::string& handler = timing->tracks[i].handler;
        if (handler == "tmcd") continue;
        while (j < tracks_.size() && tracks_[j].samples == 0) ++j;
        if (j < tracks_.size()) {
          ours[i] = &tracks_[j++];
        } else if (handler != "vide" && handler != "soun" && texts < texts_.outputs().size()) {
          text[i] = true;
          ++texts;
        } else {
          return Error{ff::kFfmpegErrorDomain, AVERROR_BUG, "The written movie has unexpected tracks."};
        }
      }
      while (j < tracks_.size() && tracks_[j].samples == 0) ++j;
      if (j != tracks_.size())
        return Error{ff::kFfmpegErrorDomain, AVERROR_BUG, "The written movie has unexpected tracks."};
    }
    // The movie counts time in the picture track's units, so that every
    // edit entry ends exactly on a frame boundary.
    const TickBase pb = BaseOf(primary_->in);
    TickBase movie{1, kExportTimescale};
    for (std::size_t i = 0; i < ours.size(); ++i)
      if (ours[i] == primary_ && timing->tracks[i].timescale > 0) movie = TickBase{1, timing->tracks[i].timescale};
    auto lengthIn = [&](TickBase m) {
      std::int64_t total = 0;
      for (const auto& span : spans_)
        if (span) total += RescaleTicks(span->length(), pb, m);
      return total;
    };
    if (lengthIn(movie) > std::numeric_limits<std::uint32_t>::max()) movie = TickBase{1, kExportTimescale};
    std::vector<std::vector<mp4::EditEntry>> edits(timing->tracks.size());
    for (std::size_t i = 0; i < ours.size(); ++i) {
      // A text track holds its cues already placed, from its first sample at
      // the movie's start.
      if (text[i] && !timing->tracks[i].compositionTimes.empty())
        edits[i].push_back({lengthIn(movie), timing->tracks[i].compositionTimes.front()});
      if (!ours[i]) continue;
      const Track& t = *ours[i];
      const mp4::TrackTiming& tt = timing->tracks[i];
      if (static_cast<std::int64_t>(tt.compositionTimes.size()) != t.samples || tt.timescale == 0 ||
          tt.compositionTimes.empty())
        return Error{ff::kFfmpegErrorDomain, AVERROR_BUG, "The written movie has unexpected samples."};
      const TickBase trackBase{1, tt.timescale};
      // Where each piece of the track starts on the output (movie units)
      // and what it shows from there (-1: nothing).
      struct Piece {
        std::int64_t at = 0;
        std::int64_t media = -1;
      };
      std::vector<Piece> pieces;
      const bool sound = !t.video;
      std::int64_t cursor = 0;
      for (std::size_t k = 0; k < spans_.size(); ++k) {
        if (!spans_[k]) continue;
        const TickSpan span = *spans_[k];
        const std::int64_t rangeAt = cursor;
        cursor += RescaleTicks(span.length(), pb, movie);
        const std::optional<Anchor>& a = t.anchors[k];
        if (!a) {
          pieces.push_back({rangeAt, -1});
          continue;
        }
        const std::int64_t anchorTime = tt.compositionTimes[static_cast<std::size_t>(a->sample)];
        const std::int64_t start = &t == primary_ ? span.start : RescaleTicks(span.start, pb, BaseOf(t.in));
        const std::int64_t into = RescaleTicks(start - a->pts, BaseOf(t.in), trackBase);
        if (into < 0) {
          // The track starts later than the range (sound that starts after
          // the picture): nothing until it does.
          pieces.push_back({rangeAt, -1});
          pieces.push_back({rangeAt + RescaleTicks(-into, trackBase, movie), anchorTime});
          continue;
        }
        const std::int64_t media = anchorTime + into;
        if (sound && rangeAt > 0) {
          // Sound after the first range starts on a whole packet, placed so
          // that the range's first instant still plays with its picture: the
          // part of the packet before it plays at the end of the previous
          // range. Demuxers that trim only a movie's first packet (FFmpeg's)
          // then keep every range in step.
          const std::size_t from = static_cast<std::size_t>(a->sample);
          std::int64_t packet = media;
          for (std::size_t j = from; j < tt.compositionTimes.size() && tt.compositionTimes[j] <= media; ++j)
            packet = tt.compositionTimes[j];
          const std::int64_t early = RescaleTicks(media - packet, trackBase, movie);
          if (early > 0 && !pieces.empty() && rangeAt - early > pieces.back().at) {
            pieces.push_back({rangeAt - early, packet});
            continue;
          }
        }
        pieces.push_back({rangeAt, media});
      }
      for (std::size_t j = 0; j < pieces.size(); ++j) {
        const std::int64_t end = j + 1 < pieces.size() ? pieces[j + 1].at : cursor;
        const std::int64_t length = std::min(end, cursor) - pieces[j].at;
        if (length > 0) edits[i].push_back({length, pieces[j].media});
      }
    }
    return mp4::WriteEditLists(request_.outputPath, edits, static_cast<std::uint32_t>(movie.den), lengthIn(movie));
  }

  AVFormatContext* in_;
  const ExportRequest& request_;
  const RunControl& control_;
  ff::OutputContextPtr out_;
  std::vector<Track> tracks_;
  std::map<int, Track*> trackOf_;
  Track* primary_ = nullptr;
  std::int64_t done600_ = 0;
  TextTracks texts_;
  std::int64_t outCursor_ = 0;                  // where the next range starts on the output, primary's ticks
  std::vector<std::optional<TickSpan>> spans_;  // per range: its kept span in the primary track's ticks
  TickSpan span_;                               // the range being copied
};

}  // namespace

Status RunStreamCopy(AVFormatContext* in, const ExportRequest& request, const RunControl& control) {
  Copier copier(in, request, control);
  return copier.run();
}

}  // namespace kf::exportimpl
