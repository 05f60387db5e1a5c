// The export sessions of the window: a factory that makes sessions over the
// open movie's asset, switched by the main thread when another movie is
// exported.
//
// Threads: makeSession may be called from any thread (clip workers ask for
// their sessions on their own threads); use() on the main thread only, and
// only while no export runs.
#pragma once

#include <functional>
#include <memory>
#include <mutex>

#include "export/plan/ExportSessionPort.h"
#include "platform/MediaPorts.h"

// Export sessions over the open movie. Clip workers ask for sessions on
// their own threads; the main thread switches the movie only while no
// export runs.
class MGExportSessions final : public kf::ExportSessionFactory {
 public:
  std::unique_ptr<kf::ExportSessionPort> makeSession(const kf::ExportRequest& request) override {
    std::shared_ptr<kf::ExportSessionFactory> factory;
    {
      std::lock_guard<std::mutex> lock(mutex_);
      factory = factory_;
    }
    return factory ? factory->makeSession(request) : nullptr;
  }
  // Main thread.
  void use(const std::shared_ptr<kf::media::MediaAsset>& asset, const std::function<std::shared_ptr<kf::ExportSessionFactory>(const std::shared_ptr<kf::media::MediaAsset>&)>& make) {
    if (asset.get() == asset_) return;
    asset_ = asset.get();
    std::shared_ptr<kf::ExportSessionFactory> factory = asset && make ? make(asset) : nullptr;
    std::lock_guard<std::mutex> lock(mutex_);
    factory_ = std::move(factory);
  }

 private:
  const kf::media::MediaAsset* asset_ = nullptr;  // main thread
  std::mutex mutex_;                               // guards factory_
  std::shared_ptr<kf::ExportSessionFactory> factory_;
};

