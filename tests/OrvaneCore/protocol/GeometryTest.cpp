#include "OrvaneCore/protocol/Geometry.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

TEST(GeometryTest, WindowPointScalesIntoTheFrameWithoutClamping) {
  const Rect frame(100, 50, 800, 600);
  EXPECT_EQ(RemoteCoordinateMapper::windowPoint(0.5, 0.5, frame), (Point{500, 350}));
  EXPECT_EQ(RemoteCoordinateMapper::windowPoint(0, 0, frame), frame.origin);
  EXPECT_EQ(RemoteCoordinateMapper::windowPoint(-0.5, 1.5, frame), (Point{-300, 950}));
  // A frame given with negative extents maps from its standardised top-left.
  EXPECT_EQ(RemoteCoordinateMapper::windowPoint(0.25, 0.5, Rect(900, 650, -800, -600)), (Point{300, 350}));
}

TEST(GeometryTest, LoupeSitsAboveTheFingerAndFlipsAtTheTop) {
  const Rect bounds(0, 0, 1000, 1000);
  EXPECT_EQ(LoupeGeometry::loupeCenter({200, 300}, bounds, 120, 20), (Point{200, 220}));
  EXPECT_EQ(LoupeGeometry::loupeCenter({200, 100}, bounds, 120, 20), (Point{200, 180}));
  // A top edge exactly on minY still fits above; one point higher flips.
  EXPECT_EQ(LoupeGeometry::loupeCenter({200, 140}, bounds, 120, 20), (Point{200, 60}));
  EXPECT_EQ(LoupeGeometry::loupeCenter({200, 139}, bounds, 120, 20), (Point{200, 219}));
  // The flip tests against the bounds' own top, not the screen's.
  EXPECT_EQ(LoupeGeometry::loupeCenter({400, 200}, Rect(0, 100, 1000, 900), 120, 20), (Point{400, 280}));
}

TEST(GeometryTest, LoupeIsClampedIntoTheBoundsUpperClampLast) {
  const Rect bounds(0, 0, 1000, 1000);
  EXPECT_EQ(LoupeGeometry::loupeCenter({10, 500}, bounds, 120, 20).x, 60);
  EXPECT_EQ(LoupeGeometry::loupeCenter({995, 500}, bounds, 120, 20).x, 940);
  EXPECT_EQ(LoupeGeometry::loupeCenter({500, 100}, Rect(0, 0, 1000, 150), 120, 20), (Point{500, 90}));
  // Bounds smaller than the loupe: both clamps conflict and maxX - r / maxY - r win.
  EXPECT_EQ(LoupeGeometry::loupeCenter({130, 230}, Rect(100, 200, 80, 60), 120, 20), (Point{120, 200}));
}

TEST(GeometryTest, MagnifiedContentOffsetCentresThePoint) {
  EXPECT_EQ(LoupeGeometry::magnifiedContentOffset({0.5, 0.5}, {2000, 1000}, 120), (Point{-940, -440}));
  EXPECT_EQ(LoupeGeometry::magnifiedContentOffset({1, 0}, {2000, 1000}, 120), (Point{-1940, 60}));
}

}  // namespace
}  // namespace orvane
