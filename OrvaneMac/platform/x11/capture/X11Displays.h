#pragma once

#include <vector>

#include "OrvaneMac/platform/ShareableContent.h"
#include "OrvaneMac/platform/x11/X11Display.h"

namespace orvane::x11 {

// The displays of the X screen, the main one first: the RandR primary output,
// else the first output driven by a CRTC; the rest in RandR's order. Each
// display is one output with a CRTC: displayID is the output's XID, the frame
// its CRTC rectangle in root coordinates (points are pixels on X11). Without
// RandR or without any active output, the whole root is one display with id 0.
// Never empty while the connection works; empty once it is broken.
std::vector<ShareableDisplay> x11Displays(X11Display& display);

}  // namespace orvane::x11
