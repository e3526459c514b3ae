#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

namespace orvane {

// Keeps a notification subscription; destroying it unsubscribes.
class Subscription {
 public:
  virtual ~Subscription() = default;
};

// A subscription whose end is one call.
class ScopedSubscription final : public Subscription {
 public:
  explicit ScopedSubscription(std::function<void()> stop) : stop_(std::move(stop)) {}
  ~ScopedSubscription() override {
    if (stop_) stop_();
  }

 private:
  std::function<void()> stop_;
};

// NSWorkspace: the frontmost application and its activation notifications.
class Workspace {
 public:
  virtual ~Workspace() = default;
  // The frontmost application's process id; nothing when there is none.
  virtual std::optional<std::int32_t> frontmostApplicationPID() = 0;
  // NSWorkspaceDidActivateApplicationNotification, delivered on the main
  // loop with the activated application's process id (nothing when the
  // notification names no application).
  [[nodiscard]] virtual std::unique_ptr<Subscription> observeApplicationActivation(
      std::function<void(std::optional<std::int32_t> pid)> callback) = 0;
};

// ProcessInfo: this process's own identity.
class ProcessInfo {
 public:
  virtual ~ProcessInfo() = default;
  virtual std::int32_t processIdentifier() const = 0;
};

}  // namespace orvane
