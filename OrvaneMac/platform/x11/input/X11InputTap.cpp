#include "OrvaneMac/platform/x11/input/X11InputTap.h"

#include <X11/extensions/XInput2.h>

#include <array>

#include "OrvaneMac/platform/x11/input/X11InputProbe.h"

namespace orvane::x11 {

struct X11InputTap::Tap {
  std::uint64_t mask = 0;
  std::function<void(const TappedEvent&)> callback;
  bool enabled = false;
  bool alive = true;
};

namespace {

// The handle only flags the shared state, so it may outlive the tap source.
class Handle final : public EventTap {
 public:
  explicit Handle(std::shared_ptr<X11InputTap::Tap> tap) : tap_(std::move(tap)) {}
  ~Handle() override { tap_->alive = tap_->enabled = false; }
  void setEnabled(bool enabled) override { tap_->enabled = enabled && tap_->alive; }

 private:
  std::shared_ptr<X11InputTap::Tap> tap_;
};

CGEventType buttonType(int button, bool press) {
  switch (button) {
    case 1: return press ? kCGEventLeftMouseDown : kCGEventLeftMouseUp;
    case 3: return press ? kCGEventRightMouseDown : kCGEventRightMouseUp;
    case 4:
    case 5:
    case 6:
    case 7: return press ? kCGEventScrollWheel : kCGEventNull;  // a wheel notch has no release
    default: return press ? kCGEventOtherMouseDown : kCGEventOtherMouseUp;
  }
}

}  // namespace

X11InputTap::X11InputTap(X11Display& display) : display_(display), keymapChanges_(display) {
  handler_ = display_.addEventHandler([this](const XEvent& event) { onEvent(event); });
}

X11InputTap::~X11InputTap() {
  display_.removeEventHandler(handler_);
  for (auto& tap : taps_) tap->alive = false;
  if (selected_) select(false);
}

bool X11InputTap::xinputAvailable() {
  if (!probed_) {
    probed_ = true;
    int opcode = 0, event = 0, error = 0;
    if (XQueryExtension(display_.get(), "XInputExtension", &opcode, &event, &error) && xinput22Available(display_)) {
      opcode_ = opcode;
    }
  }
  return opcode_.has_value();
}

std::unique_ptr<EventTap> X11InputTap::createListenOnlyTap(std::uint64_t mask,
                                                           std::function<void(const TappedEvent&)> callback) {
  if (display_.broken() || !xinputAvailable()) return nullptr;
  auto tap = std::make_shared<Tap>();
  tap->mask = mask;
  tap->callback = std::move(callback);
  std::erase_if(taps_, [](const auto& t) { return !t->alive; });
  taps_.push_back(tap);
  if (!selected_) select(true);
  return std::make_unique<Handle>(std::move(tap));
}

void X11InputTap::select(bool listen) {
  if (display_.broken()) return;
  std::array<unsigned char, XIMaskLen(XI_LASTEVENT)> raw{};
  std::array<unsigned char, XIMaskLen(XI_LASTEVENT)> hierarchy{};
  if (listen) {
    for (int type : {XI_RawKeyPress, XI_RawKeyRelease, XI_RawButtonPress, XI_RawButtonRelease, XI_RawMotion}) {
      XISetMask(raw.data(), type);
    }
    XISetMask(hierarchy.data(), XI_HierarchyChanged);
  }
  // Raw events of slaves come through their master with the slave as source.
  std::array<XIEventMask, 2> masks = {XIEventMask{XIAllMasterDevices, int(raw.size()), raw.data()},
                                      XIEventMask{XIAllDevices, int(hierarchy.size()), hierarchy.data()}};
  XISelectEvents(display_.get(), display_.root(), masks.data(), int(masks.size()));
  XFlush(display_.get());
  selected_ = listen;
  if (!listen) buttonsDown_.clear();
}

void X11InputTap::onEvent(const XEvent& event) {
  if (auto change = keymapChanges_.of(event)) {
    modifiersStale_ = modifiersStale_ || change->modifiers;
    return;
  }
  if (!opcode_ || event.type != GenericEvent || event.xcookie.extension != *opcode_ || !event.xcookie.data) return;
  if (event.xcookie.evtype == XI_HierarchyChanged) {
    devices_.clear();
    return;
  }
  std::erase_if(taps_, [](const auto& t) { return !t->alive; });
  if (taps_.empty()) {
    if (selected_) select(false);
    return;
  }
  onRaw(*static_cast<const XIRawEvent*>(event.xcookie.data));
}

void X11InputTap::onRaw(const XIRawEvent& raw) {
  const std::int64_t userData = device(raw.sourceid).xtest ? kInjectionMarker : 0;
  switch (raw.evtype) {
    case XI_RawButtonPress:
    case XI_RawButtonRelease: {
      const bool press = raw.evtype == XI_RawButtonPress;
      if (raw.detail < 4 || raw.detail > 7) {
        if (press) buttonsDown_.insert(raw.detail);
        else buttonsDown_.erase(raw.detail);
      }
      return deliver(buttonType(raw.detail, press), userData);
    }
    case XI_RawMotion: {
      // Smooth scrolling moves scroll valuators rather than pressing buttons.
      const Device& source = device(raw.sourceid);
      for (int valuator : source.scrollValuators) {
        if (valuator < raw.valuators.mask_len * 8 && XIMaskIsSet(raw.valuators.mask, valuator)) {
          return deliver(kCGEventScrollWheel, userData);
        }
      }
      CGEventType type = kCGEventMouseMoved;
      if (buttonsDown_.count(1)) type = kCGEventLeftMouseDragged;
      else if (buttonsDown_.count(3)) type = kCGEventRightMouseDragged;
      else if (!buttonsDown_.empty()) type = kCGEventOtherMouseDragged;
      return deliver(type, userData);
    }
    case XI_RawKeyPress:
    case XI_RawKeyRelease: {
      const bool press = raw.evtype == XI_RawKeyPress;
      if (isModifier(raw.detail)) return deliver(kCGEventFlagsChanged, userData);
      return deliver(press ? kCGEventKeyDown : kCGEventKeyUp, userData);
    }
    default: return;
  }
}

void X11InputTap::deliver(CGEventType type, std::int64_t userData) {
  if (type == kCGEventNull) return;
  const TappedEvent event{type, userData};
  // A copy: a callback may create or destroy taps, its own included.
  const auto taps = taps_;
  for (const auto& tap : taps) {
    if (tap->alive && tap->enabled && type < 64 && (tap->mask >> type & 1)) tap->callback(event);
  }
}

const X11InputTap::Device& X11InputTap::device(int id) {
  if (auto it = devices_.find(id); it != devices_.end()) return it->second;
  Device device;
  Atom type = None;
  int format = 0;
  unsigned long items = 0, after = 0;
  unsigned char* data = nullptr;
  const Atom xtest = display_.atom("XTEST Device");
  // A device unplugged meanwhile answers with an error: then it is nobody's.
  display_.trap([&] {
    XIGetProperty(display_.get(), id, xtest, 0, 1, False, AnyPropertyType, &type, &format, &items, &after, &data);
  });
  if (data) XFree(data);
  device.xtest = type != None && items > 0;
  int count = 0;
  XIDeviceInfo* info = nullptr;
  display_.trap([&] { info = XIQueryDevice(display_.get(), id, &count); });
  for (int d = 0; info && d < count; ++d) {
    for (int c = 0; c < info[d].num_classes; ++c) {
      if (info[d].classes[c]->type == XIScrollClass) {
        device.scrollValuators.push_back(reinterpret_cast<XIScrollClassInfo*>(info[d].classes[c])->number);
      }
    }
  }
  if (info) XIFreeDeviceInfo(info);
  return devices_.emplace(id, std::move(device)).first->second;
}

bool X11InputTap::isModifier(int keycode) {
  if (modifiersStale_ && !display_.broken()) {
    modifiersStale_ = false;
    modifierKeycodes_.clear();
    if (XModifierKeymap* map = XGetModifierMapping(display_.get())) {
      for (int i = 0; i < 8 * map->max_keypermod; ++i) {
        if (map->modifiermap[i] != 0) modifierKeycodes_.insert(map->modifiermap[i]);
      }
      XFreeModifiermap(map);
    }
  }
  return modifierKeycodes_.count(keycode) > 0;
}

}  // namespace orvane::x11
