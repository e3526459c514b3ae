#include "OrvaneMac/platform/x11/X11Desktop.h"

#include "OrvaneMac/platform/linux/DesktopEntries.h"
#include "OrvaneMac/platform/x11/X11Permissions.h"
#include "OrvaneMac/platform/x11/input/X11InputProbe.h"
#include "OrvaneMac/platform/x11/windows/DesktopEntryLookup.h"

namespace orvane::x11 {

std::unique_ptr<X11Desktop> X11Desktop::open(Executor& main, const UserDefaults* defaults,
                                             const std::string& displayName, LogSink& log) {
  auto display = X11Display::open(displayName);
  if (!display) return nullptr;
  std::unique_ptr<X11Desktop> desktop(new X11Desktop);
  desktop->display_ = std::move(display);
  X11Display& x = *desktop->display_;
  x.attachToMainLoop();

  X11EventPoster::Options events;
  if (defaults && defaults->string(kCommandKeyDefault) == "super") events.commandKey = CommandKey::super;
  // One index of the installed applications names windows and running
  // applications alike.
  const auto entries = DesktopEntries::load();

  desktop->focus_ = connectAtSpiFocus(main, log);
  desktop->events_ = std::make_unique<X11EventPoster>(x, main, events);
  desktop->taps_ = std::make_unique<X11InputTap>(x);
  X11Accessibility::Options accessibility;
  accessibility.applications = desktopEntryLookup(entries);
  // Input can be given only where XTest injects and XInput 2 tells a person's
  // input from ours, and reaches the desktop only in an X11 session.
  const bool wayland = waylandSession();
  accessibility.trusted = [&x, wayland] { return !wayland && x11InputAvailable(x); };
  desktop->accessibility_ =
      std::make_unique<X11Accessibility>(x, main.clock(), desktop->focus_.get(), std::move(accessibility));
  desktop->screens_ = std::make_unique<X11Screens>(x);
  desktop->workspace_ = std::make_unique<X11Workspace>(x);
  desktop->content_ = std::make_unique<X11ShareableContent>(x, main, desktopEntryLookup(entries));
  X11CaptureOptions capture = X11CaptureOptions::fromEnvironment();
  capture.displayName = displayName;
  desktop->streams_ = std::make_unique<X11CaptureStreamFactory>(main, capture);
  desktop->applicationIndex_ = std::make_unique<GioApplicationIndex>(main);
  X11Applications::Options applications;
  applications.entries = entries;
  desktop->applications_ = std::make_unique<X11Applications>(x, std::move(applications), log);
  desktop->power_ = std::make_unique<X11PowerAssertions>(x);
  desktop->screenCapture_ = std::make_unique<X11ScreenCaptureAccess>(x, wayland);
  desktop->displayScale_ = std::make_unique<X11DisplayScale>(x);
  return desktop;
}

X11Desktop::~X11Desktop() = default;

}  // namespace orvane::x11
