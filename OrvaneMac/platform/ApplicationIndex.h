#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace orvane {

// One result of the application query (an NSMetadataItem): its path and its
// display name, each missing when the index has none (or not as text).
struct ApplicationIndexItem {
  std::optional<std::string> path;
  std::optional<std::string> displayName;
  bool operator==(const ApplicationIndexItem&) const = default;
};

// A running query. Destroying it stops the query; no callback follows.
class ApplicationQuery {
 public:
  virtual ~ApplicationQuery() = default;
};

// The system's index of installed application bundles (Spotlight's metadata
// query over the local computer for "kMDItemContentTypeTree ==
// 'com.apple.application-bundle'"; on Linux the desktop entries).
class ApplicationIndex {
 public:
  using FinishHandler = std::function<void(std::vector<ApplicationIndexItem> results)>;

  virtual ~ApplicationIndex() = default;
  // Starts gathering; `onFinishGathering` runs once on the main loop with
  // every result in the index's order, after which the query sends no
  // updates. The handler may destroy the query.
  [[nodiscard]] virtual std::unique_ptr<ApplicationQuery> startApplicationQuery(FinishHandler onFinishGathering) = 0;
};

}  // namespace orvane
