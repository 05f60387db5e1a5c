// The media asset over libavformat: probes a movie file, or a served movie
// through its range loader, on a worker thread, and reports playable,
// duration and tracks (see MediaPorts.h for the contract).
//
// Ownership: always held by shared_ptr (make with create/createServed). The
// probe runs on a thread owned by the asset; destroying the asset cancels
// the probe's I/O and waits for the thread, and completions not yet run are
// dropped.
// Threads: main thread for every call but beginLoading (see there); the
// completion is posted through the scheduler given at creation, which must
// outlive the asset.
// Errors: a file that cannot be opened or probed fails with FFmpeg's error
// (domain "FFmpeg"); a served movie whose bytes could not be read fails with
// the loader's error instead.
#pragma once

#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "base/Scheduler.h"
#include "platform/MediaPorts.h"
#include "source/MGByteCapture.h"

namespace kf::ff {

class FfmpegAsset final : public media::MediaAsset, public std::enable_shared_from_this<FfmpegAsset> {
 public:
  // A local file. `source` is the file as the preparation read it
  // (MGPreparation::source): the probe reads through it, so what was read
  // already comes from memory; null: the probe opens the file itself.
  static std::shared_ptr<FfmpegAsset> create(std::string path, Scheduler& scheduler,
                                             std::shared_ptr<MGCapturingRangeService> source = nullptr);
  // A "kerfline-range:" asset whose bytes come from `loader`. `source`, when
  // the loader reads through it, stops recording once the probe has opened
  // the movie.
  static std::shared_ptr<FfmpegAsset> createServed(std::string url, std::shared_ptr<MGRangeAssetLoader> loader,
                                                   Scheduler& scheduler,
                                                   std::shared_ptr<MGCapturingRangeService> source = nullptr);
  ~FfmpegAsset() override;

  std::string url() const override { return url_; }
  std::shared_ptr<MGRangeAssetLoader> resourceLoader() const override { return loader_; }
  void loadValuesAsynchronously(std::function<void()> completion) override;
  // Begins the probe now, without a completion (loadValuesAsynchronously
  // adds one later). The one call that may come from another thread: the
  // thread that made the asset, before it hands the asset to the main
  // thread, so the probe need not wait for the main thread to be free.
  void beginLoading();
  media::LoadStatus loadStatus() const override { return status_; }
  std::optional<Error> loadError() const override { return error_; }
  bool isPlayable() const override { return playable_; }
  double duration() const override { return duration_; }
  std::vector<media::TrackInfo> tracks() const override { return tracks_; }
  PresentationPlan presentationPlan() const override { return plan_; }

  struct Probe;  // the worker's result

 private:
  FfmpegAsset(std::string url, std::shared_ptr<MGRangeAssetLoader> loader, Scheduler& scheduler,
              std::shared_ptr<MGCapturingRangeService> source);
  void finish(Probe probe);
  void startWorker();

  const std::string url_;
  const std::shared_ptr<MGRangeAssetLoader> loader_;
  std::shared_ptr<MGCapturingRangeService> source_;  // until the probe has run
  Scheduler& scheduler_;
  // Main thread only.
  media::LoadStatus status_ = media::LoadStatus::Unknown;
  std::optional<Error> error_;
  bool playable_ = false;
  double duration_ = 0;
  std::vector<media::TrackInfo> tracks_;
  PresentationPlan plan_;
  std::vector<std::function<void()>> completions_;
  // Shared with the worker: set to stop its I/O early.
  std::shared_ptr<struct ProbeControl> control_;
  std::thread worker_;
};

// Probes synchronously on the calling thread (the worker's body). For tools
// and tests; `loader` may be null for a plain file, `source` as for the
// asset.
struct ProbeResult {
  bool playable = false;
  double duration = 0;
  std::vector<media::TrackInfo> tracks;
  PresentationPlan plan;
};
Result<ProbeResult> probeMovie(const std::string& path, const std::shared_ptr<MGRangeAssetLoader>& loader,
                               const std::shared_ptr<MGCapturingRangeService>& source = nullptr);

}  // namespace kf::ff
