// The exposure preview against the export: a frame of a generated movie
// shown by the player's software renderer with an exposure set matches the
// same frame of a re-encoded export at that exposure (the export's own
// curve), while the frame tap keeps giving the frame as decoded. Where
// OpenGL works (a display is present), the same through the OpenGL
// renderer's user shader.
#include <gtest/gtest.h>
#include <unistd.h>

#include <QApplication>
#include <QDeadlineTimer>
#include <QScreen>
#include <clocale>
#include <cmath>
#include <filesystem>
#include <functional>

#include "base/ManualScheduler.h"
#include "platform/export/FfmpegExportSession.h"
#include "platform/ffmpeg/FfmpegAsset.h"
#include "platform/ffmpeg/TestMovies.h"
#include "platform/mpv/ExposurePreview.h"
#include "platform/mpv/MpvVideoView.h"
#include "support/QtPump.h"

namespace movies = kf::testmovies;
namespace fs = std::filesystem;

namespace {

constexpr double kStops = 0.6;
constexpr double kTime = 0.5;  // frame 15

using kf::test::pumpUntil;

// Mean of the green components (BGRA rows) over a rectangle.
double Mean(const std::uint8_t* bgra, int stride, int x0, int y0, int w, int h) {
  double sum = 0;
  for (int y = y0; y < y0 + h; ++y)
    for (int x = x0; x < x0 + w; ++x) sum += bgra[static_cast<std::size_t>(y) * stride + 4 * x + 1];
  return sum / (w * h);
}

// The patches compared: the plain lower band, and the whole picture.
struct Levels {
  double band = 0, whole = 0;
};
Levels LevelsOf(const std::uint8_t* bgra, int stride, int w, int h) {
  return {Mean(bgra, stride, 4, h * 3 / 4, 16, 8), Mean(bgra, stride, 0, 0, w, h)};
}
Levels LevelsOf(const kf::media::VideoFrame& f) { return LevelsOf(f.bgra.data(), f.stride, f.width, f.height); }
Levels LevelsOf(const QImage& img) {
  const QImage rgb = img.convertToFormat(QImage::Format_RGB32);
  return LevelsOf(rgb.constBits(), static_cast<int>(rgb.bytesPerLine()), rgb.width(), rgb.height());
}

class ExposurePreviewTest : public ::testing::Test {
 protected:
  static void SetUpTestSuite() {
    source_ = movies::ensure(movies::named("h264"));
    // The export's rendering of the first second at the same exposure.
    exported_ = (fs::temp_directory_path() / ("kf-exposure-preview-" + std::to_string(::getpid()) + ".mp4")).string();
    kf::CompositionRequest r;
    r.segments = {{0, 1}};
    r.exposure = kStops;
    r.preset = kf::ExportPreset::HighestQuality;
    kf::ExportRequest req;
    req.plan = kf::PlanComposition(r);
    req.outputPath = exported_;
    req.fileType = kf::outputFileTypeForPath(exported_);
    kf::FfmpegExportSession session(kf::OpenPath(source_), req);
    session.exportBlocking();
    ASSERT_EQ(session.status(), kf::ExportStatus::Completed);
  }
  static void TearDownTestSuite() { fs::remove(exported_); }

  // The frame at kTime as decoded (vo=null player, frame tap).
  kf::media::VideoFrame decodedFrame(const std::string& path) {
    auto p = kf::mpv::MpvPlayer::create(sched);
    EXPECT_TRUE(p.ok());
    auto player = *p;
    auto item = player->makePlayerItem(kf::ff::FfmpegAsset::create(path, sched));
    player->replaceCurrentItem(item);
    EXPECT_TRUE(pumpUntil(sched, [&] { return item->status() == kf::media::ItemStatus::ReadyToPlay; }));
    seek(*player, kTime);
    auto f = player->copyDisplayedFrame();
    EXPECT_TRUE(f);
    return f.value_or(kf::media::VideoFrame{});
  }

  void seek(kf::media::Player& player, double t) {
    std::optional<bool> done;
    player.seekToTime(t, 0, 0, [&](bool f) { done = f; });
    ASSERT_TRUE(pumpUntil(sched, [&] { return done.has_value(); }));
  }

