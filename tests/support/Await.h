#pragma once

#include <optional>
#include <stdexcept>

#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneCore/runtime/Task.h"

namespace orvane::test {

// Runs `task` on `exec` until it ends and returns its value or rethrows its
// error. Work posted from other threads runs as it comes; virtual time does
// not move. After `timeout` of wall time the task is cancelled and
// std::runtime_error thrown.
template <typename T>
T await(ManualExecutor& exec, Task<T> task, Seconds timeout = Seconds(5)) {
  std::optional<T> value;
  std::exception_ptr error;
  TaskHandle handle = spawn(exec, [&]() -> Task<void> {
    try {
      value.emplace(co_await std::move(task));
    } catch (const TaskCancelled&) {
      throw;  // unfinished: leave the locals alone
    } catch (...) {
      error = std::current_exception();
    }
  });
  if (!exec.runUntil([&] { return !handle.running(); }, timeout)) {
    handle.cancel();
    exec.runUntilIdle();
    throw std::runtime_error("task did not finish");
  }
  if (error) std::rethrow_exception(error);
  return std::move(*value);
}

inline void await(ManualExecutor& exec, Task<void> task, Seconds timeout = Seconds(5)) {
  auto wrapped = [](Task<void> inner) -> Task<bool> {
    co_await std::move(inner);
    co_return true;
  };
  await(exec, wrapped(std::move(task)), timeout);
}

}  // namespace orvane::test
