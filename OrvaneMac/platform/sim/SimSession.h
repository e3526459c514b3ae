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
#include "OrvaneMac/platform/Applications.h"
#include "OrvaneMac/platform/Power.h"
#include "OrvaneMac/platform/ScreenCaptureAccess.h"
#include "OrvaneMac/platform/sim/SimDesktop.h"

namespace orvane {

// The session's remaining services in memory: running applications (activation
// goes through to the desktop, which makes the application frontmost), power
// assertions, the screen-capture permission and the display scale. Records
// what was asked so tests can check it.
class SimSession final : public Applications, public PowerAssertions, public ScreenCaptureAccess, public DisplayScale {
 public:
  struct Activation {
    std::int32_t pid = 0;
    std::uint32_t options = 0;
    bool operator==(const Activation&) const = default;
  };
  struct Assertion {
    std::string type;
    std::uint32_t level = 0;
    std::string name;
  };

  SimSession(Executor& mainQueue, SimDesktop& desktop) : queue_(mainQueue), desktop_(desktop) {}

  // --- Building
  // Applications that run, by pid, with their localised names.
  void addApplication(std::int32_t pid, std::string name) { names_[pid] = std::move(name); }
  bool screenCaptureAllowed = true;
  bool screenCaptureGrantedOnRequest = false;
  // openApplication answers this (and records the path either way).
  bool openApplicationSucceeds = true;
  bool refuseAssertions = false;
  double backingScaleFactor = 2.0;

  // This process becoming active, delivered to the observers on the queue.
  void becomeActive();

  // --- Records
  const std::vector<Activation>& activations() const { return activations_; }
  // Paths openApplication was asked for, in order.
  const std::vector<std::string>& openedApplications() const { return opened_; }
  // Assertions held now, by id.
  const std::map<AssertionID, Assertion>& heldAssertions() const { return held_; }
  int assertionsCreated() const { return created_; }
  int captureRequests() const { return captureRequests_; }

  // --- Applications
  bool activate(std::int32_t pid, std::uint32_t options) override;
  std::optional<std::string> localizedName(std::int32_t pid) override;
  std::unique_ptr<Subscription> observeDidBecomeActive(std::function<void()> callback) override;
  bool openApplication(const std::string& path) override;

  // --- PowerAssertions
  std::optional<AssertionID> create(std::string_view type, std::uint32_t level, std::string_view name) override;
  void release(AssertionID id) override;

  // --- ScreenCaptureAccess, DisplayScale
  bool preflight() override { return screenCaptureAllowed; }
  bool request() override;
  double mainScreenBackingScaleFactor() override { return backingScaleFactor; }

 private:
  struct Listener {
    std::function<void()> callback;
    bool alive = true;
  };

  Executor& queue_;
  SimDesktop& desktop_;
  std::map<std::int32_t, std::string> names_;
  std::vector<Activation> activations_;
  std::vector<std::string> opened_;
  std::map<AssertionID, Assertion> held_;
  AssertionID nextAssertion_ = 1;
  int created_ = 0;
  int captureRequests_ = 0;
  std::vector<std::shared_ptr<Listener>> listeners_;
};

}  // namespace orvane
