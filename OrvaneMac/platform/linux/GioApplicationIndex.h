#pragma once

#include <memory>

#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneMac/platform/ApplicationIndex.h"

namespace orvane {

// The installed applications as GIO knows them: the desktop entries of the
// XDG data directories (Flatpak and Snap exports among them when the session
// lists them) that menus show, each with its file and its Name. A query
// gathers on the executor's next turn.
class GioApplicationIndex final : public ApplicationIndex {
 public:
  explicit GioApplicationIndex(Executor& main) : main_(main) {}

  std::unique_ptr<ApplicationQuery> startApplicationQuery(FinishHandler onFinishGathering) override;

  // What a query finishes with, gathered now.
  static std::vector<ApplicationIndexItem> gather();

 private:
  Executor& main_;
};

}  // namespace orvane
