#pragma once

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

namespace orvane {

// The application bundle's information dictionary, as far as the host reads it.
class BundleInfo {
 public:
  virtual ~BundleInfo() = default;
  // The entry under `key` when it is a string; nothing when it is missing or
  // of another type.
  virtual std::optional<std::string> string(std::string_view key) const = 0;
};

// This build's bundle: "CFBundleShortVersionString" is the project version,
// "CFBundleVersion" the build number, both fixed at compile time.
const BundleInfo& mainBundle();

// An information dictionary held in memory; entries may be of any plist-like
// scalar type so a wrongly typed entry can be represented.
class DictionaryBundleInfo final : public BundleInfo {
 public:
  using Value = std::variant<std::string, std::int64_t, double, bool>;
  using Entries = std::map<std::string, Value, std::less<>>;

  DictionaryBundleInfo() = default;
  explicit DictionaryBundleInfo(Entries entries) : entries_(std::move(entries)) {}

  std::optional<std::string> string(std::string_view key) const override;

 private:
  Entries entries_;
};

}  // namespace orvane
