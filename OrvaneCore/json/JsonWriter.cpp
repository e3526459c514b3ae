#include "OrvaneCore/json/JsonWriter.h"

#include <array>
#include <charconv>
#include <cmath>

#include "OrvaneCore/json/Utf8.h"

namespace orvane {

namespace {

// The escape for each byte below 0x80 that needs one; empty for the rest.
constexpr std::array<std::string_view, 128> makeEscapes() {
  std::array<std::string_view, 128> table{};
  constexpr std::string_view kControl[32] = {
      "\\u0000", "\\u0001", "\\u0002", "\\u0003", "\\u0004", "\\u0005", "\\u0006", "\\u0007",
      "\\b",     "\\t",     "\\n",     "\\u000b", "\\f",     "\\r",     "\\u000e", "\\u000f",
      "\\u0010", "\\u0011", "\\u0012", "\\u0013", "\\u0014", "\\u0015", "\\u0016", "\\u0017",
      "\\u0018", "\\u0019", "\\u001a", "\\u001b", "\\u001c", "\\u001d", "\\u001e", "\\u001f",
  };
  for (int c = 0; c < 32; ++c) table[c] = kControl[c];
  table['"'] = "\\\"";
  table['\\'] = "\\\\";
  table['/'] = "\\/";
  return table;
}
constexpr std::array<std::string_view, 128> kEscapes = makeEscapes();

}  // namespace

void JsonWriter::appendEscaped(std::string_view text) {
  out_.push_back('"');
  std::size_t runStart = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    const auto byte = static_cast<unsigned char>(text[i]);
    if (byte >= 128) {
      // Text from the system (window titles, host names) is not always valid
      // UTF-8; a peer would reject the whole message, so repair it as U+FFFD.
      std::size_t subpart = 0;
      const std::size_t length = wellFormedUtf8Length(text, i, &subpart);
      if (length > 0) {
        i += length - 1;
        continue;
      }
      out_.append(text.data() + runStart, i - runStart);
      out_.append("\xEF\xBF\xBD");
      i += subpart - 1;
      runStart = i + 1;
      continue;
    }
    if (kEscapes[byte].empty()) continue;
    out_.append(text.data() + runStart, i - runStart);
    out_.append(kEscapes[byte]);
    runStart = i + 1;
  }
  out_.append(text.data() + runStart, text.size() - runStart);
  out_.push_back('"');
}

void JsonWriter::key(std::string_view name) {
  separate();
  appendEscaped(name);
  out_.push_back(':');
  needComma_ = false;
}

void JsonWriter::string(std::string_view text) {
  separate();
  appendEscaped(text);
  needComma_ = true;
}

void JsonWriter::boolean(bool value) {
  separate();
  out_.append(value ? "true" : "false");
  needComma_ = true;
}

void JsonWriter::integer(std::int64_t value) {
  separate();
  char buffer[24];
  const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
  out_.append(buffer, result.ptr);
  needComma_ = true;
}

void JsonWriter::number(double value) {
  separate();
  if (!std::isfinite(value)) {
    ok_ = false;
    out_.push_back('0');  // keeps the text well-formed; finish() discards it anyway
  } else {
    // Shortest round-trip form; never "inf"/"nan" here, and its exponent
    // syntax ("1e+21", "5e-324") is valid JSON.
    char buffer[32];
    const auto result = std::to_chars(buffer, buffer + sizeof buffer, value);
    out_.append(buffer, result.ptr);
  }
  needComma_ = true;
}

void JsonWriter::null() {
  separate();
  out_.append("null");
  needComma_ = true;
}

std::optional<std::string> JsonWriter::finish() && {
  if (!ok_) return std::nullopt;
  return std::move(out_);
}

}  // namespace orvane
