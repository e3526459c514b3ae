#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <vector>

#include "OrvaneCore/runtime/Executor.h"

namespace orvane {

// The tests' executor: nothing runs until the test drives it, and time moves
// only through advance(), so a 2-second watchdog is tested without sleeping.
class ManualExecutor final : public Executor {
 public:
  void post(std::function<void()> fn) override;
  [[nodiscard]] TimerHandle postAfter(Seconds delay, std::function<void()> fn) override;
  const Clock& clock() const override { return clock_; }

  // Runs posted work and timers due now until none is left. Returns how many
  // callbacks ran.
  std::size_t runUntilIdle();

  // Moves virtual time forward by `d`, running every timer in due order at its
  // own due time, with posted work drained in between.
  void advance(Seconds d);

  // For tests with real threads (a transport, a server): runs work as it is
  // posted until `done()` holds or `realTimeout` of wall time passes. Virtual
  // time does not move. Returns whether `done()` held.
  bool runUntil(const std::function<bool()>& done, Seconds realTimeout);

  // Timers not yet fired nor cancelled.
  std::size_t pendingTimers() const;

 private:
  struct Timer {
    double due;
    std::uint64_t seq;
    std::shared_ptr<TimerState> state;
    std::function<void()> fn;
  };

  bool runOnePosted();
  bool runOneDueTimer(double limit);

  ManualClock clock_;
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<std::function<void()>> posted_;
  std::vector<Timer> timers_;
  std::uint64_t nextSeq_ = 0;
  std::uint64_t changes_ = 0;  // bumped by every post, so runUntil can wait for news
};

}  // namespace orvane
