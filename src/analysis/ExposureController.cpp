#include "analysis/ExposureController.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <utility>

namespace kf {
namespace {

constexpr double kTargetLuminance = 0.45;
constexpr double kDarkestMeasurable = 0.01;
constexpr const char* kMeasuringText = "Measuring displayed frame\u2026";
constexpr const char* kCannotMeasureText = "Could not measure the displayed frame";

}  // namespace

MeanColor MeanColorOfFrame(const media::VideoFrame& frame) {
  if (frame.width <= 0 || frame.height <= 0 || frame.stride < frame.width * 4 ||
      frame.bgra.size() < static_cast<std::size_t>(frame.stride) * static_cast<std::size_t>(frame.height))
    return {};
  std::uint64_t sum[3] = {0, 0, 0};
  for (int y = 0; y < frame.height; ++y) {
    const std::uint8_t* p = frame.bgra.data() + static_cast<std::size_t>(y) * static_cast<std::size_t>(frame.stride);
    std::uint32_t row[3] = {0, 0, 0};  // at most 2^24 / 255 pixels per row before overflow
    for (int x = 0; x < frame.width; ++x, p += 4) {
      row[0] += p[0];
      row[1] += p[1];
      row[2] += p[2];
    }
    for (int c = 0; c < 3; ++c) sum[c] += row[c];
  }
  const double n = double(frame.width) * double(frame.height);
  auto mean = [&](std::uint64_t s) { return static_cast<std::uint8_t>(std::clamp(std::lround(double(s) / n), 0L, 255L)); };
  return {mean(sum[2]), mean(sum[1]), mean(sum[0])};
}

double MeanLuminance(MeanColor c) { return (0.2126 * c.red + 0.7152 * c.green + 0.0722 * c.blue) / 255.0; }

double AutoExposureStops(MeanColor color) {
  const double l = MeanLuminance(color);
  return l > kDarkestMeasurable ? std::log2(kTargetLuminance / l) : 1.0;
}

std::string ExposureStatusText(const std::string& label, double stops) {
  char number[32];
  std::snprintf(number, sizeof number, "%+.1f", stops);
  // A value just below zero (0.3 less three steps) rounds to "-0.0".
  std::string n = number;
  if (n == "-0.0") n = "+0.0";
  return label + " \u2014 " + n + " stops";
}

std::string ExposureToolTip(double stops) {
  return std::fabs(stops) > ExposureController::kNone ? "Reset exposure" : "Auto-fix exposure";
}

ExposureController::ExposureController(ExposurePorts ports)
    : ports_(std::move(ports)), alive_(std::make_shared<std::atomic<bool>>(true)) {}

ExposureController::~ExposureController() {
  *alive_ = false;
  retry_.reset();
  joinWorker();
}

void ExposureController::joinWorker() {
  if (worker_.joinable()) worker_.join();
}

void ExposureController::setExposureValue(double x, const std::string& label) {
  if (!ports_.movieOpen || !ports_.movieOpen()) return;
  if (ports_.busy && ports_.busy()) return;
  if (!std::isfinite(x)) return;
  x = std::clamp(x, -1.0, 1.0);
  EditSession& edit = *ports_.edit;
  if (std::fabs(x - edit.exposure()) < kSmallestChange) return;
  edit.pushUndo(EditSession::kActionExposure);
  edit.setExposure(x);  // overlay amount 0, then applyExposurePreview()
  edit.refreshDirtyState();
  if (ports_.setToolTip) ports_.setToolTip(ExposureToolTip(x));
  ports_.status->setStatus(ExposureStatusText(label, x));
}

void ExposureController::exposureBrighter() { setExposureValue(ports_.edit->exposure() + kStep, "Exposure"); }

void ExposureController::exposureDarker() { setExposureValue(ports_.edit->exposure() - kStep, "Exposure"); }

void ExposureController::resetExposure() {
  if (std::fabs(ports_.edit->exposure()) > kNone) {
    setExposureValue(0, "Exposure reset");
  } else {
    autoExposure();
  }
}

void ExposureController::applyExposurePreview() {
  if (!ports_.showPreview || !ports_.movieOpen || !ports_.movieOpen()) return;
  const double x = ports_.edit->exposure();
  ports_.showPreview(std::fabs(x) < kNone ? 0.0 : x);
}

void ExposureController::autoExposure() {
  if (!ports_.movieOpen || !ports_.movieOpen()) return;
  if (ports_.busy && ports_.busy()) return;
  // A new request replaces one under way.
  ++measureGeneration_;
  retry_.reset();
  measureMovie_ = ports_.movieToken ? ports_.movieToken() : 0;
  measuring_ = true;
  ports_.status->setStatus(kMeasuringText);
  measureAutoExposureAttempt(0);
}

void ExposureController::measureAutoExposureAttempt(int attempt) {
  retry_.release();
  // The previous worker has posted its result, so it is ending.
  joinWorker();
  const std::uint64_t generation = measureGeneration_;
  Scheduler* scheduler = ports_.scheduler;
  auto copyFrame = ports_.copyFrame;
  auto alive = alive_;
  worker_ = std::thread([this, scheduler, copyFrame, alive, generation, attempt] {
    std::optional<double> stops;
    if (copyFrame) {
      if (auto frame = copyFrame()) stops = AutoExposureStops(MeanColorOfFrame(*frame));
    }
    scheduler->post([this, alive, generation, attempt, stops] {
      if (*alive) attemptFinished(generation, attempt, stops);
    });
  });
}

void ExposureController::attemptFinished(std::uint64_t generation, int attempt, std::optional<double> stops) {
  if (generation != measureGeneration_) return;
  if (ports_.movieToken && ports_.movieToken() != measureMovie_) {
    measuring_ = false;
    return;
  }
  if (stops) {
    measuring_ = false;
    setExposureValue(*stops, "Auto exposure");
    return;
  }
  if (attempt >= kLastAttempt) {
    measuring_ = false;
    ports_.status->setStatus(kCannotMeasureText);
    return;
  }
  retry_ = ScopedTask(ports_.scheduler, ports_.scheduler->postAfter(kAttemptInterval, [this, generation, attempt] {
                        if (generation == measureGeneration_) measureAutoExposureAttempt(attempt + 1);
                      }));
}

}  // namespace kf
