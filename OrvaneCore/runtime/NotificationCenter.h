#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "OrvaneCore/runtime/Executor.h"

namespace orvane {

// In-process notifications by name, without object or user info: one
// component tells whoever listens that something happened ("a push arrived").
// Passed to whoever needs it rather than reached as a global. post() may be
// called from any thread.
class NotificationCenter {
  struct State;

 public:
  // Keeps one observer registered; destroying or reset() unregisters it.
  // Unregister on the observer's executor to be sure no queued delivery
  // follows (deliveries re-check registration when they run).
  class Observation {
   public:
    Observation() = default;
    Observation(Observation&& other) noexcept
        : state_(std::move(other.state_)), id_(std::exchange(other.id_, 0)) {}
    Observation& operator=(Observation&& other) noexcept {
      if (this != &other) {
        reset();
        state_ = std::move(other.state_);
        id_ = std::exchange(other.id_, 0);
      }
      return *this;
    }
    Observation(const Observation&) = delete;
    Observation& operator=(const Observation&) = delete;
    ~Observation() { reset(); }

    void reset() {
      if (auto state = state_.lock()) {
        std::lock_guard lock(state->mutex);
        state->entries.erase(id_);
      }
      state_.reset();
      id_ = 0;
    }
    bool active() const {
      auto state = state_.lock();
      if (!state) return false;
      std::lock_guard lock(state->mutex);
      return state->entries.count(id_) != 0;
    }

   private:
    friend class NotificationCenter;
    Observation(std::weak_ptr<State> state, std::uint64_t id) : state_(std::move(state)), id_(id) {}
    std::weak_ptr<State> state_;
    std::uint64_t id_ = 0;
  };

  NotificationCenter() : state_(std::make_shared<State>()) {}

  // Calls `callback` for every later post of `name`: on `queue` when given
  // (the way an observer asks for the main queue), else on the posting thread.
  [[nodiscard]] Observation addObserver(std::string name, Executor* queue, std::function<void()> callback) {
    std::lock_guard lock(state_->mutex);
    const std::uint64_t id = state_->nextId++;
    state_->entries.emplace(id, Entry{std::move(name), queue, std::make_shared<std::function<void()>>(std::move(callback))});
    return Observation(state_, id);
  }

  void post(std::string_view name) {
    std::vector<std::pair<std::uint64_t, std::shared_ptr<std::function<void()>>>> direct;
    {
      std::lock_guard lock(state_->mutex);
      for (const auto& [id, entry] : state_->entries) {
        if (entry.name != name) continue;
        if (!entry.queue) {
          direct.emplace_back(id, entry.callback);
          continue;
        }
        // Queued under the lock, so an observer removed before this point is
        // never queued; one removed after is filtered when the call runs.
        entry.queue->post([weak = std::weak_ptr<State>(state_), id = id, callback = entry.callback] {
          if (registered(weak, id)) (*callback)();
        });
      }
    }
    for (const auto& [id, callback] : direct) {
      if (registered(state_, id)) (*callback)();
    }
  }

 private:
  struct Entry {
    std::string name;
    Executor* queue;
    std::shared_ptr<std::function<void()>> callback;
  };
  struct State {
    std::mutex mutex;
    std::map<std::uint64_t, Entry> entries;
    std::uint64_t nextId = 1;
  };

  static bool registered(const std::weak_ptr<State>& weak, std::uint64_t id) {
    auto state = weak.lock();
    if (!state) return false;
    std::lock_guard lock(state->mutex);
    return state->entries.count(id) != 0;
  }

  std::shared_ptr<State> state_;
};

}  // namespace orvane
