#include "OrvaneMac/input/GraphemeClusters.h"

#include <glib.h>

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "OrvaneCore/json/Utf8.h"

namespace orvane {
namespace {

// Grapheme_Cluster_Break values. GLib's character database supplies the
// general categories behind most of them; the rest are small fixed ranges.
enum class Gcb : std::uint8_t { Other, CR, LF, Control, Extend, ZWJ, RI, Prepend, SpacingMark, L, V, T, LV, LVT };

struct Range {
  char32_t first, last;
};

bool inRanges(char32_t c, const Range* begin, const Range* end) {
  auto it = std::upper_bound(begin, end, c, [](char32_t v, const Range& r) { return v < r.first; });
  return it != begin && c <= std::prev(it)->last;
}

// Extended_Pictographic, sorted, excluding the emoji modifiers (which extend).
constexpr Range kPictographic[] = {
    {0x00A9, 0x00A9},   {0x00AE, 0x00AE},   {0x203C, 0x203C},   {0x2049, 0x2049},   {0x2122, 0x2122},
    {0x2139, 0x2139},   {0x2194, 0x2199},   {0x21A9, 0x21AA},   {0x231A, 0x231B},   {0x2328, 0x2328},
    {0x2388, 0x2388},   {0x23CF, 0x23CF},   {0x23E9, 0x23F3},   {0x23F8, 0x23FA},   {0x24C2, 0x24C2},
    {0x25AA, 0x25AB},   {0x25B6, 0x25B6},   {0x25C0, 0x25C0},   {0x25FB, 0x25FE},   {0x2600, 0x2605},
    {0x2607, 0x2612},   {0x2614, 0x2685},   {0x2690, 0x2705},   {0x2708, 0x2712},   {0x2714, 0x2714},
    {0x2716, 0x2716},   {0x271D, 0x271D},   {0x2721, 0x2721},   {0x2728, 0x2728},   {0x2733, 0x2734},
    {0x2744, 0x2744},   {0x2747, 0x2747},   {0x274C, 0x274C},   {0x274E, 0x274E},   {0x2753, 0x2755},
    {0x2757, 0x2757},   {0x2763, 0x2767},   {0x2795, 0x2797},   {0x27A1, 0x27A1},   {0x27B0, 0x27B0},
    {0x27BF, 0x27BF},   {0x2934, 0x2935},   {0x2B05, 0x2B07},   {0x2B1B, 0x2B1C},   {0x2B50, 0x2B50},
    {0x2B55, 0x2B55},   {0x3030, 0x3030},   {0x303D, 0x303D},   {0x3297, 0x3297},   {0x3299, 0x3299},
    {0x1F000, 0x1F0FF}, {0x1F10D, 0x1F10F}, {0x1F12F, 0x1F12F}, {0x1F16C, 0x1F171}, {0x1F17E, 0x1F17F},
    {0x1F18E, 0x1F18E}, {0x1F191, 0x1F19A}, {0x1F1AD, 0x1F1E5}, {0x1F201, 0x1F20F}, {0x1F21A, 0x1F21A},
    {0x1F22F, 0x1F22F}, {0x1F232, 0x1F23A}, {0x1F23C, 0x1F23F}, {0x1F249, 0x1F3FA}, {0x1F400, 0x1F53D},
    {0x1F546, 0x1F64F}, {0x1F680, 0x1F6FF}, {0x1F774, 0x1F77F}, {0x1F7D5, 0x1F7FF}, {0x1F80C, 0x1F80F},
    {0x1F848, 0x1F84F}, {0x1F85A, 0x1F85F}, {0x1F888, 0x1F88F}, {0x1F8AE, 0x1F8FF}, {0x1F90C, 0x1F93A},
    {0x1F93C, 0x1F945}, {0x1F947, 0x1FAFF}, {0x1FC00, 0x1FFFD},
};

// Prepended concatenation marks and the few other Prepend characters.
constexpr Range kPrepend[] = {
    {0x0600, 0x0605},   {0x06DD, 0x06DD},   {0x070F, 0x070F},   {0x0890, 0x0891},   {0x08E2, 0x08E2},
    {0x0D4E, 0x0D4E},   {0x110BD, 0x110BD}, {0x110CD, 0x110CD}, {0x111C2, 0x111C3}, {0x11A3A, 0x11A3A},
    {0x11A84, 0x11A89}, {0x11D46, 0x11D46},
};

bool isPictographic(char32_t c) { return inRanges(c, std::begin(kPictographic), std::end(kPictographic)); }

Gcb property(char32_t c) {
  if (c == 0x0D) return Gcb::CR;
  if (c == 0x0A) return Gcb::LF;
  if (c == 0x200D) return Gcb::ZWJ;
  if (c == 0x200C || (c >= 0x1F3FB && c <= 0x1F3FF) || (c >= 0xE0020 && c <= 0xE007F) || c == 0xFF9E || c == 0xFF9F) {
    return Gcb::Extend;  // ZWNJ, emoji modifiers, tags, halfwidth sound marks
  }
  if (c >= 0x1F1E6 && c <= 0x1F1FF) return Gcb::RI;
  if ((c >= 0x1100 && c <= 0x115F) || (c >= 0xA960 && c <= 0xA97C)) return Gcb::L;
  if ((c >= 0x1160 && c <= 0x11A7) || (c >= 0xD7B0 && c <= 0xD7C6)) return Gcb::V;
  if ((c >= 0x11A8 && c <= 0x11FF) || (c >= 0xD7CB && c <= 0xD7FB)) return Gcb::T;
  if (c >= 0xAC00 && c <= 0xD7A3) return (c - 0xAC00) % 28 == 0 ? Gcb::LV : Gcb::LVT;
  if (inRanges(c, std::begin(kPrepend), std::end(kPrepend))) return Gcb::Prepend;
  if (c == 0x0E33 || c == 0x0EB3) return Gcb::SpacingMark;  // Thai and Lao SARA AM
  switch (g_unichar_type(static_cast<gunichar>(c))) {
    case G_UNICODE_NON_SPACING_MARK:
    case G_UNICODE_ENCLOSING_MARK:
      return Gcb::Extend;
    case G_UNICODE_SPACING_MARK:
      return Gcb::SpacingMark;
    case G_UNICODE_CONTROL:
    case G_UNICODE_FORMAT:
    case G_UNICODE_LINE_SEPARATOR:
    case G_UNICODE_PARAGRAPH_SEPARATOR:
      return Gcb::Control;
    default:
      return Gcb::Other;
  }
}

bool isControl(Gcb p) { return p == Gcb::CR || p == Gcb::LF || p == Gcb::Control; }

// The break rules GB3 to GB13 of UAX #29 between `prev` and `cur`; the emoji
// and regional-indicator rules need the state of what came before.
bool breaksBetween(Gcb prev, Gcb cur, bool afterPictographicZwj, char32_t c, int precedingRegionalIndicators) {
  if (prev == Gcb::CR && cur == Gcb::LF) return false;
  if (isControl(prev) || isControl(cur)) return true;
  if (prev == Gcb::L && (cur == Gcb::L || cur == Gcb::V || cur == Gcb::LV || cur == Gcb::LVT)) return false;
  if ((prev == Gcb::LV || prev == Gcb::V) && (cur == Gcb::V || cur == Gcb::T)) return false;
  if ((prev == Gcb::LVT || prev == Gcb::T) && cur == Gcb::T) return false;
  if (cur == Gcb::Extend || cur == Gcb::ZWJ || cur == Gcb::SpacingMark || prev == Gcb::Prepend) return false;
  if (afterPictographicZwj && isPictographic(c)) return false;
  if (prev == Gcb::RI && cur == Gcb::RI) return precedingRegionalIndicators % 2 == 0;
  return true;
}

void appendUtf16(std::u16string& out, char32_t c) {
  if (c < 0x10000) {
    out.push_back(static_cast<char16_t>(c));
  } else {
    c -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (c >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (c & 0x3FF)));
  }
}

}  // namespace

std::vector<std::u16string> graphemeClustersUtf16(std::string_view utf8) {
  std::string repaired;
  if (!isValidUtf8(utf8)) {
    repaired = repairingUtf8(utf8);
    utf8 = repaired;
  }
  std::vector<std::u16string> clusters;
  Gcb prev = Gcb::Control;
  bool inPictographic = false;  // ExtPict Extend* so far
  bool afterPictographicZwj = false;
  int regionalIndicators = 0;
  for (const char* p = utf8.data(); p < utf8.data() + utf8.size(); p = g_utf8_next_char(p)) {
    const char32_t c = g_utf8_get_char(p);
    const Gcb cur = property(c);
    if (clusters.empty() || breaksBetween(prev, cur, afterPictographicZwj, c, regionalIndicators)) {
      clusters.emplace_back();
    }
    appendUtf16(clusters.back(), c);
    afterPictographicZwj = cur == Gcb::ZWJ && inPictographic;
    inPictographic = isPictographic(c) || (inPictographic && cur == Gcb::Extend);
    regionalIndicators = cur == Gcb::RI ? regionalIndicators + 1 : 0;
    prev = cur;
  }
  return clusters;
}

}  // namespace orvane
