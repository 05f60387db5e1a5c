#include "platform/ffmpeg/FrameCode.h"

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>

namespace kf::testmovies {
namespace {

constexpr int kCols = 8;
constexpr int kRows = 4;
constexpr std::uint8_t kWhite = 235;
constexpr std::uint8_t kBlack = 16;
constexpr std::array<int, 4> kWhiteCells = {0, 7, 24, 31};
constexpr std::array<int, 4> kBlackCells = {1, 6, 25, 30};
// A picture whose references differ by less than this carries no readable
// pattern (faded to black, blank, unrelated content).
constexpr double kMinContrast = 24.0;

bool isReference(int cell) {
  for (int c : kWhiteCells)
    if (c == cell) return true;
  for (int c : kBlackCells)
    if (c == cell) return true;
  return false;
}

// The 24 data cells in reading order.
std::array<int, 24> dataCells() {
  std::array<int, 24> out{};
  int n = 0;
  for (int cell = 0; cell < kCols * kRows; ++cell)
    if (!isReference(cell)) out[n++] = cell;
  return out;
}

// 3x5 digit glyphs, one row per 3 bits (bit 2 is the left column).
constexpr std::array<std::array<std::uint8_t, 5>, 10> kGlyphs = {{
    {7, 5, 5, 5, 7}, {2, 6, 2, 2, 7}, {7, 1, 7, 4, 7}, {7, 1, 7, 1, 7}, {5, 5, 7, 1, 1},
    {7, 4, 7, 1, 7}, {7, 4, 7, 5, 7}, {7, 1, 1, 1, 1}, {7, 5, 7, 5, 7}, {7, 5, 7, 1, 7},
}};

void fillRect(std::uint8_t* luma, int stride, int x0, int y0, int x1, int y1, std::uint8_t v) {
  for (int y = y0; y < y1; ++y) std::memset(luma + static_cast<std::ptrdiff_t>(y) * stride + x0, v, x1 - x0);
}

struct Sampler {
  const std::uint8_t* data;
  int width, height, stride;
  PixelLayout layout;
  // Sub-rectangle (pixels) holding the picture, to skip padding bars.
  int rx, ry, rw, rh;

  double lumaAt(int x, int y) const {
    x = std::clamp(x, 0, width - 1);
    y = std::clamp(y, 0, height - 1);
    const std::uint8_t* row = data + static_cast<std::ptrdiff_t>(y) * stride;
    switch (layout) {
      case PixelLayout::Gray8: return row[x];
      case PixelLayout::BGRA: {
        const std::uint8_t* p = row + 4 * x;
        return 0.114 * p[0] + 0.587 * p[1] + 0.299 * p[2];
      }
      case PixelLayout::RGBA: {
        const std::uint8_t* p = row + 4 * x;
        return 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
      }
      case PixelLayout::RGB24: {
        const std::uint8_t* p = row + 3 * x;
        return 0.299 * p[0] + 0.587 * p[1] + 0.114 * p[2];
      }
    }
    return 0;
  }

  // Maps a point of the coded picture (normalised) to the displayed one for a
  // clockwise display rotation, then averages a small neighbourhood.
  double cellMean(int cell, int rotation) const {
    const int col = cell % kCols, row = cell / kCols;
    double sum = 0;
    int n = 0;
    for (int i = 0; i < 4; ++i) {
      for (int j = 0; j < 4; ++j) {
        const double u = (col + 0.3 + 0.4 * i / 3.0) / kCols;
        const double v = (row + 0.3 + 0.4 * j / 3.0) / kRows * 0.5;
        double dx = u, dy = v;
        switch (rotation) {
          case 90: dx = 1 - v; dy = u; break;
          case 180: dx = 1 - u; dy = 1 - v; break;
          case 270: dx = v; dy = 1 - u; break;
          default: break;
        }
        sum += lumaAt(rx + static_cast<int>(dx * rw), ry + static_cast<int>(dy * rh));
        ++n;
      }
    }
    return sum / n;
  }

