#include <cmath>
#include <limits>

#include "OrvaneMac/capture/AppWindowCaptureHelper.h"
#include "OrvaneMac/input/InputInjector.h"
#include "OrvaneMac/session/MacSessionCoordinator.h"
#include "OrvaneMac/session/WindowFitting.h"

namespace orvane {

namespace {

// The shareable content (off-screen windows too unless asked otherwise), or
// nothing when it cannot be read.
Task<std::optional<ShareableContent>> readContent(ShareableContentSource* source, bool onScreenOnly) {
  try {
    co_return co_await source->shareableContent(false, onScreenOnly);
  } catch (const TaskCancelled&) {
    throw;
  } catch (...) {
    co_return std::nullopt;
  }
}

}  // namespace

std::int64_t truncateToInt64(double value) {
  if (std::isnan(value)) return 0;
  // 2^63 is exactly representable; anything at or beyond it saturates.
  constexpr double kLimit = 9223372036854775808.0;
  if (value >= kLimit) return std::numeric_limits<std::int64_t>::max();
  if (value < -kLimit) return std::numeric_limits<std::int64_t>::min();
  return static_cast<std::int64_t>(value);
}

PadFit fitToPad(Size screen, std::optional<Size> pad) {
  const double maxW = screen.width * kPadFitScreenShare;
  double h = static_cast<double>(truncateToInt64(screen.height * kPadFitScreenShare));
  double aspect = kDefaultPadAspect;
  // A tablet size that gives no usable ratio (zero, negative) keeps the default.
  if (pad && pad->height > 0 && pad->width > 0 && std::isfinite(pad->width / pad->height)) {
    aspect = pad->width / pad->height;
  }
  double w = h * aspect;
  if (w > maxW) {
    h = static_cast<double>(truncateToInt64(maxW / aspect));
    w = maxW;
  }
  PadFit fit;
  fit.width = truncateToInt64(w);
  fit.height = truncateToInt64(h);
  fit.x = truncateToInt64((screen.width - w) * 0.5);
  fit.y = truncateToInt64((screen.height - h) * 0.5);
  return fit;
}

void MacSessionCoordinator::sendWindowList() { spawnDetached(main_, runWindowList(weak_from_this())); }

Task<void> MacSessionCoordinator::runWindowList(Weak weak) {
  std::shared_ptr<AppWindowCaptureHelper> helper;
  {
    auto self = weak.lock();
    if (!self) co_return;
    helper = self->windowHelper_;
  }
  std::vector<WindowInfo> windows = co_await helper->listWindows();
  auto self = weak.lock();
  if (!self) co_return;
  self->sessionLog_.info("[MacCoordinator] requestWindowList received → %{public}ld windows",
                         static_cast<std::int64_t>(windows.size()));
  self->send(events::WindowList{std::move(windows)});
}

Task<void> MacSessionCoordinator::switchToWindow(std::string id) { return runSwitchToWindow(weak_from_this(), id); }

Task<void> MacSessionCoordinator::runSwitchToWindow(Weak weak, std::string id) {
  ShareableContentSource* source = nullptr;
  {
    auto self = weak.lock();
    if (!self) co_return;
    source = &self->ports_.content;
  }
  // Off-screen windows too: the tablet may pick one on another desktop.
  std::optional<ShareableContent> content = co_await readContent(source, false);
  auto self = weak.lock();
  if (!self) co_return;
  if (content) {
    for (const ShareableWindow& window : content->windows) {
      if (std::to_string(window.windowID) == id) {
        self->focus(window);
        co_return;
      }
    }
  }
  self->sessionLog_.error("[MacCoordinator] switchToWindow: window not found for id=%{public}s", id);
}

Task<void> MacSessionCoordinator::captureLaunchedWindow() { return runCaptureLaunchedWindow(weak_from_this()); }

Task<void> MacSessionCoordinator::runCaptureLaunchedWindow(Weak weak) {
  std::int32_t ownPid = 0;
  {
    auto self = weak.lock();
    if (!self) co_return;
    ownPid = self->ports_.process.processIdentifier();
  }
  for (const int delayMs : kLaunchWindowAttemptsMs) {
    co_await sleepFor(Seconds(delayMs / 1000.0));
    ShareableContentSource* source = nullptr;
    std::int32_t pid = 0;
    {
      auto self = weak.lock();
      if (!self || !self->connectionState_.is(ConnectionState::Kind::connected)) co_return;
      const auto front = self->ports_.workspace.frontmostApplicationPID();
      if (!front || *front == ownPid) continue;
      pid = *front;
      source = &self->ports_.content;
    }
    std::optional<ShareableContent> content = co_await readContent(source, true);
    if (!content) continue;
    const ShareableWindow* best = nullptr;
    double bestArea = -1;
    for (const ShareableWindow& window : content->windows) {
      if (!window.owningApplication || window.owningApplication->processID != pid) continue;
      const double width = window.frame.width(), height = window.frame.height();
      if (!(width > kMinLaunchedWindowWidth && height > kMinLaunchedWindowHeight)) continue;
      // Strictly larger: on a tie the window the platform listed first stays.
      if (width * height > bestArea) {
        best = &window;
        bestArea = width * height;
      }
    }
    if (!best) continue;
    auto self = weak.lock();
    if (!self) co_return;
    self->focus(*best);
    self->sessionLog_.info("[MacCoordinator] captureLaunchedWindow → %{public}s win=%{public}u",
                          self->ports_.applications.localizedName(pid).value_or("?"), best->windowID);
    co_return;
  }
  if (auto self = weak.lock()) {
    self->sessionLog_.notice("[MacCoordinator] captureLaunchedWindow: launched app window not found");
  }
}

void MacSessionCoordinator::focus(const ShareableWindow& window) {
  capturedWindowID_ = std::to_string(window.windowID);
  const std::string title = window.title.value_or("");
  if (window.owningApplication) {
    const std::int32_t pid = window.owningApplication->processID;
    inputInjector_->setCapturedWindowPID(pid);
    inputInjector_->setCapturedAXWindow(axWindow(pid, title));
  } else {
    inputInjector_->setCapturedWindowPID(std::nullopt);
    inputInjector_->setCapturedAXWindow(nullptr);
  }
  inputInjector_->setCapturedWindowFrame(window.frame);
  inputInjector_->setPreZoomFrame(std::nullopt);
  if (window.owningApplication) {
    ports_.applications.activate(window.owningApplication->processID, Applications::kActivateIgnoringOtherApps);
  }
  if (const AXElement& element = inputInjector_->capturedAXWindow()) {
    ports_.accessibility.performAction(element, kAXRaiseAction);
  }
  fitCapturedWindowToPad();
  send(events::WindowFocused{title, window.owningApplication ? window.owningApplication->applicationName : ""});
}

AXElement MacSessionCoordinator::axWindow(std::int32_t pid, const std::string& title) {
  Accessibility& ax = ports_.accessibility;
  const auto windows = ax.copyAttributeValue(ax.applicationElement(pid), kAXWindowsAttribute);
  const auto* list = std::get_if<std::vector<AXElement>>(&windows.value);
  windowLog_.error(
      "axWindow(pid=%{public}d title=\"%{public}s\") kAXWindows=%{public}s count=%{public}ld trusted=%{bool,public}d",
      pid, title, InputInjector::axErrorName(windows.error),
      list ? static_cast<std::int64_t>(list->size()) : std::int64_t{-1}, ax.isProcessTrusted());
  if (!windows.ok() || !list || list->empty()) return nullptr;
  if (!title.empty()) {
    for (const AXElement& window : *list) {
      const auto windowTitle = ax.copyAttributeValue(window, kAXTitleAttribute);
      const auto* text = std::get_if<std::string>(&windowTitle.value);
      if (windowTitle.ok() && text && *text == title) return window;
    }
  }
  return list->front();
}

void MacSessionCoordinator::fitCapturedWindowToPad() {
  const auto screen = ports_.screens.mainScreen();
  if (!screen) return;
  const PadFit fit = fitToPad(screen->frame.size, padScreenSize_);
  inputInjector_->inject(events::ResizeWindow{fit.width, fit.height});
  inputInjector_->inject(events::MoveWindow{fit.x, fit.y});
}

Task<void> MacSessionCoordinator::refreshCapturedWindowFrame() {
  return runRefreshCapturedWindowFrame(weak_from_this());
}

Task<void> MacSessionCoordinator::runRefreshCapturedWindowFrame(Weak weak) {
  ShareableContentSource* source = nullptr;
  {
    auto self = weak.lock();
    if (!self || !self->capturedWindowID_) co_return;
    source = &self->ports_.content;
  }
  std::optional<ShareableContent> content = co_await readContent(source, false);
  auto self = weak.lock();
  if (!self || !content || !self->capturedWindowID_) co_return;
  for (const ShareableWindow& window : content->windows) {
    if (std::to_string(window.windowID) != *self->capturedWindowID_) continue;
    self->inputInjector_->setCapturedWindowFrame(window.frame);
    const Rect& frame = window.frame;
    self->sessionLog_.debug(
        "[MacCoordinator] capturedWindowFrame ← SC (%{public}ld,%{public}ld) %{public}ldx%{public}ld",
        truncateToInt64(frame.minX()), truncateToInt64(frame.minY()), truncateToInt64(frame.width()),
        truncateToInt64(frame.height()));
    co_return;
  }
}

}  // namespace orvane
