#include <gtest/gtest.h>

#include <cmath>
#include <limits>

#include "OrvaneMac/platform/x11/capture/CursorOverlay.h"
#include "OrvaneMac/platform/x11/capture/FramePacer.h"
#include "OrvaneMac/platform/x11/capture/X11DisplayScale.h"
#include "OrvaneMac/platform/x11/capture/X11Screens.h"

namespace orvane::x11 {
namespace {

struct Canvas {
  int width, height;
  std::vector<std::uint8_t> bytes;
  Canvas(int w, int h, std::uint8_t grey) : width(w), height(h), bytes(static_cast<std::size_t>(w * h * 4), grey) {}
  PictureView view(double scale = 1) { return {bytes.data(), width, height, width * 4, scale, scale}; }
  const std::uint8_t* at(int x, int y) const { return &bytes[static_cast<std::size_t>((y * width + x) * 4)]; }
};

// A 4 x 4 cursor, hotspot (1, 1): opaque red left half, half-transparent
// premultiplied white right half.
CursorImage testCursor() {
  CursorImage cursor{4, 4, 1, 1, {}};
  for (int y = 0; y < 4; ++y) {
    for (int x = 0; x < 4; ++x) cursor.pixels.push_back(x < 2 ? 0xFFFF0000u : 0x80808080u);
  }
  return cursor;
}

TEST(X11CursorOverlayTest, BlendsPremultipliedPixelsAtTheHotspotInBgraOrder) {
  Canvas canvas(10, 10, 100);
  drawCursor(testCursor(), 5, 5, canvas.view());
  // The cursor covers (4..7, 4..7).
  const std::uint8_t* red = canvas.at(4, 4);
  EXPECT_EQ(red[0], 0);
  EXPECT_EQ(red[1], 0);
  EXPECT_EQ(red[2], 255);
  EXPECT_EQ(red[3], 255);
  // 128 + 100 * 127 / 255 = 178 in every colour channel.
  const std::uint8_t* light = canvas.at(7, 7);
  EXPECT_EQ(light[0], 178);
  EXPECT_EQ(light[2], 178);
  EXPECT_EQ(canvas.at(3, 4)[2], 100) << "left of the cursor is untouched";
  EXPECT_EQ(canvas.at(8, 7)[2], 100) << "right of the cursor is untouched";
}

TEST(X11CursorOverlayTest, ScalesWithThePictureAndClipsAtItsEdges) {
  Canvas half(10, 10, 100);
  drawCursor(testCursor(), 9, 9, half.view(0.5));
  // At half scale the cursor covers picture pixels 4 and 5 in each direction.
  EXPECT_EQ(half.at(4, 4)[2], 255);
  EXPECT_EQ(half.at(5, 5)[2], 178);
  EXPECT_EQ(half.at(6, 6)[2], 100);
  EXPECT_EQ(half.at(3, 3)[2], 100);

  Canvas corner(4, 4, 100);
  drawCursor(testCursor(), 0, 0, corner.view());  // reaches past the top-left corner
  EXPECT_EQ(corner.at(0, 0)[2], 255);
  EXPECT_EQ(corner.at(2, 2)[2], 178);
  drawCursor(testCursor(), 1000, -1000, corner.view());  // entirely outside: nothing written
  CursorImage broken = testCursor();
  broken.pixels.resize(3);
  drawCursor(broken, 1, 1, corner.view());
  EXPECT_EQ(corner.at(3, 3)[2], 100);
}

TEST(X11FramePacerTest, DeliversFirstChangedForcedAndOnceASecondWhenStill) {
  FramePacer pacer(1.0 / 30);
  EXPECT_TRUE(pacer.shouldDeliver(10, false)) << "the first picture always goes out";
  pacer.delivered(10);
  EXPECT_FALSE(pacer.shouldDeliver(10.5, false));
  EXPECT_TRUE(pacer.shouldDeliver(10.5, true));
  pacer.forceNext();
  EXPECT_TRUE(pacer.shouldDeliver(10.5, false));
  pacer.delivered(10.5);
  EXPECT_FALSE(pacer.shouldDeliver(11.49, false));
  EXPECT_TRUE(pacer.shouldDeliver(11.5, false)) << "refresh of a still screen";
}

TEST(X11FramePacerTest, IntervalIsKeptBetweenSixtyPerSecondAndTheRefresh) {
  FramePacer pacer;
  EXPECT_DOUBLE_EQ(pacer.interval(), 1.0 / 60);
  pacer.setMinimumFrameInterval(0.2);
  EXPECT_DOUBLE_EQ(pacer.interval(), 0.2);
  pacer.setMinimumFrameInterval(std::numeric_limits<double>::quiet_NaN());
  EXPECT_DOUBLE_EQ(pacer.interval(), 1.0 / 60);
  pacer.setMinimumFrameInterval(3600);
  EXPECT_DOUBLE_EQ(pacer.interval(), FramePacer::kRefreshInterval);
  pacer.setMinimumFrameInterval(0.1);
  EXPECT_DOUBLE_EQ(pacer.nextTick(5.0, 5.05), 5.1);
  EXPECT_DOUBLE_EQ(pacer.nextTick(5.0, 7.0), 7.1) << "no burst to catch up after a stall";
}

TEST(X11DisplayScaleTest, ReadsXftDpiAndFallsBackToOne) {
  EXPECT_DOUBLE_EQ(X11DisplayScale::scaleFromResources("Xft.antialias:\t1\nXft.dpi:\t144\n"), 1.5);
  EXPECT_DOUBLE_EQ(X11DisplayScale::scaleFromResources("*dpi: 192\n"), 2.0);
  for (const char* bad : {"", "Xcursor.size: 24\n", "Xft.dpi: abc\n", "Xft.dpi: 0\n", "Xft.dpi: -96\n",
                          "Xft.dpi: inf\n", "Xft.dpi: nan\n", "Xft.dpi: 1e300\n", "Xft.dpi: 96 dpi\n"}) {
    EXPECT_DOUBLE_EQ(X11DisplayScale::scaleFromResources(bad), 1.0) << bad;
  }
}

TEST(X11ScreensTest, VisibleFrameCountsUpwardsFromTheMainDisplaysBottom) {
  const Rect main(0, 0, 1920, 1080);
  // A 30-pixel panel at the top and a 50-pixel one at the bottom.
  EXPECT_EQ(X11Screens::visibleFrame(main, Rect(0, 30, 1920, 1000)), Rect(0, 50, 1920, 1000));
  EXPECT_EQ(X11Screens::visibleFrame(main, std::nullopt), Rect(0, 0, 1920, 1080));
  EXPECT_EQ(X11Screens::visibleFrame(main, Rect(3000, 0, 100, 100)), Rect(0, 0, 1920, 1080));
  // A work area spanning two monitors is cut to the main one, at its own origin.
  EXPECT_EQ(X11Screens::visibleFrame(Rect(1920, 0, 1280, 1024), Rect(0, 24, 3200, 1000)), Rect(0, 0, 1280, 1000));
}

}  // namespace
}  // namespace orvane::x11
