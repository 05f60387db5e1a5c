// Scripted media engine and window doubles for the player session tests.
// Each double records what the session did and lets the test decide when
// and how asynchronous work finishes; completions are posted through the
// ManualScheduler, as the real adapters post through theirs.
#pragma once

#include <cmath>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/ManualScheduler.h"
#include "edit/EditPorts.h"
#include "platform/MediaPorts.h"
#include "platform/ToolkitPorts.h"
#include "playback/session/PlayerSession.h"
#include "playback/session/Transport.h"
#include "source/MGRangeAssetLoader.h"

namespace kf::test {

// An asset whose load finishes when the test says so (or at once, posted).
class ScriptedAsset : public media::MediaAsset {
 public:
  ScriptedAsset(ManualScheduler& s, std::string url) : s_(s), url_(std::move(url)) {}

  bool autoFinish = true;
  bool playable = true;
  double durationSeconds = 10;
  std::vector<media::TrackInfo> trackList;
  std::optional<Error> failure;  // load fails with it
  int loadCalls = 0;

  std::string url() const override { return url_; }
  std::shared_ptr<MGRangeAssetLoader> resourceLoader() const override { return nullptr; }
  void loadValuesAsynchronously(std::function<void()> completion) override {
    ++loadCalls;
    pending_.push_back(std::move(completion));
    if (autoFinish) finishLoading();
  }
  void finishLoading() {
    status_ = failure ? media::LoadStatus::Failed : media::LoadStatus::Loaded;
    for (auto& c : pending_) s_.post(std::move(c));
    pending_.clear();
  }
  media::LoadStatus loadStatus() const override { return status_; }
  std::optional<Error> loadError() const override { return failure; }
  bool isPlayable() const override { return playable; }
  double duration() const override { return durationSeconds; }
  std::vector<media::TrackInfo> tracks() const override { return trackList; }

  static media::TrackInfo videoTrack(double w, double h, double fps,
                                     media::AffineTransform t = {}) {
    media::TrackInfo v;
    v.mediaType = media::MediaType::Video;
    v.naturalSize = {w, h};
    v.preferredTransform = t;
    v.nominalFrameRate = fps;
    return v;
  }
  static media::TrackInfo audioTrack() {
    media::TrackInfo a;
    a.mediaType = media::MediaType::Audio;
    a.channels = 2;
    a.sampleRate = 48000;
    return a;
  }

 private:
  ManualScheduler& s_;
  std::string url_;
  media::LoadStatus status_ = media::LoadStatus::Unknown;
  std::vector<std::function<void()>> pending_;
};

class ScriptedItem : public media::PlayerItem {
 public:
  ScriptedItem(ManualScheduler& s, std::shared_ptr<media::MediaAsset> asset) : s_(s), asset_(std::move(asset)) {}

  std::shared_ptr<media::MediaAsset> asset() const override { return asset_; }
  media::ItemStatus status() const override { return status_; }
  std::optional<Error> error() const override { return error_; }
  double duration() const override { return durationSeconds; }
  media::ObserverId addStatusObserver(std::function<void(media::ItemStatus)> observer) override {
    const auto id = nextId_++;
    statusObservers_[id] = observer;
    const auto st = status_;
    s_.post([observer, st] { observer(st); });
    return id;
  }
  media::ObserverId addFailedToPlayToEndObserver(std::function<void(const Error&)> observer) override {
    const auto id = nextId_++;
    failureObservers_[id] = std::move(observer);
    return id;
  }
  void removeObserver(media::ObserverId id) override {
    statusObservers_.erase(id);
    failureObservers_.erase(id);
  }
  void cancelPendingSeeks() override { ++cancelledSeeks; }
  void setExposurePreview(double stops) override { exposure = stops; }
  double exposurePreview() const override { return exposure; }

  // Moves the status and notifies (posted).
  void setStatus(media::ItemStatus st, std::optional<Error> err = std::nullopt) {
    status_ = st;
    error_ = std::move(err);
    for (auto& [id, o] : statusObservers_) {
      auto obs = o;
      s_.post([obs, st] { obs(st); });
    }
  }
  // Playback of the ready item fails (posted to the failed-to-play-to-end
  // observers).
  void failToPlayToEnd(Error err) {
    error_ = err;
    for (auto& [id, o] : failureObservers_) {
      auto obs = o;
      s_.post([obs, err] { obs(err); });
    }
  }
  std::size_t observerCount() const { return statusObservers_.size() + failureObservers_.size(); }

  double durationSeconds = std::nan("");
  int cancelledSeeks = 0;
  double exposure = 0;

 private:
  ManualScheduler& s_;
  std::shared_ptr<media::MediaAsset> asset_;
  media::ItemStatus status_ = media::ItemStatus::Unknown;
  std::optional<Error> error_;
  media::ObserverId nextId_ = 1;
  std::map<media::ObserverId, std::function<void(media::ItemStatus)>> statusObservers_;
  std::map<media::ObserverId, std::function<void(const Error&)>> failureObservers_;
};

class ScriptedPlayer : public media::Player {
 public:
  explicit ScriptedPlayer(ManualScheduler& s) : s_(s) {}
  ~ScriptedPlayer() override {
    for (auto& [id, task] : timeObservers_) s_.cancel(task);
  }

