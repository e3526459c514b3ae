#include "OrvaneCore/runtime/GLibExecutor.h"

#include <glib.h>

#include <cmath>

namespace orvane {

namespace {

class GLibTimerState final : public TimerState {
 public:
  explicit GLibTimerState(GSource* source) : source_(g_source_ref(source)) {}
  ~GLibTimerState() override { g_source_unref(source_); }

 protected:
  void onCancel() override { g_source_destroy(source_); }

 private:
  GSource* source_;
};

struct TimerCall {
  std::shared_ptr<TimerState> state;
  std::function<void()> fn;
  SourceOrigin origin;
  std::shared_ptr<StallMonitor> stalls;
};

}  // namespace

GLibExecutor::GLibExecutor(const Clock& clock, GMainContext* context, std::optional<Seconds> stallThreshold,
                           LogSink& sink)
    : clock_(clock),
      context_(context ? g_main_context_ref(context) : g_main_context_ref_thread_default()),
      loop_(g_main_loop_new(context_, FALSE)),
      stalls_(std::make_shared<StallMonitor>(clock, stallThreshold, sink)) {}

GLibExecutor::~GLibExecutor() {
  retire();
  {
    std::lock_guard lock(mutex_);
    if (drainSource_) g_source_destroy(drainSource_);
  }
  g_main_loop_unref(loop_);
  g_main_context_unref(context_);
}

void GLibExecutor::post(std::function<void()> fn, Origin origin) {
  std::lock_guard lock(mutex_);
  queue_.push_back(Posted{std::move(fn), origin});
  if (drainSource_) return;
  drainSource_ = g_idle_source_new();
  g_source_set_priority(drainSource_, G_PRIORITY_DEFAULT);
  g_source_set_callback(drainSource_, &GLibExecutor::drain, this, nullptr);
  g_source_attach(drainSource_, context_);
  g_source_unref(drainSource_);  // the context keeps it alive until it is removed
}

// Runs what was queued when the drain started; work posted meanwhile gets the
// next drain, so a task that re-posts itself cannot starve timers and I/O.
int GLibExecutor::drain(void* self) {
  auto* executor = static_cast<GLibExecutor*>(self);
  std::deque<Posted> batch;
  {
    std::lock_guard lock(executor->mutex_);
    batch.swap(executor->queue_);
  }
  for (auto& posted : batch) executor->stalls_->run(posted.origin, posted.fn);
  std::lock_guard lock(executor->mutex_);
  if (!executor->queue_.empty()) return G_SOURCE_CONTINUE;
  executor->drainSource_ = nullptr;
  return G_SOURCE_REMOVE;
}

TimerHandle GLibExecutor::postAfter(Seconds delay, std::function<void()> fn, Origin origin) {
  const double ms = std::ceil(std::max(0.0, delay.count()) * 1000.0);
  GSource* source = g_timeout_source_new(static_cast<guint>(std::min(ms, 4.0e9)));
  auto state = std::make_shared<GLibTimerState>(source);
  auto* call = new TimerCall{state, std::move(fn), origin, stalls_};
  g_source_set_callback(
      source,
      [](gpointer data) -> gboolean {
        auto* c = static_cast<TimerCall*>(data);
        if (c->state->claimFire()) c->stalls->run(c->origin, c->fn);
        return G_SOURCE_REMOVE;
      },
      call, [](gpointer data) { delete static_cast<TimerCall*>(data); });
  g_source_attach(source, context_);
  g_source_unref(source);
  return TimerHandle(state);
}

bool GLibExecutor::isOn() const {
  return thread_.load() == std::this_thread::get_id() || g_main_context_is_owner(context_);
}

void GLibExecutor::run() {
  thread_.store(std::this_thread::get_id());
  g_main_loop_run(loop_);
}

void GLibExecutor::quit() { g_main_loop_quit(loop_); }

}  // namespace orvane
