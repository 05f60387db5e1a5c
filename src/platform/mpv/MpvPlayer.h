// The player over libmpv (see MediaPorts.h for the contract it keeps).
//
// One MpvPlayer owns one mpv core. Its current item is mpv's one playlist
// entry: replacing the item is "loadfile … replace". Events from libmpv are
// drained on the main thread: libmpv's wakeup callback does nothing but post
// one drain task to the scheduler.
//
// Options always set: keep-open (the last frame stays at the end, like a
// paused player), idle, start paused (rate 0 until play()), and
// demuxer-lavf-o=advanced_editlist=1, without which libmpv 0.35 shows every
// pre-roll frame of an MP4 edit list. Video and audio outputs are chosen by
// MpvOptions (tests use vo=null, ao=null; the window uses the render API,
// see MpvVideoWidget), as is hardware decoding (libmpv's "hwdec"; which
// decoder runs is observed through "hwdec-current").
//
// Served movies: an asset with a resource loader is opened under the
// "kerfline-range" protocol registered with libmpv's stream callbacks; each
// read of libmpv's demuxer becomes a blocking read through the loader
// (MGBlockingRangeReader, 512 KiB per data request), and libmpv's cancel
// cancels it. libmpv ends a file whose reads fail mid-playback as a normal
// end of file, so the stream records the loader's error and the item
// reports it (failed-to-play-to-end, or status Failed before it was ready)
// when playback reaches that end.
//
// Growing files: libmpv reads a file's index once, when it opens it. When
// playback of a local file reaches its end and the file has grown since, the
// item is reopened at that position (same item, still ready), and its
// duration takes in the new part.
//
// Locale: libmpv refuses to start unless LC_NUMERIC is "C". create() sets
// it; an application must also set it again after constructing
// QApplication, which resets the locale from the environment.
//
// Ownership and threads: held by shared_ptr (create()); main thread only,
// except copyDisplayedFrame(). The scheduler must outlive the player.
// Destroying the player stops playback and destroys the mpv core (a render
// context made on it must be freed first).
#pragma once

#include <limits>

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "base/Scheduler.h"
#include "platform/MediaPorts.h"

struct mpv_handle;
struct mpv_event;

namespace kf::mpv {

struct MpvOptions {
  std::string vo = "null";   // "libmpv" for the render API
  std::string ao = "null";   // "" lets libmpv choose
  // More options, set before the core starts (name, value).
  std::vector<std::pair<std::string, std::string>> extra;
  // libmpv's hardware decoding mode: "no" decodes on the processor;
  // "auto-safe" uses a hardware decoder libmpv knows to be reliable when the
  // machine has one and falls back to the processor silently otherwise.
  std::string hwdec = "no";
};

class MpvPlayerItem;
class ServedStreams;

class MpvPlayer final : public media::Player, public std::enable_shared_from_this<MpvPlayer> {
 public:
  // Fails when libmpv cannot be created or initialised with the options.
  static Result<std::shared_ptr<MpvPlayer>> create(Scheduler& scheduler, const MpvOptions& options = {});
  ~MpvPlayer() override;

  std::shared_ptr<media::PlayerItem> makePlayerItem(std::shared_ptr<media::MediaAsset> asset) override;
  void replaceCurrentItem(std::shared_ptr<media::PlayerItem> item) override;
  std::shared_ptr<media::PlayerItem> currentItem() const override;

  void play() override { setRate(1.0); }
  void pause() override { setRate(0.0); }
  double rate() const override;
  void setRate(double rate) override;
  double volume() const override { return volume_; }
  void setVolume(double volume) override;
  bool isMuted() const override { return muted_; }
  void setMuted(bool muted) override;

  double currentTime() const override;
  void seekToTime(double time, double toleranceBefore, double toleranceAfter,
                  std::function<void(bool finished)> completion = {}) override;

  media::ObserverId addPeriodicTimeObserver(double interval, std::function<void(double)> observer) override;
  void removeTimeObserver(media::ObserverId id) override;
  media::ObserverId addPlaybackStateObserver(std::function<void()> observer) override;

  std::optional<media::VideoFrame> copyDisplayedFrame() override;

