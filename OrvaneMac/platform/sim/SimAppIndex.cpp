#include "OrvaneMac/platform/sim/SimAppIndex.h"

namespace orvane {

// The handle owns the query's state; stopping (destroying) it silences it.
class SimAppIndex::Query final : public ApplicationQuery {
 public:
  explicit Query(std::shared_ptr<Pending> pending) : pending_(std::move(pending)) {}
  ~Query() override { pending_->live = false; }

 private:
  std::shared_ptr<Pending> pending_;
};

void SimAppIndex::addApplication(std::string path, std::string displayName) {
  results.push_back(ApplicationIndexItem{std::move(path), std::move(displayName)});
}

int SimAppIndex::finishGathering() {
  int finished = 0;
  for (const auto& weak : queries_) {
    if (auto pending = weak.lock(); pending && pending->live) {
      finish(pending);
      ++finished;
    }
  }
  return finished;
}

int SimAppIndex::queriesRunning() const {
  int running = 0;
  for (const auto& weak : queries_) {
    if (auto pending = weak.lock(); pending && pending->live) ++running;
  }
  return running;
}

void SimAppIndex::finish(const std::shared_ptr<Pending>& pending) {
  pending->live = false;
  // The handler may drop the query handle (and with it `pending`'s owner).
  auto handler = std::move(pending->handler);
  handler(results);
}

std::unique_ptr<ApplicationQuery> SimAppIndex::startApplicationQuery(FinishHandler onFinishGathering) {
  ++started_;
  auto pending = std::make_shared<Pending>();
  pending->handler = std::move(onFinishGathering);
  queries_.push_back(pending);
  if (!holdQueries) {
    queue_.post([this, weak = std::weak_ptr<Pending>(pending)] {
      if (auto p = weak.lock(); p && p->live) finish(p);
    });
  }
  return std::make_unique<Query>(std::move(pending));
}

}  // namespace orvane
