#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <variant>
#include <vector>

#include "OrvaneCore/protocol/Geometry.h"

namespace orvane {

using AXError = std::int32_t;
inline constexpr AXError kAXErrorSuccess = 0;
inline constexpr AXError kAXErrorFailure = -25200;
inline constexpr AXError kAXErrorIllegalArgument = -25201;
inline constexpr AXError kAXErrorInvalidUIElement = -25202;
inline constexpr AXError kAXErrorCannotComplete = -25204;
inline constexpr AXError kAXErrorAttributeUnsupported = -25205;
inline constexpr AXError kAXErrorActionUnsupported = -25206;
inline constexpr AXError kAXErrorNotificationUnsupported = -25207;
inline constexpr AXError kAXErrorNotImplemented = -25208;
inline constexpr AXError kAXErrorAPIDisabled = -25211;
inline constexpr AXError kAXErrorNoValue = -25212;
inline constexpr AXError kAXErrorParameterizedAttributeUnsupported = -25213;
inline constexpr AXError kAXErrorNotEnoughPrecision = -25214;

inline constexpr std::string_view kAXRoleAttribute = "AXRole";
inline constexpr std::string_view kAXSubroleAttribute = "AXSubrole";
inline constexpr std::string_view kAXTitleAttribute = "AXTitle";
inline constexpr std::string_view kAXPositionAttribute = "AXPosition";
inline constexpr std::string_view kAXSizeAttribute = "AXSize";
inline constexpr std::string_view kAXWindowAttribute = "AXWindow";
inline constexpr std::string_view kAXParentAttribute = "AXParent";
inline constexpr std::string_view kAXWindowsAttribute = "AXWindows";
inline constexpr std::string_view kAXFocusedWindowAttribute = "AXFocusedWindow";
inline constexpr std::string_view kAXFocusedUIElementAttribute = "AXFocusedUIElement";
inline constexpr std::string_view kAXMinimizedAttribute = "AXMinimized";
inline constexpr std::string_view kAXZoomButtonAttribute = "AXZoomButton";
inline constexpr std::string_view kAXCloseButtonAttribute = "AXCloseButton";
inline constexpr std::string_view kAXWindowRole = "AXWindow";
inline constexpr std::string_view kAXFocusedUIElementChangedNotification = "AXFocusedUIElementChanged";
inline constexpr std::string_view kAXApplicationActivatedNotification = "AXApplicationActivated";
inline constexpr std::string_view kAXRaiseAction = "AXRaise";
inline constexpr std::string_view kAXPressAction = "AXPress";

// An element as the platform knows it; the port behind it interprets it.
class AXUIElement {
 public:
  virtual ~AXUIElement() = default;
};
// Empty when there is no element.
using AXElement = std::shared_ptr<const AXUIElement>;

// An attribute value: an element, a list of elements, text, a point, a size
// or a flag; monostate for anything else.
using AXValue = std::variant<std::monostate, AXElement, std::vector<AXElement>, std::string, Point, Size, bool>;

template <typename T>
struct AXResult {
  AXError error = kAXErrorFailure;
  T value{};
  bool ok() const { return error == kAXErrorSuccess; }
};

// AXObserverCreate's observer with its run-loop source on the main loop.
// Destroying it ends its notifications.
class AXObserver {
 public:
  virtual ~AXObserver() = default;
  virtual AXError addNotification(const AXElement& element, std::string_view notification) = 0;
};

// The Accessibility services: elements, attributes, actions and observers.
// Points are global display points, origin top-left. Positions and sizes
// passed in are finite but may be far out of range (they come from the
// tablet): a port clamps them to what its system accepts.
class Accessibility {
 public:
  using ObserverCallback = std::function<void(const AXElement& element, std::string_view notification)>;

  virtual ~Accessibility() = default;
  virtual bool isProcessTrusted() = 0;
  virtual AXElement applicationElement(std::int32_t pid) = 0;
  virtual AXElement systemWideElement() = 0;
  virtual AXResult<AXValue> copyAttributeValue(const AXElement& element, std::string_view attribute) = 0;
  virtual AXError setAttributeValue(const AXElement& element, std::string_view attribute, const AXValue& value) = 0;
  virtual AXResult<bool> isAttributeSettable(const AXElement& element, std::string_view attribute) = 0;
  // AXUIElementCopyElementAtPosition, within `root` (an application or the system-wide element).
  virtual AXResult<AXElement> elementAtPosition(const AXElement& root, float x, float y) = 0;
  virtual AXResult<std::int32_t> pid(const AXElement& element) = 0;
  virtual AXError performAction(const AXElement& element, std::string_view action) = 0;
  // The callback runs on the main loop. Nothing when the process cannot be observed.
  virtual std::unique_ptr<AXObserver> createObserver(std::int32_t pid, ObserverCallback callback) = 0;
};

}  // namespace orvane
