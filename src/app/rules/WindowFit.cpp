#include "app/rules/WindowFit.h"

#include <algorithm>
#include <cmath>

namespace kf {
namespace {

std::optional<Size> ScaledContentSize(Size picture, Size visible, double share, double cap) {
  const double w = picture.width, h = picture.height;
  if (!(w > 0) || !(h > 0)) return std::nullopt;
  const double factor =
      std::min({(visible.height * share - kPictureAllowance) / h, visible.width * share / w, cap});
  return Size{std::max(w * factor, kMinimumContentSize.width),
              std::max(h * factor + kPictureAllowance, kMinimumContentSize.height)};
}

}  // namespace

Size DisplayedPictureSize(Size natural, PictureTransform t) {
  return {std::fabs(t.a * natural.width + t.c * natural.height),
          std::fabs(t.b * natural.width + t.d * natural.height)};
}

double EffectiveBackingScale(double backingScale) {
  const double s = std::max(backingScale, 1.0);
  return std::isnormal(s) ? s : 1.0;
}

Size PictureSizeInPoints(Size pixels, double backingScale) {
  const double s = EffectiveBackingScale(backingScale);
  const double w = pixels.width / s, h = pixels.height / s;
  return {std::isfinite(w) ? w : 0, std::isfinite(h) ? h : 0};
}

std::optional<Size> ZoomedContentSize(Size picturePoints, Size visibleFrame, double currentContentWidth) {
  const double target = currentContentWidth < 1.5 * picturePoints.width ? 2.0 : 1.0;
  return ScaledContentSize(picturePoints, visibleFrame, kZoomScreenShare, target);
}

std::optional<Size> FittedContentSize(Size picturePoints, Size visibleFrame) {
  return ScaledContentSize(picturePoints, visibleFrame, kFitScreenShare, 1.0);
}

bool IsRestorableFrame(const Rect& frame) {
  return frame.width >= kWindowMinimumSize.width && frame.height >= kWindowMinimumSize.height;
}

Rect CenteredFrame(Size size, const Rect& visibleFrame) {
  return {visibleFrame.x + (visibleFrame.width - size.width) / 2,
          visibleFrame.y + (visibleFrame.height - size.height) / 2, size.width, size.height};
}

}  // namespace kf
