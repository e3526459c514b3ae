#include "OrvaneMac/app/AppDelegate.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>

#include "OrvaneCore/runtime/Task.h"
#include "OrvaneMac/platform/x11/X11Desktop.h"
#include "OrvaneMac/session/AppCatalog.h"
#include "OrvaneMac/session/MacSessionCoordinator.h"

namespace orvane::app {

namespace {

// A quit that ends sharing waits this long at most for the teardown.
constexpr double kQuitTimeoutSeconds = 3.0;

std::string displayName() {
  const char* display = std::getenv("DISPLAY");
  return display != nullptr ? display : "";
}

}  // namespace

AppDelegate::AppDelegate(GLibExecutor& main, JsonFileUserDefaults& defaults, HostOptions options,
                         std::vector<std::string> argv)
    : main_(main),
      defaults_(defaults),
      options_(std::move(options)),
      argv_(std::move(argv)),
      signIn_(options_.server, options_.identityToken) {}

AppDelegate::~AppDelegate() {
  coordinator_.reset();
  desktop_.reset();
}

bool AppDelegate::applicationDidFinishLaunching() {
  startSingleInstanceWatch();
  desktop_ = x11::X11Desktop::open(main_, &defaults_);
  if (!desktop_) {
    std::fprintf(stderr, "orvane-host: cannot open the X display \"%s\"; Orvane shares an X11 session\n",
                 displayName().c_str());
    return false;
  }
  makeCoordinator();
  makeStatusBarController();
  return true;
}

void AppDelegate::startSingleInstanceWatch() {
  SingleInstance::Options options;
  options.directory = instanceDirectory(displayName());
  singleInstance_ = std::make_unique<SingleInstance>(main_, std::move(options), [this] { quit(); });
  if (!singleInstance_->start()) {
    std::fprintf(stderr, "orvane-host: cannot register in %s; another copy will not be told to quit\n",
                 instanceDirectory(displayName()).c_str());
  }
}

void AppDelegate::makeCoordinator() {
  x11::X11Desktop& d = *desktop_;
  SessionPorts ports{d.events(),           d.taps(),         d.accessibility(), d.screens(),
                     d.workspace(),        d.process(),      d.content(),       d.streams(),
                     d.applicationIndex(), d.applications(), d.power(),         d.screenCapture(),
                     d.displayScale()};
  SessionEnvironment environment(engine_, defaults_);
  environment.signalingServerURL = options_.server;
  environment.applicationPathPrefixes = AppCatalog::xdgApplicationPrefixes();
  coordinator_ = MacSessionCoordinator::create(main_, ports, std::move(environment));
  coordinator_->requestAppleIdentityToken = signIn_.request();
}

void AppDelegate::makeStatusBarController() {
  // Sharing begins at launch, without the user's action.
  spawnDetached(main_, coordinator_->start());
}

void AppDelegate::signIn(const std::string& pastedInvite) {
  if (!signIn_.useInvite(pastedInvite)) return;
  coordinator_->requestAppleIdentityToken = signIn_.request();
  spawnDetached(main_, coordinator_->start());
}

void AppDelegate::quit() {
  if (std::exchange(quitting_, true)) return;
  singleInstance_.reset();
  if (!coordinator_) {
    main_.quit();
    return;
  }
  auto done = std::make_shared<bool>(false);
  auto finish = [this, done] {
    if (!std::exchange(*done, true)) main_.quit();
  };
  spawnDetached(main_, [](std::shared_ptr<MacSessionCoordinator> coordinator, std::function<void()> then) -> Task<void> {
    co_await coordinator->stop();
    then();
  }(coordinator_, finish));
  // A teardown that hangs must not keep the process alive.
  quitTimer_ = main_.postAfter(Seconds(kQuitTimeoutSeconds), finish);
}

void AppDelegate::relaunch() {
  relaunchRequested_ = true;
  quit();
}

void execSelf(const std::vector<std::string>& args) {
  std::vector<char*> argv;
  for (const std::string& arg : args) argv.push_back(const_cast<char*>(arg.c_str()));
  argv.push_back(nullptr);
  ::execv("/proc/self/exe", argv.data());
  std::perror("orvane-host: cannot restart");
}

}  // namespace orvane::app
