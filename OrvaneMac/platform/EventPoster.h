#pragma once

#include <optional>

#include "OrvaneMac/platform/CGEvent.h"

namespace orvane {

// Creating and posting synthetic input (CGEventCreate*, CGEventPost at
// kCGHIDEventTap). Events are created with no event source; nothing is awaited
// after a post. Creation may fail, and callers skip what was not created.
// Locations are finite but may lie far outside every screen (they come from
// the tablet): a port clamps them to what its system accepts.
class EventPoster {
 public:
  virtual ~EventPoster() = default;

  // CGEventCreateMouseEvent.
  std::optional<CGEvent> createMouseEvent(CGEventType type, Point location, CGMouseButton button) {
    CGEvent event;
    event.type = type;
    event.location = location;
    event.button = button;
    return create(std::move(event));
  }
  // CGEventCreateKeyboardEvent.
  std::optional<CGEvent> createKeyboardEvent(CGKeyCode key, bool keyDown) {
    CGEvent event;
    event.type = keyDown ? kCGEventKeyDown : kCGEventKeyUp;
    event.keyCode = key;
    return create(std::move(event));
  }
  // CGEventCreateScrollWheelEvent2 in pixel units with two wheels.
  std::optional<CGEvent> createScrollWheelEvent(std::int32_t vertical, std::int32_t horizontal) {
    CGEvent event;
    event.type = kCGEventScrollWheel;
    event.wheel1 = vertical;
    event.wheel2 = horizontal;
    return create(std::move(event));
  }
  // The CoreGraphics event of an AppKit system-defined event at (0, 0), with no
  // flags, timestamp 0, window 0 and no context.
  std::optional<CGEvent> createSystemDefinedEvent(std::int16_t subtype, std::int64_t data1, std::int64_t data2) {
    CGEvent event;
    event.type = kNSEventTypeSystemDefined;
    event.subtype = subtype;
    event.data1 = data1;
    event.data2 = data2;
    return create(std::move(event));
  }

  // The location of a fresh empty event: where the cursor is now. Nothing when
  // no event can be created.
  virtual std::optional<Point> cursorLocation() = 0;

  virtual void post(const CGEvent& event) = 0;

 protected:
  // The system's side of every create call; the default never fails.
  virtual std::optional<CGEvent> create(CGEvent event) { return event; }
};

}  // namespace orvane
