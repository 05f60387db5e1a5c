#include "DecodedMovie.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>

#include "platform/ffmpeg/FfmpegUtil.h"
#include "platform/ffmpeg/FrameCode.h"

extern "C" {
#include <libavutil/pixdesc.h>
}

namespace kf::testing {
namespace {

std::uint64_t Fnv(std::uint64_t h, const std::uint8_t* p, int n) {
  for (int i = 0; i < n; ++i) h = (h ^ p[i]) * 1099511628211ull;
  return h;
}

struct Opened {
  ff::InputContextPtr fmt;
  ff::CodecContextPtr dec;
  int stream = -1;
};

Result<Opened> Open(const std::string& path, AVMediaType type, int ordinal = -1, bool ignoreEditList = false) {
  Opened o;
  AVFormatContext* raw = nullptr;
  ff::Dictionary options;
  if (ignoreEditList) options.set("ignore_editlist", "1");
  int err = avformat_open_input(&raw, path.c_str(), nullptr, options.get());
  if (err < 0) return ff::makeError(err, "open " + path);
  o.fmt.reset(raw);
  err = avformat_find_stream_info(raw, nullptr);
  if (err < 0) return ff::makeError(err, "probe");
  const AVCodec* codec = nullptr;
  if (ordinal < 0) {
    o.stream = av_find_best_stream(raw, type, -1, -1, &codec, 0);
  } else {
    o.stream = -1;
    for (unsigned i = 0, seen = 0; i < raw->nb_streams; ++i)
      if (raw->streams[i]->codecpar->codec_type == type && int(seen++) == ordinal) {
        o.stream = int(i);
        codec = avcodec_find_decoder(raw->streams[i]->codecpar->codec_id);
        break;
      }
    if (o.stream < 0 || !codec) return ff::makeError(AVERROR_STREAM_NOT_FOUND, "no stream");
  }
  if (o.stream < 0) return ff::makeError(o.stream, "no stream");
  o.dec.reset(avcodec_alloc_context3(codec));
  avcodec_parameters_to_context(o.dec.get(), raw->streams[o.stream]->codecpar);
  o.dec->pkt_timebase = raw->streams[o.stream]->time_base;
  err = avcodec_open2(o.dec.get(), codec, nullptr);
  if (err < 0) return ff::makeError(err, "decoder");
  return o;
}

template <typename Fn>
Status Run(Opened& o, Fn&& onFrame) {
  ff::PacketPtr pkt = ff::allocPacket();
  ff::FramePtr frame = ff::allocFrame();
  bool flushing = false;
  while (true) {
    if (!flushing) {
      int err = av_read_frame(o.fmt.get(), pkt.get());
      if (err == AVERROR_EOF) {
        flushing = true;
        avcodec_send_packet(o.dec.get(), nullptr);
      } else if (err < 0) {
        return ff::makeError(err, "read");
      } else {
        if (pkt->stream_index == o.stream) avcodec_send_packet(o.dec.get(), pkt.get());
        av_packet_unref(pkt.get());
      }
    }
    while (true) {
      int err = avcodec_receive_frame(o.dec.get(), frame.get());
      if (err == AVERROR_EOF) return std::nullopt;
      if (err == AVERROR(EAGAIN)) break;
      if (err < 0) return ff::makeError(err, "decode");
      onFrame(frame.get());
      av_frame_unref(frame.get());
    }
  }
}

}  // namespace

Result<std::vector<Frame>> DecodeVideo(const std::string& path, const DecodeOptions& options) {
  auto o = Open(path, AVMEDIA_TYPE_VIDEO, -1, options.ignoreEditList);
  if (!o) return o.error();
  const AVRational tb = o->fmt->streams[o->stream]->time_base;
  std::vector<Frame> frames;
  ff::SwsPtr sws;
  Status s = Run(*o, [&](AVFrame* f) {
    Frame fr;
    fr.width = f->width;
    fr.height = f->height;
    const std::int64_t pts = f->best_effort_timestamp;
    fr.time = pts == AV_NOPTS_VALUE ? 0 : pts * av_q2d(tb);
    std::uint64_t h = 1469598103934665603ull;
    const AVPixFmtDescriptor* d = av_pix_fmt_desc_get(static_cast<AVPixelFormat>(f->format));
    for (int p = 0; p < 3 && f->data[p]; ++p) {
      const int w = p == 0 ? f->width : AV_CEIL_RSHIFT(f->width, d->log2_chroma_w);
      const int hh = p == 0 ? f->height : AV_CEIL_RSHIFT(f->height, d->log2_chroma_h);
      const int bytes = w * ((d->comp[p].depth + 7) / 8);
      for (int y = 0; y < hh; ++y) h = Fnv(h, f->data[p] + y * f->linesize[p], bytes);
    }
    fr.checksum = h;
    std::vector<std::uint8_t> luma;
    const std::uint8_t* plane = f->data[0];
    int stride = f->linesize[0];
    if (d->comp[0].depth > 8) {
      // The pattern is read from the top 8 bits.
      luma.resize(static_cast<std::size_t>(f->width) * f->height);
      for (int y = 0; y < f->height; ++y) {
        const auto* row = reinterpret_cast<const std::uint16_t*>(f->data[0] + y * f->linesize[0]);
        for (int x = 0; x < f->width; ++x)
          luma[static_cast<std::size_t>(y) * f->width + x] = static_cast<std::uint8_t>(row[x] >> (d->comp[0].depth - 8));
      }
      plane = luma.data();
      stride = f->width;
    }
    auto n = testmovies::readFrameCode(plane, f->width, f->height, stride, testmovies::PixelLayout::Gray8);
    fr.number = n ? *n : -1;
    const int index = static_cast<int>(frames.size());
    bool want = options.keepRgb;
    if (want && !options.rgbFor.empty()) {
      want = false;
      for (int i : options.rgbFor) want = want || i == index;
    }
    if (want) {
      SwsContext* c = sws_getCachedContext(sws.release(), f->width, f->height, static_cast<AVPixelFormat>(f->format),
                                           f->width, f->height, AV_PIX_FMT_RGB24, SWS_BILINEAR | SWS_ACCURATE_RND | SWS_FULL_CHR_H_INT,
                                           nullptr, nullptr, nullptr);
      sws.reset(c);
      const int cs = f->colorspace == AVCOL_SPC_BT709 ? SWS_CS_ITU709 : SWS_CS_ITU601;
      sws_setColorspaceDetails(c, sws_getCoefficients(cs), f->color_range == AVCOL_RANGE_JPEG, sws_getCoefficients(cs), 1, 0, 1 << 16, 1 << 16);
      fr.rgb.resize(static_cast<std::size_t>(f->width) * f->height * 3);
      std::uint8_t* dst[4] = {fr.rgb.data(), nullptr, nullptr, nullptr};
      int stride[4] = {f->width * 3, 0, 0, 0};
      sws_scale(c, f->data, f->linesize, 0, f->height, dst, stride);
    }
    frames.push_back(std::move(fr));
  });
  if (s) return *s;
  return frames;
}

Result<Sound> DecodeSound(const std::string& path) { return DecodeSoundTrack(path, -1); }

std::vector<std::string> TrackLanguages(const std::string& path, AVMediaType type) {
  std::vector<std::string> out;
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return out;
  ff::InputContextPtr c(raw);
  for (unsigned i = 0; i < raw->nb_streams; ++i) {
    if (raw->streams[i]->codecpar->codec_type != type) continue;
    const AVDictionaryEntry* e = av_dict_get(raw->streams[i]->metadata, "language", nullptr, 0);
    out.push_back(e ? e->value : "");
  }
  return out;
}

Result<std::vector<TextCue>> ReadTextCues(const std::string& path) {
  AVFormatContext* raw = nullptr;
  int err = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
  if (err < 0) return ff::makeError(err, "open " + path);
  ff::InputContextPtr c(raw);
  avformat_find_stream_info(raw, nullptr);
  const int index = av_find_best_stream(raw, AVMEDIA_TYPE_SUBTITLE, -1, -1, nullptr, 0);
  if (index < 0) return ff::makeError(index, "no subtitle track in " + path);
  const AVStream* st = raw->streams[index];
  const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
  if (!codec) return ff::makeError(AVERROR_DECODER_NOT_FOUND, "no subtitle decoder");
  ff::CodecContextPtr dec(avcodec_alloc_context3(codec));
  avcodec_parameters_to_context(dec.get(), st->codecpar);
  dec->pkt_timebase = st->time_base;
  if ((err = avcodec_open2(dec.get(), codec, nullptr)) < 0) return ff::makeError(err, "open subtitle decoder");
  std::vector<TextCue> cues;
  ff::PacketPtr pkt = ff::allocPacket();
  while (av_read_frame(raw, pkt.get()) >= 0) {
    if (pkt->stream_index == index && pkt->pts != AV_NOPTS_VALUE) {
      AVSubtitle sub{};
      int got = 0;
      if (avcodec_decode_subtitle2(dec.get(), &sub, &got, pkt.get()) >= 0 && got) {
        std::string text;
        for (unsigned r = 0; r < sub.num_rects; ++r) {
          const char* ass = sub.rects[r]->ass;
          if (!ass) continue;
          // "ReadOrder,Layer,Style,Name,MarginL,MarginR,MarginV,Effect,Text"
          int commas = 0;
          while (*ass && commas < 8) commas += *ass++ == ',';
          text += ass;
        }
        if (!text.empty()) {
          const double at = pkt->pts * av_q2d(st->time_base);
          cues.push_back({at, at + pkt->duration * av_q2d(st->time_base), text});
        }
        avsubtitle_free(&sub);
      }
    }
    av_packet_unref(pkt.get());
  }
  return cues;
}

double StartTime(const std::string& path) {
  AVFormatContext* raw = nullptr;
  if (avformat_open_input(&raw, path.c_str(), nullptr, nullptr) < 0) return 0;
  ff::InputContextPtr c(raw);
  avformat_find_stream_info(raw, nullptr);
  return raw->start_time == AV_NOPTS_VALUE ? 0 : double(raw->start_time) / AV_TIME_BASE;
}

Result<Sound> DecodeSoundTrack(const std::string& path, int ordinal, bool ignoreEditList) {
  auto o = Open(path, AVMEDIA_TYPE_AUDIO, ordinal, ignoreEditList);
  if (!o) return o.error();
  Sound sound;
  sound.sampleRate = o->dec->sample_rate;
  const AVRational tb = o->fmt->streams[o->stream]->time_base;
  bool first = true;
  Status s = Run(*o, [&](AVFrame* f) {
    const double at = f->best_effort_timestamp == AV_NOPTS_VALUE ? 0 : f->best_effort_timestamp * av_q2d(tb);
    if (first) {
      sound.startTime = at;
      first = false;
    }
    sound.frames.emplace_back(at, sound.samples.size());
    for (int i = 0; i < f->nb_samples; ++i) {
      float v = 0;
      switch (f->format) {
        case AV_SAMPLE_FMT_FLTP: v = reinterpret_cast<float*>(f->extended_data[0])[i]; break;
        case AV_SAMPLE_FMT_FLT: v = reinterpret_cast<float*>(f->data[0])[i * f->ch_layout.nb_channels]; break;
        case AV_SAMPLE_FMT_S16P: v = reinterpret_cast<int16_t*>(f->extended_data[0])[i] / 32768.0f; break;
        case AV_SAMPLE_FMT_S16: v = reinterpret_cast<int16_t*>(f->data[0])[i * f->ch_layout.nb_channels] / 32768.0f; break;
        default: break;
      }
      sound.samples.push_back(v);
    }
  });
  if (s) return *s;
  return sound;
}

bool SampleAt(const Sound& sound, double t, float* value) {
  auto it = std::upper_bound(sound.frames.begin(), sound.frames.end(), t,
                             [](double v, const std::pair<double, std::size_t>& f) { return v < f.first; });
  if (it == sound.frames.begin() || sound.sampleRate <= 0) return false;
  const auto& f = *std::prev(it);
  // Timestamps rounded to the container's clock (milliseconds) may leave a
  // frame's last samples past the next frame's start: they still play.
  const long i = static_cast<long>(f.second) + std::lround((t - f.first) * sound.sampleRate);
  if (i < static_cast<long>(f.second) || i >= static_cast<long>(sound.samples.size())) return false;
  *value = sound.samples[static_cast<std::size_t>(i)];
  return true;
}

std::vector<double> WindowRms(const Sound& sound, double windowSeconds) {
  std::vector<double> out;
  const std::size_t w = static_cast<std::size_t>(std::lround(windowSeconds * sound.sampleRate));
  if (w == 0) return out;
  for (std::size_t i = 0; i + w <= sound.samples.size(); i += w) {
    double sum = 0;
    for (std::size_t k = i; k < i + w; ++k) sum += double(sound.samples[k]) * sound.samples[k];
    out.push_back(std::sqrt(sum / static_cast<double>(w)));
  }
  return out;
}

}  // namespace kf::testing
