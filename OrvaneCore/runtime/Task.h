#pragma once

#include <atomic>
#include <coroutine>
#include <exception>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <utility>
#include <variant>

#include "OrvaneCore/runtime/Executor.h"

namespace orvane {

// Thrown inside a task at its next wait once it has been cancelled. Root tasks
// swallow it; code that must clean up catches it like any other error.
struct TaskCancelled : std::exception {
  const char* what() const noexcept override { return "task cancelled"; }
};

template <typename T>
class Task;

namespace detail {
class TaskContext;
struct RootTask;
}  // namespace detail

// Cancels a spawned task. Destroying the handle cancels too, so a task held by
// an object never outlives it: that is the weak-owner rule of the system.
class TaskHandle {
 public:
  TaskHandle() = default;
  explicit TaskHandle(std::shared_ptr<detail::TaskContext> context) : context_(std::move(context)) {}
  TaskHandle(TaskHandle&&) noexcept = default;
  TaskHandle& operator=(TaskHandle&& other) noexcept;
  TaskHandle(const TaskHandle&) = delete;
  TaskHandle& operator=(const TaskHandle&) = delete;
  ~TaskHandle() { cancel(); }

  void cancel();
  // Lets the task run to its end on its own.
  void detach() { context_.reset(); }
  bool running() const;
  // The error a finished task ended with (other than cancellation), if any.
  std::exception_ptr error() const;

 private:
  std::shared_ptr<detail::TaskContext> context_;
};

namespace detail {

// One spawned task: its executor, its cancellation flag and the single point
// where it is suspended. Owns the root coroutine frame, which owns the frames
// it awaits; wakers (timers, one-shots) hold the context while they may fire,
// so a task nothing can ever wake is freed with its context.
class TaskContext : public std::enable_shared_from_this<TaskContext> {
 public:
  TaskContext(Executor& executor, Executor::Origin origin)
      : executor_(executor), lifetime_(executor.lifetime()), origin_(origin) {}
  ~TaskContext();
  TaskContext(const TaskContext&) = delete;
  TaskContext& operator=(const TaskContext&) = delete;

  Executor& executor() const { return executor_; }
  // Where the task was spawned: the origin of everything it posts.
  const Executor::Origin& origin() const { return origin_; }
  bool cancelled() const { return cancelled_.load(); }
  void cancel();

  // A suspended awaiter registers how to resume; the first of its waker or
  // cancel() to take it resumes the task.
  void suspendAt(std::coroutine_handle<> waiting);
  std::coroutine_handle<> takeSuspended();
  // Resumes the suspended point on the executor, if still suspended there.
  void wakeOnExecutor();

  void start(std::coroutine_handle<> root);
  void rootFinished(std::exception_ptr error);
  bool running() const;
  std::exception_ptr error() const;

 private:
  Executor& executor_;
  // A task whose executor is gone is never resumed: it is freed with its context.
  const std::shared_ptr<Executor::Lifetime> lifetime_;
  const Executor::Origin origin_;
  std::atomic<bool> cancelled_{false};
  mutable std::mutex mutex_;
  std::coroutine_handle<> root_;
  std::coroutine_handle<> suspended_;
  bool finished_ = false;
  std::exception_ptr error_;
};

template <typename T>
struct PromiseResult {
  std::variant<std::monostate, T, std::exception_ptr> result;
  template <typename U>
  void return_value(U&& value) {
    result.template emplace<1>(std::forward<U>(value));
  }
  void unhandled_exception() { result.template emplace<2>(std::current_exception()); }
  T take() {
    if (result.index() == 2) std::rethrow_exception(std::get<2>(result));
    return std::move(std::get<1>(result));
  }
};

template <>
struct PromiseResult<void> {
  std::exception_ptr error;
  void return_void() {}
  void unhandled_exception() { error = std::current_exception(); }
  void take() {
    if (error) std::rethrow_exception(error);
  }
};

struct PromiseBase {
  TaskContext* context = nullptr;
  std::coroutine_handle<> continuation;
};

}  // namespace detail

// A lazily started coroutine on the main actor's executor. It starts when it is
// awaited by another task or given to spawn(); its result or error passes to
// whoever awaits it.
//
// Two rules for writing them. Coroutine parameters are taken by value: a
// reference may dangle once the caller's statement ends. And with GCC 12, never
// write a braced temporary inside a co_await expression
// (`co_await f(Info{...})`, `co_await g({a, b})`): it is miscompiled into a
// double free. Name the value first.
template <typename T = void>
class [[nodiscard]] Task {
 public:
  struct promise_type : detail::PromiseBase, detail::PromiseResult<T> {
    Task get_return_object() { return Task(std::coroutine_handle<promise_type>::from_promise(*this)); }
    std::suspend_always initial_suspend() noexcept { return {}; }
    struct FinalAwaiter {
      bool await_ready() noexcept { return false; }
      std::coroutine_handle<> await_suspend(std::coroutine_handle<promise_type> h) noexcept {
        auto next = h.promise().continuation;
        return next ? next : std::noop_coroutine();
      }
      void await_resume() noexcept {}
    };
    FinalAwaiter final_suspend() noexcept { return {}; }
  };

