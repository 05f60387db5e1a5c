#include "playback/session/Transport.h"

#include <algorithm>
#include <cmath>

#include "app/rules/MovieMemory.h"
#include "edit/EditText.h"
#include "edit/TimeMap.h"

namespace kf {

double EditedPosition(double t, const std::vector<kerfline::TimeSpan>& segments) {
  double sum = 0;
  for (const auto& s : segments) {
    if (s.start <= t && t <= s.end) return sum + (t - s.start);
    if (s.start > t) return sum;
    sum += s.end - s.start;
  }
  return sum;
}

std::string ClockText(double t, const std::vector<kerfline::TimeSpan>& segments, std::int64_t selected) {
  const std::int64_t count = static_cast<std::int64_t>(segments.size());
  std::int64_t clip = selected < 0 ? 1 : selected + 1;
  clip = std::min(clip, std::max<std::int64_t>(count, 1));
  return "Clip " + std::to_string(clip) + "/" + std::to_string(segments.size()) + " \u00B7 " +
         mg::Clock(EditedPosition(t, segments)) + " / " + mg::Clock(kerfline::EditedDuration(segments));
}

Transport::Transport(TransportPorts ports) : ports_(std::move(ports)) {}

Transport::~Transport() {
  if (tickObserver_) ports_.player->removeTimeObserver(tickObserver_);
  if (stateObserver_) ports_.player->removeTimeObserver(stateObserver_);
}

void Transport::watchPlayer() {
  if (watching_) return;
  watching_ = true;
  stateObserver_ = ports_.player->addPlaybackStateObserver([this] { playbackStateChanged(); });
  updateTicking();
}

bool Transport::wantsTick() const { return ports_.player->rate() != 0 || isScrubbing(); }

void Transport::updateTicking() {
  if (!watching_) return;
  if (wantsTick()) {
    if (!tickObserver_)
      tickObserver_ = ports_.player->addPeriodicTimeObserver(kTickInterval, [this](double t) { tick(t); });
  } else if (tickObserver_) {
    ports_.player->removeTimeObserver(tickObserver_);
    tickObserver_ = 0;
  }
}

void Transport::playbackStateChanged() {
  updateTicking();
  if (!isTicking()) tick(ports_.player->currentTime());
}

void Transport::showPosition(double t) {
  ports_.view->setBlackAmount(
      mg::FadeBlackAmount(t, ports_.edit->segments(), ports_.edit->fadeIns(), ports_.edit->fadeOuts()));
  refreshEditorUIAtSeconds(t);
}

double Transport::currentTime() const { return ports_.player->currentTime(); }

void Transport::pause() { ports_.player->pause(); }

void Transport::seek(double t) {
  if (!ports_.player->currentItem()) return;
  auto& recovery = ports_.session->playbackRecovery();
  if (recovery.recovering) {
    recovery.resumePosition = std::max(t, 0.0);
    showPosition(t);
    return;
  }
  // Times handed to the player are whole 1/600 units.
  const double quantized = std::isfinite(t) ? std::round(t * 600.0) / 600.0 : t;
  ports_.player->seekToTime(quantized, 0, 0);
  // Paused, no tick follows: the fade preview is shown here.
  showPosition(t);
}

void Transport::refreshEditorUIAtSeconds(double t) {
  if (!std::isfinite(t)) t = 0;
  playhead_ = t;
  ports_.view->setPlayhead(t);
  ports_.view->setPlayButtonPlaying(ports_.player->rate() != 0);
  ports_.view->setClockText(ClockText(t, ports_.edit->segments(), ports_.edit->selected()));
  ports_.view->redrawTimeline();
}

void Transport::togglePlayback() {
  if (!ports_.player->currentItem()) {
    if (ports_.openDocument) ports_.openDocument();
    return;
  }
  auto& recovery = ports_.session->playbackRecovery();
  if (recovery.recovering) {
    recovery.resumePlaying = !recovery.resumePlaying;
    ports_.session->setPlayIntent(recovery.resumePlaying);
    return;
  }
  if (ports_.session->asset() && recovery.revivable && ports_.reconnectAfterLoss) {
    // The player holds a dead item; the timeline's playhead is where the
    // movie was.
    recovery.recovering = true;
    recovery.attempts = 1;
    recovery.resumePosition = std::max(playhead_, 0.0);
    recovery.resumePlaying = true;
    recovery.revivable = false;
    ports_.session->setPlayIntent(true);
    ports_.reconnectAfterLoss();
    return;
  }
  if (ports_.player->rate() != 0) {
    ports_.session->setPlayIntent(false);
    ports_.player->pause();
  } else {
    ports_.session->setPlayIntent(true);
    ports_.player->play();
  }
  refreshEditorUIAtSeconds(ports_.player->currentTime());
}

void Transport::seekEditedBy(double delta) {
  const auto& segments = ports_.edit->segments();
  if (segments.empty()) return;
  double now = ports_.player->currentTime();
  if (!std::isfinite(now)) now = 0;
  std::int32_t index = -1;
  const double target = kerfline::RawFromEdited(EditedPosition(now, segments) + delta, segments, index);
  seek(target);
  if (index >= 0) {
    ports_.edit->setSelected(index);
    ports_.edit->syncSegments();
  }
}

double Transport::frameStep() const {
  const double d = ports_.session->frameDuration();
  return d > 0 ? d : kDefaultFrameStep;
}

void Transport::step(int direction) {
  ports_.session->setPlayIntent(false);
  ports_.player->pause();
  seekEditedBy(direction * frameStep());
}

void Transport::jump(int direction, bool frames) {
  const double delta = direction * (frames ? frameStep() : kJumpSeconds);
  if (ports_.edit->nudgeArmedJunction(delta)) return;
  if (frames) ports_.player->pause();
  seekEditedBy(delta);
}

void Transport::seekToStart() {
  const auto& segments = ports_.edit->segments();
  if (!segments.empty()) seek(segments.front().start);
}

void Transport::seekToEnd() {
  const auto& segments = ports_.edit->segments();
  if (!segments.empty()) seek(segments.back().end);
}

void Transport::scrubTo(double seconds, std::int64_t phase) {
  // While recovery rebuilds the item the player is not to be touched: the
  // pointer only moves where playback will resume.
  if (ports_.session->playbackRecovery().recovering && !isScrubbing()) {
    if (phase != -1 && !std::isnan(seconds)) seek(seconds);
    return;
  }
  const bool wasTicking = isTicking();
  if (ports_.scrub) ports_.scrub->scrubTo(seconds, phase);
  // A scrub ticks from its start; the tick stops by itself once the scrub
  // has settled and the player rests, or here when the scrub has ended at
  // once, after showing where it ended.
  updateTicking();
  if (wasTicking && !isTicking()) tick(ports_.player->currentTime());
}

void Transport::endScrub() {
  if (ports_.scrub) ports_.scrub->endScrub();
  updateTicking();
}

void Transport::volumeChanged(double value) {
  volume_ = std::clamp(std::isfinite(value) ? value : 1.0, 0.0, 1.0);
  ports_.player->setVolume(volume_);
  if (ports_.settings) ports_.settings->setValue(kVolumeKey, volume_);
  if (ports_.player->isMuted() && volume_ > 0) {
    ports_.player->setMuted(false);
    ports_.view->setMuteButtonMuted(false);
    if (ports_.settings) ports_.settings->setValue(kMutedKey, false);
  }
}

void Transport::adjustVolumeBy(double delta) {
  const double v = std::clamp(volume_ + delta, 0.0, 1.0);
  ports_.view->setVolumeSliderValue(v);
  volumeChanged(v);
}

void Transport::toggleMute() {
  const bool muted = !ports_.player->isMuted();
  ports_.player->setMuted(muted);
  ports_.view->setMuteButtonMuted(muted);
  ports_.view->setMuteButtonToolTip(muted ? "Unmute" : "Mute");
  if (ports_.settings) ports_.settings->setValue(kMutedKey, muted);
}

void Transport::applyStoredAudioState() {
  std::optional<double> stored;
  if (ports_.settings && ports_.settings->contains(kVolumeKey)) stored = ports_.settings->doubleValue(kVolumeKey);
  volume_ = std::clamp(stored.value_or(1.0), 0.0, 1.0);
  ports_.view->setVolumeSliderValue(volume_);
  ports_.player->setVolume(volume_);
  const bool muted = ports_.settings ? ports_.settings->boolValue(kMutedKey).value_or(false) : false;
  ports_.player->setMuted(muted);
  ports_.view->setMuteButtonMuted(muted);
}

void Transport::tick(double reportedTime) {
  auto& watchdog = ports_.session->stallWatchdog();
  auto& recovery = ports_.session->playbackRecovery();
  // While recovery rebuilds the item, or after it gave up, the player's
  // time is that of an item that has not been put back yet: the playhead
  // stays where the movie was (seeks meanwhile move it).
  const bool holding = recovery.recovering || recovery.revivable;
  const bool scrubbing = isScrubbing();
  double p = scrubbing ? ports_.scrub->scrubTarget() : holding ? playhead_ : reportedTime;
  const double rate = ports_.player->rate();
  const bool playing = std::isfinite(p) && rate != 0 && !scrubbing && !isScrubSeekInFlight();
  const double uptime = ports_.clock ? ports_.clock->now() : 0;
  if (playing) {
    if (!std::isfinite(watchdog.position) || std::fabs(watchdog.position - p) > kStallMovement) {
      watchdog.position = p;
      watchdog.since = uptime;
    } else if (uptime - watchdog.since >= kStallSeconds) {
      watchdog.position = std::numeric_limits<double>::quiet_NaN();
      if (!recovery.recovering && !ports_.session->isBusy() && ports_.session->asset() &&
          ports_.reconnectAfterLoss) {
        recovery.recovering = true;
        recovery.attempts = 1;
        recovery.resumePosition = std::max(p, 0.0);
        recovery.resumePlaying = true;
        ports_.reconnectAfterLoss();
        return;
      }
    }
  } else {
    watchdog.position = std::numeric_limits<double>::quiet_NaN();
  }

  const auto& segments = ports_.edit->segments();
  if (std::isfinite(p)) {
    bool grew = false;
    if (!scrubbing && !segments.empty()) {
      auto item = ports_.player->currentItem();
      const double d = item ? item->duration() : 0;
      const double g = (p < d && std::isfinite(d)) ? d : p;
      if (ports_.edit->growMovie(g)) {
        grew = true;
        if (g - ports_.session->lastGrowthSync() > 1) {
          ports_.session->setLastGrowthSync(g);
          ports_.edit->refreshDirtyState();
          ports_.view->redrawTimeline();
        }
      }
    }
    if (!grew && !segments.empty() && rate != 0) {
      bool inside = false;
      for (const auto& s : segments) {
        if (p >= s.start - kFollowMargin && p < s.end - kFollowMargin) {
          inside = true;
          break;
        }
      }
      if (!inside) {
        const kerfline::TimeSpan* next = nullptr;
        for (const auto& s : segments) {
          if (s.start > p + kFollowMargin) {
            next = &s;
            break;
          }
        }
        if (next) {
          p = next->start;
          seek(p);
        } else {
          ports_.player->pause();
          ports_.session->setPlayIntent(false);
          p = segments.back().end;
          seek(p);
        }
      }
    }
  }
  showPosition(p);
  rememberPlayhead(p);
  // Playback stopped (the end of the edit, or the engine at the end of the
  // movie): nothing more to follow until the state changes again.
  if (isTicking() && !wantsTick()) updateTicking();
}

void Transport::rememberPlayhead(double p) {
  if (!std::isfinite(p) || !ports_.session->sourceURL() || !ports_.settings) return;
  // A movie without an identity (a handoff link) has no playhead memory.
  if (ports_.session->sourceIdentityKey().empty()) return;
  const auto second = static_cast<std::int64_t>(std::trunc(p));
  if (second == _lastSavedSecond) return;
  _lastSavedSecond = second;
  StorePlayhead(*ports_.settings, ports_.session->sourceIdentityKey(), p);
}

}  // namespace kf
