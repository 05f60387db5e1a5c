// What the program remembers per movie between launches: the window frame
// ("videoFrames") and the playhead ("playheads"), both keyed by the movie's
// identity key ("path|size|mtime"), with the plain path as a second key on
// reading. Entries are added or overwritten, never removed.
//
// Main thread (the settings store's thread).
#pragma once

#include <optional>
#include <string>
#include <string_view>

#include "app/rules/SettingsStore.h"
#include "base/Geometry.h"

namespace kf {

// Text form of a frame, "{{x, y}, {width, height}}", with the shortest
// decimal form of each number that reads back to the same double.
std::string FrameToString(const Rect& frame);
// Reads the text form back; nullopt unless the text is exactly that form
// (spaces around the numbers optional) with four finite numbers.
std::optional<Rect> FrameFromString(std::string_view text);

// saveGeometryForCurrentMovie: stores `frame` under `identityKey`, keeping
// the other entries. (The caller skips this in full screen or with no movie.)
void StoreVideoFrame(SettingsStore& store, const std::string& identityKey, const Rect& frame);

// The remembered frame to restore: the text under `identityKey`, or when that
// is missing or empty the text under `path`; restored only when it parses and
// is at least the window's minimum size (820 × 640). nullopt means: size the
// window from the picture instead.
std::optional<Rect> RestorableVideoFrame(const SettingsStore& store, std::string_view identityKey,
                                         std::string_view path);

// Playhead memory: writes `seconds` (exact) under `identityKey`. Non-finite
// values are not stored.
void StorePlayhead(SettingsStore& store, const std::string& identityKey, double seconds);

// The remembered playhead of a movie of `duration` seconds: the number under
// `identityKey`, or else under `path`; only when it lies strictly between 0
// and the duration (the open flow then seeks to it).
std::optional<double> RememberedPlayhead(const SettingsStore& store, std::string_view identityKey,
                                         std::string_view path, double duration);

}  // namespace kf
