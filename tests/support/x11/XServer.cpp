#include "tests/support/x11/XServer.h"

#include <X11/Xlib.h>
#include <fcntl.h>
#include <stdlib.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <map>
#include <stdexcept>
#include <thread>

#include "tests/support/x11/ChildProcess.h"

namespace orvane::test {

namespace {

using Clock = std::chrono::steady_clock;
constexpr auto kStartTimeout = std::chrono::seconds(10);

// Click-to-focus, the usual frame, and no key bindings: keys a test sends
// (Alt+F4, Super, Alt+Tab) must reach the clients, not the window manager.
// No "Frame" bindings either: that context covers the client too, and a plain
// press bound there never reaches the application.
constexpr const char* kOpenboxConfig = R"(<?xml version="1.0" encoding="UTF-8"?>
<openbox_config xmlns="http://openbox.org/3.4/rc">
  <focus><focusNew>yes</focusNew><followMouse>no</followMouse></focus>
  <placement><policy>Smart</policy></placement>
  <keyboard/>
  <mouse>
    <context name="Client">
      <mousebind button="Left" action="Press"><action name="Focus"/><action name="Raise"/></mousebind>
      <mousebind button="Middle" action="Press"><action name="Focus"/><action name="Raise"/></mousebind>
      <mousebind button="Right" action="Press"><action name="Focus"/><action name="Raise"/></mousebind>
    </context>
    <context name="Titlebar Top Right Bottom Left TRCorner BRCorner TLCorner BLCorner">
      <mousebind button="Left" action="Press"><action name="Focus"/><action name="Raise"/></mousebind>
    </context>
    <context name="Titlebar">
      <mousebind button="Left" action="Drag"><action name="Move"/></mousebind>
    </context>
  </mouse>
</openbox_config>
)";

struct Pipe {
  int read = -1, write = -1;
  Pipe() {
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC) != 0) throw std::runtime_error(std::string("pipe: ") + std::strerror(errno));
    read = fds[0];
    write = fds[1];
  }
  ~Pipe() {
    closeWrite();
    ::close(read);
  }
  void closeWrite() {
    if (write >= 0) ::close(write);
    write = -1;
  }
  Pipe(const Pipe&) = delete;
  Pipe& operator=(const Pipe&) = delete;
};

// The first line a child writes to `pipe`, or nothing when it ends or the
// deadline passes first.
std::optional<std::string> readFirstLine(Pipe& pipe, ChildProcess& child) {
  pipe.closeWrite();
  std::string text;
  auto deadline = Clock::now() + kStartTimeout;
  while (Clock::now() < deadline) {
    auto newline = text.find('\n');
    if (newline != std::string::npos) return text.substr(0, newline);
    std::string got = readWithTimeout(pipe.read, std::chrono::milliseconds(100));
    if (got.empty() && !child.running()) return std::nullopt;
    text += got;
  }
  return std::nullopt;
}

bool hasProperty(Display* display, const char* name) {
  Atom atom = XInternAtom(display, name, False);
  Atom type = None;
  int format = 0;
  unsigned long count = 0, remaining = 0;
  unsigned char* data = nullptr;
  int status = XGetWindowProperty(display, DefaultRootWindow(display), atom, 0, 1, False, AnyPropertyType, &type,
                                  &format, &count, &remaining, &data);
  if (data) XFree(data);
  return status == Success && type != None;
}

}  // namespace

// Environment variables this server sets, put back as they were.
class XServer::SavedEnvironment {
 public:
  void set(const std::string& name, const std::optional<std::string>& value) {
    if (!saved_.count(name)) {
      const char* old = ::getenv(name.c_str());
      saved_[name] = old ? std::optional<std::string>(old) : std::nullopt;
    }
    apply(name, value);
  }
  ~SavedEnvironment() {
    for (const auto& [name, value] : saved_) apply(name, value);
  }

 private:
  static void apply(const std::string& name, const std::optional<std::string>& value) {
    if (value) {
      ::setenv(name.c_str(), value->c_str(), 1);
    } else {
      ::unsetenv(name.c_str());
    }
  }
  std::map<std::string, std::optional<std::string>> saved_;
};

