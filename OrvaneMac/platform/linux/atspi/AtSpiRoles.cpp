#include "OrvaneMac/platform/linux/atspi/AtSpiRoles.h"

#include <memory>

namespace orvane {

std::string accessibilityRole(AtspiRole role, bool editable, bool multiLine) {
  switch (role) {
    case ATSPI_ROLE_TERMINAL:
      return "AXTextArea";  // takes keys whatever its state says
    case ATSPI_ROLE_PASSWORD_TEXT:
      if (editable) return "AXSecureTextField";
      break;
    // GTK 3 gives entries (search entries included) the text role with the
    // single-line state, text views the multi-line one.
    case ATSPI_ROLE_TEXT:
      if (editable) return multiLine ? "AXTextArea" : "AXTextField";
      break;
    case ATSPI_ROLE_ENTRY:
    case ATSPI_ROLE_EDITBAR:
    case ATSPI_ROLE_SPIN_BUTTON:
      if (editable) return multiLine ? "AXTextArea" : "AXTextField";
      break;
    case ATSPI_ROLE_COMBO_BOX:
      if (editable) return "AXComboBox";
      break;
    // Editable documents and the content-editable parts of web pages.
    case ATSPI_ROLE_PARAGRAPH:
    case ATSPI_ROLE_SECTION:
    case ATSPI_ROLE_DOCUMENT_TEXT:
    case ATSPI_ROLE_DOCUMENT_WEB:
    case ATSPI_ROLE_DOCUMENT_EMAIL:
    case ATSPI_ROLE_DOCUMENT_FRAME:
      if (editable) return "AXTextArea";
      break;
    default:
      break;
  }
  std::unique_ptr<gchar, decltype(&g_free)> name(atspi_role_get_name(role), &g_free);
  return name ? std::string(name.get()) : std::string("unknown");
}

}  // namespace orvane
