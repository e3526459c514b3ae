#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// Standard alphabet, '=' padding.
std::string base64Encode(std::span<const std::uint8_t> bytes);

// Strict inverse of base64Encode: only the canonical encoding of some bytes is
// accepted. Whitespace, other alphabets, missing or misplaced padding, a length
// that is not a multiple of four and non-zero unused bits are all rejected.
std::optional<std::vector<std::uint8_t>> base64Decode(std::string_view text);

}  // namespace orvane
