#pragma once

#include <X11/X.h>

#include <functional>
#include <optional>
#include <span>
#include <unordered_map>
#include <vector>

namespace orvane::x11 {

// Where each keysym sits in a keyboard map as XGetKeyboardMapping returns it,
// and which keycodes have no symbols at all. Only the first two columns count:
// the keysym without modifiers and with Shift; other groups and levels need
// modifier states a synthetic key press cannot rely on.
class KeymapIndex {
 public:
  struct Key {
    KeyCode keycode;
    bool shift;
  };

  KeymapIndex() = default;
  // `perKeycode` keysyms for each keycode from `minKeycode` on. Keycodes for
  // which `ours` is true count as empty whatever they carry.
  KeymapIndex(int minKeycode, int perKeycode, std::span<const KeySym> keysyms,
              const std::function<bool(KeyCode)>& ours);

  // The key giving `keysym` without modifiers, else (with `allowShift`) with
  // Shift; the lowest keycode among equals.
  std::optional<Key> find(KeySym keysym, bool allowShift) const;
  const std::vector<KeyCode>& emptyKeycodes() const { return empty_; }

 private:
  std::unordered_map<KeySym, Key> keys_;
  std::vector<KeyCode> empty_;
};

}  // namespace orvane::x11
