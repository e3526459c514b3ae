#pragma once

#include <cstdint>
#include <vector>

#include "OrvaneMac/app/tray/PopoverModel.h"

namespace orvane {

// One image of the tray item as StatusNotifierItem carries it: ARGB32, four
// bytes per pixel in network byte order (A, R, G, B), not premultiplied.
struct IconPixmap {
  int width = 0;
  int height = 0;
  std::vector<std::uint8_t> argb;
};

// The item's icon at `size` x `size` pixels: a screen (filled rounded
// rectangle) with a person in front of its lower right corner, all in `colour`.
IconPixmap drawTrayIcon(int size, Rgb colour);

// The pixel at (x, y) as 0xAARRGGBB, for checks and tests.
std::uint32_t pixelAt(const IconPixmap& icon, int x, int y);

}  // namespace orvane
