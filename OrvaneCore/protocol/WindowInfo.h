#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

// One entry of the window list the host sends to the pad.
struct WindowInfo {
  std::string id;  // the system window number in decimal
  std::string appName;
  std::string windowTitle;
  std::optional<std::vector<std::uint8_t>> thumbnail;  // never filled by the host

  bool operator==(const WindowInfo&) const = default;
};

}  // namespace orvane
