// Export planning: what a new movie is made of, before any media library is
// involved.
//
// A composition lays chosen source ranges end to end; an optional per-frame
// picture pass applies exposure, fades to black and a fixed render size; an
// optional audio mix turns fades into volume ramps. This file decides all of
// it as plain values (CompositionPlan) that the FFmpeg export session
// (platform/export) carries out, plus the preset choice, the untouched test
// and the per-frame and per-sample formulas that the session evaluates.
//
// Pure functions of their arguments; any thread.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "edit/EditState.h"

namespace kf {

using kerfline::EditState;
using kerfline::TimeSpan;

// Times handed to the media layer are whole units of 1/600 s.
inline constexpr std::int64_t kExportTimescale = 600;

// Seconds to whole 1/600 units, rounded to nearest (halves away from zero).
// Not-a-number gives 0; values beyond the 64-bit range saturate.
std::int64_t ToTimescale(double seconds);
inline double FromTimescale(std::int64_t units) { return static_cast<double>(units) / kExportTimescale; }

// Export size settings (the tags of the size menu items).
inline constexpr std::int64_t kExportSizeSource = 0;
inline constexpr std::int64_t kExportSize1080p = 1;
inline constexpr std::int64_t kExportSize720p = 2;
inline constexpr std::int64_t kExportSize480p = 3;
// Export mode settings.
inline constexpr std::int64_t kExportModeLossless = 0;
inline constexpr std::int64_t kExportModeReencode = 1;
inline constexpr std::int64_t kExportModeSmart = 2;

struct RenderSize {
  int width = 0;
  int height = 0;
  bool operator==(const RenderSize&) const = default;
};

// The fixed output size for an export size setting: 1920x1080, 1280x720,
// 854x480; none for the source size, for any value outside the table, and
// whenever `optimize` is set.
std::optional<RenderSize> RenderSizeFor(std::int64_t exportSize, bool optimize);

enum class ExportPreset {
  Passthrough,     // stream copy of every track, frame-exact by edit lists
  HighestQuality,  // re-encode (H.264 + AAC) with the picture pass
  SmartRender,     // copy from each range's first keyframe, re-encode only around it
};
// "passthrough" / "highest-quality" / "smart-render"
const char* PresetName(ExportPreset preset);

// Any fade longer than 0, or |exposure| > 0.001.
bool HasEffects(const EditState& edit);

// Exactly one segment from 0 (within 1e-6 s) to `movieDuration` (within
// 1e-6 s), no fade and |exposure| <= 0.001.
bool IsUntouched(const EditState& edit, double movieDuration);

// Re-encode when the size is not the source's, the edit has effects, or the
// mode is neither lossless nor smart render; otherwise the stream copy
// (lossless) or the smart render.
ExportPreset EffectivePreset(std::int64_t exportMode, std::int64_t exportSize, bool hasEffects);

// Whether "Export As…" copies the source byte for byte instead of running an
// export session.
bool UsesByteCopy(bool optimize, bool replacing, bool untouched, std::int64_t exportMode,
                  std::int64_t exportSize);

// One source range in 1/600 units, in playing order.
struct SourceRange {
  std::int64_t start = 0;     // source time
  std::int64_t duration = 0;  // may be <= 0 for a degenerate segment (inserts nothing)
  bool operator==(const SourceRange&) const = default;
};

// A volume change on the edited timeline (seconds, on the 1/600 grid): from
// `start` the volume goes linearly from `from` to `to` over `duration`
// seconds; a duration of 0 is a plain step to `to`.
struct VolumeRamp {
  double start = 0;
  double duration = 0;
  double from = 1;
  double to = 1;
  bool operator==(const VolumeRamp&) const = default;
};

// Volume at edited time t: 1 before the first ramp; inside a ramp the linear
// value; after it the ramp's end value, until a later ramp starts. Ramps are
// in start order (later ones win where they overlap).
double VolumeAt(const std::vector<VolumeRamp>& ramps, double t);

// The audio fade ramps of one track: per segment j of length len, the
// fade-in fi = min(len, fadesIn[j]) and fade-out fo = min(len - fi,
// fadesOut[j]) (missing entries are 0): a step to 0 (fi > 0) or 1 at the
// segment's edited start, a ramp 0 -> 1 over fi, and at len - fo a step to 1
// and a ramp 1 -> 0 over fo. Every time and length is rounded to 1/600 s.
std::vector<VolumeRamp> AudioFadeRamps(const std::vector<TimeSpan>& segments, const std::vector<double>& fadesIn,
                                       const std::vector<double>& fadesOut);

// Fade factor (0..1) of the picture at edited time t (the composition's time
// of a frame): the first segment whose edited range [h, h + len + 0.001]
// holds t decides, min(ramp in, ramp out) with the stored fade lengths; 1
// when no segment holds t.
double FadeFactor(const std::vector<TimeSpan>& segments, const std::vector<double>& fadesIn,
                  const std::vector<double>& fadesOut, double t);

// The fade factor u seconds into a segment `length` seconds long:
// min(ramp in, ramp out) with the stored fade lengths (FadeFactor within one
// segment).
double SegmentFadeFactor(double u, double length, double fadeIn, double fadeOut);

// AudioFadeRamps for segments of the given lengths in seconds, as they are
// (not rounded to the grid): the export applies fades over the lengths the
// kept frames actually take, so a fade-in starts at a range's first kept
// frame and a fade-out ends exactly where its last kept frame ends.
std::vector<VolumeRamp> AudioFadeRampsForLengths(const std::vector<double>& lengths, const std::vector<double>& fadesIn,
                                                 const std::vector<double>& fadesOut);

// Where a w x h picture lands inside a W x H render size: scaled uniformly
// by min(W / w, H / h) (up or down) and centred. Sizes are rounded to whole
// pixels, and to even numbers of pixels where a 4:2:0 picture needs them
// (the offsets; the picture's size keeps its nearest whole value).
struct PictureFit {
  int x = 0, y = 0, width = 0, height = 0;
  double scale = 1;
  bool operator==(const PictureFit&) const = default;
};
PictureFit FitPicture(int sourceWidth, int sourceHeight, RenderSize render);

// Everything an export session needs to build one new movie.
struct CompositionPlan {
  std::vector<SourceRange> ranges;   // one per segment, same order
  std::int64_t totalDuration = 0;    // sum of positive range durations (1/600 units)
  // The picture pass's own copies (later edits do not reach a built plan).
  std::vector<TimeSpan> segments;
  std::vector<double> fadesIn, fadesOut;
  double exposure = 0;               // stops; applied when |exposure| > 0.001
  std::optional<RenderSize> renderSize;
  bool videoComposition = false;     // the per-frame picture pass applies (when there is video)
  bool audioMix = false;             // the volume ramps apply (when there is audio)
  std::vector<VolumeRamp> audioRamps;
  ExportPreset preset = ExportPreset::Passthrough;
};

struct CompositionRequest {
  std::vector<TimeSpan> segments;
  std::vector<double> fadesIn, fadesOut;
  double exposure = 0;
  std::int64_t exportSize = kExportSizeSource;
  bool optimize = false;
  ExportPreset preset = ExportPreset::Passthrough;
  bool wantVideoComposition = true;
  bool wantAudioMix = true;
};

// The composition of a request. The picture pass is planned when asked for
// and a render size, exposure or any fade applies; the audio mix when asked
// for, not optimizing and any fade is longer than 0. The stream-copy preset
// and the smart render carry neither (they cannot change samples).
CompositionPlan PlanComposition(const CompositionRequest& request);

// The exact source times of range k, in seconds: the edited segment when
// the plan carries it (`ranges` hold its 1/600 rounding, for progress and
// the skip of degenerate segments), else the range's own grid values. The
// media layer cuts by these, so a cut placed on a frame at any rate stays
// on that frame.
TimeSpan ExactRange(const CompositionPlan& plan, std::size_t k);

// Texts of the export progress line (C formatting rules for the numbers).
// Session: "Exporting %.0f%% — %@ processed, about %@ left" once p > 0.001
// and the estimate exceeds a second, else "Exporting %.0f%%".
std::string SessionProgressText(double p, double elapsed, double editedDuration);
// Copy: "Copying %.0f / %.0f MB — %.0f%%, about %@ left" or without the
// estimate; MB are 2^20 bytes; p = 0 when total is 0.
std::string CopyProgressText(std::uint64_t copied, std::uint64_t total, double elapsed);
double CopyProgressFraction(std::uint64_t copied, std::uint64_t total);
// Clips: "Exporting clips %.0f%% — %d of %lu, about %@ left" or
// "Exporting clips %.0f%% — %d of %lu complete".
std::string ClipProgressText(double p, int done, std::size_t count, double elapsed);
// Dock badge text "%.0f%%".
std::string PercentBadge(double p);

}  // namespace kf
