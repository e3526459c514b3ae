#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <type_traits>

#include "OrvaneCore/runtime/Task.h"

namespace orvane {

// Threads for work that may block (a record store file another process holds,
// a pipeline that must stop), so that the main executor never waits for it.
// A task hands work over with `co_await blocking.run(fn)` and resumes on its
// own executor with fn's value or error.
//
// With one thread, work runs in the order it was posted. Threads start when
// work comes and end once none is left, so an idle executor holds none.
// Destruction runs what is queued and joins the threads; from inside one of
// its own jobs (a job that drops the last owner), that thread is let go to
// finish on its own.
class BlockingExecutor {
 public:
  explicit BlockingExecutor(std::size_t maxThreads = 1, std::string threadName = "orvane-blocking");
  ~BlockingExecutor();
  BlockingExecutor(const BlockingExecutor&) = delete;
  BlockingExecutor& operator=(const BlockingExecutor&) = delete;

  // Runs `fn` on one of the threads. Callable from any thread. An exception
  // escaping `fn` ends the process, as it would on a thread of its own.
  void post(std::function<void()> fn);

  // Runs `fn` on one of the threads; the awaiting task resumes on its own
  // executor. A task cancelled meanwhile resumes at once with TaskCancelled;
  // `fn`, already handed over, still runs to its end.
  template <typename Fn, typename R = std::invoke_result_t<Fn&>>
  Task<R> run(Fn fn) {
    using Value = std::conditional_t<std::is_void_v<R>, bool, R>;
    auto [resolver, result] = makeOneShot<Value>();
    post([resolver = std::move(resolver), fn = std::move(fn)]() mutable {
      try {
        if constexpr (std::is_void_v<R>) {
          fn();
          resolver.resolve(true);
        } else {
          resolver.resolve(fn());
        }
      } catch (...) {
        resolver.fail(std::current_exception());
      }
    });
    if constexpr (std::is_void_v<R>) {
      co_await result;
    } else {
      co_return co_await result;
    }
  }

  // Threads alive now: for tests.
  std::size_t threadCount() const;

 private:
  struct State;
  static void work(std::shared_ptr<State> state);

  const std::size_t maxThreads_;
  const std::string threadName_;
  const std::shared_ptr<State> state_;  // shared with the threads, which may outlive this
};

}  // namespace orvane
