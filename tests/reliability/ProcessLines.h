#pragma once

// Reading what the real processes of a reliability test print: waiting for
// lines with a deadline, and the lines that mark video and a ready connection.
#include <algorithm>
#include <chrono>
#include <cstdio>
#include <functional>
#include <string>
#include <thread>

#include "tests/OrvaneServer/Child.h"

namespace orvane::reliability {

using test::Child;

inline double secondsSince(std::chrono::steady_clock::time_point start) {
  return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

// How many lines of `stream` match, waiting up to `seconds` for at least
// `count` of them; the count reached.
inline std::size_t waitCount(Child& child, Child::Stream stream, const std::function<bool(const std::string&)>& match,
                             std::size_t count, double seconds) {
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  for (;;) {
    const auto lines = child.lines(stream);
    const auto n = std::size_t(std::count_if(lines.begin(), lines.end(), match));
    if (n >= count || std::chrono::steady_clock::now() > deadline) return n;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
}

// orvane-pad's figures line for a picture `width` wide at a watchable rate.
inline bool isVideo(const std::string& line, int width) {
  double fps = 0;
  int w = 0, h = 0, kbps = 0;
  return std::sscanf(line.c_str(), "video: fps=%lf size=%dx%d kbps=%d", &fps, &w, &h, &kbps) == 4 && w == width &&
         fps >= 15;
}

// The signalling service's log line once a connection to the server is up.
inline bool isReady(const std::string& line) { return line.find("[ws] ready (first frame: ") != std::string::npos; }

}  // namespace orvane::reliability