  std::shared_ptr<media::PlayerItem> makePlayerItem(std::shared_ptr<media::MediaAsset> asset) override {
    auto item = std::make_shared<ScriptedItem>(s_, std::move(asset));
    items.push_back(item);
    return item;
  }
  void replaceCurrentItem(std::shared_ptr<media::PlayerItem> item) override {
    current_ = std::move(item);
    ++replaceCalls;
    time = current_ ? 0 : std::nan("");
  }
  std::shared_ptr<media::PlayerItem> currentItem() const override { return current_; }
  void play() override { setRate(1); }
  void pause() override { setRate(0); }
  double rate() const override { return rate_; }
  void setRate(double r) override {
    const bool changed = r != rate_;
    rate_ = r;
    rateChanges.push_back(r);
    if (changed) notifyPlaybackState();
  }
  double volume() const override { return volume_; }
  void setVolume(double v) override { volume_ = v; }
  bool isMuted() const override { return muted_; }
  void setMuted(bool m) override { muted_ = m; }
  double currentTime() const override { return time; }
  void seekToTime(double t, double before, double after, std::function<void(bool)> completion) override {
    seeks.push_back(t);
    tolerances.push_back({before, after});
    time = t;
    if (holdSeeks) {
      held.push_back(std::move(completion));
      return;
    }
    if (completion) s_.post([completion] { completion(true); });
  }
  // With holdSeeks, seek completions wait until the test finishes them.
  void finishHeld(std::size_t i, bool finished = true) {
    auto c = std::move(held.at(i));
    held.at(i) = nullptr;
    if (c) c(finished);
  }
  void finishLastHeld(bool finished = true) { finishHeld(held.size() - 1, finished); }
  // The periodic observer runs on the scheduler's virtual clock, counted.
  media::ObserverId addPeriodicTimeObserver(double interval, std::function<void(double)> observer) override {
    const auto id = nextObserver_++;
    timeObservers_[id] = s_.postRepeating(interval, [this, observer] {
      ++timeObserverCalls;
      observer(time);
    });
    return id;
  }
  void removeTimeObserver(media::ObserverId id) override {
    if (auto it = timeObservers_.find(id); it != timeObservers_.end()) {
      s_.cancel(it->second);
      timeObservers_.erase(it);
    }
    stateObservers_.erase(id);
  }
  media::ObserverId addPlaybackStateObserver(std::function<void()> observer) override {
    const auto id = nextObserver_++;
    stateObservers_[id] = std::move(observer);
    return id;
  }
  // Reports a state change the engine made by itself (posted, as the real
  // player does): e.g. a grown duration.
  void notifyPlaybackState() {
    for (auto& [id, o] : stateObservers_) s_.post([this, id = id] {
        if (auto it = stateObservers_.find(id); it != stateObservers_.end()) it->second();
      });
  }
  // Stops at the end by itself, as the engine does (the rate drops to 0).
  void stopAtEnd() {
    rate_ = 0;
    notifyPlaybackState();
  }
  std::size_t timeObserverCount() const { return timeObservers_.size(); }
  std::optional<media::VideoFrame> copyDisplayedFrame() override { return std::nullopt; }

  ScriptedItem* currentScripted() const { return static_cast<ScriptedItem*>(current_.get()); }

  std::vector<std::shared_ptr<ScriptedItem>> items;
  std::vector<double> seeks;
  std::vector<std::pair<double, double>> tolerances;  // before, after, per seek
  bool holdSeeks = false;
  std::vector<std::function<void(bool)>> held;
  std::vector<double> rateChanges;
  int replaceCalls = 0;
  int timeObserverCalls = 0;
  double time = std::nan("");

