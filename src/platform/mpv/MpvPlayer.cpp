#include "platform/mpv/MpvPlayer.h"

#include <stdlib.h>

#include <filesystem>
#include <fstream>

#include "platform/mpv/ExposurePreview.h"

#include <mpv/client.h>
#include <mpv/stream_cb.h>

#include <charconv>
#include <clocale>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <limits>

#include "source/MGRangeAssetLoader.h"
#include "source/MGRangeError.h"

namespace kf::mpv {
namespace {

constexpr const char* kMpvErrorDomain = "mpv";
constexpr const char* kServedScheme = "kerfline-range";
constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// Reply ids tell the two kinds of asynchronous command apart.
constexpr std::uint64_t kLoadReplyBit = 1ull << 62;
constexpr std::uint64_t kSeekReplyBit = 1ull << 61;
constexpr std::uint64_t kPauseReplyId = 1ull << 60;

Error mpvError(int code, const std::string& what) {
  return Error{kMpvErrorDomain, code, what + ": " + mpv_error_string(code)};
}

std::string number(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::fixed, 6);
  return std::string(buf, r.ptr);
}

// Every digit of a double: a span length rounded up would move the next
// span's first frame into this span's end.
std::string exact(double v) {
  char buf[64];
  auto r = std::to_chars(buf, buf + sizeof buf, v);
  return std::string(buf, r.ptr);
}

// A movie with several edit entries plays as an mpv timeline: the media is
// read with only each track's first entry applied (FFmpeg stamps the frames
// of later entries early by the reorder delay), and the spans of each track
// follow one another. Video and sound get parts of their own, since a
// lossless cut copies each track from its own sync point.
std::string timelineURL(const std::string& url, const PresentationPlan& plan) {
  const std::string file = "%" + std::to_string(url.size()) + "%" + url;
  auto part = [&](const std::vector<PresentationSpan>& spans) {
    if (spans.empty()) return file + ";";  // as stored
    std::string out;
    for (const auto& s : spans)
      // Both ends a microsecond early, so rounding never drops a span's
      // first frame or lets in the frame after its end.
      out += file + ",start=" + number(std::max(0.0, s.start - 1e-6)) + ",length=" + exact(s.duration) + ";";
    return out;
  };
  std::string edl = "edl://";
  if (plan.video && plan.audio) {
    edl += "!new_stream;" + part(*plan.video) + "!new_stream;" + part(*plan.audio);
  } else {
    edl += part(plan.video ? *plan.video : plan.audio ? *plan.audio : std::vector<PresentationSpan>{});
  }
  return edl;
}

bool isCancellation(const Error& e) {
  return e.domain == kCancelledErrorDomain && e.code == kUserCancelledErrorCode;
}

}  // namespace

// The read failure of a served item, shared by its stream instances (mpv's
// demuxer threads) and the item (main thread).
struct ServedState {
  std::mutex mu;  // guards error
  std::optional<Error> error;
  std::optional<Error> get() {
    std::lock_guard<std::mutex> lock(mu);
    return error;
  }
};

// The "kerfline-range" URLs of the player's served items; the open callback
// runs on an mpv thread.
class ServedStreams {
 public:
  struct Entry {
    std::shared_ptr<MGRangeAssetLoader> loader;
    std::shared_ptr<ServedState> state;
  };
  void add(const std::string& url, Entry e) {
    std::lock_guard<std::mutex> lock(mu_);
    entries_[url] = std::move(e);
  }
  void remove(const std::string& url) {
    std::lock_guard<std::mutex> lock(mu_);
    entries_.erase(url);
  }
  std::optional<Entry> find(const std::string& url) {
    std::lock_guard<std::mutex> lock(mu_);
    auto it = entries_.find(url);
    if (it == entries_.end()) return std::nullopt;
    return it->second;
  }

  static int open(void* userData, char* uri, mpv_stream_cb_info* info);

 private:
  std::mutex mu_;  // guards entries_
  std::map<std::string, Entry> entries_;
};

namespace {

// One stream instance opened by libmpv. read/seek/size run on the thread
// that reads the stream; cancel on any thread.
struct StreamCookie {
  MGBlockingRangeReader reader;
  std::shared_ptr<ServedState> state;
  std::int64_t position = 0;

  StreamCookie(std::shared_ptr<MGRangeAssetLoader> loader, std::shared_ptr<ServedState> s)
      : reader(std::move(loader)), state(std::move(s)) {}

