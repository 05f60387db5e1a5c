#include "app/shell/MGMediaServices.h"

#include <mutex>
#include <optional>
#include <utility>

#include "platform/export/FfmpegExportSession.h"
#include "platform/ffmpeg/FfmpegAsset.h"
#include "source/MGPrepareRangeAsset.h"
#include "source/MGRangeAssetLoader.h"
#include "source/MGURL.h"

MGAppDelegate::Preparer MGMakeMoviePreparer(kf::Scheduler& scheduler) {
  return [&scheduler](const kf::MovieURL& url, std::function<void(kf::PreparedMovie)> completion) {
    const std::string address = url.isFile() ? kf::MGFileURLFromPath(url.text) : url.text;
    // The asset is made, and its probe begun, on the preparation's thread as
    // soon as the source is ready: the probe does not wait for the main
    // thread (at launch, busy building the window).
    auto made = std::make_shared<std::shared_ptr<kf::ff::FfmpegAsset>>();
    kf::MGPreparationOptions options;
    options.prepared = [&scheduler, made](const kf::MGPreparation& p) {
      if (p.asset->served())
        *made = kf::ff::FfmpegAsset::createServed(p.asset->url, p.loader, scheduler, p.source);
      else
        *made = kf::ff::FfmpegAsset::create(p.asset->filePath, scheduler, p.source);
      (*made)->beginLoading();
    };
    return kf::MGPrepareRangeAssetForURL(
        address, scheduler,
        [completion, made](kf::MGPreparation p) {
          kf::PreparedMovie out;
          out.loader = p.loader;
          out.servedByLarder = p.servedByLarder;
          out.error = p.error;
          if (p.asset) out.asset = std::move(*made);
          completion(std::move(out));
        },
        std::move(options));
  };
}

namespace {

// The preparation begun ahead of its request, and who waits for it.
struct PreparedAhead {
  explicit PreparedAhead(kf::MovieURL u) : url(std::move(u)) {}
  ~PreparedAhead() {
    // Never handed over: a loader serves nobody.
    if (result && result->loader) result->loader->invalidateWithError(std::nullopt);
  }
  const kf::MovieURL url;
  std::mutex mu;  // guards the members below
  bool claimed = false;
  std::optional<kf::PreparedMovie> result;             // arrived before its request
  std::function<void(kf::PreparedMovie)> completion;  // the request, waiting for it
  kf::CancelPreparation cancel;
};

}  // namespace

MGAppDelegate::Preparer MGPrepareAhead(MGAppDelegate::Preparer prepare, const kf::MovieURL& url) {
  auto ahead = std::make_shared<PreparedAhead>(url);
  kf::CancelPreparation cancel = prepare(url, [ahead](kf::PreparedMovie prepared) {
    std::function<void(kf::PreparedMovie)> completion;
    {
      std::lock_guard<std::mutex> lock(ahead->mu);
      if (!ahead->completion) {
        ahead->result = std::move(prepared);
        return;
      }
      completion = std::move(ahead->completion);
      ahead->completion = nullptr;
    }
    completion(std::move(prepared));
  });
  {
    std::lock_guard<std::mutex> lock(ahead->mu);
    ahead->cancel = std::move(cancel);
  }
  return [prepare = std::move(prepare), ahead](const kf::MovieURL& requested,
                                               std::function<void(kf::PreparedMovie)> completion) {
    std::optional<kf::PreparedMovie> ready;
    {
      std::lock_guard<std::mutex> lock(ahead->mu);
      const bool mine = !ahead->claimed && requested == ahead->url;
      if (mine) {
        ahead->claimed = true;
        if (!ahead->result) {
          ahead->completion = std::move(completion);
          return std::exchange(ahead->cancel, nullptr);
        }
        ready = std::move(ahead->result);
        ahead->result.reset();
      }
    }
    if (!ready) return prepare(requested, std::move(completion));
    completion(std::move(*ready));
    return kf::CancelPreparation{};
  };
}

MGAppDelegate::ExportSessionsForAsset MGMakeExportSessions() {
  return [](const std::shared_ptr<kf::media::MediaAsset>& asset) -> std::shared_ptr<kf::ExportSessionFactory> {
    // A served movie is read as the player reads it: through its loader.
    if (asset->resourceLoader())
      return std::make_shared<kf::FfmpegExportSessionFactory>(kf::OpenServed(asset->url(), asset->resourceLoader()));
    return std::make_shared<kf::FfmpegExportSessionFactory>(kf::OpenPath(asset->url()));
  };
}
