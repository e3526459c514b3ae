#include "OrvaneMac/app/tray/TrayIcon.h"

#include <cairo.h>

#include <algorithm>
#include <cmath>
#include <cstring>

namespace orvane {

namespace {

void roundedRectangle(cairo_t* cr, double x, double y, double width, double height, double radius) {
  cairo_new_sub_path(cr);
  cairo_arc(cr, x + width - radius, y + radius, radius, -M_PI / 2, 0);
  cairo_arc(cr, x + width - radius, y + height - radius, radius, 0, M_PI / 2);
  cairo_arc(cr, x + radius, y + height - radius, radius, M_PI / 2, M_PI);
  cairo_arc(cr, x + radius, y + radius, radius, M_PI, 3 * M_PI / 2);
  cairo_close_path(cr);
}

// Head and shoulders, in the unit square of the icon.
void person(cairo_t* cr) {
  cairo_new_sub_path(cr);
  cairo_arc(cr, 0.73, 0.60, 0.12, 0, 2 * M_PI);
  cairo_close_path(cr);
  cairo_new_sub_path(cr);
  cairo_save(cr);
  cairo_translate(cr, 0.73, 0.97);
  cairo_scale(cr, 0.23, 0.20);
  cairo_arc(cr, 0, 0, 1, M_PI, 2 * M_PI);
  cairo_restore(cr);
  cairo_close_path(cr);
}

std::uint8_t unpremultiply(std::uint8_t value, std::uint8_t alpha) {
  if (alpha == 0) return 0;
  return static_cast<std::uint8_t>(std::min(255, (value * 255 + alpha / 2) / alpha));
}

}  // namespace

IconPixmap drawTrayIcon(int size, Rgb colour) {
  IconPixmap icon{size, size, std::vector<std::uint8_t>(static_cast<std::size_t>(size) * size * 4)};
  cairo_surface_t* surface = cairo_image_surface_create(CAIRO_FORMAT_ARGB32, size, size);
  cairo_t* cr = cairo_create(surface);
  cairo_scale(cr, size, size);
  cairo_set_source_rgb(cr, colour.r / 255.0, colour.g / 255.0, colour.b / 255.0);

  roundedRectangle(cr, 0.04, 0.10, 0.80, 0.60, 0.12);
  cairo_fill(cr);
  // A clear margin around the person keeps it readable over the screen.
  cairo_save(cr);
  cairo_set_operator(cr, CAIRO_OPERATOR_CLEAR);
  person(cr);
  cairo_set_line_width(cr, 0.14);
  cairo_stroke_preserve(cr);
  cairo_fill(cr);
  cairo_restore(cr);
  person(cr);
  cairo_fill(cr);

  cairo_destroy(cr);
  cairo_surface_flush(surface);
  const unsigned char* data = cairo_image_surface_get_data(surface);
  const int stride = cairo_image_surface_get_stride(surface);
  for (int y = 0; y < size; ++y) {
    for (int x = 0; x < size; ++x) {
      std::uint32_t native;  // premultiplied, native byte order
      std::memcpy(&native, data + y * stride + x * 4, 4);
      const auto a = static_cast<std::uint8_t>(native >> 24);
      std::uint8_t* out = &icon.argb[(static_cast<std::size_t>(y) * size + x) * 4];
      out[0] = a;
      out[1] = unpremultiply(static_cast<std::uint8_t>(native >> 16), a);
      out[2] = unpremultiply(static_cast<std::uint8_t>(native >> 8), a);
      out[3] = unpremultiply(static_cast<std::uint8_t>(native), a);
    }
  }
  cairo_surface_destroy(surface);
  return icon;
}

std::uint32_t pixelAt(const IconPixmap& icon, int x, int y) {
  const std::uint8_t* p = &icon.argb.at((static_cast<std::size_t>(y) * icon.width + x) * 4);
  return std::uint32_t{p[0]} << 24 | std::uint32_t{p[1]} << 16 | std::uint32_t{p[2]} << 8 | p[3];
}

}  // namespace orvane
