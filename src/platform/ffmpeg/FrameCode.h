// The frame-number pattern that every generated test movie carries, and its
// reader. Plain C++ (no FFmpeg), so any test can read a frame it got from
// anywhere: a decoder, libmpv's frame tap, a rendered widget.
//
// Layout, in the coded picture: the top half is a grid of 8 columns by 4 rows
// of cells, each plain white or plain black. The four corner cells are white
// and their inner neighbours black (reference cells); the other 24 cells carry
// the frame number's 16 bits (most significant first) followed by a CRC-8 of
// those two bytes. The reader compares each cell with the midpoint of the
// white and black references, so a brightened, darkened or partly faded
// picture still reads, and the cells are large enough (1/8 of the width) to
// survive lossy coding and scaling down to a few dozen pixels per cell. The
// bottom half shows the number in large digits for people, on a background
// whose colour changes with the frame.
//
// The reader tries the four display rotations (a movie with a rotation matrix
// is shown turned) and, when the picture has black bars (letterbox or
// pillarbox padding), retries inside the non-black area.
#pragma once

#include <cstdint>
#include <optional>

namespace kf::testmovies {

inline constexpr int kMaxFrameNumber = 0xFFFF;

// Draws the pattern for `number` (0..kMaxFrameNumber) into an 8-bit luma
// plane (video range: black 16, white 235). Only luma is drawn: the chroma
// planes are the caller's to fill.
void drawFrameCode(std::uint8_t* luma, int width, int height, int stride, int number);

enum class PixelLayout {
  Gray8,   // one byte per pixel (e.g. the Y plane of a YUV frame)
  BGRA,    // B, G, R, A bytes; also bgr0 (libmpv's screenshot-raw, Qt RGB32)
  RGBA,    // R, G, B, A bytes; also rgb0
  RGB24,   // R, G, B bytes
};

// The frame number shown in an image, or nullopt when no valid pattern is
// found (wrong picture, too dark, check failed). `stride` is in bytes.
std::optional<int> readFrameCode(const std::uint8_t* data, int width, int height, int stride,
                                 PixelLayout layout);

// CRC-8 (polynomial 0x07) of the number's two bytes; exposed for tests.
std::uint8_t frameCodeCheck(int number);

}  // namespace kf::testmovies
