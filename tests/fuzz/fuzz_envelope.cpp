// Any bytes as a signalling-server frame: decoding must not crash, and
// whatever decodes must survive encode + decode unchanged.

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string_view>

#include "OrvaneCore/signaling/websocket/WSEnvelope.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string_view text(reinterpret_cast<const char*>(data), size);
  const orvane::DecodeResult<orvane::WSEnvelope> first = orvane::wsDecode(text);
  if (!first) return 0;
  const std::string encoded = orvane::wsEncode(first.value());
  const orvane::DecodeResult<orvane::WSEnvelope> second = orvane::wsDecode(encoded);
  if (!second || !(second.value() == first.value())) {
    std::fprintf(stderr, "round trip mismatch: %s\n", encoded.c_str());
    std::abort();
  }
  return 0;
}
