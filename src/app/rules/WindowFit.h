// Window sizes derived from the picture: the two-step zoom command and the
// fitted size of a movie that has no remembered window frame.
//
// Pure arithmetic in points. "Content size" is the window's content area
// (the toolkit adds its frame). Visible frame = the screen's area not taken
// by panels and docks. Any thread.
#pragma once

#include <optional>

#include "base/Geometry.h"

namespace kf {

// Content size of a fresh window, and the window's minimum size.
inline constexpr Size kInitialContentSize{980, 700};
inline constexpr Size kWindowMinimumSize{820, 640};
// Height of the window's parts other than the picture (top inset, timeline,
// transport and footer with their overlaps).
inline constexpr double kPictureAllowance = 246;
// Smallest content size the zoom and fit set.
inline constexpr Size kMinimumContentSize{640, 480};
// Share of the visible frame the zoom and the fit may use.
inline constexpr double kZoomScreenShare = 0.92;
inline constexpr double kFitScreenShare = 0.9;

// Preferred transform of a video track: x' = a x + c y, y' = b x + d y.
struct PictureTransform {
  double a = 1, b = 0, c = 0, d = 1;
};

// The displayed size of a natural size under a transform:
// (|a w + c h|, |b w + d h|). A 90-degree rotation swaps the sides.
Size DisplayedPictureSize(Size natural, PictureTransform t = {});

// The backing scale to divide pixels by: max(scale, 1), or 1 when that is
// not a normal finite number.
double EffectiveBackingScale(double backingScale);

// The picture's size in points: pixels / EffectiveBackingScale, each side 0
// when not finite.
Size PictureSizeInPoints(Size pixels, double backingScale);

// Content size after the zoom command ("1×/2×"): the natural size when the
// window is at least 1.5 times the picture's width, else twice it, either way
// capped to 92 % of the visible frame (with the allowance), then at least
// 640 × 480: width max(W·f, 640), height max(H·f + 246, 480) with
// f = min((vh·0.92 − 246)/H, vw·0.92/W, target). nullopt when the picture
// has no area (the command then does nothing).
std::optional<Size> ZoomedContentSize(Size picturePoints, Size visibleFrame, double currentContentWidth);

// Content size for a movie without a remembered frame: as the zoom, but
// within 90 % of the visible frame and never above the natural size
// (f = min((vh·0.9 − 246)/H, vw·0.9/W, 1)). nullopt when the picture has no
// area (the window then keeps its size).
std::optional<Size> FittedContentSize(Size picturePoints, Size visibleFrame);

// Whether a remembered frame may be restored: at least the minimum size.
bool IsRestorableFrame(const Rect& frame);

// A frame of the given size centred in the visible frame.
Rect CenteredFrame(Size size, const Rect& visibleFrame);

}  // namespace kf
