// Turning the URL the user opened into what the media engine opens.
//
// MGPrepareRangeAssetForURL decides where a movie's bytes come from:
// - a handoff link "kerfline://larder[/name]?domain=D&item=I": Larder's
//   byte-range service for that item, no fallback;
// - a file URL inside an announced Larder domain: Larder's service
//   ("com.marrowgate.larder.byte-range", else "com.marrowgate.larder.range"),
//   falling back to the local path when it fails;
// - any other file URL: the local path. When the movie header holds "hev1"
//   or "dvhe" sample entries the program serves the file itself through the
//   local file range service; otherwise the media engine opens the file.
// Anything else fails with error 12.
//
// Served movies are presented under "kerfline-range://larder/<name>" or
// "kerfline-range://file/<name>" together with the MGRangeAssetLoader that
// answers their byte requests; the media engine opens that URL through its
// stream adapter over the loader (see MGBlockingRangeReader).
//
// Threads: the call returns at once; the work runs on a preparation queue
// (one per call), which ends with the preparation. The completion runs exactly once, on the main thread,
// through `scheduler`, which must outlive the preparation. After delivery a
// Larder connection that drops invalidates the delivered loader with error 6.
#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "base/Error.h"
#include "base/Scheduler.h"
#include "source/MGByteCapture.h"
#include "source/MGRangeAssetLoader.h"

namespace kf {

inline constexpr const char* kRangeAssetScheme = "kerfline-range";

// What the media engine needs to open the movie.
struct MGAssetDescription {
  // The URL the engine is given: "kerfline-range://…" when served, else the
  // file URL that was opened.
  std::string url;
  // The local file to open directly; empty when served through the loader.
  std::string filePath;
  // Precise duration and timing are wanted (accurate seeking on open).
  bool preferPreciseDurationAndTiming = true;
  bool served() const { return filePath.empty(); }
};

// The preparation completion: exactly one of asset and error is set; the
// loader is set only for served movies; servedByLarder only when the bytes
// come from Larder.
struct MGPreparation {
  std::optional<MGAssetDescription> asset;
  std::shared_ptr<MGRangeAssetLoader> loader;
  bool servedByLarder = false;
  std::optional<kf::Error> error;
  // The movie's bytes as the preparation read them (its index among them),
  // kept in memory: a served movie's loader reads through it, and the media
  // engine reads a local file through it, so the index is read from the
  // source once. Seal its capture once the engine has opened the movie.
  std::shared_ptr<MGCapturingRangeService> source;
};

struct MGPreparationOptions {
  // The Larder registry folder; empty: MGLarderRegistryDirectory().
  std::string registryDirectory;
  // Bound on connecting to a service.
  double connectTimeoutSeconds = 10.0;
  // Opens a local file as a range service; empty: MGFileRangeService.
  std::function<std::shared_ptr<MGRangeServiceProtocol>(const std::string& path)> openFile;
  // Runs with a prepared movie on the preparation's thread, just before the
  // result is delivered: what can start at once (the media engine's probe)
  // need not wait for the main thread. Not for a failed or cancelled
  // preparation.
  std::function<void(const MGPreparation&)> prepared;
};

// Abandons a preparation that has not delivered yet: a Larder connection it
// holds, or makes later, is closed (its reader thread ends) and the
// completion runs with the cancellation error (MGRangeCancelledError). A
// no-op once the result is delivered. Any thread.
using MGCancelPreparation = std::function<void()>;

MGCancelPreparation MGPrepareRangeAssetForURL(const std::string& url, Scheduler& scheduler,
                                              std::function<void(MGPreparation)> completion,
                                              MGPreparationOptions options = {});

// The served asset's URL for a file name ("movie.mp4" when empty).
std::string MGRangeAssetURL(const std::string& host, const std::string& fileName);

}  // namespace kf
