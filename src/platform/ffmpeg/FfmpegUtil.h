// RAII owners for FFmpeg objects and the conversion of FFmpeg error codes
// into kf::Error. Every FFmpeg object this project creates is held by one of
// these owners, so an early return never leaks a context, frame or packet.
#pragma once

extern "C" {
#include <libavcodec/avcodec.h>
#include <libavformat/avformat.h>
#include <libavutil/error.h>
#include <libswresample/swresample.h>
#include <libswscale/swscale.h>
}

#include <memory>
#include <string>

#include "base/Error.h"

namespace kf::ff {

// Errors from FFmpeg keep FFmpeg's own code (a negative AVERROR value).
inline constexpr const char* kFfmpegErrorDomain = "FFmpeg";

inline std::string errorText(int err) {
  char buf[AV_ERROR_MAX_STRING_SIZE] = {0};
  av_strerror(err, buf, sizeof buf);
  return buf;
}

inline Error makeError(int err, const std::string& what) {
  return Error{kFfmpegErrorDomain, err, what + ": " + errorText(err)};
}

struct InputContextDeleter {
  void operator()(AVFormatContext* c) const { avformat_close_input(&c); }
};
using InputContextPtr = std::unique_ptr<AVFormatContext, InputContextDeleter>;

// An output context owns its file I/O when the format needs one.
struct OutputContextDeleter {
  void operator()(AVFormatContext* c) const {
    if (c->oformat && !(c->oformat->flags & AVFMT_NOFILE)) avio_closep(&c->pb);
    avformat_free_context(c);
  }
};
using OutputContextPtr = std::unique_ptr<AVFormatContext, OutputContextDeleter>;

struct CodecContextDeleter {
  void operator()(AVCodecContext* c) const { avcodec_free_context(&c); }
};
using CodecContextPtr = std::unique_ptr<AVCodecContext, CodecContextDeleter>;

struct FrameDeleter {
  void operator()(AVFrame* f) const { av_frame_free(&f); }
};
using FramePtr = std::unique_ptr<AVFrame, FrameDeleter>;

struct PacketDeleter {
  void operator()(AVPacket* p) const { av_packet_free(&p); }
};
using PacketPtr = std::unique_ptr<AVPacket, PacketDeleter>;

struct SwsDeleter {
  void operator()(SwsContext* s) const { sws_freeContext(s); }
};
using SwsPtr = std::unique_ptr<SwsContext, SwsDeleter>;

struct SwrDeleter {
  void operator()(SwrContext* s) const { swr_free(&s); }
};
using SwrPtr = std::unique_ptr<SwrContext, SwrDeleter>;

struct DictionaryDeleter {
  void operator()(AVDictionary* d) const { av_dict_free(&d); }
};

// An AVDictionary that frees itself; pass get() to calls that consume
// options through AVDictionary**.
class Dictionary {
 public:
  Dictionary() = default;
  Dictionary(const Dictionary&) = delete;
  Dictionary& operator=(const Dictionary&) = delete;
  ~Dictionary() { av_dict_free(&d_); }
  void set(const char* key, const std::string& value) { av_dict_set(&d_, key, value.c_str(), 0); }
  AVDictionary** get() { return &d_; }

 private:
  AVDictionary* d_ = nullptr;
};

inline FramePtr allocFrame() { return FramePtr(av_frame_alloc()); }
inline PacketPtr allocPacket() { return PacketPtr(av_packet_alloc()); }

}  // namespace kf::ff
