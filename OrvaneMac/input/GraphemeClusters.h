#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace orvane {

// The user-perceived characters (extended grapheme clusters) of UTF-8 text,
// each as UTF-16 code units: what one typed key carries. Ill-formed UTF-8 is
// repaired to U+FFFD first.
std::vector<std::u16string> graphemeClustersUtf16(std::string_view utf8);

}  // namespace orvane
