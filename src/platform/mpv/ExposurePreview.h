// The exposure preview as the player applies it: the export's curve (each
// sRGB component to linear light, times 2^stops, clipped to full scale, back
// to sRGB) in two forms, an mpv user shader for the OpenGL renderer and a
// libavfilter graph for the software renderer.
//
// Threads: pure functions, any thread.
#pragma once

#include <array>
#include <cstdint>
#include <string>

namespace kf::mpv {

// An mpv user shader (hook on MAIN: RGB after decoding, before scaling)
// that applies `stops` to the picture.
std::string ExposureShaderSource(double stops);
// The video filter for libmpv's "vf" option ("lavfi=[lutrgb=…]"); empty for
// |stops| < 0.001.
std::string ExposureFilterGraph(double stops);
// The forward curve as an 8-bit table (what the filter and the export do to
// each component), and its inverse: each level to the source level whose
// curve value is nearest to it (full scale to full scale).
std::array<std::uint8_t, 256> ExposureTable(double stops);
std::array<std::uint8_t, 256> ExposureInverseTable(double stops);

}  // namespace kf::mpv
