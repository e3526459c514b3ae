#pragma once

#include <glib.h>

#include <chrono>
#include <functional>

namespace orvane::test {

// Runs the thread's default GLib context (where the X connection, libatspi and
// the executor dispatch) until `done` holds; false when `seconds` pass first.
inline bool runMainLoopUntil(const std::function<bool()>& done, double seconds = 10) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  while (!done()) {
    if (std::chrono::steady_clock::now() > deadline) return false;
    if (!g_main_context_iteration(nullptr, FALSE)) g_usleep(1000);
  }
  return true;
}

}  // namespace orvane::test
