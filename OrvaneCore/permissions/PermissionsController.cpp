#include "OrvaneCore/permissions/PermissionsController.h"

namespace orvane {

void PermissionsController::refresh() {
  model_.apply(port_.accessibilityTrusted(), port_.screenRecordingAllowed());
}

void PermissionsController::requestAccessibility() {
  port_.requestAccessibility();
  port_.openSettingsLink(kAccessibilitySettingsLink);
}

void PermissionsController::requestScreenRecording() {
  if (model_.screenRecordingNeedsRelaunch()) {
    port_.relaunch();
    return;
  }
  port_.requestScreenRecording();
  port_.openSettingsLink(kScreenRecordingSettingsLink);
  model_.markScreenRecordingRelaunchNeeded();
}

}  // namespace orvane
