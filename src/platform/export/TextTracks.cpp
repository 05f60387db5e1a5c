#include "platform/export/TextTracks.h"

#include <algorithm>
#include <cstring>
#include <map>

namespace kf::exportimpl {
namespace {

struct SubtitleDeleter {
  void operator()(AVSubtitle* s) const {
    avsubtitle_free(s);
    delete s;
  }
};
using SubtitlePtr = std::unique_ptr<AVSubtitle, SubtitleDeleter>;

// One cue: shown from `start` to `end` (the track's ticks, source clock).
struct Cue {
  std::int64_t start = 0, end = 0;
  SubtitlePtr text;
};

bool IsText(AVCodecID id) {
  const AVCodecDescriptor* d = avcodec_descriptor_get(id);
  return d && (d->props & AV_CODEC_PROP_TEXT_SUB);
}

}  // namespace

struct TextTracks::Lane {
  AVStream* in = nullptr;
  AVStream* out = nullptr;
  ff::CodecContextPtr dec, enc;
  std::vector<Cue> cues;
  std::int64_t lastStart = AV_NOPTS_VALUE;  // output ticks of the last cue written
};

TextTracks::TextTracks() = default;
TextTracks::~TextTracks() = default;

bool TextTracks::empty() const { return lanes_.empty(); }

std::vector<const AVStream*> TextTracks::outputs() const {
  std::vector<const AVStream*> v;
  for (const auto& l : lanes_) v.push_back(l->out);
  return v;
}

Status TextTracks::open(AVFormatContext* in, AVFormatContext* out, int width, int height, const RunControl& control) {
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    AVStream* st = in->streams[i];
    if (st->codecpar->codec_type != AVMEDIA_TYPE_SUBTITLE || !IsText(st->codecpar->codec_id)) continue;
    // The source's own form where the container stores it, else the first
    // text form it does.
    const AVCodec* encoder = nullptr;
    for (AVCodecID id : {st->codecpar->codec_id, AV_CODEC_ID_MOV_TEXT, AV_CODEC_ID_SUBRIP, AV_CODEC_ID_ASS,
                         AV_CODEC_ID_WEBVTT}) {
      if (IsText(id) && avformat_query_codec(out->oformat, id, FF_COMPLIANCE_NORMAL) == 1)
        encoder = avcodec_find_encoder(id);
      if (encoder) break;
    }
    const AVCodec* decoder = avcodec_find_decoder(st->codecpar->codec_id);
    if (!encoder || !decoder) continue;
    auto lane = std::make_unique<Lane>();
    lane->in = st;
    lane->dec.reset(avcodec_alloc_context3(decoder));
    if (!lane->dec) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    int err = avcodec_parameters_to_context(lane->dec.get(), st->codecpar);
    if (err < 0) return ff::makeError(err, "Cannot set up a decoder");
    lane->dec->pkt_timebase = st->time_base;
    if (avcodec_open2(lane->dec.get(), decoder, nullptr) < 0) continue;  // an unreadable track is left out
    lane->enc.reset(avcodec_alloc_context3(encoder));
    if (!lane->enc) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    lane->enc->time_base = AVRational{1, 1000};
    lane->enc->width = width > 0 ? width : 640;
    lane->enc->height = height > 0 ? height : 480;
    // The text encoders take their styles from the decoder's header.
    if (lane->dec->subtitle_header && lane->dec->subtitle_header_size > 0) {
      const auto size = static_cast<std::size_t>(lane->dec->subtitle_header_size);
      lane->enc->subtitle_header = static_cast<std::uint8_t*>(av_mallocz(size + 1));
      if (!lane->enc->subtitle_header) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
      std::memcpy(lane->enc->subtitle_header, lane->dec->subtitle_header, size);
      lane->enc->subtitle_header_size = lane->dec->subtitle_header_size;
    }
    if (out->oformat->flags & AVFMT_GLOBALHEADER) lane->enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    if (avcodec_open2(lane->enc.get(), encoder, nullptr) < 0) continue;
    lane->out = avformat_new_stream(out, nullptr);
    if (!lane->out) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    err = avcodec_parameters_from_context(lane->out->codecpar, lane->enc.get());
    if (err < 0) return ff::makeError(err, "Cannot set up the subtitle track");
    lane->out->time_base = lane->enc->time_base;
    av_dict_copy(&lane->out->metadata, st->metadata, 0);
    av_dict_set(&lane->out->metadata, "handler_name", nullptr, 0);
    lane->out->disposition = st->disposition;
    lanes_.push_back(std::move(lane));
  }
  if (lanes_.empty()) return std::nullopt;

