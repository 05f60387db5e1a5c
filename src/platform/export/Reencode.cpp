// The re-encode export: the kept frames and sound decoded exactly, the
// picture pass (exposure in linear light, fade to black, uniform scale into
// the render size) and the volume ramps applied, encoded as H.264 and AAC.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstring>
#include <vector>

#include "platform/export/ExportInternal.h"
#include "platform/export/RangeTiming.h"
#include "platform/export/TextTracks.h"

extern "C" {
#include <libavutil/audio_fifo.h>
#include <libavutil/channel_layout.h>
#include <libavutil/imgutils.h>
#include <libavutil/opt.h>
}

namespace kf::exportimpl {
namespace {

// x264 settings of the high-quality preset (measured: well above 45 dB PSNR
// against the source on camera and synthetic footage).
constexpr const char* kX264Preset = "fast";
constexpr const char* kX264Crf = "16";
constexpr std::int64_t kAudioBitRatePerChannel = 96000;

double SrgbToLinear(double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); }
double LinearToSrgb(double v) { return v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1 / 2.4) - 0.055; }

// One 8-bit table for a frame: sRGB to linear light, times 2^stops times the
// fade factor, back to sRGB (clamped to the displayable range).
std::array<std::uint8_t, 256> PixelTable(double stops, double fade) {
  std::array<std::uint8_t, 256> table{};
  const double gain = std::exp2(stops) * fade;
  for (int v = 0; v < 256; ++v) {
    const double lin = std::clamp(SrgbToLinear(v / 255.0) * gain, 0.0, 1.0);
    table[static_cast<std::size_t>(v)] = static_cast<std::uint8_t>(std::lround(LinearToSrgb(lin) * 255.0));
  }
  return table;
}

int ColorspaceFor(const AVFrame* f) {
  switch (f->colorspace) {
    case AVCOL_SPC_BT709: return SWS_CS_ITU709;
    case AVCOL_SPC_BT470BG:
    case AVCOL_SPC_SMPTE170M: return SWS_CS_ITU601;
    case AVCOL_SPC_SMPTE240M: return SWS_CS_SMPTE240M;
    case AVCOL_SPC_BT2020_NCL:
    case AVCOL_SPC_BT2020_CL: return SWS_CS_BT2020;
    default: return f->height >= 720 ? SWS_CS_ITU709 : SWS_CS_ITU601;
  }
}

AVColorSpace AvColorspace(int swsCs) {
  switch (swsCs) {
    case SWS_CS_ITU709: return AVCOL_SPC_BT709;
    case SWS_CS_SMPTE240M: return AVCOL_SPC_SMPTE240M;
    case SWS_CS_BT2020: return AVCOL_SPC_BT2020_NCL;
    default: return AVCOL_SPC_SMPTE170M;
  }
}

// One sound track: decoded, placed by time, encoded.
struct Lane {
  AVStream* in = nullptr;
  AVStream* out = nullptr;
  ff::CodecContextPtr dec, enc;
  ff::SwrPtr swr;
  AVAudioFifo* fifo = nullptr;
  bool done = true;
  std::int64_t rangeSamples = 0, rangeTarget = 0, totalSamples = 0, pts = 0;
  // Sound is one continuous stream: its samples are counted, and the
  // timestamps only find where a range starts (and real gaps). `next` is
  // where the next decoded frame's samples go by the count (range-relative,
  // output samples). A coarse clock (Matroska's milliseconds) stamps each
  // frame up to half a tick (`half`) from its true place: every stamp read
  // before the range's first sample narrows the count's true offset to
  // [lo, hi]; its middle places the range. A stamp further than `slack`
  // from the count is a real gap or overlap and starts the count afresh.
  std::int64_t next = 0, lo = 0, hi = 0;
  bool counting = false;
  std::int64_t half = 0, slack = 2;
};

class Reencoder {
 public:
  Reencoder(AVFormatContext* in, const ExportRequest& request, const RunControl& control)
      : in_(in), request_(request), plan_(request.plan), control_(control) {}

