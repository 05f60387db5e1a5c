#include "playback/session/PlayerSession.h"

#include <cmath>
#include <utility>

#include "app/rules/MovieMemory.h"
#include "source/MGRangeAssetLoader.h"

namespace kf {

Error KerflineError(std::int64_t code) {
  const char* message = "";
  switch (code) {
    case kErrorNotPlayable: message = "This movie cannot be played."; break;
    case kErrorNoDuration: message = "The movie has no usable duration."; break;
    case kErrorNotPrepared: message = "The movie could not be prepared for playback."; break;
    case kErrorPlayerStopped: message = "The system media player stopped responding."; break;
    case kErrorNotRecovered: message = "Playback could not be recovered."; break;
    case kErrorRecoveryExhausted: message = "Playback could not be recovered after three attempts."; break;
    case kErrorDidNotOpen: message = "The movie did not finish opening."; break;
    default: break;
  }
  return Error{kKerflineErrorDomain, code, message};
}

PlayerSession::PlayerSession(PlayerSessionPorts ports)
    : ports_(std::move(ports)), self_(std::make_shared<PlayerSession*>(this)) {}

PlayerSession::~PlayerSession() {
  self_.reset();
  if (cancelPreparation_) cancelPreparation_();
  _prepareDeadline.reset();
  if (_observedPlayerItem) {
    _observedPlayerItem->removeObserver(statusObserver_);
    _observedPlayerItem->removeObserver(failureObserver_);
  }
  invalidate(_rangeLoader);
}

void PlayerSession::invalidate(const std::shared_ptr<MGRangeAssetLoader>& loader) {
  if (loader) loader->invalidateWithError(std::nullopt);
}

std::optional<FileAttributes> PlayerSession::attributesAt(const std::string& path) const {
  return ports_.fileAttributes ? ports_.fileAttributes(path) : FileAttributesAtPath(path);
}

void PlayerSession::presentError(const Error& error) {
  ports_.alerts->showErrorAlert(error);
  ports_.status->setStatus(error.message);
}

void PlayerSession::openURL(const std::string& address) {
  if (auto url = ParseMovieURL(address)) openURL(*url);
}

void PlayerSession::openURL(const MovieURL& url) {
  if (isBusy()) {
    ports_.status->setStatus("Finish or cancel the current export before opening another movie");
    return;
  }
  if (_sourceURL && ports_.edit->dirty()) {
    const int answer = ports_.alerts->runModalAlert(
        {"Discard unexported edits?",
         "Opening another movie removes the current cuts, trims, fades, exposure, and clip names.",
         {"Discard and Open", "Cancel"}});
    if (answer != 0) return;
  }
  if (ports_.endScrub) ports_.endScrub();
  ports_.view->saveGeometryForCurrentMovie();

  const std::uint64_t generation = ++_openGeneration;
  ports_.status->setStatus("Opening\u2026");
  openAbandoned_ = false;
  pendingLoader_.reset();
  // A preparation this open supersedes lets go of what it holds.
  if (auto cancel = std::exchange(cancelPreparation_, nullptr)) cancel();
  {
    std::weak_ptr<PlayerSession*> weak = self_;
    openDeadline_ = ScopedTask(ports_.scheduler, ports_.scheduler->postAfter(kPrepareDeadlineSeconds, [weak, generation] {
      if (auto self = weak.lock()) (*self)->openTimedOut(generation);
    }));
  }

  _playbackRecovery.recovering = false;
  _playbackRecovery.attempts = 0;
  _playbackRecovery.resumePlaying = false;
  _playbackRecovery.revivable = false;
  _stallWatchdog.position = std::numeric_limits<double>::quiet_NaN();
  _lastGrowthSync = 0;
  _playerOpened = false;
  _playIntent = false;

  std::weak_ptr<PlayerSession*> weak = self_;
  Scheduler* scheduler = ports_.scheduler;
  cancelPreparation_ = ports_.preparation->prepareMovie(url, [weak, scheduler, generation, url](PreparedMovie prepared) {
    // Any thread: hop to the main thread before looking at the session.
    scheduler->post([weak, generation, url, prepared = std::move(prepared)]() mutable {
      auto self = weak.lock();
      if (!self) {
        invalidate(prepared.loader);
        return;
      }
      (*self)->preparationFinished(generation, url, std::move(prepared));
    });
  });
}

void PlayerSession::openTimedOut(std::uint64_t generation) {
  openDeadline_.release();
  if (isStaleOpen(generation)) return;
  // Whatever arrives later for this request is dropped; a loader already
  // handed over is ended, which also frees a read that waits on it.
  openAbandoned_ = true;
  invalidate(pendingLoader_.lock());
  pendingLoader_.reset();
  // A preparation that never answered (a silent range service) closes its
  // connection now.
  if (auto cancel = std::exchange(cancelPreparation_, nullptr)) cancel();
  presentError(KerflineError(kErrorDidNotOpen));
}

void PlayerSession::preparationFinished(std::uint64_t generation, const MovieURL& url, PreparedMovie prepared) {
  if (isStaleOpen(generation)) {
    invalidate(prepared.loader);
    return;
  }
  cancelPreparation_ = nullptr;
  if (!prepared.asset) {
    openDeadline_.reset();
    // A loader without an asset serves nobody; end it rather than leak its
    // connection.
    invalidate(prepared.loader);
    presentError(prepared.error ? *prepared.error : KerflineError(kErrorNotPrepared));
    return;
  }
  pendingLoader_ = prepared.loader;
  std::weak_ptr<PlayerSession*> weak = self_;
  auto asset = prepared.asset;
  asset->loadValuesAsynchronously([weak, generation, url, prepared]() mutable {
    auto self = weak.lock();
    if (!self) {
      invalidate(prepared.loader);
      return;
    }
    (*self)->completeOpen(generation, url, std::move(prepared));
  });
}

void PlayerSession::completeOpen(std::uint64_t generation, const MovieURL& url, PreparedMovie prepared) {
  if (isStaleOpen(generation)) {
    invalidate(prepared.loader);
    return;
  }
  openDeadline_.reset();
  pendingLoader_.reset();
  auto asset = prepared.asset;
  if (asset->loadStatus() != media::LoadStatus::Loaded || !asset->isPlayable()) {
    invalidate(prepared.loader);
    auto loadError = asset->loadError();
    presentError(loadError ? *loadError : KerflineError(kErrorNotPlayable));
    return;
  }
  const double duration = asset->duration();
  if (!(duration > 0) || !std::isfinite(duration)) {
    invalidate(prepared.loader);
    presentError(KerflineError(kErrorNoDuration));
    return;
  }

  invalidate(_rangeLoader);
  _rangeLoader = prepared.loader;
  _sourceURL = url;

  const std::string path = url.path();
  const std::optional<FileAttributes> attributes = url.isFile() ? attributesAt(path) : std::nullopt;
  _sourceIdentityKey = url.isFile() ? IdentityKeyText(path, attributes) : std::string();
  _asset = asset;

  // The initial edit: one segment over the whole movie, empty history,
  // clean; the timeline follows (duration, segment, playhead 0).
  ports_.edit->resetForNewMovie(duration);

  installPlayerItem(playerItemForCurrentAsset());

  const auto videoTracks = asset->tracksWithMediaType(media::MediaType::Video);
  const std::optional<media::TrackInfo> videoTrack =
      videoTracks.empty() ? std::nullopt : std::optional<media::TrackInfo>(videoTracks.front());
  _frameDuration = (videoTrack && videoTrack->nominalFrameRate > 0) ? 1.0 / videoTrack->nominalFrameRate
                                                                      : 0.03333333333333333;
  ports_.edit->setFrameDuration(_frameDuration);

  ports_.view->setExposureToolTip("Auto-fix exposure");
  ports_.view->setWindowTitle(url.lastPathComponent() + " \u2014 Kerfline");
  ports_.status->setStatus((url.isFile() ? path : url.text) + ports_.movies->folderPositionSuffix(url));

  const Size display = videoTrack ? media::displaySize(*videoTrack) : Size{};
  std::uint64_t bytes = attributes ? attributes->size : 0;
  if (!attributes && _rangeLoader) bytes = _rangeLoader->fileSize();
  ports_.view->setMediaInfo(MediaInfoText(display.width, display.height, bytes));

  ports_.view->setOverlayEmptyState(false);
  ports_.view->setEditorVisible(true);
  ports_.movies->noteRecentURL(url);

  if (ports_.startWaveform) ports_.startWaveform(asset, duration);

  if (ports_.settings) {
    if (auto playhead = RememberedPlayhead(*ports_.settings, _sourceIdentityKey, path, duration))
      ports_.seek(*playhead);
  }
  ports_.view->restoreGeometryOrSizeForTrack(videoTrack, url);

  _playIntent = true;
  ports_.player->play();
}

void PlayerSession::replaceSource(std::shared_ptr<media::MediaAsset> asset,
                                  std::shared_ptr<MGRangeAssetLoader> loader) {
  if (loader != _rangeLoader) invalidate(_rangeLoader);
  _rangeLoader = std::move(loader);
  _asset = std::move(asset);
}

std::shared_ptr<media::PlayerItem> PlayerSession::playerItemForCurrentAsset() {
  if (!_asset) return nullptr;
  return ports_.player->makePlayerItem(_asset);
}

void PlayerSession::installPlayerItem(std::shared_ptr<media::PlayerItem> item) {
  if (_observedPlayerItem) {
    _observedPlayerItem->removeObserver(statusObserver_);
    _observedPlayerItem->removeObserver(failureObserver_);
    statusObserver_ = failureObserver_ = 0;
  }
  _observedPlayerItem = item;
  if (item) {
    std::weak_ptr<PlayerSession*> weak = self_;
    std::weak_ptr<media::PlayerItem> weakItem = item;
    statusObserver_ = item->addStatusObserver([weak, weakItem](media::ItemStatus status) {
      auto self = weak.lock();
      auto it = weakItem.lock();
      if (self && it) (*self)->observeStatus(it, status);
    });
    failureObserver_ = item->addFailedToPlayToEndObserver([weak, weakItem](const Error& error) {
      auto self = weak.lock();
      auto it = weakItem.lock();
      if (self && it && it == (*self)->_observedPlayerItem) (*self)->handlePlaybackFailure(error, it);
    });
  }
  ports_.player->replaceCurrentItem(item);
  armPrepareDeadlineForItem(item);
}

void PlayerSession::armPrepareDeadlineForItem(const std::shared_ptr<media::PlayerItem>& item) {
  _prepareDeadline.reset();
  if (!item) return;
  std::weak_ptr<PlayerSession*> weak = self_;
  std::weak_ptr<media::PlayerItem> weakItem = item;
  Scheduler* scheduler = ports_.scheduler;
  _prepareDeadline = ScopedTask(scheduler, scheduler->postAfter(kPrepareDeadlineSeconds, [weak, weakItem] {
    auto self = weak.lock();
    auto it = weakItem.lock();
    if (!self || !it) return;
    PlayerSession& s = **self;
    s._prepareDeadline.release();
    if (it != s._observedPlayerItem || s._playerOpened) return;
    s.handlePlaybackFailure(KerflineError(kErrorDidNotOpen), it);
  }));
}

void PlayerSession::observeStatus(const std::shared_ptr<media::PlayerItem>& item, media::ItemStatus status) {
  if (item != _observedPlayerItem) return;
  switch (status) {
    case media::ItemStatus::Failed:
      _prepareDeadline.reset();
      handlePlaybackFailure(item->error(), item);
      break;
    case media::ItemStatus::ReadyToPlay:
      _prepareDeadline.reset();
      _playerOpened = true;
      if (_playbackRecovery.recovering && recoveryResume_) recoveryResume_();
      break;
    case media::ItemStatus::Unknown:
      break;
  }
}

void PlayerSession::handlePlaybackFailure(const std::optional<Error>& error,
                                          const std::shared_ptr<media::PlayerItem>& item) {
  if (failureHandler_) {
    failureHandler_(error, item);
    return;
  }
  presentError(error ? *error : KerflineError(kErrorPlayerStopped));
}

}  // namespace kf
