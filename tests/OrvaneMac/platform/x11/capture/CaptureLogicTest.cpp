#include <gtest/gtest.h>

#include <array>
#include <cstring>
#include <limits>

#include "OrvaneMac/platform/x11/capture/CursorOverlay.h"
#include "OrvaneMac/platform/x11/capture/FramePacer.h"
#include "OrvaneMac/platform/x11/capture/X11DisplayScale.h"
#include "OrvaneMac/platform/x11/capture/X11Screens.h"

namespace orvane::x11 {
namespace {

using Bgra = std::array<std::uint8_t, 4>;

struct Canvas {
  int width, height;
  std::vector<std::uint8_t> bytes;
  Canvas(int w, int h) : width(w), height(h), bytes(static_cast<std::size_t>(w * h * 4), 100) {}
  PictureView view(double scale = 1) { return {bytes.data(), width, height, width * 4, scale, scale}; }
  Bgra at(int x, int y) const {
    Bgra p;
    std::memcpy(p.data(), &bytes[static_cast<std::size_t>((y * width + x) * 4)], 4);
    return p;
  }
};

TEST(X11CursorOverlayTest, BlendsPremultipliedBgraAtTheHotspotScaledAndClipped) {
  // 4 x 4, hotspot (1, 1): opaque red left half, half-transparent premultiplied white right half.
  CursorImage cursor{4, 4, 1, 1, {}};
  for (int i = 0; i < 16; ++i) cursor.pixels.push_back(i % 4 < 2 ? 0xFFFF0000u : 0x80808080u);
  Canvas half(10, 10);
  drawCursor(cursor, 9, 9, half.view(0.5));  // covers picture pixels 4 and 5 in each direction
  EXPECT_EQ(half.at(4, 4)[2], 255);
  EXPECT_EQ(half.at(5, 5)[2], 178);
  EXPECT_EQ(half.at(6, 6)[2], 100);
  EXPECT_EQ(half.at(3, 3)[2], 100);

  Canvas corner(4, 4);
  drawCursor(cursor, 0, 0, corner.view());  // covers (-1..2, -1..2), past the top-left corner
  EXPECT_EQ(corner.at(0, 0), (Bgra{0, 0, 255, 255}));
  EXPECT_EQ(corner.at(2, 2), (Bgra{178, 178, 178, 178})) << "128 + 100 * 127 / 255 in every channel";
  drawCursor(cursor, 1000, -1000, corner.view());  // entirely outside
  cursor.pixels.resize(3);                          // broken: fewer pixels than its size
  drawCursor(cursor, 1, 1, corner.view());
  EXPECT_EQ(corner.at(3, 3)[2], 100) << "untouched by any of the three";
}

// Delivery (first, changed, asked for, once a second when still) is tested on the stream itself.
TEST(X11FramePacerTest, IntervalIsKeptBetweenSixtyPerSecondAndTheRefreshWithoutBursts) {
  FramePacer pacer;
  EXPECT_DOUBLE_EQ(pacer.interval(), 1.0 / 60);
  pacer.setMinimumFrameInterval(std::numeric_limits<double>::quiet_NaN());
  EXPECT_DOUBLE_EQ(pacer.interval(), 1.0 / 60);
  pacer.setMinimumFrameInterval(3600);
  EXPECT_DOUBLE_EQ(pacer.interval(), FramePacer::kRefreshInterval);
  pacer.setMinimumFrameInterval(0.1);
  EXPECT_DOUBLE_EQ(pacer.nextTick(5.0, 5.05), 5.1);
  EXPECT_DOUBLE_EQ(pacer.nextTick(5.0, 7.0), 7.1) << "no burst to catch up after a stall";
}

TEST(X11DisplayScaleTest, ReadsAnyDpiResourceAndFallsBackToOne) {
  EXPECT_DOUBLE_EQ(X11DisplayScale::scaleFromResources("*dpi: 192\n"), 2.0);
  for (const char* bad : {"", "Xcursor.size: 24\n", "Xft.dpi: abc\n", "Xft.dpi: 0\n", "Xft.dpi: -96\n",
                          "Xft.dpi: inf\n", "Xft.dpi: nan\n", "Xft.dpi: 1e300\n", "Xft.dpi: 96 dpi\n"}) {
    EXPECT_DOUBLE_EQ(X11DisplayScale::scaleFromResources(bad), 1.0) << bad;
  }
}

TEST(X11ScreensTest, AWorkAreaOffTheMainDisplayIsIgnoredOrCutToIt) {
  const Rect main(0, 0, 1920, 1080);
  EXPECT_EQ(X11Screens::visibleFrame(main, Rect(3000, 0, 100, 100)), main);
  // A work area spanning two monitors is cut to the main one, at its own origin.
  EXPECT_EQ(X11Screens::visibleFrame(Rect(1920, 0, 1280, 1024), Rect(0, 24, 3200, 1000)), Rect(0, 0, 1280, 1000));
}

}  // namespace
}  // namespace orvane::x11
