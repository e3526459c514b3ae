#include "OrvaneMac/platform/x11/input/SpareKeyPool.h"

#include <algorithm>

namespace orvane::x11 {

SpareKeyPool::SpareKeyPool(double reuseAfter) : reuseAfter_(reuseAfter) {}

void SpareKeyPool::setSpares(const std::vector<KeyCode>& keycodes) {
  std::vector<Slot> slots;
  for (KeyCode keycode : keycodes) {
    auto it = std::find_if(slots_.begin(), slots_.end(), [&](const Slot& s) { return s.keycode == keycode; });
    slots.push_back(it != slots_.end() ? *it : Slot{keycode});
  }
  slots_ = std::move(slots);
}

bool SpareKeyPool::owns(KeyCode keycode) const {
  return std::any_of(slots_.begin(), slots_.end(), [&](const Slot& s) { return s.keycode == keycode; });
}

std::optional<SpareKeyPool::Lease> SpareKeyPool::lend(KeySym keysym, double now) {
  if (keysym == NoSymbol) return std::nullopt;
  for (Slot& slot : slots_) {
    if (slot.keysym == keysym) {
      slot.lastUsed = now;
      return Lease{slot.keycode, false};
    }
  }
  Slot* chosen = nullptr;
  for (Slot& slot : slots_) {
    if (slot.keysym == NoSymbol) {
      chosen = &slot;
      break;
    }
    const bool reusable = slot.holds == 0 && now - slot.lastUsed >= reuseAfter_;
    if (reusable && (!chosen || slot.lastUsed < chosen->lastUsed)) chosen = &slot;
  }
  if (!chosen) return std::nullopt;
  chosen->keysym = keysym;
  chosen->lastUsed = now;
  return Lease{chosen->keycode, true};
}

void SpareKeyPool::hold(KeyCode keycode) {
  for (Slot& slot : slots_) {
    if (slot.keycode == keycode) ++slot.holds;
  }
}

void SpareKeyPool::unhold(KeyCode keycode) {
  for (Slot& slot : slots_) {
    if (slot.keycode == keycode && slot.holds > 0) --slot.holds;
  }
}

bool SpareKeyPool::anyHeld() const {
  return std::any_of(slots_.begin(), slots_.end(), [](const Slot& s) { return s.holds > 0; });
}

std::optional<double> SpareKeyPool::nextLendableAt() const {
  std::optional<double> earliest;
  for (const Slot& slot : slots_) {
    if (slot.holds > 0) continue;
    const double at = slot.keysym == NoSymbol ? 0 : slot.lastUsed + reuseAfter_;
    if (!earliest || at < *earliest) earliest = at;
  }
  return earliest;
}

std::vector<KeyCode> SpareKeyPool::takeMapped() {
  std::vector<KeyCode> mapped;
  for (Slot& slot : slots_) {
    if (slot.keysym == NoSymbol || slot.holds > 0) continue;
    mapped.push_back(slot.keycode);
    slot = Slot{slot.keycode};
  }
  return mapped;
}

}  // namespace orvane::x11
