#include "OrvaneMac/platform/x11/capture/X11PowerAssertions.h"

#include <X11/Xlib.h>
#include <X11/extensions/dpms.h>
#include <X11/extensions/scrnsaver.h>

namespace orvane::x11 {

X11PowerAssertions::~X11PowerAssertions() {
  if (!held_.empty()) restore();
}

std::optional<PowerAssertions::AssertionID> X11PowerAssertions::create(std::string_view, std::uint32_t,
                                                                       std::string_view) {
  // X has one kind of display-sleep prevention: every assertion asks for it.
  if (x_.broken()) return std::nullopt;
  if (held_.empty()) hold();
  AssertionID id = nextID_++;
  if (id == 0 || held_.contains(id)) id = nextID_++;  // after wrapping around
  held_.insert(id);
  return id;
}

void X11PowerAssertions::release(AssertionID id) {
  if (held_.erase(id) == 0) return;
  if (held_.empty()) restore();
}

void X11PowerAssertions::hold() {
  Display* d = x_.get();
  int eventBase = 0, errorBase = 0;
  if (XScreenSaverQueryExtension(d, &eventBase, &errorBase)) {
    suspended_ = x_.trap([&] { XScreenSaverSuspend(d, True); }) == Success;
  }
  if (DPMSQueryExtension(d, &eventBase, &errorBase) && DPMSCapable(d)) {
    CARD16 level = 0;
    BOOL enabled = False;
    if (DPMSInfo(d, &level, &enabled) && enabled) dpmsDisabled_ = x_.trap([&] { DPMSDisable(d); }) == Success;
  }
}

void X11PowerAssertions::restore() {
  Display* d = x_.get();
  if (suspended_ && !x_.broken()) XScreenSaverSuspend(d, False);
  if (dpmsDisabled_ && !x_.broken()) DPMSEnable(d);
  if (!x_.broken()) XFlush(d);
  suspended_ = false;
  dpmsDisabled_ = false;
}

}  // namespace orvane::x11
