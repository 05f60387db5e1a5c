// The smart-render export: each kept range is stream-copied from its first
// keyframe on, and only the frames a copy cannot start or end with are
// re-encoded, with settings that match the source's picture. The output
// holds exactly the kept frames, one after another from 0, so it needs no
// edit list. Sound is decoded and encoded as one continuous stream.
//
// A range [first kept frame, end) becomes up to three pieces:
// - head: the frames before the range's first keyframe K (re-encoded);
// - copy: the source's packets from K on, in decode order, up to the
//   longest run whose frames are exactly [K, M) with M <= end (frames of an
//   open group of pictures that come before K are left out: they are in the
//   head). An H.264 K that is an open group's I picture is restarted as an
//   IDR picture (AvcRestart: the run's slice headers are rewritten, their
//   picture data copied); an H.264 run stops before the next I picture
//   whose leading pictures follow it (see plan());
// - tail: the frames from M to the end (re-encoded), where reordering or an
//   open group of pictures keeps the copy from reaching the end.
// Each re-encoded piece starts with an instantaneous decoder refresh and
// uses no reordering. Every piece after the first starts with an
// end-of-sequence unit so that decoders start it afresh.
//
// Parameter sets: H.264 pieces are encoded under a parameter-set
// identifier the source does not use, and their sets join the source's in
// the one sample entry ("avc1"), so every sample is decodable from the
// sample entry alone. HEVC encoders cannot choose their identifiers: the
// re-encoded pieces carry their own sets in the stream, and the first copied
// sample after them carries the source's sets again (sample entry "hvc1"
// with the source's sets).
//
// Decode times are assigned afresh: the i-th packet of a range in decode
// order gets the i-th smallest presentation time of the range, less the
// largest reordering delay of all copied runs, and the muxer stores the
// resulting negative composition offsets (so the first frame is presented
// at 0, without an edit list).
#include <algorithm>
#include <cctype>
#include <cstring>
#include <vector>

#include "platform/export/AvcRestart.h"
#include "platform/export/ExportInternal.h"
#include "platform/export/NalUnits.h"
#include "platform/export/RangeTiming.h"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
#include <libavutil/pixdesc.h>
}

namespace kf::exportimpl {
namespace {

constexpr const char* kEncoderPreset = "fast";
constexpr std::int64_t kAudioBitRatePerChannel = 96000;

const AVStream* PictureStream(const AVFormatContext* in) {
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    const AVStream* st = in->streams[i];
    if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && IsExportedStream(st)) return st;
  }
  return nullptr;
}

std::string CodecName(AVCodecID id) {
  const AVCodecDescriptor* d = avcodec_descriptor_get(id);
  if (!d) return "this";
  std::string name = d->name;
  for (char& c : name) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  if (id == AV_CODEC_ID_MPEG4) return "MPEG-4 Part 2";
  if (id == AV_CODEC_ID_PRORES) return "ProRes";
  return name;
}

Error Unavailable(const std::string& why) {
  return Error{kKerflineErrorDomain, 7,
               "Smart Render is not available for this movie: " + why +
                   " Choose “Lossless (Stream Copy)” or “Frame-Accurate Re-encode” in Export Settings."};
}

const char* X264Profile(int profile) {
  switch (profile) {
    case FF_PROFILE_H264_BASELINE:
    case FF_PROFILE_H264_CONSTRAINED_BASELINE: return "baseline";
    case FF_PROFILE_H264_MAIN: return "main";
    case FF_PROFILE_H264_HIGH: return "high";
    case FF_PROFILE_H264_HIGH_10: return "high10";
    case FF_PROFILE_H264_HIGH_422: return "high422";
    case FF_PROFILE_H264_HIGH_444_PREDICTIVE: return "high444";
    default: return nullptr;
  }
}

const char* X265Profile(int profile, AVPixelFormat format) {
  if (profile == FF_PROFILE_HEVC_MAIN) return "main";
  if (profile == FF_PROFILE_HEVC_MAIN_10) return "main10";
  if (profile == FF_PROFILE_HEVC_REXT) {
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(format);
    if (d && d->comp[0].depth == 8) return d->log2_chroma_w == 0 ? "main444-8" : "main422-8";
    if (d && d->comp[0].depth == 10) return d->log2_chroma_w == 0 ? "main444-10" : "main422-10";
  }
  return nullptr;
}

bool EncoderTakes(const AVCodec* codec, AVPixelFormat format) {
  if (!codec || !codec->pix_fmts) return false;
  for (const AVPixelFormat* f = codec->pix_fmts; *f != AV_PIX_FMT_NONE; ++f)
    if (*f == format) return true;
  return false;
}

const AVCodec* EncoderFor(AVCodecID id) {
  return avcodec_find_encoder_by_name(id == AV_CODEC_ID_H264 ? "libx264" : "libx265");
}

}  // namespace

