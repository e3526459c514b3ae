#pragma once

#include <optional>
#include <set>

#include "OrvaneMac/platform/Power.h"
#include "OrvaneMac/platform/x11/X11Display.h"

namespace orvane::x11 {

// Keeps the display awake while any assertion is held: the server's screen
// saver suspended for this client (XScreenSaverSuspend) and DPMS off. The
// last release restores DPMS as it was found. The server lifts the suspension
// by itself when the connection closes, so a crash leaves nothing behind
// except DPMS, which is why it is only turned off when it was on. Main loop only.
class X11PowerAssertions final : public PowerAssertions {
 public:
  explicit X11PowerAssertions(X11Display& x) : x_(x) {}
  ~X11PowerAssertions() override;
  X11PowerAssertions(const X11PowerAssertions&) = delete;
  X11PowerAssertions& operator=(const X11PowerAssertions&) = delete;

  std::optional<AssertionID> create(std::string_view type, std::uint32_t level, std::string_view name) override;
  void release(AssertionID id) override;

  bool holding() const { return !held_.empty(); }

 private:
  void hold();
  void restore();

  X11Display& x_;
  std::set<AssertionID> held_;
  AssertionID nextID_ = 1;
  bool suspended_ = false;
  bool dpmsDisabled_ = false;  // by us: it was enabled before
};

}  // namespace orvane::x11
