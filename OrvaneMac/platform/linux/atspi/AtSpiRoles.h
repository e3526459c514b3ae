#pragma once

#include <atspi/atspi.h>

#include <string>

namespace orvane {

// The Accessibility role an AT-SPI element stands for. Elements that take
// typed text get the roles the text-field observer knows ("AXTextField",
// "AXTextArea", "AXSecureTextField", "AXComboBox"); anything else keeps its
// AT-SPI role name ("push button"). A text role that is not editable (a
// read-only text view, a web page's static text) is not a text field.
std::string accessibilityRole(AtspiRole role, bool editable, bool multiLine);

}  // namespace orvane