  static std::int64_t read(void* cookie, char* buf, std::uint64_t n) {
    auto* self = static_cast<StreamCookie*>(cookie);
    auto got = self->reader.read(static_cast<std::uint64_t>(self->position), buf, static_cast<std::size_t>(n));
    if (!got) {
      if (!isCancellation(got.error())) {
        std::lock_guard<std::mutex> lock(self->state->mu);
        if (!self->state->error) self->state->error = got.error();
      }
      return -1;
    }
    self->position += static_cast<std::int64_t>(*got);
    return static_cast<std::int64_t>(*got);
  }
  static std::int64_t seek(void* cookie, std::int64_t offset) {
    auto* self = static_cast<StreamCookie*>(cookie);
    if (offset < 0) return MPV_ERROR_GENERIC;
    self->position = offset;
    return offset;
  }
  static std::int64_t size(void* cookie) {
    return static_cast<std::int64_t>(static_cast<StreamCookie*>(cookie)->reader.size());
  }
  static void close(void* cookie) { delete static_cast<StreamCookie*>(cookie); }
  static void cancel(void* cookie) { static_cast<StreamCookie*>(cookie)->reader.cancel(); }
};

}  // namespace

int ServedStreams::open(void* userData, char* uri, mpv_stream_cb_info* info) {
  auto entry = static_cast<ServedStreams*>(userData)->find(uri);
  if (!entry || !entry->loader) return MPV_ERROR_LOADING_FAILED;
  info->cookie = new StreamCookie(entry->loader, entry->state);
  info->read_fn = &StreamCookie::read;
  info->seek_fn = &StreamCookie::seek;
  info->size_fn = &StreamCookie::size;
  info->close_fn = &StreamCookie::close;
  info->cancel_fn = &StreamCookie::cancel;
  return 0;
}

class MpvPlayerItem final : public media::PlayerItem, public std::enable_shared_from_this<MpvPlayerItem> {
 public:
  MpvPlayerItem(std::weak_ptr<MpvPlayer> player, Scheduler& scheduler, std::shared_ptr<media::MediaAsset> asset,
                std::uint64_t serial)
      : player_(std::move(player)), scheduler_(scheduler), asset_(std::move(asset)) {
    if (asset_ && asset_->resourceLoader()) {
      // A private URL per item, so a rebuilt item never shares a failure.
      url_ = std::string(kServedScheme) + "://item" + std::to_string(serial) + "/movie";
      const std::string original = asset_->url();
      if (auto dot = original.rfind('.'); dot != std::string::npos && original.find('/', dot) == std::string::npos)
        url_ += original.substr(dot);
      served_ = std::make_shared<ServedState>();
    } else if (asset_) {
      url_ = asset_->url();
    }
  }

  std::shared_ptr<media::MediaAsset> asset() const override { return asset_; }
  media::ItemStatus status() const override { return status_; }
  std::optional<Error> error() const override { return error_; }
  double duration() const override { return duration_; }

  media::ObserverId addStatusObserver(std::function<void(media::ItemStatus)> observer) override {
    const auto id = nextObserver_++;
    statusObservers_[id] = std::move(observer);
    std::weak_ptr<MpvPlayerItem> weak = weak_from_this();
    scheduler_.post([weak, id] {
      auto self = weak.lock();
      if (!self) return;
      auto it = self->statusObservers_.find(id);
      if (it != self->statusObservers_.end()) it->second(self->status_);
    });
    return id;
  }
  media::ObserverId addFailedToPlayToEndObserver(std::function<void(const Error&)> observer) override {
    const auto id = nextObserver_++;
    failObservers_[id] = std::move(observer);
    return id;
  }
  void removeObserver(media::ObserverId id) override {
    statusObservers_.erase(id);
    failObservers_.erase(id);
  }
  void cancelPendingSeeks() override {
    if (auto p = player_.lock()) p->cancelPendingSeeks(this);
  }
  void setExposurePreview(double stops) override {
    exposure_ = std::isfinite(stops) ? stops : 0.0;
    if (auto p = player_.lock()) p->applyExposure(this);
  }
  double exposurePreview() const override { return exposure_; }

  // Player side (main thread).
  const std::string& url() const { return url_; }
  std::shared_ptr<ServedState> served() const { return served_; }
  std::int64_t entryId = -1;
  bool loaded = false;
  std::int64_t loadedBytes = -1;  // a local file's size when libmpv opened it

  void setDuration(double d) { duration_ = d; }
  void becomeReady() {
    loaded = true;
    if (status_ != media::ItemStatus::Unknown) return;
    setStatus(media::ItemStatus::ReadyToPlay);
  }
  // A failure before ready fails the item; after ready it is reported once
  // to the failed-to-play-to-end observers.
  void fail(Error error) {
    if (status_ == media::ItemStatus::Failed || failedToEnd_) return;
    error_ = error;
    if (status_ == media::ItemStatus::Unknown) {
      setStatus(media::ItemStatus::Failed);
      return;
    }
    failedToEnd_ = true;
    auto observers = failObservers_;
    for (auto& [id, fn] : observers)
      if (failObservers_.count(id)) fn(error);
  }

