// Keeping playback alive once a movie has opened: a failure of the player
// item after it was ready (a loss), an item that never becomes ready, or a
// stall seen by the playback tick's watchdog starts a recovery cycle. The
// player item is rebuilt from the open asset, up to three attempts (the
// first at once, the others 1.2 s after the previous one failed); when an
// item is ready again the player goes back to the saved position and, if it
// was playing, plays on. When the attempts are used up the user is told and
// the next play command starts a fresh cycle (revival, in Transport).
//
// A failure while the movie is still opening is reported at once (alert and
// status line), without recovery.
//
// When the bytes of a served movie come through a loader that has ended for
// good (its Larder connection dropped), rebuilding over that loader can only
// fail again: the attempt prepares the movie's address afresh (a new
// connection and loader) and rebuilds over the result. A preparation that
// fails counts as a failed attempt.
//
// The records (`PlaybackRecovery`, `StallWatchdog`) live in the session,
// which resets them when a movie is opened; the watchdog itself runs in the
// playback tick (Transport), which calls reconnectAfterLoss().
//
// Threads: main thread only. The delayed retry and the preparation's
// completion run through the scheduler and do nothing once the controller
// is gone or the cycle has ended. Ownership: the ports must outlive the
// controller; the controller installs itself as the session's failure and
// resume handler and removes itself when destroyed.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>

#include "base/Error.h"
#include "base/Scheduler.h"
#include "edit/EditPorts.h"
#include "platform/MediaPorts.h"
#include "playback/session/PlayerSession.h"

namespace kf {

struct PlaybackRecoveryPorts {
  Scheduler* scheduler = nullptr;
  media::Player* player = nullptr;
  PlayerSession* session = nullptr;
  StatusLinePort* status = nullptr;
  // Prepares the open movie's address again when its loader has ended. May
  // be null: the rebuild then reuses the ended loader (and fails).
  MoviePreparationPort* preparation = nullptr;
  // The timeline's playhead, source seconds. Required.
  std::function<double()> playhead;
  // Redraws playhead, play button and clock at a source time. Required.
  std::function<void(double seconds)> refreshEditor;
  // Runs once each rebuilt item is the player's current item, so that it
  // shows the edit's look (the exposure preview) like the item it replaces.
  // May be empty.
  std::function<void()> itemInstalled;
};

class PlaybackRecoveryController {
 public:
  static constexpr int kAttemptLimit = 3;
  static constexpr double kRetryDelaySeconds = 1.2;

  explicit PlaybackRecoveryController(PlaybackRecoveryPorts ports);
  ~PlaybackRecoveryController();
  PlaybackRecoveryController(const PlaybackRecoveryController&) = delete;
  PlaybackRecoveryController& operator=(const PlaybackRecoveryController&) = delete;

  // The single entry for failures of the observed item (status failed,
  // failed-to-play-to-end, missed open deadline). Failures of an item that
  // has been replaced are ignored.
  void handlePlaybackFailure(const std::optional<Error>& error,
                             const std::shared_ptr<media::PlayerItem>& item);
  // Makes and installs a fresh item for the open asset (attempt text on the
  // status line), preparing the movie again first when its loader has ended.
  void rebuildPlayerAfterFailure();
  // Starts the current attempt after a stall or a revival: disarms the
  // watchdog, rebuilds, and shows "Reconnecting…" while recovery runs.
  void reconnectAfterLoss();
  // The rebuilt item is ready: seek back to the saved position and play on.
  void resumeAfterReady();

  bool isRecovering() const { return ports_.session->playbackRecovery().recovering; }
  bool isLost() const { return ports_.session->playbackRecovery().revivable; }
  // A preparation for a rebuild is running.
  bool isRenewingSource() const { return renewal_ != 0; }
  // The failure that ended the last cycle (the cause behind error 10).
  const std::optional<Error>& exhaustedCause() const { return exhaustedCause_; }

 private:
  // The current attempt failed with `error`: retry after the delay, or give
  // up after the last attempt.
  void attemptFailed(const Error& error);
  void installRebuiltItem();
  void renewSource();
  void sourceRenewed(std::uint64_t renewal, std::uint64_t generation, PreparedMovie prepared);
  void renewedAssetLoaded(std::uint64_t renewal, std::uint64_t generation, PreparedMovie prepared);
  void giveUp(const Error& error);
  void showAttempt();

  PlaybackRecoveryPorts ports_;
  // Completions hold this weakly; once the controller is gone they find it
  // expired.
  std::shared_ptr<PlaybackRecoveryController*> self_;
  ScopedTask retry_;
  // Number of the running source preparation; 0 when none runs.
  std::uint64_t renewal_ = 0;
  std::uint64_t renewals_ = 0;
  std::optional<Error> exhaustedCause_;
};

}  // namespace kf
