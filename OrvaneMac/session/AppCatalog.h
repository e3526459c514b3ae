#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "OrvaneCore/identity/Environment.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneMac/platform/ApplicationIndex.h"

namespace orvane {

// The installed, user-facing applications the tablet's launcher searches.
// Built once, lazily, from the system's application index, and kept: an
// application installed later is found only after a restart.
//
// Main loop only.
class AppCatalog {
 public:
  struct Entry {
    std::string name;  // display name without a trailing ".app"
    std::string key;   // `name` lower-cased; unique within the catalog
    std::string path;  // what the index found it at, for launching
    bool operator==(const Entry&) const = default;
  };

  // How many names the launcher is sent.
  static constexpr std::int64_t kSuggestionLimit = 8;

  // The directories whose applications a user launches: $XDG_DATA_HOME
  // (else ~/.local/share) and each of $XDG_DATA_DIRS (else /usr/local/share
  // and /usr/share), then the Flatpak (user and system) and Snap export
  // directories, each followed by "/applications/". Relative entries are
  // ignored, as the base-directory rules require.
  static std::vector<std::string> xdgApplicationPrefixes(const EnvironmentLookup& environment = systemEnvironment);

  // Only results whose path starts with one of `pathPrefixes` are kept.
  // `index` and `logSink` must outlive the catalog.
  AppCatalog(ApplicationIndex& index, std::vector<std::string> pathPrefixes = xdgApplicationPrefixes(),
             LogSink& logSink = systemLogSink());
  // The same, shared: the coordinator's tasks hold the catalog weakly.
  static std::shared_ptr<AppCatalog> create(ApplicationIndex& index, LogSink& logSink = systemLogSink(),
                                            std::vector<std::string> pathPrefixes = xdgApplicationPrefixes()) {
    return std::make_shared<AppCatalog>(index, std::move(pathPrefixes), logSink);
  }
  AppCatalog(const AppCatalog&) = delete;
  AppCatalog& operator=(const AppCatalog&) = delete;

  // Starts loading unless loaded or loading; returns at once.
  void ensureLoaded();
  // Names whose key starts with the trimmed, lower-cased `text`, then names
  // that merely contain it, each group in catalog order; at most `limit`.
  std::vector<std::string> search(std::string_view text, std::int64_t limit) const;
  // The entry whose name is `name` whatever the case; null when none is.
  const Entry* find(std::string_view name) const;

  const std::vector<Entry>& apps() const { return apps_; }
  bool isLoaded() const { return isLoaded_; }
  bool isLoading() const { return query_ != nullptr; }
  const std::vector<std::string>& pathPrefixes() const { return pathPrefixes_; }

 private:
  void finishGathering(std::vector<ApplicationIndexItem> results);

  ApplicationIndex& index_;
  const std::vector<std::string> pathPrefixes_;
  Console console_;
  std::vector<Entry> apps_;
  std::unique_ptr<ApplicationQuery> query_;
  bool isLoaded_ = false;
};

}  // namespace orvane
