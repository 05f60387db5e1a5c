// The media engine as the rest of the program sees it: an asset (what a
// movie file contains), a player item (one attempt at playing an asset) and
// the player. Plain C++ with no FFmpeg, libmpv or Qt types, so controllers
// (open flow, recovery, scrubbing, transport) run against scripted fakes in
// their tests. The real ones: FfmpegAsset (platform/ffmpeg) and MpvPlayer
// (platform/mpv).
//
// Threads: every call is made on the main thread, and every completion and
// observer runs on the main thread, posted through the kf::Scheduler the
// object was made with; none runs synchronously inside the call that
// registers it. Completions run exactly once. Times are seconds (double);
// not-a-number stands for "unknown".
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "base/Error.h"
#include "base/Geometry.h"
#include "source/Mp4EditLists.h"

namespace kf {

class MGRangeAssetLoader;

namespace media {

// Errors made by the media adapters themselves; the engines' own errors keep
// their domains ("FFmpeg", "mpv") and codes.
inline constexpr const char* kMediaErrorDomain = "Kerfline.media";

enum class MediaType { Video, Audio, Subtitle, Other };

// A 2-D affine transform [a b 0; c d 0; tx ty 1], applied to row vectors:
// a point (x, y) goes to (a·x + c·y + tx, b·x + d·y + ty).
struct AffineTransform {
  double a = 1, b = 0, c = 0, d = 1, tx = 0, ty = 0;
  bool operator==(const AffineTransform&) const = default;
};

struct TrackInfo {
  MediaType mediaType = MediaType::Other;
  int trackID = 0;                // the container's stream index
  Size naturalSize;               // coded picture size (video), else 0×0
  AffineTransform preferredTransform;  // display rotation (video)
  double nominalFrameRate = 0;    // frames per second; 0 when unknown
  std::string codec;              // short codec name: "h264", "hevc", "aac", ...
  std::string codecTag;           // sample entry code ("avc1", "hvc1"); empty if none
  int channels = 0;               // audio
  int sampleRate = 0;             // audio
};

// The size a track is shown at: its natural size under its transform.
inline Size displaySize(const TrackInfo& t) {
  const double w = t.naturalSize.width, h = t.naturalSize.height;
  const auto& m = t.preferredTransform;
  const double dw = m.a * w + m.c * h, dh = m.b * w + m.d * h;
  return {dw < 0 ? -dw : dw, dh < 0 ? -dh : dh};
}

enum class LoadStatus { Unknown, Loading, Loaded, Failed, Cancelled };

// A movie's contents, loaded once, asynchronously.
class MediaAsset {
 public:
  virtual ~MediaAsset() = default;

  // What the player opens: a file path, or a "kerfline-range:" URL served
  // by resourceLoader().
  virtual std::string url() const = 0;
  // The loader serving a custom-scheme asset's bytes; null for files.
  virtual std::shared_ptr<MGRangeAssetLoader> resourceLoader() const = 0;

  // Loads "playable", "duration" (precise) and the tracks. `completion`
  // runs once on the main thread when loading has ended (loaded or failed).
  // Calling it again after loading has ended runs the new completion (posted)
  // without loading again.
  virtual void loadValuesAsynchronously(std::function<void()> completion) = 0;
  virtual LoadStatus loadStatus() const = 0;
  // Set when loadStatus() is Failed.
  virtual std::optional<Error> loadError() const = 0;

  // Valid once loaded: whether some track can be decoded, the duration in
  // seconds (0 for a movie without samples), the tracks in file order.
  virtual bool isPlayable() const = 0;
  virtual double duration() const = 0;
  virtual std::vector<TrackInfo> tracks() const = 0;
  // Valid once loaded: for a movie whose edit lists have several entries,
  // the spans of each track's media to present one after another (see
  // source/Mp4EditLists.h); no timeline when the movie plays as stored.
  virtual PresentationPlan presentationPlan() const { return {}; }

  std::vector<TrackInfo> tracksWithMediaType(MediaType type) const {
    std::vector<TrackInfo> out;
    for (auto& t : tracks())
      if (t.mediaType == type) out.push_back(t);
    return out;
  }
};

enum class ItemStatus { Unknown, ReadyToPlay, Failed };

using ObserverId = std::uint64_t;

// One attempt at playing an asset. Made by Player::makePlayerItem; starts
// loading when it becomes the player's current item.
class PlayerItem {
 public:
  virtual ~PlayerItem() = default;