  // Shows the source at kTime in a view of the picture's own size, with and
  // then without the preview, and compares both with the export and the
  // decoded frame; `grab` reads what the view shows.
  void comparePreview(kf::mpv::MpvVideoView& view, kf::mpv::MpvPlayer& player,
                      const std::function<QImage()>& grab) {
    const Levels expected = LevelsOf(decodedFrame(exported_));
    const kf::media::VideoFrame plainFrame = decodedFrame(source_);
    const Levels plain = LevelsOf(plainFrame);
    // The curve brightens the mid grey band a lot and is not the plain
    // 2^stops scaling of the encoded values.
    ASSERT_GT(expected.band, plain.band + 15);

    view.resize(320, 240);
    view.show();
    auto item = player.makePlayerItem(kf::ff::FfmpegAsset::create(source_, sched));
    player.replaceCurrentItem(item);
    ASSERT_TRUE(pumpUntil(sched, [&] { return item->status() == kf::media::ItemStatus::ReadyToPlay; }));
    seek(player, kTime);
    ASSERT_TRUE(pumpUntil(sched, [&] { return std::fabs(LevelsOf(grab()).band - plain.band) < 3; }))
        << LevelsOf(grab()).band << " vs " << plain.band;

    item->setExposurePreview(kStops);
    EXPECT_TRUE(pumpUntil(sched, [&] { return std::fabs(LevelsOf(grab()).band - expected.band) < 3; }, 5000));
    const Levels shown = LevelsOf(grab());
    EXPECT_NEAR(shown.band, expected.band, 3) << "plain " << plain.band;
    EXPECT_NEAR(shown.whole, expected.whole, 3) << "plain " << plain.whole;

    // The tap gives the frame as decoded, not as previewed: exactly where
    // the preview did not clip (the software renderer's filter runs before
    // the tap and is undone there; the white digits, clipped, only come
    // back near).
    auto tapped = player.copyDisplayedFrame();
    ASSERT_TRUE(tapped);
    const Levels tap = LevelsOf(*tapped);
    EXPECT_NEAR(tap.band, plain.band, 1.5);
    EXPECT_LT(std::fabs(tap.whole - plain.whole), std::fabs(shown.whole - plain.whole) / 3);

    item->setExposurePreview(0);
    EXPECT_TRUE(pumpUntil(sched, [&] { return std::fabs(LevelsOf(grab()).band - plain.band) < 3; }, 5000));
  }

  kf::ManualScheduler sched;
  static std::string source_, exported_;
};

std::string ExposurePreviewTest::source_;
std::string ExposurePreviewTest::exported_;

}  // namespace

TEST(ExposurePreviewText, ShaderAndFilterCarryTheGain) {
  const std::string shader = kf::mpv::ExposureShaderSource(1.0);
  EXPECT_EQ(shader.rfind("//!HOOK MAIN\n", 0), 0u);
  EXPECT_NE(shader.find("lin * 2,"), std::string::npos) << shader;
  EXPECT_EQ(kf::mpv::ExposureFilterGraph(0.0005), "");
  const std::string graph = kf::mpv::ExposureFilterGraph(-1.0);
  EXPECT_EQ(graph.rfind("lavfi=[lutrgb=r='", 0), 0u);
  EXPECT_NE(graph.find("*0.5,1))"), std::string::npos) << graph;
}

TEST_F(ExposurePreviewTest, SoftwareRendererMatchesTheExportedFrame) {
  auto p = kf::mpv::MpvPlayer::create(sched, kf::mpv::MpvOptions{"libmpv", "null", {}});
  ASSERT_TRUE(p.ok()) << p.error().message;
  auto player = *p;
  auto view = std::make_unique<kf::mpv::MpvVideoView>(player, nullptr, true);
  comparePreview(*view, *player, [&] {
    view->renderNow();
    return view->softwareImage();
  });
  view.reset();
}

TEST_F(ExposurePreviewTest, OpenGLRendererMatchesTheExportedFrame) {
  if (!kf::mpv::MpvVideoView::openGLAvailable()) GTEST_SKIP() << "no OpenGL on this platform";
  auto p = kf::mpv::MpvPlayer::create(sched, kf::mpv::MpvOptions{"libmpv", "null", {}});
  ASSERT_TRUE(p.ok()) << p.error().message;
  auto player = *p;
  auto view = std::make_unique<kf::mpv::MpvVideoView>(player);
  ASSERT_TRUE(view->usesOpenGL());
  player->setExposureByShader(true);
  // The picture is a native child window presented by itself, which a
  // widget grab does not see: read the screen where the view is, as the
  // user sees it.
  comparePreview(*view, *player, [&] {
    QScreen* screen = view->screen();
    const QPoint at = view->mapToGlobal(QPoint(0, 0));
    return screen ? screen->grabWindow(0, at.x(), at.y(), view->width(), view->height()).toImage() : QImage();
  });
  view.reset();
}

int main(int argc, char** argv) {
  // Offscreen unless told otherwise (a display makes the OpenGL case run).
  if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) qputenv("QT_QPA_PLATFORM", "offscreen");
  QApplication app(argc, argv);
  std::setlocale(LC_NUMERIC, "C");
  ::testing::InitGoogleTest(&argc, argv);
  return RUN_ALL_TESTS();
}
