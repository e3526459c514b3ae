#pragma once

#include <string>
#include <string_view>

#include "OrvaneCore/protocol/ControlEvent.h"

namespace orvane {

// What the coordinator does with one control event. Whether the local user
// holds the desktop decides most of it: they keep the desktop, and the
// tablet may only let go of what it holds or ask questions.
enum class DispatchRoute {
  drop,
  inject,        // straight to the injector
  titleBarZoom,  // inject, then re-read the window's frame
  launch,
  switchWindow,
  search,
  setQuality,
  padScreen,
  windowList,
  peerVersion,
};

// `gateOpen`: the local-control policy allows injection now.
DispatchRoute routeFor(const ControlEvent& event, bool gateOpen);

// The text without leading and trailing white space and line breaks
// (Unicode's, not only ASCII's).
std::string trimWhitespaceAndNewlines(std::string_view text);

}  // namespace orvane
