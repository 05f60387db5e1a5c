#include "app/shell/MGMediaServices.h"

#include "platform/export/FfmpegExportSession.h"
#include "platform/ffmpeg/FfmpegAsset.h"
#include "source/MGPrepareRangeAsset.h"
#include "source/MGURL.h"

MGAppDelegate::Preparer MGMakeMoviePreparer(kf::Scheduler& scheduler) {
  return [&scheduler](const kf::MovieURL& url, std::function<void(kf::PreparedMovie)> completion) {
    const std::string address = url.isFile() ? kf::MGFileURLFromPath(url.text) : url.text;
    return kf::MGPrepareRangeAssetForURL(address, scheduler, [&scheduler, completion](kf::MGPreparation p) {
      kf::PreparedMovie out;
      out.loader = p.loader;
      out.servedByLarder = p.servedByLarder;
      out.error = p.error;
      if (p.asset) {
        if (p.asset->served())
          out.asset = kf::ff::FfmpegAsset::createServed(p.asset->url, p.loader, scheduler, p.source);
        else
          out.asset = kf::ff::FfmpegAsset::create(p.asset->filePath, scheduler, p.source);
      }
      completion(std::move(out));
    });
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
