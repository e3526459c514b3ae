#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "OrvaneCore/json/DecodeResult.h"

namespace orvane {

class JsonValue;
class JsonWriter;

// One entry of the window list the host sends to the pad.
struct WindowInfo {
  std::string id;  // the system window number in decimal
  std::string appName;
  std::string windowTitle;
  std::optional<std::vector<std::uint8_t>> thumbnail;  // never filled by the host

  bool operator==(const WindowInfo&) const = default;
};

// JSON object {"id","appName","windowTitle"[,"thumbnail" as Base64]}; an
// absent thumbnail is left out, never written as null.
void writeWindowInfo(JsonWriter& writer, const WindowInfo& info);
std::string encodeWindowInfo(const WindowInfo& info);

// The three strings are required; "thumbnail" missing or null is absent and
// otherwise must be canonical Base64. Unknown members are ignored.
DecodeResult<WindowInfo> readWindowInfo(const JsonValue& value);
DecodeResult<WindowInfo> decodeWindowInfo(std::string_view json);

}  // namespace orvane
