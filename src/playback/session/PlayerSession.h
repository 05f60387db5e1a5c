// The life of the one open movie: accepting or refusing an open request,
// giving up the previous edit, preparing and checking the new movie,
// installing it in the player and the editor, and the deadline within which
// the player must report that the movie is ready.
//
// Every way of opening a movie (command line, drop, Open panel, recent menu,
// folder stepping, system open requests) ends in openURL(). An accepted open
// takes a new generation; a result that arrives for an older generation is
// dropped and its loader invalidated, so a newer open silently supersedes an
// older one. Until a new movie has passed every check, the previous movie,
// its edit and its player item stay as they are.
//
// Threads: main thread only. The preparation's completion may run on any
// thread; it is moved to the main thread through the scheduler before it
// touches anything. Player and asset completions arrive on the main thread
// (MediaPorts contract). Completions that outlive the session do nothing
// except invalidating the loader they carry.
//
// Ownership: the session does not own its ports; they must outlive it. It
// owns the open movie's asset, loader and player item (shared with the
// player).
#pragma once

#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <string>

#include "app/rules/SettingsStore.h"
#include "base/Error.h"
#include "base/Scheduler.h"
#include "edit/EditPorts.h"
#include "edit/EditSession.h"
#include "platform/MediaPorts.h"
#include "platform/ToolkitPorts.h"
#include "playback/session/MovieURL.h"

namespace kf {

class MGRangeAssetLoader;

// Error codes of the "Kerfline" domain made by the open flow and playback.
inline constexpr std::int64_t kErrorNotPlayable = 1;
inline constexpr std::int64_t kErrorNoDuration = 2;
inline constexpr std::int64_t kErrorNotPrepared = 3;
inline constexpr std::int64_t kErrorPlayerStopped = 8;
inline constexpr std::int64_t kErrorNotRecovered = 9;
inline constexpr std::int64_t kErrorRecoveryExhausted = 10;
inline constexpr std::int64_t kErrorDidNotOpen = 11;
Error KerflineError(std::int64_t code);

// What preparing a movie produced: an asset, or an error (or neither, which
// the open flow reports as "could not be prepared"); the loader serving the
// asset's bytes when the program serves them; whether Larder serves them.
struct PreparedMovie {
  std::shared_ptr<media::MediaAsset> asset;
  std::shared_ptr<MGRangeAssetLoader> loader;
  bool servedByLarder = false;
  std::optional<Error> error;
};

// Abandons a preparation that has not finished: whatever it holds open (a
// range service connection) is closed; its completion still runs once.
// Empty: nothing to abandon.
using CancelPreparation = std::function<void()>;

// Turns an address into an asset (source preparation, then the media
// engine's asset). The completion runs exactly once, on any thread, possibly
// before prepareMovie returns.
class MoviePreparationPort {
 public:
  virtual ~MoviePreparationPort() = default;
  virtual CancelPreparation prepareMovie(const MovieURL& url, std::function<void(PreparedMovie)> completion) = 0;
};

// The window's parts that an open changes.
class PlayerSessionViewPort {
 public:
  virtual ~PlayerSessionViewPort() = default;
  virtual void setWindowTitle(const std::string& title) = 0;
  virtual void setMediaInfo(const std::string& text) = 0;
  virtual void setEditorVisible(bool visible) = 0;
  virtual void setOverlayEmptyState(bool empty) = 0;
  virtual void setExposureToolTip(const std::string& toolTip) = 0;
  // Window geometry memory: remember the frame for the movie being left;
  // restore the new movie's frame or size the window to its picture
  // (`videoTrack` is the first video track, nullopt when there is none).
  virtual void saveGeometryForCurrentMovie() = 0;
  virtual void restoreGeometryOrSizeForTrack(const std::optional<media::TrackInfo>& videoTrack,
                                             const MovieURL& url) = 0;
};

// The recent-movies list and the open movie's folder.
class MovieListPort {
 public:
  virtual ~MovieListPort() = default;
  virtual void noteRecentURL(const MovieURL& url) = 0;
  // " · n of m in folder (…)" or "".
  virtual std::string folderPositionSuffix(const MovieURL& url) = 0;
};

// Recovery and stall records (the recovery controller works on them; the
// open flow resets them).
struct PlaybackRecovery {
  bool recovering = false;
  int attempts = 0;
  double resumePosition = 0;
  bool resumePlaying = false;
  bool revivable = false;
};
struct StallWatchdog {
  double position = std::numeric_limits<double>::quiet_NaN();
  double since = 0;
};

struct PlayerSessionPorts {
  Scheduler* scheduler = nullptr;
  media::Player* player = nullptr;
  MoviePreparationPort* preparation = nullptr;
  AlertPort* alerts = nullptr;
  StatusLinePort* status = nullptr;
  PlayerSessionViewPort* view = nullptr;
  MovieListPort* movies = nullptr;
  SettingsStore* settings = nullptr;
  EditSession* edit = nullptr;
  // True while an export, a clip export or a lossless copy runs. May be empty.
  std::function<bool()> busy;
  // Ends any scrub in progress (drops its timer and pending seeks). May be empty.
  std::function<void()> endScrub;
  // Starts the waveform of the new movie. May be empty.
  std::function<void(std::shared_ptr<media::MediaAsset>, double duration)> startWaveform;
  // The transport's exact seek (source seconds). Required.
  std::function<void(double seconds)> seek;
  // Replaces FileAttributesAtPath (tests). May be empty.
  std::function<std::optional<FileAttributes>(const std::string& path)> fileAttributes;
};

class PlayerSession {
 public:
  explicit PlayerSession(PlayerSessionPorts ports);
  ~PlayerSession();
  PlayerSession(const PlayerSession&) = delete;
  PlayerSession& operator=(const PlayerSession&) = delete;

