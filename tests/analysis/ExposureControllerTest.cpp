// The exposure commands over a real edit session, with the player's preview
// and frame tap scripted: steps, clamping, reset, refusals, undo, the dirty
// flag, and the automatic measurement with its attempts in virtual time (the
// measurement itself runs on a real worker thread).
#include <gtest/gtest.h>

#include <atomic>
#include <cmath>
#include <mutex>

#include "analysis/ExposureController.h"
#include "base/ManualScheduler.h"
#include "edit/RecordingPorts.h"

namespace {

using kf::ExposureController;

// A uniform frame of one colour.
kf::media::VideoFrame Uniform(std::uint8_t r, std::uint8_t g, std::uint8_t b, int w = 64, int h = 36) {
  kf::media::VideoFrame f;
  f.width = w;
  f.height = h;
  f.stride = w * 4;
  f.bgra.resize(static_cast<std::size_t>(f.stride) * h);
  for (std::size_t i = 0; i < f.bgra.size(); i += 4) {
    f.bgra[i] = b;
    f.bgra[i + 1] = g;
    f.bgra[i + 2] = r;
    f.bgra[i + 3] = 255;
  }
  return f;
}

// The overlay port as the window implements it: the preview goes to the
// exposure controller.
struct ForwardingOverlay : kftest::RecordingOverlay {
  ExposureController* controller = nullptr;
  void applyExposurePreview() override {
    RecordingOverlay::applyExposurePreview();
    if (controller) controller->applyExposurePreview();
  }
};

class ExposureTest : public ::testing::Test {
 protected:
  ExposureTest() : edit(EditPorts()) {
    edit.resetForNewMovie(10);
    kf::ExposurePorts p;
    p.scheduler = &sched;
    p.edit = &edit;
    p.status = &status;
    p.setToolTip = [this](const std::string& t) { toolTip = t; };
    p.movieOpen = [this] { return movieOpen; };
    p.busy = [this] { return busy; };
    p.showPreview = [this](double s) { previews.push_back(s); };
    p.copyFrame = [this]() -> std::optional<kf::media::VideoFrame> {
      ++copies;
      std::lock_guard<std::mutex> lock(frameMu);
      return frame;
    };
    p.movieToken = [this] { return movie; };
    exposure = std::make_unique<ExposureController>(std::move(p));
    overlay.controller = exposure.get();
  }

  kf::EditPorts EditPorts() {
    kf::EditPorts p;
    p.player = &player;
    p.timeline = &timeline;
    p.overlay = &overlay;
    p.status = &status;
    p.undoMenu = &menu;
    p.renameField = &field;
    p.busy = [this] { return busy; };
    return p;
  }

  void setFrame(std::optional<kf::media::VideoFrame> f) {
    std::lock_guard<std::mutex> lock(frameMu);
    frame = std::move(f);
  }
  // Runs the measurement to its end: worker results and the 50 ms retries.
  void finishMeasuring() {
    for (int i = 0; i < 500 && exposure->measuring(); ++i) {
      sched.waitForPosted(0.05);
      sched.runPending();
      if (exposure->measuring()) sched.runNextTimer();  // the next attempt, when one is waiting
    }
    ASSERT_FALSE(exposure->measuring());
  }
  std::size_t undoDepth() const { return edit.history().undoStack().size(); }

  kf::ManualScheduler sched;
  bool busy = false, movieOpen = true;
  std::uint64_t movie = 1;
  kftest::RecordingPlayer player;
  kftest::RecordingTimeline timeline;
  ForwardingOverlay overlay;
  kftest::RecordingStatus status;
  kftest::RecordingUndoMenu menu;
  kftest::RecordingRenameField field;
  kf::EditSession edit;
  std::string toolTip = "Auto-fix exposure";
  std::vector<double> previews;
  std::atomic<int> copies{0};
  std::mutex frameMu;
  std::optional<kf::media::VideoFrame> frame;
  std::unique_ptr<ExposureController> exposure;
};

}  // namespace

TEST(ExposureMeasure, MeanLuminanceGivesTheAbsoluteExposure) {
  // 0.225 of full scale is one stop below the target 0.45.
  EXPECT_NEAR(kf::AutoExposureStops({57, 57, 57}), std::log2(0.45 / (57 / 255.0)), 1e-12);
  EXPECT_NEAR(kf::AutoExposureStops({57, 57, 57}), 1.0, 0.01);
  EXPECT_NEAR(kf::AutoExposureStops({230, 230, 230}), -1.0, 0.02);
  EXPECT_NEAR(kf::AutoExposureStops({26, 26, 26}), std::log2(0.45 / (26 / 255.0)), 1e-12);
  EXPECT_EQ(kf::AutoExposureStops({0, 0, 0}), 1.0);
  EXPECT_EQ(kf::AutoExposureStops({2, 2, 2}), 1.0);  // 0.0078: at or below the darkest measurable
  // The BT.709 weights: pure green counts most, pure blue least.
  EXPECT_NEAR(kf::MeanLuminance({0, 255, 0}), 0.7152, 1e-12);
  EXPECT_NEAR(kf::MeanLuminance({0, 0, 255}), 0.0722, 1e-12);

  // The mean colour over every pixel, padding bytes of the rows ignored.
  auto f = Uniform(10, 20, 30, 4, 2);
  f.stride = 20;
  f.bgra.assign(40, 0xEE);
  for (int y = 0; y < 2; ++y)
    for (int x = 0; x < 4; ++x) {
      std::uint8_t* p = &f.bgra[static_cast<std::size_t>(y) * 20 + 4 * x];
      p[0] = 30, p[1] = 20, p[2] = static_cast<std::uint8_t>(x < 2 ? 0 : 21);  // red mean 10.5 -> 11 (rounded)
    }
  const kf::MeanColor m = kf::MeanColorOfFrame(f);
  EXPECT_EQ(m.red, 11);
  EXPECT_EQ(m.green, 20);
  EXPECT_EQ(m.blue, 30);
  EXPECT_EQ(kf::MeanColorOfFrame(kf::media::VideoFrame{}).green, 0);
}

