// Moving through the open movie: exact seeks, play and pause, jumps and
// frame steps in edited time, scrubbing from the timeline, volume and mute,
// and the playback tick that makes playback follow the edit (skipping
// removed stretches, stopping at the end of the last kept segment), drives
// the fade preview and the clock, follows a growing movie and remembers the
// playhead per movie.
//
// Edited time is the kept segments laid end to end from 0; the player and
// the segments use source time.
//
// Threads: main thread only (the tick is the player's periodic observer).
// Ownership: holds no ports; they must outlive it.
#pragma once

#include <cstdint>
#include <functional>
#include <string>

#include "app/rules/SettingsStore.h"
#include "edit/EditPorts.h"
#include "edit/EditSession.h"
#include "platform/MediaPorts.h"
#include "playback/scrub/ScrubController.h"
#include "playback/session/PlayerSession.h"

namespace kf {

// The controls the transport updates.
class TransportViewPort {
 public:
  virtual ~TransportViewPort() = default;
  virtual void setPlayhead(double sourceSeconds) = 0;
  // Title "Play"/"Pause" with the symbol "play.fill"/"pause.fill".
  virtual void setPlayButtonPlaying(bool playing) = 0;
  virtual void setClockText(const std::string& text) = 0;
  virtual void redrawTimeline() = 0;
  virtual void setBlackAmount(double amount) = 0;
  virtual void setVolumeSliderValue(double value) = 0;
  // Image "speaker.slash.fill" when muted, else "speaker.wave.2.fill"; the
  // tool tip is set separately because only the mute command changes it.
  virtual void setMuteButtonMuted(bool muted) = 0;
  virtual void setMuteButtonToolTip(const std::string& toolTip) = 0;
};

struct TransportPorts {
  media::Player* player = nullptr;
  PlayerSession* session = nullptr;
  EditSession* edit = nullptr;
  TransportViewPort* view = nullptr;
  SettingsStore* settings = nullptr;  // may be null: nothing remembered
  Clock* clock = nullptr;             // the stall watchdog's uptime
  // Shows the Open panel (play without a movie). May be empty.
  std::function<void()> openDocument;
  // Rebuilds playback after a loss (recovery). May be empty.
  std::function<void()> reconnectAfterLoss;
  // Timeline scrubbing. May be null: the timeline then cannot scrub.
  ScrubController* scrub = nullptr;
};

// Edited position of source time t: inside a segment, the kept time before
// it plus t - start; in a removed stretch, the kept time before the next
// segment; past all segments, the total.
double EditedPosition(double t, const std::vector<kerfline::TimeSpan>& segments);

// "Clip %ld/%zu · %@ / %@" for the selection, the segment count, the edited
// position of t and the total kept duration.
std::string ClockText(double t, const std::vector<kerfline::TimeSpan>& segments, std::int64_t selected);

class Transport final : public EditPlayerPort {
 public:
  static constexpr double kJumpSeconds = 5.0;
  static constexpr double kDefaultFrameStep = 0.03333333333333333;
  static constexpr double kVolumeStep = 0.05;
  static constexpr double kTickInterval = 1.0 / 30;
  static constexpr double kFollowMargin = 0.005;
  static constexpr double kStallMovement = 0.0005;
  static constexpr double kStallSeconds = 8.0;

  explicit Transport(TransportPorts ports);
  ~Transport() override;
  Transport(const Transport&) = delete;
  Transport& operator=(const Transport&) = delete;

  // Follows the player from now on: the playback tick runs while the player
  // plays or a scrub is active, and not at all otherwise. A change of the
  // player's state (paused, stopped at the end, a grown duration) that ends
  // the ticking, or arrives while it is stopped, runs the tick once so the
  // window shows the state at rest.
  void watchPlayer();
  bool isTicking() const { return tickObserver_ != 0; }

  // EditPlayerPort: the edit session's view of the player.
  double currentTime() const override;
  void seek(double seconds) override;
  void pause() override;

  void refreshEditorUIAtSeconds(double seconds);
  // The timeline's playhead: the last time the editor was refreshed at.
  double playhead() const { return playhead_; }
  void togglePlayback();
  void seekEditedBy(double delta);
  void seekBackFive() { seekEditedBy(-kJumpSeconds); }
  void seekForwardFive() { seekEditedBy(kJumpSeconds); }
  void stepBackward() { step(-1); }
  void stepForward() { step(+1); }
  // Left/Right (frames = false) and comma/period (frames = true): rolls an
  // armed junction, else moves the playhead (frame keys pause first).
  void jump(int direction, bool frames);
  void seekToStart();
  void seekToEnd();
  double frameStep() const;

  // Timeline scrubbing (ScrubController): phase 0 began, 1 changed,
  // 2 ended, -1 cancelled. While a scrub runs the tick shows its target and
  // the stall watchdog rests; the tick must keep running while isScrubbing().
  void scrubTo(double seconds, std::int64_t phase);
  void endScrub();
  bool isScrubbing() const { return ports_.scrub && ports_.scrub->isScrubbing(); }
  // A scrub preview seek is outstanding.
  bool isScrubSeekInFlight() const { return ports_.scrub && ports_.scrub->isSeekInFlight(); }

  // Volume 0..1 from the slider; adjustVolumeBy moves the slider too.
  void volumeChanged(double value);
  void adjustVolumeBy(double delta);
  void toggleMute();
  double volume() const { return volume_; }
  // The stored volume and mute state, applied once when the window is built.
  void applyStoredAudioState();

  // The playback tick, with the player's current time.
  void tick(double reportedTime);

 private:
  void step(int direction);
  void rememberPlayhead(double p);
  // Whether the tick has work: the player plays or a scrub is active.
  bool wantsTick() const;
  // Starts or stops the tick to match wantsTick().
  void updateTicking();
  void playbackStateChanged();
  // The fade preview and the editor's controls at source time t.
  void showPosition(double t);

  TransportPorts ports_;
  double volume_ = 1.0;
  double playhead_ = 0;
  std::int64_t _lastSavedSecond = 0;
  bool watching_ = false;
  media::ObserverId stateObserver_ = 0;
  media::ObserverId tickObserver_ = 0;
};

}  // namespace kf
