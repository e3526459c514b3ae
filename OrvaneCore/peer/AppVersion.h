#pragma once

#include <cstdint>
#include <string>

#include "OrvaneCore/peer/BundleInfo.h"

namespace orvane {

// This build's version as the pad and the popover see it. Every call reads
// the bundle again; nothing is cached.
namespace AppVersion {

// The short version string, or "?" when the bundle has none.
std::string marketing(const BundleInfo& bundle = mainBundle());
// The bundle version when it is a whole base-10 number that fits, with an
// optional sign ("+12", "-3"); 0 otherwise.
std::int64_t build(const BundleInfo& bundle = mainBundle());
// "1.0 (12)".
std::string display(const BundleInfo& bundle = mainBundle());

}  // namespace AppVersion

}  // namespace orvane