 private:
  void setStatus(media::ItemStatus s) {
    status_ = s;
    auto observers = statusObservers_;
    for (auto& [id, fn] : observers)
      if (statusObservers_.count(id)) fn(s);
  }

  std::weak_ptr<MpvPlayer> player_;
  Scheduler& scheduler_;
  std::shared_ptr<media::MediaAsset> asset_;
  std::string url_;
  std::shared_ptr<ServedState> served_;
  media::ItemStatus status_ = media::ItemStatus::Unknown;
  std::optional<Error> error_;
  double duration_ = kNaN;
  double exposure_ = 0;
  bool failedToEnd_ = false;
  media::ObserverId nextObserver_ = 1;
  std::map<media::ObserverId, std::function<void(media::ItemStatus)>> statusObservers_;
  std::map<media::ObserverId, std::function<void(const Error&)>> failObservers_;
};

// What libmpv's wakeup callback reaches: it only posts one drain task.
struct MpvPlayer::Wakeup {
  Scheduler* scheduler = nullptr;
  std::weak_ptr<MpvPlayer> player;
  std::atomic<bool> queued{false};

  static void callback(void* data) {
    auto* self = static_cast<Wakeup*>(data);
    if (self->queued.exchange(true)) return;
    std::weak_ptr<MpvPlayer> weak = self->player;
    self->scheduler->post([weak] {
      if (auto p = weak.lock()) p->drainEvents();
    });
  }
};

Result<std::shared_ptr<MpvPlayer>> MpvPlayer::create(Scheduler& scheduler, const MpvOptions& options) {
  std::setlocale(LC_NUMERIC, "C");
  mpv_handle* h = mpv_create();
  if (!h) return Error{kMpvErrorDomain, MPV_ERROR_GENERIC, "libmpv could not be created"};
  auto opt = [&](const char* name, const std::string& value) -> Status {
    const int err = mpv_set_option_string(h, name, value.c_str());
    if (err < 0) return mpvError(err, std::string("option ") + name + "=" + value);
    return std::nullopt;
  };
  const std::pair<const char*, std::string> base[] = {
      {"config", "no"},
      {"terminal", "no"},
      {"idle", "yes"},
      {"keep-open", "yes"},
      {"pause", "yes"},
      {"input-default-bindings", "no"},
      {"input-vo-keyboard", "no"},
      {"osc", "no"},
      {"load-scripts", "no"},
      // libmpv's built-in scripts (statistics overlay, console, profile
      // conditions) are reached only through its own key bindings, which are
      // off: each would start a script interpreter of its own.
      {"load-stats-overlay", "no"},
      {"load-osd-console", "no"},
      {"load-auto-profiles", "no"},
      {"ytdl", "no"},
      {"audio-display", "no"},
      {"sub-auto", "no"},
      {"audio-file-auto", "no"},
      {"force-window", "no"},
      {"hr-seek-framedrop", "no"},
      {"demuxer-lavf-o", "advanced_editlist=1"},
      {"vo", options.vo},
      {"hwdec", options.hwdec},
  };
  for (const auto& [name, value] : base)
    if (auto e = opt(name, value)) {
      mpv_terminate_destroy(h);
      return *e;
    }
  if (!options.ao.empty())
    if (auto e = opt("ao", options.ao)) {
      mpv_terminate_destroy(h);
      return *e;
    }
  for (const auto& [name, value] : options.extra)
    if (auto e = opt(name.c_str(), value)) {
      mpv_terminate_destroy(h);
      return *e;
    }
  if (int err = mpv_initialize(h); err < 0) {
    mpv_terminate_destroy(h);
    return mpvError(err, "libmpv could not start");
  }
  auto player = std::shared_ptr<MpvPlayer>(new MpvPlayer(scheduler, h));
  player->wakeup_->player = player;
  mpv_observe_property(h, 0, "time-pos", MPV_FORMAT_DOUBLE);
  mpv_observe_property(h, 0, "pause", MPV_FORMAT_FLAG);
  mpv_observe_property(h, 0, "duration", MPV_FORMAT_DOUBLE);
  mpv_observe_property(h, 0, "eof-reached", MPV_FORMAT_FLAG);
  mpv_observe_property(h, 0, "hwdec-current", MPV_FORMAT_STRING);
  if (int err = mpv_stream_cb_add_ro(h, kServedScheme, player->served_.get(), &ServedStreams::open); err < 0)
    return mpvError(err, "cannot register the served-movie protocol");
  mpv_set_wakeup_callback(h, &Wakeup::callback, player->wakeup_.get());
  return player;
}