  ~Reencoder() {
    for (Lane& a : lanes_)
      if (a.fifo) av_audio_fifo_free(a.fifo);
  }

  Status run() {
    if (Status s = openInputs()) return s;
    // Every range's kept span first: fades act over the lengths the kept
    // frames take (whole frames), not over the ranges as cut.
    const auto& ranges = plan_.ranges;
    std::vector<std::optional<TickSpan>> spans(ranges.size());
    std::vector<double> lengths(ranges.size(), 0.0);
    const double tick = av_q2d(primary()->time_base);
    for (std::size_t k = 0; k < ranges.size(); ++k) {
      if (ranges[k].duration <= 0) continue;
      auto span = KeptSpan(in_, primary(), ExactRange(plan_, k));
      if (!span) return span.error();
      if (Status s = CheckSourceReaches(in_, primary(), ExactRange(plan_, k))) return s;
      spans[k] = *span;
      if (*span) lengths[k] = static_cast<double>((*span)->length()) * tick;
    }
    lengths_ = lengths;
    if (plan_.audioMix) audioRamps_ = AudioFadeRampsForLengths(lengths, plan_.fadesIn, plan_.fadesOut);
    for (std::size_t k = 0; k < ranges.size(); ++k) {
      if (!spans[k]) continue;
      rangeIndex_ = k;
      if (Status s = range(*spans[k])) return s;
      cursorTicks_ += spans[k]->length();
    }
    if (Status s = finish()) return s;
    return std::nullopt;
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
    for (unsigned i = 0; i < in_->nb_streams; ++i) {
      AVStream* st = in_->streams[i];
      if (!IsExportedStream(st)) continue;
      if (st->codecpar->codec_type == AVMEDIA_TYPE_VIDEO && !vin_) vin_ = st;
      if (st->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) lanes_.emplace_back().in = st;
    }
    if (!vin_ && lanes_.empty()) return Error{ff::kFfmpegErrorDomain, AVERROR_STREAM_NOT_FOUND, "The movie has no video or sound to export."};
    if (vin_) {
      if (Status s = openDecoder(vin_, vdec_)) return s;
    }
    for (Lane& a : lanes_)
      if (Status s = openDecoder(a.in, a.dec)) return s;
    AVFormatContext* raw = nullptr;
    int err = avformat_alloc_output_context2(&raw, nullptr, muxerName(request_.fileType), request_.outputPath.c_str());
    if (err < 0 || !raw) return ff::makeError(err, "Cannot create the movie");
    out_.reset(raw);
    av_dict_copy(&out_->metadata, in_->metadata, 0);
    av_dict_set(&out_->metadata, "encoder", nullptr, 0);
    if (vin_) {
      if (Status s = openVideoEncoder()) return s;
    }
    for (Lane& a : lanes_)
      if (Status s = openAudioEncoder(a)) return s;
    if (Status s = texts_.open(in_, out_.get(), width_, height_, control_)) return s;
    // A source timecode names the output's first frame: the first kept one.
    if (vin_) {
      for (std::size_t k = 0; k < plan_.ranges.size(); ++k) {
        if (plan_.ranges[k].duration <= 0) continue;
        auto span = KeptSpan(in_, vin_, ExactRange(plan_, k));
        if (!span) return span.error();
        ShiftTimecode(in_, vin_, *span ? (*span)->start - OriginTicks(in_, vin_) : 0, out_.get(), vout_);
        break;
      }
    }
    err = avio_open(&out_->pb, request_.outputPath.c_str(), AVIO_FLAG_WRITE);
    if (err < 0) return ff::makeError(err, "Cannot create " + request_.outputPath);
    err = avformat_write_header(out_.get(), nullptr);
    if (err < 0) return ff::makeError(err, "Cannot write the movie header");
    return std::nullopt;
  }

