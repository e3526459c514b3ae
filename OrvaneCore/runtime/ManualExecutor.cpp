#include "OrvaneCore/runtime/ManualExecutor.h"

#include <algorithm>

namespace orvane {

ManualExecutor::ManualExecutor(const Clock* stallClock, std::optional<Seconds> stallThreshold)
    : stalls_(stallClock ? *stallClock : systemClock_, stallThreshold) {}

void ManualExecutor::post(std::function<void()> fn, Origin origin) {
  {
    std::lock_guard lock(mutex_);
    posted_.push_back(Posted{std::move(fn), origin});
    ++changes_;
  }
  wake_.notify_all();
}

TimerHandle ManualExecutor::postAfter(Seconds delay, std::function<void()> fn, Origin origin) {
  auto state = std::make_shared<TimerState>();
  {
    std::lock_guard lock(mutex_);
    double due = clock_.uptime() + std::max(0.0, delay.count());
    timers_.push_back(Timer{due, nextSeq_++, state, std::move(fn), origin});
    ++changes_;
  }
  wake_.notify_all();
  return TimerHandle(state);
}

bool ManualExecutor::runOnePosted() {
  std::optional<Posted> next;
  {
    std::lock_guard lock(mutex_);
    if (posted_.empty()) return false;
    next.emplace(std::move(posted_.front()));
    posted_.pop_front();
  }
  stalls_.run(next->origin, next->fn);
  return true;
}

// Fires the earliest live timer due at or before `limit`, first moving the
// clock to its due time.
bool ManualExecutor::runOneDueTimer(double limit) {
  Timer timer;
  {
    std::lock_guard lock(mutex_);
    std::erase_if(timers_, [](const Timer& t) { return !t.state->pending(); });
    auto earliest = std::min_element(timers_.begin(), timers_.end(), [](const Timer& a, const Timer& b) {
      return a.due < b.due || (a.due == b.due && a.seq < b.seq);
    });
    if (earliest == timers_.end() || earliest->due > limit) return false;
    timer = std::move(*earliest);
    timers_.erase(earliest);
    if (timer.due > clock_.uptime()) clock_.setUptime(timer.due);
  }
  if (timer.state->claimFire()) stalls_.run(timer.origin, timer.fn);
  return true;
}

std::size_t ManualExecutor::runUntilIdle() {
  bindToCaller();
  std::size_t ran = 0;
  for (;;) {
    if (runOnePosted()) {
      ++ran;
      continue;
    }
    if (runOneDueTimer(clock_.uptime())) {
      ++ran;
      continue;
    }
    return ran;
  }
}

void ManualExecutor::advance(Seconds d) {
  bindToCaller();
  const double target = clock_.uptime() + std::max(0.0, d.count());
  runUntilIdle();
  while (runOneDueTimer(target)) runUntilIdle();
  {
    std::lock_guard lock(mutex_);
    clock_.setUptime(target);
  }
  runUntilIdle();
}

bool ManualExecutor::runUntil(const std::function<bool()>& done, Seconds realTimeout) {
  using Clock = std::chrono::steady_clock;
  const auto deadline = Clock::now() + std::chrono::duration_cast<Clock::duration>(realTimeout);
  // `done` may watch state other threads change without posting anything, so
  // it is re-checked every few milliseconds as well as on every post.
  constexpr auto kRecheck = std::chrono::milliseconds(2);
  for (;;) {
    runUntilIdle();
    if (done()) return true;
    if (Clock::now() >= deadline) return false;
    std::unique_lock lock(mutex_);
    const std::uint64_t seen = changes_;
    wake_.wait_until(lock, std::min(deadline, Clock::now() + kRecheck),
                     [&] { return changes_ != seen || !posted_.empty(); });
  }
}

std::size_t ManualExecutor::pendingTimers() const {
  std::lock_guard lock(mutex_);
  return static_cast<std::size_t>(
      std::count_if(timers_.begin(), timers_.end(), [](const Timer& t) { return t.state->pending(); }));
}

}  // namespace orvane
