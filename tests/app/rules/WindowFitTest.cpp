#include "app/rules/WindowFit.h"

#include <gtest/gtest.h>

#include <cmath>
#include <limits>

namespace kf {
namespace {

constexpr Size kScreen{1440, 900};

TEST(WindowFit, FittedSizeOfALargeMovieShrinksToTheScreen) {
  const auto size = FittedContentSize(PictureSizeInPoints({1920, 1080}, 1), kScreen);
  ASSERT_TRUE(size);
  // factor = min((810 - 246) / 1080, 1296 / 1920, 1) = 0.5222…
  EXPECT_NEAR(size->width, 1920 * 564.0 / 1080, 1e-9);
  EXPECT_NEAR(size->width, 1002.7, 0.05);
  EXPECT_NEAR(size->height, 810, 1e-9);
}

TEST(WindowFit, FittedSizeNeverEnlargesAndKeepsTheMinimum) {
  auto size = FittedContentSize({640, 360}, kScreen);
  ASSERT_TRUE(size);
  EXPECT_DOUBLE_EQ(size->width, 640);
  EXPECT_DOUBLE_EQ(size->height, 606);
  size = FittedContentSize({320, 180}, kScreen);
  ASSERT_TRUE(size);
  EXPECT_DOUBLE_EQ(size->width, 640);
  EXPECT_DOUBLE_EQ(size->height, 480);
  EXPECT_EQ(FittedContentSize({0, 360}, kScreen), std::nullopt);
  EXPECT_EQ(FittedContentSize({640, 0}, kScreen), std::nullopt);
}

TEST(WindowFit, RotatedTrackSwapsItsSides) {
  const Size shown = DisplayedPictureSize({1920, 1080}, {0, 1, -1, 0});
  EXPECT_DOUBLE_EQ(shown.width, 1080);
  EXPECT_DOUBLE_EQ(shown.height, 1920);
  EXPECT_EQ(DisplayedPictureSize({1920, 1080}), (Size{1920, 1080}));
  EXPECT_EQ(DisplayedPictureSize({1920, 1080}, {-1, 0, 0, -1}), (Size{1920, 1080}));
}

TEST(WindowFit, BackingScale) {
  EXPECT_DOUBLE_EQ(EffectiveBackingScale(2), 2);
  EXPECT_DOUBLE_EQ(EffectiveBackingScale(0.5), 1);
  EXPECT_DOUBLE_EQ(EffectiveBackingScale(std::nan("")), 1);
  EXPECT_DOUBLE_EQ(EffectiveBackingScale(std::numeric_limits<double>::infinity()), 1);
  EXPECT_EQ(PictureSizeInPoints({1920, 1080}, 2), (Size{960, 540}));
  EXPECT_EQ(PictureSizeInPoints({std::numeric_limits<double>::infinity(), 1080}, 1), (Size{0, 1080}));
}

TEST(WindowFit, ZoomOnARetinaScreenIsCappedByTheFit) {
  const Size picture = PictureSizeInPoints({1920, 1080}, 2);  // 960 x 540
  // A window narrower than 1.5 x 960 aims at 2x, capped at
  // min((828 - 246) / 540, 1324.8 / 960) = 1.0778.
  const auto size = ZoomedContentSize(picture, kScreen, 980);
  ASSERT_TRUE(size);
  EXPECT_NEAR(size->width, 960 * 582.0 / 540, 1e-9);
  EXPECT_NEAR(size->width, 1034.7, 0.05);
  EXPECT_NEAR(size->height, 828, 1e-9);
}

TEST(WindowFit, ZoomTogglesBetweenNaturalAndDouble) {
  const Size picture{400, 300};
  Size big{5000, 5000};
  // Narrower than 1.5 x 400 = 600: double size.
  auto size = ZoomedContentSize(picture, big, 599);
  ASSERT_TRUE(size);
  EXPECT_DOUBLE_EQ(size->width, 800);
  EXPECT_DOUBLE_EQ(size->height, 846);
  // At 600 or wider: natural size (with the minimums).
  size = ZoomedContentSize(picture, big, 600);
  ASSERT_TRUE(size);
  EXPECT_DOUBLE_EQ(size->width, 640);
  EXPECT_DOUBLE_EQ(size->height, 546);
  EXPECT_EQ(ZoomedContentSize({0, 0}, big, 600), std::nullopt);
  // Zoom may enlarge beyond the natural size only up to 92 % of the screen.
  size = ZoomedContentSize({1000, 500}, {1000, 2000}, 100);
  ASSERT_TRUE(size);
  EXPECT_NEAR(size->width, 920, 1e-9);
}

TEST(WindowFit, RestorableFramesAndCentring) {
  EXPECT_TRUE(IsRestorableFrame({0, 0, 820, 640}));
  EXPECT_FALSE(IsRestorableFrame({0, 0, 800, 900}));
  EXPECT_FALSE(IsRestorableFrame({0, 0, 900, 639.5}));
  EXPECT_EQ(CenteredFrame({1000, 800}, {0, 25, 1440, 900}), (Rect{220, 75, 1000, 800}));
}

}  // namespace
}  // namespace kf
