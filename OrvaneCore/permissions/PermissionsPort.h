#pragma once

#include <string_view>

namespace orvane {

// The platform's privacy services as the permission operations use them.
// Every call is best effort: a refused prompt or a link that cannot be opened
// is not reported; the next refresh tells the truth.
class PermissionsPort {
 public:
  virtual ~PermissionsPort() = default;
  virtual bool accessibilityTrusted() const = 0;
  virtual bool screenRecordingAllowed() const = 0;
  // Asks the system to show its Accessibility prompt.
  virtual void requestAccessibility() = 0;
  virtual void requestScreenRecording() = 0;
  virtual void openSettingsLink(std::string_view link) = 0;
  // Starts a new instance of the host; the current one ends once the new one
  // has been asked to start.
  virtual void relaunch() = 0;
};

}  // namespace orvane