  // For the render view and diagnostics.
  mpv_handle* handle() const { return mpv_; }
  // A property of the current file as text ("" when unavailable), e.g.
  // "track-list/0/codec". Synchronous; main thread.
  std::string propertyString(const std::string& name) const;
  // The hardware decoder in use for the current movie's video ("vaapi",
  // "nvdec", ...), "" while the processor decodes it or nothing is decoded.
  const std::string& hardwareDecoder() const { return hardwareDecoder_; }
  // Whether a video decoder runs at all (a movie with video is loaded and
  // its decoder has started).
  bool videoDecoderActive() const { return decoderKnown_; }
  // Called on the main thread whenever the two values above change.
  void setDecoderObserver(std::function<void()> observer) { decoderObserver_ = std::move(observer); }
  // Runs once, just before the first movie is handed to libmpv: a picture
  // view makes its render context there (libmpv's video output needs it
  // when the movie opens). Null: none.
  void setVideoOutputGate(std::function<void()> gate) { outputGate_ = std::move(gate); }

  // Runs the drain of libmpv's event queue now (tests that need events
  // without waiting for the posted drain may call it; harmless otherwise).
  void drainEvents();

  // How the exposure preview is shown. The OpenGL renderer (true) applies
  // it as a user shader in its own pass; otherwise (the software renderer,
  // vo=null) it is a video filter, and the frame tap undoes it so that it
  // still gives the frame as decoded. Off by default; the view's owner turns
  // it on when the picture is drawn with OpenGL.
  void setExposureByShader(bool on);

  // Called by items.
  void cancelPendingSeeks(MpvPlayerItem* item);
  void applyExposure(MpvPlayerItem* item);

 private:
  struct Seek {
    std::uint64_t id = 0;
    std::weak_ptr<MpvPlayerItem> item;
    double target = 0;
    bool exact = true;
    bool sent = false;          // the command has been given to libmpv
    bool acknowledged = false;  // libmpv has run the command
    bool started = false;       // libmpv has begun seeking (after acknowledging)
    std::function<void(bool)> completion;
  };
  struct Wakeup;

  MpvPlayer(Scheduler& scheduler, mpv_handle* handle);
  void handleEvent(const mpv_event& event);
  double exactSeekTarget(double target) const;
  void sendSeek(Seek& seek);
  void finishSeeks(const std::function<bool(const Seek&)>& which, bool finished);
  std::shared_ptr<MpvPlayerItem> itemForEntry(std::int64_t entryId) const;
  void reportServedFailureIfAny(const std::shared_ptr<MpvPlayerItem>& item);
  void checkServedEnd();
  void followGrowth();
  // Sends loadfile for `item`; `start` (seconds) when not at the beginning.
  void load(const std::shared_ptr<MpvPlayerItem>& item, double start);
  // The user shader file for an exposure, written on first use ("" when it
  // cannot be written).
  std::string exposureShaderFile(double stops);
  // Posts one call of the playback-state observers (coalesced).
  void notifyPlaybackState();

  Scheduler& scheduler_;
  mpv_handle* mpv_ = nullptr;
  std::shared_ptr<Wakeup> wakeup_;
  std::shared_ptr<ServedStreams> served_;

  // Main thread only, from here on.
  std::shared_ptr<MpvPlayerItem> current_;
  std::map<std::uint64_t, std::weak_ptr<MpvPlayerItem>> loadReplies_;  // reply id -> item
  std::int64_t playingEntry_ = -1;  // entry of the latest START_FILE
  std::vector<Seek> seeks_;         // pending, oldest first
  std::uint64_t nextId_ = 1;
  std::map<media::ObserverId, ScopedTask> timeObservers_;
  std::map<media::ObserverId, std::function<void()>> stateObservers_;
  bool stateNotifyPosted_ = false;
  double timePos_ = 0;
  double exactSent_ = std::numeric_limits<double>::quiet_NaN();  // the last exact seek as sent to libmpv
  double exactAsked_ = 0;                                           // and as asked for
  bool paused_ = true;
  int pauseSetsInFlight_ = 0;
  double speed_ = 1.0;
  double volume_ = 1.0;
  bool muted_ = false;
  std::string appliedFilter_;  // the video filter chain libmpv was given
  std::string appliedShader_;  // the user shader file libmpv was given ("" none)
  bool exposureByShader_ = false;
  std::function<void()> outputGate_;
  // The exposure the video filter applies, read by the frame tap (any thread).
  std::atomic<double> filterStops_{0};
  // Generated shader files, one per exposure value (libmpv caches a shader
  // file's text by its path); removed with the player.
  std::string shaderDir_;
  std::string hardwareDecoder_;
  bool decoderKnown_ = false;
  std::function<void()> decoderObserver_;
};

}  // namespace kf::mpv
