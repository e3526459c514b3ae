#pragma once

namespace orvane {

// CGPreflightScreenCaptureAccess / CGRequestScreenCaptureAccess.
class ScreenCaptureAccess {
 public:
  virtual ~ScreenCaptureAccess() = default;
  // Whether the screen may be read now; never prompts.
  virtual bool preflight() = 0;
  // Asks the system to let the screen be read; true when it already may.
  virtual bool request() = 0;
};

// NSScreen.main.backingScaleFactor, kept apart from the screen rectangles
// because only the tablet's screen geometry needs it.
class DisplayScale {
 public:
  virtual ~DisplayScale() = default;
  // Pixels per point of the main screen; 1.0 when unknown.
  virtual double mainScreenBackingScaleFactor() = 0;
};

}  // namespace orvane
