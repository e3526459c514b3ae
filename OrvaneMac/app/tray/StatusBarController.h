#pragma once

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include "OrvaneCore/permissions/PermissionsController.h"
#include "OrvaneCore/runtime/Executor.h"
#include "OrvaneCore/runtime/Log.h"
#include "OrvaneMac/app/tray/PanelTheme.h"
#include "OrvaneMac/app/tray/PopoverModel.h"
#include "OrvaneMac/app/tray/PopoverWindow.h"
#include "OrvaneMac/app/tray/StatusNotifierItem.h"
#include "OrvaneMac/session/MacSessionCoordinator.h"

namespace orvane {

// What the popover's buttons ask of the program around it.
struct AppActions {
  std::function<void()> quit;
  // Starts a new instance of the host and ends this one ("Restart to apply").
  std::function<void()> relaunch;
  // The text pasted into the sign-in field: an invite token or a pad link.
  std::function<void(std::string pastedText)> signIn;
  std::function<void()> openAbout;
  // In words, what keeps the permissions from being granted; shown under the
  // setup rows once the user pressed "Grant" (nothing is shown when empty).
  std::function<std::string()> explainMissing;
};

// The host's whole user interface: the tray item coloured by the session's
// state, the popover it opens, and that popover as a normal window when no
// tray host shows the item. Starts the coordinator once, at construction.
// It takes the coordinator's onConnectionStateChanged and
// onInjectionDisabledChanged, and its permissions' onChange.
// Needs GTK initialised; main executor (the GLib main loop) only. The
// coordinator and the permissions must outlive it.
class StatusBarController {
 public:
  static constexpr double kPermissionPollSeconds = 1.5;
  // The click on the tray item that took the focus away from the popover
  // must not open it again right away.
  static constexpr double kReopenGuardSeconds = 0.3;

  struct Options {
    bool forceWindow = false;  // --show-popover: the normal window at once, tray or not
    LogSink* log = nullptr;    // the system log when null
  };

  StatusBarController(Executor& main, MacSessionCoordinator& coordinator, PermissionsController& permissions,
                      AppActions actions, Options options);
  ~StatusBarController();
  StatusBarController(const StatusBarController&) = delete;
  StatusBarController& operator=(const StatusBarController&) = delete;

  // The tray item's Activate: opens the popover at the root point, or closes it.
  void togglePopover(int x, int y);
  void showWindow();

  PopoverSnapshot snapshot() const;
  PopoverWindow& popover() { return popover_; }
  StatusNotifierItem& item() { return item_; }
  // The poll runs only while the popover or the window is shown.
  bool polling() const { return poll_.pending(); }

 private:
  void refresh();
  void perform(PopoverAction action, const std::string& text);
  void shown();
  void hidden(PopoverWindow::HideReason reason);
  void schedulePoll();
  void hostAvailabilityChanged(bool available);

  Executor& main_;
  MacSessionCoordinator& coordinator_;
  PermissionsController& permissions_;
  AppActions actions_;
  Options options_;
  Logger log_;
  PanelTheme theme_;
  PopoverWindow popover_;
  StatusNotifierItem item_;
  TimerHandle poll_;
  bool explanationShown_ = false;
  std::optional<double> closedByFocusAt_;
};

}  // namespace orvane
