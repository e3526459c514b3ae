#pragma once

#include <cstdint>
#include <functional>
#include <memory>

#include "OrvaneMac/platform/CGEvent.h"

namespace orvane {

// What a listen-only tap hands its callback: the event's type and its
// kCGEventSourceUserData field, or one of the two "tap disabled" types. A port
// that marks injection another way (X11: the XTEST device) reports the
// injection marker here for the events it injected.
struct TappedEvent {
  CGEventType type = kCGEventNull;
  std::int64_t userData = 0;
};

// An installed tap. Destroying it disables it and removes it from the main
// loop, so no callback follows.
class EventTap {
 public:
  virtual ~EventTap() = default;
  // CGEventTapEnable.
  virtual void setEnabled(bool enabled) = 0;
};

// CGEventTapCreate at the session level, inserted at the head, listen-only,
// with its run-loop source on the main loop in the common modes.
class InputTap {
 public:
  virtual ~InputTap() = default;
  // `mask` has bit (1 << type) set for each event type to deliver. The tap
  // starts disabled; the callback runs on the main loop. Nothing when the
  // system refuses (no Input Monitoring or Accessibility permission).
  virtual std::unique_ptr<EventTap> createListenOnlyTap(std::uint64_t mask,
                                                        std::function<void(const TappedEvent&)> callback) = 0;
};

}  // namespace orvane
