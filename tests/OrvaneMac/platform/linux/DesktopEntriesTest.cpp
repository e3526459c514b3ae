#include "OrvaneMac/platform/linux/DesktopEntries.h"

#include <gtest/gtest.h>

namespace orvane {
namespace {

DesktopEntries::Record record(std::string id, std::string name, std::string wmClass, std::string executable,
                              bool shown = true) {
  return {{id, name, "/usr/share/applications/" + id}, wmClass, executable, shown};
}

std::string nameOf(const DesktopEntry* entry) { return entry ? entry->name : "(none)"; }

TEST(DesktopEntriesTest, WindowClassesAndExecutablesEvenCutShortFindTheirEntry) {
  const DesktopEntries entries{{
      record("org.gnome.Calculator.desktop", "Calculator", "", "gnome-calculator"),
      record("firefox-esr.desktop", "Firefox ESR", "Firefox-esr", "firefox-esr"),
      record("firefox-helper.desktop", "Firefox Helper", "", "firefox-esr", false),
      record("org.gnome.Nautilus.desktop", "Files", "", "nautilus"),
      record("nautilus-autorun-software.desktop", "Autorun Prompt", "", "nautilus", false),
      record("libreoffice-writer.desktop", "LibreOffice Writer", "libreoffice-writer", "libreoffice"),
      record("org.example.VeryLongProgram.desktop", "Very Long", "", "very-long-program-name"),
  }};
  EXPECT_EQ(nameOf(entries.forWindowClass("firefox-ESR", "Navigator")), "Firefox ESR");  // StartupWMClass
  EXPECT_EQ(nameOf(entries.forWindowClass("Gnome-calculator", "gnome-calculator")), "Calculator");  // Exec
  EXPECT_EQ(nameOf(entries.forWindowClass("org.gnome.Nautilus", "org.gnome.Nautilus")), "Files");   // id
  EXPECT_EQ(nameOf(entries.forWindowClass("Something", "nautilus")), "Files");  // instance; the shown entry wins
  EXPECT_EQ(nameOf(entries.forWindowClass("libreoffice-writer", "libreoffice")), "LibreOffice Writer");
  EXPECT_EQ(nameOf(entries.forWindowClass("XTerm", "xterm")), "(none)");
  EXPECT_EQ(nameOf(entries.forWindowClass("", "")), "(none)");

  EXPECT_EQ(nameOf(entries.forExecutable("firefox-esr")), "Firefox ESR");  // shown before hidden
  EXPECT_EQ(nameOf(entries.forExecutable("NAUTILUS")), "Files");
  EXPECT_EQ(nameOf(entries.forExecutable("org.gnome.calculator")), "Calculator");  // the id
  EXPECT_EQ(nameOf(entries.forExecutable("very-long-progr")), "Very Long");  // the kernel keeps 15 bytes
  EXPECT_EQ(nameOf(entries.forExecutable("very-long")), "(none)");          // shorter names are whole names
  EXPECT_EQ(nameOf(entries.forExecutable("")), "(none)");
}

TEST(DesktopEntryExec, TheProgramIsTheFirstWordAfterTheEnvironment) {
  EXPECT_EQ(executableOfCommandLine("/usr/bin/gnome-calculator %U"), "gnome-calculator");
  EXPECT_EQ(executableOfCommandLine("env GDK_BACKEND=x11 LANG=C \"/opt/My App/bin/app\" --new"), "app");
  EXPECT_EQ(executableOfCommandLine("GDK_SCALE=2 krita"), "krita");
  EXPECT_EQ(executableOfCommandLine("\"unterminated"), "");
  EXPECT_EQ(executableOfCommandLine(""), "");
}

}  // namespace
}  // namespace orvane
