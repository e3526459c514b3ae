#include "OrvaneMac/platform/x11/input/KeymapChanges.h"

#include <X11/XKBlib.h>

#include <algorithm>

namespace orvane::x11 {

KeymapChanges::KeymapChanges(X11Display& display) {
  if (display.broken()) return;
  int opcode = 0, eventBase = 0, errorBase = 0, major = XkbMajorVersion, minor = XkbMinorVersion;
  if (!XkbQueryExtension(display.get(), &opcode, &eventBase, &errorBase, &major, &minor)) return;
  constexpr unsigned long kMask = XkbMapNotifyMask | XkbNewKeyboardNotifyMask;
  XkbSelectEvents(display.get(), XkbUseCoreKbd, kMask, kMask);
  xkbEventBase_ = eventBase;
}

std::optional<KeymapChanges::Change> KeymapChanges::of(const XEvent& event) const {
  if (event.type == MappingNotify) {
    // Servers without XKB; Xlib also makes these from XKB's own events.
    if (event.xmapping.request == MappingModifier) return Change{.modifiers = true};
    if (event.xmapping.request != MappingKeyboard) return std::nullopt;
    return Change{.firstKeycode = event.xmapping.first_keycode, .count = event.xmapping.count};
  }
  if (!xkbEventBase_ || event.type != *xkbEventBase_) return std::nullopt;
  const auto& xkb = reinterpret_cast<const XkbEvent&>(event);
  if (xkb.any.xkb_type == XkbNewKeyboardNotify) return Change{.everything = true, .modifiers = true};
  if (xkb.any.xkb_type != XkbMapNotify) return std::nullopt;
  const XkbMapNotifyEvent& map = xkb.map;
  Change change;
  change.everything = (map.changed & (XkbKeyTypesMask | XkbVirtualModsMask)) != 0;
  change.modifiers = (map.changed & (XkbModifierMapMask | XkbVirtualModMapMask)) != 0;
  int first = 256, end = 0;
  if (map.changed & XkbKeySymsMask) {
    first = std::min(first, int(map.first_key_sym));
    end = std::max(end, int(map.first_key_sym) + map.num_key_syms);
  }
  if (map.changed & XkbKeyActionsMask) {
    first = std::min(first, int(map.first_key_act));
    end = std::max(end, int(map.first_key_act) + map.num_key_acts);
  }
  if (end > first) change = {change.everything, first, end - first, change.modifiers};
  return change;
}

}  // namespace orvane::x11
