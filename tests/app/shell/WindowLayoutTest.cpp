// Window geometry in the editor, hidden-editor and full-screen layouts.
#include <gtest/gtest.h>

#include "app/shell/WindowLayout.h"

namespace kf {
namespace {

TEST(WindowLayoutTest, EditorShown) {
  const WindowLayout l = ComputeWindowLayout({980, 700}, true, false);
  EXPECT_EQ(l.footer, (Rect{0, 664, 980, 36}));
  EXPECT_EQ(l.transport, (Rect{0, 610, 980, 62}));
  EXPECT_EQ(l.timeline, (Rect{28, 518, 924, 100}));
  EXPECT_EQ(l.player, (Rect{24, 24, 932, 502}));
  // Content height = picture + top inset + the bands less their overlaps.
  EXPECT_DOUBLE_EQ(700, l.player.height + 24 + 174);
  EXPECT_EQ(l.footprint, (Rect{530, 5, 430, 15}));
  EXPECT_EQ(l.progress, (Rect{0, 664, 980, 3}));
  EXPECT_FALSE(l.timelineHidden || l.transportHidden || l.footerHidden || l.footprintHidden);
}

TEST(WindowLayoutTest, EditorHidden) {
  const WindowLayout l = ComputeWindowLayout({980, 700}, false, false);
  EXPECT_TRUE(l.timelineHidden && l.transportHidden && l.footerHidden);
  EXPECT_FALSE(l.footprintHidden);
  EXPECT_DOUBLE_EQ(l.footer.height + l.transport.height + l.timeline.height, 0);
  EXPECT_EQ(l.player, (Rect{24, 24, 932, 700})) << "the picture reaches 24 points below the window";
  EXPECT_DOUBLE_EQ(l.player.maxY(), 724);
}

TEST(WindowLayoutTest, FullScreen) {
  const WindowLayout l = ComputeWindowLayout({1440, 900}, true, true);
  EXPECT_EQ(l.player, (Rect{0, 0, 1440, 900}));
  EXPECT_TRUE(l.timelineHidden && l.footerHidden && l.footprintHidden);
  EXPECT_FALSE(l.transportHidden);
  EXPECT_EQ(l.transport, (Rect{0, 846, 1440, 62})) << "over the picture's bottom, 8 points past the edge";
  EXPECT_DOUBLE_EQ(l.timeline.height, 0);
  EXPECT_DOUBLE_EQ(l.footer.height, 0);
}

TEST(WindowLayoutTest, NarrowWindowsDropControls) {
  EXPECT_TRUE(ComputeWindowLayout({1179, 700}, true, false).exposureHidden);
  EXPECT_FALSE(ComputeWindowLayout({1180, 700}, true, false).exposureHidden);
  EXPECT_FALSE(ComputeWindowLayout({1179, 700}, true, false).mediaInfoHidden);
  EXPECT_TRUE(ComputeWindowLayout({899, 700}, true, false).mediaInfoHidden);
  EXPECT_FALSE(ComputeWindowLayout({900, 700}, true, false).mediaInfoHidden);
}

}  // namespace
}  // namespace kf
