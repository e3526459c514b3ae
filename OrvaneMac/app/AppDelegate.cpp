#include "OrvaneMac/app/AppDelegate.h"

#include <X11/Xlib.h>
#include <unistd.h>

#include <gio/gio.h>

#include <cstdio>
#include <cstdlib>

#include "OrvaneCore/permissions/PermissionsController.h"
#include "OrvaneCore/runtime/Task.h"
#include "OrvaneMac/app/tray/StatusBarController.h"
#include "OrvaneMac/capture/ScreenCaptureManager.h"
#include "OrvaneMac/platform/x11/X11Permissions.h"
#include "OrvaneMac/platform/x11/X11Desktop.h"
#include "OrvaneMac/session/AppCatalog.h"
#include "OrvaneMac/session/MacSessionCoordinator.h"

namespace orvane::app {

namespace {

// A quit that ends sharing waits this long at most for the teardown.
constexpr double kQuitTimeoutSeconds = 3.0;
constexpr const char* kAboutURL = "https://orvane.app";

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
  // The tray holds the coordinator, and everything holds the display.
  statusBarController_.reset();
  coordinator_.reset();
  permissions_.reset();
  permissionsPort_.reset();
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
  prepareEngine();
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

void AppDelegate::prepareEngine() {
  // GStreamer loads its plugins and makes its DTLS key on first use: done
  // now, in the background, the first connection is as quick as the next.
  engine_.warmUp();
  // The offer declares one H.264 level for the whole session: the one of the
  // largest picture the capture may send from this screen.
  Display* display = desktop_->display().get();
  const int screen = DefaultScreen(display);
  ShareableDisplay root;
  root.width = DisplayWidth(display, screen);
  root.height = DisplayHeight(display, screen);
  const StreamConfiguration largest = ScreenCaptureManager::normalConfiguration(root, ScreenCaptureManager::kMaxLongEdge);
  engine_.setLargestVideoFrame(rtc::VideoSize{largest.width, largest.height});
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
  x11::X11Permissions::Options permissionOptions;
  permissionOptions.relaunch = [this] { relaunch(); };
  permissionsPort_ = std::make_unique<x11::X11Permissions>(desktop_->display(), std::move(permissionOptions));
  permissions_ = std::make_unique<PermissionsController>(coordinator_->permissions(), *permissionsPort_);

  AppActions actions;
  actions.quit = [this] { quit(); };
  actions.relaunch = [this] { relaunch(); };
  actions.signIn = [this](const std::string& text) { signIn(text); };
  actions.openAbout = [] { g_app_info_launch_default_for_uri(kAboutURL, nullptr, nullptr); };
  actions.explainMissing = [this] { return permissionsPort_->missingExplanation(); };
  StatusBarController::Options options;
  options.forceWindow = options_.showPopover;
  // Starts sharing: it begins at launch, without the user's action.
  statusBarController_ = std::make_unique<StatusBarController>(main_, *coordinator_, *permissions_, std::move(actions),
                                                               options);
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
  // The stop holds the coordinator weakly, so a teardown cut short by the
  // timeout leaves nothing alive past the desktop it uses.
  spawnDetached(main_, [](Task<void> stopping, std::function<void()> then) -> Task<void> {
    co_await std::move(stopping);
    then();
  }(coordinator_->stop(), finish));
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
