#pragma once

#include <cstdint>
#include <optional>

#include "OrvaneCore/protocol/Geometry.h"

namespace orvane {

// The frame that makes the captured window fill 95 % of the screen at the
// tablet's aspect ratio, as the resize and move the injector carries out.
struct PadFit {
  std::int64_t width = 0;
  std::int64_t height = 0;
  std::int64_t x = 0;
  std::int64_t y = 0;
  bool operator==(const PadFit&) const = default;
};

// The landscape tablet the fit assumes until the tablet reports its size.
inline constexpr double kDefaultPadAspect = 13.0 / 6.0;
inline constexpr double kPadFitScreenShare = 0.95;

// `screen`: the main screen's size in points; `pad`: the tablet's screen.
PadFit fitToPad(Size screen, std::optional<Size> pad);

// Truncation toward zero that cannot overflow: NaN gives 0, values beyond
// the 64-bit range the nearest end.
std::int64_t truncateToInt64(double value);

}  // namespace orvane
