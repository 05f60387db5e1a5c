// The media services the window is built with in the shipped program: movie
// preparation (local files, served movies and Larder links, through
// MGPrepareRangeAssetForURL) giving FFmpeg assets, and FFmpeg export
// sessions over the open movie. Shared by `main` and the end-to-end tests,
// so that both run the same parts.
//
// Main thread; the scheduler must outlive the functions returned.
#pragma once

#include "app/shell/MGAppDelegate.h"

MGAppDelegate::Preparer MGMakeMoviePreparer(kf::Scheduler& scheduler);
MGAppDelegate::ExportSessionsForAsset MGMakeExportSessions();
