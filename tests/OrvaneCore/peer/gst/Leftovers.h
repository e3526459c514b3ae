#pragma once

#include <filesystem>
#include <fstream>
#include <set>
#include <string>

namespace orvane::test {

// What a connection may leave behind: open sockets, and threads other than
// two process-wide ones that start on first use and serve until exit
// (GStreamer's system clock and GLib's worker).
inline int socketCount() {
  int n = 0;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) {
    std::error_code error;
    n += std::filesystem::read_symlink(e.path(), error).string().starts_with("socket:");
  }
  return n;
}

inline std::multiset<std::string> threadNames() {
  std::multiset<std::string> names;
  for (const auto& e : std::filesystem::directory_iterator("/proc/self/task")) {
    std::ifstream comm(e.path() / "comm");
    std::string name;
    std::getline(comm, name);
    if (name != "GstSystemClock" && name != "gmain") names.insert(name);
  }
  return names;
}

}  // namespace orvane::test
