#pragma once

// The system's input-event vocabulary, as the host logic was designed against
// it: CoreGraphics event types, flags and fields, and AppKit's system-defined
// media-key events. The X11 ports translate these; the logic and its tests
// speak only these numbers.

#include <cstdint>
#include <string>

#include "OrvaneCore/protocol/Geometry.h"

namespace orvane {

using CGEventType = std::uint32_t;
using CGEventFlags = std::uint64_t;
using CGKeyCode = std::uint16_t;
using CGMouseButton = std::uint32_t;

inline constexpr CGEventType kCGEventNull = 0;
inline constexpr CGEventType kCGEventLeftMouseDown = 1;
inline constexpr CGEventType kCGEventLeftMouseUp = 2;
inline constexpr CGEventType kCGEventRightMouseDown = 3;
inline constexpr CGEventType kCGEventRightMouseUp = 4;
inline constexpr CGEventType kCGEventMouseMoved = 5;
inline constexpr CGEventType kCGEventLeftMouseDragged = 6;
inline constexpr CGEventType kCGEventRightMouseDragged = 7;
inline constexpr CGEventType kCGEventKeyDown = 10;
inline constexpr CGEventType kCGEventKeyUp = 11;
inline constexpr CGEventType kCGEventFlagsChanged = 12;
inline constexpr CGEventType kCGEventScrollWheel = 22;
inline constexpr CGEventType kCGEventOtherMouseDown = 25;
inline constexpr CGEventType kCGEventOtherMouseUp = 26;
inline constexpr CGEventType kCGEventOtherMouseDragged = 27;
// Not input: the system telling a tap that it switched it off.
inline constexpr CGEventType kCGEventTapDisabledByTimeout = 0xFFFFFFFE;
inline constexpr CGEventType kCGEventTapDisabledByUserInput = 0xFFFFFFFF;
// AppKit's NSEventTypeSystemDefined; subtype 8 carries the media keys.
inline constexpr CGEventType kNSEventTypeSystemDefined = 14;
inline constexpr std::int16_t kNXSubtypeAuxControlButtons = 8;

inline constexpr CGEventFlags kCGEventFlagMaskShift = 0x20000;
inline constexpr CGEventFlags kCGEventFlagMaskControl = 0x40000;
inline constexpr CGEventFlags kCGEventFlagMaskAlternate = 0x80000;
inline constexpr CGEventFlags kCGEventFlagMaskCommand = 0x100000;

// Field numbers of CGEventGet/SetIntegerValueField; CGEvent names them as members.
inline constexpr int kCGMouseEventClickState = 1;
inline constexpr int kCGMouseEventButtonNumber = 3;
inline constexpr int kCGKeyboardEventKeycode = 9;
inline constexpr int kCGEventSourceUserData = 42;

// One event as created, stamped and posted. Members a given type does not use
// keep their zero value.
struct CGEvent {
  CGEventType type = kCGEventNull;
  Point location;              // global display points, origin top-left
  CGMouseButton button = 0;    // kCGMouseEventButtonNumber
  CGEventFlags flags = 0;
  CGKeyCode keyCode = 0;       // kCGKeyboardEventKeycode
  std::u16string unicode;      // CGEventKeyboardSetUnicodeString
  std::int64_t userData = 0;   // kCGEventSourceUserData
  std::int64_t clickState = 0; // kCGMouseEventClickState; 0 when never set
  std::int32_t wheel1 = 0;     // scroll, pixel units: vertical
  std::int32_t wheel2 = 0;     // scroll, pixel units: horizontal
  std::int16_t subtype = 0;    // system-defined events only
  std::int64_t data1 = 0;
  std::int64_t data2 = 0;

  bool operator==(const CGEvent&) const = default;
};

}  // namespace orvane
