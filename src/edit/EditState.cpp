#include "edit/EditState.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace kerfline {

void AppendG17(std::string& out, double v) {
  // std::to_chars with an explicit precision is defined as printf in the "C"
  // locale, so the text never depends on the process locale.
  char buf[64];
  const std::to_chars_result r = std::to_chars(buf, buf + sizeof buf, v, std::chars_format::general, 17);
  out.append(buf, r.ptr);
}

std::string Signature(const std::vector<TimeSpan>& segments, const std::vector<std::string>& names,
                      const std::vector<double>& fadeIns, const std::vector<double>& fadeOuts,
                      double exposure) {
  std::string out;
  // About 60 bytes per segment without names; one reservation avoids regrowth.
  out.reserve(32 + segments.size() * 64);
  AppendG17(out, exposure);
  out.push_back('|');
  for (std::size_t i = 0; i < segments.size(); ++i) {
    AppendG17(out, segments[i].start);
    out.push_back(':');
    AppendG17(out, segments[i].end);
    out.push_back(':');
    if (i < names.size()) out.append(names[i]);
    out.push_back(':');
    AppendG17(out, i < fadeIns.size() ? fadeIns[i] : 0.0);
    out.push_back(':');
    AppendG17(out, i < fadeOuts.size() ? fadeOuts[i] : 0.0);
    out.push_back(';');
  }
  return out;
}

std::string Signature(const EditState& state) {
  return Signature(state.segments, state.names, state.fadeIns, state.fadeOuts, state.exposure);
}

namespace {

// "%.17g" gives every double its own text (17 significant digits round-trip),
// keeps the sign of zero, and writes any not-a-number as "nan" or "-nan".
bool SameNumberText(double a, double b) {
  const bool nanA = std::isnan(a), nanB = std::isnan(b);
  if (nanA || nanB) return nanA && nanB && std::signbit(a) == std::signbit(b);
  return a == b && std::signbit(a) == std::signbit(b);
}

bool NamesHaveDelimiter(const std::vector<std::string>& names, std::size_t count) {
  if (names.size() < count) count = names.size();
  for (std::size_t i = 0; i < count; ++i) {
    if (names[i].find_first_of(":;") != std::string::npos) return true;
  }
  return false;
}

const std::string kNoName;

}  // namespace

bool SameSignature(const std::vector<TimeSpan>& segmentsA, const std::vector<std::string>& namesA,
                   const std::vector<double>& fadeInsA, const std::vector<double>& fadeOutsA,
                   double exposureA, const EditState& b) {
  const std::size_t n = segmentsA.size();
  // Without delimiters in the names the text parses back into its values, so
  // equal texts and equal values are the same thing.
  if (NamesHaveDelimiter(namesA, n) || NamesHaveDelimiter(b.names, b.segments.size())) {
    return Signature(segmentsA, namesA, fadeInsA, fadeOutsA, exposureA) == Signature(b);
  }
  if (n != b.segments.size() || !SameNumberText(exposureA, b.exposure)) return false;
  for (std::size_t i = 0; i < n; ++i) {
    if (!SameNumberText(segmentsA[i].start, b.segments[i].start) ||
        !SameNumberText(segmentsA[i].end, b.segments[i].end)) {
      return false;
    }
    const std::string& nameA = i < namesA.size() ? namesA[i] : kNoName;
    const std::string& nameB = i < b.names.size() ? b.names[i] : kNoName;
    if (nameA != nameB) return false;
    if (!SameNumberText(i < fadeInsA.size() ? fadeInsA[i] : 0.0, i < b.fadeIns.size() ? b.fadeIns[i] : 0.0) ||
        !SameNumberText(i < fadeOutsA.size() ? fadeOutsA[i] : 0.0,
                        i < b.fadeOuts.size() ? b.fadeOuts[i] : 0.0)) {
      return false;
    }
  }
  return true;
}

bool SameSignature(const EditState& a, const EditState& b) {
  return SameSignature(a.segments, a.names, a.fadeIns, a.fadeOuts, a.exposure, b);
}

void NormalizeEdit(EditState& state) {
  const std::size_t n = state.segments.size();
  state.names.resize(n);
  state.fadeIns.resize(n, 0.0);
  state.fadeOuts.resize(n, 0.0);
  mg::ClampFades(state.segments, state.fadeIns, state.fadeOuts);
  if (n == 0) {
    state.selected = -1;
  } else if (state.selected < 0) {
    state.selected = 0;
  } else if (static_cast<std::size_t>(state.selected) >= n) {
    state.selected = static_cast<std::int32_t>(n - 1);
  }
  if (state.exposure > 1) {
    state.exposure = 1;
  } else if (state.exposure < -1) {
    state.exposure = -1;
  }
}

}  // namespace kerfline

namespace mg {

void ClampFades(const std::vector<kerfline::TimeSpan>& segments, std::vector<double>& fadeIns,
                std::vector<double>& fadeOuts) {
  std::size_t n = segments.size();
  if (fadeIns.size() < n) n = fadeIns.size();
  if (fadeOuts.size() < n) n = fadeOuts.size();
  for (std::size_t i = 0; i < n; ++i) {
    double len = segments[i].end - segments[i].start;
    if (!(len > 0)) len = 0;
    double in = fadeIns[i];
    double out = fadeOuts[i];
    // Not-a-number fades are treated like negative ones: no fade.
    in = !(in >= 0) ? 0 : (len < in ? len : in);
    const double room = len - in;
    out = !(out >= 0) ? 0 : (room < out ? room : out);
    fadeIns[i] = in < kerfline::kMinimumFade ? 0 : in;
    fadeOuts[i] = out < kerfline::kMinimumFade ? 0 : out;
  }
}

}  // namespace mg
