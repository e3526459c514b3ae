// Any bytes: decoding must not crash, and whatever decodes must survive
// encode + decode unchanged.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "OrvaneCore/protocol/ControlEvent.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const orvane::DecodeResult<orvane::ControlEvent> first = orvane::decodeControlEvent(text);
  if (!first) return 0;
  const std::optional<std::string> encoded = orvane::encodeControlEvent(first.value());
  if (!encoded) {
    std::fprintf(stderr, "decoded event does not encode\n");
    std::abort();
  }
  const orvane::DecodeResult<orvane::ControlEvent> second = orvane::decodeControlEvent(*encoded);
  if (!second || !(second.value() == first.value())) {
    std::fprintf(stderr, "round trip mismatch: %s\n", encoded->c_str());
    std::abort();
  }
  return 0;
}
