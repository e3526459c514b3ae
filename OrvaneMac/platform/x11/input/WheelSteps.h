#pragma once

#include <cstdint>

namespace orvane::x11 {

// An X wheel knows only whole notches (buttons 4 to 7), the tablet sends
// pixels. This turns one axis's pixel amounts into notches and keeps what is
// left for the next amount, so slow scrolling still moves.
class WheelSteps {
 public:
  // One notch moves GTK, Qt, Chromium and Firefox content by roughly 50 to
  // 70 px, and a pixel scroll on macOS moves content by exactly its amount:
  // 50 px a notch keeps the content close to under the finger.
  static constexpr int kDefaultPixelsPerStep = 50;
  // A wild amount from the tablet cannot become thousands of button presses.
  static constexpr int kMaxStepsPerAmount = 64;

  explicit WheelSteps(int pixelsPerStep = kDefaultPixelsPerStep);

  // Whole notches for `pixels` more, signed like `pixels`. A reversal drops
  // the remainder of the other direction, which would otherwise swallow the
  // start of the new one.
  int add(std::int32_t pixels);

 private:
  int pixelsPerStep_;
  std::int64_t remainder_ = 0;
};

}  // namespace orvane::x11