TEST(ExposureText, StatusAndToolTip) {
  EXPECT_EQ(kf::ExposureStatusText("Exposure", 0.3), "Exposure \u2014 +0.3 stops");
  EXPECT_EQ(kf::ExposureStatusText("Exposure", -0.1), "Exposure \u2014 -0.1 stops");
  EXPECT_EQ(kf::ExposureStatusText("Exposure reset", 0), "Exposure reset \u2014 +0.0 stops");
  EXPECT_EQ(kf::ExposureStatusText("Exposure", 0.3 - 0.1 - 0.1 - 0.1), "Exposure \u2014 +0.0 stops");
  EXPECT_EQ(kf::ExposureStatusText("Auto exposure", 2.0 / 3), "Auto exposure \u2014 +0.7 stops");
  EXPECT_EQ(kf::ExposureToolTip(0.0005), "Auto-fix exposure");
  EXPECT_EQ(kf::ExposureToolTip(-0.002), "Reset exposure");
}

TEST_F(ExposureTest, BrighterAndDarkerStepClampAndRecordOneStepEach) {
  exposure->exposureDarker();
  EXPECT_DOUBLE_EQ(edit.exposure(), -0.1);
  EXPECT_EQ(status.last(), "Exposure \u2014 -0.1 stops");
  EXPECT_EQ(toolTip, "Reset exposure");
  EXPECT_TRUE(edit.dirty());
  EXPECT_EQ(undoDepth(), 1u);
  EXPECT_EQ(menu.undoTitle, "Undo exposure");
  ASSERT_FALSE(previews.empty());
  EXPECT_DOUBLE_EQ(previews.back(), -0.1);
  EXPECT_EQ(overlay.exposureAmounts.back(), 0);

  for (int i = 0; i < 11; ++i) exposure->exposureBrighter();
  EXPECT_DOUBLE_EQ(edit.exposure(), 1.0);
  EXPECT_EQ(undoDepth(), 12u);  // the eleventh step was clamped from 1.0 to 1.0: nothing
  EXPECT_EQ(status.last(), "Exposure \u2014 +1.0 stops");
  const auto texts = status.texts.size();
  exposure->exposureBrighter();
  EXPECT_EQ(undoDepth(), 12u);
  EXPECT_EQ(status.texts.size(), texts);

  // Undo brings back the value before the step and shows it.
  edit.undoEdit();
  EXPECT_NEAR(edit.exposure(), 0.9, 1e-9);
  EXPECT_NEAR(previews.back(), 0.9, 1e-9);
  edit.redoEdit();
  EXPECT_DOUBLE_EQ(previews.back(), 1.0);
}

TEST_F(ExposureTest, ResetGoesBackToNoneAndTheEditIsCleanAgain) {
  exposure->setExposureValue(0.3, "Exposure");
  EXPECT_TRUE(edit.dirty());
  exposure->resetExposure();
  EXPECT_EQ(edit.exposure(), 0);
  EXPECT_EQ(status.last(), "Exposure reset \u2014 +0.0 stops");
  EXPECT_EQ(toolTip, "Auto-fix exposure");
  EXPECT_EQ(previews.back(), 0);
  EXPECT_FALSE(edit.dirty());
  EXPECT_EQ(undoDepth(), 2u);
  EXPECT_FALSE(exposure->measuring());

  // With no exposure set, the sun button measures instead.
  setFrame(Uniform(57, 57, 57));
  exposure->resetExposure();
  EXPECT_TRUE(exposure->measuring());
  EXPECT_EQ(status.last(), "Measuring displayed frame\u2026");
  finishMeasuring();
  EXPECT_DOUBLE_EQ(edit.exposure(), 1.0);
}

TEST_F(ExposureTest, TinyValuesStayInTheEditWithoutAPreview) {
  exposure->setExposureValue(0.0005, "Auto exposure");
  EXPECT_EQ(edit.exposure(), 0.0005);
  EXPECT_EQ(previews.back(), 0);
  EXPECT_EQ(toolTip, "Auto-fix exposure");
  exposure->setExposureValue(0.002, "Exposure");
  EXPECT_EQ(previews.back(), 0.002);
  // Changes under 1e-4 are not changes.
  exposure->setExposureValue(0.00205, "Exposure");
  EXPECT_EQ(edit.exposure(), 0.002);
  EXPECT_EQ(undoDepth(), 2u);
}