  Status openVideoEncoder() {
    const AVCodec* codec = avcodec_find_encoder_by_name("libx264");
    if (!codec) return Error{ff::kFfmpegErrorDomain, AVERROR_ENCODER_NOT_FOUND, "The H.264 encoder is not available."};
    venc_.reset(avcodec_alloc_context3(codec));
    if (!venc_) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    const int sw = vin_->codecpar->width, sh = vin_->codecpar->height;
    if (plan_.videoComposition && plan_.renderSize) {
      width_ = plan_.renderSize->width;
      height_ = plan_.renderSize->height;
      fit_ = FitPicture(sw, sh, *plan_.renderSize);
    } else {
      // 4:2:0 needs even sizes; an odd source loses its last row or column.
      width_ = std::max(2, sw & ~1);
      height_ = std::max(2, sh & ~1);
      fit_ = PictureFit{0, 0, width_, height_, 1};
    }
    AVRational rate = vin_->avg_frame_rate.num > 0 ? vin_->avg_frame_rate : vin_->r_frame_rate;
    if (rate.num <= 0 || rate.den <= 0) rate = AVRational{30, 1};
    venc_->width = width_;
    venc_->height = height_;
    venc_->pix_fmt = AV_PIX_FMT_YUV420P;
    venc_->time_base = vin_->time_base;
    venc_->framerate = rate;
    venc_->sample_aspect_ratio = plan_.renderSize && plan_.videoComposition ? AVRational{1, 1} : vin_->codecpar->sample_aspect_ratio;
    venc_->color_range = AVCOL_RANGE_MPEG;
    venc_->thread_count = 0;
    if (out_->oformat->flags & AVFMT_GLOBALHEADER) venc_->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    ff::Dictionary opts;
    opts.set("preset", kX264Preset);
    opts.set("crf", kX264Crf);
    // The colour matrix is known only from the first decoded frame; encode
    // with the one the picture pass will use (see ColorspaceFor).
    colorspace_ = ColorspaceFor(&probeFrame());
    venc_->colorspace = AvColorspace(colorspace_);
    if (colorspace_ == SWS_CS_ITU709) {
      venc_->color_primaries = AVCOL_PRI_BT709;
      venc_->color_trc = AVCOL_TRC_BT709;
    }
    int err = avcodec_open2(venc_.get(), codec, opts.get());
    if (err < 0) return ff::makeError(err, "Cannot open the H.264 encoder");
    vout_ = avformat_new_stream(out_.get(), nullptr);
    if (!vout_) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    err = avcodec_parameters_from_context(vout_->codecpar, venc_.get());
    if (err < 0) return ff::makeError(err, "Cannot set up the video track");
    vout_->time_base = venc_->time_base;
    vout_->avg_frame_rate = rate;
    av_dict_copy(&vout_->metadata, vin_->metadata, 0);
    av_dict_set(&vout_->metadata, "encoder", nullptr, 0);
    av_dict_set(&vout_->metadata, "handler_name", nullptr, 0);
    if (const std::uint8_t* m = av_stream_get_side_data(vin_, AV_PKT_DATA_DISPLAYMATRIX, nullptr)) {
      if (std::uint8_t* dst = av_stream_new_side_data(vout_, AV_PKT_DATA_DISPLAYMATRIX, sizeof(int32_t) * 9))
        std::memcpy(dst, m, sizeof(int32_t) * 9);
    }
    return std::nullopt;
  }

  // A stand-in frame carrying the source's declared colour properties.
  const AVFrame& probeFrame() {
    probe_.reset(av_frame_alloc());
    probe_->colorspace = vin_->codecpar->color_space;
    probe_->height = vin_->codecpar->height;
    return *probe_;
  }

