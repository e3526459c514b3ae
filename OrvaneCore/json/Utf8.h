#pragma once

#include <string>
#include <string_view>

namespace orvane {

bool isValidUtf8(std::string_view text);

// How many bytes from text[i] form a well-formed sequence; 0 when the
// sequence is ill-formed, with `*subpart` set to the bytes to replace by one
// U+FFFD (at least 1).
std::size_t wellFormedUtf8Length(std::string_view text, std::size_t i, std::size_t* subpart);

// `text` with each ill-formed subsequence replaced by U+FFFD, one per maximal
// subpart (the Unicode practice the platform's decoder follows), so found
// bytes always yield text.
std::string repairingUtf8(std::string_view text);

}  // namespace orvane
