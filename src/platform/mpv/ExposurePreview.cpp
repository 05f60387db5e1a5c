#include "platform/mpv/ExposurePreview.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace kf::mpv {
namespace {

std::string Number(double v) {
  char buf[64];
  std::snprintf(buf, sizeof buf, "%.9g", v);
  return buf;
}

double SrgbToLinear(double v) { return v <= 0.04045 ? v / 12.92 : std::pow((v + 0.055) / 1.055, 2.4); }
double LinearToSrgb(double v) { return v <= 0.0031308 ? v * 12.92 : 1.055 * std::pow(v, 1 / 2.4) - 0.055; }

}  // namespace

std::array<std::uint8_t, 256> ExposureTable(double stops) {
  std::array<std::uint8_t, 256> table{};
  const double gain = std::exp2(stops);
  for (int v = 0; v < 256; ++v) {
    const double lin = std::clamp(SrgbToLinear(v / 255.0) * gain, 0.0, 1.0);
    table[static_cast<std::size_t>(v)] = static_cast<std::uint8_t>(std::lround(LinearToSrgb(lin) * 255.0));
  }
  return table;
}

std::array<std::uint8_t, 256> ExposureInverseTable(double stops) {
  const auto forward = ExposureTable(stops);
  std::array<std::uint8_t, 256> inverse{};
  for (int o = 0; o < 256; ++o) {
    // Several source levels may share one output (darkening) or an output
    // may have none (brightening): take the one whose image is nearest, the
    // middle one of a run of equals; but full scale stays full scale (what
    // the preview clipped was most often white in the movie already).
    int best = 0, bestDistance = 256, first = -1, last = -1;
    for (int v = 0; v < 256; ++v) {
      const int d = std::abs(int(forward[static_cast<std::size_t>(v)]) - o);
      if (d < bestDistance) bestDistance = d, best = v, first = last = v;
      else if (d == bestDistance && last == v - 1) last = v;
    }
    const int level = first < 0 ? best : last == 255 ? 255 : (first + last) / 2;
    inverse[static_cast<std::size_t>(o)] = static_cast<std::uint8_t>(level);
  }
  return inverse;
}

std::string ExposureShaderSource(double stops) {
  const std::string gain = Number(std::exp2(stops));
  return "//!HOOK MAIN\n"
         "//!BIND HOOKED\n"
         "//!DESC exposure\n"
         "vec4 hook() {\n"
         "    vec4 c = HOOKED_texOff(vec2(0.0));\n"
         "    vec3 v = clamp(c.rgb, 0.0, 1.0);\n"
         "    vec3 lin = mix(v / 12.92, pow((v + 0.055) / 1.055, vec3(2.4)), step(vec3(0.04045), v));\n"
         "    lin = min(lin * " + gain + ", vec3(1.0));\n"
         "    c.rgb = mix(lin * 12.92, 1.055 * pow(lin, vec3(1.0 / 2.4)) - 0.055, step(vec3(0.0031308), lin));\n"
         "    return c;\n"
         "}\n";
}

std::string ExposureFilterGraph(double stops) {
  if (!(std::fabs(stops) >= 0.001)) return {};
  // ld(0): the component in 0..1; ld(1): in linear light with the gain,
  // clipped; the result is rounded to the nearest level.
  const std::string out = "st(0,val/maxval);"
                          "st(1,min(if(lte(ld(0),0.04045),ld(0)/12.92,pow((ld(0)+0.055)/1.055,2.4))*" +
                          Number(std::exp2(stops)) +
                          ",1));"
                          "maxval*if(lte(ld(1),0.0031308),ld(1)*12.92,1.055*pow(ld(1),1/2.4)-0.055)+0.5";
  return "lavfi=[lutrgb=r='" + out + "':g='" + out + "':b='" + out + "']";
}

}  // namespace kf::mpv
