#include "OrvaneCore/peer/BundleInfo.h"

#ifndef ORVANE_MARKETING_VERSION
#error "ORVANE_MARKETING_VERSION must be defined by the build"
#endif
#ifndef ORVANE_BUILD_NUMBER
#error "ORVANE_BUILD_NUMBER must be defined by the build"
#endif

namespace orvane {

std::optional<std::string> DictionaryBundleInfo::string(std::string_view key) const {
  auto it = entries_.find(key);
  if (it == entries_.end()) return std::nullopt;
  if (auto* text = std::get_if<std::string>(&it->second)) return *text;
  return std::nullopt;
}

const BundleInfo& mainBundle() {
  static const DictionaryBundleInfo bundle(DictionaryBundleInfo::Entries{
      {"CFBundleShortVersionString", std::string(ORVANE_MARKETING_VERSION)},
      {"CFBundleVersion", std::string(ORVANE_BUILD_NUMBER)},
  });
  return bundle;
}

}  // namespace orvane
