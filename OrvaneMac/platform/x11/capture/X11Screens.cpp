#include "OrvaneMac/platform/x11/capture/X11Screens.h"

#include <algorithm>

#include "OrvaneMac/platform/x11/capture/X11Displays.h"

namespace orvane::x11 {

std::optional<Screen> X11Screens::mainScreen() {
  const auto displays = x11Displays(x_);
  if (displays.empty()) return std::nullopt;
  const Rect& main = displays.front().frame;
  Screen screen;
  // The main screen's bottom-left corner is the origin.
  screen.frame = Rect(0, 0, main.width(), main.height());
  screen.visibleFrame = visibleFrame(main, workArea());
  return screen;
}

std::optional<Rect> X11Screens::workArea() {
  const auto areas = x_.cardinals(x_.root(), "_NET_WORKAREA");
  if (!areas || areas->size() < 4) return std::nullopt;
  std::size_t desktop = 0;
  if (const auto current = x_.cardinals(x_.root(), "_NET_CURRENT_DESKTOP"); current && !current->empty()) {
    desktop = (*current)[0];
  }
  // One x, y, width, height per desktop; a window manager that lists only
  // one applies it everywhere.
  if (desktop >= areas->size() / 4) desktop = 0;
  const auto value = [&](std::size_t i) { return static_cast<double>(static_cast<long>((*areas)[desktop * 4 + i])); };
  return Rect(value(0), value(1), value(2), value(3));
}

Rect X11Screens::visibleFrame(const Rect& main, const std::optional<Rect>& workArea) {
  const Rect whole(0, 0, main.width(), main.height());
  if (!workArea) return whole;
  const double left = std::max(main.minX(), workArea->minX());
  const double top = std::max(main.minY(), workArea->minY());
  const double right = std::min(main.maxX(), workArea->maxX());
  const double bottom = std::min(main.maxY(), workArea->maxY());
  if (right <= left || bottom <= top) return whole;
  return Rect(left - main.minX(), main.maxY() - bottom, right - left, bottom - top);
}

}  // namespace orvane::x11
