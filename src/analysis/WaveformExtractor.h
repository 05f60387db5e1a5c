// The loudness envelope drawn under the timeline: the peaks of the movie's
// first audio track in 2,400 buckets spread evenly over its duration.
//
// Each start runs one worker thread that decodes the track (32-bit float,
// the track's own rate and channels) and puts each decoded buffer's peak
// into the bucket of the buffer's start time. Every 80 buffers it hands a
// copy of the buckets so far to the main thread, and its own vector when the
// track ends or reading fails. A start takes a new generation: older workers
// stop at their next buffer and results of older generations are dropped on
// arrival, so only the newest movie's envelope reaches the timeline. A movie
// without a readable audio track delivers nothing (the timeline keeps what
// it had). While paused (a scrub is running) the worker decodes nothing and
// waits without spinning; resuming continues where it stopped.
//
// Ownership: the extractor owns its workers; the destructor stops them,
// waits for them and drops their pending results. The ports must outlive
// it.
// Threads: main thread only, except setPaused(), paused() and generation(),
// which any thread may call. The reader opener and the readers run on the
// worker threads; deliveries run on the main thread through the scheduler.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <limits>
#include <memory>
#include <optional>
#include <thread>
#include <vector>

#include "base/Scheduler.h"
#include "platform/MediaPorts.h"

namespace kf {

inline constexpr int kWaveformBuckets = 2400;
inline constexpr int kWaveformPublishInterval = 80;  // buffers between partial results

// The bucket of a buffer that starts at `time` seconds in a movie of
// `duration` seconds: floor(time / duration × 2400) limited to 0 … 2399;
// nullopt when the time is not finite or the duration is not positive.
std::optional<int> WaveformBucket(double time, double duration);
// The largest absolute value of the samples; 0 for none. Not-a-number
// samples count as silence.
float PeakOfSamples(const float* samples, std::size_t count);

// One decoded buffer: interleaved 32-bit float samples of every channel and
// the presentation time of its first sample in seconds of the movie.
struct AudioBufferView {
  const float* samples = nullptr;
  std::size_t count = 0;  // samples of all channels together
  double time = std::numeric_limits<double>::quiet_NaN();
};

// Decodes one audio track buffer by buffer. Used by one thread at a time.
class AudioBufferReader {
 public:
  virtual ~AudioBufferReader() = default;
  // The next buffer; false at the end of the track or when reading fails.
  // The view stays valid until the next call.
  virtual bool next(AudioBufferView& buffer) = 0;
};

// Opens the first audio track of the asset for decoding; null when it has
// none or it cannot be read. Runs on the worker thread.
using AudioReaderOpener =
    std::function<std::unique_ptr<AudioBufferReader>(const std::shared_ptr<media::MediaAsset>& asset)>;

struct WaveformPorts {
  Scheduler* scheduler = nullptr;
  AudioReaderOpener openReader;
  // Gives the timeline its copy of the peaks (main thread).
  std::function<void(const std::vector<float>& peaks)> setWaveform;
  // Asks the timeline to redraw (main thread).
  std::function<void()> redraw;
};

class WaveformExtractor {
 public:
  explicit WaveformExtractor(WaveformPorts ports);
  ~WaveformExtractor();
  WaveformExtractor(const WaveformExtractor&) = delete;
  WaveformExtractor& operator=(const WaveformExtractor&) = delete;

  // Clears the paused flag and starts the envelope of `asset` (`duration`
  // seconds) in the background; returns at once. Asks the timeline to
  // redraw.
  void startWaveformForAsset(std::shared_ptr<media::MediaAsset> asset, double duration);
  // Holds (true) or releases (false) the running extraction; a scrub sets it
  // while it runs.
  void setPaused(bool paused);
  bool paused() const;
  // The number of the newest extraction (0 before the first).
  std::uint64_t generation() const;
  // Buffers the newest extraction has measured so far (for tests and
  // diagnostics).
  std::uint64_t buffersMeasured() const;
  // Whether the newest extraction's worker has ended (its final result is
  // on its way to the main thread, or it delivered nothing).
  bool finished() const;

 private:
  struct Shared;
  struct Worker {
    std::thread thread;
    std::shared_ptr<std::atomic<bool>> finished;
  };

  void reapFinishedWorkers();
  static void run(std::shared_ptr<Shared> shared, Scheduler* scheduler, AudioReaderOpener open,
                  std::shared_ptr<media::MediaAsset> asset, double duration, std::uint64_t generation);

  WaveformPorts ports_;
  std::shared_ptr<Shared> shared_;
  std::vector<Worker> workers_;
};

}  // namespace kf
