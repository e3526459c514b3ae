#pragma once

#include <sys/types.h>

#include <condition_variable>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace orvane::test {

class ChildProcess;

// The GTK 3 test client (ORVANE_X11_TEST_CLIENT) on $DISPLAY: a drawing area,
// a text entry and a button, reporting on stdout one line per thing received:
//   "ready window=0x<toplevel XID> pid=<pid>"            once mapped and painted
//   "key keysym=<name> state=0x<core modifier bits>"      key presses, any widget
//   "text <the entry's whole text>"                       each change of the entry
//   "click button=<n> x=<root x> y=<root y> count=<1|2|3>" presses on the drawing area
//   "button clicked"                                       the GTK button
//   "focus entry" | "focus button"                         keyboard focus moves
//   "configure x=<root x> y=<root y> width=<w> height=<h>" client window geometry
//   "scroll direction=<up|down|left|right>"                wheel on the drawing area
// A double click reports count=1 and then count=2, as GDK sees it.
class TestClient {
 public:
  struct Options {
    std::string title = "Orvane test";
    int x = 100, y = 100, width = 640, height = 480;
    // Drawing area in four quadrants: red, green, blue, white (top-left, top-right,
    // bottom-left, bottom-right); otherwise plain grey #808080.
    bool pattern = false;
    std::vector<std::string> extraArgs;
  };

  // Waits (10 s) for "ready"; throws std::runtime_error when it does not come.
  explicit TestClient(Options options);
  TestClient() : TestClient(Options{}) {}
  ~TestClient();  // kills it
  TestClient(const TestClient&) = delete;
  TestClient& operator=(const TestClient&) = delete;

  pid_t pid() const;
  unsigned long window() const { return window_; }

  // The next line starting with `prefix` that no earlier call returned (lines
  // already read count too); nothing after `timeoutSeconds`.
  std::optional<std::string> waitForLine(std::string_view prefix, double timeoutSeconds = 5);
  // Every line read so far, returned by waitForLine or not.
  std::vector<std::string> linesSoFar();
  // Whether the program is still running.
  bool running();

  static std::string executablePath();

 private:
  void readLines(int fd);
  void shutDown();

  std::unique_ptr<ChildProcess> process_;
  int stdoutFd_ = -1;
  unsigned long window_ = 0;

  std::mutex mutex_;
  std::condition_variable changed_;
  std::vector<std::string> lines_;
  std::vector<bool> taken_;
  bool ended_ = false;
  bool stopping_ = false;
  std::thread reader_;
};

}  // namespace orvane::test
