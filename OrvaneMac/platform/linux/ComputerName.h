#pragma once

#include <string>
#include <string_view>

namespace orvane {

// The name tablets list this computer under: the pretty hostname where one is
// set (PRETTY_HOSTNAME of /etc/machine-info, what hostnamectl shows), else the
// hostname. Empty only when neither can be read.
std::string computerName();

// The same rule over the contents of machine-info and the hostname.
std::string computerName(std::string_view machineInfo, std::string_view hostname);

}  // namespace orvane
