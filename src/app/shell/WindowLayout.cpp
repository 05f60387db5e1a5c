#include "app/shell/WindowLayout.h"

namespace kf {

WindowLayout ComputeWindowLayout(Size content, bool editorVisible, bool fullScreen) {
  const double w = content.width, h = content.height;
  WindowLayout l;
  l.timelineHidden = !editorVisible || fullScreen;
  l.transportHidden = !editorVisible;
  l.footerHidden = !editorVisible || fullScreen;
  l.footprintHidden = fullScreen;
  l.exposureHidden = w < kExposureMinWidth;
  l.mediaInfoHidden = w < kMediaInfoMinWidth;

  const double timelineH = (editorVisible && !fullScreen) ? kTimelineHeight : 0;
  const double transportH = editorVisible ? kTransportHeight : 0;
  const double footerH = (editorVisible && !fullScreen) ? kFooterHeight : 0;

  l.footer = {0, h - footerH, w, footerH};
  const double transportBottom = l.footer.y + kBandOverlap;
  l.transport = {0, transportBottom - transportH, w, transportH};
  const double timelineBottom = l.transport.y + kBandOverlap;
  l.timeline = {kTimelineInset, timelineBottom - timelineH, w - 2 * kTimelineInset, timelineH};
  if (fullScreen) {
    l.player = {0, 0, w, h};
  } else {
    const double bottom = l.timeline.y + kBandOverlap;
    l.player = {kPlayerInset, kPlayerInset, w - 2 * kPlayerInset, bottom - kPlayerInset};
  }
  l.footprint = {w - 20 - 430, 5, 430, 15};
  l.progress = {0, l.footer.y, w, 3};
  return l;
}

}  // namespace kf
