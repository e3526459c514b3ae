#pragma once

#include <memory>

#include "OrvaneMac/platform/linux/DesktopEntries.h"
#include "OrvaneMac/platform/x11/windows/X11Windows.h"

namespace orvane::x11 {

// Names windows after the installed application their class belongs to: the
// entry's name, and its desktop-file id without ".desktop" as the identifier.
ApplicationLookup desktopEntryLookup(std::shared_ptr<const DesktopEntries> entries);

}  // namespace orvane::x11
