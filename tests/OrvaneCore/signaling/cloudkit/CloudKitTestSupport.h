#pragma once

#include <exception>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "OrvaneCore/runtime/ManualExecutor.h"
#include "OrvaneCore/runtime/Task.h"
#include "OrvaneCore/signaling/cloudkit/CloudKitTypes.h"

namespace orvane::test {

// Runs `task` to its end on `exec` (virtual time moves only if `advance`),
// returning its value or rethrowing its error.
template <typename T>
T await(ManualExecutor& exec, Task<T> task) {
  std::optional<T> value;
  std::exception_ptr error;
  auto handle = spawn(exec, [&]() -> Task<void> {
    try {
      value.emplace(co_await std::move(task));
    } catch (const TaskCancelled&) {
      throw;  // unfinished: the locals are gone by the time it wakes
    } catch (...) {
      error = std::current_exception();
    }
  });
  exec.runUntilIdle();
  if (error) std::rethrow_exception(error);
  if (!value) throw std::runtime_error("task did not finish");
  return std::move(*value);
}

inline void await(ManualExecutor& exec, Task<void> task) {
  auto wrapped = [](Task<void> inner) -> Task<bool> {
    co_await std::move(inner);
    co_return true;
  };
  await(exec, wrapped(std::move(task)));
}

inline CKRecordZoneID orvaneZone() { return CKRecordZoneID{"Orvane"}; }

inline CKRecord makeRecord(std::string type, std::string name, std::vector<std::pair<std::string, CKValue>> fields,
                           CKRecordZoneID zone = orvaneZone()) {
  CKRecord record(std::move(type), CKRecordID{std::move(name), std::move(zone)});
  for (auto& [key, value] : fields) record.set(key, std::move(value));
  return record;
}

// The code of the CloudKitError `fn` throws, or nothing.
template <typename Fn>
std::optional<CKErrorCode> errorCode(Fn&& fn) {
  try {
    fn();
  } catch (const CloudKitError& e) {
    return e.code();
  }
  return std::nullopt;
}

}  // namespace orvane::test
