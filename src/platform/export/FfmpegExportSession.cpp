#include "platform/export/FfmpegExportSession.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <optional>

#include "platform/export/ExportInternal.h"
#include "platform/export/Mp4Movie.h"
#include "platform/export/RangeTiming.h"
#include "platform/ffmpeg/RangeAvio.h"

extern "C" {
#include <libavutil/display.h>
#include <libavutil/timecode.h>
}

namespace kf {

namespace exportimpl {

bool IsExportedStream(const AVStream* st) {
  const AVMediaType type = st->codecpar->codec_type;
  if (type == AVMEDIA_TYPE_VIDEO) return !(st->disposition & AV_DISPOSITION_ATTACHED_PIC);
  return type == AVMEDIA_TYPE_AUDIO;
}

Status ReplacePacketData(ff::PacketPtr& p, const std::uint8_t* data, std::size_t size,
                         const std::vector<std::uint8_t>& head) {
  ff::PacketPtr q = ff::allocPacket();
  if (!q) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
  int err = av_new_packet(q.get(), static_cast<int>(head.size() + size));
  if (err < 0) return ff::makeError(err, "Out of memory");
  err = av_packet_copy_props(q.get(), p.get());
  if (err < 0) return ff::makeError(err, "Out of memory");
  if (!head.empty()) std::memcpy(q->data, head.data(), head.size());
  if (size) std::memcpy(q->data + head.size(), data, size);
  p = std::move(q);
  return std::nullopt;
}

void CopyStreamProperties(const AVStream* in, AVStream* out) {
  av_dict_copy(&out->metadata, in->metadata, 0);
  out->disposition = in->disposition;
  out->avg_frame_rate = in->avg_frame_rate;
  out->r_frame_rate = in->r_frame_rate;
  out->sample_aspect_ratio = in->sample_aspect_ratio;
  for (int i = 0; i < in->nb_side_data; ++i) {
    const AVPacketSideData& sd = in->side_data[i];
    std::uint8_t* dst = av_stream_new_side_data(out, sd.type, sd.size);
    if (dst) std::memcpy(dst, sd.data, sd.size);
  }
}

std::vector<std::string> SourceCodecs(const AVFormatContext* in) {
  std::vector<std::string> codecs;
  for (unsigned i = 0; i < in->nb_streams; ++i) {
    const AVStream* st = in->streams[i];
    if (!IsExportedStream(st) || st->codecpar->codec_id == AV_CODEC_ID_NONE) continue;
    std::string name = avcodec_get_name(st->codecpar->codec_id);
    if (std::find(codecs.begin(), codecs.end(), name) == codecs.end()) codecs.push_back(std::move(name));
  }
  return codecs;
}

Status CheckContainer(const AVFormatContext* in, const ExportRequest& request) {
  const std::int64_t duration = in->duration > 0 ? ToTimescale(static_cast<double>(in->duration) / AV_TIME_BASE) : 0;
  return CheckOutputContainer(request.fileName.empty() ? request.outputPath : request.fileName, request.fileType,
                              request.plan.preset, SourceCodecs(in), KeepsWholeMovie(request.plan.ranges, duration));
}

Error CancelledError() { return Error{kKerflineErrorDomain, 0, "Export cancelled"}; }

unsigned OutputCodecTag(const AVCodecParameters* par, const AVOutputFormat* out) {
  const bool iso = std::strcmp(out->name, "mp4") == 0 || std::strcmp(out->name, "mov") == 0;
  if (iso && par->codec_id == AV_CODEC_ID_HEVC) return MKTAG('h', 'v', 'c', '1');
  const unsigned tag = par->codec_tag;
  if (tag && out->codec_tag && av_codec_get_id(out->codec_tag, tag) == par->codec_id) return tag;
  return 0;
}

void ShiftTimecode(const AVFormatContext* in, const AVStream* video, std::int64_t atTicks, AVFormatContext* out,
                   AVStream* outVideo) {
  const AVDictionaryEntry* streamCode = av_dict_get(video->metadata, "timecode", nullptr, 0);
  const AVDictionaryEntry* movieCode = av_dict_get(in->metadata, "timecode", nullptr, 0);
  const AVDictionaryEntry* code = streamCode ? streamCode : movieCode;
  if (!code) return;
  AVRational rate = video->avg_frame_rate.num > 0 ? video->avg_frame_rate : video->r_frame_rate;
  AVTimecode tc{};
  char text[AV_TIMECODE_STR_SIZE] = {};
  const bool readable = rate.num > 0 && rate.den > 0 &&
                        av_timecode_init_from_string(&tc, rate, code->value, nullptr) == 0;
  if (readable) {
    const std::int64_t frames = av_rescale_q(std::max<std::int64_t>(atTicks, 0), video->time_base, av_inv_q(rate));
    av_timecode_make_string(&tc, text, static_cast<int>(frames));
  }
  const char* value = readable ? text : nullptr;
  av_dict_set(&outVideo->metadata, "timecode", streamCode ? value : nullptr, 0);
  av_dict_set(&out->metadata, "timecode", movieCode ? value : nullptr, 0);
}

namespace {

// The furthest end time (1/600 s) of the picture and sound packets read
// from `fromTicks` (primary's ticks) on; INT64_MIN when there are none.
// Stops early once `enough` is reached.
std::int64_t ReachedFrom(AVFormatContext* in, const AVStream* primary, std::int64_t fromTicks, std::int64_t enough600) {
  std::int64_t reached = INT64_MIN;
  if (SeekBefore(in, primary, fromTicks)) return reached;
  ff::PacketPtr pkt = ff::allocPacket();
  if (!pkt) return reached;
  while (av_read_frame(in, pkt.get()) >= 0) {
    const unsigned index = static_cast<unsigned>(pkt->stream_index);
    const AVStream* st = index < in->nb_streams ? in->streams[index] : nullptr;
    const std::int64_t t = pkt->pts != AV_NOPTS_VALUE ? pkt->pts : pkt->dts;
    if (st && IsExportedStream(st) && t != AV_NOPTS_VALUE && t < INT64_MAX / 4 && t > INT64_MIN / 4) {
      const std::int64_t end = t + std::clamp<std::int64_t>(pkt->duration, 0, INT32_MAX);
      reached = std::max(reached, av_rescale_q(end, st->time_base, AVRational{1, 600}));
    }
    av_packet_unref(pkt.get());
    if (reached >= enough600) break;
  }
  return reached;
}

std::string ClockText(std::int64_t t600) {
  const double s = std::max<double>(0, static_cast<double>(t600) / 600.0);
  const long long ms = std::llround(std::min(s, 1e9) * 1000.0);
  char text[48];
  std::snprintf(text, sizeof text, "%02lld:%02lld.%03lld", ms / 60000, ms / 1000 % 60, ms % 1000);
  return text;
}

}  // namespace

Status CheckSourceReaches(AVFormatContext* in, const AVStream* primary, const TimeSpan& range) {
  const TickSpan asked = RangeInTicks(range, OriginTicks(in, primary), BaseOf(primary));
  const std::int64_t end600 = av_rescale_q(asked.end, primary->time_base, AVRational{1, 600});
  // A quarter second of slack: tracks may end a little before the
  // container's stated duration.
  const std::int64_t enough = end600 - 150;
  const std::int64_t second = av_rescale_q(1, AVRational{1, 1}, primary->time_base);
  if (ReachedFrom(in, primary, std::max(asked.start, asked.end - second), enough) >= enough) return std::nullopt;
  // Where does it end? Read the whole range to tell.
  std::int64_t reached = ReachedFrom(in, primary, asked.start, enough);
  if (reached == INT64_MIN) reached = ReachedFrom(in, primary, OriginTicks(in, primary), enough);
  if (reached >= enough) return std::nullopt;
  const std::int64_t origin600 =
      av_rescale_q(OriginTicks(in, primary), primary->time_base, AVRational{1, 600});
  return Error{kKerflineErrorDomain, 14,
               "The movie ends at " + ClockText(reached == INT64_MIN ? 0 : reached - origin600) +
                   ", before the kept range ending at " + ClockText(end600 - origin600)};
}

}  // namespace exportimpl

namespace {

// The container's header only: enough to name the tracks and, for most
// containers, their durations.
Result<OpenedInput> OpenHeader(const std::string& path) {
  // Never hand FFmpeg a FIFO or device to read: the open would block or
  // read forever.
  struct stat st {};
  if (::stat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode))
    return Error{kKerflineErrorDomain, 1, "This movie cannot be played."};
  AVFormatContext* raw = nullptr;
  int err = avformat_open_input(&raw, path.c_str(), nullptr, nullptr);
  if (err < 0) return ff::makeError(err, "Cannot open " + path);
  OpenedInput in;
  in.context.reset(raw);
  return in;
}

// What the header leaves open (frame rates, decoder parameters, the
// durations of containers without an index), read from the first packets.
std::optional<Error> ReadStreamInfo(OpenedInput& in, const std::string& path) {
  const int err = avformat_find_stream_info(in.context.get(), nullptr);
  if (err < 0) return ff::makeError(err, "Cannot read " + path);
  return std::nullopt;
}

struct SourceTracks {
  unsigned tracks = 0;
  bool allKnown = true;  // every picture and sound track has a codec
  double duration = 0;
};

SourceTracks ReadTracks(const AVFormatContext* c) {
  SourceTracks t;
  double longest = 0;
  for (unsigned i = 0; i < c->nb_streams; ++i) {
    const AVStream* stream = c->streams[i];
    if (!exportimpl::IsExportedStream(stream)) continue;
    if (stream->codecpar->codec_id == AV_CODEC_ID_NONE) {
      t.allKnown = false;
      continue;
    }
    ++t.tracks;
    if (stream->duration != AV_NOPTS_VALUE && stream->duration > 0)
      longest = std::max(longest, stream->duration * av_q2d(stream->time_base));
  }
  t.duration = c->duration != AV_NOPTS_VALUE && c->duration > 0 ? c->duration / double(AV_TIME_BASE) : longest;
  return t;
}

}  // namespace

