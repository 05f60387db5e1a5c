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
// Begins preparing `url` now (at launch: the movie named on the command line,
// while the player starts and the window is built) and returns a preparer
// that hands this preparation, finished or not, to the first request for
// the same movie; every other request goes to `prepare`. A result never
// claimed is let go (its loader ended) with the preparer.
MGAppDelegate::Preparer MGPrepareAhead(MGAppDelegate::Preparer prepare, const kf::MovieURL& url);
MGAppDelegate::ExportSessionsForAsset MGMakeExportSessions();
