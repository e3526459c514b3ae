#include "OrvaneMac/platform/linux/ComputerName.h"

#include <unistd.h>

#include <climits>
#include <fstream>
#include <sstream>

namespace orvane {
namespace {

// A value of an environment-style file: unquoted, or in single or double
// quotes, where a backslash in double quotes takes the next character as is.
std::string unquoted(std::string_view value) {
  if (value.size() >= 2 && value.front() == '\'' && value.back() == '\'') {
    return std::string(value.substr(1, value.size() - 2));
  }
  if (value.size() < 2 || value.front() != '"' || value.back() != '"') return std::string(value);
  std::string out;
  for (std::size_t i = 1; i + 1 < value.size(); ++i) {
    if (value[i] == '\\' && i + 2 < value.size()) ++i;
    out += value[i];
  }
  return out;
}

std::string trimmed(std::string_view text) {
  const auto first = text.find_first_not_of(" \t\r\n");
  if (first == std::string_view::npos) return {};
  const auto last = text.find_last_not_of(" \t\r\n");
  return std::string(text.substr(first, last - first + 1));
}

}  // namespace

std::string computerName(std::string_view machineInfo, std::string_view hostname) {
  constexpr std::string_view kKey = "PRETTY_HOSTNAME=";
  std::string pretty;
  while (!machineInfo.empty()) {
    const auto end = machineInfo.find('\n');
    const std::string line = trimmed(machineInfo.substr(0, end));
    machineInfo = end == std::string_view::npos ? std::string_view{} : machineInfo.substr(end + 1);
    if (line.starts_with(kKey)) pretty = trimmed(unquoted(std::string_view(line).substr(kKey.size())));
  }
  return pretty.empty() ? trimmed(hostname) : pretty;
}

std::string computerName() {
  std::ifstream file("/etc/machine-info");
  std::ostringstream machineInfo;
  machineInfo << file.rdbuf();
  char host[HOST_NAME_MAX + 1] = {};
  if (gethostname(host, sizeof host - 1) != 0) host[0] = '\0';
  return computerName(machineInfo.str(), host);
}

}  // namespace orvane
