#include "platform/ffmpeg/FfmpegAsset.h"

#include <atomic>
#include <cmath>
#include <mutex>
#include <string_view>

#include "platform/ffmpeg/FfmpegUtil.h"
#include "platform/ffmpeg/RangeAvio.h"
#include "source/MGFileRangeService.h"
#include "source/MGRangeAssetLoader.h"

extern "C" {
#include <libavutil/display.h>
}

namespace kf::ff {

struct ProbeControl {
  std::atomic<bool> cancelled{false};
  std::mutex mu;  // guards avio
  RangeAvio* avio = nullptr;
};

struct FfmpegAsset::Probe {
  Result<ProbeResult> result = ProbeResult{};
};

namespace {

std::string fourcc(std::uint32_t tag) {
  if (tag == 0) return {};
  std::string s;
  for (int i = 0; i < 4; ++i) {
    const char c = static_cast<char>((tag >> (8 * i)) & 0xFF);
    if (c < 32 || c > 126) return {};
    s.push_back(c);
  }
  return s;
}

media::AffineTransform transformFor(const AVStream* st, double w, double h) {
  const auto* m = reinterpret_cast<const std::int32_t*>(av_stream_get_side_data(st, AV_PKT_DATA_DISPLAYMATRIX, nullptr));
  if (!m) return {};
  const double ccw = av_display_rotation_get(m);
  if (std::isnan(ccw)) return {};
  // Clockwise quarter turns; the translation keeps the picture at the origin
  // in a y-down coordinate system.
  int cw = static_cast<int>(std::lround(-ccw / 90.0)) % 4;
  if (cw < 0) cw += 4;
  switch (cw) {
    case 1: return {0, 1, -1, 0, h, 0};
    case 2: return {-1, 0, 0, -1, w, h};
    case 3: return {0, -1, 1, 0, 0, w};
    default: return {};
  }
}

// FFmpeg's reader of MP4, QuickTime and their kin ("mov,mp4,m4a,...").
bool isIsoMovie(const AVFormatContext* fmt) {
  return fmt->iformat && std::string_view(fmt->iformat->name).substr(0, 3) == "mov";
}

// The edit lists of an MP4 or QuickTime movie, from the bytes read while
// opening it: the demuxer has just read the movie box, so it is not read
// again. Nothing when the opening did not read all of it.
PresentationPlan presentationPlanOf(const AVFormatContext* fmt, const MGByteCapture& opened, std::uint64_t size) {
  if (!isIsoMovie(fmt) || size == 0) return {};
  auto moov = ReadMp4MovieBox([&](std::uint64_t offset, std::uint64_t length) { return opened.read(offset, length); },
                              size);
  if (!moov) return {};
  auto lists = ParseMp4EditLists(*moov);
  return lists ? PlanPresentation(*lists) : PresentationPlan{};
}

// An MP4 or QuickTime header states every track's picture size, sound
// format, frame rate and duration, so decoding the first frames to learn
// them (avformat_find_stream_info) would only delay the open.
bool headerIsComplete(const AVFormatContext* fmt) {
  if (!isIsoMovie(fmt)) return false;
  if (fmt->duration == AV_NOPTS_VALUE || fmt->duration <= 0 || fmt->nb_streams == 0) return false;
  for (unsigned i = 0; i < fmt->nb_streams; ++i) {
    const AVStream* st = fmt->streams[i];
    const AVCodecParameters* par = st->codecpar;
    if (par->codec_id == AV_CODEC_ID_NONE) return false;
    if (par->codec_type == AVMEDIA_TYPE_VIDEO && !(st->disposition & AV_DISPOSITION_ATTACHED_PIC) &&
        (par->width <= 0 || par->height <= 0 || st->avg_frame_rate.num <= 0 || st->avg_frame_rate.den <= 0))
      return false;
    if (par->codec_type == AVMEDIA_TYPE_AUDIO && (par->sample_rate <= 0 || par->ch_layout.nb_channels <= 0))
      return false;
  }
  return true;
}

int interruptCallback(void* opaque) {
  return static_cast<ProbeControl*>(opaque)->cancelled.load() ? 1 : 0;
}

Result<ProbeResult> probe(const std::string& path, std::shared_ptr<MGRangeAssetLoader> loader,
                          std::shared_ptr<MGCapturingRangeService> source, ProbeControl* control) {
  // A local file is read through a range service too, recording what the
  // opening reads (the preparation's, or one of our own), so the edit lists
  // come from the bytes the demuxer read. Without one (the file cannot be
  // opened), FFmpeg opens the path and reports why it cannot.
  const bool local = !loader;
  if (local && !source)
    if (auto file = MGFileRangeService::create(path))
      source = std::make_shared<MGCapturingRangeService>(file, std::make_shared<MGByteCapture>());
  std::uint64_t size = 0;
  if (local && source) {
    source->fileSizeWithReply([&](std::uint64_t s, std::optional<Error>) { size = s; });
    loader = MGRangeAssetLoader::create(source, size, path, nullptr);
  }
  // A served movie's opening is recorded here (retagged bytes; the edit
  // lists are the same).
  auto opened = std::make_shared<MGByteCapture>();
  std::unique_ptr<RangeAvio> avio;
  AVFormatContext* raw = avformat_alloc_context();
  if (!raw) return Error{media::kMediaErrorDomain, -1, "out of memory"};
  if (control) {
    raw->interrupt_callback.callback = &interruptCallback;
    raw->interrupt_callback.opaque = control;
  }
  if (loader) {
    avio = std::make_unique<RangeAvio>(loader);
    if (!avio->context()) {
      avformat_free_context(raw);
      return Error{media::kMediaErrorDomain, -1, "out of memory"};
    }
    raw->pb = avio->context();
    raw->flags |= AVFMT_FLAG_CUSTOM_IO;
    if (!local) {
      size = loader->fileSize();
      avio->setTap([opened](std::uint64_t offset, const std::uint8_t* data, std::size_t n) {
        opened->add(offset, data, n);
      });
    }
    if (control) {
      std::lock_guard<std::mutex> lock(control->mu);
      control->avio = avio.get();
      if (control->cancelled) avio->cancel();
    }
  }
  // The format context must close before the I/O it reads from.
  struct Cleanup {
    ProbeControl* control;
    ~Cleanup() {
      if (control) {
        std::lock_guard<std::mutex> lock(control->mu);
        control->avio = nullptr;
      }
    }
  } cleanup{control};
  InputContextPtr in;
  auto fail = [&](int err, const std::string& what) -> Error {
    if (avio)
      if (auto e = avio->readError()) return *e;
    return makeError(err, what);
  };
  int err = avformat_open_input(&raw, loader && !local ? nullptr : path.c_str(), nullptr, nullptr);
  if (err < 0) return fail(err, "cannot open " + path);  // raw is freed by FFmpeg on failure
  in.reset(raw);
  // The index has been read; what follows (stream information, playback)
  // reads samples, which are not kept.
  const MGByteCapture& openedBytes = local && source ? *source->capture() : *opened;
  if (source) source->capture()->seal();
  if (avio) avio->setTap(nullptr);
  if (!headerIsComplete(raw))
    if ((err = avformat_find_stream_info(raw, nullptr)) < 0) return fail(err, "cannot read " + path);
  if (avio)
    if (auto e = avio->readError()) return *e;

  ProbeResult out;
  double longest = 0;
  for (unsigned i = 0; i < raw->nb_streams; ++i) {
    const AVStream* st = raw->streams[i];
    const AVCodecParameters* par = st->codecpar;
    media::TrackInfo t;
    t.trackID = static_cast<int>(i);
    t.codec = avcodec_get_name(par->codec_id);
    t.codecTag = fourcc(par->codec_tag);
    switch (par->codec_type) {
      case AVMEDIA_TYPE_VIDEO: {
        if (st->disposition & AV_DISPOSITION_ATTACHED_PIC) {
          t.mediaType = media::MediaType::Other;
          break;
        }
        t.mediaType = media::MediaType::Video;
        t.naturalSize = {double(par->width), double(par->height)};
        t.preferredTransform = transformFor(st, par->width, par->height);
        AVRational r = st->avg_frame_rate;
        if (r.num <= 0 || r.den <= 0) r = st->r_frame_rate;
        t.nominalFrameRate = (r.num > 0 && r.den > 0) ? av_q2d(r) : 0;
        break;
      }
      case AVMEDIA_TYPE_AUDIO:
        t.mediaType = media::MediaType::Audio;
        t.channels = par->ch_layout.nb_channels;
        t.sampleRate = par->sample_rate;
        break;
      case AVMEDIA_TYPE_SUBTITLE: t.mediaType = media::MediaType::Subtitle; break;
      default: t.mediaType = media::MediaType::Other; break;
    }
    if ((t.mediaType == media::MediaType::Video || t.mediaType == media::MediaType::Audio) &&
        avcodec_find_decoder(par->codec_id))
      out.playable = true;
    if (st->duration != AV_NOPTS_VALUE && st->duration > 0)
      longest = std::max(longest, double(st->duration) * av_q2d(st->time_base));
    out.tracks.push_back(std::move(t));
  }
  // The container's duration is the presented one (edit lists applied);
  // streams are the fallback for containers without it.
  out.duration = raw->duration != AV_NOPTS_VALUE && raw->duration > 0 ? double(raw->duration) / AV_TIME_BASE : longest;
  out.plan = presentationPlanOf(raw, openedBytes, size);
  if (avio)
    if (auto e = avio->readError()) return *e;
  return out;
}

}  // namespace

Result<ProbeResult> probeMovie(const std::string& path, const std::shared_ptr<MGRangeAssetLoader>& loader,
                               const std::shared_ptr<MGCapturingRangeService>& source) {
  return probe(path, loader, source, nullptr);
}

std::shared_ptr<FfmpegAsset> FfmpegAsset::create(std::string path, Scheduler& scheduler,
                                                 std::shared_ptr<MGCapturingRangeService> source) {
  return std::shared_ptr<FfmpegAsset>(new FfmpegAsset(std::move(path), nullptr, scheduler, std::move(source)));
}

std::shared_ptr<FfmpegAsset> FfmpegAsset::createServed(std::string url, std::shared_ptr<MGRangeAssetLoader> loader,
                                                       Scheduler& scheduler,
                                                       std::shared_ptr<MGCapturingRangeService> source) {
  return std::shared_ptr<FfmpegAsset>(
      new FfmpegAsset(std::move(url), std::move(loader), scheduler, std::move(source)));
}

FfmpegAsset::FfmpegAsset(std::string url, std::shared_ptr<MGRangeAssetLoader> loader, Scheduler& scheduler,
                         std::shared_ptr<MGCapturingRangeService> source)
    : url_(std::move(url)), loader_(std::move(loader)), source_(std::move(source)), scheduler_(scheduler),
      control_(std::make_shared<ProbeControl>()) {}

FfmpegAsset::~FfmpegAsset() {
  control_->cancelled = true;
  {
    std::lock_guard<std::mutex> lock(control_->mu);
    if (control_->avio) control_->avio->cancel();
  }
  if (worker_.joinable()) worker_.join();
}

void FfmpegAsset::loadValuesAsynchronously(std::function<void()> completion) {
  if (status_ == media::LoadStatus::Loaded || status_ == media::LoadStatus::Failed) {
    std::weak_ptr<FfmpegAsset> weak = weak_from_this();
    scheduler_.post([weak, completion = std::move(completion)] {
      if (weak.lock() && completion) completion();
    });
    return;
  }
  if (completion) completions_.push_back(std::move(completion));
  if (status_ == media::LoadStatus::Loading) return;
  startWorker();
}

void FfmpegAsset::beginLoading() {
  if (status_ == media::LoadStatus::Unknown) startWorker();
}

void FfmpegAsset::startWorker() {
  status_ = media::LoadStatus::Loading;
  std::weak_ptr<FfmpegAsset> weak = weak_from_this();
  // The probe seals the recording; a served movie's loader keeps it.
  auto source = std::move(source_);
  source_.reset();
  worker_ = std::thread([weak, url = url_, loader = loader_, source, control = control_, &scheduler = scheduler_] {
    Probe p;
    p.result = probe(url, loader, source, control.get());
    scheduler.post([weak, p = std::move(p)]() mutable {
      if (auto self = weak.lock()) self->finish(std::move(p));
    });
  });
}

void FfmpegAsset::finish(Probe p) {
  if (p.result.ok()) {
    status_ = media::LoadStatus::Loaded;
    playable_ = p.result->playable;
    duration_ = p.result->duration;
    tracks_ = p.result->tracks;
    plan_ = p.result->plan;
  } else {
    status_ = media::LoadStatus::Failed;
    error_ = p.result.error();
  }
  auto completions = std::move(completions_);
  completions_.clear();
  for (auto& c : completions) c();
}

}  // namespace kf::ff
