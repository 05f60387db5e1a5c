// The picture widget on the software renderer (the offscreen platform has
// no OpenGL): what it paints is the frame whose number is on screen, fitted
// with bars, and it follows seeks.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <clocale>
#include <functional>

#include "base/ManualScheduler.h"
#include "platform/ffmpeg/FfmpegAsset.h"
#include "platform/ffmpeg/FrameCode.h"
#include "platform/ffmpeg/TestMovies.h"
#include "platform/mpv/MpvVideoView.h"
#include "support/QtPump.h"

namespace movies = kf::testmovies;

namespace {

using kf::test::pumpUntil;

int readImage(const QImage& img) {
  return movies::readFrameCode(img.constBits(), img.width(), img.height(), img.bytesPerLine(),
                               movies::PixelLayout::BGRA)
      .value_or(-1);
}

}  // namespace

TEST(MpvVideoView, SoftwarePictureShowsTheSeekedFrameFittedInTheWidget) {
  kf::ManualScheduler sched;
  auto p = kf::mpv::MpvPlayer::create(sched, kf::mpv::MpvOptions{"libmpv", "null", {}});
  ASSERT_TRUE(p.ok()) << p.error().message;
  auto player = *p;
  auto view = std::make_unique<kf::mpv::MpvVideoView>(player);
  EXPECT_FALSE(view->usesOpenGL());  // offscreen platform
  view->resize(400, 200);            // wider than 4:3: pillarboxed
  view->show();

  auto item = player->makePlayerItem(kf::ff::FfmpegAsset::create(movies::ensure(movies::named("h264")), sched));
  player->replaceCurrentItem(item);
  ASSERT_TRUE(pumpUntil(sched, [&] { return item->status() == kf::media::ItemStatus::ReadyToPlay; }));
  for (int n : {40, 12}) {
    std::optional<bool> done;
    player->seekToTime(n / 30.0, 0, 0, [&](bool f) { done = f; });
    ASSERT_TRUE(pumpUntil(sched, [&] { return done.has_value(); }));
    // The render notice reaches the widget through Qt's event loop.
    EXPECT_TRUE(pumpUntil(sched, [&] { return readImage(view->softwareImage()) == n; }, 5000))
        << n << " read " << readImage(view->softwareImage());
  }
  const QImage img = view->softwareImage();
  ASSERT_EQ(img.size(), QSize(400, 200));
  // Bars left and right, picture in the middle.
  EXPECT_EQ(qGray(img.pixel(2, 100)), 0);
  EXPECT_EQ(qGray(img.pixel(397, 100)), 0);
  EXPECT_GT(qGray(img.pixel(200, 5)) + qGray(img.pixel(200, 150)), 60);
  // The frame tap still gives the movie's own size.
  auto frame = player->copyDisplayedFrame();
  ASSERT_TRUE(frame);
  EXPECT_EQ(frame->width, 320);
  EXPECT_GE(view->framesPresented(), 2u);

  // The fade is drawn in the view's own pass: the painted widget is the
  // picture darkened by the amount, the rendered picture unchanged.
  const QPoint probe(200, 150);
  const int bright = qGray(view->grab().toImage().pixel(probe));
  ASSERT_GT(bright, 60);
  view->setDarkening(0.75);
  EXPECT_DOUBLE_EQ(view->darkening(), 0.75);
  const int dark = qGray(view->grab().toImage().pixel(probe));
  EXPECT_NEAR(dark, bright * 0.25, 4);
  EXPECT_EQ(qGray(view->softwareImage().pixel(probe)), qGray(img.pixel(probe)));
  view->setDarkening(-1);
  EXPECT_EQ(qGray(view->grab().toImage().pixel(probe)), bright);
  view.reset();  // frees the render context before the player
}

int main(int argc, char** argv) {
  qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // QApplication takes the numeric locale from the environment; libmpv
  // needs "C".
  std::setlocale(LC_NUMERIC, "C");
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
