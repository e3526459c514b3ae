#pragma once

#include <atomic>
#include <functional>
#include <memory>

#include "OrvaneCore/runtime/Clock.h"

namespace orvane {

// Shared between an executor and the handle of one scheduled timer.
class TimerState {
 public:
  virtual ~TimerState() = default;
  // True when the callback may still run: not cancelled and not yet fired.
  bool pending() const { return !cancelled_.load() && !fired_.load(); }
  // Claims the right to run the callback; false once cancelled or already run.
  bool claimFire() { return !cancelled_.load() && !fired_.exchange(true); }
  void cancel() {
    if (!cancelled_.exchange(true)) onCancel();
  }

 protected:
  // Lets an executor release what backs the timer (a GLib source) at once.
  virtual void onCancel() {}

 private:
  std::atomic<bool> cancelled_{false};
  std::atomic<bool> fired_{false};
};

// A scheduled callback. Destroying or reassigning the handle cancels it, so a
// timer never outlives the object that holds it.
class TimerHandle {
 public:
  TimerHandle() = default;
  explicit TimerHandle(std::shared_ptr<TimerState> state) : state_(std::move(state)) {}
  TimerHandle(TimerHandle&&) noexcept = default;
  TimerHandle& operator=(TimerHandle&& other) noexcept {
    if (this != &other) {
      cancel();
      state_ = std::move(other.state_);
    }
    return *this;
  }
  TimerHandle(const TimerHandle&) = delete;
  TimerHandle& operator=(const TimerHandle&) = delete;
  ~TimerHandle() { cancel(); }

  void cancel() {
    if (state_) state_->cancel();
    state_.reset();
  }
  bool pending() const { return state_ && state_->pending(); }

 private:
  std::shared_ptr<TimerState> state_;
};

// Where the main actor's work runs: the GLib main loop in the programs, a
// manually driven queue in virtual time in the tests.
class Executor {
 public:
  virtual ~Executor() = default;

  // Runs `fn` later on the executor's thread, after everything posted before
  // it. Callable from any thread.
  virtual void post(std::function<void()> fn) = 0;

  // Runs `fn` on the executor's thread once `delay` has passed on its clock.
  // Callable from any thread; the handle cancels it.
  [[nodiscard]] virtual TimerHandle postAfter(Seconds delay, std::function<void()> fn) = 0;

  virtual const Clock& clock() const = 0;

  double now() const { return clock().uptime(); }
  WallTime wallNow() const { return clock().wallNow(); }
};

}  // namespace orvane
