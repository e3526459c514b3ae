#pragma once

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "OrvaneCore/peer/gst/GstEngine.h"
#include "OrvaneCore/runtime/GLibExecutor.h"
#include "OrvaneMac/app/HostOptions.h"
#include "OrvaneMac/app/HostSignIn.h"
#include "OrvaneMac/app/SingleInstance.h"
#include "OrvaneMac/platform/linux/JsonFileUserDefaults.h"

namespace orvane {
class MacSessionCoordinator;
class PermissionsController;
class StatusBarController;
namespace x11 {
class X11Desktop;
class X11Permissions;
}  // namespace x11
}  // namespace orvane

namespace orvane::app {

// The host process: builds, in the fixed launch order, the single-instance
// watch, the session coordinator on this X display, and the tray that starts
// sharing. Push registration has nothing to do here: the record-store
// backend watches its own file. Main loop only.
class AppDelegate {
 public:
  AppDelegate(GLibExecutor& main, JsonFileUserDefaults& defaults, HostOptions options, std::vector<std::string> argv);
  ~AppDelegate();
  AppDelegate(const AppDelegate&) = delete;
  AppDelegate& operator=(const AppDelegate&) = delete;

  // False, with the reason on standard error, when there is no X display to share.
  bool applicationDidFinishLaunching();

  // Ends sharing (held keys released, the display allowed to sleep again),
  // then the main loop.
  void quit();
  // Quits, asking the program to start again in this process's place once
  // everything is torn down (see execSelf).
  void relaunch();
  bool relaunchRequested() const { return relaunchRequested_; }
  const std::vector<std::string>& arguments() const { return argv_; }

  MacSessionCoordinator* coordinator() { return coordinator_.get(); }

 private:
  void startSingleInstanceWatch();
  void prepareEngine();
  void makeCoordinator();
  void makeStatusBarController();
  void signIn(const std::string& pastedInvite);

  GLibExecutor& main_;
  JsonFileUserDefaults& defaults_;
  const HostOptions options_;
  const std::vector<std::string> argv_;
  HostSignIn signIn_;
  rtc::GstEngine engine_;
  std::unique_ptr<SingleInstance> singleInstance_;
  std::unique_ptr<x11::X11Desktop> desktop_;
  std::shared_ptr<MacSessionCoordinator> coordinator_;
  std::unique_ptr<x11::X11Permissions> permissionsPort_;
  std::unique_ptr<PermissionsController> permissions_;
  std::unique_ptr<StatusBarController> statusBarController_;
  TimerHandle quitTimer_;
  bool quitting_ = false;
  bool relaunchRequested_ = false;
};

// Replaces this process with a fresh copy of the program; returns only on failure.
void execSelf(const std::vector<std::string>& args);

}  // namespace orvane::app
