#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>

#include "OrvaneMac/platform/Workspace.h"
#include "OrvaneMac/platform/x11/X11Display.h"
#include "OrvaneMac/platform/x11/apps/ActiveWindowWatch.h"

namespace orvane::x11 {

// The frontmost application of an EWMH desktop: the process of the active
// window. An application counts as activated when the active window passes
// to a process other than the one before, or to any process after no window
// was active.
class X11Workspace final : public Workspace {
 public:
  explicit X11Workspace(X11Display& x);

  std::optional<std::int32_t> frontmostApplicationPID() override;
  std::unique_ptr<Subscription> observeApplicationActivation(
      std::function<void(std::optional<std::int32_t> pid)> callback) override;

 private:
  void activeChanged(const ActiveWindowWatch::Active& active);

  ActiveWindowWatch watch_;
  ActiveWindowWatch::Active front_;
  std::unique_ptr<Subscription> watching_;
  std::map<int, std::shared_ptr<std::function<void(std::optional<std::int32_t>)>>> callbacks_;
  int nextCallback_ = 1;
  std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

// This process.
class X11ProcessInfo final : public ProcessInfo {
 public:
  std::int32_t processIdentifier() const override;
};

}  // namespace orvane::x11
