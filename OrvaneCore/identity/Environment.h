#pragma once

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>

namespace orvane {

// Reads one environment variable; injected so tests need not touch the
// process's environment. A variable set to the empty string counts as unset,
// as shells use `NAME=` to clear one.
using EnvironmentLookup = std::function<std::optional<std::string>(const std::string& name)>;

inline std::optional<std::string> systemEnvironment(const std::string& name) {
  const char* value = std::getenv(name.c_str());
  if (value == nullptr || *value == '\0') return std::nullopt;
  return std::string(value);
}

}  // namespace orvane