Status SmartRenderRefusal(const AVFormatContext* in) {
  const AVStream* v = PictureStream(in);
  if (!v) return std::nullopt;  // sound only: re-encoded as a whole
  const AVCodecParameters* par = v->codecpar;
  if (par->codec_id != AV_CODEC_ID_H264 && par->codec_id != AV_CODEC_ID_HEVC)
    return Unavailable("it re-encodes only H.264 and HEVC video, and this movie's video is " +
                       CodecName(par->codec_id) + ".");
  if (NalLengthSize(par) == 0 || !RecordUnits(par))
    return Unavailable("its video is stored as a byte stream (MPEG-TS), not as a movie's samples.");
  if (par->field_order != AV_FIELD_UNKNOWN && par->field_order != AV_FIELD_PROGRESSIVE)
    return Unavailable("its video is interlaced.");
  const AVPixelFormat format = static_cast<AVPixelFormat>(par->format);
  const AVCodec* encoder = EncoderFor(par->codec_id);
  if (!encoder) return Unavailable("the " + CodecName(par->codec_id) + " encoder is not installed.");
  const bool profileKnown = par->codec_id == AV_CODEC_ID_H264 ? X264Profile(par->profile) != nullptr
                                                              : X265Profile(par->profile, format) != nullptr;
  if (!EncoderTakes(encoder, format) || !profileKnown)
    return Unavailable("its " + CodecName(par->codec_id) + " profile or pixel format cannot be encoded to match.");
  return std::nullopt;
}

namespace {

std::int64_t PacketPts(const AVPacket* p) { return p->pts != AV_NOPTS_VALUE ? p->pts : p->dts; }

// One range, planned before anything is written. Times are the picture
// track's ticks.
struct RangePlan {
  TickSpan span;                          // the kept span
  std::vector<std::int64_t> frames;       // starts of the kept frames, ascending
  std::optional<std::int64_t> key;        // K: the first keyframe inside the span
  std::int64_t copyEnd = 0;               // M: copied frames are [K, M)
  std::vector<std::int64_t> copyOrder;    // their starts in decode order
  std::int64_t outStart = 0;              // where span.start lands on the output
};

// One sound track: decoded, placed by sample counts, encoded.
struct Lane {
  AVStream* in = nullptr;
  AVStream* out = nullptr;
  ff::CodecContextPtr dec, enc;
  ff::SwrPtr swr;
  AVAudioFifo* fifo = nullptr;
  bool done = true, placed = false;
  std::int64_t rangeSamples = 0, rangeTarget = 0, pts = 0;
  std::int64_t next = 0;  // where the next decoded sample lies from the span's start
  int primingLeft = 0;    // samples still to drop for the encoder's priming
};

class SmartRenderer {
 public:
  SmartRenderer(AVFormatContext* in, const ExportRequest& request, const RunControl& control)
      : in_(in), request_(request), control_(control) {}
  ~SmartRenderer() {
    for (Lane& a : lanes_)
      if (a.fifo) av_audio_fifo_free(a.fifo);
  }

  Status run() {
    if (Status s = openInputs()) return s;
    const auto& ranges = request_.plan.ranges;
    for (std::size_t k = 0; k < ranges.size(); ++k) {
      if (ranges[k].duration <= 0) continue;
      const TimeSpan exact = ExactRange(request_.plan, k);
      auto span = KeptSpan(in_, vin_, exact);
      if (!span) return span.error();
      if (Status s = CheckSourceReaches(in_, vin_, exact)) return s;
      if (!*span) continue;
      RangePlan p;
      p.span = **span;
      p.outStart = totalTicks_;
      if (Status s = plan(p)) return s;
      totalTicks_ += p.span.length();
      plans_.push_back(std::move(p));
    }
    if (Status s = openOutput()) return s;
    for (const RangePlan& p : plans_) {
      if (Status s = renderRange(p)) return s;
    }
    return finish();
  }

 private:
  // ---- setup -------------------------------------------------------------
  Status openDecoder(AVStream* st, ff::CodecContextPtr& dec) {
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) return Error{ff::kFfmpegErrorDomain, AVERROR_DECODER_NOT_FOUND, "No decoder for a track of the source"};
    dec.reset(avcodec_alloc_context3(codec));
    if (!dec) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    int err = avcodec_parameters_to_context(dec.get(), st->codecpar);
    if (err < 0) return ff::makeError(err, "Cannot set up a decoder");
    dec->pkt_timebase = st->time_base;
    dec->thread_count = 0;
    err = avcodec_open2(dec.get(), codec, nullptr);
    if (err < 0) return ff::makeError(err, "Cannot open a decoder");
    return std::nullopt;
  }

