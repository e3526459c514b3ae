#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string_view>

#include "OrvaneMac/platform/Accessibility.h"
#include "OrvaneMac/platform/Workspace.h"

namespace orvane {

// Reports whether a text field of the frontmost application has keyboard
// focus, once per change, so the tablet raises its keyboard only then. It
// follows application activations. Main thread only.
class TextFieldObserver {
 public:
  static constexpr std::array<std::string_view, 5> kTextInputRoles = {
      "AXTextField", "AXTextArea", "AXSearchField", "AXComboBox", "AXSecureTextField"};

  TextFieldObserver(Accessibility& ax, Workspace& workspace) : ax_(ax), workspace_(workspace) {}
  ~TextFieldObserver() { stop(); }
  TextFieldObserver(const TextFieldObserver&) = delete;
  TextFieldObserver& operator=(const TextFieldObserver&) = delete;

  void start();
  void stop();
  // Judges the element under a global point in the frontmost application.
  void check(float x, float y);

  std::function<void(bool focused)> onFocusChanged;

 private:
  void attach(std::optional<std::int32_t> pid);
  void evaluateFocus();
  void report(bool value);
  bool isTextField(const AXElement& element);

  Accessibility& ax_;
  Workspace& workspace_;
  std::unique_ptr<AXObserver> axObserver_;
  std::unique_ptr<Subscription> workspaceObserver_;
  std::optional<bool> lastReported_;
};

}  // namespace orvane
