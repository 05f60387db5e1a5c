#include "analysis/WaveformExtractor.h"

#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <condition_variable>
#include <mutex>
#include <utility>

namespace kf {

namespace {
constexpr int kWorkerNiceness = 10;
}  // namespace

std::optional<int> WaveformBucket(double time, double duration) {
  if (!std::isfinite(time) || !(duration > 0) || !std::isfinite(duration)) return std::nullopt;
  const double index = std::floor(time / duration * kWaveformBuckets);
  if (!(index > 0)) return 0;  // negative times (priming before zero) go to the first bucket
  if (index >= kWaveformBuckets - 1) return kWaveformBuckets - 1;
  return static_cast<int>(index);
}

float PeakOfSamples(const float* samples, std::size_t count) {
  float peak = 0;
  // fmax ignores not-a-number operands; the loop vectorises.
  for (std::size_t i = 0; i < count; ++i) peak = std::fmax(peak, std::fabs(samples[i]));
  return peak;
}

// State shared by the extractor, its workers and the results in flight.
struct WaveformExtractor::Shared {
  std::atomic<std::uint64_t> generation{0};
  std::atomic<bool> paused{false};
  std::atomic<std::uint64_t> buffers{0};  // of the newest extraction
  std::atomic<std::uint64_t> finished{0};  // the newest generation whose worker has ended
  // Wakes paused workers when the flag clears or the generation moves.
  std::mutex mu;
  std::condition_variable wake;
  // Main thread only.
  std::function<void(const std::vector<float>&)> setWaveform;
  std::function<void()> redraw;
};

WaveformExtractor::WaveformExtractor(WaveformPorts ports) : ports_(std::move(ports)), shared_(std::make_shared<Shared>()) {
  shared_->setWaveform = ports_.setWaveform;
  shared_->redraw = ports_.redraw;
}

WaveformExtractor::~WaveformExtractor() {
  {
    std::lock_guard<std::mutex> lock(shared_->mu);
    shared_->generation.fetch_add(1);
  }
  shared_->wake.notify_all();
  for (auto& w : workers_) w.thread.join();
}

void WaveformExtractor::setPaused(bool paused) {
  {
    std::lock_guard<std::mutex> lock(shared_->mu);
    shared_->paused = paused;
  }
  if (!paused) shared_->wake.notify_all();
}

bool WaveformExtractor::paused() const { return shared_->paused; }
std::uint64_t WaveformExtractor::generation() const { return shared_->generation; }
std::uint64_t WaveformExtractor::buffersMeasured() const { return shared_->buffers; }
bool WaveformExtractor::finished() const { return shared_->finished == shared_->generation; }

void WaveformExtractor::reapFinishedWorkers() {
  for (auto it = workers_.begin(); it != workers_.end();) {
    if (*it->finished) {
      it->thread.join();
      it = workers_.erase(it);
    } else {
      ++it;
    }
  }
}

void WaveformExtractor::startWaveformForAsset(std::shared_ptr<media::MediaAsset> asset, double duration) {
  reapFinishedWorkers();
  std::uint64_t g = 0;
  {
    std::lock_guard<std::mutex> lock(shared_->mu);
    shared_->paused = false;
    g = shared_->generation.fetch_add(1) + 1;
    shared_->buffers = 0;
  }
  shared_->wake.notify_all();  // older paused workers wake up and stop
  if (ports_.redraw) ports_.redraw();
  if (!asset || !ports_.openReader || !ports_.scheduler) {
    shared_->finished = g;
    return;
  }
  auto finished = std::make_shared<std::atomic<bool>>(false);
  std::thread t([shared = shared_, scheduler = ports_.scheduler, open = ports_.openReader, asset = std::move(asset),
                 duration, g, finished] {
    // Background work: where cores are few it yields to the player's
    // decoding and drawing (the first picture of a movie just opened) rather
    // than delaying them. Only this thread (and the decoder threads it
    // starts) is lowered.
    (void)::setpriority(PRIO_PROCESS, static_cast<id_t>(::syscall(SYS_gettid)), kWorkerNiceness);
    run(shared, scheduler, open, asset, duration, g);
    std::uint64_t before = shared->finished;
    while (before < g && !shared->finished.compare_exchange_weak(before, g)) {
    }
    *finished = true;
  });
  workers_.push_back(Worker{std::move(t), std::move(finished)});
}

void WaveformExtractor::run(std::shared_ptr<Shared> shared, Scheduler* scheduler, AudioReaderOpener open,
                            std::shared_ptr<media::MediaAsset> asset, double duration, std::uint64_t g) {
  std::unique_ptr<AudioBufferReader> reader = open(asset);
  if (!reader) return;
  std::weak_ptr<Shared> weak = shared;
  auto deliver = [&](std::shared_ptr<const std::vector<float>> peaks) {
    scheduler->post([weak, peaks = std::move(peaks), g] {
      auto s = weak.lock();
      if (!s || s->generation != g) return;
      if (s->setWaveform) s->setWaveform(*peaks);
      if (s->redraw) s->redraw();
    });
  };
  std::vector<float> waveform(kWaveformBuckets, 0.0f);
  std::uint64_t count = 0;
  while (true) {
    if (shared->generation != g) break;
    if (shared->paused) {
      std::unique_lock<std::mutex> lock(shared->mu);
      shared->wake.wait(lock, [&] { return !shared->paused || shared->generation != g; });
      continue;
    }
    AudioBufferView buffer;
    if (!reader->next(buffer)) break;
    const float peak = buffer.samples ? PeakOfSamples(buffer.samples, buffer.count) : 0.0f;
    if (auto index = WaveformBucket(buffer.time, duration)) {
      float& bucket = waveform[static_cast<std::size_t>(*index)];
      bucket = std::max(bucket, peak);
    }
    ++count;
    if (shared->generation == g) shared->buffers = count;
    if (count % kWaveformPublishInterval == 0) deliver(std::make_shared<const std::vector<float>>(waveform));
  }
  reader.reset();
  deliver(std::make_shared<const std::vector<float>>(std::move(waveform)));
}

}  // namespace kf
