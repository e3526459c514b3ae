#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace orvane {

// IOKit power assertions (IOPMAssertionCreateWithName / IOPMAssertionRelease).
class PowerAssertions {
 public:
  using AssertionID = std::uint32_t;
  static constexpr std::string_view kPreventUserIdleDisplaySleep = "PreventUserIdleDisplaySleep";
  static constexpr std::uint32_t kAssertionLevelOn = 255;

  virtual ~PowerAssertions() = default;
  // A non-zero id while held; nothing when the system refused.
  virtual std::optional<AssertionID> create(std::string_view type, std::uint32_t level, std::string_view name) = 0;
  virtual void release(AssertionID id) = 0;
};

}  // namespace orvane
