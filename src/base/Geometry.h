// Plain geometry values in points. The y axis grows downward (top-left origin),
// as in the views.
#pragma once

namespace kf {

struct Point {
  double x = 0, y = 0;
  bool operator==(const Point&) const = default;
};

struct Size {
  double width = 0, height = 0;
  bool operator==(const Size&) const = default;
};

struct Rect {
  double x = 0, y = 0, width = 0, height = 0;

  double maxX() const { return x + width; }
  double maxY() const { return y + height; }
  double midX() const { return x + width / 2; }
  double midY() const { return y + height / 2; }
  bool isEmpty() const { return !(width > 0) || !(height > 0); }
  bool contains(Point p) const { return p.x >= x && p.x < x + width && p.y >= y && p.y < y + height; }
  Rect insetBy(double dx, double dy) const { return {x + dx, y + dy, width - 2 * dx, height - 2 * dy}; }
  bool operator==(const Rect&) const = default;
};

}  // namespace kf