  virtual std::shared_ptr<MediaAsset> asset() const = 0;
  // Unknown until the engine has opened the movie, then ReadyToPlay; Failed
  // when it could not be opened (error() says why). A failure after
  // ReadyToPlay does not change the status: it is reported once through the
  // failed-to-play-to-end observers.
  virtual ItemStatus status() const = 0;
  virtual std::optional<Error> error() const = 0;
  // Seconds as the engine knows it (may grow for a growing file); NaN
  // before it is known.
  virtual double duration() const = 0;

  // Runs `observer` with the new status on every change, and once with the
  // current status (posted) when added.
  virtual ObserverId addStatusObserver(std::function<void(ItemStatus)> observer) = 0;
  // Runs `observer` when playback fails after the item was ready (e.g. a
  // served movie's bytes stop arriving), with the error.
  virtual ObserverId addFailedToPlayToEndObserver(std::function<void(const Error&)> observer) = 0;
  virtual void removeObserver(ObserverId id) = 0;

  // Ends every pending seek on this item; their completions run with
  // finished = false.
  virtual void cancelPendingSeeks() = 0;

  // Shows the picture brightened or darkened by `stops` (exposure value;
  // 0 shows it untouched) with the export's linear-light curve. Applies to
  // what is shown, not to the frame tap, from the next picture on; the item
  // keeps the value across replacement.
  virtual void setExposurePreview(double stops) = 0;
  virtual double exposurePreview() const = 0;
};

// One decoded picture, 32-bit BGRA (bytes B, G, R, A; alpha undefined).
struct VideoFrame {
  int width = 0;
  int height = 0;
  int stride = 0;  // bytes per row
  std::vector<std::uint8_t> bgra;
  double time = 0;  // item time in seconds of the picture shown
};

class Player {
 public:
  virtual ~Player() = default;

  // A new item for `asset`; it does nothing until it is made current.
  virtual std::shared_ptr<PlayerItem> makePlayerItem(std::shared_ptr<MediaAsset> asset) = 0;
  // Stops the current item (its pending seeks finish with false) and starts
  // loading `item` (null: no item). The rate is kept.
  virtual void replaceCurrentItem(std::shared_ptr<PlayerItem> item) = 0;
  virtual std::shared_ptr<PlayerItem> currentItem() const = 0;

  // play() is setRate(1); pause() is setRate(0). rate() is 0 while paused
  // (also after playback stopped at the end of the movie).
  virtual void play() = 0;
  virtual void pause() = 0;
  virtual double rate() const = 0;
  virtual void setRate(double rate) = 0;
  // Linear gain 0..1.
  virtual double volume() const = 0;
  virtual void setVolume(double volume) = 0;
  virtual bool isMuted() const = 0;
  virtual void setMuted(bool muted) = 0;

  // Seconds; right after a seek, its target. NaN without an item.
  virtual double currentTime() const = 0;

  // Seeks the current item to `time`. Zero tolerances give the exact frame;
  // any tolerance lets the engine show a nearby easily decoded frame (a
  // keyframe). A seek issued before the item is ready waits for it. The
  // completion runs once: finished = true when the picture at the new
  // position is shown; false when the seek was overtaken by a later seek,
  // cancelled, failed, or the item was replaced.
  virtual void seekToTime(double time, double toleranceBefore, double toleranceAfter,
                          std::function<void(bool finished)> completion = {}) = 0;

  // Calls `observer` with the current time every `interval` seconds until it
  // is removed.
  virtual ObserverId addPeriodicTimeObserver(double interval, std::function<void(double time)> observer) = 0;
  virtual void removeTimeObserver(ObserverId id) = 0;

  // Calls `observer` (posted) after the playback state changed, whoever
  // changed it: the rate (play(), pause(), setRate(), or the engine stopping
  // by itself at the end of the movie) or the current item's duration (a
  // growing file). Several changes may be reported by one call. Removed with
  // removeTimeObserver.
  virtual ObserverId addPlaybackStateObserver(std::function<void()> observer) = 0;

  // The frame tap: the picture being shown as decoded (without the
  // exposure preview), when there is one. Blocks the calling thread briefly
  // (the engine copies the frame); any thread.
  virtual std::optional<VideoFrame> copyDisplayedFrame() = 0;
};

}  // namespace media
}  // namespace kf
