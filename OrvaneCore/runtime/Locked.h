#pragma once

#include <mutex>
#include <utility>

namespace orvane {

// A value that is only ever touched under its own lock.
template <typename T>
class Locked {
 public:
  Locked() = default;
  explicit Locked(T value) : value_(std::move(value)) {}

  T get() const {
    std::lock_guard lock(mutex_);
    return value_;
  }
  void set(T value) {
    std::lock_guard lock(mutex_);
    value_ = std::move(value);
  }
  T exchange(T value) {
    std::lock_guard lock(mutex_);
    return std::exchange(value_, std::move(value));
  }
  // Runs `fn(value)` under the lock and returns what it returns. `fn` must not
  // call back into this box.
  template <typename Fn>
  decltype(auto) with(Fn&& fn) {
    std::lock_guard lock(mutex_);
    return std::forward<Fn>(fn)(value_);
  }
  template <typename Fn>
  decltype(auto) with(Fn&& fn) const {
    std::lock_guard lock(mutex_);
    return std::forward<Fn>(fn)(value_);
  }

 private:
  mutable std::mutex mutex_;
  T value_{};
};

}  // namespace orvane