  std::optional<int> read(int rotation) const {
    double white = 0, black = 0;
    double minWhite = 255, maxBlack = 0;
    for (int c : kWhiteCells) {
      const double m = cellMean(c, rotation);
      white += m;
      minWhite = std::min(minWhite, m);
    }
    for (int c : kBlackCells) {
      const double m = cellMean(c, rotation);
      black += m;
      maxBlack = std::max(maxBlack, m);
    }
    white /= kWhiteCells.size();
    black /= kBlackCells.size();
    // Every reference must sit on its own side, or this is not our pattern.
    if (white - black < kMinContrast || minWhite <= maxBlack) return std::nullopt;
    const double mid = (white + black) / 2;
    unsigned bits = 0;
    for (int cell : dataCells()) bits = (bits << 1) | (cellMean(cell, rotation) > mid ? 1u : 0u);
    const int number = static_cast<int>(bits >> 8);
    if (frameCodeCheck(number) != (bits & 0xFF)) return std::nullopt;
    return number;
  }
};

// Bounds of the area that is not near-black, for pictures with padding bars.
bool contentRect(const Sampler& s, int& x0, int& y0, int& x1, int& y1) {
  auto rowBright = [&](int y) {
    for (int x = 0; x < s.width; x += std::max(1, s.width / 64))
      if (s.lumaAt(x, y) > 40) return true;
    return false;
  };
  auto colBright = [&](int x) {
    for (int y = 0; y < s.height; y += std::max(1, s.height / 64))
      if (s.lumaAt(x, y) > 40) return true;
    return false;
  };
  y0 = 0;
  while (y0 < s.height && !rowBright(y0)) ++y0;
  y1 = s.height;
  while (y1 > y0 && !rowBright(y1 - 1)) --y1;
  x0 = 0;
  while (x0 < s.width && !colBright(x0)) ++x0;
  x1 = s.width;
  while (x1 > x0 && !colBright(x1 - 1)) --x1;
  return x1 - x0 >= 16 && y1 - y0 >= 16;
}

}  // namespace

std::uint8_t frameCodeCheck(int number) {
  std::uint8_t crc = 0;
  const std::uint8_t bytes[2] = {static_cast<std::uint8_t>(number >> 8), static_cast<std::uint8_t>(number)};
  for (std::uint8_t b : bytes) {
    crc ^= b;
    for (int i = 0; i < 8; ++i) crc = static_cast<std::uint8_t>((crc & 0x80) ? (crc << 1) ^ 0x07 : crc << 1);
  }
  return crc;
}

void drawFrameCode(std::uint8_t* luma, int width, int height, int stride, int number) {
  number = std::clamp(number, 0, kMaxFrameNumber);
  const int half = height / 2;
  // Grid.
  const unsigned bits = (static_cast<unsigned>(number) << 8) | frameCodeCheck(number);
  std::array<bool, kCols * kRows> white{};
  for (int c : kWhiteCells) white[c] = true;
  const auto cells = dataCells();
  for (int i = 0; i < 24; ++i) white[cells[i]] = (bits >> (23 - i)) & 1;
  for (int cell = 0; cell < kCols * kRows; ++cell) {
    const int col = cell % kCols, row = cell / kCols;
    const int x0 = col * width / kCols, x1 = (col + 1) * width / kCols;
    const int y0 = row * half / kRows, y1 = (row + 1) * half / kRows;
    fillRect(luma, stride, x0, y0, x1, y1, white[cell] ? kWhite : kBlack);
  }
  // Lower half: mid grey with the number in digits.
  fillRect(luma, stride, 0, half, width, height, 96);
  char text[8];
  const int len = std::snprintf(text, sizeof text, "%d", number);
  const int unit = std::max(1, std::min((height - half) * 3 / 5 / 5, width / (len * 4 + 1)));
  const int textW = (len * 4 - 1) * unit;
  const int ox = (width - textW) / 2, oy = half + (height - half - 5 * unit) / 2;
  for (int i = 0; i < len; ++i) {
    const auto& g = kGlyphs[text[i] - '0'];
    for (int gy = 0; gy < 5; ++gy)
      for (int gx = 0; gx < 3; ++gx)
        if ((g[gy] >> (2 - gx)) & 1) {
          const int x = ox + (i * 4 + gx) * unit, y = oy + gy * unit;
          fillRect(luma, stride, x, y, std::min(x + unit, width), std::min(y + unit, height), kWhite);
        }
  }
}

std::optional<int> readFrameCode(const std::uint8_t* data, int width, int height, int stride,
                                 PixelLayout layout) {
  if (!data || width < 16 || height < 16) return std::nullopt;
  Sampler s{data, width, height, stride, layout, 0, 0, width, height};
  for (int rotation : {0, 90, 180, 270})
    if (auto n = s.read(rotation)) return n;
  int x0, y0, x1, y1;
  if (!contentRect(s, x0, y0, x1, y1) || (x0 == 0 && y0 == 0 && x1 == width && y1 == height))
    return std::nullopt;
  s.rx = x0;
  s.ry = y0;
  s.rw = x1 - x0;
  s.rh = y1 - y0;
  for (int rotation : {0, 90, 180, 270})
    if (auto n = s.read(rotation)) return n;
  return std::nullopt;
}

}  // namespace kf::testmovies