InputOpener OpenPath(std::string path) {
  return [path]() -> Result<OpenedInput> {
    auto in = OpenHeader(path);
    if (!in) return in.error();
    if (auto e = ReadStreamInfo(*in, path)) return *e;
    return in;
  };
}

InputOpener OpenServed(std::string url, std::shared_ptr<MGRangeAssetLoader> loader) {
  return [url, loader]() -> Result<OpenedInput> {
    auto avio = std::make_shared<ff::RangeAvio>(loader);
    if (!avio->context()) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    AVFormatContext* raw = avformat_alloc_context();
    if (!raw) return ff::makeError(AVERROR(ENOMEM), "Out of memory");
    raw->pb = avio->context();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    OpenedInput in;
    in.io = avio;
    int err = avformat_open_input(&raw, url.c_str(), nullptr, nullptr);
    if (err < 0) {
      // The loader's own failure says more than FFmpeg's generic one.
      if (auto e = avio->readError()) return *e;
      return ff::makeError(err, "Cannot open " + url);
    }
    in.context.reset(raw);
    err = avformat_find_stream_info(raw, nullptr);
    if (err < 0) {
      if (auto e = avio->readError()) return *e;
      return ff::makeError(err, "Cannot read " + url);
    }
    return in;
  };
}

Result<double> ProbeMovieDuration(const std::string& path) {
  auto opened = OpenPath(path)();
  if (!opened) return opened.error();
  const AVFormatContext* c = opened->context.get();
  if (c->duration != AV_NOPTS_VALUE && c->duration > 0) return c->duration / double(AV_TIME_BASE);
  double longest = 0;
  for (unsigned i = 0; i < c->nb_streams; ++i) {
    const AVStream* st = c->streams[i];
    if (st->duration != AV_NOPTS_VALUE) longest = std::max(longest, st->duration * av_q2d(st->time_base));
  }
  return longest;
}

