#pragma once

#include <atomic>
#include <deque>
#include <memory>
#include <mutex>
#include <thread>

#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneCore/runtime/StallMonitor.h"

using GMainContext = struct _GMainContext;
using GMainLoop = struct _GMainLoop;
using GSource = struct _GSource;

namespace orvane {

// The programs' executor: a GLib main loop (shared with GTK and GStreamer).
// Posted work runs in FIFO order from one idle source; timers are GLib
// timeout sources on the monotonic clock. Its thread is the one that made it
// until run() is called, then the one running the loop. Callbacks that hold
// the loop past the stall threshold ($ORVANE_STALL_MS) are logged and counted.
class GLibExecutor final : public Executor {
 public:
  // `context` null means the thread-default main context of the caller.
  explicit GLibExecutor(const Clock& clock, GMainContext* context = nullptr,
                        std::optional<Seconds> stallThreshold = StallMonitor::thresholdFromEnvironment(),
                        LogSink& sink = systemLogSink());
  ~GLibExecutor() override;
  GLibExecutor(const GLibExecutor&) = delete;
  GLibExecutor& operator=(const GLibExecutor&) = delete;

  void post(std::function<void()> fn, Origin origin = Origin::current()) override;
  [[nodiscard]] TimerHandle postAfter(Seconds delay, std::function<void()> fn,
                                      Origin origin = Origin::current()) override;
  const Clock& clock() const override { return clock_; }
  bool isOn() const override;

  // Callbacks that ran longer than the stall threshold.
  std::uint64_t stalls() const { return stalls_->stalls(); }

  // Runs the loop on the calling thread until quit().
  void run();
  void quit();

 private:
  struct Posted {
    std::function<void()> fn;
    Origin origin;
  };
  static int drain(void* self);

  const Clock& clock_;
  GMainContext* context_;
  GMainLoop* loop_;
  // Shared with the timers, which may outlive the executor in their context.
  std::shared_ptr<StallMonitor> stalls_;
  std::atomic<std::thread::id> thread_{std::this_thread::get_id()};
  std::mutex mutex_;
  std::deque<Posted> queue_;
  GSource* drainSource_ = nullptr;  // attached while queue_ has work
};

}  // namespace orvane
