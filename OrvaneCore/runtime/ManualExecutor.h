#pragma once

#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneCore/runtime/StallMonitor.h"

namespace orvane {

// The tests' executor: nothing runs until the test drives it, and time moves
// only through advance(), so a 2-second watchdog is tested without sleeping.
//
// Its thread is the one that made it or last drove it. Callbacks that hold
// that thread past the stall threshold are counted (real time, on
// `stallClock`, the system's when null): tests of whole sessions assert none.
class ManualExecutor final : public Executor {
 public:
  explicit ManualExecutor(const Clock* stallClock = nullptr,
                          std::optional<Seconds> stallThreshold = StallMonitor::thresholdFromEnvironment());
  ~ManualExecutor() override { retire(); }

  void post(std::function<void()> fn, Origin origin = Origin::current()) override;
  [[nodiscard]] TimerHandle postAfter(Seconds delay, std::function<void()> fn,
                                      Origin origin = Origin::current()) override;
  const Clock& clock() const override { return clock_; }
  bool isOn() const override { return thread_.load() == std::this_thread::get_id(); }

  // Callbacks that ran longer than the stall threshold.
  std::uint64_t stalls() const { return stalls_.stalls(); }

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
    Origin origin;
  };
  struct Posted {
    std::function<void()> fn;
    Origin origin;
  };

  bool runOnePosted();
  bool runOneDueTimer(double limit);
  void bindToCaller() { thread_.store(std::this_thread::get_id()); }

  ManualClock clock_;
  SystemClock systemClock_;
  StallMonitor stalls_;
  std::atomic<std::thread::id> thread_{std::this_thread::get_id()};
  mutable std::mutex mutex_;
  std::condition_variable wake_;
  std::deque<Posted> posted_;
  std::vector<Timer> timers_;
  std::uint64_t nextSeq_ = 0;
  std::uint64_t changes_ = 0;  // bumped by every post, so runUntil can wait for news
};

}  // namespace orvane