TEST_F(ExposureTest, RefusedWithoutAMovieOrWhileExporting) {
  setFrame(Uniform(57, 57, 57));
  for (int which = 0; which < 2; ++which) {
    movieOpen = which == 0 ? false : true;
    busy = which == 1;
    exposure->exposureBrighter();
    exposure->exposureDarker();
    exposure->resetExposure();
    exposure->autoExposure();
    EXPECT_FALSE(exposure->measuring());
    EXPECT_EQ(edit.exposure(), 0);
    EXPECT_EQ(undoDepth(), 0u);
    EXPECT_TRUE(status.texts.empty());
    EXPECT_TRUE(previews.empty());
  }
  // An export that starts while a measurement runs refuses its result.
  busy = false;
  exposure->autoExposure();
  busy = true;
  finishMeasuring();
  EXPECT_EQ(edit.exposure(), 0);
  EXPECT_EQ(status.last(), "Measuring displayed frame\u2026");
}

TEST_F(ExposureTest, AutoExposureOfAGreyFrameIsOneStopAndASecondChangesNothing) {
  // Mean luminance 0.225 (57/255 = 0.2235; log2(0.45/0.2235) = 1.009, clamped).
  setFrame(Uniform(57, 57, 57));
  exposure->autoExposure();
  EXPECT_EQ(status.last(), "Measuring displayed frame\u2026");
  EXPECT_EQ(edit.exposure(), 0);  // measured off the main thread, set later
  finishMeasuring();
  EXPECT_DOUBLE_EQ(edit.exposure(), 1.0);
  EXPECT_EQ(status.last(), "Auto exposure \u2014 +1.0 stops");
  EXPECT_EQ(menu.undoTitle, "Undo exposure");
  EXPECT_EQ(previews.back(), 1.0);
  EXPECT_EQ(copies, 1);

  // The tap gives the frame as decoded, so the same frame measures the same
  // absolute value: no step, and the status keeps the measuring text.
  exposure->autoExposure();
  finishMeasuring();
  EXPECT_DOUBLE_EQ(edit.exposure(), 1.0);
  EXPECT_EQ(undoDepth(), 1u);
  EXPECT_EQ(status.last(), "Measuring displayed frame\u2026");

  // A bright frame: the absolute value, not an adjustment of the current one.
  setFrame(Uniform(200, 200, 200));
  exposure->autoExposure();
  finishMeasuring();
  EXPECT_NEAR(edit.exposure(), std::log2(0.45 / (200 / 255.0)), 1e-9);
  EXPECT_EQ(status.last(), "Auto exposure \u2014 -0.8 stops");
  // Measured values are clamped, not rounded to the step.
  setFrame(Uniform(240, 240, 240));
  exposure->autoExposure();
  finishMeasuring();
  EXPECT_EQ(edit.exposure(), -1.0);
}

TEST_F(ExposureTest, AttemptsWaitFiftyMillisecondsForAFrameThenGiveUp) {
  exposure->autoExposure();
  sched.runUntil([&] { return sched.pendingCount() > 0 && copies == 1; }, 5);
  sched.runPending();
  EXPECT_TRUE(exposure->measuring());
  EXPECT_EQ(copies, 1);
  // Nothing happens before the 50 ms are up.
  sched.advance(0.049);
  EXPECT_EQ(copies, 1);
  const double start = sched.now();
  finishMeasuring();
  EXPECT_EQ(copies, 11);  // attempts 0 to 10
  EXPECT_NEAR(sched.now() - start, 0.001 + 9 * 0.05, 1e-6);
  EXPECT_EQ(status.last(), "Could not measure the displayed frame");
  EXPECT_EQ(edit.exposure(), 0);
  EXPECT_EQ(undoDepth(), 0u);

  // A frame that appears at the fourth attempt is measured.
  copies = 0;
  exposure->autoExposure();
  for (int i = 0; i < 3; ++i) {
    sched.runUntil([&] { return copies == i + 1 && sched.pendingCount() > 0; }, 5);
    sched.runPending();
    // The frame must be there before the timer starts the fourth attempt's
    // worker, which may copy at once.
    if (i == 2) setFrame(Uniform(0, 0, 0));
    sched.advance(0.05);
  }
  finishMeasuring();
  EXPECT_EQ(copies, 4);
  EXPECT_DOUBLE_EQ(edit.exposure(), 1.0);
}

TEST_F(ExposureTest, AMeasurementOfAnotherMovieIsDropped) {
  setFrame(Uniform(57, 57, 57));
  exposure->autoExposure();
  movie = 2;  // a new movie opened before the result came back
  finishMeasuring();
  EXPECT_EQ(edit.exposure(), 0);
  EXPECT_EQ(undoDepth(), 0u);
}
