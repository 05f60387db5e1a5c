// The stream-copy export: packets of every kept range, copied unchanged, with
// one edit-list entry per range and track so that exactly the kept frames are
// presented.
#include <algorithm>
#include <cstring>
#include <deque>
#include <map>
#include <optional>
#include <vector>

#include "platform/export/ExportInternal.h"
#include "platform/export/Mp4Movie.h"

extern "C" {
#include <libavutil/mathematics.h>
}

namespace kf::exportimpl {
namespace {

struct Anchor {
  std::int64_t sample = 0;  // index of the track's first sample of the range
  std::int64_t pts = 0;     // its source presentation time (source time base)
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
  // H.264/HEVC in length-prefixed form: every range after the first starts
  // with an end-of-sequence unit, so the decoder starts it afresh (picture
  // order counts, leading pictures of an open group of pictures).
  int nalLengthSize = 0;                  // 0: not applicable
  bool anyWritten = false;
};

// Length-prefix size of H.264 (avcC) or HEVC (hvcC) samples, 0 otherwise.
int NalLengthSize(const AVCodecParameters* par) {
  const std::uint8_t* x = par->extradata;
  if (par->codec_id == AV_CODEC_ID_H264 && par->extradata_size >= 7 && x[0] == 1) return (x[4] & 3) + 1;
  if (par->codec_id == AV_CODEC_ID_HEVC && par->extradata_size >= 23 && x[0] == 1) return (x[21] & 3) + 1;
  return 0;
}

// HEVC: a clean random access picture that follows an end of sequence drops
// every picture still waiting in the decoder's buffer unshown, so the last
// frames before a cut would be lost. As a broken link access picture (the
// splice form of the same picture) it lets them out first. Rewrites the CRA
// units of a length-prefixed sample in place: the unit type, and the slice's
// no_output_of_prior_pics_flag cleared.
void MarkBrokenLink(std::uint8_t* data, int size, int lengthSize) {
  constexpr int kCra = 21, kBlaWithLeading = 16;
  int at = 0;
  while (size - at > lengthSize) {
    std::uint32_t n = 0;
    for (int i = 0; i < lengthSize; ++i) n = (n << 8) | data[at + i];
    at += lengthSize;
    if (n > static_cast<std::uint32_t>(size - at)) return;
    std::uint8_t* unit = data + at;
    if (n >= 3 && ((unit[0] >> 1) & 0x3F) == kCra) {
      unit[0] = static_cast<std::uint8_t>((unit[0] & 0x81) | (kBlaWithLeading << 1));
      // Byte 2 starts the slice header: first_slice_segment_in_pic_flag,
      // then the flag. A first slice keeps its top bit, so the byte stays
      // clear of start-code patterns; others are left as they are.
      if ((unit[2] & 0x80) != 0) unit[2] = static_cast<std::uint8_t>(unit[2] & ~0x40);
    }
    at += static_cast<int>(n);
  }
}

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
      if (ranges[k].duration <= 0) continue;
      if (Status s = copyRange(k)) return s;
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
      // Keep the source's sample-entry code (e.g. "hvc1") when the container
      // knows it for this codec; else let the muxer choose.
      const unsigned tag = ins->codecpar->codec_tag;
      t.out->codecpar->codec_tag = 0;
      if (tag && out_->oformat->codec_tag &&
          av_codec_get_id(out_->oformat->codec_tag, tag) == ins->codecpar->codec_id)
        t.out->codecpar->codec_tag = tag;
      t.out->time_base = ins->time_base;
      CopyStreamProperties(ins, t.out);
      if (t.video && ins->avg_frame_rate.num > 0 && ins->avg_frame_rate.den > 0)
        t.fallbackDuration = std::max<std::int64_t>(1, av_rescale_q(1, av_inv_q(ins->avg_frame_rate), ins->time_base));
      if (t.video) t.nalLengthSize = NalLengthSize(ins->codecpar);
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
    err = avio_open(&out_->pb, request_.outputPath.c_str(), AVIO_FLAG_WRITE);
    if (err < 0) return ff::makeError(err, "Cannot create " + request_.outputPath);
    err = avformat_write_header(out_.get(), nullptr);
    if (err < 0) return ff::makeError(err, "Cannot write the movie header");
    return std::nullopt;
  }

  Status seekBefore(std::int64_t start600) {
    // One second of margin: a keyframe presented at or before the start has
    // a decode time at most the reorder delay earlier.
    const std::int64_t target = av_rescale_q(start600 - 600, AVRational{1, 600}, primary_->in->time_base);
    int err = av_seek_frame(in_, primary_->in->index, target, AVSEEK_FLAG_BACKWARD);
    if (err < 0) err = av_seek_frame(in_, -1, INT64_MIN / 2, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY);
    if (err < 0) err = avformat_seek_file(in_, -1, INT64_MIN, 0, 0, 0);
    if (err < 0) return ff::makeError(err, "Cannot seek in the source");
    return std::nullopt;
  }