MpvPlayer::MpvPlayer(Scheduler& scheduler, mpv_handle* handle)
    : scheduler_(scheduler), mpv_(handle), wakeup_(std::make_shared<Wakeup>()),
      served_(std::make_shared<ServedStreams>()) {
  wakeup_->scheduler = &scheduler;
}

MpvPlayer::~MpvPlayer() {
  mpv_set_wakeup_callback(mpv_, nullptr, nullptr);
  timeObservers_.clear();
  // Seeks still pending can no longer finish.
  for (auto& s : seeks_)
    if (s.completion) scheduler_.post([c = std::move(s.completion)] { c(false); });
  seeks_.clear();
  // Stream callbacks may still run while the core shuts down; served_ stays
  // alive until after this returns.
  mpv_terminate_destroy(mpv_);
  mpv_ = nullptr;
  if (!shaderDir_.empty()) {
    std::error_code ec;
    std::filesystem::remove_all(shaderDir_, ec);
  }
}

std::shared_ptr<media::PlayerItem> MpvPlayer::makePlayerItem(std::shared_ptr<media::MediaAsset> asset) {
  if (!asset) return nullptr;
  return std::make_shared<MpvPlayerItem>(weak_from_this(), scheduler_, std::move(asset), nextId_++);
}

void MpvPlayer::replaceCurrentItem(std::shared_ptr<media::PlayerItem> item) {
  auto next = std::dynamic_pointer_cast<MpvPlayerItem>(item);
  if (next && next == current_) return;
  finishSeeks([](const Seek&) { return true; }, false);
  if (current_ && current_->served()) served_->remove(current_->url());
  current_ = next;
  playingEntry_ = -1;
  timePos_ = 0;
  if (!current_) {
    const char* cmd[] = {"stop", nullptr};
    mpv_command_async(mpv_, 0, cmd);
    return;
  }
  if (auto served = current_->served())
    served_->add(current_->url(), {current_->asset()->resourceLoader(), served});
  applyExposure(current_.get());
  auto asset = current_->asset();
  const auto status = asset->loadStatus();
  if (status == media::LoadStatus::Loaded || status == media::LoadStatus::Failed) {
    load(current_, 0);
    return;
  }
  // How the movie is handed to libmpv depends on what the asset found in it.
  std::weak_ptr<MpvPlayer> weakSelf = weak_from_this();
  std::weak_ptr<MpvPlayerItem> weakItem = current_;
  asset->loadValuesAsynchronously([weakSelf, weakItem] {
    auto self = weakSelf.lock();
    auto item = weakItem.lock();
    if (self && item && self->current_ == item) self->load(item, 0);
  });
}

void MpvPlayer::load(const std::shared_ptr<MpvPlayerItem>& item, double start) {
  const auto plan = item->asset()->loadStatus() == media::LoadStatus::Loaded ? item->asset()->presentationPlan()
                                                                             : PresentationPlan{};
  std::string url = item->url();
  std::string options = start > 0 ? "start=" + number(start) : std::string();
  if (plan.timeline) {
    url = timelineURL(item->url(), plan);
    // With both kinds, each comes from its own part: the first part's
    // picture and the second part's sound.
    if (plan.video && plan.audio) options += std::string(options.empty() ? "" : ",") + "vid=1,aid=2";
  }
  if (auto gate = std::move(outputGate_)) {
    outputGate_ = nullptr;
    gate();
  }
  mpv_set_property_string(mpv_, "demuxer-lavf-o", plan.timeline ? "advanced_editlist=0" : "advanced_editlist=1");
  const std::uint64_t reply = kLoadReplyBit | nextId_++;
  loadReplies_[reply] = item;
  item->loaded = false;
  const char* cmd[] = {"loadfile", url.c_str(), "replace", options.empty() ? nullptr : options.c_str(), nullptr};
  if (int err = mpv_command_async(mpv_, reply, cmd); err < 0) {
    loadReplies_.erase(reply);
    item->fail(mpvError(err, "cannot open the movie"));
  }
}

std::shared_ptr<media::PlayerItem> MpvPlayer::currentItem() const { return current_; }

double MpvPlayer::rate() const { return paused_ ? 0.0 : speed_; }

void MpvPlayer::setRate(double rate) {
  const double before = this->rate();
  if (rate > 0) {
    if (rate != speed_) {
      speed_ = rate;
      mpv_set_property_async(mpv_, 0, "speed", MPV_FORMAT_DOUBLE, &rate);
    }
    paused_ = false;
  } else {
    paused_ = true;
  }
  int flag = paused_ ? 1 : 0;
  if (mpv_set_property_async(mpv_, kPauseReplyId, "pause", MPV_FORMAT_FLAG, &flag) >= 0) ++pauseSetsInFlight_;
  if (this->rate() != before) notifyPlaybackState();
}