  Task(Task&& other) noexcept : handle_(std::exchange(other.handle_, {})) {}
  Task& operator=(Task&& other) noexcept {
    if (this != &other) {
      if (handle_) handle_.destroy();
      handle_ = std::exchange(other.handle_, {});
    }
    return *this;
  }
  Task(const Task&) = delete;
  Task& operator=(const Task&) = delete;
  ~Task() {
    if (handle_) handle_.destroy();
  }

  // Awaiting runs the task inside the awaiting task (same context, same
  // cancellation) and resumes the caller with its result.
  bool await_ready() const noexcept { return false; }
  template <typename CallerPromise>
  std::coroutine_handle<> await_suspend(std::coroutine_handle<CallerPromise> caller) noexcept {
    handle_.promise().context = caller.promise().context;
    handle_.promise().continuation = caller;
    return handle_;
  }
  T await_resume() { return handle_.promise().take(); }

 private:
  explicit Task(std::coroutine_handle<promise_type> handle) : handle_(handle) {}
  std::coroutine_handle<promise_type> handle_;
};

// Starts `task` on `executor` (on its next turn, never inline). Dropping the
// handle cancels the task; use spawnDetached() for fire-and-forget work.
[[nodiscard]] TaskHandle spawn(Executor& executor, Task<void> task,
                               Executor::Origin origin = Executor::Origin::current());

inline void spawnDetached(Executor& executor, Task<void> task,
                          Executor::Origin origin = Executor::Origin::current()) {
  spawn(executor, std::move(task), origin).detach();
}

namespace detail {
// Keeps a coroutine lambda (and so its captures) alive in the frame for as
// long as the task it returned runs.
template <typename Fn>
Task<void> invokeHeld(Fn fn) {
  co_await fn();
}
}  // namespace detail

// spawn(exec, [&]() -> Task<void> { ... }): pass the lambda itself, not its
// call. A lambda called in place dies at the end of the statement and leaves
// its coroutine reading freed captures.
template <typename Fn>
  requires std::is_invocable_r_v<Task<void>, Fn>
[[nodiscard]] TaskHandle spawn(Executor& executor, Fn fn, Executor::Origin origin = Executor::Origin::current()) {
  return spawn(executor, detail::invokeHeld(std::move(fn)), origin);
}

template <typename Fn>
  requires std::is_invocable_r_v<Task<void>, Fn>
void spawnDetached(Executor& executor, Fn fn, Executor::Origin origin = Executor::Origin::current()) {
  spawn(executor, std::move(fn), origin).detach();
}

namespace detail {

// Base of awaiters that suspend the whole task until a waker resumes it.
// Cancellation wakes them too; they then throw TaskCancelled.
struct CancellableWait {
  TaskContext* context = nullptr;

  bool await_ready() const noexcept { return false; }
  template <typename Promise>
  void bind(std::coroutine_handle<Promise> h) {
    context = h.promise().context;
    context->suspendAt(h);
  }
  void throwIfCancelled() const {
    if (context->cancelled()) throw TaskCancelled();
  }
};

}  // namespace detail

// co_await sleepFor(d): resumes after `d` on the task's executor clock.
class SleepFor : detail::CancellableWait {
 public:
  explicit SleepFor(Seconds delay) : delay_(delay) {}
  using CancellableWait::await_ready;
  template <typename Promise>
  void await_suspend(std::coroutine_handle<Promise> h) {
    bind(h);
    auto context = this->context->shared_from_this();
    timer_ = context->executor().postAfter(
        delay_,
        [context] {
          if (auto resume = context->takeSuspended()) resume.resume();
        },
        context->origin());
    if (context->cancelled()) context->wakeOnExecutor();
  }
  void await_resume() {
    timer_.cancel();
    throwIfCancelled();
  }

