#include "platform/ffmpeg/TestMovies.h"

#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <map>
#include <sstream>
#include <stdexcept>
#include <thread>

#include "platform/ffmpeg/FfmpegUtil.h"
#include "platform/ffmpeg/FrameCode.h"
#include "platform/ffmpeg/Mp4EditList.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/display.h>
#include <libavutil/opt.h>
}

namespace kf::testmovies {
namespace {

// Bumped whenever the generator's output changes, so caches refresh.
constexpr int kGeneratorVersion = 5;

Error genError(const std::string& message) { return Error{kKerflineErrorDomain, -1, message}; }

// Ticks of 1/fps at which coded frame n starts.
std::int64_t frameTicks(const MovieSpec& s, int n) {
  return s.variableFrameRate ? std::int64_t{n} + n / 3 : std::int64_t{n};
}

const char* formatName(Container c) {
  switch (c) {
    case Container::Mp4: return "mp4";
    case Container::Mov: return "mov";
    case Container::Mkv: return "matroska";
    case Container::WebM: return "webm";
    case Container::Ts: return "mpegts";
  }
  return "mp4";
}

// A tx3g sample description: no display flags, centred at the bottom, a
// transparent background, default box, one style and a font table.
std::vector<std::uint8_t> textSampleDescription() {
  return {0, 0, 0, 0,  1, 0xFF,  0, 0, 0, 0,  0, 0, 0, 0, 0, 0, 0, 0,
          0, 0, 0, 0, 0, 1, 0, 18, 0xFF, 0xFF, 0xFF, 0xFF,
          0, 0, 0, 18, 'f', 't', 'a', 'b', 0, 1, 0, 1, 5, 'S', 'e', 'r', 'i', 'f'};
}

struct Encoder {
  ff::CodecContextPtr ctx;
  AVStream* stream = nullptr;
};

class Writer {
 public:
  Writer(const MovieSpec& spec, std::string path) : s_(spec), path_(std::move(path)) {}

  Status run() {
    AVFormatContext* oc = nullptr;
    int err = avformat_alloc_output_context2(&oc, nullptr, formatName(s_.container), path_.c_str());
    if (err < 0 || !oc) return ff::makeError(err, "output format");
    out_.reset(oc);
    if (s_.hasVideo())
      if (auto e = openVideo()) return e;
    if (s_.hasAudio())
      for (int k = 0; k < std::max(1, s_.soundTracks); ++k)
        if (auto e = openAudio(k)) return e;
    if (s_.subtitles)
      if (auto e = openSubtitles()) return e;
    if (!s_.timecode.empty() && video_.stream) av_dict_set(&video_.stream->metadata, "timecode", s_.timecode.c_str(), 0);
    if (!(oc->oformat->flags & AVFMT_NOFILE)) {
      if ((err = avio_open(&oc->pb, path_.c_str(), AVIO_FLAG_WRITE)) < 0)
        return ff::makeError(err, "open " + path_);
    }
    ff::Dictionary muxOpts;
    const bool isoFamily = s_.container == Container::Mp4 || s_.container == Container::Mov;
    if (s_.damage == Damage::Fragmented) {
      muxOpts.set("movflags", "frag_keyframe+empty_moov+default_base_moof");
    } else if (isoFamily && s_.frameCount() == 0 && !(s_.seconds > 0)) {
      // The muxer leaves out tracks without samples unless it writes the
      // index up front: this keeps the tracks of an empty movie.
      muxOpts.set("movflags", "empty_moov");
    }
    if ((err = avformat_write_header(oc, muxOpts.get())) < 0) return ff::makeError(err, "write header");

    const int frames = s_.frameCount();
    const double end = s_.hasVideo() ? expectedDurationUnedited() : std::max(0.0, s_.seconds);
    delaySamples_ = std::llround(std::max(0.0, s_.soundDelay) * s_.sampleRate);
    const double lead = s_.hasVideo() ? std::max(0.0, -s_.soundDelay) : 0.0;  // the picture starts this late
    const std::int64_t totalSamples =
        s_.hasAudio() ? std::max<std::int64_t>(0, std::llround((end + lead) * s_.sampleRate) - delaySamples_) : 0;
    const int cues = s_.subtitles ? static_cast<int>(std::ceil(end)) : 0;
    int frame = 0, cue = 0;
    std::int64_t sample = 0;
    constexpr double kNever = std::numeric_limits<double>::infinity();
    while (frame < frames || sample < totalSamples || cue < cues) {
      const double vt = frame < frames ? lead + frameTime(s_, frame) : kNever;
      const double at = sample < totalSamples ? double(sample + delaySamples_) / s_.sampleRate : kNever;
      const double st = cue < cues ? double(cue) : kNever;
      if (st <= vt && st <= at) {
        const double length = std::min(1.0, end - cue);
        if (auto e = writeCue(cue++, length)) return e;
      } else if (vt <= at) {
        if (auto e = writeVideo(frame++)) return e;
      } else {
        const int n = static_cast<int>(std::min<std::int64_t>(audioFrameSize_, totalSamples - sample));
        for (std::size_t k = 0; k < audios_.size(); ++k)
          if (auto e = writeAudio(k, sample, n)) return e;
        sample += n;
      }
    }
    if (video_.ctx)
      if (auto e = send(video_, nullptr)) return e;
    for (Encoder& a : audios_)
      if (auto e = send(a, nullptr)) return e;
    if ((err = av_write_trailer(oc)) < 0) return ff::makeError(err, "write trailer");
    out_.reset();
    return std::nullopt;
  }

