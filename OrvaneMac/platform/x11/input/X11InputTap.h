#pragma once

#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

#include <memory>
#include <optional>
#include <set>
#include <unordered_map>
#include <vector>

#include "OrvaneMac/platform/InputTap.h"
#include "OrvaneMac/platform/x11/X11Display.h"
#include "OrvaneMac/platform/x11/input/KeymapChanges.h"

namespace orvane::x11 {

// Listen-only taps on XInput 2.2 raw events of the whole server, read on the
// main loop's connection. X has no user-data field: an event whose source
// device is an XTest device was synthesised (by this host, or any XTest
// client), and is reported with the injection marker; every other device is a
// person and reports 0.
class X11InputTap final : public InputTap {
 public:
  // The value LocalControlGuard looks for; the guard is not linked here.
  static constexpr std::int64_t kInjectionMarker = 0x4F525631;

  explicit X11InputTap(X11Display& display);
  ~X11InputTap() override;
  X11InputTap(const X11InputTap&) = delete;
  X11InputTap& operator=(const X11InputTap&) = delete;

  // Nothing when the server lacks XInput 2.2.
  std::unique_ptr<EventTap> createListenOnlyTap(std::uint64_t mask,
                                                std::function<void(const TappedEvent&)> callback) override;

  // State shared with the handles it returns.
  struct Tap;

 private:
  struct Device {
    bool xtest = false;
    std::vector<int> scrollValuators;
  };

  bool xinputAvailable();
  void select(bool listen);
  void onEvent(const XEvent& event);
  void onRaw(const XIRawEvent& raw);
  const Device& device(int id);
  bool isModifier(int keycode);
  void deliver(CGEventType type, std::int64_t userData);

  X11Display& display_;
  KeymapChanges keymapChanges_;
  int handler_ = 0;
  std::optional<int> opcode_;  // set once XInput 2.2 is known to be there
  bool probed_ = false;
  bool selected_ = false;
  std::vector<std::shared_ptr<Tap>> taps_;
  std::unordered_map<int, Device> devices_;  // by device id, until the hierarchy changes
  std::set<int> modifierKeycodes_;
  bool modifiersStale_ = true;
  std::set<int> buttonsDown_;
};

}  // namespace orvane::x11
