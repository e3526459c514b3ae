#pragma once

#include <algorithm>
#include <condition_variable>
#include <mutex>
#include <thread>
#include <utility>
#include <vector>

namespace orvane::rtc {

// Depth of engine callbacks on this thread: a close() made from inside one
// must not wait for the thread it runs on.
inline thread_local int engineCallbackDepth = 0;

// One observer that GStreamer threads call. Replacing it returns only once no
// other thread is still inside a call to the previous one, so the previous
// observer may be destroyed right after. A callback may replace it (the
// calling thread is not waited for). No lock is held during a call.
template <typename Observer>
class ObserverSlot {
 public:
  explicit ObserverSlot(Observer* observer = nullptr) : observer_(observer) {}

  // Runs fn(observer) when one is set; false otherwise. Exceptions stop here:
  // the caller is GStreamer's C code.
  template <typename Fn>
  bool call(Fn&& fn) {
    Observer* observer;
    const auto self = std::this_thread::get_id();
    {
      std::lock_guard lock(mutex_);
      observer = observer_;
      if (!observer) return false;
      inside_.emplace_back(self, observer);
    }
    ++engineCallbackDepth;
    try {
      fn(*observer);
    } catch (...) {
    }
    --engineCallbackDepth;
    {
      std::lock_guard lock(mutex_);
      inside_.erase(std::find(inside_.begin(), inside_.end(), std::make_pair(self, observer)));
    }
    left_.notify_all();
    return true;
  }

  Observer* exchange(Observer* next) {
    std::unique_lock lock(mutex_);
    Observer* previous = std::exchange(observer_, next);
    const auto self = std::this_thread::get_id();
    left_.wait(lock, [&] {
      return std::none_of(inside_.begin(), inside_.end(),
                          [&](const auto& entry) { return entry.second == previous && entry.first != self; });
    });
    return previous;
  }

  Observer* get() const {
    std::lock_guard lock(mutex_);
    return observer_;
  }

 private:
  mutable std::mutex mutex_;
  std::condition_variable left_;
  Observer* observer_;
  std::vector<std::pair<std::thread::id, Observer*>> inside_;
};

}  // namespace orvane::rtc
