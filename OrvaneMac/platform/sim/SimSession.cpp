#include "OrvaneMac/platform/sim/SimSession.h"

#include <algorithm>

namespace orvane {

void SimSession::becomeActive() {
  std::erase_if(listeners_, [](const auto& listener) { return !listener->alive; });
  for (const auto& listener : listeners_) {
    queue_.post([listener] {
      if (listener->alive) listener->callback();
    });
  }
}

bool SimSession::activate(std::int32_t pid, std::uint32_t options) {
  activations_.push_back(Activation{pid, options});
  if (!names_.contains(pid)) return false;
  desktop_.activate(pid);
  return true;
}

std::optional<std::string> SimSession::localizedName(std::int32_t pid) {
  auto it = names_.find(pid);
  if (it == names_.end()) return std::nullopt;
  return it->second;
}

bool SimSession::openApplication(const std::string& path) {
  opened_.push_back(path);
  return openApplicationSucceeds;
}

std::unique_ptr<Subscription> SimSession::observeDidBecomeActive(std::function<void()> callback) {
  auto listener = std::make_shared<Listener>();
  listener->callback = std::move(callback);
  listeners_.push_back(listener);
  return std::make_unique<ScopedSubscription>([listener] { listener->alive = false; });
}

std::optional<PowerAssertions::AssertionID> SimSession::create(std::string_view type, std::uint32_t level,
                                                               std::string_view name) {
  if (refuseAssertions) return std::nullopt;
  const AssertionID id = nextAssertion_++;
  held_[id] = Assertion{std::string(type), level, std::string(name)};
  ++created_;
  return id;
}

void SimSession::release(AssertionID id) { held_.erase(id); }

bool SimSession::request() {
  ++captureRequests_;
  if (screenCaptureGrantedOnRequest) screenCaptureAllowed = true;
  return screenCaptureAllowed;
}

}  // namespace orvane