  Status copyRange(std::size_t k) {
    const SourceRange r = request_.plan.ranges[k];
    if (Status s = seekBefore(r.start)) return s;
    for (Track& t : tracks_) {
      t.done = false;
      t.pastStart = false;
      t.lead.clear();
      t.pending.clear();
      t.preroll.reset();
      t.wroteInRange = false;
    }
    ff::PacketPtr pkt = ff::allocPacket();
    if (!pkt) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
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
      if (Status s = t.video ? takeVideo(t, r, std::move(owned)) : takeOther(t, r, std::move(owned))) return s;
      if (t.done) --open;
    }
    // End of file: what is still held either starts the range (lead) or
    // was never needed by a frame shown before the end (pending).
    for (Track& t : tracks_) {
      if (t.video && !t.pastStart) {
        if (Status s = flushLead(t, r)) return s;
      }
      t.pending.clear();
    }
    for (Track& t : tracks_)
      if (t.wroteInRange) t.cursor = t.rangeEnd;
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

  std::int64_t ToStream(const Track& t, std::int64_t units600) const {
    return av_rescale_q(units600, AVRational{1, 600}, t.in->time_base);
  }

  Status takeVideo(Track& t, SourceRange r, ff::PacketPtr p) {
    const std::int64_t start = ToStream(t, r.start);
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
    const std::int64_t end = ToStream(t, r.start + r.duration);
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
    const std::int64_t start = ToStream(t, r.start);
    const std::int64_t end = ToStream(t, r.start + r.duration);
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
    const std::int64_t at600 = av_rescale_q(pts, t.in->time_base, AVRational{1, 600}) - r.start;
    const double within = static_cast<double>(std::clamp<std::int64_t>(at600, 0, r.duration));
    control_.progress((static_cast<double>(done600_) + within) / static_cast<double>(request_.plan.totalDuration));
  }

  Status write(Track& t, ff::PacketPtr p) {
    const std::size_t k = t.anchors.size() - 1;
    if (!t.wroteInRange) {
      if (t.nalLengthSize > 0 && t.anyWritten) {
        if (Status s = prependEndOfSequence(t, p)) return s;
      }
      t.anyWritten = true;
      t.wroteInRange = true;
      t.anchors[k] = Anchor{t.samples, Pts(p.get())};
      t.offset = t.cursor - Dts(p.get());
    }
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
    const int err = av_interleaved_write_frame(out_.get(), p.get());
    if (err < 0) return ff::makeError(err, "Cannot write the movie");
    ++t.samples;
    return std::nullopt;
  }

  Status writeEditLists() {
    auto timing = mp4::ReadMovieTiming(request_.outputPath);
    if (!timing) return timing.error();
    if (timing->tracks.size() != tracks_.size())
      return Error{ff::kFfmpegErrorDomain, AVERROR_BUG, "The written movie has unexpected tracks."};
    std::vector<std::vector<mp4::EditEntry>> edits(tracks_.size());
    for (std::size_t i = 0; i < tracks_.size(); ++i) {
      const Track& t = tracks_[i];
      const mp4::TrackTiming& tt = timing->tracks[i];
      if (static_cast<std::int64_t>(tt.compositionTimes.size()) != t.samples || tt.timescale == 0)
        return Error{ff::kFfmpegErrorDomain, AVERROR_BUG, "The written movie has unexpected samples."};
      const AVRational trackBase{1, static_cast<int>(tt.timescale)};
      for (std::size_t k = 0; k < request_.plan.ranges.size(); ++k) {
        const SourceRange r = request_.plan.ranges[k];
        if (r.duration <= 0) continue;
        const std::optional<Anchor>& a = t.anchors[k];
        if (!a) {
          edits[i].push_back({r.duration, -1});
          continue;
        }
        const std::int64_t anchorTime = tt.compositionTimes[static_cast<std::size_t>(a->sample)];
        const std::int64_t into = av_rescale_q_rnd(ToStream(t, r.start) - a->pts, t.in->time_base, trackBase,
                                                   static_cast<AVRounding>(AV_ROUND_NEAR_INF | AV_ROUND_PASS_MINMAX));
        // A range that starts before its first available frame shows that
        // frame from the start.
        edits[i].push_back({r.duration, anchorTime + std::max<std::int64_t>(into, 0)});
      }
    }
    return mp4::WriteEditLists(request_.outputPath, edits, 600, request_.plan.totalDuration);
  }

  AVFormatContext* in_;
  const ExportRequest& request_;
  const RunControl& control_;
  ff::OutputContextPtr out_;
  std::vector<Track> tracks_;
  std::map<int, Track*> trackOf_;
  Track* primary_ = nullptr;
  std::int64_t done600_ = 0;
};

}  // namespace

Status RunStreamCopy(AVFormatContext* in, const ExportRequest& request, const RunControl& control) {
  Copier copier(in, request, control);
  return copier.run();
}

}  // namespace kf::exportimpl
