#pragma once

#include <cstddef>
#include <functional>
#include <string>
#include <string_view>

namespace orvane::pad {

// Reads lines from a file descriptor on the thread-default GLib main
// context. Lines longer than the bound are reported as such and skipped;
// the end of input is reported once.
class LineReader {
 public:
  static constexpr std::size_t kMaxLineBytes = 256 * 1024;

  LineReader(int fd, std::function<void(std::string line)> onLine, std::function<void()> onOverlong,
             std::function<void()> onEnd);
  ~LineReader();
  LineReader(const LineReader&) = delete;
  LineReader& operator=(const LineReader&) = delete;

  // Stops watching; no callback runs after it.
  void stop();

 private:
  static int onReadable(void* self);
  bool readSome();
  void deliver(std::string_view bytes);

  const int fd_;
  std::function<void(std::string)> onLine_;
  std::function<void()> onOverlong_;
  std::function<void()> onEnd_;
  unsigned source_ = 0;
  std::string partial_;
  bool discarding_ = false;  // inside an overlong line, until its end
};

}  // namespace orvane::pad