void MpvPlayer::setVolume(double volume) {
  volume_ = std::clamp(volume, 0.0, 1.0);
  // libmpv's volume is a percentage on a cubic curve; the port's is a gain.
  double percent = 100.0 * std::cbrt(volume_);
  mpv_set_property_async(mpv_, 0, "volume", MPV_FORMAT_DOUBLE, &percent);
}

void MpvPlayer::setMuted(bool muted) {
  muted_ = muted;
  int flag = muted ? 1 : 0;
  mpv_set_property_async(mpv_, 0, "mute", MPV_FORMAT_FLAG, &flag);
}

double MpvPlayer::currentTime() const { return current_ ? timePos_ : kNaN; }

void MpvPlayer::seekToTime(double time, double toleranceBefore, double toleranceAfter,
                           std::function<void(bool)> completion) {
  if (!current_ || !std::isfinite(time) || current_->status() == media::ItemStatus::Failed) {
    if (completion) scheduler_.post([c = std::move(completion)] { c(false); });
    return;
  }
  // A new seek overtakes every pending one.
  finishSeeks([](const Seek&) { return true; }, false);
  Seek s;
  s.id = nextId_++;
  s.item = current_;
  s.target = std::max(0.0, time);
  s.exact = !(toleranceBefore > 0) && !(toleranceAfter > 0);
  s.completion = std::move(completion);
  timePos_ = s.target;
  seeks_.push_back(std::move(s));
  if (current_->loaded) sendSeek(seeks_.back());
}

// An exact seek shows the frame on screen at the target: the one whose
// display interval holds it, as the export's cutting rule keeps it first
// (docs/architecture.md). libmpv shows the first frame that starts at or
// after 5 ms before the target, so it is asked for the target one frame
// earlier, plus that 5 ms and the rule's tolerance of one 1/600 s unit.
double MpvPlayer::exactSeekTarget(double target) const {
  double rate = 0;
  if (current_ && current_->asset() && current_->asset()->loadStatus() == media::LoadStatus::Loaded)
    for (const auto& t : current_->asset()->tracks())
      if (t.mediaType == media::MediaType::Video && t.nominalFrameRate > 0) {
        rate = t.nominalFrameRate;
        break;
      }
  constexpr double kMpvEarly = 0.005, kTolerance = 1.0 / 600;
  if (!(rate > 0) || 1 / rate <= kMpvEarly + kTolerance) return target;
  double earliest = 0;
  // A movie played as spans: never before the start of the span that
  // holds the target (the span's first frame starts there).
  const auto plan = current_->asset()->presentationPlan();
  if (plan.timeline && plan.video) {
    double at = 0;
    for (const auto& span : *plan.video) {
      if (at > target + 1e-9) break;
      earliest = at;
      at += span.duration;
    }
  }
  return std::max(earliest, target - 1 / rate + kMpvEarly + kTolerance);
}

void MpvPlayer::sendSeek(Seek& s) {
  const std::string target = number(s.exact ? exactSeekTarget(s.target) : s.target);
  exactSent_ = s.exact ? std::strtod(target.c_str(), nullptr) : kNaN;
  exactAsked_ = s.target;
  const char* cmd[] = {"seek", target.c_str(), s.exact ? "absolute+exact" : "absolute+keyframes", nullptr};
  s.sent = true;
  if (mpv_command_async(mpv_, kSeekReplyBit | s.id, cmd) < 0) {
    const auto id = s.id;
    finishSeeks([id](const Seek& x) { return x.id == id; }, false);
  }
}

void MpvPlayer::finishSeeks(const std::function<bool(const Seek&)>& which, bool finished) {
  std::vector<std::function<void(bool)>> done;
  for (auto it = seeks_.begin(); it != seeks_.end();) {
    if (which(*it)) {
      if (it->completion) done.push_back(std::move(it->completion));
      it = seeks_.erase(it);
    } else {
      ++it;
    }
  }
  for (auto& c : done) scheduler_.post([c = std::move(c), finished] { c(finished); });
}

void MpvPlayer::setExposureByShader(bool on) {
  if (exposureByShader_ == on) return;
  exposureByShader_ = on;
  applyExposure(current_.get());
}

