#include "OrvaneMac/platform/x11/capture/X11Displays.h"

#include <X11/extensions/Xrandr.h>

#include <algorithm>
#include <set>

namespace orvane::x11 {
namespace {

ShareableDisplay makeDisplay(std::uint32_t id, int x, int y, unsigned width, unsigned height) {
  ShareableDisplay d;
  d.displayID = id;
  d.width = static_cast<std::int32_t>(width);
  d.height = static_cast<std::int32_t>(height);
  d.frame = Rect(x, y, width, height);
  return d;
}

// Outputs driven by a CRTC, in RandR's order, clones once; the primary first.
std::vector<ShareableDisplay> randrDisplays(X11Display& x) {
  Display* d = x.get();
  int eventBase = 0, errorBase = 0, major = 0, minor = 0;
  if (!XRRQueryExtension(d, &eventBase, &errorBase) || !XRRQueryVersion(d, &major, &minor)) return {};
  // Primary outputs and the cheap resource query both came with 1.3.
  if (major < 1 || (major == 1 && minor < 3)) return {};
  XRRScreenResources* resources = XRRGetScreenResourcesCurrent(d, x.root());
  if (!resources) return {};
  const RROutput primary = XRRGetOutputPrimary(d, x.root());
  std::vector<ShareableDisplay> displays;
  std::set<RRCrtc> seen;
  for (int i = 0; i < resources->noutput; ++i) {
    const RROutput output = resources->outputs[i];
    XRROutputInfo* info = XRRGetOutputInfo(d, resources, output);
    if (!info) continue;
    const RRCrtc crtcId = info->crtc;
    XRRFreeOutputInfo(info);
    if (crtcId == None || !seen.insert(crtcId).second) continue;
    XRRCrtcInfo* crtc = XRRGetCrtcInfo(d, resources, crtcId);
    if (!crtc) continue;
    if (crtc->width > 0 && crtc->height > 0) {
      auto display = makeDisplay(static_cast<std::uint32_t>(output), crtc->x, crtc->y, crtc->width, crtc->height);
      if (output == primary) {
        displays.insert(displays.begin(), display);
      } else {
        displays.push_back(display);
      }
    }
    XRRFreeCrtcInfo(crtc);
  }
  XRRFreeScreenResources(resources);
  return displays;
}

}  // namespace

std::vector<ShareableDisplay> x11Displays(X11Display& x) {
  if (x.broken()) return {};
  auto displays = randrDisplays(x);
  if (!displays.empty() || x.broken()) return displays;
  // The root's current size: DisplayWidth() keeps the size at connection time.
  ::Window root = None;
  int rx = 0, ry = 0;
  unsigned width = 0, height = 0, border = 0, depth = 0;
  if (!XGetGeometry(x.get(), x.root(), &root, &rx, &ry, &width, &height, &border, &depth) || x.broken()) return {};
  return {makeDisplay(0, 0, 0, width, height)};
}

}  // namespace orvane::x11
