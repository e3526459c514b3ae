#include "OrvaneMac/platform/x11/capture/X11DisplayScale.h"

#include <X11/Xresource.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <optional>
#include <string>

namespace orvane::x11 {
namespace {

std::optional<double> parseNumber(std::string_view text) {
  std::string value(text);
  const auto first = value.find_first_not_of(" \t");
  if (first == std::string::npos) return std::nullopt;
  const auto last = value.find_last_not_of(" \t");
  value = value.substr(first, last - first + 1);
  char* end = nullptr;
  const double number = std::strtod(value.c_str(), &end);
  if (end != value.c_str() + value.size()) return std::nullopt;
  return number;
}

}  // namespace

double X11DisplayScale::mainScreenBackingScaleFactor() {
  const auto resources = x_.text(x_.root(), "RESOURCE_MANAGER");
  return resources ? scaleFromResources(*resources) : 1.0;
}

double X11DisplayScale::scaleFromResources(std::string_view resources) {
  if (resources.empty()) return 1.0;
  XrmInitialize();
  const std::string text(resources);
  XrmDatabase database = XrmGetStringDatabase(text.c_str());
  if (!database) return 1.0;
  char* type = nullptr;
  XrmValue value{};
  std::optional<double> dpi;
  if (XrmGetResource(database, "Xft.dpi", "Xft.Dpi", &type, &value) && value.addr && value.size > 0) {
    // The size counts the terminating NUL.
    dpi = parseNumber(std::string_view(value.addr, std::strlen(value.addr)));
  }
  XrmDestroyDatabase(database);
  if (!dpi || !std::isfinite(*dpi)) return 1.0;
  const double scale = *dpi / kBaseDpi;
  return scale >= kMinScale && scale <= kMaxScale ? scale : 1.0;
}

}  // namespace orvane::x11
