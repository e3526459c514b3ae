#include "OrvaneMac/app/tray/StatusBarController.h"

#include "OrvaneCore/peer/AppVersion.h"
#include "OrvaneCore/runtime/Task.h"

namespace orvane {

StatusBarController::StatusBarController(Executor& main, MacSessionCoordinator& coordinator,
                                         PermissionsController& permissions, AppActions actions, Options options)
    : main_(main),
      coordinator_(coordinator),
      permissions_(permissions),
      actions_(std::move(actions)),
      options_(options),
      log_(std::string(MacSessionCoordinator::kSubsystem), "tray", options.log ? *options.log : systemLogSink()),
      item_(options.log ? *options.log : systemLogSink()) {
  coordinator_.onConnectionStateChanged = [this](const ConnectionState&) { refresh(); };
  coordinator_.onInjectionDisabledChanged = [this](bool) { refresh(); };
  coordinator_.permissions().onChange = [this] { refresh(); };
  theme_.onChange = [this] { refresh(); };
  popover_.onAction = [this](PopoverAction action, const std::string& text) { perform(action, text); };
  popover_.onHidden = [this](PopoverWindow::HideReason reason) { hidden(reason); };
  item_.onActivate = [this](int x, int y) { togglePopover(x, y); };
  item_.onMenuAction = [this](PopoverAction action) { perform(action, {}); };
  item_.onHostAvailabilityChanged = [this](bool available) { hostAvailabilityChanged(available); };
  refresh();
  if (options_.forceWindow) showWindow();
  // Sharing begins at launch without the user doing anything.
  spawnDetached(main_, coordinator_.start());
}

StatusBarController::~StatusBarController() {
  coordinator_.onConnectionStateChanged = nullptr;
  coordinator_.onInjectionDisabledChanged = nullptr;
  coordinator_.permissions().onChange = nullptr;
  popover_.onHidden = nullptr;
}

PopoverSnapshot StatusBarController::snapshot() const {
  const PermissionsModel& model = coordinator_.permissions();
  PopoverSnapshot s;
  s.state = coordinator_.connectionState();
  s.injectionDisabled = coordinator_.injectionDisabled();
  s.accessibilityGranted = model.accessibilityGranted();
  s.screenRecordingGranted = model.screenRecordingGranted();
  s.screenRecordingNeedsRelaunch = model.screenRecordingNeedsRelaunch();
  s.version = AppVersion::display();
  if (explanationShown_ && !model.allReady() && actions_.explainMissing) s.explanation = actions_.explainMissing();
  return s;
}

void StatusBarController::refresh() {
  const PopoverSnapshot s = snapshot();
  const PopoverContent content = popoverContent(s);
  item_.setIconColour(rgbOf(trayIconTint(s.state.kind, theme_.dark())));
  item_.setToolTip(statusText(s.state));
  item_.setMenu(trayMenu(content));
  popover_.setContent(content);
}

void StatusBarController::togglePopover(int x, int y) {
  if (popover_.visible() && popover_.mode() == PopoverWindow::Mode::popover) {
    popover_.hide();
    return;
  }
  if (closedByFocusAt_ && main_.now() - *closedByFocusAt_ < kReopenGuardSeconds) return;
  popover_.showAt(x, y);
  shown();
}

void StatusBarController::showWindow() {
  popover_.showAsWindow();
  shown();
}

void StatusBarController::shown() {
  closedByFocusAt_.reset();
  permissions_.refresh();
  refresh();
  schedulePoll();
}

void StatusBarController::hidden(PopoverWindow::HideReason reason) {
  poll_.cancel();
  explanationShown_ = false;
  if (reason == PopoverWindow::HideReason::focusLost) closedByFocusAt_ = main_.now();
  refresh();
}

void StatusBarController::schedulePoll() {
  poll_ = main_.postAfter(Seconds(kPermissionPollSeconds), [this] {
    if (!popover_.visible()) return;
    permissions_.refresh();
    // The explanation reads the live state, which no flag may reflect.
    if (explanationShown_) refresh();
    schedulePoll();
  });
}

void StatusBarController::hostAvailabilityChanged(bool available) {
  // Without a tray showing the item the window is the only sign of the host.
  if (!available && !popover_.visible()) {
    log_.notice("[Tray] no tray host shows the item: opening the window");
    showWindow();
  }
}

void StatusBarController::perform(PopoverAction action, const std::string& text) {
  switch (action) {
    case PopoverAction::grantAccessibility:
      permissions_.requestAccessibility();
      explanationShown_ = true;
      refresh();
      break;
    case PopoverAction::grantScreenRecording:
      permissions_.requestScreenRecording();
      explanationShown_ = true;
      refresh();
      break;
    case PopoverAction::relaunch:
      if (actions_.relaunch) actions_.relaunch();
      break;
    case PopoverAction::stopInjection:
      coordinator_.stopInjection();
      break;
    case PopoverAction::resumeInjection:
      coordinator_.resumeInjection();
      break;
    case PopoverAction::stopSharing:
      spawnDetached(main_, coordinator_.stop());
      break;
    case PopoverAction::startSharing:
      spawnDetached(main_, coordinator_.start());
      break;
    case PopoverAction::signIn:
      if (actions_.signIn && !text.empty()) actions_.signIn(text);
      break;
    case PopoverAction::quit:
      if (actions_.quit) actions_.quit();
      break;
    case PopoverAction::about:
      if (actions_.openAbout) actions_.openAbout();
      break;
    case PopoverAction::open:
      showWindow();
      break;
  }
}

}  // namespace orvane
