#pragma once

#include <cstdint>
#include <vector>

namespace orvane::x11 {

// The pointer's picture as XFixes gives it: premultiplied ARGB, one pixel per
// 32-bit value, with its hotspot.
struct CursorImage {
  int width = 0;
  int height = 0;
  int xhot = 0;
  int yhot = 0;
  std::vector<std::uint32_t> pixels;  // row after row, width * height values
};

// A BGRA picture that shows a captured rectangle scaled by (scaleX, scaleY)
// picture pixels per screen pixel.
struct PictureView {
  std::uint8_t* data = nullptr;
  int width = 0;
  int height = 0;
  int bytesPerRow = 0;
  double scaleX = 1;
  double scaleY = 1;
};

// Blends `cursor` over `picture` with its hotspot at (pointerX, pointerY),
// screen pixels relative to the captured rectangle's top-left. Scaled
// nearest-neighbour; whatever falls outside the picture is clipped.
void drawCursor(const CursorImage& cursor, int pointerX, int pointerY, const PictureView& picture);

}  // namespace orvane::x11