void MpvPlayer::applyExposure(MpvPlayerItem* item) {
  if (!item || item != current_.get()) return;
  const double stops = std::abs(item->exposurePreview()) < 0.001 ? 0.0 : item->exposurePreview();
  // The export's linear-light curve. libmpv redraws the paused picture with
  // a new shader; a new filter chain re-filters it.
  std::string graph, shader;
  if (stops != 0) {
    if (exposureByShader_)
      shader = exposureShaderFile(stops);
    else
      graph = ExposureFilterGraph(stops);
  }
  if (shader != appliedShader_) {
    appliedShader_ = shader;
    const char* clear[] = {"change-list", "glsl-shaders", "clr", "", nullptr};
    mpv_command_async(mpv_, 0, clear);
    if (!shader.empty()) {
      const char* add[] = {"change-list", "glsl-shaders", "append", shader.c_str(), nullptr};
      mpv_command_async(mpv_, 0, add);
    }
  }
  if (graph != appliedFilter_) {
    appliedFilter_ = graph;
    filterStops_ = graph.empty() ? 0.0 : stops;
    const char* set[] = {"vf", "set", graph.c_str(), nullptr};
    mpv_command_async(mpv_, 0, set);
  }
}

std::string MpvPlayer::exposureShaderFile(double stops) {
  if (shaderDir_.empty()) {
    std::string pattern = (std::filesystem::temp_directory_path() / "kerfline-shaders-XXXXXX").string();
    if (!::mkdtemp(pattern.data())) return {};
    shaderDir_ = pattern;
  }
  char name[64];
  std::snprintf(name, sizeof name, "/exposure%+.6f.glsl", stops);
  const std::string path = shaderDir_ + name;
  if (!std::filesystem::exists(path)) {
    // Written beside and renamed, so libmpv never reads half a file.
    const std::string partial = path + ".partial";
    {
      std::ofstream out(partial, std::ios::binary | std::ios::trunc);
      out << ExposureShaderSource(stops);
      if (!out) return {};
    }
    std::error_code ec;
    std::filesystem::rename(partial, path, ec);
    if (ec) return {};
  }
  return path;
}

void MpvPlayer::cancelPendingSeeks(MpvPlayerItem* item) {
  finishSeeks([item](const Seek& s) { return s.item.lock().get() == item; }, false);
}

media::ObserverId MpvPlayer::addPeriodicTimeObserver(double interval, std::function<void(double)> observer) {
  const auto id = nextId_++;
  std::weak_ptr<MpvPlayer> weak = weak_from_this();
  const TaskId task = scheduler_.postRepeating(interval > 0 ? interval : 1.0 / 30, [weak, observer] {
    if (auto p = weak.lock()) observer(p->currentTime());
  });
  timeObservers_.emplace(id, ScopedTask(&scheduler_, task));
  return id;
}

void MpvPlayer::removeTimeObserver(media::ObserverId id) {
  timeObservers_.erase(id);
  stateObservers_.erase(id);
}

media::ObserverId MpvPlayer::addPlaybackStateObserver(std::function<void()> observer) {
  const auto id = nextId_++;
  stateObservers_.emplace(id, std::move(observer));
  return id;
}

void MpvPlayer::notifyPlaybackState() {
  if (stateNotifyPosted_ || stateObservers_.empty()) return;
  stateNotifyPosted_ = true;
  std::weak_ptr<MpvPlayer> weak = weak_from_this();
  scheduler_.post([weak] {
    auto self = weak.lock();
    if (!self) return;
    self->stateNotifyPosted_ = false;
    auto observers = self->stateObservers_;
    for (auto& [id, fn] : observers)
      if (self->stateObservers_.count(id)) fn();
  });
}

std::optional<media::VideoFrame> MpvPlayer::copyDisplayedFrame() {
  const char* cmd[] = {"screenshot-raw", "video", nullptr};
  mpv_node result;
  if (mpv_command_ret(mpv_, cmd, &result) < 0) return std::nullopt;
  media::VideoFrame frame;
  const mpv_byte_array* bytes = nullptr;
  std::string format;
  if (result.format == MPV_FORMAT_NODE_MAP) {
    for (int i = 0; i < result.u.list->num; ++i) {
      const char* key = result.u.list->keys[i];
      const mpv_node& v = result.u.list->values[i];
      if (!std::strcmp(key, "w") && v.format == MPV_FORMAT_INT64) frame.width = static_cast<int>(v.u.int64);
      if (!std::strcmp(key, "h") && v.format == MPV_FORMAT_INT64) frame.height = static_cast<int>(v.u.int64);
      if (!std::strcmp(key, "stride") && v.format == MPV_FORMAT_INT64) frame.stride = static_cast<int>(v.u.int64);
      if (!std::strcmp(key, "format") && v.format == MPV_FORMAT_STRING) format = v.u.string;
      if (!std::strcmp(key, "data") && v.format == MPV_FORMAT_BYTE_ARRAY) bytes = v.u.ba;
    }
  }
  std::optional<media::VideoFrame> out;
  // bgr0 has the byte order of BGRA.
  if (bytes && format == "bgr0" && frame.width > 0 && frame.height > 0 && frame.stride >= frame.width * 4 &&
      bytes->size >= static_cast<std::size_t>(frame.stride) * frame.height) {
    const auto* p = static_cast<const std::uint8_t*>(bytes->data);
    frame.bgra.assign(p, p + static_cast<std::size_t>(frame.stride) * frame.height);
    // The software path's exposure filter runs before the tap: undo it, so
    // the tap gives the frame as decoded (exact except where the preview
    // clipped highlights to full scale).
    if (const double stops = filterStops_.load(); stops != 0) {
      const auto undo = ExposureInverseTable(stops);
      for (int y = 0; y < frame.height; ++y) {
        std::uint8_t* row = frame.bgra.data() + static_cast<std::size_t>(y) * frame.stride;
        for (int x = 0; x < frame.width * 4; x += 4) {
          row[x] = undo[row[x]];
          row[x + 1] = undo[row[x + 1]];
          row[x + 2] = undo[row[x + 2]];
        }
      }
    }
    double t = 0;
    if (mpv_get_property(mpv_, "time-pos", MPV_FORMAT_DOUBLE, &t) >= 0) frame.time = t;
    out = std::move(frame);
  }
  mpv_free_node_contents(&result);
  return out;
}