 private:
  Seconds delay_;
  TimerHandle timer_;
};

inline SleepFor sleepFor(Seconds delay) { return SleepFor(delay); }

// co_await checkCancellation(): throws TaskCancelled once the task is cancelled.
struct CheckCancellation {
  bool cancelled = false;
  bool await_ready() const noexcept { return false; }
  template <typename Promise>
  bool await_suspend(std::coroutine_handle<Promise> h) noexcept {
    cancelled = h.promise().context->cancelled();
    return false;  // never actually suspends
  }
  void await_resume() const {
    if (cancelled) throw TaskCancelled();
  }
};
inline CheckCancellation checkCancellation() { return {}; }

// Thrown by a OneShot whose every Resolver was dropped without settling it.
struct BrokenPromise : std::exception {
  const char* what() const noexcept override { return "one-shot dropped without a value"; }
};

template <typename T>
class Resolver;

// A value produced once, possibly on another thread (a network reply, a
// completion callback), awaited by one task on its executor. Made together
// with its Resolver by makeOneShot().
template <typename T>
class OneShot {
 public:
  struct State {
    std::mutex mutex;
    std::variant<std::monostate, T, std::exception_ptr> outcome;
    std::shared_ptr<detail::TaskContext> waiter;

    bool settle(std::variant<std::monostate, T, std::exception_ptr> value) {
      std::shared_ptr<detail::TaskContext> woken;
      {
        std::lock_guard lock(mutex);
        if (outcome.index() != 0) return false;
        outcome = std::move(value);
        woken = std::move(waiter);
      }
      if (woken) woken->wakeOnExecutor();
      return true;
    }
  };

  explicit OneShot(std::shared_ptr<State> state) : state_(std::move(state)) {}

  bool settled() const {
    std::lock_guard lock(state_->mutex);
    return state_->outcome.index() != 0;
  }

  struct Awaiter : detail::CancellableWait {
    std::shared_ptr<State> state;
    bool await_ready() const {
      std::lock_guard lock(state->mutex);
      return state->outcome.index() != 0;
    }
    template <typename Promise>
    void await_suspend(std::coroutine_handle<Promise> h) {
      bind(h);
      std::unique_lock lock(state->mutex);
      if (state->outcome.index() == 0) state->waiter = context->shared_from_this();
      const bool wakeNow = state->outcome.index() != 0 || context->cancelled();
      lock.unlock();
      if (wakeNow) context->wakeOnExecutor();
    }
    T await_resume() {
      std::unique_lock lock(state->mutex);
      state->waiter.reset();
      if (state->outcome.index() == 0) throw TaskCancelled();  // only cancellation wakes without an outcome
      if (state->outcome.index() == 2) std::rethrow_exception(std::get<2>(state->outcome));
      return std::move(std::get<1>(state->outcome));
    }
  };
  Awaiter operator co_await() const { return Awaiter{{}, state_}; }

 private:
  std::shared_ptr<State> state_;
};

// The producing side of a OneShot; copies share it. The first resolve() or
// fail() wins. When the last copy goes without either, the awaiting task gets
// BrokenPromise instead of waiting forever.
template <typename T>
class Resolver {
 public:
  Resolver() = default;

  bool resolve(T value) const {
    return token_ && token_->state->settle(Outcome(std::in_place_index<1>, std::move(value)));
  }
  bool fail(std::exception_ptr error) const {
    return token_ && token_->state->settle(Outcome(std::in_place_index<2>, std::move(error)));
  }
  explicit operator bool() const { return token_ != nullptr; }

 private:
  using State = typename OneShot<T>::State;
  using Outcome = std::variant<std::monostate, T, std::exception_ptr>;
  struct Token {
    std::shared_ptr<State> state;
    ~Token() { state->settle(Outcome(std::in_place_index<2>, std::make_exception_ptr(BrokenPromise()))); }
  };
  explicit Resolver(std::shared_ptr<State> state) : token_(new Token{std::move(state)}) {}

  template <typename U>
  friend std::pair<Resolver<U>, OneShot<U>> makeOneShot();
  std::shared_ptr<Token> token_;
};

template <typename T>
std::pair<Resolver<T>, OneShot<T>> makeOneShot() {
  auto state = std::make_shared<typename OneShot<T>::State>();
  return {Resolver<T>(state), OneShot<T>(state)};
}

// The description of the error `step` ends with, or nothing when it succeeds.
// Cancellation is not a failure: it passes through.
Task<std::optional<std::string>> failureOf(Task<void> step);

}  // namespace orvane
