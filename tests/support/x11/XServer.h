#pragma once

#include <filesystem>
#include <memory>
#include <optional>
#include <string>

#include "tests/support/TempDir.h"
#include "tests/support/x11/TestClient.h"

namespace orvane::test {

class ChildProcess;
class LogFile;

struct XServerOptions {
  int width = 1920, height = 1080;  // screen 0, depth 24
  bool windowManager = true;        // openbox, waited for until it announces itself on the root
  bool accessibilityBus = false;    // a private session bus and AT-SPI bus for this server
};

// An Xvfb of its own (display number chosen by the server), optionally openbox
// and a private accessibility bus. Sets DISPLAY (and DBUS_SESSION_BUS_ADDRESS
// with the bus) in this process's environment, so clients started afterwards
// land on it; the previous values come back on destruction, when every
// process started here is stopped. Throws std::runtime_error, with the
// programs' own complaints, when something does not start.
class XServer {
 public:
  explicit XServer(XServerOptions options = {});
  ~XServer();
  XServer(const XServer&) = delete;
  XServer& operator=(const XServer&) = delete;

  const std::string& display() const { return display_; }
  const XServerOptions& options() const { return options_; }
  // Empty without the accessibility bus.
  const std::string& sessionBusAddress() const { return sessionBusAddress_; }
  // What the server and its companions wrote to stderr so far.
  std::string log() const;

 private:
  class SavedEnvironment;

  void startXvfb();
  void startSessionBus();
  void waitForRootProperties();
  [[noreturn]] void fail(const std::string& what) const;

  XServerOptions options_;
  TempDir directory_;
  std::unique_ptr<LogFile> log_;
  std::unique_ptr<SavedEnvironment> savedEnvironment_;
  std::string display_;
  std::string sessionBusAddress_;
  // Stopped in reverse order of start: clients of the server before the server.
  std::unique_ptr<ChildProcess> xvfb_;
  std::unique_ptr<ChildProcess> sessionBus_;
  std::unique_ptr<ChildProcess> accessibilityLauncher_;
  std::unique_ptr<ChildProcess> windowManager_;
};

// The test binary's one server, started on first use and stopped at exit.
// `options` only matter on the first call.
XServer& sharedXServer(XServerOptions options = {});

}  // namespace orvane::test
