#include "OrvaneMac/input/TextFieldObserver.h"

#include <algorithm>
#include <cmath>
#include <string>

namespace orvane {

void TextFieldObserver::start() {
  // The subscription and the observer are owned here and end with `this`.
  workspaceObserver_ =
      workspace_.observeApplicationActivation([this](std::optional<std::int32_t> pid) { attach(pid); });
  attach(workspace_.frontmostApplicationPID());
}

void TextFieldObserver::stop() {
  axObserver_.reset();
  lastReported_.reset();
  workspaceObserver_.reset();
}

void TextFieldObserver::attach(std::optional<std::int32_t> pid) {
  axObserver_.reset();
  if (!pid || *pid < 1) return;
  auto observer = ax_.createObserver(*pid, [this](const AXElement&, std::string_view) { evaluateFocus(); });
  if (!observer) return;
  const AXElement app = ax_.applicationElement(*pid);
  observer->addNotification(app, kAXFocusedUIElementChangedNotification);
  observer->addNotification(app, kAXApplicationActivatedNotification);
  axObserver_ = std::move(observer);
  evaluateFocus();
}

void TextFieldObserver::evaluateFocus() {
  const auto focused = ax_.copyAttributeValue(ax_.systemWideElement(), kAXFocusedUIElementAttribute);
  const auto* element = std::get_if<AXElement>(&focused.value);
  if (focused.ok() && element && *element) return report(isTextField(*element));
  // Some applications (Electron, Java) refuse the query while a text field
  // has focus; guessing "text field" lets the tablet offer its keyboard.
  report(focused.error == kAXErrorCannotComplete);
}

void TextFieldObserver::check(float x, float y) {
  const auto pid = workspace_.frontmostApplicationPID();
  if (!pid) return report(false);
  if (!std::isfinite(x) || !std::isfinite(y)) return;  // nothing is there to judge
  const auto hit = ax_.elementAtPosition(ax_.applicationElement(*pid), x, y);
  if (hit.ok() && hit.value) return report(isTextField(hit.value));
  if (hit.error == kAXErrorCannotComplete) report(true);
}

bool TextFieldObserver::isTextField(const AXElement& element) {
  const auto role = ax_.copyAttributeValue(element, kAXRoleAttribute);
  const auto* text = std::get_if<std::string>(&role.value);
  return role.ok() && text && std::find(kTextInputRoles.begin(), kTextInputRoles.end(), *text) != kTextInputRoles.end();
}

void TextFieldObserver::report(bool value) {
  if (lastReported_ == value) return;
  lastReported_ = value;
  if (onFocusChanged) onFocusChanged(value);
}

}  // namespace orvane