  Status openAudioEncoder(Lane& a) {
    const AVCodec* codec = avcodec_find_encoder(AV_CODEC_ID_AAC);
    if (!codec) return Error{ff::kFfmpegErrorDomain, AVERROR_ENCODER_NOT_FOUND, "The AAC encoder is not available."};
    a.enc.reset(avcodec_alloc_context3(codec));
    if (!a.enc) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    AVChannelLayout layout{};
    if (a.dec->ch_layout.order == AV_CHANNEL_ORDER_NATIVE)
      av_channel_layout_copy(&layout, &a.dec->ch_layout);
    else
      av_channel_layout_default(&layout, std::max(1, a.dec->ch_layout.nb_channels));
    int rate = a.dec->sample_rate > 0 ? a.dec->sample_rate : 48000;
    if (codec->supported_samplerates) {
      bool ok = false;
      for (const int* r = codec->supported_samplerates; *r; ++r) ok = ok || *r == rate;
      if (!ok) rate = 48000;
    }
    av_channel_layout_copy(&a.enc->ch_layout, &layout);
    av_channel_layout_uninit(&layout);
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
    const std::int64_t tick = av_rescale_q(1, a.in->time_base, AVRational{1, rate});  // samples per tick
    a.half = (tick + 1) / 2;
    a.slack = std::max<std::int64_t>(2, 2 * tick + 1);
    a.fifo = av_audio_fifo_alloc(AV_SAMPLE_FMT_FLTP, a.enc->ch_layout.nb_channels, 4096);
    if (!a.fifo) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    return std::nullopt;
  }

  AVStream* primary() const { return vin_ ? vin_ : lanes_.front().in; }

  // ---- one range ---------------------------------------------------------
  // `span`: the kept span in the primary track's ticks (FrameTiming.h).
  Status range(TickSpan span) {
    span_ = span;
    if (Status s = texts_.writeRange(out_.get(), primary(), span, cursorTicks_)) return s;
    if (Status s = SeekBefore(in_, primary(), span.start)) return s;
    int err = 0;
    if (vdec_) avcodec_flush_buffers(vdec_.get());
    for (Lane& a : lanes_) {
      avcodec_flush_buffers(a.dec.get());
      a.done = false;
      a.rangeSamples = 0;
      a.counting = false;
      a.rangeTarget = SamplesBetween(cursorTicks_, cursorTicks_ + span.length(), BaseOf(primary()), a.enc->sample_rate);
    }
    videoDone_ = !vdec_;
    ff::PacketPtr pkt = ff::allocPacket();
    if (!pkt) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    auto soundDone = [&] {
      for (const Lane& a : lanes_)
        if (!a.done) return false;
      return true;
    };
    while (!videoDone_ || !soundDone()) {
      if (control_.isCancelled()) return CancelledError();
      err = av_read_frame(in_, pkt.get());
      if (err == AVERROR_EOF) break;
      if (err < 0) return ff::makeError(err, "Cannot read the source");
      Status s;
      if (vin_ && pkt->stream_index == vin_->index && !videoDone_)
        s = decode(vdec_.get(), pkt.get(), nullptr);
      else
        for (Lane& a : lanes_)
          if (pkt->stream_index == a.in->index && !a.done) s = decode(a.dec.get(), pkt.get(), &a);
      av_packet_unref(pkt.get());
      if (s) return s;
    }
    // Drain what the decoders still hold (end of file, or frames in flight).
    if (vdec_ && !videoDone_) {
      if (Status s = decode(vdec_.get(), nullptr, nullptr)) return s;
    }
    for (Lane& a : lanes_) {
      if (!a.done) {
        if (Status s = decode(a.dec.get(), nullptr, &a)) return s;
      }
      // Sound keeps exact length per range so that later ranges stay in sync.
      if (a.rangeSamples < a.rangeTarget) {
        if (Status s = pushSilence(a, a.rangeTarget - a.rangeSamples)) return s;
      }
    }
    return std::nullopt;
  }

  // `lane`: the sound track decoded, or nullptr for the picture.
  Status decode(AVCodecContext* dec, const AVPacket* pkt, Lane* lane) {
    const bool video = lane == nullptr;
    int err = avcodec_send_packet(dec, pkt);
    if (err < 0 && err != AVERROR(EAGAIN) && err != AVERROR_EOF) {
      // A damaged packet is skipped, as players do.
      if (err == AVERROR_INVALIDDATA) return std::nullopt;
      return ff::makeError(err, "Cannot decode the source");
    }
    ff::FramePtr frame = ff::allocFrame();
    if (!frame) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    while (true) {
      err = avcodec_receive_frame(dec, frame.get());
      if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return std::nullopt;
      if (err < 0) return ff::makeError(err, "Cannot decode the source");
      Status s = video ? takeVideoFrame(frame.get()) : takeAudioFrame(*lane, frame.get());
      av_frame_unref(frame.get());
      if (s) return s;
      if ((video && videoDone_) || (!video && lane->done)) return std::nullopt;
    }
  }