Result<CheckedSource> OpenCheckedSource(const std::string& path) {
  struct stat st {};
  if (::stat(path.c_str(), &st) != 0) return Error{"NSPOSIXErrorDomain", errno, std::strerror(errno)};
  if (!S_ISREG(st.st_mode)) return Error{kKerflineErrorDomain, 12, "It is not a regular file."};
  auto opened = OpenHeader(path);
  if (!opened) return Error{kKerflineErrorDomain, 1, "This movie cannot be played."};
  // The header names the tracks and (in MP4, QuickTime, Matroska) the
  // movie's duration; the first packets are read now only where it does not. A
  // byte copy never needs them; an export session has them read when the
  // source is handed to it.
  SourceTracks tracks = ReadTracks(opened->context.get());
  bool infoRead = false;
  const AVFormatContext* header = opened->context.get();
  if (tracks.tracks == 0 || !tracks.allKnown || header->duration == AV_NOPTS_VALUE || header->duration <= 0) {
    if (ReadStreamInfo(*opened, path)) return Error{kKerflineErrorDomain, 1, "This movie cannot be played."};
    infoRead = true;
    tracks = ReadTracks(opened->context.get());
  }
  if (tracks.tracks == 0) return Error{kKerflineErrorDomain, 1, "This movie cannot be played."};
  if (!(tracks.duration > 0) || !std::isfinite(tracks.duration))
    return Error{kKerflineErrorDomain, 2, "The movie has no usable duration."};
  CheckedSource source;
  source.duration = tracks.duration;
  source.codecs = exportimpl::SourceCodecs(opened->context.get());
  auto first = std::make_shared<std::optional<OpenedInput>>(std::move(*opened));
  auto mutex = std::make_shared<std::mutex>();
  source.input = [path, first, mutex, infoRead]() -> Result<OpenedInput> {
    std::optional<OpenedInput> taken;
    {
      std::lock_guard<std::mutex> lock(*mutex);
      taken.swap(*first);
    }
    if (!taken) return OpenPath(path)();
    if (!infoRead)
      if (auto e = ReadStreamInfo(*taken, path)) return *e;
    return std::move(*taken);
  };
  return source;
}

