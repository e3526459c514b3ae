#pragma once

#include <deque>
#include <mutex>

#include "OrvaneCore/runtime/Executor.h"

using GMainContext = struct _GMainContext;
using GMainLoop = struct _GMainLoop;
using GSource = struct _GSource;

namespace orvane {

// The programs' executor: a GLib main loop (shared with GTK and GStreamer).
// Posted work runs in FIFO order from one idle source; timers are GLib
// timeout sources on the monotonic clock.
class GLibExecutor final : public Executor {
 public:
  // `context` null means the thread-default main context of the caller.
  explicit GLibExecutor(const Clock& clock, GMainContext* context = nullptr);
  ~GLibExecutor() override;
  GLibExecutor(const GLibExecutor&) = delete;
  GLibExecutor& operator=(const GLibExecutor&) = delete;

  void post(std::function<void()> fn) override;
  [[nodiscard]] TimerHandle postAfter(Seconds delay, std::function<void()> fn) override;
  const Clock& clock() const override { return clock_; }

  // Runs the loop on the calling thread until quit().
  void run();
  void quit();

 private:
  static int drain(void* self);

  const Clock& clock_;
  GMainContext* context_;
  GMainLoop* loop_;
  std::mutex mutex_;
  std::deque<std::function<void()>> queue_;
  GSource* drainSource_ = nullptr;  // attached while queue_ has work
};

}  // namespace orvane
