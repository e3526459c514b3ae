#include "OrvaneCore/permissions/PermissionsModel.h"

namespace orvane {

void PermissionsModel::apply(bool accessibility, bool screenRecording) {
  set(accessibility, screenRecording, screenRecording ? false : screenRecordingNeedsRelaunch_);
}

void PermissionsModel::markScreenRecordingRelaunchNeeded() {
  if (screenRecordingGranted_) return;
  set(accessibilityGranted_, screenRecordingGranted_, true);
}

void PermissionsModel::set(bool accessibility, bool screenRecording, bool needsRelaunch) {
  const bool changed = accessibility != accessibilityGranted_ || screenRecording != screenRecordingGranted_ ||
                       needsRelaunch != screenRecordingNeedsRelaunch_;
  accessibilityGranted_ = accessibility;
  screenRecordingGranted_ = screenRecording;
  screenRecordingNeedsRelaunch_ = needsRelaunch;
  if (changed && onChange) onChange();
}

}  // namespace orvane
