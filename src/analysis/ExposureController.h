// The exposure of the open movie's edit: brighter, darker, reset, the
// automatic measurement of the displayed frame, the live preview and the
// sun button's tool tip.
//
// The exposure value itself lives in the edit (EditSession::exposure(), in
// stops, within [-1, 1]; |x| <= 0.001 counts as none): every change made
// here is one undo step "exposure", re-applies the preview and recomputes
// the dirty flag. The preview is the player's (ExposurePorts::showPreview);
// the export applies the same value with the same curve.
//
// Automatic exposure reads the frame being shown as decoded, without the
// preview (measuring the previewed picture would make a second measurement
// undo the first), reduces it to its mean sRGB colour and picks the absolute
// exposure that brings its luminance to 0.45. Up to 11 attempts, 50 ms apart,
// wait for a frame to be shown. The frame is copied and measured on a worker
// thread; results come back through the scheduler.
//
// Ownership: borrows its ports, which must outlive it. The destructor waits
// for a running measurement worker (one frame copy and average) and drops
// its result.
// Threads: main thread only, except ExposurePorts::copyFrame, which runs on
// the worker.
#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "base/Scheduler.h"
#include "edit/EditPorts.h"
#include "edit/EditSession.h"
#include "platform/MediaPorts.h"

namespace kf {

// The mean colour of a frame as 8-bit sRGB components.
struct MeanColor {
  std::uint8_t red = 0, green = 0, blue = 0;
};

// The mean of every pixel's red, green and blue (BGRA bytes), each rounded
// to 8 bits. Black for an empty frame.
MeanColor MeanColorOfFrame(const media::VideoFrame& frame);
// The BT.709-weighted luminance of the colour, 0..1.
double MeanLuminance(MeanColor color);
// The exposure that brings the luminance to 0.45: log2(0.45 / L), or +1 for
// L <= 0.01. Not clamped.
double AutoExposureStops(MeanColor color);
// "<label> — %+.1f stops" (a value that rounds to zero shows as +0.0).
std::string ExposureStatusText(const std::string& label, double stops);
// What a click on the sun button does: "Reset exposure" with an exposure
// set (|stops| > 0.001), else "Auto-fix exposure".
std::string ExposureToolTip(double stops);

struct ExposurePorts {
  Scheduler* scheduler = nullptr;
  EditSession* edit = nullptr;
  StatusLinePort* status = nullptr;
  // Sets the sun button's tool tip.
  std::function<void(const std::string&)> setToolTip;
  // Whether a movie is open (an asset is installed).
  std::function<bool()> movieOpen;
  // True while an export, a clip export or a lossless copy runs. May be empty.
  std::function<bool()> busy;
  // Makes the player show `stops` (0: untouched) on its current item.
  std::function<void(double stops)> showPreview;
  // The frame being shown, as decoded (no preview applied); nullopt when
  // none is shown yet. Runs on the worker thread.
  std::function<std::optional<media::VideoFrame>()> copyFrame;
  // Identifies the open movie; a measurement started for one movie is not
  // applied to another. May be empty.
  std::function<std::uint64_t()> movieToken;
};

class ExposureController {
 public:
  static constexpr double kStep = 0.1;
  static constexpr double kSmallestChange = 1e-4;
  static constexpr double kNone = 0.001;
  static constexpr int kLastAttempt = 10;
  static constexpr double kAttemptInterval = 0.05;

  explicit ExposureController(ExposurePorts ports);
  ~ExposureController();
  ExposureController(const ExposureController&) = delete;
  ExposureController& operator=(const ExposureController&) = delete;

  // The one way a command changes the exposure: clamps x to [-1, 1]; does
  // nothing without a movie, while busy, or when x is within 1e-4 of the
  // current value; else one undo step, the new value, the preview, the
  // dirty flag, the tool tip and the status "<label> — %+.1f stops".
  void setExposureValue(double x, const std::string& label);
  void exposureBrighter();
  void exposureDarker();
  // With an exposure set: back to 0 ("Exposure reset"); else autoExposure().
  void resetExposure();
  // Starts the measurement of the displayed frame ("Measuring displayed
  // frame…"); without a movie or while busy nothing happens.
  void autoExposure();
  // Shows the edit's exposure on the player (none below 0.001).
  void applyExposurePreview();

  // Whether a measurement is under way (attempts or the worker).
  bool measuring() const { return measuring_; }

 private:
  void measureAutoExposureAttempt(int attempt);
  void attemptFinished(std::uint64_t generation, int attempt, std::optional<double> stops);
  void joinWorker();

  ExposurePorts ports_;
  std::uint64_t measureGeneration_ = 0;
  std::uint64_t measureMovie_ = 0;
  bool measuring_ = false;
  ScopedTask retry_;
  std::thread worker_;
  // Shared with posted results: false once the controller is gone.
  std::shared_ptr<std::atomic<bool>> alive_;
};

}  // namespace kf
