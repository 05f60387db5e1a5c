// Helpers shared by the asset, player and export tests: a movie served
// through the range loader as the app serves it, and seeking the player and
// reading the frame number on screen.
#pragma once

#include <gtest/gtest.h>

#include <atomic>
#include <memory>
#include <optional>
#include <string>
#include <thread>

#include "base/ManualScheduler.h"
#include "platform/MediaPorts.h"
#include "platform/ffmpeg/FrameCode.h"
#include "source/MGFileRangeService.h"
#include "source/MGRangeAssetLoader.h"
#include "source/MGSampleEntryRetag.h"

namespace kf::testsupport {

// A loader over the file at `path` (or over `service`), with the retag table
// the scan of the file finds.
inline std::shared_ptr<MGRangeAssetLoader> ServedLoader(const std::string& path,
                                                        std::shared_ptr<MGRangeServiceProtocol> service = nullptr) {
  auto file = MGFileRangeService::create(path);
  const auto size = file->size();
  if (!service) service = file;
  auto loader = MGRangeAssetLoader::create(service, size, path, nullptr);
  std::atomic<bool> done{false};
  MGScanSampleEntryRetags(file, size, "mp4", [&](MGRetagTable t) {
    loader->setRetags(std::move(t));
    done = true;
  });
  while (!done) std::this_thread::yield();
  return loader;
}

// Seeks and waits for the completion; returns its finished flag.
inline bool SeekAndWait(media::Player& player, ManualScheduler& sched, double t, double tolerance = 0) {
  std::optional<bool> done;
  player.seekToTime(t, tolerance, tolerance, [&](bool f) { done = f; });
  EXPECT_TRUE(sched.runUntil([&] { return done.has_value(); }, 20)) << "seek to " << t;
  return done.value_or(false);
}

// The frame number shown: -2 with no picture, -1 when unreadable.
inline int ShownFrame(media::Player& player) {
  auto f = player.copyDisplayedFrame();
  if (!f) return -2;
  return testmovies::readFrameCode(f->bgra.data(), f->width, f->height, f->stride, testmovies::PixelLayout::BGRA)
      .value_or(-1);
}

}  // namespace kf::testsupport
