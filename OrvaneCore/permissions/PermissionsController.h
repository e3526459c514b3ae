#pragma once

#include "OrvaneCore/permissions/PermissionsModel.h"
#include "OrvaneCore/permissions/PermissionsPort.h"

namespace orvane {

// The popover's and the coordinator's permission actions, applied to one
// model through the platform port. Both must outlive the controller.
class PermissionsController {
 public:
  PermissionsController(PermissionsModel& model, PermissionsPort& port) : model_(model), port_(port) {}

  void refresh();
  void requestAccessibility();
  // After a request in this run only a restart can make the grant visible,
  // so a second request restarts instead of prompting again.
  void requestScreenRecording();

 private:
  PermissionsModel& model_;
  PermissionsPort& port_;
};

}  // namespace orvane