 private:
  double expectedDurationUnedited() const {
    return double(frameTicks(s_, s_.frameCount())) / s_.rate();
  }

  // Ticks of the video time base per frame period.
  std::int64_t periodTicks() const {
    return s_.timeBaseDen > 0 ? std::int64_t{s_.fpsDen} * s_.timeBaseDen / s_.fps : 1;
  }

  Status openVideo() {
    const char* name = s_.video == VideoCodec::H264 ? "libx264" : s_.video == VideoCodec::Hevc ? "libx265" : "libvpx-vp9";
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (!codec) return genError(std::string("encoder missing: ") + name);
    video_.stream = avformat_new_stream(out_.get(), nullptr);
    video_.ctx.reset(avcodec_alloc_context3(codec));
    if (!video_.stream || !video_.ctx) return genError("out of memory");
    AVCodecContext* c = video_.ctx.get();
    c->width = s_.width;
    c->height = s_.height;
    c->pix_fmt = s_.bitDepth == 10 ? AV_PIX_FMT_YUV420P10LE : AV_PIX_FMT_YUV420P;
    c->time_base = s_.timeBaseDen > 0 ? AVRational{1, s_.timeBaseDen} : AVRational{s_.fpsDen, s_.fps};
    c->framerate = AVRational{s_.fps, s_.fpsDen};
    c->gop_size = s_.gop;
    c->thread_count = 2;
    if (out_->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    ff::Dictionary opts;
    const std::string g = std::to_string(s_.gop);
    switch (s_.video) {
      case VideoCodec::H264:
        c->max_b_frames = s_.bframes;
        opts.set("preset", s_.preset);
        opts.set("crf", std::to_string(s_.crf));
        opts.set("x264-params", "scenecut=0:b-adapt=0:keyint=" + g + ":min-keyint=" + g + ":log=-1" +
                                    std::string(s_.openGop ? ":open-gop=1" : ""));
        break;
      case VideoCodec::Hevc:
        c->max_b_frames = s_.bframes;
        opts.set("preset", s_.preset);
        opts.set("crf", std::to_string(s_.crf + 5));
        opts.set("x265-params", "log-level=none:scenecut=0:keyint=" + g + ":min-keyint=" + g +
                                    ":bframes=" + std::to_string(s_.bframes));
        break;
      default:
        opts.set("deadline", "realtime");
        opts.set("cpu-used", "8");
        opts.set("crf", "32");
        opts.set("b", "0");
        opts.set("lag-in-frames", "0");
        c->keyint_min = s_.gop;
        break;
    }
    int err = avcodec_open2(c, codec, opts.get());
    if (err < 0) return ff::makeError(err, std::string("open encoder ") + name);
    if ((err = avcodec_parameters_from_context(video_.stream->codecpar, c)) < 0)
      return ff::makeError(err, "video parameters");
    if (s_.video == VideoCodec::Hevc && s_.hvc1) video_.stream->codecpar->codec_tag = MKTAG('h', 'v', 'c', '1');
    video_.stream->time_base = c->time_base;
    video_.stream->avg_frame_rate = AVRational{s_.fps, s_.fpsDen};
    if (s_.rotation % 360 != 0) {
      auto* m = reinterpret_cast<std::int32_t*>(
          av_stream_new_side_data(video_.stream, AV_PKT_DATA_DISPLAYMATRIX, 9 * sizeof(std::int32_t)));
      if (!m) return genError("out of memory");
      // The MP4 muxer stores this matrix transposed (FFmpeg 5.1), so the angle
      // given here reads back negated: +90 reads as -90, a clockwise turn,
      // as FFmpeg's and mpv's auto-rotation both take it.
      av_display_rotation_set(m, double(s_.rotation));
    }
    if (s_.soundDelay < 0)
      leadTicks_ = av_rescale_q(std::llround(-s_.soundDelay * 1e6), AVRational{1, 1000000}, c->time_base);
    if (c->pix_fmt == AV_PIX_FMT_YUV420P10LE) {
      deep_ = ff::allocFrame();
      deep_->format = c->pix_fmt;
      deep_->width = c->width;
      deep_->height = c->height;
      if ((err = av_frame_get_buffer(deep_.get(), 0)) < 0) return ff::makeError(err, "frame buffer");
    }
    picture_ = ff::allocFrame();
    picture_->format = AV_PIX_FMT_YUV420P;
    picture_->width = c->width;
    picture_->height = c->height;
    if ((err = av_frame_get_buffer(picture_.get(), 0)) < 0) return ff::makeError(err, "frame buffer");
    return std::nullopt;
  }

  Status openAudio(int track) {
    const char* name = s_.audio == AudioCodec::Aac ? "aac" : "libopus";
    const AVCodec* codec = avcodec_find_encoder_by_name(name);
    if (!codec) return genError(std::string("encoder missing: ") + name);
    Encoder& audio_ = audios_.emplace_back();
    audio_.stream = avformat_new_stream(out_.get(), nullptr);
    audio_.ctx.reset(avcodec_alloc_context3(codec));
    if (!audio_.stream || !audio_.ctx) return genError("out of memory");
    if (s_.soundTracks > 1) av_dict_set(&audio_.stream->metadata, "language", soundLanguage(track).c_str(), 0);
    AVCodecContext* c = audio_.ctx.get();
    c->sample_rate = s_.sampleRate;
    av_channel_layout_default(&c->ch_layout, s_.audioChannels);
    c->sample_fmt = codec->sample_fmts ? codec->sample_fmts[0] : AV_SAMPLE_FMT_FLTP;
    for (const AVSampleFormat* f = codec->sample_fmts; f && *f != AV_SAMPLE_FMT_NONE; ++f)
      if (*f == AV_SAMPLE_FMT_FLTP || *f == AV_SAMPLE_FMT_FLT) {
        c->sample_fmt = *f;
        break;
      }
    c->bit_rate = 64000 * s_.audioChannels;
    c->time_base = AVRational{1, s_.sampleRate};
    if (out_->oformat->flags & AVFMT_GLOBALHEADER) c->flags |= AV_CODEC_FLAG_GLOBAL_HEADER;
    ff::Dictionary opts;
    if (s_.audio == AudioCodec::Opus && s_.audioChannels > 2) opts.set("mapping_family", "1");
    int err = avcodec_open2(c, codec, opts.get());
    if (err < 0) return ff::makeError(err, std::string("open encoder ") + name);
    if ((err = avcodec_parameters_from_context(audio_.stream->codecpar, c)) < 0)
      return ff::makeError(err, "audio parameters");
    audio_.stream->time_base = c->time_base;
    audioFrameSize_ = c->frame_size > 0 ? c->frame_size : 1024;
    sound_ = ff::allocFrame();
    return std::nullopt;
  }

  // Text samples written as stored: in MP4 and QuickTime a 16-bit length and
  // the UTF-8 text ("mov_text"), in Matroska the text alone (SubRip).
  Status openSubtitles() {
    const bool iso = s_.container == Container::Mp4 || s_.container == Container::Mov;
    if (!iso && s_.container != Container::Mkv) return genError("subtitles need MP4, QuickTime or Matroska");
    text_ = avformat_new_stream(out_.get(), nullptr);
    if (!text_) return genError("out of memory");
    text_->codecpar->codec_type = AVMEDIA_TYPE_SUBTITLE;
    text_->time_base = AVRational{1, 1000};
    av_dict_set(&text_->metadata, "language", "eng", 0);
    if (!iso) {
      text_->codecpar->codec_id = AV_CODEC_ID_SUBRIP;
      return std::nullopt;
    }
    text_->codecpar->codec_id = AV_CODEC_ID_MOV_TEXT;
    const auto desc = textSampleDescription();
    text_->codecpar->extradata = static_cast<std::uint8_t*>(av_mallocz(desc.size() + AV_INPUT_BUFFER_PADDING_SIZE));
    if (!text_->codecpar->extradata) return genError("out of memory");
    std::memcpy(text_->codecpar->extradata, desc.data(), desc.size());
    text_->codecpar->extradata_size = static_cast<int>(desc.size());
    return std::nullopt;
  }

  Status writeCue(int n, double seconds) {
    const std::string text = std::to_string(n);
    const int prefix = text_->codecpar->codec_id == AV_CODEC_ID_MOV_TEXT ? 2 : 0;
    ff::PacketPtr pkt = ff::allocPacket();
    if (!pkt || av_new_packet(pkt.get(), static_cast<int>(text.size()) + prefix) < 0) return genError("out of memory");
    if (prefix) {
      pkt->data[0] = static_cast<std::uint8_t>(text.size() >> 8);
      pkt->data[1] = static_cast<std::uint8_t>(text.size());
    }
    std::memcpy(pkt->data + prefix, text.data(), text.size());
    pkt->stream_index = text_->index;
    pkt->pts = pkt->dts = av_rescale_q(std::int64_t{n} * 1000, AVRational{1, 1000}, text_->time_base);
    pkt->duration = av_rescale_q(std::llround(seconds * 1000), AVRational{1, 1000}, text_->time_base);
    pkt->flags |= AV_PKT_FLAG_KEY;
    shift(pkt.get(), text_);
    const int err = av_interleaved_write_frame(out_.get(), pkt.get());
    if (err < 0) return ff::makeError(err, "write packet");
    return std::nullopt;
  }

  // The file's clock starts at startSeconds.
  void shift(AVPacket* pkt, const AVStream* st) const {
    if (!(s_.startSeconds > 0)) return;
    const std::int64_t by = av_rescale_q(std::llround(s_.startSeconds * 1e6), AVRational{1, 1000000}, st->time_base);
    if (pkt->pts != AV_NOPTS_VALUE) pkt->pts += by;
    if (pkt->dts != AV_NOPTS_VALUE) pkt->dts += by;
  }

  Status writeVideo(int n) {
    AVFrame* f = picture_.get();
    int err = av_frame_make_writable(f);
    if (err < 0) return ff::makeError(err, "frame writable");
    drawFrameCode(f->data[0], f->width, f->height, f->linesize[0], n);
    if (s_.noise > 0) addGrain(f, n);
    // Neutral chroma over the pattern, a colour that turns with n below it.
    const int cw = (f->width + 1) / 2, ch = (f->height + 1) / 2;
    const auto u = static_cast<std::uint8_t>(128 + 60 * std::cos(n * 0.21));
    const auto v = static_cast<std::uint8_t>(128 + 60 * std::sin(n * 0.21));
    for (int y = 0; y < ch; ++y) {
      const bool top = y < f->height / 4;
      std::memset(f->data[1] + y * f->linesize[1], top ? 128 : u, cw);
      std::memset(f->data[2] + y * f->linesize[2], top ? 128 : v, cw);
    }
    f->pts = frameTicks(s_, n) * periodTicks() + leadTicks_;
    f->pict_type = AV_PICTURE_TYPE_NONE;
    if (!deep_) return send(video_, f);
    // 10 bits: the same picture, every sample times four.
    err = av_frame_make_writable(deep_.get());
    if (err < 0) return ff::makeError(err, "frame writable");
    for (int p = 0; p < 3; ++p) {
      const int w = p == 0 ? f->width : (f->width + 1) / 2, h = p == 0 ? f->height : (f->height + 1) / 2;
      for (int y = 0; y < h; ++y) {
        const std::uint8_t* from = f->data[p] + y * f->linesize[p];
        auto* to = reinterpret_cast<std::uint16_t*>(deep_->data[p] + y * deep_->linesize[p]);
        for (int x = 0; x < w; ++x) to[x] = static_cast<std::uint16_t>(from[x] << 2);
      }
    }
    deep_->pts = f->pts;
    deep_->pict_type = AV_PICTURE_TYPE_NONE;
    return send(video_, deep_.get());
  }

  // Deterministic grain over the lower half, different in every frame, so
  // the encoder cannot predict it away.
  void addGrain(AVFrame* f, int n) {
    std::uint32_t state = 2463534242u ^ static_cast<std::uint32_t>(n * 2654435761u);
    const int amp = std::clamp(s_.noise, 0, 64);
    for (int y = f->height / 2; y < f->height; ++y) {
      std::uint8_t* row = f->data[0] + static_cast<std::ptrdiff_t>(y) * f->linesize[0];
      for (int x = 0; x < f->width; ++x) {
        state ^= state << 13;
        state ^= state >> 17;
        state ^= state << 5;
        const int v = row[x] + static_cast<int>(state % (2 * amp + 1)) - amp;
        row[x] = static_cast<std::uint8_t>(std::clamp(v, 16, 235));
      }
    }
  }

  Status writeAudio(std::size_t track, std::int64_t first, int count) {
    Encoder& audio_ = audios_[track];
    const double scale = std::pow(1.5, double(track));
    AVFrame* f = sound_.get();
    av_frame_unref(f);
    f->format = audio_.ctx->sample_fmt;
    f->sample_rate = s_.sampleRate;
    f->nb_samples = count;
    int err = av_channel_layout_copy(&f->ch_layout, &audio_.ctx->ch_layout);
    if (err < 0) return ff::makeError(err, "channel layout");
    if ((err = av_frame_get_buffer(f, 0)) < 0) return ff::makeError(err, "audio buffer");
    const int channels = s_.audioChannels;
    const bool planar = av_sample_fmt_is_planar(audio_.ctx->sample_fmt);
    for (int c = 0; c < channels; ++c) {
      const double w = 2 * M_PI * toneFrequency(s_, c) * scale / s_.sampleRate;
      for (int i = 0; i < count; ++i) {
        // Phase from the sample's time in the movie, so frames join
        // seamlessly and a sample's time can be read back from it.
        const double t = double(delaySamples_ + first + i) / s_.sampleRate;
        const bool sounding = s_.toneTo < 0 || (t >= s_.toneFrom && t < s_.toneTo);
        const double x = sounding ? 0.5 * std::sin(w * double(delaySamples_ + first + i)) : 0.0;
        if (planar) {
          reinterpret_cast<float*>(f->data[c])[i] = static_cast<float>(x);
        } else {
          reinterpret_cast<float*>(f->data[0])[i * channels + c] = static_cast<float>(x);
        }
      }
    }
    f->pts = delaySamples_ + first;
    return send(audio_, f);
  }

  Status send(Encoder& e, AVFrame* frame) {
    int err = avcodec_send_frame(e.ctx.get(), frame);
    if (err < 0) return ff::makeError(err, "encode");
    ff::PacketPtr pkt = ff::allocPacket();
    while (true) {
      err = avcodec_receive_packet(e.ctx.get(), pkt.get());
      if (err == AVERROR(EAGAIN) || err == AVERROR_EOF) return std::nullopt;
      if (err < 0) return ff::makeError(err, "encode");
      pkt->stream_index = e.stream->index;
      av_packet_rescale_ts(pkt.get(), e.ctx->time_base, e.stream->time_base);
      shift(pkt.get(), e.stream);
      if ((err = av_interleaved_write_frame(out_.get(), pkt.get())) < 0) return ff::makeError(err, "write packet");
    }
  }

  MovieSpec s_;
  std::string path_;
  ff::OutputContextPtr out_;
  Encoder video_;
  std::vector<Encoder> audios_;
  AVStream* text_ = nullptr;
  ff::FramePtr picture_, sound_, deep_;  // deep_: the 10-bit copy of picture_
  int audioFrameSize_ = 1024;
  std::int64_t delaySamples_ = 0;
  std::int64_t leadTicks_ = 0;  // the picture's start, when the sound starts before it
};

std::uint64_t fnv1a(const std::string& text) {
  std::uint64_t h = 1469598103934665603ull;
  for (unsigned char c : text) {
    h ^= c;
    h *= 1099511628211ull;
  }
  return h;
}

const char* videoName(VideoCodec v) {
  switch (v) {
    case VideoCodec::None: return "novideo";
    case VideoCodec::H264: return "h264";
    case VideoCodec::Hevc: return "hevc";
    case VideoCodec::Vp9: return "vp9";
  }
  return "";
}

const char* audioName(AudioCodec a) {
  switch (a) {
    case AudioCodec::None: return "noaudio";
    case AudioCodec::Aac: return "aac";
    case AudioCodec::Opus: return "opus";
  }
  return "";
}

}  // namespace

int MovieSpec::frameCount() const {
  if (!hasVideo() || !(seconds > 0) || fps <= 0 || fpsDen <= 0) return 0;
  const double ticks = seconds * rate();
  if (!variableFrameRate) return static_cast<int>(std::floor(ticks + 1e-9));
  int n = 0;
  while (double(frameTicks(*this, n)) < ticks - 1e-9) ++n;
  return n;
}

std::string MovieSpec::extension() const {
  switch (container) {
    case Container::Mp4: return ".mp4";
    case Container::Mov: return ".mov";
    case Container::Mkv: return ".mkv";
    case Container::WebM: return ".webm";
    case Container::Ts: return ".ts";
  }
  return ".mp4";
}

std::string MovieSpec::key() const {
  std::ostringstream o;
  o << "v" << kGeneratorVersion << " " << formatName(container) << " " << videoName(video) << " "
    << audioName(audio) << " " << width << "x" << height << " fps" << fps << " s" << seconds << " gop" << gop
    << " b" << bframes << " hvc1=" << hvc1 << " rot" << rotation << " vfr" << variableFrameRate << " ch"
    << audioChannels << " sr" << sampleRate << " tone" << toneHz << " damage" << int(damage) << " "
    << preset << " crf" << crf << " noise" << noise << " edits";
  for (const auto& e : editList) o << " " << e.firstFrame << "+" << e.frameCount;
  // Later fields only when set, so that existing movies keep their names.
  if (fpsDen != 1) o << " fpsden" << fpsDen;
  if (timeBaseDen != 0) o << " tb" << timeBaseDen;
  if (startSeconds != 0) o << " start" << startSeconds;
  if (soundDelay != 0) o << " sounddelay" << soundDelay;
  if (soundTracks != 1) o << " sounds" << soundTracks;
  if (subtitles) o << " subtitles";
  if (openGop) o << " opengop";
  if (bitDepth != 8) o << " depth" << bitDepth;
  if (!timecode.empty()) o << " tc" << timecode;
  if (toneTo >= 0) o << " tonespan " << toneFrom << "-" << toneTo;
  return o.str();
}

std::optional<MovieSpec> tryNamed(const std::string& name) {
  MovieSpec s;
  if (name == "h264") return s;
  if (name == "mov") { s.container = Container::Mov; return s; }
  if (name == "mkv") { s.container = Container::Mkv; return s; }
  if (name == "webm") {
    s.container = Container::WebM;
    s.video = VideoCodec::Vp9;
    s.audio = AudioCodec::Opus;
    return s;
  }
  if (name == "hev1" || name == "hvc1") {
    s.video = VideoCodec::Hevc;
    s.hvc1 = name == "hvc1";
    s.preset = "ultrafast";
    return s;
  }
  if (name == "rotated90") { s.rotation = 90; return s; }
  if (name == "silent") { s.audio = AudioCodec::None; return s; }
  if (name == "audio-only") { s.video = VideoCodec::None; return s; }
  if (name == "surround51") { s.audioChannels = 6; return s; }
  if (name == "vfr") { s.variableFrameRate = true; return s; }
  if (name == "gop10s") {
    s.seconds = 12;
    s.gop = 300;
    s.preset = "ultrafast";
    return s;
  }
  if (name == "editlist1") {
    s.seconds = 5;
    s.editList = {{30, 90}};
    return s;
  }
  if (name == "editlist3") {
    s.seconds = 6;
    s.editList = {{15, 30}, {90, 15}, {120, 60}};
    return s;
  }
  if (name == "fragmented") {
    // Without B-frames: a fragmented file has no edit list to hide their delay.
    s.damage = Damage::Fragmented;
    s.bframes = 0;
    return s;
  }
  if (name == "truncated") { s.damage = Damage::Truncated; return s; }
  if (name == "empty") { s.seconds = 0; return s; }
  // Shapes of movies people bring: 6 s, 2 s groups of pictures.
  s.seconds = 6;
  s.gop = 60;
  s.preset = "ultrafast";
  s.crf = 30;
  s.toneHz = 37;  // a period longer than any sync error worth measuring
  auto ntsc = [](MovieSpec m, int perSecond) {
    m.fps = perSecond * 1000;
    m.fpsDen = 1001;
    m.gop = perSecond * 2;
    m.timeBaseDen = perSecond == 24 ? 24000 : 30000;
    if (perSecond == 60) m.timeBaseDen = 60000;
    return m;
  };
  if (name == "ntsc") return ntsc(s, 30);
  if (name == "film") return ntsc(s, 24);
  if (name == "p5994") return ntsc(s, 60);
  if (name == "vfr6") { s.variableFrameRate = true; return s; }
  if (name == "mkv-long") {
    s = ntsc(s, 30);
    s.container = Container::Mkv;
    s.seconds = 12;
    s.gop = 250;
    s.bframes = 3;
    return s;
  }
  if (name == "webm6") {
    s.container = Container::WebM;
    s.video = VideoCodec::Vp9;
    s.audio = AudioCodec::Opus;
    return s;
  }
  if (name == "ts10") {
    s = ntsc(s, 30);
    s.container = Container::Ts;
    s.timeBaseDen = 90000;
    s.startSeconds = 10;
    return s;
  }
  if (name == "mov-tc") {
    s.container = Container::Mov;
    s.timecode = "01:00:00:00";
    return s;
  }
  if (name == "late-sound") { s.soundDelay = 1.5; return s; }
  if (name == "early-sound") { s.soundDelay = -0.5; return s; }
  if (name == "two-sound") { s.soundTracks = 2; return s; }
  if (name == "subtitles") { s.subtitles = true; return s; }
  if (name == "open-gop") { s.openGop = true; return s; }
  if (name == "hev1-6" || name == "hevc10") {
    // HEVC stored as "hev1" (parameter sets in the samples too), 8 or 10 bits.
    s.video = VideoCodec::Hevc;
    s.hvc1 = false;
    if (name == "hevc10") s.bitDepth = 10;
    return s;
  }
  if (name == "phone-mov") {
    // A phone's recording: QuickTime, 29.97 fps, turned 90° clockwise.
    s = ntsc(s, 30);
    s.container = Container::Mov;
    s.timeBaseDen = 90000;
    s.rotation = 90;
    return s;
  }
  if (name == "hevc6") {
    s.video = VideoCodec::Hevc;
    s.hvc1 = true;
    return s;
  }
  if (name == "mkv-subs") {
    s.container = Container::Mkv;
    s.subtitles = true;
    return s;
  }
  return std::nullopt;
}

MovieSpec named(const std::string& name) {
  auto s = tryNamed(name);
  if (!s) throw std::runtime_error("unknown test movie: " + name);
  return *s;
}

std::vector<std::string> names() {
  return {"h264",       "mov",   "mkv",    "webm",      "hev1",      "hvc1",       "rotated90", "silent",
          "audio-only", "surround51", "vfr", "gop10s", "editlist1", "editlist3", "fragmented", "truncated",
          "empty",      "ntsc",  "film",   "p5994",     "vfr6",      "mkv-long",   "webm6",     "ts10",
          "mov-tc",     "late-sound", "two-sound", "subtitles", "open-gop", "hevc6", "mkv-subs",
          "early-sound", "hev1-6", "hevc10", "phone-mov"};
}

std::string cacheDir() {
  if (const char* env = std::getenv("KERFLINE_TESTMOVIES_DIR"); env && *env) return env;
#ifdef KERFLINE_TESTMOVIES_DEFAULT_DIR
  return KERFLINE_TESTMOVIES_DEFAULT_DIR;
#else
  return (std::filesystem::temp_directory_path() / "kerfline-testmovies").string();
#endif
}

Status generate(const MovieSpec& spec, const std::string& path) {
  if (!spec.hasVideo() && !spec.hasAudio()) return genError("a movie needs a video or a sound track");
  if (spec.width < 64 || spec.height < 64 || spec.width % 2 || spec.height % 2)
    return genError("picture size must be even and at least 64×64");
  if (spec.fps <= 0 || spec.fpsDen <= 0 || spec.gop <= 0)
    return genError("frame rate and keyframe interval must be positive");
  if (spec.timeBaseDen > 0 && (std::int64_t{spec.fpsDen} * spec.timeBaseDen) % spec.fps != 0)
    return genError("a frame must last whole ticks of the time base");
  if (spec.soundTracks < 1) return genError("soundTracks must be at least 1");
  if (!spec.editList.empty() && spec.container != Container::Mp4 && spec.container != Container::Mov)
    return genError("edit lists need MP4 or QuickTime");
  if (spec.damage == Damage::Fragmented && spec.container != Container::Mp4 && spec.container != Container::Mov)
    return genError("fragmenting needs MP4 or QuickTime");
  for (const auto& e : spec.editList)
    if (e.firstFrame < 0 || e.frameCount <= 0 || e.firstFrame + e.frameCount > spec.frameCount())
      return genError("edit entry outside the movie");

  if (auto e = Writer(spec, path).run()) return e;
  if (!spec.editList.empty())
    if (auto e = writeEditList(path, spec.editList, spec.rate())) return e;
  if (spec.damage == Damage::Truncated) {
    std::error_code ec;
    const auto size = std::filesystem::file_size(path, ec);
    if (!ec) std::filesystem::resize_file(path, size * 6 / 10, ec);
    if (ec) return genError("cannot truncate " + path + ": " + ec.message());
  }
  return std::nullopt;
}

Result<std::string> tryEnsure(const MovieSpec& spec) {
  namespace fs = std::filesystem;
  const fs::path dir = cacheDir();
  std::ostringstream name;
  name << videoName(spec.video) << "-" << audioName(spec.audio) << "-" << spec.width << "x" << spec.height << "-"
       << std::hex << fnv1a(spec.key()) << spec.extension();
  const fs::path path = dir / name.str();
  std::error_code ec;
  if (fs::exists(path, ec)) return path.string();
  fs::create_directories(dir, ec);
  if (ec) return genError("cannot create " + dir.string() + ": " + ec.message());
  static std::atomic<unsigned> counter{0};
  std::ostringstream tmpName;
  tmpName << "." << name.str() << ".tmp-" << getpid() << "-" << counter++ << "-"
          << std::hash<std::thread::id>{}(std::this_thread::get_id());
  const fs::path tmp = dir / tmpName.str();
  if (auto e = generate(spec, tmp.string())) {
    fs::remove(tmp, ec);
    return *e;
  }
  fs::rename(tmp, path, ec);
  if (ec) {
    fs::remove(tmp, ec);
    return genError("cannot move the movie into " + path.string());
  }
  return path.string();
}

std::string ensure(const MovieSpec& spec) {
  auto r = tryEnsure(spec);
  if (!r) throw std::runtime_error("test movie: " + r.error().message);
  return *r;
}

double toneFrequency(const MovieSpec& spec, int channel) {
  // The 5.1 layout's fourth channel is low-frequency only; codecs filter it.
  if (spec.audioChannels == 6 && channel == 3) return 50.0;
  return spec.toneHz * (channel + 1);
}

double frameTime(const MovieSpec& spec, int n) { return double(frameTicks(spec, n)) / spec.rate(); }

std::string soundLanguage(int track) {
  static const char* const kLanguages[] = {"eng", "fra", "deu", "spa", "ita", "jpn"};
  return kLanguages[std::clamp(track, 0, 5)];
}

std::vector<int> expectedFrames(const MovieSpec& spec) {
  std::vector<int> out;
  if (spec.editList.empty()) {
    for (int i = 0; i < spec.frameCount(); ++i) out.push_back(i);
  } else {
    for (const auto& e : spec.editList)
      for (int i = 0; i < e.frameCount; ++i) out.push_back(e.firstFrame + i);
  }
  return out;
}

double expectedDuration(const MovieSpec& spec) {
  if (!spec.editList.empty()) {
    int frames = 0;
    for (const auto& e : spec.editList) frames += e.frameCount;
    return double(frames) / spec.rate();
  }
  if (!spec.hasVideo()) return std::max(0.0, spec.seconds);
  return double(frameTicks(spec, spec.frameCount())) / spec.rate();
}

namespace {

// A file opened for decoding its best stream of one media type.
struct StreamDecoder {
  ff::InputContextPtr in;
  ff::CodecContextPtr dec;
  int index = -1;
};

Result<StreamDecoder> openStreamDecoder(const std::string& path, AVMediaType type, const char* missing) {
  AVFormatContext* raw = nullptr;
  int err = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
  if (err < 0) return ff::makeError(err, "open " + path);
  StreamDecoder sd;
  sd.in.reset(raw);
  if ((err = avformat_find_stream_info(raw, nullptr)) < 0) return ff::makeError(err, "stream info");
  const AVCodec* codec = nullptr;
  sd.index = av_find_best_stream(raw, type, -1, -1, &codec, 0);
  if (sd.index < 0) return ff::makeError(sd.index, missing + path);
  sd.dec.reset(avcodec_alloc_context3(codec));
  if (!sd.dec) return genError("out of memory");
  avcodec_parameters_to_context(sd.dec.get(), raw->streams[sd.index]->codecpar);
  sd.dec->thread_count = 2;
  if ((err = avcodec_open2(sd.dec.get(), codec, nullptr)) < 0) return ff::makeError(err, "open decoder");
  return sd;
}

}  // namespace

Result<std::vector<DecodedFrame>> decodeFrameNumbers(const std::string& path) {
  auto opened = openStreamDecoder(path, AVMEDIA_TYPE_VIDEO, "no video in ");
  if (!opened) return opened.error();
  AVFormatContext* raw = opened->in.get();
  ff::CodecContextPtr& dec = opened->dec;
  const int index = opened->index;
  AVStream* st = raw->streams[index];
  int err = 0;

  std::vector<DecodedFrame> out;
  ff::PacketPtr pkt = ff::allocPacket();
  ff::FramePtr frame = ff::allocFrame();
  ff::FramePtr gray = ff::allocFrame();
  ff::SwsPtr sws;
  auto drain = [&]() -> Status {
    while (true) {
      int e = avcodec_receive_frame(dec.get(), frame.get());
      if (e == AVERROR(EAGAIN) || e == AVERROR_EOF) return std::nullopt;
      if (e < 0) return ff::makeError(e, "decode");
      DecodedFrame d;
      const std::int64_t ts = frame->best_effort_timestamp;
      d.time = ts == AV_NOPTS_VALUE ? 0 : double(ts) * av_q2d(st->time_base);
      const auto fmt = static_cast<AVPixelFormat>(frame->format);
      if (fmt == AV_PIX_FMT_YUV420P || fmt == AV_PIX_FMT_YUVJ420P || fmt == AV_PIX_FMT_NV12 ||
          fmt == AV_PIX_FMT_GRAY8 || fmt == AV_PIX_FMT_YUV422P || fmt == AV_PIX_FMT_YUV444P) {
        auto n = readFrameCode(frame->data[0], frame->width, frame->height, frame->linesize[0], PixelLayout::Gray8);
        d.number = n.value_or(-1);
      } else {
        sws.reset(sws_getCachedContext(sws.release(), frame->width, frame->height, fmt, frame->width,
                                       frame->height, AV_PIX_FMT_GRAY8, SWS_BILINEAR, nullptr, nullptr, nullptr));
        if (!sws) return genError("cannot convert the picture");
        av_frame_unref(gray.get());
        gray->format = AV_PIX_FMT_GRAY8;
        gray->width = frame->width;
        gray->height = frame->height;
        if ((e = av_frame_get_buffer(gray.get(), 0)) < 0) return ff::makeError(e, "frame buffer");
        sws_scale(sws.get(), frame->data, frame->linesize, 0, frame->height, gray->data, gray->linesize);
        auto n = readFrameCode(gray->data[0], gray->width, gray->height, gray->linesize[0], PixelLayout::Gray8);
        d.number = n.value_or(-1);
      }
      out.push_back(d);
      av_frame_unref(frame.get());
    }
  };
  while ((err = av_read_frame(raw, pkt.get())) >= 0) {
    if (pkt->stream_index == index) {
      int e = avcodec_send_packet(dec.get(), pkt.get());
      av_packet_unref(pkt.get());
      if (e < 0 && e != AVERROR(EAGAIN)) return ff::makeError(e, "decode");
      if (auto s = drain()) return *s;
    } else {
      av_packet_unref(pkt.get());
    }
  }
  if (err != AVERROR_EOF) return ff::makeError(err, "read " + path);
  avcodec_send_packet(dec.get(), nullptr);
  if (auto s = drain()) return *s;
  return out;
}

Result<AudioSummary> analyzeAudio(const std::string& path) {
  auto opened = openStreamDecoder(path, AVMEDIA_TYPE_AUDIO, "no sound in ");
  if (!opened) return opened.error();
  AVFormatContext* raw = opened->in.get();
  ff::CodecContextPtr& dec = opened->dec;
  const int index = opened->index;
  int err = 0;

  const int channels = dec->ch_layout.nb_channels;
  AudioSummary sum;
  sum.channels = channels;
  sum.sampleRate = dec->sample_rate;
  std::vector<double> sq(channels, 0.0);
  std::vector<std::int64_t> crossings(channels, 0);
  std::vector<float> last(channels, 0.f);
  std::int64_t samples = 0;
  ff::SwrPtr swr;
  {
    SwrContext* s = nullptr;
    if ((err = swr_alloc_set_opts2(&s, &dec->ch_layout, AV_SAMPLE_FMT_FLTP, dec->sample_rate, &dec->ch_layout,
                                   dec->sample_fmt, dec->sample_rate, 0, nullptr)) < 0 ||
        (err = swr_init(s)) < 0) {
      swr_free(&s);
      return ff::makeError(err, "resampler");
    }
    swr.reset(s);
  }
  ff::PacketPtr pkt = ff::allocPacket();
  ff::FramePtr frame = ff::allocFrame();
  std::vector<std::vector<float>> planes(channels);
  auto drain = [&]() -> Status {
    while (true) {
      int e = avcodec_receive_frame(dec.get(), frame.get());
      if (e == AVERROR(EAGAIN) || e == AVERROR_EOF) return std::nullopt;
      if (e < 0) return ff::makeError(e, "decode");
      const int n = frame->nb_samples;
      std::vector<std::uint8_t*> ptrs(channels);
      for (int c = 0; c < channels; ++c) {
        planes[c].resize(n);
        ptrs[c] = reinterpret_cast<std::uint8_t*>(planes[c].data());
      }
      const int got = swr_convert(swr.get(), ptrs.data(), n, const_cast<const std::uint8_t**>(frame->extended_data), n);
      if (got < 0) return ff::makeError(got, "convert");
      for (int c = 0; c < channels; ++c)
        for (int i = 0; i < got; ++i) {
          const float x = planes[c][i];
          sq[c] += double(x) * x;
          if (last[c] <= 0 && x > 0) ++crossings[c];
          last[c] = x;
        }
      samples += got;
      av_frame_unref(frame.get());
    }
  };
  while ((err = av_read_frame(raw, pkt.get())) >= 0) {
    if (pkt->stream_index == index) {
      int e = avcodec_send_packet(dec.get(), pkt.get());
      av_packet_unref(pkt.get());
      if (e < 0 && e != AVERROR(EAGAIN) && e != AVERROR_INVALIDDATA) return ff::makeError(e, "decode");
      if (auto s = drain()) return *s;
    } else {
      av_packet_unref(pkt.get());
    }
  }
  avcodec_send_packet(dec.get(), nullptr);
  if (auto s = drain()) return *s;
  sum.seconds = sum.sampleRate > 0 ? double(samples) / sum.sampleRate : 0;
  for (int c = 0; c < channels; ++c) {
    sum.rms.push_back(samples > 0 ? std::sqrt(sq[c] / samples) : 0);
    sum.frequencyHz.push_back(sum.seconds > 0 ? crossings[c] / sum.seconds : 0);
  }
  return sum;
}

GrowingFile::GrowingFile(std::string source, std::string destination, std::int64_t initialBytes,
                         std::int64_t stepBytes)
    : source_(std::move(source)), destination_(std::move(destination)), initial_(initialBytes), step_(stepBytes) {}

Status GrowingFile::start() {
  std::error_code ec;
  total_ = static_cast<std::int64_t>(std::filesystem::file_size(source_, ec));
  if (ec) return genError("cannot read " + source_);
  // Top-level box boundaries of the source.
  boxEnds_.clear();
  {
    std::ifstream in(source_, std::ios::binary);
    std::int64_t at = 0;
    while (at + 8 <= total_) {
      unsigned char h[16];
      in.seekg(at);
      if (!in.read(reinterpret_cast<char*>(h), 8)) break;
      std::uint64_t size = (std::uint64_t{h[0]} << 24) | (h[1] << 16) | (h[2] << 8) | h[3];
      if (size == 1 && in.read(reinterpret_cast<char*>(h + 8), 8)) {
        size = 0;
        for (int i = 8; i < 16; ++i) size = (size << 8) | h[i];
      } else if (size == 0) {
        size = static_cast<std::uint64_t>(total_ - at);
      }
      if (size < 8) break;
      at += static_cast<std::int64_t>(size);
      boxEnds_.push_back(std::min(at, total_));
    }
  }
  std::ofstream(destination_, std::ios::binary | std::ios::trunc);
  written_ = 0;
  const std::int64_t saved = step_;
  step_ = initial_;
  append();
  step_ = saved;
  return std::nullopt;
}

std::int64_t GrowingFile::boxEndAfter(std::int64_t at) const {
  for (std::int64_t end : boxEnds_)
    if (end >= at) return end;
  return total_;
}

bool GrowingFile::append() {
  if (written_ >= total_) return false;
  const std::int64_t target = boxEndAfter(std::min(total_, written_ + std::max<std::int64_t>(step_, 1)));
  const std::int64_t n = target - written_;
  std::ifstream in(source_, std::ios::binary);
  in.seekg(written_);
  std::vector<char> buf(static_cast<std::size_t>(n));
  in.read(buf.data(), n);
  std::ofstream out(destination_, std::ios::binary | std::ios::app);
  out.write(buf.data(), in.gcount());
  written_ += in.gcount();
  return written_ < total_;
}

}  // namespace kf::testmovies
