#include "platform/ffmpeg/FfmpegAudioReader.h"

#include <cmath>
#include <vector>

#include "platform/ffmpeg/FfmpegUtil.h"
#include "platform/ffmpeg/RangeAvio.h"

extern "C" {
#include <libavutil/channel_layout.h>
#include <libavutil/opt.h>
}

namespace kf::ff {
namespace {

class FfmpegAudioReader final : public AudioBufferReader {
 public:
  ~FfmpegAudioReader() override {
    // The format context reads through the range I/O: close it first.
    in_.reset();
    avio_.reset();
    av_channel_layout_uninit(&swrLayout_);
  }

  bool open(const std::string& path, std::shared_ptr<MGRangeAssetLoader> loader) {
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) return false;
    if (loader) {
      avio_ = std::make_unique<RangeAvio>(std::move(loader));
      if (!avio_->context()) {
        avformat_free_context(raw);
        return false;
      }
      raw->pb = avio_->context();
      raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    }
    if (avformat_open_input(&raw, avio_ ? nullptr : path.c_str(), nullptr, nullptr) < 0) return false;
    in_.reset(raw);
    int index = -1;
    for (unsigned i = 0; i < raw->nb_streams; ++i) {
      if (raw->streams[i]->codecpar->codec_type == AVMEDIA_TYPE_AUDIO) {
        index = static_cast<int>(i);
        break;
      }
    }
    if (index < 0) return false;
    AVStream* st = raw->streams[index];
    // Only a header that leaves the sound's format open needs the probe's
    // trial decoding.
    if (st->codecpar->sample_rate <= 0 || st->codecpar->ch_layout.nb_channels <= 0 ||
        st->codecpar->codec_id == AV_CODEC_ID_NONE) {
      if (avformat_find_stream_info(raw, nullptr) < 0) return false;
    }
    for (unsigned i = 0; i < raw->nb_streams; ++i)
      if (static_cast<int>(i) != index) raw->streams[i]->discard = AVDISCARD_ALL;
    const AVCodec* codec = avcodec_find_decoder(st->codecpar->codec_id);
    if (!codec) return false;
    dec_.reset(avcodec_alloc_context3(codec));
    if (!dec_ || avcodec_parameters_to_context(dec_.get(), st->codecpar) < 0) return false;
    dec_->pkt_timebase = st->time_base;
    if (avcodec_open2(dec_.get(), codec, nullptr) < 0) return false;
    stream_ = index;
    timeBase_ = av_q2d(st->time_base);
    if (raw->start_time != AV_NOPTS_VALUE) startSeconds_ = double(raw->start_time) / AV_TIME_BASE;
    packet_ = allocPacket();
    frame_ = allocFrame();
    return packet_ && frame_;
  }

  bool next(AudioBufferView& buffer) override {
    while (true) {
      const int got = avcodec_receive_frame(dec_.get(), frame_.get());
      if (got == 0) {
        if (convert(buffer)) return true;
        continue;  // a frame without usable samples
      }
      if (got == AVERROR_EOF) return false;
      if (got != AVERROR(EAGAIN)) return false;
      if (draining_) return false;
      if (!feed()) {
        // End of the file or a read error: what the decoder holds still comes out.
        draining_ = true;
        avcodec_send_packet(dec_.get(), nullptr);
      }
    }
  }

 private:
  // Sends the next packet of the track to the decoder; false at the end.
  bool feed() {
    while (true) {
      av_packet_unref(packet_.get());
      if (av_read_frame(in_.get(), packet_.get()) < 0) return false;
      if (packet_->stream_index != stream_) continue;
      const int err = avcodec_send_packet(dec_.get(), packet_.get());
      if (err == 0 || err == AVERROR(EAGAIN)) return true;
      // A damaged packet: passed over.
    }
  }

  bool convert(AudioBufferView& buffer) {
    AVFrame* f = frame_.get();
    const std::int64_t pts = f->best_effort_timestamp != AV_NOPTS_VALUE ? f->best_effort_timestamp : f->pts;
    buffer.time = pts == AV_NOPTS_VALUE ? std::nan("") : double(pts) * timeBase_ - startSeconds_;
    const int channels = f->ch_layout.nb_channels;
    if (f->nb_samples <= 0 || channels <= 0) {
      buffer.samples = nullptr;
      buffer.count = 0;
      return true;
    }
    const std::size_t count = static_cast<std::size_t>(f->nb_samples) * static_cast<std::size_t>(channels);
    if (f->format == AV_SAMPLE_FMT_FLT) {
      buffer.samples = reinterpret_cast<const float*>(f->data[0]);
      buffer.count = count;
      return true;
    }
    // Any other layout becomes interleaved float at the same rate and
    // channels (a no-op resample: only the sample format changes).
    if (!swr_ || swrFormat_ != f->format || swrRate_ != f->sample_rate ||
        av_channel_layout_compare(&swrLayout_, &f->ch_layout) != 0) {
      SwrContext* s = nullptr;
      if (swr_alloc_set_opts2(&s, &f->ch_layout, AV_SAMPLE_FMT_FLT, f->sample_rate, &f->ch_layout,
                              static_cast<AVSampleFormat>(f->format), f->sample_rate, 0, nullptr) < 0 ||
          swr_init(s) < 0) {
        swr_free(&s);
        swr_.reset();
        buffer.samples = nullptr;
        buffer.count = 0;
        return true;  // counts as silence
      }
      swr_.reset(s);
      swrFormat_ = f->format;
      swrRate_ = f->sample_rate;
      av_channel_layout_uninit(&swrLayout_);
      av_channel_layout_copy(&swrLayout_, &f->ch_layout);
    }
    samples_.resize(count);
    std::uint8_t* out[1] = {reinterpret_cast<std::uint8_t*>(samples_.data())};
    const int n = swr_convert(swr_.get(), out, f->nb_samples, const_cast<const std::uint8_t**>(f->extended_data),
                              f->nb_samples);
    buffer.samples = samples_.data();
    buffer.count = n > 0 ? static_cast<std::size_t>(n) * static_cast<std::size_t>(channels) : 0;
    return true;
  }

 private:
  std::unique_ptr<RangeAvio> avio_;
  InputContextPtr in_;
  CodecContextPtr dec_;
  PacketPtr packet_;
  FramePtr frame_;
  SwrPtr swr_;
  int swrFormat_ = -1;
  int swrRate_ = 0;
  AVChannelLayout swrLayout_{};
  std::vector<float> samples_;
  int stream_ = -1;
  double timeBase_ = 0;
  double startSeconds_ = 0;
  bool draining_ = false;
};

}  // namespace

std::unique_ptr<AudioBufferReader> OpenFirstAudioTrack(const std::string& path,
                                                       std::shared_ptr<MGRangeAssetLoader> loader) {
  auto reader = std::make_unique<FfmpegAudioReader>();
  if (!reader->open(path, std::move(loader))) return nullptr;
  return reader;
}

std::unique_ptr<AudioBufferReader> OpenFirstAudioTrackOfAsset(const std::shared_ptr<media::MediaAsset>& asset) {
  if (!asset) return nullptr;
  return OpenFirstAudioTrack(asset->url(), asset->resourceLoader());
}

}  // namespace kf::ff
