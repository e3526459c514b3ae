#include "OrvaneCore/protocol/Geometry.h"

#include <algorithm>
#include <cmath>

namespace orvane {

double Rect::minX() const { return std::min(origin.x, origin.x + size.width); }
double Rect::maxX() const { return std::max(origin.x, origin.x + size.width); }
double Rect::midX() const { return origin.x + size.width * 0.5; }
double Rect::minY() const { return std::min(origin.y, origin.y + size.height); }
double Rect::maxY() const { return std::max(origin.y, origin.y + size.height); }
double Rect::midY() const { return origin.y + size.height * 0.5; }
double Rect::width() const { return std::fabs(size.width); }
double Rect::height() const { return std::fabs(size.height); }

Point RemoteCoordinateMapper::windowPoint(double normalizedX, double normalizedY, const Rect& windowFrame) {
  return {windowFrame.minX() + windowFrame.width() * normalizedX,
          windowFrame.minY() + windowFrame.height() * normalizedY};
}

Point LoupeGeometry::loupeCenter(const Point& finger, const Rect& bounds, double diameter, double gap) {
  const double r = diameter * 0.5;
  double y = finger.y - gap - r;
  if (y - r < bounds.minY()) y = finger.y + gap + r;
  // The order matters: the upper clamp is applied last and wins when the
  // bounds cannot hold the whole loupe.
  const double x = std::min(std::max(finger.x, bounds.minX() + r), bounds.maxX() - r);
  y = std::min(std::max(y, bounds.minY() + r), bounds.maxY() - r);
  return {x, y};
}

Point LoupeGeometry::magnifiedContentOffset(const Point& normalizedPoint, const Size& magnifiedSize,
                                            double diameter) {
  return {diameter * 0.5 - normalizedPoint.x * magnifiedSize.width,
          diameter * 0.5 - normalizedPoint.y * magnifiedSize.height};
}

}  // namespace orvane