 private:
  ManualScheduler& s_;
  std::shared_ptr<media::PlayerItem> current_;
  double rate_ = 0;
  double volume_ = 1;
  bool muted_ = false;
  media::ObserverId nextObserver_ = 1;
  std::map<media::ObserverId, TaskId> timeObservers_;
  std::map<media::ObserverId, std::function<void()>> stateObservers_;
};

// Preparation requests wait until the test completes them.
class ScriptedPreparation : public MoviePreparationPort {
 public:
  struct Request {
    MovieURL url;
    std::function<void(PreparedMovie)> completion;
  };
  CancelPreparation prepareMovie(const MovieURL& url, std::function<void(PreparedMovie)> completion) override {
    if (through) return through(url, std::move(completion));
    requests.push_back({url, std::move(completion)});
    const std::size_t i = requests.size() - 1;
    return [this, i] { cancelled.push_back(i); };
  }
  std::vector<Request> requests;
  std::vector<std::size_t> cancelled;  // requests abandoned, in order
  // When set, requests go here instead (a real preparation).
  std::function<CancelPreparation(const MovieURL&, std::function<void(PreparedMovie)>)> through;
};

// Prepares every address at once as a playable scripted movie of `seconds`
// with one 1280×720 picture track at 25 fps (the window tests' movie).
inline std::function<CancelPreparation(const MovieURL&, std::function<void(PreparedMovie)>)> InstantPreparer(
    ManualScheduler& scheduler, double seconds = 20) {
  return [&scheduler, seconds](const MovieURL& url,
                               std::function<void(PreparedMovie)> completion) -> CancelPreparation {
    auto asset = std::make_shared<ScriptedAsset>(scheduler, url.text);
    asset->durationSeconds = seconds;
    asset->trackList = {ScriptedAsset::videoTrack(1280, 720, 25)};
    PreparedMovie p;
    p.asset = asset;
    completion(std::move(p));
    return nullptr;
  };
}

// A service with a fixed size that is never read in these tests.
class NullService : public MGRangeServiceProtocol {
 public:
  void fileSizeWithReply(SizeReply reply) override { reply(1000, std::nullopt); }
  void readOffset(std::uint64_t, std::uint64_t, ReadReply reply) override { reply(MGMakeBytes({}), std::nullopt); }
};

inline std::shared_ptr<MGRangeAssetLoader> MakeLoader(const std::string& url, std::uint64_t size = 1000) {
  return MGRangeAssetLoader::create(std::make_shared<NullService>(), size, url, nullptr);
}

class RecordingAlerts : public AlertPort {
 public:
  int answer = 0;
  std::vector<AlertSpec> modal;
  std::vector<Error> errors;
  int runModalAlert(const AlertSpec& alert) override {
    modal.push_back(alert);
    return answer;
  }
  void showErrorAlert(const Error& error) override { errors.push_back(error); }
};

class RecordingStatus : public StatusLinePort {
 public:
  std::vector<std::string> texts;
  void setStatus(const std::string& text) override { texts.push_back(text); }
  std::string last() const { return texts.empty() ? std::string() : texts.back(); }
};

class RecordingView : public PlayerSessionViewPort {
 public:
  std::string title, mediaInfo, exposureToolTip;
  std::optional<bool> editorVisible, emptyState;
  int geometrySaves = 0;
  int geometryRestores = 0;
  std::optional<media::TrackInfo> restoredTrack;
  void setWindowTitle(const std::string& t) override { title = t; }
  void setMediaInfo(const std::string& t) override { mediaInfo = t; }
  void setEditorVisible(bool v) override { editorVisible = v; }
  void setOverlayEmptyState(bool e) override { emptyState = e; }
  void setExposureToolTip(const std::string& t) override { exposureToolTip = t; }
  void saveGeometryForCurrentMovie() override { ++geometrySaves; }
  void restoreGeometryOrSizeForTrack(const std::optional<media::TrackInfo>& track, const MovieURL&) override {
    ++geometryRestores;
    restoredTrack = track;
  }
};

class RecordingMovies : public MovieListPort {
 public:
  std::vector<std::string> recent;
  std::string suffix;
  void noteRecentURL(const MovieURL& url) override { recent.push_back(url.text); }
  std::string folderPositionSuffix(const MovieURL&) override { return suffix; }
};

// The edit session's ports, recording the timeline copy.
class EditDoubles : public EditTimelinePort, public EditOverlayPort, public UndoMenuPort, public RenameFieldPort {
 public:
  std::vector<kerfline::TimeSpan> segments;
  double timelineDuration = 0;
  double playhead = -1;
  double black = 0;
  void setEdit(const std::vector<kerfline::TimeSpan>& s, const std::vector<std::string>&, const std::vector<double>&,
               const std::vector<double>&, std::int64_t) override {
    segments = s;
  }
  double duration() const override { return timelineDuration; }
  void setDuration(double d) override { timelineDuration = d; }
  Rect rectForSegment(std::int64_t) const override { return {}; }
  void refreshEditorUIAtSeconds(double s) override { playhead = s; }
  void setBlackAmount(double a) override { black = a; }
  void setExposureAmount(double) override {}
  void applyExposurePreview() override {}
  void setUndoItem(const std::string&, bool) override {}
  void setRedoItem(const std::string&, bool) override {}
  void showField(const std::string&, const std::string&, const Rect&) override {}
  std::string text() const override { return {}; }
  void removeField() override {}
  void focusTimeline() override {}
};

class RecordingTransportView : public TransportViewPort {
 public:
  double playhead = -1;
  bool playing = false;
  std::string clock;
  double black = 0;
  double slider = -1;
  bool muted = false;
  std::string muteToolTip;
  void setPlayhead(double s) override { playhead = s; }
  void setPlayButtonPlaying(bool p) override { playing = p; }
  void setClockText(const std::string& t) override { clock = t; }
  void redrawTimeline() override {}
  void setBlackAmount(double a) override { black = a; }
  void setVolumeSliderValue(double v) override { slider = v; }
  void setMuteButtonMuted(bool m) override { muted = m; }
  void setMuteButtonToolTip(const std::string& t) override { muteToolTip = t; }
};

}  // namespace kf::test
