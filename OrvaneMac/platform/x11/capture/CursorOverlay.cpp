#include "OrvaneMac/platform/x11/capture/CursorOverlay.h"

#include <algorithm>
#include <cmath>

namespace orvane::x11 {
namespace {

// d * (255 - a) / 255, rounded, for premultiplied "over".
std::uint8_t over(std::uint32_t source, std::uint8_t destination, std::uint32_t alpha) {
  const std::uint32_t kept = (destination * (255 - alpha) + 127) / 255;
  return static_cast<std::uint8_t>(std::min<std::uint32_t>(255, source + kept));
}

}  // namespace

void drawCursor(const CursorImage& cursor, int pointerX, int pointerY, const PictureView& picture) {
  if (cursor.width <= 0 || cursor.height <= 0 || !picture.data) return;
  if (cursor.pixels.size() < static_cast<std::size_t>(cursor.width) * static_cast<std::size_t>(cursor.height)) return;
  if (!(picture.scaleX > 0) || !(picture.scaleY > 0)) return;
  const double left = pointerX - cursor.xhot;
  const double top = pointerY - cursor.yhot;
  // The picture pixels the cursor covers, clipped to the picture.
  const int x0 = std::max(0, static_cast<int>(std::floor(left * picture.scaleX)));
  const int y0 = std::max(0, static_cast<int>(std::floor(top * picture.scaleY)));
  const int x1 = std::min(picture.width, static_cast<int>(std::ceil((left + cursor.width) * picture.scaleX)));
  const int y1 = std::min(picture.height, static_cast<int>(std::ceil((top + cursor.height) * picture.scaleY)));
  for (int y = y0; y < y1; ++y) {
    // The cursor pixel under the centre of this picture pixel.
    const int cy = static_cast<int>(std::floor((y + 0.5) / picture.scaleY - top));
    if (cy < 0 || cy >= cursor.height) continue;
    std::uint8_t* row = picture.data + static_cast<std::ptrdiff_t>(y) * picture.bytesPerRow;
    for (int x = x0; x < x1; ++x) {
      const int cx = static_cast<int>(std::floor((x + 0.5) / picture.scaleX - left));
      if (cx < 0 || cx >= cursor.width) continue;
      const std::uint32_t p = cursor.pixels[static_cast<std::size_t>(cy) * cursor.width + cx];
      const std::uint32_t a = p >> 24;
      if (a == 0 && (p & 0xFFFFFF) == 0) continue;
      std::uint8_t* px = row + static_cast<std::ptrdiff_t>(x) * 4;
      px[0] = over(p & 0xFF, px[0], a);
      px[1] = over((p >> 8) & 0xFF, px[1], a);
      px[2] = over((p >> 16) & 0xFF, px[2], a);
      px[3] = over(a, px[3], a);
    }
  }
}

}  // namespace orvane::x11
