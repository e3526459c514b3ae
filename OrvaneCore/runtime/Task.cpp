#include "OrvaneCore/runtime/Task.h"

namespace orvane {

namespace detail {

// The frame spawn() creates around the user's task: binds the context,
// swallows cancellation and records any other error.
struct RootTask {
  struct promise_type : PromiseBase {
    RootTask get_return_object() { return RootTask{std::coroutine_handle<promise_type>::from_promise(*this)}; }
    std::suspend_always initial_suspend() noexcept { return {}; }
    struct FinalAwaiter {
      bool await_ready() noexcept { return false; }
      void await_suspend(std::coroutine_handle<promise_type> h) noexcept {
        // Destroying our own suspended frame is allowed; nothing touches it afterwards.
        TaskContext* context = h.promise().context;
        std::exception_ptr error = h.promise().error;
        context->rootFinished(error);
        h.destroy();
      }
      void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
    void return_void() {}
    void unhandled_exception() { error = std::current_exception(); }
    std::exception_ptr error;
  };
  std::coroutine_handle<promise_type> handle;
};

namespace {
RootTask runRoot(Task<void> task) {
  try {
    co_await std::move(task);
  } catch (const TaskCancelled&) {
  }
}
}  // namespace

TaskContext::~TaskContext() {
  // Nothing can wake the task any more: free its frames.
  if (root_) root_.destroy();
}

void TaskContext::cancel() {
  if (cancelled_.exchange(true)) return;
  wakeOnExecutor();
}

void TaskContext::suspendAt(std::coroutine_handle<> waiting) {
  std::lock_guard lock(mutex_);
  suspended_ = waiting;
}

std::coroutine_handle<> TaskContext::takeSuspended() {
  std::lock_guard lock(mutex_);
  return std::exchange(suspended_, {});
}

void TaskContext::wakeOnExecutor() {
  {
    std::lock_guard lock(mutex_);
    if (!suspended_) return;
  }
  lifetime_->ifAlive([&] {
    executor_.post(
        [self = shared_from_this()] {
          if (auto resume = self->takeSuspended()) resume.resume();
        },
        origin_);
  });
}

void TaskContext::start(std::coroutine_handle<> root) {
  {
    std::lock_guard lock(mutex_);
    root_ = root;
    suspended_ = root;
  }
  lifetime_->ifAlive([&] {
    executor_.post(
        [self = shared_from_this()] {
          if (auto resume = self->takeSuspended()) resume.resume();
        },
        origin_);
  });
}

void TaskContext::rootFinished(std::exception_ptr error) {
  std::lock_guard lock(mutex_);
  root_ = {};
  finished_ = true;
  error_ = std::move(error);
}

bool TaskContext::running() const {
  std::lock_guard lock(mutex_);
  return !finished_;
}

std::exception_ptr TaskContext::error() const {
  std::lock_guard lock(mutex_);
  return error_;
}

}  // namespace detail

TaskHandle& TaskHandle::operator=(TaskHandle&& other) noexcept {
  if (this != &other) {
    cancel();
    context_ = std::move(other.context_);
  }
  return *this;
}

void TaskHandle::cancel() {
  if (context_) context_->cancel();
  context_.reset();
}

bool TaskHandle::running() const { return context_ && context_->running(); }

std::exception_ptr TaskHandle::error() const { return context_ ? context_->error() : nullptr; }

TaskHandle spawn(Executor& executor, Task<void> task, Executor::Origin origin) {
  auto context = std::make_shared<detail::TaskContext>(executor, origin);
  detail::RootTask root = detail::runRoot(std::move(task));
  root.handle.promise().context = context.get();
  context->start(root.handle);
  return TaskHandle(std::move(context));
}

Task<std::optional<std::string>> failureOf(Task<void> step) {
  try {
    co_await std::move(step);
  } catch (const TaskCancelled&) {
    throw;
  } catch (const std::exception& error) {
    co_return std::string(error.what());
  } catch (...) {
    co_return std::string("unknown error");
  }
  co_return std::nullopt;
}

}  // namespace orvane