  // One pass reading only the text tracks, so that a cue that starts long
  // before a range still shows in it.
  std::vector<AVDiscard> saved;
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    saved.push_back(in->streams[i]->discard);
    in->streams[i]->discard = AVDISCARD_ALL;
  }
  std::map<int, Lane*> byIndex;
  for (auto& l : lanes_) {
    l->in->discard = AVDISCARD_DEFAULT;
    byIndex[l->in->index] = l.get();
  }
  Status result;
  if (av_seek_frame(in, -1, INT64_MIN / 2, AVSEEK_FLAG_BACKWARD | AVSEEK_FLAG_ANY) < 0)
    avformat_seek_file(in, -1, INT64_MIN, INT64_MIN, INT64_MIN, 0);
  ff::PacketPtr pkt = ff::allocPacket();
  if (!pkt) result = ff::makeError(AVERROR(ENOMEM), "Out of memory");
  while (!result) {
    if (control.isCancelled()) {
      result = CancelledError();
      break;
    }
    const int err = av_read_frame(in, pkt.get());
    if (err == AVERROR_EOF) break;
    if (err < 0) {
      result = ff::makeError(err, "Cannot read the source");
      break;
    }
    auto it = byIndex.find(pkt->stream_index);
    if (it != byIndex.end() && pkt->pts != AV_NOPTS_VALUE) {
      Lane& l = *it->second;
      auto text = SubtitlePtr(new AVSubtitle{});
      int got = 0;
      // A damaged cue is skipped, as players do; an empty one is a gap.
      if (avcodec_decode_subtitle2(l.dec.get(), text.get(), &got, pkt.get()) >= 0 && got && text->num_rects > 0) {
        const AVRational ms{1, 1000};
        Cue c;
        c.start = pkt->pts + av_rescale_q(text->start_display_time, ms, l.in->time_base);
        if (pkt->duration > 0)
          c.end = pkt->pts + pkt->duration;
        else if (text->end_display_time != UINT32_MAX && text->end_display_time > text->start_display_time)
          c.end = pkt->pts + av_rescale_q(text->end_display_time, ms, l.in->time_base);
        else
          c.end = c.start + av_rescale_q(5, AVRational{1, 1}, l.in->time_base);  // open-ended: five seconds
        c.text = std::move(text);
        if (c.end > c.start) l.cues.push_back(std::move(c));
      }
    }
    av_packet_unref(pkt.get());
  }
  for (unsigned i = 0; i < in->nb_streams; ++i) in->streams[i]->discard = saved[i];
  for (auto& l : lanes_)
    std::stable_sort(l->cues.begin(), l->cues.end(), [](const Cue& a, const Cue& b) { return a.start < b.start; });
  return result;
}

namespace {

Status WritePacket(AVFormatContext* out, AVStream* st, const std::uint8_t* data, int size, std::int64_t start,
                   std::int64_t end) {
  ff::PacketPtr pkt = ff::allocPacket();
  if (!pkt) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
  int err = av_new_packet(pkt.get(), size);
  if (err < 0) return ff::makeError(err, "Out of memory");
  if (size > 0) std::memcpy(pkt->data, data, static_cast<std::size_t>(size));
  pkt->pts = pkt->dts = start;
  pkt->duration = end - start;
  pkt->flags |= AV_PKT_FLAG_KEY;
  pkt->stream_index = st->index;
  err = av_interleaved_write_frame(out, pkt.get());
  if (err < 0) return ff::makeError(err, "Cannot write the movie");
  return std::nullopt;
}

}  // namespace

Status TextTracks::writeRange(AVFormatContext* out, const AVStream* primary, TickSpan span, std::int64_t at) {
  const TickBase pb = BaseOf(primary);
  for (auto& lp : lanes_) {
    Lane& l = *lp;
    const TickBase tb = BaseOf(l.in);
    const AVRational outTb = l.out->time_base;
    for (const Cue& c : l.cues) {
      // In the primary track's ticks, so that a cue cut at a range's end
      // ends exactly where the next range starts.
      const std::int64_t cs = RescaleTicks(c.start, tb, pb), ce = RescaleTicks(c.end, tb, pb);
      if (ce <= span.start || cs >= span.end) continue;
      const std::int64_t start = av_rescale_q(at + std::max(cs, span.start) - span.start, primary->time_base, outTb);
      const std::int64_t end = av_rescale_q(at + std::min(ce, span.end) - span.start, primary->time_base, outTb);
      // A cue that starts with the one before it cannot be shown beside it.
      if (end <= start || (l.lastStart != AV_NOPTS_VALUE && start <= l.lastStart)) continue;
      if (l.lastStart == AV_NOPTS_VALUE && start > 0 && l.out->codecpar->codec_id == AV_CODEC_ID_MOV_TEXT) {
        // The track starts at 0 with nothing shown (an empty text sample).
        const std::uint8_t none[2] = {0, 0};
        if (Status s = WritePacket(out, l.out, none, 2, 0, start)) return s;
      }
      AVSubtitle text = *c.text;  // shares the rectangles; only the times change
      text.start_display_time = 0;
      text.end_display_time = static_cast<std::uint32_t>(av_rescale_q(end - start, outTb, AVRational{1, 1000}));
      text.pts = av_rescale_q(start, outTb, AV_TIME_BASE_Q);
      std::vector<std::uint8_t> buffer(1 << 16);
      const int size = avcodec_encode_subtitle(l.enc.get(), buffer.data(), static_cast<int>(buffer.size()), &text);
      if (size < 0) return ff::makeError(size, "Cannot write the subtitles");
      if (Status s = WritePacket(out, l.out, buffer.data(), size, start, end)) return s;
      l.lastStart = start;
    }
  }
  return std::nullopt;
}

}  // namespace kf::exportimpl
