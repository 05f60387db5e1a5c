// The picture widget on the software renderer: what it paints is the frame
// whose number is on screen, fitted with bars, and it follows seeks. Where a
// display offers OpenGL, the OpenGL picture as read from the screen.
#include <gtest/gtest.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QScreen>
#include <clocale>
#include <cstdlib>
#include <functional>
#include <optional>

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
  auto view = std::make_unique<kf::mpv::MpvVideoView>(player, nullptr, /*forceSoftware=*/true);
  EXPECT_FALSE(view->usesOpenGL());
  view->resize(400, 200);  // wider than 4:3: pillarboxed
  view->show();
  // Work put off until the first picture runs once, after it is presented.
  int afterFirst = 0;
  std::uint64_t presentedThen = 0;
  view->afterFirstPicture([&] { ++afterFirst; });
  view->afterFirstPicture([&] {  // the later request replaces the earlier
    ++afterFirst;
    presentedThen = view->framesPresented();
  });

  auto item =
      player->makePlayerItem(kf::ff::FfmpegAsset::create(movies::ensure(movies::named("h264")), sched));
  player->replaceCurrentItem(item);
  ASSERT_TRUE(pumpUntil(sched, [&] { return item->status() == kf::media::ItemStatus::ReadyToPlay; }));
  for (int n : {40, 12}) {
    std::optional<bool> done;
    player->seekToTime(n / 30.0, 0, 0, [&](bool f) { done = f; });
    ASSERT_TRUE(pumpUntil(sched, [&] { return done.has_value(); }));
    // The render notice reaches the widget through Qt's event loop.
    EXPECT_TRUE(pumpUntil(
        sched, [&] { return readImage(view->softwareImage()) == n; }, 5000))
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
  EXPECT_EQ(afterFirst, 1);
  EXPECT_GE(presentedThen, 1u);
  bool late = false;  // asked once a picture is there: runs at once, queued
  view->afterFirstPicture([&] { late = true; });
  EXPECT_FALSE(late);
  EXPECT_TRUE(pumpUntil(sched, [&] { return late; }));

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

// A movie opened before the window is first shown (as at launch) gets its
// picture: libmpv's video output needs the render context when it opens the
// movie, before any expose.
TEST(MpvVideoView, OpenGLPictureOfAMovieOpenedBeforeTheWindowShowsIsDrawn) {
  if (!kf::mpv::MpvVideoView::openGLAvailable()) GTEST_SKIP() << "no OpenGL on this platform";
  kf::ManualScheduler sched;
  auto p = kf::mpv::MpvPlayer::create(sched, kf::mpv::MpvOptions{"libmpv", "null", {}});
  ASSERT_TRUE(p.ok()) << p.error().message;
  auto player = *p;
  // Its OpenGL context is still being made (in the background) when the
  // movie is handed over: the load waits for it.
  auto view = std::make_unique<kf::mpv::MpvVideoView>(player);
  auto item =
      player->makePlayerItem(kf::ff::FfmpegAsset::create(movies::ensure(movies::named("h264")), sched));
  int failures = 0;
  item->addFailedToPlayToEndObserver([&](const kf::Error&) { ++failures; });
  player->replaceCurrentItem(item);
  ASSERT_TRUE(pumpUntil(sched, [&] { return item->status() == kf::media::ItemStatus::ReadyToPlay; }));
  ASSERT_TRUE(view->usesOpenGL());
  std::optional<bool> done;
  player->seekToTime(40 / 30.0, 0, 0, [&](bool f) { done = f; });
  ASSERT_TRUE(pumpUntil(sched, [&] { return done.has_value(); }));
  EXPECT_TRUE(*done);
  EXPECT_EQ(view->framesPresented(), 0u);  // nothing on screen yet

  view->resize(320, 240);
  view->show();
  auto screen = [&] {
    const QPoint at = view->mapToGlobal(QPoint(0, 0));
    return view->screen()
        ->grabWindow(0, at.x(), at.y(), 320, 240)
        .toImage()
        .convertToFormat(QImage::Format_RGB32);
  };
  EXPECT_TRUE(pumpUntil(
      sched, [&] { return readImage(screen()) == 40; }, 5000))
      << readImage(screen());
  EXPECT_EQ(failures, 0);
  EXPECT_EQ(player->propertyString("vo-configured"), "yes");
  EXPECT_GE(view->framesPresented(), 1u);

  // The fade, drawn in the picture's own pass.
  const QPoint probe(160, 200);
  const int bright = qGray(screen().pixel(probe));
  ASSERT_GT(bright, 60);
  view->setDarkening(0.75);
  EXPECT_TRUE(pumpUntil(
      sched, [&] { return std::abs(qGray(screen().pixel(probe)) - bright / 4) <= 4; }, 5000))
      << qGray(screen().pixel(probe)) << " from " << bright;
  view.reset();
}

int main(int argc, char** argv) {
  // Offscreen unless told otherwise (a display makes the OpenGL case run).
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  // QApplication takes the numeric locale from the environment; libmpv
  // needs "C".
  std::setlocale(LC_NUMERIC, "C");
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