std::string MpvPlayer::propertyString(const std::string& name) const {
  char* s = mpv_get_property_string(mpv_, name.c_str());
  if (!s) return {};
  std::string out = s;
  mpv_free(s);
  return out;
}

void MpvPlayer::drainEvents() {
  wakeup_->queued = false;
  // Events may destroy observers' state, but not this player while we hold it.
  auto keep = shared_from_this();
  while (mpv_) {
    mpv_event* ev = mpv_wait_event(mpv_, 0);
    if (!ev || ev->event_id == MPV_EVENT_NONE) break;
    handleEvent(*ev);
  }
}

std::shared_ptr<MpvPlayerItem> MpvPlayer::itemForEntry(std::int64_t entryId) const {
  if (current_ && current_->entryId == entryId) return current_;
  return nullptr;
}

void MpvPlayer::reportServedFailureIfAny(const std::shared_ptr<MpvPlayerItem>& item) {
  if (!item || !item->served()) return;
  if (auto e = item->served()->get()) item->fail(*e);
}

void MpvPlayer::followGrowth() {
  if (!current_ || current_->served() || !current_->loaded || current_->loadedBytes < 0) return;
  std::error_code ec;
  const auto size = std::filesystem::file_size(current_->url(), ec);
  if (ec || static_cast<std::int64_t>(size) <= current_->loadedBytes) return;
  // libmpv keeps the index it read when it opened the file; reopen it where
  // playback stopped, so the item's duration takes in what was written since.
  load(current_, std::isfinite(timePos_) ? timePos_ : 0.0);
}

void MpvPlayer::checkServedEnd() {
  if (!current_ || !current_->served() || !current_->loaded) return;
  int eof = 0;
  if (mpv_get_property(mpv_, "eof-reached", MPV_FORMAT_FLAG, &eof) >= 0 && eof) reportServedFailureIfAny(current_);
}

