#include "export/plan/ExportPlan.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <limits>

#include "edit/EditText.h"

namespace kf {

std::int64_t ToTimescale(double seconds) {
  if (std::isnan(seconds)) return 0;
  const double units = std::round(seconds * static_cast<double>(kExportTimescale));
  if (units >= 9.2e18) return std::numeric_limits<std::int64_t>::max();
  if (units <= -9.2e18) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(units);
}

std::optional<RenderSize> RenderSizeFor(std::int64_t exportSize, bool optimize) {
  if (optimize) return std::nullopt;
  switch (exportSize) {
    case kExportSize1080p: return RenderSize{1920, 1080};
    case kExportSize720p: return RenderSize{1280, 720};
    case kExportSize480p: return RenderSize{854, 480};
    default: return std::nullopt;
  }
}

const char* PresetName(ExportPreset preset) {
  switch (preset) {
    case ExportPreset::Passthrough: return "passthrough";
    case ExportPreset::SmartRender: return "smart-render";
    default: return "highest-quality";
  }
}

bool HasEffects(const EditState& edit) {
  for (double f : edit.fadeIns)
    if (f > 0) return true;
  for (double f : edit.fadeOuts)
    if (f > 0) return true;
  return std::fabs(edit.exposure) > 0.001;
}

bool IsUntouched(const EditState& edit, double movieDuration) {
  if (edit.segments.size() != 1) return false;
  const TimeSpan& s = edit.segments[0];
  if (!(std::fabs(s.start) <= 1e-6) || !(std::fabs(s.end - movieDuration) <= 1e-6)) return false;
  for (double f : edit.fadeIns)
    if (f > 0) return false;
  for (double f : edit.fadeOuts)
    if (f > 0) return false;
  return !(std::fabs(edit.exposure) > 0.001);
}

ExportPreset EffectivePreset(std::int64_t exportMode, std::int64_t exportSize, bool hasEffects) {
  if (exportSize != kExportSizeSource || hasEffects) return ExportPreset::HighestQuality;
  if (exportMode == kExportModeLossless) return ExportPreset::Passthrough;
  if (exportMode == kExportModeSmart) return ExportPreset::SmartRender;
  return ExportPreset::HighestQuality;
}

bool UsesByteCopy(bool optimize, bool replacing, bool untouched, std::int64_t exportMode,
                  std::int64_t exportSize) {
  return !optimize && !replacing && untouched && exportMode == kExportModeLossless &&
         exportSize == kExportSizeSource;
}

double VolumeAt(const std::vector<VolumeRamp>& ramps, double t) {
  double v = 1;
  for (const VolumeRamp& r : ramps) {
    if (t < r.start) break;
    if (r.duration > 0 && t < r.start + r.duration)
      v = r.from + (r.to - r.from) * (t - r.start) / r.duration;
    else
      v = r.to;
  }
  return v;
}

namespace {
double EntryOr0(const std::vector<double>& v, std::size_t i) { return i < v.size() ? v[i] : 0.0; }
}  // namespace

std::vector<VolumeRamp> AudioFadeRamps(const std::vector<TimeSpan>& segments, const std::vector<double>& fadesIn,
                                       const std::vector<double>& fadesOut) {
  std::vector<VolumeRamp> ramps;
  std::int64_t cursor = 0;  // 1/600 units, as the media layer accumulates it
  for (std::size_t j = 0; j < segments.size(); ++j) {
    const std::int64_t len = ToTimescale(segments[j].end - segments[j].start);
    const double lenSeconds = segments[j].end - segments[j].start;
    const double fiSeconds = std::min(lenSeconds, EntryOr0(fadesIn, j));
    const double foSeconds = std::min(lenSeconds - fiSeconds, EntryOr0(fadesOut, j));
    const std::int64_t fi = fiSeconds > 0 ? ToTimescale(fiSeconds) : 0;
    const std::int64_t fo = foSeconds > 0 ? ToTimescale(foSeconds) : 0;
    const double at = FromTimescale(cursor);
    ramps.push_back({at, 0, fiSeconds > 0 ? 0.0 : 1.0, fiSeconds > 0 ? 0.0 : 1.0});
    if (fiSeconds > 0) ramps.push_back({at, FromTimescale(fi), 0, 1});
    if (foSeconds > 0) {
      const double t = FromTimescale(cursor + (len - fo));
      ramps.push_back({t, 0, 1, 1});
      ramps.push_back({t, FromTimescale(fo), 1, 0});
    }
    cursor += len;
  }
  return ramps;
}

double SegmentFadeFactor(double u, double length, double fadeIn, double fadeOut) {
  const double a = fadeIn > 0 ? std::clamp(u / fadeIn, 0.0, 1.0) : 1.0;
  const double b = fadeOut > 0 ? std::clamp((length - u) / fadeOut, 0.0, 1.0) : 1.0;
  return std::min(a, b);
}

std::vector<VolumeRamp> AudioFadeRampsForLengths(const std::vector<double>& lengths, const std::vector<double>& fadesIn,
                                                 const std::vector<double>& fadesOut) {
  std::vector<VolumeRamp> ramps;
  double at = 0;
  for (std::size_t j = 0; j < lengths.size(); ++j) {
    const double len = std::max(0.0, lengths[j]);
    const double fi = std::min(len, EntryOr0(fadesIn, j));
    const double fo = std::min(len - fi, EntryOr0(fadesOut, j));
    ramps.push_back({at, 0, fi > 0 ? 0.0 : 1.0, fi > 0 ? 0.0 : 1.0});
    if (fi > 0) ramps.push_back({at, fi, 0, 1});
    if (fo > 0) {
      ramps.push_back({at + len - fo, 0, 1, 1});
      ramps.push_back({at + len - fo, fo, 1, 0});
    }
    at += len;
  }
  return ramps;
}

double FadeFactor(const std::vector<TimeSpan>& segments, const std::vector<double>& fadesIn,
                  const std::vector<double>& fadesOut, double t) {
  double h = 0;
  for (std::size_t i = 0; i < segments.size(); ++i) {
    const double len = segments[i].end - segments[i].start;
    if (t >= h && t <= h + len + 0.001) {
      return SegmentFadeFactor(t - h, len, EntryOr0(fadesIn, i), EntryOr0(fadesOut, i));
    }
    h += len;
  }
  return 1;
}

PictureFit FitPicture(int sourceWidth, int sourceHeight, RenderSize render) {
  PictureFit fit;
  if (sourceWidth <= 0 || sourceHeight <= 0 || render.width <= 0 || render.height <= 0) return fit;
  fit.scale = std::min(static_cast<double>(render.width) / sourceWidth,
                       static_cast<double>(render.height) / sourceHeight);
  fit.width = std::clamp(static_cast<int>(std::lround(sourceWidth * fit.scale)), 1, render.width);
  fit.height = std::clamp(static_cast<int>(std::lround(sourceHeight * fit.scale)), 1, render.height);
  // Even offsets keep the chroma of a 4:2:0 picture on its own rows and columns.
  fit.x = 2 * static_cast<int>(std::lround((render.width - fit.width) / 4.0));
  fit.y = 2 * static_cast<int>(std::lround((render.height - fit.height) / 4.0));
  fit.x = std::clamp(fit.x, 0, render.width - fit.width);
  fit.y = std::clamp(fit.y, 0, render.height - fit.height);
  return fit;
}

CompositionPlan PlanComposition(const CompositionRequest& r) {
  CompositionPlan plan;
  plan.segments = r.segments;
  plan.fadesIn = r.fadesIn;
  plan.fadesOut = r.fadesOut;
  plan.exposure = r.exposure;
  plan.preset = r.preset;
  for (const TimeSpan& s : r.segments) {
    SourceRange range{ToTimescale(s.start), ToTimescale(s.end - s.start)};
    plan.ranges.push_back(range);
    if (range.duration > 0) plan.totalDuration += range.duration;
  }
  if (r.preset != ExportPreset::HighestQuality) return plan;  // copies carry no picture pass or mix
  plan.renderSize = RenderSizeFor(r.exportSize, r.optimize);
  bool anyFade = false;
  for (double f : r.fadesIn) anyFade = anyFade || f > 0;
  for (double f : r.fadesOut) anyFade = anyFade || f > 0;
  const bool flag = plan.renderSize.has_value() || std::fabs(r.exposure) > 0.001 || anyFade;
  plan.videoComposition = r.wantVideoComposition && flag;
  if (r.wantAudioMix && !r.optimize && anyFade) {
    plan.audioMix = true;
    plan.audioRamps = AudioFadeRamps(r.segments, r.fadesIn, r.fadesOut);
  }
  return plan;
}

TimeSpan ExactRange(const CompositionPlan& plan, std::size_t k) {
  const SourceRange& r = plan.ranges.at(k);
  if (k < plan.segments.size()) {
    const TimeSpan& s = plan.segments[k];
    // Only when the plan's range was made from this segment.
    if (ToTimescale(s.start) == r.start && ToTimescale(s.end - s.start) == r.duration) return s;
  }
  return TimeSpan{FromTimescale(r.start), FromTimescale(r.start + r.duration)};
}

namespace {
std::string Format(const char* fmt, double a) {
  char buf[64];
  std::snprintf(buf, sizeof buf, fmt, a);
  return buf;
}
bool ShowEstimate(double p, double remaining) { return p > 0.001 && remaining > 1; }
double Remaining(double p, double elapsed) { return elapsed * (1 - p) / p; }
}  // namespace

std::string SessionProgressText(double p, double elapsed, double editedDuration) {
  const double remaining = Remaining(p, elapsed);
  std::string text = "Exporting " + Format("%.0f", p * 100) + "%";
  if (ShowEstimate(p, remaining))
    text += " — " + mg::Clock(editedDuration * p) + " processed, about " + mg::Clock(remaining) + " left";
  return text;
}

double CopyProgressFraction(std::uint64_t copied, std::uint64_t total) {
  return total == 0 ? 0.0 : static_cast<double>(copied) / static_cast<double>(total);
}

std::string CopyProgressText(std::uint64_t copied, std::uint64_t total, double elapsed) {
  const double p = CopyProgressFraction(copied, total);
  const double remaining = Remaining(p, elapsed);
  std::string text = "Copying " + Format("%.0f", copied / 1048576.0) + " / " + Format("%.0f", total / 1048576.0) +
                     " MB — " + Format("%.0f", p * 100) + "%";
  if (ShowEstimate(p, remaining)) text += ", about " + mg::Clock(remaining) + " left";
  return text;
}

std::string ClipProgressText(double p, int done, std::size_t count, double elapsed) {
  const double remaining = Remaining(p, elapsed);
  std::string text = "Exporting clips " + Format("%.0f", p * 100) + "% — " + std::to_string(done) + " of " +
                     std::to_string(count);
  text += ShowEstimate(p, remaining) ? ", about " + mg::Clock(remaining) + " left" : " complete";
  return text;
}

std::string PercentBadge(double p) { return Format("%.0f", p * 100) + "%"; }

}  // namespace kf