  // Opens the movie at `address` (path, file URL or Larder handoff link).
  // Returns at once; the open completes later. Other addresses are ignored.
  void openURL(const std::string& address);
  void openURL(const MovieURL& url);

  // A new item for the open asset (null without one).
  std::shared_ptr<media::PlayerItem> playerItemForCurrentAsset();
  // Makes `item` current and observed and restarts the open deadline.
  void installPlayerItem(std::shared_ptr<media::PlayerItem> item);
  // Restarts the 20-second open deadline for `item` (stops it for null).
  void armPrepareDeadlineForItem(const std::shared_ptr<media::PlayerItem>& item);

  // A playback failure of `item` (failed status, failure after ready, or
  // the deadline). Goes to the failure handler when one is set, else the
  // error is presented. A null error stands for "the player stopped
  // responding".
  void handlePlaybackFailure(const std::optional<Error>& error, const std::shared_ptr<media::PlayerItem>& item);
  using FailureHandler =
      std::function<void(const std::optional<Error>&, const std::shared_ptr<media::PlayerItem>&)>;
  void setFailureHandler(FailureHandler handler) { failureHandler_ = std::move(handler); }
  // Called when an item becomes ready while recovery runs. May be empty.
  void setRecoveryResumeHandler(std::function<void()> handler) { recoveryResume_ = std::move(handler); }

  // Shows the error as an alert and puts its message on the status line.
  void presentError(const Error& error);

  // ---- State ---------------------------------------------------------
  const std::optional<MovieURL>& sourceURL() const { return _sourceURL; }
  const std::string& sourceIdentityKey() const { return _sourceIdentityKey; }
  const std::shared_ptr<media::MediaAsset>& asset() const { return _asset; }
  const std::shared_ptr<MGRangeAssetLoader>& rangeLoader() const { return _rangeLoader; }
  std::uint64_t openGeneration() const { return _openGeneration; }
  const std::shared_ptr<media::PlayerItem>& observedPlayerItem() const { return _observedPlayerItem; }
  double frameDuration() const { return _frameDuration; }
  bool prepareDeadlineArmed() const { return _prepareDeadline.active(); }
  bool playerOpened() const { return _playerOpened; }
  void setPlayerOpened(bool on) { _playerOpened = on; }
  bool playIntent() const { return _playIntent; }
  void setPlayIntent(bool on) { _playIntent = on; }
  PlaybackRecovery& playbackRecovery() { return _playbackRecovery; }
  StallWatchdog& stallWatchdog() { return _stallWatchdog; }
  double lastGrowthSync() const { return _lastGrowthSync; }
  void setLastGrowthSync(double v) { _lastGrowthSync = v; }
  bool isBusy() const { return ports_.busy && ports_.busy(); }
  // Recovery prepared the open movie again (its loader had ended): the new
  // asset and loader replace the old ones, whose loader is invalidated.
  void replaceSource(std::shared_ptr<media::MediaAsset> asset, std::shared_ptr<MGRangeAssetLoader> loader);

  static constexpr double kPrepareDeadlineSeconds = 20.0;

 private:
  void preparationFinished(std::uint64_t generation, const MovieURL& url, PreparedMovie prepared);
  // The accepted request `generation` has not opened within the deadline: a
  // movie that never arrives (a silent range service) ends with error 11.
  void openTimedOut(std::uint64_t generation);
  bool isStaleOpen(std::uint64_t generation) const { return generation != _openGeneration || openAbandoned_; }
  void completeOpen(std::uint64_t generation, const MovieURL& url, PreparedMovie prepared);
  void observeStatus(const std::shared_ptr<media::PlayerItem>& item, media::ItemStatus status);
  std::optional<FileAttributes> attributesAt(const std::string& path) const;
  static void invalidate(const std::shared_ptr<MGRangeAssetLoader>& loader);

  PlayerSessionPorts ports_;
  FailureHandler failureHandler_;
  std::function<void()> recoveryResume_;
  // Completions hold this weakly: once the session is gone they find it
  // expired. Main thread only.
  std::shared_ptr<PlayerSession*> self_;

  std::optional<MovieURL> _sourceURL;
  std::string _sourceIdentityKey;
  std::shared_ptr<media::MediaAsset> _asset;
  std::shared_ptr<MGRangeAssetLoader> _rangeLoader;
  std::uint64_t _openGeneration = 0;
  std::shared_ptr<media::PlayerItem> _observedPlayerItem;
  media::ObserverId statusObserver_ = 0;
  media::ObserverId failureObserver_ = 0;
  double _frameDuration = 0;
  ScopedTask _prepareDeadline;
  // From an accepted open request until its asset has loaded its values:
  // preparation and loading must finish within the open deadline too.
  ScopedTask openDeadline_;
  bool openAbandoned_ = false;
  std::weak_ptr<MGRangeAssetLoader> pendingLoader_;  // the loader of the open being loaded
  CancelPreparation cancelPreparation_;              // the open being prepared
  bool _playerOpened = false;
  bool _playIntent = false;
  PlaybackRecovery _playbackRecovery;
  StallWatchdog _stallWatchdog;
  double _lastGrowthSync = 0;
};

}  // namespace kf
