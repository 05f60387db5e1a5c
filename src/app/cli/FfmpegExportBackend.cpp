#include "app/cli/FfmpegExportBackend.h"

extern "C" {
#include <libavutil/log.h>
}

#include "platform/export/FfmpegExportSession.h"

namespace kf {
namespace {

class FfmpegExportBackend final : public ExportBackend {
 public:
  // The command line reports failures itself; FFmpeg's own log stays quiet.
  FfmpegExportBackend() { av_log_set_level(AV_LOG_FATAL); }

  Result<BackendSource> openSource(const std::string& path) override {
    auto checked = OpenCheckedSource(path);
    if (!checked) return checked.error();
    BackendSource source;
    source.duration = checked->duration;
    source.codecs = checked->codecs;
    source.sessions = std::make_unique<FfmpegExportSessionFactory>(checked->input);
    return source;
  }
};

}  // namespace

ExportBackend& FfmpegBackend() {
  static FfmpegExportBackend backend;
  return backend;
}

ExportBackendLoader LinkedFfmpegBackend() {
  return []() -> Result<ExportBackend*> { return &FfmpegBackend(); };
}

}  // namespace kf
