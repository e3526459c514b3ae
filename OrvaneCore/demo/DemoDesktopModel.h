#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneCore/protocol/ControlEvent.h"
#include "OrvaneCore/protocol/Geometry.h"
#include "OrvaneCore/protocol/WindowInfo.h"

namespace orvane {

// The pretend applications of the demonstration desktop.
enum class DemoApp { notes, safari, finder };

std::string_view toString(DemoApp app);  // raw value: "notes", "safari", "finder"
std::optional<DemoApp> demoAppFromString(std::string_view raw);
std::string_view displayName(DemoApp app);  // "Notes", "Safari", "Finder"
// The app behind one of the demo window ids ("demo-notes", ...); nothing otherwise.
std::optional<DemoApp> demoAppForWindowID(std::string_view windowID);
const std::array<DemoApp, 3>& allDemoApps();

// The practice steps of the demonstration.
enum class DemoScenario { typeText, resizeWindow, pageScroll, pinchZoom, switchApp };

std::string_view toString(DemoScenario scenario);  // raw value, the case name
std::optional<DemoScenario> demoScenarioFromString(std::string_view raw);
const std::array<DemoScenario, 5>& allDemoScenarios();

// A tap feedback circle; the id changes with every press so the view can
// restart its animation even at the same point.
struct DemoRipple {
  Point point;
  std::int64_t id = 0;
  bool operator==(const DemoRipple&) const = default;
};

// A simulated desktop driven by the same control events the host injects.
// Main thread only.
class DemoDesktopModel {
 public:
  // The order the steps are offered in; they may be completed in any order.
  static constexpr std::array<DemoScenario, 5> stepOrder = {
      DemoScenario::pinchZoom, DemoScenario::typeText, DemoScenario::resizeWindow,
      DemoScenario::pageScroll, DemoScenario::switchApp};
  static const std::vector<WindowInfo>& windows();

  void handle(const ControlEvent& event);
  void skip(DemoScenario scenario);
  // Pinch zoom happens on the pad itself and never reaches the model as an event.
  void markPinchZoom();

  std::optional<DemoScenario> currentStep() const;
  bool allDone() const { return !currentStep().has_value(); }

  const std::string& typedText() const { return typedText_; }
  double focusedWindowScale() const { return focusedWindowScale_; }
  DemoApp currentApp() const { return currentApp_; }
  double pageOffset() const { return pageOffset_; }
  const std::optional<Point>& cursor() const { return cursor_; }
  const std::optional<DemoRipple>& ripple() const { return ripple_; }
  const std::set<DemoScenario>& completed() const { return completed_; }

  // Called after a call changed any of the published values above; a call
  // that changes nothing (a repeated completion, a clamped scroll) stays quiet.
  std::function<void()> onChange;

 private:
  bool complete(DemoScenario scenario);
  template <typename T>
  static bool assign(T& field, const T& value);

  std::string typedText_;
  double focusedWindowScale_ = 1.0;
  DemoApp currentApp_ = DemoApp::notes;
  double pageOffset_ = 0;
  std::optional<Point> cursor_;
  std::optional<DemoRipple> ripple_;
  std::set<DemoScenario> completed_;
  std::int64_t rippleCounter_ = 0;
};

}  // namespace orvane
