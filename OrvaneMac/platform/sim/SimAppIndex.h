#pragma once

#include <memory>
#include <string>
#include <vector>

#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneMac/platform/ApplicationIndex.h"

namespace orvane {

// The application index in memory. A query gathers `results` as they stand
// when it finishes: on the executor's next turn by default, or only when the
// test calls finishGathering() if `holdQueries` is set.
class SimAppIndex final : public ApplicationIndex {
 public:
  explicit SimAppIndex(Executor& mainQueue) : queue_(mainQueue) {}

  std::vector<ApplicationIndexItem> results;
  bool holdQueries = false;

  // Adds a result with both a path and a display name.
  void addApplication(std::string path, std::string displayName);

  // Finishes every held query that is still running; returns how many.
  int finishGathering();
  int queriesStarted() const { return started_; }
  // Queries neither finished nor stopped.
  int queriesRunning() const;

  std::unique_ptr<ApplicationQuery> startApplicationQuery(FinishHandler onFinishGathering) override;

 private:
  struct Pending {
    FinishHandler handler;
    bool live = true;
  };
  class Query;

  void finish(const std::shared_ptr<Pending>& pending);

  Executor& queue_;
  std::vector<std::weak_ptr<Pending>> queries_;
  int started_ = 0;
};

}  // namespace orvane