XServer::XServer(XServerOptions options) : options_(options) {
  log_ = std::make_unique<LogFile>(directory_.path / "server.log");
  savedEnvironment_ = std::make_unique<SavedEnvironment>();

  startXvfb();
  savedEnvironment_->set("DISPLAY", display_);
  if (options_.accessibilityBus) {
    startSessionBus();
    savedEnvironment_->set("DBUS_SESSION_BUS_ADDRESS", sessionBusAddress_);
    savedEnvironment_->set("NO_AT_BRIDGE", std::nullopt);
    savedEnvironment_->set("GTK_A11Y", std::nullopt);
    accessibilityLauncher_ = std::make_unique<ChildProcess>(ChildProcess::Options{
        .argv = {"/usr/libexec/at-spi-bus-launcher", "--launch-immediately"},
        .stdoutFd = log_->fd(),
        .stderrFd = log_->fd()});
  } else {
    // GTK clients otherwise look for an accessibility bus and complain.
    savedEnvironment_->set("NO_AT_BRIDGE", "1");
  }
  if (options_.windowManager) {
    std::filesystem::path config = directory_.path / "openbox-rc.xml";
    std::ofstream(config) << kOpenboxConfig;
    windowManager_ = std::make_unique<ChildProcess>(ChildProcess::Options{
        .argv = {"openbox", "--sm-disable", "--config-file", config.string()},
        .stdoutFd = log_->fd(),
        .stderrFd = log_->fd()});
  }
  waitForRootProperties();
}

// Members go in reverse order: clients of the server before the server, the
// environment back before the log and its directory.
XServer::~XServer() = default;

std::string XServer::log() const { return log_->tail(); }

void XServer::fail(const std::string& what) const {
  throw std::runtime_error("XServer: " + what + "\n--- server log ---\n" + log_->tail());
}

void XServer::startXvfb() {
  Pipe displayNumber;
  std::string screen = std::to_string(options_.width) + "x" + std::to_string(options_.height) + "x24";
  try {
    // -noreset: without a window manager every last client leaving would reset the server.
    xvfb_ = std::make_unique<ChildProcess>(ChildProcess::Options{
        .argv = {"Xvfb", "-displayfd", std::to_string(ChildProcess::kExtraFdInChild), "-nolisten", "tcp", "-noreset",
                 "-screen", "0", screen},
        .stdoutFd = log_->fd(),
        .stderrFd = log_->fd(),
        .extraFd = displayNumber.write});
  } catch (const std::runtime_error& error) {
    fail(std::string(error.what()) + " (is the xvfb package installed?)");
  }
  auto line = readFirstLine(displayNumber, *xvfb_);
  if (!line || line->empty()) fail("Xvfb did not report its display (" + xvfb_->describeStatus() + ")");
  display_ = ":" + *line;
}

void XServer::startSessionBus() {
  Pipe address;
  try {
    sessionBus_ = std::make_unique<ChildProcess>(ChildProcess::Options{
        .argv = {"dbus-daemon", "--session", "--nofork", "--nopidfile",
                 "--print-address=" + std::to_string(ChildProcess::kExtraFdInChild)},
        .stdoutFd = log_->fd(),
        .stderrFd = log_->fd(),
        .extraFd = address.write});
  } catch (const std::runtime_error& error) {
    fail(error.what());
  }
  auto line = readFirstLine(address, *sessionBus_);
  if (!line || line->empty()) fail("dbus-daemon did not report its address (" + sessionBus_->describeStatus() + ")");
  sessionBusAddress_ = *line;
}

// The window manager and the accessibility bus launcher announce themselves
// with a root window property; both start in parallel.
void XServer::waitForRootProperties() {
  if (!windowManager_ && !accessibilityLauncher_) return;
  Display* display = XOpenDisplay(display_.c_str());
  if (!display) fail("cannot open display " + display_);
  auto deadline = Clock::now() + kStartTimeout;
  while (true) {
    bool managed = !windowManager_ || hasProperty(display, "_NET_SUPPORTING_WM_CHECK");
    bool accessible = !accessibilityLauncher_ || hasProperty(display, "AT_SPI_BUS");
    if (managed && accessible) break;
    std::string problem;
    if (windowManager_ && !windowManager_->running()) problem = "openbox " + windowManager_->describeStatus();
    if (accessibilityLauncher_ && !accessibilityLauncher_->running()) {
      problem = "at-spi-bus-launcher " + accessibilityLauncher_->describeStatus();
    }
    if (problem.empty() && Clock::now() > deadline) {
      problem = !managed ? "openbox did not manage the screen in time" : "the accessibility bus did not start in time";
    }
    if (!problem.empty()) {
      XCloseDisplay(display);
      fail(problem);
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  XCloseDisplay(display);
}

XServer& sharedXServer(XServerOptions options) {
  static XServer server(options);
  return server;
}

}  // namespace orvane::test
