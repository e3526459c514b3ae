#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneMac/platform/Accessibility.h"
#include "OrvaneMac/platform/Workspace.h"

namespace orvane {

// An element of another application's accessibility tree (AT-SPI2), as the
// Accessibility port hands it out: the Accessibility role it maps to and the
// process it belongs to.
class AccessibleNode : public AXUIElement {
 public:
  // "AXTextField", "AXTextArea", "AXSecureTextField", "AXComboBox",
  // "AXSearchField", ... as the text-field observer knows them; the AT-SPI role
  // name for anything else.
  virtual const std::string& role() const = 0;
  virtual std::int32_t pid() const = 0;
};

// The focused element and focus changes of other applications, read from the
// AT-SPI2 accessibility bus. Main loop only.
class AtSpiFocus {
 public:
  virtual ~AtSpiFocus() = default;
  // The element with keyboard focus on the desktop; kAXErrorNoValue when none.
  virtual AXResult<AXElement> focusedElement() = 0;
  // The deepest element of `pid`'s application at a global point.
  virtual AXResult<AXElement> elementAtPoint(std::int32_t pid, float x, float y) = 0;
  // `changed` runs on the main loop whenever the focus moves within `pid`'s
  // application (and when that application becomes active).
  [[nodiscard]] virtual std::unique_ptr<Subscription> observeFocus(std::int32_t pid, std::function<void()> changed) = 0;
};

// Connects to the accessibility bus of this session. Nothing when none runs;
// that is logged once, and the host then reports no text-field focus.
std::unique_ptr<AtSpiFocus> connectAtSpiFocus(Executor& main, LogSink& log = systemLogSink());

}  // namespace orvane
