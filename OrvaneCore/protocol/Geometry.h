#pragma once

namespace orvane {

// Plain geometry in the pad's view space: doubles, y grows downwards.
struct Point {
  double x = 0;
  double y = 0;
  bool operator==(const Point&) const = default;
};

struct Size {
  double width = 0;
  double height = 0;
  bool operator==(const Size&) const = default;
};

// A rectangle as origin and size. Like the platform rectangles the pad code
// was written against, the edge and extent accessors read the standardised
// rectangle, so a negative width or height still gives minX <= maxX and a
// non-negative extent.
struct Rect {
  Point origin;
  Size size;

  constexpr Rect() = default;
  constexpr Rect(Point o, Size s) : origin(o), size(s) {}
  constexpr Rect(double x, double y, double width, double height) : origin{x, y}, size{width, height} {}

  double minX() const;
  double maxX() const;
  double midX() const;
  double minY() const;
  double maxY() const;
  double midY() const;
  double width() const;
  double height() const;

  bool operator==(const Rect&) const = default;
};

namespace RemoteCoordinateMapper {

// The point at the given fractions of the frame. Fractions outside 0...1 are
// not clamped: they land outside the frame.
Point windowPoint(double normalizedX, double normalizedY, const Rect& windowFrame);

}  // namespace RemoteCoordinateMapper

namespace LoupeGeometry {

// Centre of the magnifier circle: `gap` above the finger, flipped below when
// its top would leave the bounds, then kept inside the bounds (lower clamp
// first, so a bounds smaller than the loupe pins it to maxX - r / maxY - r).
Point loupeCenter(const Point& finger, const Rect& bounds, double diameter, double gap);

// Origin of the already magnified content inside the loupe that puts the
// normalised point at the loupe's centre.
Point magnifiedContentOffset(const Point& normalizedPoint, const Size& magnifiedSize, double diameter);

}  // namespace LoupeGeometry

}  // namespace orvane
