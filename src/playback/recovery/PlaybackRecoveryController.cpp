#include "playback/recovery/PlaybackRecoveryController.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <string>

#include "source/MGRangeAssetLoader.h"

namespace kf {

namespace {

std::string AttemptText(int attempt) {
  return "Recovering playback (" + std::to_string(attempt) + "/" +
         std::to_string(PlaybackRecoveryController::kAttemptLimit) + ")\u2026";
}

// Times handed to the player are whole 1/600 units.
double SeekUnits(double t) {
  return std::round(t * 600.0) / 600.0;
}

}  // namespace

PlaybackRecoveryController::PlaybackRecoveryController(PlaybackRecoveryPorts ports)
    : ports_(std::move(ports)), self_(std::make_shared<PlaybackRecoveryController*>(this)) {
  ports_.session->setFailureHandler(
      [this](const std::optional<Error>& error, const std::shared_ptr<media::PlayerItem>& item) {
        handlePlaybackFailure(error, item);
      });
  ports_.session->setRecoveryResumeHandler([this] { resumeAfterReady(); });
}

PlaybackRecoveryController::~PlaybackRecoveryController() {
  self_.reset();
  retry_.reset();
  ports_.session->setFailureHandler(nullptr);
  ports_.session->setRecoveryResumeHandler(nullptr);
}

void PlaybackRecoveryController::showAttempt() {
  ports_.status->setStatus(AttemptText(ports_.session->playbackRecovery().attempts));
}

void PlaybackRecoveryController::handlePlaybackFailure(const std::optional<Error>& error,
                                                       const std::shared_ptr<media::PlayerItem>& item) {
  PlayerSession& session = *ports_.session;
  if (!item || item != session.observedPlayerItem()) return;
  // While the movie is being prepared again the old item stays installed;
  // what it reports now belongs to the attempt that is already counted.
  if (isRenewingSource()) return;
  const Error failure = error ? *error : item->error() ? *item->error() : KerflineError(kErrorPlayerStopped);
  PlaybackRecovery& recovery = session.playbackRecovery();
  if (recovery.recovering) {
    attemptFailed(failure);
    return;
  }
  if (!session.playerOpened()) {
    session.presentError(failure);
    return;
  }
  // A loss: remember where and how the movie was playing, rebuild at once.
  const double now = ports_.player->currentTime();
  const double position = std::isfinite(now) ? now : ports_.playhead();
  recovery.resumePlaying = session.playIntent() || ports_.player->rate() != 0;
  recovery.recovering = true;
  recovery.attempts = 1;
  recovery.resumePosition = std::max(position, 0.0);
  rebuildPlayerAfterFailure();
}

void PlaybackRecoveryController::attemptFailed(const Error& error) {
  PlaybackRecovery& recovery = ports_.session->playbackRecovery();
  if (recovery.attempts >= kAttemptLimit) {
    giveUp(error);
    return;
  }
  ++recovery.attempts;
  ports_.session->setPlayerOpened(false);
  showAttempt();
  std::weak_ptr<PlaybackRecoveryController*> weak = self_;
  retry_ = ScopedTask(ports_.scheduler, ports_.scheduler->postAfter(kRetryDelaySeconds, [weak] {
    auto self = weak.lock();
    if (!self) return;
    PlaybackRecoveryController& c = **self;
    c.retry_.release();
    if (c.isRecovering()) c.rebuildPlayerAfterFailure();
  }));
}

void PlaybackRecoveryController::giveUp(const Error& error) {
  PlaybackRecovery& recovery = ports_.session->playbackRecovery();
  recovery.recovering = false;
  recovery.attempts = 0;
  recovery.resumePlaying = false;
  recovery.revivable = true;
  retry_.reset();
  ports_.session->setPlayIntent(false);
  // Nothing is playing any more; a running rate would only let the stall
  // watchdog start a cycle the user did not ask for.
  ports_.player->pause();
  ports_.status->setStatus("Playback lost \u2014 press play to retry");
  exhaustedCause_ = error;
  ports_.session->presentError(KerflineError(kErrorRecoveryExhausted));
}

void PlaybackRecoveryController::rebuildPlayerAfterFailure() {
  PlayerSession& session = *ports_.session;
  session.setPlayerOpened(false);
  const auto& loader = session.rangeLoader();
  if (loader && loader->terminalError() && ports_.preparation && session.sourceURL()) {
    renewSource();
    return;
  }
  installRebuiltItem();
}

void PlaybackRecoveryController::installRebuiltItem() {
  PlayerSession& session = *ports_.session;
  auto item = session.playerItemForCurrentAsset();
  if (!item) {
    PlaybackRecovery& recovery = session.playbackRecovery();
    recovery.recovering = false;
    recovery.attempts = 0;
    recovery.resumePlaying = false;
    recovery.revivable = true;
    retry_.reset();
    session.presentError(KerflineError(kErrorNotRecovered));
    return;
  }
  showAttempt();
  // The new item starts at the beginning; it stays paused until the resume
  // seek has put it back where the movie was.
  ports_.player->pause();
  session.installPlayerItem(std::move(item));
  if (ports_.itemInstalled) ports_.itemInstalled();
}

void PlaybackRecoveryController::renewSource() {
  showAttempt();
  const std::uint64_t renewal = ++renewals_;
  renewal_ = renewal;
  const std::uint64_t generation = ports_.session->openGeneration();
  std::weak_ptr<PlaybackRecoveryController*> weak = self_;
  Scheduler* scheduler = ports_.scheduler;
  ports_.preparation->prepareMovie(
      *ports_.session->sourceURL(), [weak, scheduler, renewal, generation](PreparedMovie prepared) {
        // Any thread: hop to the main thread first.
        scheduler->post([weak, renewal, generation, prepared = std::move(prepared)]() mutable {
          auto self = weak.lock();
          if (!self) {
            if (prepared.loader) prepared.loader->invalidateWithError(std::nullopt);
            return;
          }
          (*self)->sourceRenewed(renewal, generation, std::move(prepared));
        });
      });
}

void PlaybackRecoveryController::sourceRenewed(std::uint64_t renewal, std::uint64_t generation,
                                               PreparedMovie prepared) {
  const bool current =
      renewal == renewal_ && generation == ports_.session->openGeneration() && isRecovering();
  if (!current) {
    if (renewal == renewal_) renewal_ = 0;
    if (prepared.loader) prepared.loader->invalidateWithError(std::nullopt);
    return;
  }
  if (!prepared.asset) {
    renewal_ = 0;
    if (prepared.loader) prepared.loader->invalidateWithError(std::nullopt);
    attemptFailed(prepared.error ? *prepared.error : KerflineError(kErrorNotPrepared));
    return;
  }
  std::weak_ptr<PlaybackRecoveryController*> weak = self_;
  auto asset = prepared.asset;
  asset->loadValuesAsynchronously([weak, renewal, generation, prepared]() mutable {
    auto self = weak.lock();
    if (!self) {
      if (prepared.loader) prepared.loader->invalidateWithError(std::nullopt);
      return;
    }
    (*self)->renewedAssetLoaded(renewal, generation, std::move(prepared));
  });
}

void PlaybackRecoveryController::renewedAssetLoaded(std::uint64_t renewal, std::uint64_t generation,
                                                    PreparedMovie prepared) {
  const bool current =
      renewal == renewal_ && generation == ports_.session->openGeneration() && isRecovering();
  if (renewal == renewal_) renewal_ = 0;
  if (!current) {
    if (prepared.loader) prepared.loader->invalidateWithError(std::nullopt);
    return;
  }
  auto asset = prepared.asset;
  if (asset->loadStatus() != media::LoadStatus::Loaded || !asset->isPlayable()) {
    if (prepared.loader) prepared.loader->invalidateWithError(std::nullopt);
    auto loadError = asset->loadError();
    attemptFailed(loadError ? *loadError : KerflineError(kErrorNotPlayable));
    return;
  }
  ports_.session->replaceSource(std::move(asset), std::move(prepared.loader));
  installRebuiltItem();
}

void PlaybackRecoveryController::reconnectAfterLoss() {
  ports_.session->stallWatchdog().position = std::numeric_limits<double>::quiet_NaN();
  rebuildPlayerAfterFailure();
  if (isRecovering()) ports_.status->setStatus("Reconnecting\u2026");
}

void PlaybackRecoveryController::resumeAfterReady() {
  PlaybackRecovery& recovery = ports_.session->playbackRecovery();
  if (!recovery.recovering) return;
  const double position = recovery.resumePosition;
  const bool play = recovery.resumePlaying;
  std::weak_ptr<media::PlayerItem> item = ports_.session->observedPlayerItem();
  std::weak_ptr<PlaybackRecoveryController*> weak = self_;
  ports_.player->seekToTime(SeekUnits(position), 0, 0, [weak, item, position, play](bool finished) {
    auto self = weak.lock();
    if (!self || !finished) return;
    PlaybackRecoveryController& c = **self;
    auto it = item.lock();
    if (!it || it != c.ports_.session->observedPlayerItem()) return;
    PlaybackRecovery& r = c.ports_.session->playbackRecovery();
    r.recovering = false;
    r.attempts = 0;
    r.revivable = false;
    c.retry_.reset();
    c.ports_.status->setStatus("Playback recovered");
    if (play) c.ports_.player->play();
    c.ports_.refreshEditor(position);
  });
}

}  // namespace kf
