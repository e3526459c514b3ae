#pragma once

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>

#include "OrvaneCore/runtime/Clock.h"
#include "OrvaneCore/runtime/SourceOrigin.h"

// Asserts that the caller runs on `executor`'s thread, where a header says in
// words that a function belongs to it. Checked in the sanitizer builds, free
// in the others.
#if defined(ORVANE_CHECK_THREADS)
#define ORVANE_ASSERT_ON(executor) (executor).checkOn()
#else
#define ORVANE_ASSERT_ON(executor) static_cast<void>(0)
#endif

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
  // Where a callback was posted from: what a stall report names.
  using Origin = SourceOrigin;

  // Whether the executor still takes work, shared with what may post to it
  // from elsewhere after it is gone: a task waiting for another thread's
  // result when its owner destroyed the executor.
  class Lifetime {
   public:
    // Runs `fn` (a post) only while the executor lives; false once it is gone.
    template <typename Fn>
    bool ifAlive(Fn&& fn) {
      std::lock_guard lock(mutex_);
      if (!alive_) return false;
      fn();
      return true;
    }
    void end() {
      std::lock_guard lock(mutex_);
      alive_ = false;
    }

   private:
    std::mutex mutex_;
    bool alive_ = true;
  };

  virtual ~Executor() = default;

  // Runs `fn` later on the executor's thread, after everything posted before
  // it. Callable from any thread.
  virtual void post(std::function<void()> fn, Origin origin = Origin::current()) = 0;

  // Runs `fn` on the executor's thread once `delay` has passed on its clock.
  // Callable from any thread; the handle cancels it.
  [[nodiscard]] virtual TimerHandle postAfter(Seconds delay, std::function<void()> fn,
                                              Origin origin = Origin::current()) = 0;

  virtual const Clock& clock() const = 0;

  // True on the thread the executor runs its callbacks on.
  virtual bool isOn() const = 0;
  // Aborts, naming the caller, when called on another thread.
  void checkOn(Origin where = Origin::current()) const {
    if (!isOn()) threadRuleBroken(where);
  }

  double now() const { return clock().uptime(); }
  WallTime wallNow() const { return clock().wallNow(); }

  const std::shared_ptr<Lifetime>& lifetime() const { return lifetime_; }

 protected:
  // First thing in a concrete executor's destructor: what is posted through
  // the lifetime afterwards is dropped.
  void retire() { lifetime_->end(); }

 private:
  const std::shared_ptr<Lifetime> lifetime_ = std::make_shared<Lifetime>();

  [[noreturn]] static void threadRuleBroken(const Origin& where);
};

}  // namespace orvane
