// The main window's geometry as a function of its content size and mode.
//
// The bands are laid out from the bottom: the footer (36 points) at the
// bottom edge; the transport (62) with its bottom edge 8 points below the
// footer's top; the timeline (100, inset 28 at both sides) with its bottom
// edge 8 points below the transport's top; the picture (inset 24 at the top
// and both sides) down to 8 points below the timeline's top. Each lower band
// thus lies over the bottom 8 points of the band above it. Hidden bands have
// height 0 and keep their place in that chain, so with the editor hidden the
// picture reaches 24 points below the window's bottom edge. In full screen
// the picture fills the content and the transport (still 62 high) lies over
// its bottom.
//
// Pure arithmetic in points, origin top-left, y down. Any thread.
#pragma once

#include "base/Geometry.h"

namespace kf {

struct WindowLayout {
  Rect player;     // the picture; the overlay lies exactly over it
  Rect timeline;
  Rect transport;
  Rect footer;
  Rect footprint;  // the footprint readout, top right
  Rect progress;   // the export progress bar along the footer's top
  bool timelineHidden = false;
  bool transportHidden = false;
  bool footerHidden = false;
  bool footprintHidden = false;
  bool exposureHidden = false;   // the exposure buttons and their divider
  bool mediaInfoHidden = false;
};

inline constexpr double kPlayerInset = 24;
inline constexpr double kTimelineInset = 28;
inline constexpr double kTimelineHeight = 100;
inline constexpr double kTransportHeight = 62;
inline constexpr double kFooterHeight = 36;
inline constexpr double kBandOverlap = 8;
inline constexpr double kExposureMinWidth = 1180;
inline constexpr double kMediaInfoMinWidth = 900;

WindowLayout ComputeWindowLayout(Size content, bool editorVisible, bool fullScreen);

}  // namespace kf
