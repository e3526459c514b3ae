#pragma once

#include <mutex>
#include <utility>

namespace orvane {

// Runs a piece of process-wide set-up exactly once, whichever thread gets
// there first (library initialisation such as OpenSSL's).
class Once {
 public:
  template <typename Fn>
  void run(Fn&& fn) {
    std::call_once(flag_, std::forward<Fn>(fn));
  }

 private:
  std::once_flag flag_;
};

}  // namespace orvane
