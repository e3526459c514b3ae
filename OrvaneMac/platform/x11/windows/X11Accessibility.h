#pragma once

#include <X11/Xlib.h>

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneMac/platform/Accessibility.h"
#include "OrvaneMac/platform/linux/atspi/AtSpiFocus.h"
#include "OrvaneMac/platform/x11/X11Display.h"
#include "OrvaneMac/platform/x11/windows/WindowManagerRequests.h"
#include "OrvaneMac/platform/x11/windows/X11Windows.h"

namespace orvane::x11 {

// The Accessibility code for what an X request failed with: a window that is
// gone is an invalid element, a value the server refused an illegal argument.
AXError axErrorFromX(int xError);

// The Accessibility port on an X desktop. Its elements: the system-wide
// element, an application (a process id), a managed window (its client
// window), a window's zoom and close buttons (which the window manager
// carries out), and the nodes AT-SPI hands out for focus and roles.
// Main loop only; the elements it gives out are plain ids and outlive it.
class X11Accessibility final : public Accessibility {
 public:
  struct Options {
    // Names the applications ("AXTitle" of an application element).
    ApplicationLookup applications;
    // What isProcessTrusted() says; without it, whether the connection works.
    std::function<bool()> trusted;
    // How long a move or resize waits for the window manager to carry it out.
    double settleTimeout = 0.2;
  };

  // `focus` may be null: then nothing can be observed and no element has focus.
  X11Accessibility(X11Display& display, const Clock& clock, AtSpiFocus* focus, Options options);
  ~X11Accessibility() override;

  bool isProcessTrusted() override;
  AXElement applicationElement(std::int32_t pid) override;
  AXElement systemWideElement() override;
  AXResult<AXValue> copyAttributeValue(const AXElement& element, std::string_view attribute) override;
  // A move or resize returns once the window manager has placed the window
  // (or the settle timeout has passed), so that reading the frame straight
  // after gives where it really is.
  AXError setAttributeValue(const AXElement& element, std::string_view attribute, const AXValue& value) override;
  AXResult<bool> isAttributeSettable(const AXElement& element, std::string_view attribute) override;
  AXResult<AXElement> elementAtPosition(const AXElement& root, float x, float y) override;
  AXResult<std::int32_t> pid(const AXElement& element) override;
  AXError performAction(const AXElement& element, std::string_view action) override;
  std::unique_ptr<AXObserver> createObserver(std::int32_t pid, ObserverCallback callback) override;

  // The element of a managed client window.
  AXElement windowElement(::Window window);

 private:
  class Element;
  class Observer;

  AXResult<AXValue> applicationAttribute(std::int32_t pid, std::string_view attribute);
  AXResult<AXValue> windowAttribute(::Window window, std::string_view attribute);
  AXResult<AXValue> buttonAttribute(const Element& button, std::string_view attribute);
  AXResult<AXValue> nodeAttribute(const AccessibleNode& node, std::string_view attribute);
  AXError placeFrame(::Window window, std::optional<Point> origin, std::optional<Size> size);
  void waitForPlacement(::Window window, const Rect& target, const Rect& before, unsigned long serial);
  void selectInput(::Window window, long mask);
  std::vector<::Window> windowsOf(std::int32_t pid);
  std::optional<::Window> focusedWindow(std::int32_t pid);
  AXResult<AXElement> windowAt(Point point, std::optional<std::int32_t> pid);

  X11Display& x_;
  const Clock& clock_;
  AtSpiFocus* focus_;
  Options options_;
  X11Windows windows_;
  WindowManagerRequests requests_;
};

}  // namespace orvane::x11
