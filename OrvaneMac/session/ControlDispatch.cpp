#include <algorithm>
#include <limits>

#include "OrvaneCore/peer/AppVersion.h"
#include "OrvaneMac/capture/ScreenCaptureManager.h"
#include "OrvaneMac/input/InputInjector.h"
#include "OrvaneMac/input/LocalControlGuard.h"
#include "OrvaneMac/input/TextFieldObserver.h"
#include "OrvaneMac/session/AppCatalog.h"
#include "OrvaneMac/session/DispatchRoute.h"
#include "OrvaneMac/session/MacSessionCoordinator.h"

namespace orvane {

namespace {

// Doubling the tablet's long edge gives its pixel size; a size whose double
// does not fit is as large as the capture limit can get anyway.
std::int64_t doubledLongEdge(const events::PadScreenInfo& info) {
  const std::int64_t longEdge = std::max(info.width, info.height);
  constexpr std::int64_t kMax = std::numeric_limits<std::int64_t>::max();
  constexpr std::int64_t kMin = std::numeric_limits<std::int64_t>::min();
  if (longEdge > kMax / 2) return kMax;
  if (longEdge < kMin / 2) return kMin;
  return longEdge * 2;
}

// Sleeps that the sequence does not treat as the end: only the state checks
// after them stop it.
Task<void> sleepIgnoringCancel(double seconds) {
  try {
    co_await sleepFor(Seconds(seconds));
  } catch (const TaskCancelled&) {
  }
}

}  // namespace

void MacSessionCoordinator::handleControlEvent(const ControlEvent& event) {
  ORVANE_ASSERT_ON(main_);
  if (!connectionState_.is(ConnectionState::Kind::connected)) return;
  const bool gateOpen = controlGuard_->policy().allowsInjection(main_.now());
  Weak weak = weak_from_this();
  switch (routeFor(event, gateOpen)) {
    case DispatchRoute::drop:
      return;
    case DispatchRoute::inject:
      inputInjector_->inject(event);
      if (const auto* down = event.get<events::MouseDown>()) {
        spawnDetached(main_, runClickFollowUp(weak, down->x, down->y));
      }
      return;
    case DispatchRoute::titleBarZoom:
      spawnDetached(main_, runTitleBarZoom(weak, event));
      return;
    case DispatchRoute::launch:
      spawnDetached(main_, runLaunch(weak, trimWhitespaceAndNewlines(event.get<events::LaunchApp>()->text)));
      return;
    case DispatchRoute::switchWindow:
      spawnDetached(main_, runSwitchToWindow(weak, event.get<events::SwitchToWindow>()->windowID));
      return;
    case DispatchRoute::search:
      spawnDetached(main_, runSearch(weak, event.get<events::SearchApps>()->text));
      return;
    case DispatchRoute::setQuality:
      spawnDetached(main_, runSetQuality(weak, event.get<events::SetVideoQuality>()->quality == VideoQuality::low));
      return;
    case DispatchRoute::padScreen: {
      const auto* info = event.get<events::PadScreenInfo>();
      padScreenSize_ = Size{static_cast<double>(info->width), static_cast<double>(info->height)};
      spawnDetached(main_, runSetMaxLongEdge(weak, doubledLongEdge(*info)));
      return;
    }
    case DispatchRoute::windowList:
      spawnDetached(main_, runWindowList(weak));
      return;
    case DispatchRoute::peerVersion:
      logPeerVersion(*event.get<events::PeerVersion>());
      return;
  }
}

void MacSessionCoordinator::logPeerVersion(const events::PeerVersion& version) {
  sessionLog_.info("[MacCoordinator] peer (iPad) version: %{public}s (%{public}ld); local %{public}s",
                   version.marketing, version.build, AppVersion::display(bundle_));
}

Task<void> MacSessionCoordinator::runClickFollowUp(Weak weak, double x, double y) {
  co_await sleepFor(Seconds(kClickFollowUpSeconds));
  auto self = weak.lock();
  if (!self) co_return;
  const Size screen = self->mainScreenSizeOrFallback();
  const float px = static_cast<float>(x * screen.width);
  const float py = static_cast<float>(y * screen.height);
  self->inputInjector_->retarget(px, py);
  if (self->textFieldObserver_) self->textFieldObserver_->check(px, py);
}

Task<void> MacSessionCoordinator::runLaunch(Weak weak, std::string name) {
  // The application index finishes on a later turn of the main loop: a launch
  // that comes first waits for it, a little.
  for (int polls = 0;; ++polls) {
    {
      auto self = weak.lock();
      if (!self || !self->connectionState_.is(ConnectionState::Kind::connected)) co_return;
      self->appCatalog_->ensureLoaded();
      if (self->appCatalog_->isLoaded()) break;
      if (polls * kLaunchCatalogPollSeconds >= kLaunchCatalogWaitSeconds) {
        self->sessionLog_.error("[MacCoordinator] launchApp: application catalog not loaded; %{public}s not launched",
                                name);
        co_return;
      }
    }
    co_await sleepIgnoringCancel(kLaunchCatalogPollSeconds);
  }
  {
    auto self = weak.lock();
    if (!self) co_return;
    const AppCatalog::Entry* entry = self->appCatalog_->find(name);
    if (!entry) {
      self->sessionLog_.notice("[MacCoordinator] launchApp: no application named %{public}s", name);
      co_return;
    }
    if (!self->ports_.applications.openApplication(entry->path)) {
      self->sessionLog_.error("[MacCoordinator] launchApp: could not open %{public}s", entry->path);
      co_return;
    }
    self->sessionLog_.info("[MacCoordinator] launchApp → %{public}s", entry->path);
  }
  co_await runCaptureLaunchedWindow(weak);
}

Task<void> MacSessionCoordinator::runSearch(Weak weak, std::string text) {
  auto self = weak.lock();
  if (!self) co_return;
  self->appCatalog_->ensureLoaded();
  std::vector<std::string> names = self->appCatalog_->search(text, kSearchLimit);
  self->send(events::AppSuggestions{std::move(text), std::move(names)});
}

Task<void> MacSessionCoordinator::runSetQuality(Weak weak, bool low) {
  std::shared_ptr<ScreenCaptureManager> capture;
  {
    auto self = weak.lock();
    if (!self) co_return;
    capture = self->captureManager_;
  }
  try {
    co_await capture->setLowQuality(low);
  } catch (const TaskCancelled&) {
    throw;
  } catch (...) {
  }
}

Task<void> MacSessionCoordinator::runSetMaxLongEdge(Weak weak, std::int64_t longEdge) {
  std::shared_ptr<ScreenCaptureManager> capture;
  {
    auto self = weak.lock();
    if (!self) co_return;
    capture = self->captureManager_;
  }
  try {
    co_await capture->setMaxLongEdge(longEdge);
  } catch (const TaskCancelled&) {
    throw;
  } catch (...) {
  }
}

Task<void> MacSessionCoordinator::runTitleBarZoom(Weak weak, ControlEvent event) {
  {
    auto self = weak.lock();
    if (!self) co_return;
    self->inputInjector_->inject(event);
  }
  co_await sleepFor(Seconds(kTitleBarZoomSettleSeconds));
  co_await runRefreshCapturedWindowFrame(weak);
}

// --- Routing

DispatchRoute routeFor(const ControlEvent& event, bool gateOpen) {
  switch (event.type()) {
    case EventType::mouseMoved:
    case EventType::mouseDown:
    case EventType::mouseDragged:
    case EventType::mouseClicked:
    case EventType::doubleClick:
    case EventType::middleClick:
    case EventType::scrolled:
    case EventType::typeText:
    case EventType::resizeWindow:
    case EventType::moveWindow:
    case EventType::volumeUp:
    case EventType::volumeDown:
    case EventType::mute:
    case EventType::brightnessUp:
    case EventType::brightnessDown:
    case EventType::appSwitchGesture:
    case EventType::toggleFullScreen:
    case EventType::minimizeWindow:
    case EventType::zoomWindow:
    case EventType::closeWindow:
    case EventType::enlargeWindow:
    case EventType::shrinkWindow:
    // Messages the host itself sends: the injector ignores them.
    case EventType::textFieldFocused:
    case EventType::windowList:
    case EventType::appSuggestions:
    case EventType::screenInfo:
    case EventType::windowFocused:
    case EventType::localControlActive:
    case EventType::captureStalled:
      return gateOpen ? DispatchRoute::inject : DispatchRoute::drop;
    // Releases always pass, so the local user never fights a stuck button or key.
    case EventType::mouseUp:
      return DispatchRoute::inject;
    case EventType::keyEvent:
      return gateOpen || !event.get<events::KeyEvent>()->isDown ? DispatchRoute::inject : DispatchRoute::drop;
    case EventType::titleBarZoom:
      return gateOpen ? DispatchRoute::titleBarZoom : DispatchRoute::drop;
    case EventType::launchApp:
      if (!gateOpen || trimWhitespaceAndNewlines(event.get<events::LaunchApp>()->text).empty()) {
        return DispatchRoute::drop;
      }
      return DispatchRoute::launch;
    case EventType::switchToWindow:
      return gateOpen ? DispatchRoute::switchWindow : DispatchRoute::drop;
    case EventType::searchApps:
      return DispatchRoute::search;
    case EventType::setVideoQuality:
      return DispatchRoute::setQuality;
    case EventType::padScreenInfo:
      return DispatchRoute::padScreen;
    case EventType::requestWindowList:
      return DispatchRoute::windowList;
    case EventType::peerVersion:
      return DispatchRoute::peerVersion;
  }
  return DispatchRoute::drop;
}

namespace {

// Length of the white space or line break starting at `text`, 0 when none.
std::size_t whitespaceAt(std::string_view text) {
  const auto byte = [&](std::size_t i) { return static_cast<unsigned char>(text[i]); };
  if (text.empty()) return 0;
  const unsigned char c = byte(0);
  if (c == ' ' || (c >= 0x09 && c <= 0x0D)) return 1;
  if (c == 0xC2 && text.size() >= 2 && (byte(1) == 0x85 || byte(1) == 0xA0)) return 2;  // NEL, NBSP
  if (text.size() < 3) return 0;
  const unsigned c1 = byte(1), c2 = byte(2);
  if (c == 0xE1 && c1 == 0x9A && c2 == 0x80) return 3;  // U+1680
  // U+2000...U+200A, U+2028, U+2029, U+202F
  if (c == 0xE2 && c1 == 0x80 && (c2 <= 0x8A || c2 == 0xA8 || c2 == 0xA9 || c2 == 0xAF)) return 3;
  if (c == 0xE2 && c1 == 0x81 && c2 == 0x9F) return 3;  // U+205F
  if (c == 0xE3 && c1 == 0x80 && c2 == 0x80) return 3;  // U+3000
  return 0;
}

// Length of the white space or line break ending at `text`'s end, 0 when none.
std::size_t whitespaceBefore(std::string_view text) {
  for (std::size_t len = 1; len <= 3 && len <= text.size(); ++len) {
    if (whitespaceAt(text.substr(text.size() - len)) == len) return len;
  }
  return 0;
}

}  // namespace

std::string trimWhitespaceAndNewlines(std::string_view text) {
  while (std::size_t n = whitespaceAt(text)) text.remove_prefix(n);
  while (std::size_t n = whitespaceBefore(text)) text.remove_suffix(n);
  return std::string(text);
}

}  // namespace orvane
