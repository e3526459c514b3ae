// What needs no accessibility bus: the role table, and connecting without one.
#include <gtest/gtest.h>
#include <stdlib.h>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/GLibExecutor.h"
#include "OrvaneMac/input/TextFieldObserver.h"
#include "OrvaneMac/platform/linux/atspi/AtSpiFocus.h"
#include "OrvaneMac/platform/linux/atspi/AtSpiRoles.h"

namespace orvane {
namespace {

TEST(AtSpiRoles, EditableTextTakesTheObserversRolesAndEverythingElseKeepsItsOwnName) {
  const auto isText = [](const std::string& role) {
    const auto& roles = TextFieldObserver::kTextInputRoles;
    return std::find(roles.begin(), roles.end(), role) != roles.end();
  };
  for (AtspiRole role : {ATSPI_ROLE_TEXT, ATSPI_ROLE_ENTRY, ATSPI_ROLE_PASSWORD_TEXT, ATSPI_ROLE_TERMINAL,
                         ATSPI_ROLE_COMBO_BOX, ATSPI_ROLE_EDITBAR, ATSPI_ROLE_PARAGRAPH, ATSPI_ROLE_DOCUMENT_TEXT}) {
    EXPECT_TRUE(isText(accessibilityRole(role, true, false))) << role;
  }
  EXPECT_TRUE(isText(accessibilityRole(ATSPI_ROLE_TERMINAL, false, true))) << "a terminal, even read-only";
  EXPECT_TRUE(isText(accessibilityRole(ATSPI_ROLE_SECTION, true, true))) << "content-editable web text";
  EXPECT_EQ(accessibilityRole(ATSPI_ROLE_PUSH_BUTTON, false, false), "push button");
  EXPECT_EQ(accessibilityRole(ATSPI_ROLE_TEXT, false, true), "text");  // read-only text is no field
  EXPECT_EQ(accessibilityRole(ATSPI_ROLE_COMBO_BOX, false, false), "combo box");  // a menu, not an entry
  EXPECT_EQ(accessibilityRole(static_cast<AtspiRole>(100000), true, false), "unknown");
}

TEST(AtSpiConnection, WithoutABusThereIsNothingAndOneLogLine) {
  ::unsetenv("DISPLAY");  // no AT_SPI_BUS root property to find
  ::unsetenv("AT_SPI_BUS_ADDRESS");
  ::setenv("DBUS_SESSION_BUS_ADDRESS", "unix:path=/nonexistent/orvane-test-bus", 1);
  SystemClock clock;
  GLibExecutor main{clock};
  CapturingLogSink log;
  EXPECT_EQ(connectAtSpiFocus(main, log), nullptr);
  EXPECT_EQ(log.messages(),
            std::vector<std::string>{"[TextFieldObserver] no accessibility bus: text-field focus is not reported"});
  // A later attempt tries again instead of finding a half-initialised library.
  EXPECT_EQ(connectAtSpiFocus(main, log), nullptr);
  EXPECT_EQ(log.messages().size(), 2u);
}

}  // namespace
}  // namespace orvane