  // ---- video -------------------------------------------------------------
  Status takeVideoFrame(AVFrame* f) {
    const AVRational tb = vin_->time_base;
    const std::int64_t pts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
    if (pts == AV_NOPTS_VALUE) return std::nullopt;
    // The span starts and ends on frame boundaries: exactly the frames
    // presented inside it are kept, each for its own duration.
    if (pts >= span_.end) {
      videoDone_ = true;
      return std::nullopt;
    }
    if (pts < span_.start) return std::nullopt;
    const std::int64_t outPts = cursorTicks_ + (pts - span_.start);
    if (lastVideoPts_ != AV_NOPTS_VALUE && outPts <= lastVideoPts_) return std::nullopt;
    lastVideoPts_ = outPts;
    const double t = static_cast<double>(outPts) * av_q2d(tb);
    if (control_.progress && plan_.totalDuration > 0)
      control_.progress(std::min(1.0, t / FromTimescale(plan_.totalDuration)));
    if (Status s = render(f, static_cast<double>(pts - span_.start) * av_q2d(tb))) return s;
    canvas_->pts = av_rescale_q(outPts, tb, venc_->time_base);
    return encode(venc_.get(), canvas_.get(), vout_);
  }

  SwsContext* scaler(ff::SwsPtr& cache, int sw, int sh, AVPixelFormat sf, int dw, int dh, AVPixelFormat df,
                     int flags, bool srcFull) {
    SwsContext* before = cache.get();
    SwsContext* ctx = sws_getCachedContext(cache.release(), sw, sh, sf, dw, dh, df, flags, nullptr, nullptr, nullptr);
    cache.reset(ctx);
    if (!ctx) return nullptr;
    if (ctx != before) {
      const int* coeffs = sws_getCoefficients(colorspace_);
      // YUV both sides keep one matrix; RGB sides ignore theirs.
      sws_setColorspaceDetails(ctx, coeffs, srcFull ? 1 : 0, coeffs, 0, 0, 1 << 16, 1 << 16);
    }
    return ctx;
  }

