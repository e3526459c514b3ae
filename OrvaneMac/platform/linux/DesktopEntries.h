#pragma once

#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// One installed application as its desktop entry describes it.
struct DesktopEntry {
  std::string id;    // the desktop-file id, "org.gnome.Calculator.desktop"
  std::string name;  // the localised Name
  std::string path;  // the .desktop file
};

// Every installed desktop entry, loaded once (through GIO, from the XDG data
// directories), and what a running program's window or executable says
// about which of them it is.
class DesktopEntries {
 public:
  // What an entry is matched by.
  struct Record {
    DesktopEntry entry;
    std::string startupWMClass;  // StartupWMClass, empty when none
    std::string executable;      // the program Exec runs (basename), empty when none
    bool shown = true;           // false for NoDisplay/Hidden/OnlyShowIn entries
  };

  static std::shared_ptr<const DesktopEntries> load();
  // Where there are several candidates, entries that are shown win over hidden
  // ones, then the earlier record.
  explicit DesktopEntries(std::vector<Record> records);

  // StartupWMClass equal to the class (case-insensitive), else an entry id or
  // Exec basename equal to the class or the instance (case-insensitive).
  const DesktopEntry* forWindowClass(std::string_view resClass, std::string_view resInstance) const;
  // Exec basename, else entry id, equal to `name` (case-insensitive). A name
  // of 15 bytes may be a process name the kernel cut short: then an Exec
  // basename that starts with it matches too.
  const DesktopEntry* forExecutable(std::string_view name) const;

  std::size_t size() const { return records_.size(); }

 private:
  using Index = std::map<std::string, std::size_t, std::less<>>;

  const DesktopEntry* find(const Index& index, std::string_view key) const;

  std::vector<Record> records_;
  Index byWMClass_;
  Index byId_;
  Index byExecutable_;
};

// The program a desktop entry's Exec line runs, as a basename: leading "env"
// and VAR=value words are skipped. Empty when the line cannot be parsed.
std::string executableOfCommandLine(std::string_view commandLine);

}  // namespace orvane