void MpvPlayer::handleEvent(const mpv_event& ev) {
  switch (ev.event_id) {
    case MPV_EVENT_COMMAND_REPLY: {
      const std::uint64_t id = ev.reply_userdata;
      if (id & kLoadReplyBit) {
        auto it = loadReplies_.find(id);
        if (it == loadReplies_.end()) break;
        auto item = it->second.lock();
        loadReplies_.erase(it);
        if (!item) break;
        if (ev.error < 0) {
          item->fail(mpvError(ev.error, "cannot open the movie"));
          break;
        }
        const auto* cmd = static_cast<const mpv_event_command*>(ev.data);
        if (cmd && cmd->result.format == MPV_FORMAT_NODE_MAP)
          for (int i = 0; i < cmd->result.u.list->num; ++i)
            if (!std::strcmp(cmd->result.u.list->keys[i], "playlist_entry_id") &&
                cmd->result.u.list->values[i].format == MPV_FORMAT_INT64)
              item->entryId = cmd->result.u.list->values[i].u.int64;
      } else if (id & kSeekReplyBit) {
        const std::uint64_t seekId = id & ~kSeekReplyBit;
        if (ev.error < 0) {
          finishSeeks([seekId](const Seek& s) { return s.id == seekId; }, false);
        } else {
          for (auto& s : seeks_)
            if (s.id == seekId) s.acknowledged = true;
        }
      }
      break;
    }
    case MPV_EVENT_SET_PROPERTY_REPLY:
      if (ev.reply_userdata == kPauseReplyId && pauseSetsInFlight_ > 0) --pauseSetsInFlight_;
      break;
    case MPV_EVENT_START_FILE: {
      const auto* sf = static_cast<const mpv_event_start_file*>(ev.data);
      playingEntry_ = sf->playlist_entry_id;
      break;
    }
    case MPV_EVENT_FILE_LOADED: {
      auto item = itemForEntry(playingEntry_);
      if (!item) break;
      double d = kNaN;
      if (mpv_get_property(mpv_, "duration", MPV_FORMAT_DOUBLE, &d) >= 0) item->setDuration(d);
      notifyPlaybackState();
      if (!item->served()) {
        std::error_code ec;
        const auto size = std::filesystem::file_size(item->url(), ec);
        item->loadedBytes = ec ? -1 : static_cast<std::int64_t>(size);
      }
      item->becomeReady();
      // The newest seek issued while loading runs now.
      if (current_ == item && !seeks_.empty() && !seeks_.back().sent) sendSeek(seeks_.back());
      break;
    }
    case MPV_EVENT_SEEK:
      // libmpv runs a queued seek after acknowledging the command; a restart
      // seen between the two still belongs to the earlier position.
      if (!seeks_.empty() && seeks_.back().acknowledged) seeks_.back().started = true;
      break;
    case MPV_EVENT_PLAYBACK_RESTART: {
      // A seek into bytes that never arrived ends at the end of what did.
      checkServedEnd();
      // The newest started seek has its picture on screen.
      for (auto it = seeks_.rbegin(); it != seeks_.rend(); ++it)
        if (it->started) {
          const auto id = it->id;
          // An exact seek is where it was asked to be (libmpv may already
          // report the end of a longer sound track there); a keyframe seek
          // is where the picture landed.
          double t = it->target;
          if (!it->exact && mpv_get_property(mpv_, "time-pos", MPV_FORMAT_DOUBLE, &t) < 0) t = it->target;
          timePos_ = t;
          finishSeeks([id](const Seek& s) { return s.id == id; }, true);
          break;
        }
      break;
    }
    case MPV_EVENT_END_FILE: {
      const auto* ef = static_cast<const mpv_event_end_file*>(ev.data);
      auto item = itemForEntry(ef->playlist_entry_id);
      if (!item) break;
      item->loaded = false;
      finishSeeks([&](const Seek& s) { return s.item.lock() == item; }, false);
      if (ef->reason == MPV_END_FILE_REASON_ERROR) {
        if (item->served())
          if (auto e = item->served()->get()) {
            item->fail(*e);
            break;
          }
        item->fail(mpvError(ef->error, "the movie could not be played"));
      } else if (ef->reason == MPV_END_FILE_REASON_EOF) {
        reportServedFailureIfAny(item);
      }
      break;
    }
    case MPV_EVENT_PROPERTY_CHANGE: {
      const auto* p = static_cast<const mpv_event_property*>(ev.data);
      if (!std::strcmp(p->name, "time-pos")) {
        // Seeks in flight keep their target as the current time.
        if (p->format == MPV_FORMAT_DOUBLE && seeks_.empty()) {
          // libmpv reports an exact seek's position as the target it was
          // sent (a frame earlier, see exactSeekTarget): it is the asked one.
          const double t = *static_cast<double*>(p->data);
          timePos_ = std::fabs(t - exactSent_) < 1e-6 ? exactAsked_ : t;
        }
      } else if (!std::strcmp(p->name, "pause")) {
        // A change from before our own pending set would undo it.
        if (p->format == MPV_FORMAT_FLAG && pauseSetsInFlight_ == 0) {
          const bool paused = *static_cast<int*>(p->data) != 0;
          if (paused != paused_) {
            paused_ = paused;
            notifyPlaybackState();
          }
        }
        // keep-open pauses at the end; libmpv may not report eof-reached
        // again when it was already set while loading.
        if (paused_) checkServedEnd();
      } else if (!std::strcmp(p->name, "duration")) {
        if (p->format == MPV_FORMAT_DOUBLE && current_ && current_->loaded) {
          current_->setDuration(*static_cast<double*>(p->data));
          notifyPlaybackState();
        }
      } else if (!std::strcmp(p->name, "hwdec-current")) {
        // "no" (or "") while the processor decodes; unavailable (format
        // none) while no video decoder runs.
        const bool known = p->format == MPV_FORMAT_STRING;
        std::string hw = known ? *static_cast<char**>(p->data) : "";
        if (hw == "no") hw.clear();
        if (known != decoderKnown_ || hw != hardwareDecoder_) {
          decoderKnown_ = known;
          hardwareDecoder_ = hw;
          if (decoderObserver_) decoderObserver_();
        }
      } else if (!std::strcmp(p->name, "eof-reached")) {
        if (p->format == MPV_FORMAT_FLAG && *static_cast<int*>(p->data)) {
          reportServedFailureIfAny(current_);
          followGrowth();
        }
      }
      break;
    }
    default: break;
  }
}

}  // namespace kf::mpv