  // Renders into canvas_, one picture reused for every frame: the encoder
  // copies what it is given, and fresh pictures would cost page faults.
  // `u`: the frame's time from its range's first kept frame, seconds.
  Status render(const AVFrame* f, double u) {
    int err = 0;
    if (!canvas_) {
      canvas_.reset(av_frame_alloc());
      if (!canvas_) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
      canvas_->format = AV_PIX_FMT_YUV420P;
      canvas_->width = width_;
      canvas_->height = height_;
      err = av_frame_get_buffer(canvas_.get(), 0);
      if (err < 0) return ff::makeError(err, "Out of memory");
    }
    const std::uint8_t* before = canvas_->data[0];
    err = av_frame_make_writable(canvas_.get());
    if (err < 0) return ff::makeError(err, "Out of memory");
    AVFrame* out = canvas_.get();
    if ((fit_.width != width_ || fit_.height != height_) && (!bandsDrawn_ || out->data[0] != before)) {
      bandsDrawn_ = true;
      for (int y = 0; y < height_; ++y) std::memset(out->data[0] + y * out->linesize[0], 16, static_cast<std::size_t>(width_));
      for (int p = 1; p < 3; ++p)
        for (int y = 0; y < (height_ + 1) / 2; ++y)
          std::memset(out->data[p] + y * out->linesize[p], 128, static_cast<std::size_t>((width_ + 1) / 2));
    }
    std::uint8_t* dst[4] = {out->data[0] + fit_.y * out->linesize[0] + fit_.x,
                            out->data[1] + (fit_.y / 2) * out->linesize[1] + fit_.x / 2,
                            out->data[2] + (fit_.y / 2) * out->linesize[2] + fit_.x / 2, nullptr};
    const bool srcFull = f->color_range == AVCOL_RANGE_JPEG || f->format == AV_PIX_FMT_YUVJ420P ||
                         f->format == AV_PIX_FMT_YUVJ422P || f->format == AV_PIX_FMT_YUVJ444P;
    auto entry = [](const std::vector<double>& v, std::size_t i) { return i < v.size() ? v[i] : 0.0; };
    const double g = plan_.videoComposition ? SegmentFadeFactor(u, lengths_[rangeIndex_], entry(plan_.fadesIn, rangeIndex_),
                                                                entry(plan_.fadesOut, rangeIndex_))
                                            : 1.0;
    const double stops = plan_.videoComposition && std::fabs(plan_.exposure) > 0.001 ? plan_.exposure : 0.0;
    const AVPixelFormat sf = static_cast<AVPixelFormat>(f->format);
    const int scaleFlags = SWS_BICUBIC;
    if (stops == 0 && !(g < 0.999)) {
      // Nothing changes the pixels: one conversion straight into place.
      SwsContext* s = scaler(direct_, f->width, f->height, sf, fit_.width, fit_.height, AV_PIX_FMT_YUV420P, scaleFlags, srcFull);
      if (!s) return Error{ff::kFfmpegErrorDomain, AVERROR(EINVAL), "Cannot convert the picture"};
      sws_scale(s, f->data, f->linesize, 0, f->height, dst, out->linesize);
      return std::nullopt;
    }
    // The pixel pass works at the source size (it comes before scaling).
    // BGR24 and same-size steps use libswscale's fast unscaled converters;
    // the scale then runs on planar YUV like the plain path.
    if (Status s = ensureFrame(rgb_, AV_PIX_FMT_BGR24, f->width, f->height)) return s;
    SwsContext* toRgb = scaler(toRgb_, f->width, f->height, sf, f->width, f->height, AV_PIX_FMT_BGR24, SWS_BILINEAR, srcFull);
    if (!toRgb) return Error{ff::kFfmpegErrorDomain, AVERROR(EINVAL), "Cannot convert the picture"};
    sws_scale(toRgb, f->data, f->linesize, 0, f->height, rgb_->data, rgb_->linesize);
    const auto table = PixelTable(stops, g);
    for (int y = 0; y < f->height; ++y) {
      std::uint8_t* row = rgb_->data[0] + y * rgb_->linesize[0];
      for (int x = 0; x < f->width * 3; ++x) row[x] = table[row[x]];
    }
    const bool scaled = fit_.width != f->width || fit_.height != f->height;
    if (!scaled) {
      SwsContext* back = scaler(fromRgb_, f->width, f->height, AV_PIX_FMT_BGR24, fit_.width, fit_.height,
                                AV_PIX_FMT_YUV420P, scaleFlags, false);
      if (!back) return Error{ff::kFfmpegErrorDomain, AVERROR(EINVAL), "Cannot convert the picture"};
      sws_scale(back, rgb_->data, rgb_->linesize, 0, f->height, dst, out->linesize);
      return std::nullopt;
    }
    if (Status s = ensureFrame(yuv_, AV_PIX_FMT_YUV420P, f->width, f->height)) return s;
    SwsContext* back = scaler(fromRgb_, f->width, f->height, AV_PIX_FMT_BGR24, f->width, f->height,
                              AV_PIX_FMT_YUV420P, scaleFlags, false);
    SwsContext* scale = scaler(rescale_, f->width, f->height, AV_PIX_FMT_YUV420P, fit_.width, fit_.height,
                               AV_PIX_FMT_YUV420P, scaleFlags, false);
    if (!back || !scale) return Error{ff::kFfmpegErrorDomain, AVERROR(EINVAL), "Cannot convert the picture"};
    sws_scale(back, rgb_->data, rgb_->linesize, 0, f->height, yuv_->data, yuv_->linesize);
    sws_scale(scale, yuv_->data, yuv_->linesize, 0, f->height, dst, out->linesize);
    return std::nullopt;
  }