FfmpegExportSession::FfmpegExportSession(InputOpener input, ExportRequest request)
    : input_(std::move(input)), request_(std::move(request)) {}

FfmpegExportSession::~FfmpegExportSession() {
  cancelExport();
  if (worker_.joinable()) {
    if (worker_.get_id() == std::this_thread::get_id())
      worker_.detach();  // destroyed from its own completion
    else
      worker_.join();
  }
}

std::optional<Error> FfmpegExportSession::error() const {
  std::lock_guard<std::mutex> lock(errorMutex_);
  return error_;
}

void FfmpegExportSession::exportAsynchronously(std::function<void()> completion) {
  status_.store(ExportStatus::Exporting);
  worker_ = std::thread([this, completion = std::move(completion)] {
    run();
    if (completion) completion();
  });
}

void FfmpegExportSession::exportAsynchronously(Scheduler& main, std::function<void()> completion) {
  exportAsynchronously([&main, completion = std::move(completion)] { main.post(completion); });
}

void FfmpegExportSession::exportBlocking() {
  status_.store(ExportStatus::Exporting);
  run();
}

void FfmpegExportSession::run() {
  exportimpl::RunControl control;
  control.cancelled = &cancelled_;
  control.progress = [this](double p) {
    // Never backwards: a later range may seek before the last reported point.
    double cur = progress_.load();
    while (p > cur && !progress_.compare_exchange_weak(cur, p)) {
    }
  };
  Status result;
  bool ownsOutput = true;  // never remove the file the export reads
  {
    auto opened = input_ ? input_() : Result<OpenedInput>(Error{ff::kFfmpegErrorDomain, AVERROR(EINVAL), "No source"});
    struct stat in {}, out {};
    const bool overwritesSource = !opened ? false
                                  : ::stat(request_.outputPath.c_str(), &out) == 0 && opened->context->url &&
                                        ::stat(opened->context->url, &in) == 0 && in.st_dev == out.st_dev &&
                                        in.st_ino == out.st_ino;
    if (!opened) {
      result = opened.error();
    } else if (overwritesSource) {
      ownsOutput = false;
      result = Error{kKerflineErrorDomain, 3, "The export would replace the movie it reads."};
    } else {
      // Remove whatever a previous export left at the destination.
      ::unlink(request_.outputPath.c_str());
      AVFormatContext* in = opened->context.get();
      const bool editLists = ContainerHasEditLists(request_.fileType);
      result = exportimpl::CheckContainer(in, request_);
      if (result) {
        // Refused before anything was written.
      } else if (request_.plan.preset == ExportPreset::SmartRender) {
        result = exportimpl::RunSmartRender(in, request_, control);
      } else if (request_.plan.preset != ExportPreset::Passthrough) {
        result = exportimpl::RunReencode(in, request_, control);
      } else if (editLists) {
        result = exportimpl::RunStreamCopy(in, request_, control);
      } else {
        result = exportimpl::RunRemux(in, request_, control);
      }
      // The index goes at the front of every MP4 and QuickTime file.
      if (!result && editLists && !cancelled_.load()) result = mp4::PutMovieHeaderFirst(request_.outputPath);
    }
  }
  if ((cancelled_.load() || result) && ownsOutput) ::unlink(request_.outputPath.c_str());
  if (cancelled_.load()) {
    status_.store(ExportStatus::Cancelled);
  } else if (result) {
    {
      std::lock_guard<std::mutex> lock(errorMutex_);
      error_ = result;
    }
    status_.store(ExportStatus::Failed);
  } else {
    progress_.store(1.0);
    status_.store(ExportStatus::Completed);
  }
}

std::unique_ptr<ExportSessionPort> FfmpegExportSessionFactory::makeSession(const ExportRequest& request) {
  return std::make_unique<FfmpegExportSession>(input_, request);
}

}  // namespace kf
