#include <gtest/gtest.h>

#include "OrvaneMac/platform/x11/windows/DesktopEntryLookup.h"

namespace orvane::test {
namespace {

TEST(X11ApplicationNamesTest, ADesktopEntryNamesTheWindowElseItsClassDoes) {
  const x11::ApplicationLookup lookup = x11::desktopEntryLookup(std::make_shared<const DesktopEntries>(
      std::vector<DesktopEntries::Record>{{{"org.gnome.Calculator.desktop", "Calculator", "/calc.desktop"},
                                           "gnome-calculator", "gnome-calculator", true}}));
  const struct {
    std::string resInstance, resClass, name, id;
  } cases[] = {
      {"gnome-calculator", "Gnome-calculator", "Calculator", "org.gnome.Calculator"},
      {"xterm", "XTerm", "XTerm", "XTerm"},
      {"tool", "", "tool", "tool"},
  };
  for (const auto& c : cases) {
    x11::ClientWindow window;
    window.resInstance = c.resInstance;
    window.resClass = c.resClass;
    const x11::ApplicationIdentity identity = x11::identify(window, lookup);
    EXPECT_EQ(identity.name + " " + identity.id, c.name + " " + c.id);
  }
}

}  // namespace
}  // namespace orvane::test
