#include "OrvaneMac/platform/x11/input/WheelSteps.h"

#include <algorithm>

namespace orvane::x11 {

WheelSteps::WheelSteps(int pixelsPerStep) : pixelsPerStep_(std::max(1, pixelsPerStep)) {}

int WheelSteps::add(std::int32_t pixels) {
  if ((pixels > 0 && remainder_ < 0) || (pixels < 0 && remainder_ > 0)) remainder_ = 0;
  remainder_ += pixels;
  const std::int64_t steps = remainder_ / pixelsPerStep_;  // towards zero: the remainder keeps the sign
  remainder_ -= steps * pixelsPerStep_;
  return static_cast<int>(std::clamp<std::int64_t>(steps, -kMaxStepsPerAmount, kMaxStepsPerAmount));
}

}  // namespace orvane::x11
