// The window's view tree and geometry on the offscreen platform.
#include <gtest/gtest.h>

#include <QTest>

#include "QtTestApp.h"
#include "app/shell/MGMainWindow.h"

namespace {

kf::Rect R(const QWidget* w) {
  const QRect g = w->geometry();
  return {double(g.x()), double(g.y()), double(g.width()), double(g.height())};
}

class MainWindowTest : public ::testing::Test {
 protected:
  MainWindowTest() {
    TestApp();
    window = std::make_unique<MGMainWindow>(new QWidget);
  }
  std::unique_ptr<MGMainWindow> window;
};

TEST_F(MainWindowTest, FreshWindowShowsOnlyThePicture) {
  window->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  EXPECT_EQ(window->size(), QSize(980, 700));
  EXPECT_EQ(window->minimumSize(), QSize(820, 640));
  EXPECT_EQ(window->windowTitle(), "Kerfline");
  EXPECT_FALSE(window->timeline->isVisible());
  EXPECT_FALSE(window->transport->isVisible());
  EXPECT_FALSE(window->footer->isVisible());
  EXPECT_TRUE(window->footprintLabel->isVisible());
  EXPECT_FALSE(window->progressBar->isVisible());
  EXPECT_TRUE(window->overlay->emptyState());
  EXPECT_EQ(R(window->playerView), (kf::Rect{24, 24, 932, 700}));
  EXPECT_EQ(R(window->overlay), R(window->playerView));
  EXPECT_EQ(window->status->text(), "Open a movie");
  EXPECT_EQ(window->clock->text(), "Clip 1/1 · 0:00 / 0:00");
  EXPECT_EQ(window->overlay->accessibleName(), "Video preview");
  EXPECT_EQ(window->timeline->accessibleName(), "Clip timeline");
}

TEST_F(MainWindowTest, EditorLayout) {
  window->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  window->setEditorVisible(true);
  EXPECT_TRUE(window->timeline->isVisible());
  EXPECT_TRUE(window->transport->isVisible());
  EXPECT_TRUE(window->footer->isVisible());
  EXPECT_EQ(R(window->footer), (kf::Rect{0, 664, 980, 36}));
  EXPECT_EQ(R(window->transport), (kf::Rect{0, 610, 980, 62}));
  EXPECT_EQ(R(window->timeline), (kf::Rect{28, 518, 924, 100}));
  EXPECT_EQ(R(window->overlay), (kf::Rect{24, 24, 932, 502}));
  // The picture view stops where the timeline begins: no widget over it.
  EXPECT_EQ(R(window->playerView), (kf::Rect{24, 24, 932, 494}));
  EXPECT_EQ(R(window->footprintLabel), (kf::Rect{530, 5, 430, 15}));

  // Transport groups: 18 from the left, 14 from the right, centred.
  EXPECT_EQ(window->leftGroup->x(), 18);
  EXPECT_EQ(window->rightGroup->geometry().right() + 1, 980 - 14);
  EXPECT_EQ(2 * window->leftGroup->y() + window->leftGroup->height(), 62);
  EXPECT_EQ(2 * window->rightGroup->y() + window->rightGroup->height(), 62);
  EXPECT_LE(window->leftGroup->geometry().right() + 10, window->rightGroup->x());
  // Fixed button widths.
  EXPECT_EQ(window->playButton->width(), 64);
  EXPECT_EQ(window->splitButton->width(), 66);
  EXPECT_EQ(window->removeButton->width(), 78);
  EXPECT_EQ(window->zoomButton->width(), 52);
  EXPECT_EQ(window->volumeSlider->width(), 100);
  EXPECT_EQ(window->stepBackwardButton->toolTip(), "Previous frame");
  EXPECT_EQ(window->seekForwardFiveButton->toolTip(), "Forward 5 seconds");
  EXPECT_EQ(window->muteButton->toolTip(), "Mute");
  EXPECT_EQ(window->playButton->toolTip(), "Play");
  EXPECT_EQ(window->exposureButton->toolTip(), "Auto-fix exposure");

  // Footer: clock at 14, status ends 14 before the edge, at most 320 wide.
  EXPECT_EQ(window->clock->x(), 14);
  EXPECT_EQ(window->status->geometry().right() + 1, 980 - 14);
  EXPECT_LE(window->status->width(), 320);
  window->mediaInfo->setText("1920×1080 · 12.0 MB");
  window->layoutFooter();
  EXPECT_NEAR(window->mediaInfo->geometry().center().x(), 490, 1);

  // Narrow windows lose the exposure controls, then the media information.
  EXPECT_FALSE(window->exposureGroup->isVisible());
  window->resize(1180, 760);
  EXPECT_TRUE(window->exposureGroup->isVisible());
  EXPECT_TRUE(window->exposureDivider->isVisible());
  window->resize(1179, 760);
  EXPECT_FALSE(window->exposureGroup->isVisible());
  EXPECT_TRUE(window->mediaInfo->isVisible());
  window->resize(899, 760);
  EXPECT_FALSE(window->mediaInfo->isVisible());
  EXPECT_EQ(R(window->overlay), (kf::Rect{24, 24, 899 - 48, 760 - 198}));
  EXPECT_EQ(R(window->playerView), (kf::Rect{24, 24, 899 - 48, 760 - 198 - 8}));
}

TEST_F(MainWindowTest, FullScreenLayout) {
  window->show();
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  window->setEditorVisible(true);
  std::vector<bool> changes;
  window->fullScreenChanged = [&](bool fs) { changes.push_back(fs); };
  window->showFullScreen();
  QTRY_VERIFY(window->isFullScreen());
  QCoreApplication::processEvents();
  const QSize screen = window->size();
  EXPECT_EQ(changes, std::vector<bool>{true});
  EXPECT_EQ(R(window->playerView), (kf::Rect{0, 0, double(screen.width()), double(screen.height())}));
  EXPECT_FALSE(window->timeline->isVisible());
  EXPECT_FALSE(window->footer->isVisible());
  EXPECT_FALSE(window->footprintLabel->isVisible());
  EXPECT_TRUE(window->transport->isVisible());
  EXPECT_EQ(R(window->transport), (kf::Rect{0, double(screen.height()) + 8 - 62, double(screen.width()), 62}));
  window->setTransportAutoHidden(true);
  EXPECT_FALSE(window->transport->isVisible());
  window->setTransportAutoHidden(false);
  EXPECT_TRUE(window->transport->isVisible());

  window->showNormal();
  QTRY_VERIFY(!window->isFullScreen());
  QCoreApplication::processEvents();
  EXPECT_EQ(changes, (std::vector<bool>{true, false}));
  EXPECT_TRUE(window->timeline->isVisible());
  EXPECT_TRUE(window->footer->isVisible());
  EXPECT_TRUE(window->footprintLabel->isVisible());
  EXPECT_EQ(window->timeline->height(), 100);
  EXPECT_EQ(window->footer->height(), 36);
  EXPECT_EQ(window->playerView->x(), 24);
  EXPECT_EQ(window->playerView->y(), 24);
}

TEST_F(MainWindowTest, BandsPaintTheirColours) {
  window->show();
  window->setEditorVisible(true);
  ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
  const QImage shot = window->grab().toImage();
  // Transport fill below its top rule, footer fill, window background
  // beside the timeline.
  EXPECT_EQ(QColor(shot.pixel(500, 640)), QColor(30, 28, 22));
  EXPECT_EQ(QColor(shot.pixel(500, 690)), QColor(30, 28, 22));
  EXPECT_EQ(QColor(shot.pixel(10, 560)), QColor(22, 21, 16));
  EXPECT_EQ(QColor(shot.pixel(500, 610)), QColor(51, 49, 42)) << "the transport's top rule";
}

}  // namespace