  Status ensureFrame(ff::FramePtr& frame, AVPixelFormat format, int w, int h) {
    if (frame && frame->width == w && frame->height == h && frame->format == format) return std::nullopt;
    frame.reset(av_frame_alloc());
    if (!frame) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    frame->format = format;
    frame->width = w;
    frame->height = h;
    const int err = av_frame_get_buffer(frame.get(), 0);
    if (err < 0) return ff::makeError(err, "Out of memory");
    return std::nullopt;
  }

  // ---- audio -------------------------------------------------------------
  Status takeAudioFrame(Lane& a, AVFrame* f) {
    const AVRational tb = a.in->time_base;
    std::int64_t pts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
    if (pts == AV_NOPTS_VALUE) return std::nullopt;
    const int rate = a.enc->sample_rate;
    // Source position of the frame's first sample, in output samples.
    const std::int64_t first = av_rescale_q(pts, tb, AVRational{1, rate});
    const std::int64_t start = RescaleTicks(span_.start, BaseOf(primary()), TickBase{1, rate});
    if (first - start >= a.rangeTarget) {
      a.done = true;
      return std::nullopt;
    }
    if (!a.swr) {
      SwrContext* s = nullptr;
      int err = swr_alloc_set_opts2(&s, &a.enc->ch_layout, AV_SAMPLE_FMT_FLTP, rate, &f->ch_layout,
                                    static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr);
      if (err < 0 || !s) return ff::makeError(err, "Cannot convert the sound");
      a.swr.reset(s);
      err = swr_init(s);
      if (err < 0) return ff::makeError(err, "Cannot convert the sound");
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
    const int got = swr_convert(a.swr.get(), conv->data, maxOut, const_cast<const std::uint8_t**>(f->extended_data), f->nb_samples);
    if (got < 0) return ff::makeError(got, "Cannot convert the sound");
    // Place the samples by their time: skip what lies before the range or
    // was already written, fill a gap with silence.
    std::int64_t pos = first - start;  // range-relative position of sample 0
    const std::int64_t dev = pos - a.next;
    if (!a.counting || std::llabs(dev - (a.lo + a.hi) / 2) > a.slack) {
      a.counting = true;
      a.next = pos;
      a.lo = -a.half;
      a.hi = a.half;
    } else if (a.rangeSamples == 0) {
      // Nothing of the range written yet: this stamp narrows the offset.
      const std::int64_t lo = std::max(a.lo, dev - a.half), hi = std::min(a.hi, dev + a.half);
      if (lo <= hi) {
        a.lo = lo;
        a.hi = hi;
      } else {
        a.lo = dev - a.half;  // stamps not rounded as assumed: trust the latest
        a.hi = dev + a.half;
      }
    }
    pos = a.next + (a.lo + a.hi) / 2;
    a.next += got;
    int from = 0;
    if (pos < a.rangeSamples) from = static_cast<int>(std::min<std::int64_t>(a.rangeSamples - pos, got));
    else if (pos > a.rangeSamples) {
      if (Status s = pushSilence(a, std::min(pos, a.rangeTarget) - a.rangeSamples)) return s;
    }
    const std::int64_t room = a.rangeTarget - a.rangeSamples;
    const int count = static_cast<int>(std::clamp<std::int64_t>(got - from, 0, room));
    if (count > 0) {
      std::vector<float*> planes(static_cast<std::size_t>(a.enc->ch_layout.nb_channels));
      for (std::size_t c = 0; c < planes.size(); ++c) planes[c] = reinterpret_cast<float*>(conv->extended_data[c]) + from;
      if (plan_.audioMix) applyRamps(a, planes, count);
      err = av_audio_fifo_write(a.fifo, reinterpret_cast<void**>(planes.data()), count);
      if (err < 0) return ff::makeError(err, "Out of memory");
      a.rangeSamples += count;
      a.totalSamples += count;
      if (Status s = drainFifo(a, false)) return s;
    }
    if (a.rangeSamples >= a.rangeTarget) a.done = true;
    return std::nullopt;
  }

  void applyRamps(Lane& a, std::vector<float*>& planes, int count) {
    const double rate = a.enc->sample_rate;
    for (int i = 0; i < count; ++i) {
      const double t = static_cast<double>(a.totalSamples + i) / rate;
      const float gain = static_cast<float>(VolumeAt(audioRamps_, t));
      if (gain == 1.0f) continue;
      for (float* p : planes) p[i] *= gain;
    }
  }

  Status pushSilence(Lane& a, std::int64_t n) {
    if (n <= 0) return std::nullopt;
    const int channels = a.enc->ch_layout.nb_channels;
    std::vector<float> zeros(4096, 0.0f);
    std::vector<void*> planes(static_cast<std::size_t>(channels), zeros.data());
    while (n > 0) {
      const int c = static_cast<int>(std::min<std::int64_t>(n, 4096));
      int err = av_audio_fifo_write(a.fifo, planes.data(), c);
      if (err < 0) return ff::makeError(err, "Out of memory");
      n -= c;
      a.rangeSamples += c;
      a.totalSamples += c;
    }
    return drainFifo(a, false);
  }

  Status drainFifo(Lane& a, bool final) {
    const int frameSize = a.enc->frame_size > 0 ? a.enc->frame_size : 1024;
    while (av_audio_fifo_size(a.fifo) >= frameSize || (final && av_audio_fifo_size(a.fifo) > 0)) {
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
      if (Status s = encode(a.enc.get(), fr.get(), a.out)) return s;
    }
    return std::nullopt;
  }

  // ---- output ------------------------------------------------------------
  Status encode(AVCodecContext* enc, const AVFrame* frame, AVStream* st) {
    int err = avcodec_send_frame(enc, frame);
    if (err < 0 && err != AVERROR_EOF) return ff::makeError(err, "Cannot encode the movie");
    ff::PacketPtr pkt = ff::allocPacket();
    if (!pkt) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    while (true) {
      err = avcodec_receive_packet(enc, pkt.get());
      if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return std::nullopt;
      if (err < 0) return ff::makeError(err, "Cannot encode the movie");
      pkt->stream_index = st->index;
      av_packet_rescale_ts(pkt.get(), enc->time_base, st->time_base);
      err = av_interleaved_write_frame(out_.get(), pkt.get());
      if (err < 0) return ff::makeError(err, "Cannot write the movie");
    }
  }

  Status finish() {
    for (Lane& a : lanes_) {
      if (Status s = drainFifo(a, true)) return s;
      if (Status s = encode(a.enc.get(), nullptr, a.out)) return s;
    }
    if (venc_) {
      if (Status s = encode(venc_.get(), nullptr, vout_)) return s;
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
  const CompositionPlan& plan_;
  const RunControl& control_;
  ff::OutputContextPtr out_;
  AVStream *vin_ = nullptr, *vout_ = nullptr;
  ff::CodecContextPtr vdec_, venc_;
  std::vector<Lane> lanes_;  // every sound track, in the source's order
  TextTracks texts_;         // the text subtitle tracks carried over
  ff::FramePtr probe_, rgb_, yuv_, canvas_;
  bool bandsDrawn_ = false;
  ff::SwsPtr direct_, toRgb_, fromRgb_, rescale_;
  int width_ = 0, height_ = 0, colorspace_ = SWS_CS_ITU601;
  PictureFit fit_;
  TickSpan span_;                // the range being encoded, primary track's ticks
  std::int64_t cursorTicks_ = 0;  // output time at its start, primary track's ticks
  std::vector<double> lengths_;    // per range: the seconds its kept frames take
  std::size_t rangeIndex_ = 0;     // the range being encoded
  std::vector<VolumeRamp> audioRamps_;  // the fades over those lengths
  std::int64_t lastVideoPts_ = AV_NOPTS_VALUE;
  bool videoDone_ = true;
};

}  // namespace

Status RunReencode(AVFormatContext* in, const ExportRequest& request, const RunControl& control) {
  Reencoder r(in, request, control);
  return r.run();
}

}  // namespace kf::exportimpl
