#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneMac/platform/Accessibility.h"
#include "OrvaneMac/platform/EventPoster.h"
#include "OrvaneMac/platform/InputTap.h"
#include "OrvaneMac/platform/Screens.h"
#include "OrvaneMac/platform/Workspace.h"

namespace orvane {

// An in-memory desktop behind every port: screens, applications, windows and
// their elements, a recorded list of every posted event, and a way to play a
// person at the keyboard. Whatever the real system delivers on the main loop
// (tap callbacks, Accessibility and workspace notifications) is posted to the
// given executor, so tests drive it in virtual time.
class SimDesktop final : public EventPoster,
                         public InputTap,
                         public Accessibility,
                         public Screens,
                         public Workspace,
                         public ProcessInfo {
 public:
  using ElementId = int;

  struct App {
    std::int32_t pid = 0;
    std::string name;
    std::string bundleId;
    bool observable = true;  // false: AXObserverCreate refuses it
  };

  // A window (role "AXWindow") or an element inside one. A child's frame is
  // relative to its parent's origin, so it moves with its window.
  struct Element {
    ElementId id = 0;
    std::int32_t pid = 0;
    ElementId parent = 0;  // 0: the application
    std::string role;
    std::string subrole;
    std::string title;
    Rect frame;
    bool sizeSettable = true;
    bool hasWindowAttribute = true;  // false: "AXWindow" unsupported, callers must walk "AXParent"
    // What the window operations did to a window: "AXMinimized", each press
    // of its zoom button, a press of its close button (which takes it away).
    bool minimized = false;
    bool zoomed = false;
    bool closed = false;
  };

  // Which Accessibility call a configured error applies to.
  enum class AXCall { copy, set, settable, elementAtPosition, pid, perform };

  // State shared with the handles the ports return.
  struct Tap;
  struct Observer;
  struct ActivationListener;

  explicit SimDesktop(Executor& mainQueue) : queue_(mainQueue) {}

  // --- Building the desktop
  std::optional<Screen> screen = Screen{Rect(0, 0, 1440, 900), Rect(0, 0, 1440, 875)};
  std::int32_t ownPid = 4242;
  bool trusted = true;
  bool tapRefused = false;
  // Event creation fails for events this returns true for.
  std::function<bool(const CGEvent&)> refuseCreation;
  bool cursorUnavailable = false;
  Point cursor;

  void addApp(App app) { apps_.push_back(std::move(app)); }
  // A new window of `pid` in front of all others.
  ElementId addWindow(std::int32_t pid, std::string title, Rect frame);
  ElementId addElement(ElementId parent, std::string role, Rect frame, std::string title = {});
  Element& element(ElementId id);
  // The element's frame in global display points.
  Rect globalFrame(ElementId id) const;
  AXElement axElement(ElementId id) const;
  // 0 for an application, the system-wide element or no element.
  ElementId idOf(const AXElement& element) const;

  // Gives `id` keyboard focus within its application, telling its observers.
  void focus(ElementId id);
  // Makes `pid` frontmost, telling workspace and Accessibility observers.
  void activate(std::int32_t pid);
  void failAX(AXCall call, std::string attribute, AXError error) { axErrors_[{call, std::move(attribute)}] = error; }
  void clearAXFailures() { axErrors_.clear(); }

  // A person at the keyboard or mouse: delivered to the taps unmarked.
  void localInput(CGEvent event);
  // The system switching the taps off, with the notification it sends them.
  void disableTaps(CGEventType reason);
  bool tapEnabled() const;

  const std::vector<CGEvent>& posted() const { return posted_; }
  void clearPosted() { posted_.clear(); }

  // --- EventPoster
  std::optional<Point> cursorLocation() override;
  void post(const CGEvent& event) override;

  // --- InputTap
  std::unique_ptr<EventTap> createListenOnlyTap(std::uint64_t mask,
                                                std::function<void(const TappedEvent&)> callback) override;

  // --- Accessibility
  bool isProcessTrusted() override { return trusted; }
  AXElement applicationElement(std::int32_t pid) override;
  AXElement systemWideElement() override;
  AXResult<AXValue> copyAttributeValue(const AXElement& element, std::string_view attribute) override;
  AXError setAttributeValue(const AXElement& element, std::string_view attribute, const AXValue& value) override;
  AXResult<bool> isAttributeSettable(const AXElement& element, std::string_view attribute) override;
  AXResult<AXElement> elementAtPosition(const AXElement& root, float x, float y) override;
  AXResult<std::int32_t> pid(const AXElement& element) override;
  AXError performAction(const AXElement& element, std::string_view action) override;
  std::unique_ptr<AXObserver> createObserver(std::int32_t pid, ObserverCallback callback) override;

  // --- Screens, Workspace, ProcessInfo
  std::optional<Screen> mainScreen() override { return screen; }
  std::optional<std::int32_t> frontmostApplicationPID() override { return frontmost_; }
  std::unique_ptr<Subscription> observeApplicationActivation(
      std::function<void(std::optional<std::int32_t>)> callback) override;
  std::int32_t processIdentifier() const override { return ownPid; }

 protected:
  std::optional<CGEvent> create(CGEvent event) override;

 private:
  struct Handle;

  const Handle* handle(const AXElement& element) const;
  std::optional<AXError> configuredError(AXCall call, std::string_view attribute) const;
  const App* app(std::int32_t pid) const;
  ElementId windowOf(ElementId id) const;
  ElementId hitTest(std::optional<std::int32_t> pid, Point p) const;
  AXResult<AXValue> attribute(const Handle& h, std::string_view name);
  void deliverToTaps(const TappedEvent& event, bool evenIfDisabled);
  void notifyObservers(std::int32_t pid, std::string_view notification, ElementId element);

  Executor& queue_;
  std::vector<App> apps_;
  std::map<std::int32_t, ElementId> focused_;  // per application
  std::map<ElementId, Element> elements_;
  std::vector<ElementId> windowOrder_;  // front first
  ElementId nextId_ = 1;
  std::optional<std::int32_t> frontmost_;
  std::map<std::pair<AXCall, std::string>, AXError> axErrors_;
  std::vector<CGEvent> posted_;
  std::vector<std::shared_ptr<Tap>> taps_;
  std::vector<std::shared_ptr<Observer>> observers_;
  std::vector<std::shared_ptr<ActivationListener>> activationListeners_;
};

}  // namespace orvane
