#include "OrvaneCore/protocol/Geometry.h"

#include <gtest/gtest.h>

#include <fstream>
#include <nlohmann/json.hpp>

namespace orvane {
namespace {

// The cases live in a file the web pad's test reads too, so both ports of
// the geometry answer alike.
const nlohmann::json& vectors() {
  static const nlohmann::json parsed = [] {
    std::ifstream in(ORVANE_GEOMETRY_VECTORS);
    return nlohmann::json::parse(in);
  }();
  return parsed;
}

Point point(const nlohmann::json& j) { return {j.at(0).get<double>(), j.at(1).get<double>()}; }
Size size(const nlohmann::json& j) { return {j.at(0).get<double>(), j.at(1).get<double>()}; }
Rect rect(const nlohmann::json& j) {
  return Rect(j.at(0).get<double>(), j.at(1).get<double>(), j.at(2).get<double>(), j.at(3).get<double>());
}

TEST(GeometryTest, WindowPointScalesIntoTheFrameWithoutClamping) {
  ASSERT_FALSE(vectors().at("windowPoint").empty());
  for (const auto& c : vectors().at("windowPoint")) {
    const auto& n = c.at("normalized");
    EXPECT_EQ(RemoteCoordinateMapper::windowPoint(n.at(0).get<double>(), n.at(1).get<double>(), rect(c.at("frame"))), point(c.at("expected")))
        << c.at("case");
  }
}

TEST(GeometryTest, LoupeSitsAboveTheFingerFlipsAtTheTopAndStaysInTheBounds) {
  ASSERT_FALSE(vectors().at("loupeCenter").empty());
  for (const auto& c : vectors().at("loupeCenter")) {
    EXPECT_EQ(LoupeGeometry::loupeCenter(point(c.at("finger")), rect(c.at("bounds")),
                                          c.at("diameter").get<double>(), c.at("gap").get<double>()),
              point(c.at("expected")))
        << c.at("case");
  }
}

TEST(GeometryTest, MagnifiedContentOffsetCentresThePoint) {
  ASSERT_FALSE(vectors().at("magnifiedContentOffset").empty());
  for (const auto& c : vectors().at("magnifiedContentOffset")) {
    EXPECT_EQ(LoupeGeometry::magnifiedContentOffset(point(c.at("point")), size(c.at("size")),
                                                     c.at("diameter").get<double>()),
              point(c.at("expected")))
        << c.at("case");
  }
}

}  // namespace
}  // namespace orvane
