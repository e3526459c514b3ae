#pragma once

#include <optional>
#include <string>

#include "tools/orvane-pad/VideoMeter.h"

namespace orvane::pad {

// Encodes `image` as a PNG file through a short GStreamer pipeline
// (appsrc → videoconvert → pngenc → filesink). Blocks until the file is
// written; returns the error's description when it is not.
std::optional<std::string> writePng(const I420Image& image, const std::string& path);

}  // namespace orvane::pad
