#include "OrvaneCore/peer/AppVersion.h"

#include <algorithm>
#include <charconv>

namespace orvane {

namespace {

constexpr std::string_view kShortVersionKey = "CFBundleShortVersionString";
constexpr std::string_view kVersionKey = "CFBundleVersion";

bool isDigit(char c) { return c >= '0' && c <= '9'; }

std::int64_t parseBuild(std::string_view text) {
  std::string_view digits = text;
  if (!digits.empty() && (digits.front() == '+' || digits.front() == '-')) digits.remove_prefix(1);
  if (digits.empty() || !std::all_of(digits.begin(), digits.end(), isDigit)) return 0;
  // from_chars takes a minus but not a plus; with the sign checked above,
  // only range errors remain.
  if (text.front() == '+') text.remove_prefix(1);
  std::int64_t value = 0;
  auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
  if (ec != std::errc() || end != text.data() + text.size()) return 0;
  return value;
}

}  // namespace

std::string AppVersion::marketing(const BundleInfo& bundle) {
  return bundle.string(kShortVersionKey).value_or("?");
}

std::int64_t AppVersion::build(const BundleInfo& bundle) {
  auto text = bundle.string(kVersionKey);
  return text ? parseBuild(*text) : 0;
}

std::string AppVersion::display(const BundleInfo& bundle) {
  return marketing(bundle) + " (" + std::to_string(build(bundle)) + ")";
}

}  // namespace orvane
