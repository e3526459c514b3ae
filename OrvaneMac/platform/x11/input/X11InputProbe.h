#pragma once

#include "OrvaneMac/platform/x11/X11Display.h"

namespace orvane::x11 {

// What input control needs from the server: XTest to inject, XInput 2.2 raw
// events to hear the person at the desktop.
bool x11InputAvailable(X11Display& display);

// XInput 2.2 or later. The version is announced for the whole connection, so
// every port on it asks for the same one through here.
bool xinput22Available(X11Display& display);

}  // namespace orvane::x11
