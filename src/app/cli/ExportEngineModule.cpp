// The module kerfline-export-engine.so: the export backend on FFmpeg, loaded
// by `kerfline --export` only when an export needs it (see ExportBackend.h).
#include "app/cli/FfmpegExportBackend.h"

extern "C" KERFLINE_MODULE_ENTRY kf::ExportBackend* kerfline_export_backend() { return &kf::FfmpegBackend(); }
