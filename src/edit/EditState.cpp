#include "edit/EditState.h"

#include <charconv>
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
                      const std::vector<double>& fadeIns, const std::vector<double>& fadeOuts, double exposure) {
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