  Status openInputs() {
    vin_ = const_cast<AVStream*>(PictureStream(in_));
    for (unsigned i = 0; i < in_->nb_streams; ++i) {
      AVStream* st = in_->streams[i];
      if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO && IsExportedStream(st)) lanes_.emplace_back().in = st;
    }
    if (Status s = SmartRenderRefusal(in_)) return s;
    hevc_ = vin_->codecpar->codec_id == AV_CODEC_ID_HEVC;
    lengthSize_ = NalLengthSize(vin_->codecpar);
    sourceSets_ = *RecordUnits(vin_->codecpar);
    if (!hevc_) avc_.emplace(vin_->codecpar);
    if (Status s = openDecoder(vin_, vdec_)) return s;
    for (Lane& a : lanes_)
      if (Status s = openDecoder(a.in, a.dec)) return s;
    return std::nullopt;
  }

  // The frames of a range and which of them the copy can carry.
  Status plan(RangePlan& p) {
    if (Status s = SeekBefore(in_, vin_, p.span.start)) return s;
    struct Info {
      std::int64_t pts;
      bool key;       // a point the copy can start from
      bool keyframe;  // marked as one
    };
    std::vector<Info> read;
    std::optional<std::int64_t> endKey;  // the first keyframe at or after the end
    ff::PacketPtr pkt = ff::allocPacket();
    if (!pkt) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    while (true) {
      if (control_.isCancelled()) return CancelledError();
      const int err = av_read_frame(in_, pkt.get());
      if (err == AVERROR_EOF) break;
      if (err < 0) return ff::makeError(err, "Cannot read the source");
      const bool ours = pkt->stream_index == vin_->index && PacketPts(pkt.get()) != AV_NOPTS_VALUE;
      const bool keyframe = (pkt->flags & AV_PKT_FLAG_KEY) != 0;
      const Info info{PacketPts(pkt.get()), ours && startsCopy(pkt.get()), keyframe};
      av_packet_unref(pkt.get());
      if (!ours) continue;
      // Past the end's keyframe and the frames it leads: nothing more to learn.
      if (endKey && info.pts > *endKey) break;
      read.push_back(info);
      if (keyframe && info.pts >= p.span.end && !endKey) endKey = info.pts;
    }
    for (const Info& i : read)
      if (i.pts >= p.span.start && i.pts < p.span.end) p.frames.push_back(i.pts);
    std::sort(p.frames.begin(), p.frames.end());
    p.frames.erase(std::unique(p.frames.begin(), p.frames.end()), p.frames.end());
    std::size_t k = 0;
    while (k < read.size() && !(read[k].key && read[k].pts >= p.span.start && read[k].pts < p.span.end)) ++k;
    if (k == read.size()) return std::nullopt;  // no keyframe inside: all of it is re-encoded
    const std::int64_t key = read[k].pts;
    // H.264: a later keyframe whose leading pictures follow it (an open
    // group's I picture) ends the run. Browsers cannot start decoding there
    // (the leading pictures refer to the group before), so the output keeps
    // no such keyframe: what follows is re-encoded.
    auto leads = [&](std::size_t j) {
      for (std::size_t i = j + 1; i < read.size() && !read[i].keyframe; ++i)
        if (read[i].pts < read[j].pts) return true;
      return false;
    };
    std::vector<std::int64_t> run{key};
    for (std::size_t j = k + 1; j < read.size(); ++j) {
      if (read[j].pts < key) continue;  // leads K in an open group of pictures: re-encoded
      if (read[j].pts >= p.span.end) break;
      if (!hevc_ && read[j].keyframe && leads(j)) break;
      run.push_back(read[j].pts);
    }
    // The longest start of that run whose frames are exactly [K, M).
    const auto first = std::lower_bound(p.frames.begin(), p.frames.end(), key) - p.frames.begin();
    std::int64_t highest = key;
    std::size_t best = 0;
    for (std::size_t n = 1; n <= run.size(); ++n) {
      highest = std::max(highest, run[n - 1]);
      const auto last = std::lower_bound(p.frames.begin(), p.frames.end(), highest) - p.frames.begin();
      if (last < static_cast<std::ptrdiff_t>(p.frames.size()) && p.frames[static_cast<std::size_t>(last)] == highest &&
          static_cast<std::size_t>(last - first + 1) == n)
        best = n;
    }
    if (best == 0) return std::nullopt;
    run.resize(best);
    p.key = key;
    p.copyOrder = run;
    const std::int64_t top = *std::max_element(run.begin(), run.end());
    const auto after = std::upper_bound(p.frames.begin(), p.frames.end(), top);
    p.copyEnd = after == p.frames.end() ? p.span.end : *after;
    // The reordering delay of this run.
    std::vector<std::int64_t> sorted = run;
    std::sort(sorted.begin(), sorted.end());
    for (std::size_t i = 0; i < run.size(); ++i) delay_ = std::max(delay_, sorted[i] - run[i]);
    return std::nullopt;
  }

  // Whether a copy may start at this packet. H.264: at an instantaneous
  // decoder refresh (where the source's parameter sets may take over from
  // the encoder's). An open group's I picture continues the picture order
  // and frame numbers of the pictures before it, which FFmpeg's decoder
  // keeps across an end of sequence (after a re-encoded piece it would
  // present the copied frames out of order and drop them): it starts a copy
  // only as the IDR picture the restart makes of it. HEVC: any random access
  // picture (an end of sequence starts a new coded video sequence there).
  bool startsCopy(const AVPacket* pkt) const {
    if (!(pkt->flags & AV_PKT_FLAG_KEY)) return false;
    if (hevc_) return true;
    auto units = SplitLengthPrefixed(pkt->data, pkt->size, lengthSize_);
    if (!units) return false;
    for (const Bytes& u : *units)
      if (UnitType(u, false) == 5) return true;
    AvcRestart probe = *avc_;
    return probe.restart(pkt->data, pkt->size).has_value();
  }

  Status openOutput() {
    AVFormatContext* raw = nullptr;
    int err = avformat_alloc_output_context2(&raw, nullptr, muxerName(request_.fileType), request_.outputPath.c_str());
    if (err < 0 || !raw) return ff::makeError(err, "Cannot create the movie");
    out_.reset(raw);
    av_dict_copy(&out_->metadata, in_->metadata, 0);
    av_dict_set(&out_->metadata, "encoder", nullptr, 0);
    vout_ = avformat_new_stream(out_.get(), nullptr);
    if (!vout_) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    err = avcodec_parameters_copy(vout_->codecpar, vin_->codecpar);
    if (err < 0) return ff::makeError(err, "Cannot copy the video track");
    vout_->codecpar->codec_tag = OutputCodecTag(vin_->codecpar, out_->oformat);
    vout_->time_base = vin_->time_base;
    CopyStreamProperties(vin_, vout_);
    if (!hevc_) {
      // The re-encoded pieces' sets join the source's in the sample entry.
      auto id = FreeAvcParameterSetId(sourceSets_);
      if (!id) return Unavailable("its H.264 parameter sets leave no identifier free.");
      encoderSetId_ = *id;
      ff::CodecContextPtr probe;
      if (Status s = openEncoder(probe)) return s;
      std::vector<Bytes> sets = SplitAnnexB(probe->extradata, probe->extradata_size);
      auto record = AddToAvcC(vin_->codecpar->extradata, vin_->codecpar->extradata_size, sets);
      if (!record) return Unavailable("its H.264 sample entry cannot take further parameter sets.");
      auto* data = static_cast<std::uint8_t*>(av_mallocz(record->size() + AV_INPUT_BUFFER_PADDING_SIZE));
      if (!data) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
      std::memcpy(data, record->data(), record->size());
      av_freep(&vout_->codecpar->extradata);
      vout_->codecpar->extradata = data;
      vout_->codecpar->extradata_size = static_cast<int>(record->size());
    }
    for (Lane& a : lanes_)
      if (Status s = openAudioEncoder(a)) return s;
    if (!plans_.empty()) ShiftTimecode(in_, vin_, plans_.front().span.start - OriginTicks(in_, vin_), out_.get(), vout_);
    err = avio_open(&out_->pb, request_.outputPath.c_str(), AVIO_FLAG_WRITE);
    if (err < 0) return ff::makeError(err, "Cannot create " + request_.outputPath);
    ff::Dictionary opts;
    // The first frame is presented at 0: composition offsets may be
    // negative, and no edit list is written. The index goes at the front
    // (the muxer moves it there once the samples are written), so players
    // can start before the whole file has arrived.
    opts.set("movflags", "+negative_cts_offsets+faststart");
    opts.set("use_editlist", "0");
    err = avformat_write_header(out_.get(), opts.get());
    if (err < 0) return ff::makeError(err, "Cannot write the movie header");
    return std::nullopt;
  }

  // An encoder matching the source's picture: codec, profile, level, size,
  // pixel format, colour, aspect and time base; no reordering, one
  // refresh at its start.
  Status openEncoder(ff::CodecContextPtr& enc) {
    const AVCodecParameters* par = vin_->codecpar;
    const AVCodec* codec = EncoderFor(par->codec_id);
    if (!codec) return Unavailable("the " + CodecName(par->codec_id) + " encoder is not installed.");
    enc.reset(avcodec_alloc_context3(codec));
    if (!enc) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    AVRational rate = vin_->avg_frame_rate.num > 0 ? vin_->avg_frame_rate : vin_->r_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) rate = AVRational{30, 1};
    enc->width = par->width;
    enc->height = par->height;
    enc->pix_fmt = static_cast<AVPixelFormat>(par->format);
    enc->time_base = vin_->time_base;
    enc->framerate = rate;
    enc->sample_aspect_ratio = par->sample_aspect_ratio;
    enc->color_range = par->color_range;
    enc->color_primaries = par->color_primaries;
    enc->color_trc = par->color_trc;
    enc->colorspace = par->color_space;
    enc->chroma_sample_location = par->chroma_location;
    enc->max_b_frames = 0;
    enc->gop_size = 1 << 30;
    enc->thread_count = 0;
    if (par->level > 0) enc->level = par->level;
    ff::Dictionary opts;
    opts.set("preset", kEncoderPreset);
    if (!hevc_) {
      enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
      opts.set("profile", X264Profile(par->profile));
      opts.set("crf", "16");
      opts.set("x264-params", "scenecut=0:bframes=0:keyint=infinite:log=-1:sps-id=" + std::to_string(encoderSetId_));
    } else {
      opts.set("profile", X265Profile(par->profile, enc->pix_fmt));
      opts.set("crf", "18");
      std::string params = "log-level=none:scenecut=0:bframes=0:repeat-headers=1";
      if (par->level > 0)
        params += ":level-idc=" + std::to_string(par->level / 30) + "." + std::to_string(par->level % 30 / 3);
      opts.set("x265-params", params);
    }
    const int err = avcodec_open2(enc.get(), codec, opts.get());
    if (err < 0) return ff::makeError(err, "Cannot open the " + CodecName(par->codec_id) + " encoder");
    return std::nullopt;
  }

  Status openAudioEncoder(Lane& a) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) return Error{ff::kFfmpegErrorDomain, AVERROR_ENCODER_NOT_FOUND, "The AAC encoder is not available."};
    a.enc.reset(avcodec_alloc_context3(codec));
    if (!a.enc) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    if (a.dec->ch_layout.order == AV_CHANNEL_ORDER_NATIVE)
      av_channel_layout_copy(&a.enc->ch_layout, &a.dec->ch_layout);
    else
      av_channel_layout_default(&a.enc->ch_layout, std::max(1, a.dec->ch_layout.nb_channels));
    int rate = a.dec->sample_rate > 0 ? a.dec->sample_rate : 48000;
    bool supported = !codec->supported_samplerates;
    for (const int* r = codec->supported_samplerates; r && *r; ++r) supported = supported || *r == rate;
    if (!supported) rate = 48000;
    a.enc->sample_rate = rate;
    a.enc->sample_fmt = AV_SAMPLE_FMT_FLTP;
    a.enc->bit_rate = kAudioBitRatePerChannel * a.enc->ch_layout.nb_channels;
    a.enc->time_base = AVRational{1, rate};
    if (out_->oformat->flags & AVFMT_GLOBALHEADER) a.enc->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    int err = avcodec_open2(a.enc.get(), codec, nullptr);
    if (err < 0) return ff::makeError(err, "Cannot open the AAC encoder");
    a.out = avformat_new_stream(out_.get(), nullptr);
    if (!a.out) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    err = avcodec_parameters_from_context(a.out->codecpar, a.enc.get());
    if (err < 0) return ff::makeError(err, "Cannot set up the sound track");
    a.out->time_base = a.enc->time_base;
    av_dict_copy(&a.out->metadata, a.in->metadata, 0);
    av_dict_set(&a.out->metadata, "encoder", nullptr, 0);
    av_dict_set(&a.out->metadata, "handler_name", nullptr, 0);
    a.fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, a.enc->ch_layout.nb_channels, 4096);
    if (!a.fifo) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    // Without an edit list nothing tells players to drop the encoder's
    // priming (its first `initial_padding` decoded samples), so it is
    // presented from 0, and the sound fed to the encoder starts that much
    // later: then every sample plays at its picture's time. The first
    // instant of sound is the priming's near silence.
    a.primingLeft = std::max(0, a.enc->initial_padding);
    a.pts = a.primingLeft;
    return std::nullopt;
  }

  // ---- one range -------------------------------------------------------
  Status renderRange(const RangePlan& p) {
    range_ = &p;
    if (!p.key) {
      if (Status s = encodePiece(p.span.start, p.span.end)) return s;
    } else {
      if (*p.key > p.span.start) {
        if (Status s = encodePiece(p.span.start, *p.key)) return s;
      }
      if (Status s = copyPiece()) return s;
      if (p.copyEnd < p.span.end) {
        if (Status s = encodePiece(p.copyEnd, p.span.end)) return s;
      }
    }
    return soundOf(p);
  }

  std::int64_t OutPts(std::int64_t sourcePts) const { return range_->outStart + (sourcePts - range_->span.start); }

  // How long a kept frame is on screen.
  std::int64_t FrameLength(std::int64_t sourcePts) const {
    const auto& f = range_->frames;
    const auto next = std::upper_bound(f.begin(), f.end(), sourcePts);
    return std::max<std::int64_t>(1, (next == f.end() ? range_->span.end : *next) - sourcePts);
  }

  void progressAt(std::int64_t outPts) {
    if (control_.progress && totalTicks_ > 0)
      control_.progress(std::clamp(static_cast<double>(outPts) / static_cast<double>(totalTicks_), 0.0, 1.0));
  }

  // Frames [a, b) of the source, decoded and encoded.
  Status encodePiece(std::int64_t a, std::int64_t b) {
    ff::CodecContextPtr enc;
    if (Status s = openEncoder(enc)) return s;
    if (Status s = SeekBefore(in_, vin_, a)) return s;
    avcodec_flush_buffers(vdec_.get());
    ff::PacketPtr pkt = ff::allocPacket();
    ff::FramePtr frame = ff::allocFrame();
    if (!pkt || !frame) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    bool done = false, eof = false;
    while (!done) {
      if (control_.isCancelled()) return CancelledError();
      int err = 0;
      if (!eof) {
        err = av_read_frame(in_, pkt.get());
        if (err == AVERROR_EOF) {
          eof = true;
          err = avcodec_send_packet(vdec_.get(), nullptr);
        } else if (err < 0) {
          return ff::makeError(err, "Cannot read the source");
        } else {
          if (pkt->stream_index != vin_->index) {
            av_packet_unref(pkt.get());
            continue;
          }
          err = avcodec_send_packet(vdec_.get(), pkt.get());
          av_packet_unref(pkt.get());
          if (err == AVERROR_INVALIDDATA) continue;  // a damaged packet is skipped, as players do
        }
        if (err < 0 && err != AVERROR(EAGAIN) && err != AVERROR_EOF) return ff::makeError(err, "Cannot decode the source");
      }
      while (true) {
        err = avcodec_receive_frame(vdec_.get(), frame.get());
        if (err == AVERROR(EAGAIN)) break;
        if (err == AVERROR_EOF) {
          done = true;
          break;
        }
        if (err < 0) return ff::makeError(err, "Cannot decode the source");
        const std::int64_t pts = frame->best_effort_timestamp != AV_NOPTS_VALUE ? frame->best_effort_timestamp : frame->pts;
        if (pts != AV_NOPTS_VALUE && pts >= b) done = true;
        if (pts != AV_NOPTS_VALUE && pts >= a && pts < b) {
          frame->pts = OutPts(pts);
          frame->pict_type = AV_PICTURE_TYPE_NONE;
          progressAt(frame->pts);
          if (Status s = encode(enc.get(), frame.get())) return s;
        }
        av_frame_unref(frame.get());
        if (done) break;
      }
    }
    if (Status s = encode(enc.get(), nullptr)) return s;
    pieceEnded_ = true;
    return std::nullopt;
  }

  Status encode(AVCodecContext* enc, const AVFrame* frame) {
    int err = avcodec_send_frame(enc, frame);
    if (err < 0 && err != AVERROR_EOF) return ff::makeError(err, "Cannot encode the movie");
    ff::PacketPtr pkt = ff::allocPacket();
    if (!pkt) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    while (true) {
      err = avcodec_receive_packet(enc, pkt.get());
      if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return std::nullopt;
      if (err < 0) return ff::makeError(err, "Cannot encode the movie");
      // The encoder writes start codes; the movie stores lengths.
      std::vector<Bytes> units = SplitAnnexB(pkt->data, pkt->size);
      if (units.empty()) return Error{ff::kFfmpegErrorDomain, AVERROR_BUG, "The encoder wrote no picture"};
      if (!hevc_) {
        std::erase_if(units, [](const Bytes& u) { return UnitType(u, false) == kAvcSps || UnitType(u, false) == kAvcPps; });
      }
      const std::int64_t pts = pkt->pts;
      ff::PacketPtr out = ff::allocPacket();
      if (!out) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
      const Bytes joined = JoinLengthPrefixed(units, lengthSize_);
      err = av_new_packet(out.get(), static_cast<int>(joined.size()));
      if (err < 0) return ff::makeError(err, "Out of memory");
      std::memcpy(out->data, joined.data(), joined.size());
      out->flags = pkt->flags & AV_PKT_FLAG_KEY;
      out->pts = pts;
      out->dts = pts - delay_;  // no reordering: decode order is presentation order
      out->duration = FrameLength(pts - range_->outStart + range_->span.start);
      av_packet_unref(pkt.get());
      if (Status s = writeVideo(std::move(out))) return s;
    }
  }

  // The source's packets of the frames [K, M), in decode order.
  Status copyPiece() {
    const RangePlan& p = *range_;
    std::vector<std::int64_t> sorted = p.copyOrder;
    std::sort(sorted.begin(), sorted.end());
    if (Status s = SeekBefore(in_, vin_, *p.key)) return s;
    ff::PacketPtr pkt = ff::allocPacket();
    if (!pkt) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    bool started = false;
    std::size_t i = 0;
    while (i < p.copyOrder.size()) {
      if (control_.isCancelled()) return CancelledError();
      const int err = av_read_frame(in_, pkt.get());
      if (err == AVERROR_EOF) break;
      if (err < 0) return ff::makeError(err, "Cannot read the source");
      const std::int64_t pts = PacketPts(pkt.get());
      const bool ours = pkt->stream_index == vin_->index && pts != AV_NOPTS_VALUE;
      if (ours && !started) started = (pkt->flags & AV_PKT_FLAG_KEY) && pts == *p.key;
      // K's leading pictures are in the head; the restart still counts them.
      if (ours && started && avc_ && pts < *p.key) avc_->next(pkt->data, pkt->size, false);
      if (!ours || !started || pts < *p.key || pts >= p.copyEnd) {
        av_packet_unref(pkt.get());
        continue;
      }
      if (pts != p.copyOrder[i]) {
        av_packet_unref(pkt.get());
        return Error{ff::kFfmpegErrorDomain, AVERROR_INVALIDDATA, "The source's frames changed while it was read"};
      }
      ff::PacketPtr out = ff::allocPacket();
      if (!out) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
      av_packet_move_ref(out.get(), pkt.get());
      if (avc_) {
        // K restarted as an IDR picture when it is not one, and the run's
        // slice headers numbered after it.
        auto data = i == 0 ? avc_->restart(out->data, out->size) : avc_->next(out->data, out->size, true);
        if (data)
          if (Status s = ReplacePacketData(out, data->data(), data->size())) return s;
      }
      out->pts = OutPts(pts);
      out->dts = OutPts(sorted[i]) - delay_;
      out->duration = FrameLength(pts);
      out->pos = -1;
      out->flags &= ~AV_PKT_FLAG_DISCARD;
      progressAt(out->pts);
      if (Status s = writeVideo(std::move(out), i == 0)) return s;
      ++i;
    }
    if (i != p.copyOrder.size())
      return Error{ff::kFfmpegErrorDomain, AVERROR_INVALIDDATA, "The source's frames changed while it was read"};
    pieceEnded_ = true;
    return std::nullopt;
  }

  Bytes EndOfSequence() const {
    return hevc_ ? Bytes{std::uint8_t(kHevcEndOfSequence << 1), 1} : Bytes{std::uint8_t(kAvcEndOfSequence)};
  }

  // Every piece after the first starts with an end of sequence, so the
  // decoder starts it afresh. A copied HEVC piece there also brings the
  // source's parameter sets back (the encoder's used the same
  // identifiers), and its first picture becomes a broken link access so
  // that pictures of the previous piece still waiting are shown.
  Status writeVideo(ff::PacketPtr pkt, bool copyStart = false) {
    if (pieceEnded_ && wroteVideo_) {
      std::vector<Bytes> before{EndOfSequence()};
      if (hevc_ && copyStart)
        for (const Bytes& u : sourceSets_)
          if (UnitType(u, true) >= kHevcVps && UnitType(u, true) <= kHevcPps) before.push_back(u);
      const Bytes head = JoinLengthPrefixed(before, lengthSize_);
      const int size = pkt->size;
      if (Status s = ReplacePacketData(pkt, pkt->data, static_cast<std::size_t>(size), head)) return s;
      if (hevc_ && copyStart) MarkBrokenLink(pkt->data + head.size(), size, lengthSize_);
    }
    pieceEnded_ = false;
    wroteVideo_ = true;
    pkt->stream_index = vout_->index;
    av_packet_rescale_ts(pkt.get(), vin_->time_base, vout_->time_base);
    const int err = av_interleaved_write_frame(out_.get(), pkt.get());
    if (err < 0) return ff::makeError(err, "Cannot write the movie");
    return std::nullopt;
  }

  // ---- sound -------------------------------------------------------------
  // The sound of the span, exactly as many samples as its length asks for
  // (counted from the output's start, so the ranges never drift): placed by
  // the first decoded frame's time, then by sample counts.
  Status soundOf(const RangePlan& p) {
    if (lanes_.empty()) return std::nullopt;
    const TickBase vb = BaseOf(vin_);
    for (Lane& a : lanes_) {
      avcodec_flush_buffers(a.dec.get());
      a.swr.reset();
      a.done = false;
      a.placed = false;
      a.rangeSamples = 0;
      a.rangeTarget = SamplesBetween(p.outStart, p.outStart + p.span.length(), vb, a.enc->sample_rate);
    }
    if (Status s = SeekBefore(in_, vin_, p.span.start)) return s;
    ff::PacketPtr pkt = ff::allocPacket();
    if (!pkt) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    auto allDone = [&] {
      for (const Lane& a : lanes_)
        if (!a.done) return false;
      return true;
    };
    while (!allDone()) {
      if (control_.isCancelled()) return CancelledError();
      const int err = av_read_frame(in_, pkt.get());
      if (err == AVERROR_EOF) break;
      if (err < 0) return ff::makeError(err, "Cannot read the source");
      Status s;
      for (Lane& a : lanes_)
        if (pkt->stream_index == a.in->index && !a.done) s = decodeSound(a, pkt.get());
      av_packet_unref(pkt.get());
      if (s) return s;
    }
    for (Lane& a : lanes_) {
      if (!a.done) {
        if (Status s = decodeSound(a, nullptr)) return s;
      }
      if (a.rangeSamples < a.rangeTarget) {
        if (Status s = pushSilence(a, a.rangeTarget - a.rangeSamples)) return s;
      }
    }
    return std::nullopt;
  }

  Status decodeSound(Lane& a, const AVPacket* pkt) {
    int err = avcodec_send_packet(a.dec.get(), pkt);
    if (err == AVERROR_INVALIDDATA) return std::nullopt;
    if (err < 0 && err != AVERROR(EAGAIN) && err != AVERROR_EOF) return ff::makeError(err, "Cannot decode the source");
    ff::FramePtr frame = ff::allocFrame();
    if (!frame) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    while (!a.done) {
      err = avcodec_receive_frame(a.dec.get(), frame.get());
      if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return std::nullopt;
      if (err < 0) return ff::makeError(err, "Cannot decode the source");
      Status s = takeSound(a, frame.get());
      av_frame_unref(frame.get());
      if (s) return s;
    }
    return std::nullopt;
  }

  Status takeSound(Lane& a, AVFrame* f) {
    const std::int64_t pts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
    const int rate = a.enc->sample_rate;
    if (!a.swr) {
      SwrContext* s = nullptr;
      int err = swr_alloc_set_opts2(&s, &a.enc->ch_layout, AV_SAMPLE_FMT_FLTP, rate, &f->ch_layout,
                                    static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
      if (err < 0 || !s) return ff::makeError(err, "Cannot convert the sound");
      a.swr.reset(s);
      err = swr_init(s);
      if (err < 0) return ff::makeError(err, "Cannot convert the sound");
    }
    // Where this frame's first sample lies from the span's start, in
    // output samples: from its timestamp for the first frame, then counted.
    std::int64_t pos = a.next;
    if (!a.placed) {
      if (pts == AV_NOPTS_VALUE) return std::nullopt;
      const std::int64_t first = av_rescale_q(pts, a.in->time_base, AVRational{1, rate});
      const std::int64_t start = RescaleTicks(range_->span.start, BaseOf(vin_), TickBase{1, rate});
      pos = first - start;
    }
    const int maxOut = swr_get_out_samples(a.swr.get(), f->nb_samples);
    if (maxOut <= 0) return std::nullopt;
    ff::FramePtr conv = ff::allocFrame();
    if (!conv) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    conv->format = AV_SAMPLE_FMT_FLTP;
    conv->nb_samples = maxOut;
    av_channel_layout_copy(&conv->ch_layout, &a.enc->ch_layout);
    int err = av_frame_get_buffer(conv.get(), 0);
    if (err < 0) return ff::makeError(err, "Out of memory");
    const int got =
        swr_convert(a.swr.get(), conv->data, maxOut, const_cast<const std::uint8_t**>(f->extended_data), f->nb_samples);
    if (got < 0) return ff::makeError(got, "Cannot convert the sound");
    if (!a.placed) {
      a.placed = true;
      if (pos > 0) {
        if (Status s = pushSilence(a, std::min(pos, a.rangeTarget))) return s;
      }
    }
    a.next = pos + got;
    // Samples before the span's start are dropped.
    int from = 0;
    if (pos < a.rangeSamples) from = static_cast<int>(std::min<std::int64_t>(a.rangeSamples - pos, got));
    const std::int64_t room = a.rangeTarget - a.rangeSamples;
    const int count = static_cast<int>(std::clamp<std::int64_t>(got - from, 0, room));
    if (count > 0) {
      std::vector<float*> planes(static_cast<std::size_t>(a.enc->ch_layout.nb_channels));
      for (std::size_t c = 0; c < planes.size(); ++c) planes[c] = reinterpret_cast<float*>(conv->extended_data[c]) + from;
      err = av_audio_fifo_write(a.fifo, reinterpret_cast<void**>(planes.data()), count);
      if (err < 0) return ff::makeError(err, "Out of memory");
      a.rangeSamples += count;
      if (Status s = drainFifo(a, false)) return s;
    }
    if (a.rangeSamples >= a.rangeTarget) a.done = true;
    return std::nullopt;
  }

  Status pushSilence(Lane& a, std::int64_t n) {
    if (n <= 0) return std::nullopt;
    std::vector<float> zeros(4096, 0.0f);
    std::vector<void*> planes(static_cast<std::size_t>(a.enc->ch_layout.nb_channels), zeros.data());
    while (n > 0) {
      const int c = static_cast<int>(std::min<std::int64_t>(n, 4096));
      const int err = av_audio_fifo_write(a.fifo, planes.data(), c);
      if (err < 0) return ff::makeError(err, "Out of memory");
      n -= c;
      a.rangeSamples += c;
    }
    return drainFifo(a, false);
  }

  Status drainFifo(Lane& a, bool final) {
    const int frameSize = a.enc->frame_size > 0 ? a.enc->frame_size : 1024;
    while (av_audio_fifo_size(a.fifo) >= frameSize || (final && av_audio_fifo_size(a.fifo) > 0)) {
      if (a.primingLeft > 0) {
        const int drop = std::min(a.primingLeft, av_audio_fifo_size(a.fifo));
        av_audio_fifo_drain(a.fifo, drop);
        a.primingLeft -= drop;
        continue;
      }
      const int n = std::min(frameSize, av_audio_fifo_size(a.fifo));
      ff::FramePtr fr = ff::allocFrame();
      if (!fr) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
      fr->format = AV_SAMPLE_FMT_FLTP;
      fr->nb_samples = n;
      fr->sample_rate = a.enc->sample_rate;
      av_channel_layout_copy(&fr->ch_layout, &a.enc->ch_layout);
      int err = av_frame_get_buffer(fr.get(), 0);
      if (err < 0) return ff::makeError(err, "Out of memory");
      if (av_audio_fifo_read(a.fifo, reinterpret_cast<void**>(fr->data), n) < n)
        return Error{ff::kFfmpegErrorDomain, AVERROR_BUG, "Sound buffer underrun"};
      fr->pts = a.pts;
      a.pts += n;
      if (Status s = encodeSound(a, fr.get())) return s;
    }
    return std::nullopt;
  }

  Status encodeSound(Lane& a, const AVFrame* frame) {
    int err = avcodec_send_frame(a.enc.get(), frame);
    if (err < 0 && err != AVERROR_EOF) return ff::makeError(err, "Cannot encode the sound");
    ff::PacketPtr pkt = ff::allocPacket();
    if (!pkt) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    while (true) {
      err = avcodec_receive_packet(a.enc.get(), pkt.get());
      if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return std::nullopt;
      if (err < 0) return ff::makeError(err, "Cannot encode the sound");
      pkt->stream_index = a.out->index;
      av_packet_rescale_ts(pkt.get(), a.enc->time_base, a.out->time_base);
      err = av_interleaved_write_frame(out_.get(), pkt.get());
      if (err < 0) return ff::makeError(err, "Cannot write the movie");
    }
  }

  Status finish() {
    for (Lane& a : lanes_) {
      if (Status s = drainFifo(a, true)) return s;
      if (Status s = encodeSound(a, nullptr)) return s;
    }
    int err = av_write_trailer(out_.get());
    if (err < 0) return ff::makeError(err, "Cannot finish the movie");
    if (out_->pb && out_->pb->error < 0) return ff::makeError(out_->pb->error, "Cannot write the movie");
    err = avio_closep(&out_->pb);
    if (err < 0) return ff::makeError(err, "Cannot write the movie");
    return std::nullopt;
  }

  AVFormatContext* in_;
  const ExportRequest& request_;
  const RunControl& control_;
  ff::OutputContextPtr out_;
  AVStream *vin_ = nullptr, *vout_ = nullptr;
  ff::CodecContextPtr vdec_;
  std::vector<Lane> lanes_;
  bool hevc_ = false;
  std::optional<AvcRestart> avc_;  // H.264: copies that start on an open group's I picture
  int lengthSize_ = 4;
  int encoderSetId_ = 1;
  std::vector<Bytes> sourceSets_;
  std::vector<RangePlan> plans_;
  const RangePlan* range_ = nullptr;
  std::int64_t totalTicks_ = 0;
  std::int64_t delay_ = 0;          // the largest reordering delay of the copied runs
  bool wroteVideo_ = false;
  bool pieceEnded_ = false;          // the next video packet starts a new piece
};

}  // namespace

Status RunSmartRender(AVFormatContext* in, const ExportRequest& request, const RunControl& control) {
  if (!PictureStream(in)) return RunReencode(in, request, control);
  SmartRenderer r(in, request, control);
  return r.run();
}

}  // namespace kf::exportimpl
